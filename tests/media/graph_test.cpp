// The file graph over real GStreamer pipelines playing generated media.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "UGraph.h"
#include "UMDPlatform.h"
#include "media_util.h"

using namespace mt;

namespace {

// Records the graph events the event window hands over.
class TEventGraph : public TGraph2 {
 public:
  std::mutex Lock;
  std::vector<int32_t> Codes;
  void HandleGraphEvent(int32_t code, int32_t p1, int32_t p2) override {
    {
      std::lock_guard<std::mutex> g(Lock);
      Codes.push_back(code);
    }
    TGraph2::HandleGraphEvent(code, p1, p2);
  }
};

class FileGraph : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");  // headless: video goes to a silent sink
    MediaDir();
  }
  // Opens and waits for OnOpened or OnOpenFailed.
  bool OpenAndWait(TGraph1& g, TRecorder& r, const std::string& name) {
    EXPECT_EQ(g.Open(Media16(name).c_str()), S_OK);
    return PumpUntil([&] { return r.Opened + r.Failed > 0; });
  }
};

TEST(MediaTime, SecondsAndGraphTimeConvert) {
  struct {
    double Seconds;
    REFERENCE_TIME Time;
  } toTime[] = {{1.5, 15000000},      {-0.00000005, 0},        {0.0, 0},
                {-1.5, -15000000},    {0.99999999, 9999999},   {3600.0, 36000000000LL}};
  for (auto& c : toTime) EXPECT_EQ(MDSecondsToTime(c.Seconds), c.Time) << c.Seconds;
  EXPECT_DOUBLE_EQ(MDTimeToSeconds(25000000), 2.5);
  EXPECT_DOUBLE_EQ(MDTimeToSeconds(-5000000), -0.5);
  EXPECT_DOUBLE_EQ(MDTimeToSeconds(1), 1e-7);
}

TEST_F(FileGraph, WithoutAGraphOperationsAnswerTheirDefaults) {
  TRecorder r;
  TGraph2 g;
  r.Attach(g);
  double v = -7;
  EXPECT_EQ(g.GetRate(&v), E_FAIL);
  EXPECT_EQ(v, 1.0);
  EXPECT_EQ(g.GetPosition(&v), S_FALSE);
  EXPECT_EQ(v, 0.0);
  v = -7;
  EXPECT_EQ(g.GetDuration(&v), S_FALSE);
  EXPECT_EQ(v, 0.0);
  EXPECT_EQ(g.SetPosition(1.0), E_FAIL);
  EXPECT_EQ(g.SetRate(2.0), E_FAIL);
  EXPECT_EQ(g.Run(), E_FAIL);
  EXPECT_EQ(g.Pause(), E_FAIL);
  EXPECT_EQ(g.Stop(), E_FAIL);
  EXPECT_EQ(g.Close(), S_FALSE);
  EXPECT_EQ(g.Close(), S_FALSE);
  EXPECT_EQ(r.Closed, 0);
}

TEST_F(FileGraph, Mp3PlaysToItsEndAndCloses) {
  TRecorder r;
  TEventGraph g;
  r.Attach(g);
  ASSERT_TRUE(OpenAndWait(g, r, "tone.mp3"));
  ASSERT_EQ(r.Opened, 1);
  EXPECT_EQ(r.Failed, 0);
  EXPECT_NE(r.ThreadOf(&TRecorder::OpenedThread), std::this_thread::get_id()) << "OnOpened fires on the open thread";
  EXPECT_FALSE(g.VideoWindow()) << "an audio file has no video window";
  EXPECT_FALSE(g.BasicVideo());

  double d = 0;
  EXPECT_EQ(g.GetDuration(&d), S_OK);
  EXPECT_NEAR(d, 1.0, 0.1);

  auto audio = TComPtr<IBasicAudio>::Query(g.Graph().Get());
  ASSERT_TRUE(audio);
  int32_t volume = 1;
  EXPECT_EQ(audio->put_Volume(-2000), S_OK);
  EXPECT_EQ(audio->get_Volume(&volume), S_OK);
  EXPECT_EQ(volume, -2000);
  EXPECT_EQ(audio->put_Volume(1), E_INVALIDARG);
  EXPECT_EQ(audio->put_Volume(-10001), E_INVALIDARG);

  EXPECT_EQ(g.Run(), S_OK);
  double p = 0;
  ASSERT_TRUE(PumpUntil([&] { return g.GetPosition(&p) == S_OK && p > 0.2; })) << "position advances while running";
  ASSERT_TRUE(PumpUntil([&] { return r.Complete > 0; })) << "the end of the media fires OnComplete";
  EXPECT_EQ(r.ThreadOf(&TRecorder::CompleteThread), std::this_thread::get_id()) << "OnComplete fires on the creating thread";
  {
    std::lock_guard<std::mutex> l(g.Lock);
    EXPECT_EQ(g.Codes, std::vector<int32_t>{EC_COMPLETE});
  }
  EXPECT_EQ(g.Close(), S_OK);
  EXPECT_EQ(r.Closed, 1);
  EXPECT_EQ(r.ThreadOf(&TRecorder::ClosedThread), std::this_thread::get_id());
  EXPECT_EQ(g.Close(), S_FALSE);
  EXPECT_EQ(r.Closed, 1);
  EXPECT_FALSE(g.Graph());
}

TEST_F(FileGraph, PositionAndRateReadBackAlsoWhenStopped) {
  TRecorder r;
  TGraph2 g;
  r.Attach(g);
  ASSERT_TRUE(OpenAndWait(g, r, "tone.wav"));
  ASSERT_EQ(r.Opened, 1);
  double v = 0;
  EXPECT_EQ(g.SetPosition(1.5), S_OK);
  EXPECT_EQ(g.GetPosition(&v), S_OK);
  EXPECT_NEAR(v, 1.5, 0.05);
  EXPECT_EQ(g.SetRate(2.0), S_OK);
  EXPECT_EQ(g.GetRate(&v), S_OK);
  EXPECT_EQ(v, 2.0);
  EXPECT_EQ(g.SetRate(0.0), E_INVALIDARG);

  EXPECT_EQ(g.Run(), S_OK);
  PumpFor(300);
  EXPECT_EQ(g.Stop(), S_OK);
  EXPECT_EQ(g.GetDuration(&v), S_OK);
  EXPECT_NEAR(v, 3.0, 0.1);
  EXPECT_EQ(g.SetPosition(0.0), S_OK);
  EXPECT_EQ(g.GetPosition(&v), S_OK);
  EXPECT_NEAR(v, 0.0, 0.05);
  // Positions outside the media are kept inside it.
  EXPECT_EQ(g.SetPosition(-2.0), S_OK);
  EXPECT_EQ(g.GetPosition(&v), S_OK);
  EXPECT_NEAR(v, 0.0, 0.05);
}

TEST_F(FileGraph, VideoFileAnswersTheVideoInterfaces) {
  TRecorder r;
  TGraph2 g;
  r.Attach(g);
  ASSERT_TRUE(OpenAndWait(g, r, "video.avi"));
  ASSERT_EQ(r.Opened, 1);
  ASSERT_TRUE(g.VideoWindow());
  ASSERT_TRUE(g.BasicVideo());
  int32_t w = 0, h = 0;
  EXPECT_EQ(g.BasicVideo()->get_VideoWidth(&w), S_OK);
  EXPECT_EQ(g.BasicVideo()->get_VideoHeight(&h), S_OK);
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 120);
  auto vw = g.VideoWindow();
  int32_t l, t, ww, hh;
  EXPECT_EQ(vw->SetWindowPosition(10, 20, 320, 240), S_OK);
  EXPECT_EQ(vw->GetWindowPosition(&l, &t, &ww, &hh), S_OK);
  EXPECT_EQ((std::vector<int32_t>{l, t, ww, hh}), (std::vector<int32_t>{10, 20, 320, 240}));
  EXPECT_EQ(vw->put_Visible(MD_TRUE), S_OK);
  int32_t vis = 0;
  EXPECT_EQ(vw->get_Visible(&vis), S_OK);
  EXPECT_EQ(vis, MD_TRUE);
  EXPECT_EQ(g.Run(), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return r.Complete > 0; }));
}

TEST_F(FileGraph, UnplayableInputFailsTheOpen) {
  std::string cases[] = {"text.txt", "trunc.mp3", "empty.mp3", "missing.mp3", ""};
  for (const auto& name : cases) {
    SCOPED_TRACE(name.empty() ? "a directory" : name);
    TRecorder r;
    TGraph2 g;
    r.Attach(g);
    ASSERT_TRUE(OpenAndWait(g, r, name));  // "" names the media folder itself
    EXPECT_EQ(r.Failed, 1);
    EXPECT_EQ(r.Opened, 0);
    EXPECT_TRUE(g.Graph()) << "the graph stays until the owner closes";
    EXPECT_EQ(g.Run(), E_FAIL);
    EXPECT_EQ(g.Close(), S_OK);
    EXPECT_EQ(r.Closed, 1);
  }
}

TEST_F(FileGraph, OpeningAgainClosesTheOpenFileFirst) {
  TRecorder r;
  TGraph2 g;
  r.Attach(g);
  ASSERT_TRUE(OpenAndWait(g, r, "tone.mp3"));
  ASSERT_EQ(g.Open(Media16("tone.wav").c_str()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return r.Opened == 2; }));
  EXPECT_EQ(r.Sequence(), (std::vector<std::string>{"opened", "closed", "opened"}));
}

// Closing or destroying a wrapper while its file is still rendering waits for the render
// instead of deadlocking on the wrapper's lock; the open's own report comes before OnClosed.
TEST_F(FileGraph, ClosingDuringTheRenderWaitsForIt) {
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    TRecorder r;
    {
      TGraph2 g;
      r.Attach(g);
      ASSERT_EQ(g.Open(Media16("video.avi").c_str()), S_OK);
      if (i == 0) {
        EXPECT_EQ(g.Close(), S_OK);
      } else if (i == 1) {
        EXPECT_EQ(g.Open(Media16("tone.mp3").c_str()), S_OK);
      }
      // i == 2: destroyed while rendering
    }
    auto seq = r.Sequence();
    ASSERT_GE(seq.size(), 2u);
    EXPECT_EQ(seq[0], "opened");
    EXPECT_EQ(seq[1], "closed");
  }
}

// The owner may ask for position, rate and the video window while the open thread is still
// rendering and fetching the interfaces.
TEST_F(FileGraph, TransportCallsDuringTheOpenAreSafe) {
  TRecorder r;
  TGraph2 g;
  r.Attach(g);
  ASSERT_EQ(g.Open(Media16("video.avi").c_str()), S_OK);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  int calls = 0;
  while (r.Opened + r.Failed == 0 && std::chrono::steady_clock::now() < deadline) {
    double v;
    g.GetPosition(&v);
    g.GetDuration(&v);
    g.GetRate(&v);
    g.VideoWindow();
    g.Pause();
    ++calls;
    PumpFor(1);
  }
  EXPECT_EQ(r.Opened, 1);
  EXPECT_GT(calls, 0);
  EXPECT_EQ(g.Pause(), S_OK);
}

TEST(MessageWindow, PostsRunOnTheOwningThreadInOrderAndDieWithTheWindow) {
  std::vector<uint32_t> got;  // written by the procedure, on this thread only
  std::thread::id where;
  MDHANDLE w = MDAllocateHWnd([&](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
    got.push_back(msg);
    where = std::this_thread::get_id();
    EXPECT_EQ(wParam, msg * 2);
    EXPECT_EQ(lParam, -intptr_t(msg));
    return 0;
  });
  ASSERT_NE(w, 0u);
  std::thread poster([w] {
    for (uint32_t i = 1; i <= 100; ++i) MDPostMessage(w, i, i * 2, -intptr_t(i));
  });
  poster.join();
  EXPECT_TRUE(got.empty()) << "nothing runs until the owner's loop does";
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 100; }, 5000));
  for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(got[i], i + 1);
  EXPECT_EQ(where, std::this_thread::get_id());
  EXPECT_EQ(MDSendMessage(w, 500, 1000, -500), 0);
  EXPECT_EQ(got.back(), 500u);

  EXPECT_TRUE(MDPostMessage(w, 7, 14, -7));
  MDDeallocateHWnd(w);
  PumpFor(50);
  EXPECT_EQ(got.size(), 101u) << "queued messages of a destroyed window are dropped";
  EXPECT_FALSE(MDPostMessage(w, 8, 16, -8));
}

}  // namespace
