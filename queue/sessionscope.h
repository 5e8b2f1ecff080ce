#pragma once
// Lends a row's browser session to a client for one transfer: the session's
// cookies in a cookie jar of their own (matched by the client's rules), the
// page as Referer and the browser's User-Agent. They go only to the row's
// own server (scheme, host and port of its address): a redirect elsewhere
// gets the client's usual Referer and User-Agent and an empty jar, so nothing
// of the session leaves for another server. An empty session changes nothing
// at all, so typed downloads keep their requests exactly.
//
// Everything the scope changes on the client is put back when it ends.

#include <memory>
#include <string>

#include "browser/pagesession.h"
#include "http/httpclient.h"

namespace larkvale::queue {

class SessionScope {
 public:
  SessionScope(http::TNetHTTP& client, const browser::PageSession& session, const std::string& address);
  ~SessionScope();
  SessionScope(const SessionScope&) = delete;
  SessionScope& operator=(const SessionScope&) = delete;

  // The client keeps the session for the rest of its life: the scope's end
  // no longer touches it. The scope must then outlive the client (a stream's
  // clients, made on its fetching threads, end with the stream).
  void KeepOnClient() { restore_ = false; }

 private:
  void Apply(bool own);

  http::TNetHTTP& client_;
  bool active_ = false;
  bool restore_ = true;
  std::string origin_;  // scheme://host:port of the address
  std::string referer_, userAgent_;
  // What the client had before.
  std::string savedReferer_, savedUserAgent_;
  http::TNetCookieManager* savedJar_ = nullptr;
  http::TNetCustomHTTP::TNetHTTPOnRedirectEvent savedOnRedirect_;
  std::unique_ptr<http::TNetCookieManager> sessionJar_, otherJar_;
};

// "http://host:80" for an address; empty when it has no host.
std::string OriginOf(const std::string& address);

}  // namespace larkvale::queue
