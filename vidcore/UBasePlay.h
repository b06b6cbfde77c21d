// UBasePlay.h - the playback module "Simple Playback".
//
// Threads: HandleMessage on the kernel's dispatch thread; SetState, Stop and QueryStopped on
// the host's main thread.
#pragma once

#include "UMDBaseModule.h"

class TBasePlay final : public TMDBaseModule {
 public:
  TBasePlay(IMDKernel* kernel, const TMDModuleInfo* info);
};
