// The playback module "Simple Playback" and its six actions, through the real host.
//
// Each test runs in a folder of its own (the current directory) whose Modules folder holds
// vidcore.so and the probe plug-in as zprobe.so: module set 0 takes both, and the probe is
// registered after the playback module, so it records an action only once the playback module
// has carried it out. The probe hands out the playback module's IMDPlayer and IMDVideo and the
// MDM_NOTIFY / MDM_ACTION messages it received (tests/plugins/playerprobe.cpp).
//
// This thread is the kernel's main thread: it opens the media, so the graphs' event windows
// belong to its default GLib context, and Close Media reaches it through the kernel's
// Synchronize. Every wait therefore serves both (WaitFor) and has a time limit.
#include <dlfcn.h>
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UMDDShow.h"
#include "core/UMDHost.h"
#include "media_util.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Codes = std::vector<int32_t>;
using Clock = std::chrono::steady_clock;

std::u16string U(const std::string& text) { return MDToUtf16(text); }

// An 8-second tone: long enough to seek 5 s forward and back.
const std::string& EightSeconds() {
  static const std::string path = [] {
    const std::string p = mt::Media("eight.wav");
    std::string out;
    const int code = mt::RunCommand(
        {"gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=80", "samplesperbuffer=2205", "freq=440",
         "!", "audio/x-raw,rate=22050,channels=1,format=S16LE", "!", "wavenc", "!", "filesink",
         "location=" + p},
        &out);
    if (code != 0) throw std::runtime_error("gst-launch-1.0 failed: " + out);
    return p;
  }();
  return path;
}

struct TRecorded {
  uint32_t Msg;
  int32_t Param1;
};

// Ends the process if a step that must finish (a shut-down) hangs, so the run fails quickly
// with a message instead of running into the test's time-out.
class TWatchdog {
 public:
  TWatchdog(int seconds, std::string what)
      : FThread([this, seconds, what = std::move(what)] {
          std::unique_lock<std::mutex> lock(FLock);
          if (!FDone.wait_for(lock, std::chrono::seconds(seconds), [&] { return FDisarmed; })) {
            std::fprintf(stderr, "player_test: %s did not finish within %d s\n", what.c_str(), seconds);
            std::_Exit(3);
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FDisarmed = true;
    }
    FDone.notify_all();
    FThread.join();
  }

 private:
  std::mutex FLock;
  std::condition_variable FDone;
  bool FDisarmed = false;  // guarded by FLock
  std::thread FThread;
};

// A named pipe standing in for a media file: rendering it blocks while the file is opened,
// until Release writes `content` (smaller than a pipe's buffer). So an open stays in progress
// exactly as long as a test wants. The renderer may open the file more than once while it finds
// out how to read it; the writer therefore keeps its end open for a few seconds (the data stays
// in the pipe meanwhile) and then closes it, which is the end of the file.
class TGate {
 public:
  TGate(fs::path path, std::string content) : FPath(std::move(path)), FContent(std::move(content)) {
    if (::mkfifo(FPath.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
  }
  ~TGate() {
    if (FWriter.joinable()) FWriter.join();
  }
  const fs::path& Path() const { return FPath; }

  // Writes the content after `delayMs`, on a thread of its own; gives up after 10 s without a
  // reader. A reader that goes away while the content is written gets it again from the start
  // when it comes back.
  void Release(int delayMs = 0) {
    FWriter = std::thread([this, delayMs] {
      // A write to a pipe whose reader left fails with EPIPE instead of ending the process.
      sigset_t pipeSignal;
      sigemptyset(&pipeSignal);
      sigaddset(&pipeSignal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      int fd = -1;
      bool written = false;
      while (!written && Clock::now() < deadline) {
        fd = ::open(FPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        }
        size_t done = 0;
        while (done < FContent.size() && Clock::now() < deadline) {
          const ssize_t n = ::write(fd, FContent.data() + done, FContent.size() - done);
          if (n > 0) done += static_cast<size_t>(n);
          else if (n < 0 && errno == EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(10));
          else break;
        }
        written = done == FContent.size();
        if (!written) {
          ::close(fd);
          fd = -1;
        }
      }
      if (fd < 0) return;
      std::this_thread::sleep_for(std::chrono::seconds(3));
      ::close(fd);
    });
  }

 private:
  fs::path FPath;
  std::string FContent;
  std::thread FWriter;
};


// The pixel at (x, y) of a window as 0xRRGGBB.
unsigned long PixelAt(Display* display, Window window, int x, int y) {
  XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return 0xFFFFFFFF;
  const unsigned long pixel = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  return pixel & 0xFFFFFF;
}

// The test picture (media_util's video.avi) is red.
bool Reddish(unsigned long p) {
  return ((p >> 16) & 0xFF) > 0xC0 && ((p >> 8) & 0xFF) < 0x40 && (p & 0xFF) < 0x40;
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Runs whatever this thread's default GLib context has to do, for a short while.
void PumpGLib() {
  for (int i = 0; i < 10; ++i) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Each of `wanted` is part of some line, in this order (other lines may come between).
::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& wanted) {
  size_t at = 0;
  for (const std::string& w : wanted) {
    while (at < lines.size() && lines[at].find(w) == std::string::npos) ++at;
    if (at == lines.size()) {
      std::ostringstream all;
      for (const std::string& l : lines) all << "\n  " << l;
      return ::testing::AssertionFailure() << "\"" << w << "\" missing or out of order in:" << all.str();
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
}

class Player : public ::testing::Test {
 protected:
  void SetUp() override {
    mt::MediaDir();
    char pattern[] = "/tmp/midavo-player-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    FDir = pattern;
    FOldDir = fs::current_path();
    fs::create_directory(FDir / "Modules");
    fs::copy_file(fs::path(MIDAVO_MODULES_DIR) / "vidcore.so", FDir / "Modules" / "vidcore.so");
    fs::copy_file(fs::path(MIDAVO_TEST_PLUGINS_DIR) / "playerprobe.so", FDir / "Modules" / "zprobe.so");
    fs::current_path(FDir);
  }

  void TearDown() override {
    StopHost();
    fs::current_path(FOldDir);
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
  }

  // Starts the host in the run folder and takes the probe's exports from the loaded probe.
  void StartHost() {
    MDStartHost(K, TMDHostOptions{});
    const fs::path probe = FDir / "Modules" / "zprobe.so";
    void* handle = ::dlopen(probe.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_TRUE(handle) << "the host loaded the probe";
    auto player = reinterpret_cast<IMDPlayer* (*)()>(::dlsym(handle, "ProbePlayer"));
    auto video = reinterpret_cast<IMDVideo* (*)()>(::dlsym(handle, "ProbeVideo"));
    FProbeEvents = reinterpret_cast<int32_t (*)(uint32_t*, int32_t*, int32_t)>(::dlsym(handle, "ProbeEvents"));
    ::dlclose(handle);  // the host keeps it loaded
    ASSERT_TRUE(player && video && FProbeEvents);
    P = player();
    V = video();
    ASSERT_TRUE(P && V) << "the probe found Simple Playback and its two interfaces";
  }

  // Stops the host (the probe and vidcore.so are unloaded) under a watchdog.
  void StopHost() {
    if (!K) return;
    TWatchdog watchdog(60, "the host's shut-down");
    P = nullptr;
    V = nullptr;
    FProbeEvents = nullptr;
    MDStopHost(K);
  }

  // Serves the kernel's main-thread requests and this thread's GLib context until `done`
  // holds; false when `timeoutMs` passed first.
  bool WaitFor(const std::function<bool()>& done, int timeoutMs = 15000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      K->ServeRequests();
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
      if (done()) return true;
      if (Clock::now() >= deadline) return false;
      K->WaitAndServeRequests(5);
    }
  }
  void Settle(int ms) { WaitFor([] { return false; }, ms); }

  std::vector<TRecorded> Events() {
    const int32_t count = FProbeEvents(nullptr, nullptr, 0);
    std::vector<uint32_t> msgs(count);
    std::vector<int32_t> params(count);
    const int32_t now = std::min(FProbeEvents(msgs.data(), params.data(), count), count);
    std::vector<TRecorded> events;
    for (int32_t i = 0; i < now; ++i) events.push_back({msgs[i], params[i]});
    return events;
  }
  // The notification codes the probe received, in order.
  Codes Notes() {
    Codes codes;
    for (const TRecorded& e : Events())
      if (e.Msg == MDM_NOTIFY) codes.push_back(e.Param1);
    return codes;
  }
  size_t Count(uint32_t msg, int32_t param1) {
    size_t n = 0;
    for (const TRecorded& e : Events()) n += e.Msg == msg && e.Param1 == param1;
    return n;
  }
  bool WaitNote(int32_t code, size_t times = 1, int timeoutMs = 15000) {
    return WaitFor([&] { return Count(MDM_NOTIFY, code) >= times; }, timeoutMs);
  }

  void Post(uint32_t msg, int32_t param1) {
    TMDMessage m{};
    m.Msg = msg;
    m.Param1 = param1;
    K->HandleMessage(&m);
  }
  // Performs an action and waits until the probe received it, that is until the playback
  // module has carried it out.
  bool Act(int32_t code) {
    const size_t before = Count(MDM_ACTION, code);
    Post(MDM_ACTION, code);
    return WaitFor([&] { return Count(MDM_ACTION, code) > before; });
  }

  double Position() {
    double seconds = -1.0;
    EXPECT_EQ(P->GetPosition(&seconds), S_OK);
    return seconds;
  }

  fs::path FDir;
  fs::path FOldDir;
  std::unique_ptr<TMDKernel> K;
  IMDPlayer* P = nullptr;  // borrowed from the probe while the host runs
  IMDVideo* V = nullptr;
  int32_t (*FProbeEvents)(uint32_t*, int32_t*, int32_t) = nullptr;
};

// Every call that needs a running kernel and open media is refused, with the documented outputs.
void ExpectRefused(IMDPlayer* p, IMDVideo* v) {
  void* object = &object;
  EXPECT_EQ(p->QueryGraphInterface(&IID_IMediaSeeking, &object), E_FAIL);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(p->Play(), E_FAIL);
  EXPECT_EQ(p->StopPlayback(), E_FAIL);
  EXPECT_EQ(p->Pause(), E_FAIL);
  double value = 7.0;
  EXPECT_EQ(p->GetDuration(&value), E_FAIL);
  EXPECT_EQ(value, 0.0);
  value = 7.0;
  EXPECT_EQ(p->GetPosition(&value), E_FAIL);
  EXPECT_EQ(value, 0.0);
  value = 7.0;
  EXPECT_EQ(p->GetRate(&value), E_FAIL);
  EXPECT_EQ(value, 1.0);
  EXPECT_EQ(p->SetPosition(1.0), E_FAIL);
  EXPECT_EQ(p->SetRate(2.0), E_FAIL);

  EXPECT_EQ(v->HasVideo(), E_FAIL);
  int32_t width = 7, height = 7;
  EXPECT_EQ(v->GetVideoSize(&width, &height), E_FAIL);
  EXPECT_EQ(width, 7) << "left untouched";
  EXPECT_EQ(height, 7);
  BOOL32 visible = 0;
  EXPECT_EQ(v->GetVideoVisible(&visible), E_FAIL);
  EXPECT_EQ(v->SetVideoVisible(MD_TRUE), E_FAIL);
  MDHANDLE owner = 0;
  EXPECT_EQ(v->GetVideoOwner(&owner), E_FAIL);
  EXPECT_EQ(v->SetVideoOwner(0x1234), E_FAIL);
  int32_t l = 0, t = 0, w = 0, h = 0;
  EXPECT_EQ(v->GetVideoPosition(&l, &t, &w, &h), E_FAIL);
  EXPECT_EQ(v->SetVideoPosition(1, 2, 3, 4), E_FAIL);
  EXPECT_EQ(v->SetMessageDrain(0x1234), E_FAIL);
  EXPECT_EQ(v->NotifyOwnerMessage(0x0100, 1, 2), E_FAIL);

  EXPECT_EQ(p->CloseMedia(), S_OK) << "the one call that is always accepted";
}

constexpr int32_t kAllActions[] = {MDA_PLAY,         MDA_STOP,          MDA_PAUSE, MDA_CLOSE_MEDIA,
                                   MDA_SEEK_FORWARD, MDA_SEEK_BACKWARD, 0x0A07};

TEST_F(Player, LeavingRunningClosesTheFileOnceAndThenEverythingButCloseMediaFails) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  const std::u16string file = U(mt::Media("long.mp3"));
  ASSERT_EQ(P->OpenFile(file.c_str()), S_OK);
  ASSERT_TRUE(WaitNote(MDN_OPENED));

  ASSERT_EQ(K->SetState(KS_READY), S_OK);
  ASSERT_TRUE(WaitNote(MDN_CLOSED));
  Settle(300);
  EXPECT_EQ(Notes(), (Codes{MDN_OPENED, MDN_CLOSED})) << "a file reports its closing once";

  {
    SCOPED_TRACE("the kernel is not running");
    ExpectRefused(P, V);
    EXPECT_EQ(P->OpenFile(file.c_str()), E_FAIL);
    EXPECT_EQ(P->OpenStream(u"mdsf://127.0.0.1:1"), E_FAIL);
    for (int32_t code : kAllActions) ASSERT_TRUE(Act(code));
  }
  ASSERT_EQ(K->SetState(KS_RUNNING), S_OK);
  {
    SCOPED_TRACE("nothing is open");
    ExpectRefused(P, V);
    for (int32_t code : kAllActions) ASSERT_TRUE(Act(code));
  }
  EXPECT_EQ(Notes(), (Codes{MDN_OPENED, MDN_CLOSED})) << "refused calls and actions report nothing";
}

TEST_F(Player, FilePlaysPausesSeeksStopsAndReachesItsEnd) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_EQ(P->OpenFile(U(EightSeconds()).c_str()), S_OK);
  ASSERT_TRUE(WaitNote(MDN_OPENED));
  double duration = 0.0, rate = 0.0;
  ASSERT_EQ(P->GetDuration(&duration), S_OK);
  EXPECT_NEAR(duration, 8.0, 0.05);
  EXPECT_EQ(P->GetRate(&rate), S_OK);
  EXPECT_EQ(rate, 1.0);
  TComPtr<IMediaSeeking> seeking;
  EXPECT_EQ(P->QueryGraphInterface(&IID_IMediaSeeking, seeking.PutVoid()), S_OK);
  EXPECT_TRUE(seeking);
  seeking = nullptr;

  EXPECT_EQ(P->Play(), S_OK);
  ASSERT_TRUE(WaitNote(MDN_PLAYING));
  EXPECT_TRUE(WaitFor([&] { return Position() > 0.3; })) << "the position advances while playing";

  EXPECT_EQ(P->Pause(), S_OK);
  ASSERT_TRUE(WaitNote(MDN_PAUSED));
  Settle(100);
  const double paused = Position();
  Settle(300);
  EXPECT_NEAR(Position(), paused, 0.02) << "the position holds while paused";

  ASSERT_TRUE(Act(MDA_SEEK_FORWARD));
  EXPECT_NEAR(Position(), paused + 5.0, 0.02);
  ASSERT_TRUE(Act(MDA_SEEK_BACKWARD));
  EXPECT_NEAR(Position(), paused, 0.02);

  EXPECT_EQ(P->StopPlayback(), S_OK);
  ASSERT_TRUE(WaitNote(MDN_STOPPED));
  EXPECT_NEAR(Position(), 0.0, 0.001) << "stopping rewinds";

  // The end of the media is reported on this thread (the graph's event window is served here)
  // and leaves the media open.
  EXPECT_EQ(P->SetPosition(duration - 0.5), S_OK);
  ASSERT_TRUE(Act(MDA_PLAY));
  ASSERT_TRUE(WaitNote(MDN_COMPLETE, 1, 10000));
  EXPECT_EQ(P->GetDuration(&duration), S_OK);

  ASSERT_TRUE(Act(MDA_CLOSE_MEDIA));
  ASSERT_TRUE(WaitNote(MDN_CLOSED));
  EXPECT_EQ(P->Play(), E_FAIL) << "closed";
  EXPECT_EQ(Notes(), (Codes{MDN_OPENED, MDN_PLAYING, MDN_PAUSED, MDN_STOPPED, MDN_PLAYING,
                            MDN_COMPLETE, MDN_CLOSED}));
}

// A file that does not render fails later, on the open thread: 0xFA03, then the module posts
// Close Media, and closing it (on this thread, through Synchronize) reports 0xFA02.
TEST_F(Player, UnplayableFileFailsAndIsClosedThroughThePostedAction) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  for (const char* name : {"text.txt", "empty.mp3", "no-such-file.mp3"}) {
    SCOPED_TRACE(name);
    const size_t before = Events().size();
    ASSERT_EQ(P->OpenFile(U(mt::MediaDir() + "/" + name).c_str()), S_OK) << "opening has started";
    ASSERT_TRUE(WaitNote(MDN_CLOSED, Count(MDM_NOTIFY, MDN_CLOSED) + 1));
    std::vector<TRecorded> events = Events();
    events.erase(events.begin(), events.begin() + static_cast<long>(before));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Msg, MDM_NOTIFY);
    EXPECT_EQ(events[0].Param1, MDN_OPEN_FAILED);
    EXPECT_EQ(events[1].Msg, MDM_ACTION);
    EXPECT_EQ(events[1].Param1, MDA_CLOSE_MEDIA);
    EXPECT_EQ(events[2].Msg, MDM_NOTIFY);
    EXPECT_EQ(events[2].Param1, MDN_CLOSED);
    EXPECT_EQ(P->Play(), E_FAIL) << "nothing is open any more";
  }
}

// A stream that fails inside OpenStream returns the failure; nothing reports "open failed",
// and the module is free for the next open at once.
TEST_F(Player, StreamFailingAtOnceReturnsTheFailure) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  const struct {
    std::string Url;
    HRESULT Result;
  } cases[] = {{"https://127.0.0.1/radio", E_FAIL},
               {"mdsf://127.0.0.1:" + std::to_string(mt::RefusingPort()), MD_E_CONNECT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Url);
    EXPECT_EQ(P->OpenStream(U(c.Url).c_str()), c.Result);
    EXPECT_EQ(P->Play(), E_FAIL) << "nothing is open";
  }
  ASSERT_EQ(P->OpenFile(U(mt::Media("tone.mp3")).c_str()), S_OK);
  ASSERT_TRUE(WaitNote(MDN_OPENED));
  const Codes notes = Notes();
  EXPECT_EQ(std::count(notes.begin(), notes.end(), MDN_OPEN_FAILED), 0);
  EXPECT_EQ(notes.back(), MDN_OPENED);
}

// A stream has no position: seeking and rate are refused with S_FALSE, the seek actions do
// nothing; run, pause and stop work through the actions. Leaving KS_RUNNING closes it, which a
// stream graph reports twice.
TEST_F(Player, StreamRefusesSeekingAndReportsItsClosingTwice) {
  const std::string audio = mt::ReadFile(mt::Media("tone.mp3"));
  mt::TServer server([audio](int fd, mt::TServer& s) {
    for (int i = 0; i < 400 && !s.Stopping(); ++i)
      if (!s.Send(fd, audio)) return;
  });
  ASSERT_NO_FATAL_FAILURE(StartHost());
  const std::u16string url = U("mdsf://127.0.0.1:" + std::to_string(server.Port()));
  ASSERT_EQ(P->OpenStream(url.c_str()), S_OK);
  ASSERT_TRUE(WaitNote(MDN_OPENED));

  double value = 7.0;
  EXPECT_EQ(P->GetDuration(&value), S_OK);
  EXPECT_EQ(value, 0.0);
  value = 7.0;
  EXPECT_EQ(P->GetPosition(&value), S_FALSE);
  EXPECT_EQ(value, 0.0);
  value = 7.0;
  EXPECT_EQ(P->GetRate(&value), S_FALSE);
  EXPECT_EQ(value, 1.0);
  EXPECT_EQ(P->SetPosition(1.0), S_FALSE);
  EXPECT_EQ(P->SetRate(2.0), S_FALSE);
  TComPtr<IMediaControl> control;
  EXPECT_EQ(P->QueryGraphInterface(&IID_IMediaControl, control.PutVoid()), S_OK);
  EXPECT_TRUE(control);
  control = nullptr;

  EXPECT_EQ(V->HasVideo(), S_FALSE);
  int32_t width = 7, height = 7;
  EXPECT_EQ(V->GetVideoSize(&width, &height), S_FALSE);
  EXPECT_EQ(width, 0);
  EXPECT_EQ(height, 0);
  int32_t l = 7, t = 7, w = 7, h = 7;
  EXPECT_EQ(V->GetVideoPosition(&l, &t, &w, &h), S_FALSE);
  EXPECT_EQ(l + t + w + h, 0);
  EXPECT_EQ(V->SetVideoOwner(0x1234), S_FALSE);

  ASSERT_TRUE(Act(MDA_PLAY));
  ASSERT_TRUE(WaitNote(MDN_PLAYING));
  ASSERT_TRUE(Act(MDA_SEEK_FORWARD));
  ASSERT_TRUE(Act(MDA_SEEK_BACKWARD));
  ASSERT_TRUE(Act(MDA_PAUSE));
  ASSERT_TRUE(WaitNote(MDN_PAUSED));
  ASSERT_TRUE(Act(MDA_STOP));
  ASSERT_TRUE(WaitNote(MDN_STOPPED));

  ASSERT_EQ(K->SetState(KS_READY), S_OK);
  ASSERT_TRUE(WaitNote(MDN_CLOSED, 2));
  Settle(300);
  EXPECT_EQ(Notes(), (Codes{MDN_OPENED, MDN_PLAYING, MDN_PAUSED, MDN_STOPPED, MDN_CLOSED, MDN_CLOSED}));
}

// While a file is still being rendered a second open is refused, and closing (by call or by
// action) does nothing; the pending open then completes undisturbed.
TEST_F(Player, SecondOpenWhileOneRendersIsRefused) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  TGate gate(FDir / "gate.mp3", mt::ReadFile(mt::Media("tone.mp3")));
  ASSERT_EQ(P->OpenFile(U(gate.Path()).c_str()), S_OK);
  EXPECT_EQ(P->OpenFile(U(EightSeconds()).c_str()), E_FAIL);
  EXPECT_EQ(P->OpenStream(u"mdsf://127.0.0.1:1"), E_FAIL);
  EXPECT_EQ(P->CloseMedia(), S_OK);
  ASSERT_TRUE(Act(MDA_CLOSE_MEDIA));
  Settle(200);
  EXPECT_EQ(Notes(), Codes{}) << "the open is still in progress and nothing was closed";

  gate.Release();
  ASSERT_TRUE(WaitNote(MDN_OPENED));
  EXPECT_EQ(P->Play(), S_OK);
  ASSERT_TRUE(WaitNote(MDN_PLAYING));
  EXPECT_EQ(Notes(), (Codes{MDN_OPENED, MDN_PLAYING}));
}

// Shutting the host down while an open is in progress: the playback module must neither crash
// nor let the open's notification reach it (or its unloaded library) once it is gone. A file
// render is waited for; a stream still waiting for its server is cut off.
TEST_F(Player, ShutdownWhileAnOpenIsInProgressIsClean) {
  {
    SCOPED_TRACE("a file whose render ends during the shut-down");
    ASSERT_NO_FATAL_FAILURE(StartHost());
    TGate gate(FDir / "gate.mp3", mt::ReadFile(mt::Media("tone.mp3")));
    ASSERT_EQ(P->OpenFile(U(gate.Path()).c_str()), S_OK);
    gate.Release(300);
    StopHost();
  }
  {
    SCOPED_TRACE("a stream whose server has not sent anything yet");
    mt::TServer server([](int fd, mt::TServer& s) {
      for (int i = 0; i < 400 && !s.Stopping(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    });
    ASSERT_NO_FATAL_FAILURE(StartHost());
    ASSERT_EQ(P->OpenStream(U("mdsf://127.0.0.1:" + std::to_string(server.Port())).c_str()), S_OK);
    StopHost();
  }
  // Nothing of the playback library is left behind to run: the default context holds no work
  // for it, and the library is gone.
  PumpGLib();
  EXPECT_EQ(::dlopen((FDir / "Modules" / "vidcore.so").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

// The graph reported the end of the media to its event window, and the host goes down before
// this thread's GLib context delivered it: the delivery must not run into the unloaded library.
TEST_F(Player, ShutdownWithAGraphEventStillQueuedIsClean) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_EQ(P->OpenFile(U(mt::Media("tone.mp3")).c_str()), S_OK);
  ASSERT_TRUE(WaitNote(MDN_OPENED));
  double duration = 0.0;
  ASSERT_EQ(P->GetDuration(&duration), S_OK);
  ASSERT_EQ(P->SetPosition(duration - 0.2), S_OK);
  ASSERT_EQ(P->Play(), S_OK);
  // Serve Synchronize only: the GLib context keeps the end-of-media announcement queued.
  K->WaitAndServeRequests(2000);
  StopHost();
  PumpGLib();
}

TEST_F(Player, VideoIsDrawnInsideTheOwnerWindow) {
  mt::TXvfb xvfb;
  const std::string display = xvfb.Start();
  ASSERT_FALSE(display.empty()) << "Xvfb names its display";
  ::setenv("DISPLAY", display.c_str(), 1);
  Display* x = XOpenDisplay(display.c_str());
  ASSERT_TRUE(x);
  const Window owner = XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, 320, 240, 0, 0, 0xFFFFFF);
  XMapWindow(x, owner);
  XSync(x, False);

  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_EQ(P->OpenFile(U(mt::Media("video.avi")).c_str()), S_OK);
  ASSERT_TRUE(WaitNote(MDN_OPENED));
  EXPECT_EQ(V->HasVideo(), S_OK);
  int32_t width = 0, height = 0;
  EXPECT_EQ(V->GetVideoSize(&width, &height), S_OK);
  EXPECT_EQ(width, 160);
  EXPECT_EQ(height, 120);

  EXPECT_EQ(V->SetVideoOwner(owner), S_OK);
  EXPECT_EQ(V->SetVideoPosition(80, 60, 160, 120), S_OK);
  MDHANDLE got = 0;
  EXPECT_EQ(V->GetVideoOwner(&got), S_OK);
  EXPECT_EQ(got, owner);
  int32_t l = 0, t = 0, w = 0, h = 0;
  EXPECT_EQ(V->GetVideoPosition(&l, &t, &w, &h), S_OK);
  EXPECT_EQ((std::vector<int32_t>{l, t, w, h}), (std::vector<int32_t>{80, 60, 160, 120}));

  // An owned video window does not show itself: only SetVideoVisible does.
  EXPECT_EQ(P->Play(), S_OK);
  ASSERT_TRUE(WaitNote(MDN_PLAYING));
  Settle(300);
  EXPECT_FALSE(Reddish(PixelAt(x, owner, 160, 120)));
  EXPECT_EQ(V->SetVideoVisible(MD_TRUE), S_OK);
  BOOL32 visible = 0;
  EXPECT_EQ(V->GetVideoVisible(&visible), S_OK);
  EXPECT_NE(visible, 0);
  EXPECT_TRUE(WaitFor([&] { return Reddish(PixelAt(x, owner, 160, 120)); }, 10000))
      << std::hex << PixelAt(x, owner, 160, 120);
  EXPECT_EQ(PixelAt(x, owner, 20, 20), 0xFFFFFFu) << "nothing is drawn outside the rectangle";
  EXPECT_EQ(PixelAt(x, owner, 300, 220), 0xFFFFFFu);

  // The renderer's window is the owner's one child, placed at the rectangle.
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  ASSERT_TRUE(XQueryTree(x, owner, &root, &parent, &children, &count));
  ASSERT_EQ(count, 1u);
  const Window picture = children[0];
  XFree(children);
  int px = 0, py = 0;
  unsigned pw = 0, ph = 0, border = 0, depth = 0;
  ASSERT_TRUE(XGetGeometry(x, picture, &root, &px, &py, &pw, &ph, &border, &depth));
  EXPECT_EQ((std::vector<int>{px, py, int(pw), int(ph)}), (std::vector<int>{80, 60, 160, 120}));

  EXPECT_EQ(V->SetVideoVisible(MD_FALSE), S_OK);
  EXPECT_TRUE(WaitFor([&] { return PixelAt(x, owner, 160, 120) == 0xFFFFFF; }, 5000));

  StopHost();
  XDestroyWindow(x, owner);
  XCloseDisplay(x);
  ::unsetenv("DISPLAY");
}

// The real program: "Play" is bound to F5 in settings.ini. The probe opens a file when the
// kernel runs, hands the F5 key-down to the kernel's IMDInputSink once the file is open, sees
// playback start and performs "Shutdown Application".
TEST_F(Player, BoundKeyStartsPlaybackInTheMidavoProgram) {
  std::ofstream(FDir / "settings.ini") << "[Input.Keyboard]\n2561=F5\n";
  const fs::path log = FDir / "probe.log";
  auto withOptions = [](const char* name, const std::string& more) {
    const char* current = std::getenv(name);
    return std::string(name) + "=" + (current && *current ? std::string(current) + ":" : "") + more;
  };
  std::string output;
  const int code = mt::RunCommand(
      {"env", "QT_QPA_PLATFORM=offscreen", "MIDAVO_TEST_LOG=" + log.string(),
       "MIDAVO_PROBE_OPEN=" + mt::Media("long.mp3"), "MIDAVO_PROBE_KEY=116",
       withOptions("LSAN_OPTIONS", "suppressions=" MIDAVO_CHILD_LSAN_SUPP),
       withOptions("TSAN_OPTIONS", "suppressions=" MIDAVO_CHILD_TSAN_SUPP),
       MIDAVO_OUT_DIR "/Midavo"},
      &output, 60000);
  EXPECT_EQ(code, 0) << output;
  const std::vector<std::string> lines = ReadLines(log);
  EXPECT_TRUE(InOrder(lines, {"zprobe.so found player video", "zprobe.so notify 0xFA01",
                              "zprobe.so key 116", "zprobe.so action 0xA01",
                              "zprobe.so notify 0xFA04", "zprobe.so shutdown",
                              "zprobe.so action 0xFFFF", "zprobe.so destroyed"}));
  EXPECT_TRUE(InOrder(lines, {"zprobe.so open 0x0"}));
}

}  // namespace
