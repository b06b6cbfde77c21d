// UGraph.cpp - the file graph wrapper.
#include "UGraph.h"

#include <cmath>

#include "UMDPlatform.h"

REFERENCE_TIME MDSecondsToTime(double seconds) {
  return static_cast<REFERENCE_TIME>(std::trunc(seconds * static_cast<double>(MD_UNITS_PER_SECOND)));
}

double MDTimeToSeconds(REFERENCE_TIME time) {
  return static_cast<double>(time) / static_cast<double>(MD_UNITS_PER_SECOND);
}

// ---------------------------------------------------------------------------------------------
// TOpenGraphThread
// ---------------------------------------------------------------------------------------------

TOpenGraphThread::TOpenGraphThread(TGraph1* graph, const char16_t* fileName)
    : FGraph(graph), FFileName(fileName ? fileName : u"") {}

TOpenGraphThread::~TOpenGraphThread() {
  if (FThread.joinable()) {
    if (FThread.get_id() == std::this_thread::get_id())
      FThread.detach();  // freed by its own run: nothing of it is used after this
    else
      FThread.join();
  }
}

void TOpenGraphThread::Start() {
  if (FThread.joinable()) return;
  FThread = std::thread([this] {
    FId = std::this_thread::get_id();
    Execute();
  });
}

void TOpenGraphThread::Execute() {
  if (!FGraph) return;
  try {
    if (MD_SUCCEEDED(FGraph->RenderFile(FFileName.c_str())))
      FGraph->DoOpened();
    else
      FGraph->DoOpenFailed();
  } catch (...) {
    // Nobody to report to: the open simply ends.
  }
}

// ---------------------------------------------------------------------------------------------
// TGraph1
// ---------------------------------------------------------------------------------------------

TGraph1::TGraph1() {
  MDInitMedia();
  FEventWindow = MDAllocateHWnd(
      [this](uint32_t msg, uintptr_t wParam, intptr_t lParam) { return WindowProc(msg, wParam, lParam); });
}

TGraph1::~TGraph1() {
  Close();
  MDDeallocateHWnd(FEventWindow);
}

void TGraph1::Fire(const TMDMethod& event) {
  if (event.Code) event.Code(event.Data, this);
}

TComPtr<IGraphBuilder> TGraph1::Graph() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FGraph;
}
TComPtr<IMediaEventEx> TGraph1::Events() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FEvents;
}
TComPtr<IMediaControl> TGraph1::Control() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FControl;
}
TComPtr<IMediaSeeking> TGraph1::Seeking() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FSeeking;
}

void TGraph1::DoOpened() {
  AcquireInterfaces();
  Fire(OnOpened);
}

void TGraph1::DoClosed() {
  ReleaseInterfaces();
  Fire(OnClosed);
}

void TGraph1::DoOpenFailed() { Fire(OnOpenFailed); }

void TGraph1::DoComplete() { Fire(OnComplete); }

void TGraph1::HandleGraphEvent(int32_t code, int32_t param1, int32_t param2) {
  if (code == EC_COMPLETE || code == EC_USERABORT) DoComplete();
}

HRESULT TGraph1::Run() {
  auto c = Control();
  return c ? c->Run() : E_FAIL;
}

HRESULT TGraph1::Pause() {
  auto c = Control();
  return c ? c->Pause() : E_FAIL;
}

HRESULT TGraph1::Stop() {
  auto c = Control();
  return c ? c->Stop() : E_FAIL;
}

HRESULT TGraph1::BeforeClose() { return S_OK; }

HRESULT TGraph1::RenderFile(const char16_t* fileName) {
  std::lock_guard<TLock> g(FLock);
  auto graph = Graph();
  if (!graph) return E_FAIL;
  return graph->RenderFile(fileName, nullptr);
}

HRESULT TGraph1::AcquireInterfaces() {
  auto graph = Graph();
  if (!graph) return E_FAIL;
  auto events = TComPtr<IMediaEventEx>::Query(graph.Get());
  if (events) events->SetNotifyWindow(FEventWindow, static_cast<int32_t>(WM_GRAPHNOTIFY), 0);
  auto control = TComPtr<IMediaControl>::Query(graph.Get());
  auto seeking = TComPtr<IMediaSeeking>::Query(graph.Get());
  std::lock_guard<std::mutex> g(FItfLock);
  FEvents = std::move(events);
  FControl = std::move(control);
  FSeeking = std::move(seeking);
  return S_OK;
}

HRESULT TGraph1::ReleaseInterfaces() {
  TComPtr<IMediaEventEx> events;
  TComPtr<IMediaControl> control;
  TComPtr<IMediaSeeking> seeking;
  {
    std::lock_guard<std::mutex> g(FItfLock);
    events = std::move(FEvents);
    control = std::move(FControl);
    seeking = std::move(FSeeking);
  }
  if (events) events->SetNotifyWindow(0, 0, 0);
  return S_OK;  // the references go here, outside the lock
}

HRESULT TGraph1::Open(const char16_t* fileName) {
  Close();
  std::lock_guard<TLock> g(FLock);
  TComPtr<IGraphBuilder> graph;
  HRESULT hr = MDCoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  graph.PutVoid());
  if (MD_FAILED(hr)) {
    Close();
    return hr;
  }
  {
    std::lock_guard<std::mutex> ig(FItfLock);
    FGraph = std::move(graph);
  }
  FOpenThread = std::make_unique<TOpenGraphThread>(this, fileName);
  FOpenThread->Start();
  return S_OK;
}

void TGraph1::WaitForOpenThread() {
  if (!FOpenThread) return;
  // Called by the open thread itself (an owner closing from OnOpenFailed): it cannot wait for
  // itself; the next Open, Close or the destructor on another thread frees it.
  if (FOpenThread->IsCurrentThread()) return;
  FOpenThread->Terminate();
  FOpenThread.reset();
}

HRESULT TGraph1::Close() {
  // A render in progress is waited for before the lock is taken: the open thread needs the lock
  // to render, so waiting for it while holding the lock would never end.
  WaitForOpenThread();
  std::lock_guard<TLock> g(FLock);
  Stop();
  WaitForOpenThread();
  if (!Graph()) return S_FALSE;
  BeforeClose();
  DoClosed();
  TComPtr<IGraphBuilder> graph;
  {
    std::lock_guard<std::mutex> ig(FItfLock);
    graph = std::move(FGraph);
  }
  return S_OK;
}

HRESULT TGraph1::SetRate(double rate) {
  auto s = Seeking();
  return s ? s->SetRate(rate) : E_FAIL;
}

HRESULT TGraph1::GetRate(double* rate) {
  auto s = Seeking();
  if (!s) {
    *rate = 1.0;
    return E_FAIL;
  }
  return s->GetRate(rate);
}

HRESULT TGraph1::SetPosition(double seconds) {
  auto s = Seeking();
  if (!s) return E_FAIL;
  REFERENCE_TIME t = MDSecondsToTime(seconds);
  return s->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
}

HRESULT TGraph1::GetPosition(double* seconds) {
  *seconds = 0.0;
  auto s = Seeking();
  if (!s) return S_FALSE;
  REFERENCE_TIME t = 0;
  HRESULT hr = s->GetCurrentPosition(&t);
  *seconds = MDTimeToSeconds(t);
  return hr;
}

HRESULT TGraph1::GetDuration(double* seconds) {
  *seconds = 0.0;
  auto s = Seeking();
  if (!s) return S_FALSE;
  REFERENCE_TIME t = 0;
  HRESULT hr = s->GetDuration(&t);
  *seconds = MDTimeToSeconds(t);
  return hr;
}

intptr_t TGraph1::WindowProc(uint32_t msg, uintptr_t, intptr_t) {
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
// TGraph2
// ---------------------------------------------------------------------------------------------

TGraph2::~TGraph2() {
  // Close here, while the video overrides still apply.
  Close();
}

TComPtr<IVideoWindow> TGraph2::VideoWindow() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FVideoWindow;
}

TComPtr<IBasicVideo> TGraph2::BasicVideo() {
  std::lock_guard<std::mutex> g(FItfLock);
  return FBasicVideo;
}

HRESULT TGraph2::AcquireInterfaces() {
  HRESULT hr = TGraph1::AcquireInterfaces();
  if (MD_FAILED(hr)) return hr;
  auto graph = Graph();
  auto window = TComPtr<IVideoWindow>::Query(graph.Get());
  auto basic = TComPtr<IBasicVideo>::Query(graph.Get());
  std::lock_guard<std::mutex> g(FItfLock);
  FVideoWindow = std::move(window);
  FBasicVideo = std::move(basic);
  return hr;
}

HRESULT TGraph2::ReleaseInterfaces() {
  TComPtr<IVideoWindow> window;
  TComPtr<IBasicVideo> basic;
  {
    std::lock_guard<std::mutex> g(FItfLock);
    window = std::move(FVideoWindow);
    basic = std::move(FBasicVideo);
  }
  return TGraph1::ReleaseInterfaces();
}
