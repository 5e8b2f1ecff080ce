#pragma once
// Small builders the pages share, so that every page looks alike: the
// program's icons, strips, captions and buttons with their names for
// screen readers. Also the handler guard every page runs its handlers in.

#include <QIcon>
#include <QLabel>
#include <QString>
#include <QToolButton>
#include <utility>

#include "app/sharedstate.h"
#include "platform/errorreport.h"
#include "platform/services.h"
#include "widgets/buttons.h"

namespace larkvale::app {

// The icon of the given name from the program's own set.
QIcon AppIcon(const QString& name);
// The colour the monochrome icons are drawn in under `palette`.
QColor InkFor(const QPalette& palette);

// A shaded strip across a page; `height` 0 leaves the height free.
QWidget* Strip(QWidget* parent, int height);
// A bold caption over a region.
QLabel* Caption(const QString& text, QWidget* parent);
// A text button named by its caption, with an optional icon.
widgets::StyledButton* TextButton(const QString& caption, const QString& objectName, QWidget* parent,
                                  const QString& icon = {});
// A flat icon button named `name`, which is also its tooltip.
QToolButton* IconButton(const QString& name, const QString& objectName, const QString& icon, QWidget* parent);

// Runs a handler's body behind the default error report: an exception ends
// the action with a stop box and the program carries on.
template <class Body>
bool Guarded(const platform::Services& services, Body&& body) {
  return platform::RunGuarded(*services.dialogs, QString::fromLatin1(kAppName), std::forward<Body>(body));
}

}  // namespace larkvale::app
