#include "http/uri.h"

#include <algorithm>

#include "http/exceptions.h"

namespace larkvale::http {

void TNetURI::Parse(const std::string& textIn) {
  // Backslashes count as slashes.
  Text = textIn;
  for (auto& c : Text)
    if (c == '\\') c = '/';
  Scheme = User = Password = Host = Port = Directory = Resource = Query = Fragment = "";
  std::string w = Text;

  const std::size_t scheme = w.find("://");
  const bool absolute = scheme != std::string::npos;
  if (absolute) {
    Scheme = w.substr(0, scheme);
    w.erase(0, scheme + 3);
    std::string authority = SplitOff(w, "/");
    std::size_t at = authority.find('@');
    std::string credentials;
    if (at != std::string::npos) {
      credentials = authority.substr(0, at);
      authority.erase(0, at + 1);
    }
    User = SplitOff(credentials, ":");
    Password = User.empty() ? "" : credentials;
    const std::size_t closing = authority.find(']');
    if (!authority.empty() && authority[0] == '[' && closing != std::string::npos &&
        authority.find(':') < closing) {
      // An IPv6 literal: its colons are not the port's. The brackets are
      // dropped here and put back by Compose.
      Host = authority.substr(1, closing - 1);
      authority.erase(0, closing + 1);
      Port = authority.size() > 1 && authority[0] == ':' ? authority.substr(1) : "";
    } else {
      Host = SplitOff(authority, ":");
      Port = authority;
    }
  }
  // The query starts at the first "?", or failing that at the first "=".
  std::size_t q = w.find('?');
  if (q == std::string::npos) q = w.find('=');
  const int queryPos = q == std::string::npos ? 0 : static_cast<int>(q) + 1;
  const int slash = queryPos > 0 ? LastPos("/", w, queryPos) : LastPos("/", w);
  Directory = (absolute ? "/" : "") + w.substr(0, static_cast<std::size_t>(slash));
  if (queryPos > 0) {
    Resource = w.substr(0, static_cast<std::size_t>(queryPos - 1));
    Query = w.substr(static_cast<std::size_t>(queryPos - 1));
  } else {
    Resource = w;
  }
  Resource.erase(0, static_cast<std::size_t>(slash));
  if (absolute) {
    Fragment = Resource;
    Resource = SplitOff(Fragment, "#");
  }
  if (Fragment.empty()) {
    Fragment = Query;
    Query = SplitOff(Fragment, "#");
  }
}

std::string TNetURI::Compose(bool withCredentials, bool withFragment) const {
  if (Scheme.empty()) throw ENetURIException("Protocol field is empty");
  std::string s = Scheme + "://";
  if (!User.empty() && withCredentials) {
    s += User;
    if (!Password.empty()) s += ":" + Password;
    s += "@";
  }
  if (Host.empty()) throw ENetURIException("Host field is empty");
  s += IsBracketHost(Host) ? "[" + Host + "]" : Host;
  if (!Port.empty()) s += ":" + Port;
  s += Directory + Resource + Query;
  if (!Fragment.empty() && withFragment) s += "#" + Fragment;
  return s;
}

bool TNetURI::IsBracketHost(const std::string& host) { return host.find(':') != std::string::npos; }

std::string TNetURI::HostForHeader(const std::string& host) { return IsBracketHost(host) ? "[" + host + "]" : host; }

std::string TNetURI::ComposeBare() {
  Text = Compose(true, true);
  return Compose(false, false);
}

std::string TNetURI::MergePath(const std::string& base, const std::string& path, const std::string& delimiter) {
  const char d = delimiter.empty() ? '/' : delimiter[0];
  if (!path.empty() && path[0] == d) return path;
  const bool keepTrail = path.empty() || path.back() == d;
  std::string work = base;
  if (!work.empty() && work.back() != d) work += d;
  work += path;
  std::string result;
  for (std::size_t i = 0; i < work.size(); ++i) {
    const char c = work[i];
    if (c == d) {
      // Runs of slashes collapse into one.
      if (i == 0)
        result = std::string(1, d);
      else if (result.empty() || result.back() != d)
        result += d;
    } else if (c == '.' && !result.empty() && result.back() == d && i + 1 < work.size() && work[i + 1] == '.') {
      // "..": drop the last segment of what we have.
      result.pop_back();
      while (!result.empty() && result.back() != d) result.pop_back();
      ++i;
    } else {
      result += c;
    }
  }
  if (result != std::string(1, d) && !result.empty() && result.back() == d && !keepTrail) result.pop_back();
  return result;
}

std::string AddressWithoutCredentials(const std::string& address) {
  const std::size_t scheme = address.find("://");
  if (scheme == std::string::npos) return address;
  const std::size_t from = scheme + 3;
  // The authority ends at the path, query or fragment; its user and
  // password end at its last "@".
  const std::size_t end = std::min(address.find_first_of("/?#", from), address.size());
  const std::size_t at = address.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < from) return address;
  return address.substr(0, from) + address.substr(at + 1);
}

}  // namespace larkvale::http
