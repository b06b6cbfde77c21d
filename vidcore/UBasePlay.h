// UBasePlay.h - the playback module "Simple Playback".
//
// Owns at most one piece of open media: a file played through a file graph (TGraph2) or a
// network stream played through a stream graph (TMDStreamGraph2). Other modules drive it
// through IMDPlayer and IMDVideo; the six playback actions arrive as MDM_ACTION messages. What
// happens to the media is posted to the kernel as MDM_NOTIFY (MDN_* codes).
//
// Threads
//   - HandleMessage runs on the kernel's dispatch thread: Play, Stop, Pause and the seeks run
//     there; Close Media is moved to the host's main thread through the kernel's Synchronize.
//   - OpenFile and OpenStream run on the caller's thread, whose GLib main context then serves
//     the graph's event window; CloseMedia (which destroys the graph) belongs on that thread
//     too. The host's main thread is the natural caller.
//   - OnOpened / OnOpenFailed arrive on the file graph's open thread or the stream source's
//     reader thread; they only change FOpening and post to the kernel.
//   - SetState runs on the thread that changes the kernel's state (the main thread).
// Locks
//   - FGraphLock (re-entrant) guards the graph pointers and the mode, so a player call on one
//     thread never meets a graph another thread is destroying. The opening calls and CloseMedia
//     look at FOpening once more under it, so two callers on different threads never both open,
//     nor does a close slip in after an open started. The graph notifications never
//     take it, so closing (which may wait for an open thread) cannot deadlock against them.
//     Lock order: the kernel's registry lock, then FGraphLock.
#pragma once

#include <atomic>
#include <memory>

#include "UMDBaseModule.h"

class TGraph2;
class TMDStreamGraph2;

class TBasePlay final : public TMDComImpl<TMDBaseModule, IMDPlayer, IMDVideo> {
 public:
  static constexpr uint8_t kModeNone = 0;
  static constexpr uint8_t kModeFile = 1;
  static constexpr uint8_t kModeStream = 2;

  TBasePlay(IMDKernel* kernel, const TMDModuleInfo* info);
  ~TBasePlay() override;

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;
  HRESULT MDCALL SetState(int32_t state) override;

  // IMDPlayer
  HRESULT MDCALL QueryGraphInterface(const GUID* iid, void** obj) override;
  HRESULT MDCALL OpenFile(const char16_t* fileName) override;
  HRESULT MDCALL OpenStream(const char16_t* url) override;
  HRESULT MDCALL CloseMedia() override;
  HRESULT MDCALL Play() override;
  HRESULT MDCALL StopPlayback() override;
  HRESULT MDCALL Pause() override;
  HRESULT MDCALL GetDuration(double* seconds) override;
  HRESULT MDCALL GetPosition(double* seconds) override;
  HRESULT MDCALL SetPosition(double seconds) override;
  HRESULT MDCALL GetRate(double* rate) override;
  HRESULT MDCALL SetRate(double rate) override;

  // IMDVideo
  HRESULT MDCALL HasVideo() override;
  HRESULT MDCALL GetVideoSize(int32_t* width, int32_t* height) override;
  HRESULT MDCALL GetVideoVisible(BOOL32* visible) override;
  HRESULT MDCALL SetVideoVisible(BOOL32 visible) override;
  HRESULT MDCALL GetVideoOwner(MDHANDLE* owner) override;
  HRESULT MDCALL SetVideoOwner(MDHANDLE owner) override;
  HRESULT MDCALL GetVideoPosition(int32_t* left, int32_t* top, int32_t* width,
                                  int32_t* height) override;
  HRESULT MDCALL SetVideoPosition(int32_t left, int32_t top, int32_t width,
                                  int32_t height) override;
  HRESULT MDCALL SetMessageDrain(MDHANDLE window) override;
  HRESULT MDCALL NotifyOwnerMessage(uint32_t message, uint32_t wParam, uint32_t lParam) override;

  // Moves a file by `delta` seconds (the seek actions); S_FALSE for a stream.
  HRESULT SeekBy(double delta);
  uint8_t Mode() const { return FMode.load(std::memory_order_acquire); }
  bool Opening() const { return FOpening.load(std::memory_order_acquire); }

 private:
  bool Ready() const { return State() == KS_RUNNING && Mode() != kModeNone; }
  template <class G>
  void Connect(G& graph);
  // Opens a new graph of kind G in `slot` (closing what was open) and sets the mode; a failure
  // reported at once closes it again.
  template <class G>
  HRESULT OpenWith(std::unique_ptr<G>& slot, uint8_t mode, const char16_t* name);
  // Runs `call` on the file graph's video window; the common rules of the IMDVideo setters and
  // getters (not ready, stream, no video window) are applied first. `zero` clears the outputs.
  template <class Call, class Zero>
  HRESULT WithVideoWindow(Call call, Zero zero);
  void PostNotify(int32_t code) { PostToKernel(MDM_NOTIFY, code, 0); }

  static void MDCALL OnOpened(void* self, void* sender);
  static void MDCALL OnClosed(void* self, void* sender);
  static void MDCALL OnOpenFailed(void* self, void* sender);
  static void MDCALL OnComplete(void* self, void* sender);
  static void MDCALL RunCloseMedia(void* self, void* sender);

  TLock FGraphLock;
  std::atomic<uint8_t> FMode{kModeNone};  // written under FGraphLock
  std::atomic<bool> FOpening{false};      // written by the opening calls and the notifications
  std::unique_ptr<TMDStreamGraph2> FStreamGraph;  // guarded by FGraphLock
  std::unique_ptr<TGraph2> FFileGraph;            // guarded by FGraphLock
};
