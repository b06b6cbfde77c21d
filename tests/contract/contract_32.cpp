// Compiled with -m32 -fsyntax-only: the static_asserts in UMDTypes.h check the 32-bit layout.
#include "UMDBase.h"
#include "UMDTypes.h"

static_assert(sizeof(void*) == 4, "this file is compiled for a 32-bit target");
static_assert(sizeof(TMDMessage) == 24);
static_assert(sizeof(TMDModuleInfo) == 36);
static_assert(sizeof(TMDPageInfo) == 32);
static_assert(sizeof(TMDInputInfo) == 20);
static_assert(sizeof(TMDActionItem) == 12);
static_assert(sizeof(TMDKernelInfo) == 12);
