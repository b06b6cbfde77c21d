// hello_input.cpp - an input library: one source of inputs, "Hello Input".
//
// An input source names what happened ("Beat") and reports it to the binder, which looks the
// name up in the source's bindings and performs the bound action. The user binds inputs on the
// Controls page. This source reports "Beat" from a thread of its own every few seconds, from its
// creation until the binder calls Shutdown.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "UMDBase.h"

namespace {

HRESULT MDCALL CreateHelloInput(IUnknown* owner, const GUID* iid, void** obj);

const TMDInputInfo kInfo = {u"Hello Input", u"Example Author", MDMakeVersion(1, 0, 0, 0), 0,
                            &CreateHelloInput};

class THelloInput final : public TMDComImpl<TMDComObject, IMDInputModule> {
 public:
  explicit THelloInput(TComPtr<IMDActionInput> binder) : FBinder(std::move(binder)) {}
  ~THelloInput() override { Shutdown(); }

  void Start() { FThread = std::thread([this] { Beat(); }); }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDInputModule) return MDHandOut<IMDInputModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL GetInputInfo(TMDInputInfo* info) override {
    if (!info) return E_POINTER;
    *info = kInfo;
    return S_OK;
  }
  // Called just before the binder lets go of us: stop reporting, and return only then.
  HRESULT MDCALL Shutdown() override {
    {
      std::lock_guard lock(FMutex);
      FStopping = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
    return S_OK;
  }

 private:
  void Beat() {
    std::unique_lock lock(FMutex);
    while (!FWake.wait_for(lock, std::chrono::seconds(5), [this] { return FStopping; })) {
      lock.unlock();
      FBinder->ReportInput(kInfo.Name, u"Beat");  // any thread may report
      lock.lock();
    }
  }

  TComPtr<IMDActionInput> FBinder;  // counted: we report to it until Shutdown
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStopping = false;  // guarded by FMutex
  std::thread FThread;
};

// Owner is the binder; its IMDActionInput takes our reports.
HRESULT MDCALL CreateHelloInput(IUnknown* owner, const GUID* iid, void** obj) {
  return MDGuard([&]() -> HRESULT {
    if (!owner || !iid || !obj) return E_FAIL;
    *obj = nullptr;
    auto binder = TComPtr<IMDActionInput>::Query(owner);
    if (!binder) return E_FAIL;
    auto input = std::make_unique<THelloInput>(std::move(binder));
    const HRESULT hr = input->QueryInterface(*iid, obj);
    if (MD_FAILED(hr)) return hr;  // the unique_ptr frees the object that nobody holds
    input.release()->Start();
    return hr;
  }, E_OUTOFMEMORY);
}

}  // namespace

MD_EXPORT HRESULT MDCALL DLLGetInputCount(int32_t* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetInputInfo(int32_t index, TMDInputInfo* info) {
  if (index != 0 || !info) return E_FAIL;
  *info = kInfo;
  return S_OK;
}
