// UMDCheckHarness.h - the host side that mdcheck hands to a plug-in: a kernel, its services and an
// input binder, each counting the references taken on it, so a check can tell whether an object
// gave back everything it took.
//
// Threads: the checker's main thread plays the host's main thread, a thread of its own the
// dispatch thread. Every method may be called from any thread. Synchronize from another thread
// queues the callback and waits until the main thread serves it (ServeSynchronize); from the
// main thread it runs at once. Counts are atomics; the queue is guarded by FSyncMutex.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UMDBase.h"

// A reference counter for an object whose lifetime the checker controls: the object answers
// counts like a counted object but is never destroyed by Release. Outstanding() is what the
// plug-in still holds.
class TMDCheckCounter {
 public:
  uint32_t Add() { return static_cast<uint32_t>(++FCount); }
  uint32_t Drop() { return static_cast<uint32_t>(--FCount); }
  int32_t Outstanding() const { return FCount.load(); }

 private:
  std::atomic<int32_t> FCount{0};
};

class TMDCheckSettings final : public IMDSettings {
 public:
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  uint32_t MDCALL AddRef() override { return FRefs.Add(); }
  uint32_t MDCALL Release() override { return FRefs.Drop(); }
  HRESULT MDCALL HandleMessage(const TMDMessage*) override { return S_OK; }
  // An empty store: every read answers its default.
  HRESULT MDCALL ReadString(const char16_t*, const char16_t*, const char16_t* def,
                            const char16_t** value) override;
  HRESULT MDCALL WriteString(const char16_t*, const char16_t*, const char16_t*) override {
    return S_OK;
  }
  HRESULT MDCALL ReadInteger(const char16_t*, const char16_t*, int32_t def,
                             int32_t* value) override;
  HRESULT MDCALL WriteInteger(const char16_t*, const char16_t*, int32_t) override { return S_OK; }
  HRESULT MDCALL ReadBool(const char16_t*, const char16_t*, BOOL32 def, BOOL32* value) override;
  HRESULT MDCALL WriteBool(const char16_t*, const char16_t*, BOOL32) override { return S_OK; }

  TMDCheckCounter FRefs;
};

// The action list: keeps what is added and notes names that are missing.
class TMDCheckActionList final : public IMDActionList {
 public:
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  uint32_t MDCALL AddRef() override { return FRefs.Add(); }
  uint32_t MDCALL Release() override { return FRefs.Drop(); }
  HRESULT MDCALL AddAction(const TMDActionItem* item) override;
  HRESULT MDCALL RemoveLastAction() override;
  int32_t MDCALL GetActionCount() override;
  HRESULT MDCALL GetAction(uint32_t index, TMDActionItem* item) override;

  std::vector<TMDActionItem> Items() const;
  TMDCheckCounter FRefs;

 private:
  mutable std::mutex FMutex;
  std::vector<TMDActionItem> FItems;  // guarded by FMutex
};

// The module registry as seen by a module: empty.
class TMDCheckEnum final : public IMDEnumModules {
 public:
  explicit TMDCheckEnum(TMDCheckCounter* refs) : FRefs(refs) {}
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  uint32_t MDCALL AddRef() override { return FRefs->Add(); }
  uint32_t MDCALL Release() override { return FRefs->Drop(); }
  HRESULT MDCALL Reset() override { return S_OK; }
  HRESULT MDCALL Next(IMDModule** module) override;
  HRESULT MDCALL Skip() override { return E_FAIL; }

 private:
  TMDCheckCounter* FRefs;
};

// The input binder an input module's factory receives as owner: counts reports, and those that
// arrive after the module was shut down.
class TMDCheckBinder final : public IMDActionInput {
 public:
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  uint32_t MDCALL AddRef() override { return FRefs.Add(); }
  uint32_t MDCALL Release() override { return FRefs.Drop(); }
  HRESULT MDCALL ReportInput(const char16_t* source, const char16_t* input) override;
  HRESULT MDCALL GetBinding(const char16_t*, int32_t, const char16_t** input) override;
  HRESULT MDCALL SetBinding(const char16_t*, int32_t, const char16_t*) override { return S_OK; }
  HRESULT MDCALL BeginAssign(const char16_t*, int32_t) override { return S_OK; }

  TMDCheckCounter FRefs;
  std::atomic<bool> FShutDown{false};
  std::atomic<int32_t> FReports{0};
  std::atomic<int32_t> FLateReports{0};  // after FShutDown was set
  std::atomic<int32_t> FNilReports{0};   // nil source or input
};

class TMDCheckKernel final : public IMDKernel {
 public:
  TMDCheckKernel();
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  // The kernel is not counted (both answer 1); the checker still notes the balance.
  uint32_t MDCALL AddRef() override {
    FRefs.Add();
    return 1;
  }
  uint32_t MDCALL Release() override {
    FRefs.Drop();
    return 1;
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;
  HRESULT MDCALL GetKernelInfo(TMDKernelInfo* info) override;
  HRESULT MDCALL GetKernelValue(int32_t* value) override;
  HRESULT MDCALL GetApplicationDir(const char16_t** dir) override;
  HRESULT MDCALL GetApplication(void** app) override;
  HRESULT MDCALL GetInstance(MDHANDLE* instance) override;
  HRESULT MDCALL GetMainWindow(MDHANDLE* window) override;
  HRESULT MDCALL SetState(int32_t state) override;
  HRESULT MDCALL RegisterModule(IMDModule* module) override;
  HRESULT MDCALL UnregisterModule(IMDModule* module) override;
  HRESULT MDCALL UnregisterAllModules() override { return S_FALSE; }
  HRESULT MDCALL Synchronize(TMDMethod method) override;

  // Main thread: runs queued Synchronize callbacks until `done` answers true or `timeoutMs`
  // passed. Returns whether `done` answered true.
  template <class F>
  bool ServeUntil(F done, int timeoutMs);

  // References still held on the kernel and its services; empty when none.
  std::string Outstanding() const;

  TMDCheckSettings FSettings;
  TMDCheckActionList FActions;
  TMDCheckCounter FRefs;
  TMDCheckCounter FEnumRefs;
  std::atomic<int32_t> FPosted{0};

 private:
  void ServeOnce();

  std::thread::id FMainThread;
  std::u16string FDir;
  std::mutex FSyncMutex;
  std::condition_variable FSyncChanged;
  std::deque<void*> FSyncQueue;  // TSyncRequest*, guarded by FSyncMutex
  uint64_t FServed = 0;               // guarded by FSyncMutex
};

template <class F>
bool TMDCheckKernel::ServeUntil(F done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ServeOnce();
  }
  return true;
}
