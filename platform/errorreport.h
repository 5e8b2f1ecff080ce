#pragma once
// The default error report: the one place where exceptions stop. Every
// handler entry of the window runs its body through `RunGuarded`, so no
// exception ever reaches Qt's event loop; the user sees a stop box with the
// error's text, and the program carries on with the state set so far.

#include <QString>
#include <exception>
#include <utility>

#include "platform/dialogs.h"
#include "platform/errors.h"

namespace larkvale::platform {

void ShowErrorReport(Dialogs& dialogs, const QString& title, const QString& message);

// Runs `body`; any exception is shown by the error report. Returns false when
// the body ended with an exception.
template <class Body>
bool RunGuarded(Dialogs& dialogs, const QString& title, Body&& body) {
  try {
    std::forward<Body>(body)();
    return true;
  } catch (const std::exception& e) {
    ShowErrorReport(dialogs, title, QString::fromUtf8(e.what()));
  } catch (...) {
    ShowErrorReport(dialogs, title, QStringLiteral("Unknown error"));
  }
  return false;
}

}  // namespace larkvale::platform
