// UMDBaseModule.h - the playback library's base class for module objects.
//
// Threads: HandleMessage runs on the kernel's dispatch thread; SetState on the thread that
// changes the kernel's state (the host's main thread); the constructor, Stop and QueryStopped
// on the main thread. Reference counting is atomic. The base class takes no lock of its own.
#pragma once

#include <atomic>

#include "UMDBase.h"

class TMDBaseModule : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  // Copies the record; keeps the kernel and asks it for IMDLanguage and IMDSettings (either
  // may be nil).
  TMDBaseModule(IMDKernel* kernel, const TMDModuleInfo* info);
  ~TMDBaseModule() override;

  // IMDMessageSink and IMDModule, as the IUnknown of the object.
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override;
  HRESULT MDCALL SetState(int32_t state) override;
  HRESULT MDCALL Stop() override;
  HRESULT MDCALL QueryStopped() override;

  int32_t State() const { return FState.load(std::memory_order_acquire); }

 protected:
  // Called for MDM_UPDATE; nothing to do here.
  virtual void OnMessageHook() {}
  // Posts a zero-filled message with the given id and parameters to the kernel at once.
  HRESULT PostToKernel(uint32_t id, int32_t param1, int32_t param2);

  IMDKernel* Kernel() const { return FKernel.Get(); }

 private:
  TComPtr<IMDKernel> FKernel;
  TComPtr<IMDSettings> FSettings;
  TComPtr<IMDLanguage> FLanguage;
  TLock FLock;  // for subclasses; nothing here takes it
  TMDModuleInfo FInfo;
  std::atomic<int32_t> FState{0};
};
