#include "http/cookies.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <strings.h>

#include "http/exceptions.h"
#include "http/headerlist.h"
#include "http/textutil.h"

namespace larkvale::http {

// --- items ---------------------------------------------------------------

std::string TNetCookieItems::Value(const std::string& name) const {
  for (const auto& item : Items) {
    std::size_t eq = item.find('=');
    if (eq != std::string::npos && SameText(item.substr(0, eq), name)) return item.substr(eq + 1);
  }
  return "";
}

bool TNetCookieItems::Has(const std::string& flag) const {
  for (const auto& item : Items)
    if (SameText(item, flag)) return true;
  return false;
}

// --- cookies -------------------------------------------------------------

void TNetNetscapeCookie::ParseText(const std::string& textIn) {
  if (textIn == SourceText) return;
  SourceText = textIn;
  TNetCookieItems parsed;
  std::string text = textIn;
  while (text.find(';') != std::string::npos) {
    parsed.Items.push_back(Trim(SplitOff(text, ";")));
    if (text.find(';') == std::string::npos && !text.empty()) parsed.Items.push_back(Trim(text));
  }
  if (parsed.Items.empty()) parsed.Items.push_back(textIn);

  const std::string& first = parsed.Items[0];
  std::size_t eq = first.find('=');
  Name = eq == std::string::npos ? "" : first.substr(0, eq);
  Value = parsed.Value(Name);

  // Attribute names upper-cased, values as written; the first of a name wins.
  TNetCookieItems attributes;
  for (std::size_t i = 1; i < parsed.Items.size(); ++i) {
    const std::string& item = parsed.Items[i];
    std::size_t at = item.find('=');
    if (at == std::string::npos) {
      attributes.Items.push_back(UpperCase(item));
    } else {
      std::string name = item.substr(0, at);
      TNetCookieItems rest;
      rest.Items.assign(parsed.Items.begin() + 1, parsed.Items.end());
      attributes.Items.push_back(UpperCase(name) + "=" + rest.Value(name));
    }
  }
  LoadAttributes(attributes);
}

void TNetNetscapeCookie::LoadAttributes(const TNetCookieItems& items) {
  Path = items.Value("PATH");
  if (!Path.empty() && Path.front() == '"') Path.erase(0, 1);
  if (!Path.empty() && Path.back() == '"') Path.pop_back();
  SetExpiry(items.Value("EXPIRES"));
  Domain = items.Value("DOMAIN");
  Secure = items.Has("SECURE");
}

std::vector<std::string> TNetNetscapeCookie::ServerPairs() const {
  std::vector<std::string> pairs;
  auto add = [&](const std::string& name, const std::string& value) {
    if (!value.empty()) pairs.push_back(name + "=" + value);
  };
  add(Name, Value);
  add("path", Path);
  if (Style == NetscapeStyle) add("expires", Expires);
  add("domain", Domain);
  return pairs;
}

namespace {
std::string Join(const std::vector<std::string>& parts) {
  std::string s;
  for (const auto& p : parts) s += (s.empty() ? "" : "; ") + p;
  return s;
}
}  // namespace

std::string TNetNetscapeCookie::ServerText() const {
  auto pairs = ServerPairs();
  if (Secure) pairs.push_back("secure");
  return Join(pairs);
}

bool IsIPv4Text(const std::string& sIn) {
  std::string s = Trim(sIn);
  for (int i = 0; i < 4; ++i) {
    if (i < 3 && s.find('.') == std::string::npos) return false;
    std::string field = SplitOff(s, ".");
    if (field.empty() || field.size() > 3) return false;
    for (char c : field)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    if (std::stoi(field) > 255) return false;
  }
  return true;
}

bool LooksLikeHostName(const std::string& s) {
  if (s.find('.') != std::string::npos && !s.empty() && s[0] == '.') return false;
  return !IsIPv4Text(s);
}

std::string ParentDomain(const std::string& host) {
  std::size_t dot = host.find('.');
  return dot == std::string::npos ? host : host.substr(dot);
}

bool TNetNetscapeCookie::AcceptableFrom(const std::string& host) const {
  // A domain of one label (".example", or "." alone) would reach every host
  // below it, whoever set it.
  if (!Domain.empty() && Domain[0] == '.' && Domain.find('.', 1) == std::string::npos) return false;
  if (IsIPv4Text(host)) return Domain == host;
  // An IPv6 literal, like a dotted address, has no parent domain.
  if (host.find(':') != std::string::npos) return SameText(Domain, host);
  if (LooksLikeHostName(host)) {
    if (LooksLikeHostName(Domain)) return Domain == host;
    return Domain == ParentDomain(host);
  }
  return SameText(Domain, ParentDomain(host));
}

bool DomainMatches(const std::string& domain, const std::string& host) {
  if (SameText(domain, host)) return true;
  // Digits and dots name an address (resolvers read "10.1" too), never a
  // host below a domain.
  const bool numeric = host.find_first_not_of("0123456789.") == std::string::npos;
  if (domain.size() < 2 || domain[0] != '.' || numeric || IsIPv4Text(host) || host.find(':') != std::string::npos)
    return false;
  // ".video.example" matches video.example and *.video.example.
  if (SameText(domain.substr(1), host)) return true;
  return host.size() > domain.size() && SameText(host.substr(host.size() - domain.size()), domain);
}

bool PathMatches(const std::string& path, const std::string& directory) {
  if (path.empty() || directory.compare(0, path.size(), path) != 0) return false;
  return directory.size() == path.size() || path.back() == '/' || directory[path.size()] == '/';
}

std::string TNetCookieRFC2109::ServerText() const {
  auto pairs = ServerPairs();
  if (Secure) pairs.push_back("secure");
  if (MaxAge >= 0 && Expires.empty()) pairs.push_back("max-age=" + std::to_string(MaxAge));
  if (!Comment.empty()) pairs.push_back("comment=" + Comment);
  if (!Version.empty()) pairs.push_back("version=" + Version);
  return Join(pairs);
}

void TNetCookieRFC2109::SetExpiry(const std::string& text) {
  if (!text.empty()) {
    try {
      MaxAge = static_cast<std::int64_t>(std::trunc((InternetDateToLocal(text) - NowLocal()) * 86400.0));
    } catch (...) {
    }
  }
  Expires = text;
}

void TNetCookieRFC2109::LoadAttributes(const TNetCookieItems& items) {
  TNetNetscapeCookie::LoadAttributes(items);
  MaxAge = StrToInt64Def(items.Value("MAX-AGE"), -1);
  Version = items.Value("VERSION");
  Comment = items.Value("COMMENT");
  if (Expires.empty()) {
    Style = NetscapeStyle;
    if (MaxAge >= 0) {
      std::int64_t maxAge = MaxAge;
      // A huge max-age saturates at the last second of year 9999 instead of
      // overflowing into a date in the past or a nonsense year.
      const double latest = EncodeDate(9999, 12, 31) + 86399.0 / 86400.0;
      const double now = NowLocal();
      const double expiry = static_cast<double>(MaxAge) / 86400.0 >= latest - now
                                ? latest
                                : now + static_cast<double>(MaxAge) / 86400.0;
      SetExpiry(FormatInternetDate(expiry));
      MaxAge = maxAge;
    }
  }
}

void TNetCookieRFC2965::LoadAttributes(const TNetCookieItems& items) {
  TNetCookieRFC2109::LoadAttributes(items);
  CommentURL = items.Value("CommentURL");
  Discard = items.Has("DISCARD");
  std::string port = items.Value("PORT");
  if (port.empty()) {
    Ports = {80};
  } else if (port.size() >= 2 && port.front() == '"' && port.back() == '"') {
    std::string list = port.substr(1, port.size() - 2);
    Ports.clear();
    std::string piece;
    auto flush = [&] {
      if (!piece.empty()) Ports.push_back(StrToInt(piece));
      piece.clear();
    };
    for (char c : list) {
      if (c == ',' || c == ' ' || c == '\t')
        flush();
      else
        piece += c;
    }
    flush();
    if (Ports.empty()) Ports = {80};
  }
}

// --- collection and manager ------------------------------------------------

TNetCookieRFC2109* TNetCookies::Find(const std::string& domain, const std::string& name) const {
  const auto d = domainAt_.find(UpperCase(domain));
  if (d == domainAt_.end()) return nullptr;
  const auto& names = namesAt_[d->second];
  const auto n = names.find(UpperCase(name));
  return n == names.end() ? nullptr : n->second;
}

TNetCookieRFC2109* TNetCookies::Store(std::unique_ptr<TNetCookieRFC2109> cookie, std::size_t maxPerDomain) {
  auto [d, added] = domainAt_.try_emplace(UpperCase(cookie->Domain), DomainIndex.size());
  if (added) {
    DomainIndex.emplace_back(cookie->Domain, NameList{});
    namesAt_.emplace_back();
  }
  const std::size_t at = d->second;
  while (maxPerDomain > 0 && DomainIndex[at].second.size() >= maxPerDomain) Remove(at, 0);
  TNetCookieRFC2109* stored = cookie.get();
  namesAt_[at].emplace(UpperCase(cookie->Name), stored);
  DomainIndex[at].second.emplace_back(cookie->Name, stored);
  items_.emplace(stored, std::move(cookie));
  return stored;
}

void TNetCookies::Remove(std::size_t d, std::size_t i) {
  auto& names = DomainIndex[d].second;
  TNetCookieRFC2109* cookie = names[i].second;
  namesAt_[d].erase(UpperCase(names[i].first));
  names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
  items_.erase(cookie);
}

TNetCookieManager::TNetCookieManager() {}

TNetCookieManager::~TNetCookieManager() {
  try {
    PurgeExpired();
  } catch (...) {
  }
  if (OnDestroy) OnDestroy(this, &Cookies);
}

void TNetCookieManager::AcceptCookie(const std::string& text, const std::string& host, TNetCookieStyle style) {
  std::unique_ptr<TNetCookieRFC2109> made;
  if (style == Rfc2965Style)
    made = std::make_unique<TNetCookieRFC2965>();
  else
    made = std::make_unique<TNetCookieRFC2109>();
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return;
  made->ParseText(text);
  if (made->Domain.empty()) made->Domain = host;
  if (!made->AcceptableFrom(host)) return;
  bool accept = true;
  if (OnNewCookie) OnNewCookie(this, made.get(), accept);
  if (!accept) return;

  std::unique_lock<std::shared_mutex> write(Cookies.Lock);
  TNetCookieRFC2109* stored = Cookies.Find(made->Domain, made->Name);
  if (!stored) {
    Cookies.Store(std::move(made), kMaxCookiesPerDomain);
    return;
  }
  // The stored cookie keeps its object and place and takes over the new one.
  // Its domain is copied, not read back from the text: a host name that
  // holds a ';' would not survive the round trip.
  stored->ParseText(made->ServerText());
  stored->Domain = made->Domain;
  stored->Style = made->Style;
}

void TNetCookieManager::PurgeExpired() {
  std::unique_lock<std::shared_mutex> write(Cookies.Lock);
  const double now = NowLocal();
  for (std::size_t d = 0; d < Cookies.DomainIndex.size(); ++d) {
    auto& names = Cookies.DomainIndex[d].second;
    for (std::size_t i = names.size(); i-- > 0;) {
      TNetCookieRFC2109* c = names[i].second;
      // An unreadable expiry reads as long past.
      if (!c->Expires.empty() && now > InternetDateToLocal(c->Expires)) Cookies.Remove(d, i);
    }
  }
}

std::string TNetCookieManager::HeaderFor(const TNetURI& url, bool secure) {
  PurgeExpired();
  std::vector<TNetCookieRFC2109*> selected;
  {
    std::shared_lock<std::shared_mutex> read(Cookies.Lock);
    for (const auto& domain : Cookies.DomainIndex) {
      if (!DomainMatches(domain.first, url.Host)) continue;
      for (auto it = domain.second.rbegin(); it != domain.second.rend(); ++it) {
        TNetCookieRFC2109* c = it->second;
        if (!PathMatches(c->Path, url.Directory)) continue;
        if (c->Secure && !secure) continue;
        if (c->Value.empty()) continue;
        selected.push_back(c);
      }
    }
  }
  // Longer (deeper) paths first; equal paths keep their order.
  std::stable_sort(selected.begin(), selected.end(), [](const auto* a, const auto* b) {
    return ::strcasecmp(a->Path.c_str(), b->Path.c_str()) > 0;
  });
  std::string header;
  for (const auto* c : selected) {
    const std::string pair = c->ClientText();
    // Pairs that would make the header too long are left out.
    if (header.size() + 2 + pair.size() > kMaxHeaderBytes) continue;
    header += (header.empty() ? "" : "; ") + pair;
  }
  return header;
}

}  // namespace larkvale::http
