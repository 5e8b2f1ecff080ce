#pragma once
// Shared by the window's source files only.

#include "app/Unit1.h"
#include "app/workfolders.h"
#include "platform/dialogs.h"
#include "platform/errorreport.h"

namespace larkvale::app {

template <class Body>
bool TForm1::Guard(Body&& body) {
  return platform::RunGuarded(*services_.dialogs, QString::fromLatin1(kAppName), std::forward<Body>(body));
}

}  // namespace larkvale::app
