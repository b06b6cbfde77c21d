// UMDBuiltinPages.h - the records of the host's own property pages, in the order the control
// panel shows them: "General", "Modules" (the loader hands itself to the second one), then
// "Controls".
#pragma once

#include <vector>

#include "UMDTypes.h"

std::vector<TMDPageInfo> MDBuiltinPages();
