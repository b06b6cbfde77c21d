// input_thread.cpp - an input library whose modules report from threads of their own, from the
// moment their factory returns until the host shuts them down. Calls are logged (TestPlugin.h).
//
// Environment, read when the host asks for the count:
//   MIDAVO_TEST_INPUT_SOURCE  source name of every description (default "Threaded")
//   MIDAVO_TEST_INPUT_COUNT   number of descriptions DLLGetInputCount reports (default 1,
//                             at most 8 records exist; a negative count is reported as given)
//   MIDAVO_TEST_INPUT_QUIET   when set, the modules start no thread
// Each module's thread reports (source, "Tick") about every 100 µs. Key-downs handed to its
// IMDInputSink are reported as (source, "Key <code>").
// Log lines: ApplicationInit, ApplicationUninit, DLLGetInputCount, DLLGetInputInfo <i>,
// CreateInput <i>, Shutdown <i>, destroyed <i>.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "TestPlugin.h"
#include "UMDBase.h"

namespace {

constexpr int kMaxRecords = 8;
std::u16string gSource = u"Threaded";
bool gQuiet = false;

HRESULT MDCALL CreateInput(int index, IUnknown* owner, const GUID* iid, void** obj);
template <int I>
HRESULT MDCALL CreateAt(IUnknown* owner, const GUID* iid, void** obj) {
  return CreateInput(I, owner, iid, obj);
}
constexpr TMDCreateFunc kFactories[kMaxRecords] = {CreateAt<0>, CreateAt<1>, CreateAt<2>,
                                                    CreateAt<3>, CreateAt<4>, CreateAt<5>,
                                                    CreateAt<6>, CreateAt<7>};

class TThreadedInput final : public TMDComImpl<TMDComObject, IMDInputModule, IMDInputSink> {
 public:
  TThreadedInput(int index, IMDActionInput* binder) : FIndex(index), FBinder(binder) {}
  ~TThreadedInput() override {
    Stop();
    Log("destroyed " + std::to_string(FIndex));
  }

  void Start() {
    FThread = std::thread([this] {
      while (!FStop.load()) {
        FBinder->ReportInput(gSource.c_str(), u"Tick");
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDInputModule) return MDHandOut<IMDInputModule>(this, obj);
      if (iid == IID_IMDInputSink) return MDHandOut<IMDInputSink>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL GetInputInfo(TMDInputInfo* info) override {
    *info = TMDInputInfo{gSource.c_str(), u"tests", 0x01000000, 0, kFactories[FIndex]};
    return S_OK;
  }
  HRESULT MDCALL Shutdown() override {
    Log("Shutdown " + std::to_string(FIndex));
    Stop();
    return S_OK;
  }
  HRESULT MDCALL HandleInput(uint32_t keyCode, int32_t keyData) override {
    const std::u16string name = u"Key " + MDToUtf16(std::to_string(keyCode));
    FBinder->ReportInput(gSource.c_str(), name.c_str());
    return S_OK;
  }

 private:
  void Stop() {
    FStop.store(true);
    if (FThread.joinable()) FThread.join();
  }

  const int FIndex;
  TComPtr<IMDActionInput> FBinder;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

HRESULT MDCALL CreateInput(int index, IUnknown* owner, const GUID* iid, void** obj) {
  Log("CreateInput " + std::to_string(index));
  *obj = nullptr;
  auto binder = TComPtr<IMDActionInput>::Query(owner);
  if (!binder) return E_FAIL;
  auto module = std::make_unique<TThreadedInput>(index, binder.Get());
  const HRESULT hr = module->QueryInterface(*iid, obj);
  if (MD_FAILED(hr)) return hr;
  TThreadedInput* started = module.release();
  if (!gQuiet) started->Start();  // reports from here on, before the host has the module
  return hr;
}

}  // namespace

MD_EXPORT int32_t MDCALL ApplicationInit(void* application, MDHANDLE instance) {
  Log("ApplicationInit");
  return 0;
}

MD_EXPORT void MDCALL ApplicationUninit() { Log("ApplicationUninit"); }

MD_EXPORT HRESULT MDCALL DLLGetInputCount(int32_t* count) {
  Log("DLLGetInputCount");
  if (const char* source = std::getenv("MIDAVO_TEST_INPUT_SOURCE")) gSource = MDToUtf16(source);
  gQuiet = std::getenv("MIDAVO_TEST_INPUT_QUIET") != nullptr;
  int n = 1;
  if (const char* text = std::getenv("MIDAVO_TEST_INPUT_COUNT")) n = std::atoi(text);
  *count = n > kMaxRecords ? kMaxRecords : n;
  return S_OK;
}

MD_EXPORT HRESULT MDCALL DLLGetInputInfo(int32_t index, TMDInputInfo* info) {
  Log("DLLGetInputInfo " + std::to_string(index));
  if (index < 0 || index >= kMaxRecords) return E_FAIL;
  *info = TMDInputInfo{gSource.c_str(), u"tests", 0x01000000, 0, kFactories[index]};
  return S_OK;
}
