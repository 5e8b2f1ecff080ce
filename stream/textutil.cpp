#include "stream/textutil.h"

#include <cmath>
#include <cstdlib>

#include "extract/linkresolver.h"
#include "stream/streamplan.h"

namespace larkvale::stream {

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::optional<std::int64_t> ParseCount(std::string_view s) {
  s = TrimView(s);
  if (s.empty() || s.size() > 18) return std::nullopt;
  std::int64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::optional<double> ParseSeconds(std::string_view s) {
  s = TrimView(s);
  if (s.empty() || s.size() > 40) return std::nullopt;
  for (const char c : s)
    if (!((c >= '0' && c <= '9') || c == '.')) return std::nullopt;
  const std::string text(s);
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v) || v < 0) return std::nullopt;
  return v;
}

std::string Printable(std::string_view bytes, std::size_t max) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
    const unsigned c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (bytes.size() > max) out += "...";
  return out;
}

std::string Resolve(std::string_view link, const std::string& base) {
  const auto resolved = extract::ResolveLink(link, base);
  if (!resolved) throw StreamError("The stream names an address that cannot be fetched: " + Printable(link, 200));
  return *resolved;
}

}  // namespace larkvale::stream
