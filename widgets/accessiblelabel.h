#pragma once
// Labels that carry an accessible name of their own ("Status", "Duration")
// would otherwise hide their text from screen readers: the name replaces the
// text, and a plain label has no text interface. Installed once, before the
// first label is built, this gives every label a text interface with its
// current text, and tells the screen reader when the text of a named label
// changes. A label without a name of its own is named by its text, as usual.

#include <QAccessibleWidget>
#include <QLabel>

namespace larkvale::widgets {

class AccessibleLabel : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit AccessibleLabel(QLabel* label);

  void* interface_cast(QAccessible::InterfaceType type) override;
  QString text(QAccessible::Text t) const override;
  QAccessible::State state() const override;
  QList<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(QAccessible::Relation match) const override;

  // QAccessibleTextInterface: the label's plain text, read only.
  void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  QString text(int startOffset, int endOffset) const override;
  int characterCount() const override { return int(Text().size()); }
  QRect characterRect(int offset) const override;
  int offsetAtPoint(const QPoint& point) const override;
  void scrollToSubstring(int, int) override {}
  QString attributes(int offset, int* startOffset, int* endOffset) const override;

 private:
  QLabel* Label() const { return static_cast<QLabel*>(widget()); }
  QString Text() const;
};

// Installs the factory that hands out `AccessibleLabel`s; once per process.
void InstallAccessibleLabels();

}  // namespace larkvale::widgets
