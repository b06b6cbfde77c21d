// The property page base, the host's page records and factories, and FormatVersion.
#include <gtest/gtest.h>

#include <QWindow>
#include <stdexcept>
#include <thread>

#include "controlpanel/kernel_page.h"
#include "core/UMDKernel.h"
#include "modules/mloader_form.h"
#include "modules/mloader_page.h"

namespace {

class TTestForm final : public TMDPropertyForm {
 public:
  using TMDPropertyForm::TMDPropertyForm;
  void ApplyChanges() override { ++Applied; }
  int Applied = 0;
};

class TTestPage final : public TMDBasePropertyPage {
 public:
  static inline int Alive = 0;
  TTestPage(IMDKernel* kernel, const TMDPageInfo* info) : TMDBasePropertyPage(kernel, info) {
    ++Alive;
  }
  ~TTestPage() override {
    ClosePage();
    --Alive;
  }
  HRESULT CreateForm(TMDPropertyForm*& form) override {
    if (Throw) throw std::runtime_error("no form today");
    form = new TTestForm(this);
    FormCreated();
    return S_OK;
  }
  TTestForm* TestForm() const { return static_cast<TTestForm*>(Form()); }
  bool Throw = false;
};

const TMDPageInfo kTestInfo{u"Test", u"A test page", u"", MDMakeVersion(1, 2, 3, 4), 0, 0,
                            nullptr, nullptr};

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FHost.resize(400, 300);
    FHost.show();
  }
  MDHANDLE Handle() { return static_cast<MDHANDLE>(FHost.winId()); }
  IUnknown* Owner() { return static_cast<IMDKernel*>(&FKernel); }

  TMDKernel FKernel{0, TMDMethod{nullptr, nullptr}};
  QWidget FHost;
};

TEST_F(PageTest, FormIsMadeOnDemandPlacedByHandleAndFreedOnClose) {
  TTestPage page(&FKernel, &kTestInfo);
  EXPECT_EQ(page.IsPageCreated(), 0);

  const TMDRect first{10, 20, 110, 220};
  ASSERT_EQ(page.ShowPage(Handle(), &first), S_OK);
  EXPECT_EQ(page.IsPageCreated(), 1);
  TTestForm* form = page.TestForm();
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->parentWidget(), &FHost);
  EXPECT_EQ(form->geometry(), QRect(10, 20, 100, 200));
  EXPECT_TRUE(form->isVisible());

  // Shown again in the same window: the same form, moved.
  const TMDRect second{5, 6, 305, 206};
  ASSERT_EQ(page.ShowPage(Handle(), &second), S_OK);
  EXPECT_EQ(page.TestForm(), form);
  EXPECT_EQ(form->geometry(), QRect(5, 6, 300, 200));

  // An all-zero rectangle: still a visible child of that window, with no size.
  const TMDRect none{0, 0, 0, 0};
  ASSERT_EQ(page.ShowPage(Handle(), &none), S_OK);
  EXPECT_EQ(page.TestForm(), form);
  EXPECT_EQ(form->parentWidget(), &FHost);
  EXPECT_EQ(form->size(), QSize(0, 0));
  EXPECT_TRUE(form->isVisible());

  // Applying reaches the form; the control panel relays it on the dispatch thread.
  TMDMessage apply{};
  apply.Msg = MDM_APPLY;
  std::thread([&] { EXPECT_EQ(page.HandleMessage(&apply), S_OK); }).join();
  EXPECT_EQ(form->Applied, 1);

  // No parent: the form goes and the answer is a failure, as the control panel expects.
  EXPECT_EQ(page.ShowPage(0, &none), E_FAIL);
  EXPECT_EQ(page.IsPageCreated(), 0);
  EXPECT_EQ(FHost.findChildren<TTestForm*>().size(), 0);

  ASSERT_EQ(page.ShowPage(Handle(), &first), S_OK);
  EXPECT_EQ(page.IsPageCreated(), 1);
  EXPECT_EQ(page.ClosePage(), S_OK);
  EXPECT_EQ(page.IsPageCreated(), 0);
  EXPECT_EQ(page.HandleMessage(&apply), S_OK);  // no form: nothing to apply
}

TEST_F(PageTest, PageWithoutFormFailsToShow) {
  struct TCase {
    const char* What;
    std::function<TMDBasePropertyPage*()> Make;
  };
  const TCase cases[] = {
      {"base page", [&] { return new TMDBasePropertyPage(&FKernel, &kTestInfo); }},
      {"raising CreateForm",
       [&] {
         auto* page = new TTestPage(&FKernel, &kTestInfo);
         page->Throw = true;
         return page;
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    std::unique_ptr<TMDBasePropertyPage> page(c.Make());
    const TMDRect area{0, 0, 100, 100};
    EXPECT_EQ(page->ShowPage(Handle(), &area), E_FAIL);
    EXPECT_EQ(page->IsPageCreated(), 0);
    EXPECT_EQ(page->ShowPage(0, &area), E_FAIL);
    EXPECT_TRUE(FHost.findChildren<TMDPropertyForm*>().isEmpty());
  }
  TMDBasePropertyPage base(&FKernel, &kTestInfo);
  const char16_t* title = nullptr;
  EXPECT_EQ(base.GetPageTitle(&title), S_OK);
  EXPECT_EQ(std::u16string(title), u"Not Implemented");
}

TEST_F(PageTest, FormFreedWithItsParentWindowIsForgotten) {
  TTestPage page(&FKernel, &kTestInfo);
  auto parent = std::make_unique<QWidget>(&FHost);
  const TMDRect area{0, 0, 50, 50};
  ASSERT_EQ(page.ShowPage(static_cast<MDHANDLE>(parent->winId()), &area), S_OK);
  parent.reset();
  EXPECT_EQ(page.IsPageCreated(), 0);
  EXPECT_EQ(page.Form(), nullptr);
}

TEST_F(PageTest, HostPageFactories) {
  struct TCase {
    TMDCreateFunc Create;
    const TMDPageInfo* Record;
    const char16_t* Title;
    const char16_t* Description;
  };
  const TCase cases[] = {
      {&CreateGeneralPage, &GeneralPageInfo, u"General", u"Basic Kernel Settings"},
      {&CreateModulesPage, &ModulesPageInfo, u"Modules", u"ModuleLoader Settings"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(MDToUtf8(c.Title));
    EXPECT_EQ(c.Record->CreatePage, c.Create);
    EXPECT_EQ(c.Record->Version, 0x01000000u);
    EXPECT_EQ(c.Record->Reserved1, -1);
    EXPECT_EQ(c.Record->Reserved2, 1);
    EXPECT_EQ(c.Record->Finalize, nullptr);

    void* obj = reinterpret_cast<void*>(1);
    EXPECT_EQ(c.Create(nullptr, &IID_IMDPropertyPage, &obj), E_FAIL);
    EXPECT_EQ(c.Create(Owner(), &IID_IMDModule, &obj), E_NOINTERFACE);
    EXPECT_EQ(obj, nullptr);

    ASSERT_EQ(c.Create(Owner(), &IID_IMDPropertyPage, &obj), S_OK);
    auto* page = static_cast<IMDPropertyPage*>(obj);
    TMDPageInfo info{};
    EXPECT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.Name), c.Title);
    EXPECT_EQ(std::u16string(info.Description), c.Description);
    const char16_t* title = nullptr;
    EXPECT_EQ(page->GetPageTitle(&title), S_OK);
    EXPECT_EQ(std::u16string(title), c.Title);
    const TMDRect area{0, 0, 420, 360};
    EXPECT_EQ(page->ShowPage(Handle(), &area), S_OK);
    EXPECT_EQ(page->IsPageCreated(), 1);
    EXPECT_EQ(page->Release(), 0u);  // the only reference; the form goes with the page
    EXPECT_TRUE(FHost.findChildren<TMDPropertyForm*>().isEmpty());
  }

  // A refused identity leaves no page alive.
  void* obj = nullptr;
  EXPECT_EQ(MDCreateHostPage<TTestPage>(Owner(), &IID_IMDModule, &obj, kTestInfo),
            E_NOINTERFACE);
  EXPECT_EQ(TTestPage::Alive, 0);
}

TEST(FormatVersionTest, FourBytesMostSignificantFirst) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0x01000000u, "1.0.0.0"},
      {0x0A0B0C0Du, "10.11.12.13"},
      {0u, "0.0.0.0"},
      {0xFFFFFFFFu, "255.255.255.255"},
      {MDMakeVersion(4, 0, 120, 7), "4.0.120.7"},
  };
  for (const auto& [version, text] : cases)
    EXPECT_EQ(FormatVersion(version).toStdString(), text) << std::hex << version;
}

TEST_F(PageTest, ModulesPageTakesTheLoaderOnlyFromItsOwnThread) {
  TMDModuleLoaderPropertyPage page(&FKernel, &ModulesPageInfo);
  auto* loader = reinterpret_cast<TMDModuleLoader*>(0x1000);
  TMDMessage msg{};
  msg.Msg = MDM_SET_LOADER;
  msg.Param4 = reinterpret_cast<uintptr_t>(loader);
  // Posted by anyone, the message reaches the page through the dispatch relay: ignored.
  std::thread([&] { EXPECT_EQ(page.HandleMessage(&msg), S_OK); }).join();
  EXPECT_EQ(page.Loader(), nullptr);
  EXPECT_EQ(page.HandleMessage(&msg), S_OK);
  EXPECT_EQ(page.Loader(), loader);
}

TEST_F(PageTest, FormGoesIntoAForeignNativeWindow) {
  // A native window that is no widget of ours; only platforms with foreign windows (xcb) can
  // adopt it.
  QWindow native;
  native.resize(300, 200);
  native.create();
  std::unique_ptr<QWindow> probe(QWindow::fromWinId(native.winId()));
  if (!probe) GTEST_SKIP() << "this Qt platform has no foreign windows";
  probe.reset();

  TTestPage page(&FKernel, &kTestInfo);
  const TMDRect area{4, 5, 104, 55};
  ASSERT_EQ(page.ShowPage(static_cast<MDHANDLE>(native.winId()), &area), S_OK);
  TTestForm* form = page.TestForm();
  ASSERT_NE(form, nullptr);
  ASSERT_NE(form->windowHandle(), nullptr);
  ASSERT_NE(form->windowHandle()->parent(), nullptr);
  EXPECT_EQ(form->windowHandle()->parent()->winId(), native.winId());
  EXPECT_EQ(form->size(), QSize(100, 50));
  EXPECT_EQ(page.ShowPage(0, &area), E_FAIL);
  EXPECT_EQ(page.IsPageCreated(), 0);
}

}  // namespace
