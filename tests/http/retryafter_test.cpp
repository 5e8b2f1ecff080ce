// Retry-After values as waits: seconds, the three HTTP date forms, the cap,
// and text that is neither.
#include "http/retryafter.h"

#include <gtest/gtest.h>

namespace larkvale::http {
namespace {

// Sun, 06 Nov 1994 08:49:37 GMT.
constexpr std::int64_t kExample = 784111777;

TEST(HttpRetryAfter, SecondsAndDatesBecomeWaitsUpToTheCap) {
  const std::int64_t now = (kExample - 30) * 1000;  // 30 s before the example date
  const struct {
    const char* value;
    std::int64_t ms;
  } cases[] = {
      {"120", 120000},
      {" 5\t", 5000},
      {"0", 0},
      {"300", 300000},
      {"301", kRetryAfterCapMs},
      {"1000000000000", kRetryAfterCapMs},
      {"99999999999999999999999999", kRetryAfterCapMs},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 30000},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 30000},
      {"Sun Nov  6 08:49:37 1994", 30000},
      {"Sun Nov 6 08:49:37 1994", 30000},
      {"sun, 06 nov 1994 08:50:07 GMT", 60000},
      {"Sun, 06 Nov 1994 08:49:00 GMT", 0},  // in the past: no wait
      {"Mon, 06 Nov 1995 08:49:37 GMT", kRetryAfterCapMs},
      {"", -1},
      {"-5", -1},
      {"1.5", -1},
      {"soon", -1},
      {"Sun, 06 Nov 1994 08:49:37 CET", -1},
      {"Sun, 31 Feb 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
      {"Sun, 06 Nox 1994 08:49:37 GMT", -1},
      {"06 Nov 1994 08:49:37 GMT", -1},
      {"Sunday, 06-Nov-1994 08:49:37 GMT", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(RetryAfterMs(c.value, now), c.ms);
  }
  EXPECT_EQ(RetryAfterMs("600", now, 1000), 1000);
}

TEST(HttpRetryAfter, TwoDigitYearsAreNeverMoreThanFiftyYearsAhead) {
  const std::int64_t in2026 = 1781000000;  // June 2026
  const struct {
    const char* value;
    std::int64_t seconds;
  } cases[] = {
      {"Sunday, 06-Nov-94 08:49:37 GMT", kExample},
      {"Wednesday, 06-Nov-30 08:49:37 GMT", 1920185377},  // 2030
      {"Friday, 06-Nov-76 08:49:37 GMT", 3371878177},     // 2076: 50 years ahead at most
      {"Sunday, 06-Nov-77 08:49:37 GMT", 247654177},      // 1977, not 2077
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const auto got = ParseHttpDate(c.value, in2026);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, c.seconds);
  }
}

TEST(HttpRetryAfter, TheClockFormGivesAFutureDateItsWait) {
  // Far in the future: the cap, whatever the clock says today.
  EXPECT_EQ(RetryAfterMs("Fri, 31 Dec 9999 23:59:59 GMT"), kRetryAfterCapMs);
  EXPECT_EQ(RetryAfterMs("Thu, 01 Jan 1970 00:00:00 GMT"), 0);
  EXPECT_EQ(RetryAfterMs("7"), 7000);
}

}  // namespace
}  // namespace larkvale::http
