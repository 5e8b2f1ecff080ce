#include "platform/shell.h"

#include <QDesktopServices>

namespace larkvale::platform {

void QtShell::Open(const QUrl& url) { QDesktopServices::openUrl(url); }

}  // namespace larkvale::platform
