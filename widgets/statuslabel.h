#pragma once
#include <QLabel>
#include <QTimer>

namespace larkvale::widgets {

// A one-line status label for texts that change with every received block.
// `SetText` takes effect at once for `Text()`, but the label shows it at most
// once per frame: laying out, repainting and telling the accessibility bus
// thousands of times a second would cost more than the transfer it reports.
// A text set while the label is idle shows at once; texts set within a frame
// after that show together, the newest, at the frame's end.
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
  QTimer frame_;
};

}  // namespace larkvale::widgets
