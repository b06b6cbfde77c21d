#include "input/ctrls_form.h"

#include <QHeaderView>
#include <QPointer>
#include <QTreeWidget>
#include <memory>

#include "input/ctrls_popupform.h"
#include "ui_ctrls_form.h"

TControlsForm::TControlsForm(TMDBasePropertyPage* page)
    : TMDPropertyForm(page), ui(new Ui::TControlsForm) {
  ui->setupUi(this);
  QTreeWidget* list = ui->KeyListView;
  list->header()->resizeSection(0, 150);
  list->header()->setStretchLastSection(true);
  // Grid lines, and a selection that stays visible while the list has no focus, come from the
  // list's style sheet (ctrls_form.ui).

  connect(ui->Button2, &QPushButton::clicked, this, &TControlsForm::Button2Click);
  // Assign runs a modal wait during which the page may free this form. Queued, the handler is
  // called from the event loop itself, so nothing of the button's click handling is left on the
  // stack to return into a freed form.
  connect(ui->BAssign, &QPushButton::clicked, this, &TControlsForm::BAssignClick,
          Qt::QueuedConnection);
  connect(ui->BErase, &QPushButton::clicked, this, &TControlsForm::BEraseClick);
}

TControlsForm::~TControlsForm() { delete ui; }

QTreeWidget* TControlsForm::KeyListView() const { return ui->KeyListView; }

IMDKernel* TControlsForm::Kernel() const { return Page() ? Page()->Kernel() : nullptr; }

int TControlsForm::SelectedIndex() const {
  const QList<QTreeWidgetItem*> selected = ui->KeyListView->selectedItems();
  if (selected.isEmpty()) return -1;
  return ui->KeyListView->indexOfTopLevelItem(selected.first());
}

void TControlsForm::SetInputCell(int row, const char16_t* text) {
  if (QTreeWidgetItem* item = ui->KeyListView->topLevelItem(row))
    item->setText(1, QString::fromUtf16(text ? text : u""));
}

void TControlsForm::showEvent(QShowEvent* event) {
  TMDPropertyForm::showEvent(event);
  FormShow();
}

void TControlsForm::FormShow() {
  QTreeWidget* list = ui->KeyListView;
  list->setUpdatesEnabled(false);
  list->clear();
  auto actions = TComPtr<IMDActionList>::Query(Kernel());
  auto binder = TComPtr<IMDActionInput>::Query(Kernel());
  if (actions && binder) {
    QList<QTreeWidgetItem*> rows;
    const int32_t count = actions->GetActionCount();
    for (int32_t i = 0; i < count; ++i) {
      TMDActionItem item{};
      actions->GetAction(static_cast<uint32_t>(i), &item);
      const char16_t* input = nullptr;
      binder->GetBinding(kSource, item.Code & 0xFFFF, &input);
      rows << new QTreeWidgetItem(QStringList{QString::fromUtf16(item.Name ? item.Name : u""),
                                              QString::fromUtf16(input ? input : u"")});
    }
    list->addTopLevelItems(rows);
  }
  list->setUpdatesEnabled(true);
}

void TControlsForm::Button2Click() {
  const int row = SelectedIndex();
  if (row < 0) return;
  IMDKernel* kernel = Kernel();
  auto actions = TComPtr<IMDActionList>::Query(kernel);
  if (!actions) return;
  TMDActionItem item{};
  actions->GetAction(static_cast<uint32_t>(row), &item);
  TMDMessage msg{};
  msg.Msg = MDM_ACTION;
  msg.Param1 = item.Code;
  kernel->HandleMessage(&msg);
}

void TControlsForm::BAssignClick() {
  const int row = SelectedIndex();
  if (row < 0 || ControlsPopUpForm) return;
  IMDKernel* kernel = Kernel();
  int32_t code = 0;
  {
    auto actions = TComPtr<IMDActionList>::Query(kernel);
    auto binder = TComPtr<IMDActionInput>::Query(kernel);
    if (!actions || !binder) return;
    TMDActionItem item{};
    actions->GetAction(static_cast<uint32_t>(row), &item);
    code = item.Code & 0xFFFF;
    binder->BeginAssign(kSource, code);
  }

  std::unique_ptr<TControlsPopUpForm> popup(new TControlsPopUpForm());
  TControlsAssignment assignment;
  assignment.PopUp = popup.get();
  popup->SetKernel(kernel);
  MDSetControlsAssignment(&assignment);
  const QPointer<TControlsForm> self(this);
  popup->exec();

  popup->SetKernel(nullptr);
  MDSetControlsAssignment(nullptr);
  popup.reset();
  // The page let go of this form meanwhile and cancelled the assignment: `this` is gone, and
  // the kernel may be too (the host may be shutting down).
  if (assignment.Abandoned) return;

  auto binder = TComPtr<IMDActionInput>::Query(kernel);
  if (!binder) return;
  binder->BeginAssign(u"", 0);  // cancels an assignment that "Close" left pending
  if (!self) return;            // freed by its window, not by its page
  const char16_t* input = nullptr;
  binder->GetBinding(kSource, code, &input);
  SetInputCell(row, input);
}

void TControlsForm::BEraseClick() {
  const int row = SelectedIndex();
  if (row < 0 || ControlsPopUpForm) return;
  auto actions = TComPtr<IMDActionList>::Query(Kernel());
  auto binder = TComPtr<IMDActionInput>::Query(Kernel());
  if (!actions || !binder) return;
  TMDActionItem item{};
  actions->GetAction(static_cast<uint32_t>(row), &item);
  binder->SetBinding(kSource, item.Code & 0xFFFF, u"");
  const char16_t* input = nullptr;
  binder->GetBinding(kSource, item.Code & 0xFFFF, &input);
  SetInputCell(row, input);
}
