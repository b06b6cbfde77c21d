// UMDKernel.h - the kernel, its dispatch thread and the module enumerator.
//
// TMDKernel is the hub of the host: it owns the services (settings store, action list, control
// panel, module loader, binder), keeps the registry of running modules, walks the kernel state
// machine, queues messages and broadcasts them on its one dispatch thread.
//
// Threads
//   - The kernel's main thread is the thread that constructs it (the host's main thread). Init,
//     Done, StopDispatch, destruction and the main-thread request queue (ServeRequests,
//     WaitAndServeRequests) belong to it.
//   - Every IMDKernel method may be called from any thread.
//   - The dispatch thread (TMDKernelThread) takes messages one at a time and broadcasts each
//     while holding the registry lock: first to the control panel, then to every module.
//   - Synchronize from another thread queues a request for the main thread, calls the wake-up
//     that the shell installed (SetMainThreadWakeup) and blocks until the main thread has run
//     it. Wherever the main thread itself waits for another thread (StopDispatch, waiting for
//     modules to stop, waiting for the registry lock) it keeps serving these requests, so a
//     request from the dispatch thread can never deadlock shut-down.
//
// Locks
//   - FRegistryLock (re-entrant) guards FModules and every call the kernel makes to registered
//     modules (broadcast, state notifications, stop and release). It is taken before any lock a
//     module or page takes.
//   - FRequestMutex guards the main-thread request queue only; nothing is called under it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UMDBase.h"
#include "controlpanel/UMDControlPanel.h"

class TMDActionInput;
class TMDKernel;
class TMDModuleLoader;

// The dispatch thread. Created and started by the kernel's constructor, stopped by
// StopDispatch or by itself after MDM_SHUTDOWN; the kernel owns and joins it.
class TMDKernelThread {
 public:
  explicit TMDKernelThread(TMDKernel* kernel);
  ~TMDKernelThread();  // joins
  TMDKernelThread(const TMDKernelThread&) = delete;
  TMDKernelThread& operator=(const TMDKernelThread&) = delete;

  void Terminate() { FTerminated.store(true, std::memory_order_release); }
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  bool Finished() const { return FFinished.load(std::memory_order_acquire); }
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThread.get_id(); }
  void Join();

 private:
  void Execute();

  TMDKernel* FKernel;  // not owned; the kernel owns this thread
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::thread FThread;  // last: starts once the fields above exist
};

class TMDKernel final : public TMDComImpl<TBaseObject, IMDKernel> {
 public:
  // Results of one dispatch step.
  static constexpr int kDispatchDelivered = 0;
  static constexpr int kDispatchTerminated = 100;
  static constexpr int kDispatchShutdown = 101;

  // mainWindow: handed out by GetMainWindow. onShutdown: called on the dispatch thread, with
  // the thread object as sender, when dispatch ends on MDM_SHUTDOWN or a raising receiver.
  TMDKernel(MDHANDLE mainWindow, TMDMethod onShutdown);
  ~TMDKernel() override;

  // Main thread. Init in KS_STARTING, Done in KS_STOPPING; E_FAIL otherwise.
  HRESULT Init();
  HRESULT Done();
  // Main thread. Ends dispatching: a message being delivered is finished, queued messages are
  // dropped, OnShutdown is not called. Serves Synchronize requests while it waits.
  void StopDispatch();

  // The application object handed out by GetApplication (opaque to plug-ins). Main thread,
  // before Init.
  void SetApplication(void* application) { FApplication = application; }
  // The main form's handler for control panel show and hide requests, given to the control
  // panel that Init creates. Main thread, before Init.
  void SetShowRequestHandler(TMDControlPanel::TShowRequest handler, void* context) {
    FShowRequest = handler;
    FShowRequestContext = context;
  }
  // Installs the function that wakes the main thread's event loop when a Synchronize request
  // arrives (any thread may call it). Without one, the main thread must poll ServeRequests.
  void SetMainThreadWakeup(std::function<void()> wakeup);
  // Main thread: runs every queued Synchronize request. Returns true if any ran.
  bool ServeRequests();
  // Main thread: waits up to timeoutMs for a request to arrive (or for `done` to hold), then
  // serves what is queued.
  bool WaitAndServeRequests(int timeoutMs, const std::function<bool()>& done = {});
  bool IsMainThread() const { return std::this_thread::get_id() == FMainThread; }

  // Host-side access to the services (main thread, between Init and Done).
  int32_t State() const { return FState.load(std::memory_order_acquire); }
  TMDModuleLoader* ModuleLoader() const { return FModuleLoader.get(); }
  TMDControlPanel* ControlPanel() const { return FControlPanel.get(); }
  TMDActionInput* Binder() const { return FBinder.get(); }
  IMDSettings* Settings() const { return FSettings.Get(); }
  IMDActionList* ActionList() const { return FActionList.Get(); }
  int32_t ChangeCount() const { return FChangeCount.load(std::memory_order_acquire); }
  int32_t ModuleCount();

  // IUnknown
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  // IMDMessageSink / IMDKernel
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;
  HRESULT MDCALL GetKernelInfo(TMDKernelInfo* info) override;
  HRESULT MDCALL GetKernelValue(int32_t* value) override;
  HRESULT MDCALL GetApplicationDir(const char16_t** dir) override;
  HRESULT MDCALL GetApplication(void** app) override;
  HRESULT MDCALL GetInstance(MDHANDLE* instance) override;
  HRESULT MDCALL GetMainWindow(MDHANDLE* window) override;
  HRESULT MDCALL SetState(int32_t state) override;
  HRESULT MDCALL RegisterModule(IMDModule* module) override;
  HRESULT MDCALL UnregisterModule(IMDModule* module) override;
  HRESULT MDCALL UnregisterAllModules() override;
  HRESULT MDCALL Synchronize(TMDMethod method) override;

 private:
  friend class TMDKernelThread;
  friend class TMDEnumModules;

  // Takes the registry lock; on the main thread it keeps serving Synchronize requests while
  // the dispatch thread holds the lock.
  std::unique_lock<TLock> LockRegistry();
  // Waits `ms` on the main thread while serving requests; sleeps elsewhere.
  void Pause(int ms);
  int DispatchStep();
  void Broadcast(const TMDMessage& msg);
  void NotifyServices(int32_t state, bool loaderBeforeBinder);
  void NotifyModules_unlocked(int32_t state);  // registry lock held
  void WriteTime(const char16_t* key);
  void CallOnShutdown(void* sender);
  // Wakes a main thread waiting in WaitAndServeRequests so it checks its condition again.
  void WakeMainThread();

  // --- fixed at construction ----------------------------------------------------------------
  const TMDKernelInfo FInfo{0, 0, 0};
  const MDHANDLE FMainWindow;
  const int32_t FKernelValue = 0;
  const TMDMethod FOnShutdown;
  const std::thread::id FMainThread;
  void* FInstance = nullptr;     // dlopen(nullptr) of the host executable
  void* FApplication = nullptr;  // set by the shell before Init

  // --- state: written on the main thread, read anywhere ---------------------------------------
  std::atomic<int32_t> FState{KS_CREATED};

  // --- services: main thread, between Init and Done -----------------------------------------
  TComPtr<IMDSettings> FSettings;
  TComPtr<IMDActionList> FActionList;
  std::unique_ptr<TMDControlPanel> FControlPanel;
  std::unique_ptr<TMDModuleLoader> FModuleLoader;
  std::unique_ptr<TMDActionInput> FBinder;
  TMDControlPanel::TShowRequest FShowRequest = nullptr;
  void* FShowRequestContext = nullptr;

  // --- the registry: guarded by FRegistryLock ------------------------------------------------
  TLock FRegistryLock;
  std::vector<TComPtr<IMDModule>> FModules;
  std::atomic<int32_t> FChangeCount{0};  // also read without the lock by enumerators

  // --- main-thread requests: guarded by FRequestMutex -----------------------------------------
  struct TRequest {
    TMDMethod Method;
    bool Done = false;
    std::exception_ptr Error;
  };
  std::mutex FRequestMutex;
  std::condition_variable FRequestChanged;
  std::deque<TRequest*> FRequests;
  std::function<void()> FWakeup;

  // --- the queue and the dispatch thread (last: the thread starts in the constructor) --------
  TThreadCommandQueue FQueue;
  std::unique_ptr<TMDKernelThread> FThread;
};

// Walks the kernel's registry; reports E_MODULES_CHANGED once the registry changed since the
// enumerator was made or last Reset. Any thread. Must not outlive the kernel.
class TMDEnumModules final : public TMDComImpl<TMDComObject, IMDEnumModules> {
 public:
  explicit TMDEnumModules(TMDKernel* kernel);

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  HRESULT MDCALL Reset() override;
  HRESULT MDCALL Next(IMDModule** module) override;
  HRESULT MDCALL Skip() override;

 private:
  TMDKernel* FKernel;  // not counted
  std::atomic<int32_t> FSnapshot;
  std::atomic<int32_t> FIndex{0};
};

// The local time of day in the user's long time format ("14:32:05").
std::u16string MDTimeOfDayText();
