#include "widgets/accessiblelabel.h"

#include "widgets/statuslabel.h"

#include <QEvent>
#include <QTextDocument>

namespace larkvale::widgets {

namespace {

// Labels announce nothing when their text changes under an accessible name.
// A changed text always repaints a shown label, so the repaint is where the
// change is noticed; a hidden label has nobody to tell.
class TextWatcher : public QObject {
 public:
  explicit TextWatcher(QLabel* label) : QObject(label), label_(label), last_(label->text()) {
    label->installEventFilter(this);
  }

  bool eventFilter(QObject*, QEvent* e) override {
    // Unnamed labels are named by their text, and the label reports that itself.
    if (e->type() == QEvent::Paint && label_->text() != last_ && !label_->accessibleName().isEmpty()) {
      const QString old = last_;
      last_ = label_->text();
      QAccessibleTextUpdateEvent update(label_, 0, old, last_);
      QAccessible::updateAccessibility(&update);
    }
    return false;
  }

 private:
  QLabel* label_;
  QString last_;
};

QAccessibleInterface* LabelFactory(const QString&, QObject* object) {
  auto* label = qobject_cast<QLabel*>(object);
  // Pictures keep the toolkit's own interface.
  if (!label || !label->pixmap().isNull()) return nullptr;
  return new AccessibleLabel(label);
}

}  // namespace

AccessibleLabel::AccessibleLabel(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {
  new TextWatcher(label);
}

void* AccessibleLabel::interface_cast(QAccessible::InterfaceType type) {
  if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
  return QAccessibleWidget::interface_cast(type);
}

QString AccessibleLabel::Text() const {
  // A status line shows its newest text at the next display frame; a screen
  // reader that asks meanwhile gets the newest text already.
  const auto* status = qobject_cast<const StatusLabel*>(Label());
  const QString raw = status ? status->Text() : Label()->text();
  const Qt::TextFormat format = Label()->textFormat();
  if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(raw))) return raw;
  QTextDocument document;
  document.setHtml(raw);
  return document.toPlainText();
}

QString AccessibleLabel::text(QAccessible::Text t) const {
  if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return Text();
  // The text doubles as the value, for readers that ask for one.
  if (t == QAccessible::Value) return Text();
  return QAccessibleWidget::text(t);
}

QAccessible::State AccessibleLabel::state() const {
  QAccessible::State s = QAccessibleWidget::state();
  s.readOnly = true;
  return s;
}

QList<QPair<QAccessibleInterface*, QAccessible::Relation>> AccessibleLabel::relations(
    QAccessible::Relation match) const {
  auto found = QAccessibleWidget::relations(match);
  // A caption labels the field it is the buddy of.
  if ((match & QAccessible::Labelled) && Label()->buddy()) {
    if (QAccessibleInterface* buddy = QAccessible::queryAccessibleInterface(Label()->buddy()))
      found.append({buddy, QAccessible::Labelled});
  }
  return found;
}

void AccessibleLabel::selection(int, int* startOffset, int* endOffset) const {
  *startOffset = 0;
  *endOffset = 0;
}

QString AccessibleLabel::text(int startOffset, int endOffset) const {
  const QString all = Text();
  if (endOffset < 0 || endOffset > all.size()) endOffset = int(all.size());
  if (startOffset < 0 || startOffset > endOffset) return {};
  return all.mid(startOffset, endOffset - startOffset);
}

QRect AccessibleLabel::characterRect(int) const { return {}; }

int AccessibleLabel::offsetAtPoint(const QPoint&) const { return -1; }

QString AccessibleLabel::attributes(int offset, int* startOffset, int* endOffset) const {
  *startOffset = offset;
  *endOffset = offset;
  return {};
}

void InstallAccessibleLabels() {
  static const bool installed = (QAccessible::installFactory(LabelFactory), true);
  Q_UNUSED(installed);
}

}  // namespace larkvale::widgets
