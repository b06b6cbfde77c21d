// UMDPropertyPage.h - the base of the host's own property pages and of their forms.
//
// A page is one tab of the control panel window. TMDBasePropertyPage implements IMDPropertyPage
// for the host's pages (General, Modules, Controls): it keeps the kernel and the services it
// got from it, a copy of its page record, and its form, which it creates when it is first shown
// and frees when it is closed. TMDPropertyForm is the base of those forms.
//
// Placing a form in a native window handle
//   ShowPage receives the native handle (QWidget::winId()) of the window the form is to live in.
//   When that handle belongs to a widget of this process (QWidget::find), which is always the
//   case for the control panel's tab sheets, the form simply becomes a child widget of it: this
//   works on every Qt platform, offscreen included, and a page of a plug-in library needs nothing
//   but Qt to do the same (find the widget by handle, setParent, setGeometry, show). Any other
//   handle is treated as a foreign native window: the form gets a native window of its own whose
//   parent is QWindow::fromWinId(handle); this needs a platform with foreign windows (xcb).
//
// Threads
//   - ShowPage, ClosePage, GetPageTitle, SetState, the factory and destruction run on the main
//     thread, like every use of the form.
//   - HandleMessage, and with it Apply and the form's ApplyChanges, runs on the kernel's dispatch
//     thread (the control panel relays dispatched messages to its pages there).
//   - IsPageCreated may be called from any thread.
// Locks: FLock guards the form: its creation, placement and destruction (main thread) and
//   Apply (dispatch thread), so a form is never freed while it applies. The control panel
//   takes its own lock before a page's, never the other way round.
#pragma once

#include <QWidget>
#include <atomic>
#include <memory>

#include "UMDBase.h"

class QWindow;
class TMDBasePropertyPage;

// The base form of the host's pages: borderless, created without a parent (the application
// owns it) and placed into a tab sheet by its page.
class TMDPropertyForm : public QWidget {
  Q_OBJECT
 public:
  // The page is known before the subclass builds its controls.
  explicit TMDPropertyForm(TMDBasePropertyPage* page);
  ~TMDPropertyForm() override;

  TMDBasePropertyPage* Page() const { return FPage; }
  // Stores what the user changed. Runs on the dispatch thread under the page's lock; read
  // nothing from the widgets here, only state the form keeps for it.
  virtual void ApplyChanges() {}

 private:
  friend class TMDBasePropertyPage;
  TMDBasePropertyPage* FPage;  // not counted; cleared when the page lets go of the form
};

class TMDBasePropertyPage : public TMDComImpl<TMDComObject, IMDPropertyPage> {
 public:
  TMDBasePropertyPage(IMDKernel* kernel, const TMDPageInfo* info);
  ~TMDBasePropertyPage() override;

  // --- overridable steps --------------------------------------------------------------------
  // Makes the form and stores it in `form` (the page's form field). The base makes none.
  virtual HRESULT CreateForm(TMDPropertyForm*& form);
  virtual void BeforeShow() {}
  virtual void BeforeFormFree() {}
  // Called by a subclass's CreateForm once the form exists.
  virtual void FormCreated() {}
  virtual void BeforePlace() {}
  // Lets the form store its changes (dispatch thread).
  virtual void Apply();
  virtual void OnMessageHook() {}
  // Posts MDM_PAGE_NOTIFY to the kernel.
  virtual HRESULT PostPageNotify();

  // --- IMDPropertyPage ----------------------------------------------------------------------
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;
  HRESULT MDCALL GetPageInfo(TMDPageInfo* info) override;
  HRESULT MDCALL SetState(int32_t state) override;
  HRESULT MDCALL ShowPage(MDHANDLE parent, const TMDRect* rect) override;
  HRESULT MDCALL GetPageTitle(const char16_t** title) override;
  HRESULT MDCALL ClosePage() override;
  int32_t MDCALL IsPageCreated() override;

  IMDKernel* Kernel() const { return FKernel.Get(); }
  IMDSettings* Settings() const { return FSettings.Get(); }
  int32_t State() const { return FState.load(std::memory_order_acquire); }
  // The form while it exists. Main thread, or under the page's lock.
  TMDPropertyForm* Form() const { return FForm; }

 protected:
  TLock FLock;

 private:
  friend class TMDPropertyForm;
  void FreeForm_locked();
  void Detach_locked();
  bool AttachTo_locked(MDHANDLE parent);
  void FormDestroyed(TMDPropertyForm* form);

  TComPtr<IMDKernel> FKernel;
  TComPtr<IMDSettings> FSettings;
  TComPtr<IMDLanguage> FLanguage;
  TMDPageInfo FPageInfo{};
  std::atomic<int32_t> FState{0};
  // --- guarded by FLock ---------------------------------------------------------------------
  TMDPropertyForm* FForm = nullptr;
  MDHANDLE FParentHandle = 0;         // the window the form was last placed in; 0 detached
  std::unique_ptr<QWindow> FForeign;  // stands for a foreign parent window
  std::atomic<bool> FCreated{false};  // FForm != nullptr, readable without the lock
};

// The factory shape of a host page record: (kernel object, iid, out page). Asks `owner` for
// IMDKernel, builds the page with `info`, hands out `iid`; on failure the page is destroyed.
template <class TPage>
HRESULT MDCreateHostPage(IUnknown* owner, const GUID* iid, void** obj, const TMDPageInfo& info) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (!owner) return E_FAIL;
  if (!iid) return E_POINTER;
  return MDGuard(
      [&]() -> HRESULT {
        auto kernel = TComPtr<IMDKernel>::Query(owner);
        if (!kernel) return E_FAIL;
        auto page = std::make_unique<TPage>(kernel.Get(), &info);
        const HRESULT hr = page->QueryInterface(*iid, obj);
        if (MD_SUCCEEDED(hr)) page.release();  // the caller's reference owns it now
        return hr;
      },
      E_OUTOFMEMORY);
}
