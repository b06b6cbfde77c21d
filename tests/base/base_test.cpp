// Base objects, events, the message queue and the file and text helpers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "UMDBase.h"

namespace {

// A counted object that records its destruction.
struct TProbe final : TMDComImpl<TMDComObject, IMDMessageSink> {
  explicit TProbe(std::atomic<int>* destroyed) : Destroyed(destroyed) {}
  ~TProbe() override { ++*Destroyed; }
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDMessageSink) return MDHandOut<IMDMessageSink>(this, obj);
      return TMDComObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL HandleMessage(const TMDMessage*) override { return S_OK; }
  std::atomic<int>* Destroyed;
};

TEST(ObjectBases, BaseObjectIgnoresCountingAndAnswersOnlyIUnknown) {
  TBaseObject object;
  EXPECT_EQ(object.AddRef(), 1u);
  EXPECT_EQ(object.Release(), 1u);
  EXPECT_EQ(object.Release(), 1u);  // still usable
  void* out = &object;
  EXPECT_EQ(object.QueryInterface(IID_IMDKernel, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(object.QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(&object));
}

TEST(ObjectBases, ComObjectHasOneIdentityAndOneCount) {
  std::atomic<int> destroyed{0};
  auto probe = std::make_unique<TProbe>(&destroyed);
  IMDMessageSink* sink = nullptr;
  ASSERT_EQ(probe->QueryInterface(IID_IMDMessageSink, reinterpret_cast<void**>(&sink)), S_OK);
  TProbe* raw = probe.release();
  EXPECT_EQ(raw->RefCount(), 1);

  IUnknown* viaSink = nullptr;
  IUnknown* viaObject = nullptr;
  ASSERT_EQ(sink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaSink)), S_OK);
  ASSERT_EQ(raw->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaObject)), S_OK);
  EXPECT_EQ(viaSink, viaObject);
  EXPECT_EQ(raw->RefCount(), 3);

  void* none = raw;
  EXPECT_EQ(sink->QueryInterface(IID_IMDKernel, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  EXPECT_EQ(viaSink->Release(), 2u);
  EXPECT_EQ(viaObject->Release(), 1u);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(sink->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(ObjectBases, ConcurrentReleaseDestroysExactlyOnce) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> destroyed{0};
    auto* probe = new TProbe(&destroyed);
    constexpr int kThreads = 4, kRefs = 200;
    for (int i = 0; i < kThreads * kRefs; ++i) probe->AddRef();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < kRefs; ++i) probe->Release();
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(destroyed, 1);
  }
}

TEST(Events, ManualStaysSetAutoResetsOnWait) {
  TEvent manual(true), automatic(false);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  automatic.Set();
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(Events, WaitAnyPrefersTheFirstListed) {
  auto hub = std::make_shared<TEventHub>();
  TEvent first(true, hub), second(true, hub);
  EXPECT_EQ(TEvent::WaitAny({&first, &second}, 0), -1);
  second.Set();
  EXPECT_EQ(TEvent::WaitAny({&first, &second}, 0), 1);
  first.Set();
  EXPECT_EQ(TEvent::WaitAny({&first, &second}, 0), 0);
}

TMDMessage Message(uint32_t msg, int32_t p1 = 0, int32_t p2 = 0) {
  TMDMessage m{};
  m.Msg = msg;
  m.Param1 = p1;
  m.Param2 = p2;
  return m;
}

// Takes until a message arrives (a Take may come back empty-handed with E_FAIL).
int32_t TakeOne(TThreadCommandQueue& queue, TMDMessage* out) {
  for (;;) {
    const int32_t r = queue.Take(out);
    if (r != E_FAIL) return r;
  }
}

TEST(Queue, FourPostingThreadsLoseNothingAndKeepEachThreadsOrder) {
  TThreadCommandQueue queue;
  constexpr int kThreads = 4, kPerThread = 20000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const TMDMessage m = Message(0x100, t, i);
        queue.Post(&m);
      }
    });
  std::vector<int> next(kThreads, 0);
  for (int n = 0; n < kThreads * kPerThread; ++n) {
    TMDMessage m{};
    ASSERT_EQ(TakeOne(queue, &m), 0);
    ASSERT_EQ(m.Param2, next[m.Param1]) << "thread " << m.Param1;
    ++next[m.Param1];
  }
  for (auto& t : posters) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread);
}

TEST(Queue, TerminateWinsOverQueuedMessagesAndPostAfterwardsIsAccepted) {
  auto queue = std::make_unique<TThreadCommandQueue>();
  for (int i = 0; i < 3; ++i) {
    const TMDMessage m = Message(0x100, i);
    queue->Post(&m);
  }
  TMDMessage m{};
  ASSERT_EQ(queue->Take(&m), 0);
  EXPECT_EQ(m.Param1, 0);
  queue->Terminate();
  const TMDMessage late = Message(0x101);
  queue->Post(&late);
  EXPECT_EQ(queue->Take(&m), 1);
  EXPECT_EQ(queue->Take(&m), 1);
  queue.reset();  // frees the three messages never taken (ASan checks)
}

TEST(Queue, TakeBlocksUntilPostOrTerminate) {
  TThreadCommandQueue queue;
  auto taken = std::async(std::launch::async, [&] {
    TMDMessage m{};
    return std::make_pair(TakeOne(queue, &m), m.Param1);
  });
  EXPECT_EQ(taken.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  const TMDMessage m = Message(0x100, 42);
  queue.Post(&m);
  EXPECT_EQ(taken.get(), std::make_pair(0, 42));

  auto terminated = std::async(std::launch::async, [&] {
    TMDMessage out{};
    return TakeOne(queue, &out);
  });
  EXPECT_EQ(terminated.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  queue.Terminate();
  EXPECT_EQ(terminated.get(), 1);
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/midavo-base-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::string Dir;
};

TEST_F(Files, FileAgePacksLocalTimeAsDosDateTime) {
  const std::string file = Dir + "/a.so";
  std::ofstream(file) << "x";
  // 2024-03-05 14:32:06 local time.
  std::tm t{};
  t.tm_year = 124;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 14;
  t.tm_min = 32;
  t.tm_sec = 6;
  t.tm_isdst = -1;
  const time_t when = std::mktime(&t);
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  const uint32_t date = (2024 - 1980) << 9 | 3 << 5 | 5;
  const uint32_t time = 14 << 11 | 32 << 5 | 3;
  EXPECT_EQ(static_cast<uint32_t>(FileAge(MDToUtf16(file).c_str())), date << 16 | time);
  EXPECT_EQ(FileAge(MDToUtf16(Dir + "/*.so").c_str()), FileAge(MDToUtf16(file).c_str()));

  struct timespec old[2] = {{0, 0}, {0, 0}};  // 1970: outside the DOS range
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
  EXPECT_EQ(FileAge(MDToUtf16(file).c_str()), -1);
  EXPECT_TRUE(FileExists(MDToUtf16(file).c_str()));  // still there
}

TEST_F(Files, FileExistsOnlyForFiles) {
  const std::string file = Dir + "/plug.so";
  std::ofstream(file) << "x";
  std::filesystem::create_directory(Dir + "/folder.so");
  std::filesystem::create_symlink(Dir + "/gone", Dir + "/dangling.so");
  std::filesystem::create_symlink(file, Dir + "/link.so");
  EXPECT_TRUE(FileExists(MDToUtf16(file).c_str()));
  EXPECT_TRUE(FileExists(MDToUtf16(Dir + "/link.so").c_str()));
  EXPECT_FALSE(FileExists(MDToUtf16(Dir + "/folder.so").c_str()));
  EXPECT_FALSE(FileExists(MDToUtf16(Dir + "/dangling.so").c_str()));
  EXPECT_FALSE(FileExists(MDToUtf16(Dir + "/missing.so").c_str()));
  EXPECT_FALSE(FileExists(static_cast<const char16_t*>(nullptr)));
}

TEST(Texts, StripSpacesRemovesBlanksOnly) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"Basic Kernel Settings", u"BasicKernelSettings"},
      {u"NoBlanks", u"NoBlanks"},
      {u"  a\tb \n", u"a\tb\n"},
      {u"", u""},
  };
  for (auto [in, want] : cases) {
    StripSpaces(in);
    EXPECT_EQ(in, want);
  }
}

TEST(Texts, Utf16AndUtf8RoundTripAndRepairBadInput) {
  const std::u16string samples[] = {u"", u"Play", u"Grüße", u"音楽", u"\U0001F3B5 note"};
  for (const auto& s : samples) EXPECT_EQ(MDToUtf16(MDToUtf8(s)), s);
  EXPECT_EQ(MDToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(MDToUtf16("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(MDToUtf16("\xC0\x80"), u"\uFFFD\uFFFD");  // overlong
  EXPECT_EQ(MDToUtf8(static_cast<const char16_t*>(nullptr)), "");
}

}  // namespace
