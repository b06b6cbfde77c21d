// The shell tests run with one application object for the whole program, on Qt's offscreen
// platform unless QT_QPA_PLATFORM names another (e.g. xcb under Xvfb).
#include <gtest/gtest.h>

#include "core/UMainForm.h"

namespace {
QtMessageHandler gQtHandler = nullptr;

// The offscreen platform warns on every raise() and lower(); that says nothing about the host.
void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (text.startsWith(QLatin1String("This plugin does not support"))) return;
  if (gQtHandler) gQtHandler(type, context, text);
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  gQtHandler = qInstallMessageHandler(&QuietHandler);
  ::testing::InitGoogleTest(&argc, argv);
  TMDApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
