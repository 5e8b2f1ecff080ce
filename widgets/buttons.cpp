#include "widgets/buttons.h"

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
}

}  // namespace larkvale::widgets
