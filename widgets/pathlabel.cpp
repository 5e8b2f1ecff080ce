#include "widgets/pathlabel.h"

#include <QFontMetrics>

namespace larkvale::widgets {

PathLabel::PathLabel(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }

void PathLabel::SetPath(const QString& path) {
  path_ = path;
  setToolTip(path);
  setAccessibleDescription(path);
  Elide();
}

QSize PathLabel::minimumSizeHint() const { return {20, QLabel::minimumSizeHint().height()}; }

void PathLabel::resizeEvent(QResizeEvent* e) {
  QLabel::resizeEvent(e);
  Elide();
}

void PathLabel::Elide() { setText(fontMetrics().elidedText(path_, Qt::ElideMiddle, qMax(20, width()))); }

}  // namespace larkvale::widgets
