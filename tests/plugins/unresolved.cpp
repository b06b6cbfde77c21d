// unresolved.cpp - a module library that needs a function nobody defines. It links (a module
// may leave symbols to its loader), but loading it with every symbol bound at once fails.
#include "UMDBase.h"

extern "C" int32_t midavo_test_missing_function(int32_t);

MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  *count = midavo_test_missing_function(1);
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) { return E_FAIL; }
