#include "input/UMDInputModule.h"

TMDInputModule::TMDInputModule(IMDActionInput* binder, const TMDInputInfo& info)
    : FBinder(binder), FInfo(info) {}

TMDInputModule::~TMDInputModule() = default;

HRESULT MDCALL TMDInputModule::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDInputModule) return MDHandOut<IMDInputModule>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TMDInputModule::GetInputInfo(TMDInputInfo* info) {
  if (!info) return E_POINTER;
  *info = FInfo;
  return S_OK;
}

HRESULT MDCALL TMDInputModule::Shutdown() { return S_OK; }
