// mloader_page.h - the "Modules" page: the control panel's view of the module loader.
//
// The loader creates it as the second built-in page and hands itself over with MDM_SET_LOADER,
// sent straight to the page on the main thread. The same message id arriving through the
// dispatch relay (posted to the kernel by anyone) is ignored: only the loader may set the loader.
//
// Threads and locks as for every TMDBasePropertyPage (UMDPropertyPage.h).
#pragma once

#include <thread>

#include "controlpanel/UMDPropertyPage.h"

class TMDModuleLoader;

class TMDModuleLoaderPropertyPage final : public TMDBasePropertyPage {
 public:
  TMDModuleLoaderPropertyPage(IMDKernel* kernel, const TMDPageInfo* info);
  ~TMDModuleLoaderPropertyPage() override;

  HRESULT CreateForm(TMDPropertyForm*& form) override;
  void FormCreated() override;
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;
  HRESULT MDCALL GetPageTitle(const char16_t** title) override;

  TMDModuleLoader* Loader() const { return FLoader.load(std::memory_order_acquire); }

 private:
  std::atomic<TMDModuleLoader*> FLoader{nullptr};  // not owned; outlives the page's forms
  const std::thread::id FOwnerThread;               // the thread that created the page
};

// The page's record; CreatePage is CreateModulesPage.
extern const TMDPageInfo ModulesPageInfo;
HRESULT MDCALL CreateModulesPage(IUnknown* kernel, const GUID* iid, void** page);
