#pragma once
// What a failed transfer means for its row: the text shown, whether the
// fault may pass (and when to ask again), and a full disk.

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <exception>
#include <string>

#include "http/httpclient.h"

namespace larkvale::queue {

// Why a transfer failed, and whether that may pass.
struct Failure {
  QString error;
  // A reset, a time-out, a busy or failing server: worth asking again
  // later. `reason` is what to show while waiting ("503 Service
  // Unavailable"), `retryAfterMs` the server's Retry-After, -1 without one.
  bool transient = false;
  QString reason;
  std::int64_t retryAfterMs = -1;
  bool diskFull = false;  // the error reads "Disk full: ..."
};
// The failure the client's exception `error` stands for; `client` (may be
// null) gives the reply's Retry-After, `part` the folder a full disk names.
Failure DescribeFailure(std::exception_ptr error, const http::TNetHTTP* client, const QString& part);

// A Retry-After value (delay-seconds or an HTTP date) as a wait from `now`,
// capped at `capMs`; -1 when it is neither. A date in the past is no wait.
std::int64_t RetryAfterMs(const std::string& value, const QDateTime& now, std::int64_t capMs = 5 * 60 * 1000);

// "Disk full: 12 MB free in <folder>" for a file in `folder`.
QString DiskFullText(const QString& folder);

}  // namespace larkvale::queue
