// UMDDShow.h - the media graph interfaces of the playback library.
//
// The playback library plays media through filter graphs. A plug-in that asks the player for a
// graph interface (IMDPlayer::QueryGraphInterface) gets one of the interfaces declared here.
// They keep the shape of the classic filter-graph interfaces: each lists only the methods this
// system uses, in their usual relative order and with their usual meaning, so slot numbers are
// those of this header and not of any other declaration.
//
// Layout and results follow UMDTypes.h: pure-virtual structs, HRESULT statuses, UTF-16 texts.
// Times (REFERENCE_TIME) are 64-bit counts of 100 ns.
//
// Threads
//   - A filter graph manager may be called from any thread. Its graph events are queued on the
//     thread that produced them (a GStreamer streaming thread) and announced by posting the
//     notify message to the notify window (SetNotifyWindow); the window's thread then drains
//     them with GetEvent(..., 0).
//   - Connecting, rendering and adding filters is done by one thread at a time (the graph's
//     owner); the transport, position and window methods may be used from any thread.
//   - A stream source calls its callback (SetCallback) on a reader thread of its own. After
//     SetCallback(nullptr, nullptr) returns, no callback is running or will start, except when
//     it was called from inside the callback itself. A source may be released from inside its
//     callback.
//
// Ownership
//   - Interface pointers are reference counted COM-style: every pointer handed out through an
//     out-argument carries one reference the receiver releases. A graph holds a reference to
//     every filter added to it; a pin holds a reference to its filter.
//   - Texts passed in are borrowed for the call; texts passed out (GetStreamTitle and the like)
//     belong to the callee and stay readable until the next call of the same method on the same
//     object: copy them at once.
//   - Event parameters carry no allocations: FreeEventParams has nothing to free, but callers
//     call it all the same.
#pragma once

#include <cstdint>

#include "UMDTypes.h"

// ---------------------------------------------------------------------------------------------
// Basic types, statuses and constants
// ---------------------------------------------------------------------------------------------

using REFERENCE_TIME = int64_t;  // 100 ns units
using LONG_PTR = intptr_t;
using OAHWND = MDHANDLE;         // a window handle (X11 window id) or a message window

inline constexpr REFERENCE_TIME MD_UNITS_PER_SECOND = 10000000;

inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT VFW_E_ALREADY_CONNECTED = static_cast<HRESULT>(0x80040204u);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = static_cast<HRESULT>(0x80040209u);
inline constexpr HRESULT VFW_E_NOT_FOUND = static_cast<HRESULT>(0x80040216u);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = static_cast<HRESULT>(0x80040217u);
inline constexpr HRESULT VFW_E_CANNOT_RENDER = static_cast<HRESULT>(0x80040218u);
inline constexpr HRESULT VFW_E_NOT_IN_GRAPH = static_cast<HRESULT>(0x8004025Fu);
inline constexpr HRESULT VFW_E_UNSUPPORTED_STREAM = static_cast<HRESULT>(0x80040265u);
inline constexpr HRESULT VFW_E_TIMEOUT = static_cast<HRESULT>(0x8004022Eu);
inline constexpr HRESULT VFW_S_STATE_INTERMEDIATE = 0x00040237;

// In-process creation (the only kind there is).
inline constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;

// Graph events (IMediaEventEx::GetEvent codes).
inline constexpr int32_t EC_COMPLETE = 0x01;    // every stream reached its end
inline constexpr int32_t EC_USERABORT = 0x02;   // the user closed the video window
inline constexpr int32_t EC_ERRORABORT = 0x03;  // playback stopped on an error; param1 = status

// IMediaSeeking::SetPositions flags (the positioning bits).
inline constexpr uint32_t AM_SEEKING_NoPositioning = 0x0;
inline constexpr uint32_t AM_SEEKING_AbsolutePositioning = 0x1;
inline constexpr uint32_t AM_SEEKING_RelativePositioning = 0x2;
inline constexpr uint32_t AM_SEEKING_PositioningBitsMask = 0x3;

enum PIN_DIRECTION : int32_t { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

// IMediaControl::GetState.
enum FILTER_STATE : int32_t { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

// Window style bits understood by IVideoWindow::put_WindowStyle (kept, not interpreted).
inline constexpr int32_t WS_CHILD = 0x40000000;
inline constexpr int32_t WS_CLIPSIBLINGS = 0x04000000;

// ---------------------------------------------------------------------------------------------
// Class ids
// ---------------------------------------------------------------------------------------------

// The filter graph manager.
inline constexpr GUID CLSID_FilterGraph = {
    0xE436EBB3, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// The system's default audio output.
inline constexpr GUID CLSID_DSoundRender = {
    0x79376820, 0x07D0, 0x11CF, {0xA2, 0x4D, 0x00, 0x20, 0xAF, 0xD7, 0x97, 0x67}};
// HTTP (Icecast/SHOUTcast) MP3 stream source, "Midavo Shoutcast Source".
inline constexpr GUID CLSID_MDShoutcastSource = {
    0x3BF7EA6F, 0x1773, 0x4C77, {0xBA, 0xB6, 0x93, 0x05, 0xBB, 0xB2, 0xDC, 0x33}};
// MPEG audio over a TCP connection, "MDSF NetSource".
inline constexpr GUID CLSID_MDNetSource = {
    0x2414C56B, 0x321A, 0x4426, {0xB7, 0x4A, 0x4C, 0x44, 0x60, 0xA2, 0x38, 0xB0}};
// MPEG audio decoder, "MPEG Layer III Decoder".
inline constexpr GUID CLSID_MDMp3Decoder = {
    0xE32C3B01, 0xC81B, 0x4D01, {0x8A, 0xD4, 0x2B, 0x93, 0xF7, 0xFA, 0x54, 0x4C}};

// ---------------------------------------------------------------------------------------------
// Filters and pins
// ---------------------------------------------------------------------------------------------

struct IPin;
struct IEnumPins;

struct IBaseFilter : IUnknown {
  // 3: a new enumerator over the filter's pins.
  virtual HRESULT MDCALL EnumPins(IEnumPins** pins) = 0;
  // 4: the pin with that identifier; VFW_E_NOT_FOUND.
  virtual HRESULT MDCALL FindPin(const char16_t* id, IPin** pin) = 0;
};
MD_DEFINE_IID(IBaseFilter, 0x56A86895, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

struct IPin : IUnknown {
  // 3: the pin this one is linked to; VFW_E_NOT_CONNECTED.
  virtual HRESULT MDCALL ConnectedTo(IPin** pin) = 0;
  virtual HRESULT MDCALL QueryDirection(PIN_DIRECTION* dir) = 0;  // 4
};
MD_DEFINE_IID(IPin, 0x56A86891, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

struct IEnumPins : IUnknown {
  // 3: up to `count` pins; S_OK when all were fetched, S_FALSE when fewer. `fetched` may be
  // nil when count is 1.
  virtual HRESULT MDCALL Next(uint32_t count, IPin** pins, uint32_t* fetched) = 0;
  virtual HRESULT MDCALL Skip(uint32_t count) = 0;  // 4
  virtual HRESULT MDCALL Reset() = 0;               // 5
};
MD_DEFINE_IID(IEnumPins, 0x56A86892, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

// ---------------------------------------------------------------------------------------------
// The filter graph manager
// ---------------------------------------------------------------------------------------------

struct IGraphBuilder : IUnknown {
  // 3: adds the filter under `name` (may be nil); the graph keeps a reference.
  virtual HRESULT MDCALL AddFilter(IBaseFilter* filter, const char16_t* name) = 0;
  // 4: VFW_E_NOT_FOUND.
  virtual HRESULT MDCALL FindFilterByName(const char16_t* name, IBaseFilter** filter) = 0;
  // 5: links an output pin to an input pin, putting converters or a decoder between them when
  // their formats do not match.
  virtual HRESULT MDCALL Connect(IPin* out, IPin* in) = 0;
  // 6: builds the whole playback chain for a file (or URI) and prerolls it; playList is unused.
  // Fails (VFW_E_UNSUPPORTED_STREAM, VFW_E_CANNOT_RENDER, E_FAIL) for what cannot be played.
  virtual HRESULT MDCALL RenderFile(const char16_t* file, const char16_t* playList) = 0;
};
MD_DEFINE_IID(IGraphBuilder, 0x56A868A9, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

struct IMediaControl : IUnknown {
  virtual HRESULT MDCALL Run() = 0;    // 3
  virtual HRESULT MDCALL Pause() = 0;  // 4
  // 5: stops playing; position, duration and positioning stay available.
  virtual HRESULT MDCALL Stop() = 0;
  // 6: the state last asked for; VFW_S_STATE_INTERMEDIATE while it is still being reached.
  virtual HRESULT MDCALL GetState(int32_t msTimeout, FILTER_STATE* state) = 0;
};
MD_DEFINE_IID(IMediaControl, 0x56A868B1, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

struct IMediaEventEx : IUnknown {
  // 3: takes the oldest queued event; E_ABORT when none arrives within msTimeout (0: none
  // waiting, negative: no limit).
  virtual HRESULT MDCALL GetEvent(int32_t* code, LONG_PTR* param1, LONG_PTR* param2,
                                  int32_t msTimeout) = 0;
  virtual HRESULT MDCALL FreeEventParams(int32_t code, LONG_PTR param1, LONG_PTR param2) = 0;  // 4
  // 5: after each queued event, posts `msg` (wParam 0, lParam instanceData) to the window.
  // Window 0 stops the posting; queued events stay.
  virtual HRESULT MDCALL SetNotifyWindow(OAHWND window, int32_t msg, LONG_PTR instanceData) = 0;
};
MD_DEFINE_IID(IMediaEventEx, 0x56A868C0, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

struct IMediaSeeking : IUnknown {
  virtual HRESULT MDCALL GetDuration(REFERENCE_TIME* duration) = 0;       // 3
  virtual HRESULT MDCALL GetCurrentPosition(REFERENCE_TIME* current) = 0;  // 4
  // 5: either pointer may be nil when its flags are AM_SEEKING_NoPositioning. Positions are
  // kept within 0..duration.
  virtual HRESULT MDCALL SetPositions(REFERENCE_TIME* current, uint32_t currentFlags,
                                      REFERENCE_TIME* stop, uint32_t stopFlags) = 0;
  virtual HRESULT MDCALL SetRate(double rate) = 0;  // 6: E_INVALIDARG for rate <= 0
  virtual HRESULT MDCALL GetRate(double* rate) = 0;  // 7
};
MD_DEFINE_IID(IMediaSeeking, 0x36B73880, 0xC2C8, 0x11CF, 0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60)

struct IBasicAudio : IUnknown {
  // 3: hundredths of a decibel, -10000 (silence) to 0 (full). E_NOTIMPL without audio output.
  virtual HRESULT MDCALL put_Volume(int32_t volume) = 0;
  virtual HRESULT MDCALL get_Volume(int32_t* volume) = 0;  // 4
};
MD_DEFINE_IID(IBasicAudio, 0x56A868B3, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

// The video window, answered only by a graph whose media has a video stream. It maps to the
// video sink's overlay: the owner is the X11 window the picture is drawn into, the position is
// the rectangle inside the owner, and a hidden window draws nothing.
struct IVideoWindow : IUnknown {
  virtual HRESULT MDCALL put_WindowStyle(int32_t style) = 0;  // 3: kept
  // 4: -1: the window shows itself when the graph runs or pauses (the default); 0: it does not.
  virtual HRESULT MDCALL put_AutoShow(int32_t autoShow) = 0;
  virtual HRESULT MDCALL put_Visible(int32_t visible) = 0;    // 5: -1 or 0
  virtual HRESULT MDCALL get_Visible(int32_t* visible) = 0;   // 6
  // 7: draw into this X11 window from now on; 0: the sink's own top-level window.
  virtual HRESULT MDCALL put_Owner(OAHWND owner) = 0;
  virtual HRESULT MDCALL get_Owner(OAHWND* owner) = 0;        // 8
  virtual HRESULT MDCALL put_MessageDrain(OAHWND drain) = 0;  // 9: kept
  // 10: messages the owner forwards (palette, system colours); nothing to do on X11.
  virtual HRESULT MDCALL NotifyOwnerMessage(OAHWND window, int32_t msg, LONG_PTR wParam,
                                            LONG_PTR lParam) = 0;
  virtual HRESULT MDCALL SetWindowPosition(int32_t left, int32_t top, int32_t width,
                                           int32_t height) = 0;  // 11
  virtual HRESULT MDCALL GetWindowPosition(int32_t* left, int32_t* top, int32_t* width,
                                           int32_t* height) = 0;  // 12
};
MD_DEFINE_IID(IVideoWindow, 0x56A868B4, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

// The native picture size, answered only by a graph whose media has a video stream.
struct IBasicVideo : IUnknown {
  virtual HRESULT MDCALL get_VideoWidth(int32_t* width) = 0;    // 3
  virtual HRESULT MDCALL get_VideoHeight(int32_t* height) = 0;  // 4
};
MD_DEFINE_IID(IBasicVideo, 0x56A868B5, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70)

// ---------------------------------------------------------------------------------------------
// Network stream sources
// ---------------------------------------------------------------------------------------------

// The source's report procedure: (user data, event, param1, param2) -> 0. Called on the
// source's reader thread. Event codes are MDSE_* below.
using TMDSourceCallback = int32_t(MDCALL*)(void* userData, int32_t event, int32_t param1,
                                           int32_t param2);

// Source events. param1/param2 are 0 unless stated.
inline constexpr int32_t MDSE_CONNECTED = 1;     // server answered; param1 = HTTP status (0 MDSF)
inline constexpr int32_t MDSE_BUFFERING = 2;     // param1 = KiB kept that the graph has not taken
inline constexpr int32_t MDSE_TITLE = 3;         // new stream title: GetStreamTitle
inline constexpr int32_t MDSE_END = 4;           // server closed the stream; param1 = KiB received
inline constexpr int32_t MDSE_ERROR = 5;         // param1 = MDSE_ERR_*, param2 = detail
inline constexpr int32_t MDSE_OUTPUT_READY = 11;  // format known: the output can be connected

// MDSE_ERROR reasons (also what a failing OpenUrl found, see the README).
inline constexpr int32_t MDSE_ERR_READ = 1;      // the connection broke; param2 = errno
inline constexpr int32_t MDSE_ERR_NOT_AUDIO = 2;  // the data is not MPEG audio
inline constexpr int32_t MDSE_ERR_HTTP = 3;      // param2 = HTTP status

// OpenUrl failures.
inline constexpr HRESULT MD_E_BAD_URL = static_cast<HRESULT>(0x80040A01u);       // cannot parse
inline constexpr HRESULT MD_E_HOST_NOT_FOUND = static_cast<HRESULT>(0x80040A02u);
inline constexpr HRESULT MD_E_CONNECT = static_cast<HRESULT>(0x80040A03u);  // refused, timed out
inline constexpr HRESULT MD_E_HTTP_STATUS = static_cast<HRESULT>(0x80040A04u);  // not 2xx
inline constexpr HRESULT MD_E_NOT_AUDIO = static_cast<HRESULT>(0x80040A05u);
inline constexpr HRESULT MD_E_ALREADY_OPEN = static_cast<HRESULT>(0x80040A06u);

// Control interface of the HTTP source ("http://host[:port][/path]", Icecast/SHOUTcast MP3).
struct IMDShoutcastSource : IUnknown {
  // 3: connects and checks that audio comes; S_OK once the stream is known to be MPEG audio or
  // the server accepted and has sent nothing yet. Reports then follow through the callback.
  virtual HRESULT MDCALL OpenUrl(const char16_t* url) = 0;
  virtual HRESULT MDCALL CloseUrl() = 0;                            // 4: S_FALSE if not open
  virtual HRESULT MDCALL GetUrl(const char16_t** url) = 0;          // 5
  virtual HRESULT MDCALL GetStreamTitle(const char16_t** title) = 0;  // 6: "" when none
  virtual HRESULT MDCALL GetStreamName(const char16_t** name) = 0;    // 7: icy-name, or ""
  virtual HRESULT MDCALL GetReceivedBytes(int64_t* bytes) = 0;        // 8: audio bytes so far
  // 9: result not looked at by callers; nil procedure stops the reports.
  virtual HRESULT MDCALL SetCallback(TMDSourceCallback proc, void* userData) = 0;
};
MD_DEFINE_IID(IMDShoutcastSource, 0xBBF6C856, 0xF90F, 0x4645, 0x9C, 0x38, 0xD8, 0x07, 0xC3, 0x21, 0x92, 0xE4)

// Control interface of the MDSF source ("mdsf://host[:port]", default port 8010): the server
// sends an MPEG audio byte stream as soon as it accepts the connection; nothing is sent to it.
// Same methods as IMDShoutcastSource; the title and name are always "".
struct IMDNetSource : IUnknown {
  virtual HRESULT MDCALL OpenUrl(const char16_t* url) = 0;              // 3
  virtual HRESULT MDCALL CloseUrl() = 0;                                // 4
  virtual HRESULT MDCALL GetUrl(const char16_t** url) = 0;              // 5
  virtual HRESULT MDCALL GetStreamTitle(const char16_t** title) = 0;    // 6
  virtual HRESULT MDCALL GetStreamName(const char16_t** name) = 0;      // 7
  virtual HRESULT MDCALL GetReceivedBytes(int64_t* bytes) = 0;          // 8
  virtual HRESULT MDCALL SetCallback(TMDSourceCallback proc, void* userData) = 0;  // 9
};
MD_DEFINE_IID(IMDNetSource, 0x436286CA, 0xB75C, 0x48A9, 0xBB, 0x98, 0xCC, 0x5F, 0xF8, 0x42, 0x5B, 0xD9)
