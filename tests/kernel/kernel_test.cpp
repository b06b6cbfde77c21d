// The kernel: state machine, registry, enumerator, dispatch, shut-down and main-thread requests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/UMDKernel.h"

namespace {

using namespace std::chrono_literals;

// A module that records what reaches it. Optionally raises on a message id or on SetState, and
// answers QueryStopped with S_FALSE a given number of times first.
class TRecordingModule final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    {
      std::lock_guard<std::mutex> guard(Mutex);
      Messages.push_back(*msg);
    }
    if (OnMessage) OnMessage(*msg);
    if (RaiseOn && msg->Msg == RaiseOn) throw std::runtime_error("receiver failed");
    return S_OK;
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override { return S_OK; }
  HRESULT MDCALL SetState(int32_t state) override {
    States.push_back(state);
    if (RaiseOnSetState) throw std::runtime_error("state failed");
    return S_OK;
  }
  HRESULT MDCALL Stop() override {
    ++Stops;
    return S_OK;
  }
  HRESULT MDCALL QueryStopped() override { return StopPolls-- > 0 ? S_FALSE : S_OK; }

  std::vector<uint32_t> MessageIds() {
    std::lock_guard<std::mutex> guard(Mutex);
    std::vector<uint32_t> ids;
    for (const auto& m : Messages) ids.push_back(m.Msg);
    return ids;
  }

  std::mutex Mutex;
  std::vector<TMDMessage> Messages;
  std::vector<int32_t> States;
  std::function<void(const TMDMessage&)> OnMessage;
  uint32_t RaiseOn = 0;
  bool RaiseOnSetState = false;
  int Stops = 0;
  std::atomic<int> StopPolls{0};
};

// Owns a recording module through one counted reference.
TComPtr<TRecordingModule> NewModule() { return TComPtr<TRecordingModule>(new TRecordingModule); }

TMDMessage Message(uint32_t msg, int32_t p1 = 0) {
  TMDMessage m{};
  m.Msg = msg;
  m.Param1 = p1;
  return m;
}

// Counts OnShutdown calls and lets a test wait for the first.
struct TShutdownProbe {
  static void MDCALL Fire(void* data, void* sender) {
    auto* self = static_cast<TShutdownProbe*>(data);
    self->Sender = sender;
    if (self->Calls.fetch_add(1) == 0) self->Called.set_value();
  }
  TMDMethod Method() { return {&Fire, this}; }
  bool WaitCalled() { return Future.wait_for(5s) == std::future_status::ready; }

  std::atomic<int> Calls{0};
  void* Sender = nullptr;
  std::promise<void> Called;
  std::future<void> Future = Called.get_future();
};

// Each test runs in a folder of its own, where the kernel's settings.ini lands.
class Kernel : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/midavo-kernel-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    OldDir = std::filesystem::current_path();
    std::filesystem::current_path(Dir);
  }
  void TearDown() override {
    K.reset();
    std::filesystem::current_path(OldDir);
    std::filesystem::remove_all(Dir);
  }
  TMDKernel& Make() {
    K = std::make_unique<TMDKernel>(0x1234, Shutdown.Method());
    return *K;
  }
  // KS_CREATED -> KS_STARTING -> Init -> KS_READY
  TMDKernel& MakeReady() {
    Make();
    EXPECT_EQ(K->SetState(KS_STARTING), S_OK);
    EXPECT_EQ(K->Init(), S_OK);
    EXPECT_EQ(K->SetState(KS_READY), S_OK);
    return *K;
  }
  // Waits until `done` holds (the dispatch thread delivers asynchronously).
  template <class F>
  static bool Eventually(F done) {
    for (int i = 0; i < 500; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return done();
  }
  std::string ReadSettings() {
    std::ifstream in(Dir + "/settings.ini");
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::string Dir;
  std::filesystem::path OldDir;
  TShutdownProbe Shutdown;
  std::unique_ptr<TMDKernel> K;
};

TEST_F(Kernel, StateTransitionsFollowTheTable) {
  // Path of allowed transitions that reaches each state, then every request from there.
  const std::vector<int32_t> all = {KS_CREATED, KS_STARTING, KS_READY, KS_RUNNING, KS_STOPPING};
  const std::vector<std::pair<std::vector<int32_t>, int32_t>> reach = {
      {{}, KS_CREATED},
      {{KS_STARTING}, KS_STARTING},
      {{KS_STARTING, KS_READY}, KS_READY},
      {{KS_STARTING, KS_READY, KS_RUNNING}, KS_RUNNING},
      {{KS_STARTING, KS_READY, KS_STOPPING}, KS_STOPPING},
  };
  auto allowed = [](int32_t from, int32_t to) {
    return (from == KS_CREATED && to == KS_STARTING) || (from == KS_STARTING && to == KS_READY) ||
           (from == KS_READY && (to == KS_RUNNING || to == KS_STOPPING)) ||
           (from == KS_RUNNING && to == KS_READY);
  };
  for (const auto& [path, from] : reach) {
    for (int32_t to : all) {
      TMDKernel kernel(0, {});
      for (int32_t step : path) ASSERT_EQ(kernel.SetState(step), S_OK);
      const HRESULT want = to == from ? S_FALSE : allowed(from, to) ? S_OK : E_FAIL;
      EXPECT_EQ(kernel.SetState(to), want) << from << " -> " << to;
      EXPECT_EQ(kernel.State(), want == S_OK ? to : from);
    }
  }
}

TEST_F(Kernel, InitAndDoneRunOnlyInTheirStates) {
  Make();
  EXPECT_EQ(K->Init(), E_FAIL);
  EXPECT_EQ(K->Done(), E_FAIL);
  void* out = this;
  EXPECT_EQ(K->QueryInterface(IID_IMDSettings, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(K->QueryInterface(IID_IMDControlPanel, &out), E_NOINTERFACE);
  ASSERT_EQ(K->SetState(KS_STARTING), S_OK);
  ASSERT_EQ(K->Init(), S_OK);
  EXPECT_EQ(K->Done(), E_FAIL);
}

TEST_F(Kernel, InitCreatesServicesAndWritesStartTimeDoneWritesStopTime) {
  MakeReady();
  auto settings = TComPtr<IMDSettings>::Query(static_cast<IMDKernel*>(K.get()));
  auto actions = TComPtr<IMDActionList>::Query(static_cast<IMDKernel*>(K.get()));
  ASSERT_TRUE(settings);
  ASSERT_TRUE(actions);
  // The kernel's own action first, then the control panel's two.
  const std::pair<std::u16string, int32_t> want[] = {{u"Shutdown Application", MDA_SHUTDOWN},
                                                     {u"Show Control Panel", MDA_SHOW_CONTROL_PANEL},
                                                     {u"Hide Control Panel", MDA_HIDE_CONTROL_PANEL}};
  ASSERT_EQ(actions->GetActionCount(), 3);
  for (uint32_t i = 0; i < 3; ++i) {
    TMDActionItem item{};
    ASSERT_EQ(actions->GetAction(i, &item), S_OK);
    EXPECT_EQ(std::u16string(item.Name), want[i].first);
    EXPECT_EQ(item.Id, want[i].second);
    EXPECT_EQ(item.Code, want[i].second);
  }
  // Not counted: usable until Done, so not kept past it.
  EXPECT_TRUE(TComPtr<IMDControlPanel>::Query(static_cast<IMDKernel*>(K.get())));

  const std::regex started(R"(\[Kernel\.Init\]\nLastStarted=\d\d:\d\d:\d\d\n)");
  EXPECT_TRUE(std::regex_search(ReadSettings(), started)) << ReadSettings();

  ASSERT_EQ(K->SetState(KS_STOPPING), S_OK);
  ASSERT_EQ(K->Done(), S_OK);
  EXPECT_NE(ReadSettings().find("LastStopped="), std::string::npos);
  void* out = this;
  EXPECT_EQ(K->QueryInterface(IID_IMDSettings, &out), E_NOINTERFACE);
  EXPECT_EQ(K->QueryInterface(IID_IMDActionList, &out), E_NOINTERFACE);
  EXPECT_EQ(K->QueryInterface(IID_IMDControlPanel, &out), E_NOINTERFACE);
  // The services outlive Done for those who still hold them.
  EXPECT_EQ(actions->GetActionCount(), 3);
}

TEST_F(Kernel, SecondInitRebuildsTheServices) {
  Make();
  ASSERT_EQ(K->SetState(KS_STARTING), S_OK);
  ASSERT_EQ(K->Init(), S_OK);
  auto first = TComPtr<IMDActionList>::Query(static_cast<IMDKernel*>(K.get()));
  ASSERT_EQ(K->Init(), S_OK);
  auto second = TComPtr<IMDActionList>::Query(static_cast<IMDKernel*>(K.get()));
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(second->GetActionCount(), 3);
}

TEST_F(Kernel, KernelValuesAndHandles) {
  Make();
  TMDKernelInfo info{7, 7, 7};
  EXPECT_EQ(K->GetKernelInfo(&info), S_OK);
  EXPECT_EQ(info.Info1 | info.Info2 | info.Info3, 0);
  int32_t value = 7;
  EXPECT_EQ(K->GetKernelValue(&value), S_OK);
  EXPECT_EQ(value, 0);
  MDHANDLE window = 0;
  EXPECT_EQ(K->GetMainWindow(&window), S_OK);
  EXPECT_EQ(window, 0x1234u);
  MDHANDLE instance = 0;
  EXPECT_EQ(K->GetInstance(&instance), S_OK);
  EXPECT_NE(instance, 0u);
  const char16_t* dir = nullptr;
  ASSERT_EQ(K->GetApplicationDir(&dir), S_OK);
  EXPECT_EQ(std::filesystem::path(MDToUtf8(dir)), std::filesystem::canonical(Dir));
  // Each query makes a new enumerator; IUnknown is the kernel itself.
  auto e1 = TComPtr<IMDEnumModules>::Query(static_cast<IMDKernel*>(K.get()));
  auto e2 = TComPtr<IMDEnumModules>::Query(static_cast<IMDKernel*>(K.get()));
  EXPECT_TRUE(e1 && e2 && e1.Get() != e2.Get());
  void* unknown = nullptr;
  EXPECT_EQ(K->QueryInterface(IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(unknown, static_cast<IUnknown*>(static_cast<TBaseObject*>(K.get())));
}

TEST_F(Kernel, RegistrationOnlyInReadyAndModulesFollowTheStates) {
  Make();
  auto early = NewModule();
  EXPECT_EQ(K->RegisterModule(early.Get()), E_FAIL);
  MakeReady();
  auto a = NewModule(), b = NewModule();
  EXPECT_EQ(K->RegisterModule(nullptr), E_POINTER);
  ASSERT_EQ(K->RegisterModule(a.Get()), S_OK);
  ASSERT_EQ(K->RegisterModule(b.Get()), S_OK);
  EXPECT_EQ(a->RefCount(), 2);  // ours and the registry's
  a->RaiseOnSetState = true;    // swallowed; b is still told
  ASSERT_EQ(K->SetState(KS_RUNNING), S_OK);
  auto late = NewModule();
  EXPECT_EQ(K->RegisterModule(late.Get()), E_FAIL);
  EXPECT_TRUE(late->States.empty());
  EXPECT_EQ(K->UnregisterModule(a.Get()), E_FAIL);
  ASSERT_EQ(K->SetState(KS_READY), S_OK);
  EXPECT_EQ(a->States, (std::vector<int32_t>{KS_READY, KS_RUNNING, KS_READY}));
  EXPECT_EQ(b->States, (std::vector<int32_t>{KS_READY, KS_RUNNING, KS_READY}));
}

TEST_F(Kernel, UnregisterWaitsForStopAndCountsEveryChange) {
  MakeReady();
  auto a = NewModule(), b = NewModule(), stranger = NewModule();
  ASSERT_EQ(K->RegisterModule(a.Get()), S_OK);
  ASSERT_EQ(K->RegisterModule(b.Get()), S_OK);
  const int32_t before = K->ChangeCount();
  EXPECT_EQ(K->UnregisterModule(stranger.Get()), S_FALSE);
  EXPECT_EQ(K->ChangeCount(), before + 1);  // counted although nothing was removed

  a->StopPolls = 2;
  EXPECT_EQ(K->UnregisterModule(a.Get()), S_OK);
  EXPECT_EQ(a->Stops, 1);
  EXPECT_EQ(a->StopPolls, -1);  // asked until it said S_OK
  EXPECT_EQ(a->RefCount(), 1);  // the registry let go
  EXPECT_EQ(K->ModuleCount(), 1);

  b->StopPolls = 1;
  EXPECT_EQ(K->UnregisterAllModules(), S_OK);
  EXPECT_EQ(b->Stops, 1);
  EXPECT_EQ(b->RefCount(), 1);
  const int32_t after = K->ChangeCount();
  EXPECT_EQ(K->UnregisterAllModules(), S_FALSE);
  EXPECT_EQ(K->ChangeCount(), after);
}

TEST_F(Kernel, EnumeratorWalksAndReportsChanges) {
  MakeReady();
  auto walker = TComPtr<IMDEnumModules>::Query(static_cast<IMDKernel*>(K.get()));
  ASSERT_TRUE(walker);
  IMDModule* out = nullptr;
  EXPECT_EQ(walker->Next(&out), E_FAIL);  // empty registry

  auto a = NewModule(), b = NewModule();
  ASSERT_EQ(K->RegisterModule(a.Get()), S_OK);
  ASSERT_EQ(K->RegisterModule(b.Get()), S_OK);
  out = reinterpret_cast<IMDModule*>(this);
  EXPECT_EQ(walker->Next(&out), E_MODULES_CHANGED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(walker->Skip(), E_MODULES_CHANGED);

  ASSERT_EQ(walker->Reset(), S_OK);
  ASSERT_EQ(walker->Next(&out), S_OK);
  EXPECT_EQ(out, static_cast<IMDModule*>(a.Get()));
  out->Release();
  ASSERT_EQ(walker->Next(&out), S_OK);
  EXPECT_EQ(out, static_cast<IMDModule*>(b.Get()));
  out->Release();
  EXPECT_EQ(walker->Next(&out), E_FAIL);
  EXPECT_EQ(out, nullptr);

  ASSERT_EQ(walker->Reset(), S_OK);
  EXPECT_EQ(walker->Skip(), S_OK);
  EXPECT_EQ(walker->Skip(), S_OK);
  EXPECT_EQ(walker->Skip(), E_FAIL);
  EXPECT_EQ(K->UnregisterModule(a.Get()), S_OK);
  EXPECT_EQ(walker->Skip(), E_MODULES_CHANGED);
}

TEST_F(Kernel, BroadcastReachesEveryModuleInOrder) {
  MakeReady();
  auto a = NewModule(), b = NewModule();
  std::vector<char> order;
  std::mutex orderMutex;
  a->OnMessage = [&](const TMDMessage&) { std::lock_guard<std::mutex> g(orderMutex); order.push_back('a'); };
  b->OnMessage = [&](const TMDMessage&) { std::lock_guard<std::mutex> g(orderMutex); order.push_back('b'); };
  ASSERT_EQ(K->RegisterModule(a.Get()), S_OK);
  ASSERT_EQ(K->RegisterModule(b.Get()), S_OK);
  for (uint32_t id : {MDM_NOTIFY, MDM_STARTED, MDM_UPDATE}) {
    const TMDMessage m = Message(id);
    ASSERT_EQ(K->HandleMessage(&m), S_OK);
  }
  ASSERT_TRUE(Eventually([&] { return b->MessageIds().size() == 3; }));
  EXPECT_EQ(a->MessageIds(), (std::vector<uint32_t>{MDM_NOTIFY, MDM_STARTED, MDM_UPDATE}));
  EXPECT_EQ(b->MessageIds(), a->MessageIds());
  std::lock_guard<std::mutex> g(orderMutex);
  EXPECT_EQ(order, (std::vector<char>{'a', 'b', 'a', 'b', 'a', 'b'}));
}

// Both ways of shutting down: the action is seen as an action by everybody first.
TEST_F(Kernel, ShutdownEndsDispatchAfterEveryReceiverSawTheMessage) {
  const std::pair<TMDMessage, uint32_t> cases[] = {
      {Message(MDM_ACTION, MDA_SHUTDOWN), MDM_ACTION},
      {Message(MDM_SHUTDOWN), MDM_SHUTDOWN},
  };
  for (const auto& [message, seenAs] : cases) {
    TShutdownProbe probe;
    TMDKernel kernel(0, probe.Method());
    kernel.SetState(KS_STARTING);
    kernel.Init();
    kernel.SetState(KS_READY);
    auto a = NewModule(), b = NewModule();
    kernel.RegisterModule(a.Get());
    kernel.RegisterModule(b.Get());
    ASSERT_EQ(kernel.HandleMessage(&message), S_OK);
    ASSERT_TRUE(probe.WaitCalled());
    const TMDMessage late = Message(MDM_NOTIFY);
    EXPECT_EQ(kernel.HandleMessage(&late), S_OK);  // accepted, never delivered
    std::this_thread::sleep_for(30ms);
    kernel.StopDispatch();
    EXPECT_EQ(probe.Calls, 1);
    EXPECT_NE(probe.Sender, nullptr);
    EXPECT_EQ(a->MessageIds(), std::vector<uint32_t>{seenAs});
    EXPECT_EQ(b->MessageIds(), std::vector<uint32_t>{seenAs});
    EXPECT_EQ(a->Messages[0].Param1, message.Param1);
  }
}

TEST_F(Kernel, RaisingReceiverEndsDispatchAndLaterModulesMissTheMessage) {
  MakeReady();
  auto a = NewModule(), b = NewModule();
  a->RaiseOn = MDM_NOTIFY;
  ASSERT_EQ(K->RegisterModule(a.Get()), S_OK);
  ASSERT_EQ(K->RegisterModule(b.Get()), S_OK);
  const TMDMessage first = Message(MDM_STARTED), bad = Message(MDM_NOTIFY);
  K->HandleMessage(&first);
  K->HandleMessage(&bad);
  ASSERT_TRUE(Shutdown.WaitCalled());
  EXPECT_EQ(a->MessageIds(), (std::vector<uint32_t>{MDM_STARTED, MDM_NOTIFY}));
  EXPECT_EQ(b->MessageIds(), std::vector<uint32_t>{MDM_STARTED});
  K->StopDispatch();
  EXPECT_EQ(Shutdown.Calls, 1);
}

TEST_F(Kernel, StopDispatchDropsQueuedMessagesWithoutCallingOnShutdown) {
  MakeReady();
  auto a = NewModule();
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  a->OnMessage = [&](const TMDMessage& m) {
    if (m.Msg == MDM_STARTED) {
      entered.set_value();
      released.wait();
    }
  };
  ASSERT_EQ(K->RegisterModule(a.Get()), S_OK);
  const TMDMessage blocker = Message(MDM_STARTED), queued = Message(MDM_NOTIFY);
  K->HandleMessage(&blocker);
  entered.get_future().wait();
  K->HandleMessage(&queued);
  auto stopping = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(20ms);
    release.set_value();  // the message being delivered is finished first
  });
  // StopDispatch runs on the test's main thread (the kernel's).
  K->StopDispatch();
  stopping.get();
  EXPECT_EQ(a->MessageIds(), std::vector<uint32_t>{MDM_STARTED});
  EXPECT_EQ(Shutdown.Calls, 0);
  K->StopDispatch();  // a second call is harmless
}

TEST_F(Kernel, StopDispatchOnAnIdleQueueReturnsPromptly) {
  Make();
  const auto start = std::chrono::steady_clock::now();
  K->StopDispatch();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(Shutdown.Calls, 0);
}

// Synchronize: callback for the test's main thread, which is the kernel's main thread.
struct TSyncProbe {
  static void MDCALL Run(void* data, void*) {
    auto* self = static_cast<TSyncProbe*>(data);
    self->RanOn = std::this_thread::get_id();
    ++self->Runs;
    if (self->Raise) throw std::runtime_error("callback failed");
  }
  TMDMethod Method() { return {&Run, this}; }
  std::thread::id RanOn;
  std::atomic<int> Runs{0};
  bool Raise = false;
};

TEST_F(Kernel, SynchronizeRunsOnTheMainThreadAndPassesExceptionsOn) {
  Make();
  EXPECT_EQ(K->Synchronize({nullptr, this}), S_OK);

  TSyncProbe direct;
  EXPECT_EQ(K->Synchronize(direct.Method()), S_OK);
  EXPECT_EQ(direct.RanOn, std::this_thread::get_id());

  std::atomic<int> wakeups{0};
  K->SetMainThreadWakeup([&] { ++wakeups; });
  TSyncProbe fromWorker;
  auto worker = std::async(std::launch::async, [&] { return K->Synchronize(fromWorker.Method()); });
  EXPECT_EQ(worker.wait_for(50ms), std::future_status::timeout);  // waits for the main thread
  EXPECT_EQ(fromWorker.Runs, 0);
  while (worker.wait_for(0ms) != std::future_status::ready) K->WaitAndServeRequests(10);
  EXPECT_EQ(worker.get(), S_OK);
  EXPECT_EQ(fromWorker.RanOn, std::this_thread::get_id());
  EXPECT_GE(wakeups, 1);

  TSyncProbe raising;
  raising.Raise = true;
  auto failing = std::async(std::launch::async, [&] { return K->Synchronize(raising.Method()); });
  while (failing.wait_for(0ms) != std::future_status::ready) K->WaitAndServeRequests(10);
  EXPECT_THROW(failing.get(), std::runtime_error);
}

TEST_F(Kernel, ConcurrentSynchronizeCallersEachGetTheirOwnRequest) {
  Make();
  constexpr int kCallers = 8;
  TSyncProbe probes[kCallers];
  std::vector<std::future<HRESULT>> callers;
  for (auto& probe : probes)
    callers.push_back(std::async(std::launch::async, [&] { return K->Synchronize(probe.Method()); }));
  for (auto& caller : callers) {
    while (caller.wait_for(0ms) != std::future_status::ready) K->WaitAndServeRequests(5);
    EXPECT_EQ(caller.get(), S_OK);
  }
  for (auto& probe : probes) EXPECT_EQ(probe.Runs, 1);
}

// A receiver on the dispatch thread that needs the main thread while the main thread is
// stopping dispatch, or is waiting for modules to stop: neither may deadlock.
TEST_F(Kernel, SynchronizeFromDispatchIsServedWhileMainThreadWaits) {
  MakeReady();
  auto a = NewModule();
  TSyncProbe probe;
  std::promise<void> entered;
  a->OnMessage = [&](const TMDMessage& m) {
    if (m.Msg != MDM_NOTIFY) return;
    entered.set_value();
    std::this_thread::sleep_for(20ms);  // let the main thread get into StopDispatch
    K->Synchronize(probe.Method());
  };
  ASSERT_EQ(K->RegisterModule(a.Get()), S_OK);
  const TMDMessage m = Message(MDM_NOTIFY);
  K->HandleMessage(&m);
  entered.get_future().wait();
  K->StopDispatch();
  EXPECT_EQ(probe.Runs, 1);
  EXPECT_EQ(probe.RanOn, std::this_thread::get_id());
}

TEST_F(Kernel, SynchronizeIsServedWhileWaitingForModulesToStop) {
  MakeReady();
  auto a = NewModule();
  a->StopPolls = 1000000;  // stops only once its helper thread got through Synchronize
  ASSERT_EQ(K->RegisterModule(a.Get()), S_OK);
  TSyncProbe probe;
  std::thread helper([&] {
    K->Synchronize(probe.Method());
    a->StopPolls = 0;
  });
  EXPECT_EQ(K->UnregisterAllModules(), S_OK);
  helper.join();
  EXPECT_EQ(probe.Runs, 1);
}

}  // namespace
