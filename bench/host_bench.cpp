// host_bench.cpp - how long the host takes to start up and to shut down with 20 small plug-in
// libraries in its Modules folder, headless (no Qt), through MDStartHost and MDStopHost, the
// one start-up and shut-down order the program uses.
//
//   host/start  from nothing to KS_RUNNING: the kernel is constructed (its dispatch thread
//               starts), Init creates the settings store (writing the start time) and the action
//               list, the loader binds the 20 libraries and registers their actions, the binder
//               scans the folder (once it exists), module set 0 is activated and MDM_STARTED
//               posted.
//   host/stop   from KS_RUNNING to the kernel's destruction: dispatch stopped, modules told
//               KS_READY, stopped and released, the stop time written, every library
//               finalized and unloaded.
// Each iteration runs one whole cycle and times one half of it with steady_clock (manual time),
// so the other half never counts. The time per iteration is the figure to read; three
// repetitions, read the median.
//
// The plug-in is the test tree's recording library (tests/plugins/recorder.cpp, one module
// record, logging off), copied 20 times under different names so that each copy is loaded on
// its own. The program works in a temporary folder of its own (the host's current directory,
// where settings.ini and Modules live) and removes it at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "core/UMDHost.h"
#include "modules/UMDModuleLoader.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kLibraries = 20;

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Checks that a start-up really bound every library and runs the set's module.
bool Running(const std::unique_ptr<TMDKernel>& kernel) {
  return kernel && kernel->State() == KS_RUNNING && kernel->ModuleLoader() &&
         kernel->ModuleLoader()->LibraryCount() == kLibraries && kernel->ModuleCount() == 2;
}

void HostStart(benchmark::State& state) {
  for (auto _ : state) {
    std::unique_ptr<TMDKernel> kernel;
    const auto start = Clock::now();
    MDStartHost(kernel, {});
    const auto running = Clock::now();
    state.SetIterationTime(Seconds(start, running));
    if (!Running(kernel)) {
      state.SkipWithError("start-up did not bind every library");
      MDStopHost(kernel);
      break;
    }
    MDStopHost(kernel);
  }
  state.counters["libraries"] = kLibraries;
}

void HostStop(benchmark::State& state) {
  for (auto _ : state) {
    std::unique_ptr<TMDKernel> kernel;
    MDStartHost(kernel, {});
    if (!Running(kernel)) {
      state.SkipWithError("start-up did not bind every library");
      MDStopHost(kernel);
      break;
    }
    const auto stopping = Clock::now();
    MDStopHost(kernel);
    const auto gone = Clock::now();
    state.SetIterationTime(Seconds(stopping, gone));
  }
  state.counters["libraries"] = kLibraries;
}

// Three repetitions of at least a second each; the machine is small and shared, so read the
// median.
BENCHMARK(HostStart)->Name("host/start")->UseManualTime()->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)->Repetitions(3)->DisplayAggregatesOnly(true);
BENCHMARK(HostStop)->Name("host/stop")->UseManualTime()->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)->Repetitions(3)->DisplayAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/midavo-bench-host-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = tmpl;
  const fs::path old = fs::current_path();
  fs::create_directories(dir / "Modules");
  for (int i = 0; i < kLibraries; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "p%02d.so", i);
    fs::copy_file(MIDAVO_BENCH_PLUGIN, dir / "Modules" / name);
  }
  fs::current_path(dir);
  ::unsetenv("MIDAVO_TEST_LOG");  // the plug-in logs nothing

  benchmark::Initialize(&argc, argv);
  int rc = 0;
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    rc = 1;
  } else {
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  fs::current_path(old);
  fs::remove_all(dir);
  return rc;
}
