#include "extract/linkresolver.h"

#include <vector>

namespace larkvale::extract {
namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsSlash(char c) { return c == '/' || c == '\\'; }

// An absolute http or https address in parts; `path` starts with '/', and
// `query` keeps its '?' when the address has one.
struct Parts {
  std::string scheme;     // "http" or "https"
  std::string authority;  // [userinfo@]host[:port], already checked and normalised
  std::string path;
  std::string query;
};

// Bytes that cannot stand in a request line, or that a browser would encode
// there, become %XX. A '%' that is already there stays as it is.
std::string Encode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '`' && c != '{' &&
                       c != '}' && c != '|' && c != '^' && c != '\\' && c != '#';
    if (plain) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

// "." and ".." segments resolved; empty segments kept. `path` starts with '/'.
std::string RemoveDotSegments(std::string_view path) {
  std::vector<std::string_view> segments;
  std::string_view rest = path.substr(1);
  for (;;) {
    const auto slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    const bool last = slash == std::string_view::npos;
    if (segment == ".") {
      if (last) segments.emplace_back();
    } else if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
      if (last) segments.emplace_back();
    } else {
      segments.push_back(segment);
    }
    if (last) break;
    rest.remove_prefix(slash + 1);
  }
  std::string out = "/";
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) out.push_back('/');
    out.append(segments[i]);
  }
  return out;
}

// Checks and normalises "[userinfo@]host[:port]" of `scheme`. Hosts are
// plain ASCII names or addresses (an internationalised name would need its
// ASCII form, which we do not compute), or a bracketed IPv6 literal.
std::optional<std::string> Authority(std::string_view text, std::string_view scheme) {
  std::string userinfo;
  if (const auto at = text.rfind('@'); at != std::string_view::npos) {
    // "http://@host/" and "http://:@host/" carry no credentials at all. An
    // '@' inside the credentials is encoded, so that only one separates
    // them from the host, whoever reads the address.
    const std::string_view credentials = text.substr(0, at);
    if (!credentials.empty() && credentials != ":") {
      for (const char c : credentials) userinfo += c == '@' ? std::string("%40") : Encode(std::string_view(&c, 1));
      userinfo += "@";
    }
    text.remove_prefix(at + 1);
  }
  std::string host;
  std::string_view portText;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    for (const char c : text.substr(1, close - 1))
      if (!(IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f') || c == ':' || c == '.')) return std::nullopt;
    for (const char c : text.substr(0, close + 1)) host.push_back(Lower(c));
    const std::string_view after = text.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      portText = after.substr(1);
    }
  } else {
    const auto colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    if (colon != std::string_view::npos) portText = text.substr(colon + 1);
    for (const char c : name) {
      if (!(IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_')) return std::nullopt;
      host.push_back(Lower(c));
    }
    if (host.empty()) return std::nullopt;
  }
  std::string port;
  if (!portText.empty()) {
    unsigned long value = 0;
    for (const char c : portText) {
      if (!IsDigit(c)) return std::nullopt;
      if (value <= 65535) value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    const bool isDefault = (scheme == "http" && value == 80) || (scheme == "https" && value == 443);
    if (value > 65535) {
      // Kept as written, like port 0: the download then says what is wrong
      // with it, the same way for every port out of range.
      const std::size_t first = portText.find_first_not_of('0');
      port = ":" + std::string(portText.substr(first));
    } else if (!isDefault) {
      port = ":" + std::to_string(value);
    }
  }
  return userinfo + host + port;
}

// Splits what follows "//" (authority, path, query) of an absolute address.
std::optional<Parts> ParseAfterSlashes(std::string scheme, std::string_view rest) {
  std::size_t end = 0;
  while (end < rest.size() && !IsSlash(rest[end]) && rest[end] != '?') ++end;
  auto authority = Authority(rest.substr(0, end), scheme);
  if (!authority) return std::nullopt;
  rest.remove_prefix(end);
  const auto q = rest.find('?');
  std::string path(rest.substr(0, q));
  for (char& c : path)
    if (c == '\\') c = '/';
  if (path.empty()) path = "/";
  Parts parts{std::move(scheme), std::move(*authority), RemoveDotSegments(path), ""};
  if (q != std::string_view::npos) parts.query = std::string(rest.substr(q));
  return parts;
}

std::optional<Parts> ParseBase(std::string_view base) {
  if (base.rfind("http://", 0) == 0) return ParseAfterSlashes("http", base.substr(7));
  if (base.rfind("https://", 0) == 0) return ParseAfterSlashes("https", base.substr(8));
  return std::nullopt;
}

// `ref` relative to `base`: no scheme, and not starting with two slashes.
Parts Relative(const Parts& base, std::string_view ref) {
  Parts out{base.scheme, base.authority, base.path, base.query};
  if (ref.empty()) return out;
  const auto q = ref.find('?');
  std::string path(ref.substr(0, q));
  for (char& c : path)
    if (c == '\\') c = '/';
  std::string query = q == std::string_view::npos ? std::string() : std::string(ref.substr(q));
  if (path.empty()) {
    out.query = std::move(query);  // "?x" keeps the base's path
    return out;
  }
  if (path.front() != '/') path = base.path.substr(0, base.path.rfind('/') + 1) + path;
  out.path = RemoveDotSegments(path);
  out.query = std::move(query);
  return out;
}

}  // namespace

std::optional<std::string> ResolveLink(std::string_view link, std::string_view base) {
  // Blanks and control characters around the link are dropped, tabs and line
  // breaks inside it removed, as a browser does before resolving.
  while (!link.empty() && static_cast<unsigned char>(link.front()) <= 0x20) link.remove_prefix(1);
  while (!link.empty() && static_cast<unsigned char>(link.back()) <= 0x20) link.remove_suffix(1);
  std::string cleaned;
  cleaned.reserve(link.size());
  for (const char c : link)
    if (c != '\t' && c != '\n' && c != '\r') cleaned.push_back(c);
  if (cleaned.empty()) return std::nullopt;
  std::string_view ref(cleaned);
  ref = ref.substr(0, ref.find('#'));

  const auto baseParts = ParseBase(base);

  // A scheme: letters, digits, '+', '-', '.' after a first letter, then ':'.
  std::size_t i = 0;
  if (!ref.empty() && IsAlpha(ref.front())) {
    i = 1;
    while (i < ref.size() && (IsAlpha(ref[i]) || IsDigit(ref[i]) || ref[i] == '+' || ref[i] == '-' || ref[i] == '.'))
      ++i;
  }
  std::optional<Parts> parts;
  if (i > 0 && i < ref.size() && ref[i] == ':') {
    std::string scheme;
    for (const char c : ref.substr(0, i)) scheme.push_back(Lower(c));
    if (scheme != "http" && scheme != "https") return std::nullopt;
    std::string_view rest = ref.substr(i + 1);
    if (baseParts && baseParts->scheme == scheme && (rest.empty() || !IsSlash(rest.front()))) {
      // "http:clip.mp4" on an http page is relative to that page.
      parts = Relative(*baseParts, rest);
    } else {
      while (!rest.empty() && IsSlash(rest.front())) rest.remove_prefix(1);
      parts = ParseAfterSlashes(std::move(scheme), rest);
    }
  } else {
    if (!baseParts) return std::nullopt;
    if (ref.size() >= 2 && IsSlash(ref[0]) && IsSlash(ref[1])) {
      std::string_view rest = ref;
      while (!rest.empty() && IsSlash(rest.front())) rest.remove_prefix(1);
      parts = ParseAfterSlashes(baseParts->scheme, rest);
    } else {
      parts = Relative(*baseParts, ref);
    }
  }
  if (!parts) return std::nullopt;
  return parts->scheme + "://" + parts->authority + Encode(parts->path) +
         (parts->query.empty() ? std::string() : "?" + Encode(std::string_view(parts->query).substr(1)));
}

std::string_view LinkPath(std::string_view address) {
  address = address.substr(0, address.find_first_of("?#"));
  if (const auto scheme = address.find("://"); scheme != std::string_view::npos) {
    address.remove_prefix(scheme + 3);
    const auto slash = address.find('/');
    if (slash == std::string_view::npos) return {};
    address.remove_prefix(slash);
  }
  return address;
}

}  // namespace larkvale::extract
