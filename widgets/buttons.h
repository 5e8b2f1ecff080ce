#pragma once
// Styled buttons of the window. A button may carry a list of images and show
// one of them by index (the "Stop downloads" button switches between two).

#include <QIcon>
#include <QList>
#include <QPushButton>
#include <QToolButton>

namespace larkvale::widgets {

class StyledButton : public QPushButton {
  Q_OBJECT
 public:
  explicit StyledButton(const QString& caption, QWidget* parent = nullptr);
  void SetImages(const QList<QIcon>& images);
  void SetImageIndex(int index);
  int ImageIndex() const { return imageIndex_; }

 private:
  QList<QIcon> images_;
  int imageIndex_ = -1;
};

// A large picture button without a caption; its accessible name and hint
// say what it does. It takes the focus from the keyboard only, and then
// wears a frame in the palette's highlight colour, whatever the window's
// style sheet draws.
class ImageButton : public QToolButton {
  Q_OBJECT
 public:
  ImageButton(const QIcon& icon, const QString& name, const QSize& iconSize, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace larkvale::widgets
