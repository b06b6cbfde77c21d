// UMDStreamGraph.cpp - the network stream graph.
#include "UMDStreamGraph.h"

#include "UGraph.h"
#include "UMDPlatform.h"

namespace {

// First pin of a filter with that direction, or nil.
TComPtr<IPin> FirstPin(IBaseFilter* filter, PIN_DIRECTION wanted) {
  TComPtr<IEnumPins> pins;
  if (MD_FAILED(filter->EnumPins(pins.Put())) || !pins) return nullptr;
  IPin* p = nullptr;
  while (pins->Next(1, &p, nullptr) == S_OK) {
    TComPtr<IPin> pin = TComPtr<IPin>::Adopt(p);
    PIN_DIRECTION dir;
    if (MD_SUCCEEDED(pin->QueryDirection(&dir)) && dir == wanted) return pin;
  }
  return nullptr;
}

// Both control interfaces have the same methods; T is the one of the stream's kind.
template <class T>
HRESULT StartSource(IBaseFilter* filter, TMDSourceCallback proc, void* self, const char16_t* url) {
  TComPtr<T> control;
  HRESULT hr = filter->QueryInterface(MDIID<T>::value, control.PutVoid());
  if (MD_FAILED(hr)) return hr;
  if (!control) return E_NOINTERFACE;
  control->SetCallback(proc, self);
  return control->OpenUrl(url);
}

template <class T>
void SilenceSource(IBaseFilter* filter) {
  auto control = TComPtr<T>::Query(filter);
  if (control) control->SetCallback(nullptr, nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TMDStreamGraph
// ---------------------------------------------------------------------------------------------

TMDStreamGraph::TMDStreamGraph() {
  MDInitMedia();
  FEventWindow = MDAllocateHWnd(
      [this](uint32_t msg, uintptr_t wParam, intptr_t lParam) { return WindowProc(msg, wParam, lParam); });
}

TMDStreamGraph::~TMDStreamGraph() {
  Close();
  MDDeallocateHWnd(FEventWindow);
}

void TMDStreamGraph::Fire(const TMDMethod& event) {
  if (event.Code) event.Code(event.Data, this);
}

TComPtr<IGraphBuilder> TMDStreamGraph::Graph() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FGraph;
}
TComPtr<IMediaEventEx> TMDStreamGraph::Events() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FEvents;
}
TComPtr<IMediaControl> TMDStreamGraph::Control() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FControl;
}
TComPtr<IBasicAudio> TMDStreamGraph::BasicAudio() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FBasicAudio;
}
TComPtr<IPin> TMDStreamGraph::SourcePin() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FSourcePin;
}
std::u16string TMDStreamGraph::Url() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FUrl;
}
void TMDStreamGraph::SetSourcePin(TComPtr<IPin> pin) {
  std::lock_guard<std::mutex> g(FItfLock);
  FSourcePin = std::move(pin);
}

void TMDStreamGraph::DoOpened() { Fire(OnOpened); }
void TMDStreamGraph::DoClosed() { Fire(OnClosed); }
void TMDStreamGraph::DoOpenFailed() { Fire(OnOpenFailed); }
void TMDStreamGraph::DoComplete() { Fire(OnComplete); }

HRESULT TMDStreamGraph::BeforeClose() { return S_OK; }

HRESULT TMDStreamGraph::CreateSource(const char16_t*, TComPtr<IPin>& sourcePin) {
  sourcePin = nullptr;
  return E_NOTIMPL;
}

HRESULT TMDStreamGraph::CreateDecoder(TComPtr<IPin>& inputPin, TComPtr<IPin>& outputPin) {
  inputPin = nullptr;
  outputPin = nullptr;
  return E_NOTIMPL;
}

HRESULT TMDStreamGraph::CreateAudioRenderer(TComPtr<IPin>& inputPin) {
  inputPin = nullptr;
  auto graph = Graph();
  if (!graph) return E_FAIL;
  TComPtr<IBaseFilter> renderer;
  HRESULT hr = MDCoCreateInstance(CLSID_DSoundRender, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  renderer.PutVoid());
  if (MD_FAILED(hr)) return hr;
  hr = graph->AddFilter(renderer.Get(), u"Default DirectSound Device");
  if (MD_FAILED(hr)) return hr;
  inputPin = FirstPin(renderer.Get(), PINDIR_INPUT);
  return inputPin ? S_OK : E_FAIL;
}

void TMDStreamGraph::HandleGraphEvent(int32_t code, int32_t, int32_t) {
  if (code == EC_COMPLETE || code == EC_USERABORT) DoComplete();
}

HRESULT TMDStreamGraph::Open(const char16_t* url) {
  if (Graph()) return E_FAIL;
  {
    std::lock_guard<std::mutex> g(FItfLock);
    FUrl = url ? url : u"";
  }
  TComPtr<IGraphBuilder> graph;
  HRESULT hr = MDCoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  graph.PutVoid());
  if (MD_SUCCEEDED(hr)) {
    {
      std::lock_guard<std::mutex> g(FItfLock);
      FGraph = std::move(graph);
    }
    TComPtr<IPin> pin;
    hr = CreateSource(url, pin);
    // A subclass may publish the pin itself before its source starts reporting.
    if (MD_SUCCEEDED(hr) && !SourcePin()) SetSourcePin(std::move(pin));
  }
  if (MD_FAILED(hr)) {
    Close();
    return hr;
  }
  return S_OK;
}

HRESULT TMDStreamGraph::Close() {
  try {
    BeforeClose();
    TComPtr<IPin> pin;
    TComPtr<IMediaControl> control;
    TComPtr<IMediaEventEx> events;
    TComPtr<IBasicAudio> audio;
    TComPtr<IGraphBuilder> graph;
    {
      std::lock_guard<std::mutex> g(FItfLock);
      pin = std::move(FSourcePin);
      control = std::move(FControl);
      events = std::move(FEvents);
      audio = std::move(FBasicAudio);
      graph = std::move(FGraph);
      FUrl.clear();
    }
    pin = nullptr;
    control = nullptr;
    if (events) events->SetNotifyWindow(0, 0, 0);
    events = nullptr;
    audio = nullptr;
    graph = nullptr;  // releasing the filter graph manager ends playback
  } catch (...) {
    // Closing goes on regardless.
  }
  DoClosed();
  return S_OK;
}

HRESULT TMDStreamGraph::Run() {
  auto c = Control();
  return c ? c->Run() : E_FAIL;
}

HRESULT TMDStreamGraph::Pause() {
  auto c = Control();
  return c ? c->Pause() : E_FAIL;
}

HRESULT TMDStreamGraph::Stop() {
  auto c = Control();
  return c ? c->Stop() : E_FAIL;
}

HRESULT TMDStreamGraph::BuildGraph() {
  auto graph = Graph();
  if (!graph) return E_FAIL;
  TComPtr<IPin> decoderIn, decoderOut, rendererIn;
  HRESULT hr = CreateDecoder(decoderIn, decoderOut);
  if (MD_SUCCEEDED(hr)) hr = graph->Connect(SourcePin().Get(), decoderIn.Get());
  if (MD_SUCCEEDED(hr)) hr = CreateAudioRenderer(rendererIn);
  if (MD_SUCCEEDED(hr)) hr = graph->Connect(decoderOut.Get(), rendererIn.Get());
  if (MD_SUCCEEDED(hr)) {
    auto events = TComPtr<IMediaEventEx>::Query(graph.Get());
    auto control = TComPtr<IMediaControl>::Query(graph.Get());
    auto audio = TComPtr<IBasicAudio>::Query(graph.Get());
    if (events) events->SetNotifyWindow(FEventWindow, static_cast<int32_t>(WM_GRAPHNOTIFY), 0);
    std::lock_guard<std::mutex> g(FItfLock);
    FEvents = std::move(events);
    FControl = std::move(control);
    FBasicAudio = std::move(audio);
  }
  if (MD_SUCCEEDED(hr)) {
    DoOpened();
  } else {
    DoOpenFailed();
    Close();
  }
  return hr;
}

intptr_t TMDStreamGraph::WindowProc(uint32_t msg, uintptr_t, intptr_t) {
  if (msg != WM_GRAPHNOTIFY) return 0;
  int32_t code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  for (auto events = Events(); events && MD_SUCCEEDED(events->GetEvent(&code, &p1, &p2, 0)); events = Events()) {
    events->FreeEventParams(code, p1, p2);
    HandleGraphEvent(code, static_cast<int32_t>(p1), static_cast<int32_t>(p2));
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// TMDStreamGraph2
// ---------------------------------------------------------------------------------------------

TMDStreamGraph2::~TMDStreamGraph2() {
  // Silence and drop the source while this class is whole, and wait for a report that the
  // reader thread is still finishing; the base's destructor then closes the rest and fires
  // OnClosed (once).
  BeforeClose();
  std::lock_guard<TLock> wait(FReportLock);
}

TComPtr<IBaseFilter> TMDStreamGraph2::SourceFilter() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FSourceFilter;
}

uint8_t TMDStreamGraph2::KindOf(const char16_t* url) {
  std::string u = MDToUtf8(url);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  if (u.rfind("HTTP://", 0) == 0) return KindHttp;
  if (u.rfind("MDSF://", 0) == 0) return KindMdsf;
  return KindUnknown;
}

HRESULT TMDStreamGraph2::BeforeClose() {
  TComPtr<IBaseFilter> source;
  {
    std::lock_guard<std::mutex> g(FItfLock);
    source = std::move(FSourceFilter);
  }
  if (source) {
    // No report may reach this object once it is closed.
    if (FKind == KindHttp) SilenceSource<IMDShoutcastSource>(source.Get());
    if (FKind == KindMdsf) SilenceSource<IMDNetSource>(source.Get());
  }
  source = nullptr;
  return TMDStreamGraph::BeforeClose();
}

HRESULT TMDStreamGraph2::CreateSource(const char16_t* url, TComPtr<IPin>& sourcePin) {
  sourcePin = nullptr;
  FKind = KindOf(url);
  if (FKind == KindUnknown) return E_FAIL;
  auto graph = Graph();
  if (!graph) return E_FAIL;
  const GUID& clsid = FKind == KindHttp ? CLSID_MDShoutcastSource : CLSID_MDNetSource;
  const char16_t* name = FKind == KindHttp ? u"Midavo Shoutcast Source" : u"MDSF NetSource";
  TComPtr<IBaseFilter> source;
  HRESULT hr = MDCoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, source.PutVoid());
  if (MD_SUCCEEDED(hr)) {
    std::lock_guard<std::mutex> g(FItfLock);
    FSourceFilter = source;
  }
  if (MD_SUCCEEDED(hr)) hr = graph->AddFilter(source.Get(), name);
  if (MD_SUCCEEDED(hr)) hr = source->FindPin(u"Output", sourcePin.Put());
  // The pin is published before the source may report, so a build on its thread finds it.
  if (MD_SUCCEEDED(hr)) SetSourcePin(sourcePin);
  if (MD_SUCCEEDED(hr)) {
    if (FKind == KindHttp)
      hr = StartSource<IMDShoutcastSource>(source.Get(), &TMDStreamGraph2::SourceCallback, this, url);
    else
      hr = StartSource<IMDNetSource>(source.Get(), &TMDStreamGraph2::SourceCallback, this, url);
  }
  if (MD_FAILED(hr)) {
    if (source) {
      if (FKind == KindHttp) SilenceSource<IMDShoutcastSource>(source.Get());
      if (FKind == KindMdsf) SilenceSource<IMDNetSource>(source.Get());
    }
    {
      std::lock_guard<std::mutex> g(FItfLock);
      FSourceFilter = nullptr;
      FSourcePin = nullptr;
    }
    sourcePin = nullptr;
    return hr;
  }
  return S_OK;
}

HRESULT TMDStreamGraph2::CreateDecoder(TComPtr<IPin>& inputPin, TComPtr<IPin>& outputPin) {
  inputPin = nullptr;
  outputPin = nullptr;
  if (FKind == KindUnknown) return E_FAIL;
  auto graph = Graph();
  if (!graph) return E_FAIL;
  TComPtr<IBaseFilter> decoder;
  HRESULT hr = MDCoCreateInstance(CLSID_MDMp3Decoder, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  decoder.PutVoid());
  if (MD_FAILED(hr)) return hr;
  hr = graph->AddFilter(decoder.Get(), u"MPEG Layer III Decoder");
  if (MD_FAILED(hr)) return hr;
  TComPtr<IEnumPins> pins;
  if (MD_SUCCEEDED(decoder->EnumPins(pins.Put())) && pins) {
    IPin* p = nullptr;
    while (pins->Next(1, &p, nullptr) == S_OK) {
      TComPtr<IPin> pin = TComPtr<IPin>::Adopt(p);
      PIN_DIRECTION dir;
      if (MD_FAILED(pin->QueryDirection(&dir))) continue;
      if (dir == PINDIR_INPUT && !inputPin) inputPin = pin;
      if (dir == PINDIR_OUTPUT && !outputPin) outputPin = pin;
    }
  }
  return S_OK;
}

HRESULT TMDStreamGraph2::HandleSourceEvent(int32_t event, int32_t param1, int32_t param2) {
  if (event == MDSE_OUTPUT_READY && MD_FAILED(BuildGraph())) event = -1;
  if (OnSourceEvent.Code) OnSourceEvent.Code(OnSourceEvent.Data, event, param1, param2);
  return 0;
}

int32_t MDCALL TMDStreamGraph2::SourceCallback(void* userData, int32_t event, int32_t param1, int32_t param2) {
  if (!userData) return 0;
  auto* graph = static_cast<TMDStreamGraph2*>(userData);
  std::lock_guard<TLock> report(graph->FReportLock);
  return graph->HandleSourceEvent(event, param1, param2);
}
