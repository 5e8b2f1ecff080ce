// One test executable for every folder. With the Qt parts built, a
// QApplication exists for the whole run so that widget tests can create real
// windows (headless through QT_QPA_PLATFORM=offscreen).
#include <gtest/gtest.h>

#include <csignal>

#ifdef LARKVALE_TESTS_WITH_QT
#include <QApplication>
#endif

int main(int argc, char** argv) {
  // A peer closing a socket must surface as an error, never as a signal.
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
#ifdef LARKVALE_TESTS_WITH_QT
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationName("Larkvale_HD");
#endif
  return RUN_ALL_TESTS();
}
