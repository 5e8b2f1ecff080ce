#include "app/pagewidgets.h"

// The icons are compiled into this static library; make sure the linker
// keeps them.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace larkvale::app {

QIcon AppIcon(const QString& name) {
  static const bool loaded = (InitIconResources(), true);
  Q_UNUSED(loaded);
  return QIcon(QStringLiteral(":/icons/%1.svg").arg(name));
}

QWidget* Strip(QWidget* parent, int height) {
  auto* strip = new QWidget(parent);
  strip->setProperty("strip", true);
  if (height > 0) strip->setFixedHeight(height);
  return strip;
}

QLabel* Caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setProperty("caption", true);
  return label;
}

widgets::StyledButton* TextButton(const QString& caption, const QString& objectName, QWidget* parent,
                                  const QString& icon) {
  auto* button = new widgets::StyledButton(caption, parent);
  button->setObjectName(objectName);
  button->setAccessibleName(caption);
  if (!icon.isEmpty()) button->setIcon(AppIcon(icon));
  return button;
}

QToolButton* IconButton(const QString& name, const QString& objectName, const QString& icon, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(objectName);
  button->setIcon(AppIcon(icon));
  button->setIconSize(QSize(22, 22));
  button->setAutoRaise(true);
  button->setToolTip(name);
  button->setAccessibleName(name);
  return button;
}

}  // namespace larkvale::app
