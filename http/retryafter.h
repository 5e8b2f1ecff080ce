// Retry-After (RFC 9110 §10.2.3): how long a server asks us to wait before
// trying again, given as a number of seconds or as an HTTP date. One reader
// for everything that retries (whole files, stream pieces), so that both
// honour the same forms and the same cap.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace larkvale::http {

// The longest wait a server can make us take; beyond it the retry comes
// anyway (a value meant as "never" must not hang a download).
inline constexpr std::int64_t kRetryAfterCapMs = 5 * 60 * 1000;

// An HTTP date (RFC 9110 §5.6.7) in seconds since 1970-01-01 UTC: the
// IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT") and the two obsolete forms,
// RFC 850 ("Sunday, 06-Nov-94 08:49:37 GMT") and asctime ("Sun Nov  6
// 08:49:37 1994"). A two-digit year that would lie more than 50 years after
// `nowSeconds` is taken in the past century, as the RFC asks. Nothing for
// any other text.
std::optional<std::int64_t> ParseHttpDate(std::string_view text, std::int64_t nowSeconds);

// The wait a Retry-After value asks for, in milliseconds from `nowMs`
// (milliseconds since 1970-01-01 UTC), at most `capMs`; a date in the past
// is no wait. -1 when the value is neither a number of seconds nor a date.
std::int64_t RetryAfterMs(std::string_view value, std::int64_t nowMs, std::int64_t capMs = kRetryAfterCapMs);

// The same, from the system clock.
std::int64_t RetryAfterMs(std::string_view value);

}  // namespace larkvale::http
