// UMDControlPanel.h - the control panel service: the registry of property pages, the two
// control panel actions, and the relay of every dispatched message to the pages.
//
// The window (TCPForm, Qt) is attached through the TMDControlPanelWindow interface, so the
// service itself stays free of Qt.
//
// Threads
//   - HandleMessage runs on the kernel's dispatch thread. For the show and hide actions it only
//     calls OnShowRequest, whose handler (the main form) hands the work to the main thread.
//   - Show, Hide, SetForm, SetState and the page registration run on the main thread.
// Locks: FLock guards the page list. Order: panel lock, then the window's lock, then a page's
// lock (taken inside ShowPage). Show holds the panel lock while it builds the tabs, so a message
// relayed meanwhile waits.
#pragma once

#include <vector>

#include "UMDBase.h"

// What the service needs of its window. Main thread only.
class TMDControlPanelWindow {
 public:
  virtual bool IsWindowVisible() const = 0;
  virtual void BringToFront() = 0;
  virtual void ShowWindow() = 0;
  virtual void HideWindow() = 0;
  // Creates a tab for the page and lets it show its form there; a failing page gets no tab.
  virtual void AddTab(IMDPropertyPage* page) = 0;
  // Closes every page's form and drops the tabs.
  virtual void ClearTabs() = 0;

 protected:
  ~TMDControlPanelWindow() = default;
};

class TMDControlPanel final : public TMDComImpl<TBaseObject, IMDControlPanel> {
 public:
  // Called as (panel, action code) on the dispatch thread for a show or hide action.
  using TShowRequest = void (*)(void* context, TMDControlPanel* panel, int32_t code);

  TMDControlPanel(IMDKernel* kernel, TShowRequest onShowRequest, void* context);
  ~TMDControlPanel() override;

  void SetForm(TMDControlPanelWindow* form) { FForm = form; }
  TMDControlPanelWindow* Form() const { return FForm; }
  // Main thread.
  void Show();
  void Hide();
  int32_t PageCount();

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;
  HRESULT MDCALL SetState(int32_t state) override;
  HRESULT MDCALL AddPage(IMDPropertyPage* page, BOOL32 optional) override;
  HRESULT MDCALL RemovePage(IMDPropertyPage* page) override;
  HRESULT MDCALL RemoveAllPages() override;

 private:
  struct TEntry {
    TComPtr<IMDPropertyPage> Page;
    bool Optional;
  };

  TComPtr<IMDKernel> FKernel;
  TComPtr<IMDSettings> FSettings;
  TMDControlPanelWindow* FForm = nullptr;  // not owned
  TLock FLock;
  int32_t FState = 0;
  std::vector<TEntry> FPages;  // guarded by FLock
  TShowRequest FOnShowRequest;
  void* FContext;
};
