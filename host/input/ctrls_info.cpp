#include "input/ctrls_info.h"

#include "input/ctrls_page.h"
#include "input/ctrls_popupform.h"

const TMDPageInfo ControlsPageInfo{
    u"Controls",
    u"Controls",
    u"https://midavo.example.org/",
    MDMakeVersion(1, 0, 0, 0),
    -1,
    1,
    &CreateControlsPage,
    nullptr,
};

HRESULT MDCALL CreateControlsPage(IUnknown* kernel, const GUID* iid, void** page) {
  // Key presses that plug-ins hand to the kernel from their own windows find Shift and Ctrl in
  // Qt's keyboard state; the host's pages are made at start-up, before any key is handed over.
  MDInstallQtKeyState();
  return MDCreateHostPage<TMDControlsPropertyPage>(kernel, iid, page, ControlsPageInfo);
}
