#include "widgets/accessiblebutton.h"

#include <QKeySequence>
#include <QMetaObject>

namespace larkvale::widgets {

namespace {

QString WithoutMnemonic(QString text) {
  // "&&" is a literal ampersand; a lone "&" marks the mnemonic.
  for (qsizetype i = 0; i < text.size(); ++i)
    if (text[i] == QLatin1Char('&')) text.remove(i, 1);
  return text;
}

QAccessibleInterface* ToolButtonFactory(const QString&, QObject* object) {
  auto* button = qobject_cast<QToolButton*>(object);
  return button ? new AccessibleToolButton(button) : nullptr;
}

}  // namespace

AccessibleToolButton::AccessibleToolButton(QToolButton* button)
    : QAccessibleWidget(button, QAccessible::Button) {}

QAccessible::Role AccessibleToolButton::role() const {
  // As the toolkit reads them; a menu or a check may come after the
  // interface was made, so the role is read each time.
  const QToolButton* b = Button();
  if (b->menu())
    return b->popupMode() == QToolButton::DelayedPopup ? QAccessible::ButtonDropDown : QAccessible::ButtonMenu;
  return b->isCheckable() ? QAccessible::CheckBox : QAccessible::Button;
}

QString AccessibleToolButton::text(QAccessible::Text t) const {
  switch (t) {
    case QAccessible::Name: {
      const QString name = Button()->accessibleName();
      return name.isEmpty() ? WithoutMnemonic(Button()->text()) : name;
    }
    case QAccessible::Accelerator:
      return QKeySequence::mnemonic(Button()->text()).toString(QKeySequence::NativeText);
    default:
      return QAccessibleWidget::text(t);
  }
}

QAccessible::State AccessibleToolButton::state() const {
  QAccessible::State s = QAccessibleWidget::state();
  const QToolButton* b = Button();
  s.checkable = b->isCheckable();
  s.checked = b->isChecked();
  s.pressed = b->isDown();
  s.hotTracked = b->autoRaise();
  s.hasPopup = b->menu() != nullptr;
  return s;
}

QString AccessibleToolButton::ClickAction() const {
  return Button()->isCheckable() ? toggleAction() : pressAction();
}

bool AccessibleToolButton::Clicks() const {
  return !Button()->menu() || Button()->popupMode() != QToolButton::InstantPopup;
}

QStringList AccessibleToolButton::actionNames() const {
  QStringList names;
  if (widget()->isEnabled()) {
    if (Button()->menu()) names << showMenuAction();
    if (Clicks()) names << ClickAction();
  }
  return names + QAccessibleWidget::actionNames();
}

void AccessibleToolButton::doAction(const QString& actionName) {
  // Posted: the reader gets its answer now, and the click or the menu runs
  // from the event loop. A button deleted meanwhile takes the post with it.
  if (actionName == showMenuAction() && Button()->menu()) {
    if (widget()->isEnabled()) QMetaObject::invokeMethod(Button(), &QToolButton::showMenu, Qt::QueuedConnection);
  } else if (actionName == ClickAction() && Clicks()) {
    if (widget()->isEnabled()) QMetaObject::invokeMethod(Button(), &QAbstractButton::click, Qt::QueuedConnection);
  } else {
    QAccessibleWidget::doAction(actionName);
  }
}

QStringList AccessibleToolButton::keyBindingsForAction(const QString& actionName) const {
  if (actionName == pressAction()) return {Button()->shortcut().toString()};
  return QAccessibleWidget::keyBindingsForAction(actionName);
}

void InstallAccessibleButtons() {
  static const bool installed = (QAccessible::installFactory(ToolButtonFactory), true);
  Q_UNUSED(installed);
}

}  // namespace larkvale::widgets
