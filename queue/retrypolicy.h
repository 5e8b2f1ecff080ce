#pragma once
// When a download that met a passing fault (a reset, a time-out, a busy or
// failing server) is asked again: the window's runner and the command line
// keep to the same table. A server's Retry-After replaces the pause, capped
// by `RetryAfterMs` (five minutes).

#include <array>

namespace larkvale::queue {

// The pauses before the first, second and third retry; a fault still there
// after the third fails the download.
inline constexpr std::array<int, 3> kRetryPausesMs{1000, 4000, 15000};

}  // namespace larkvale::queue
