#include "controlpanel/kernel_page.h"

#include "controlpanel/kernel_form.h"

const TMDPageInfo GeneralPageInfo{
    u"General",
    u"Basic Kernel Settings",
    u"https://midavo.example.org/",
    MDMakeVersion(1, 0, 0, 0),
    -1,
    1,
    &CreateGeneralPage,
    nullptr,
};

HRESULT MDCALL CreateGeneralPage(IUnknown* kernel, const GUID* iid, void** page) {
  return MDCreateHostPage<TMDKernelPropertyPage>(kernel, iid, page, GeneralPageInfo);
}

TMDKernelPropertyPage::TMDKernelPropertyPage(IMDKernel* kernel, const TMDPageInfo* info)
    : TMDBasePropertyPage(kernel, info) {}

TMDKernelPropertyPage::~TMDKernelPropertyPage() { ClosePage(); }

HRESULT TMDKernelPropertyPage::CreateForm(TMDPropertyForm*& form) {
  form = new TKernelProp(this);
  return S_OK;
}

HRESULT MDCALL TMDKernelPropertyPage::GetPageTitle(const char16_t** title) {
  if (!title) return E_POINTER;
  *title = u"General";
  return S_OK;
}
