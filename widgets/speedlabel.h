#pragma once
// A small label beside the status line: the speed of the runner's download
// and the time it has left. Empty between downloads.

#include <QLabel>
#include <QTimer>
#include <cstdint>

#include "queue/ratemeter.h"

namespace larkvale::widgets {

class SpeedLabel : public QLabel {
  Q_OBJECT

 public:
  explicit SpeedLabel(QWidget* parent = nullptr, queue::RateMeter::Clock clock = {});

  // The transfer's work events.
  void Begin(std::int64_t announced);
  void Work(std::int64_t received);
  void End();

 private:
  void Refresh();

  queue::RateMeter meter_;
  // Redraws twice a second, also while no block arrives: the figure moves
  // on when a burst has ended, and falls when the transfer stalls.
  QTimer refresh_;
};

}  // namespace larkvale::widgets
