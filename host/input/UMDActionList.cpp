#include "input/UMDActionList.h"

#include <mutex>

TMDActionList::TMDActionList(IMDKernel* kernel) : FKernel(kernel) {}

HRESULT MDCALL TMDActionList::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDActionList) return MDHandOut<IMDActionList>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TMDActionList::AddAction(const TMDActionItem* item) {
  return MDGuard([&]() -> HRESULT {
    if (!item) return E_FAIL;
    std::lock_guard<TLock> guard(FLock);
    FItems.push_back(*item);
    FCount.store(static_cast<int32_t>(FItems.size()), std::memory_order_release);
    return S_OK;
  });
}

HRESULT MDCALL TMDActionList::RemoveLastAction() {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FLock);
    if (FItems.empty()) {
      FCount.store(0, std::memory_order_release);
      return S_FALSE;
    }
    FItems.pop_back();
    FCount.store(static_cast<int32_t>(FItems.size()), std::memory_order_release);
    return S_OK;
  });
}

int32_t MDCALL TMDActionList::GetActionCount() { return FCount.load(std::memory_order_acquire); }

HRESULT MDCALL TMDActionList::GetAction(uint32_t index, TMDActionItem* item) {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FLock);
    if (index >= FItems.size() || !item) return E_FAIL;
    *item = FItems[index];
    return S_OK;
  });
}
