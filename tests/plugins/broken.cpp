// broken.cpp - libraries that each break one rule of the plug-in contract, for the checker's
// tests. Without a define the library is a correct module library with one module ("Broken"),
// or with BROKEN_INPUT a correct input library with one source. Each define breaks one thing:
//   BROKEN_NIL_OWNER        the module factory accepts a nil owner
//   BROKEN_LEAK_FOREIGN     the module factory leaks the object when the interface is refused
//   BROKEN_TWO_REFS         the module factory hands out two references
//   BROKEN_IDENTITY         QueryInterface(IUnknown) answers a different pointer each time
//   BROKEN_KEEPS_SETTINGS   the module keeps the kernel's settings after it is destroyed
//   BROKEN_CRASH_MESSAGE    HandleMessage crashes on player notifications
//   BROKEN_NEVER_STOPS      QueryStopped never answers S_OK
//   BROKEN_HANG_FACTORY     the module factory never returns
//   BROKEN_LATE_REPORTS     (with BROKEN_INPUT) the source goes on reporting after Shutdown
// With BROKEN_PAGE it is a page library with one page ("Broken Page") whose ShowPage(0) keeps
// the form instead of destroying it (link Qt6::Widgets).
// The library that stays loaded after dlclose is this one linked with -z nodelete.
#ifdef BROKEN_PAGE
#include <QWidget>
#endif
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "UMDBase.h"

namespace {

#if defined(BROKEN_PAGE)

HRESULT MDCALL CreatePage(IUnknown* owner, const GUID* iid, void** obj);

const TMDPageInfo kInfo = {u"Broken Page", u"Keeps its form", u"https://midavo.example.org/broken",
                           MDMakeVersion(1, 0, 0, 0), 0, 0, &CreatePage, nullptr};

class TBrokenPage final : public TMDComImpl<TMDComObject, IMDPropertyPage> {
 public:
  ~TBrokenPage() override { delete FForm; }
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDPropertyPage || iid == IID_IMDMessageSink)
        return MDHandOut<IMDPropertyPage>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage*) override { return S_OK; }
  HRESULT MDCALL GetPageInfo(TMDPageInfo* info) override {
    *info = kInfo;
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL ShowPage(MDHANDLE parent, const TMDRect*) override {
    if (parent == 0) return S_OK;  // the fault: the form stays
    QWidget* host = QWidget::find(static_cast<WId>(parent));
    if (!host) return E_FAIL;
    if (!FForm) FForm = new QWidget;
    FForm->setParent(host);
    FForm->show();
    return S_OK;
  }
  HRESULT MDCALL GetPageTitle(const char16_t** title) override {
    *title = kInfo.Name;
    return S_OK;
  }
  HRESULT MDCALL ClosePage() override {
    delete FForm;
    FForm = nullptr;
    return S_OK;
  }
  int32_t MDCALL IsPageCreated() override { return FForm ? 1 : 0; }

 private:
  QWidget* FForm = nullptr;
};

HRESULT MDCALL CreatePage(IUnknown* owner, const GUID* iid, void** obj) {
  if (!owner) return E_FAIL;
  auto page = std::make_unique<TBrokenPage>();
  const HRESULT hr = page->QueryInterface(*iid, obj);
  if (MD_SUCCEEDED(hr)) page.release();
  return hr;
}

}  // namespace

MD_EXPORT HRESULT MDCALL DLLGetPropertyCount(int32_t* count) {
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetPropertyPage(int32_t index, TMDPageInfo* info) {
  if (index != 0) return E_FAIL;
  *info = kInfo;
  return S_OK;
}

#elif !defined(BROKEN_INPUT)

HRESULT MDCALL CreateBroken(IUnknown* owner, const GUID* iid, void** obj);

const TMDModuleInfo kInfo = {u"Broken", u"Breaks a rule", u"https://midavo.example.org/broken",
                             MDMakeVersion(0, 1, 2, 3), 0, 0, &CreateBroken, nullptr, nullptr};

class TBrokenModule final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  explicit TBrokenModule(IMDKernel* kernel) {
#ifdef BROKEN_KEEPS_SETTINGS
    void* settings = nullptr;
    if (kernel) kernel->QueryInterface(IID_IMDSettings, &settings);  // never released
#endif
  }
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
#ifdef BROKEN_IDENTITY
      static std::atomic<int> calls{0};
      if (iid == IID_IUnknown && (++calls % 2)) return MDHandOut<IMDModule>(this, obj);
#endif
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
#ifdef BROKEN_CRASH_MESSAGE
    if (msg->Msg == MDM_NOTIFY) *static_cast<volatile int*>(nullptr) = msg->Param1;
#endif
    return S_OK;
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override {
    *info = kInfo;
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL Stop() override { return S_OK; }
  HRESULT MDCALL QueryStopped() override {
#ifdef BROKEN_NEVER_STOPS
    return S_FALSE;
#else
    return S_OK;
#endif
  }
};

HRESULT MDCALL CreateBroken(IUnknown* owner, const GUID* iid, void** obj) {
#ifdef BROKEN_HANG_FACTORY
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
#endif
#ifndef BROKEN_NIL_OWNER
  if (!owner) return E_FAIL;
#endif
  auto kernel = TComPtr<IMDKernel>::Query(owner);
  auto module = std::make_unique<TBrokenModule>(kernel.Get());
  const HRESULT hr = module->QueryInterface(*iid, obj);
#ifdef BROKEN_LEAK_FOREIGN
  module.release();
#else
  if (MD_SUCCEEDED(hr)) module.release();
#endif
#ifdef BROKEN_TWO_REFS
  if (MD_SUCCEEDED(hr)) static_cast<IUnknown*>(*obj)->AddRef();
#endif
  return hr;
}

}  // namespace

MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  if (index != 0) return E_FAIL;
  *info = kInfo;
  return S_OK;
}

#else  // BROKEN_INPUT

HRESULT MDCALL CreateInput(IUnknown* owner, const GUID* iid, void** obj);

const TMDInputInfo kInfo = {u"Broken Input", u"tests", MDMakeVersion(1, 0, 0, 0), 0, &CreateInput};

class TBrokenInput final : public TMDComImpl<TMDComObject, IMDInputModule> {
 public:
  explicit TBrokenInput(TComPtr<IMDActionInput> binder) : FBinder(std::move(binder)) {
    FThread = std::thread([this] {
      while (!FStop) {
        FBinder->ReportInput(kInfo.Name, u"Tick");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  ~TBrokenInput() override {
    FStop = true;
    if (FThread.joinable()) FThread.join();
  }
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDInputModule) return MDHandOut<IMDInputModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL GetInputInfo(TMDInputInfo* info) override {
    *info = kInfo;
    return S_OK;
  }
  HRESULT MDCALL Shutdown() override {
#ifndef BROKEN_LATE_REPORTS
    FStop = true;
    if (FThread.joinable()) FThread.join();
#endif
    return S_OK;
  }

 private:
  TComPtr<IMDActionInput> FBinder;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

HRESULT MDCALL CreateInput(IUnknown* owner, const GUID* iid, void** obj) {
  if (!owner) return E_FAIL;
  auto binder = TComPtr<IMDActionInput>::Query(owner);
  if (!binder) return E_FAIL;
  auto input = std::make_unique<TBrokenInput>(std::move(binder));
  const HRESULT hr = input->QueryInterface(*iid, obj);
  if (MD_SUCCEEDED(hr)) input.release();
  return hr;
}

}  // namespace

MD_EXPORT HRESULT MDCALL DLLGetInputCount(int32_t* count) {
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetInputInfo(int32_t index, TMDInputInfo* info) {
  if (index != 0) return E_FAIL;
  *info = kInfo;
  return S_OK;
}

#endif
