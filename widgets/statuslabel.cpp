#include "widgets/statuslabel.h"

namespace larkvale::widgets {

StatusLabel::StatusLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  // The text never changes the layout around it.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  frame_.setSingleShot(true);
  frame_.setInterval(16);
  connect(&frame_, &QTimer::timeout, this, &StatusLabel::Show);
}

void StatusLabel::SetText(const QString& text) {
  pending_ = text;
  // Idle: shown at once. Otherwise the frame's end shows the newest text.
  if (!frame_.isActive()) Show();
}

void StatusLabel::Show() {
  if (text() == pending_) return;  // nothing new: the label goes idle
  setText(pending_);
  frame_.start();  // later texts within this frame wait for its end
}

}  // namespace larkvale::widgets
