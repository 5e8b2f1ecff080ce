#pragma once
// The one clock for widgets whose contents change faster than anyone can
// read (the status line and the download grid during a transfer). They
// collect changes and show them together when the clock ticks, so that the
// window is drawn, composited and announced to screen readers once per tick,
// not once per widget and not once per received block. On a display without
// a graphics card (Xvfb, a remote desktop) one composited window costs
// milliseconds; a tick of kIntervalMs keeps that a small share of a core.

#include <QObject>
#include <QTimer>

namespace larkvale::widgets {

class DisplayFrame : public QObject {
  Q_OBJECT
 public:
  static constexpr int kIntervalMs = 50;

  static DisplayFrame& Instance();

  // Whether a tick is due: changes made now show at that tick. When none is
  // due, a change may show at once and call `Hold` so that the next ones wait.
  bool Pending() const { return timer_.isActive(); }
  // Starts the clock if it is idle: the next tick comes kIntervalMs from now.
  void Hold();

 signals:
  // Show what changed since the last tick (and `Hold` again if anything did).
  void tick();

 private:
  DisplayFrame();
  QTimer timer_;
};

}  // namespace larkvale::widgets
