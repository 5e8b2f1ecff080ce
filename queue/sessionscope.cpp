#include "queue/sessionscope.h"

#include <algorithm>
#include <cctype>

namespace larkvale::queue {
namespace {

// Text that could end a header line early, or split a cookie pair, never
// reaches the wire (the values may come from a damaged list file).
bool HeaderSafe(const std::string& text) {
  return std::none_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

bool CookieSafe(const browser::BrowserCookie& c) {
  return !c.name.empty() && HeaderSafe(c.name) && HeaderSafe(c.value) && HeaderSafe(c.path) &&
         c.name.find_first_of(";=") == std::string::npos && c.value.find(';') == std::string::npos;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::string OriginOf(const std::string& address) {
  const http::TNetURI url(address);
  if (url.Host.empty()) return {};
  const std::string scheme = Lower(url.Scheme.empty() ? std::string("http") : url.Scheme);
  const std::string port = url.Port.empty() ? (scheme == "https" ? "443" : "80") : url.Port;
  return scheme + "://" + Lower(url.Host) + ":" + port;
}

SessionScope::SessionScope(http::TNetHTTP& client, const browser::PageSession& session, const std::string& address)
    : client_(client) {
  if (session.Empty()) return;
  active_ = true;
  origin_ = OriginOf(address);
  referer_ = HeaderSafe(session.referer) ? session.referer : std::string();
  userAgent_ = HeaderSafe(session.userAgent) ? session.userAgent : std::string();
  savedReferer_ = client_.Request.Referer;
  savedUserAgent_ = client_.Request.UserAgent;
  savedJar_ = client_.CookieManager;
  savedOnRedirect_ = client_.OnRedirect;

  sessionJar_ = std::make_unique<http::TNetCookieManager>();
  otherJar_ = std::make_unique<http::TNetCookieManager>();
  {
    std::unique_lock<std::shared_mutex> write(sessionJar_->Cookies.Lock);
    for (const browser::BrowserCookie& c : session.cookies) {
      if (!CookieSafe(c) || sessionJar_->Cookies.Find(c.domain, c.name)) continue;
      auto cookie = std::make_unique<http::TNetCookieRFC2109>();
      cookie->Name = c.name;
      cookie->Value = c.value;
      cookie->Domain = c.domain;
      cookie->Path = c.path.empty() ? "/" : c.path;
      cookie->Secure = c.secure;
      sessionJar_->Cookies.Store(std::move(cookie), http::TNetCookieManager::kMaxCookiesPerDomain);
    }
  }
  Apply(!origin_.empty());

  client_.OnRedirect = [this](http::TNetCustomHTTP* sender, std::string& dest, int& num, bool& handled,
                              http::TNetHTTPMethod& method) {
    if (savedOnRedirect_) savedOnRedirect_(sender, dest, num, handled, method);
    // Where the next request goes, resolved as the client will resolve it.
    http::TNetURI next = client_.CurrentUrl;
    http::TNetHTTPRequest probe;
    bool own = false;
    try {
      http::ResolveRequest(next, probe, dest);
      own = OriginOf(next.Compose(false, false)) == origin_;
    } catch (const std::exception&) {
      own = false;  // the client refuses it itself
    }
    Apply(own);
  };
}

void SessionScope::Apply(bool own) {
  client_.Request.Referer = own && !referer_.empty() ? referer_ : savedReferer_;
  client_.Request.UserAgent = own && !userAgent_.empty() ? userAgent_ : savedUserAgent_;
  client_.CookieManager = own ? sessionJar_.get() : otherJar_.get();
}

SessionScope::~SessionScope() {
  if (!active_ || !restore_) return;
  client_.Request.Referer = savedReferer_;
  client_.Request.UserAgent = savedUserAgent_;
  client_.CookieManager = savedJar_;
  client_.OnRedirect = savedOnRedirect_;
}

}  // namespace larkvale::queue
