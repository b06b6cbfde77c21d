#include "input/ctrls_page.h"

#include "input/ctrls_form.h"
#include "input/ctrls_popupform.h"

TMDControlsPropertyPage::TMDControlsPropertyPage(IMDKernel* kernel, const TMDPageInfo* info)
    : TMDBasePropertyPage(kernel, info) {}

TMDControlsPropertyPage::~TMDControlsPropertyPage() { ClosePage(); }

HRESULT TMDControlsPropertyPage::CreateForm(TMDPropertyForm*& form) {
  form = new TControlsForm(this);
  FormCreated();
  return S_OK;
}

void TMDControlsPropertyPage::BeforeFormFree() {
  // The control panel frees the form without ClosePage when it drops its tabs.
  MDAbandonControlsAssignment(Kernel());
}

HRESULT MDCALL TMDControlsPropertyPage::HandleMessage(const TMDMessage* msg) {
  if (msg && msg->Msg == MDM_INPUT_ASSIGNED) MDCloseControlsPopUp();
  return TMDBasePropertyPage::HandleMessage(msg);
}

HRESULT MDCALL TMDControlsPropertyPage::GetPageTitle(const char16_t** title) {
  if (!title) return E_POINTER;
  *title = u"Controls";
  return S_OK;
}

HRESULT MDCALL TMDControlsPropertyPage::ClosePage() {
  MDAbandonControlsAssignment(Kernel());
  return TMDBasePropertyPage::ClosePage();
}
