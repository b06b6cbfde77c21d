// UMDStreamSource.cpp - the network stream source filters: "Midavo Shoutcast Source" (HTTP with
// ICY metadata) and "MDSF NetSource" (MPEG audio over a bare TCP connection).
//
// A source is a filter over an appsrc (pin "Output", caps audio/mpeg). OpenUrl connects and
// looks at the first answer on the caller's thread, within short time limits, so that a refused
// connection, an unknown host, an HTTP error or data that is not MPEG audio fail OpenUrl at
// once. Then a reader thread of the source takes over: it keeps reading, reports through the
// callback and keeps every audio byte in a queue from which the appsrc is fed when the graph
// asks for data, so nothing that arrives before the graph is built is lost.
//
// Threads and locks
//   - TShared is what the reader thread and the appsrc's streaming thread use; the reader
//     thread and the filter each hold it by shared_ptr, so the filter may be released from
//     inside its own callback (the reader thread then ends by itself after the callback).
//   - CbLock (re-entrant) is held while the callback runs and while SetCallback swaps it, so
//     after SetCallback(nil) on another thread no report is running.
//   - BufLock guards the audio queue, the "appsrc wants data" flag and the end flag; pushes into
//     the appsrc happen under it so chunks keep their order.
//   - InfoLock guards the title and the stream name.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gst/app/gstappsrc.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UMDGstFilter.h"
#include "UMDGstGraph.h"
#include "UMDPlatform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kResolveMs = 3000;     // host name lookup
constexpr int kConnectMs = 3000;     // TCP connect
constexpr int kFirstDataMs = 2000;   // waiting for the answer in OpenUrl
constexpr size_t kDetectLimit = 64 * 1024;      // audio bytes searched for MPEG frames
constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr size_t kHoldLimit = 4 * 1024 * 1024;  // queue size at which reading pauses
constexpr size_t kChunk = 32 * 1024;
constexpr uint16_t kDefaultMdsfPort = 8010;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// ---- URLs -------------------------------------------------------------------------------------

struct TUrl {
  bool Http = false;
  std::string Host;
  uint16_t Port = 0;
  std::string Path = "/";
};

bool ParseUrl(const std::string& url, TUrl& out) {
  std::string low = Lower(url.substr(0, 7));
  std::string rest;
  if (low == "http://") {
    out.Http = true;
    out.Port = 80;
  } else if (low == "mdsf://") {
    out.Http = false;
    out.Port = kDefaultMdsfPort;
  } else {
    return false;
  }
  rest = url.substr(7);
  size_t slash = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, slash);
  if (slash != std::string::npos && out.Http) {
    out.Path = rest.substr(slash);
    if (out.Path[0] != '/') out.Path.insert(out.Path.begin(), '/');
    size_t hash = out.Path.find('#');
    if (hash != std::string::npos) out.Path.erase(hash);
  }
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);  // user info is ignored
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    out.Host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      portText = authority.substr(close + 2);
    }
  } else {
    size_t colon = authority.find(':');
    out.Host = authority.substr(0, colon);
    if (colon != std::string::npos) portText = authority.substr(colon + 1);
  }
  if (out.Host.empty()) return false;
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    int p = std::stoi(portText);
    if (p <= 0 || p > 65535) return false;
    out.Port = uint16_t(p);
  }
  return true;
}

// ---- sockets ----------------------------------------------------------------------------------

// Looks the host up within the time limit (the lookup runs on a thread of its own, which is
// left to finish by itself when the limit passes).
addrinfo* Resolve(const std::string& host, uint16_t port) {
  struct TLookup {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    addrinfo* Result = nullptr;
    bool Abandoned = false;
  };
  auto l = std::make_shared<TLookup>();
  std::string service = std::to_string(port);
  std::thread([l, host, service] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* r = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &r) != 0) r = nullptr;
    std::lock_guard<std::mutex> g(l->Lock);
    if (l->Abandoned) {
      if (r) freeaddrinfo(r);
      return;
    }
    l->Result = r;
    l->Finished = true;
    l->Done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> g(l->Lock);
  if (!l->Done.wait_for(g, std::chrono::milliseconds(kResolveMs), [&] { return l->Finished; })) {
    l->Abandoned = true;
    return nullptr;
  }
  return l->Result;
}

// A connected, blocking socket, or -1.
int ConnectTo(addrinfo* list) {
  for (addrinfo* a = list; a; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    int r = connect(fd, a->ai_addr, a->ai_addrlen);
    if (r < 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, kConnectMs) == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        r = err == 0 ? 0 : -1;
      }
    }
    if (r == 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    close(fd);
  }
  return -1;
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// ---- MPEG audio -------------------------------------------------------------------------------

struct TFrame {
  int Version;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  int Layer;    // 1..3
  int Rate;
  int Length;
};

bool ParseFrameHeader(const uint8_t* p, TFrame& f) {
  static const int kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const int kRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  int version = (p[1] >> 3) & 3, layerBits = (p[1] >> 1) & 3;
  int br = p[2] >> 4, sr = (p[2] >> 2) & 3, pad = (p[2] >> 1) & 1;
  if (version == 1 || layerBits == 0 || br == 0 || br == 15 || sr == 3 || (p[3] & 3) == 2) return false;
  int layer = 4 - layerBits;
  int kbps = kBitrates[version == 3 ? 0 : 1][layer - 1][br];
  int rate = kRates[version][sr];
  int len;
  if (layer == 1)
    len = (12 * kbps * 1000 / rate + pad) * 4;
  else if (layer == 3 && version != 3)
    len = 72 * kbps * 1000 / rate + pad;
  else
    len = 144 * kbps * 1000 / rate + pad;
  f = {version, layer, rate, len};
  return len > 4;
}

enum class TDetect { NeedMore, Audio, NotAudio };

// Looks for two consecutive MPEG audio frames; `start` gets the offset of the first.
TDetect DetectMpeg(const std::vector<uint8_t>& d, size_t& start) {
  // Text (an HTML page, an error message) is recognised at once.
  if (!d.empty() && d[0] != 0xFF) {
    size_t n = std::min<size_t>(d.size(), 32), printable = 0;
    for (size_t i = 0; i < n; ++i)
      if ((d[i] >= 0x20 && d[i] < 0x7F) || d[i] == '\r' || d[i] == '\n' || d[i] == '\t') ++printable;
    if (n >= 8 && printable == n) return TDetect::NotAudio;
  }
  for (size_t i = 0; i + 4 <= d.size(); ++i) {
    TFrame a, b;
    if (!ParseFrameHeader(&d[i], a)) continue;
    size_t next = i + size_t(a.Length);
    if (next + 4 > d.size()) {
      if (d.size() >= kDetectLimit) continue;
      return TDetect::NeedMore;
    }
    if (ParseFrameHeader(&d[next], b) && b.Version == a.Version && b.Layer == a.Layer && b.Rate == a.Rate) {
      start = i;
      return TDetect::Audio;
    }
  }
  return d.size() >= kDetectLimit ? TDetect::NotAudio : TDetect::NeedMore;
}

// ---- the stream parser ------------------------------------------------------------------------

// Turns the bytes of the connection into audio bytes: HTTP headers, ICY metadata blocks, a
// leading ID3v2 tag and the MPEG format check. Used first by OpenUrl, then by the reader thread.
class TStreamParser {
 public:
  enum class TPhase { Headers, Detect, Audio, Failed };

  explicit TStreamParser(bool http) : FPhase(http ? TPhase::Headers : TPhase::Detect) {}

  TPhase Phase() const { return FPhase; }
  HRESULT Failure() const { return FFailure; }
  int HttpStatus() const { return FStatus; }
  const std::string& Name() const { return FName; }

  // Feeds connection bytes; audio bytes for the graph are appended to `audio`, a new stream
  // title sets `title` and `titleChanged`.
  void Feed(const uint8_t* p, size_t n, std::vector<uint8_t>& audio, std::string& title, bool& titleChanged) {
    if (FPhase == TPhase::Failed || n == 0) return;
    if (FPhase != TPhase::Headers) return FeedBody(p, n, audio, title, titleChanged);
    FHeader.append(reinterpret_cast<const char*>(p), n);
    size_t end = FHeader.find("\r\n\r\n"), sepLen = 4;
    if (end == std::string::npos) {
      end = FHeader.find("\n\n");
      sepLen = 2;
    }
    if (end == std::string::npos) {
      if (FHeader.size() > kMaxHeaderBytes) Fail(MD_E_NOT_AUDIO);
      return;
    }
    std::string rest = FHeader.substr(end + sepLen);
    FHeader.resize(end);
    ParseHeaders();
    if (FPhase == TPhase::Failed) return;
    FPhase = TPhase::Detect;
    FeedBody(reinterpret_cast<const uint8_t*>(rest.data()), rest.size(), audio, title, titleChanged);
  }

  // The connection ended: what it had is all there is.
  void Ended() {
    if (FPhase == TPhase::Headers) Fail(MD_E_HTTP_STATUS);
    else if (FPhase == TPhase::Detect) Fail(MD_E_NOT_AUDIO);
  }

 private:
  void Fail(HRESULT hr) {
    FPhase = TPhase::Failed;
    FFailure = hr;
  }

  void ParseHeaders() {
    size_t lineEnd = FHeader.find('\n');
    std::string status = Trim(FHeader.substr(0, lineEnd));
    // "ICY 200 OK" or "HTTP/1.x 200 OK"
    size_t sp = status.find(' ');
    std::string proto = Lower(status.substr(0, sp));
    if (sp == std::string::npos || (proto != "icy" && proto.rfind("http/", 0) != 0)) return Fail(MD_E_NOT_AUDIO);
    FStatus = std::atoi(status.c_str() + sp + 1);
    if (FStatus < 200 || FStatus > 299) return Fail(MD_E_HTTP_STATUS);
    size_t pos = lineEnd == std::string::npos ? FHeader.size() : lineEnd + 1;
    while (pos < FHeader.size()) {
      size_t e = FHeader.find('\n', pos);
      std::string line = FHeader.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
      pos = e == std::string::npos ? FHeader.size() : e + 1;
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string key = Lower(Trim(line.substr(0, colon))), value = Trim(line.substr(colon + 1));
      if (key == "icy-metaint")
        FMetaInt = std::atoi(value.c_str());
      else if (key == "icy-name")
        FName = value;
      else if (key == "content-type")
        FContentType = Lower(value);
    }
    if (!FContentType.empty()) {
      std::string t = FContentType.substr(0, FContentType.find(';'));
      t = Trim(t);
      bool mpeg = t == "audio/mpeg" || t == "audio/mp3" || t == "audio/x-mpeg" || t == "audio/mpeg3" ||
                  t == "audio/x-mp3" || t == "audio/mpg" || t == "application/octet-stream";
      if (!mpeg) return Fail(MD_E_NOT_AUDIO);
    }
    if (FMetaInt < 0) FMetaInt = 0;
    FAudioLeft = FMetaInt;  // the body starts with audio
  }

  // Body bytes: split audio from ICY metadata.
  void FeedBody(const uint8_t* p, size_t n, std::vector<uint8_t>& audio, std::string& title, bool& titleChanged) {
    while (n > 0 && FPhase != TPhase::Failed) {
      if (FMetaInt > 0 && FAudioLeft == 0) {
        if (FMetaLeft < 0) {  // the length byte
          FMetaLeft = p[0] * 16;
          FMeta.clear();
          ++p, --n;
          if (FMetaLeft == 0) {
            FMetaLeft = -1;
            FAudioLeft = FMetaInt;
          }
          continue;
        }
        size_t take = std::min<size_t>(n, size_t(FMetaLeft));
        FMeta.append(reinterpret_cast<const char*>(p), take);
        p += take, n -= take;
        FMetaLeft -= int(take);
        if (FMetaLeft == 0) {
          FMetaLeft = -1;
          FAudioLeft = FMetaInt;
          ParseMeta(title, titleChanged);
        }
        continue;
      }
      size_t take = n;
      if (FMetaInt > 0) take = std::min<size_t>(n, size_t(FAudioLeft));
      Audio(p, take, audio);
      p += take, n -= take;
      if (FMetaInt > 0) FAudioLeft -= int(take);
    }
  }

  void ParseMeta(std::string& title, bool& titleChanged) {
    const std::string key = "StreamTitle='";
    size_t b = FMeta.find(key);
    if (b == std::string::npos) return;
    b += key.size();
    size_t e = FMeta.find("';", b);
    if (e == std::string::npos) e = FMeta.find('\'', b);
    if (e == std::string::npos) return;
    std::string t = FMeta.substr(b, e - b);
    if (!g_utf8_validate(t.data(), gssize(t.size()), nullptr)) {
      gchar* u = g_convert(t.data(), gssize(t.size()), "UTF-8", "ISO-8859-1", nullptr, nullptr, nullptr);
      t = u ? u : "";
      g_free(u);
    }
    title = t;
    titleChanged = true;
  }

  void Audio(const uint8_t* p, size_t n, std::vector<uint8_t>& audio) {
    if (FPhase == TPhase::Audio) {
      audio.insert(audio.end(), p, p + n);
      return;
    }
    // Detect: skip a leading ID3v2 tag, then look for MPEG frames.
    FProbe.insert(FProbe.end(), p, p + n);
    while (true) {
      if (FSkip > 0) {
        size_t cut = std::min(FSkip, FProbe.size());
        FProbe.erase(FProbe.begin(), FProbe.begin() + long(cut));
        FSkip -= cut;
        if (FSkip > 0) return;
      }
      size_t k = std::min<size_t>(FProbe.size(), 3);
      if (std::memcmp(FProbe.data(), "ID3", k) != 0) break;  // no tag here
      if (FProbe.size() < 10) return;                         // maybe a tag: wait for its header
      const uint8_t* h = FProbe.data();
      size_t size = (size_t(h[6] & 0x7F) << 21) | (size_t(h[7] & 0x7F) << 14) |
                    (size_t(h[8] & 0x7F) << 7) | (h[9] & 0x7F);
      FSkip = 10 + size + ((h[5] & 0x10) ? 10 : 0);
    }
    size_t start = 0;
    switch (DetectMpeg(FProbe, start)) {
      case TDetect::NeedMore:
        return;
      case TDetect::NotAudio:
        FProbe.clear();
        return Fail(MD_E_NOT_AUDIO);
      case TDetect::Audio:
        FPhase = TPhase::Audio;
        audio.insert(audio.end(), FProbe.begin() + long(start), FProbe.end());
        FProbe.clear();
        FProbe.shrink_to_fit();
        return;
    }
  }

  TPhase FPhase;
  HRESULT FFailure = S_OK;
  std::string FHeader;
  int FStatus = 0;
  int FMetaInt = 0;
  int FAudioLeft = 0;
  int FMetaLeft = -1;
  std::string FMeta;
  std::string FName;
  std::string FContentType;
  std::vector<uint8_t> FProbe;
  size_t FSkip = 0;
};

// ---- what the reader thread, the appsrc and the filter share ---------------------------------

struct TShared {
  std::recursive_mutex CbLock;
  TMDSourceCallback Callback = nullptr;  // guarded by CbLock
  void* UserData = nullptr;

  std::mutex BufLock;
  std::condition_variable BufCv;
  std::deque<std::vector<uint8_t>> Queue;  // guarded by BufLock, as the next four
  size_t Held = 0;
  bool Wanted = false;
  bool Ended = false;
  GstAppSrc* Src = nullptr;  // one reference; set at construction

  std::mutex InfoLock;
  std::string Title;  // guarded by InfoLock
  std::string Name;

  std::atomic<bool> Stop{false};
  std::atomic<int64_t> Received{0};

  ~TShared() {
    if (Src) gst_object_unref(Src);
  }

  void Report(int32_t event, int32_t p1, int32_t p2) {
    std::lock_guard<std::recursive_mutex> g(CbLock);
    if (Callback && !Stop) Callback(UserData, event, p1, p2);
  }

  // Pushes the oldest chunk into the appsrc. BufLock held.
  void PushOne_unlocked() {
    std::vector<uint8_t> chunk = std::move(Queue.front());
    Queue.pop_front();
    Held -= chunk.size();
    GstBuffer* b = gst_buffer_new_allocate(nullptr, chunk.size(), nullptr);
    gst_buffer_fill(b, 0, chunk.data(), chunk.size());
    gst_app_src_push_buffer(Src, b);
    BufCv.notify_all();
  }

  void AddAudio(std::vector<uint8_t>& audio) {
    if (audio.empty()) return;
    Received += int64_t(audio.size());
    std::lock_guard<std::mutex> g(BufLock);
    for (size_t off = 0; off < audio.size(); off += kChunk) {
      size_t n = std::min(kChunk, audio.size() - off);
      Queue.emplace_back(audio.begin() + long(off), audio.begin() + long(off + n));
      Held += n;
    }
    audio.clear();
    if (Wanted) {
      Wanted = false;
      PushOne_unlocked();
    }
  }

  void MarkEnded() {
    std::lock_guard<std::mutex> g(BufLock);
    Ended = true;
    if (Wanted && Queue.empty()) gst_app_src_end_of_stream(Src);
  }

  static void NeedData(GstAppSrc*, guint, gpointer data) {
    auto* s = static_cast<std::shared_ptr<TShared>*>(data)->get();
    std::lock_guard<std::mutex> g(s->BufLock);
    if (!s->Queue.empty())
      s->PushOne_unlocked();
    else if (s->Ended)
      gst_app_src_end_of_stream(s->Src);
    else
      s->Wanted = true;
  }
  static void FreeRef(gpointer data) { delete static_cast<std::shared_ptr<TShared>*>(data); }
};

// The reader thread: reads until told to stop, the server closes, or the data turns bad.
void ReadLoop(std::shared_ptr<TShared> s, int fd, std::unique_ptr<TStreamParser> parser) {
  std::vector<uint8_t> buf(16 * 1024), audio;
  std::string title;
  bool titleChanged = false;
  bool connectedSaid = false, readySaid = false;
  size_t nextBuffering = 64 * 1024;
  auto announce = [&] {
    if (!connectedSaid && parser->Phase() != TStreamParser::TPhase::Headers &&
        parser->Phase() != TStreamParser::TPhase::Failed) {
      connectedSaid = true;
      s->Report(MDSE_CONNECTED, parser->HttpStatus(), 0);
      std::lock_guard<std::mutex> g(s->InfoLock);
      s->Name = parser->Name();
    }
    if (titleChanged) {
      titleChanged = false;
      {
        std::lock_guard<std::mutex> g(s->InfoLock);
        s->Title = title;
      }
      s->Report(MDSE_TITLE, 0, 0);
    }
    if (!readySaid && parser->Phase() == TStreamParser::TPhase::Audio) {
      readySaid = true;
      s->AddAudio(audio);
      s->Report(MDSE_OUTPUT_READY, 0, 0);
    }
    s->AddAudio(audio);
    size_t held;
    {
      std::lock_guard<std::mutex> g(s->BufLock);
      held = s->Held;
    }
    if (held >= nextBuffering) {
      nextBuffering = held + 64 * 1024;
      s->Report(MDSE_BUFFERING, int32_t(held / 1024), 0);
    } else if (held < 64 * 1024) {
      nextBuffering = 64 * 1024;
    }
  };
  auto failed = [&] {
    if (parser->Phase() != TStreamParser::TPhase::Failed) return false;
    HRESULT f = parser->Failure();
    s->Report(MDSE_ERROR, f == MD_E_HTTP_STATUS ? MDSE_ERR_HTTP : MDSE_ERR_NOT_AUDIO,
              f == MD_E_HTTP_STATUS ? parser->HttpStatus() : 0);
    s->MarkEnded();
    return true;
  };

  announce();  // what OpenUrl already found
  while (!s->Stop) {
    {
      // Pause reading while the graph is not taking data and much is held.
      std::unique_lock<std::mutex> g(s->BufLock);
      if (s->Held >= kHoldLimit) {
        s->BufCv.wait_for(g, std::chrono::milliseconds(100));
        continue;
      }
    }
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r == 0) continue;
    if (r < 0 && errno == EINTR) continue;
    ssize_t n = r < 0 ? -1 : recv(fd, buf.data(), buf.size(), 0);
    if (n == 0) {
      parser->Ended();
      if (failed()) break;
      s->Report(MDSE_END, int32_t(s->Received.load() / 1024), 0);
      s->MarkEnded();
      break;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      s->Report(MDSE_ERROR, MDSE_ERR_READ, errno);
      s->MarkEnded();
      break;
    }
    parser->Feed(buf.data(), size_t(n), audio, title, titleChanged);
    if (failed()) break;
    announce();
  }
  close(fd);
}

// ---- the filter -------------------------------------------------------------------------------

class TMDNetSourceFilter : public TMDGstFilter, public IMDShoutcastSource, public IMDNetSource {
 public:
  TMDNetSourceFilter(bool http, GstElement* bin, std::shared_ptr<TShared> shared)
      : TMDGstFilter(bin), FHttp(http), FShared(std::move(shared)) {}

  ~TMDNetSourceFilter() override {
    StopReader();
    // Drop the appsrc's hold on the shared part (it holds the appsrc in turn).
    GstAppSrcCallbacks none{};
    gst_app_src_set_callbacks(FShared->Src, &none, nullptr, nullptr);
  }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (FHttp && iid == IID_IMDShoutcastSource) return MDHandOut<IMDShoutcastSource>(this, obj);
      if (!FHttp && iid == IID_IMDNetSource) return MDHandOut<IMDNetSource>(this, obj);
      return TMDGstFilter::QueryInterface(iid, obj);
    });
  }
  uint32_t MDCALL AddRef() override { return TMDGstFilter::AddRef(); }
  uint32_t MDCALL Release() override { return TMDGstFilter::Release(); }

  HRESULT MDCALL OpenUrl(const char16_t* url) override {
    if (!url) return E_POINTER;
    return MDGuard([&]() -> HRESULT {
      std::lock_guard<std::mutex> g(FLock);
      if (FReader.joinable()) return MD_E_ALREADY_OPEN;
      std::string u = MDToUtf8(url);
      TUrl parsed;
      if (!ParseUrl(u, parsed) || parsed.Http != FHttp) return MD_E_BAD_URL;
      addrinfo* addrs = Resolve(parsed.Host, parsed.Port);
      if (!addrs) return MD_E_HOST_NOT_FOUND;
      int fd = ConnectTo(addrs);
      freeaddrinfo(addrs);
      if (fd < 0) return MD_E_CONNECT;
      if (FHttp) {
        std::string host;
        if (parsed.Host.find(':') != std::string::npos) {
          host += '[';
          host += parsed.Host;
          host += ']';
        } else {
          host = parsed.Host;
        }
        if (parsed.Port != 80) {
          host += ':';
          host += std::to_string(parsed.Port);
        }
        std::string req = "GET " + parsed.Path + " HTTP/1.0\r\nHost: " + host +
                          "\r\nUser-Agent: Midavo/4.0\r\nAccept: */*\r\nIcy-MetaData: 1\r\n"
                          "Connection: close\r\n\r\n";
        if (!SendAll(fd, req)) {
          close(fd);
          return MD_E_CONNECT;
        }
      }
      // Look at the first answer: fail now on anything that is not MPEG audio; a server that
      // accepted and stays silent is waited for by the reader thread.
      auto parser = std::make_unique<TStreamParser>(FHttp);
      std::vector<uint8_t> buf(16 * 1024), audio;
      std::string title;
      bool titleChanged = false;
      auto deadline = Clock::now() + std::chrono::milliseconds(kFirstDataMs);
      while (parser->Phase() == TStreamParser::TPhase::Headers || parser->Phase() == TStreamParser::TPhase::Detect) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          parser->Ended();
          break;
        }
        parser->Feed(buf.data(), size_t(n), audio, title, titleChanged);
      }
      if (parser->Phase() == TStreamParser::TPhase::Failed) {
        close(fd);
        return parser->Failure();
      }
      FUrl = url;
      FShared->Stop = false;
      // Hand what was read to the reader thread through the shared queue and its title.
      FShared->AddAudio(audio);
      if (titleChanged) {
        std::lock_guard<std::mutex> ig(FShared->InfoLock);
        FShared->Title = title;
      }
      FReader = std::thread([s = FShared, fd, p = std::move(parser)]() mutable {
        ReadLoop(std::move(s), fd, std::move(p));
      });
      return S_OK;
    });
  }

  HRESULT MDCALL CloseUrl() override {
    return MDGuard([&]() -> HRESULT { return StopReader() ? S_OK : S_FALSE; });
  }

  HRESULT MDCALL GetUrl(const char16_t** url) override {
    if (!url) return E_POINTER;
    std::lock_guard<std::mutex> g(FLock);
    *url = FUrl.c_str();
    return S_OK;
  }

  HRESULT MDCALL GetStreamTitle(const char16_t** title) override {
    if (!title) return E_POINTER;
    std::lock_guard<std::mutex> g(FLock);
    {
      std::lock_guard<std::mutex> ig(FShared->InfoLock);
      FTitleOut = MDToUtf16(FShared->Title);
    }
    *title = FTitleOut.c_str();
    return S_OK;
  }

  HRESULT MDCALL GetStreamName(const char16_t** name) override {
    if (!name) return E_POINTER;
    std::lock_guard<std::mutex> g(FLock);
    {
      std::lock_guard<std::mutex> ig(FShared->InfoLock);
      FNameOut = MDToUtf16(FShared->Name);
    }
    *name = FNameOut.c_str();
    return S_OK;
  }

  HRESULT MDCALL GetReceivedBytes(int64_t* bytes) override {
    if (!bytes) return E_POINTER;
    *bytes = FShared->Received.load();
    return S_OK;
  }

  HRESULT MDCALL SetCallback(TMDSourceCallback proc, void* userData) override {
    std::lock_guard<std::recursive_mutex> g(FShared->CbLock);
    FShared->Callback = proc;
    FShared->UserData = userData;
    return S_OK;
  }

 private:
  // Stops the reader thread: joined from any other thread; from inside its own callback it is
  // left to end by itself after the callback returns. True when a reader was running.
  bool StopReader() {
    std::thread t;
    {
      std::lock_guard<std::mutex> g(FLock);
      if (!FReader.joinable()) return false;
      t = std::move(FReader);
    }
    FShared->Stop = true;
    FShared->BufCv.notify_all();
    if (t.get_id() == std::this_thread::get_id())
      t.detach();
    else
      t.join();
    return true;
  }

  const bool FHttp;
  std::shared_ptr<TShared> FShared;
  std::mutex FLock;  // guards the fields below
  std::thread FReader;
  std::u16string FUrl;
  std::u16string FTitleOut;
  std::u16string FNameOut;
};

HRESULT CreateSource(bool http, const GUID& iid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (!MDInitMedia()) return E_FAIL;
  return MDGuard([&]() -> HRESULT {
    GstElement* src = MDMakeElement("appsrc");
    GstElement* format = MDMakeElement("capsfilter");
    if (!src || !format) {
      for (GstElement* e : {src, format})
        if (e) gst_object_unref(gst_object_ref_sink(e));
      return E_FAIL;
    }
    GstCaps* caps = gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, 1, nullptr);
    g_object_set(src, "caps", caps, "format", GST_FORMAT_BYTES, "stream-type", GST_APP_STREAM_TYPE_STREAM,
                 "is-live", FALSE, nullptr);
    gst_caps_unref(caps);
    auto shared = std::make_shared<TShared>();
    shared->Src = GST_APP_SRC(gst_object_ref(src));
    GstAppSrcCallbacks cbs{};
    cbs.need_data = &TShared::NeedData;
    gst_app_src_set_callbacks(GST_APP_SRC(src), &cbs, new std::shared_ptr<TShared>(shared), &TShared::FreeRef);
    // The appsrc answers "any format" until it runs; the capsfilter states the format from the
    // start, so the pin can be connected before data flows.
    caps = gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, 1, nullptr);
    g_object_set(format, "caps", caps, nullptr);
    gst_caps_unref(caps);
    GstElement* bin = gst_bin_new(nullptr);
    gst_bin_add_many(GST_BIN(bin), src, format, nullptr);
    gst_element_link(src, format);
    GstPad* pad = gst_element_get_static_pad(format, "src");
    gst_element_add_pad(bin, gst_ghost_pad_new("Output", pad));
    gst_object_unref(pad);
    std::unique_ptr<TMDNetSourceFilter> f(new TMDNetSourceFilter(http, bin, shared));
    HRESULT hr = f->QueryInterface(iid, obj);
    if (MD_SUCCEEDED(hr)) f.release();
    return hr;
  }, E_OUTOFMEMORY);
}

}  // namespace

HRESULT MDCreateShoutcastSource(const GUID& iid, void** obj) { return CreateSource(true, iid, obj); }
HRESULT MDCreateNetSource(const GUID& iid, void** obj) { return CreateSource(false, iid, obj); }
