// The action list: append-only descriptions, names kept by pointer.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "input/UMDActionList.h"

namespace {

TComPtr<IMDActionList> NewList() {
  auto list = std::make_unique<TMDActionList>(nullptr);
  TComPtr<IMDActionList> out;
  EXPECT_EQ(list->QueryInterface(IID_IMDActionList, out.PutVoid()), S_OK);
  list.release();
  return out;
}

TEST(ActionList, EmptyListAnswersCountsAndRefusals) {
  auto list = NewList();
  EXPECT_EQ(list->GetActionCount(), 0);
  TMDActionItem item{u"untouched", 1, 2};
  for (uint32_t index : {0u, 1u, 0xFFFFFFFFu}) {
    EXPECT_EQ(list->GetAction(index, &item), E_FAIL);
    EXPECT_EQ(item.Id, 1);
  }
  EXPECT_EQ(list->RemoveLastAction(), S_FALSE);
  EXPECT_EQ(list->GetActionCount(), 0);
  EXPECT_EQ(list->AddAction(nullptr), E_FAIL);
  void* none = nullptr;
  EXPECT_EQ(list->QueryInterface(IID_IMDMessageSink, &none), E_NOINTERFACE);
}

TEST(ActionList, KeepsOrderDuplicatesAndTheNamePointer) {
  auto list = NewList();
  char16_t name[] = u"Play";
  const TMDActionItem play{name, 0x0A01, 0x0A01};
  const TMDActionItem stop{u"Stop", 7, 0x0A02};
  ASSERT_EQ(list->AddAction(&play), S_OK);
  ASSERT_EQ(list->AddAction(&play), S_OK);
  ASSERT_EQ(list->AddAction(&stop), S_OK);
  ASSERT_EQ(list->GetActionCount(), 3);
  TMDActionItem got{};
  ASSERT_EQ(list->GetAction(2, &got), S_OK);
  EXPECT_EQ(got.Id, 7);  // stored as given, never interpreted
  EXPECT_EQ(got.Code, 0x0A02);
  name[0] = u'p';  // only the pointer was copied
  ASSERT_EQ(list->GetAction(1, &got), S_OK);
  EXPECT_EQ(got.Name, name);
  EXPECT_EQ(std::u16string(got.Name), u"play");
  EXPECT_EQ(list->RemoveLastAction(), S_OK);
  EXPECT_EQ(list->GetActionCount(), 2);
}

TEST(ActionList, ConcurrentAddsAndReadsStayConsistent) {
  auto list = NewList();
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const TMDActionItem item{u"x", t, i};
        list->AddAction(&item);
        TMDActionItem read{};
        const int32_t count = list->GetActionCount();
        if (count > 0) EXPECT_EQ(list->GetAction(count - 1, &read), S_OK);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(list->GetActionCount(), kThreads * kEach);
}

}  // namespace
