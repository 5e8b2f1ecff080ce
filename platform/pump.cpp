#include "platform/pump.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <thread>

namespace larkvale::platform {

namespace {
int gDepth = 0;
std::chrono::steady_clock::time_point gLastPass{};
}  // namespace

void ProcessMessages() {
  const auto now = std::chrono::steady_clock::now();
  if (now - gLastPass < std::chrono::milliseconds(kPumpIntervalMs)) return;
  gLastPass = now;
  ++gDepth;
  struct Leave {
    // Counted from the end of the pass: a slow pass is not followed by
    // another at once.
    ~Leave() {
      --gDepth;
      gLastPass = std::chrono::steady_clock::now();
    }
  } leave;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

int PumpDepth() { return gDepth; }

bool AtTopLevel() {
  // The application's own loop is level 1 (0 before it runs, as in tests).
  return gDepth == 0 && QThread::currentThread()->loopLevel() <= 1;
}

std::int64_t TickCountMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace larkvale::platform
