// UMDStreamGraph.h - the network stream graph: a source filter for the URL, and once the source
// reports that its output can be connected (event 11), source -> MP3 decoder -> audio output.
// TMDStreamGraph is the base; TMDStreamGraph2 picks the source by the URL's prefix ("HTTP://",
// "MDSF://", any letter case) and adds the MP3 decoder. Streams have no position or rate.
//
// Threads and locks
//   - Construct, Open, Close, Run, Pause, Stop and destroy on the owner's thread; OnComplete
//     fires there (its event window is served by that thread's GLib main context).
//   - HandleSourceEvent, and so BuildGraph, OnOpened, OnOpenFailed and the closing after a
//     failed build, run on the source's reader thread. The owner does not close the object
//     between Open and the first report of event 11.
//   - FItfLock guards the references (short holds, never across a graph call), so the owner's
//     transport calls and the reader thread's build never touch a reference half-written.
//   - Before the source is dropped its reports are switched off (SetCallback(nil)), which waits
//     for a report in progress on another thread; so no report reaches a closed or destroyed
//     graph, even when someone else still holds the filter graph.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "UMDBase.h"
#include "UMDDShow.h"

class TMDStreamGraph {
 public:
  TMDStreamGraph();
  virtual ~TMDStreamGraph();
  TMDStreamGraph(const TMDStreamGraph&) = delete;
  TMDStreamGraph& operator=(const TMDStreamGraph&) = delete;

  // Virtual operations (slots 0..8).
  virtual void DoOpened();
  virtual void DoClosed();
  virtual void DoOpenFailed();
  virtual void DoComplete();
  virtual HRESULT BeforeClose();
  virtual HRESULT CreateSource(const char16_t* url, TComPtr<IPin>& sourcePin);
  virtual HRESULT CreateDecoder(TComPtr<IPin>& inputPin, TComPtr<IPin>& outputPin);
  virtual HRESULT CreateAudioRenderer(TComPtr<IPin>& inputPin);
  virtual void HandleGraphEvent(int32_t code, int32_t param1, int32_t param2);

  // S_OK: the source accepted the URL; the graph is built later. E_FAIL when a graph exists.
  HRESULT Open(const char16_t* url);
  // Always S_OK; always fires OnClosed.
  HRESULT Close();
  HRESULT Run();
  HRESULT Pause();
  HRESULT Stop();
  HRESULT BuildGraph();

  TComPtr<IGraphBuilder> Graph();
  TComPtr<IMediaEventEx> Events();
  TComPtr<IMediaControl> Control();
  TComPtr<IBasicAudio> BasicAudio();
  TComPtr<IPin> SourcePin();
  std::u16string Url();
  MDHANDLE EventWindow() const { return FEventWindow; }

  TMDMethod OnOpened{};
  TMDMethod OnClosed{};
  TMDMethod OnOpenFailed{};
  TMDMethod OnComplete{};

 protected:
  void Fire(const TMDMethod& event);
  void SetSourcePin(TComPtr<IPin> pin);
  intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam);

  std::mutex FItfLock;  // guards the fields below
  TComPtr<IGraphBuilder> FGraph;
  TComPtr<IMediaEventEx> FEvents;
  TComPtr<IMediaControl> FControl;
  TComPtr<IBasicAudio> FBasicAudio;
  std::u16string FUrl;
  TComPtr<IPin> FSourcePin;
  MDHANDLE FEventWindow = 0;  // set at construction
};

// Receives every event a stream source reports: Code(Data, event, param1, param2).
using TMDSourceEventProc = void(MDCALL*)(void* data, int32_t event, int32_t param1, int32_t param2);
struct TMDSourceEvent {
  TMDSourceEventProc Code;
  void* Data;
};

class TMDStreamGraph2 : public TMDStreamGraph {
 public:
  // Stream kinds.
  static constexpr uint8_t KindUnknown = 0;
  static constexpr uint8_t KindHttp = 1;
  static constexpr uint8_t KindMdsf = 2;

  TMDStreamGraph2() = default;
  ~TMDStreamGraph2() override;

  HRESULT BeforeClose() override;
  HRESULT CreateSource(const char16_t* url, TComPtr<IPin>& sourcePin) override;
  HRESULT CreateDecoder(TComPtr<IPin>& inputPin, TComPtr<IPin>& outputPin) override;
  // Slot 9: event 11 builds the graph (a failed build turns it into -1); then OnSourceEvent.
  virtual HRESULT HandleSourceEvent(int32_t event, int32_t param1, int32_t param2);

  uint8_t Kind() const { return FKind; }
  TComPtr<IBaseFilter> SourceFilter();

  // The kind a URL selects by its prefix.
  static uint8_t KindOf(const char16_t* url);

  TMDSourceEvent OnSourceEvent{};

 protected:
  static int32_t MDCALL SourceCallback(void* userData, int32_t event, int32_t param1, int32_t param2);

  TComPtr<IBaseFilter> FSourceFilter;  // guarded by FItfLock
  uint8_t FKind = KindUnknown;
  // Held by the reader thread for the whole of a report, so that destruction waits for a report
  // that is still running after it has dropped the source itself (a failed build fires
  // OnOpenFailed, whose owner may destroy the graph at once, and then closes).
  TLock FReportLock;
};
