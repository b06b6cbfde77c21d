#include "modules/UMDModuleSet.h"

#include "modules/UMDModuleLoader.h"

HRESULT TMDModuleSet::Fill() {
  FEntries.assign(2, TMDModuleInfo{});
  for (int32_t i = 0; i < 2; ++i) FLoader->GetModuleInfoAt(i, &FEntries[i]);
  return S_OK;
}

void TMDModuleSet::GetModuleInfoAt(int32_t index, TMDModuleInfo* info) const {
  if (info && index >= 0 && index < Count()) *info = FEntries[index];
}
