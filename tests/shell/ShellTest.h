// ShellTest.h - helpers of the shell tests: a temporary run folder (settings.ini, Modules/ with
// copies of test plug-ins, the plug-ins' call log) and the host started in this process with its
// real main form and control panel window.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QListWidget>
#include <QTabWidget>
#include <QStringList>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "controlpanel/UCPForm.h"
#include "core/UMainForm.h"

namespace shelltest {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Index of the first line containing `part`, or -1.
inline int LineOf(const std::vector<std::string>& lines, const std::string& part) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(part) != std::string::npos) return static_cast<int>(i);
  return -1;
}

// A run folder: <tmp>/midavo-shell-XXXXXX with Modules/ and the log file.
class TRunFolder {
 public:
  TRunFolder() {
    std::string pattern = (fs::temp_directory_path() / "midavo-shell-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
    fs::create_directory(FPath / "Modules");
  }
  ~TRunFolder() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  TRunFolder(const TRunFolder&) = delete;
  TRunFolder& operator=(const TRunFolder&) = delete;

  const fs::path& Path() const { return FPath; }
  fs::path Log() const { return FPath / "plugins.log"; }
  std::string LogText() const { return ReadFile(Log()); }
  std::string SettingsText() const { return ReadFile(FPath / "settings.ini"); }

  void AddPlugins(const std::vector<std::string>& names) {
    for (const std::string& name : names)
      fs::copy_file(fs::path(MIDAVO_TEST_PLUGINS_DIR) / (name + ".so"),
                    FPath / "Modules" / (name + ".so"));
  }
  void WriteSettings(const std::string& text) {
    std::ofstream(FPath / "settings.ini") << text;
  }

 private:
  fs::path FPath;
};

// The host in this process, started in a run folder: the current directory becomes the folder
// and the plug-ins log into its log file.
class THostTest : public ::testing::Test {
 protected:
  void StartHost(const std::vector<std::string>& plugins, const std::string& settings = "") {
    FOldDir = fs::current_path();
    FRun = std::make_unique<TRunFolder>();
    FRun->AddPlugins(plugins);
    if (!settings.empty()) FRun->WriteSettings(settings);
    fs::current_path(FRun->Path());
    ::setenv("MIDAVO_TEST_LOG", FRun->Log().c_str(), 1);
    FMain = std::make_unique<TMainForm>();
    FPanel = std::make_unique<TCPForm>();
    FMain->AttachControlPanel(FPanel.get());
  }

  void TearDown() override {
    if (FMain) FMain->FormClose();
    FPanel.reset();
    FMain.reset();
    ::unsetenv("MIDAVO_TEST_LOG");
    if (!FOldDir.empty()) fs::current_path(FOldDir);
    FRun.reset();
  }

  TMDKernel* Kernel() const { return FMain->Kernel(); }
  TCPForm* Panel() const { return FPanel.get(); }
  std::string LogText() const { return FRun->LogText(); }
  std::string SettingsText() const { return FRun->SettingsText(); }

  void Perform(int32_t code) {
    TMDMessage msg{};
    msg.Msg = MDM_ACTION;
    msg.Param1 = code;
    Kernel()->HandleMessage(&msg);
  }

  static bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000) {
    return QTest::qWaitFor(done, timeoutMs);
  }

  // Waits until the log holds a line containing `part`.
  bool WaitForLog(const std::string& part) {
    return WaitFor([&] { return LogText().find(part) != std::string::npos; });
  }

  void ShowPanel() {
    Perform(MDA_SHOW_CONTROL_PANEL);
    ASSERT_TRUE(WaitFor([&] { return Panel()->isVisible(); }));
  }

  // Waits until the window is hidden and every tab is gone (the pages' forms are freed).
  bool WaitHiddenAndCleared() {
    return WaitFor([&] { return !Panel()->isVisible() && Panel()->TabEntryCount() == 0; });
  }

  QStringList TabTitles() const {
    QStringList titles;
    TMDPageControl* tabs = Panel()->PageControl();
    for (int i = 0; i < tabs->count(); ++i) titles << tabs->tabText(i);
    return titles;
  }

  // Selects the tab of that title and returns its sheet.
  QWidget* OpenTab(const QString& title) {
    TMDPageControl* tabs = Panel()->PageControl();
    for (int i = 0; i < tabs->count(); ++i)
      if (tabs->tabText(i) == title) {
        tabs->setCurrentIndex(i);
        return tabs->widget(i);
      }
    return nullptr;
  }

  // The Modules page, with its "Property Pages" tab open.
  QWidget* OpenPropertyPagesTab() {
    QWidget* modules = OpenTab("Modules");
    auto* inner = Find<QTabWidget>(modules, "PageControl1");
    if (!inner) return nullptr;
    inner->setCurrentIndex(1);
    return modules;
  }

  // Clicks a check box where a user does: on its box, not in the empty room after its text.
  static void ClickCheckBox(QWidget* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
  }

  template <class W>
  W* Find(QWidget* in, const char* name) {
    return in ? in->findChild<W*>(QString::fromLatin1(name)) : nullptr;
  }

  static QStringList Items(QListWidget* list) {
    QStringList items;
    for (int i = 0; list && i < list->count(); ++i) items << list->item(i)->text();
    return items;
  }

  std::unique_ptr<TRunFolder> FRun;
  fs::path FOldDir;
  std::unique_ptr<TMainForm> FMain;
  std::unique_ptr<TCPForm> FPanel;
};

}  // namespace shelltest
