#include "core/UMDKernel.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "input/UMDActionInput.h"
#include "input/UMDActionList.h"
#include "modules/UMDModuleLoader.h"
#include "settings/UMDSettings.h"

namespace {

constexpr TMDActionItem kShutdownAction{u"Shutdown Application", MDA_SHUTDOWN, MDA_SHUTDOWN};

// The process's current directory, as the system reports it.
std::u16string CurrentDirectory() {
  std::string buf(256, '\0');
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) {
      buf.resize(std::char_traits<char>::length(buf.c_str()));
      return MDToUtf16(buf);
    }
    if (errno != ERANGE) return u".";
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

std::u16string MDTimeOfDayText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[64];
  // %X: the locale's time representation (the shell sets the user's locale).
  const size_t n = std::strftime(text, sizeof text, "%X", &local);
  return MDToUtf16(std::string_view(text, n));
}

// ---------------------------------------------------------------------------------------------
// TMDKernelThread
// ---------------------------------------------------------------------------------------------

TMDKernelThread::TMDKernelThread(TMDKernel* kernel)
    : FKernel(kernel), FThread([this] { Execute(); }) {}

TMDKernelThread::~TMDKernelThread() { Join(); }

void TMDKernelThread::Join() {
  if (FThread.joinable() && !IsCurrentThread()) FThread.join();
}

void TMDKernelThread::Execute() {
  int last = TMDKernel::kDispatchDelivered;
  while (!Terminated()) {
    last = FKernel->DispatchStep();
    if (last == TMDKernel::kDispatchShutdown) Terminate();
  }
  if (last == TMDKernel::kDispatchShutdown) FKernel->CallOnShutdown(this);
  FFinished.store(true, std::memory_order_release);
  FKernel->WakeMainThread();  // StopDispatch may be waiting for this
}

// ---------------------------------------------------------------------------------------------
// TMDKernel: construction and the host-side operations
// ---------------------------------------------------------------------------------------------

TMDKernel::TMDKernel(MDHANDLE mainWindow, TMDMethod onShutdown)
    : FMainWindow(mainWindow),
      FOnShutdown(onShutdown),
      FMainThread(std::this_thread::get_id()),
      FInstance(::dlopen(nullptr, RTLD_NOW)) {
  FThread = std::make_unique<TMDKernelThread>(this);
}

TMDKernel::~TMDKernel() {
  StopDispatch();
  FThread.reset();
  // Nobody may wait on a request of a kernel that is gone: run what is still queued.
  ServeRequests();
  // Services left over when Done was not reached: modules first, then their libraries.
  {
    std::lock_guard<TLock> guard(FRegistryLock);
    FModules.clear();
  }
  FModuleLoader.reset();
  FControlPanel.reset();
  FBinder.reset();
  FActionList = nullptr;
  FSettings = nullptr;
  if (FInstance) ::dlclose(FInstance);
}

HRESULT TMDKernel::Init() {
  if (State() != KS_STARTING) return E_FAIL;
  FSettings = nullptr;
  FActionList = nullptr;

  {
    auto store = std::make_unique<TINIWriter>(this);
    if (MD_SUCCEEDED(store->QueryInterface(IID_IMDSettings, FSettings.PutVoid()))) store.release();
  }
  {
    auto list = std::make_unique<TMDActionList>(this);
    if (MD_SUCCEEDED(list->QueryInterface(IID_IMDActionList, FActionList.PutVoid())))
      list.release();
  }
  if (FActionList) FActionList->AddAction(&kShutdownAction);
  WriteTime(u"LastStarted");
  FControlPanel.reset();
  FControlPanel = std::make_unique<TMDControlPanel>(this, FShowRequest, FShowRequestContext);
  FModuleLoader.reset();
  FModuleLoader = std::make_unique<TMDModuleLoader>(this);
  FBinder.reset();
  FBinder = std::make_unique<TMDActionInput>(this);
  return S_OK;
}

HRESULT TMDKernel::Done() {
  if (State() != KS_STOPPING) return E_FAIL;
  WriteTime(u"LastStopped");
  FSettings = nullptr;
  FActionList = nullptr;
  // The loader unloads every library; every module was released and every page removed before.
  FModuleLoader.reset();
  FControlPanel.reset();
  FBinder.reset();
  return S_OK;
}

void TMDKernel::WriteTime(const char16_t* key) {
  if (!FSettings) return;
  const std::u16string now = MDTimeOfDayText();
  FSettings->WriteString(u"Kernel.Init", key, now.c_str());
}

void TMDKernel::StopDispatch() {
  if (!FThread) return;
  FThread->Terminate();
  FQueue.Terminate();
  if (FThread->IsCurrentThread()) return;  // a receiver stopping its own dispatch: no wait
  // The thread wakes us when it ends; meanwhile Synchronize requests are served.
  while (!FThread->Finished()) {
    if (IsMainThread())
      WaitAndServeRequests(10, [&] { return FThread->Finished(); });
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  FThread->Join();
}

void TMDKernel::CallOnShutdown(void* sender) {
  if (FOnShutdown.Code) FOnShutdown.Code(FOnShutdown.Data, sender);
}

int32_t TMDKernel::ModuleCount() {
  auto guard = LockRegistry();
  return static_cast<int32_t>(FModules.size());
}

// ---------------------------------------------------------------------------------------------
// Main-thread requests (Synchronize)
// ---------------------------------------------------------------------------------------------

void TMDKernel::SetMainThreadWakeup(std::function<void()> wakeup) {
  std::lock_guard<std::mutex> guard(FRequestMutex);
  FWakeup = std::move(wakeup);
}

bool TMDKernel::ServeRequests() {
  std::deque<TRequest*> batch;
  {
    std::lock_guard<std::mutex> guard(FRequestMutex);
    batch.swap(FRequests);
  }
  if (batch.empty()) return false;
  for (TRequest* request : batch) {
    try {
      request->Method.Code(request->Method.Data, nullptr);
    } catch (...) {
      request->Error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> guard(FRequestMutex);
      request->Done = true;
    }
  }
  FRequestChanged.notify_all();
  return true;
}

bool TMDKernel::WaitAndServeRequests(int timeoutMs, const std::function<bool()>& done) {
  {
    std::unique_lock<std::mutex> lock(FRequestMutex);
    FRequestChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return !FRequests.empty() || (done && done()); });
  }
  return ServeRequests();
}

void TMDKernel::WakeMainThread() {
  { std::lock_guard<std::mutex> guard(FRequestMutex); }
  FRequestChanged.notify_all();
}

void TMDKernel::Pause(int ms) {
  if (IsMainThread())
    WaitAndServeRequests(ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::unique_lock<TLock> TMDKernel::LockRegistry() {
  std::unique_lock<TLock> lock(FRegistryLock, std::try_to_lock);
  if (lock.owns_lock()) return lock;
  if (!IsMainThread()) {
    lock.lock();
    return lock;
  }
  // The dispatch thread may hold the lock while it waits for us in Synchronize.
  while (!lock.try_lock()) WaitAndServeRequests(1);
  return lock;
}

HRESULT MDCALL TMDKernel::Synchronize(TMDMethod method) {
  if (!method.Code) return S_OK;
  if (IsMainThread()) {
    method.Code(method.Data, nullptr);
    return S_OK;
  }
  TRequest request{method, false, nullptr};
  std::function<void()> wakeup;
  {
    std::lock_guard<std::mutex> guard(FRequestMutex);
    FRequests.push_back(&request);
    wakeup = FWakeup;
  }
  FRequestChanged.notify_all();
  if (wakeup) wakeup();
  {
    std::unique_lock<std::mutex> lock(FRequestMutex);
    FRequestChanged.wait(lock, [&] { return request.Done; });
  }
  if (request.Error) std::rethrow_exception(request.Error);
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------------------------

int TMDKernel::DispatchStep() {
  TMDMessage msg{};
  const int32_t taken = FQueue.Take(&msg);
  if (taken == 1) return kDispatchTerminated;
  if (taken != 0) return kDispatchDelivered;
  try {
    Broadcast(msg);
    if (msg.Msg == MDM_ACTION && msg.Param1 == MDA_SHUTDOWN) msg.Msg = MDM_SHUTDOWN;
  } catch (...) {
    return kDispatchShutdown;
  }
  return msg.Msg == MDM_SHUTDOWN ? kDispatchShutdown : kDispatchDelivered;
}

void TMDKernel::Broadcast(const TMDMessage& msg) {
  std::lock_guard<TLock> guard(FRegistryLock);
  if (FControlPanel) FControlPanel->HandleMessage(&msg);
  for (const TComPtr<IMDModule>& module : FModules)
    if (module) module->HandleMessage(&msg);
}

// ---------------------------------------------------------------------------------------------
// IMDKernel
// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TMDKernel::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDKernel || iid == IID_IMDMessageSink) return MDHandOut<IMDKernel>(this, obj);
    if (iid == IID_IMDSettings && FSettings) return FSettings->QueryInterface(iid, obj);
    // The action list is handed out while the settings store exists: Init creates the store
    // first and Done drops it first.
    if (iid == IID_IMDActionList && FSettings && FActionList)
      return FActionList->QueryInterface(iid, obj);
    if (iid == IID_IMDControlPanel && FSettings && FControlPanel)
      return FControlPanel->QueryInterface(iid, obj);
    if ((iid == IID_IMDInputSink || iid == IID_IMDActionInput) && FBinder)
      return FBinder->QueryInterface(iid, obj);
    if (iid == IID_IMDEnumModules) {
      auto walker = std::make_unique<TMDEnumModules>(this);
      const HRESULT hr = walker->QueryInterface(iid, obj);
      if (MD_SUCCEEDED(hr)) {
        walker.release();
      } else {
        *obj = nullptr;
      }
      return hr;
    }
    return TBaseObject::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TMDKernel::HandleMessage(const TMDMessage* msg) {
  return MDGuard([&]() -> HRESULT {
    if (!msg) return E_POINTER;
    FQueue.Post(msg);
    return S_OK;
  });
}

HRESULT MDCALL TMDKernel::GetKernelInfo(TMDKernelInfo* info) {
  if (!info) return E_POINTER;
  *info = FInfo;
  return S_OK;
}

HRESULT MDCALL TMDKernel::GetKernelValue(int32_t* value) {
  if (!value) return E_POINTER;
  *value = FKernelValue;
  return S_OK;
}

HRESULT MDCALL TMDKernel::GetApplicationDir(const char16_t** dir) {
  return MDGuard([&]() -> HRESULT {
    if (!dir) return E_POINTER;
    // Readable until this thread's next call.
    thread_local std::u16string text;
    text = CurrentDirectory();
    *dir = text.c_str();
    return S_OK;
  });
}

HRESULT MDCALL TMDKernel::GetApplication(void** app) {
  if (!app) return E_POINTER;
  *app = FApplication;
  return S_OK;
}

HRESULT MDCALL TMDKernel::GetInstance(MDHANDLE* instance) {
  if (!instance) return E_POINTER;
  *instance = reinterpret_cast<MDHANDLE>(FInstance);
  return S_OK;
}

HRESULT MDCALL TMDKernel::GetMainWindow(MDHANDLE* window) {
  if (!window) return E_POINTER;
  *window = FMainWindow;
  return S_OK;
}

void TMDKernel::NotifyServices(int32_t state, bool loaderBeforeBinder) {
  // Order: control panel, then module loader and binder (binder first when leaving running).
  if (FControlPanel) FControlPanel->SetState(state);
  if (!loaderBeforeBinder && FBinder) FBinder->SetState(state);
  if (FModuleLoader) FModuleLoader->SetState(state);
  if (loaderBeforeBinder && FBinder) FBinder->SetState(state);
}

void TMDKernel::NotifyModules_unlocked(int32_t state) {
  for (const TComPtr<IMDModule>& module : FModules) {
    if (!module) continue;
    try {
      module->SetState(state);
    } catch (...) {
      // A module's failure is its own; the others are still told.
    }
  }
}

HRESULT MDCALL TMDKernel::SetState(int32_t state) {
  return MDGuard([&]() -> HRESULT {
    const int32_t current = State();
    if (state == current) return S_FALSE;
    if (current == KS_CREATED && state == KS_STARTING) {
      FState.store(state, std::memory_order_release);
    } else if (current == KS_STARTING && state == KS_READY) {
      FState.store(state, std::memory_order_release);
      NotifyServices(state, true);
    } else if (state == KS_STOPPING && current == KS_READY) {
      FState.store(state, std::memory_order_release);
      NotifyServices(state, true);
    } else if (current == KS_READY && state == KS_RUNNING) {
      FState.store(state, std::memory_order_release);
      NotifyServices(state, true);
      auto guard = LockRegistry();
      NotifyModules_unlocked(state);
    } else if (current == KS_RUNNING && state == KS_READY) {
      FState.store(state, std::memory_order_release);
      NotifyServices(state, false);
      auto guard = LockRegistry();
      NotifyModules_unlocked(state);
    } else {
      return E_FAIL;
    }
    return S_OK;
  });
}

HRESULT MDCALL TMDKernel::RegisterModule(IMDModule* module) {
  return MDGuard([&]() -> HRESULT {
    TComPtr<IMDModule> hold(module);
    if (State() != KS_READY) return E_FAIL;
    if (!module) return E_POINTER;
    auto guard = LockRegistry();
    const size_t before = FModules.size();
    HRESULT result = S_OK;
    try {
      FModules.push_back(hold);
      module->SetState(KS_READY);
    } catch (...) {
      if (FModules.size() > before) FModules.resize(before);
      result = E_FAIL;
    }
    FChangeCount.fetch_add(1, std::memory_order_acq_rel);
    return result;
  });
}

HRESULT MDCALL TMDKernel::UnregisterModule(IMDModule* module) {
  return MDGuard([&]() -> HRESULT {
    TComPtr<IMDModule> hold(module);
    if (State() != KS_READY) return E_FAIL;
    if (!module) return E_POINTER;
    auto guard = LockRegistry();
    HRESULT result = S_FALSE;
    try {
      for (auto it = FModules.begin(); it != FModules.end(); ++it) {
        if (it->Get() != module) continue;
        (*it)->Stop();
        while ((*it)->QueryStopped() != S_OK) Pause(100);
        FModules.erase(it);
        result = S_OK;
        break;
      }
    } catch (...) {
      result = E_UNEXPECTED;
    }
    FChangeCount.fetch_add(1, std::memory_order_acq_rel);
    return result;
  });
}

HRESULT MDCALL TMDKernel::UnregisterAllModules() {
  return MDGuard([&]() -> HRESULT {
    if (State() != KS_READY) return E_FAIL;
    auto guard = LockRegistry();
    if (FModules.empty()) return S_FALSE;
    HRESULT result = S_OK;
    try {
      for (const TComPtr<IMDModule>& module : FModules) module->Stop();
      for (;;) {
        bool allStopped = true;
        for (const TComPtr<IMDModule>& module : FModules)
          if (module->QueryStopped() != S_OK) allStopped = false;
        if (allStopped) break;
        Pause(100);
      }
      // Release outside the vector so a module's destructor sees a consistent registry.
      std::vector<TComPtr<IMDModule>> released;
      released.swap(FModules);
      released.clear();
    } catch (...) {
      result = E_FAIL;
    }
    FChangeCount.fetch_add(1, std::memory_order_acq_rel);
    return result;
  });
}

// ---------------------------------------------------------------------------------------------
// TMDEnumModules
// ---------------------------------------------------------------------------------------------

TMDEnumModules::TMDEnumModules(TMDKernel* kernel)
    : FKernel(kernel), FSnapshot(kernel->ChangeCount()) {}

HRESULT MDCALL TMDEnumModules::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDEnumModules) return MDHandOut<IMDEnumModules>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TMDEnumModules::Reset() {
  FSnapshot.store(FKernel->ChangeCount());
  FIndex.store(0);
  return S_OK;
}

HRESULT MDCALL TMDEnumModules::Next(IMDModule** module) {
  if (module) *module = nullptr;
  return MDGuard(
      [&]() -> HRESULT {
        auto guard = FKernel->LockRegistry();
        if (FKernel->ChangeCount() != FSnapshot.load()) return E_MODULES_CHANGED;
        const int32_t index = FIndex.load();
        if (index < 0 || static_cast<size_t>(index) >= FKernel->FModules.size()) return E_FAIL;
        if (!module) return E_POINTER;
        IMDModule* found = FKernel->FModules[index].Get();
        if (found) found->AddRef();
        *module = found;
        FIndex.store(index + 1);
        return S_OK;
      },
      E_FAIL);
}

HRESULT MDCALL TMDEnumModules::Skip() {
  return MDGuard(
      [&]() -> HRESULT {
        auto guard = FKernel->LockRegistry();
        if (FKernel->ChangeCount() != FSnapshot.load()) return E_MODULES_CHANGED;
        const int32_t index = FIndex.load();
        if (index < 0 || static_cast<size_t>(index) >= FKernel->FModules.size()) return E_FAIL;
        FIndex.store(index + 1);
        return S_OK;
      },
      E_FAIL);
}
