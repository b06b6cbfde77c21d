// shellbot.cpp - a module library (sdk headers and Qt alone) whose module drives a running host:
// once the kernel has started it performs "Show Control Panel", waits on the main thread until
// the window is up, saves a PNG of every tab when MIDAVO_SCREENSHOT_DIR names a folder, and then
// performs "Shutdown Application". It logs its calls (TestPlugin.h). Built with SHELLBOT_IDLE,
// the module does nothing at all.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <memory>

#include "TestPlugin.h"
#include "UMDBase.h"

namespace {

HRESULT MDCALL CreateBot(IUnknown* owner, const GUID* iid, void** obj);

const TMDModuleInfo kModule{u"Shell Bot", u"Shows the control panel, then shuts down",
                            u"https://midavo.example.org/", MDMakeVersion(1, 0, 0, 0), 0, 0,
                            &CreateBot, nullptr, nullptr};

QString Slug(const QString& text) { return text.toLower().replace(QLatin1Char(' '), '-'); }

void Save(QWidget* window, const QString& dir, const QString& name) {
  window->grab().save(QDir(dir).filePath(QStringLiteral("control-panel-%1.png").arg(name)));
}

// Saves the window once per tab, and the Modules page once more with its second tab.
void SaveTabs(QWidget* panel, const QString& dir) {
  auto* tabs = panel->findChild<QTabWidget*>(QStringLiteral("PageControl"));
  if (!tabs) return;
  for (int i = 0; i < tabs->count(); ++i) {
    tabs->setCurrentIndex(i);
    const QString name = Slug(tabs->tabText(i));
    Save(panel, dir, name);
    if (auto* inner = tabs->widget(i)->findChild<QTabWidget*>(QStringLiteral("PageControl1"))) {
      for (int j = 1; j < inner->count(); ++j) {
        inner->setCurrentIndex(j);
        Save(panel, dir, name + "-" + Slug(inner->tabText(j)));
      }
      inner->setCurrentIndex(0);
    }
  }
  tabs->setCurrentIndex(0);
}

QWidget* VisiblePanel() {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->objectName() == QLatin1String("TCPForm") && window->isVisible()) return window;
  return nullptr;
}

class TBot final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  // Main thread (the host creates modules there).
  explicit TBot(IMDKernel* kernel) : FKernel(kernel), FTimer(std::make_unique<QTimer>()) {
    FTimer->setInterval(20);
    QObject::connect(FTimer.get(), &QTimer::timeout, [this] { Step(); });
    FTimer->start();
  }
  ~TBot() override { Log("M0 destroyed"); }

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
  HRESULT MDCALL SetState(int32_t state) override {
    Log("M0 state " + std::to_string(state));
    return S_OK;
  }
  HRESULT MDCALL Stop() override {
    FTimer->stop();
    Log("M0 Stop");
    return S_OK;
  }
  HRESULT MDCALL QueryStopped() override { return S_OK; }

 private:
  // Main thread, every 20 ms until the shutdown is performed.
  void Step() {
#ifdef SHELLBOT_IDLE
    FTimer->stop();
    return;
#endif
    if (!FStarted) return;
    if (!FShowPerformed) {
      Perform(MDA_SHOW_CONTROL_PANEL);
      FShowPerformed = true;
      return;
    }
    QWidget* panel = VisiblePanel();
    if (!panel) return;
    const QByteArray dir = qgetenv("MIDAVO_SCREENSHOT_DIR");
    if (!dir.isEmpty()) SaveTabs(panel, QString::fromLocal8Bit(dir));
    Log("M0 panel seen");
    FTimer->stop();
    Perform(MDA_SHUTDOWN);
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
  bool FShowPerformed = false;
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

MD_EXPORT void ApplicationUninit() { Log("ApplicationUninit"); }
