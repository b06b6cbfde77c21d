// ctrlsbot.cpp - a module library (sdk headers and Qt alone) that walks the Controls page of a
// running host for the screenshots: it performs "Show Control Panel", opens the "Controls" tab,
// selects "Play", clicks "Assign", saves the "Assign Input" pop-up, presses the space bar in it,
// saves the tab with the new binding and performs "Shutdown Application". The PNGs go to the
// folder MIDAVO_SCREENSHOT_DIR names (nothing is saved without it).
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <memory>

#include "UMDBase.h"

namespace {

HRESULT MDCALL CreateBot(IUnknown* owner, const GUID* iid, void** obj);

const TMDModuleInfo kModule{u"Controls Bot", u"Assigns a key on the Controls page",
                            u"https://midavo.example.org/", MDMakeVersion(1, 0, 0, 0), 0, 0,
                            &CreateBot, nullptr, nullptr};

QWidget* VisibleWindow(const char* name) {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->objectName() == QLatin1String(name) && window->isVisible()) return window;
  return nullptr;
}

void Save(QWidget* window, const char* name) {
  const QByteArray dir = qgetenv("MIDAVO_SCREENSHOT_DIR");
  if (dir.isEmpty()) return;
  window->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(QLatin1String(name)));
}

class TBot final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  // Main thread (the host creates modules there).
  explicit TBot(IMDKernel* kernel) : FKernel(kernel), FTimer(std::make_unique<QTimer>()) {
    FTimer->setInterval(50);
    QObject::connect(FTimer.get(), &QTimer::timeout, [this] { Step(); });
    FTimer->start();
  }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  // Dispatch thread.
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    if (msg->Msg == MDM_STARTED) FStarted = true;
    return S_OK;
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override {
    *info = kModule;
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL Stop() override {
    FTimer->stop();
    return S_OK;
  }
  HRESULT MDCALL QueryStopped() override { return S_OK; }

 private:
  enum TStep { kShow, kOpenTab, kAssign, kPopUp, kDone };

  // Main thread, every 50 ms; it runs inside the pop-up's modal wait as well.
  void Step() {
    if (!FStarted) return;
    QWidget* panel = VisibleWindow("TCPForm");
    switch (FStep) {
      case kShow:
        Perform(MDA_SHOW_CONTROL_PANEL);
        FStep = kOpenTab;
        return;
      case kOpenTab: {
        if (!panel) return;
        auto* tabs = panel->findChild<QTabWidget*>(QStringLiteral("PageControl"));
        if (!tabs) return;
        for (int i = 0; i < tabs->count(); ++i)
          if (tabs->tabText(i) == QLatin1String("Controls")) tabs->setCurrentIndex(i);
        FList = tabs->currentWidget()->findChild<QTreeWidget*>(QStringLiteral("KeyListView"));
        if (!FList || FList->topLevelItemCount() < 4) return;
        FList->setFocus();
        FList->setCurrentItem(FList->topLevelItem(3));  // Play
        FStep = kAssign;
        return;
      }
      case kAssign:
        if (!panel || !FList) return;
        Save(panel, "controls-tab.png");
        if (auto* assign = panel->findChild<QPushButton*>(QStringLiteral("BAssign")))
          assign->click();
        FStep = kPopUp;
        return;
      case kPopUp: {
        QWidget* popup = VisibleWindow("TControlsPopUpForm");
        if (!popup) return;
        Save(popup, "assign-input-popup.png");
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
        QApplication::sendEvent(popup, &press);
        FStep = kDone;
        return;
      }
      case kDone:
        if (VisibleWindow("TControlsPopUpForm") || !panel) return;
        Save(panel, "controls-tab-assigned.png");
        FTimer->stop();
        Perform(MDA_SHUTDOWN);
        return;
    }
  }

  void Perform(int32_t code) {
    TMDMessage msg{};
    msg.Msg = MDM_ACTION;
    msg.Param1 = code;
    FKernel->HandleMessage(&msg);
  }

  IMDKernel* FKernel;  // the host's kernel outlives its modules
  std::unique_ptr<QTimer> FTimer;
  std::atomic<bool> FStarted{false};
  TStep FStep = kShow;
  QTreeWidget* FList = nullptr;  // the Controls form's list while the panel shows it
};

HRESULT MDCALL CreateBot(IUnknown* owner, const GUID* iid, void** obj) {
  if (!owner) return E_FAIL;
  auto kernel = TComPtr<IMDKernel>::Query(owner);
  if (!kernel) return E_FAIL;
  auto bot = std::make_unique<TBot>(kernel.Get());
  const HRESULT hr = bot->QueryInterface(*iid, obj);
  if (MD_SUCCEEDED(hr)) bot.release();
  return hr;
}

}  // namespace

MD_EXPORT HRESULT DLLGetModuleCount(int32_t* count) {
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  if (index != 0) return E_FAIL;
  *info = kModule;
  return S_OK;
}
