// kernel_page.h - the "General" page: the control panel's first tab, for basic kernel settings.
//
// Threads and locks as for every TMDBasePropertyPage (UMDPropertyPage.h).
#pragma once

#include "controlpanel/UMDPropertyPage.h"

class TMDKernelPropertyPage final : public TMDBasePropertyPage {
 public:
  TMDKernelPropertyPage(IMDKernel* kernel, const TMDPageInfo* info);
  ~TMDKernelPropertyPage() override;

  HRESULT CreateForm(TMDPropertyForm*& form) override;
  HRESULT MDCALL GetPageTitle(const char16_t** title) override;
};

// The page's record; CreatePage is CreateGeneralPage.
extern const TMDPageInfo GeneralPageInfo;
HRESULT MDCALL CreateGeneralPage(IUnknown* kernel, const GUID* iid, void** page);
