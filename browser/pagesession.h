#pragma once
// What the embedded browser would send with a request: its cookies, the page
// as Referer, its User-Agent. A download that comes from a browsed page
// carries the part of it that belongs to the download's own address; nothing
// of it is meant for any other server.

#include <string>
#include <vector>

namespace larkvale::browser {

struct BrowserCookie {
  std::string name, value;
  // A host ("127.0.0.1", "www.example.com") for a cookie of that host only,
  // ".example.com" for one of a domain and the hosts below it.
  std::string domain;
  std::string path = "/";
  bool secure = false;

  bool operator==(const BrowserCookie&) const = default;
};

// The session a row carries; empty for a typed or pasted download.
struct PageSession {
  std::string referer;    // the page the download was found on
  std::string userAgent;  // the browser's
  std::vector<BrowserCookie> cookies;

  bool Empty() const { return referer.empty() && userAgent.empty() && cookies.empty(); }
  bool operator==(const PageSession&) const = default;
};

// The browser's state at one moment: the page shown, the media it asked for,
// every cookie of its store and its User-Agent.
struct BrowsedPage {
  std::string address;
  std::vector<std::string> media;
  std::vector<BrowserCookie> cookies;
  std::string userAgent;

  // The session of a download of `link` found on this page: the cookies that
  // go to `link` under the client's matching rules (domain, path, secure
  // only over https), this page as Referer, the browser's User-Agent.
  PageSession SessionFor(const std::string& link) const;
  // The page itself asked for again, as a reload asks: its session without
  // a Referer.
  PageSession ReloadSessionFor(const std::string& address) const;
};

// The cookies of `all` that a request to `address` carries.
std::vector<BrowserCookie> CookiesFor(const std::vector<BrowserCookie>& all, const std::string& address);

}  // namespace larkvale::browser
