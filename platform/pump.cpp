#include "platform/pump.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdint>
#include <limits>

#include "platform/clock.h"

namespace larkvale::platform {

namespace {
int gDepth = 0;
std::int64_t gLastPassMs = std::numeric_limits<std::int64_t>::min() / 2;  // long ago
}  // namespace

void ProcessMessages() {
  const std::int64_t now = TickCountMs();
  if (now - gLastPassMs < kPumpIntervalMs) return;
  gLastPassMs = now;
  ++gDepth;
  struct Leave {
    // Counted from the end of the pass: a slow pass is not followed by
    // another at once.
    ~Leave() {
      --gDepth;
      gLastPassMs = TickCountMs();
    }
  } leave;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

PumpScope::PumpScope() { ++gDepth; }

PumpScope::~PumpScope() { --gDepth; }

bool AtTopLevel() {
  // The application's own loop is level 1 (0 before it runs, as in tests).
  return gDepth == 0 && QThread::currentThread()->loopLevel() <= 1;
}

}  // namespace larkvale::platform
