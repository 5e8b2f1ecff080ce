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

namespace {
// The length of the valid UTF-8 sequence at `at` (RFC 3629: no overlong
// forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t Utf8Length(const std::string& s, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b = byte(at);
  std::size_t n;
  unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
  if (b >= 0xc2 && b <= 0xdf) {
    n = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    n = 3;
    if (b == 0xe0) low = 0xa0;
    if (b == 0xed) high = 0x9f;
  } else if (b >= 0xf0 && b <= 0xf4) {
    n = 4;
    if (b == 0xf0) low = 0x90;
    if (b == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (at + n > s.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) return 0;
  return n;
}

void AppendEscape(std::string& out, unsigned char c) {
  static const char digits[] = "0123456789abcdef";
  out += "\\x";
  out += digits[c >> 4];
  out += digits[c & 15];
}
}  // namespace

std::string EscapedText(const std::string& textIn, std::size_t maxBytes) {
  const bool cut = textIn.size() > maxBytes;
  const std::string text = cut ? textIn.substr(0, maxBytes) : textIn;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7f)
        AppendEscape(out, c);
      else
        out += static_cast<char>(c);
      ++i;
      continue;
    }
    const std::size_t n = Utf8Length(text, i);
    // C1 controls (U+0080 to U+009F, C2 80 to C2 9F) act on some terminals
    // as their 7-bit escapes do.
    if (n == 0 || (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0)) {
      AppendEscape(out, c);
      ++i;
      continue;
    }
    out.append(text, i, n);
    i += n;
  }
  if (cut) out += "...";
  return out;
}

}  // namespace larkvale::http
