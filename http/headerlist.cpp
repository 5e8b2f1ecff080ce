#include "http/headerlist.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

#include "http/exceptions.h"
#include "http/textutil.h"

namespace larkvale::http {

// --- header list ---------------------------------------------------------

std::string TNetHeaderList::NameAt(int i) const {
  if (i < 0 || i >= Count()) return "";
  const std::string& line = Lines[static_cast<std::size_t>(i)];
  std::string sep = TrimRight(Separator);
  if (sep.empty()) sep = ":";
  std::size_t at = line.find(sep);
  if (at == std::string::npos) return "";
  std::string name = line.substr(0, at);
  return ExactNames ? name : UpperCase(name);
}

bool TNetHeaderList::IsContinuation(int i) const {
  if (i < 0 || i >= Count()) return false;
  const std::string& l = Lines[static_cast<std::size_t>(i)];
  return !l.empty() && (l[0] == ' ' || l[0] == '\t');
}

std::string TNetHeaderList::ValueAt(int i) const {
  if (i < 0 || i >= Count()) return "";
  const std::string& line = Lines[static_cast<std::size_t>(i)];
  std::size_t at = line.find(':');
  std::string value = Trim(at == std::string::npos ? line : line.substr(at + 1));
  // Appended piece by piece: a value folded over many lines costs the
  // length of its text, not the square of it.
  if (JoinContinuations)
    for (int k = i + 1; IsContinuation(k); ++k) {
      while (!value.empty() && static_cast<unsigned char>(value.back()) <= ' ') value.pop_back();
      value += ' ';
      value += Trim(Lines[static_cast<std::size_t>(k)]);
    }
  return Trim(value);
}

bool TNetHeaderList::NameIs(int i, const std::string& name) const {
  // NameAt without building the name, for lookups over long heads.
  if (name.empty()) return NameAt(i).empty();
  const std::string& line = Lines[static_cast<std::size_t>(i)];
  if (line.size() <= name.size()) return false;
  const std::string trimmed = TrimRight(Separator);
  const std::string sep = trimmed.empty() ? std::string(1, ':') : trimmed;
  if (line.compare(name.size(), sep.size(), sep) != 0 || line.find(sep) != name.size()) return false;
  for (std::size_t k = 0; k < name.size(); ++k) {
    const int a = static_cast<unsigned char>(line[k]), b = static_cast<unsigned char>(name[k]);
    if (std::toupper(a) != std::toupper(b)) return false;
  }
  return true;
}

int TNetHeaderList::IndexOfHeader(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (NameIs(i, name)) return i;
  return -1;
}

std::string TNetHeaderList::ValueOf(const std::string& name) const { return ValueAt(IndexOfHeader(name)); }

void TNetHeaderList::CollectValues(const std::string& name, std::vector<std::string>* destination) const {
  if (!destination) return;
  for (int i = 0; i < Count(); ++i)
    if (NameIs(i, name)) destination->push_back(ValueAt(i));
}

void TNetHeaderList::DeleteContinuations(int i) {
  while (IsContinuation(i + 1)) Lines.erase(Lines.begin() + i + 1);
}

void TNetHeaderList::SetHeader(const std::string& name, const std::string& value) {
  int i = IndexOfHeader(name);
  if (value.empty()) {
    if (i < 0) return;
    if (WrapLongLines) DeleteContinuations(i);
    Lines.erase(Lines.begin() + i);
    return;
  }
  if (i < 0) {
    Lines.emplace_back();
    i = Count() - 1;
  }
  const std::string line = name + Separator + value;
  if (!WrapLongLines) {
    Lines[static_cast<std::size_t>(i)] = line;
    return;
  }
  DeleteContinuations(i);
  std::vector<std::string> pieces = WrapHeaderLine(line, WrapWidth);
  Lines[static_cast<std::size_t>(i)] = pieces[0];
  Lines.insert(Lines.begin() + i + 1, pieces.begin() + 1, pieces.end());
}

std::string TNetHeaderList::Text() const {
  std::string s;
  for (const auto& l : Lines) s += l + "\r\n";
  return s;
}

std::vector<std::string> WrapHeaderLine(const std::string& line, int width) {
  const std::string breakText = "\r\n ";
  std::string out;
  std::size_t lineStart = 0;      // start of the current output line
  std::size_t breakAt = std::string::npos;  // last break character
  bool quoted = false;
  long col = 1;
  for (std::size_t pos = 0; pos < line.size();) {
    const char c = line[pos];
    if (c == '"')
      quoted = !quoted;
    else if (!quoted && (c == ' ' || c == '\t' || c == ','))
      breakAt = pos;
    ++pos;
    ++col;
    if (!quoted && col > width && breakAt != std::string::npos && breakAt > lineStart) {
      out.append(line, lineStart, breakAt - lineStart + 1);
      if (pos < line.size()) out += breakText;
      lineStart = breakAt + 1;
      col = static_cast<long>(pos - breakAt);
      breakAt = std::string::npos;
    }
  }
  out.append(line, lineStart, std::string::npos);
  std::vector<std::string> pieces;
  std::size_t from = 0;
  for (;;) {
    std::size_t at = out.find("\r\n", from);
    std::string piece = out.substr(from, at == std::string::npos ? std::string::npos : at - from);
    // Trim a trailing space or tab, keep a trailing comma.
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) piece.pop_back();
    // A run of blanks wrapped on its own trims to nothing. Kept, it would be an
    // empty line: it ends a request head early, and it is no continuation, so
    // the next SetHeader would leave the lines after it behind.
    if (piece.empty() && !pieces.empty()) {
      if (at == std::string::npos) break;
      from = at + 2;
      continue;
    }
    pieces.push_back(piece);
    if (at == std::string::npos) break;
    from = at + 2;
  }
  return pieces;
}

// --- dates ---------------------------------------------------------------

namespace {
const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr double kUnixEpoch = 25569.0;  // 1 January 1970 in days since 30 December 1899

bool Leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysIn(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && Leap(y) ? 29 : d[m - 1];
}
// Days from 1970-01-01 (Howard Hinnant's civil calendar algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}
void CivilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}
int MonthOf(const std::string& token) {
  std::string u = UpperCase(token);
  for (int i = 0; i < 12; ++i)
    if (u == kMonths[i]) return i + 1;
  return 0;
}
int NumberOr(const std::string& s, int fallback) {
  const long long v = StrToInt64Def(s, static_cast<long long>(INT32_MIN) - 1);
  return v >= INT32_MIN && v <= INT32_MAX ? static_cast<int>(v) : fallback;
}
}  // namespace

double EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysIn(year, month)) return 0;
  return static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) + kUnixEpoch;
}

double ParseInternetDate(std::string& text) {
  text = Trim(text);
  if (text.empty()) return 0;
  std::string day3 = UpperCase(text.substr(0, 3));
  for (const char* d : kDays)
    if (day3 == d) {
      SplitOff(text, " ");
      text = TrimLeft(text);
      break;
    }
  std::size_t dash = text.find('-'), space = text.find(' ');
  const std::string delimiter = dash != std::string::npos && dash >= 1 && dash < space ? "-" : " ";
  std::string peek = SplitOff(text, delimiter, false);
  int day, month;
  auto readToken = [&] {
    std::string t = SplitOff(text, delimiter);
    text = TrimLeft(text);
    return t;
  };
  if (MonthOf(peek) > 0) {
    month = MonthOf(readToken());
    day = NumberOr(readToken(), 1);
  } else {
    day = NumberOr(readToken(), 1);
    month = MonthOf(readToken());
  }
  if (month == 0) return 0;
  constexpr long long kNoNumber = INT64_MIN;
  std::string yearToken = SplitOff(text, " ");
  long long y = StrToInt64Def(yearToken, kNoNumber);
  if (y == kNoNumber || y == 1900) {
    // asctime layout: the year comes last, after the time.
    y = StrToInt64Def(Trim(text), kNoNumber);
    text = yearToken;
    if (y == kNoNumber) return 0;
  }
  if (y < 80)
    y += 2000;
  else if (y < 100)
    y += 1900;
  if (y > 9999 || y < 1) return 0;
  double date = EncodeDate(static_cast<int>(y), month, day);
  if (date == 0) return 0;
  if (text.find(':') != std::string::npos) {
    std::string time = SplitOff(text, " ");
    int h = NumberOr(SplitOff(time, ":"), 0);
    int m = NumberOr(SplitOff(time, ":"), 0);
    int s = NumberOr(SplitOff(time, ":"), 0);
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return 0;
    date += (h * 3600 + m * 60 + s) / 86400.0;
  }
  text = TrimLeft(text);
  return date;
}

double ZoneOffsetOf(const std::string& textIn) {
  std::string t = Trim(textIn).substr(0, 5);
  if (t.size() < 5 || (t[0] != '+' && t[0] != '-')) return 0;
  auto h = ParseInteger(t.substr(1, 2));
  auto m = ParseInteger(t.substr(3, 2));
  if (!h || !m || *h < 0 || *h > 23 || *m < 0 || *m > 59) return 0;
  double offset = (*h * 60 + *m) / 1440.0;
  return t[0] == '-' ? -offset : offset;
}

double LocalUtcOffset() {
  time_t now = ::time(nullptr);
  struct tm local {};
  if (!::localtime_r(&now, &local)) throw ENetFailedToRetreiveTimeZoneInfo();
  return static_cast<double>(local.tm_gmtoff / 60) / 1440.0;
}

double InternetDateToLocal(const std::string& textIn) {
  std::string text = textIn;
  double d = ParseInternetDate(text);
  double z = text.size() > 4 ? ZoneOffsetOf(text) : 0;
  return d - z + LocalUtcOffset();
}

double NowLocal() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  struct tm local {};
  ::localtime_r(&secs, &local);
  double utcDays = (static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6) / 86400.0;
  return utcDays + kUnixEpoch + static_cast<double>(local.tm_gmtoff) / 86400.0;
}

std::string FormatInternetDate(double dt, bool allowZoneWord) {
  // Whole seconds, truncated (a tiny allowance keeps 08:49:37 from printing
  // as 08:49:36 through floating-point error).
  long long totalSecs = static_cast<long long>(std::floor((dt - kUnixEpoch) * 86400.0 + 1e-4));
  long long days = totalSecs >= 0 ? totalSecs / 86400 : -((-totalSecs + 86399) / 86400);
  long long secs = totalSecs - days * 86400;
  int y, m, d;
  CivilFromDays(days, y, m, d);
  int weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  int offsetMin = static_cast<int>(std::lround(LocalUtcOffset() * 1440));
  char zone[16];
  if (allowZoneWord && offsetMin == 0)
    std::snprintf(zone, sizeof zone, "GMT");
  else
    std::snprintf(zone, sizeof zone, "%c%02d%02d", offsetMin >= 0 ? '+' : '-', std::abs(offsetMin) / 60,
                  std::abs(offsetMin) % 60);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s, %d %s %d %02lld:%02lld:%02lld %s", kDayNames[weekday], d, kMonthNames[m - 1], y,
                secs / 3600, secs / 60 % 60, secs % 60, zone);
  return buf;
}

}  // namespace larkvale::http
