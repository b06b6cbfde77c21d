// vidcore.cpp - the playback library's exports: one module, "Simple Playback", and its six
// playback actions. Everything here runs on the host's main thread.
#include <memory>

#include "UBasePlay.h"

namespace {

HRESULT MDCALL CreatePlaybackModule(IUnknown* owner, const GUID* iid, void** obj);
HRESULT MDCALL RegisterPlaybackActions(IMDActionList* actions);

const TMDModuleInfo kModuleInfo = {
    u"Simple Playback",
    u"Compatibility Mode Playback",
    u"https://midavo.example.org/",
    MDMakeVersion(1, 0, 0, 0),
    0,
    -1,
    &CreatePlaybackModule,
    nullptr,
    &RegisterPlaybackActions,
};

// The action list keeps the name pointers: they are constants of this library.
const TMDActionItem kActions[] = {
    {u"Play", MDA_PLAY, MDA_PLAY},
    {u"Stop", MDA_STOP, MDA_STOP},
    {u"Pause", MDA_PAUSE, MDA_PAUSE},
    {u"Close Media", MDA_CLOSE_MEDIA, MDA_CLOSE_MEDIA},
    {u"Seek Forward", MDA_SEEK_FORWARD, MDA_SEEK_FORWARD},
    {u"Seek Backward", MDA_SEEK_BACKWARD, MDA_SEEK_BACKWARD},
};

HRESULT MDCALL CreatePlaybackModule(IUnknown* owner, const GUID* iid, void** obj) {
  return MDGuard([&]() -> HRESULT {
    if (!owner || !iid || !obj) return E_FAIL;
    *obj = nullptr;
    // A refusing owner gives a nil kernel, which the module accepts.
    auto kernel = TComPtr<IMDKernel>::Query(owner);
    auto module = std::make_unique<TBasePlay>(kernel.Get(), &kModuleInfo);
    kernel = nullptr;
    const HRESULT hr = module->QueryInterface(*iid, obj);
    if (MD_SUCCEEDED(hr)) module.release();  // the caller holds the only reference
    return hr;
  }, E_OUTOFMEMORY);
}

HRESULT MDCALL RegisterPlaybackActions(IMDActionList* actions) {
  // Without a list there is nothing to register into; loading goes on.
  if (!actions) return S_OK;
  TComPtr<IMDActionList> hold(actions);
  for (const TMDActionItem& item : kActions) hold->AddAction(&item);
  return S_OK;
}

}  // namespace

MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  if (static_cast<uint32_t>(index) != 0 || !info) return E_FAIL;
  *info = kModuleInfo;
  return S_OK;
}
