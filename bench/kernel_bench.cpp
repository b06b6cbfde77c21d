// kernel_bench.cpp - what it costs the kernel to carry a message from HandleMessage to the
// modules, set beside a plain queue doing the same job.
//
// Three paths carry the same messages to the same modules, called the same way (through
// IMDModule::HandleMessage, in registration order, on one delivering thread):
//   kernel          TMDKernel::HandleMessage -> its TThreadCommandQueue -> the dispatch thread
//   blocking_queue  moodycamel::BlockingConcurrentQueue -> a consumer that sleeps when idle
//   spin_queue      moodycamel::ConcurrentQueue -> a consumer that polls (yields when idle)
// The queue paths are the baseline: the least a queue plus one delivering thread costs. The
// blocking one is the fair comparison, since the kernel's dispatch thread sleeps when idle too.
//
// throughput/<path>  modules:M threads:P
//   P posting threads each post kBatch messages per iteration, then wait until the last module
//   has seen all of their messages. items_per_second = messages fully delivered per second.
//   Three repetitions each; the summary takes the median (the machine is small and shared).
// latency/<path>  modules:M
//   One poster posts a message stamped with steady_clock, waits until it is delivered, pauses
//   kLatencyGap so the consumer goes idle, and posts the next. The last module records the time
//   from the post to its HandleMessage: counters p50_us, p99_us, max_us. The time per iteration
//   includes the pause and means nothing here.
// After the usual table a summary sets every kernel figure beside the baselines'.
//
// The kernel writes settings.ini into the current directory: the program runs in a temporary
// folder of its own and removes it at the end.
#include <benchmark/benchmark.h>
#include <concurrentqueue/blockingconcurrentqueue.h>
#include <concurrentqueue/concurrentqueue.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/UMDKernel.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBatch = 1000;  // messages per poster per throughput iteration
constexpr int kMaxPosters = 8;
constexpr int kLatencySamples = 10000;
constexpr auto kLatencyGap = std::chrono::microseconds(50);

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void Check(HRESULT hr, const char* what) {
  if (MD_SUCCEEDED(hr)) return;
  std::fprintf(stderr, "bench_kernel: %s failed (0x%08x)\n", what, static_cast<unsigned>(hr));
  std::abort();
}

// Param2 names the poster, Param3 numbers its messages, Param4 carries the post time.
TMDMessage BenchMessage(int poster) {
  TMDMessage msg{};
  msg.Msg = MDM_NOTIFY;
  msg.Param1 = MDN_PLAYING;
  msg.Param2 = poster;
  return msg;
}

// ---------------------------------------------------------------------------------------------
// TDelivery: per poster, how many of its messages the last module has seen.
//
// Threads: Delivered on the delivering thread; WaitFor(p) on poster p only.
// Locks: the counts are atomics (sequentially consistent, so a wanted count stored by the poster
// and a seen count stored by the deliverer can't both be missed); each slot's mutex only pairs
// the wake-up with the wait.
// ---------------------------------------------------------------------------------------------
class TDelivery {
 public:
  void Delivered(int poster) {
    TSlot& slot = FSlots[poster];
    const int64_t seen = slot.Seen.fetch_add(1) + 1;
    // Wake the poster for the one message it waits for, not for every message.
    if (seen == slot.Wanted.load()) {
      std::lock_guard<std::mutex> guard(slot.Mutex);
      slot.Changed.notify_one();
    }
  }

  void WaitFor(int poster, int64_t count) {
    TSlot& slot = FSlots[poster];
    slot.Wanted.store(count);
    if (slot.Seen.load() >= count) return;
    std::unique_lock<std::mutex> lock(slot.Mutex);
    slot.Changed.wait(lock, [&] { return slot.Seen.load() >= count; });
  }

 private:
  struct alignas(64) TSlot {
    std::atomic<int64_t> Seen{0};
    std::atomic<int64_t> Wanted{-1};
    std::mutex Mutex;
    std::condition_variable Changed;
  };
  TSlot FSlots[kMaxPosters];
};

// ---------------------------------------------------------------------------------------------
// TBenchModule: the least a receiver does, counting the message. The last module of a run also
// reports delivery and, when latency is measured, records the time since the post.
//
// Threads: HandleMessage on the delivering thread only; the rest on the thread that sets up.
// Locks: none; FLatencies is read by the poster only after WaitFor saw the message delivered.
// ---------------------------------------------------------------------------------------------
class TBenchModule final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  TBenchModule(TDelivery* delivery, std::vector<int64_t>* latencies)
      : FDelivery(delivery), FLatencies(latencies) {}

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    ++FSeen;
    if (FLatencies) {
      const auto index = static_cast<size_t>(msg->Param3);
      if (index < FLatencies->size())
        (*FLatencies)[index] = NowNs() - static_cast<int64_t>(msg->Param4);
    }
    if (FDelivery) FDelivery->Delivered(msg->Param2);
    return S_OK;
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override {
    if (!info) return E_POINTER;
    *info = TMDModuleInfo{};
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL Stop() override { return S_OK; }
  HRESULT MDCALL QueryStopped() override { return S_OK; }

 private:
  TDelivery* FDelivery;                // nil but on the last module
  std::vector<int64_t>* FLatencies;    // nil but on the last module of a latency run
  int64_t FSeen = 0;
};

// The modules of one run and what they report into. Built before and dropped after the path
// that feeds them, on the thread that sets the run up.
struct TRig {
  TRig(int moduleCount, size_t latencySamples) : Latencies(latencySamples, 0) {
    for (int i = 0; i < moduleCount; ++i) {
      const bool last = i == moduleCount - 1;
      Modules.emplace_back(new TBenchModule(last ? &Delivery : nullptr,
                                            last && latencySamples ? &Latencies : nullptr));
    }
  }

  TDelivery Delivery;
  std::vector<int64_t> Latencies;
  std::vector<TComPtr<TBenchModule>> Modules;
};

// ---------------------------------------------------------------------------------------------
// The paths. Each: constructed and destroyed on the thread that sets the run up; Post from any
// number of posting threads while it exists.
// ---------------------------------------------------------------------------------------------

// The kernel as the host runs it: started, modules registered, KS_RUNNING. Posters call it
// through IMDKernel as a plug-in would. Destroyed the orderly way (unregister, stop, Done).
class TKernelPath {
 public:
  explicit TKernelPath(TRig& rig) : FKernel(std::make_unique<TMDKernel>(0, TMDMethod{})) {
    Check(FKernel->SetState(KS_STARTING), "SetState(KS_STARTING)");
    Check(FKernel->Init(), "Init");
    Check(FKernel->SetState(KS_READY), "SetState(KS_READY)");
    for (const auto& module : rig.Modules) Check(FKernel->RegisterModule(module.Get()), "RegisterModule");
    Check(FKernel->SetState(KS_RUNNING), "SetState(KS_RUNNING)");
    FSink = FKernel.get();
  }
  ~TKernelPath() {
    FKernel->SetState(KS_READY);
    FKernel->UnregisterAllModules();
    FKernel->SetState(KS_STOPPING);
    FKernel->Done();
  }
  void Post(const TMDMessage& msg) { Check(FSink->HandleMessage(&msg), "HandleMessage"); }

 private:
  std::unique_ptr<TMDKernel> FKernel;
  IMDKernel* FSink = nullptr;
};

// A moodycamel queue feeding one consumer thread that calls the modules in order. The consumer
// runs from the constructor to the destructor, which posts an MDM_SHUTDOWN to end it (every
// message of the run has been delivered by then, so nothing is left behind it).
template <class Queue>
class TQueuePath {
 public:
  static constexpr bool kBlocking =
      std::is_same_v<Queue, moodycamel::BlockingConcurrentQueue<TMDMessage>>;

  explicit TQueuePath(TRig& rig) {
    for (const auto& module : rig.Modules) FModules.push_back(module.Get());
    FConsumer = std::thread([this] { Run(); });
  }
  ~TQueuePath() {
    TMDMessage stop{};
    stop.Msg = MDM_SHUTDOWN;
    Post(stop);
    FConsumer.join();
  }
  void Post(const TMDMessage& msg) {
    if (!FQueue.enqueue(msg)) Check(E_OUTOFMEMORY, "enqueue");
  }

 private:
  void Run() {
    TMDMessage msg{};
    for (;;) {
      if constexpr (kBlocking) {
        FQueue.wait_dequeue(msg);
      } else {
        while (!FQueue.try_dequeue(msg)) std::this_thread::yield();
      }
      if (msg.Msg == MDM_SHUTDOWN) return;
      for (IMDModule* module : FModules) module->HandleMessage(&msg);
    }
  }

  Queue FQueue;
  std::vector<IMDModule*> FModules;  // the rig holds the references
  std::thread FConsumer;             // last: starts once the fields above exist
};

using TBlockingPath = TQueuePath<moodycamel::BlockingConcurrentQueue<TMDMessage>>;
using TSpinPath = TQueuePath<moodycamel::ConcurrentQueue<TMDMessage>>;

template <class Path>
struct TRun {
  TRun(int moduleCount, size_t latencySamples) : Rig(moduleCount, latencySamples), Feed(Rig) {}
  TRig Rig;
  Path Feed;  // after the rig: stops feeding before the modules go
};

// The run of a multi-threaded benchmark: set by thread 0 before the timed loop and reset after
// it. The loop's start and end are barriers for all threads, so posters read it inside only.
template <class Path>
std::unique_ptr<TRun<Path>> gRun;

template <class Path>
void Throughput(benchmark::State& state) {
  const int poster = state.thread_index();
  if (poster == 0) gRun<Path> = std::make_unique<TRun<Path>>(static_cast<int>(state.range(0)), 0);
  TRun<Path>* run = nullptr;
  TMDMessage msg = BenchMessage(poster);
  int64_t posted = 0;
  for (auto _ : state) {
    if (!run) run = gRun<Path>.get();
    for (int i = 0; i < kBatch; ++i) {
      msg.Param3 = static_cast<int32_t>(posted++);
      run->Feed.Post(msg);
    }
    run->Rig.Delivery.WaitFor(poster, posted);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  if (poster == 0) gRun<Path>.reset();
}

template <class Path>
void Latency(benchmark::State& state) {
  const auto samples = static_cast<size_t>(state.max_iterations);
  TRun<Path> run(static_cast<int>(state.range(0)), samples);
  TMDMessage msg = BenchMessage(0);
  int64_t posted = 0;
  for (auto _ : state) {
    msg.Param3 = static_cast<int32_t>(posted);
    msg.Param4 = static_cast<uintptr_t>(NowNs());
    run.Feed.Post(msg);
    run.Rig.Delivery.WaitFor(0, ++posted);
    std::this_thread::sleep_for(kLatencyGap);
  }
  std::vector<int64_t> lat(run.Rig.Latencies.begin(),
                           run.Rig.Latencies.begin() + std::min<size_t>(posted, samples));
  if (lat.empty()) return;
  std::sort(lat.begin(), lat.end());
  auto at = [&](double q) {
    const size_t i = std::min(lat.size() - 1, static_cast<size_t>(q * lat.size()));
    return lat[i] / 1000.0;
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = lat.back() / 1000.0;
}

void RegisterAll() {
  struct TPath {
    const char* Name;
    void (*Throughput)(benchmark::State&);
    void (*Latency)(benchmark::State&);
  };
  const TPath paths[] = {
      {"kernel", Throughput<TKernelPath>, Latency<TKernelPath>},
      {"blocking_queue", Throughput<TBlockingPath>, Latency<TBlockingPath>},
      {"spin_queue", Throughput<TSpinPath>, Latency<TSpinPath>},
  };
  // The paths of one configuration run next to each other, so they meet the same machine.
  for (int modules : {1, 8})
    for (int posters : {1, 4})
      for (const TPath& path : paths)
        benchmark::RegisterBenchmark((std::string("throughput/") + path.Name).c_str(),
                                     path.Throughput)
            ->ArgName("modules")
            ->Arg(modules)
            ->Threads(posters)
            ->UseRealTime()
            ->MinTime(0.2)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true);
  for (int modules : {1, 8})
    for (const TPath& path : paths)
      benchmark::RegisterBenchmark((std::string("latency/") + path.Name).c_str(), path.Latency)
          ->ArgName("modules")
          ->Arg(modules)
          ->Iterations(kLatencySamples)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
}

// ---------------------------------------------------------------------------------------------
// TSummaryReporter: the console table, then the kernel beside the baselines.
//
// Threads: the benchmark library calls it from the main thread only.
// ---------------------------------------------------------------------------------------------
class TSummaryReporter : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With repetitions, the median stands for the configuration.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const std::string& name = run.run_name.function_name;  // "<workload>/<path>"
      const size_t slash = name.find('/');
      if (slash == std::string::npos) continue;
      std::string config = run.run_name.args;
      if (!run.run_name.threads.empty()) config += "/" + run.run_name.threads;
      FResults[name.substr(0, slash)][config][name.substr(slash + 1)] = run.counters;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    char line[256];
    if (auto it = FResults.find("throughput"); it != FResults.end()) {
      out << "\nThroughput: messages fully delivered per second (ratio = kernel / baseline)\n";
      std::snprintf(line, sizeof line, "%-22s %12s %14s %7s %12s %7s\n", "config", "kernel",
                    "blocking_queue", "ratio", "spin_queue", "ratio");
      out << line;
      for (const auto& [config, paths] : it->second) {
        const double k = Value(paths, "kernel", "items_per_second");
        const double b = Value(paths, "blocking_queue", "items_per_second");
        const double s = Value(paths, "spin_queue", "items_per_second");
        std::snprintf(line, sizeof line, "%-22s %11.3fM %13.3fM %7.2f %11.3fM %7.2f\n",
                      config.c_str(), k / 1e6, b / 1e6, Ratio(k, b), s / 1e6, Ratio(k, s));
        out << line;
      }
    }
    if (auto it = FResults.find("latency"); it != FResults.end()) {
      out << "\nLatency: post to the last module's HandleMessage, microseconds (p50 / p99 / max)\n";
      std::snprintf(line, sizeof line, "%-12s %24s %24s %24s\n", "config", "kernel",
                    "blocking_queue", "spin_queue");
      out << line;
      for (const auto& [config, paths] : it->second) {
        std::string cells[3];
        const char* names[3] = {"kernel", "blocking_queue", "spin_queue"};
        for (int i = 0; i < 3; ++i) {
          char cell[64];
          std::snprintf(cell, sizeof cell, "%.1f / %.1f / %.1f", Value(paths, names[i], "p50_us"),
                        Value(paths, names[i], "p99_us"), Value(paths, names[i], "max_us"));
          cells[i] = cell;
        }
        std::snprintf(line, sizeof line, "%-12s %24s %24s %24s\n", config.c_str(),
                      cells[0].c_str(), cells[1].c_str(), cells[2].c_str());
        out << line;
      }
    }
  }

 private:
  using TPaths = std::map<std::string, benchmark::UserCounters>;

  static double Value(const TPaths& paths, const char* path, const char* counter) {
    const auto p = paths.find(path);
    if (p == paths.end()) return 0;
    const auto c = p->second.find(counter);
    return c == p->second.end() ? 0 : c->second.value;
  }
  static double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

  // workload -> configuration -> path -> counters
  std::map<std::string, std::map<std::string, TPaths>> FResults;
};

}  // namespace

int main(int argc, char** argv) {
  // Another output format asked for: leave the display to the library.
  bool console = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.rfind("--benchmark_format=", 0) == 0 && arg != "--benchmark_format=console")
      console = false;
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  char tmpl[] = "/tmp/midavo-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::perror("bench_kernel: mkdtemp");
    return 1;
  }
  const std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(tmpl);
  RegisterAll();
  TSummaryReporter reporter(::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                    : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(console ? &reporter : nullptr);
  benchmark::Shutdown();

  std::filesystem::current_path(home);
  std::error_code ignored;
  std::filesystem::remove_all(tmpl, ignored);
  return 0;
}
