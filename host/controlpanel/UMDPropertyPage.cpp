#include "controlpanel/UMDPropertyPage.h"

#include <QWindow>
#include <algorithm>
#include <mutex>

// ---------------------------------------------------------------------------------------------
// TMDPropertyForm
// ---------------------------------------------------------------------------------------------

TMDPropertyForm::TMDPropertyForm(TMDBasePropertyPage* page)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), FPage(page) {}

TMDPropertyForm::~TMDPropertyForm() {
  // Freed by someone other than its page (its parent window went first): the page forgets it.
  if (FPage) FPage->FormDestroyed(this);
}

// ---------------------------------------------------------------------------------------------
// TMDBasePropertyPage
// ---------------------------------------------------------------------------------------------

TMDBasePropertyPage::TMDBasePropertyPage(IMDKernel* kernel, const TMDPageInfo* info)
    : FKernel(kernel),
      FSettings(TComPtr<IMDSettings>::Query(kernel)),
      FLanguage(TComPtr<IMDLanguage>::Query(kernel)) {
  if (info) FPageInfo = *info;
}

TMDBasePropertyPage::~TMDBasePropertyPage() {
  ClosePage();
  FLanguage = nullptr;
  FSettings = nullptr;
  FKernel = nullptr;
}

HRESULT TMDBasePropertyPage::CreateForm(TMDPropertyForm*& form) {
  form = nullptr;
  return static_cast<HRESULT>(0x80004001u);  // E_NOTIMPL
}

void TMDBasePropertyPage::Apply() {
  std::lock_guard<TLock> guard(FLock);
  if (FForm) FForm->ApplyChanges();
}

HRESULT TMDBasePropertyPage::PostPageNotify() {
  if (!FKernel) return E_FAIL;
  TMDMessage msg{};
  msg.Msg = MDM_PAGE_NOTIFY;
  return FKernel->HandleMessage(&msg);
}

HRESULT MDCALL TMDBasePropertyPage::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDPropertyPage || iid == IID_IMDMessageSink)
      return MDHandOut<IMDPropertyPage>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TMDBasePropertyPage::HandleMessage(const TMDMessage* msg) {
  if (!msg) return S_OK;
  try {
    if (msg->Msg == MDM_APPLY)
      Apply();
    else if (msg->Msg == MDM_UPDATE)
      OnMessageHook();
  } catch (...) {
    // A form that cannot store its settings stores nothing; the broadcast goes on.
  }
  return S_OK;
}

HRESULT MDCALL TMDBasePropertyPage::GetPageInfo(TMDPageInfo* info) {
  if (!info) return E_POINTER;
  *info = FPageInfo;
  return S_OK;
}

HRESULT MDCALL TMDBasePropertyPage::SetState(int32_t state) {
  FState.store(state, std::memory_order_release);
  return S_OK;
}

HRESULT MDCALL TMDBasePropertyPage::GetPageTitle(const char16_t** title) {
  if (!title) return E_POINTER;
  *title = u"Not Implemented";
  return S_OK;
}

HRESULT MDCALL TMDBasePropertyPage::ClosePage() {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FLock);
    FreeForm_locked();
    return S_OK;
  });
}

int32_t MDCALL TMDBasePropertyPage::IsPageCreated() {
  return FCreated.load(std::memory_order_acquire) ? 1 : 0;
}

HRESULT MDCALL TMDBasePropertyPage::ShowPage(MDHANDLE parent, const TMDRect* rect) {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FLock);
    if (parent == 0) {
      if (FForm) {
        BeforeFormFree();
        FreeForm_locked();
      }
    } else if (!FForm) {
      try {
        CreateForm(FForm);
      } catch (...) {
        FreeForm_locked();  // whatever was half made goes
      }
      FCreated.store(FForm != nullptr, std::memory_order_release);
    }
    if (!FForm) return E_FAIL;

    if (rect && rect->Left == 0 && rect->Top == 0 && rect->Right == 0 && rect->Bottom == 0) {
      FForm->hide();
      Detach_locked();
    }
    BeforeShow();
    if (!rect) {
      FForm->show();
      FForm->raise();
      return S_OK;
    }
    BeforePlace();
    const QRect area(rect->Left, rect->Top, std::max(0, rect->Right - rect->Left),
                     std::max(0, rect->Bottom - rect->Top));
    if (FParentHandle != parent) {
      FForm->hide();
      Detach_locked();
      if (!AttachTo_locked(parent)) return E_FAIL;
      FForm->setGeometry(area);
      FForm->show();
    } else {
      FForm->setGeometry(area);
      FForm->show();
      FForm->raise();
    }
    return S_OK;
  });
}

bool TMDBasePropertyPage::AttachTo_locked(MDHANDLE parent) {
  if (QWidget* host = QWidget::find(static_cast<WId>(parent))) {
    FForm->setParent(host);
    FParentHandle = parent;
    return true;
  }
  // A window of another toolkit or process: give the form a native window inside it.
  std::unique_ptr<QWindow> foreign(QWindow::fromWinId(static_cast<WId>(parent)));
  if (!foreign) return false;
  FForm->setParent(nullptr, Qt::Window | Qt::FramelessWindowHint);
  FForm->winId();
  if (QWindow* own = FForm->windowHandle()) own->setParent(foreign.get());
  FForeign = std::move(foreign);
  FParentHandle = parent;
  return true;
}

void TMDBasePropertyPage::Detach_locked() {
  if (!FForm) return;
  if (FForeign) {
    if (QWindow* own = FForm->windowHandle()) own->setParent(nullptr);
    FForeign.reset();
  }
  if (FForm->parentWidget()) FForm->setParent(nullptr, Qt::Window | Qt::FramelessWindowHint);
  FParentHandle = 0;
}

void TMDBasePropertyPage::FreeForm_locked() {
  TMDPropertyForm* form = FForm;
  if (form) {
    if (FForeign) {
      if (QWindow* own = form->windowHandle()) own->setParent(nullptr);
    }
    form->FPage = nullptr;
  }
  FForm = nullptr;
  FParentHandle = 0;
  FCreated.store(false, std::memory_order_release);
  delete form;
  FForeign.reset();
}

void TMDBasePropertyPage::FormDestroyed(TMDPropertyForm* form) {
  std::lock_guard<TLock> guard(FLock);
  if (FForm != form) return;
  FForm = nullptr;
  FParentHandle = 0;
  FForeign.reset();
  FCreated.store(false, std::memory_order_release);
}
