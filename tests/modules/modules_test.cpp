// Plug-in hosting: binding libraries through their exports, the module loader's pools and module
// set 0, the playback library vidcore.so, and the host's start-up and shut-down with real
// shared objects in a Modules folder.
//
// The test plug-ins (tests/plugins) append every call they receive to the file named by
// MIDAVO_TEST_LOG, one line "<file name> <event>" each, so the order of calls across libraries
// and across their unloading can be read back.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/UMDHost.h"
#include "modules/UMDModuleLoader.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Stands for the host's application object: plug-ins get it as an opaque value.
int kApplication;

std::string Hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", value);
  return text;
}

// "lib event" for each event.
Lines Calls(const std::string& lib, const Lines& events) {
  Lines out;
  for (const std::string& e : events) out.push_back(lib + " " + e);
  return out;
}

Lines Cat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The file a function or object of a loaded library comes from (its base name).
std::string LibraryOf(const void* address) {
  Dl_info info{};
  if (!address || !::dladdr(address, &info) || !info.dli_fname) return "";
  return fs::path(info.dli_fname).filename().string();
}
template <class F>
std::string LibraryOfFunction(F* function) {
  return LibraryOf(reinterpret_cast<const void*>(function));
}

// True while the file is mapped into the process.
bool IsLoaded(const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);
  return handle != nullptr;
}

template <class T>
bool AllBytes(const T& record, unsigned char value) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  for (size_t i = 0; i < sizeof record; ++i)
    if (bytes[i] != value) return false;
  return true;
}

// A record that describes nothing: every field zero (padding is not copied with a record).
bool IsEmpty(const TMDModuleInfo& r) {
  return !r.Name && !r.Description && !r.Url && !r.Version && !r.Reserved1 && !r.Reserved2 &&
         !r.CreateModule && !r.Finalize && !r.RegisterActions;
}

template <class T>
T Filled(unsigned char value) {
  T record;
  std::memset(&record, value, sizeof record);
  return record;
}

void ExpectSameModuleInfo(const TMDModuleInfo& a, const TMDModuleInfo& b) {
  EXPECT_EQ(a.Name, b.Name);
  EXPECT_EQ(a.Description, b.Description);
  EXPECT_EQ(a.Url, b.Url);
  EXPECT_EQ(a.Version, b.Version);
  EXPECT_EQ(a.Reserved1, b.Reserved1);
  EXPECT_EQ(a.Reserved2, b.Reserved2);
  EXPECT_EQ(a.CreateModule, b.CreateModule);
  EXPECT_EQ(a.Finalize, b.Finalize);
  EXPECT_EQ(a.RegisterActions, b.RegisterActions);
}

std::u16string Text(const char16_t* text) { return text ? std::u16string(text) : u"(nil)"; }

// Names of the functions and objects a shared object defines in its dynamic symbol table (what
// dlsym can find in it), read from the ELF file itself.
std::set<std::string> DynamicExports(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string data{std::istreambuf_iterator<char>(in), {}};
  auto read = [&](size_t offset, auto* out) {
    if (offset + sizeof *out > data.size()) throw std::runtime_error("truncated ELF file");
    std::memcpy(out, data.data() + offset, sizeof *out);
  };
  Elf64_Ehdr header;
  read(0, &header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
    throw std::runtime_error("not a 64-bit ELF file");
  std::set<std::string> names;
  for (size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section;
    read(header.e_shoff + i * header.e_shentsize, &section);
    if (section.sh_type != SHT_DYNSYM) continue;
    Elf64_Shdr strings;
    read(header.e_shoff + section.sh_link * header.e_shentsize, &strings);
    for (size_t s = 0; s < section.sh_size / sizeof(Elf64_Sym); ++s) {
      Elf64_Sym sym;
      read(section.sh_offset + s * sizeof(Elf64_Sym), &sym);
      const int bind = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF ||
          (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE))
        continue;
      // The linker's own untyped markers (_edata, _end, __bss_start) are no exports of the
      // library's code.
      if (ELF64_ST_TYPE(sym.st_info) == STT_NOTYPE) continue;
      names.insert(data.c_str() + strings.sh_offset + sym.st_name);
    }
  }
  return names;
}

// A kernel as a plug-in sees it, counted, forwarding to a real kernel. It answers the control
// panel, which the kernel does not hand out yet, with the given stand-in, and counts references
// so that a test sees whether a module let go of its kernel.
class TKernelProxy final : public TMDComImpl<TMDComObject, IMDKernel> {
 public:
  TKernelProxy(TMDKernel* kernel, IMDControlPanel* panel) : FKernel(kernel), FPanel(panel) {}
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    if (iid == IID_IMDKernel || iid == IID_IMDMessageSink) return MDHandOut<IMDKernel>(this, obj);
    if (iid == IID_IUnknown) return TMDComObject::QueryInterface(iid, obj);
    if (iid == IID_IMDControlPanel && FPanel) return FPanel->QueryInterface(iid, obj);
    return FKernel->QueryInterface(iid, obj);
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* m) override { return FKernel->HandleMessage(m); }
  HRESULT MDCALL GetKernelInfo(TMDKernelInfo* i) override { return FKernel->GetKernelInfo(i); }
  HRESULT MDCALL GetKernelValue(int32_t* v) override { return FKernel->GetKernelValue(v); }
  HRESULT MDCALL GetApplicationDir(const char16_t** d) override {
    return FKernel->GetApplicationDir(d);
  }
  HRESULT MDCALL GetApplication(void** a) override { return FKernel->GetApplication(a); }
  HRESULT MDCALL GetInstance(MDHANDLE* i) override { return FKernel->GetInstance(i); }
  HRESULT MDCALL GetMainWindow(MDHANDLE* w) override { return FKernel->GetMainWindow(w); }
  HRESULT MDCALL SetState(int32_t s) override { return FKernel->SetState(s); }
  HRESULT MDCALL RegisterModule(IMDModule* m) override { return FKernel->RegisterModule(m); }
  HRESULT MDCALL UnregisterModule(IMDModule* m) override { return FKernel->UnregisterModule(m); }
  HRESULT MDCALL UnregisterAllModules() override { return FKernel->UnregisterAllModules(); }
  HRESULT MDCALL Synchronize(TMDMethod m) override { return FKernel->Synchronize(m); }

 private:
  TMDKernel* FKernel;
  IMDControlPanel* FPanel;
};

// Each test runs in a folder of its own, which is the current directory: settings.ini, the
// call log and the Modules folder with copies of the plug-ins the test needs land there.
class Hosting : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/midavo-modules-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    OldDir = fs::current_path();
    fs::current_path(Dir);
    Modules = Dir + "/Modules";
    LogPath = Dir + "/calls.log";
    ::setenv("MIDAVO_TEST_LOG", LogPath.c_str(), 1);
    Options.Application = &kApplication;
  }
  void TearDown() override {
    MDStopHost(K);
    ::unsetenv("MIDAVO_TEST_LOG");
    fs::current_path(OldDir);
    fs::remove_all(Dir);
  }

  // The built test plug-in `plugin` (tests/modules/CMakeLists.txt names them mod_*).
  static std::string Built(const std::string& plugin) {
    return std::string(MIDAVO_TEST_PLUGINS_DIR) + "/mod_" + plugin + ".so";
  }
  // Copies test plug-in `plugin` into the Modules folder as `name`; returns the copy's path.
  std::string Plug(const std::string& plugin, const std::string& name) {
    fs::create_directories(Modules);
    const std::string path = Modules + "/" + name;
    fs::copy_file(Built(plugin), path);
    return path;
  }
  std::string PlugVidcore() {
    fs::create_directories(Modules);
    const std::string path = Modules + "/vidcore.so";
    fs::copy_file(std::string(MIDAVO_MODULES_DIR) + "/vidcore.so", path);
    return path;
  }

  void Start() {
    MDStartHost(K, Options);
    ASSERT_EQ(K->State(), KS_RUNNING);
  }
  void Stop() { MDStopHost(K); }
  TMDModuleLoader& Loader() { return *K->ModuleLoader(); }

  // What a recorder library logs for ApplicationInit with this host's values.
  std::string InitLine(IMDKernel* kernel) const {
    void* app = nullptr;
    MDHANDLE instance = 0;
    if (kernel) {
      kernel->GetApplication(&app);
      kernel->GetInstance(&instance);
    }
    return "ApplicationInit " + Hex(reinterpret_cast<uintptr_t>(app)) + " " + Hex(instance);
  }
  std::string InitLine() const { return InitLine(K.get()); }

  // The call log; MainLog leaves out the messages, which arrive on the dispatch thread.
  Lines Log() const {
    Lines lines;
    std::ifstream in(LogPath);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  Lines MainLog() const {
    Lines lines;
    for (const std::string& line : Log())
      if (line.find(" msg ") == std::string::npos) lines.push_back(line);
    return lines;
  }
  // Page objects: made when the loader hands the library pages to the kernel's control panel
  // and destroyed when the panel lets them go. Whether the host has a control panel is not the
  // loader's business: the host-level logs are compared without them, PagesGoBeforeLibraries
  // checks their one rule, and a test of its own follows them through a stand-in panel.
  static bool IsPageObjectEvent(const std::string& line) {
    return line.find(" CreatePage P") != std::string::npos ||
           line.find(" P0 destroyed") != std::string::npos ||
           line.find(" P1 destroyed") != std::string::npos;
  }
  Lines StopLog() const {
    Lines lines;
    for (const std::string& line : Log())
      if (!IsPageObjectEvent(line)) lines.push_back(line);
    return lines;
  }
  // No page outlives its library: every page object is gone before the first Finalize.
  void ExpectPagesGoBeforeLibraries() const {
    bool finalizing = false;
    for (const std::string& line : Log()) {
      if (line.find(" Finalize ") != std::string::npos) finalizing = true;
      if (finalizing) {
        EXPECT_EQ(line.find(" destroyed"), std::string::npos) << line;
      }
    }
  }
  // Start-up as the module loader drives it. The binder's input scan (LoadInputs) tries every
  // library of the same folder as an input library too, which calls its ApplicationInit once
  // more and unloads what it cannot bind; so start-up is compared without those two events,
  // and FirstInits shows the loader's ApplicationInit calls: each library's first, in order.
  Lines StartLog() const {
    Lines lines;
    for (const std::string& line : MainLog())
      if (line.find(" ApplicationInit") == std::string::npos &&
          line.find(" unloaded") == std::string::npos && !IsPageObjectEvent(line))
        lines.push_back(line);
    return lines;
  }
  Lines FirstInits() const {
    Lines lines;
    std::set<std::string> seen;
    for (const std::string& line : Log()) {
      const size_t at = line.find(" ApplicationInit");
      if (at != std::string::npos && seen.insert(line.substr(0, at)).second) lines.push_back(line);
    }
    return lines;
  }
  // The messages `prefix` ("lib Mi") received, as "0xMSG 0xPARAM1".
  Lines MessagesOf(const std::string& prefix) const {
    Lines out;
    const std::string key = prefix + " msg ";
    for (const std::string& line : Log())
      if (line.rfind(key, 0) == 0) out.push_back(line.substr(key.size()));
    return out;
  }
  void ClearLog() { fs::remove(LogPath); }
  // Waits until every recorder module made so far has received MDM_STARTED, so that no
  // message line turns up in the log later.
  void Settle() {
    auto count = [&](const std::string& what) {
      size_t n = 0;
      for (const std::string& line : Log()) n += line.find(what) != std::string::npos;
      return n;
    };
    ASSERT_TRUE(Eventually([&] { return count(" msg 0xFB00 ") >= count(" CreateModule "); }));
  }

  // Waits for `done` (the dispatch thread delivers asynchronously), serving the kernel's
  // main-thread requests meanwhile.
  template <class F>
  bool Eventually(F done) {
    for (int i = 0; i < 500; ++i) {
      if (done()) return true;
      if (K)
        K->WaitAndServeRequests(10);
      else
        std::this_thread::sleep_for(10ms);
    }
    return done();
  }

  // The codes of the actions the recorder libraries registered (0x7A00 + record), in list order.
  std::vector<int32_t> RecorderActions() {
    std::vector<int32_t> codes;
    for (const TMDActionItem& item : Actions())
      if ((item.Code & 0xFF00) == 0x7A00) codes.push_back(item.Code);
    return codes;
  }
  std::vector<TMDActionItem> Actions() {
    std::vector<TMDActionItem> items;
    IMDActionList* list = K->ActionList();
    for (int32_t i = 0; list && i < list->GetActionCount(); ++i) {
      TMDActionItem item{};
      EXPECT_EQ(list->GetAction(i, &item), S_OK);
      items.push_back(item);
    }
    return items;
  }

  // The registered modules, in registry order, through the kernel's enumerator.
  std::vector<TMDModuleInfo> RegisteredModules() {
    std::vector<TMDModuleInfo> infos;
    auto walker = TComPtr<IMDEnumModules>::Query(static_cast<IMDKernel*>(K.get()));
    EXPECT_TRUE(walker);
    IMDModule* module = nullptr;
    while (walker && walker->Next(&module) == S_OK) {
      TMDModuleInfo info{};
      EXPECT_EQ(module->GetModuleInfo(&info), S_OK);
      module->Release();
      infos.push_back(info);
    }
    return infos;
  }

  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::string Dir, Modules, LogPath;
  fs::path OldDir;
  TMDHostOptions Options;
  std::unique_ptr<TMDKernel> K;
};

// ---------------------------------------------------------------------------------------------
// Binding one library
// ---------------------------------------------------------------------------------------------

TEST_F(Hosting, BindingCallsTheExportsInOrderAndTeardownUnloadsLast) {
  const std::string path = Plug("rec2", "a.so");
  TMDKernel kernel(0, {});
  kernel.SetApplication(&kApplication);
  HRESULT hr = E_UNEXPECTED;
  auto lib = TBaseLibrary::Create(MDToUtf16(path), &hr, &kernel);
  ASSERT_EQ(hr, S_OK);
  EXPECT_TRUE(IsLoaded(path));
  EXPECT_EQ(MainLog(), Calls("a.so", {InitLine(&kernel), "DLLGetModuleCount 0",
                                      "DLLGetModuleInfo 0", "DLLGetModuleInfo 1",
                                      "DLLGetPropertyCount 0", "DLLGetPropertyPage 0",
                                      "DLLGetPropertyPage 1"}));
  ASSERT_EQ(lib->ModuleCount(), 2);
  ASSERT_EQ(lib->PageCount(), 2);
  for (int32_t i = 0; i < 2; ++i) {
    TMDModuleInfo module = Filled<TMDModuleInfo>(0xAB);
    lib->GetModuleInfoAt(i, &module);
    EXPECT_EQ(Text(module.Name), i == 0 ? u"Recorder M0" : u"Recorder M1");
    EXPECT_EQ(module.Reserved1, i);
    EXPECT_EQ(LibraryOfFunction(module.CreateModule), "a.so");
    TMDPageInfo page = Filled<TMDPageInfo>(0xAB);
    lib->GetPageInfoAt(i, &page);
    EXPECT_EQ(Text(page.Name), i == 0 ? u"Recorder P0" : u"Recorder P1");
    EXPECT_EQ(LibraryOfFunction(page.CreatePage), "a.so");
  }
  // Indexes outside the records leave the caller's buffer as it was.
  for (int32_t index : {-1, 2, INT_MIN, INT_MAX}) {
    TMDModuleInfo module = Filled<TMDModuleInfo>(0xAB);
    lib->GetModuleInfoAt(index, &module);
    EXPECT_TRUE(AllBytes(module, 0xAB)) << index;
    TMDPageInfo page = Filled<TMDPageInfo>(0xCD);
    lib->GetPageInfoAt(index, &page);
    EXPECT_TRUE(AllBytes(page, 0xCD)) << index;
  }

  ClearLog();
  lib.reset();
  EXPECT_EQ(Log(), Calls("a.so", {"Finalize M0", "Finalize M1", "Finalize P0", "Finalize P1",
                                  "ApplicationUninit", "unloaded"}));
  EXPECT_FALSE(IsLoaded(path));
}

// Refused, partly bound and empty libraries: the result, the records kept, and every call the
// library saw while binding and while being torn down.
TEST_F(Hosting, BindingResultsForIncompleteRaisingAndEmptyLibraries) {
  TMDKernel kernel(0, {});
  const std::string init = InitLine(&kernel);
  struct Case {
    std::string name;    // file in Modules
    std::string plugin;  // "" for no file, "/" for a folder
    HRESULT result;
    int32_t modules, pages;
    Lines bind, teardown;
  };
  const Case cases[] = {
      {"missing.so", "", E_FAIL, 0, 0, {}, {}},
      {"folder.so", "/", E_FAIL, 0, 0, {}, {}},
      {"unresolved.so", "unresolved", E_FAIL, 0, 0, {}, {}},
      {"no_exports.so", "no_exports", E_FAIL, 0, 0, {}, {"unloaded"}},
      // One half of a pair is no pair: the count function is never called.
      {"count_only.so", "count_only", E_FAIL, 0, 0, {}, {"unloaded"}},
      {"halves.so", "halves", E_FAIL, 0, 0, {"ApplicationInit"}, {"ApplicationUninit", "unloaded"}},
      // Counts below 1 bind with no records; no record function is called.
      {"count0.so", "rec_count0", S_OK, 0, 0,
       {init, "DLLGetModuleCount 0", "DLLGetPropertyCount 0"}, {"ApplicationUninit", "unloaded"}},
      {"countneg.so", "rec_countneg", S_OK, 0, 0,
       {init, "DLLGetModuleCount 0", "DLLGetPropertyCount 0"}, {"ApplicationUninit", "unloaded"}},
      // An export that raises ends binding; the records obtained so far are finalized.
      {"raise_info.so", "rec_raise_info", E_FAIL, 1, 0,
       {init, "DLLGetModuleCount 0", "DLLGetModuleInfo 0", "DLLGetModuleInfo 1"},
       {"Finalize M0", "ApplicationUninit", "unloaded"}},
      {"raise_app.so", "rec_raise_app", E_FAIL, 0, 0, {init}, {"ApplicationUninit", "unloaded"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    std::string path = Modules + "/" + c.name;
    if (c.plugin == "/")
      fs::create_directories(path);
    else if (!c.plugin.empty())
      path = Plug(c.plugin, c.name);
    HRESULT hr = E_UNEXPECTED;
    auto lib = TBaseLibrary::Create(MDToUtf16(path), &hr, &kernel);
    ASSERT_TRUE(lib);
    EXPECT_EQ(hr, c.result);
    EXPECT_EQ(lib->ModuleCount(), c.modules);
    EXPECT_EQ(lib->PageCount(), c.pages);
    EXPECT_EQ(Log(), Calls(c.name, c.bind));
    ClearLog();
    lib.reset();
    EXPECT_EQ(Log(), Calls(c.name, c.teardown));
    EXPECT_FALSE(IsLoaded(path));
  }
}

// ---------------------------------------------------------------------------------------------
// The module loader: pools and module set 0
// ---------------------------------------------------------------------------------------------

TEST_F(Hosting, WithoutModuleRecordsTheSetIsEmptyAndCannotBeActivated) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
  };
  const Case cases[] = {
      {"no Modules folder", [] {}},
      {"an empty Modules folder", [&] { fs::create_directories(Modules); }},
      {"a library without records", [&] { Plug("rec_count0", "a.so"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Modules);
    c.prepare();
    Start();
    EXPECT_EQ(Loader().ModulePoolCount(), 0);
    EXPECT_EQ(Loader().PagePoolCount(), 0);
    ASSERT_EQ(Loader().ModuleSetCount(), 1);
    const TMDModuleSet* set = Loader().ModuleSetAt(0);
    EXPECT_EQ(set->Index, 0);
    ASSERT_EQ(set->Count(), 2);
    for (int32_t i = 0; i < 2; ++i) {
      TMDModuleInfo entry = Filled<TMDModuleInfo>(0xAB);
      set->GetModuleInfoAt(i, &entry);
      EXPECT_TRUE(IsEmpty(entry));
    }
    EXPECT_EQ(Loader().ActivateModuleSet(0), E_FAIL);
    EXPECT_EQ(K->ModuleCount(), 0);
    Stop();
  }
}

TEST_F(Hosting, OneLibraryWithOneRecordGivesOneModule) {
  // A link to a library counts as the library.
  fs::create_directories(Modules);
  const std::string target = Dir + "/elsewhere.so";
  fs::copy_file(Built("rec1"), target);
  fs::create_symlink(target, Modules + "/a.so");
  Start();
  ASSERT_EQ(Loader().LibraryCount(), 1);
  ASSERT_EQ(Loader().ModulePoolCount(), 1);
  TMDModuleInfo pooled{}, entry{};
  Loader().GetModuleInfoAt(0, &pooled);
  EXPECT_EQ(Text(pooled.Name), u"Recorder M0");
  const TMDModuleSet* set = Loader().ModuleSetAt(0);
  ASSERT_EQ(set->Count(), 2);
  set->GetModuleInfoAt(0, &entry);
  ExpectSameModuleInfo(entry, pooled);
  entry = Filled<TMDModuleInfo>(0xAB);
  set->GetModuleInfoAt(1, &entry);
  EXPECT_TRUE(IsEmpty(entry));
  // Outside the set and outside the pool the buffer stays as it was.
  for (int32_t index : {-1, 2}) {
    entry = Filled<TMDModuleInfo>(0xAB);
    set->GetModuleInfoAt(index, &entry);
    EXPECT_TRUE(AllBytes(entry, 0xAB)) << index;
  }
  for (int32_t index : {-1, 1}) {
    entry = Filled<TMDModuleInfo>(0xAB);
    Loader().GetModuleInfoAt(index, &entry);
    EXPECT_TRUE(AllBytes(entry, 0xAB)) << index;
  }
  EXPECT_EQ(K->ModuleCount(), 1);
  // Made once, told KS_READY by the loader and again by the kernel, then KS_RUNNING.
  EXPECT_EQ(FirstInits(), Calls("a.so", {InitLine()}));
  EXPECT_EQ(StartLog(), Calls("a.so", {"DLLGetModuleCount 0", "DLLGetModuleInfo 0",
                                       "RegisterActions M0", "CreateModule M0", "M0 state 5",
                                       "M0 state 5", "M0 state 10"}));
}

// Two libraries with two module records and two pages each, through the whole start-up and
// shut-down: every call in its place.
TEST_F(Hosting, StartAndStopCallEveryLibraryInOrder) {
  const std::string a = Plug("rec2", "a.so"), b = Plug("rec2", "b.so");
  Start();
  EXPECT_EQ(FirstInits(), Cat({Calls("a.so", {InitLine()}), Calls("b.so", {InitLine()})}));
  const Lines bind = {"DLLGetModuleCount 0",   "DLLGetModuleInfo 0",   "DLLGetModuleInfo 1",
                      "DLLGetPropertyCount 0", "DLLGetPropertyPage 0", "DLLGetPropertyPage 1",
                      "RegisterActions M0",    "RegisterActions M1"};
  // Only the set's records (the first library's) become modules.
  EXPECT_EQ(StartLog(),
            Cat({Calls("a.so", bind), Calls("b.so", bind),
                 Calls("a.so", {"CreateModule M0", "M0 state 5", "M0 state 5", "CreateModule M1",
                                "M1 state 5", "M1 state 5", "M0 state 10", "M1 state 10"})}));

  // Pools: every record in load order; set 0: the first two.
  ASSERT_EQ(Loader().LibraryCount(), 2);
  ASSERT_EQ(Loader().ModulePoolCount(), 4);
  ASSERT_EQ(Loader().PagePoolCount(), 4);
  for (int32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    TMDModuleInfo module{};
    Loader().GetModuleInfoAt(i, &module);
    EXPECT_EQ(LibraryOfFunction(module.CreateModule), i < 2 ? "a.so" : "b.so");
    EXPECT_EQ(module.Reserved1, i % 2);
    TMDPageInfo page{};
    Loader().GetPageInfoAt(i, &page);
    EXPECT_EQ(LibraryOfFunction(page.CreatePage), i < 2 ? "a.so" : "b.so");
    EXPECT_EQ(page.Version & 0xFF, static_cast<uint32_t>(i % 2));
  }
  TMDPageInfo untouched = Filled<TMDPageInfo>(0xAB);
  Loader().GetPageInfoAt(4, &untouched);
  EXPECT_TRUE(AllBytes(untouched, 0xAB));
  const TMDModuleSet* set = Loader().ModuleSetAt(0);
  for (int32_t i = 0; i < 2; ++i) {
    TMDModuleInfo entry{}, pooled{};
    set->GetModuleInfoAt(i, &entry);
    Loader().GetModuleInfoAt(i, &pooled);
    ExpectSameModuleInfo(entry, pooled);
  }
  // Every record registered its action, also those no set activates.
  EXPECT_EQ(RecorderActions(), (std::vector<int32_t>{0x7A00, 0x7A01, 0x7A00, 0x7A01}));

  // Both modules see the start message.
  ASSERT_TRUE(Eventually([&] { return MessagesOf("a.so M1").size() == 1; }));
  EXPECT_EQ(MessagesOf("a.so M0"), Lines{"0xFB00 0x0"});
  EXPECT_EQ(MessagesOf("a.so M1"), Lines{"0xFB00 0x0"});

  ClearLog();
  Stop();
  // Modules leave running, stop and go before any library is finalized; libraries are torn
  // down one after the other in load order.
  const Lines teardown = {"Finalize M0",       "Finalize M1", "Finalize P0", "Finalize P1",
                          "ApplicationUninit", "unloaded"};
  EXPECT_EQ(StopLog(), Cat({Calls("a.so", {"M0 state 5", "M1 state 5", "M0 Stop", "M1 Stop",
                                           "M0 destroyed", "M1 destroyed"}),
                            Calls("a.so", teardown), Calls("b.so", teardown)}));
  ExpectPagesGoBeforeLibraries();
  EXPECT_FALSE(IsLoaded(a));
  EXPECT_FALSE(IsLoaded(b));
  const std::string settings = ReadFile(Dir + "/settings.ini");
  EXPECT_NE(settings.find("LastStarted="), std::string::npos) << settings;
  EXPECT_NE(settings.find("LastStopped="), std::string::npos) << settings;
}

TEST_F(Hosting, ALibraryThatFailsBetweenTwoGoodOnesLeavesOnlyTheirRecords) {
  Plug("rec1", "a.so");
  Plug("rec_raise_info", "b.so");  // hands out record 0, then raises for record 1
  Plug("rec1", "c.so");
  Start();
  ASSERT_EQ(Loader().LibraryCount(), 2);
  ASSERT_EQ(Loader().ModulePoolCount(), 2);
  TMDModuleInfo first{}, second{};
  Loader().GetModuleInfoAt(0, &first);
  Loader().GetModuleInfoAt(1, &second);
  EXPECT_EQ(LibraryOfFunction(first.CreateModule), "a.so");
  EXPECT_EQ(LibraryOfFunction(second.CreateModule), "c.so");
  // The failing library was torn down at once, before the next one was loaded.
  const std::string init = InitLine();
  EXPECT_EQ(FirstInits(), (Lines{"a.so " + init, "b.so " + init, "c.so " + init}));
  const Lines good = {"DLLGetModuleCount 0", "DLLGetModuleInfo 0", "RegisterActions M0"};
  EXPECT_EQ(StartLog(),
            Cat({Calls("a.so", good),
                 Calls("b.so", {"DLLGetModuleCount 0", "DLLGetModuleInfo 0", "DLLGetModuleInfo 1",
                                "Finalize M0", "ApplicationUninit"}),
                 Calls("c.so", good),
                 Calls("a.so", {"CreateModule M0", "M0 state 5", "M0 state 5"}),
                 Calls("c.so", {"CreateModule M0", "M0 state 5", "M0 state 5"}),
                 Calls("a.so", {"M0 state 10"}), Calls("c.so", {"M0 state 10"})}));
}

TEST_F(Hosting, TheTwentyFirstLibraryIsRefusedAndNeverLoaded) {
  std::vector<std::string> paths;
  for (int i = 0; i < 25; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "p%02d.so", i);
    paths.push_back(Plug("rec1", name));
  }
  Start();
  ASSERT_EQ(Loader().LibraryCount(), 20);
  EXPECT_EQ(Loader().ModulePoolCount(), 20);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(MDToUtf8(Loader().LibraryAt(i)->Path()), paths[i]);
  // Bound: the first twenty in name order. (The binder's input scan, which has no limit, may
  // still try the others as input libraries.)
  Lines bound;
  for (const std::string& line : MainLog())
    if (line.find(" DLLGetModuleCount") != std::string::npos) bound.push_back(line);
  ASSERT_EQ(bound.size(), 20u);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(bound[i], fs::path(paths[i]).filename().string() + " DLLGetModuleCount 0");
  for (int i = 20; i < 25; ++i) EXPECT_FALSE(IsLoaded(paths[i])) << paths[i];

  Settle();
  ClearLog();
  EXPECT_EQ(Loader().AddLibrary(MDToUtf16(paths[20])), E_OUTOFMEMORY);
  EXPECT_EQ(Loader().AddLibrary(u"/nonexistent/library.so"), E_OUTOFMEMORY);
  EXPECT_EQ(Loader().LibraryCount(), 20);
  EXPECT_FALSE(IsLoaded(paths[20]));
  EXPECT_TRUE(Log().empty());

  Stop();
  Lines uninits;
  for (const std::string& line : Log())
    if (line.find(" ApplicationUninit") != std::string::npos) uninits.push_back(line);
  ASSERT_EQ(uninits.size(), 20u);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(uninits[i], fs::path(paths[i]).filename().string() + " ApplicationUninit");
  for (const std::string& path : paths) EXPECT_FALSE(IsLoaded(path)) << path;
}

TEST_F(Hosting, RaisingRegisterActionsRestoresTheListsAndLeavesTheLibraryAlone) {
  Plug("rec2", "a.so");
  Start();
  const std::string b = Plug("rec_raise_register", "b.so");  // record 1's registration raises
  Settle();
  ClearLog();
  EXPECT_EQ(Loader().AddLibrary(MDToUtf16(b)), E_UNEXPECTED);
  EXPECT_EQ(Loader().LibraryCount(), 1);
  EXPECT_EQ(Loader().ModulePoolCount(), 2);
  EXPECT_EQ(Loader().PagePoolCount(), 2);
  EXPECT_EQ(Log(), Calls("b.so", {InitLine(), "DLLGetModuleCount 0", "DLLGetModuleInfo 0",
                                  "DLLGetModuleInfo 1", "RegisterActions M0",
                                  "RegisterActions M1"}));
  // The pools carry on from where they were.
  const std::string c = Plug("rec1", "c.so");
  EXPECT_EQ(Loader().AddLibrary(MDToUtf16(c)), S_OK);
  ASSERT_EQ(Loader().LibraryCount(), 2);
  EXPECT_EQ(MDToUtf8(Loader().LibraryAt(1)->Path()), c);
  ASSERT_EQ(Loader().ModulePoolCount(), 3);
  TMDModuleInfo record{};
  Loader().GetModuleInfoAt(2, &record);
  EXPECT_EQ(LibraryOfFunction(record.CreateModule), "c.so");

  // The library that raised stays loaded and is never called again.
  ClearLog();
  Stop();
  for (const std::string& line : Log()) EXPECT_NE(line.rfind("b.so ", 0), 0u) << line;
  EXPECT_TRUE(IsLoaded(b));
}

TEST_F(Hosting, OnlyModuleSetZeroExists) {
  Plug("rec2", "a.so");
  Start();
  Settle();
  ClearLog();
  for (int32_t index : {1, -1, INT_MIN, INT_MAX})
    EXPECT_EQ(Loader().ActivateModuleSet(index), E_FAIL) << index;
  EXPECT_TRUE(Log().empty());  // nothing was created
  EXPECT_EQ(K->ModuleCount(), 2);
}

TEST_F(Hosting, AModuleThatCannotBeMadeIsSkipped) {
  Plug("rec_fail_create", "a.so");  // record 0's factory fails, leaving an object behind
  Start();
  // The object the failed factory left is released at once; the next entry is still made.
  EXPECT_EQ(StartLog(), Calls("a.so", {"DLLGetModuleCount 0", "DLLGetModuleInfo 0",
                                       "DLLGetModuleInfo 1", "RegisterActions M0",
                                       "RegisterActions M1", "CreateModule M0", "M0 destroyed",
                                       "CreateModule M1", "M1 state 5", "M1 state 5",
                                       "M1 state 10"}));
  const std::vector<TMDModuleInfo> modules = RegisteredModules();
  ASSERT_EQ(modules.size(), 1u);
  EXPECT_EQ(Text(modules[0].Name), u"Recorder M1");
}

// The pages go to the control panel: the built-in ones first and always shown, then the
// libraries' in pool order and optional; the Modules page is handed the loader; every page is
// out of the panel before the first library is finalized. The control panel comes with a later
// part of the host, so a stand-in that logs takes its place here.
class TLogPanel final : public TMDComImpl<TMDComObject, IMDControlPanel> {
 public:
  explicit TLogPanel(std::string log) : FLog(std::move(log)) {}
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    if (iid == IID_IMDControlPanel || iid == IID_IMDMessageSink)
      return MDHandOut<IMDControlPanel>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  }
  HRESULT MDCALL HandleMessage(const TMDMessage*) override { return S_OK; }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL AddPage(IMDPropertyPage* page, BOOL32 optional) override {
    TMDPageInfo info{};
    page->GetPageInfo(&info);
    Write("AddPage " + MDToUtf8(info.Name) + (optional ? " optional" : ""));
    Pages.emplace_back(page);
    return S_OK;
  }
  HRESULT MDCALL RemovePage(IMDPropertyPage*) override { return E_FAIL; }
  HRESULT MDCALL RemoveAllPages() override {
    Write("RemoveAllPages");
    Pages.clear();
    return S_OK;
  }
  void Write(const std::string& event) {
    std::ofstream(FLog, std::ios::app) << "panel " << event << "\n";
  }
  std::vector<TComPtr<IMDPropertyPage>> Pages;

 private:
  std::string FLog;
};

// A built-in page of the host; it logs the messages it is handed.
class TBuiltinPage final : public TMDComImpl<TMDComObject, IMDPropertyPage> {
 public:
  TBuiltinPage(const TMDPageInfo* info, TLogPanel* panel) : FInfo(*info), FPanel(panel) {}
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    if (iid == IID_IMDPropertyPage || iid == IID_IMDMessageSink)
      return MDHandOut<IMDPropertyPage>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* m) override {
    FPanel->Write(MDToUtf8(FInfo.Name) + " msg " + Hex(m->Msg) + " " + Hex(m->Param4));
    return S_OK;
  }
  HRESULT MDCALL GetPageInfo(TMDPageInfo* info) override {
    *info = FInfo;
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL ShowPage(MDHANDLE, const TMDRect*) override { return E_FAIL; }
  HRESULT MDCALL GetPageTitle(const char16_t** title) override {
    *title = FInfo.Name;
    return S_OK;
  }
  HRESULT MDCALL ClosePage() override { return S_OK; }
  int32_t MDCALL IsPageCreated() override { return 0; }

 private:
  TMDPageInfo FInfo;
  TLogPanel* FPanel;
};

TLogPanel* gPanel;  // for the built-in page factories below
extern const TMDPageInfo kBuiltinPages[3];
template <int I>
HRESULT MDCALL CreateBuiltinPage(IUnknown* owner, const GUID* iid, void** obj) {
  if (!owner) return E_FAIL;
  if (I == 2) return E_FAIL;  // the third built-in page cannot be made
  auto page = std::make_unique<TBuiltinPage>(&kBuiltinPages[I], gPanel);
  const HRESULT hr = page->QueryInterface(*iid, obj);
  if (MD_SUCCEEDED(hr)) page.release();
  return hr;
}
const TMDPageInfo kBuiltinPages[3] = {
    {u"General", u"", u"", 0, 0, 0, &CreateBuiltinPage<0>, nullptr},
    {u"Modules", u"", u"", 0, 0, 0, &CreateBuiltinPage<1>, nullptr},
    {u"Controls", u"", u"", 0, 0, 0, &CreateBuiltinPage<2>, nullptr},
};

TEST_F(Hosting, PagesGoToTheControlPanelAndLeaveItBeforeTheLibraries) {
  Plug("rec2", "a.so");
  Plug("rec_pages", "b.so");
  TMDKernel kernel(0, {});
  ASSERT_EQ(kernel.SetState(KS_STARTING), S_OK);
  ASSERT_EQ(kernel.Init(), S_OK);
  TComPtr<TLogPanel> panel(new TLogPanel(LogPath));
  gPanel = panel.Get();
  TComPtr<TKernelProxy> proxy(new TKernelProxy(&kernel, panel.Get()));
  auto loader = std::make_unique<TMDModuleLoader>(proxy.Get());
  loader->SetBuiltinPages({std::begin(kBuiltinPages), std::end(kBuiltinPages)});
  ASSERT_EQ(loader->Init(), S_OK);
  Lines pages;
  for (const std::string& line : Log())
    if (line.find("Page") != std::string::npos || line.find("msg") != std::string::npos ||
        line.find("destroyed") != std::string::npos)
      pages.push_back(line);
  EXPECT_EQ(pages, (Lines{"a.so DLLGetPropertyPage 0", "a.so DLLGetPropertyPage 1",
                          "b.so DLLGetPropertyPage 0", "b.so DLLGetPropertyPage 1",
                          // The third built-in page cannot be made and is left out.
                          "panel AddPage General", "panel AddPage Modules",
                          // So is the second page of each library (which leaves an object
                          // that the loader must release all the same).
                          "a.so CreatePage P0", "panel AddPage Recorder P0 optional",
                          "a.so CreatePage P1", "a.so P1 destroyed",
                          "b.so CreatePage P0", "panel AddPage Recorder P0 optional",
                          "b.so CreatePage P1", "b.so P1 destroyed",
                          "panel Modules msg 0xFC00 " +
                              Hex(reinterpret_cast<uintptr_t>(loader.get()))}));
  EXPECT_EQ(panel->Pages.size(), 4u);

  ClearLog();
  loader.reset();
  EXPECT_EQ(Log(), Cat({{"panel RemoveAllPages", "a.so P0 destroyed", "b.so P0 destroyed"},
                        Calls("a.so", {"Finalize M0", "Finalize M1", "Finalize P0", "Finalize P1",
                                       "ApplicationUninit", "unloaded"}),
                        Calls("b.so", {"Finalize P0", "Finalize P1", "ApplicationUninit",
                                       "unloaded"})}));
  EXPECT_TRUE(panel->Pages.empty());
  EXPECT_EQ(proxy->RefCount(), 1);  // the loader let go of the kernel
  ASSERT_EQ(kernel.SetState(KS_READY), S_OK);
  ASSERT_EQ(kernel.SetState(KS_STOPPING), S_OK);
  kernel.Done();
}

// ---------------------------------------------------------------------------------------------
// The playback library
// ---------------------------------------------------------------------------------------------

const std::string kVidcore = std::string(MIDAVO_MODULES_DIR) + "/vidcore.so";

TEST(Vidcore, ExportsExactlyItsTwoFunctions) {
  EXPECT_EQ(DynamicExports(kVidcore),
            (std::set<std::string>{"DLLGetModuleCount", "DLLGetModuleInfo"}));
  void* lib = ::dlopen(kVidcore.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  EXPECT_NE(::dlsym(lib, "DLLGetModuleCount"), nullptr);
  EXPECT_NE(::dlsym(lib, "DLLGetModuleInfo"), nullptr);
  for (const char* absent :
       {"ApplicationInit", "ApplicationUninit", "DLLGetPropertyCount", "DLLGetPropertyPage"})
    EXPECT_EQ(::dlsym(lib, absent), nullptr) << absent;
  ::dlclose(lib);
}

class VidcoreLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    Lib = ::dlopen(kVidcore.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(Lib, nullptr) << ::dlerror();
    Count = reinterpret_cast<TMDGetCountFunc>(::dlsym(Lib, "DLLGetModuleCount"));
    Info = reinterpret_cast<TMDGetModuleInfoFunc>(::dlsym(Lib, "DLLGetModuleInfo"));
    ASSERT_TRUE(Count && Info);
  }
  void TearDown() override {
    if (Lib) ::dlclose(Lib);
  }
  TMDModuleInfo Record() {
    TMDModuleInfo info{};
    EXPECT_EQ(Info(0, &info), S_OK);
    return info;
  }
  void* Lib = nullptr;
  TMDGetCountFunc Count = nullptr;
  TMDGetModuleInfoFunc Info = nullptr;
};

TEST_F(VidcoreLibrary, DescribesOneModule) {
  int32_t count = -7;
  EXPECT_EQ(Count(&count), S_OK);
  EXPECT_EQ(count, 1);
  const TMDModuleInfo info = Record();
  EXPECT_EQ(Text(info.Name), u"Simple Playback");
  EXPECT_EQ(Text(info.Description), u"Compatibility Mode Playback");
  EXPECT_GT(MDStrLen(info.Url), 0u);
  EXPECT_EQ(info.Version, 0x01000000u);
  EXPECT_EQ(info.Reserved1, 0);
  EXPECT_EQ(info.Reserved2, -1);
  EXPECT_NE(info.CreateModule, nullptr);
  EXPECT_EQ(info.Finalize, nullptr);
  EXPECT_NE(info.RegisterActions, nullptr);
  for (int32_t index : {1, -1, 2, INT_MIN, INT_MAX}) {
    TMDModuleInfo untouched = Filled<TMDModuleInfo>(0xAB);
    EXPECT_EQ(Info(index, &untouched), E_FAIL) << index;
    EXPECT_TRUE(AllBytes(untouched, 0xAB)) << index;
  }
}

// An owner that answers only IUnknown (so the module gets no kernel).
class TPlainOwner final : public TMDComObject {};

TEST_F(VidcoreLibrary, FactoryMakesTheModuleOrNothing) {
  const TMDModuleInfo info = Record();
  TMDKernel kernel(0, {});
  TComPtr<TKernelProxy> proxy(new TKernelProxy(&kernel, nullptr));
  IMDKernel* owner = proxy.Get();

  void* obj = nullptr;
  EXPECT_EQ(info.CreateModule(nullptr, &IID_IMDModule, &obj), E_FAIL);
  EXPECT_EQ(obj, nullptr);

  // An identity the module does not answer: the error, nothing handed out, and the module is
  // gone again (it let go of its kernel; under ASan a leak would show too).
  const GUID unknown = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  for (const GUID* iid : {&unknown, &IID_IMDKernel, &IID_IMDPropertyPage}) {
    obj = this;
    EXPECT_EQ(info.CreateModule(owner, iid, &obj), E_NOINTERFACE);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(proxy->RefCount(), 1);
  }

  obj = nullptr;
  ASSERT_EQ(info.CreateModule(owner, &IID_IMDModule, &obj), S_OK);
  auto module = TComPtr<IMDModule>::Adopt(static_cast<IMDModule*>(obj));
  EXPECT_EQ(proxy->RefCount(), 2);  // the module keeps its kernel
  TMDModuleInfo described{};
  EXPECT_EQ(module->GetModuleInfo(&described), S_OK);
  ExpectSameModuleInfo(described, info);
  void* sink = nullptr;
  ASSERT_EQ(module->QueryInterface(IID_IMDMessageSink, &sink), S_OK);
  EXPECT_EQ(sink, module.Get());
  static_cast<IUnknown*>(sink)->Release();
  for (uint32_t msg : {MDM_UPDATE, MDM_NOTIFY, MDM_APPLY, 0x1234u}) {
    TMDMessage m{};
    m.Msg = msg;
    EXPECT_EQ(module->HandleMessage(&m), S_OK) << msg;
  }
  EXPECT_EQ(module->SetState(KS_READY), S_OK);
  EXPECT_EQ(module->Stop(), S_OK);
  EXPECT_EQ(module->QueryStopped(), S_OK);
  module = nullptr;
  EXPECT_EQ(proxy->RefCount(), 1);

  // An owner that is no kernel gives a module without one.
  TComPtr<TPlainOwner> plain(new TPlainOwner);
  obj = nullptr;
  ASSERT_EQ(info.CreateModule(plain.Get(), &IID_IMDModule, &obj), S_OK);
  module = TComPtr<IMDModule>::Adopt(static_cast<IMDModule*>(obj));
  EXPECT_EQ(module->GetModuleInfo(&described), S_OK);
  EXPECT_EQ(Text(described.Name), u"Simple Playback");
  module = nullptr;
  EXPECT_EQ(plain->RefCount(), 1);
}

TEST_F(Hosting, VidcoreRegistersItsSixActionsAndItsModuleRuns) {
  const std::string vidcore = PlugVidcore();
  Start();
  const std::vector<TMDActionItem> actions = Actions();
  ASSERT_GE(actions.size(), 7u);
  EXPECT_EQ(Text(actions.front().Name), u"Shutdown Application");
  const char16_t* names[] = {u"Play",         u"Stop",         u"Pause",
                             u"Close Media",  u"Seek Forward", u"Seek Backward"};
  const size_t first = actions.size() - 6;
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Text(actions[first + i].Name), names[i]);
    EXPECT_EQ(actions[first + i].Id, 0x0A01 + static_cast<int32_t>(i));
    EXPECT_EQ(actions[first + i].Code, 0x0A01 + static_cast<int32_t>(i));
  }
  const std::vector<TMDModuleInfo> modules = RegisteredModules();
  ASSERT_EQ(modules.size(), 1u);
  EXPECT_EQ(Text(modules[0].Name), u"Simple Playback");
  EXPECT_EQ(LibraryOfFunction(modules[0].CreateModule), "vidcore.so");
  EXPECT_EQ(K->State(), KS_RUNNING);

  Stop();
  EXPECT_FALSE(IsLoaded(vidcore));
  EXPECT_NE(ReadFile(Dir + "/settings.ini").find("LastStopped="), std::string::npos);
}

// A module after vidcore's in set 0 receives every broadcast, so each went through vidcore's
// module first without ending the dispatch.
TEST_F(Hosting, AModuleAfterVidcoreReceivesEveryBroadcast) {
  PlugVidcore();
  Plug("rec1", "w.so");
  Start();
  const std::vector<TMDModuleInfo> modules = RegisteredModules();
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(Text(modules[0].Name), u"Simple Playback");
  EXPECT_EQ(LibraryOfFunction(modules[1].CreateModule), "w.so");

  const std::pair<uint32_t, int32_t> sent[] = {
      {MDM_UPDATE, 0},
      {MDM_NOTIFY, 1},
      {MDM_ACTION, MDA_PLAY},
      {MDM_ACTION, MDA_PAUSE},
      {MDM_ACTION, MDA_STOP},
      {MDM_ACTION, MDA_SEEK_FORWARD},
      {MDM_ACTION, MDA_SEEK_BACKWARD},
      {MDM_ACTION, MDA_CLOSE_MEDIA},
      {MDM_ACTION, 0x7A00},
      {MDM_APPLY, 0},
      {MDM_PAGE_NOTIFY, 0},
      {0x4321, -1},
  };
  Lines expected = {"0xFB00 0x0"};
  for (const auto& [msg, param] : sent) {
    TMDMessage m{};
    m.Msg = msg;
    m.Param1 = param;
    ASSERT_EQ(K->HandleMessage(&m), S_OK);
    expected.push_back(Hex(msg) + " " + Hex(static_cast<uint32_t>(param)));
  }
  ASSERT_TRUE(Eventually([&] { return MessagesOf("w.so M0").size() >= expected.size(); }))
      << ::testing::PrintToString(MessagesOf("w.so M0"));
  EXPECT_EQ(MessagesOf("w.so M0"), expected);
  Stop();
  EXPECT_EQ(MainLog().back(), "w.so unloaded");
}

// ---------------------------------------------------------------------------------------------
// Bad input: a Modules folder with everything that is not a usable library
// ---------------------------------------------------------------------------------------------

TEST_F(Hosting, UnusableFilesInTheModulesFolderAreSkipped) {
  fs::create_directories(Modules);
  std::ofstream(Modules + "/.so") << "not a library\n";
  std::ofstream(Modules + "/empty.so").close();
  fs::create_directory(Modules + "/x.so");
  fs::create_symlink("nowhere.so", Modules + "/gone.so");
  Plug("unresolved", "m_unresolved.so");
  Plug("rec_raise_app", "t_raising.so");
  Plug("rec1", "b_good.so");
  Plug("rec1", "k_good.so");
  Plug("rec1", "z_good.so");

  Start();
  ASSERT_EQ(Loader().LibraryCount(), 3);
  const char* loaded[] = {"b_good.so", "k_good.so", "z_good.so"};
  for (int32_t i = 0; i < 3; ++i)
    EXPECT_EQ(MDToUtf8(Loader().LibraryAt(i)->Path()), Modules + "/" + loaded[i]);
  const std::string init = InitLine();
  EXPECT_EQ(FirstInits(), (Lines{"b_good.so " + init, "k_good.so " + init,
                                 "t_raising.so " + init, "z_good.so " + init}));
  const Lines good = {"DLLGetModuleCount 0", "DLLGetModuleInfo 0", "RegisterActions M0"};
  const Lines made = {"CreateModule M0", "M0 state 5", "M0 state 5"};
  EXPECT_EQ(StartLog(),
            Cat({Calls("b_good.so", good), Calls("k_good.so", good),
                 Calls("t_raising.so", {"ApplicationUninit"}),
                 Calls("z_good.so", good), Calls("b_good.so", made), Calls("k_good.so", made),
                 Calls("b_good.so", {"M0 state 10"}), Calls("k_good.so", {"M0 state 10"})}));
  EXPECT_EQ(RecorderActions(), (std::vector<int32_t>{0x7A00, 0x7A00, 0x7A00}));
  ASSERT_TRUE(Eventually([&] { return MessagesOf("k_good.so M0").size() == 1; }));
  EXPECT_EQ(MessagesOf("b_good.so M0"), Lines{"0xFB00 0x0"});

  ClearLog();
  Stop();
  const Lines teardown = {"Finalize M0", "ApplicationUninit", "unloaded"};
  EXPECT_EQ(StopLog(), Cat({Calls("b_good.so", {"M0 state 5"}), Calls("k_good.so", {"M0 state 5"}),
                        Calls("b_good.so", {"M0 Stop"}), Calls("k_good.so", {"M0 Stop"}),
                        Calls("b_good.so", {"M0 destroyed"}), Calls("k_good.so", {"M0 destroyed"}),
                        Calls("b_good.so", teardown), Calls("k_good.so", teardown),
                        Calls("z_good.so", teardown)}));
  // Nothing in the folder was touched.
  EXPECT_EQ(ReadFile(Modules + "/.so"), "not a library\n");
  EXPECT_EQ(fs::file_size(Modules + "/empty.so"), 0u);
  EXPECT_TRUE(fs::is_directory(Modules + "/x.so"));
  EXPECT_TRUE(fs::is_symlink(Modules + "/gone.so"));
  EXPECT_NE(ReadFile(Dir + "/settings.ini").find("LastStopped="), std::string::npos);
}

}  // namespace
