#include <unistd.h>

#include <QApplication>
#include <csignal>

#include "app/mainwindow.h"
#include "platform/applog.h"
#include "platform/clipboard.h"
#include "platform/dialogs.h"
#include "platform/help.h"
#include "platform/shell.h"

int main(int argc, char** argv) {
  // Chromium refuses to run as root with its sandbox on.
  if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // A peer that closes a socket is an error of the transfer, not a signal.
  std::signal(SIGPIPE, SIG_IGN);

  // The embedded browser shares its OpenGL contexts with the window.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Larkvale_HD"));

  larkvale::platform::QtDialogs dialogs;
  larkvale::platform::QtClipboard clipboard;
  larkvale::platform::QtShell shell;
  larkvale::platform::QtHelp help;
  larkvale::platform::Services services{&dialogs, &clipboard, &shell, &help,
                                        larkvale::platform::Environment::FromProcess()};
  larkvale::platform::StartProcessLog(services.environment.appDir);

  larkvale::app::MainWindow window(services);
  dialogs.SetParent(&window);
  window.showMaximized();
  return app.exec();
}
