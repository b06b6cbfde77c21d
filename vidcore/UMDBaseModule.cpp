#include "UMDBaseModule.h"

TMDBaseModule::TMDBaseModule(IMDKernel* kernel, const TMDModuleInfo* info)
    : FKernel(kernel), FInfo(info ? *info : TMDModuleInfo{}) {
  FLanguage = TComPtr<IMDLanguage>::Query(kernel);
  FSettings = TComPtr<IMDSettings>::Query(kernel);
}

TMDBaseModule::~TMDBaseModule() {
  FSettings = nullptr;
  FLanguage = nullptr;
  FKernel = nullptr;
}

HRESULT MDCALL TMDBaseModule::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TMDBaseModule::HandleMessage(const TMDMessage* msg) {
  return MDGuard([&]() -> HRESULT {
    if (msg && msg->Msg == MDM_UPDATE) OnMessageHook();
    return S_OK;
  }, S_OK);
}

HRESULT MDCALL TMDBaseModule::GetModuleInfo(TMDModuleInfo* info) {
  if (!info) return E_POINTER;
  *info = FInfo;
  return S_OK;
}

HRESULT MDCALL TMDBaseModule::SetState(int32_t state) {
  FState.store(state, std::memory_order_release);
  return S_OK;
}

HRESULT MDCALL TMDBaseModule::Stop() { return S_OK; }

HRESULT MDCALL TMDBaseModule::QueryStopped() { return S_OK; }

HRESULT TMDBaseModule::PostToKernel(uint32_t id, int32_t param1, int32_t param2) {
  if (!FKernel) return E_FAIL;
  TMDMessage msg{};
  msg.Msg = id;
  msg.Param1 = param1;
  msg.Param2 = param2;
  return FKernel->HandleMessage(&msg);
}
