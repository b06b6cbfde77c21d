// playerprobe.cpp - a module library (sdk alone) that watches the playback module of a running
// host. Once the kernel runs it finds "Simple Playback" among the registered modules
// (IMDEnumModules), asks it for IMDPlayer and IMDVideo, and records every MDM_NOTIFY and
// MDM_ACTION it receives, in the order the dispatch thread delivers them. Each one is also
// logged (TestPlugin.h) as "notify 0xFA01" / "action 0xA05".
//
// A test in the same process reaches the probe through extra exports (dlopen the loaded file
// with RTLD_NOLOAD, then dlsym):
//   IMDPlayer* ProbePlayer(), IMDVideo* ProbeVideo()
//       the playback module's interfaces, borrowed: valid while the host runs, nil before the
//       kernel first ran or without a playback module.
//   int32_t ProbeEvents(uint32_t* msgs, int32_t* params, int32_t capacity)
//       copies the first `capacity` recorded messages (id, Param1) and returns how many there
//       are in all.
// Messages are broadcast in registration order, so a probe registered after the playback
// module (its file named after vidcore.so, e.g. zprobe.so) records an action only once the
// playback module has carried it out.
//
// In a program run the probe drives the host on its own when MIDAVO_PROBE_OPEN names a file:
// when the kernel runs it opens that file; once it is opened (0xFA01) it hands the key-down of
// virtual-key code MIDAVO_PROBE_KEY to the kernel's IMDInputSink on the main thread ("key N");
// once playing (0xFA04), or when the open failed (0xFA03), it performs "Shutdown Application"
// ("shutdown").
//
// Threads: construction, SetState, Stop and destruction on the host's main thread;
// HandleMessage on the dispatch thread; the exports on any thread. The record is guarded by
// gLock; the interface pointers are set once on the main thread and read atomically.
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "TestPlugin.h"
#include "UMDBase.h"

namespace {

HRESULT MDCALL CreateProbe(IUnknown* owner, const GUID* iid, void** obj);

const TMDModuleInfo kModule{u"Player Probe", u"Watches the playback module",
                            u"https://midavo.example.org/tests", MDMakeVersion(1, 0, 0, 0), 0, 0,
                            &CreateProbe, nullptr, nullptr};

struct TRecorded {
  uint32_t Msg;
  int32_t Param1;
};

std::mutex gLock;
std::vector<TRecorded> gRecord;  // guarded by gLock
std::atomic<IMDPlayer*> gPlayer{nullptr};
std::atomic<IMDVideo*> gVideo{nullptr};

int EnvInt(const char* name) {
  const char* text = std::getenv(name);
  return text ? std::atoi(text) : 0;
}

class TProbe final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  explicit TProbe(IMDKernel* kernel) : FKernel(kernel) {}
  ~TProbe() override {
    // The playback module may go with these references: let go while the probe is whole.
    if (IMDVideo* video = gVideo.exchange(nullptr)) video->Release();
    if (IMDPlayer* player = gPlayer.exchange(nullptr)) player->Release();
    Log("destroyed");
  }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }

  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    if (!msg || (msg->Msg != MDM_NOTIFY && msg->Msg != MDM_ACTION)) return S_OK;
    {
      std::lock_guard<std::mutex> guard(gLock);
      gRecord.push_back({msg->Msg, msg->Param1});
    }
    Log((msg->Msg == MDM_NOTIFY ? "notify " : "action ") + Hex(static_cast<uint32_t>(msg->Param1)));
    if (msg->Msg == MDM_NOTIFY && FScripted) Script(msg->Param1);
    return S_OK;
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo* info) override {
    if (!info) return E_POINTER;
    *info = kModule;
    return S_OK;
  }
  HRESULT MDCALL SetState(int32_t state) override {
    if (state != KS_RUNNING) return S_OK;
    FindPlayer();
    const char* file = std::getenv("MIDAVO_PROBE_OPEN");
    if (file && *file && !FScripted.exchange(true)) {
      IMDPlayer* player = gPlayer.load();
      const HRESULT hr = player ? player->OpenFile(MDToUtf16(file).c_str()) : E_FAIL;
      Log("open " + Hex(static_cast<uint32_t>(hr)));
      if (MD_FAILED(hr)) Perform(MDA_SHUTDOWN);
    }
    return S_OK;
  }
  HRESULT MDCALL Stop() override { return S_OK; }
  HRESULT MDCALL QueryStopped() override { return S_OK; }

 private:
  // Main thread.
  void FindPlayer() {
    if (gPlayer.load()) return;
    auto walker = TComPtr<IMDEnumModules>::Query(FKernel);
    if (!walker) return;
    for (int step = 0; step < 100; ++step) {
      IMDModule* next = nullptr;
      const HRESULT hr = walker->Next(&next);
      if (hr == E_MODULES_CHANGED) {
        walker->Reset();
        continue;
      }
      if (hr != S_OK || !next) return;
      auto module = TComPtr<IMDModule>::Adopt(next);
      TMDModuleInfo info{};
      if (MD_FAILED(module->GetModuleInfo(&info)) || !info.Name ||
          std::u16string_view(info.Name) != u"Simple Playback")
        continue;
      gVideo.store(TComPtr<IMDVideo>::Query(module.Get()).Detach());
      gPlayer.store(TComPtr<IMDPlayer>::Query(module.Get()).Detach());
      Log(std::string("found") + (gPlayer.load() ? " player" : "") + (gVideo.load() ? " video" : ""));
      return;
    }
  }

  // Dispatch thread: the program run's next step after a notification.
  void Script(int32_t code) {
    if (code == MDN_OPENED) {
      // Key presses reach the binder from the main thread, as the shell hands them over.
      FKernel->Synchronize({&TProbe::HandKey, this});
    } else if (code == MDN_PLAYING || code == MDN_OPEN_FAILED) {
      Log("shutdown");
      Perform(MDA_SHUTDOWN);
    }
  }

  static void MDCALL HandKey(void* self, void*) {
    auto* probe = static_cast<TProbe*>(self);
    const int key = EnvInt("MIDAVO_PROBE_KEY");
    auto sink = TComPtr<IMDInputSink>::Query(probe->FKernel);
    Log("key " + std::to_string(key));
    if (sink) sink->HandleInput(static_cast<uint32_t>(key), 0);
  }

  void Perform(int32_t code) {
    TMDMessage msg{};
    msg.Msg = MDM_ACTION;
    msg.Param1 = code;
    FKernel->HandleMessage(&msg);
  }

  IMDKernel* FKernel;  // the host's kernel outlives its modules
  std::atomic<bool> FScripted{false};
};

HRESULT MDCALL CreateProbe(IUnknown* owner, const GUID* iid, void** obj) {
  if (!owner || !iid || !obj) return E_FAIL;
  auto kernel = TComPtr<IMDKernel>::Query(owner);
  if (!kernel) return E_FAIL;
  auto probe = std::make_unique<TProbe>(kernel.Get());
  const HRESULT hr = probe->QueryInterface(*iid, obj);
  if (MD_SUCCEEDED(hr)) probe.release();
  return hr;
}

}  // namespace

MD_EXPORT HRESULT MDCALL DLLGetModuleCount(int32_t* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetModuleInfo(int32_t index, TMDModuleInfo* info) {
  if (index != 0 || !info) return E_FAIL;
  *info = kModule;
  return S_OK;
}

MD_EXPORT IMDPlayer* ProbePlayer() { return gPlayer.load(); }

MD_EXPORT IMDVideo* ProbeVideo() { return gVideo.load(); }

MD_EXPORT int32_t ProbeEvents(uint32_t* msgs, int32_t* params, int32_t capacity) {
  std::lock_guard<std::mutex> guard(gLock);
  for (int32_t i = 0; i < capacity && i < static_cast<int32_t>(gRecord.size()); ++i) {
    if (msgs) msgs[i] = gRecord[i].Msg;
    if (params) params[i] = gRecord[i].Param1;
  }
  return static_cast<int32_t>(gRecord.size());
}
