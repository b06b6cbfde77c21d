#include "modules/mloader_page.h"

#include "modules/mloader_form.h"

const TMDPageInfo ModulesPageInfo{
    u"Modules",
    u"ModuleLoader Settings",
    u"https://midavo.example.org/",
    MDMakeVersion(1, 0, 0, 0),
    -1,
    1,
    &CreateModulesPage,
    nullptr,
};

HRESULT MDCALL CreateModulesPage(IUnknown* kernel, const GUID* iid, void** page) {
  return MDCreateHostPage<TMDModuleLoaderPropertyPage>(kernel, iid, page, ModulesPageInfo);
}

TMDModuleLoaderPropertyPage::TMDModuleLoaderPropertyPage(IMDKernel* kernel,
                                                         const TMDPageInfo* info)
    : TMDBasePropertyPage(kernel, info), FOwnerThread(std::this_thread::get_id()) {}

TMDModuleLoaderPropertyPage::~TMDModuleLoaderPropertyPage() { ClosePage(); }

HRESULT TMDModuleLoaderPropertyPage::CreateForm(TMDPropertyForm*& form) {
  form = new TMLoaderPage(this);
  FormCreated();
  return S_OK;
}

void TMDModuleLoaderPropertyPage::FormCreated() {
  if (auto* form = static_cast<TMLoaderPage*>(Form())) form->SetLoader(Loader());
}

HRESULT MDCALL TMDModuleLoaderPropertyPage::HandleMessage(const TMDMessage* msg) {
  if (msg && msg->Msg == MDM_SET_LOADER) {
    if (std::this_thread::get_id() == FOwnerThread)
      FLoader.store(reinterpret_cast<TMDModuleLoader*>(msg->Param4), std::memory_order_release);
    return S_OK;
  }
  return TMDBasePropertyPage::HandleMessage(msg);
}

HRESULT MDCALL TMDModuleLoaderPropertyPage::GetPageTitle(const char16_t** title) {
  if (!title) return E_POINTER;
  *title = u"Modules";
  return S_OK;
}
