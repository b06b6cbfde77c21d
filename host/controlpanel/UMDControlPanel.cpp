#include "controlpanel/UMDControlPanel.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace {
const TMDActionItem kActions[] = {
    {u"Show Control Panel", MDA_SHOW_CONTROL_PANEL, MDA_SHOW_CONTROL_PANEL},
    {u"Hide Control Panel", MDA_HIDE_CONTROL_PANEL, MDA_HIDE_CONTROL_PANEL},
};

void PauseBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }
}  // namespace

TMDControlPanel::TMDControlPanel(IMDKernel* kernel, TShowRequest onShowRequest, void* context)
    : FKernel(kernel),
      FSettings(TComPtr<IMDSettings>::Query(kernel)),
      FOnShowRequest(onShowRequest),
      FContext(context) {
  if (auto actions = TComPtr<IMDActionList>::Query(kernel))
    for (const TMDActionItem& item : kActions) actions->AddAction(&item);
}

TMDControlPanel::~TMDControlPanel() {
  FSettings = nullptr;
  FKernel = nullptr;
  FForm = nullptr;
  std::lock_guard<TLock> guard(FLock);
  FPages.clear();
}

HRESULT MDCALL TMDControlPanel::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDControlPanel || iid == IID_IMDMessageSink)
      return MDHandOut<IMDControlPanel>(this, obj);
    return TBaseObject::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TMDControlPanel::HandleMessage(const TMDMessage* msg) {
  if (!msg) return S_OK;
  if (msg->Msg == MDM_ACTION &&
      (msg->Param1 == MDA_SHOW_CONTROL_PANEL || msg->Param1 == MDA_HIDE_CONTROL_PANEL) &&
      FOnShowRequest)
    FOnShowRequest(FContext, this, msg->Param1);
  std::lock_guard<TLock> guard(FLock);
  for (const TEntry& entry : FPages) entry.Page->HandleMessage(msg);
  return S_OK;
}

HRESULT MDCALL TMDControlPanel::SetState(int32_t state) {
  FState = state;
  if (state == KS_STOPPING) {
    Hide();
    RemoveAllPages();
  }
  return S_OK;
}

HRESULT MDCALL TMDControlPanel::AddPage(IMDPropertyPage* page, BOOL32 optional) {
  if (!page) return E_POINTER;
  std::lock_guard<TLock> guard(FLock);
  const size_t before = FPages.size();
  try {
    FPages.push_back({TComPtr<IMDPropertyPage>(page), optional != 0});
    page->SetState(KS_READY);
    return S_OK;
  } catch (...) {
    FPages.resize(before);
    return E_FAIL;
  }
}

HRESULT MDCALL TMDControlPanel::RemovePage(IMDPropertyPage* page) {
  if (!page) return E_POINTER;
  std::lock_guard<TLock> guard(FLock);
  try {
    for (auto it = FPages.begin(); it != FPages.end(); ++it) {
      if (it->Page.Get() != page) continue;
      page->ClosePage();
      while (page->IsPageCreated() != 0) PauseBriefly();
      FPages.erase(it);
      return S_OK;
    }
    return S_FALSE;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT MDCALL TMDControlPanel::RemoveAllPages() {
  std::lock_guard<TLock> guard(FLock);
  if (FPages.empty()) return S_FALSE;
  try {
    for (const TEntry& entry : FPages) entry.Page->ClosePage();
    for (;;) {
      bool anyOpen = false;
      for (const TEntry& entry : FPages)
        if (entry.Page->IsPageCreated() != 0) anyOpen = true;
      if (!anyOpen) break;
      PauseBriefly();
    }
    std::vector<TEntry> released;
    released.swap(FPages);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

int32_t TMDControlPanel::PageCount() {
  std::lock_guard<TLock> guard(FLock);
  return static_cast<int32_t>(FPages.size());
}

void TMDControlPanel::Show() {
  if (!FForm) return;
  if (FForm->IsWindowVisible()) {
    FForm->BringToFront();
    return;
  }
  {
    std::lock_guard<TLock> guard(FLock);
    for (const TEntry& entry : FPages) {
      bool shown = true;
      if (entry.Optional) {
        TMDPageInfo info{};
        entry.Page->GetPageInfo(&info);
        std::u16string key = info.Name ? info.Name : u"";
        StripSpaces(key);
        BOOL32 visible = MD_TRUE;
        if (FSettings)
          FSettings->ReadBool(u"ControlPanel.PropertyPages", key.c_str(), MD_TRUE, &visible);
        shown = visible != 0;
      }
      if (shown) FForm->AddTab(entry.Page.Get());
    }
  }
  FForm->ShowWindow();
}

void TMDControlPanel::Hide() {
  if (!FForm) return;
  FForm->HideWindow();
  FForm->ClearTabs();
}
