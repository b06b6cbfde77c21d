// Opening and playing media: the file graph (TGraph2) against GStreamer's playbin on the same
// files.
//   BM_Open/<kind>/<who>      wall time from Open to OnOpened (playbin: from PAUSED to prerolled)
//   BM_Play5s/<kind>/<who>    CPU time of the process (all threads) to play 5 s to the end;
//                             "gst-launch" is a gst-launch-1.0 playbin child, measured by wait4
// kind 0 = MP3 (5 s, 128 kbit/s), 1 = video (5 s, 640x480 H.264 + AAC in MP4).
// Run headless: both sides use the system's audio output (autoaudiosink) and a fake video sink
// that keeps to the clock.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <glib.h>
#include <gst/gst.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "UGraph.h"
#include "UMDPlatform.h"

extern char** environ;

namespace {

int Spawn(const std::vector<std::string>& argv, rusage* usage) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, usage ? usage : &ru);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Launch(const std::string& pipeline) {
  std::vector<std::string> argv = {"gst-launch-1.0", "-q"};
  std::istringstream words(pipeline);
  for (std::string w; words >> w;) argv.push_back(w);
  if (Spawn(argv, nullptr) != 0) throw std::runtime_error("gst-launch-1.0 failed: " + pipeline);
}

const std::string& Dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/midavo-bench-XXXXXX";
    std::string d = mkdtemp(tmpl);
    Launch("audiotestsrc num-buffers=216 freq=440 ! audio/x-raw,rate=44100,channels=2 ! audioconvert ! "
           "lamemp3enc target=bitrate cbr=true bitrate=128 ! filesink location=" + d + "/tone.mp3");
    Launch("videotestsrc num-buffers=125 ! video/x-raw,width=640,height=480,framerate=25/1 ! x264enc "
           "speed-preset=veryfast ! h264parse ! queue ! mp4mux name=m ! filesink location=" + d + "/video.mp4 "
           "audiotestsrc num-buffers=216 ! audio/x-raw,rate=44100,channels=2 ! audioconvert ! avenc_aac ! "
           "aacparse ! queue ! m.");
    return d;
  }();
  return dir;
}

std::string File(int kind) { return Dir() + (kind == 0 ? "/tone.mp3" : "/video.mp4"); }

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The owner's loop, as a GUI main loop runs it: blocked until something is to be done, with a
// tick every 50 ms to look at conditions set by other threads.
void Pump(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  guint tick = g_timeout_add(50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(tick);
}

struct TFlags {
  std::atomic<int> Opened{0}, Failed{0}, Complete{0};
  static void MDCALL OnOpened(void* d, void*) { ++static_cast<TFlags*>(d)->Opened; }
  static void MDCALL OnFailed(void* d, void*) { ++static_cast<TFlags*>(d)->Failed; }
  static void MDCALL OnComplete(void* d, void*) { ++static_cast<TFlags*>(d)->Complete; }
  void Attach(TGraph2& g) {
    g.OnOpened = {&OnOpened, this};
    g.OnOpenFailed = {&OnFailed, this};
    g.OnComplete = {&OnComplete, this};
  }
};

GstElement* MakePlaybin(int kind) {
  GstElement* p = gst_element_factory_make("playbin", nullptr);
  gchar* uri = gst_filename_to_uri(File(kind).c_str(), nullptr);
  GstElement* vsink = gst_parse_bin_from_description("fakesink sync=true", TRUE, nullptr);
  g_object_set(p, "uri", uri, "video-sink", vsink, nullptr);
  g_free(uri);
  return p;
}

// ---- opening ----------------------------------------------------------------------------------

void BM_Open_Graph(benchmark::State& state) {
  int kind = int(state.range(0));
  std::u16string name = MDToUtf16(File(kind));
  for (auto _ : state) {
    TFlags f;
    TGraph2 g;
    f.Attach(g);
    auto t0 = std::chrono::steady_clock::now();
    g.Open(name.c_str());
    while (f.Opened + f.Failed == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    auto t1 = std::chrono::steady_clock::now();
    if (f.Failed) state.SkipWithError("open failed");
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    g.Close();
  }
}

void BM_Open_Playbin(benchmark::State& state) {
  int kind = int(state.range(0));
  for (auto _ : state) {
    GstElement* p = MakePlaybin(kind);
    auto t0 = std::chrono::steady_clock::now();
    gst_element_set_state(p, GST_STATE_PAUSED);
    GstStateChangeReturn r = gst_element_get_state(p, nullptr, nullptr, 20 * GST_SECOND);
    auto t1 = std::chrono::steady_clock::now();
    if (r != GST_STATE_CHANGE_SUCCESS) state.SkipWithError("preroll failed");
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
  }
}

// ---- playing 5 s ------------------------------------------------------------------------------

void BM_Play5s_Graph(benchmark::State& state) {
  int kind = int(state.range(0));
  std::u16string name = MDToUtf16(File(kind));
  for (auto _ : state) {
    TFlags f;
    TGraph2 g;
    f.Attach(g);
    double c0 = CpuSeconds();
    g.Open(name.c_str());
    Pump([&] { return f.Opened + f.Failed > 0; }, 20000);
    g.Run();
    Pump([&] { return f.Complete > 0; }, 20000);
    g.Close();
    double cpu = CpuSeconds() - c0;
    if (!f.Complete) state.SkipWithError("did not reach the end");
    state.SetIterationTime(cpu);
  }
}

void BM_Play5s_Playbin(benchmark::State& state) {
  int kind = int(state.range(0));
  for (auto _ : state) {
    double c0 = CpuSeconds();
    GstElement* p = MakePlaybin(kind);
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(p);
    GstMessage* m = gst_bus_timed_pop_filtered(bus, 20 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    bool eos = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
    if (m) gst_message_unref(m);
    gst_object_unref(bus);
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
    double cpu = CpuSeconds() - c0;
    if (!eos) state.SkipWithError("did not reach the end");
    state.SetIterationTime(cpu);
  }
}

void BM_Play5s_GstLaunch(benchmark::State& state) {
  int kind = int(state.range(0));
  gchar* uri = gst_filename_to_uri(File(kind).c_str(), nullptr);
  std::vector<std::string> argv = {"gst-launch-1.0", "-q", "playbin", std::string("uri=") + uri,
                                   "video-sink=fakesink sync=true"};
  g_free(uri);
  for (auto _ : state) {
    rusage ru{};
    if (Spawn(argv, &ru) != 0) state.SkipWithError("gst-launch-1.0 failed");
    double cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    state.SetIterationTime(cpu);
  }
}

void Kinds(benchmark::internal::Benchmark* b) {
  b->ArgName("kind")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

// The machine is shared: every case is repeated and its median reported.
BENCHMARK(BM_Open_Graph)->Apply(Kinds)->Iterations(10)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_Open_Playbin)->Apply(Kinds)->Iterations(10)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_Play5s_Graph)->Apply(Kinds)->Iterations(2)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_Play5s_Playbin)->Apply(Kinds)->Iterations(2)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_Play5s_GstLaunch)->Apply(Kinds)->Iterations(2)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  unsetenv("DISPLAY");  // both sides headless
  MDInitMedia();
  Dir();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
