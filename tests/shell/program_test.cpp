// The Midavo program itself, run as a child process in a run folder of its own.
#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <chrono>
#include <thread>

#include "ShellTest.h"

namespace {

using namespace shelltest;

struct TRun {
  int ExitCode = -1;
  bool Crashed = false;
  std::string Log;
  std::string Settings;
  std::string Errors;
};

// Starts Midavo in `folder`; `whileRunning` (if any) acts on the process, then it must end
// by itself within a minute.
TRun RunMidavo(TRunFolder& folder, const std::function<void(QProcess&)>& whileRunning = {},
               const QStringList& extraEnv = {}) {
  QProcess midavo;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("MIDAVO_TEST_LOG", QString::fromStdString(folder.Log().string()));
  for (const QString& pair : extraEnv) env.insert(pair.section('=', 0, 0), pair.section('=', 1));
  midavo.setProcessEnvironment(env);
  midavo.setWorkingDirectory(QString::fromStdString(folder.Path().string()));
  midavo.start(QStringLiteral(MIDAVO_OUT_DIR "/Midavo"), {});
  TRun run;
  if (!midavo.waitForStarted(30000)) return run;
  if (whileRunning) whileRunning(midavo);
  if (!midavo.waitForFinished(60000)) {
    midavo.kill();
    midavo.waitForFinished();
    run.Errors = "still running after a minute";
    return run;
  }
  run.Crashed = midavo.exitStatus() != QProcess::NormalExit;
  run.ExitCode = midavo.exitCode();
  run.Log = folder.LogText();
  run.Settings = folder.SettingsText();
  run.Errors += midavo.readAllStandardError().toStdString();
  return run;
}

void ExpectOrderlyStop(const TRun& run) {
  EXPECT_FALSE(run.Crashed) << run.Errors;
  EXPECT_EQ(run.ExitCode, 0) << run.Errors;
  EXPECT_NE(run.Settings.find("LastStarted="), std::string::npos) << run.Settings;
  EXPECT_NE(run.Settings.find("LastStopped="), std::string::npos) << run.Settings;
  // Every page is gone before the first library is told it is about to be unloaded.
  const auto lines = Lines(run.Log);
  const int uninit = LineOf(lines, "ApplicationUninit");
  ASSERT_GE(uninit, 0) << run.Log;
  for (const char* page : {"P0 destroyed", "P1 destroyed", "P2 destroyed"}) {
    const int destroyed = LineOf(lines, page);
    EXPECT_GE(destroyed, 0) << page << "\n" << run.Log;
    EXPECT_LT(destroyed, uninit) << page << "\n" << run.Log;
  }
}

TEST(ProgramTest, ShutdownApplicationStopsEverythingAndExitsZero) {
  TRunFolder folder;
  folder.AddPlugins({"qtpages", "shellbot"});
  const TRun run = RunMidavo(folder);
  ExpectOrderlyStop(run);

  // The bot saw the panel up (the pages had their forms), performed the shutdown, and was
  // stopped and released before its library was unloaded.
  const auto lines = Lines(run.Log);
  const int seen = LineOf(lines, "shellbot.so M0 panel seen");
  const int stop = LineOf(lines, "shellbot.so M0 Stop");
  const int destroyed = LineOf(lines, "shellbot.so M0 destroyed");
  const int uninit = LineOf(lines, "shellbot.so ApplicationUninit");
  ASSERT_GE(seen, 0) << run.Log;
  EXPECT_LT(seen, stop);
  EXPECT_LT(stop, destroyed);
  EXPECT_LT(destroyed, uninit);
  EXPECT_LT(LineOf(lines, "P0 form freed"), LineOf(lines, "P0 destroyed"));
}

TEST(ProgramTest, TerminationSignalStopsTheHostInOrder) {
  TRunFolder folder;
  folder.AddPlugins({"qtpages"});
  const TRun run = RunMidavo(folder, [&](QProcess& midavo) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (folder.SettingsText().find("LastStarted=") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(static_cast<pid_t>(midavo.processId()), SIGTERM);
  });
  ExpectOrderlyStop(run);
}

TEST(ProgramTest, RefusesToRunWithoutGLibEventLoop) {
  TRunFolder folder;
  const TRun run = RunMidavo(folder, {}, {"QT_NO_GLIB=1"});
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_NE(run.Errors.find("QT_NO_GLIB"), std::string::npos) << run.Errors;
  EXPECT_EQ(run.Settings.find("LastStarted"), std::string::npos) << "the host never started";
}

}  // namespace
