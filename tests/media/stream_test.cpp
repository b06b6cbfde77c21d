// The stream graph with its HTTP (ICY) and MDSF sources against servers on 127.0.0.1.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstdlib>
#include <memory>

#include "UMDPlatform.h"
#include "UMDStreamGraph.h"
#include "media_util.h"

using namespace mt;

namespace {

std::u16string U(const std::string& s) { return MDToUtf16(s); }

class StreamGraph : public ::testing::Test {
 protected:
  void SetUp() override { MediaDir(); }

  void Attach(TMDStreamGraph2& g, TRecorder& r) {
    r.Attach(g);
    g.OnSourceEvent = {&TRecorder::OnSourceEventProc, &r};
  }
};

// A server speaking ICY: headers, then the MP3 with a title every 8192 bytes, then it closes.
TServer::THandler IcyServer(std::string audio) {
  return [audio](int fd, TServer& s) {
    std::string req = TServer::ReadRequest(fd);
    if (req.find("Icy-MetaData: 1") == std::string::npos) return;
    s.Send(fd, "ICY 200 OK\r\ncontent-type: audio/mpeg\r\nicy-name: Test Radio\r\nicy-metaint: 8192\r\n\r\n");
    s.Send(fd, IcyBody(audio, 8192, "Test Song"));
  };
}

TServer::THandler RawServer(std::string bytes) {
  return [bytes](int fd, TServer& s) { s.Send(fd, bytes); };
}

TEST_F(StreamGraph, PrefixSelectsTheSourceInAnyLetterCase) {
  struct {
    const char16_t* Url;
    uint8_t Kind;
  } cases[] = {{u"http://radio.example/x", 1}, {u"HTTP://radio.example/x", 1}, {u"hTtP://radio.example", 1},
               {u"mdsf://host:8010", 2},      {u"MDSF://host", 2},            {u"MdSf://host", 2},
               {u"https://radio.example/", 0}, {u"ftp://host/file.mp3", 0},     {u"/music/file.mp3", 0},
               {u" http://x", 0},             {u"", 0}};
  for (auto& c : cases) EXPECT_EQ(TMDStreamGraph2::KindOf(c.Url), c.Kind) << MDToUtf8(c.Url);
}

TEST_F(StreamGraph, UnknownPrefixFailsAndCloses) {
  for (const char16_t* url : {u"https://127.0.0.1/", u"ftp://127.0.0.1/a.mp3", u"file.mp3"}) {
    TRecorder r;
    TMDStreamGraph2 g;
    Attach(g, r);
    EXPECT_EQ(g.Open(url), E_FAIL);
    EXPECT_EQ(g.Kind(), TMDStreamGraph2::KindUnknown);
    EXPECT_EQ(r.Closed, 1);
    EXPECT_FALSE(g.Graph());
  }
}

TEST_F(StreamGraph, HttpStreamBuildsOnEvent11AndPlays) {
  std::string audio = ReadFile(Media("long.mp3"));
  TServer server(IcyServer(audio));
  std::u16string url = U("hTTp://127.0.0.1:" + std::to_string(server.Port()) + "/Live.MP3");
  TRecorder r;
  TMDStreamGraph2 g;
  Attach(g, r);
  ASSERT_EQ(g.Open(url.c_str()), S_OK);
  EXPECT_EQ(g.Kind(), TMDStreamGraph2::KindHttp);
  ASSERT_TRUE(PumpUntil([&] { return r.Opened + r.Failed > 0; }));
  ASSERT_EQ(r.Opened, 1);
  EXPECT_NE(r.ThreadOf(&TRecorder::OpenedThread), std::this_thread::get_id()) << "built on the source's thread";

  // The source got the URL exactly as given, and reports the stream's name and title.
  auto control = TComPtr<IMDShoutcastSource>::Query(g.SourceFilter().Get());
  ASSERT_TRUE(control);
  const char16_t* text = nullptr;
  ASSERT_EQ(control->GetUrl(&text), S_OK);
  EXPECT_EQ(std::u16string(text), url);
  ASSERT_EQ(control->GetStreamName(&text), S_OK);
  EXPECT_EQ(std::u16string(text), u"Test Radio");
  ASSERT_TRUE(PumpUntil([&] { return r.SawEvent(MDSE_TITLE); }));
  ASSERT_EQ(control->GetStreamTitle(&text), S_OK);
  EXPECT_EQ(std::u16string(text), u"Test Song");
  EXPECT_FALSE(TComPtr<IMDNetSource>::Query(g.SourceFilter().Get())) << "only the kind's own interface";

  TComPtr<IBaseFilter> named;
  for (const char16_t* name : {u"Midavo Shoutcast Source", u"MPEG Layer III Decoder", u"Default DirectSound Device"})
    EXPECT_EQ(g.Graph()->FindFilterByName(name, named.Put()), S_OK) << MDToUtf8(name);

  EXPECT_EQ(g.Run(), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return r.Complete > 0; })) << "the stream plays to the server's end";
  EXPECT_EQ(r.ThreadOf(&TRecorder::CompleteThread), std::this_thread::get_id());
  auto ev = r.Events();
  ASSERT_GE(ev.size(), 3u);
  EXPECT_EQ(ev[0], MDSE_CONNECTED);
  EXPECT_TRUE(r.SawEvent(MDSE_OUTPUT_READY));
  EXPECT_TRUE(r.SawEvent(MDSE_END));
  EXPECT_EQ(g.Close(), S_OK);
  EXPECT_EQ(r.Closed, 1);
}

// Everything the server sent before the graph was built and started is played: the source
// keeps it. The stream starts with an ID3v2 tag, which the source skips.
TEST_F(StreamGraph, MdsfStreamKeepsWhatArrivedBeforeThePlay) {
  std::string audio = ReadFile(Media("long.mp3"));
  TServer server(RawServer(Id3Tag() + audio));
  std::u16string url = U("mdsf://127.0.0.1:" + std::to_string(server.Port()));
  TRecorder r;
  TMDStreamGraph2 g;
  Attach(g, r);
  ASSERT_EQ(g.Open(url.c_str()), S_OK);
  EXPECT_EQ(g.Kind(), TMDStreamGraph2::KindMdsf);
  ASSERT_TRUE(PumpUntil([&] { return r.Opened + r.Failed > 0; }));
  ASSERT_EQ(r.Opened, 1);
  ASSERT_TRUE(PumpUntil([&] { return r.SawEvent(MDSE_END); })) << "the whole stream arrives before playing";
  auto control = TComPtr<IMDNetSource>::Query(g.SourceFilter().Get());
  ASSERT_TRUE(control);
  int64_t received = 0;
  EXPECT_EQ(control->GetReceivedBytes(&received), S_OK);
  EXPECT_EQ(received, int64_t(audio.size()));

  EXPECT_EQ(g.Run(), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return r.Complete > 0; }));
  auto seeking = TComPtr<IMediaSeeking>::Query(g.Graph().Get());
  REFERENCE_TIME pos = 0;
  ASSERT_EQ(seeking->GetCurrentPosition(&pos), S_OK);
  EXPECT_GT(pos, 27000000) << "all three seconds played";
}

TEST_F(StreamGraph, ServerStoppingMidStreamEndsTheStream) {
  std::string audio = ReadFile(Media("long.mp3"));
  TServer server(IcyServer(audio.substr(0, audio.size() / 3)));
  std::u16string url = U("http://127.0.0.1:" + std::to_string(server.Port()) + "/");
  TRecorder r;
  TMDStreamGraph2 g;
  Attach(g, r);
  ASSERT_EQ(g.Open(url.c_str()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return r.Opened > 0; }));
  EXPECT_EQ(g.Run(), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return r.Complete > 0 && r.SawEvent(MDSE_END); }));
}

TEST_F(StreamGraph, BadServersFailTheOpenAtOnce) {
  struct TCase {
    const char* Name;
    std::string Scheme;
    TServer::THandler Handler;  // nil: nobody listens
    std::string Host;
  };
  std::vector<TCase> cases = {
      {"refused", "http", nullptr, ""},
      {"refused mdsf", "mdsf", nullptr, ""},
      {"unknown host", "http", nullptr, "no-such-host.invalid"},
      {"HTTP error", "http",
       [](int fd, TServer& s) {
         TServer::ReadRequest(fd);
         s.Send(fd, "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>gone</html>");
       },
       ""},
      {"HTML page", "http",
       [](int fd, TServer& s) {
         TServer::ReadRequest(fd);
         s.Send(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body>Hello</body></html>");
       },
       ""},
      {"HTML page without a type", "http",
       [](int fd, TServer& s) {
         TServer::ReadRequest(fd);
         s.Send(fd, "HTTP/1.0 200 OK\r\n\r\n<!DOCTYPE html><html><body>Hello</body></html>");
       },
       ""},
      {"HTML over mdsf", "mdsf", RawServer("<html><body>This is not audio at all</body></html>\n"), ""},
      {"closes at once", "mdsf", RawServer(""), ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::unique_ptr<TServer> server;
    uint16_t port = RefusingPort();
    if (c.Handler) {
      server = std::make_unique<TServer>(c.Handler);
      port = server->Port();
    }
    std::string host = c.Host.empty() ? "127.0.0.1" : c.Host;
    std::u16string url = U(c.Scheme + "://" + host + ":" + std::to_string(port) + "/");
    TRecorder r;
    TMDStreamGraph2 g;
    Attach(g, r);
    EXPECT_TRUE(MD_FAILED(g.Open(url.c_str())));
    EXPECT_EQ(r.Closed, 1);
    EXPECT_EQ(r.Opened, 0);
    EXPECT_FALSE(g.Graph());
  }
}

// A server that accepts and stays silent leaves the graph waiting for event 11.
TEST_F(StreamGraph, SilentServerLeavesTheGraphWaiting) {
  TServer server([](int fd, TServer& s) {
    for (int i = 0; i < 200 && !s.Stopping(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  });
  std::u16string url = U("mdsf://127.0.0.1:" + std::to_string(server.Port()));
  TRecorder r;
  TMDStreamGraph2 g;
  Attach(g, r);
  ASSERT_EQ(g.Open(url.c_str()), S_OK);
  PumpFor(300);
  EXPECT_EQ(r.Opened + r.Failed, 0);
  // Codes other than 11 build nothing; they only reach OnSourceEvent.
  EXPECT_EQ(r.Events(), std::vector<int32_t>{MDSE_CONNECTED});
  EXPECT_EQ(g.Run(), E_FAIL);
  EXPECT_EQ(g.Pause(), E_FAIL);
  EXPECT_EQ(g.Stop(), E_FAIL);
  EXPECT_EQ(g.Open(url.c_str()), E_FAIL) << "a graph exists";
  g.Close();
  EXPECT_EQ(r.Closed, 1);
}

// A decoder without an output pin: the second connection fails, the build reports -1.
TEST_F(StreamGraph, DecoderWithoutOutputPinFailsTheBuild) {
  TMDClassFactory previous = MDRegisterClass(CLSID_MDMp3Decoder, [](const GUID& iid, void** obj) {
    return MDCreateElementFilter("fakesink", iid, obj);
  });
  std::string audio = ReadFile(Media("tone.mp3"));
  TServer server(RawServer(audio));
  std::u16string url = U("MDSF://127.0.0.1:" + std::to_string(server.Port()));
  {
    TRecorder r;
    TMDStreamGraph2 g;
    Attach(g, r);
    ASSERT_EQ(g.Open(url.c_str()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return r.SawEvent(-1); }));
    EXPECT_EQ(r.Failed, 1);
    EXPECT_EQ(r.Opened, 0);
    EXPECT_FALSE(r.SawEvent(MDSE_OUTPUT_READY)) << "the failed build replaces event 11";
    auto seq = r.Sequence();
    ASSERT_GE(seq.size(), 2u);
    EXPECT_EQ(seq[0], "failed");
    EXPECT_EQ(seq[1], "closed");
    EXPECT_FALSE(g.Graph());
  }
  MDRegisterClass(CLSID_MDMp3Decoder, previous);
}

// Someone else (a plug-in) may still hold the filter graph, and with it the source, when the
// stream graph goes away: the source's reports must stop with the stream graph.
TEST_F(StreamGraph, NoReportReachesADestroyedGraph) {
  std::string audio = ReadFile(Media("long.mp3"));
  TServer server([audio](int fd, TServer& s) {
    // The stream, then more of it in small pieces for a while.
    s.Send(fd, audio);
    for (int i = 0; i < 60 && !s.Stopping(); ++i) {
      if (!s.Send(fd, audio.substr(0, 8192))) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  });
  std::u16string url = U("mdsf://127.0.0.1:" + std::to_string(server.Port()));
  TRecorder r;
  TComPtr<IGraphBuilder> outside;
  {
    TMDStreamGraph2 g;
    Attach(g, r);
    ASSERT_EQ(g.Open(url.c_str()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return r.Opened > 0 && r.SawEvent(MDSE_BUFFERING); }));
    outside = g.Graph();
  }
  size_t reported = r.Events().size();
  PumpFor(500);
  EXPECT_EQ(r.Events().size(), reported);
  outside = nullptr;  // the last reference: the source stops here
}

// Close, then destroy: OnClosed twice (once each), also without a graph.
TEST_F(StreamGraph, ClosedFiresOnEveryCloseAndOnDestruction) {
  TRecorder r;
  {
    TMDStreamGraph2 g;
    Attach(g, r);
    EXPECT_EQ(g.Close(), S_OK);
    EXPECT_EQ(r.Closed, 1);
  }
  EXPECT_EQ(r.Closed, 2);
}

}  // namespace
