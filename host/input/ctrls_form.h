// ctrls_form.h - the form of the "Controls" page: the actions with their keyboard bindings
// (KeyListView: "Action", "Input"), and "Perform", "Assign", "Erase" ("Properties" is
// disabled).
//
// Rows are in action-list order, so a row's index is its action's index. Each handler asks the
// page's kernel for the action list and the binder and lets them go before it returns; the
// Assign handler lets them go before its modal wait as well, and when the wait ends because the
// page let go of the form, it touches neither the form nor anything of the kernel again.
//
// Threads: main thread only.
#pragma once

#include "controlpanel/UMDPropertyPage.h"

class QTreeWidget;

namespace Ui {
class TControlsForm;
}

class TControlsForm final : public TMDPropertyForm {
  Q_OBJECT
 public:
  static constexpr const char16_t* kSource = u"Keyboard";

  explicit TControlsForm(TMDBasePropertyPage* page);
  ~TControlsForm() override;

  QTreeWidget* KeyListView() const;

  void FormShow();     // refills the list
  void Button2Click();  // "Perform"
  void BAssignClick();
  void BEraseClick();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  IMDKernel* Kernel() const;
  int SelectedIndex() const;
  void SetInputCell(int row, const char16_t* text);

  Ui::TControlsForm* ui;
};
