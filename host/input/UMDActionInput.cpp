#include "input/UMDActionInput.h"

#include <mutex>
#include <string_view>

#include "input/input_keyb.h"

namespace {

std::u16string CodeText(uint16_t code) {
  std::u16string text;
  do {
    text.insert(text.begin(), static_cast<char16_t>(u'0' + code % 10));
    code /= 10;
  } while (code != 0);
  return text;
}

std::u16string_view View(const char16_t* text) {
  return text ? std::u16string_view(text) : std::u16string_view();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TMDInputConfig
// ---------------------------------------------------------------------------------------------

TMDInputConfig::TMDInputConfig(IMDKernel* kernel, std::u16string source)
    : FSettings(TComPtr<IMDSettings>::Query(kernel)),
      FActions(TComPtr<IMDActionList>::Query(kernel)),
      FKernel(kernel),
      FSource(std::move(source)),
      FSection(u"Input." + FSource) {
  LoadBindings();
}

void TMDInputConfig::LoadBindings() {
  FRows.clear();
  if (!FSettings || !FActions) return;
  const int32_t count = FActions->GetActionCount();
  if (count <= 0) return;
  FRows.resize(count);
  for (int32_t i = 0; i < count; ++i) {
    TMDActionItem item{};
    FActions->GetAction(static_cast<uint32_t>(i), &item);
    TMDInputItem& row = FRows[i];
    row.Code = static_cast<uint16_t>(item.Code & 0xFFFF);
    const std::u16string key = CodeText(row.Code);
    const char16_t* value = nullptr;
    FSettings->ReadString(FSection.c_str(), key.c_str(), u"", &value);
    row.InputName = value ? value : u"";
  }
}

void TMDInputConfig::SaveBindings() {
  if (!FSettings) return;
  // Rows whose codes agree in the low 16 bits share one key. Look-ups and changes reach the
  // first of them, so its value is the one stored; a later row must not write back a stale one.
  std::vector<bool> written(0x10000, false);
  for (const TMDInputItem& row : FRows) {
    if (written[row.Code]) continue;
    written[row.Code] = true;
    FSettings->WriteString(FSection.c_str(), CodeText(row.Code).c_str(), row.InputName.c_str());
  }
}

bool TMDInputConfig::FindAction(std::u16string_view input, uint16_t* code) const {
  if (input.empty()) return false;
  for (const TMDInputItem& row : FRows)
    if (row.InputName == input) {
      if (code) *code = row.Code;
      return true;
    }
  return false;
}

const std::u16string* TMDInputConfig::GetInput(uint16_t code) const {
  for (const TMDInputItem& row : FRows)
    if (row.Code == code) return &row.InputName;
  return nullptr;
}

void TMDInputConfig::SetInput(uint16_t code, std::u16string_view input) {
  for (TMDInputItem& row : FRows)
    if (row.Code == code) {
      row.InputName = input;
      SaveBindings();
      return;
    }
}

// ---------------------------------------------------------------------------------------------
// TMDInputLibrary
// ---------------------------------------------------------------------------------------------

TMDInputLibrary::TMDInputLibrary(std::u16string path, void* application, MDHANDLE instance)
    : FPath(std::move(path)), FApplication(application), FInstance(instance) {}

std::unique_ptr<TMDInputLibrary> TMDInputLibrary::Create(const std::u16string& path,
                                                         HRESULT* result, void* application,
                                                         MDHANDLE instance) {
  std::unique_ptr<TMDInputLibrary> lib(new TMDInputLibrary(path, application, instance));
  HRESULT hr = E_FAIL;
  lib->FHandle = MDDynLib::Load(MDToUtf8(path));
  if (lib->FHandle) hr = lib->BindExports();
  if (result) *result = hr;
  return lib;
}

TMDInputLibrary::~TMDInputLibrary() {
  FDescriptions.clear();
  MDDynLib::Free(FHandle);
}

HRESULT TMDInputLibrary::BindExports() {
  try {
    if (auto init = reinterpret_cast<TMDApplicationInitFunc>(
            MDDynLib::Symbol(FHandle, "ApplicationInit")))
      init(FApplication, FInstance);
    auto getCount =
        reinterpret_cast<TMDGetCountFunc>(MDDynLib::Symbol(FHandle, "DLLGetInputCount"));
    auto getInfo =
        reinterpret_cast<TMDGetInputInfoFunc>(MDDynLib::Symbol(FHandle, "DLLGetInputInfo"));
    if (!getCount || !getInfo) return E_FAIL;
    int32_t count = 0;
    getCount(&count);
    // A count below 1 describes nothing, and the library is not asked for any record.
    std::vector<TMDInputInfo> descriptions(count > 0 ? count : 0);
    for (int32_t i = 0; i < count; ++i) getInfo(i, &descriptions[i]);
    FDescriptions = std::move(descriptions);
    return S_OK;
  } catch (...) {
    FDescriptions.clear();
    return E_FAIL;
  }
}

// ---------------------------------------------------------------------------------------------
// TMDActionInput: loading and unloading (main thread)
// ---------------------------------------------------------------------------------------------

TMDActionInput::TMDActionInput(IMDKernel* kernel) : FKernel(kernel) {}

TMDActionInput::~TMDActionInput() {
  UnloadInputs();
  FKernel = nullptr;
}

HRESULT TMDActionInput::LoadInputs() {
  if (FLoaded) return S_FALSE;
  FLoaded = true;
  const char16_t* dir = nullptr;
  if (FKernel && MD_SUCCEEDED(FKernel->GetApplicationDir(&dir)) && dir) {
    const std::u16string base = dir;
    // The root is "/"; everywhere else the directory has no trailing separator.
    FModulesFolder = (base == u"/" ? u"" : base) + u"/Modules";
    for (const std::string& path : MDDynLib::ScanFolder(MDToUtf8(FModulesFolder), ".so"))
      AddInputLibrary(MDToUtf16(path));
  }
  AddKeyboardModule();
  // Copies: a module's factory may not change the list, but nothing here relies on that.
  const std::vector<TMDInputInfo> descriptions = FDescriptions;
  for (const TMDInputInfo& info : descriptions)
    if (info.CreateInput) AddModule(info.CreateInput, info.Name);
  return S_OK;
}

HRESULT TMDActionInput::AddInputLibrary(const std::u16string& path) {
  if (!FileExists(path.c_str())) return S_FALSE;
  return MDGuard(
      [&]() -> HRESULT {
        void* application = nullptr;
        MDHANDLE instance = 0;
        if (FKernel) {
          FKernel->GetApplication(&application);
          FKernel->GetInstance(&instance);
        }
        HRESULT result = E_FAIL;
        auto lib = TMDInputLibrary::Create(path, &result, application, instance);
        // A library that describes no input has nothing to offer: it goes at once.
        if (MD_FAILED(result) || lib->Count() == 0) return E_FAIL;
        FDescriptions.reserve(FDescriptions.size() + lib->Count());
        FLibraries.reserve(FLibraries.size() + 1);
        for (int32_t i = 0; i < lib->Count(); ++i) FDescriptions.push_back(lib->Description(i));
        FLibraries.push_back(std::move(lib));
        return S_OK;
      },
      E_FAIL);
}

HRESULT TMDActionInput::AddKeyboardModule() {
  return AddModule(&CreateKeyboardInput, KeyboardInputInfo.Name);
}

HRESULT TMDActionInput::AddModule(TMDCreateFunc create, const char16_t* source) {
  return MDGuard(
      [&]() -> HRESULT {
        // The settings are read before anything is locked.
        auto table = std::make_unique<TMDInputConfig>(FKernel.Get(), std::u16string(View(source)));
        size_t slot = 0;
        {
          std::lock_guard<TLock> delivery(FDeliveryLock);
          std::lock_guard<TLock> guard(FLock);
          FEntries.push_back(TEntry{nullptr, std::move(table)});
          slot = FEntries.size() - 1;
        }
        TComPtr<IMDInputModule> module;
        HRESULT hr = E_FAIL;
        try {
          hr = create(Identity(), &IID_IMDInputModule, module.PutVoid());
        } catch (...) {
          hr = E_FAIL;
        }
        std::lock_guard<TLock> delivery(FDeliveryLock);
        std::lock_guard<TLock> guard(FLock);
        if (MD_FAILED(hr) || !module) {
          // Only LoadInputs adds entries, so the slot is still the last one.
          FEntries.erase(FEntries.begin() + slot);
          return MD_FAILED(hr) ? hr : E_FAIL;
        }
        FEntries[slot].Module = std::move(module);
        return S_OK;
      },
      E_FAIL);
}

HRESULT TMDActionInput::UnloadInputs() {
  std::vector<TEntry> entries;
  {
    std::lock_guard<TLock> delivery(FDeliveryLock);
    std::lock_guard<TLock> guard(FLock);
    entries.swap(FEntries);
    FPendingSource.clear();
    FPendingCode = 0;
  }
  // No lock is held: a module's Shutdown may wait for a thread of its own that is reporting.
  for (TEntry& entry : entries) {
    if (entry.Module) {
      try {
        entry.Module->Shutdown();
      } catch (...) {
      }
      entry.Module = nullptr;
    }
    entry.Table.reset();
  }
  entries.clear();
  FDescriptions.clear();
  for (auto& lib : FLibraries) lib.reset();  // in load order
  FLibraries.clear();
  return S_OK;
}

int32_t TMDActionInput::ModuleCount() {
  std::lock_guard<TLock> guard(FLock);
  int32_t count = 0;
  for (const TEntry& entry : FEntries)
    if (entry.Module) ++count;
  return count;
}

// ---------------------------------------------------------------------------------------------
// TMDActionInput: the interfaces (any thread)
// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TMDActionInput::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDInputSink) return MDHandOut<IMDInputSink>(this, obj);
    if (iid == IID_IMDActionInput) return MDHandOut<IMDActionInput>(this, obj);
    return TBaseObject::QueryInterface(iid, obj);
  });
}

TMDInputConfig* TMDActionInput::FindTable_locked(std::u16string_view source) const {
  for (const TEntry& entry : FEntries)
    if (entry.Table && entry.Table->Source() == source) return entry.Table.get();
  return nullptr;
}

void TMDActionInput::Post(uint32_t msg, int32_t param1) {
  if (!FKernel) return;
  TMDMessage m{};
  m.Msg = msg;
  m.Param1 = param1;
  FKernel->HandleMessage(&m);
}

HRESULT MDCALL TMDActionInput::ReportInput(const char16_t* source, const char16_t* input) {
  return MDGuard(
      [&]() -> HRESULT {
        const std::u16string_view from = View(source);
        const std::u16string_view name = View(input);
        std::lock_guard<TLock> guard(FLock);
        if (!FPendingSource.empty()) {
          if (from != FPendingSource) return S_OK;  // stays pending
          if (TMDInputConfig* table = FindTable_locked(from)) table->SetInput(FPendingCode, name);
          FPendingSource.clear();
          FPendingCode = 0;
          Post(MDM_INPUT_ASSIGNED, 0);
          return S_OK;
        }
        for (const TEntry& entry : FEntries) {
          if (!entry.Table || entry.Table->Source() != from) continue;
          uint16_t code = 0;
          if (entry.Table->FindAction(name, &code)) {
            Post(MDM_ACTION, static_cast<int32_t>(code));
            break;
          }
        }
        return S_OK;
      },
      S_OK);
}

HRESULT MDCALL TMDActionInput::GetBinding(const char16_t* source, int32_t code,
                                          const char16_t** input) {
  return MDGuard([&]() -> HRESULT {
    if (!input) return E_POINTER;
    *input = u"";
    std::lock_guard<TLock> guard(FLock);
    const TMDInputConfig* table = FindTable_locked(View(source));
    if (!table) return E_FAIL;
    const std::u16string* bound = table->GetInput(static_cast<uint16_t>(code & 0xFFFF));
    if (!bound || bound->empty()) return S_FALSE;
    std::u16string& slot = FResults[std::this_thread::get_id()];
    slot = *bound;
    *input = slot.c_str();
    return S_OK;
  });
}

HRESULT MDCALL TMDActionInput::SetBinding(const char16_t* source, int32_t code,
                                          const char16_t* input) {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FLock);
    TMDInputConfig* table = FindTable_locked(View(source));
    if (!table) return E_FAIL;
    table->SetInput(static_cast<uint16_t>(code & 0xFFFF), View(input));
    return S_OK;
  });
}

HRESULT MDCALL TMDActionInput::BeginAssign(const char16_t* source, int32_t code) {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FLock);
    FPendingSource = View(source);
    FPendingCode = static_cast<uint16_t>(code & 0xFFFF);
    return S_OK;
  });
}

HRESULT MDCALL TMDActionInput::HandleInput(uint32_t keyCode, int32_t keyData) {
  return MDGuard(
      [&]() -> HRESULT {
        std::lock_guard<TLock> delivery(FDeliveryLock);
        for (const TEntry& entry : FEntries) {
          if (!entry.Module) continue;
          auto sink = TComPtr<IMDInputSink>::Query(entry.Module.Get());
          if (!sink) continue;
          try {
            sink->HandleInput(keyCode, keyData);
          } catch (...) {
          }
        }
        return S_OK;
      },
      S_OK);
}
