#include "browser/pagesession.h"

#include "http/cookies.h"
#include "http/uri.h"

namespace larkvale::browser {

std::vector<BrowserCookie> CookiesFor(const std::vector<BrowserCookie>& all, const std::string& address) {
  std::vector<BrowserCookie> out;
  const http::TNetURI url(address);
  if (url.Host.empty()) return out;
  const bool secure = url.Scheme == "https" || url.Scheme == "HTTPS";
  const std::string directory = url.Directory.empty() ? "/" : url.Directory;
  for (const BrowserCookie& c : all) {
    if (!http::DomainMatches(c.domain, url.Host) || !http::PathMatches(c.path, directory)) continue;
    if (c.secure && !secure) continue;
    out.push_back(c);
  }
  return out;
}

PageSession BrowsedPage::ReloadSessionFor(const std::string& address) const {
  PageSession session = SessionFor(address);
  session.referer.clear();
  return session;
}

PageSession BrowsedPage::SessionFor(const std::string& link) const {
  PageSession s;
  s.referer = address;
  s.userAgent = userAgent;
  s.cookies = CookiesFor(cookies, link);
  return s;
}

}  // namespace larkvale::browser
