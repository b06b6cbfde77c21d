#include "modules/UMDModuleLoader.h"

// ---------------------------------------------------------------------------------------------
// TBaseLibrary
// ---------------------------------------------------------------------------------------------

TBaseLibrary::TBaseLibrary(std::u16string path, void* application, MDHANDLE instance)
    : FPath(std::move(path)), FApplication(application), FInstance(instance) {}

std::unique_ptr<TBaseLibrary> TBaseLibrary::Create(const std::u16string& path, HRESULT* result,
                                                   IMDKernel* kernel) {
  void* application = nullptr;
  MDHANDLE instance = 0;
  if (kernel) {
    kernel->GetApplication(&application);
    kernel->GetInstance(&instance);
  }
  std::unique_ptr<TBaseLibrary> lib(new TBaseLibrary(path, application, instance));
  HRESULT hr = E_FAIL;
  if (FileExists(path.c_str())) {
    lib->FHandle = MDDynLib::Load(MDToUtf8(path));
    if (lib->FHandle) hr = lib->Bind();
  }
  if (result) *result = hr;
  return lib;
}

HRESULT TBaseLibrary::Bind() {
  try {
    if (auto init = reinterpret_cast<TMDApplicationInitFunc>(
            MDDynLib::Symbol(FHandle, "ApplicationInit")))
      init(FApplication, FInstance);

    auto moduleCount =
        reinterpret_cast<TMDGetCountFunc>(MDDynLib::Symbol(FHandle, "DLLGetModuleCount"));
    auto moduleInfo =
        reinterpret_cast<TMDGetModuleInfoFunc>(MDDynLib::Symbol(FHandle, "DLLGetModuleInfo"));
    auto pageCount =
        reinterpret_cast<TMDGetCountFunc>(MDDynLib::Symbol(FHandle, "DLLGetPropertyCount"));
    auto pageInfo =
        reinterpret_cast<TMDGetPageInfoFunc>(MDDynLib::Symbol(FHandle, "DLLGetPropertyPage"));
    const bool modulePair = moduleCount && moduleInfo;
    const bool pagePair = pageCount && pageInfo;
    if (!modulePair && !pagePair) return E_FAIL;

    if (modulePair) {
      int32_t count = 0;
      moduleCount(&count);
      // Each record is read into a zero-filled buffer of our own and kept once it came back,
      // so a library that raises half-way leaves the records obtained so far.
      for (int32_t i = 0; i < count; ++i) {
        TMDModuleInfo record{};
        moduleInfo(i, &record);
        FModules.push_back(record);
      }
    }
    if (pagePair) {
      int32_t count = 0;
      pageCount(&count);
      for (int32_t i = 0; i < count; ++i) {
        TMDPageInfo record{};
        pageInfo(i, &record);
        FPages.push_back(record);
      }
    }
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

TBaseLibrary::~TBaseLibrary() {
  // A library's clean-up must not stop the host's: failures are swallowed one by one.
  for (const TMDModuleInfo& record : FModules) {
    if (!record.Finalize) continue;
    try {
      record.Finalize();
    } catch (...) {
    }
  }
  for (const TMDPageInfo& record : FPages) {
    if (!record.Finalize) continue;
    try {
      record.Finalize();
    } catch (...) {
    }
  }
  if (FHandle) {
    if (auto uninit = reinterpret_cast<TMDApplicationUninitFunc>(
            MDDynLib::Symbol(FHandle, "ApplicationUninit"))) {
      try {
        uninit();
      } catch (...) {
      }
    }
    MDDynLib::Free(FHandle);
  }
}

void TBaseLibrary::GetModuleInfoAt(int32_t index, TMDModuleInfo* info) const {
  if (info && index >= 0 && index < ModuleCount()) *info = FModules[index];
}

void TBaseLibrary::GetPageInfoAt(int32_t index, TMDPageInfo* info) const {
  if (info && index >= 0 && index < PageCount()) *info = FPages[index];
}

void TBaseLibrary::Abandon() {
  // Stays loaded for good and is never called again.
  FHandle = nullptr;
  FModules.clear();
  FPages.clear();
}

// ---------------------------------------------------------------------------------------------
// TMDModuleLoader
// ---------------------------------------------------------------------------------------------

TMDModuleLoader::TMDModuleLoader(IMDKernel* kernel)
    : FKernel(kernel), FActions(TComPtr<IMDActionList>::Query(kernel)) {}

TMDModuleLoader::~TMDModuleLoader() {
  UnloadAll();
  FActions = nullptr;
  FControlPanel = nullptr;
  FKernel = nullptr;
}

HRESULT TMDModuleLoader::Init() {
  FControlPanel = TComPtr<IMDControlPanel>::Query(FKernel.Get());
  LoadLibraries();
  auto set = std::make_unique<TMDModuleSet>(this);
  set->Index = 0;
  set->Fill();
  FModuleSets.push_back(std::move(set));
  if (FControlPanel) AddPropertyPages();
  return S_OK;
}

void TMDModuleLoader::LoadLibraries() {
  const char16_t* dir = nullptr;
  if (!FKernel || MD_FAILED(FKernel->GetApplicationDir(&dir)) || !dir) return;
  std::u16string base = dir;
  // The root is "/"; everywhere else the directory has no trailing separator.
  FModulesFolder = (base == u"/" ? u"" : base) + u"/Modules";
  for (const std::string& path : MDDynLib::ScanFolder(MDToUtf8(FModulesFolder), ".so"))
    AddLibrary(MDToUtf16(path));
}

HRESULT TMDModuleLoader::AddLibrary(const std::u16string& path) {
  if (LibraryCount() >= kMaxLibraries) return E_OUTOFMEMORY;
  const size_t libraries = FLibraries.size();
  const size_t modules = FModulePool.size();
  const size_t pages = FPagePool.size();
  try {
    HRESULT result = E_FAIL;
    FLibraries.push_back(TBaseLibrary::Create(path, &result, FKernel.Get()));
    if (MD_FAILED(result)) {
      FLibraries.pop_back();  // lets the library clean up and unloads it
      return E_FAIL;
    }
    TBaseLibrary& lib = *FLibraries.back();
    for (int32_t i = 0; i < lib.ModuleCount(); ++i) {
      TMDModuleInfo record{};
      lib.GetModuleInfoAt(i, &record);
      FModulePool.push_back(record);
      if (record.RegisterActions) record.RegisterActions(FActions.Get());
    }
    for (int32_t i = 0; i < lib.PageCount(); ++i) {
      TMDPageInfo record{};
      lib.GetPageInfoAt(i, &record);
      FPagePool.push_back(record);
    }
    return S_OK;
  } catch (...) {
    // A library that raised while being added is dropped from the lists without calling it
    // again: it stays loaded, its records are gone.
    if (FLibraries.size() > libraries) {
      FLibraries.back()->Abandon();
      FLibraries.resize(libraries);
    }
    FModulePool.resize(modules);
    FPagePool.resize(pages);
    return E_UNEXPECTED;
  }
}

void TMDModuleLoader::AddPropertyPages() {
  IMDPropertyPage* modulesPage = nullptr;
  auto create = [&](const TMDPageInfo& record, BOOL32 optional) -> IMDPropertyPage* {
    if (!record.CreatePage) return nullptr;
    try {
      TComPtr<IMDPropertyPage> page;
      const HRESULT hr =
          record.CreatePage(FKernel.Get(), &IID_IMDPropertyPage, page.PutVoid());
      if (MD_FAILED(hr) || !page) return nullptr;
      if (MD_FAILED(FControlPanel->AddPage(page.Get(), optional))) return nullptr;
      return page.Get();  // the control panel holds it now
    } catch (...) {
      return nullptr;
    }
  };
  for (size_t i = 0; i < FBuiltinPages.size(); ++i) {
    IMDPropertyPage* page = create(FBuiltinPages[i], MD_FALSE);
    // The second built-in page is the Modules page, which is handed the loader.
    if (i == 1) modulesPage = page;
  }
  for (const TMDPageInfo& record : FPagePool) create(record, MD_TRUE);
  if (modulesPage) {
    TMDMessage msg{};
    msg.Msg = MDM_SET_LOADER;
    msg.Param4 = reinterpret_cast<uintptr_t>(this);
    modulesPage->HandleMessage(&msg);
  }
}

HRESULT TMDModuleLoader::ActivateModuleSet(int32_t index) {
  if (index < 0 || index >= ModuleSetCount() || FModulePool.empty()) return E_FAIL;
  const TMDModuleSet* set = nullptr;
  for (const auto& candidate : FModuleSets)
    if (candidate->Index == index) {
      set = candidate.get();
      break;
    }
  if (!set) return E_FAIL;
  for (int32_t i = 0; i < set->Count(); ++i) {
    TMDModuleInfo record{};
    set->GetModuleInfoAt(i, &record);
    if (!record.CreateModule) continue;
    try {
      TComPtr<IMDModule> module;
      const HRESULT hr = record.CreateModule(FKernel.Get(), &IID_IMDModule, module.PutVoid());
      if (MD_FAILED(hr) || !module) continue;
      module->SetState(KS_READY);
      FKernel->RegisterModule(module.Get());
    } catch (...) {
      // A module that cannot be created is skipped.
    }
  }
  return S_OK;
}

HRESULT TMDModuleLoader::SetState(int32_t state) {
  FState = state;
  return S_OK;
}

HRESULT TMDModuleLoader::UnloadAll() {
  // No library page may outlive its library.
  if (FControlPanel) FControlPanel->RemoveAllPages();
  FModuleSets.clear();
  FModulePool.clear();
  FPagePool.clear();
  for (auto& lib : FLibraries) lib.reset();  // in load order
  FLibraries.clear();
  return S_OK;
}

void TMDModuleLoader::GetModuleInfoAt(int32_t index, TMDModuleInfo* info) const {
  if (info && index >= 0 && index < ModulePoolCount()) *info = FModulePool[index];
}

void TMDModuleLoader::GetPageInfoAt(int32_t index, TMDPageInfo* info) const {
  if (info && index >= 0 && index < PagePoolCount()) *info = FPagePool[index];
}
