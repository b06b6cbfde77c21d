// The Qt tests of the input subsystem run with one application object for the whole program,
// on Qt's offscreen platform unless QT_QPA_PLATFORM names another.
#include <gtest/gtest.h>

#include "core/UMainForm.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  TMDApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
