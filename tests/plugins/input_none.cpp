// input_none.cpp - a module library with no modules and no input exports: the binder's scan
// loads it, calls ApplicationInit and lets it go again. Calls are logged (TestPlugin.h).
#include "TestPlugin.h"
#include "UMDBase.h"

MD_EXPORT int32_t MDCALL ApplicationInit(void* application, MDHANDLE instance) {
  Log("ApplicationInit");
  return 0;
}

MD_EXPORT void MDCALL ApplicationUninit() { Log("ApplicationUninit"); }

MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  Log("DLLGetModuleCount");
  *count = 0;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  Log("DLLGetModuleInfo");
  return E_FAIL;
}
