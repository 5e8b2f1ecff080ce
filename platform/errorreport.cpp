#include "platform/errorreport.h"

#include "platform/applog.h"

namespace larkvale::platform {

void ShowErrorReport(Dialogs& dialogs, const QString& title, const QString& message) {
  LogErrorReport(title, ErrorReportText(message));
  dialogs.ShowError(title, ErrorReportText(message));
}

}  // namespace larkvale::platform
