// Shared by every fuzz target: an invariant that fails aborts, so libFuzzer
// keeps the input and the replay test turns red.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

namespace larkvale::fuzz {

// The input cut at LF; a final LF does not start an empty last piece.
inline std::vector<std::string> SplitLines(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> out;
  std::string cur;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

inline std::string Lower(std::string s) {
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Whether a cookie stored under `domain` may go to `host`, written out
// independently of the store's own code: the same host, or for a domain
// with a leading dot and at least two labels, that domain without the dot
// or a host ending in it. Never by suffix to an IPv4 address.
inline bool MayReceiveCookie(const std::string& domainIn, const std::string& hostIn) {
  const std::string domain = Lower(domainIn), host = Lower(hostIn);
  if (domain == host) return true;
  if (domain.size() < 2 || domain[0] != '.' || domain.find('.', 1) == std::string::npos) return false;
  bool numeric = !host.empty();
  for (char c : host) numeric = numeric && ((c >= '0' && c <= '9') || c == '.');
  if (numeric) return false;
  if (host == domain.substr(1)) return true;
  return host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0;
}

// Whether a cookie with `path` may go to a request in `directory`.
inline bool MayReceiveCookieAtPath(const std::string& path, const std::string& directory) {
  if (path.empty() || directory.rfind(path, 0) != 0) return false;
  return directory.size() == path.size() || path.back() == '/' || directory[path.size()] == '/';
}

// Valid UTF-8 without C0 controls, DEL or C1 controls: text that is safe on
// a terminal. Written out independently of the client's own escaping.
inline bool PrintableUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    const std::size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
    if (n == 0 || c > 0xf4 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
    if (c == 0xc2 && static_cast<unsigned char>(s[i + 1]) < 0xa0) return false;
    i += n;
  }
  return true;
}

// A request head as sent: every line ends in CR LF and holds no other CR,
// LF or NUL, and the head ends with an empty line.
inline bool HeadLinesAreClean(const std::string& head) {
  std::size_t from = 0;
  bool sawEnd = false;
  while (from < head.size()) {
    const std::size_t end = head.find("\r\n", from);
    if (end == std::string::npos) return false;
    const std::string line = head.substr(from, end - from);
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    if (line.empty()) sawEnd = true;
    from = end + 2;
  }
  return sawEnd;
}

}  // namespace larkvale::fuzz
