// recorder.cpp - a module library that logs every call the host makes into it (TestPlugin.h),
// with modules and pages that log what they receive. Variants are built from this one source:
//   REC_MODULES=n          DLLGetModuleCount reports n (default 2; at most 4 records exist)
//   REC_NO_MODULES         no module pair at all
//   REC_PAGES=n            exports the page pair, DLLGetPropertyCount reports n (at most 2)
//   REC_SILENT_PAGE_COUNT  DLLGetPropertyCount writes nothing
//   REC_RAISE_INFO=i       DLLGetModuleInfo(i) raises
//   REC_RAISE_REGISTER=i   RegisterActions of module record i raises
//   REC_RAISE_APP          ApplicationInit and ApplicationUninit raise
//   REC_FAIL_CREATE=i      CreateModule of module record i fails
// A factory that fails (module record REC_FAIL_CREATE, page record 1 always) still leaves an
// object with one reference in the out pointer, which the host must release all the same.
#include <cstring>
#include <memory>
#include <stdexcept>

#include "TestPlugin.h"
#include "UMDBase.h"

#ifndef REC_MODULES
#define REC_MODULES 2
#endif

namespace {

std::string Tag(char kind, int index) { return std::string(1, kind) + std::to_string(index); }

bool Zero(const void* record, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(record);
  for (size_t i = 0; i < size; ++i)
    if (bytes[i]) return false;
  return true;
}

// A module that logs its states, stop requests, messages and destruction.
class TRecModule final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  TRecModule(int index, const TMDModuleInfo& info) : FTag(Tag('M', index)), FInfo(info) {}
  ~TRecModule() override { Log(FTag + " destroyed"); }
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    Log(FTag + " msg " + Hex(msg->Msg) + " " + Hex(static_cast<uint32_t>(msg->Param1)));
    return S_OK;
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override {
    *info = FInfo;
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t state) override {
    Log(FTag + " state " + std::to_string(state));
    return S_OK;
  }
  HRESULT MDCALL Stop() override {
    Log(FTag + " Stop");
    return S_OK;
  }
  HRESULT MDCALL QueryStopped() override { return S_OK; }

 private:
  std::string FTag;
  TMDModuleInfo FInfo;
};

// A page that only describes itself; the host's control panel decides what to do with it.
class TRecPage final : public TMDComImpl<TMDComObject, IMDPropertyPage> {
 public:
  TRecPage(int index, const TMDPageInfo& info) : FTag(Tag('P', index)), FInfo(info) {}
  ~TRecPage() override { Log(FTag + " destroyed"); }
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDPropertyPage || iid == IID_IMDMessageSink)
        return MDHandOut<IMDPropertyPage>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override { return S_OK; }
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
  std::string FTag;
  TMDPageInfo FInfo;
};

extern const TMDModuleInfo kModules[4];
extern const TMDPageInfo kPages[2];

const TMDActionItem kActions[4] = {
    {u"Recorder Action 0", 0x7A00, 0x7A00},
    {u"Recorder Action 1", 0x7A01, 0x7A01},
    {u"Recorder Action 2", 0x7A02, 0x7A02},
    {u"Recorder Action 3", 0x7A03, 0x7A03},
};

template <int I>
HRESULT MDCALL CreateModule(IUnknown* owner, const GUID* iid, void** obj) {
  Log("CreateModule " + Tag('M', I));
  if (!owner) return E_FAIL;
  auto module = std::make_unique<TRecModule>(I, kModules[I]);
  const HRESULT hr = module->QueryInterface(*iid, obj);
  if (MD_SUCCEEDED(hr)) module.release();
#ifdef REC_FAIL_CREATE
  if (I == REC_FAIL_CREATE) return E_FAIL;
#endif
  return hr;
}

template <int I>
void MDCALL FinalizeModule() {
  Log("Finalize " + Tag('M', I));
}

template <int I>
HRESULT MDCALL RegisterActions(IMDActionList* actions) {
  Log("RegisterActions " + Tag('M', I) + (actions ? "" : " nil"));
#ifdef REC_RAISE_REGISTER
  if (I == REC_RAISE_REGISTER) throw std::runtime_error("RegisterActions failed");
#endif
  if (actions) actions->AddAction(&kActions[I]);
  return S_OK;
}

template <int I>
HRESULT MDCALL CreatePage(IUnknown* owner, const GUID* iid, void** obj) {
  Log("CreatePage " + Tag('P', I));
  auto page = std::make_unique<TRecPage>(I, kPages[I]);
  const HRESULT hr = page->QueryInterface(*iid, obj);
  if (MD_SUCCEEDED(hr)) page.release();
  return I == 1 ? E_FAIL : hr;
}

template <int I>
void MDCALL FinalizePage() {
  Log("Finalize " + Tag('P', I));
}

#define REC_MODULE(I, NAME)                                                                    \
  {NAME, u"Records what it is told", u"https://midavo.example.org/tests", MDMakeVersion(0, 1, 0, I), \
   I, -1, &CreateModule<I>, &FinalizeModule<I>, &RegisterActions<I>}
const TMDModuleInfo kModules[4] = {
    REC_MODULE(0, u"Recorder M0"),
    REC_MODULE(1, u"Recorder M1"),
    REC_MODULE(2, u"Recorder M2"),
    REC_MODULE(3, u"Recorder M3"),
};
const TMDPageInfo kPages[2] = {
    {u"Recorder P0", u"A page", u"", MDMakeVersion(0, 1, 0, 0), 0, 0, &CreatePage<0>,
     &FinalizePage<0>},
    {u"Recorder P1", u"A page that fails", u"", MDMakeVersion(0, 1, 0, 1), 0, 0, &CreatePage<1>,
     &FinalizePage<1>},
};

}  // namespace

MD_EXPORT int32_t MDCALL ApplicationInit(void* application, MDHANDLE instance) {
  Log("ApplicationInit " + Hex(reinterpret_cast<uintptr_t>(application)) + " " + Hex(instance));
#ifdef REC_RAISE_APP
  throw std::runtime_error("ApplicationInit failed");
#endif
  return 0;
}

MD_EXPORT void MDCALL ApplicationUninit() {
  Log("ApplicationUninit");
#ifdef REC_RAISE_APP
  throw std::runtime_error("ApplicationUninit failed");
#endif
}

#ifndef REC_NO_MODULES
MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  Log("DLLGetModuleCount " + std::to_string(*count));
  *count = REC_MODULES;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  Log("DLLGetModuleInfo " + std::to_string(index) + (Zero(info, sizeof *info) ? "" : " dirty"));
#ifdef REC_RAISE_INFO
  if (index == REC_RAISE_INFO) throw std::runtime_error("DLLGetModuleInfo failed");
#endif
  if (index < 0 || index >= 4) return E_FAIL;
  *info = kModules[index];
  return S_OK;
}
#endif

#ifdef REC_PAGES
MD_EXPORT HRESULT MDCALL DLLGetPropertyCount(int32_t* count) {
  Log("DLLGetPropertyCount " + std::to_string(*count));
#ifndef REC_SILENT_PAGE_COUNT
  *count = REC_PAGES;
#endif
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetPropertyPage(int32_t index, TMDPageInfo* info) {
  Log("DLLGetPropertyPage " + std::to_string(index) + (Zero(info, sizeof *info) ? "" : " dirty"));
  if (index < 0 || index >= 2) return E_FAIL;
  *info = kPages[index];
  return S_OK;
}
#endif
