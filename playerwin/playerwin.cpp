// playerwin.cpp - the "Player Window" library: one module that gives the host a player window,
// and one optional control panel page with the window's options.
//
// The library uses the public contract and Qt alone. It runs inside the host process and shares
// the host's application object; without one (a host that runs no Qt application) the module
// stays idle.
//
// Threads
//   - Module and page construction, SetState, Stop, ShowPage and destruction run on the host's
//     main thread, which also owns the window.
//   - HandleMessage runs on the kernel's dispatch thread; it hands notifications and actions to
//     the window with queued calls. FWindowLock guards FWindow between the dispatch thread
//     (which only posts to it) and the main thread (which creates and destroys it); a call
//     still queued when the window goes is dropped by Qt with the window.
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QVBoxLayout>
#include <QWidget>
#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>

#include "UMDBase.h"
#include "UPlayerWindow.h"

namespace {

HRESULT MDCALL CreatePlayerModule(IUnknown* owner, const GUID* iid, void** obj);
HRESULT MDCALL CreatePlayerPage(IUnknown* owner, const GUID* iid, void** obj);

const TMDModuleInfo kModule{u"Player Window", u"The player's main window: video, transport, memory",
                            u"https://midavo.example.org/playerwin", MDMakeVersion(1, 0, 0, 0), 0, 0,
                            &CreatePlayerModule, nullptr, nullptr};
const TMDPageInfo kPage{u"Player Window", u"Options of the player window",
                        u"https://midavo.example.org/playerwin", MDMakeVersion(1, 0, 0, 0), 0, 0,
                        &CreatePlayerPage, nullptr};

class TPlayerModule final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  explicit TPlayerModule(IMDKernel* kernel) : FKernel(kernel) {}
  ~TPlayerModule() override { CloseWindow(); }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }

  // Dispatch thread.
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    return MDGuard([&]() -> HRESULT {
      if (!msg || (msg->Msg != MDM_NOTIFY && msg->Msg != MDM_ACTION)) return S_OK;
      const bool notify = msg->Msg == MDM_NOTIFY;
      const int32_t code = msg->Param1;
      std::lock_guard<std::mutex> guard(FWindowLock);
      if (TPlayerWindow* window = FWindow) {
        QMetaObject::invokeMethod(
            window, [window, notify, code] { notify ? window->Notify(code) : window->Action(code); },
            Qt::QueuedConnection);
      }
      return S_OK;
    });
  }

  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override {
    if (!info) return E_POINTER;
    *info = kModule;
    return S_OK;
  }

  // Main thread.
  HRESULT MDCALL SetState(int32_t state) override {
    return MDGuard([&]() -> HRESULT {
      if (state == KS_RUNNING) OpenWindow();
      else if (state == KS_STOPPING || state == KS_READY) CloseWindow();
      return S_OK;
    });
  }
  HRESULT MDCALL Stop() override { return S_OK; }
  HRESULT MDCALL QueryStopped() override { return S_OK; }

 private:
  void OpenWindow() {
    if (FWindow || !qobject_cast<QApplication*>(QCoreApplication::instance())) return;
    TComPtr<IMDPlayer> player;
    TComPtr<IMDVideo> video;
    FindPlayer(player, video);
    auto* window = new TPlayerWindow(FKernel, player.Get(), video.Get());
    std::lock_guard<std::mutex> guard(FWindowLock);
    FWindow = window;
  }

  void CloseWindow() {
    TPlayerWindow* window = nullptr;
    {
      std::lock_guard<std::mutex> guard(FWindowLock);
      window = std::exchange(FWindow, nullptr);
    }
    if (!window) return;
    window->Shutdown();
    delete window;
  }

  void FindPlayer(TComPtr<IMDPlayer>& player, TComPtr<IMDVideo>& video) {
    auto walker = TComPtr<IMDEnumModules>::Query(FKernel);
    if (!walker) return;
    for (int step = 0; step < 1000; ++step) {
      IMDModule* next = nullptr;
      const HRESULT hr = walker->Next(&next);
      if (hr == E_MODULES_CHANGED) {
        walker->Reset();
        continue;
      }
      if (hr != S_OK || !next) return;
      auto module = TComPtr<IMDModule>::Adopt(next);
      TMDModuleInfo info{};
      if (MD_FAILED(module->GetModuleInfo(&info)) || !info.Name ||
          std::u16string_view(info.Name) != u"Simple Playback")
        continue;
      player = TComPtr<IMDPlayer>::Query(module.Get());
      video = TComPtr<IMDVideo>::Query(module.Get());
      return;
    }
  }

  IMDKernel* FKernel;  // outlives its modules
  std::mutex FWindowLock;
  TPlayerWindow* FWindow = nullptr;  // guarded by FWindowLock; created and destroyed on the main thread
};

// The page: whether the window offers to resume a file where it was left.
// Main thread but HandleMessage (dispatch thread), which reads the atomic FOfferResume only.
class TPlayerPage final : public TMDComImpl<TMDComObject, IMDPropertyPage> {
 public:
  explicit TPlayerPage(IMDKernel* kernel) : FSettings(TComPtr<IMDSettings>::Query(kernel)) {
    int32_t offer = 1;
    if (FSettings) FSettings->ReadInteger(u"PlayerWindow", u"OfferResume", 1, &offer);
    FOfferResume = offer != 0;
  }
  ~TPlayerPage() override { FreeForm(); }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDPropertyPage || iid == IID_IMDMessageSink)
        return MDHandOut<IMDPropertyPage>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    if (msg && msg->Msg == MDM_APPLY && FSettings)
      FSettings->WriteInteger(u"PlayerWindow", u"OfferResume", FOfferResume.load() ? 1 : 0);
    return S_OK;
  }
  HRESULT MDCALL GetPageInfo(TMDPageInfo* info) override {
    if (!info) return E_POINTER;
    *info = kPage;
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL ShowPage(MDHANDLE parent, const TMDRect* rect) override {
    return MDGuard([&]() -> HRESULT {
      if (parent == 0) {
        FreeForm();
        return E_FAIL;
      }
      QWidget* host = QWidget::find(static_cast<WId>(parent));
      if (!host) return E_FAIL;
      if (!FForm) FForm = MakeForm();
      FForm->setParent(host);
      if (rect) FForm->setGeometry(rect->Left, rect->Top, rect->Right - rect->Left, rect->Bottom - rect->Top);
      FForm->show();
      return S_OK;
    }, E_FAIL);
  }
  HRESULT MDCALL GetPageTitle(const char16_t** title) override {
    if (!title) return E_POINTER;
    *title = kPage.Name;
    return S_OK;
  }
  HRESULT MDCALL ClosePage() override {
    FreeForm();
    return S_OK;
  }
  int32_t MDCALL IsPageCreated() override { return FForm ? 1 : 0; }

 private:
  QWidget* MakeForm() {
    auto form = std::make_unique<QWidget>();
    form->setObjectName(QStringLiteral("PlayerWindowForm"));
    auto* layout = new QVBoxLayout(form.get());
    auto* box = new QGroupBox(QStringLiteral("Player window"), form.get());
    auto* inner = new QVBoxLayout(box);
    auto* about = new QLabel(QStringLiteral("The window remembers your recent files, its size, the volume "
                                            "and where you stopped in the last file."), box);
    about->setWordWrap(true);
    auto* offer = new QCheckBox(QStringLiteral("Offer to resume a file where I left it"), box);
    offer->setObjectName(QStringLiteral("CBOfferResume"));
    offer->setChecked(FOfferResume.load());
    QObject::connect(offer, &QCheckBox::toggled, [this](bool on) { FOfferResume = on; });
    inner->addWidget(about);
    inner->addWidget(offer);
    layout->addWidget(box);
    layout->addStretch(1);
    return form.release();
  }
  void FreeForm() {
    delete FForm;
    FForm = nullptr;
  }

  TComPtr<IMDSettings> FSettings;
  std::atomic<bool> FOfferResume{true};
  QWidget* FForm = nullptr;  // main thread
};

template <class T>
HRESULT Create(IUnknown* owner, const GUID* iid, void** obj) {
  if (!owner || !iid || !obj) return E_FAIL;
  return MDGuard([&]() -> HRESULT {
    auto kernel = TComPtr<IMDKernel>::Query(owner);
    if (!kernel) return E_FAIL;
    auto object = std::make_unique<T>(kernel.Get());
    const HRESULT hr = object->QueryInterface(*iid, obj);
    if (MD_SUCCEEDED(hr)) object.release();
    return hr;
  }, E_FAIL);
}

HRESULT MDCALL CreatePlayerModule(IUnknown* owner, const GUID* iid, void** obj) {
  return Create<TPlayerModule>(owner, iid, obj);
}
HRESULT MDCALL CreatePlayerPage(IUnknown* owner, const GUID* iid, void** obj) {
  return Create<TPlayerPage>(owner, iid, obj);
}

}  // namespace

MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  if (index != 0 || !info) return E_FAIL;
  *info = kModule;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetPropertyCount(int32_t* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetPropertyPage(int32_t index, TMDPageInfo* info) {
  if (index != 0 || !info) return E_FAIL;
  *info = kPage;
  return S_OK;
}
