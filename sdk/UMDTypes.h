// UMDTypes.h - the Midavo plug-in contract.
//
// The host program and every plug-in library meet only through what this header declares:
// COM-style interfaces identified by GUIDs, a few fixed-layout records, message ids, action
// codes, kernel states and status codes. Both sides are built separately, so nothing here may
// change shape: slot order, argument order and record layout are fixed.
//
// Layout
//   Every interface is a struct of pure virtual functions with no data and no virtual
//   destructor, so an interface pointer points at a word that points at the method table and
//   the slots follow declaration order. Slot 0..2 are IUnknown's. Records keep their fields in
//   the listed order with natural alignment. On a 32-bit build their sizes are the historic ones
//   (checked below); on 64-bit, pointer fields (texts, functions, handles, TMDMessage.Param4)
//   are 8 bytes wide and every other field stays 32-bit.
//
// Results
//   Every method returns an HRESULT-style status unless its comment says the result is a count
//   or a flag. Success is any value with the top bit clear: S_FALSE (1) is success and means
//   "nothing to do" (already in that state, not found, empty, equals the default). Test results
//   with MD_SUCCEEDED / MD_FAILED, never by comparing with S_OK.
//   No C++ exception crosses an interface method: each method catches and answers
//   E_UNEXPECTED, E_FAIL or E_OUTOFMEMORY. The one exception is IMDKernel::Synchronize, which
//   rethrows in its caller what the callback threw.
//
// Ownership
//   - Interface pointers are reference counted COM-style. A pointer handed out through an
//     out-argument (QueryInterface, a factory, IMDEnumModules::Next) carries one reference that
//     the receiver releases. A callee that keeps an interface passed in adds its own reference.
//   - Texts are zero-terminated UTF-16 (char16_t). Texts passed in are borrowed for the call.
//     Texts passed out belong to the callee and stay readable at least until the caller's next
//     call into the same object from the same thread: copy them at once, never free them.
//     Exception: the action list keeps TMDActionItem::Name as a pointer, so action names must
//     live as long as the library that registered them (use static text).
//   - Records passed out are copied into the caller's buffer; their text and function pointers
//     point into whoever filled them and stay valid while that library is loaded.
//   - A TMDMessage passed to HandleMessage is borrowed for the call: read it, don't keep it,
//     don't write it.
//
// Threads
//   - Any thread may call any IMDKernel method. HandleMessage on the kernel only queues.
//   - Queued messages are broadcast on the kernel's single dispatch thread, one at a time, in
//     posting order: first to the control panel (which relays to its pages), then to every
//     registered module in registration order.
//   - Library loading, factories, RegisterActions, Finalize and module SetState calls during
//     start-up and shut-down run on the host's main thread. Work that must run on the main
//     thread is handed over with IMDKernel::Synchronize.
//   - Any thread may use the settings store.
#pragma once

#include <cstddef>
#include <cstdint>

// The version of this kit: the contract header, the base objects and the plug-in build helpers.
// MIDAVO_SDK_VERSION packs it as 0x00MMmmpp; compare it in #if to use newer parts of the kit.
#define MIDAVO_SDK_VERSION_MAJOR 4
#define MIDAVO_SDK_VERSION_MINOR 0
#define MIDAVO_SDK_VERSION_PATCH 0
#define MIDAVO_SDK_VERSION \
  ((MIDAVO_SDK_VERSION_MAJOR << 16) | (MIDAVO_SDK_VERSION_MINOR << 8) | MIDAVO_SDK_VERSION_PATCH)

// ---------------------------------------------------------------------------------------------
// Calling convention and exports
// ---------------------------------------------------------------------------------------------

// The standard COM calling convention on a 32-bit Windows build, the platform default elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define MDCALL __stdcall
#else
#define MDCALL
#endif

// An exported library entry point: C linkage, visible from outside the shared object.
#if defined(_WIN32)
#define MD_EXPORT extern "C" __declspec(dllexport)
#else
#define MD_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------------------------

using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0x00000000;
inline constexpr HRESULT S_FALSE = 0x00000001;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
// Module enumerator: the registry changed since the last Reset.
inline constexpr HRESULT E_MODULES_CHANGED = -100;

constexpr bool MD_SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool MD_FAILED(HRESULT hr) { return hr < 0; }

// Bool32: 0 is false, anything else true; the system writes -1 for true.
using BOOL32 = int32_t;
inline constexpr BOOL32 MD_TRUE = -1;
inline constexpr BOOL32 MD_FALSE = 0;

// Window and module handles (X11 window ids, dlopen handles) are pointer-sized.
using MDHANDLE = uintptr_t;

// ---------------------------------------------------------------------------------------------
// GUIDs
// ---------------------------------------------------------------------------------------------

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
constexpr bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// IID_<Interface> stands next to each interface; MDIID<I>::value finds it from the type.
template <class I>
struct MDIID;

#define MD_DEFINE_IID(I, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7)                     \
  inline constexpr GUID IID_##I = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};       \
  template <>                                                                             \
  struct MDIID<I> {                                                                       \
    static constexpr const GUID& value = IID_##I;                                         \
  };

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------

// A message for the kernel's queue. Senders zero-fill the whole record before setting fields.
struct TMDMessage {
  uint32_t Reserved;  // 0
  uint32_t Msg;       // message id (MDM_*)
  int32_t Param1;     // action code for MDM_ACTION, notification code for MDM_NOTIFY
  int32_t Param2;     // 0 in every message the system sends
  int32_t Param3;     // 0 in every message the system sends
  uintptr_t Param4;   // object pointer for MDM_SET_LOADER (host-internal), otherwise 0
};

struct IUnknown;
struct IMDKernel;
struct IMDActionList;

// Factory shape shared by modules, pages and input modules: (owner, wanted interface, out
// object) -> status. Modules and pages get the kernel's IMDKernel as owner, input modules the
// binder's IUnknown. A nil owner answers E_FAIL. On success *obj holds one reference.
using TMDCreateFunc = HRESULT(MDCALL*)(IUnknown* owner, const GUID* iid, void** obj);
// Called by the host, for every record that has one, before it unloads the library.
using TMDFinalizeFunc = void(MDCALL*)();
// Called once per module record right after the library is loaded; adds the library's actions.
// The action list may be nil when the host has none.
using TMDRegisterActionsFunc = HRESULT(MDCALL*)(IMDActionList* actions);

// Describes one module a library offers (DLLGetModuleInfo, IMDModule::GetModuleInfo).
struct TMDModuleInfo {
  const char16_t* Name;         // shown in the Modules page
  const char16_t* Description;  // one line
  const char16_t* Url;          // the maker's web address
  uint32_t Version;             // packed a.b.c.d, a in bits 31-24
  int32_t Reserved1;
  int32_t Reserved2;
  TMDCreateFunc CreateModule;                // nil: cannot be instantiated
  TMDFinalizeFunc Finalize;                  // nil: nothing to do at unload
  TMDRegisterActionsFunc RegisterActions;    // nil: no actions
};

// Describes one property page a library offers (DLLGetPropertyPage, IMDPropertyPage::GetPageInfo).
struct TMDPageInfo {
  const char16_t* Name;  // page name; its blank-free form keys the page's visibility setting
  const char16_t* Description;
  const char16_t* Url;
  uint32_t Version;
  int32_t Reserved1;
  int32_t Reserved2;
  TMDCreateFunc CreatePage;
  TMDFinalizeFunc Finalize;
};

// Describes one input source an input library offers (DLLGetInputInfo, IMDInputModule::GetInputInfo).
struct TMDInputInfo {
  const char16_t* Name;    // source name, also the name of its bindings section
  const char16_t* Author;
  uint32_t Version;
  int32_t Reserved;
  TMDCreateFunc CreateInput;
};

// One named action. The action list keeps Name as a pointer: it must outlive the list.
struct TMDActionItem {
  const char16_t* Name;
  int32_t Id;    // equal to Code in every shipped action; never interpreted
  int32_t Code;  // performing the action posts MDM_ACTION with Param1 = Code
};

struct TMDKernelInfo {
  int32_t Info1;
  int32_t Info2;
  int32_t Info3;
};

// A Windows RECT: the area a property page fills inside its parent window.
struct TMDRect {
  int32_t Left;
  int32_t Top;
  int32_t Right;
  int32_t Bottom;
};

// A callback pair: code and context. The receiver calls Code(Data, sender); sender is the
// object that fires it (the dispatch thread object for the kernel's shut-down callback, nil
// for Synchronize). A pair whose Code is nil is not assigned and never called.
using TMDMethodProc = void(MDCALL*)(void* data, void* sender);
struct TMDMethod {
  TMDMethodProc Code;
  void* Data;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(TMDMessage) == 24 && offsetof(TMDMessage, Param4) == 20, "TMDMessage layout");
static_assert(sizeof(TMDModuleInfo) == 36 && offsetof(TMDModuleInfo, Version) == 12 &&
                  offsetof(TMDModuleInfo, CreateModule) == 24 &&
                  offsetof(TMDModuleInfo, RegisterActions) == 32,
              "TMDModuleInfo layout");
static_assert(sizeof(TMDPageInfo) == 32 && offsetof(TMDPageInfo, CreatePage) == 24 &&
                  offsetof(TMDPageInfo, Finalize) == 28,
              "TMDPageInfo layout");
static_assert(sizeof(TMDInputInfo) == 20 && offsetof(TMDInputInfo, CreateInput) == 16,
              "TMDInputInfo layout");
static_assert(sizeof(TMDActionItem) == 12 && offsetof(TMDActionItem, Code) == 8,
              "TMDActionItem layout");
static_assert(sizeof(TMDMethod) == 8, "TMDMethod layout");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(TMDMessage) == 32 && offsetof(TMDMessage, Param4) == 24, "TMDMessage layout");
static_assert(sizeof(TMDModuleInfo) == 64 && offsetof(TMDModuleInfo, CreateModule) == 40,
              "TMDModuleInfo layout");
static_assert(sizeof(TMDPageInfo) == 56 && offsetof(TMDPageInfo, CreatePage) == 40,
              "TMDPageInfo layout");
static_assert(sizeof(TMDInputInfo) == 32 && offsetof(TMDInputInfo, CreateInput) == 24,
              "TMDInputInfo layout");
static_assert(sizeof(TMDActionItem) == 16 && offsetof(TMDActionItem, Code) == 12,
              "TMDActionItem layout");
#endif
static_assert(sizeof(TMDKernelInfo) == 12 && sizeof(TMDRect) == 16, "fixed records");

// ---------------------------------------------------------------------------------------------
// Message ids (TMDMessage::Msg)
// ---------------------------------------------------------------------------------------------

inline constexpr uint32_t MDM_ACTION = 0x0100;          // Param1 = action code
inline constexpr uint32_t MDM_NOTIFY = 0x0101;          // Param1 = player notification code
inline constexpr uint32_t MDM_INPUT_ASSIGNED = 0xFA00;  // a pending BeginAssign was bound
inline constexpr uint32_t MDM_STARTED = 0xFB00;         // modules created, kernel about to run
inline constexpr uint32_t MDM_SET_LOADER = 0xFC00;      // host-internal: Param4 = module loader
inline constexpr uint32_t MDM_UPDATE = 0xFD00;          // passed to an overridable hook
inline constexpr uint32_t MDM_PAGE_NOTIFY = 0xFE00;
inline constexpr uint32_t MDM_APPLY = 0xFE01;           // property pages apply their settings
inline constexpr uint32_t MDM_SHUTDOWN = 0xFFFF;        // dispatch ends after broadcasting it

// Player notifications (MDM_NOTIFY Param1), posted by the playback module.
inline constexpr int32_t MDN_OPENED = 0xFA01;
inline constexpr int32_t MDN_CLOSED = 0xFA02;
inline constexpr int32_t MDN_OPEN_FAILED = 0xFA03;
inline constexpr int32_t MDN_PLAYING = 0xFA04;
inline constexpr int32_t MDN_STOPPED = 0xFA05;
inline constexpr int32_t MDN_PAUSED = 0xFA06;
inline constexpr int32_t MDN_COMPLETE = 0xFA07;

// ---------------------------------------------------------------------------------------------
// Action codes (TMDActionItem::Code, MDM_ACTION Param1)
// ---------------------------------------------------------------------------------------------

inline constexpr int32_t MDA_PLAY = 0x0A01;
inline constexpr int32_t MDA_STOP = 0x0A02;
inline constexpr int32_t MDA_PAUSE = 0x0A03;
inline constexpr int32_t MDA_CLOSE_MEDIA = 0x0A04;
inline constexpr int32_t MDA_SEEK_FORWARD = 0x0A05;
inline constexpr int32_t MDA_SEEK_BACKWARD = 0x0A06;
inline constexpr int32_t MDA_SHOW_CONTROL_PANEL = 0xFE02;
inline constexpr int32_t MDA_HIDE_CONTROL_PANEL = 0xFE03;
inline constexpr int32_t MDA_SHUTDOWN = 0xFFFF;

// ---------------------------------------------------------------------------------------------
// Kernel states
// ---------------------------------------------------------------------------------------------

inline constexpr int32_t KS_CREATED = 0;    // constructed, no services yet
inline constexpr int32_t KS_STARTING = 1;   // start-up; Init may run only now
inline constexpr int32_t KS_STOPPING = 2;   // shut-down; Done may run only now; final
inline constexpr int32_t KS_READY = 5;      // services exist; modules may (un)register
inline constexpr int32_t KS_RUNNING = 10;   // normal operation

// ---------------------------------------------------------------------------------------------
// Interfaces
// ---------------------------------------------------------------------------------------------

struct IUnknown {
  virtual HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) = 0;
  virtual uint32_t MDCALL AddRef() = 0;
  virtual uint32_t MDCALL Release() = 0;
};
MD_DEFINE_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

// Receives broadcast messages. The record is borrowed for the call.
struct IMDMessageSink : IUnknown {
  virtual HRESULT MDCALL HandleMessage(const TMDMessage* msg) = 0;  // 3
};
MD_DEFINE_IID(IMDMessageSink, 0xFA49E2F5, 0x9D50, 0x41BA, 0x96, 0xE0, 0xC6, 0x07, 0xCF, 0x63, 0xEE, 0x58)

struct IMDModule;

// The host's kernel. Not reference counted (AddRef/Release answer 1); valid until the host's
// shut-down. Every method may be called from any thread. QueryInterface also hands out the
// services: IMDSettings, IMDActionList, IMDControlPanel, IMDActionInput, IMDInputSink and a new
// IMDEnumModules per call.
struct IMDKernel : IMDMessageSink {
  // 3 HandleMessage: queues a copy for broadcast; S_OK, E_UNEXPECTED.
  virtual HRESULT MDCALL GetKernelInfo(TMDKernelInfo* info) = 0;      // 4
  virtual HRESULT MDCALL GetKernelValue(int32_t* value) = 0;          // 5
  virtual HRESULT MDCALL GetApplicationDir(const char16_t** dir) = 0; // 6 current directory
  virtual HRESULT MDCALL GetApplication(void** app) = 0;              // 7 opaque
  virtual HRESULT MDCALL GetInstance(MDHANDLE* instance) = 0;         // 8
  virtual HRESULT MDCALL GetMainWindow(MDHANDLE* window) = 0;         // 9
  // 10: S_OK, S_FALSE (already there), E_FAIL (transition not allowed).
  virtual HRESULT MDCALL SetState(int32_t state) = 0;
  // 11: S_OK, E_FAIL (not KS_READY), E_POINTER.
  virtual HRESULT MDCALL RegisterModule(IMDModule* module) = 0;
  // 12: S_OK, S_FALSE (not registered), E_FAIL (not KS_READY), E_POINTER, E_UNEXPECTED.
  virtual HRESULT MDCALL UnregisterModule(IMDModule* module) = 0;
  // 13: S_OK, S_FALSE (none), E_FAIL.
  virtual HRESULT MDCALL UnregisterAllModules() = 0;
  // 14: runs the callback on the host's main thread and returns after it ran; S_OK.
  virtual HRESULT MDCALL Synchronize(TMDMethod method) = 0;
};
MD_DEFINE_IID(IMDKernel, 0x05E8EC72, 0xB859, 0x4BC8, 0x99, 0xB6, 0x59, 0x55, 0x60, 0x8B, 0x33, 0xBB)

// Typed settings in settings.ini. Reads never fail without handing back the default.
struct IMDSettings : IMDMessageSink {
  // 4: S_OK (stored text differs from the default), S_FALSE (equal, or none), E_FAIL.
  virtual HRESULT MDCALL ReadString(const char16_t* section, const char16_t* key,
                                    const char16_t* def, const char16_t** value) = 0;
  virtual HRESULT MDCALL WriteString(const char16_t* section, const char16_t* key,
                                     const char16_t* value) = 0;  // 5: S_OK, E_UNEXPECTED
  // 6: S_FALSE on success (!), E_FAIL with *value = def.
  virtual HRESULT MDCALL ReadInteger(const char16_t* section, const char16_t* key, int32_t def,
                                     int32_t* value) = 0;
  virtual HRESULT MDCALL WriteInteger(const char16_t* section, const char16_t* key,
                                      int32_t value) = 0;  // 7
  // 8: S_FALSE on success with -1 or 0, E_FAIL with *value = def.
  virtual HRESULT MDCALL ReadBool(const char16_t* section, const char16_t* key, BOOL32 def,
                                  BOOL32* value) = 0;
  virtual HRESULT MDCALL WriteBool(const char16_t* section, const char16_t* key,
                                   BOOL32 value) = 0;  // 9
};
MD_DEFINE_IID(IMDSettings, 0x3309CC21, 0xE148, 0x43B3, 0x89, 0x96, 0x4C, 0x24, 0xE4, 0x54, 0xC6, 0x42)

// A module of a library. HandleMessage runs on the dispatch thread; the rest on the main thread.
struct IMDModule : IMDMessageSink {
  virtual HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) = 0;  // 4
  virtual HRESULT MDCALL SetState(int32_t state) = 0;             // 5
  virtual HRESULT MDCALL Stop() = 0;                              // 6
  virtual HRESULT MDCALL QueryStopped() = 0;  // 7: S_OK once stopped
};
MD_DEFINE_IID(IMDModule, 0xC529D5BE, 0xB263, 0x482A, 0x85, 0x0A, 0x11, 0xEB, 0x03, 0xFD, 0x33, 0x22)

// A page of the control panel. Everything but HandleMessage runs on the main thread.
struct IMDPropertyPage : IMDMessageSink {
  virtual HRESULT MDCALL GetPageInfo(TMDPageInfo* info) = 0;  // 4
  virtual HRESULT MDCALL SetState(int32_t state) = 0;         // 5
  // 6: places the page's form in the native window `parent` (an X11 window id, from
  // QWidget::winId()) filling `rect`; parent 0 destroys the form. E_FAIL when no form results.
  virtual HRESULT MDCALL ShowPage(MDHANDLE parent, const TMDRect* rect) = 0;
  virtual HRESULT MDCALL GetPageTitle(const char16_t** title) = 0;  // 7
  virtual HRESULT MDCALL ClosePage() = 0;                           // 8
  virtual int32_t MDCALL IsPageCreated() = 0;  // 9: 1 or 0, not a status
};
MD_DEFINE_IID(IMDPropertyPage, 0x07EC02DB, 0x2AC5, 0x4171, 0x8A, 0x38, 0x9F, 0x9C, 0xD5, 0xAB, 0xB9, 0x93)

// The control panel service. HandleMessage relays to every page.
struct IMDControlPanel : IMDMessageSink {
  virtual HRESULT MDCALL SetState(int32_t state) = 0;  // 4
  // 5: optional = 0 for built-in pages (always shown), -1 for library pages (user may hide).
  virtual HRESULT MDCALL AddPage(IMDPropertyPage* page, BOOL32 optional) = 0;
  virtual HRESULT MDCALL RemovePage(IMDPropertyPage* page) = 0;  // 6
  virtual HRESULT MDCALL RemoveAllPages() = 0;                   // 7: S_OK, S_FALSE, E_FAIL
};
MD_DEFINE_IID(IMDControlPanel, 0x60001ED3, 0xBA0D, 0x4115, 0x9C, 0xF4, 0x9A, 0xA2, 0xF8, 0xD6, 0x55, 0x09)

// Reserved for translations. Nothing implements it and the kernel does not hand it out.
struct IMDLanguage : IMDMessageSink {
  virtual HRESULT MDCALL GetLanguageId(int32_t* id) = 0;  // 4
  virtual HRESULT MDCALL Translate(const char16_t* text, const char16_t** translated) = 0;  // 5
};
MD_DEFINE_IID(IMDLanguage, 0x8700AC4E, 0xCFE1, 0x4A1D, 0xA2, 0x81, 0xEB, 0x9F, 0x3A, 0x55, 0xEB, 0x23)

// The host's list of named actions. Performing an action is posting MDM_ACTION with its code.
struct IMDActionList : IUnknown {
  virtual HRESULT MDCALL AddAction(const TMDActionItem* item) = 0;  // 3: S_OK, E_FAIL (nil)
  virtual HRESULT MDCALL RemoveLastAction() = 0;                    // 4: S_OK, S_FALSE (empty)
  virtual int32_t MDCALL GetActionCount() = 0;                      // 5: the count, not a status
  // 6: S_OK, E_FAIL (index not below the count; *item untouched).
  virtual HRESULT MDCALL GetAction(uint32_t index, TMDActionItem* item) = 0;
};
MD_DEFINE_IID(IMDActionList, 0x8573BA1E, 0x7C43, 0x4980, 0xAF, 0x8B, 0x68, 0xF9, 0xC5, 0x9F, 0x98, 0x84)

// An input source (the keyboard, or one from an input library).
struct IMDInputModule : IUnknown {
  virtual HRESULT MDCALL GetInputInfo(TMDInputInfo* info) = 0;  // 3
  virtual HRESULT MDCALL Shutdown() = 0;  // 4: called just before the binder releases it
};
MD_DEFINE_IID(IMDInputModule, 0x11AF9A3A, 0x8C80, 0x443D, 0x82, 0x09, 0x42, 0x09, 0x66, 0x1F, 0xD7, 0x99)

// The binder: maps reported inputs to actions, per source.
struct IMDActionInput : IUnknown {
  virtual HRESULT MDCALL ReportInput(const char16_t* source, const char16_t* input) = 0;  // 3
  // 4: S_OK, S_FALSE (no binding; empty text), E_FAIL (no such source; empty text).
  virtual HRESULT MDCALL GetBinding(const char16_t* source, int32_t code,
                                    const char16_t** input) = 0;
  // 5: S_OK, E_FAIL (no such source).
  virtual HRESULT MDCALL SetBinding(const char16_t* source, int32_t code,
                                    const char16_t* input) = 0;
  // 6: the next input that source reports is bound to code.
  virtual HRESULT MDCALL BeginAssign(const char16_t* source, int32_t code) = 0;
};
MD_DEFINE_IID(IMDActionInput, 0xFBA68B07, 0x35FF, 0x46B2, 0xB0, 0x01, 0x15, 0x93, 0xAC, 0x44, 0x6F, 0x1F)

// Takes key-down messages: the Windows virtual-key code and the message's flags word (bit 29
// set while Alt is held).
struct IMDInputSink : IUnknown {
  virtual HRESULT MDCALL HandleInput(uint32_t keyCode, int32_t keyData) = 0;  // 3
};
MD_DEFINE_IID(IMDInputSink, 0x80761278, 0x70DA, 0x4E77, 0xAF, 0x64, 0xCC, 0xC7, 0x19, 0x11, 0xDF, 0x6F)

// Walks the kernel's module registry. Each kernel QueryInterface makes a new one.
struct IMDEnumModules : IUnknown {
  virtual HRESULT MDCALL Reset() = 0;  // 3
  // 4: S_OK, E_FAIL (no more), E_MODULES_CHANGED; *module is nil on every failure.
  virtual HRESULT MDCALL Next(IMDModule** module) = 0;
  virtual HRESULT MDCALL Skip() = 0;  // 5: S_OK, E_FAIL, E_MODULES_CHANGED
};
MD_DEFINE_IID(IMDEnumModules, 0xBE4A8594, 0x1525, 0x4DA4, 0xAA, 0x69, 0x69, 0xE4, 0xC4, 0x7F, 0x0D, 0x10)

// The playback module's video window. Window handles are X11 window ids.
struct IMDVideo : IMDMessageSink {
  virtual HRESULT MDCALL HasVideo() = 0;                                      // 4
  virtual HRESULT MDCALL GetVideoSize(int32_t* width, int32_t* height) = 0;   // 5
  virtual HRESULT MDCALL GetVideoVisible(BOOL32* visible) = 0;                // 6
  virtual HRESULT MDCALL SetVideoVisible(BOOL32 visible) = 0;                 // 7
  virtual HRESULT MDCALL GetVideoOwner(MDHANDLE* owner) = 0;                  // 8
  virtual HRESULT MDCALL SetVideoOwner(MDHANDLE owner) = 0;                   // 9
  virtual HRESULT MDCALL GetVideoPosition(int32_t* left, int32_t* top, int32_t* width,
                                          int32_t* height) = 0;               // 10
  virtual HRESULT MDCALL SetVideoPosition(int32_t left, int32_t top, int32_t width,
                                          int32_t height) = 0;                // 11
  virtual HRESULT MDCALL SetMessageDrain(MDHANDLE window) = 0;                // 12
  virtual HRESULT MDCALL NotifyOwnerMessage(uint32_t message, uint32_t wParam,
                                            uint32_t lParam) = 0;             // 13
};
MD_DEFINE_IID(IMDVideo, 0x7B9E1EB3, 0x093E, 0x4893, 0x95, 0x0B, 0xC5, 0x61, 0xB5, 0xD2, 0xC5, 0xDF)

// The playback module's player. Positions in seconds. Every method but CloseMedia answers
// E_FAIL unless the kernel runs and media is open.
struct IMDPlayer : IMDMessageSink {
  virtual HRESULT MDCALL QueryGraphInterface(const GUID* iid, void** obj) = 0;  // 4
  virtual HRESULT MDCALL OpenFile(const char16_t* fileName) = 0;                // 5
  virtual HRESULT MDCALL OpenStream(const char16_t* url) = 0;                   // 6
  virtual HRESULT MDCALL CloseMedia() = 0;                                      // 7
  virtual HRESULT MDCALL Play() = 0;                                            // 8
  virtual HRESULT MDCALL StopPlayback() = 0;                                    // 9
  virtual HRESULT MDCALL Pause() = 0;                                           // 10
  virtual HRESULT MDCALL GetDuration(double* seconds) = 0;                      // 11
  virtual HRESULT MDCALL GetPosition(double* seconds) = 0;                      // 12
  virtual HRESULT MDCALL SetPosition(double seconds) = 0;                       // 13
  virtual HRESULT MDCALL GetRate(double* rate) = 0;                             // 14
  virtual HRESULT MDCALL SetRate(double rate) = 0;                              // 15
};
MD_DEFINE_IID(IMDPlayer, 0x6B8276EB, 0xC51A, 0x4ACE, 0x80, 0x82, 0x45, 0xC2, 0xF6, 0xEF, 0x62, 0x2D)

// ---------------------------------------------------------------------------------------------
// Library exports (looked up by these exact names with dlsym)
// ---------------------------------------------------------------------------------------------
//
// Module libraries (all optional, but at least one complete pair of count + record functions):
//   int32_t ApplicationInit(void* application, MDHANDLE instance)   first, once
//   HRESULT DLLGetModuleCount(int32_t* count)                       preset to 0
//   HRESULT DLLGetModuleInfo(int32_t index, TMDModuleInfo* info)    zero-filled buffer
//   HRESULT DLLGetPropertyCount(int32_t* count)
//   HRESULT DLLGetPropertyPage(int32_t index, TMDPageInfo* info)
//   void    ApplicationUninit()                                     last, before dlclose
// Input libraries:
//   int32_t ApplicationInit(void* application, MDHANDLE instance)
//   HRESULT DLLGetInputCount(int32_t* count)
//   HRESULT DLLGetInputInfo(int32_t index, TMDInputInfo* info)
using TMDApplicationInitFunc = int32_t(MDCALL*)(void* application, MDHANDLE instance);
using TMDApplicationUninitFunc = void(MDCALL*)();
using TMDGetCountFunc = HRESULT(MDCALL*)(int32_t* count);
using TMDGetModuleInfoFunc = HRESULT(MDCALL*)(int32_t index, TMDModuleInfo* info);
using TMDGetPageInfoFunc = HRESULT(MDCALL*)(int32_t index, TMDPageInfo* info);
using TMDGetInputInfoFunc = HRESULT(MDCALL*)(int32_t index, TMDInputInfo* info);

// Packs a version a.b.c.d.
constexpr uint32_t MDMakeVersion(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (a & 0xFF) << 24 | (b & 0xFF) << 16 | (c & 0xFF) << 8 | (d & 0xFF);
}
