// The Controls page in the real shell (offscreen): its list, Perform, Assign with the "Assign
// Input" pop-up, Erase, a page closed while the pop-up waits, and key presses handed to the
// kernel from a window.
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

#include "ShellTest.h"
#include "input/UMDKeyState.h"
#include "input/UMDQtKeys.h"
#include "input/ctrls_form.h"
#include "input/ctrls_info.h"
#include "input/ctrls_popupform.h"

namespace {

using namespace shelltest;

// A window of a plug-in that hands its key presses to the kernel, with nothing of the host but
// the translation: Shift and Ctrl come from the host's key-state query.
class TPluginWindow : public QWidget {
 public:
  explicit TPluginWindow(IMDKernel* kernel) : FSink(TComPtr<IMDInputSink>::Query(kernel)) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    TMDKeyDown key;
    if (FSink && MDTranslateKeyPress(event, &key) && key.Message == MD_WM_KEYDOWN)
      FSink->HandleInput(key.VirtualKey, key.Flags);
  }

 private:
  TComPtr<IMDInputSink> FSink;
};

class Controls : public THostTest {
 protected:
  // The host with the playback library, in a run folder of its own.
  void Start(const std::string& settings = "") {
    FOldDir = fs::current_path();
    FRun = std::make_unique<TRunFolder>();
    fs::copy_file(fs::path(MIDAVO_MODULES_DIR) / "vidcore.so",
                  FRun->Path() / "Modules" / "vidcore.so");
    if (!settings.empty()) FRun->WriteSettings(settings);
    fs::current_path(FRun->Path());
    FMain = std::make_unique<TMainForm>();
    FPanel = std::make_unique<TCPForm>();
    FMain->AttachControlPanel(FPanel.get());
  }

  TControlsForm* OpenControls() {
    ShowPanel();
    QWidget* sheet = OpenTab(QStringLiteral("Controls"));
    return sheet ? sheet->findChild<TControlsForm*>() : nullptr;
  }

  static QStringList Column(TControlsForm* form, int column) {
    QStringList texts;
    QTreeWidget* list = form->KeyListView();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      texts << list->topLevelItem(i)->text(column);
    return texts;
  }
  static QString Cell(TControlsForm* form, int row) {
    return form->KeyListView()->topLevelItem(row)->text(1);
  }
  static void Select(TControlsForm* form, int row) {
    QTreeWidget* list = form->KeyListView();
    list->clearSelection();
    if (row >= 0) list->topLevelItem(row)->setSelected(true);
  }
  // A key press and release as the window system would send them (modifier keys first).
  static void Key(QWidget* to, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::sendKeyEvent(QTest::Click, to, key, QString(), modifiers);
  }
  static void Click(QWidget* form, const char* button) {
    form->findChild<QPushButton*>(QString::fromLatin1(button))->click();
  }

  // Clicks "Assign"; once the pop-up waits, runs `inside` within its modal loop. Returns whether
  // the assignment ran and ended.
  bool Assign(QWidget* form, const std::function<void(TControlsPopUpForm*)>& inside) {
    bool ran = false;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (ran || !ControlsPopUpForm || !ControlsPopUpForm->isVisible()) return;
      ran = true;
      poll.stop();
      inside(ControlsPopUpForm);
    });
    poll.start();
    Click(form, "BAssign");
    return WaitFor([&] { return ran && !ControlsPopUpForm; });
  }

  std::u16string Binding(int32_t code) {
    auto binder = TComPtr<IMDActionInput>::Query(static_cast<IMDKernel*>(Kernel()));
    const char16_t* text = nullptr;
    binder->GetBinding(u"Keyboard", code, &text);
    return text ? text : u"";
  }
  std::vector<std::string> KeyboardSection() {
    std::vector<std::string> lines;
    bool inside = false;
    for (const std::string& line : Lines(SettingsText())) {
      if (!line.empty() && line[0] == '[') inside = line == "[Input.Keyboard]";
      else if (inside && !line.empty()) lines.push_back(line);
    }
    return lines;
  }
};

const QStringList kActionNames = {"Shutdown Application", "Show Control Panel",
                                  "Hide Control Panel",   "Play",
                                  "Stop",                 "Pause",
                                  "Close Media",          "Seek Forward",
                                  "Seek Backward"};

TEST_F(Controls, ListsEveryActionWithItsKeyboardBinding) {
  Start("[Input.Keyboard]\n65026=Ctrl + P\n2563=SpaceBar\n[Input.Other]\n2561=X\n");
  TControlsForm* form = OpenControls();
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(TabTitles(), (QStringList{"General", "Modules", "Controls"}));
  EXPECT_EQ(Column(form, 0), kActionNames);
  EXPECT_EQ(Column(form, 1), (QStringList{"", "Ctrl + P", "", "", "", "SpaceBar", "", "", ""}));
  QTreeWidget* list = form->KeyListView();
  EXPECT_EQ(list->headerItem()->text(0), "Action");
  EXPECT_EQ(list->headerItem()->text(1), "Input");
  EXPECT_EQ(list->columnWidth(0), 150);
  EXPECT_FALSE(form->findChild<QPushButton*>("Button1")->isEnabled());
  EXPECT_EQ(form->findChild<QPushButton*>("Button1")->text(), "Properties");
  EXPECT_EQ(form->findChild<QPushButton*>("Button2")->text(), "Perform");
}

TEST_F(Controls, AssignTakesTheNextKeyAndStoresIt) {
  Start();
  TControlsForm* form = OpenControls();
  ASSERT_NE(form, nullptr);
  Select(form, 3);  // Play
  QString title, label;
  ASSERT_TRUE(Assign(form, [&](TControlsPopUpForm* popup) {
    title = popup->windowTitle();
    label = popup->findChild<QLabel*>("Label1")->text();
    Key(popup, Qt::Key_Space);  // closes it by itself
  }));
  EXPECT_EQ(title, "Assign Input");
  EXPECT_EQ(label, "Waiting For Input ...");
  EXPECT_EQ(Cell(form, 3), "SpaceBar");
  EXPECT_EQ(Binding(MDA_PLAY), u"SpaceBar");
  EXPECT_EQ(KeyboardSection(), (std::vector<std::string>{"65535=", "65026=", "65027=",
                                                         "2561=SpaceBar", "2562=", "2563=",
                                                         "2564=", "2565=", "2566="}));
}

TEST_F(Controls, EveryKeyIsTakenButSystemKeys) {
  Start();
  TControlsForm* form = OpenControls();
  ASSERT_NE(form, nullptr);
  struct TCase {
    Qt::Key Key;
    Qt::KeyboardModifiers Modifiers;
    QString Name;
  };
  const TCase cases[] = {{Qt::Key_Escape, Qt::NoModifier, "ESC"},
                         {Qt::Key_Return, Qt::NoModifier, "Enter"},
                         {Qt::Key_Tab, Qt::NoModifier, "TAB"},
                         {Qt::Key_P, Qt::ShiftModifier | Qt::ControlModifier, "Shift + Ctrl + P"},
                         {Qt::Key_5, Qt::KeypadModifier, "Numpad 5"}};
  int row = 3;
  for (const TCase& c : cases) {
    Select(form, row);
    bool stayedOpen = false;
    ASSERT_TRUE(Assign(form, [&](TControlsPopUpForm* popup) {
      // A system key and the modifier keys alone are no input: the pop-up keeps waiting.
      Key(popup, Qt::Key_X, Qt::AltModifier);
      Key(popup, Qt::Key_F10);
      Key(popup, Qt::Key_Control);
      QTest::qWait(50);
      stayedOpen = popup->isVisible();
      Key(popup, c.Key, c.Modifiers);
    })) << c.Name.toStdString();
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(Cell(form, row), c.Name);
    ++row;
  }
}

TEST_F(Controls, CloseEndsTheAssignmentWithoutABinding) {
  Start("[Input.Keyboard]\n2561=F5\n");
  TControlsForm* form = OpenControls();
  ASSERT_NE(form, nullptr);
  Select(form, 3);
  const std::string before = SettingsText();
  ASSERT_TRUE(Assign(form, [&](TControlsPopUpForm* popup) { Click(popup, "BClose"); }));
  EXPECT_EQ(Cell(form, 3), "F5");
  EXPECT_EQ(SettingsText(), before);
  // Nothing stays pending: the next input is an ordinary one and binds nothing.
  auto binder = TComPtr<IMDActionInput>::Query(static_cast<IMDKernel*>(Kernel()));
  binder->ReportInput(u"Keyboard", u"Q");
  EXPECT_EQ(Binding(MDA_PLAY), u"F5");
  EXPECT_EQ(SettingsText(), before);
}

TEST_F(Controls, EraseUnbindsAndWithoutASelectionNothingHappens) {
  Start("[Input.Keyboard]\n65026=Ctrl + P\n");
  TControlsForm* form = OpenControls();
  ASSERT_NE(form, nullptr);
  const std::string before = SettingsText();
  Select(form, -1);
  Click(form, "BErase");
  Click(form, "BAssign");
  QTest::qWait(50);
  EXPECT_EQ(ControlsPopUpForm, nullptr);
  EXPECT_EQ(SettingsText(), before);

  Select(form, 1);
  Click(form, "BErase");
  EXPECT_EQ(Cell(form, 1), "");
  EXPECT_EQ(Binding(MDA_SHOW_CONTROL_PANEL), u"");
  EXPECT_EQ(KeyboardSection()[0], "65026=");
}

TEST_F(Controls, PerformPostsTheActionOfTheRow) {
  Start();
  // The page's form in a window of its own while the control panel is closed.
  TComPtr<IMDPropertyPage> page;
  ASSERT_EQ(CreateControlsPage(static_cast<IMDKernel*>(Kernel()), &IID_IMDPropertyPage,
                               page.PutVoid()),
            S_OK);
  QWidget window;
  window.resize(420, 360);
  window.show();
  const TMDRect rect{0, 0, 420, 360};
  ASSERT_EQ(page->ShowPage(window.winId(), &rect), S_OK);
  auto* form = window.findChild<TControlsForm*>();
  ASSERT_NE(form, nullptr);
  ASSERT_EQ(Column(form, 0), kActionNames);
  Select(form, -1);
  Click(form, "Button2");
  QTest::qWait(50);
  EXPECT_FALSE(Panel()->isVisible());
  Select(form, 1);  // Show Control Panel
  Click(form, "Button2");
  EXPECT_TRUE(WaitFor([&] { return Panel()->isVisible(); }));
  Select(form, 2);  // Hide Control Panel
  Click(form, "Button2");
  EXPECT_TRUE(WaitFor([&] { return !Panel()->isVisible(); }));
  page->ClosePage();
}

TEST_F(Controls, PageClosedWhileThePopUpWaitsEndsTheAssignment) {
  Start();
  TControlsForm* form = OpenControls();
  ASSERT_NE(form, nullptr);
  Select(form, 3);
  QPointer<TControlsForm> watched(form);
  ASSERT_TRUE(Assign(form, [&](TControlsPopUpForm*) {
    Perform(MDA_HIDE_CONTROL_PANEL);
    ASSERT_TRUE(WaitHiddenAndCleared());
  }));
  EXPECT_TRUE(watched.isNull());  // the form went while its handler waited
  // The assignment was cancelled: a key now is an ordinary input.
  auto sink = TComPtr<IMDInputSink>::Query(static_cast<IMDKernel*>(Kernel()));
  sink->HandleInput(' ', 0);
  EXPECT_EQ(Binding(MDA_PLAY), u"");
  // The page works again when the panel opens again.
  form = OpenControls();
  ASSERT_NE(form, nullptr);
  Select(form, 3);
  ASSERT_TRUE(Assign(form, [&](TControlsPopUpForm* popup) { Key(popup, Qt::Key_F7); }));
  EXPECT_EQ(Cell(form, 3), "F7");
}

TEST_F(Controls, HostShutDownWhileThePopUpWaitsLeavesNothingBehind) {
  // The host goes down inside the pop-up's modal wait: the binder and the kernel are freed
  // before the Assign handler resumes, which then must touch none of them. Run in a child
  // process of its own, since the shut-down ends the application's event loops for good.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Start();
        TControlsForm* form = OpenControls();
        if (!form) _exit(3);
        Select(form, 3);
        const bool ended = Assign(form, [&](TControlsPopUpForm*) {
          Perform(MDA_SHUTDOWN);
          WaitFor([&] { return Kernel() == nullptr; });
        });
        _exit(ended && Kernel() == nullptr ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Controls, BoundKeyPressHandedToTheKernelOpensTheControlPanel) {
  Start("[Input.Keyboard]\n65026=Ctrl + P\n");
  ASSERT_FALSE(Panel()->isVisible());
  TPluginWindow window(Kernel());
  window.show();
  Key(&window, Qt::Key_P);  // no binding
  QTest::qWait(50);
  EXPECT_FALSE(Panel()->isVisible());
  Key(&window, Qt::Key_P, Qt::ControlModifier);
  EXPECT_TRUE(WaitFor([&] { return Panel()->isVisible(); }));
}

}  // namespace
