// UMDInputModule.h - the base of the host's input modules.
//
// An input module turns raw input of one kind (its source) into input names such as "Ctrl + A"
// and reports them to the binder with IMDActionInput::ReportInput. TMDInputModule keeps the
// binder and the module's description and answers IMDInputModule.
//
// Threads: the binder and the description are fixed at construction, so every method may run
// on any thread. Reference counting as TMDComObject (atomic).
#pragma once

#include "UMDBase.h"

class TMDInputModule : public TMDComImpl<TMDComObject, IMDInputModule> {
 public:
  // Keeps a reference to binder (nil allowed) and a copy of the description.
  TMDInputModule(IMDActionInput* binder, const TMDInputInfo& info);
  ~TMDInputModule() override;

  // Answers IMDInputModule, then IUnknown.
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  // Copies the description; S_OK (E_POINTER for a nil buffer).
  HRESULT MDCALL GetInputInfo(TMDInputInfo* info) override;
  // Called by the binder once, just before it lets the module go. Nothing to do here.
  HRESULT MDCALL Shutdown() override;

 protected:
  IMDActionInput* Binder() const { return FBinder.Get(); }
  const TMDInputInfo& Info() const { return FInfo; }

 private:
  TComPtr<IMDActionInput> FBinder;
  const TMDInputInfo FInfo;
};
