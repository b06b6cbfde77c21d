// UMDModuleLoader.h - plug-in libraries and the module loader.
//
// TBaseLibrary stands for one loaded plug-in library: it binds the library through its exports,
// keeps copies of its module and page records, and at the end lets the library clean up and
// unloads it. The record copies point into the library: they are valid only while it is loaded.
//
// Export protocol, in the order the host calls it:
//   ApplicationInit(application, instance)        once, right after loading, even if binding fails
//   DLLGetModuleCount(&n), DLLGetModuleInfo(i, &r) for i = 0 .. n-1    (a pair)
//   DLLGetPropertyCount(&n), DLLGetPropertyPage(i, &r) for i = 0 .. n-1 (a pair)
//   ... RegisterActions / CreatePage / CreateModule of the records ...
//   Finalize of every module record, then of every page record
//   ApplicationUninit()                            then the library is unloaded
// At least one complete pair is required. A count below 1 binds the library with no records of
// that kind.
//
// TMDModuleLoader turns the libraries of <current dir>/Modules into a module pool, a page pool,
// one module set and property pages, activates the set once the kernel is ready, and at the
// end removes the pages and unloads the libraries in load order.
//
// Threads: everything here runs on the host's main thread; no lock is taken. Modules created
// here receive messages on the kernel's dispatch thread from the moment they are registered.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "UMDBase.h"
#include "modules/UMDDynLib.h"
#include "modules/UMDModuleSet.h"

class TBaseLibrary {
 public:
  // Loads and binds `path`. Always returns the object; *result is S_OK when the library is
  // loaded and bound, E_FAIL otherwise (the caller frees the object). The kernel supplies the
  // application object and instance handle for ApplicationInit (nil gives zeros).
  static std::unique_ptr<TBaseLibrary> Create(const std::u16string& path, HRESULT* result,
                                              IMDKernel* kernel);
  virtual ~TBaseLibrary();
  TBaseLibrary(const TBaseLibrary&) = delete;
  TBaseLibrary& operator=(const TBaseLibrary&) = delete;

  virtual HRESULT Bind();

  void GetModuleInfoAt(int32_t index, TMDModuleInfo* info) const;
  void GetPageInfoAt(int32_t index, TMDPageInfo* info) const;
  int32_t ModuleCount() const { return static_cast<int32_t>(FModules.size()); }
  int32_t PageCount() const { return static_cast<int32_t>(FPages.size()); }
  const std::u16string& Path() const { return FPath; }
  bool Loaded() const { return FHandle != nullptr; }
  // Forgets the library without calling it again or unloading it (for a library that raised
  // while the loader was adding it).
  void Abandon();

 protected:
  TBaseLibrary(std::u16string path, void* application, MDHANDLE instance);

 private:
  std::u16string FPath;
  MDDynLib::THandle FHandle = nullptr;
  std::vector<TMDModuleInfo> FModules;
  std::vector<TMDPageInfo> FPages;
  void* FApplication;
  MDHANDLE FInstance;
};

class TMDModuleLoader final : public TBaseObject {
 public:
  static constexpr int32_t kMaxLibraries = 20;

  explicit TMDModuleLoader(IMDKernel* kernel);
  ~TMDModuleLoader() override;  // UnloadAll

  // Binds every library of the Modules folder, builds module set 0 and, when the kernel has a
  // control panel, creates the property pages and adds them to it.
  HRESULT Init();
  HRESULT ActivateModuleSet(int32_t index);
  HRESULT SetState(int32_t state);
  HRESULT AddLibrary(const std::u16string& path);
  HRESULT UnloadAll();

  // The host's own pages (General, Modules, Controls), created first by AddPropertyPages.
  // The shell sets them before Init.
  void SetBuiltinPages(std::vector<TMDPageInfo> pages) { FBuiltinPages = std::move(pages); }

  void GetModuleInfoAt(int32_t index, TMDModuleInfo* info) const;
  void GetPageInfoAt(int32_t index, TMDPageInfo* info) const;
  int32_t ModulePoolCount() const { return static_cast<int32_t>(FModulePool.size()); }
  int32_t PagePoolCount() const { return static_cast<int32_t>(FPagePool.size()); }
  int32_t LibraryCount() const { return static_cast<int32_t>(FLibraries.size()); }
  const TBaseLibrary* LibraryAt(int32_t index) const { return FLibraries.at(index).get(); }
  const TMDModuleSet* ModuleSetAt(int32_t index) const { return FModuleSets.at(index).get(); }
  int32_t ModuleSetCount() const { return static_cast<int32_t>(FModuleSets.size()); }
  const std::u16string& ModulesFolder() const { return FModulesFolder; }
  int32_t State() const { return FState; }

 private:
  void LoadLibraries();
  void AddPropertyPages();

  TComPtr<IMDKernel> FKernel;
  TComPtr<IMDActionList> FActions;
  TComPtr<IMDControlPanel> FControlPanel;
  std::u16string FModulesFolder;
  int32_t FState = 0;
  std::vector<std::unique_ptr<TBaseLibrary>> FLibraries;
  std::vector<TMDModuleInfo> FModulePool;
  std::vector<TMDPageInfo> FPagePool;
  std::vector<std::unique_ptr<TMDModuleSet>> FModuleSets;
  std::vector<TMDPageInfo> FBuiltinPages;
};
