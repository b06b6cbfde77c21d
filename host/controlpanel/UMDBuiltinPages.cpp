#include "controlpanel/UMDBuiltinPages.h"

#include "controlpanel/kernel_page.h"
#include "input/ctrls_info.h"
#include "modules/mloader_page.h"

std::vector<TMDPageInfo> MDBuiltinPages() {
  return {GeneralPageInfo, ModulesPageInfo, ControlsPageInfo};
}
