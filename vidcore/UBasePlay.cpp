#include "UBasePlay.h"

TBasePlay::TBasePlay(IMDKernel* kernel, const TMDModuleInfo* info) : TMDBaseModule(kernel, info) {}
