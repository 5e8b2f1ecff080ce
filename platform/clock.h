#pragma once
// The program's one clock, for every timeout, pause and throttle measured
// in milliseconds.

#include <cstdint>

namespace larkvale::platform {

// Milliseconds of a monotonic clock; it does not wrap.
std::int64_t TickCountMs();

}  // namespace larkvale::platform
