#include "http/retryafter.h"

#include <chrono>
#include <string>
#include <vector>

namespace larkvale::http {
namespace {

constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr const char* kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
constexpr const char* kLongDays[] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != b[i]) return false;
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Exactly `digits` decimal digits (any count from 1 to `digits` when
// `exact` is off).
std::optional<int> Digits(std::string_view s, std::size_t digits, bool exact = true) {
  if (s.empty() || s.size() > digits || (exact && s.size() != digits)) return std::nullopt;
  int v = 0;
  for (const char c : s) {
    if (!IsDigit(c)) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

int MonthOf(std::string_view s) {
  for (int i = 0; i < 12; ++i)
    if (SameWord(s, kMonths[i])) return i + 1;
  return 0;
}

template <std::size_t N>
bool OneOf(std::string_view s, const char* const (&names)[N]) {
  for (const char* n : names)
    if (SameWord(s, n)) return true;
  return false;
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size() && out.size() < 8) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDaysIn[m - 1];
}

std::int64_t YearOf(std::int64_t unixSeconds) {
  // Good enough for choosing a century: the civil year of the day.
  std::int64_t days = unixSeconds / 86400;
  std::int64_t y = 1970 + days / 366;
  while (DaysFromCivil(y + 1, 1, 1) <= days) ++y;
  return y;
}

// "HH:MM:SS".
bool Time(std::string_view s, int& h, int& m, int& sec) {
  if (s.size() != 8 || s[2] != ':' || s[5] != ':') return false;
  const auto a = Digits(s.substr(0, 2), 2), b = Digits(s.substr(3, 2), 2), c = Digits(s.substr(6, 2), 2);
  if (!a || !b || !c || *a > 23 || *b > 59 || *c > 60) return false;
  h = *a;
  m = *b;
  sec = *c;
  return true;
}

}  // namespace

std::optional<std::int64_t> ParseHttpDate(std::string_view text, std::int64_t nowSeconds) {
  const auto w = Words(text);
  int year = 0, month = 0, day = 0, h = 0, m = 0, s = 0;
  if (w.size() == 6 && w[0].size() == 4 && w[0][3] == ',' && OneOf(w[0].substr(0, 3), kDays) && w[5] == "GMT") {
    // IMF-fixdate: Sun, 06 Nov 1994 08:49:37 GMT
    const auto d = Digits(w[1], 2), y = Digits(w[3], 4);
    if (!d || !y || !Time(w[4], h, m, s)) return std::nullopt;
    day = *d;
    month = MonthOf(w[2]);
    year = *y;
  } else if (w.size() == 4 && w[0].size() > 1 && w[0].back() == ',' &&
             OneOf(w[0].substr(0, w[0].size() - 1), kLongDays) && w[3] == "GMT") {
    // RFC 850: Sunday, 06-Nov-94 08:49:37 GMT
    const std::string_view date = w[1];
    if (date.size() != 9 || date[2] != '-' || date[6] != '-') return std::nullopt;
    const auto d = Digits(date.substr(0, 2), 2), yy = Digits(date.substr(7, 2), 2);
    if (!d || !yy || !Time(w[2], h, m, s)) return std::nullopt;
    day = *d;
    month = MonthOf(date.substr(3, 3));
    const std::int64_t nowYear = YearOf(nowSeconds);
    std::int64_t y = nowYear - nowYear % 100 + *yy;
    if (y > nowYear + 50) y -= 100;
    year = static_cast<int>(y);
  } else if (w.size() == 5 && OneOf(w[0], kDays)) {
    // asctime: Sun Nov  6 08:49:37 1994
    const auto d = Digits(w[2], 2, false), y = Digits(w[4], 4);
    if (!d || !y || !Time(w[3], h, m, s)) return std::nullopt;
    day = *d;
    month = MonthOf(w[1]);
    year = *y;
  } else {
    return std::nullopt;
  }
  if (month == 0 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
  return DaysFromCivil(year, month, day) * 86400 + h * 3600 + m * 60 + s;
}

std::int64_t RetryAfterMs(std::string_view value, std::int64_t nowMs, std::int64_t capMs) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty()) return -1;
  bool digits = true;
  for (const char c : value) digits = digits && IsDigit(c);
  if (digits) {
    // More digits than the cap could ever need are past it anyway.
    std::int64_t seconds = 0;
    for (const char c : value) {
      seconds = seconds * 10 + (c - '0');
      if (seconds * 1000 >= capMs) return capMs;
    }
    return seconds * 1000;
  }
  const std::int64_t nowSeconds = nowMs / 1000;
  const auto when = ParseHttpDate(value, nowSeconds);
  if (!when) return -1;
  const std::int64_t ms = *when * 1000 - nowMs;
  if (ms <= 0) return 0;
  return ms < capMs ? ms : capMs;
}

std::int64_t RetryAfterMs(std::string_view value) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return RetryAfterMs(value, static_cast<std::int64_t>(now.count()));
}

}  // namespace larkvale::http
