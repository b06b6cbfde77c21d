#include "core/UMainForm.h"

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QThread>

#include "controlpanel/UCPForm.h"
#include "controlpanel/UMDBuiltinPages.h"
#include "core/UExceptionForm.h"
#include "core/UMDHost.h"

// ---------------------------------------------------------------------------------------------
// TMDApplication
// ---------------------------------------------------------------------------------------------

TMDApplication::TMDApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Midavo"));
  setApplicationVersion(QStringLiteral("4.0"));
  setApplicationDisplayName(QStringLiteral("Midavo 4.0"));
  // The main form is never shown and the control panel comes and goes: the application ends
  // when the main form closes, not when the last window does.
  setQuitOnLastWindowClosed(false);
}

bool TMDApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

void TMDApplication::HandleException(const std::exception_ptr& exception) {
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(
        this, [this, exception] { HandleException(exception); }, Qt::QueuedConnection);
    return;
  }
  try {
    if (FOnException)
      FOnException(exception);
    else
      ShowException(exception);
  } catch (...) {
    // Nothing may leave the handler: the event loop goes on.
  }
}

void TMDApplication::ShowException(const std::exception_ptr& exception) {
  TExceptionForm form;
  form.SetException(exception);
  form.exec();
}

bool MDEventLoopServesGLib(QString* why) {
  QAbstractEventDispatcher* dispatcher =
      QAbstractEventDispatcher::instance(QCoreApplication::instance()
                                             ? QCoreApplication::instance()->thread()
                                             : QThread::currentThread());
  if (dispatcher && dispatcher->inherits("QEventDispatcherGlib")) return true;
  if (why)
    *why = QStringLiteral(
        "Midavo needs Qt's GLib event loop, which serves the windows of its plug-ins, but Qt "
        "runs without it (%1). Unset QT_NO_GLIB and start Midavo again.")
               .arg(dispatcher ? QString::fromLatin1(dispatcher->metaObject()->className())
                               : QStringLiteral("no event dispatcher"));
  return false;
}

// ---------------------------------------------------------------------------------------------
// TMainForm
// ---------------------------------------------------------------------------------------------

TMainForm::TMainForm(QWidget* parent)
    : QWidget(parent), ShutTimer(new QTimer(this)), CPTimer(new QTimer(this)) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QStringLiteral("Midavo 4.0"));
  ShutTimer->setObjectName(QStringLiteral("ShutTimer"));
  ShutTimer->setInterval(1);
  ShutTimer->setSingleShot(true);
  connect(ShutTimer, &QTimer::timeout, this, &TMainForm::ShutTimerTimer);
  CPTimer->setObjectName(QStringLiteral("CPTimer"));
  CPTimer->setInterval(1);
  CPTimer->setSingleShot(true);
  connect(CPTimer, &QTimer::timeout, this, &TMainForm::CPTimerTimer);
  try {
    FormCreate();
  } catch (...) {
    if (auto* app = qobject_cast<TMDApplication*>(QCoreApplication::instance()))
      app->HandleException(std::current_exception());
    else
      TMDApplication::ShowException(std::current_exception());
  }
}

TMainForm::~TMainForm() { FormClose(); }

void TMainForm::FormCreate() {
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setGeometry(0, 0, 0, 0);
  if (auto* app = qobject_cast<TMDApplication*>(QCoreApplication::instance()))
    app->SetOnException([](const std::exception_ptr& e) { TMDApplication::ShowException(e); });

  TMDHostOptions options;
  options.MainWindow = static_cast<MDHANDLE>(winId());
  options.OnShutdown = TMDMethod{&TMainForm::OnShutdown, this};
  options.Application = QCoreApplication::instance();
  options.BuiltinPages = MDBuiltinPages();
  options.ShowRequest = &TMainForm::OnShowRequest;
  options.ShowRequestContext = this;

  // Synchronize requests from other threads wake the main loop, which serves them.
  options.MainThreadWakeup = [this] {
    QMetaObject::invokeMethod(this, [this] { ServeKernelRequests(); }, Qt::QueuedConnection);
  };
  MDStartHost(FKernel, options);
}

void TMainForm::FormClose() {
  if (!FKernel) return;
  if (FCPForm) FCPForm->SetKernel(nullptr);
  MDStopHost(FKernel);
  FCPForm = nullptr;
}

void TMainForm::CloseForm() {
  FormClose();
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  CloseForm();
  event->accept();
}

void TMainForm::AttachControlPanel(TCPForm* form) {
  if (!FKernel || !FKernel->ControlPanel()) return;
  FCPForm = form;
  FKernel->ControlPanel()->SetForm(form);
  if (form) form->SetKernel(FKernel.get());
}

void TMainForm::ServeKernelRequests() {
  if (FKernel) FKernel->ServeRequests();
}

void TMainForm::ShutTimerTimer() {
  ShutTimer->stop();
  CloseForm();
}

void TMainForm::CPTimerTimer() {
  CPTimer->stop();
  TMDControlPanel* panel = FKernel ? FKernel->ControlPanel() : nullptr;
  if (!panel) return;
  switch (FCPTag.load(std::memory_order_acquire)) {
    case MDA_SHOW_CONTROL_PANEL:
      panel->Show();
      break;
    case MDA_HIDE_CONTROL_PANEL:
      panel->Hide();
      break;
    default:
      break;
  }
}

void MDCALL TMainForm::OnShutdown(void* data, void* /*sender*/) {
  auto* form = static_cast<TMainForm*>(data);
  QMetaObject::invokeMethod(form, [form] { form->ShutTimer->start(); }, Qt::QueuedConnection);
}

void TMainForm::OnShowRequest(void* context, TMDControlPanel* /*panel*/, int32_t code) {
  auto* form = static_cast<TMainForm*>(context);
  form->FCPTag.store(code, std::memory_order_release);
  QMetaObject::invokeMethod(form, [form] { form->CPTimer->start(); }, Qt::QueuedConnection);
}
