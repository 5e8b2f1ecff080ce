// One test executable for every folder. With the Qt parts built, a
// QApplication exists for the whole run so that widget tests can create real
// windows (headless through QT_QPA_PLATFORM=offscreen).
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#ifdef LARKVALE_TESTS_WITH_QT
#include <QApplication>
#endif

int main(int argc, char** argv) {
  // A peer closing a socket must surface as an error, never as a signal.
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  // Test servers live on loopback: a proxy from the developer's environment
  // must not stand between them and the client. Proxy tests set their own.
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"})
    unsetenv(name);
#ifdef LARKVALE_TESTS_WITH_QT
  // Every window a test creates starts its browser; it must not leave
  // 127.0.0.1. Tests that browse a site point these at it themselves.
  setenv("LARKVALE_START_PAGE", "about:blank", 1);
  setenv("LARKVALE_HOME_PAGE", "about:blank", 1);
  setenv("LARKVALE_SAMPLE_WATCH", "http://127.0.0.1:9/watch?v=sampleVideo", 1);
  // Chromium refuses to run as root with its sandbox on.
  if (::geteuid() == 0) setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The embedded browser shares its OpenGL contexts with the window.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Larkvale_HD");
#endif
  return RUN_ALL_TESTS();
}
