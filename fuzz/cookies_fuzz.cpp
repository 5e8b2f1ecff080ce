// The cookie store fed with "Set-cookie" and "Set-cookie2" values. The first
// line is the sending host, the second the directory of the next request;
// every further line is one header value, its first byte choosing the
// header (odd: "Set-cookie2").
#include <cctype>

#include "fuzz/fuzz_check.h"
#include "http/cookies.h"
#include "http/exceptions.h"

using namespace larkvale::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto lines = larkvale::fuzz::SplitLines(data, size);
  if (lines.size() < 2) return 0;
  // A host as an address can name one: a ";" in it would let a stored
  // cookie's "domain" pair carry attributes of its own when re-read.
  std::string host;
  for (char ch : lines[0])
    if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-') host += ch;
  TNetCookieManager manager;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) continue;
    const TNetCookieStyle style = (static_cast<unsigned char>(line[0]) & 1) ? Rfc2965Style : Rfc2109Style;
    try {
      manager.AcceptCookie(line.substr(1), host, style);
    } catch (const EConvertError&) {
      // A "Port" list piece that is not a number: the one failure allowed.
      FUZZ_CHECK(style == Rfc2965Style);
    }
    // At most one stored cookie per domain and name.
    int indexed = 0;
    for (const auto& [domain, names] : manager.Cookies.DomainIndex) indexed += static_cast<int>(names.size());
    FUZZ_CHECK(indexed == manager.Cookies.Count());
  }
  TNetURI url;
  url.Host = host;
  url.Directory = lines[1];
  const std::string header = manager.HeaderFor(url, false);
  if (manager.Cookies.Count() == 0) FUZZ_CHECK(header.empty());
  // The setting host and its neighbours: each gets only cookies whose
  // domain and path match it, and a header that is one clean line.
  const std::string parent = host.find('.') == std::string::npos ? host : host.substr(host.find('.') + 1);
  for (const std::string& to : {host, "x" + host, host + ".attacker.test", "a." + host, parent}) {
    url.Host = to;
    const std::string sent = manager.HeaderFor(url, false);
    FUZZ_CHECK(sent.size() <= TNetCookieManager::kMaxHeaderBytes);
    FUZZ_CHECK(sent.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    std::size_t from = 0;
    while (from < sent.size()) {
      std::size_t end = sent.find("; ", from);
      if (end == std::string::npos) end = sent.size();
      const std::string pair = sent.substr(from, end - from);
      from = end + 2;
      // Some stored cookie that may go there sends exactly this pair (a
      // value may itself hold "; ", so a piece may also start a longer pair).
      bool found = false;
      for (const auto& [domain, names] : manager.Cookies.DomainIndex)
        for (const auto& [name, cookie] : names)
          if (cookie->ClientText().rfind(pair, 0) == 0 && larkvale::fuzz::MayReceiveCookie(cookie->Domain, to) &&
              larkvale::fuzz::MayReceiveCookieAtPath(cookie->Path, url.Directory))
            found = true;
      FUZZ_CHECK(found);
    }
  }
  url.Host = host;
  // Every stored cookie's own texts can be produced and parsed again.
  for (const auto& [domain, names] : manager.Cookies.DomainIndex)
    for (const auto& [name, cookie] : names) {
      TNetCookieRFC2109 copy;
      copy.ParseText(cookie->ServerText());
      (void)cookie->ClientText();
    }
  manager.PurgeExpired();
  return 0;
}
