// UMainForm.h - the application object and the host's invisible main form.
//
// TMDApplication is the QApplication of the host, titled "Midavo 4.0". Every exception that
// escapes an event handler ends in its notify() and is handed to its exception handler, which
// shows it in the "Exception" window; the application goes on.
//
// TMainForm is never shown. It owns the kernel: FormCreate walks it through start-up and
// FormClose through shut-down (both through MDStartHost / MDStopHost), and it turns requests of
// the kernel's dispatch thread into work on the main thread:
//   - OnShowRequest (a control panel show or hide action) stores the action code in CPTimer's
//     tag and arms CPTimer; when it fires, the panel is shown or hidden. One code is pending at
//     a time: a later request replaces an earlier one that has not been carried out yet.
//   - OnShutdown (dispatch ended on MDM_SHUTDOWN) arms ShutTimer; when it fires, the form closes,
//     the host shuts down and the application's event loop ends with exit code 0.
//   - Synchronize requests of the kernel wake the main loop, which serves them.
//
// Threads
//   - Everything runs on the main thread except OnShowRequest and OnShutdown, which run on the
//     dispatch thread: they only store the tag (atomic) and queue the arming of a timer to the
//     main thread (a QTimer must not be started from another thread).
//   - TMDApplication::HandleException may be called from any thread; the window is shown on the
//     main thread.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>

#include "core/UMDKernel.h"

class TCPForm;

class TMDApplication : public QApplication {
  Q_OBJECT
 public:
  using TExceptionHandler = std::function<void(const std::exception_ptr&)>;

  TMDApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;
  // The unhandled-exception handler; without one, ShowException is used.
  void SetOnException(TExceptionHandler handler) { FOnException = std::move(handler); }
  // Shows the exception (on the main thread; from another thread it is handed over).
  void HandleException(const std::exception_ptr& exception);
  // Shows the "Exception" window modally and returns when it is closed.
  static void ShowException(const std::exception_ptr& exception);

 private:
  TExceptionHandler FOnException;
};

// Whether Qt's event loop runs the default GLib main context, which serves the message targets
// of plug-ins. It does not when QT_NO_GLIB is set; `why` then says what to do.
bool MDEventLoopServesGLib(QString* why);

class TMainForm final : public QWidget {
  Q_OBJECT
 public:
  explicit TMainForm(QWidget* parent = nullptr);  // runs FormCreate
  ~TMainForm() override;                          // runs FormClose if nobody did

  void FormCreate();
  void FormClose();
  // Closes the form: FormClose, then the application's event loop ends with exit code 0.
  void CloseForm();
  // Attaches the control panel window: the panel's SetForm and the window's kernel reference.
  void AttachControlPanel(TCPForm* form);

  TMDKernel* Kernel() const { return FKernel.get(); }
  int32_t CPTag() const { return FCPTag.load(std::memory_order_acquire); }

  QTimer* ShutTimer;
  QTimer* CPTimer;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShutTimerTimer();
  void CPTimerTimer();
  void ServeKernelRequests();
  static void MDCALL OnShutdown(void* data, void* sender);
  static void OnShowRequest(void* context, TMDControlPanel* panel, int32_t code);

  std::atomic<int32_t> FCPTag{0};  // CPTimer's tag: the pending show or hide code
  std::unique_ptr<TMDKernel> FKernel;
  TCPForm* FCPForm = nullptr;  // not owned
};
