// UCPForm.h - the control panel window: one tab per shown property page and the buttons "Ok",
// "Cancel" and "Apply", which post their messages to the kernel.
//
// The host creates it once, after the main form; it starts hidden and lives until the program
// ends. The control panel service (TMDControlPanel) drives it through TMDControlPanelWindow.
// Each tab sheet is a native window whose handle (winId) is given to the page's ShowPage, so a
// page places its form there by handle alone, whether it comes from the host or a library.
//
// Threads: main thread only. Locks: FLock guards the tab list (AddTab, ClearTabs); it is taken
// after the panel's lock and before a page's (inside ShowPage).
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTabWidget>
#include <vector>

#include "UMDBase.h"
#include "controlpanel/UMDControlPanel.h"

namespace Ui {
class TCPForm;
}

// The page control of the window. It knows the client rectangle of its tab sheets also while
// the window is hidden (QTabWidget lays its sheets out only when it is shown).
class TMDPageControl : public QTabWidget {
  Q_OBJECT
 public:
  using QTabWidget::QTabWidget;
  // The sheets' area in the page control's coordinates.
  QRect SheetRect() const;
};

class TCPForm final : public QDialog, public TMDControlPanelWindow {
  Q_OBJECT
 public:
  explicit TCPForm(QWidget* parent = nullptr);  // FormCreate
  ~TCPForm() override;                          // FormDestroy

  // Where the buttons post; nil posts nothing.
  void SetKernel(IMDKernel* kernel);

  // TMDControlPanelWindow
  bool IsWindowVisible() const override;
  void BringToFront() override;
  void ShowWindow() override;
  void HideWindow() override;
  void AddTab(IMDPropertyPage* page) override;
  void ClearTabs() override;

  TMDPageControl* PageControl() const;
  int TabEntryCount() const { return static_cast<int>(FTabs.size()); }

 protected:
  void hideEvent(QHideEvent* event) override;  // FormHide

 private:
  void BOkClick();
  void BCancelClick();
  void BApplyClick();
  void Post(uint32_t msg, int32_t param1 = 0);

  struct TTab {
    QPointer<QWidget> Sheet;  // nil when the page could not show itself
    TComPtr<IMDPropertyPage> Page;
  };

  Ui::TCPForm* ui;
  TComPtr<IMDKernel> FKernel;
  TLock FLock;
  std::vector<TTab> FTabs;  // guarded by FLock
};
