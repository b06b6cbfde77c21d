// ctrls_page.h - the "Controls" page: every action with its keyboard binding; perform, assign
// and erase.
//
// The page works on the "Keyboard" source only. Its form (TControlsForm) talks to the action
// list and the binder, which it asks the kernel for each time it needs them. To assign a key
// it opens the "Assign Input" pop-up (TControlsPopUpForm), which hands the next key press to
// the kernel's IMDInputSink; the binder binds it and posts MDM_INPUT_ASSIGNED, on which this
// page ends the pop-up's modal wait.
//
// Threads: as every TMDBasePropertyPage (UMDPropertyPage.h). HandleMessage runs on the
// dispatch thread and only asks the pop-up to close (ctrls_popupform.h). ClosePage and the
// freeing of the form (ShowPage with no parent) run on the main thread; they close a waiting
// pop-up first, and the form's Assign handler notices that its form is gone when the wait ends.
#pragma once

#include "controlpanel/UMDPropertyPage.h"

class TMDControlsPropertyPage final : public TMDBasePropertyPage {
 public:
  TMDControlsPropertyPage(IMDKernel* kernel, const TMDPageInfo* info);
  ~TMDControlsPropertyPage() override;

  HRESULT CreateForm(TMDPropertyForm*& form) override;
  void BeforeFormFree() override;
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;
  HRESULT MDCALL GetPageTitle(const char16_t** title) override;
  HRESULT MDCALL ClosePage() override;
};
