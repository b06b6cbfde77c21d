// UGraph.h - the file graph: TGraph1 renders a media file into a filter graph on a thread of its
// own and plays it; TGraph2 adds the video interfaces; TOpenGraphThread is that thread.
//
// Times are seconds (double) for callers, 100 ns units (REFERENCE_TIME) for the graph: seconds
// to graph time multiplies by 10,000,000 and truncates toward zero.
//
// Threads and locks
//   - Construct, Open, Close and destroy on one thread (the owner's): the event window belongs
//     to it, and OnComplete fires there when its GLib main context runs.
//   - OnOpened and OnOpenFailed fire on the open thread; OnClosed fires on the thread that
//     closes. A notification event is called as Code(Data, sender = this TGraph1).
//   - FLock (re-entrant) guards opening, closing and rendering: Open, Close and RenderFile hold
//     it. Close first waits for a running open thread without holding FLock, so closing (or
//     destroying) a wrapper while its file is still being rendered waits for the render and
//     never deadlocks; the open's own notification fires before OnClosed.
//   - FItfLock guards the interface references (short holds, never across a graph call), so
//     the transport, seeking and video calls, which take no FLock, may come from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "UMDBase.h"
#include "UMDDShow.h"

class TGraph1;

// The graph's notify message to its event window (user-message base + 100).
inline constexpr uint32_t WM_GRAPHNOTIFY = 0x0464;

// Seconds <-> graph time.
REFERENCE_TIME MDSecondsToTime(double seconds);
double MDTimeToSeconds(REFERENCE_TIME time);

// Renders one file for a wrapper. Created suspended, freed by the wrapper; destroying it waits
// until its run has returned. It never looks at its termination request: a render once started
// runs to its end.
class TOpenGraphThread {
 public:
  TOpenGraphThread(TGraph1* graph, const char16_t* fileName);
  ~TOpenGraphThread();
  TOpenGraphThread(const TOpenGraphThread&) = delete;
  TOpenGraphThread& operator=(const TOpenGraphThread&) = delete;

  void Start();
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  bool IsCurrentThread() const { return std::this_thread::get_id() == FId.load(); }

 protected:
  void Execute();

 private:
  TGraph1* FGraph;  // not owned
  std::u16string FFileName;
  std::atomic<bool> FTerminated{false};
  std::atomic<std::thread::id> FId{};
  std::thread FThread;
};

class TGraph1 {
 public:
  TGraph1();
  virtual ~TGraph1();
  TGraph1(const TGraph1&) = delete;
  TGraph1& operator=(const TGraph1&) = delete;

  // Virtual operations (slots 0..11).
  virtual void DoOpened();        // AcquireInterfaces, then OnOpened
  virtual void DoClosed();        // ReleaseInterfaces, then OnClosed
  virtual void DoOpenFailed();    // OnOpenFailed
  virtual void DoComplete();      // OnComplete
  virtual void HandleGraphEvent(int32_t code, int32_t param1, int32_t param2);
  virtual HRESULT Run();
  virtual HRESULT Pause();
  virtual HRESULT Stop();
  virtual HRESULT BeforeClose();
  virtual HRESULT RenderFile(const char16_t* fileName);
  virtual HRESULT AcquireInterfaces();
  virtual HRESULT ReleaseInterfaces();

  // S_OK once the open thread runs, or the error of creating the filter graph manager.
  HRESULT Open(const char16_t* fileName);
  // S_OK, or S_FALSE when no graph was open (then OnClosed does not fire).
  HRESULT Close();
  HRESULT SetRate(double rate);
  HRESULT GetRate(double* rate);
  HRESULT SetPosition(double seconds);
  HRESULT GetPosition(double* seconds);
  HRESULT GetDuration(double* seconds);
  void WaitForOpenThread();

  // The filter graph manager (nil when closed), for handing out further graph interfaces.
  TComPtr<IGraphBuilder> Graph();
  TComPtr<IMediaEventEx> Events();
  TComPtr<IMediaControl> Control();
  TComPtr<IMediaSeeking> Seeking();
  MDHANDLE EventWindow() const { return FEventWindow; }

  TMDMethod OnOpened{};
  TMDMethod OnClosed{};
  TMDMethod OnOpenFailed{};
  TMDMethod OnComplete{};

 protected:
  void Fire(const TMDMethod& event);
  intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam);

  TLock FLock;
  std::mutex FItfLock;  // guards the four references below
  TComPtr<IGraphBuilder> FGraph;
  TComPtr<IMediaEventEx> FEvents;
  TComPtr<IMediaControl> FControl;
  TComPtr<IMediaSeeking> FSeeking;
  std::unique_ptr<TOpenGraphThread> FOpenThread;  // owner's thread only
  MDHANDLE FEventWindow = 0;
};

class TGraph2 : public TGraph1 {
 public:
  TGraph2() = default;
  ~TGraph2() override;

  HRESULT AcquireInterfaces() override;
  HRESULT ReleaseInterfaces() override;

  // Nil unless the rendered media has video.
  TComPtr<IVideoWindow> VideoWindow();
  TComPtr<IBasicVideo> BasicVideo();

 protected:
  TComPtr<IVideoWindow> FVideoWindow;  // guarded by FItfLock
  TComPtr<IBasicVideo> FBasicVideo;
};
