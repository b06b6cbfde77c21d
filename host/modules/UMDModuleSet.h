// UMDModuleSet.h - a module set: module records chosen from the loader's pool; activating the
// set creates one module per record. Main thread only (owned by the module loader).
#pragma once

#include <vector>

#include "UMDBase.h"

class TMDModuleLoader;

class TMDModuleSet {
 public:
  explicit TMDModuleSet(TMDModuleLoader* loader) : FLoader(loader) {}

  // Exactly two entries: the loader's module-pool records 0 and 1; a record the pool does not
  // have is all zero, so activation skips it.
  HRESULT Fill();
  // Copies entry `index` when it exists; otherwise leaves the buffer untouched.
  void GetModuleInfoAt(int32_t index, TMDModuleInfo* info) const;

  int32_t Index = 0;
  int32_t Count() const { return static_cast<int32_t>(FEntries.size()); }

 private:
  TMDModuleLoader* FLoader;  // the owner
  std::vector<TMDModuleInfo> FEntries;
};
