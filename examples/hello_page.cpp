// hello_page.cpp - a property page library: one page, "Hello Page", on the control panel.
//
// The control panel hands the page the native handle of the window to fill (ShowPage). The page
// makes its Qt form on first use, places it there, and frees it when told to (parent 0 or
// ClosePage). Everything but HandleMessage runs on the host's main thread, Qt's GUI thread.
#include <QCheckBox>
#include <QVBoxLayout>
#include <QWidget>
#include <atomic>
#include <memory>

#include "UMDBase.h"

namespace {

HRESULT MDCALL CreateHelloPage(IUnknown* owner, const GUID* iid, void** obj);

const TMDPageInfo kInfo = {u"Hello Page", u"A page from a plug-in", u"https://example.org/hello",
                           MDMakeVersion(1, 0, 0, 0), 0, 0, &CreateHelloPage, nullptr};

class THelloPage final : public TMDComImpl<TMDComObject, IMDPropertyPage> {
 public:
  ~THelloPage() override { delete FForm; }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDPropertyPage || iid == IID_IMDMessageSink)
        return MDHandOut<IMDPropertyPage>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  // Dispatch thread: MDM_APPLY asks pages to store their settings. No widget may be touched
  // here; keep what the form shows in plain members (or hand work over with Synchronize).
  HRESULT MDCALL HandleMessage(const TMDMessage*) override { return S_OK; }
  HRESULT MDCALL GetPageInfo(TMDPageInfo* info) override {
    if (!info) return E_POINTER;
    *info = kInfo;
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL ShowPage(MDHANDLE parent, const TMDRect* rect) override {
    return MDGuard([&]() -> HRESULT {
      if (parent == 0) return ClosePage(), E_FAIL;  // parent 0: destroy the form
      QWidget* host = QWidget::find(static_cast<WId>(parent));
      if (!host) return E_FAIL;
      if (!FForm) {
        FForm = new QWidget;
        auto* layout = new QVBoxLayout(FForm);
        layout->addWidget(new QCheckBox(QStringLiteral("Say hello at start")));
        FCreated = true;
      }
      FForm->setParent(host);
      if (rect) FForm->setGeometry(rect->Left, rect->Top, rect->Right - rect->Left,
                                   rect->Bottom - rect->Top);
      FForm->show();
      return S_OK;
    }, E_FAIL);
  }
  HRESULT MDCALL GetPageTitle(const char16_t** title) override {
    if (!title) return E_POINTER;
    *title = kInfo.Name;  // static text: stays readable
    return S_OK;
  }
  HRESULT MDCALL ClosePage() override {
    delete FForm;
    FForm = nullptr;
    FCreated = false;
    return S_OK;
  }
  int32_t MDCALL IsPageCreated() override { return FCreated ? 1 : 0; }  // a flag, not a status

 private:
  QWidget* FForm = nullptr;          // main thread only
  std::atomic<bool> FCreated{false};  // read from any thread
};

// Owner is the kernel; a nil owner fails. No widget is made here: only ShowPage makes one.
HRESULT MDCALL CreateHelloPage(IUnknown* owner, const GUID* iid, void** obj) {
  return MDGuard([&]() -> HRESULT {
    if (!owner || !iid || !obj) return E_FAIL;
    *obj = nullptr;
    auto page = std::make_unique<THelloPage>();
    const HRESULT hr = page->QueryInterface(*iid, obj);
    if (MD_SUCCEEDED(hr)) page.release();
    return hr;
  }, E_OUTOFMEMORY);
}

}  // namespace

// A page library exports the page pair instead of (or as well as) the module pair.
MD_EXPORT HRESULT MDCALL DLLGetPropertyCount(int32_t* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetPropertyPage(int32_t index, TMDPageInfo* info) {
  if (index != 0 || !info) return E_FAIL;
  *info = kInfo;
  return S_OK;
}
