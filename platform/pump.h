#pragma once
// The one message pump. Long operations on the UI thread (transfers, saves,
// the runner's pause) call ProcessMessages from their progress callbacks, so
// any handler of the window may run nested inside them: callers re-check
// their state after each call.

#include <cstdint>

namespace larkvale::platform {

// Processes all pending window messages.
void ProcessMessages();

// Milliseconds of a monotonic clock; it does not wrap.
std::int64_t TickCountMs();

void SleepMs(int ms);

}  // namespace larkvale::platform
