// Ordered header lines with case-insensitive lookup, continuation joining on
// reading and wrapping on writing; and the internet dates of HTTP headers and
// cookies. Date-times are days since 30 December 1899 (fraction = time of
// day), 0 meaning no date.
#pragma once

#include <string>
#include <vector>

namespace larkvale::http {

class TNetHeaderList {
 public:
  std::string Separator = ": ";
  bool ExactNames = false;
  bool JoinContinuations = true;
  bool WrapLongLines = true;
  int WrapWidth = 78;
  std::vector<std::string> Lines;

  int Count() const { return static_cast<int>(Lines.size()); }
  void Clear() { Lines.clear(); }
  void Add(const std::string& line) { Lines.push_back(line); }
  // Upper-cased (unless ExactNames) text before the first ":"; not trimmed.
  std::string NameAt(int i) const;
  // Text after the name's ":", joined with continuation lines, trimmed.
  std::string ValueAt(int i) const;
  int IndexOfHeader(const std::string& name) const;
  std::string ValueOf(const std::string& name) const;
  void CollectValues(const std::string& name, std::vector<std::string>* destination) const;
  // Replaces (in place) or appends a header; an empty value removes it.
  void SetHeader(const std::string& name, const std::string& value);
  // The lines joined with CR LF, each ended by one.
  std::string Text() const;

 private:
  bool IsContinuation(int i) const;
  // Whether line i's name is `name` (as NameAt compares it).
  bool NameIs(int i, const std::string& name) const;
  void DeleteContinuations(int i);
};

// Wraps a line at tabs, spaces and commas outside double quotes once it
// passes `width`; pieces after the first begin with a space.
std::vector<std::string> WrapHeaderLine(const std::string& line, int width);

double EncodeDate(int year, int month, int day);  // 0 for an impossible date
// Reads a date at the start of `text` and leaves what follows the time
// (normally the zone) in it; 0 when it cannot be read.
double ParseInternetDate(std::string& text);
double InternetDateToLocal(const std::string& text);
// "+hhmm" / "-hhmm" as a fraction of a day; 0 when unreadable.
double ZoneOffsetOf(const std::string& text);
// Local time minus UTC, as a fraction of a day.
double LocalUtcOffset();
std::string FormatInternetDate(double localDateTime, bool allowZoneWord = false);
// The current local date-time.
double NowLocal();

}  // namespace larkvale::http
