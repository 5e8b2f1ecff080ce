#include "widgets/statuslabel.h"

#include "widgets/displayframe.h"

namespace larkvale::widgets {

StatusLabel::StatusLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  // The text never changes the layout around it.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  connect(&DisplayFrame::Instance(), &DisplayFrame::tick, this, &StatusLabel::Show);
}

void StatusLabel::SetText(const QString& text) {
  pending_ = text;
  // No frame due: shown at once. Otherwise the next tick shows the newest.
  if (!DisplayFrame::Instance().Pending()) Show();
}

void StatusLabel::Show() {
  if (text() == pending_) return;  // nothing new: the label goes idle
  setText(pending_);
  DisplayFrame::Instance().Hold();  // later texts wait for the next tick
}

}  // namespace larkvale::widgets
