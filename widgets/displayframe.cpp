#include "widgets/displayframe.h"

namespace larkvale::widgets {

DisplayFrame& DisplayFrame::Instance() {
  static DisplayFrame* frame = new DisplayFrame;  // lives as long as the process's event loop
  return *frame;
}

DisplayFrame::DisplayFrame() {
  timer_.setSingleShot(true);
  timer_.setInterval(kIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &DisplayFrame::tick);
}

void DisplayFrame::Hold() {
  if (!timer_.isActive()) timer_.start();
}

}  // namespace larkvale::widgets
