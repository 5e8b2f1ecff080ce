#pragma once
#include <QLabel>

namespace larkvale::widgets {

// A one-line status label for texts that change with every received block.
// `SetText` takes effect at once for `Text()`, but the label shows it at most
// once per display frame (see DisplayFrame): laying out, repainting and
// telling the accessibility bus thousands of times a second would cost more
// than the transfer it reports. A text set while no frame is due shows at
// once; texts set after that show together, the newest, at the next tick.
class StatusLabel : public QLabel {
  Q_OBJECT
 public:
  explicit StatusLabel(QWidget* parent = nullptr);
  void SetText(const QString& text);
  // The latest text, shown or about to be.
  QString Text() const { return pending_; }

 private:
  void Show();
  QString pending_;
};

}  // namespace larkvale::widgets
