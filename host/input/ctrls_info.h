// ctrls_info.h - the record of the "Controls" page, the third of the host's own pages.
#pragma once

#include "UMDBase.h"

// "Controls", version 1.0.0.0, created by CreateControlsPage; no Finalize.
extern const TMDPageInfo ControlsPageInfo;

// The page factory: (kernel object, iid, out page). Main thread.
HRESULT MDCALL CreateControlsPage(IUnknown* kernel, const GUID* iid, void** page);
