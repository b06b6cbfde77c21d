// UMDActionInput.h - the action input binder: input modules, their binding tables and the
// input libraries.
//
// TMDActionInput owns every input module of the host: the keyboard module (always module 0)
// and the modules that input libraries of <current dir>/Modules describe. Each module has a
// binding table (TMDInputConfig) that maps every action of the action list to at most one
// input name of the module's source, stored in settings.ini under "Input.<source>" with the
// action's 16-bit code in decimal as key. A reported input that is bound posts MDM_ACTION with
// the action's code; while an assignment is pending (BeginAssign) the next input of the pending
// source is bound instead, saved, and MDM_INPUT_ASSIGNED is posted. Key-down data handed to
// IMDInputSink goes to every module that accepts it.
//
// Input library exports, in the order the binder calls them:
//   ApplicationInit(application, instance)   optional; first, right after loading
//   DLLGetInputCount(&count)                 required; once
//   DLLGetInputInfo(index, &info)            required; for index 0 .. count-1, zero-filled buffer
// A library without the two required exports is unloaded again at once, and so is one that
// describes no input. An input library is only ever unloaded: it gets no ApplicationUninit.
// Each description's CreateInput is called with the binder's IUnknown as owner and
// IID_IMDInputModule; the module must accept Shutdown, which the binder calls just before it
// lets the module go, and may answer IMDInputSink.
//
// Threads
//   - LoadInputs, UnloadInputs, construction and destruction: the host's main thread.
//   - IMDActionInput and IMDInputSink: any thread. In the host the Controls page and the key
//     presses it hands over run on the main thread, but an input module may report from a
//     thread of its own as soon as its factory returned, while LoadInputs still adds modules.
//   - Posted messages are delivered later on the kernel's dispatch thread, never inside a call.
// Locks (re-entrant; order FDeliveryLock, then FLock)
//   - FDeliveryLock serialises key deliveries (HandleInput) and is held while the modules are
//     called; it guards reading the module list for a delivery.
//   - FLock guards the tables and their rows, the pending assignment and the texts handed out
//     by GetBinding; ReportInput, GetBinding, SetBinding and BeginAssign hold it for their
//     whole body (a binding's settings rewrite included, so the file always matches the rows).
//   - The entry list changes only under both locks, so holding either one is enough to read it.
//   - Modules are created and shut down with no lock held, so a module may report from its
//     own thread while its factory or its Shutdown runs.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "UMDBase.h"
#include "modules/UMDDynLib.h"

// One row of a binding table: an action's 16-bit code and the input bound to it ("" = none).
struct TMDInputItem {
  uint16_t Code = 0;
  std::u16string InputName;
};

// The binding table of one source. Built once from the action list and the settings store; an
// action added later has no row. Not locked itself: the binder's FLock guards it.
class TMDInputConfig {
 public:
  // Asks the kernel for the settings store and the action list (either may be missing, which
  // leaves the table without rows) and loads the bindings.
  TMDInputConfig(IMDKernel* kernel, std::u16string source);
  TMDInputConfig(const TMDInputConfig&) = delete;
  TMDInputConfig& operator=(const TMDInputConfig&) = delete;

  void LoadBindings();
  // Writes every row of the section, in row order, unbound rows with an empty value; of rows
  // that share a code only the first is written.
  void SaveBindings();

  // The code of the first row bound to `input`; false for none or an empty name.
  bool FindAction(std::u16string_view input, uint16_t* code) const;
  // The input bound to the first row with `code`, or nil when there is no such row.
  const std::u16string* GetInput(uint16_t code) const;
  // Binds the first row with `code` and saves the section; no row: nothing changes.
  void SetInput(uint16_t code, std::u16string_view input);

  const std::u16string& Source() const { return FSource; }
  const std::u16string& Section() const { return FSection; }
  int32_t Count() const { return static_cast<int32_t>(FRows.size()); }
  const TMDInputItem& Row(int32_t index) const { return FRows.at(index); }

 private:
  TComPtr<IMDSettings> FSettings;
  TComPtr<IMDActionList> FActions;
  TComPtr<IMDKernel> FKernel;
  std::u16string FSource;
  std::u16string FSection;  // "Input." + source
  std::vector<TMDInputItem> FRows;
};

// One loaded input library. Destroying it unloads the library and does nothing else.
class TMDInputLibrary {
 public:
  // Loads `path` and binds its exports. Always returns the object; *result is S_OK when the
  // library is loaded and bound, E_FAIL otherwise (the caller frees the object).
  static std::unique_ptr<TMDInputLibrary> Create(const std::u16string& path, HRESULT* result,
                                                 void* application, MDHANDLE instance);
  ~TMDInputLibrary();
  TMDInputLibrary(const TMDInputLibrary&) = delete;
  TMDInputLibrary& operator=(const TMDInputLibrary&) = delete;

  HRESULT BindExports();
  int32_t Count() const { return static_cast<int32_t>(FDescriptions.size()); }
  const TMDInputInfo& Description(int32_t index) const { return FDescriptions.at(index); }
  const std::u16string& Path() const { return FPath; }

 private:
  TMDInputLibrary(std::u16string path, void* application, MDHANDLE instance);

  std::u16string FPath;
  MDDynLib::THandle FHandle = nullptr;
  std::vector<TMDInputInfo> FDescriptions;
  void* FApplication;
  MDHANDLE FInstance;
};

class TMDActionInput final : public TMDComImpl<TBaseObject, IMDActionInput, IMDInputSink> {
 public:
  explicit TMDActionInput(IMDKernel* kernel);
  ~TMDActionInput() override;  // UnloadInputs

  // Main thread, once during start-up: input libraries, the keyboard module, the modules of
  // the libraries' descriptions and their binding tables. S_FALSE when inputs are loaded
  // already.
  HRESULT LoadInputs();
  // Shuts down and releases every module, then unloads every input library.
  HRESULT UnloadInputs();
  // Told of every kernel state change; nothing to do.
  HRESULT SetState(int32_t state) { return S_OK; }
  HRESULT AddInputLibrary(const std::u16string& path);
  HRESULT AddKeyboardModule();

  // The binder as the owner handed to input module factories.
  IUnknown* Identity() { return static_cast<TBaseObject*>(this); }
  // Host-side inspection (any thread).
  int32_t ModuleCount();
  int32_t LibraryCount() const { return static_cast<int32_t>(FLibraries.size()); }
  int32_t DescriptionCount() const { return static_cast<int32_t>(FDescriptions.size()); }
  const std::u16string& ModulesFolder() const { return FModulesFolder; }

  // IUnknown: IMDInputSink, IMDActionInput, then IUnknown.
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  // IMDActionInput
  HRESULT MDCALL ReportInput(const char16_t* source, const char16_t* input) override;
  HRESULT MDCALL GetBinding(const char16_t* source, int32_t code,
                            const char16_t** input) override;
  HRESULT MDCALL SetBinding(const char16_t* source, int32_t code, const char16_t* input) override;
  HRESULT MDCALL BeginAssign(const char16_t* source, int32_t code) override;
  // IMDInputSink
  HRESULT MDCALL HandleInput(uint32_t keyCode, int32_t keyData) override;

 private:
  struct TEntry {
    TComPtr<IMDInputModule> Module;  // nil while its factory runs
    std::unique_ptr<TMDInputConfig> Table;
  };

  // Creates a module with `create` and its table for `source`; the table is in place before
  // the factory runs, so the module may report at once.
  HRESULT AddModule(TMDCreateFunc create, const char16_t* source);
  TMDInputConfig* FindTable_locked(std::u16string_view source) const;  // FLock held
  void Post(uint32_t msg, int32_t param1);

  TComPtr<IMDKernel> FKernel;
  TLock FDeliveryLock;
  TLock FLock;
  std::u16string FModulesFolder;
  std::u16string FPendingSource;  // guarded by FLock; empty: no assignment pending
  uint16_t FPendingCode = 0;      // guarded by FLock
  // Main thread only.
  std::vector<std::unique_ptr<TMDInputLibrary>> FLibraries;
  std::vector<TMDInputInfo> FDescriptions;
  bool FLoaded = false;
  // Changed under both locks; read under either.
  std::vector<TEntry> FEntries;
  // GetBinding's texts, one per calling thread (guarded by FLock): a text stays readable until
  // that thread's next call into the binder, whatever other threads do.
  std::unordered_map<std::thread::id, std::u16string> FResults;
};
