#include "http/textutil.h"

#include <cctype>
#include <climits>

#include "http/exceptions.h"

namespace larkvale::http {

std::string UpperCase(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

namespace {
bool Blank(char c) { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

std::string TrimLeft(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size() && Blank(s[i])) ++i;
  return s.substr(i);
}

std::string TrimRight(const std::string& s) {
  std::size_t n = s.size();
  while (n > 0 && Blank(s[n - 1])) --n;
  return s.substr(0, n);
}

std::string Trim(const std::string& s) { return TrimLeft(TrimRight(s)); }

std::optional<std::int64_t> ParseInteger(const std::string& s) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return std::nullopt;
  unsigned long long value = 0;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(s[i] - '0');
    if (value > static_cast<unsigned long long>(INT64_MAX)) return std::nullopt;
  }
  return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
}

std::int64_t StrToInt64Def(const std::string& s, std::int64_t fallback) {
  auto v = ParseInteger(s);
  return v ? *v : fallback;
}

int StrToInt(const std::string& s) {
  auto v = ParseInteger(Trim(s));
  if (!v || *v > INT_MAX || *v < INT_MIN) throw EConvertError(s);
  return static_cast<int>(*v);
}

std::string SplitOff(std::string& text, const std::string& delimiter, bool remove) {
  std::size_t at = text.find(delimiter);
  std::string head = at == std::string::npos ? text : text.substr(0, at);
  if (remove) {
    if (at == std::string::npos)
      text.clear();
    else
      text.erase(0, at + delimiter.size());
  }
  return head;
}

int LastPos(const std::string& sought, const std::string& text, int start) {
  int last = static_cast<int>(text.size()) - static_cast<int>(sought.size()) + 1;
  if (start == -1 || start > last) start = last;
  for (int p = start; p >= 1; --p)
    if (SameText(text.substr(static_cast<std::size_t>(p - 1), sought.size()), sought)) return p;
  return 0;
}

}  // namespace larkvale::http
