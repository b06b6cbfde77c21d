// input_bench.cpp - how long a key press takes from the kernel's IMDInputSink to the module
// that receives the bound action.
//
// The host is started as it starts for real (KS_STARTING, Init, an action "Bench" bound to F5 in
// settings.ini, the binder's LoadInputs, KS_READY, one module registered, KS_RUNNING). Each
// sample hands F5 to IMDInputSink::HandleInput on this thread: the binder passes it to the
// keyboard module, which names it "F5" and reports it; the binder finds the binding and posts
// MDM_ACTION; the dispatch thread delivers it to the control panel and then to the module,
// which stamps the time of arrival. This thread polls (yielding) until the stamp is there, then
// sleeps kGap so the dispatch thread is idle again before the next key, as it is between real
// key presses.
//
// key_to_action   counters p50_us, p99_us, max_us: from the call to HandleInput to the module's
//                 HandleMessage; call_p50_us, call_p99_us: the time HandleInput itself takes on
//                 the caller's thread. The "Time" column includes the pause and means nothing.
// key_unbound     HandleInput of a key that no action is bound to (F6): naming, look-up and
//                 locks without the post, ns per call in the "Time" column.
//
// The kernel writes settings.ini into the current directory: the program runs in a temporary
// folder of its own and removes it at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "core/UMDKernel.h"
#include "input/UMDActionInput.h"
#include "input/UMDKeyState.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kBenchAction = 0x0B01;
constexpr uint32_t kF5 = 0x74;
constexpr int kSamples = 10000;
constexpr auto kGap = std::chrono::microseconds(50);

const TMDActionItem kAction{u"Bench", kBenchAction, kBenchAction};

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Stamps the arrival of the bench action.
class TStampModule final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    if (msg->Msg == MDM_ACTION && msg->Param1 == kBenchAction)
      Arrived.store(NowNs(), std::memory_order_release);
    return S_OK;
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo*) override { return S_OK; }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL Stop() override { return S_OK; }
  HRESULT MDCALL QueryStopped() override { return S_OK; }

  std::atomic<int64_t> Arrived{0};
};

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
  std::nth_element(values.begin(), values.begin() + at, values.end());
  return values[at];
}

// The host with the bench action bound to F5 and the stamping module registered.
std::unique_ptr<TMDKernel> StartHost(const TComPtr<TStampModule>& module) {
  std::ofstream("settings.ini") << "[Input.Keyboard]\n2817=F5\n";
  auto kernel = std::make_unique<TMDKernel>(0, TMDMethod{nullptr, nullptr});
  kernel->SetState(KS_STARTING);
  kernel->Init();
  kernel->ActionList()->AddAction(&kAction);
  kernel->Binder()->LoadInputs();
  kernel->SetState(KS_READY);
  kernel->RegisterModule(module.Get());
  kernel->SetState(KS_RUNNING);
  return kernel;
}

void StopHost(std::unique_ptr<TMDKernel>& kernel) {
  kernel->StopDispatch();
  kernel->SetState(KS_READY);
  kernel->UnregisterAllModules();
  kernel->SetState(KS_STOPPING);
  kernel->Done();
  kernel.reset();
}

void KeyToAction(benchmark::State& state) {
  TComPtr<TStampModule> module(new TStampModule);
  auto kernel = StartHost(module);
  auto sink = TComPtr<IMDInputSink>::Query(static_cast<IMDKernel*>(kernel.get()));
  TMDKeyStateScope noModifiers(0);

  std::vector<double> latency, call;
  latency.reserve(kSamples);
  call.reserve(kSamples);
  for (auto _ : state) {
    for (int i = 0; i < kSamples; ++i) {
      module->Arrived.store(0, std::memory_order_relaxed);
      const int64_t start = NowNs();
      sink->HandleInput(kF5, 0);
      const int64_t returned = NowNs();
      int64_t arrived = 0;
      // Yielding, so a dispatch thread woken on this CPU gets it at once.
      while ((arrived = module->Arrived.load(std::memory_order_acquire)) == 0)
        std::this_thread::yield();
      latency.push_back((arrived - start) / 1000.0);
      call.push_back((returned - start) / 1000.0);
      std::this_thread::sleep_for(kGap);
    }
  }
  state.counters["p50_us"] = Percentile(latency, 0.50);
  state.counters["p99_us"] = Percentile(latency, 0.99);
  state.counters["max_us"] = *std::max_element(latency.begin(), latency.end());
  state.counters["call_p50_us"] = Percentile(call, 0.50);
  state.counters["call_p99_us"] = Percentile(call, 0.99);
  state.SetItemsProcessed(static_cast<int64_t>(latency.size()));

  sink = nullptr;
  StopHost(kernel);
}
BENCHMARK(KeyToAction)->Name("key_to_action")->Iterations(1)->Unit(benchmark::kMillisecond);

void KeyUnbound(benchmark::State& state) {
  TComPtr<TStampModule> module(new TStampModule);
  auto kernel = StartHost(module);
  auto sink = TComPtr<IMDInputSink>::Query(static_cast<IMDKernel*>(kernel.get()));
  TMDKeyStateScope noModifiers(0);
  for (auto _ : state) sink->HandleInput(kF5 + 1, 0);
  sink = nullptr;
  StopHost(kernel);
}
BENCHMARK(KeyUnbound)->Name("key_unbound");

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  char tmpl[] = "/tmp/midavo-bench-input-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::perror("bench_input: mkdtemp");
    return 1;
  }
  const std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(tmpl);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::current_path(home);
  std::error_code ignored;
  std::filesystem::remove_all(tmpl, ignored);
  return 0;
}
