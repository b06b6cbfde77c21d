// ctrls_popupform.h - the "Assign Input" pop-up of the Controls page.
//
// While the Controls form assigns a key to an action it shows this small modal window. The
// pop-up turns each key press it receives into a Windows key-down message (UMDQtKeys.h) and
// hands it to the kernel's IMDInputSink, with Shift and Ctrl of the key event as the key state
// (UMDKeyState.h). Every key is taken, Enter, ESC and Tab included; presses with Alt held and
// F10 (system keys) are not passed. The binder binds the key and posts MDM_INPUT_ASSIGNED, on
// which the page asks the pop-up to close; "Close" ends the wait without a key.
//
// At most one assignment runs at a time. ControlsPopUpForm is its pop-up, nil when none runs.
//
// Threads
//   - The pop-up, ControlsPopUpForm and the assignment record: main thread. ControlsPopUpForm is
//     written under MDControlsPopUpLock, so other threads may read it under that lock.
//   - MDCloseControlsPopUp may be called from any thread (the page's HandleMessage runs on the
//     dispatch thread): it only queues the end of the modal wait to the pop-up, under the lock,
//     so the pop-up cannot be destroyed meanwhile; a queued close of a pop-up that is gone is
//     dropped by Qt.
#pragma once

#include <QDialog>
#include <mutex>

#include "UMDBase.h"

namespace Ui {
class TControlsPopUpForm;
}

class TControlsPopUpForm final : public QDialog {
  Q_OBJECT
 public:
  explicit TControlsPopUpForm(QWidget* parent = nullptr);
  ~TControlsPopUpForm() override;  // FormDestroy

  // Where key presses go; nil hands over nothing. Main thread.
  void SetKernel(IMDKernel* kernel);
  IMDKernel* Kernel() const { return FKernel.Get(); }

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BCloseClick();

  Ui::TControlsPopUpForm* ui;
  TComPtr<IMDKernel> FKernel;
};

// The assignment the Controls form runs while its pop-up waits (main thread).
struct TControlsAssignment {
  TControlsPopUpForm* PopUp = nullptr;
  // The page let go of its form during the wait: the pending assignment is cancelled already
  // and nothing of the form, the page or the kernel may be touched when the wait ends.
  bool Abandoned = false;
};

extern TControlsPopUpForm* ControlsPopUpForm;
std::mutex& MDControlsPopUpLock();

// Main thread: the assignment whose pop-up is about to wait, or nil when the wait is over.
void MDSetControlsAssignment(TControlsAssignment* assignment);
// Any thread: ends the pop-up's modal wait, if a pop-up exists.
void MDCloseControlsPopUp();
// Main thread, when the Controls page frees its form: a waiting assignment is cancelled with
// `kernel`'s binder, its pop-up forgets the kernel and is closed, and the assignment is marked
// abandoned.
void MDAbandonControlsAssignment(IMDKernel* kernel);

// Installs Qt's keyboard modifiers as the key-state query's answer for key presses that are
// handed to the kernel without a key state of their own (by plug-ins). Main thread.
void MDInstallQtKeyState();
