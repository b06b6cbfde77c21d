// UMDGstFilter.h - internals of the media layer shared by its units: filters over GStreamer
// elements, pins over pads, and the graph's view of them. Not part of the plug-in kit.
#pragma once

#include <gst/gst.h>

#include <mutex>
#include <string>

#include "UMDBase.h"
#include "UMDDShow.h"

class TMDFilterGraph;

// Identifies our own filter and pin objects behind an IBaseFilter / IPin (QueryInterface with
// these ids answers the object itself, without a reference).
inline constexpr GUID IID_TMDGstFilterId = {0x8E1F7A40, 0x2C51, 0x4D7B, {0x9A, 0x0E, 0x51, 0x6B, 0x3C, 0x90, 0x11, 0x01}};
inline constexpr GUID IID_TMDGstPinId = {0x8E1F7A40, 0x2C51, 0x4D7B, {0x9A, 0x0E, 0x51, 0x6B, 0x3C, 0x90, 0x11, 0x02}};

// What a filter is to the graph that holds it.
enum class TMDFilterRole { Plain, AudioRenderer, VideoRenderer };

// A filter: one GStreamer element (usually a bin); its pads are its pins.
//
// Threads: the element is set at construction and never changes. FGraph is written when the
// filter joins or leaves a graph (under FGraphLock) and read by pins; everything else is the
// element's own business (GStreamer locks it).
class TMDGstFilter : public TMDComImpl<TMDComObject, IBaseFilter> {
 public:
  // Takes over `element` (sinks a floating reference).
  TMDGstFilter(GstElement* element, TMDFilterRole role = TMDFilterRole::Plain);
  ~TMDGstFilter() override;

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  HRESULT MDCALL EnumPins(IEnumPins** pins) override;
  HRESULT MDCALL FindPin(const char16_t* id, IPin** pin) override;

  GstElement* Element() const { return FElement; }
  TMDFilterRole Role() const { return FRole; }
  const std::u16string& Name() const { return FName; }
  void SetName(const std::u16string& name) { FName = name; }

  // The graph the filter is in (not counted; cleared when the graph goes away).
  TMDFilterGraph* Graph();
  void SetGraph(TMDFilterGraph* graph);

  // Called by the graph when the filter was added to it (pipeline set), and before the graph
  // drops it; sources use them to start and stop feeding.
  virtual void Joined() {}
  virtual void Leaving() {}

  // Our filter behind an interface pointer, or nil.
  static TMDGstFilter* From(IUnknown* unk);

 private:
  GstElement* FElement;
  TMDFilterRole FRole;
  std::u16string FName;  // set by AddFilter on the owner's thread
  std::mutex FGraphLock;
  TMDFilterGraph* FGraph = nullptr;  // guarded by FGraphLock
};

// A pin: one pad of a filter's element. Holds a reference to its filter.
class TMDGstPin : public TMDComImpl<TMDComObject, IPin> {
 public:
  TMDGstPin(TMDGstFilter* filter, GstPad* pad);  // adds references to both
  ~TMDGstPin() override;

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  HRESULT MDCALL ConnectedTo(IPin** pin) override;
  HRESULT MDCALL QueryDirection(PIN_DIRECTION* dir) override;

  GstPad* Pad() const { return FPad; }
  TMDGstFilter* Filter() const { return FFilter.Get() ? TMDGstFilter::From(FFilter.Get()) : nullptr; }

  static TMDGstPin* From(IUnknown* unk);

 private:
  TComPtr<IBaseFilter> FFilter;
  GstPad* FPad;
};

// The audio output bin (the CLSID_DSoundRender filter's element): converter, resampler, volume
// and the system's default output, or a silent sink that keeps to the clock when there is none.
GstElement* MDMakeAudioOutputBin();
// The video output bin: converter, scaler and an X11 overlay sink when a display can be opened,
// else a silent sink that keeps to the clock.
GstElement* MDMakeVideoOutputBin();
// Creates an element by factory name, or nil.
GstElement* MDMakeElement(const char* factory, const char* name = nullptr);
