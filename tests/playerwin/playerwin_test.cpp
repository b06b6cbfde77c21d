// The player window: the real Midavo program with playerwin.so and vidcore.so in its Modules
// folder, run as a child process on a private Xvfb. The test talks to the window the way the X
// server would (key presses, the window manager's close request) and reads what the window
// shows through its log (MIDAVO_PLAYERWIN_LOG) and what it remembers through settings.ini.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media_util.h"

// After gtest: Xlib defines None, Bool, True and False as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kDemo = MIDAVO_OUT_DIR "/demo/midavo-demo.avi";

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}


// A run folder with both libraries, the Midavo program started in it, and an X connection to
// reach its windows.
class PlayerWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/playerwin-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    FDir = pattern;
    fs::create_directories(FDir / "Modules");
    fs::copy_file(MIDAVO_MODULES_DIR "/playerwin.so", FDir / "Modules/playerwin.so");
    fs::copy_file(MIDAVO_MODULES_DIR "/vidcore.so", FDir / "Modules/vidcore.so");
    FLog = FDir / "player.log";
    FDisplay = FXvfb.Start("1024x768x24");
    ASSERT_FALSE(FDisplay.empty()) << "Xvfb names its display";
    FX = XOpenDisplay(FDisplay.c_str());
    ASSERT_NE(FX, nullptr);
  }
  void TearDown() override {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FX) XCloseDisplay(FX);
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  void WriteSettings(const std::string& text) { std::ofstream(FDir / "settings.ini") << text; }
  std::string Settings() { return ReadText(FDir / "settings.ini"); }
  std::string Log() { return ReadText(FLog); }

  void Start() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string pair = *e;
      if (pair.rfind("DISPLAY=", 0) == 0 || pair.rfind("QT_QPA_PLATFORM=", 0) == 0 ||
          pair.rfind("LSAN_OPTIONS=", 0) == 0 || pair.rfind("TSAN_OPTIONS=", 0) == 0)
        continue;
      env.push_back(pair);
    }
    env.push_back("DISPLAY=" + FDisplay);
    env.push_back("QT_QPA_PLATFORM=xcb");
    env.push_back("MIDAVO_PLAYERWIN_LOG=" + FLog.string());
    // Sanitizer builds: GStreamer's and GLib's own allocations are not the program's leaks.
    auto withOptions = [](const char* name, const std::string& more) {
      const char* current = std::getenv(name);
      return std::string(name) + "=" + (current && *current ? std::string(current) + ":" : "") + more;
    };
    env.push_back(withOptions("LSAN_OPTIONS", "suppressions=" MIDAVO_CHILD_LSAN_SUPP));
    env.push_back(withOptions("TSAN_OPTIONS", "suppressions=" MIDAVO_CHILD_TSAN_SUPP));
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string program = MIDAVO_OUT_DIR "/Midavo";
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, FDir.c_str());
    const std::string errors = (FDir / "stderr.txt").string();
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(::posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // The exit code once the program ended by itself within `seconds`; -1 when it did not.
  int WaitExit(int seconds = 30) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  // Waits until some line of the log satisfies `pred`; that line, or "" after `seconds`.
  std::string WaitLine(const std::function<bool(const std::string&)>& pred, int seconds = 20) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      for (const std::string& line : Lines(Log()))
        if (pred(line)) return line;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
  }
  std::string WaitFor(const std::string& part, int seconds = 20) {
    return WaitLine([&](const std::string& l) { return l.find(part) != std::string::npos; }, seconds);
  }
  // Waits for a tick line at or past `seconds` of playing; its position, duration, slider value
  // and time text.
  struct TTick {
    double Position = -1, Duration = 0;
    int Slider = -1;
    std::string Time;
  };
  TTick WaitTick(double atLeast, int seconds = 20) {
    static const std::regex form(R"(tick ([0-9.]+) ([0-9.]+) slider=(\d+) time=(.*))");
    TTick tick;
    WaitLine([&](const std::string& line) {
      std::smatch m;
      if (!std::regex_match(line, m, form) || std::stod(m[1]) < atLeast) return false;
      tick = {std::stod(m[1]), std::stod(m[2]), std::stoi(m[3]), m[4]};
      return true;
    }, seconds);
    return tick;
  }

  Window PlayerXWindow() {
    const std::string line = WaitFor("window 0x");
    return line.empty() ? 0 : static_cast<Window>(std::stoul(line.substr(9), nullptr, 16));
  }

  // A key press and release on `window`, as the X server delivers them.
  void PressKey(Window window, const char* keysym, unsigned int modifiers = 0) {
    XKeyEvent event{};
    event.display = FX;
    event.window = window;
    event.root = DefaultRootWindow(FX);
    event.subwindow = None;
    event.time = CurrentTime;
    event.same_screen = True;
    event.state = modifiers;
    event.keycode = XKeysymToKeycode(FX, XStringToKeysym(keysym));
    event.type = KeyPress;
    XSendEvent(FX, window, True, KeyPressMask, reinterpret_cast<XEvent*>(&event));
    event.type = KeyRelease;
    XSendEvent(FX, window, True, KeyReleaseMask, reinterpret_cast<XEvent*>(&event));
    XFlush(FX);
  }

  // Drags `uri` from a window of the test onto `target` and drops it there (XDND version 5):
  // enter, position, drop, then the uri list handed over through the XdndSelection. True once
  // the target said it finished.
  bool DropUri(Window target, const std::string& uri) {
    Window source = XCreateSimpleWindow(FX, DefaultRootWindow(FX), 0, 0, 1, 1, 0, 0, 0);
    auto atom = [&](const char* name) { return XInternAtom(FX, name, False); };
    const Atom uriList = atom("text/uri-list");
    XSetSelectionOwner(FX, atom("XdndSelection"), source, CurrentTime);
    auto send = [&](const char* type, long l1, long l2, long l3, long l4) {
      XEvent e{};
      e.xclient.type = ClientMessage;
      e.xclient.window = target;
      e.xclient.message_type = atom(type);
      e.xclient.format = 32;
      e.xclient.data.l[0] = static_cast<long>(source);
      e.xclient.data.l[1] = l1;
      e.xclient.data.l[2] = l2;
      e.xclient.data.l[3] = l3;
      e.xclient.data.l[4] = l4;
      XSendEvent(FX, target, False, NoEventMask, &e);
      XFlush(FX);
    };
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(FX, target, DefaultRootWindow(FX), 200, 150, &x, &y, &child);
    send("XdndEnter", 5L << 24, static_cast<long>(uriList), 0, 0);
    send("XdndPosition", 0, (static_cast<long>(x) << 16) | y, CurrentTime, static_cast<long>(atom("XdndActionCopy")));
    bool finished = false, dropped = false;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!finished && Clock::now() < deadline) {
      while (XPending(FX)) {
        XEvent e;
        XNextEvent(FX, &e);
        if (e.type == ClientMessage && e.xclient.message_type == atom("XdndStatus") && !dropped) {
          dropped = true;
          send("XdndDrop", 0, CurrentTime, 0, 0);
        } else if (e.type == ClientMessage && e.xclient.message_type == atom("XdndFinished")) {
          finished = true;
        } else if (e.type == SelectionRequest) {
          const XSelectionRequestEvent& r = e.xselectionrequest;
          XEvent reply{};
          reply.xselection.type = SelectionNotify;
          reply.xselection.requestor = r.requestor;
          reply.xselection.selection = r.selection;
          reply.xselection.target = r.target;
          reply.xselection.time = r.time;
          reply.xselection.property = None;
          if (r.target == uriList) {
            const std::string data = uri + "\r\n";
            XChangeProperty(FX, r.requestor, r.property, uriList, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
            reply.xselection.property = r.property;
          }
          XSendEvent(FX, r.requestor, False, NoEventMask, &reply);
          XFlush(FX);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    XDestroyWindow(FX, source);
    XFlush(FX);
    return finished;
  }

  // What a window manager sends when the user clicks the window's close button.
  void AskToClose(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(FX, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(FX, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(FX, window, False, NoEventMask, &event);
    XFlush(FX);
  }

  // The top-level window titled `title`, 0 when there is none within `seconds`.
  Window FindTopLevel(const std::string& title, int seconds = 10) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      Window root = 0, parent = 0, *children = nullptr;
      unsigned int count = 0;
      Window found = 0;
      if (XQueryTree(FX, DefaultRootWindow(FX), &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count && !found; ++i) {
          XWindowAttributes attributes;
          char* name = nullptr;
          if (XGetWindowAttributes(FX, children[i], &attributes) && attributes.map_state == IsViewable &&
              XFetchName(FX, children[i], &name) && name) {
            if (title == name) found = children[i];
          }
          if (name) XFree(name);
        }
        if (children) XFree(children);
      }
      if (found) return found;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
  }

  // Closes the window and expects the program to end in order.
  void CloseAndExpectCleanExit(Window window) {
    AskToClose(window);
    EXPECT_EQ(WaitExit(), 0) << ReadText(FDir / "stderr.txt") << Log();
    EXPECT_NE(Settings().find("LastStopped="), std::string::npos) << Settings();
    EXPECT_NE(Log().find("destroyed"), std::string::npos) << Log();
  }

  static std::string Bindings() {
    return "[Input.Keyboard]\n2561=Enter\n2563=SpaceBar\n2562=S\n2565=Right\n2566=Left\n"
           "65026=Ctrl + P\n65535=Ctrl + Q\n";
  }

  mt::TXvfb FXvfb;
  std::string FDisplay;
  Display* FX = nullptr;
  fs::path FDir, FLog;
  pid_t FPid = -1;
};

TEST_F(PlayerWindow, OpensWhenTheKernelRunsPlaysTheDemoClipAndEndsTheProgramWhenClosed) {
  WriteSettings(Bindings() + "[PlayerWindow]\nOpenAtStart=" + kDemo + "\nVolume=50\n");
  Start();
  const Window window = PlayerXWindow();
  ASSERT_NE(window, 0u) << Log();
  ASSERT_FALSE(WaitFor("notify 0xFA04").empty()) << Log();
  EXPECT_FALSE(WaitFor("status Playing midavo-demo.avi").empty()) << Log();
  // The remembered volume (half way: -6 dB) reaches the graph's audio.
  EXPECT_FALSE(WaitFor("volume -602 0x0").empty()) << Log();

  // The slider and the time follow the playing clip.
  const TTick first = WaitTick(1.0);
  const TTick later = WaitTick(first.Position + 1.5);
  ASSERT_GE(later.Position, 0) << Log();
  EXPECT_NEAR(later.Duration, 20.0, 0.5);
  EXPECT_GT(later.Slider, first.Slider);
  EXPECT_GT(first.Slider, 0);
  EXPECT_NE(later.Time.find(" / 0:20"), std::string::npos) << later.Time;
  EXPECT_NE(later.Time, first.Time);

  // What is open at start is opened once; the clip is now the first recent file.
  const std::string settings = Settings();
  EXPECT_NE(settings.find("Recent1=" + kDemo), std::string::npos) << settings;
  EXPECT_EQ(settings.find("OpenAtStart=" + kDemo), std::string::npos) << settings;

  CloseAndExpectCleanExit(window);
  EXPECT_NE(Settings().find("Geometry="), std::string::npos);
}

TEST_F(PlayerWindow, BoundKeysPressedInTheWindowPerformTheirActions) {
  WriteSettings(Bindings() + "[PlayerWindow]\nOpenAtStart=" + kDemo + "\n");
  Start();
  const Window window = PlayerXWindow();
  ASSERT_NE(window, 0u) << Log();
  ASSERT_FALSE(WaitFor("notify 0xFA04").empty()) << Log();

  PressKey(window, "space");
  EXPECT_FALSE(WaitFor("key 32").empty()) << Log();
  EXPECT_FALSE(WaitFor("action 0xA03").empty()) << Log();
  EXPECT_FALSE(WaitFor("status Paused at").empty()) << Log();

  PressKey(window, "Return");
  EXPECT_FALSE(WaitLine([&](const std::string& l) {
    return l == "status Playing midavo-demo.avi" && Log().find("action 0xA01") != std::string::npos;
  }).empty()) << Log();

  // An unbound key reaches the kernel too and does nothing.
  PressKey(window, "x");
  EXPECT_FALSE(WaitFor("key 88").empty()) << Log();

  // F11 fills the screen, Esc leaves it.
  PressKey(window, "F11");
  EXPECT_FALSE(WaitFor("full screen on 1024x768").empty()) << Log();
  PressKey(window, "Escape");
  EXPECT_FALSE(WaitFor("full screen off").empty()) << Log();

  // "Ctrl + Q" is Shutdown Application: the program ends in order.
  PressKey(window, "q", ControlMask);
  EXPECT_FALSE(WaitFor("action 0xFFFF").empty()) << Log();
  EXPECT_EQ(WaitExit(), 0) << ReadText(FDir / "stderr.txt") << Log();
  EXPECT_NE(Settings().find("LastStopped="), std::string::npos);
}

TEST_F(PlayerWindow, UnplayableFileShowsTheFailureAndThePlayerStillOpensFromTheDialogAndByDrop) {
  std::ofstream(FDir / "notes.avi") << "This is a text file, not media.\n";
  fs::copy_file(kDemo, FDir / "demo.avi");
  WriteSettings(Bindings() + "[PlayerWindow]\nOpenAtStart=" + (FDir / "notes.avi").string() + "\n");
  Start();
  const Window window = PlayerXWindow();
  ASSERT_NE(window, 0u) << Log();
  EXPECT_FALSE(WaitFor("status Could not open \"notes.avi\"").empty()) << Log();
  // The playback module closes what failed; the message stays readable after that.
  EXPECT_FALSE(WaitFor("notify 0xFA02").empty()) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string lastStatus;
  for (const std::string& line : Lines(Log()))
    if (line.rfind("status ", 0) == 0) lastStatus = line;
  EXPECT_NE(lastStatus.find("Could not open \"notes.avi\""), std::string::npos) << Log();
  EXPECT_EQ(Settings().find("notes.avi", Settings().find("[PlayerWindow]")), std::string::npos)
      << "a file that failed is no recent file\n" << Settings();

  // The user opens another file with Ctrl+O and the file dialog, which starts in the run folder.
  PressKey(window, "o", ControlMask);
  const Window dialog = FindTopLevel("Open media");
  ASSERT_NE(dialog, 0u) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (const char* key : {"d", "e", "m", "o", "period", "a", "v", "i", "Return"}) {
    PressKey(dialog, key);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_FALSE(WaitFor("notify 0xFA04").empty()) << Log();
  EXPECT_FALSE(WaitFor("status Playing demo.avi").empty()) << Log();

  // A file dropped on the window (XDND) replaces it.
  fs::copy_file(kDemo, FDir / "dropped.avi");
  EXPECT_TRUE(DropUri(window, "file://" + (FDir / "dropped.avi").string())) << Log();
  EXPECT_FALSE(WaitFor("status Playing dropped.avi").empty()) << Log();
  CloseAndExpectCleanExit(window);
}

TEST_F(PlayerWindow, PositionSurvivesAKilledProcessAndReopeningOffersToResume) {
  WriteSettings(Bindings() + "[PlayerWindow]\nOpenAtStart=" + kDemo + "\n");
  Start();
  ASSERT_NE(PlayerXWindow(), 0u) << Log();
  ASSERT_GE(WaitTick(5.0).Position, 5.0) << Log();
  // Saved every few seconds: within that time the file holds a position of 4 s or more.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  int saved = 0;
  static const std::regex form(R"(ResumePosition=(\d+))");
  while (Clock::now() < deadline && saved < 40) {
    std::smatch m;
    const std::string text = Settings();
    if (std::regex_search(text, m, form)) saved = std::stoi(m[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::kill(FPid, SIGKILL);
  ::waitpid(FPid, nullptr, 0);
  FPid = -1;
  EXPECT_GE(saved, 40);
  EXPECT_NE(Settings().find("ResumeFile=" + kDemo), std::string::npos) << Settings();

  // Reopened, the file plays from the start and the status area offers the saved place.
  std::string again = Settings();
  again.replace(again.find("OpenAtStart="), std::string("OpenAtStart=").size(), "OpenAtStart=" + kDemo);
  WriteSettings(again);
  fs::remove(FLog);
  Start();
  const Window window = PlayerXWindow();
  ASSERT_NE(window, 0u) << Log();
  const std::string offer = WaitFor("offer resume");
  ASSERT_FALSE(offer.empty()) << Log();
  EXPECT_GE(std::stod(offer.substr(13)), saved / 10.0 - 0.05);
  EXPECT_FALSE(WaitFor("notify 0xFA04").empty()) << Log();
  CloseAndExpectCleanExit(window);
}

// A network stream opened by the window: an MDSF server on 127.0.0.1 sending MP3.
TEST_F(PlayerWindow, StreamPlaysAndShowsThatItIsLive) {
  const std::string audio = mt::ReadFile(mt::Media("tone.mp3"));
  mt::TServer server([audio](int fd, mt::TServer& s) {
    for (int i = 0; i < 400 && !s.Stopping(); ++i)
      if (!s.Send(fd, audio)) return;
  });
  const std::string url = "mdsf://127.0.0.1:" + std::to_string(server.Port());
  WriteSettings(Bindings() + "[PlayerWindow]\nOpenAtStart=" + url + "\n");
  Start();
  const Window window = PlayerXWindow();
  ASSERT_NE(window, 0u) << Log();
  EXPECT_FALSE(WaitFor("notify 0xFA04").empty()) << Log();
  EXPECT_FALSE(WaitFor("status Playing " + url).empty()) << Log();
  EXPECT_FALSE(WaitFor("time=live").empty()) << Log();
  EXPECT_NE(Settings().find("Recent1=" + url), std::string::npos) << Settings();
  CloseAndExpectCleanExit(window);
}

}  // namespace
