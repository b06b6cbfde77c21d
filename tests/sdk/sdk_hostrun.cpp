// sdk_hostrun.cpp - starts the host headless in the current directory (plug-ins from ./Modules),
// prints what it made of them, performs an action, and shuts down. One line each:
//   module <name>   a module of the pool        page <name>     a page of the pool
//   running <name>  a module registered with the kernel
//   action <name>   an action in the action list
//   input <name>    an input source the binder knows (names given on the command line)
//   stopped         shut-down finished
// Arguments: input source names to look up; "--action CODE" posts MDM_ACTION with that code
// once the host runs. Everything runs on this program's main thread, which serves the kernel's
// main-thread requests while it waits.
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/UMDHost.h"
#include "modules/UMDModuleLoader.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> sources;
  int32_t action = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--action" && i + 1 < argc) action = std::strtol(argv[++i], nullptr, 0);
    else sources.push_back(MDToUtf16(arg));
  }
  // Qt stays loaded for the life of the process, as in the Midavo program, so a page library's
  // Qt is not unloaded with the library (taking its process-wide data along).
  if (!qVersion()) return 1;
  std::unique_ptr<TMDKernel> kernel;
  MDStartHost(kernel, TMDHostOptions{});
  TMDModuleLoader& loader = *kernel->ModuleLoader();
  for (int32_t i = 0; i < loader.ModulePoolCount(); ++i) {
    TMDModuleInfo info{};
    loader.GetModuleInfoAt(i, &info);
    std::printf("module %s\n", MDToUtf8(info.Name).c_str());
  }
  for (int32_t i = 0; i < loader.PagePoolCount(); ++i) {
    TMDPageInfo info{};
    loader.GetPageInfoAt(i, &info);
    std::printf("page %s\n", MDToUtf8(info.Name).c_str());
  }
  if (auto modules = TComPtr<IMDEnumModules>::Query(static_cast<IMDKernel*>(kernel.get()))) {
    TComPtr<IMDModule> module;
    while (MD_SUCCEEDED(modules->Next(module.Put()))) {
      TMDModuleInfo info{};
      module->GetModuleInfo(&info);
      std::printf("running %s\n", MDToUtf8(info.Name).c_str());
    }
  }
  if (auto actions = TComPtr<IMDActionList>::Query(static_cast<IMDKernel*>(kernel.get()))) {
    for (int32_t i = 0; i < actions->GetActionCount(); ++i) {
      TMDActionItem item{};
      if (MD_SUCCEEDED(actions->GetAction(i, &item)))
        std::printf("action %s\n", MDToUtf8(item.Name).c_str());
    }
  }
  if (auto binder = TComPtr<IMDActionInput>::Query(static_cast<IMDKernel*>(kernel.get()))) {
    for (const std::u16string& source : sources) {
      const char16_t* input = nullptr;
      if (binder->GetBinding(source.c_str(), MDA_PLAY, &input) != E_FAIL)
        std::printf("input %s\n", MDToUtf8(source).c_str());
    }
  }
  if (action) {
    TMDMessage msg{};
    msg.Msg = MDM_ACTION;
    msg.Param1 = action;
    kernel->HandleMessage(&msg);
    kernel->WaitAndServeRequests(300);
  }
  std::fflush(stdout);
  MDStopHost(kernel);
  std::printf("stopped\n");
  return 0;
}
