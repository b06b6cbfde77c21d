// mdcheck.cpp - checks a plug-in library against the plug-in contract, as the host would use it.
//
//   mdcheck [--json] [--timeout SECONDS] LIBRARY.so
//
// The checker loads nothing itself: every check runs in a child process of its own that loads
// the library, binds it as the host does (ApplicationInit, the count and record exports) and
// runs one check, so a library that crashes or hangs is reported with the check that made it
// crash or hang, and the next check starts from a fresh process. First the "load", "exports"
// and "bind" checks run; what the bind child reports (the records and which functions they
// carry) decides the checks that follow. One line per check, then "N passed, M failed"; the
// exit status is 1 when a check failed, 2 on a usage error. --json prints one JSON object
// instead.
//
// Threads: the parent is single-threaded. In a child the main thread plays the host's main
// thread (it calls factories, SetState, Stop, Finalize, and is the Qt GUI thread of the page
// "show" check) and a second thread plays the kernel's dispatch thread (it calls
// HandleMessage); Synchronize requests of the plug-in are served by the main thread while it
// waits (UMDCheckHarness.h).
#include <QApplication>
#include <QWidget>
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UMDCheckHarness.h"

// ---------------------------------------------------------------------------------------------
// Live allocations: operator new and delete of the checker replace the library's too (the
// program's definitions come first in the global scope), so a child can see whether a call left
// objects behind.
// ---------------------------------------------------------------------------------------------

namespace {
std::atomic<long> gLiveBlocks{0};

void* CountedAlloc(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  ++gLiveBlocks;
  return p;
}
void CountedFree(void* p) noexcept {
  if (!p) return;
  --gLiveBlocks;
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }

namespace {

int gTimeoutMs = 10000;         // per check, enforced by the parent
constexpr int kStopLimitMs = 5000;  // Stop/QueryStopped, Shutdown, message delivery

// An interface no plug-in object answers.
constexpr GUID kForeignIID = {0x6D646368, 0x6563, 0x4B21, {0x8E, 0x5A, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};
void* const kJunk = reinterpret_cast<void*>(uintptr_t{0x1});

// A failed check: thrown inside a child, reported as its detail.
struct TCheckFailure {
  std::string Detail;
};
[[noreturn]] void Fail(const std::string& detail) { throw TCheckFailure{detail}; }
void Expect(bool ok, const std::string& detail) {
  if (!ok) Fail(detail);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}
std::string Version(uint32_t v) {
  return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." +
         std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}
std::string Text(const char16_t* text) { return text ? "\"" + MDToUtf8(text) + "\"" : "nil"; }

// ---------------------------------------------------------------------------------------------
// The library as the host binds it (in a child)
// ---------------------------------------------------------------------------------------------

struct TLibrary {
  void* Handle = nullptr;
  TMDGetCountFunc ModuleCount = nullptr, PageCount = nullptr, InputCount = nullptr;
  TMDGetModuleInfoFunc ModuleInfo = nullptr;
  TMDGetPageInfoFunc PageInfo = nullptr;
  TMDGetInputInfoFunc InputInfo = nullptr;
  std::vector<TMDModuleInfo> Modules;
  std::vector<TMDPageInfo> Pages;
  std::vector<TMDInputInfo> Inputs;
  int32_t Counts[3] = {0, 0, 0};  // as reported

  template <class F>
  F Symbol(const char* name) {
    return reinterpret_cast<F>(::dlsym(Handle, name));
  }
};

std::string gPath;

void Load(TLibrary& lib) {
  lib.Handle = ::dlopen(gPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  Expect(lib.Handle != nullptr, std::string("dlopen failed: ") + (::dlerror() ?: "?"));
}

// ApplicationInit first, then each complete pair: the count preset to 0, the records into
// zero-filled buffers, ascending.
void Bind(TLibrary& lib) {
  Load(lib);
  if (auto init = lib.Symbol<TMDApplicationInitFunc>("ApplicationInit")) init(nullptr, 0);
  lib.ModuleCount = lib.Symbol<TMDGetCountFunc>("DLLGetModuleCount");
  lib.ModuleInfo = lib.Symbol<TMDGetModuleInfoFunc>("DLLGetModuleInfo");
  lib.PageCount = lib.Symbol<TMDGetCountFunc>("DLLGetPropertyCount");
  lib.PageInfo = lib.Symbol<TMDGetPageInfoFunc>("DLLGetPropertyPage");
  lib.InputCount = lib.Symbol<TMDGetCountFunc>("DLLGetInputCount");
  lib.InputInfo = lib.Symbol<TMDGetInputInfoFunc>("DLLGetInputInfo");
  auto records = [](TMDGetCountFunc count, auto info, auto& out, int32_t& reported) {
    if (!count || !info) return;
    int32_t n = 0;
    count(&n);
    reported = n;
    out.assign(n > 0 ? n : 0, {});
    for (int32_t i = 0; i < n; ++i) info(i, &out[i]);
  };
  records(lib.ModuleCount, lib.ModuleInfo, lib.Modules, lib.Counts[0]);
  records(lib.PageCount, lib.PageInfo, lib.Pages, lib.Counts[1]);
  records(lib.InputCount, lib.InputInfo, lib.Inputs, lib.Counts[2]);
}

// The host calls every module record's RegisterActions right after binding, each under a guard
// of its own. One that raises is reported by its record's "actions" check, not by every check.
void RegisterAll(TLibrary& lib, TMDCheckKernel& kernel) {
  for (const TMDModuleInfo& info : lib.Modules)
    if (info.RegisterActions) MDGuard([&] { return info.RegisterActions(&kernel.FActions); });
}

// ---------------------------------------------------------------------------------------------
// Factory checks, shared by modules, pages and input modules
// ---------------------------------------------------------------------------------------------

struct TFactory {
  TMDCreateFunc Create;
  const GUID* Iid;
  IUnknown* Owner;
};

// A nil owner: E_FAIL, and nothing in the out pointer.
std::string CheckNilOwner(const TFactory& f) {
  void* obj = nullptr;
  const HRESULT hr = f.Create(nullptr, f.Iid, &obj);
  if (obj && MD_FAILED(hr)) static_cast<IUnknown*>(obj)->Release();
  Expect(hr == E_FAIL, "a nil owner gave " + Hex(hr) + ", expected E_FAIL");
  Expect(obj == nullptr, "a nil owner left an object in the out pointer");
  return "E_FAIL, no object";
}

// An interface the object does not answer: a failure, a nil out pointer, and no object left
// alive. The first call may set up what the library keeps for good; the second must leave as
// many live allocations as there were before it.
std::string CheckForeignInterface(const TFactory& f, TMDCheckKernel& kernel) {
  for (int round = 0; round < 2; ++round) {
    const long before = gLiveBlocks.load();
    void* obj = nullptr;
    const HRESULT hr = f.Create(f.Owner, &kForeignIID, &obj);
    Expect(MD_FAILED(hr), "asked for an interface it does not answer, the factory answered " + Hex(hr));
    Expect(obj == nullptr, "a failed factory left a pointer in the out argument");
    const long leaked = gLiveBlocks.load() - before;
    if (round == 1)
      Expect(leaked <= 0, "a failed factory left " + std::to_string(leaked) +
                              " allocation(s) alive (the object was not freed)");
  }
  const std::string refs = kernel.Outstanding();
  Expect(refs.empty(), "a failed factory kept references: " + refs);
  return "failed with nothing left alive";
}

std::string Identity(IUnknown* p) {
  void* unk = nullptr;
  const HRESULT hr = p->QueryInterface(IID_IUnknown, &unk);
  Expect(hr == S_OK && unk, "QueryInterface(IUnknown) answered " + Hex(hr));
  static_cast<IUnknown*>(unk)->Release();
  char text[32];
  std::snprintf(text, sizeof text, "%p", unk);
  return text;
}

// The object the factory made for `iid`: QueryInterface, AddRef and Release by the rules, one
// identity across its interfaces, `more` answered by the same object. Returns the object with
// the factory's reference, which the caller releases.
IUnknown* CreateChecked(const TFactory& f, std::initializer_list<GUID> more) {
  void* obj = nullptr;
  const HRESULT hr = f.Create(f.Owner, f.Iid, &obj);
  Expect(MD_SUCCEEDED(hr), "the factory failed: " + Hex(hr));
  Expect(obj != nullptr, "the factory succeeded but left no object");
  auto* itf = static_cast<IUnknown*>(obj);
  const std::string id = Identity(itf);
  for (const GUID& iid : more) {
    void* other = nullptr;
    const HRESULT qhr = itf->QueryInterface(iid, &other);
    Expect(qhr == S_OK && other, "QueryInterface of an interface the object offers answered " + Hex(qhr));
    auto* o = static_cast<IUnknown*>(other);
    const std::string otherId = Identity(o);
    o->Release();
    Expect(otherId == id, "two interfaces of one object answer different IUnknown pointers");
  }
  void* none = kJunk;
  const HRESULT nhr = itf->QueryInterface(kForeignIID, &none);
  Expect(nhr == E_NOINTERFACE, "QueryInterface of a foreign interface answered " + Hex(nhr) +
                                   ", expected E_NOINTERFACE");
  Expect(none == nullptr, "QueryInterface of a foreign interface did not clear the out pointer");
  const HRESULT phr = itf->QueryInterface(IID_IUnknown, nullptr);
  Expect(phr == E_POINTER, "QueryInterface with a nil out pointer answered " + Hex(phr) +
                               ", expected E_POINTER");
  const uint32_t a = itf->AddRef();
  const uint32_t b = itf->AddRef();
  Expect(b == a + 1, "AddRef answered " + std::to_string(a) + " then " + std::to_string(b));
  const uint32_t c = itf->Release();
  const uint32_t d = itf->Release();
  Expect(c == a && d + 1 == a, "Release answered " + std::to_string(c) + " then " +
                                   std::to_string(d) + " after AddRef answered " +
                                   std::to_string(a) + ", " + std::to_string(b));
  Expect(d == 1, "the factory handed out " + std::to_string(d) +
                     " references; it must hand out exactly one");
  return itf;
}

// Releases the factory's reference: the last one, so the object is freed, and everything it
// took from the host is given back.
void ReleaseChecked(IUnknown* itf, TMDCheckKernel& kernel, TMDCheckBinder* binder = nullptr) {
  const long before = gLiveBlocks.load();
  const uint32_t left = itf->Release();
  const bool freed = gLiveBlocks.load() < before;  // before any message text is allocated
  Expect(left == 0, "the last Release answered " + std::to_string(left) + ", expected 0");
  Expect(freed, "the last Release freed nothing: the object stayed alive");
  const std::string refs = kernel.Outstanding();
  Expect(refs.empty(), "the released object still holds references: " + refs);
  if (binder)
    Expect(binder->FRefs.Outstanding() == 0, "the released input module still holds " +
                                                 std::to_string(binder->FRefs.Outstanding()) +
                                                 " binder reference(s)");
}

// ---------------------------------------------------------------------------------------------
// Module and page life
// ---------------------------------------------------------------------------------------------

// Every message the system broadcasts, each once (MDM_SET_LOADER is the host's own and is
// never delivered to plug-ins' objects with a pointer they could use).
std::vector<TMDMessage> AllMessages() {
  std::vector<TMDMessage> list;
  auto add = [&](uint32_t id, int32_t p1) {
    TMDMessage m{};
    m.Msg = id;
    m.Param1 = p1;
    list.push_back(m);
  };
  for (int32_t code : {MDA_PLAY, MDA_STOP, MDA_PAUSE, MDA_CLOSE_MEDIA, MDA_SEEK_FORWARD,
                       MDA_SEEK_BACKWARD, MDA_SHOW_CONTROL_PANEL, MDA_HIDE_CONTROL_PANEL, 0x7FEE})
    add(MDM_ACTION, code);
  for (int32_t code : {MDN_OPENED, MDN_CLOSED, MDN_OPEN_FAILED, MDN_PLAYING, MDN_STOPPED,
                       MDN_PAUSED, MDN_COMPLETE})
    add(MDM_NOTIFY, code);
  for (uint32_t id : {MDM_INPUT_ASSIGNED, MDM_STARTED, MDM_UPDATE, MDM_PAGE_NOTIFY, MDM_APPLY,
                      0x7ABCu, MDM_SHUTDOWN})
    add(id, 0);
  return list;
}

// Delivers every message from a dispatch thread while the main thread serves Synchronize.
std::string Deliver(IMDMessageSink* sink, TMDCheckKernel& kernel) {
  const std::vector<TMDMessage> messages = AllMessages();
  std::atomic<bool> done{false};
  std::string failure;  // written by the dispatch thread before done
  std::thread dispatch([&] {
    for (const TMDMessage& m : messages) {
      HRESULT hr = S_OK;
      try {
        hr = sink->HandleMessage(&m);
      } catch (...) {
        failure = "HandleMessage(" + Hex(m.Msg) + ", " + Hex(m.Param1) + ") raised an exception";
        break;
      }
      if (hr != S_OK) {
        failure = "HandleMessage(" + Hex(m.Msg) + ", " + Hex(m.Param1) + ") answered " + Hex(hr);
        break;
      }
    }
    done = true;
  });
  const bool finished = kernel.ServeUntil([&] { return done.load(); }, kStopLimitMs);
  if (!finished) {
    dispatch.detach();
    Fail("HandleMessage did not return within " + std::to_string(kStopLimitMs) + " ms");
  }
  dispatch.join();
  Expect(failure.empty(), failure);
  return std::to_string(messages.size()) + " messages answered S_OK";
}

void StopModule(IMDModule* module, TMDCheckKernel& kernel) {
  module->SetState(KS_STOPPING);
  module->Stop();
  const bool stopped = kernel.ServeUntil([&] { return module->QueryStopped() == S_OK; }, kStopLimitMs);
  Expect(stopped, "QueryStopped did not answer S_OK within " + std::to_string(kStopLimitMs) +
                      " ms of Stop");
}

// ---------------------------------------------------------------------------------------------
// The checks (each runs in a child)
// ---------------------------------------------------------------------------------------------

enum class TKind { Module, Page, Input };

struct TCheck {
  std::string Name;
  std::function<std::string(int out)> Run;  // throws TCheckFailure; `out` takes extra lines
};

std::string CheckLoad(int) {
  TLibrary lib;
  Load(lib);
  return "loaded with every symbol resolved";
}

std::string CheckExports(int) {
  TLibrary lib;
  Load(lib);
  struct TPair {
    const char* Count;
    const char* Info;
  };
  std::string found, half;
  for (TPair p : {TPair{"DLLGetModuleCount", "DLLGetModuleInfo"},
                  TPair{"DLLGetPropertyCount", "DLLGetPropertyPage"},
                  TPair{"DLLGetInputCount", "DLLGetInputInfo"}}) {
    const bool c = ::dlsym(lib.Handle, p.Count) != nullptr;
    const bool i = ::dlsym(lib.Handle, p.Info) != nullptr;
    if (c && i) found += std::string(found.empty() ? "" : ", ") + p.Count + "/" + p.Info;
    if (c != i) half += std::string(half.empty() ? "" : ", ") + (c ? p.Count : p.Info) + " without " + (c ? p.Info : p.Count);
  }
  Expect(half.empty(), "half a pair: " + half);
  Expect(!found.empty(), "no complete pair of exports: the host cannot bind it");
  return found;
}

// Reports the records to the parent: "M i create register finalize", "P i create finalize",
// "I i create", one line each.
std::string CheckBind(int out) {
  TLibrary lib;
  Bind(lib);
  const char* kinds[3] = {"module", "page", "input"};
  for (int k = 0; k < 3; ++k)
    Expect(lib.Counts[k] >= 0, std::string("the ") + kinds[k] + " count is " +
                                   std::to_string(lib.Counts[k]));
  std::string lines;
  for (size_t i = 0; i < lib.Modules.size(); ++i)
    lines += "M " + std::to_string(i) + " " + (lib.Modules[i].CreateModule ? "1" : "0") + " " +
             (lib.Modules[i].RegisterActions ? "1" : "0") + "\n";
  for (size_t i = 0; i < lib.Pages.size(); ++i)
    lines += "P " + std::to_string(i) + " " + (lib.Pages[i].CreatePage ? "1" : "0") + "\n";
  for (size_t i = 0; i < lib.Inputs.size(); ++i)
    lines += "I " + std::to_string(i) + " " + (lib.Inputs[i].CreateInput ? "1" : "0") + "\n";
  [[maybe_unused]] ssize_t n = ::write(out, lines.data(), lines.size());
  return std::to_string(lib.Modules.size()) + " module(s), " + std::to_string(lib.Pages.size()) +
         " page(s), " + std::to_string(lib.Inputs.size()) + " input source(s)";
}

void ExpectText(const char16_t* text, const char* what, bool nonEmpty) {
  Expect(text != nullptr, std::string(what) + " is nil");
  Expect(!nonEmpty || *text, std::string(what) + " is empty");
}

std::string CheckRecord(TKind kind, int index) {
  TLibrary lib;
  Bind(lib);
  std::string detail;
  if (kind == TKind::Module) {
    const TMDModuleInfo& r = lib.Modules.at(index);
    ExpectText(r.Name, "Name", true);
    ExpectText(r.Description, "Description", false);
    ExpectText(r.Url, "Url", false);
    detail = Text(r.Name) + " " + Version(r.Version) + (r.CreateModule ? "" : ", no factory");
  } else if (kind == TKind::Page) {
    const TMDPageInfo& r = lib.Pages.at(index);
    ExpectText(r.Name, "Name", true);
    ExpectText(r.Description, "Description", false);
    ExpectText(r.Url, "Url", false);
    detail = Text(r.Name) + " " + Version(r.Version) + (r.CreatePage ? "" : ", no factory");
  } else {
    const TMDInputInfo& r = lib.Inputs.at(index);
    ExpectText(r.Name, "Name", true);
    ExpectText(r.Author, "Author", false);
    detail = Text(r.Name) + " " + Version(r.Version) + (r.CreateInput ? "" : ", no factory");
  }
  return detail;
}

std::string CheckActions(int index) {
  TLibrary lib;
  Bind(lib);
  TMDCheckKernel kernel;
  const TMDModuleInfo& r = lib.Modules.at(index);
  // Without a list (a host that has none), then with one.
  r.RegisterActions(nullptr);
  r.RegisterActions(&kernel.FActions);
  const std::vector<TMDActionItem> items = kernel.FActions.Items();
  for (const TMDActionItem& item : items)
    ExpectText(item.Name, ("action " + Hex(item.Code) + " Name").c_str(), true);
  const std::string refs = kernel.Outstanding();
  Expect(refs.empty(), "RegisterActions kept references: " + refs);
  std::string names;
  for (const TMDActionItem& item : items) names += (names.empty() ? "" : ", ") + Text(item.Name);
  return std::to_string(items.size()) + " action(s)" + (names.empty() ? "" : ": " + names);
}

TFactory FactoryOf(TLibrary& lib, TKind kind, int index, TMDCheckKernel& kernel,
                   TMDCheckBinder& binder) {
  if (kind == TKind::Module) return {lib.Modules.at(index).CreateModule, &IID_IMDModule, &kernel};
  if (kind == TKind::Page) return {lib.Pages.at(index).CreatePage, &IID_IMDPropertyPage, &kernel};
  return {lib.Inputs.at(index).CreateInput, &IID_IMDInputModule, &binder};
}

enum class TFactoryCheck { NilOwner, Foreign, Object, Messages, Stop, Show };

// A page's form in a window of the checker's own, on Qt's offscreen platform: shown, destroyed
// with parent 0, shown again, closed; IsPageCreated follows. The page is released while the
// application still exists, as the control panel does.
std::string ShowPage(IMDPropertyPage* page) {
  TMDRect rect{0, 0, 320, 240};
  QWidget host;
  host.resize(320, 240);
  const MDHANDLE parent = static_cast<MDHANDLE>(host.winId());
  const HRESULT hr = page->ShowPage(parent, &rect);
  QApplication::processEvents();
  if (MD_FAILED(hr)) {
    Expect(page->IsPageCreated() == 0, "ShowPage failed but IsPageCreated answers 1");
    return "ShowPage answered " + Hex(hr) + ": the page has no form";
  }
  Expect(page->IsPageCreated() == 1, "ShowPage succeeded but IsPageCreated answers " +
                                         std::to_string(page->IsPageCreated()));
  page->ShowPage(0, nullptr);
  QApplication::processEvents();
  Expect(page->IsPageCreated() == 0, "ShowPage(0) did not destroy the form");
  Expect(MD_SUCCEEDED(page->ShowPage(parent, &rect)), "a second ShowPage failed");
  QApplication::processEvents();
  Expect(page->IsPageCreated() == 1, "the second ShowPage made no form");
  page->ClosePage();
  QApplication::processEvents();
  Expect(page->IsPageCreated() == 0, "ClosePage did not destroy the form");
  return "form shown, destroyed, shown again and closed";
}

std::string CheckFactory(TKind kind, int index, TFactoryCheck what) {
  TLibrary lib;
  Bind(lib);
  TMDCheckKernel kernel;
  TMDCheckBinder binder;
  RegisterAll(lib, kernel);
  const TFactory f = FactoryOf(lib, kind, index, kernel, binder);
  // Pages are made and shown on a Qt GUI thread, as in the host; this child has no screen.
  std::unique_ptr<QApplication> app;
  if (kind == TKind::Page && what == TFactoryCheck::Show) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "mdcheck";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
  }
  if (what == TFactoryCheck::NilOwner) return CheckNilOwner(f);
  if (what == TFactoryCheck::Foreign) return CheckForeignInterface(f, kernel);

  std::string detail;
  if (kind == TKind::Module) {
    IUnknown* obj = CreateChecked(f, {IID_IMDModule, IID_IMDMessageSink});
    auto* module = static_cast<IMDModule*>(obj);
    TMDModuleInfo info{};
    Expect(module->GetModuleInfo(&info) == S_OK, "GetModuleInfo failed");
    Expect(info.Name && lib.Modules[index].Name &&
               MDToUtf8(info.Name) == MDToUtf8(lib.Modules[index].Name),
           "GetModuleInfo names " + Text(info.Name) + ", the record " + Text(lib.Modules[index].Name));
    // The host's start-up: ready, then running.
    module->SetState(KS_READY);
    module->SetState(KS_RUNNING);
    if (what == TFactoryCheck::Messages) detail = Deliver(module, kernel);
    const auto start = std::chrono::steady_clock::now();
    // The host stops every module before it lets go of it; the object check leaves that to the
    // stop check.
    if (what != TFactoryCheck::Object) StopModule(module, kernel);
    if (what == TFactoryCheck::Stop) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start).count();
      detail = "stopped in " + std::to_string(ms) + " ms";
    }
    ReleaseChecked(obj, kernel);
    if (what == TFactoryCheck::Object) detail = "one reference, one identity, released cleanly";
  } else if (kind == TKind::Page) {
    IUnknown* obj = CreateChecked(f, {IID_IMDPropertyPage, IID_IMDMessageSink});
    auto* page = static_cast<IMDPropertyPage*>(obj);
    TMDPageInfo info{};
    Expect(page->GetPageInfo(&info) == S_OK, "GetPageInfo failed");
    const char16_t* title = nullptr;
    Expect(MD_SUCCEEDED(page->GetPageTitle(&title)) && title, "GetPageTitle gave no title");
    const int32_t created = page->IsPageCreated();
    Expect(created == 0, "IsPageCreated answered " + std::to_string(created) +
                             " before the page was shown");
    page->SetState(KS_READY);
    page->SetState(KS_RUNNING);
    if (what == TFactoryCheck::Messages) detail = Deliver(page, kernel);
    if (what == TFactoryCheck::Show) detail = ShowPage(page);
    page->SetState(KS_STOPPING);
    ReleaseChecked(obj, kernel);
    if (what == TFactoryCheck::Object)
      detail = "one reference, one identity, title " + Text(title) + ", released cleanly";
  } else {
    IUnknown* obj = CreateChecked(f, {IID_IMDInputModule});
    auto* input = static_cast<IMDInputModule*>(obj);
    TMDInputInfo info{};
    Expect(input->GetInputInfo(&info) == S_OK, "GetInputInfo failed");
    Expect(info.Name && lib.Inputs[index].Name &&
               MDToUtf8(info.Name) == MDToUtf8(lib.Inputs[index].Name),
           "GetInputInfo names " + Text(info.Name) + ", the record " + Text(lib.Inputs[index].Name));
    // Shutdown within the limit; no report after it returned.
    std::atomic<bool> done{false};
    std::thread shut([&] {
      input->Shutdown();
      binder.FShutDown = true;
      done = true;
    });
    const auto start = std::chrono::steady_clock::now();
    while (!done && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kStopLimitMs))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!done) {
      shut.detach();
      Fail("Shutdown did not return within " + std::to_string(kStopLimitMs) + " ms");
    }
    shut.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Expect(binder.FLateReports == 0, std::to_string(binder.FLateReports.load()) +
                                         " input(s) reported after Shutdown returned");
    Expect(binder.FNilReports == 0, "an input was reported with a nil source or name");
    ReleaseChecked(obj, kernel, &binder);
    detail = "one reference, one identity, shut down, released cleanly (" +
             std::to_string(binder.FReports.load()) + " report(s))";
  }
  return detail;
}

// The end of the library's life in the host's order: objects released, every module record's
// Finalize, then every page record's, then ApplicationUninit, then dlclose, after which the
// library must be gone from the process.
std::string CheckUnload(int) {
  TLibrary lib;
  Bind(lib);
  TMDCheckKernel kernel;
  TMDCheckBinder binder;
  RegisterAll(lib, kernel);
  int finalized = 0;
  for (const TMDModuleInfo& r : lib.Modules)
    if (r.Finalize) r.Finalize(), ++finalized;
  for (const TMDPageInfo& r : lib.Pages)
    if (r.Finalize) r.Finalize(), ++finalized;
  auto uninit = lib.Symbol<TMDApplicationUninitFunc>("ApplicationUninit");
  if (uninit) uninit();
  ::dlclose(lib.Handle);
  void* still = ::dlopen(gPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (still) ::dlclose(still);
  Expect(!still, "the library stays loaded after it was closed (a \"unique\" symbol, or a thread "
                 "of its own still running?): build it with -fno-gnu-unique");
  return std::to_string(finalized) + " Finalize call(s)" + (uninit ? ", ApplicationUninit" : "") +
         ", unloaded";
}

// ---------------------------------------------------------------------------------------------
// Running checks in children
// ---------------------------------------------------------------------------------------------

struct TResult {
  std::string Name;
  bool Passed = false;
  std::string Detail;
  std::string Extra;  // the bind child's record lines
};

TResult RunInChild(const TCheck& check) {
  TResult result;
  result.Name = check.Name;
  int fds[2];
  if (::pipe(fds) != 0) {
    result.Detail = "pipe failed";
    return result;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(2, 1);  // whatever the library prints goes to stderr, not into the report
    std::string line;
    try {
      line = "PASS " + check.Run(fds[1]);
    } catch (const TCheckFailure& f) {
      line = "FAIL " + f.Detail;
    } catch (const std::exception& e) {
      line = std::string("FAIL an exception left the library: ") + e.what();
    } catch (...) {
      line = "FAIL an exception left the library";
    }
    line = "\x1e" + line;  // marks the result after any record lines
    [[maybe_unused]] ssize_t n = ::write(fds[1], line.data(), line.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(gTimeoutMs);
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, n);
  }
  ::close(fds[0]);
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const size_t mark = text.find('\x1e');
  if (mark != std::string::npos) {
    result.Extra = text.substr(0, mark);
    const std::string line = text.substr(mark + 1);
    result.Passed = line.compare(0, 5, "PASS ") == 0;
    result.Detail = line.substr(5);
    if (result.Passed && WIFSIGNALED(status)) {
      result.Passed = false;
      result.Detail = std::string("crashed after the check, at exit: ") + strsignal(WTERMSIG(status));
    }
  } else if (timedOut) {
    result.Detail = "timed out after " + std::to_string(gTimeoutMs / 1000) + " s";
  } else if (WIFSIGNALED(status)) {
    result.Detail = std::string("crashed: ") + strsignal(WTERMSIG(status));
  } else {
    // A sanitizer that catches a crash reports it on stderr and exits with a status.
    result.Detail = "ended without a result (exit status " + std::to_string(WEXITSTATUS(status)) +
                    "): crashed under a sanitizer (see its report), or the library called exit";
  }
  return result;
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
    else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else out += static_cast<char>(c);
  }
  return out + "\"";
}

int Usage() {
  std::fprintf(stderr, "usage: mdcheck [--json] [--timeout SECONDS] LIBRARY.so\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") json = true;
    else if (arg == "--timeout" && i + 1 < argc) gTimeoutMs = std::atoi(argv[++i]) * 1000;
    else if (arg == "-h" || arg == "--help") return Usage(), 0;
    else if (!arg.empty() && arg[0] == '-') return Usage();
    else if (gPath.empty()) gPath = arg;
    else return Usage();
  }
  if (gPath.empty() || gTimeoutMs <= 0) return Usage();
  // dlopen searches the library path for a bare name; a plug-in is always a file.
  if (gPath.find('/') == std::string::npos) gPath = "./" + gPath;

  std::vector<TResult> results;
  auto run = [&](TCheck check) -> const TResult& {
    results.push_back(RunInChild(check));
    const TResult& r = results.back();
    if (!json)
      std::printf("%s  %-28s %s\n", r.Passed ? "PASS" : "FAIL", r.Name.c_str(), r.Detail.c_str());
    std::fflush(stdout);
    return r;
  };

  if (run({"load", CheckLoad}).Passed && run({"exports", CheckExports}).Passed) {
    const TResult bind = run({"bind", CheckBind});
    if (bind.Passed) {
      std::istringstream lines(bind.Extra);
      char kind;
      int index;
      while (lines >> kind >> index) {
        int create = 0, reg = 0;
        lines >> create;
        if (kind == 'M') lines >> reg;
        const TKind k = kind == 'M' ? TKind::Module : kind == 'P' ? TKind::Page : TKind::Input;
        const std::string prefix =
            (kind == 'M' ? "module[" : kind == 'P' ? "page[" : "input[") + std::to_string(index) + "].";
        run({prefix + "record", [=](int) { return CheckRecord(k, index); }});
        if (reg) run({prefix + "actions", [=](int) { return CheckActions(index); }});
        if (!create) continue;
        auto factory = [=](TFactoryCheck what) {
          return [=](int) { return CheckFactory(k, index, what); };
        };
        run({prefix + "nil-owner", factory(TFactoryCheck::NilOwner)});
        run({prefix + "foreign-interface", factory(TFactoryCheck::Foreign)});
        run({prefix + "object", factory(TFactoryCheck::Object)});
        if (k != TKind::Input) run({prefix + "messages", factory(TFactoryCheck::Messages)});
        if (k == TKind::Page) run({prefix + "show", factory(TFactoryCheck::Show)});
        if (k == TKind::Module) run({prefix + "stop", factory(TFactoryCheck::Stop)});
      }
      run({"unload", CheckUnload});
    }
  }

  int passed = 0, failed = 0;
  for (const TResult& r : results) (r.Passed ? passed : failed)++;
  if (json) {
    std::printf("{\"library\": %s, \"checks\": [", JsonText(gPath).c_str());
    for (size_t i = 0; i < results.size(); ++i)
      std::printf("%s\n  {\"name\": %s, \"passed\": %s, \"detail\": %s}", i ? "," : "",
                  JsonText(results[i].Name).c_str(), results[i].Passed ? "true" : "false",
                  JsonText(results[i].Detail).c_str());
    std::printf("\n], \"passed\": %d, \"failed\": %d}\n", passed, failed);
  } else {
    std::printf("%d passed, %d failed\n", passed, failed);
  }
  return failed ? 1 : 0;
}
