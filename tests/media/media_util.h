// Helpers of the media tests: generated media, a GLib loop pump, notification recorders and
// loopback servers.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UMDBase.h"

namespace mt {

// Media made once per test process in a temporary folder:
//   tone.mp3   1 s of 440 Hz, MP3       long.mp3  3 s of 440 Hz, MP3
//   tone.wav   3 s of 440 Hz, WAV       khz.mp3   4 s of 1000 Hz, MP3
//   video.avi  2 s of a red 160x120 picture (MJPEG) with sound
//   text.txt, empty.mp3 (0 bytes), trunc.mp3 (the first 200 bytes of an MP3)
const std::string& MediaDir();
std::string Media(const std::string& name);
std::u16string Media16(const std::string& name);
std::string ReadFile(const std::string& path);

// Runs the calling thread's default GLib context until pred() holds or the time is up.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 15000);
// Runs it for that long.
void PumpFor(int ms);

// Counts the four notifications and remembers the thread of each and their order. Declare it
// before the graph it watches: a graph's destructor still reports.
struct TRecorder {
  std::mutex Lock;
  std::vector<std::string> Order;  // "opened", "closed", "failed", "complete"
  std::atomic<int> Opened{0}, Closed{0}, Failed{0}, Complete{0};
  std::thread::id OpenedThread, FailedThread, CompleteThread, ClosedThread;
  std::vector<int32_t> SourceEvents;  // OnSourceEvent codes

  void Note(const char* what, std::atomic<int>& count, std::thread::id& where);
  template <class G>
  void Attach(G& g) {
    g.OnOpened = {&OnOpenedProc, this};
    g.OnClosed = {&OnClosedProc, this};
    g.OnOpenFailed = {&OnFailedProc, this};
    g.OnComplete = {&OnCompleteProc, this};
  }
  std::vector<std::string> Sequence();
  std::vector<int32_t> Events();
  bool SawEvent(int32_t code);
  std::thread::id ThreadOf(std::thread::id TRecorder::*which);

  static void MDCALL OnOpenedProc(void* d, void*);
  static void MDCALL OnClosedProc(void* d, void*);
  static void MDCALL OnFailedProc(void* d, void*);
  static void MDCALL OnCompleteProc(void* d, void*);
  static void MDCALL OnSourceEventProc(void* d, int32_t event, int32_t, int32_t);
};

// A TCP server on 127.0.0.1 with an ephemeral port. Each accepted connection is handed to the
// handler on a thread of its own; Stop() (or the destructor) closes everything and waits.
// Handlers must end by themselves within a few seconds or when Stopping() turns true.
class TServer {
 public:
  using THandler = std::function<void(int fd, TServer& server)>;
  explicit TServer(THandler handler);
  ~TServer();
  uint16_t Port() const { return FPort; }
  void Stop();
  bool Stopping() const { return FStop; }
  int Accepted() const { return FAccepted; }

  // Sends all bytes unless stopping; false when the peer went away.
  bool Send(int fd, const std::string& data);
  // Reads an HTTP request head (bounded); returns it.
  static std::string ReadRequest(int fd);

 private:
  THandler FHandler;
  int FListen = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAccepted{0};
  std::thread FAcceptThread;
  std::mutex FLock;
  std::vector<std::thread> FWorkers;
};

// A port on 127.0.0.1 that refuses connections (was bound, then closed).
uint16_t RefusingPort();

// An MPEG audio stream with ICY metadata blocks every `metaint` bytes carrying `title`.
std::string IcyBody(const std::string& audio, int metaint, const std::string& title);
// A 1000-byte ID3v2 tag.
std::string Id3Tag();

// A private X server for one test: Xvfb picks a free display number and names it. The server is
// stopped when the object goes.
class TXvfb {
 public:
  TXvfb() = default;
  TXvfb(const TXvfb&) = delete;
  TXvfb& operator=(const TXvfb&) = delete;
  ~TXvfb();
  // Starts the server with one screen of the given geometry; the display name (":N"), or ""
  // when it did not come up within 10 s.
  std::string Start(const char* screen = "640x480x24");

 private:
  pid_t FPid = -1;
};

// Runs a command with a time limit; returns its exit status (-1 on time-out) and output.
int RunCommand(const std::vector<std::string>& argv, std::string* output, int timeoutMs = 60000);

}  // namespace mt
