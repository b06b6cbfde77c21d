// The action input binder: binding tables in settings.ini, reported inputs, assignments, key
// deliveries, input libraries (real shared objects) and modules that report from their own
// threads while the binder is still loading.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/UMDHost.h"
#include "core/UMDKernel.h"
#include "input/UMDActionInput.h"
#include "input/UMDKeyState.h"
#include "modules/UMDModuleLoader.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A module that keeps the MDM_ACTION and MDM_INPUT_ASSIGNED messages it receives, and lets a
// test wait for a marker message that it posted after the calls it checks.
class TMessageLog final : public TMDComImpl<TMDComObject, IMDModule> {
 public:
  static constexpr uint32_t kMarker = MDM_UPDATE;

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDModule || iid == IID_IMDMessageSink) return MDHandOut<IMDModule>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override {
    std::lock_guard<std::mutex> guard(FMutex);
    if (msg->Msg == MDM_ACTION || msg->Msg == MDM_INPUT_ASSIGNED)
      FSeen.push_back({msg->Msg, msg->Param1});
    if (msg->Msg == kMarker) FMarker = msg->Param1;
    FChanged.notify_all();
    return S_OK;
  }
  HRESULT MDCALL GetModuleInfo(TMDModuleInfo*) override { return S_OK; }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL Stop() override { return S_OK; }
  HRESULT MDCALL QueryStopped() override { return S_OK; }

  // Everything kept up to a marker posted now, then forgets it.
  std::vector<std::pair<uint32_t, int32_t>> Drain(IMDKernel* kernel) {
    TMDMessage marker{};
    marker.Msg = kMarker;
    marker.Param1 = ++FLastMarker;
    kernel->HandleMessage(&marker);
    std::unique_lock<std::mutex> lock(FMutex);
    EXPECT_TRUE(FChanged.wait_for(lock, 10s, [&] { return FMarker == FLastMarker; }));
    std::vector<std::pair<uint32_t, int32_t>> seen;
    seen.swap(FSeen);
    return seen;
  }
  // Waits until a message with this id and Param1 arrived.
  bool WaitFor(uint32_t msg, int32_t param1) {
    std::unique_lock<std::mutex> lock(FMutex);
    return FChanged.wait_for(lock, 20s, [&] {
      for (const auto& m : FSeen)
        if (m.first == msg && m.second == param1) return true;
      return false;
    });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<std::pair<uint32_t, int32_t>> FSeen;
  int32_t FMarker = 0;
  int32_t FLastMarker = 0;
};

using TSeen = std::vector<std::pair<uint32_t, int32_t>>;
std::pair<uint32_t, int32_t> Action(int32_t code) { return {MDM_ACTION, code}; }
const std::pair<uint32_t, int32_t> kAssigned{MDM_INPUT_ASSIGNED, 0};

const TMDActionItem kPlay{u"Play", MDA_PLAY, MDA_PLAY};
const TMDActionItem kStop{u"Stop", MDA_STOP, MDA_STOP};
const TMDActionItem kPlayHigh{u"Play too", 0x10A01, 0x10A01};

// A kernel of its own in a temporary current directory, walked to KS_RUNNING with a message
// log registered as its one module.
class Binder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/midavo-binder-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    OldDir = fs::current_path();
    fs::current_path(Dir);
    fs::create_directory(Dir + "/Modules");
    ::setenv("MIDAVO_TEST_LOG", (Dir + "/calls.log").c_str(), 1);
  }
  void TearDown() override {
    // The binder is not counted: nothing may hold it past the kernel's Done.
    Input = nullptr;
    Sink = nullptr;
    MDStopHost(K);
    for (const char* name : {"MIDAVO_TEST_LOG", "MIDAVO_TEST_INPUT_SOURCE",
                             "MIDAVO_TEST_INPUT_COUNT", "MIDAVO_TEST_INPUT_QUIET"})
      ::unsetenv(name);
    fs::current_path(OldDir);
    fs::remove_all(Dir);
  }

  void WriteSettings(const std::string& text) { std::ofstream(Dir + "/settings.ini") << text; }
  std::string ReadSettings() {
    std::ifstream in(Dir + "/settings.ini");
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // The key=value lines of one section, in file order.
  std::vector<std::string> Section(const std::string& name) {
    std::istringstream in(ReadSettings());
    std::vector<std::string> lines;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] == '[') {
        inside = line == "[" + name + "]";
        continue;
      }
      if (inside && !line.empty()) lines.push_back(line);
    }
    return lines;
  }
  std::vector<std::string> CallLog() {
    std::ifstream in(Dir + "/calls.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  void AddPlugin(const std::string& name) {
    fs::copy_file(std::string(MIDAVO_TEST_PLUGINS_DIR) + "/" + name + ".so",
                  Dir + "/Modules/" + name + ".so");
  }

  // KS_STARTING, Init, the extra actions, (the module loader's Init), LoadInputs, KS_READY,
  // the message log registered, KS_RUNNING.
  void Start(std::initializer_list<TMDActionItem> actions, bool loadModules = false) {
    K = std::make_unique<TMDKernel>(0, TMDMethod{nullptr, nullptr});
    ASSERT_EQ(K->SetState(KS_STARTING), S_OK);
    ASSERT_EQ(K->Init(), S_OK);
    for (const TMDActionItem& item : actions) K->ActionList()->AddAction(&item);
    if (loadModules) K->ModuleLoader()->Init();
    ASSERT_NE(K->Binder(), nullptr);
    ASSERT_EQ(K->Binder()->LoadInputs(), S_OK);
    ASSERT_EQ(K->SetState(KS_READY), S_OK);
    ASSERT_EQ(K->RegisterModule(Log.Get()), S_OK);
    ASSERT_EQ(K->SetState(KS_RUNNING), S_OK);
    Input = TComPtr<IMDActionInput>::Query(Kernel());
    Sink = TComPtr<IMDInputSink>::Query(Kernel());
    ASSERT_TRUE(Input && Sink);
  }
  IMDKernel* Kernel() { return K.get(); }
  TSeen Drain() { return Log->Drain(Kernel()); }
  std::u16string Binding(const char16_t* source, int32_t code, HRESULT expect) {
    const char16_t* text = nullptr;
    EXPECT_EQ(Input->GetBinding(source, code, &text), expect) << MDToUtf8(source) << " " << code;
    return text ? text : u"<nil>";
  }

  std::string Dir;
  fs::path OldDir;
  std::unique_ptr<TMDKernel> K;
  TComPtr<TMessageLog> Log{new TMessageLog};
  TComPtr<IMDActionInput> Input;
  TComPtr<IMDInputSink> Sink;
};

TEST_F(Binder, ReportedInputPerformsTheFirstRowBoundToIt) {
  WriteSettings(
      "[Input.Keyboard]\n65026=Ctrl + P\n2561=X\n2562=X\n65535=\n[Input.Other]\n2562=Ctrl + P\n");
  Start({kPlay, kStop});
  using TReport = std::pair<const char16_t*, const char16_t*>;
  for (auto [source, input] : {TReport{u"Keyboard", u"Ctrl + P"},
                               TReport{u"Keyboard", u"ctrl + p"},  // names are compared exactly
                               TReport{u"Keyboard", u""},          // an empty name is no binding
                               TReport{u"Keyboard", nullptr},
                               TReport{u"Keyboard", u"Ctrl + Q"},
                               TReport{u"Other", u"Ctrl + P"},  // a section without a module
                               TReport{u"keyboard", u"Ctrl + P"},
                               TReport{nullptr, nullptr},
                               TReport{u"Keyboard", u"X"}})
    EXPECT_EQ(Input->ReportInput(source, input), S_OK);
  EXPECT_EQ(Drain(), (TSeen{Action(MDA_SHOW_CONTROL_PANEL), Action(MDA_PLAY)}));
}

TEST_F(Binder, AssignmentBindsTheNextInputOfItsSourceAndRewritesTheSection) {
  WriteSettings("[Input.Keyboard]\n65026=Ctrl + P\n[Kept]\na=1\n");
  Start({kPlay, kStop});

  // The pending code is cut to 16 bits; reports of other sources leave it pending.
  ASSERT_EQ(Input->BeginAssign(u"Keyboard", 0x10000 | MDA_PLAY), S_OK);
  Input->ReportInput(u"Mouse", u"SpaceBar");
  Input->ReportInput(u"keyboard", u"SpaceBar");
  EXPECT_EQ(Drain(), TSeen{});
  EXPECT_EQ(Binding(u"Keyboard", MDA_PLAY, S_FALSE), u"");

  ASSERT_EQ(Input->ReportInput(u"Keyboard", u"SpaceBar"), S_OK);
  EXPECT_EQ(Drain(), TSeen{kAssigned});  // and no action
  EXPECT_EQ(Binding(u"Keyboard", MDA_PLAY, S_OK), u"SpaceBar");
  // Every row is written, the key that was there in place, the others appended in row order.
  EXPECT_EQ(Section("Input.Keyboard"),
            (std::vector<std::string>{"65026=Ctrl + P", "65535=", "65027=", "2561=SpaceBar",
                                      "2562="}));
  EXPECT_EQ(Section("Kept"), std::vector<std::string>{"a=1"});

  // The assignment is over: the same input now performs the action.
  Input->ReportInput(u"Keyboard", u"SpaceBar");
  EXPECT_EQ(Drain(), TSeen{Action(MDA_PLAY)});

  // An empty source cancels a pending assignment.
  Input->BeginAssign(u"Keyboard", MDA_STOP);
  Input->BeginAssign(u"", 0);
  Input->ReportInput(u"Keyboard", u"SpaceBar");
  EXPECT_EQ(Drain(), TSeen{Action(MDA_PLAY)});

  // Binding a name that another action holds leaves that binding; the earlier row wins.
  Input->BeginAssign(u"Keyboard", MDA_STOP);
  Input->ReportInput(u"Keyboard", u"SpaceBar");
  Input->ReportInput(u"Keyboard", u"SpaceBar");
  EXPECT_EQ(Drain(), (TSeen{kAssigned, Action(MDA_PLAY)}));
  EXPECT_EQ(Binding(u"Keyboard", MDA_STOP, S_OK), u"SpaceBar");
  EXPECT_EQ(Binding(u"Keyboard", MDA_PLAY, S_OK), u"SpaceBar");
}

TEST_F(Binder, AssignmentToACodeWithoutARowStoresNothingButEnds) {
  Start({kPlay});
  const std::string before = ReadSettings();
  Input->BeginAssign(u"Keyboard", 0x1234);
  Input->ReportInput(u"Keyboard", u"Q");
  Input->ReportInput(u"Keyboard", u"Q");
  EXPECT_EQ(Drain(), TSeen{kAssigned});
  EXPECT_EQ(ReadSettings(), before);
  EXPECT_EQ(Binding(u"Keyboard", 0x1234, S_FALSE), u"");
}

TEST_F(Binder, GetAndSetBindingAnswerBySourceAndRow) {
  WriteSettings("[Input.Keyboard]\n65535=Ctrl + Q\n");
  Start({kPlay});
  EXPECT_EQ(Binding(u"Keyboard", MDA_SHUTDOWN, S_OK), u"Ctrl + Q");
  EXPECT_EQ(Binding(u"Keyboard", MDA_PLAY, S_FALSE), u"");
  EXPECT_EQ(Binding(u"Keyboard", 0x7777, S_FALSE), u"");
  EXPECT_EQ(Binding(u"Mouse", MDA_PLAY, E_FAIL), u"");
  EXPECT_EQ(Binding(nullptr, MDA_PLAY, E_FAIL), u"");
  EXPECT_EQ(Input->GetBinding(u"Keyboard", MDA_PLAY, nullptr), E_POINTER);

  const std::string before = ReadSettings();
  EXPECT_EQ(Input->SetBinding(u"Mouse", MDA_PLAY, u"Button 1"), E_FAIL);
  EXPECT_EQ(Input->SetBinding(u"Keyboard", 0x7777, u"Z"), S_OK);  // no row: nothing written
  EXPECT_EQ(ReadSettings(), before);

  // Unbinding writes an empty value.
  EXPECT_EQ(Input->SetBinding(u"Keyboard", 0xFFFF, u""), S_OK);
  EXPECT_EQ(Binding(u"Keyboard", MDA_SHUTDOWN, S_FALSE), u"");
  EXPECT_EQ(Section("Input.Keyboard"),
            (std::vector<std::string>{"65535=", "65026=", "65027=", "2561="}));
  EXPECT_EQ(Input->SetBinding(u"Keyboard", MDA_PLAY, nullptr), S_OK);

  // A text handed out stays readable while another thread asks for other bindings.
  const char16_t* mine = nullptr;
  Input->SetBinding(u"Keyboard", MDA_PLAY, u"P");
  ASSERT_EQ(Input->GetBinding(u"Keyboard", MDA_PLAY, &mine), S_OK);
  std::thread([&] {
    for (int i = 0; i < 50; ++i) {
      const char16_t* other = nullptr;
      Input->SetBinding(u"Keyboard", MDA_SHOW_CONTROL_PANEL, i % 2 ? u"Y" : u"Ctrl + Shift + Y");
      Input->GetBinding(u"Keyboard", MDA_SHOW_CONTROL_PANEL, &other);
    }
  }).join();
  EXPECT_EQ(std::u16string(mine), u"P");
}

TEST_F(Binder, CodesThatAgreeInTheLowSixteenBitsShareOneKey) {
  WriteSettings("[Input.Keyboard]\n2561=F5\n");
  Start({kPlay, kPlayHigh});
  // Both rows read the same key; the performed code is the row's 16-bit code.
  Input->ReportInput(u"Keyboard", u"F5");
  EXPECT_EQ(Drain(), TSeen{Action(MDA_PLAY)});
  // Changes reach the earlier row only...
  EXPECT_EQ(Input->SetBinding(u"Keyboard", 0x10A01, u"F6"), S_OK);
  EXPECT_EQ(Binding(u"Keyboard", 0x10A01, S_OK), u"F6");
  Input->ReportInput(u"Keyboard", u"F5");  // the later row still holds the old name
  Input->ReportInput(u"Keyboard", u"F6");
  EXPECT_EQ(Drain(), (TSeen{Action(MDA_PLAY), Action(MDA_PLAY)}));
  // ...and it is that row's name that the shared key keeps, so the change survives a restart.
  EXPECT_EQ(Section("Input.Keyboard"),
            (std::vector<std::string>{"2561=F6", "65535=", "65026=", "65027="}));
}

TEST_F(Binder, KeyPressesReachEveryModuleThatTakesThem) {
  // An input library whose module has the keyboard's source name and takes key presses too.
  ::setenv("MIDAVO_TEST_INPUT_SOURCE", "Keyboard", 1);
  ::setenv("MIDAVO_TEST_INPUT_QUIET", "1", 1);
  AddPlugin("input_thread");
  WriteSettings("[Input.Keyboard]\n65026=Ctrl + P\n2561=Y\n2562=Key 80\n");
  Start({kPlay, kStop});
  ASSERT_EQ(K->Binder()->ModuleCount(), 2);

  {
    TMDKeyStateScope ctrl(MDKS_CTRL);
    EXPECT_EQ(Sink->HandleInput('P', 0), S_OK);
  }
  // The keyboard (module 0) named the key first, then the library's module.
  EXPECT_EQ(Drain(), (TSeen{Action(MDA_SHOW_CONTROL_PANEL), Action(MDA_STOP)}));

  // Two tables of one source: look-ups and changes use the first, reports search both.
  Input->SetBinding(u"Keyboard", MDA_PLAY, u"X");
  EXPECT_EQ(Binding(u"Keyboard", MDA_PLAY, S_OK), u"X");
  Input->ReportInput(u"Keyboard", u"Y");  // only the second table still has it
  Input->ReportInput(u"Keyboard", u"X");
  EXPECT_EQ(Drain(), (TSeen{Action(MDA_PLAY), Action(MDA_PLAY)}));
  Input->BeginAssign(u"Keyboard", MDA_STOP);
  Input->ReportInput(u"Keyboard", u"Z");
  EXPECT_EQ(Drain(), TSeen{kAssigned});
  EXPECT_EQ(Binding(u"Keyboard", MDA_STOP, S_OK), u"Z");
}

TEST_F(Binder, InputLibrariesAreBoundByTheirExportsAndOnlyUnloaded) {
  AddPlugin("input_none");    // a module library without input exports
  AddPlugin("input_thread");  // an input library only
  Start({}, /*loadModules=*/true);
  EXPECT_EQ(K->Binder()->LibraryCount(), 1);
  EXPECT_EQ(K->Binder()->DescriptionCount(), 1);
  EXPECT_EQ(K->Binder()->ModuleCount(), 2);
  EXPECT_EQ(K->Binder()->ModulesFolder(), MDToUtf16(Dir) + u"/Modules");
  Input = nullptr;
  Sink = nullptr;
  MDStopHost(K);
  const std::vector<std::string> want = {
      // the module loader: input_none binds with no modules, input_thread fails to bind
      "input_none.so ApplicationInit", "input_none.so DLLGetModuleCount",
      "input_thread.so ApplicationInit", "input_thread.so ApplicationUninit",
      "input_thread.so unloaded",
      // the binder's scan: input_none is let go again, but stays loaded for the loader
      "input_none.so ApplicationInit", "input_thread.so ApplicationInit",
      "input_thread.so DLLGetInputCount", "input_thread.so DLLGetInputInfo 0",
      "input_thread.so CreateInput 0",
      // shut-down: the loader's libraries first, then the binder's, with no ApplicationUninit
      "input_none.so ApplicationUninit", "input_none.so unloaded", "input_thread.so Shutdown 0",
      "input_thread.so destroyed 0", "input_thread.so unloaded"};
  EXPECT_EQ(CallLog(), want);
}

TEST_F(Binder, ALibraryThatDescribesNoInputIsAskedForNoneAndLetGo) {
  ::setenv("MIDAVO_TEST_INPUT_COUNT", "-2", 1);
  AddPlugin("input_thread");
  Start({});
  EXPECT_EQ(K->Binder()->LibraryCount(), 0);
  EXPECT_EQ(K->Binder()->ModuleCount(), 1);  // the keyboard
  EXPECT_EQ(CallLog(), (std::vector<std::string>{"input_thread.so ApplicationInit",
                                                 "input_thread.so DLLGetInputCount",
                                                 "input_thread.so unloaded"}));
}

TEST_F(Binder, ModulesReportFromTheirThreadsWhileTheBinderLoadsAndAssigns) {
  ::setenv("MIDAVO_TEST_INPUT_COUNT", "8", 1);
  AddPlugin("input_thread");
  WriteSettings("[Input.Threaded]\n2561=Tick\n");
  Start({kPlay, kStop});
  ASSERT_EQ(K->Binder()->ModuleCount(), 9);
  EXPECT_TRUE(Log->WaitFor(MDM_ACTION, MDA_PLAY));

  // The main thread keeps using the binder while eight threads report.
  for (int i = 0; i < 20; ++i) {
    Input->BeginAssign(u"Keyboard", MDA_STOP);
    Input->BeginAssign(u"", 0);
    const char16_t* text = nullptr;
    Input->GetBinding(u"Threaded", MDA_PLAY, &text);
    EXPECT_EQ(std::u16string(text), u"Tick");
    Input->SetBinding(u"Threaded", MDA_SHUTDOWN, i % 2 ? u"A" : u"B");
    TMDKeyStateScope none(0);
    Sink->HandleInput('K', 0);
  }
  // A reporting thread takes a pending assignment of its source.
  Input->BeginAssign(u"Threaded", MDA_STOP);
  EXPECT_TRUE(Log->WaitFor(MDM_INPUT_ASSIGNED, 0));
  EXPECT_EQ(Binding(u"Threaded", MDA_STOP, S_OK), u"Tick");
  // Shut-down stops the threads while they report.
}

TEST_F(Binder, KernelHandsOutTheBinderBetweenInitAndDone) {
  K = std::make_unique<TMDKernel>(0, TMDMethod{nullptr, nullptr});
  void* out = this;
  EXPECT_EQ(K->QueryInterface(IID_IMDInputSink, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  K->SetState(KS_STARTING);
  K->Init();
  TMDActionInput* first = K->Binder();
  auto sink = TComPtr<IMDInputSink>::Query(Kernel());
  auto input = TComPtr<IMDActionInput>::Query(Kernel());
  ASSERT_TRUE(sink && input);
  EXPECT_EQ(static_cast<IMDInputSink*>(first), sink.Get());
  EXPECT_EQ(static_cast<IMDActionInput*>(first), input.Get());
  // Both interfaces are one object; its IUnknown is the owner its modules are given.
  EXPECT_EQ(TComPtr<IUnknown>::Query(sink.Get()).Get(), first->Identity());
  EXPECT_EQ(TComPtr<IUnknown>::Query(input.Get()).Get(), first->Identity());
  sink = nullptr;
  input = nullptr;
  K->SetState(KS_READY);
  K->SetState(KS_STOPPING);
  K->Done();
  EXPECT_EQ(K->Binder(), nullptr);
  out = this;
  EXPECT_EQ(K->QueryInterface(IID_IMDActionInput, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

// The road of a key press through the whole host: bound in settings.ini, handed to the kernel's
// IMDInputSink, performed by the control panel.
struct TShowRequests {
  static void Record(void* context, TMDControlPanel*, int32_t code) {
    auto* self = static_cast<TShowRequests*>(context);
    std::lock_guard<std::mutex> guard(self->Mutex);
    self->Codes.push_back(code);
    self->Changed.notify_all();
  }
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<int32_t> Codes;
};

TEST_F(Binder, BoundKeyPressHandedToTheKernelReachesTheControlPanel) {
  WriteSettings("[Input.Keyboard]\n65026=Ctrl + P\n");
  TShowRequests requests;
  TMDHostOptions options;
  options.ShowRequest = &TShowRequests::Record;
  options.ShowRequestContext = &requests;
  MDStartHost(K, options);
  auto sink = TComPtr<IMDInputSink>::Query(Kernel());
  ASSERT_TRUE(sink);
  {
    TMDKeyStateScope ctrl(MDKS_CTRL);
    EXPECT_EQ(sink->HandleInput('P', 0), S_OK);
  }
  sink->HandleInput('P', 0);  // without Ctrl: another input
  // A hide request posted afterwards marks the end of what the two key presses caused.
  TMDMessage hide{};
  hide.Msg = MDM_ACTION;
  hide.Param1 = MDA_HIDE_CONTROL_PANEL;
  K->HandleMessage(&hide);
  std::unique_lock<std::mutex> lock(requests.Mutex);
  EXPECT_TRUE(requests.Changed.wait_for(lock, 10s, [&] { return requests.Codes.size() >= 2; }));
  EXPECT_EQ(requests.Codes, (std::vector<int32_t>{MDA_SHOW_CONTROL_PANEL, MDA_HIDE_CONTROL_PANEL}));
}

}  // namespace
