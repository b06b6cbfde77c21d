// UMDGstGraph.h - the filter graph manager over one GStreamer pipeline (internal).
//
// Threads
//   - Building (AddFilter, Connect, RenderFile) is done by the owner's thread; RenderFile blocks
//     until the chain has prerolled (bounded). Transport, seeking, volume and window calls may
//     come from any thread.
//   - Bus messages are handled synchronously on the thread that posts them (a streaming thread
//     or the caller of a state change): they queue graph events (FEventLock), signal preroll
//     (FStateLock) and hand the video sink its window. Decoded pads of RenderFile are linked on
//     streaming threads too.
//   - FLock guards the filter list, the video and audio flags and the video window pointer. It
//     is held only briefly and never across a GStreamer state change, so a streaming thread that
//     needs it never waits for a thread that waits for the streaming thread.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "UMDBase.h"
#include "UMDDShow.h"
#include "UMDGstFilter.h"

class TMDVideoWindow;

class TMDFilterGraph
    : public TMDComImpl<TMDComObject, IGraphBuilder, IMediaControl, IMediaEventEx, IMediaSeeking,
                        IBasicAudio, IVideoWindow, IBasicVideo> {
 public:
  TMDFilterGraph();
  ~TMDFilterGraph() override;

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;

  // IGraphBuilder
  HRESULT MDCALL AddFilter(IBaseFilter* filter, const char16_t* name) override;
  HRESULT MDCALL FindFilterByName(const char16_t* name, IBaseFilter** filter) override;
  HRESULT MDCALL Connect(IPin* out, IPin* in) override;
  HRESULT MDCALL RenderFile(const char16_t* file, const char16_t* playList) override;
  // IMediaControl
  HRESULT MDCALL Run() override;
  HRESULT MDCALL Pause() override;
  HRESULT MDCALL Stop() override;
  HRESULT MDCALL GetState(int32_t msTimeout, FILTER_STATE* state) override;
  // IMediaEventEx
  HRESULT MDCALL GetEvent(int32_t* code, LONG_PTR* param1, LONG_PTR* param2, int32_t msTimeout) override;
  HRESULT MDCALL FreeEventParams(int32_t code, LONG_PTR param1, LONG_PTR param2) override;
  HRESULT MDCALL SetNotifyWindow(OAHWND window, int32_t msg, LONG_PTR instanceData) override;
  // IMediaSeeking
  HRESULT MDCALL GetDuration(REFERENCE_TIME* duration) override;
  HRESULT MDCALL GetCurrentPosition(REFERENCE_TIME* current) override;
  HRESULT MDCALL SetPositions(REFERENCE_TIME* current, uint32_t currentFlags, REFERENCE_TIME* stop,
                              uint32_t stopFlags) override;
  HRESULT MDCALL SetRate(double rate) override;
  HRESULT MDCALL GetRate(double* rate) override;
  // IBasicAudio
  HRESULT MDCALL put_Volume(int32_t volume) override;
  HRESULT MDCALL get_Volume(int32_t* volume) override;
  // IVideoWindow
  HRESULT MDCALL put_WindowStyle(int32_t style) override;
  HRESULT MDCALL put_AutoShow(int32_t autoShow) override;
  HRESULT MDCALL put_Visible(int32_t visible) override;
  HRESULT MDCALL get_Visible(int32_t* visible) override;
  HRESULT MDCALL put_Owner(OAHWND owner) override;
  HRESULT MDCALL get_Owner(OAHWND* owner) override;
  HRESULT MDCALL put_MessageDrain(OAHWND drain) override;
  HRESULT MDCALL NotifyOwnerMessage(OAHWND window, int32_t msg, LONG_PTR wParam, LONG_PTR lParam) override;
  HRESULT MDCALL SetWindowPosition(int32_t left, int32_t top, int32_t width, int32_t height) override;
  HRESULT MDCALL GetWindowPosition(int32_t* left, int32_t* top, int32_t* width, int32_t* height) override;
  // IBasicVideo
  HRESULT MDCALL get_VideoWidth(int32_t* width) override;
  HRESULT MDCALL get_VideoHeight(int32_t* height) override;

  // The filter of this graph whose element that is, or nil.
  TComPtr<IBaseFilter> FilterOfElement(GstElement* element);
  bool HasVideo();

 private:
  struct TGraphEvent {
    int32_t Code;
    LONG_PTR Param1;
    LONG_PTR Param2;
  };

  static GstBusSyncReply BusSync(GstBus* bus, GstMessage* msg, gpointer self);
  static void PadAdded(GstElement* element, GstPad* pad, gpointer self);
  void OnBusMessage(GstMessage* msg);
  void OnDecodedPad(GstPad* pad);
  void QueueEvent(int32_t code, LONG_PTR param1, LONG_PTR param2);
  HRESULT AddFilterElement(TMDGstFilter* filter, const std::u16string& name);
  HRESULT ChangeState(FILTER_STATE state);
  int64_t EstimateDuration(GstElement* decodeBin);
  HRESULT Seek(double rate, bool setStart, int64_t startNs, bool setStop, int64_t stopNs);
  TMDVideoWindow* Video();

  GstElement* FPipeline;  // set at construction

  std::mutex FLock;
  std::vector<TComPtr<IBaseFilter>> FFilters;  // guarded by FLock, and the flags below
  bool FClosing = false;
  bool FRendered = false;
  bool FAudioLinked = false;
  bool FVideoLinked = false;
  bool FHasVideo = false;
  int32_t FVideoWidth = 0;
  int32_t FVideoHeight = 0;
  int32_t FVolume = 0;
  std::unique_ptr<TMDVideoWindow> FVideo;  // created once, destroyed with the graph

  std::mutex FStateLock;  // preroll signalling
  std::condition_variable FStateCv;
  bool FPrerolling = false;
  bool FAsyncDone = false;
  HRESULT FPrerollResult = S_OK;

  std::mutex FEventLock;  // the event queue and the notify window
  std::condition_variable FEventCv;
  std::deque<TGraphEvent> FEvents;
  OAHWND FNotifyWindow = 0;
  int32_t FNotifyMsg = 0;
  LONG_PTR FNotifyData = 0;

  std::atomic<FILTER_STATE> FState{State_Stopped};
  std::atomic<double> FRate{1.0};
  std::atomic<int64_t> FDurationNs{-1};
  std::atomic<int64_t> FLastPosNs{0};
  std::atomic<int64_t> FStopNs{-1};
};

// Factories of the built-in classes (registered by the creation registry).
HRESULT MDCreateFilterGraph(const GUID& iid, void** obj);
HRESULT MDCreateAudioRenderer(const GUID& iid, void** obj);
HRESULT MDCreateMp3Decoder(const GUID& iid, void** obj);
HRESULT MDCreateShoutcastSource(const GUID& iid, void** obj);
HRESULT MDCreateNetSource(const GUID& iid, void** obj);
