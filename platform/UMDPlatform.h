// UMDPlatform.h - the playback library's platform layer: creation by class id, hidden message
// windows, and the GStreamer-backed media objects behind UMDDShow.h.
//
// Threads
//   - MDCoCreateInstance and MDRegisterClass may be called from any thread; the registry is
//     guarded by its own mutex, which is never held while a factory runs.
//   - A message window belongs to the thread that allocates it: it is served by the GLib main
//     context that is the thread-default context of that thread when it is allocated (the
//     global default context on the main thread, which a Qt main loop iterates). Any thread may
//     post to it; its procedure runs only on its own thread, from that context. It must be
//     deallocated on its own thread; messages still queued are dropped then.
//   - GStreamer is initialised once, on the first use of anything here (MDInitMedia).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "UMDDShow.h"
#include "UMDTypes.h"

// Initialises GStreamer once; false when it cannot be initialised. Every factory calls it.
bool MDInitMedia();

// ---------------------------------------------------------------------------------------------
// Creation by class id
// ---------------------------------------------------------------------------------------------

// Builds an object and hands out `iid` on it (one reference), or fails with a status.
using TMDClassFactory = std::function<HRESULT(const GUID& iid, void** obj)>;

// CoCreateInstance: `outer` must be nil (no aggregation), `context` must include
// CLSCTX_INPROC_SERVER. REGDB_E_CLASSNOTREG for an unknown class id.
HRESULT MDCoCreateInstance(const GUID& clsid, IUnknown* outer, uint32_t context, const GUID& iid,
                           void** obj);
// Registers (or with an empty factory, removes) the factory of a class id and returns the
// factory it replaces, so a caller can put it back. The built-in classes are registered before
// the first registration or creation.
TMDClassFactory MDRegisterClass(const GUID& clsid, TMDClassFactory factory);

// A filter over a GStreamer bin made from a launch description ("fakesink sync=true",
// "identity ! fakesink"); its unlinked pads become the pins, named by the pad names ("sink",
// "src"). For components registered by class id that are made of stock elements.
HRESULT MDCreateElementFilter(const std::string& launchDescription, const GUID& iid, void** obj);

// ---------------------------------------------------------------------------------------------
// Hidden message windows
// ---------------------------------------------------------------------------------------------

// The window procedure: (message, wParam, lParam) -> result.
using TMDWindowProc = std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

// A new message window served by the calling thread's GLib main context. Never 0.
MDHANDLE MDAllocateHWnd(TMDWindowProc proc);
// Destroys a window on its own thread; queued messages are dropped. Unknown handles are ignored.
void MDDeallocateHWnd(MDHANDLE window);
// Queues a message for the window from any thread. False when the window does not exist.
bool MDPostMessage(MDHANDLE window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
// Runs the procedure now, on the calling thread. Returns 0 for an unknown window.
intptr_t MDSendMessage(MDHANDLE window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
