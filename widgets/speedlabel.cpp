#include "widgets/speedlabel.h"

namespace larkvale::widgets {

SpeedLabel::SpeedLabel(QWidget* parent, queue::RateMeter::Clock clock) : QLabel(parent), meter_(std::move(clock)) {
  refresh_.setInterval(500);
  connect(&refresh_, &QTimer::timeout, this, &SpeedLabel::Refresh);
}

void SpeedLabel::Begin(std::int64_t announced) {
  meter_.Start(announced);
  refresh_.start();
  Refresh();
}

void SpeedLabel::Work(std::int64_t received) {
  meter_.Update(received);
  if (!refresh_.isActive()) {  // a transfer whose begin was not seen
    refresh_.start();
    Refresh();
  }
}

void SpeedLabel::End() {
  refresh_.stop();
  clear();
}

void SpeedLabel::Refresh() {
  setText(meter_.Text());
}

}  // namespace larkvale::widgets
