#include "UMDCheckHarness.h"

#include <unistd.h>

#include <chrono>
#include <exception>

namespace {

template <class I, class T>
HRESULT Answer(T* self, const GUID& iid, void** obj) {
  if (!obj) return E_POINTER;
  if (iid == IID_IUnknown || iid == MDIID<I>::value) return MDHandOut<I>(self, obj);
  *obj = nullptr;
  return E_NOINTERFACE;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TMDCheckSettings::QueryInterface(const GUID& iid, void** obj) {
  if (obj && iid == IID_IMDMessageSink) return MDHandOut<IMDSettings>(this, obj);
  return Answer<IMDSettings>(this, iid, obj);
}

HRESULT MDCALL TMDCheckSettings::ReadString(const char16_t*, const char16_t*, const char16_t* def,
                                            const char16_t** value) {
  if (!value) return E_POINTER;
  *value = def ? def : u"";
  return S_FALSE;
}

HRESULT MDCALL TMDCheckSettings::ReadInteger(const char16_t*, const char16_t*, int32_t def,
                                             int32_t* value) {
  if (!value) return E_POINTER;
  *value = def;
  return S_FALSE;
}

HRESULT MDCALL TMDCheckSettings::ReadBool(const char16_t*, const char16_t*, BOOL32 def,
                                          BOOL32* value) {
  if (!value) return E_POINTER;
  *value = def ? MD_TRUE : MD_FALSE;
  return S_FALSE;
}

// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TMDCheckActionList::QueryInterface(const GUID& iid, void** obj) {
  return Answer<IMDActionList>(this, iid, obj);
}

HRESULT MDCALL TMDCheckActionList::AddAction(const TMDActionItem* item) {
  if (!item) return E_FAIL;
  std::lock_guard lock(FMutex);
  FItems.push_back(*item);
  return S_OK;
}

HRESULT MDCALL TMDCheckActionList::RemoveLastAction() {
  std::lock_guard lock(FMutex);
  if (FItems.empty()) return S_FALSE;
  FItems.pop_back();
  return S_OK;
}

int32_t MDCALL TMDCheckActionList::GetActionCount() {
  std::lock_guard lock(FMutex);
  return static_cast<int32_t>(FItems.size());
}

HRESULT MDCALL TMDCheckActionList::GetAction(uint32_t index, TMDActionItem* item) {
  std::lock_guard lock(FMutex);
  if (!item || index >= FItems.size()) return E_FAIL;
  *item = FItems[index];
  return S_OK;
}

std::vector<TMDActionItem> TMDCheckActionList::Items() const {
  std::lock_guard lock(FMutex);
  return FItems;
}

// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TMDCheckEnum::QueryInterface(const GUID& iid, void** obj) {
  return Answer<IMDEnumModules>(this, iid, obj);
}

HRESULT MDCALL TMDCheckEnum::Next(IMDModule** module) {
  if (module) *module = nullptr;
  return E_FAIL;
}

// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TMDCheckBinder::QueryInterface(const GUID& iid, void** obj) {
  return Answer<IMDActionInput>(this, iid, obj);
}

HRESULT MDCALL TMDCheckBinder::ReportInput(const char16_t* source, const char16_t* input) {
  ++FReports;
  if (FShutDown.load()) ++FLateReports;
  if (!source || !input) ++FNilReports;
  return S_FALSE;
}

HRESULT MDCALL TMDCheckBinder::GetBinding(const char16_t*, int32_t, const char16_t** input) {
  if (input) *input = u"";
  return E_FAIL;
}

// ---------------------------------------------------------------------------------------------

TMDCheckKernel::TMDCheckKernel() : FMainThread(std::this_thread::get_id()) {
  char buffer[4096];
  FDir = MDToUtf16(::getcwd(buffer, sizeof buffer) ? buffer : "/");
}

HRESULT MDCALL TMDCheckKernel::QueryInterface(const GUID& iid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (iid == IID_IUnknown || iid == IID_IMDKernel || iid == IID_IMDMessageSink)
    return MDHandOut<IMDKernel>(this, obj);
  if (iid == IID_IMDSettings) return MDHandOut<IMDSettings>(&FSettings, obj);
  if (iid == IID_IMDActionList) return MDHandOut<IMDActionList>(&FActions, obj);
  if (iid == IID_IMDEnumModules) {
    // Counted on FEnumRefs; the object itself lives as long as the kernel (a small leak per
    // query in a child process that ends with the check).
    return MDHandOut<IMDEnumModules>(new TMDCheckEnum(&FEnumRefs), obj);
  }
  return E_NOINTERFACE;
}

HRESULT MDCALL TMDCheckKernel::HandleMessage(const TMDMessage* msg) {
  if (!msg) return E_UNEXPECTED;
  ++FPosted;  // queued nowhere: the checker sends its own messages
  return S_OK;
}

HRESULT MDCALL TMDCheckKernel::GetKernelInfo(TMDKernelInfo* info) {
  if (!info) return E_POINTER;
  *info = TMDKernelInfo{MIDAVO_SDK_VERSION, 0, 0};
  return S_OK;
}

HRESULT MDCALL TMDCheckKernel::GetKernelValue(int32_t* value) {
  if (!value) return E_POINTER;
  *value = 0;
  return S_OK;
}

HRESULT MDCALL TMDCheckKernel::GetApplicationDir(const char16_t** dir) {
  if (!dir) return E_POINTER;
  *dir = FDir.c_str();
  return S_OK;
}

HRESULT MDCALL TMDCheckKernel::GetApplication(void** app) {
  if (!app) return E_POINTER;
  *app = nullptr;
  return S_OK;
}

HRESULT MDCALL TMDCheckKernel::GetInstance(MDHANDLE* instance) {
  if (!instance) return E_POINTER;
  *instance = 0;
  return S_OK;
}

HRESULT MDCALL TMDCheckKernel::GetMainWindow(MDHANDLE* window) {
  if (!window) return E_POINTER;
  *window = 0;
  return S_OK;
}

HRESULT MDCALL TMDCheckKernel::SetState(int32_t) { return E_FAIL; }

HRESULT MDCALL TMDCheckKernel::RegisterModule(IMDModule* module) {
  return module ? E_FAIL : E_POINTER;
}

HRESULT MDCALL TMDCheckKernel::UnregisterModule(IMDModule* module) {
  return module ? S_FALSE : E_POINTER;
}

namespace {
struct TSyncRequest {
  TMDMethod Method;
  bool Done = false;
  std::exception_ptr Error;
};
}  // namespace

HRESULT MDCALL TMDCheckKernel::Synchronize(TMDMethod method) {
  if (!method.Code) return S_OK;
  if (std::this_thread::get_id() == FMainThread) {
    method.Code(method.Data, nullptr);
    return S_OK;
  }
  TSyncRequest request;
  request.Method = method;
  std::unique_lock lock(FSyncMutex);
  FSyncQueue.push_back(&request);
  FSyncChanged.notify_all();
  FSyncChanged.wait(lock, [&] { return request.Done; });
  if (request.Error) std::rethrow_exception(request.Error);
  return S_OK;
}

void TMDCheckKernel::ServeOnce() {
  std::unique_lock lock(FSyncMutex);
  if (FSyncQueue.empty())
    FSyncChanged.wait_for(lock, std::chrono::milliseconds(5), [&] { return !FSyncQueue.empty(); });
  if (FSyncQueue.empty()) return;
  auto* request = static_cast<TSyncRequest*>(FSyncQueue.front());
  FSyncQueue.pop_front();
  lock.unlock();
  try {
    request->Method.Code(request->Method.Data, nullptr);
  } catch (...) {
    request->Error = std::current_exception();
  }
  lock.lock();
  request->Done = true;
  ++FServed;
  FSyncChanged.notify_all();
}

std::string TMDCheckKernel::Outstanding() const {
  std::string text;
  auto note = [&](const char* what, int32_t n) {
    if (n == 0) return;
    if (!text.empty()) text += ", ";
    text += what + std::string(" ") + std::to_string(n);
  };
  note("kernel", FRefs.Outstanding());
  note("settings", FSettings.FRefs.Outstanding());
  note("action list", FActions.FRefs.Outstanding());
  note("module enumerators", FEnumRefs.Outstanding());
  return text;
}
