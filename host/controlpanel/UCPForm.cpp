#include "controlpanel/UCPForm.h"

#include <QHideEvent>
#include <QLayout>
#include <QStyleOptionTabWidgetFrame>
#include <mutex>

#include "ui_UCPForm.h"

namespace {
// Frees a tab sheet. A page that kept its form there gets it back unparented rather than having
// it freed under it.
void FreeSheet(QTabWidget* pages, QWidget* sheet) {
  pages->removeTab(pages->indexOf(sheet));
  for (QWidget* child : sheet->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    child->hide();
    child->setParent(nullptr);
  }
  delete sheet;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// TMDPageControl
// ---------------------------------------------------------------------------------------------

QRect TMDPageControl::SheetRect() const {
  QStyleOptionTabWidgetFrame option;
  initStyleOption(&option);
  return style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this);
}

// ---------------------------------------------------------------------------------------------
// TCPForm
// ---------------------------------------------------------------------------------------------

TCPForm::TCPForm(QWidget* parent) : QDialog(parent), ui(new Ui::TCPForm) {
  ui->setupUi(this);
  // A dialog frame: a title and a close button, no resizing.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(449, 434);
  // Lay the window out now: tabs are added (and their rectangles taken) before it is shown.
  if (layout()) layout()->activate();
  ui->BOk->setDefault(true);
  ui->BOk->setFocus();
  connect(ui->BOk, &QPushButton::clicked, this, &TCPForm::BOkClick);
  connect(ui->BCancel, &QPushButton::clicked, this, &TCPForm::BCancelClick);
  connect(ui->BApply, &QPushButton::clicked, this, &TCPForm::BApplyClick);
}

TCPForm::~TCPForm() {
  ClearTabs();
  FKernel = nullptr;
  delete ui;
}

TMDPageControl* TCPForm::PageControl() const { return ui->PageControl; }

void TCPForm::SetKernel(IMDKernel* kernel) { FKernel = TComPtr<IMDKernel>(kernel); }

void TCPForm::Post(uint32_t msg, int32_t param1) {
  if (!FKernel) return;
  TMDMessage message{};
  message.Msg = msg;
  message.Param1 = param1;
  FKernel->HandleMessage(&message);
}

void TCPForm::BApplyClick() { Post(MDM_APPLY); }

void TCPForm::BOkClick() {
  Post(MDM_APPLY);
  Post(MDM_ACTION, MDA_HIDE_CONTROL_PANEL);
}

void TCPForm::BCancelClick() { Post(MDM_ACTION, MDA_HIDE_CONTROL_PANEL); }

void TCPForm::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  // Minimising is no hide request; closing by the frame (or Esc) is, and applies nothing.
  if (!event->spontaneous()) Post(MDM_ACTION, MDA_HIDE_CONTROL_PANEL);
}

bool TCPForm::IsWindowVisible() const { return isVisible(); }

void TCPForm::BringToFront() {
  raise();
  activateWindow();
}

void TCPForm::ShowWindow() {
  show();
  raise();
  activateWindow();
  ui->BOk->setFocus();
}

void TCPForm::HideWindow() { hide(); }

void TCPForm::AddTab(IMDPropertyPage* page) {
  if (!page) return;
  std::lock_guard<TLock> guard(FLock);
  FTabs.push_back({nullptr, TComPtr<IMDPropertyPage>(page)});
  TTab& tab = FTabs.back();
  auto* sheet = new QWidget;
  ui->PageControl->addTab(sheet, QString());
  tab.Sheet = sheet;
  const QRect area = ui->PageControl->SheetRect();
  sheet->resize(area.size());
  const TMDRect rect{0, 0, area.width(), area.height()};

  HRESULT hr = E_FAIL;
  try {
    hr = page->ShowPage(static_cast<MDHANDLE>(sheet->winId()), &rect);
  } catch (...) {
    hr = E_UNEXPECTED;
  }
  if (MD_FAILED(hr)) {
    FreeSheet(ui->PageControl, sheet);  // the entry keeps its page until ClearTabs
    return;
  }
  const char16_t* title = nullptr;
  if (MD_SUCCEEDED(page->GetPageTitle(&title)) && title)
    ui->PageControl->setTabText(ui->PageControl->indexOf(sheet), QString::fromUtf16(title));
}

void TCPForm::ClearTabs() {
  std::lock_guard<TLock> guard(FLock);
  const TMDRect none{0, 0, 0, 0};
  for (TTab& tab : FTabs) {
    try {
      tab.Page->ShowPage(0, &none);  // frees the page's form; always "fails"
    } catch (...) {
    }
    tab.Page = nullptr;
    if (QWidget* sheet = tab.Sheet.data()) FreeSheet(ui->PageControl, sheet);
  }
  FTabs.clear();
}
