// larkvale: the command line of Larkvale_HD. A QCoreApplication, so it runs
// without a display (in cron, over ssh, on a server).

#include <QCoreApplication>
#include <csignal>

#include "cli/commandline.h"
#include "cli/interrupt.h"
#include "platform/version.h"

int main(int argc, char** argv) {
  // A peer that closes a socket is an error of the transfer, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("larkvale"));
  QCoreApplication::setApplicationVersion(larkvale::platform::ProgramVersion());
  larkvale::cli::InstallInterruptHandler();
  return larkvale::cli::RunCommandLine(QCoreApplication::arguments());
}
