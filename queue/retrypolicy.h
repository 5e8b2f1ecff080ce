#pragma once
// When a download that met a passing fault (a reset, a time-out, a busy or
// failing server) is asked again: the window's runner and the command line
// keep to the same table. A server's Retry-After replaces the pause, capped
// by `RetryAfterMs` (five minutes).

#include <QString>
#include <algorithm>
#include <array>
#include <cstdint>

namespace larkvale::queue {

// The pauses before the first, second and third retry; a fault still there
// after the third fails the download.
inline constexpr std::array<int, 3> kRetryPausesMs{1000, 4000, 15000};

// What a row waiting for its retry says: "Retrying in 4 s (503 Service
// Unavailable)", the wait in whole seconds rounded up.
inline QString RetryText(std::int64_t waitMs, const QString& reason) {
  return QStringLiteral("Retrying in %1 s (%2)").arg((std::max<std::int64_t>(waitMs, 1) + 999) / 1000).arg(reason);
}

}  // namespace larkvale::queue
