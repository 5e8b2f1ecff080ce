#include "widgets/buttons.h"

#include <QPainter>

namespace larkvale::widgets {

StyledButton::StyledButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
  setCursor(Qt::PointingHandCursor);
  setProperty("styled", true);
}

void StyledButton::SetImages(const QList<QIcon>& images) {
  images_ = images;
  SetImageIndex(imageIndex_);
}

void StyledButton::SetImageIndex(int index) {
  imageIndex_ = index;
  setIcon(index >= 0 && index < images_.size() ? images_[index] : QIcon());
}

ImageButton::ImageButton(const QIcon& icon, const QString& name, const QSize& iconSize, QWidget* parent)
    : QToolButton(parent) {
  setIcon(icon);
  setIconSize(iconSize);
  setAutoRaise(true);
  setCursor(Qt::PointingHandCursor);
  setToolTip(name);
  setAccessibleName(name);
  setProperty("imageButton", true);
  setFocusPolicy(Qt::TabFocus);
}

void ImageButton::paintEvent(QPaintEvent* event) {
  QToolButton::paintEvent(event);
  if (!hasFocus()) return;
  // Drawn over the edge the button already has, so the mark moves nothing.
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
}

}  // namespace larkvale::widgets
