// The per-client cookie store: cookies from "Set-cookie" and "Set-cookie2"
// replies, which hosts may set which cookies, replacement, expiry, and the
// "Cookie" header of a request. Memory only; two clients never share one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "http/uri.h"

namespace larkvale::http {

enum TNetCookieStyle : std::uint8_t { NetscapeStyle = 0, Rfc2109Style = 1, Rfc2965Style = 2 };

// Attribute items of a parsed cookie text: "NAME=value" or "FLAG".
class TNetCookieItems {
 public:
  std::vector<std::string> Items;
  // Value of the first "name=..." item, name ignoring case; "" when absent.
  std::string Value(const std::string& name) const;
  // An item that is exactly `flag` (ignoring case), without "=".
  bool Has(const std::string& flag) const;
};

class TNetNetscapeCookie {
 public:
  virtual ~TNetNetscapeCookie() = default;

  std::string SourceText, Domain, Expires, Name, Path;
  bool Secure = false;
  std::string Value;
  TNetCookieStyle Style = NetscapeStyle;

  virtual std::string ServerText() const;
  virtual void SetExpiry(const std::string& text) { Expires = text; }
  std::string ServerForm() const { return ServerText(); }
  std::string ClientText() const { return Name + "=" + Value; }
  virtual void LoadAttributes(const TNetCookieItems& items);
  virtual bool AcceptableFrom(const std::string& host) const;
  void ParseText(const std::string& text);

 protected:
  std::vector<std::string> ServerPairs() const;
};

class TNetCookieRFC2109 : public TNetNetscapeCookie {
 public:
  TNetCookieRFC2109() { Style = Rfc2109Style; }
  std::int64_t MaxAge = -1;
  std::string Version, Comment;

  std::string ServerText() const override;
  void SetExpiry(const std::string& text) override;
  void LoadAttributes(const TNetCookieItems& items) override;
};

class TNetCookieRFC2965 : public TNetCookieRFC2109 {
 public:
  TNetCookieRFC2965() { Style = Rfc2965Style; }
  std::string CommentURL;
  bool Discard = false;
  std::vector<int> Ports;

  // A "Port" list piece that is not a number raises EConvertError.
  void LoadAttributes(const TNetCookieItems& items) override;
};

bool IsIPv4Text(const std::string& s);
bool LooksLikeHostName(const std::string& s);
std::string ParentDomain(const std::string& host);
// Whether a cookie stored under `domain` goes to `host`: a domain written
// with a leading dot matches itself and the hosts below it (at a "."), any
// other domain (a host-only cookie, an IP address) only the same host.
// Ignores case.
bool DomainMatches(const std::string& domain, const std::string& host);
// Whether a cookie with `path` goes to a request in `directory`: the path is
// a prefix that ends at a "/" of the directory.
bool PathMatches(const std::string& path, const std::string& directory);

// The collection of cookies with its index: domain -> (name -> cookie), both
// levels ignoring case and keeping insertion order. `DomainIndex` is the
// ordered view; lookups go through hash maps beside it, so storing and
// finding a cookie does not depend on how many there are.
class TNetCookies {
 public:
  using NameList = std::vector<std::pair<std::string, TNetCookieRFC2109*>>;
  std::vector<std::pair<std::string, NameList>> DomainIndex;

  int Count() const { return static_cast<int>(items_.size()); }
  // The cookie stored under `domain` and `name`, or null.
  TNetCookieRFC2109* Find(const std::string& domain, const std::string& name) const;
  // Stores a new cookie under its domain and name (neither may be stored
  // yet); the domain's oldest cookie goes when it holds `maxPerDomain`.
  TNetCookieRFC2109* Store(std::unique_ptr<TNetCookieRFC2109> cookie, std::size_t maxPerDomain);
  // Destroys entry `i` of the list of domain entry `d`.
  void Remove(std::size_t d, std::size_t i);

  // Many readers or one writer.
  std::shared_mutex Lock;

 private:
  std::unordered_map<std::string, std::size_t> domainAt_;  // upper-cased domain -> DomainIndex entry
  std::vector<std::unordered_map<std::string, TNetCookieRFC2109*>> namesAt_;  // per entry: upper-cased name
  std::unordered_map<const TNetCookieRFC2109*, std::unique_ptr<TNetCookieRFC2109>> items_;
};

class TNetCookieManager {
 public:
  using TOnManagerEvent = std::function<void(TNetCookieManager* ASender, TNetCookies* ACookieCollection)>;
  using TOnNewCookieEvent = std::function<void(TNetCookieManager* ASender, TNetCookieRFC2109* ACookie, bool& VAccept)>;

  // A hostile reply could otherwise fill the store without limit, and every
  // request would carry all of it.
  static constexpr std::size_t kMaxCookiesPerDomain = 50;
  static constexpr std::size_t kMaxHeaderBytes = 8192;

  TNetCookieManager();
  ~TNetCookieManager();
  TNetCookieManager(const TNetCookieManager&) = delete;
  TNetCookieManager& operator=(const TNetCookieManager&) = delete;

  TOnManagerEvent OnCreate, OnDestroy;
  TOnNewCookieEvent OnNewCookie;
  TNetCookies Cookies;

  // Parses one header value and stores the cookie when `host` may set it. A
  // value with a line break or NUL is not stored: it would be sent back.
  void AcceptCookie(const std::string& text, const std::string& host, TNetCookieStyle style);
  // The "Cookie" header value for a request to `url` ("" when none match).
  std::string HeaderFor(const TNetURI& url, bool secure);
  void PurgeExpired();
};

}  // namespace larkvale::http
