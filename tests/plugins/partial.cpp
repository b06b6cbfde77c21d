// partial.cpp - libraries without a complete pair of exports, which the host must refuse.
//   (no define)       exports nothing at all
//   PARTIAL_COUNT     only DLLGetModuleCount
//   PARTIAL_HALVES    ApplicationInit, ApplicationUninit and one half of each pair
//                     (DLLGetModuleInfo, DLLGetPropertyCount)
// Every export logs its call (TestPlugin.h); none of the pair halves may ever be called.
#include "TestPlugin.h"
#include "UMDBase.h"

#if defined(PARTIAL_COUNT)
MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  Log("DLLGetModuleCount");
  *count = 1;
  return S_OK;
}
#elif defined(PARTIAL_HALVES)
MD_EXPORT int32_t MDCALL ApplicationInit(void*, MDHANDLE) {
  Log("ApplicationInit");
  return 0;
}

MD_EXPORT void MDCALL ApplicationUninit() { Log("ApplicationUninit"); }

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  Log("DLLGetModuleInfo");
  return E_FAIL;
}

MD_EXPORT HRESULT MDCALL DLLGetPropertyCount(int32_t* count) {
  Log("DLLGetPropertyCount");
  *count = 1;
  return S_OK;
}
#else
// Something to be a library at all; nothing leaves it.
int NothingExported() { return 0; }
#endif
