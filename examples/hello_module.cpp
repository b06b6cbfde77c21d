// hello_module.cpp - the smallest useful module library.
//
// It offers one module, "Hello Module", with one action, "Hello: Play". When the user performs
// that action (say, through a key bound to it on the Controls page), the module finds the
// player among the kernel's modules and tells it to play. It also prints what the player
// announces.
#include <cstdio>
#include <memory>

#include "UMDBase.h"  // the contract (UMDTypes.h) and the base objects

namespace {

constexpr int32_t kHelloPlay = 0x7E01;  // our action code: pick one no other library uses

// Action names must stay alive as long as the library: static text.
const TMDActionItem kAction = {u"Hello: Play", kHelloPlay, kHelloPlay};

// One object answers IMDModule (and IMDMessageSink, its base) with one reference count.
class THelloModule final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  explicit THelloModule(IMDKernel* kernel) : FKernel(kernel) {}

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);  // IUnknown, or E_NOINTERFACE
    });
  }

  // Runs on the kernel's dispatch thread, once per broadcast message. Always answer S_OK and
  // never let an exception out.
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    return MDGuard([&]() -> HRESULT {
      if (msg->Msg == MDM_ACTION && msg->Param1 == kHelloPlay) PlayEverything();
      if (msg->Msg == MDM_NOTIFY && msg->Param1 == MDN_PLAYING) std::puts("hello: playing");
      return S_OK;
    }, S_OK);
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override;
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL Stop() override { return S_OK; }          // nothing runs in the background
  HRESULT MDCALL QueryStopped() override { return S_OK; }  // so we are always stopped

 private:
  // Every registered module that answers IMDPlayer is asked to play.
  void PlayEverything() {
    auto modules = TComPtr<IMDEnumModules>::Query(FKernel);
    if (!modules) return;
    TComPtr<IMDModule> module;
    while (MD_SUCCEEDED(modules->Next(module.Put())))
      if (auto player = TComPtr<IMDPlayer>::Query(module.Get())) player->Play();
  }

  IMDKernel* FKernel;  // not counted: the kernel outlives every module
};

HRESULT MDCALL CreateHelloModule(IUnknown* owner, const GUID* iid, void** obj);
HRESULT MDCALL RegisterHelloActions(IMDActionList* actions) {
  if (actions) actions->AddAction(&kAction);  // the list may be nil
  return S_OK;
}

const TMDModuleInfo kInfo = {u"Hello Module", u"Plays media on request", u"https://example.org/hello",
                             MDMakeVersion(1, 0, 0, 0), 0, 0,
                             &CreateHelloModule, nullptr, &RegisterHelloActions};

HRESULT MDCALL THelloModule::GetModuleInfo(TMDModuleInfo* info) {
  if (!info) return E_POINTER;
  *info = kInfo;
  return S_OK;
}

// The factory: owner is the kernel. Hand out the wanted interface with one reference, or fail
// and leave no object behind.
HRESULT MDCALL CreateHelloModule(IUnknown* owner, const GUID* iid, void** obj) {
  return MDGuard([&]() -> HRESULT {
    if (!owner || !iid || !obj) return E_FAIL;
    *obj = nullptr;
    auto kernel = TComPtr<IMDKernel>::Query(owner);
    if (!kernel) return E_FAIL;
    auto module = std::make_unique<THelloModule>(kernel.Get());
    const HRESULT hr = module->QueryInterface(*iid, obj);
    if (MD_SUCCEEDED(hr)) module.release();  // now owned by the reference just handed out
    return hr;
  }, E_OUTOFMEMORY);
}

}  // namespace

// The two exports the host looks up by name: how many modules, and the record of each.
MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  if (index != 0 || !info) return E_FAIL;
  *info = kInfo;
  return S_OK;
}
