// UMDHost.h - the host's start-up and shut-down order, in one place for the Qt shell and for
// headless runs and tests.
//
// Threads: main thread only (the thread that constructs the kernel).
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "core/UMDKernel.h"

struct TMDHostOptions {
  MDHANDLE MainWindow = 0;
  TMDMethod OnShutdown{nullptr, nullptr};  // called on the dispatch thread
  void* Application = nullptr;             // handed to plug-ins as the application object
  std::vector<TMDPageInfo> BuiltinPages;   // General, Modules, Controls
  // The control panel's show/hide request handler (called on the dispatch thread).
  TMDControlPanel::TShowRequest ShowRequest = nullptr;
  void* ShowRequestContext = nullptr;
  // Wakes the main thread's event loop so it calls the kernel's ServeRequests (any thread);
  // installed before Init, so a plug-in's Synchronize during start-up is served too.
  std::function<void()> MainThreadWakeup;
};

// Constructs the kernel (its dispatch thread starts) and walks it to KS_RUNNING:
// KS_STARTING, Init, module loader Init (libraries, actions, pages), binder LoadInputs,
// KS_READY, module set 0 activated, MDM_STARTED posted, KS_RUNNING.
// Results are ignored; an exception of a step ends start-up and reaches the caller, with the
// kernel already in *kernel so that MDStopHost can still take it down.
void MDStartHost(std::unique_ptr<TMDKernel>& kernel, const TMDHostOptions& options);

// Takes the kernel down and destroys it: StopDispatch, KS_READY (modules close their media),
// every module stopped and released, KS_STOPPING, Done (stop time, libraries unloaded).
// Nothing happens when there is no kernel.
void MDStopHost(std::unique_ptr<TMDKernel>& kernel);
