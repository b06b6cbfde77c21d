#include "UBasePlay.h"

#include <mutex>

#include "UGraph.h"
#include "UMDStreamGraph.h"

namespace {
// The window style a non-zero video owner gets: clip siblings, not a child window.
constexpr int32_t kOwnedVideoStyle = 0x04000000;
constexpr double kSeekStep = 5.0;
}  // namespace

TBasePlay::TBasePlay(IMDKernel* kernel, const TMDModuleInfo* info) : TMDComImpl(kernel, info) {}

TBasePlay::~TBasePlay() {
  // A pending open must not call into a module that is gone: a file render is waited for (it
  // always ends), a stream that is still waiting for its source is cut off by closing it.
  {
    std::lock_guard<TLock> guard(FGraphLock);
    if (FFileGraph) FFileGraph->WaitForOpenThread();
    if (FStreamGraph && FOpening) FStreamGraph->Close();
    FOpening = false;
  }
  CloseMedia();
}

// ---------------------------------------------------------------------------------------------
// IUnknown, messages and states
// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TBasePlay::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDPlayer) return MDHandOut<IMDPlayer>(this, obj);
    if (iid == IID_IMDVideo) return MDHandOut<IMDVideo>(this, obj);
    return TMDBaseModule::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TBasePlay::HandleMessage(const TMDMessage* msg) {
  if (!msg || msg->Msg != MDM_ACTION) return TMDBaseModule::HandleMessage(msg);
  MDGuard([&]() -> HRESULT {
    switch (msg->Param1) {
      case MDA_PLAY:
        return Play();
      case MDA_STOP:
        return StopPlayback();
      case MDA_PAUSE:
        return Pause();
      case MDA_CLOSE_MEDIA:
        // The graph belongs to the thread that opened it, normally the host's main thread.
        if (Kernel()) Kernel()->Synchronize({&TBasePlay::RunCloseMedia, this});
        return S_OK;
      case MDA_SEEK_FORWARD:
        return SeekBy(kSeekStep);
      case MDA_SEEK_BACKWARD:
        return SeekBy(-kSeekStep);
      default:
        return TMDBaseModule::HandleMessage(msg);
    }
  });
  return S_OK;
}

HRESULT MDCALL TBasePlay::SetState(int32_t state) {
  const HRESULT hr = TMDBaseModule::SetState(state);
  // Media close whenever the kernel stops running (and when the module is registered).
  if (MD_SUCCEEDED(hr) && state == KS_READY) CloseMedia();
  return hr;
}

// ---------------------------------------------------------------------------------------------
// Notifications from the graphs
// ---------------------------------------------------------------------------------------------

void MDCALL TBasePlay::OnOpened(void* self, void*) {
  auto* play = static_cast<TBasePlay*>(self);
  play->FOpening = false;
  play->PostNotify(MDN_OPENED);
}

void MDCALL TBasePlay::OnClosed(void* self, void*) {
  static_cast<TBasePlay*>(self)->PostNotify(MDN_CLOSED);
}

void MDCALL TBasePlay::OnOpenFailed(void* self, void*) {
  auto* play = static_cast<TBasePlay*>(self);
  play->FOpening = false;
  play->PostNotify(MDN_OPEN_FAILED);
  // The failed media are closed when this action comes back, on the host's main thread.
  play->PostToKernel(MDM_ACTION, MDA_CLOSE_MEDIA, 0);
}

void MDCALL TBasePlay::OnComplete(void* self, void*) {
  static_cast<TBasePlay*>(self)->PostNotify(MDN_COMPLETE);
}

void MDCALL TBasePlay::RunCloseMedia(void* self, void*) { static_cast<TBasePlay*>(self)->CloseMedia(); }

template <class G>
void TBasePlay::Connect(G& graph) {
  graph.OnOpened = {&TBasePlay::OnOpened, this};
  graph.OnClosed = {&TBasePlay::OnClosed, this};
  graph.OnOpenFailed = {&TBasePlay::OnOpenFailed, this};
  graph.OnComplete = {&TBasePlay::OnComplete, this};
}

// ---------------------------------------------------------------------------------------------
// IMDPlayer
// ---------------------------------------------------------------------------------------------

template <class G>
HRESULT TBasePlay::OpenWith(std::unique_ptr<G>& slot, uint8_t mode, const char16_t* name) {
  return MDGuard([&]() -> HRESULT {
    if (Opening() || State() != KS_RUNNING) return E_FAIL;
    std::lock_guard<TLock> guard(FGraphLock);
    // Again under the lock: another caller may have started an open since the first look.
    if (Opening()) return E_FAIL;
    CloseMedia();
    HRESULT result = E_FAIL;
    try {
      slot = std::make_unique<G>();
      Connect(*slot);
      FOpening = true;
      result = slot->Open(name ? name : u"");
    } catch (...) {
      result = E_FAIL;
    }
    FMode = mode;
    if (MD_FAILED(result)) {
      FOpening = false;
      CloseMedia();
    }
    return result;
  });
}

HRESULT MDCALL TBasePlay::OpenFile(const char16_t* fileName) {
  return OpenWith(FFileGraph, kModeFile, fileName);
}

HRESULT MDCALL TBasePlay::OpenStream(const char16_t* url) {
  return OpenWith(FStreamGraph, kModeStream, url);
}

HRESULT MDCALL TBasePlay::CloseMedia() {
  return MDGuard([&]() -> HRESULT {
    if (Opening()) return S_OK;
    std::lock_guard<TLock> guard(FGraphLock);
    if (Opening()) return S_OK;  // an open started while this call waited for the lock
    if (FFileGraph) {
      FFileGraph->Close();
      FFileGraph.reset();
    }
    if (FStreamGraph) {
      FStreamGraph->Close();
      FStreamGraph.reset();  // closes once more: a stream reports "closed" twice
    }
    FOpening = false;
    FMode = kModeNone;
    return S_OK;
  }, S_OK);
}

HRESULT MDCALL TBasePlay::Play() {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    HRESULT hr = E_FAIL;
    if (Mode() == kModeFile && FFileGraph) hr = FFileGraph->Run();
    if (Mode() == kModeStream && FStreamGraph) hr = FStreamGraph->Run();
    if (MD_SUCCEEDED(hr)) PostNotify(MDN_PLAYING);
    return hr;
  });
}

HRESULT MDCALL TBasePlay::StopPlayback() {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    HRESULT hr = E_FAIL;
    if (Mode() == kModeFile && FFileGraph) {
      hr = FFileGraph->Stop();
      FFileGraph->SetPosition(0.0);
    }
    if (Mode() == kModeStream && FStreamGraph) hr = FStreamGraph->Stop();
    if (MD_SUCCEEDED(hr)) PostNotify(MDN_STOPPED);
    return hr;
  });
}

HRESULT MDCALL TBasePlay::Pause() {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    HRESULT hr = E_FAIL;
    if (Mode() == kModeFile && FFileGraph) hr = FFileGraph->Pause();
    if (Mode() == kModeStream && FStreamGraph) hr = FStreamGraph->Pause();
    if (MD_SUCCEEDED(hr)) PostNotify(MDN_PAUSED);
    return hr;
  });
}

HRESULT MDCALL TBasePlay::GetDuration(double* seconds) {
  if (!seconds) return E_POINTER;
  *seconds = 0.0;
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    if (Mode() == kModeStream) return S_OK;
    if (!FFileGraph) return E_FAIL;
    return FFileGraph->GetDuration(seconds);
  });
}

HRESULT MDCALL TBasePlay::GetPosition(double* seconds) {
  if (!seconds) return E_POINTER;
  *seconds = 0.0;
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    if (!FFileGraph) return S_FALSE;
    return FFileGraph->GetPosition(seconds);
  });
}

HRESULT MDCALL TBasePlay::SetPosition(double seconds) {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    if (Mode() == kModeStream || !FFileGraph) return S_FALSE;
    return FFileGraph->SetPosition(seconds);
  });
}

HRESULT MDCALL TBasePlay::GetRate(double* rate) {
  if (!rate) return E_POINTER;
  *rate = 1.0;
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    if (Mode() == kModeStream || !FFileGraph) return S_FALSE;
    return FFileGraph->GetRate(rate);
  });
}

HRESULT MDCALL TBasePlay::SetRate(double rate) {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    if (Mode() == kModeStream || !FFileGraph) return S_FALSE;
    return FFileGraph->SetRate(rate);
  });
}

HRESULT TBasePlay::SeekBy(double delta) {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    if (Mode() == kModeStream || !FFileGraph) return S_FALSE;
    double position = 0.0;
    GetPosition(&position);
    // Not limited to 0 or the duration: the graph gets what the sum gives.
    return SetPosition(position + delta);
  });
}

HRESULT MDCALL TBasePlay::QueryGraphInterface(const GUID* iid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready() || !iid) return E_FAIL;
    TComPtr<IGraphBuilder> graph;
    if (Mode() == kModeFile && FFileGraph) graph = FFileGraph->Graph();
    if (Mode() == kModeStream && FStreamGraph) graph = FStreamGraph->Graph();
    if (!graph) return E_FAIL;
    return graph->QueryInterface(*iid, obj);
  });
}

// ---------------------------------------------------------------------------------------------
// IMDVideo
// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TBasePlay::HasVideo() {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    return Mode() == kModeFile && FFileGraph && FFileGraph->BasicVideo() ? S_OK : S_FALSE;
  });
}

HRESULT MDCALL TBasePlay::GetVideoSize(int32_t* width, int32_t* height) {
  if (!width || !height) return E_POINTER;
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    *width = 0;
    *height = 0;
    if (Mode() == kModeStream) return S_FALSE;
    TComPtr<IBasicVideo> video = FFileGraph ? FFileGraph->BasicVideo() : nullptr;
    if (!video) return E_FAIL;
    HRESULT hr = video->get_VideoWidth(width);
    if (MD_SUCCEEDED(hr)) hr = video->get_VideoHeight(height);
    if (MD_FAILED(hr)) *width = *height = 0;
    return hr;
  });
}

template <class Call, class Zero>
HRESULT TBasePlay::WithVideoWindow(Call call, Zero zero) {
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<TLock> guard(FGraphLock);
    if (!Ready()) return E_FAIL;
    zero();
    if (Mode() == kModeStream) return S_FALSE;
    TComPtr<IVideoWindow> window = FFileGraph ? FFileGraph->VideoWindow() : nullptr;
    if (!window) return E_FAIL;
    call(window.Get());  // its result is not the caller's concern
    return S_OK;
  });
}

HRESULT MDCALL TBasePlay::GetVideoVisible(BOOL32* visible) {
  if (!visible) return E_POINTER;
  return WithVideoWindow([&](IVideoWindow* w) { w->get_Visible(visible); },
                         [&] { *visible = 0; });
}

HRESULT MDCALL TBasePlay::SetVideoVisible(BOOL32 visible) {
  return WithVideoWindow([&](IVideoWindow* w) { w->put_Visible(visible ? MD_TRUE : MD_FALSE); },
                         [] {});
}

HRESULT MDCALL TBasePlay::GetVideoOwner(MDHANDLE* owner) {
  if (!owner) return E_POINTER;
  return WithVideoWindow([&](IVideoWindow* w) { w->get_Owner(owner); }, [&] { *owner = 0; });
}

HRESULT MDCALL TBasePlay::SetVideoOwner(MDHANDLE owner) {
  return WithVideoWindow(
      [&](IVideoWindow* w) {
        if (owner != 0) {
          w->put_WindowStyle(kOwnedVideoStyle);
          w->put_AutoShow(0);
        }
        w->put_Owner(owner);
      },
      [] {});
}

HRESULT MDCALL TBasePlay::GetVideoPosition(int32_t* left, int32_t* top, int32_t* width,
                                           int32_t* height) {
  if (!left || !top || !width || !height) return E_POINTER;
  return WithVideoWindow([&](IVideoWindow* w) { w->GetWindowPosition(left, top, width, height); },
                         [&] { *left = *top = *width = *height = 0; });
}

HRESULT MDCALL TBasePlay::SetVideoPosition(int32_t left, int32_t top, int32_t width,
                                           int32_t height) {
  return WithVideoWindow(
      [&](IVideoWindow* w) { w->SetWindowPosition(left, top, width, height); }, [] {});
}

HRESULT MDCALL TBasePlay::SetMessageDrain(MDHANDLE window) {
  return WithVideoWindow([&](IVideoWindow* w) { w->put_MessageDrain(window); }, [] {});
}

HRESULT MDCALL TBasePlay::NotifyOwnerMessage(uint32_t message, uint32_t wParam, uint32_t lParam) {
  return WithVideoWindow(
      [&](IVideoWindow* w) {
        w->NotifyOwnerMessage(0, static_cast<int32_t>(message), static_cast<LONG_PTR>(wParam),
                              static_cast<LONG_PTR>(lParam));
      },
      [] {});
}
