// UMDComRegistry.cpp - creation of objects by class id.
//
// Threads: RegistryMutex guards the table; a factory is copied out and run without the lock,
// so a factory may itself create objects.
// The table is freed with the library (it is unloaded and loaded again by the host), not left
// behind as a leak.
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "UMDGstGraph.h"
#include "UMDPlatform.h"

namespace {

struct TGuidLess {
  bool operator()(const GUID& a, const GUID& b) const {
    return std::tie(a.Data1, a.Data2, a.Data3) < std::tie(b.Data1, b.Data2, b.Data3) ||
           (std::tie(a.Data1, a.Data2, a.Data3) == std::tie(b.Data1, b.Data2, b.Data3) &&
            std::lexicographical_compare(a.Data4, a.Data4 + 8, b.Data4, b.Data4 + 8));
  }
};

std::mutex RegistryMutex;
std::unique_ptr<std::map<GUID, TMDClassFactory, TGuidLess>> Registry;  // guarded by RegistryMutex

// Fills the table with the built-in classes on first use. RegistryMutex held.
std::map<GUID, TMDClassFactory, TGuidLess>& Table_unlocked() {
  if (!Registry) {
    Registry = std::make_unique<std::map<GUID, TMDClassFactory, TGuidLess>>();
    (*Registry)[CLSID_FilterGraph] = MDCreateFilterGraph;
    (*Registry)[CLSID_DSoundRender] = MDCreateAudioRenderer;
    (*Registry)[CLSID_MDMp3Decoder] = MDCreateMp3Decoder;
    (*Registry)[CLSID_MDShoutcastSource] = MDCreateShoutcastSource;
    (*Registry)[CLSID_MDNetSource] = MDCreateNetSource;
  }
  return *Registry;
}

}  // namespace

HRESULT MDCoCreateInstance(const GUID& clsid, IUnknown* outer, uint32_t context, const GUID& iid,
                           void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  TMDClassFactory factory;
  {
    std::lock_guard<std::mutex> g(RegistryMutex);
    auto& t = Table_unlocked();
    auto it = t.find(clsid);
    if (it == t.end()) return REGDB_E_CLASSNOTREG;
    factory = it->second;
  }
  return MDGuard([&] { return factory(iid, obj); }, E_OUTOFMEMORY);
}

TMDClassFactory MDRegisterClass(const GUID& clsid, TMDClassFactory factory) {
  std::lock_guard<std::mutex> g(RegistryMutex);
  auto& t = Table_unlocked();
  TMDClassFactory previous;
  auto it = t.find(clsid);
  if (it != t.end()) previous = std::move(it->second);
  if (factory)
    t[clsid] = std::move(factory);
  else if (it != t.end())
    t.erase(it);
  return previous;
}
