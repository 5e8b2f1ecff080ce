#pragma once
// Tool buttons as a screen reader presses them. The toolkit's own interface
// clicks a tool button inside the reader's request, so a button whose click
// runs long (Convert: the whole conversion; a button that opens a dialog)
// keeps the reader waiting for its answer, and it can ask nothing else until
// then. Here the Press (or Toggle) action only posts the click and answers at
// once; the click then runs from the event loop, as a key press's does.
// ShowMenu is posted the same way: the menu runs its own loop until it
// closes, and the reader must be free to walk it meanwhile (a button whose
// menu pops up at once gets the menu too, which the toolkit's action left
// shut).

#include <QAccessibleWidget>
#include <QToolButton>

namespace larkvale::widgets {

class AccessibleToolButton : public QAccessibleWidget {
 public:
  explicit AccessibleToolButton(QToolButton* button);

  QAccessible::Role role() const override;
  QString text(QAccessible::Text t) const override;
  QAccessible::State state() const override;

  // QAccessibleActionInterface (QAccessibleWidget is one).
  QStringList actionNames() const override;
  void doAction(const QString& actionName) override;
  QStringList keyBindingsForAction(const QString& actionName) const override;

 private:
  QToolButton* Button() const { return static_cast<QToolButton*>(widget()); }
  QString ClickAction() const;
  bool Clicks() const;  // false: the whole button opens its menu
};

// Installs the factory that hands out `AccessibleToolButton`s; once per
// process, before the first tool button is built (interfaces are made once
// per widget).
void InstallAccessibleButtons();

}  // namespace larkvale::widgets
