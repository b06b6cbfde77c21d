// The filter graph manager's building blocks: creation by class id, filters and pins, and
// connecting pins whose formats differ.
#include <gtest/gtest.h>

#include "UMDPlatform.h"
#include "media_util.h"

using namespace mt;

namespace {

template <class I>
TComPtr<I> Create(const GUID& clsid) {
  TComPtr<I> p;
  EXPECT_EQ(MDCoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, MDIID<I>::value, p.PutVoid()), S_OK);
  return p;
}

TComPtr<IBaseFilter> Elements(const std::string& description) {
  TComPtr<IBaseFilter> f;
  EXPECT_EQ(MDCreateElementFilter(description, IID_IBaseFilter, f.PutVoid()), S_OK) << description;
  return f;
}

// Names and directions of a filter's pins, in enumeration order.
std::vector<std::pair<std::string, PIN_DIRECTION>> Pins(IBaseFilter* f) {
  std::vector<std::pair<std::string, PIN_DIRECTION>> out;
  TComPtr<IEnumPins> e;
  EXPECT_EQ(f->EnumPins(e.Put()), S_OK);
  IPin* p = nullptr;
  while (e->Next(1, &p, nullptr) == S_OK) {
    TComPtr<IPin> pin = TComPtr<IPin>::Adopt(p);
    PIN_DIRECTION d;
    EXPECT_EQ(pin->QueryDirection(&d), S_OK);
    for (const char16_t* id : {u"Audio Input", u"In", u"Out", u"Output", u"sink", u"src"}) {
      TComPtr<IPin> same;
      if (f->FindPin(id, same.Put()) == S_OK) {
        PIN_DIRECTION sd;
        same->QueryDirection(&sd);
        if (sd == d) out.push_back({MDToUtf8(id), d});
      }
    }
  }
  return out;
}

// Runs a graph and waits for its first event.
int32_t RunToFirstEvent(IGraphBuilder* graph) {
  auto control = TComPtr<IMediaControl>::Query(graph);
  auto events = TComPtr<IMediaEventEx>::Query(graph);
  EXPECT_EQ(control->Run(), S_OK);
  int32_t code = 0;
  LONG_PTR p1, p2;
  if (events->GetEvent(&code, &p1, &p2, 15000) != S_OK) return 0;
  events->FreeEventParams(code, p1, p2);
  return code;
}

TEST(Creation, ClassesAndRefusals) {
  ASSERT_TRUE(MDInitMedia());
  void* obj = reinterpret_cast<void*>(1);
  const GUID unknown = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  EXPECT_EQ(MDCoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &obj), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(obj, nullptr);
  auto graph = Create<IGraphBuilder>(CLSID_FilterGraph);
  EXPECT_EQ(MDCoCreateInstance(CLSID_FilterGraph, graph.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &obj),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(MDCoCreateInstance(CLSID_DSoundRender, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, &obj),
            E_NOINTERFACE);
  EXPECT_FALSE(TComPtr<IVideoWindow>::Query(graph.Get())) << "nothing rendered, no video";

  struct {
    GUID Clsid;
    std::vector<std::pair<std::string, PIN_DIRECTION>> Pins;
  } filters[] = {
      {CLSID_DSoundRender, {{"Audio Input", PINDIR_INPUT}}},
      {CLSID_MDMp3Decoder, {{"In", PINDIR_INPUT}, {"Out", PINDIR_OUTPUT}}},
      {CLSID_MDShoutcastSource, {{"Output", PINDIR_OUTPUT}}},
      {CLSID_MDNetSource, {{"Output", PINDIR_OUTPUT}}},
  };
  for (auto& f : filters) {
    auto filter = Create<IBaseFilter>(f.Clsid);
    ASSERT_TRUE(filter);
    EXPECT_EQ(Pins(filter.Get()), f.Pins);
    TComPtr<IPin> none;
    EXPECT_EQ(filter->FindPin(u"Nope", none.Put()), VFW_E_NOT_FOUND);
  }
}

// Raw audio in a format the sink does not take: converters are put between.
TEST(Connect, PutsConvertersBetweenRawFormats) {
  ASSERT_TRUE(MDInitMedia());
  auto graph = Create<IGraphBuilder>(CLSID_FilterGraph);
  auto src = Elements("audiotestsrc num-buffers=20 ! capsfilter caps=audio/x-raw,format=F32LE,rate=8000,channels=1");
  auto sink = Elements("capsfilter caps=audio/x-raw,format=S16LE,rate=44100,channels=2 ! fakesink sync=false");
  ASSERT_EQ(graph->AddFilter(src.Get(), u"Tone"), S_OK);
  ASSERT_EQ(graph->AddFilter(sink.Get(), u"Sink"), S_OK);
  EXPECT_EQ(graph->AddFilter(sink.Get(), u"Again"), E_FAIL) << "a filter is in one graph once";
  TComPtr<IPin> out, in, peer;
  ASSERT_EQ(src->FindPin(u"src", out.Put()), S_OK);
  ASSERT_EQ(sink->FindPin(u"sink", in.Put()), S_OK);
  EXPECT_EQ(out->ConnectedTo(peer.Put()), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(graph->Connect(in.Get(), out.Get()), E_INVALIDARG) << "output first";
  ASSERT_EQ(graph->Connect(out.Get(), in.Get()), S_OK);
  EXPECT_EQ(graph->Connect(out.Get(), in.Get()), VFW_E_ALREADY_CONNECTED);
  TComPtr<IBaseFilter> converter;
  EXPECT_EQ(graph->FindFilterByName(u"Converter", converter.Put()), S_OK);
  ASSERT_EQ(out->ConnectedTo(peer.Put()), S_OK);
  PIN_DIRECTION d;
  EXPECT_EQ(peer->QueryDirection(&d), S_OK);
  EXPECT_EQ(d, PINDIR_INPUT);
  EXPECT_EQ(RunToFirstEvent(graph.Get()), EC_COMPLETE);
}

// An encoded stream straight to the audio output: a decoder is put between.
TEST(Connect, PutsADecoderBeforeTheAudioOutput) {
  ASSERT_TRUE(MDInitMedia());
  auto graph = Create<IGraphBuilder>(CLSID_FilterGraph);
  auto file = Elements("filesrc location=" + Media("tone.mp3"));
  auto output = Create<IBaseFilter>(CLSID_DSoundRender);
  ASSERT_EQ(graph->AddFilter(file.Get(), u"File"), S_OK);
  ASSERT_EQ(graph->AddFilter(output.Get(), u"Output"), S_OK);
  TComPtr<IPin> out, in;
  ASSERT_EQ(file->FindPin(u"src", out.Put()), S_OK);
  ASSERT_EQ(output->FindPin(u"Audio Input", in.Put()), S_OK);
  ASSERT_EQ(graph->Connect(out.Get(), in.Get()), S_OK);
  TComPtr<IBaseFilter> decoder;
  EXPECT_EQ(graph->FindFilterByName(u"Decoder", decoder.Put()), S_OK);
  EXPECT_EQ(RunToFirstEvent(graph.Get()), EC_COMPLETE);

  // A filter of another graph cannot be connected here.
  auto other = Create<IGraphBuilder>(CLSID_FilterGraph);
  auto stray = Elements("fakesink");
  ASSERT_EQ(other->AddFilter(stray.Get(), u"Stray"), S_OK);
  TComPtr<IPin> strayIn;
  ASSERT_EQ(stray->FindPin(u"sink", strayIn.Put()), S_OK);
  auto tone = Elements("audiotestsrc num-buffers=1");
  ASSERT_EQ(graph->AddFilter(tone.Get(), u"Tone"), S_OK);
  TComPtr<IPin> toneOut;
  ASSERT_EQ(tone->FindPin(u"src", toneOut.Put()), S_OK);
  EXPECT_EQ(graph->Connect(toneOut.Get(), strayIn.Get()), VFW_E_NOT_IN_GRAPH);
}

}  // namespace
