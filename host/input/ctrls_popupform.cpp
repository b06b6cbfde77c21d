#include "input/ctrls_popupform.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

#include "input/UMDKeyState.h"
#include "input/UMDQtKeys.h"
#include "ui_ctrls_popupform.h"

namespace {

TControlsAssignment* gAssignment = nullptr;  // main thread

uint32_t KeyState(Qt::KeyboardModifiers modifiers) {
  uint32_t state = 0;
  if (modifiers.testFlag(Qt::ShiftModifier)) state |= MDKS_SHIFT;
  if (modifiers.testFlag(Qt::ControlModifier)) state |= MDKS_CTRL;
  return state;
}

uint32_t QtKeyState() { return KeyState(QGuiApplication::keyboardModifiers()); }

}  // namespace

TControlsPopUpForm* ControlsPopUpForm = nullptr;

std::mutex& MDControlsPopUpLock() {
  static std::mutex lock;
  return lock;
}

void MDSetControlsAssignment(TControlsAssignment* assignment) {
  std::lock_guard<std::mutex> guard(MDControlsPopUpLock());
  gAssignment = assignment;
  ControlsPopUpForm = assignment ? assignment->PopUp : nullptr;
}

void MDCloseControlsPopUp() {
  std::lock_guard<std::mutex> guard(MDControlsPopUpLock());
  if (TControlsPopUpForm* popup = ControlsPopUpForm)
    QMetaObject::invokeMethod(popup, [popup] { popup->reject(); }, Qt::QueuedConnection);
}

void MDAbandonControlsAssignment(IMDKernel* kernel) {
  TControlsAssignment* assignment = nullptr;
  {
    std::lock_guard<std::mutex> guard(MDControlsPopUpLock());
    assignment = gAssignment;
  }
  if (!assignment || assignment->Abandoned) return;
  assignment->Abandoned = true;
  if (auto binder = TComPtr<IMDActionInput>::Query(kernel)) binder->BeginAssign(u"", 0);
  if (assignment->PopUp) assignment->PopUp->SetKernel(nullptr);
  MDCloseControlsPopUp();
}

void MDInstallQtKeyState() { MDSetKeyStateProvider(&QtKeyState); }

// ---------------------------------------------------------------------------------------------
// TControlsPopUpForm
// ---------------------------------------------------------------------------------------------

TControlsPopUpForm::TControlsPopUpForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint), ui(new Ui::TControlsPopUpForm) {
  ui->setupUi(this);
  // No default and no cancel button: Enter, ESC and the space bar are keys to assign. The
  // button never takes the focus, so no key press can click it.
  ui->BClose->setAutoDefault(false);
  ui->BClose->setDefault(false);
  ui->BClose->setFocusPolicy(Qt::NoFocus);
  setFocusPolicy(Qt::StrongFocus);
  connect(ui->BClose, &QPushButton::clicked, this, &TControlsPopUpForm::BCloseClick);
}

TControlsPopUpForm::~TControlsPopUpForm() {
  FKernel = nullptr;
  delete ui;
}

void TControlsPopUpForm::SetKernel(IMDKernel* kernel) { FKernel = TComPtr<IMDKernel>(kernel); }

void TControlsPopUpForm::BCloseClick() { reject(); }

void TControlsPopUpForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  setFocus();
}

bool TControlsPopUpForm::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::ShortcutOverride:
      // Every key is for the binder, none for a shortcut.
      event->accept();
      return true;
    case QEvent::KeyPress:
      // Straight to keyPressEvent, before Tab and Backtab move the focus.
      keyPressEvent(static_cast<QKeyEvent*>(event));
      return true;
    default:
      return QDialog::event(event);
  }
}

void TControlsPopUpForm::keyPressEvent(QKeyEvent* event) {
  // The default processing of a plain widget (QDialog's would close on ESC and click a default
  // button on Enter).
  QWidget::keyPressEvent(event);
  TMDKeyDown key;
  if (!MDTranslateKeyPress(event, &key) || key.Message != MD_WM_KEYDOWN) return;
  if (!FKernel) return;
  if (auto sink = TComPtr<IMDInputSink>::Query(FKernel.Get())) {
    TMDKeyStateScope held(KeyState(event->modifiers()));
    sink->HandleInput(key.VirtualKey, key.Flags);
  }
}
