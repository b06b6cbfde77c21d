// Real output: a private PulseAudio with a null sink records what the audio renderer played;
// a private Xvfb shows the video drawn into an owner window of the test.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <gst/gst.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "UGraph.h"
#include "UMDPlatform.h"
#include "media_util.h"

extern char** environ;

using namespace mt;

namespace {

// A child process, stopped and reaped at the end of the scope.
class TChild {
 public:
  ~TChild() { Stop(); }
  // `passFd` becomes the child's descriptor 3.
  bool Spawn(const std::vector<std::string>& argv, int passFd = -1) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (passFd >= 0) posix_spawn_file_actions_adddup2(&fa, passFd, 3);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    posix_spawn_file_actions_adddup2(&fa, devnull, 1);
    posix_spawn_file_actions_adddup2(&fa, devnull, 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawnp(&FPid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(devnull);
    if (rc != 0) FPid = -1;
    return FPid > 0;
  }
  void Stop() {
    if (FPid <= 0) return;
    kill(FPid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
        FPid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
  }

 private:
  pid_t FPid = -1;
};

std::string TempDir(const char* stem) {
  std::string t = std::string("/tmp/") + stem + "-XXXXXX";
  std::vector<char> buf(t.begin(), t.end());
  buf.push_back('\0');
  return mkdtemp(buf.data());
}

TEST(RealOutput, ToneReachesTheSoundServerAtItsPitch) {
  MediaDir();
  ASSERT_TRUE(MDInitMedia());
  std::string runtime = TempDir("midavo-pulse");
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("HOME", runtime.c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + runtime + "/pulse/native").c_str(), 1);
  TChild pulse;
  ASSERT_TRUE(pulse.Spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                           "--system=no", "-n", "--load=module-native-protocol-unix",
                           "--load=module-null-sink sink_name=midavo_test"}))
      << "pulseaudio is one of the test packages";
  std::string out;
  bool up = false;
  for (int i = 0; i < 100 && !up; ++i) {
    up = std::filesystem::exists(runtime + "/pulse/native") && RunCommand({"pactl", "info"}, &out, 5000) == 0;
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(up) << out;
  ASSERT_EQ(RunCommand({"pactl", "set-default-sink", "midavo_test"}, &out, 5000), 0) << out;

  // Record the null sink's monitor while the file graph plays a 1 kHz tone.
  std::string wav = runtime + "/recorded.wav";
  GError* err = nullptr;
  GstElement* rec = gst_parse_launch(
      ("pulsesrc device=midavo_test.monitor ! audioconvert ! audio/x-raw,rate=44100,channels=1,format=S16LE ! "
       "wavenc ! filesink location=" + wav).c_str(), &err);
  ASSERT_TRUE(rec && !err);
  ASSERT_NE(gst_element_set_state(rec, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  {
    TRecorder r;
    TGraph2 g;
    r.Attach(g);
    ASSERT_EQ(g.Open(Media16("khz.mp3").c_str()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return r.Opened + r.Failed > 0; }));
    ASSERT_EQ(r.Opened, 1);
    ASSERT_EQ(g.Run(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return r.Complete > 0; }, 20000));
  }
  gst_element_send_event(rec, gst_event_new_eos());
  GstBus* bus = gst_element_get_bus(rec);
  GstMessage* m = gst_bus_timed_pop_filtered(bus, 5 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (m) gst_message_unref(m);
  gst_object_unref(bus);
  gst_element_set_state(rec, GST_STATE_NULL);
  gst_object_unref(rec);
  pulse.Stop();

  ASSERT_EQ(RunCommand({"sox", wav, "-n", "stat"}, &out, 30000), 0) << out;
  std::smatch freq, amp;
  ASSERT_TRUE(std::regex_search(out, freq, std::regex(R"(Rough\s+frequency:\s+(\d+))"))) << out;
  EXPECT_NEAR(std::stoi(freq[1]), 1000, 50) << out;
  ASSERT_TRUE(std::regex_search(out, amp, std::regex(R"(Maximum amplitude:\s+([0-9.]+))"))) << out;
  EXPECT_GT(std::stod(amp[1]), 0.1) << "the tone was heard, not silence";
  std::filesystem::remove_all(runtime);
  unsetenv("PULSE_SERVER");
}

// The pixel at (x, y) of a window as 0xRRGGBB.
unsigned long PixelAt(Display* d, Window w, int x, int y) {
  XImage* img = XGetImage(d, w, x, y, 1, 1, AllPlanes, ZPixmap);
  if (!img) return 0xFFFFFFFF;
  unsigned long p = XGetPixel(img, 0, 0);
  XDestroyImage(img);
  return p & 0xFFFFFF;
}

// Records the graph events its window hands over.
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
  bool Saw(int32_t code) {
    std::lock_guard<std::mutex> g(Lock);
    return std::find(Codes.begin(), Codes.end(), code) != Codes.end();
  }
};

bool Reddish(unsigned long p) { return ((p >> 16) & 0xFF) > 0xC0 && ((p >> 8) & 0xFF) < 0x40 && (p & 0xFF) < 0x40; }

TEST(RealOutput, VideoFramesReachTheOwnerWindow) {
  MediaDir();
  TXvfb xvfb;
  const std::string display = xvfb.Start();
  ASSERT_FALSE(display.empty()) << "Xvfb names its display";
  setenv("DISPLAY", display.c_str(), 1);

  Display* d = XOpenDisplay(display.c_str());
  ASSERT_TRUE(d);
  Window owner = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 320, 240, 0, 0, 0xFFFFFF);
  XMapWindow(d, owner);
  XSync(d, False);
  {
    TRecorder r;
    TEventGraph g;
    r.Attach(g);
    ASSERT_EQ(g.Open(Media16("video.avi").c_str()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return r.Opened + r.Failed > 0; }));
    ASSERT_EQ(r.Opened, 1);
    auto vw = g.VideoWindow();
    ASSERT_TRUE(vw);
    EXPECT_EQ(vw->put_WindowStyle(WS_CLIPSIBLINGS), S_OK);
    EXPECT_EQ(vw->put_AutoShow(MD_FALSE), S_OK);
    EXPECT_EQ(vw->put_Owner(owner), S_OK);
    EXPECT_EQ(vw->SetWindowPosition(0, 0, 160, 120), S_OK);
    EXPECT_EQ(g.Run(), S_OK);
    PumpFor(300);
    EXPECT_FALSE(Reddish(PixelAt(d, owner, 80, 60))) << "nothing shows before the window is made visible";
    EXPECT_EQ(vw->put_Visible(MD_TRUE), S_OK);
    EXPECT_TRUE(PumpUntil([&] { return Reddish(PixelAt(d, owner, 80, 60)); }, 10000))
        << std::hex << PixelAt(d, owner, 80, 60);
    EXPECT_EQ(PixelAt(d, owner, 240, 180), 0xFFFFFFu) << "only the video rectangle is drawn";
    OAHWND got = 0;
    EXPECT_EQ(vw->get_Owner(&got), S_OK);
    EXPECT_EQ(got, owner);
    EXPECT_EQ(vw->put_Visible(MD_FALSE), S_OK);
    EXPECT_TRUE(PumpUntil([&] { return PixelAt(d, owner, 80, 60) == 0xFFFFFF; }, 5000));

    // On its own at the top level, the window closed by the user (as a window manager asks)
    // ends the media with EC_USERABORT: OnComplete.
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    ASSERT_TRUE(XQueryTree(d, owner, &root, &parent, &children, &count));
    ASSERT_EQ(count, 1u) << "the renderer's window sits in the owner";
    Window video = children[0];
    XFree(children);
    EXPECT_EQ(g.Pause(), S_OK);
    EXPECT_FALSE(g.Saw(EC_USERABORT));
    EXPECT_EQ(vw->put_Owner(0), S_OK);
    EXPECT_EQ(vw->put_Visible(MD_TRUE), S_OK);
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = video;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    XSendEvent(d, video, False, NoEventMask, &e);
    XFlush(d);
    EXPECT_TRUE(PumpUntil([&] { return g.Saw(EC_USERABORT) && r.Complete > 0; }, 5000));
    int32_t visible = MD_TRUE;
    EXPECT_EQ(vw->get_Visible(&visible), S_OK);
    EXPECT_EQ(visible, MD_FALSE);
    g.Close();
  }
  XDestroyWindow(d, owner);
  XCloseDisplay(d);
  unsetenv("DISPLAY");
}

}  // namespace
