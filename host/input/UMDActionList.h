// UMDActionList.h - the host's list of named actions.
//
// The list only stores descriptions; performing an action is posting MDM_ACTION with its code
// to the kernel. Entries are only appended (and only the last can be removed), so an action's
// index never changes.
//
// Threads: any thread. AddAction, RemoveLastAction and GetAction hold FLock for their whole
// body; GetActionCount reads the count without it.
#pragma once

#include <atomic>
#include <vector>

#include "UMDBase.h"

class TMDActionList final : public TMDComImpl<TMDComObject, IMDActionList> {
 public:
  explicit TMDActionList(IMDKernel* kernel);

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  // Keeps the three words as given: Name is kept as a pointer, not copied.
  HRESULT MDCALL AddAction(const TMDActionItem* item) override;
  HRESULT MDCALL RemoveLastAction() override;
  int32_t MDCALL GetActionCount() override;
  HRESULT MDCALL GetAction(uint32_t index, TMDActionItem* item) override;

 private:
  TComPtr<IMDKernel> FKernel;
  TLock FLock;
  std::vector<TMDActionItem> FItems;  // guarded by FLock
  std::atomic<int32_t> FCount{0};     // FItems.size(), readable without the lock
};
