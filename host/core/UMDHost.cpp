#include "core/UMDHost.h"

#include "input/UMDActionInput.h"
#include "modules/UMDModuleLoader.h"

void MDStartHost(std::unique_ptr<TMDKernel>& kernel, const TMDHostOptions& options) {
  kernel = std::make_unique<TMDKernel>(options.MainWindow, options.OnShutdown);
  kernel->SetApplication(options.Application);
  kernel->SetShowRequestHandler(options.ShowRequest, options.ShowRequestContext);
  kernel->SetMainThreadWakeup(options.MainThreadWakeup);
  kernel->SetState(KS_STARTING);
  kernel->Init();
  if (TMDModuleLoader* loader = kernel->ModuleLoader()) {
    loader->SetBuiltinPages(options.BuiltinPages);
    loader->Init();
  }
  if (TMDActionInput* binder = kernel->Binder()) binder->LoadInputs();
  kernel->SetState(KS_READY);
  if (TMDModuleLoader* loader = kernel->ModuleLoader()) loader->ActivateModuleSet(0);
  TMDMessage started{};
  started.Msg = MDM_STARTED;
  kernel->HandleMessage(&started);
  kernel->SetState(KS_RUNNING);
}

void MDStopHost(std::unique_ptr<TMDKernel>& kernel) {
  if (!kernel) return;
  kernel->StopDispatch();
  kernel->SetState(KS_READY);
  kernel->UnregisterAllModules();
  kernel->SetState(KS_STOPPING);
  kernel->Done();
  kernel.reset();
}
