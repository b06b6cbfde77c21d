#include "media_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace mt {

int RunCommand(const std::vector<std::string>& argv, std::string* output, int timeoutMs) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    return -1;
  }
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  bool timedOut = false;
  while (true) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{pipefd[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  close(pipefd[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (output) *output = out;
  if (timedOut) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

namespace {

void Launch(const std::string& pipeline) {
  std::vector<std::string> argv = {"gst-launch-1.0", "-q"};
  std::istringstream words(pipeline);
  for (std::string w; words >> w;) argv.push_back(w);
  std::string out;
  if (RunCommand(argv, &out) != 0) throw std::runtime_error("gst-launch-1.0 failed: " + pipeline + "\n" + out);
}

std::string MakeMedia() {
  char tmpl[] = "/tmp/midavo-media-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  auto mp3 = [&](const std::string& name, int seconds, int freq) {
    // 44100 Hz, 1024 samples a buffer; constant bit rate, as radio streams are.
    int buffers = seconds * 44100 / 1024 + 1;
    Launch("audiotestsrc num-buffers=" + std::to_string(buffers) + " freq=" + std::to_string(freq) +
           " ! audio/x-raw,rate=44100,channels=2 ! audioconvert ! lamemp3enc target=bitrate cbr=true bitrate=128"
           " ! filesink location=" + dir + "/" + name);
  };
  mp3("tone.mp3", 1, 440);
  mp3("long.mp3", 3, 440);
  mp3("khz.mp3", 4, 1000);
  Launch("audiotestsrc num-buffers=130 freq=440 ! audio/x-raw,rate=44100,channels=1,format=S16LE ! wavenc ! "
         "filesink location=" + dir + "/tone.wav");
  Launch("videotestsrc pattern=red num-buffers=50 ! video/x-raw,width=160,height=120,framerate=25/1 ! jpegenc ! "
         "queue ! avimux name=m ! filesink location=" + dir + "/video.avi "
         "audiotestsrc num-buffers=87 ! audio/x-raw,rate=44100,channels=1,format=S16LE ! queue ! m.");
  std::ofstream(dir + "/text.txt") << "This is a text file, not media.\nIt has two lines.\n";
  std::ofstream(dir + "/empty.mp3");
  std::string tone = ReadFile(dir + "/tone.mp3");
  std::ofstream(dir + "/trunc.mp3", std::ios::binary) << tone.substr(0, 200);
  return dir;
}

}  // namespace

const std::string& MediaDir() {
  static std::string dir = MakeMedia();
  return dir;
}

std::string Media(const std::string& name) { return MediaDir() + "/" + name; }
std::u16string Media16(const std::string& name) { return MDToUtf16(Media(name)); }

bool PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// ---- TRecorder --------------------------------------------------------------------------------

void TRecorder::Note(const char* what, std::atomic<int>& count, std::thread::id& where) {
  std::lock_guard<std::mutex> g(Lock);
  Order.push_back(what);
  where = std::this_thread::get_id();
  ++count;
}

std::vector<std::string> TRecorder::Sequence() {
  std::lock_guard<std::mutex> g(Lock);
  return Order;
}

std::vector<int32_t> TRecorder::Events() {
  std::lock_guard<std::mutex> g(Lock);
  return SourceEvents;
}

bool TRecorder::SawEvent(int32_t code) {
  for (int32_t e : Events())
    if (e == code) return true;
  return false;
}

std::thread::id TRecorder::ThreadOf(std::thread::id TRecorder::*which) {
  std::lock_guard<std::mutex> g(Lock);
  return this->*which;
}

void MDCALL TRecorder::OnOpenedProc(void* d, void*) {
  auto* r = static_cast<TRecorder*>(d);
  r->Note("opened", r->Opened, r->OpenedThread);
}
void MDCALL TRecorder::OnClosedProc(void* d, void*) {
  auto* r = static_cast<TRecorder*>(d);
  r->Note("closed", r->Closed, r->ClosedThread);
}
void MDCALL TRecorder::OnFailedProc(void* d, void*) {
  auto* r = static_cast<TRecorder*>(d);
  r->Note("failed", r->Failed, r->FailedThread);
}
void MDCALL TRecorder::OnCompleteProc(void* d, void*) {
  auto* r = static_cast<TRecorder*>(d);
  r->Note("complete", r->Complete, r->CompleteThread);
}
void MDCALL TRecorder::OnSourceEventProc(void* d, int32_t event, int32_t, int32_t) {
  auto* r = static_cast<TRecorder*>(d);
  std::lock_guard<std::mutex> g(r->Lock);
  r->SourceEvents.push_back(event);
}

// ---- TServer ----------------------------------------------------------------------------------

TServer::TServer(THandler handler) : FHandler(std::move(handler)) {
  FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(FListen, 8) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  socklen_t len = sizeof a;
  getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
  FPort = ntohs(a.sin_port);
  FAcceptThread = std::thread([this] {
    // Bounded: a test server lives at most a minute.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!FStop && std::chrono::steady_clock::now() < deadline) {
      pollfd p{FListen, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++FAccepted;
      std::lock_guard<std::mutex> g(FLock);
      FWorkers.emplace_back([this, fd] {
        try {
          FHandler(fd, *this);
        } catch (...) {
        }
        close(fd);
      });
    }
  });
}

TServer::~TServer() { Stop(); }

void TServer::Stop() {
  FStop = true;
  if (FAcceptThread.joinable()) FAcceptThread.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> g(FLock);
    workers.swap(FWorkers);
  }
  for (auto& t : workers) t.join();
  if (FListen >= 0) close(FListen);
  FListen = -1;
}

bool TServer::Send(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size() && !FStop) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return done == data.size();
}

std::string TServer::ReadRequest(int fd) {
  std::string req;
  char buf[1024];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (req.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    req.append(buf, size_t(n));
  }
  return req;
}

uint16_t RefusingPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

std::string IcyBody(const std::string& audio, int metaint, const std::string& title) {
  std::string meta = "StreamTitle='" + title + "';";
  meta.resize((meta.size() + 15) / 16 * 16, '\0');
  std::string out;
  for (size_t off = 0; off < audio.size(); off += size_t(metaint)) {
    std::string part = audio.substr(off, size_t(metaint));
    out += part;
    if (part.size() == size_t(metaint)) {
      out += char(meta.size() / 16);
      out += meta;
    }
  }
  return out;
}

std::string Id3Tag() {
  std::string tag = "ID3";
  tag += char(3);
  tag += char(0);
  tag += char(0);  // flags
  int size = 990;  // syncsafe
  tag += char((size >> 21) & 0x7F);
  tag += char((size >> 14) & 0x7F);
  tag += char((size >> 7) & 0x7F);
  tag += char(size & 0x7F);
  tag += std::string(size_t(size), '\0');  // padding only
  return tag;
}

TXvfb::~TXvfb() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(FPid, nullptr, WNOHANG) == FPid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(FPid, SIGKILL);
  ::waitpid(FPid, nullptr, 0);
}

std::string TXvfb::Start(const char* screen) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", nullptr};
  const int rc = ::posix_spawnp(&FPid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) FPid = -1;
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (FPid > 0 && number.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[16];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) return "";
  return ":" + number.substr(0, number.find('\n'));
}

}  // namespace mt
