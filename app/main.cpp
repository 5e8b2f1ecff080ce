#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>

#include "app/mainwindow.h"
#include "queue/proxychoice.h"
#include "browser/browserproxy.h"
#include "platform/applog.h"
#include "platform/clipboard.h"
#include "platform/dialogs.h"
#include "platform/help.h"
#include "platform/settings.h"
#include "platform/shell.h"
#include "platform/singleinstance.h"

int main(int argc, char** argv) {
  // Chromium refuses to run as root with its sandbox on.
  if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // A peer that closes a socket is an error of the transfer, not a signal.
  std::signal(SIGPIPE, SIG_IGN);

  // The embedded browser shares its OpenGL contexts with the window.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Larkvale_HD"));

  // One window per user: a later start hands its URL to the running one and
  // ends before it touches any folder.
  using larkvale::platform::SingleInstance;
  const QString url = larkvale::platform::UrlArgument(QApplication::arguments());
  SingleInstance instance;
  switch (instance.Claim(url)) {
    case SingleInstance::Role::HandedOff:
      return 0;
    case SingleInstance::Role::NoAnswer:
      std::fputs("Larkvale_HD: another Larkvale_HD is running but does not answer; not starting a second one.\n",
                 stderr);
      return 1;
    case SingleInstance::Role::Listening:
    case SingleInstance::Role::Alone:
      break;
  }

  larkvale::platform::QtDialogs dialogs;
  larkvale::platform::QtClipboard clipboard;
  larkvale::platform::QtShell shell;
  larkvale::platform::QtHelp help;
  larkvale::platform::Services services{&dialogs, &clipboard, &shell, &help,
                                        larkvale::platform::Environment::FromProcess()};
  larkvale::platform::StartProcessLog(services.environment.appDir);
  // Before the first web view: the browser engine reads its proxy once.
  const larkvale::http::TNetProxySetting proxy =
      larkvale::queue::StoredProxySetting(larkvale::platform::SettingsFilePath(services.environment.configHome));
  larkvale::http::SetProxySetting(proxy);
  larkvale::browser::ApplyBrowserProxy(proxy);

  larkvale::app::MainWindow window(services);
  dialogs.SetParent(&window);
  window.showMaximized();
  window.acceptHandOffs(instance);
  if (!url.isEmpty()) QTimer::singleShot(0, &window, [&window, url] { window.openUrl(url); });
  return app.exec();
}
