// qtpages.cpp - a page library built from the sdk headers and Qt alone: its pages place their Qt
// forms into the window whose native handle the control panel hands them, and log what they
// receive (TestPlugin.h). Page records:
//   0 "Sample Page"  a form with a check box and a button "BRaise" that raises
//                    std::runtime_error("Sample page failure") when clicked
//   1 "SamplePage"   the same; its name differs from record 0 only in blanks
//   2 "Broken Page"  making its form raises, so ShowPage fails
// Built with QTPAGES_SAMPLE_ONLY, the library offers record 0 alone.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <atomic>
#include <memory>
#include <stdexcept>

#include "TestPlugin.h"
#include "UMDBase.h"

namespace {

HRESULT MDCALL CreatePage0(IUnknown* owner, const GUID* iid, void** obj);
HRESULT MDCALL CreatePage1(IUnknown* owner, const GUID* iid, void** obj);
HRESULT MDCALL CreatePage2(IUnknown* owner, const GUID* iid, void** obj);

const TMDPageInfo kPages[] = {
    {u"Sample Page", u"A page of a library", u"https://midavo.example.org/sample",
     MDMakeVersion(10, 11, 12, 13), 0, 0, &CreatePage0, nullptr},
    {u"SamplePage", u"Its twin", u"https://midavo.example.org/twin", MDMakeVersion(2, 0, 0, 1), 0,
     0, &CreatePage1, nullptr},
    {u"Broken Page", u"Cannot make its form", u"https://midavo.example.org/broken",
     MDMakeVersion(1, 0, 0, 0), 0, 0, &CreatePage2, nullptr},
};
#ifdef QTPAGES_SAMPLE_ONLY
constexpr int32_t kPageCount = 1;
#else
constexpr int32_t kPageCount = 3;
#endif

QWidget* MakeForm(int index) {
  if (index == 2) throw std::runtime_error("Broken page cannot make its form");
  auto form = std::make_unique<QWidget>();
  form->setObjectName(QStringLiteral("SampleForm%1").arg(index));
  auto* box = new QGroupBox(QStringLiteral("Library settings"), form.get());
  box->setGeometry(8, 8, 300, 120);
  auto* label = new QLabel(QStringLiteral("This page comes from a plug-in library."), box);
  label->setGeometry(16, 24, 270, 20);
  auto* option = new QCheckBox(QStringLiteral("Some option"), box);
  option->setObjectName(QStringLiteral("CBOption"));
  option->setGeometry(16, 52, 270, 20);
  auto* raise = new QPushButton(QStringLiteral("Raise"), box);
  raise->setObjectName(QStringLiteral("BRaise"));
  raise->setGeometry(16, 82, 97, 24);
  QObject::connect(raise, &QPushButton::clicked, [] {
    throw std::runtime_error("Sample page failure");
  });
  return form.release();
}

// A page as a library writes it: no host code, its form placed by native handle.
class TSamplePage final : public TMDComImpl<TMDComObject, IMDPropertyPage> {
 public:
  explicit TSamplePage(int index) : FIndex(index), FTag("P" + std::to_string(index)) {}
  ~TSamplePage() override {
    FreeForm();
    Log(FTag + " destroyed");
  }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDPropertyPage || iid == IID_IMDMessageSink)
        return MDHandOut<IMDPropertyPage>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  // Dispatch thread.
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    if (msg->Msg == MDM_APPLY)
      Log(FTag + " apply form=" + std::to_string(FCreated.load() ? 1 : 0));
    else if (msg->Msg == MDM_ACTION)
      Log(FTag + " action " + Hex(static_cast<uint32_t>(msg->Param1)));
    return S_OK;
  }
  HRESULT MDCALL GetPageInfo(TMDPageInfo* info) override {
    *info = kPages[FIndex];
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL ShowPage(MDHANDLE parent, const TMDRect* rect) override {
    try {
      if (parent == 0) {
        FreeForm();
        return E_FAIL;
      }
      QWidget* host = QWidget::find(static_cast<WId>(parent));
      if (!host) return E_FAIL;
      if (!FForm) {
        FForm = MakeForm(FIndex);
        FCreated = true;
      }
      FForm->setParent(host);
      if (rect)
        FForm->setGeometry(rect->Left, rect->Top, rect->Right - rect->Left,
                           rect->Bottom - rect->Top);
      FForm->show();
      Log(FTag + " shown");
      return S_OK;
    } catch (...) {
      Log(FTag + " ShowPage failed");
      return E_FAIL;
    }
  }
  HRESULT MDCALL GetPageTitle(const char16_t** title) override {
    *title = kPages[FIndex].Name;
    return S_OK;
  }
  HRESULT MDCALL ClosePage() override {
    FreeForm();
    return S_OK;
  }
  int32_t MDCALL IsPageCreated() override { return FCreated.load() ? 1 : 0; }

 private:
  void FreeForm() {
    if (!FForm) return;
    FCreated = false;
    delete FForm;
    FForm = nullptr;
    Log(FTag + " form freed");
  }

  int FIndex;
  std::string FTag;
  QWidget* FForm = nullptr;  // main thread
  std::atomic<bool> FCreated{false};
};

HRESULT CreatePage(int index, IUnknown* owner, const GUID* iid, void** obj) {
  if (!owner) return E_FAIL;
  auto page = std::make_unique<TSamplePage>(index);
  const HRESULT hr = page->QueryInterface(*iid, obj);
  if (MD_SUCCEEDED(hr)) page.release();
  return hr;
}

HRESULT MDCALL CreatePage0(IUnknown* owner, const GUID* iid, void** obj) {
  return CreatePage(0, owner, iid, obj);
}
HRESULT MDCALL CreatePage1(IUnknown* owner, const GUID* iid, void** obj) {
  return CreatePage(1, owner, iid, obj);
}
HRESULT MDCALL CreatePage2(IUnknown* owner, const GUID* iid, void** obj) {
  return CreatePage(2, owner, iid, obj);
}

}  // namespace

MD_EXPORT HRESULT DLLGetPropertyCount(int32_t* count) {
  *count = kPageCount;
  return S_OK;
}

MD_EXPORT HRESULT DLLGetPropertyPage(int32_t index, TMDPageInfo* info) {
  if (index < 0 || index >= kPageCount) return E_FAIL;
  *info = kPages[index];
  return S_OK;
}

MD_EXPORT void ApplicationUninit() { Log("ApplicationUninit"); }
