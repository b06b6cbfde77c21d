// UMDGstGraph.cpp - the filter graph manager over a GStreamer pipeline, filters over elements
// and pins over pads.
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gst/video/videooverlay.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "UMDGstFilter.h"
#include "UMDGstGraph.h"
#include "UMDPlatform.h"
#include "UMDVideoWindow.h"

namespace {


// How long RenderFile waits for the chain to preroll, and a seek for the pipeline to settle.
constexpr int kPrerollTimeoutMs = 20000;
constexpr GstClockTime kSeekSettle = 5 * GST_SECOND;

}  // namespace

bool MDInitMedia() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    GError* err = nullptr;
    ok = gst_init_check(nullptr, nullptr, &err);
    if (err) g_error_free(err);
  });
  return ok;
}

GstElement* MDMakeElement(const char* factory, const char* name) {
  return gst_element_factory_make(factory, name);
}

// ---------------------------------------------------------------------------------------------
// Output bins
// ---------------------------------------------------------------------------------------------

GstElement* MDMakeAudioOutputBin() {
  GstElement* bin = gst_bin_new(nullptr);
  GstElement* conv = MDMakeElement("audioconvert");
  GstElement* res = MDMakeElement("audioresample");
  GstElement* vol = MDMakeElement("volume", "volume");
  // autoaudiosink picks the system's default output and, with no sound device at all, a fake
  // sink that still keeps to the clock; the fake sink here covers a missing autodetect plug-in.
  GstElement* sink = MDMakeElement("autoaudiosink");
  if (!sink) {
    sink = MDMakeElement("fakesink");
    if (sink) g_object_set(sink, "sync", TRUE, nullptr);
  }
  if (!conv || !res || !vol || !sink) {
    for (GstElement* e : {conv, res, vol, sink})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    gst_object_unref(gst_object_ref_sink(bin));
    return nullptr;
  }
  gst_bin_add_many(GST_BIN(bin), conv, res, vol, sink, nullptr);
  gst_element_link_many(conv, res, vol, sink, nullptr);
  GstPad* target = gst_element_get_static_pad(conv, "sink");
  gst_element_add_pad(bin, gst_ghost_pad_new("Audio Input", target));
  gst_object_unref(target);
  return bin;
}

namespace {
// An X11 sink that can open the display, or nil.
GstElement* TryXSink(const char* factory) {
  GstElement* s = MDMakeElement(factory);
  if (!s) return nullptr;
  gst_object_ref_sink(s);
  if (gst_element_set_state(s, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
    gst_element_set_state(s, GST_STATE_NULL);
    gst_object_unref(s);
    return nullptr;
  }
  gst_element_set_state(s, GST_STATE_NULL);
  return s;  // holds a plain (non-floating) reference
}
}  // namespace

GstElement* MDMakeVideoOutputBin() {
  GstElement* bin = gst_bin_new(nullptr);
  GstElement* conv = MDMakeElement("videoconvert");
  GstElement* scale = MDMakeElement("videoscale");
  GstElement* sink = nullptr;
  const char* display = std::getenv("DISPLAY");
  if (display && *display) {
    sink = TryXSink("xvimagesink");
    if (!sink) sink = TryXSink("ximagesink");
  }
  if (!sink) {
    sink = MDMakeElement("fakesink");
    if (sink) {
      gst_object_ref_sink(sink);
      g_object_set(sink, "sync", TRUE, nullptr);
    }
  }
  if (!conv || !scale || !sink) {
    for (GstElement* e : {conv, scale})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    if (sink) gst_object_unref(sink);
    gst_object_unref(gst_object_ref_sink(bin));
    return nullptr;
  }
  gst_element_set_name(sink, "videosink");
  gst_bin_add_many(GST_BIN(bin), conv, scale, sink, nullptr);  // the bin takes its own reference
  gst_object_unref(sink);
  gst_element_link_many(conv, scale, sink, nullptr);
  GstPad* target = gst_element_get_static_pad(conv, "sink");
  gst_element_add_pad(bin, gst_ghost_pad_new("Video Input", target));
  gst_object_unref(target);
  return bin;
}

// ---------------------------------------------------------------------------------------------
// Filters and pins
// ---------------------------------------------------------------------------------------------

TMDGstFilter::TMDGstFilter(GstElement* element, TMDFilterRole role)
    : FElement(GST_ELEMENT(gst_object_ref_sink(element))), FRole(role) {}

TMDGstFilter::~TMDGstFilter() { gst_object_unref(FElement); }

HRESULT MDCALL TMDGstFilter::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_TMDGstFilterId) {
      *obj = this;
      return S_OK;
    }
    if (iid == IID_IBaseFilter) return MDHandOut<IBaseFilter>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  });
}

TMDGstFilter* TMDGstFilter::From(IUnknown* unk) {
  void* p = nullptr;
  if (unk && MD_SUCCEEDED(unk->QueryInterface(IID_TMDGstFilterId, &p))) return static_cast<TMDGstFilter*>(p);
  return nullptr;
}

TMDFilterGraph* TMDGstFilter::Graph() {
  std::lock_guard<std::mutex> g(FGraphLock);
  return FGraph;
}

void TMDGstFilter::SetGraph(TMDFilterGraph* graph) {
  std::lock_guard<std::mutex> g(FGraphLock);
  FGraph = graph;
}

namespace {

class TMDEnumPins : public TMDComImpl<TMDComObject, IEnumPins> {
 public:
  explicit TMDEnumPins(std::vector<TComPtr<IPin>> pins) : FPins(std::move(pins)) {}
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IEnumPins) return MDHandOut<IEnumPins>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL Next(uint32_t count, IPin** pins, uint32_t* fetched) override {
    if (!pins || (count != 1 && !fetched)) return E_POINTER;
    uint32_t n = 0;
    std::lock_guard<std::mutex> g(FLock);
    while (n < count && FIndex < FPins.size()) {
      IPin* p = FPins[FIndex++].Get();
      p->AddRef();
      pins[n++] = p;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT MDCALL Skip(uint32_t count) override {
    std::lock_guard<std::mutex> g(FLock);
    FIndex += count;
    if (FIndex > FPins.size()) {
      FIndex = FPins.size();
      return S_FALSE;
    }
    return S_OK;
  }
  HRESULT MDCALL Reset() override {
    std::lock_guard<std::mutex> g(FLock);
    FIndex = 0;
    return S_OK;
  }

 private:
  std::vector<TComPtr<IPin>> FPins;
  std::mutex FLock;
  size_t FIndex = 0;  // guarded by FLock
};

}  // namespace

HRESULT MDCALL TMDGstFilter::EnumPins(IEnumPins** pins) {
  if (!pins) return E_POINTER;
  return MDGuard([&]() -> HRESULT {
    std::vector<TComPtr<IPin>> list;
    GstIterator* it = gst_element_iterate_pads(FElement);
    GValue v = G_VALUE_INIT;
    bool done = false;
    while (!done) {
      switch (gst_iterator_next(it, &v)) {
        case GST_ITERATOR_OK:
          list.push_back(TComPtr<IPin>(new TMDGstPin(this, GST_PAD(g_value_get_object(&v)))));
          g_value_reset(&v);
          break;
        case GST_ITERATOR_RESYNC:
          list.clear();
          gst_iterator_resync(it);
          break;
        default:
          done = true;
      }
    }
    g_value_unset(&v);
    gst_iterator_free(it);
    auto* e = new TMDEnumPins(std::move(list));
    return MDHandOut<IEnumPins>(e, reinterpret_cast<void**>(pins));
  });
}

HRESULT MDCALL TMDGstFilter::FindPin(const char16_t* id, IPin** pin) {
  if (!pin) return E_POINTER;
  *pin = nullptr;
  if (!id) return E_POINTER;
  return MDGuard([&]() -> HRESULT {
    GstPad* pad = gst_element_get_static_pad(FElement, MDToUtf8(id).c_str());
    if (!pad) return VFW_E_NOT_FOUND;
    auto* p = new TMDGstPin(this, pad);
    gst_object_unref(pad);
    return MDHandOut<IPin>(p, reinterpret_cast<void**>(pin));
  });
}

TMDGstPin::TMDGstPin(TMDGstFilter* filter, GstPad* pad)
    : FFilter(static_cast<IBaseFilter*>(filter)), FPad(GST_PAD(gst_object_ref(pad))) {}

TMDGstPin::~TMDGstPin() { gst_object_unref(FPad); }

HRESULT MDCALL TMDGstPin::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_TMDGstPinId) {
      *obj = this;
      return S_OK;
    }
    if (iid == IID_IPin) return MDHandOut<IPin>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  });
}

TMDGstPin* TMDGstPin::From(IUnknown* unk) {
  void* p = nullptr;
  if (unk && MD_SUCCEEDED(unk->QueryInterface(IID_TMDGstPinId, &p))) return static_cast<TMDGstPin*>(p);
  return nullptr;
}

HRESULT MDCALL TMDGstPin::QueryDirection(PIN_DIRECTION* dir) {
  if (!dir) return E_POINTER;
  *dir = GST_PAD_DIRECTION(FPad) == GST_PAD_SRC ? PINDIR_OUTPUT : PINDIR_INPUT;
  return S_OK;
}

HRESULT MDCALL TMDGstPin::ConnectedTo(IPin** pin) {
  if (!pin) return E_POINTER;
  *pin = nullptr;
  return MDGuard([&]() -> HRESULT {
    GstPad* peer = gst_pad_get_peer(FPad);
    if (!peer) return VFW_E_NOT_CONNECTED;
    HRESULT hr = VFW_E_NOT_CONNECTED;
    GstElement* owner = gst_pad_get_parent_element(peer);
    TMDFilterGraph* graph = Filter() ? Filter()->Graph() : nullptr;
    if (owner && graph) {
      TComPtr<IBaseFilter> f = graph->FilterOfElement(owner);
      if (f) hr = MDHandOut<IPin>(new TMDGstPin(TMDGstFilter::From(f.Get()), peer),
                                  reinterpret_cast<void**>(pin));
    }
    if (owner) gst_object_unref(owner);
    gst_object_unref(peer);
    return hr;
  });
}

HRESULT MDCreateElementFilter(const std::string& launchDescription, const GUID& iid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (!MDInitMedia()) return E_FAIL;
  return MDGuard([&]() -> HRESULT {
    GError* err = nullptr;
    GstElement* bin = gst_parse_bin_from_description(launchDescription.c_str(), TRUE, &err);
    if (err) {
      g_error_free(err);
      if (bin) gst_object_unref(gst_object_ref_sink(bin));
      return E_INVALIDARG;
    }
    if (!bin) return E_FAIL;
    std::unique_ptr<TMDGstFilter> f(new TMDGstFilter(bin));
    HRESULT hr = f->QueryInterface(iid, obj);
    if (MD_SUCCEEDED(hr)) f.release();
    return hr;
  }, E_OUTOFMEMORY);
}

// ---------------------------------------------------------------------------------------------
// The filter graph manager
// ---------------------------------------------------------------------------------------------

TMDFilterGraph::TMDFilterGraph() {
  FPipeline = gst_pipeline_new(nullptr);
  gst_object_ref_sink(FPipeline);
  GstBus* bus = gst_element_get_bus(FPipeline);
  gst_bus_set_sync_handler(bus, &TMDFilterGraph::BusSync, this, nullptr);
  gst_object_unref(bus);
}

TMDFilterGraph::~TMDFilterGraph() {
  std::vector<TComPtr<IBaseFilter>> filters;
  {
    std::lock_guard<std::mutex> g(FLock);
    FClosing = true;
    filters = FFilters;
  }
  for (auto& f : filters) TMDGstFilter::From(f.Get())->Leaving();
  gst_element_set_state(FPipeline, GST_STATE_NULL);
  GstBus* bus = gst_element_get_bus(FPipeline);
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
  for (auto& f : filters) TMDGstFilter::From(f.Get())->SetGraph(nullptr);
  filters.clear();
  {
    std::lock_guard<std::mutex> g(FLock);
    FFilters.clear();
  }
  FVideo.reset();
  gst_object_unref(FPipeline);
}

HRESULT MDCALL TMDFilterGraph::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IGraphBuilder) return MDHandOut<IGraphBuilder>(this, obj);
    if (iid == IID_IMediaControl) return MDHandOut<IMediaControl>(this, obj);
    if (iid == IID_IMediaEventEx) return MDHandOut<IMediaEventEx>(this, obj);
    if (iid == IID_IMediaSeeking) return MDHandOut<IMediaSeeking>(this, obj);
    if (iid == IID_IBasicAudio) return MDHandOut<IBasicAudio>(this, obj);
    if (iid == IID_IVideoWindow || iid == IID_IBasicVideo) {
      if (!HasVideo()) {
        *obj = nullptr;
        return E_NOINTERFACE;
      }
      if (iid == IID_IVideoWindow) return MDHandOut<IVideoWindow>(this, obj);
      return MDHandOut<IBasicVideo>(this, obj);
    }
    return TMDComObject::QueryInterface(iid, obj);
  });
}

bool TMDFilterGraph::HasVideo() {
  std::lock_guard<std::mutex> g(FLock);
  return FHasVideo;
}

TComPtr<IBaseFilter> TMDFilterGraph::FilterOfElement(GstElement* element) {
  std::lock_guard<std::mutex> g(FLock);
  for (auto& f : FFilters)
    if (TMDGstFilter::From(f.Get())->Element() == element) return f;
  return nullptr;
}

// ---- bus --------------------------------------------------------------------------------------

GstBusSyncReply TMDFilterGraph::BusSync(GstBus*, GstMessage* msg, gpointer self) {
  static_cast<TMDFilterGraph*>(self)->OnBusMessage(msg);
  gst_message_unref(msg);
  return GST_BUS_DROP;
}

void TMDFilterGraph::OnBusMessage(GstMessage* msg) {
  switch (GST_MESSAGE_TYPE(msg)) {
    case GST_MESSAGE_EOS:
      QueueEvent(EC_COMPLETE, S_OK, 0);
      break;
    case GST_MESSAGE_ERROR: {
      GError* err = nullptr;
      gst_message_parse_error(msg, &err, nullptr);
      HRESULT hr = E_FAIL;
      if (err) {
        if (err->domain == GST_RESOURCE_ERROR && (err->code == GST_RESOURCE_ERROR_NOT_FOUND ||
                                                  err->code == GST_RESOURCE_ERROR_OPEN_READ))
          hr = static_cast<HRESULT>(0x80070002u);  // the file cannot be found or read
        else if (err->domain == GST_STREAM_ERROR)
          hr = VFW_E_UNSUPPORTED_STREAM;
        g_error_free(err);
      }
      bool prerolling;
      {
        std::lock_guard<std::mutex> g(FStateLock);
        prerolling = FPrerolling;
        if (prerolling && FPrerollResult == S_OK) FPrerollResult = hr;
      }
      FStateCv.notify_all();
      if (!prerolling) QueueEvent(EC_ERRORABORT, hr, 0);
      break;
    }
    case GST_MESSAGE_ASYNC_DONE:
      if (GST_MESSAGE_SRC(msg) == GST_OBJECT(FPipeline)) {
        {
          std::lock_guard<std::mutex> g(FStateLock);
          FAsyncDone = true;
        }
        FStateCv.notify_all();
      }
      break;
    case GST_MESSAGE_ELEMENT:
      if (gst_is_video_overlay_prepare_window_handle_message(msg)) {
        // Asked on the streaming thread before the sink would open a window of its own.
        uintptr_t handle = 0;
        {
          std::lock_guard<std::mutex> g(FLock);
          if (FVideo) handle = FVideo->Handle();
        }
        if (handle)
          gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(GST_MESSAGE_SRC(msg)), handle);
      }
      break;
    default:
      break;
  }
}

void TMDFilterGraph::QueueEvent(int32_t code, LONG_PTR param1, LONG_PTR param2) {
  OAHWND window;
  int32_t wmsg;
  LONG_PTR data;
  {
    std::lock_guard<std::mutex> g(FEventLock);
    FEvents.push_back({code, param1, param2});
    window = FNotifyWindow;
    wmsg = FNotifyMsg;
    data = FNotifyData;
  }
  FEventCv.notify_all();
  if (window) MDPostMessage(window, static_cast<uint32_t>(wmsg), 0, data);
}

// ---- IGraphBuilder ----------------------------------------------------------------------------

HRESULT TMDFilterGraph::AddFilterElement(TMDGstFilter* f, const std::u16string& name) {
  if (f->Graph()) return E_FAIL;  // already in a graph
  if (!gst_bin_add(GST_BIN(FPipeline), f->Element())) return E_FAIL;
  f->SetName(name);
  f->SetGraph(this);
  {
    std::lock_guard<std::mutex> g(FLock);
    FFilters.push_back(TComPtr<IBaseFilter>(static_cast<IBaseFilter*>(f)));
  }
  if (GST_STATE(FPipeline) != GST_STATE_NULL || GST_STATE_PENDING(FPipeline) != GST_STATE_VOID_PENDING)
    gst_element_sync_state_with_parent(f->Element());
  f->Joined();
  return S_OK;
}

HRESULT MDCALL TMDFilterGraph::AddFilter(IBaseFilter* filter, const char16_t* name) {
  if (!filter) return E_POINTER;
  return MDGuard([&]() -> HRESULT {
    TMDGstFilter* f = TMDGstFilter::From(filter);
    if (!f) return E_INVALIDARG;  // only filters of this media layer can join
    return AddFilterElement(f, name ? std::u16string(name) : std::u16string());
  });
}

HRESULT MDCALL TMDFilterGraph::FindFilterByName(const char16_t* name, IBaseFilter** filter) {
  if (!name || !filter) return E_POINTER;
  *filter = nullptr;
  return MDGuard([&]() -> HRESULT {
    std::lock_guard<std::mutex> g(FLock);
    for (auto& f : FFilters)
      if (TMDGstFilter::From(f.Get())->Name() == name) {
        f->AddRef();
        *filter = f.Get();
        return S_OK;
      }
    return VFW_E_NOT_FOUND;
  });
}

namespace {
struct TDeferredLink {
  GstPad* Target;  // one reference
};
void DeferredPadAdded(GstElement*, GstPad* pad, gpointer data) {
  auto* d = static_cast<TDeferredLink*>(data);
  if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC || gst_pad_is_linked(d->Target)) return;
  gst_pad_link(pad, d->Target);
}
void FreeDeferred(gpointer data, GClosure*) {
  auto* d = static_cast<TDeferredLink*>(data);
  gst_object_unref(d->Target);
  delete d;
}
}  // namespace

HRESULT MDCALL TMDFilterGraph::Connect(IPin* out, IPin* in) {
  if (!out || !in) return E_POINTER;
  return MDGuard([&]() -> HRESULT {
    TMDGstPin* po = TMDGstPin::From(out);
    TMDGstPin* pi = TMDGstPin::From(in);
    if (!po || !pi) return E_INVALIDARG;
    if (GST_PAD_DIRECTION(po->Pad()) != GST_PAD_SRC || GST_PAD_DIRECTION(pi->Pad()) != GST_PAD_SINK)
      return E_INVALIDARG;
    if (!po->Filter() || po->Filter()->Graph() != this || !pi->Filter() ||
        pi->Filter()->Graph() != this)
      return VFW_E_NOT_IN_GRAPH;
    if (gst_pad_is_linked(po->Pad()) || gst_pad_is_linked(pi->Pad())) return VFW_E_ALREADY_CONNECTED;

    // Data of unknown type (a file's bytes) goes to a pin that wants a format through a decoder
    // that finds out what it is; otherwise the pins are linked directly if their formats meet.
    GstCaps* caps = gst_pad_query_caps(po->Pad(), nullptr);
    GstCaps* wanted = gst_pad_query_caps(pi->Pad(), nullptr);
    bool unknownToTyped = caps && gst_caps_is_any(caps) && wanted && !gst_caps_is_any(wanted);
    std::string kind;
    if (caps && !gst_caps_is_any(caps) && !gst_caps_is_empty(caps))
      kind = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    if (caps) gst_caps_unref(caps);
    if (wanted) gst_caps_unref(wanted);
    if (!unknownToTyped && gst_pad_link(po->Pad(), pi->Pad()) == GST_PAD_LINK_OK) return S_OK;

    // The formats differ: put converters (raw media) or a decoder (anything else) between.
    const char* desc = nullptr;
    if (kind == "audio/x-raw")
      desc = "audioconvert ! audioresample";
    else if (kind == "video/x-raw")
      desc = "videoconvert ! videoscale";
    GstElement* mid;
    if (desc) {
      GError* err = nullptr;
      mid = gst_parse_bin_from_description(desc, TRUE, &err);
      if (err) g_error_free(err);
    } else {
      mid = MDMakeElement("decodebin");
    }
    if (!mid) return VFW_E_CANNOT_CONNECT;
    auto* f = new TMDGstFilter(mid);
    TComPtr<IBaseFilter> hold(static_cast<IBaseFilter*>(f));
    HRESULT hr = AddFilterElement(f, desc ? u"Converter" : u"Decoder");
    if (MD_FAILED(hr)) return VFW_E_CANNOT_CONNECT;
    GstPad* midSink = gst_element_get_static_pad(mid, "sink");
    bool ok = midSink && gst_pad_link(po->Pad(), midSink) == GST_PAD_LINK_OK;
    if (midSink) gst_object_unref(midSink);
    if (ok && desc) {
      GstPad* midSrc = gst_element_get_static_pad(mid, "src");
      ok = midSrc && gst_pad_link(midSrc, pi->Pad()) == GST_PAD_LINK_OK;
      if (midSrc) gst_object_unref(midSrc);
    } else if (ok) {
      g_signal_connect_data(mid, "pad-added", G_CALLBACK(DeferredPadAdded),
                            new TDeferredLink{GST_PAD(gst_object_ref(pi->Pad()))}, FreeDeferred,
                            GConnectFlags(0));
    }
    return ok ? S_OK : VFW_E_CANNOT_CONNECT;
  });
}

void TMDFilterGraph::PadAdded(GstElement*, GstPad* pad, gpointer self) {
  static_cast<TMDFilterGraph*>(self)->OnDecodedPad(pad);
}

void TMDFilterGraph::OnDecodedPad(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) caps = gst_pad_query_caps(pad, nullptr);
  std::string kind;
  if (caps && gst_caps_get_size(caps) > 0)
    kind = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  if (caps) gst_caps_unref(caps);

  bool audio = kind.rfind("audio/", 0) == 0, video = kind.rfind("video/", 0) == 0;
  {
    std::lock_guard<std::mutex> g(FLock);
    if (FClosing) return;
    if (audio && FAudioLinked) audio = false;
    if (video && FVideoLinked) video = false;
    if (audio) FAudioLinked = true;
    if (video) FVideoLinked = true;
    if (video && !FVideo) FVideo = std::make_unique<TMDVideoWindow>([this] { QueueEvent(EC_USERABORT, 0, 0); });
  }
  GstElement* bin = nullptr;
  TMDFilterRole role = TMDFilterRole::Plain;
  const char16_t* name = u"Null Renderer";
  if (audio) {
    bin = MDMakeAudioOutputBin();
    role = TMDFilterRole::AudioRenderer;
    name = u"Default DirectSound Device";
  } else if (video) {
    bin = MDMakeVideoOutputBin();
    role = TMDFilterRole::VideoRenderer;
    name = u"Video Renderer";
  } else {
    // A further stream (a second audio track, subtitles): consumed in step with the clock so
    // that an unlinked pad does not stop the whole graph.
    bin = MDMakeElement("fakesink");
    if (bin) g_object_set(bin, "sync", TRUE, "async", FALSE, nullptr);
  }
  if (!bin) return;
  auto* f = new TMDGstFilter(bin, role);
  TComPtr<IBaseFilter> hold(static_cast<IBaseFilter*>(f));
  if (MD_FAILED(AddFilterElement(f, name))) return;
  GstPad* sink = nullptr;
  GstIterator* it = gst_element_iterate_sink_pads(bin);
  GValue v = G_VALUE_INIT;
  if (gst_iterator_next(it, &v) == GST_ITERATOR_OK) sink = GST_PAD(gst_object_ref(g_value_get_object(&v)));
  g_value_unset(&v);
  gst_iterator_free(it);
  if (sink) {
    bool linked = gst_pad_link(pad, sink) == GST_PAD_LINK_OK;
    gst_object_unref(sink);
    if (linked && video) {
      std::lock_guard<std::mutex> g(FLock);
      FHasVideo = true;
    }
  }
}

// A parser of a stream without a seek table (MPEG audio, for one) knows the duration only
// after it has seen many frames; while prerolled it can already convert the file's size into
// time from the frames it has parsed.
int64_t TMDFilterGraph::EstimateDuration(GstElement* decodeBin) {
  GstElement* source = nullptr;
  g_object_get(decodeBin, "source", &source, nullptr);
  if (!source) return -1;
  gint64 bytes = -1;
  bool sized = gst_element_query_duration(source, GST_FORMAT_BYTES, &bytes) && bytes > 0;
  gst_object_unref(source);
  if (!sized) return -1;
  int64_t result = -1;
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(decodeBin));
  GValue v = G_VALUE_INIT;
  while (result < 0 && gst_iterator_next(it, &v) == GST_ITERATOR_OK) {
    GstElement* e = GST_ELEMENT(g_value_get_object(&v));
    GstElementFactory* f = gst_element_get_factory(e);
    const char* klass = f ? gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_KLASS) : nullptr;
    if (klass && std::strstr(klass, "Parser")) {
      if (GstPad* src = gst_element_get_static_pad(e, "src")) {
        gint64 t = -1;
        if (gst_pad_query_convert(src, GST_FORMAT_BYTES, bytes, GST_FORMAT_TIME, &t) && t > 0) result = t;
        gst_object_unref(src);
      }
    }
    g_value_reset(&v);
  }
  g_value_unset(&v);
  gst_iterator_free(it);
  return result;
}

HRESULT MDCALL TMDFilterGraph::RenderFile(const char16_t* file, const char16_t* playList) {
  if (!file) return E_POINTER;
  return MDGuard([&]() -> HRESULT {
    {
      std::lock_guard<std::mutex> g(FLock);
      if (FRendered) return E_UNEXPECTED;  // one file per graph
      FRendered = true;
    }
    std::string name = MDToUtf8(file);
    if (name.empty()) return VFW_E_NOT_FOUND;
    std::string uri;
    if (gst_uri_is_valid(name.c_str())) {
      uri = name;
    } else {
      GError* err = nullptr;
      gchar* u = gst_filename_to_uri(name.c_str(), &err);
      if (err) g_error_free(err);
      if (!u) return VFW_E_NOT_FOUND;
      uri = u;
      g_free(u);
    }
    GstElement* dec = MDMakeElement("uridecodebin");
    if (!dec) return VFW_E_CANNOT_RENDER;
    g_object_set(dec, "uri", uri.c_str(), nullptr);
    auto* f = new TMDGstFilter(dec);
    TComPtr<IBaseFilter> hold(static_cast<IBaseFilter*>(f));
    g_signal_connect(dec, "pad-added", G_CALLBACK(&TMDFilterGraph::PadAdded), this);
    HRESULT hr = AddFilterElement(f, std::u16string(file));
    if (MD_FAILED(hr)) return hr;

    {
      std::lock_guard<std::mutex> g(FStateLock);
      FPrerolling = true;
      FAsyncDone = false;
      FPrerollResult = S_OK;
    }
    GstStateChangeReturn ret = gst_element_set_state(FPipeline, GST_STATE_PAUSED);
    {
      std::unique_lock<std::mutex> g(FStateLock);
      if (ret == GST_STATE_CHANGE_FAILURE) {
        if (FPrerollResult == S_OK) FPrerollResult = VFW_E_CANNOT_RENDER;
      } else if (ret == GST_STATE_CHANGE_ASYNC) {
        if (!FStateCv.wait_for(g, std::chrono::milliseconds(kPrerollTimeoutMs),
                               [&] { return FAsyncDone || FPrerollResult != S_OK; }))
          FPrerollResult = VFW_E_TIMEOUT;
      }
      FPrerolling = false;
      hr = FPrerollResult;
    }
    if (MD_SUCCEEDED(hr)) {
      std::lock_guard<std::mutex> g(FLock);
      if (!FAudioLinked && !FVideoLinked) hr = VFW_E_CANNOT_RENDER;
    }
    if (MD_FAILED(hr)) {
      gst_element_set_state(FPipeline, GST_STATE_NULL);
      return hr;
    }
    gint64 dur = -1;
    if (gst_element_query_duration(FPipeline, GST_FORMAT_TIME, &dur) && dur >= 0)
      FDurationNs = dur;
    else
      FDurationNs = EstimateDuration(dec);
    FLastPosNs = 0;
    // The picture size, from what the video sink was given.
    if (HasVideo()) {
      int w = 0, h = 0;
      TComPtr<IBaseFilter> vr;
      {
        std::lock_guard<std::mutex> g(FLock);
        for (auto& x : FFilters)
          if (TMDGstFilter::From(x.Get())->Role() == TMDFilterRole::VideoRenderer) vr = x;
      }
      if (vr) {
        GstPad* p = gst_element_get_static_pad(TMDGstFilter::From(vr.Get())->Element(), "Video Input");
        if (p) {
          if (GstCaps* c = gst_pad_get_current_caps(p)) {
            GstVideoInfo info;
            if (gst_video_info_from_caps(&info, c)) {
              w = GST_VIDEO_INFO_WIDTH(&info);
              h = GST_VIDEO_INFO_HEIGHT(&info);
              int parn = GST_VIDEO_INFO_PAR_N(&info), pard = GST_VIDEO_INFO_PAR_D(&info);
              if (parn > 0 && pard > 0 && parn != pard) w = static_cast<int>(int64_t(w) * parn / pard);
            }
            gst_caps_unref(c);
          }
          gst_object_unref(p);
        }
      }
      std::lock_guard<std::mutex> g(FLock);
      FVideoWidth = w;
      FVideoHeight = h;
      if (FVideo) FVideo->SetVideoSize(w, h);
    }
    return S_OK;
  });
}

// ---- IMediaControl ----------------------------------------------------------------------------

HRESULT TMDFilterGraph::ChangeState(FILTER_STATE state) {
  GstState target = state == State_Running ? GST_STATE_PLAYING : GST_STATE_PAUSED;
  FState = state;
  if (state != State_Stopped) {
    TMDVideoWindow* vw = nullptr;
    {
      std::lock_guard<std::mutex> g(FLock);
      vw = FVideo.get();
    }
    if (vw && vw->AutoShow() && !vw->Visible()) vw->SetVisible(true);
  }
  return gst_element_set_state(FPipeline, target) == GST_STATE_CHANGE_FAILURE ? E_FAIL : S_OK;
}

HRESULT MDCALL TMDFilterGraph::Run() { return MDGuard([&] { return ChangeState(State_Running); }); }
HRESULT MDCALL TMDFilterGraph::Pause() { return MDGuard([&] { return ChangeState(State_Paused); }); }
// Stopping keeps the pipeline paused, so position, duration and positioning stay available.
HRESULT MDCALL TMDFilterGraph::Stop() { return MDGuard([&] { return ChangeState(State_Stopped); }); }

HRESULT MDCALL TMDFilterGraph::GetState(int32_t msTimeout, FILTER_STATE* state) {
  if (!state) return E_POINTER;
  *state = FState.load();
  GstClockTime t = msTimeout < 0 ? GST_CLOCK_TIME_NONE : GstClockTime(msTimeout) * GST_MSECOND;
  GstState cur, pending;
  GstStateChangeReturn r = gst_element_get_state(FPipeline, &cur, &pending, t);
  return r == GST_STATE_CHANGE_ASYNC ? VFW_S_STATE_INTERMEDIATE : S_OK;
}

// ---- IMediaEventEx ----------------------------------------------------------------------------

HRESULT MDCALL TMDFilterGraph::GetEvent(int32_t* code, LONG_PTR* param1, LONG_PTR* param2,
                                        int32_t msTimeout) {
  if (!code || !param1 || !param2) return E_POINTER;
  std::unique_lock<std::mutex> g(FEventLock);
  auto ready = [&] { return !FEvents.empty(); };
  if (msTimeout < 0)
    FEventCv.wait(g, ready);
  else if (!FEventCv.wait_for(g, std::chrono::milliseconds(msTimeout), ready))
    return E_ABORT;
  TGraphEvent e = FEvents.front();
  FEvents.pop_front();
  *code = e.Code;
  *param1 = e.Param1;
  *param2 = e.Param2;
  return S_OK;
}

HRESULT MDCALL TMDFilterGraph::FreeEventParams(int32_t, LONG_PTR, LONG_PTR) { return S_OK; }

HRESULT MDCALL TMDFilterGraph::SetNotifyWindow(OAHWND window, int32_t msg, LONG_PTR instanceData) {
  bool pending;
  {
    std::lock_guard<std::mutex> g(FEventLock);
    FNotifyWindow = window;
    FNotifyMsg = msg;
    FNotifyData = instanceData;
    pending = !FEvents.empty();
  }
  // Events that came before the window was set are announced now.
  if (window && pending) MDPostMessage(window, static_cast<uint32_t>(msg), 0, instanceData);
  return S_OK;
}

// ---- IMediaSeeking ----------------------------------------------------------------------------

HRESULT MDCALL TMDFilterGraph::GetDuration(REFERENCE_TIME* duration) {
  if (!duration) return E_POINTER;
  gint64 d = -1;
  if (gst_element_query_duration(FPipeline, GST_FORMAT_TIME, &d) && d >= 0) FDurationNs = d;
  int64_t known = FDurationNs.load();
  if (known < 0) {
    *duration = 0;
    return E_NOTIMPL;  // a stream without an end
  }
  *duration = known / 100;
  return S_OK;
}

HRESULT MDCALL TMDFilterGraph::GetCurrentPosition(REFERENCE_TIME* current) {
  if (!current) return E_POINTER;
  gint64 p = -1;
  if (gst_element_query_position(FPipeline, GST_FORMAT_TIME, &p) && p >= 0) FLastPosNs = p;
  *current = FLastPosNs.load() / 100;
  return S_OK;
}

HRESULT TMDFilterGraph::Seek(double rate, bool setStart, int64_t startNs, bool setStop, int64_t stopNs) {
  GstSeekFlags flags = GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
  if (!gst_element_seek(FPipeline, rate, GST_FORMAT_TIME, flags,
                        setStart ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE, setStart ? startNs : -1,
                        setStop ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE, setStop ? stopNs : -1))
    return E_FAIL;
  // A flushing seek makes the pipeline preroll again; wait (bounded) so that the position reads
  // back at once.
  gst_element_get_state(FPipeline, nullptr, nullptr, kSeekSettle);
  if (setStart) FLastPosNs = startNs;
  return S_OK;
}

HRESULT MDCALL TMDFilterGraph::SetPositions(REFERENCE_TIME* current, uint32_t currentFlags,
                                            REFERENCE_TIME* stop, uint32_t stopFlags) {
  return MDGuard([&]() -> HRESULT {
    uint32_t cb = currentFlags & AM_SEEKING_PositioningBitsMask;
    uint32_t sb = stopFlags & AM_SEEKING_PositioningBitsMask;
    if (cb == 0 && sb == 0) return S_OK;
    if ((cb && !current) || (sb && !stop)) return E_POINTER;
    REFERENCE_TIME dur = -1;
    if (MD_FAILED(GetDuration(&dur))) dur = -1;
    auto clamp = [&](int64_t t) {
      if (t < 0) t = 0;
      if (dur >= 0 && t > dur) t = dur;
      return t;
    };
    int64_t start = 0, end = 0;
    if (cb) {
      REFERENCE_TIME now = 0;
      if (cb != AM_SEEKING_AbsolutePositioning) GetCurrentPosition(&now);
      start = clamp(cb == AM_SEEKING_AbsolutePositioning ? *current : now + *current);
    }
    if (sb) {
      REFERENCE_TIME base = sb == AM_SEEKING_AbsolutePositioning ? 0 : FStopNs.load() / 100;
      end = clamp(base + *stop);
      FStopNs = end * 100;
    }
    return Seek(FRate.load(), cb != 0, start * 100, sb != 0, end * 100);
  });
}

HRESULT MDCALL TMDFilterGraph::SetRate(double rate) {
  if (!(rate > 0.0) || !std::isfinite(rate)) return E_INVALIDARG;
  return MDGuard([&]() -> HRESULT {
    REFERENCE_TIME now = 0;
    GetCurrentPosition(&now);
    int64_t stop = FStopNs.load();
    HRESULT hr = Seek(rate, true, now * 100, stop >= 0, stop);
    if (MD_SUCCEEDED(hr)) FRate = rate;
    return hr;
  });
}

HRESULT MDCALL TMDFilterGraph::GetRate(double* rate) {
  if (!rate) return E_POINTER;
  *rate = FRate.load();
  return S_OK;
}

// ---- IBasicAudio ------------------------------------------------------------------------------

HRESULT MDCALL TMDFilterGraph::put_Volume(int32_t volume) {
  if (volume < -10000 || volume > 0) return E_INVALIDARG;
  return MDGuard([&]() -> HRESULT {
    double linear = volume <= -10000 ? 0.0 : std::pow(10.0, volume / 2000.0);
    bool any = false;
    std::lock_guard<std::mutex> g(FLock);
    for (auto& f : FFilters) {
      TMDGstFilter* gf = TMDGstFilter::From(f.Get());
      if (gf->Role() != TMDFilterRole::AudioRenderer) continue;
      if (GstElement* v = gst_bin_get_by_name(GST_BIN(gf->Element()), "volume")) {
        g_object_set(v, "volume", linear, nullptr);
        gst_object_unref(v);
        any = true;
      }
    }
    if (!any) return E_NOTIMPL;
    FVolume = volume;
    return S_OK;
  });
}

HRESULT MDCALL TMDFilterGraph::get_Volume(int32_t* volume) {
  if (!volume) return E_POINTER;
  std::lock_guard<std::mutex> g(FLock);
  *volume = FVolume;
  return S_OK;
}

// ---- IVideoWindow / IBasicVideo ---------------------------------------------------------------

TMDVideoWindow* TMDFilterGraph::Video() {
  std::lock_guard<std::mutex> g(FLock);
  return FVideo.get();
}

HRESULT MDCALL TMDFilterGraph::put_WindowStyle(int32_t style) {
  if (auto* v = Video()) return v->SetStyle(style), S_OK;
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::put_AutoShow(int32_t autoShow) {
  if (auto* v = Video()) return v->SetAutoShow(autoShow != 0), S_OK;
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::put_Visible(int32_t visible) {
  if (auto* v = Video()) return v->SetVisible(visible != 0), S_OK;
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::get_Visible(int32_t* visible) {
  if (!visible) return E_POINTER;
  if (auto* v = Video()) return *visible = v->Visible() ? MD_TRUE : MD_FALSE, S_OK;
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::put_Owner(OAHWND owner) {
  if (auto* v = Video()) return v->SetOwner(owner), S_OK;
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::get_Owner(OAHWND* owner) {
  if (!owner) return E_POINTER;
  if (auto* v = Video()) return *owner = v->Owner(), S_OK;
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::put_MessageDrain(OAHWND drain) {
  if (auto* v = Video()) return v->SetDrain(drain), S_OK;
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::NotifyOwnerMessage(OAHWND, int32_t, LONG_PTR, LONG_PTR) {
  return Video() ? S_OK : E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::SetWindowPosition(int32_t left, int32_t top, int32_t width,
                                                 int32_t height) {
  if (width < 0 || height < 0) return E_INVALIDARG;
  if (auto* v = Video()) return v->SetPosition(left, top, width, height), S_OK;
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::GetWindowPosition(int32_t* left, int32_t* top, int32_t* width,
                                                 int32_t* height) {
  if (!left || !top || !width || !height) return E_POINTER;
  if (auto* v = Video()) {
    int l, t, w, h;
    v->GetPosition(&l, &t, &w, &h);
    *left = l, *top = t, *width = w, *height = h;
    return S_OK;
  }
  return E_NOINTERFACE;
}
HRESULT MDCALL TMDFilterGraph::get_VideoWidth(int32_t* width) {
  if (!width) return E_POINTER;
  std::lock_guard<std::mutex> g(FLock);
  *width = FVideoWidth;
  return FVideoWidth > 0 ? S_OK : VFW_E_NOT_CONNECTED;
}
HRESULT MDCALL TMDFilterGraph::get_VideoHeight(int32_t* height) {
  if (!height) return E_POINTER;
  std::lock_guard<std::mutex> g(FLock);
  *height = FVideoHeight;
  return FVideoHeight > 0 ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT MDCreateFilterGraph(const GUID& iid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (!MDInitMedia()) return E_FAIL;
  return MDGuard([&]() -> HRESULT {
    std::unique_ptr<TMDFilterGraph> g(new TMDFilterGraph());
    HRESULT hr = g->QueryInterface(iid, obj);
    if (MD_SUCCEEDED(hr)) g.release();
    return hr;
  }, E_OUTOFMEMORY);
}

HRESULT MDCreateAudioRenderer(const GUID& iid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (!MDInitMedia()) return E_FAIL;
  return MDGuard([&]() -> HRESULT {
    GstElement* bin = MDMakeAudioOutputBin();
    if (!bin) return E_FAIL;
    std::unique_ptr<TMDGstFilter> f(new TMDGstFilter(bin, TMDFilterRole::AudioRenderer));
    HRESULT hr = f->QueryInterface(iid, obj);
    if (MD_SUCCEEDED(hr)) f.release();
    return hr;
  }, E_OUTOFMEMORY);
}

HRESULT MDCreateMp3Decoder(const GUID& iid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (!MDInitMedia()) return E_FAIL;
  return MDGuard([&]() -> HRESULT {
    GstElement* parse = MDMakeElement("mpegaudioparse");
    GstElement* dec = MDMakeElement("mpg123audiodec");
    if (!dec) dec = MDMakeElement("avdec_mp3");
    if (!parse || !dec) {
      for (GstElement* e : {parse, dec})
        if (e) gst_object_unref(gst_object_ref_sink(e));
      return E_FAIL;
    }
    GstElement* bin = gst_bin_new(nullptr);
    gst_bin_add_many(GST_BIN(bin), parse, dec, nullptr);
    gst_element_link(parse, dec);
    GstPad* in = gst_element_get_static_pad(parse, "sink");
    GstPad* out = gst_element_get_static_pad(dec, "src");
    gst_element_add_pad(bin, gst_ghost_pad_new("In", in));
    gst_element_add_pad(bin, gst_ghost_pad_new("Out", out));
    gst_object_unref(in);
    gst_object_unref(out);
    std::unique_ptr<TMDGstFilter> f(new TMDGstFilter(bin));
    HRESULT hr = f->QueryInterface(iid, obj);
    if (MD_SUCCEEDED(hr)) f.release();
    return hr;
  }, E_OUTOFMEMORY);
}
