// Proxies: which one carries a request (a setting, or the environment as
// curl reads it), and the tunnels through them: CONNECT through an HTTP
// proxy (RFC 9110, 9.3.6) and SOCKS5 (RFC 1928, with RFC 1929 passwords).
// Plain http through an HTTP proxy needs no tunnel: the client sends its
// requests to the proxy in absolute form.
#pragma once

#include <string>

#include "http/socketstack.h"

namespace larkvale::http {

struct TNetProxy {
  enum TKind { None, Http, Socks5 };
  TKind Kind = None;
  // SOCKS5 only: the proxy resolves the origin's name (socks5h://), or we
  // do and send it the address (socks5://).
  bool RemoteNames = true;
  std::string Host;  // without brackets
  int Port = 0;
  std::string User, Password;  // decoded; sent to the proxy only

  // "127.0.0.1:3128", "[::1]:1080": how messages name the proxy.
  std::string Label() const;
  bool operator==(const TNetProxy&) const = default;
};

// "http://user:pw@host:port", "socks5h://host:port", "host:port" (http).
// The port defaults to 1080; %-escapes in the user and password are decoded
// (which end at the last "@"). Raises ENetProxyError for a kind we cannot
// use or an address without host; its message shows the address without
// user and password.
TNetProxy ParseProxyAddress(const std::string& text);

// A proxy address as messages may show it: without anything between the
// scheme and the last "@" (user and password), control bytes escaped.
std::string ProxyAddressForMessages(const std::string& address);

// How the program picks its proxy.
struct TNetProxySetting {
  enum TMode { FromEnvironment, NoProxy, Fixed };
  TMode Mode = FromEnvironment;
  std::string Address;  // Fixed: the proxy's address
  bool operator==(const TNetProxySetting&) const = default;
};

// The setting as the user writes it: "none" (no proxy), "environment" or
// empty (from the environment), anything else a proxy's address (checked
// when it is used).
TNetProxySetting ParseProxySetting(const std::string& text);

// The process-wide setting every client reads as it connects.
void SetProxySetting(const TNetProxySetting& setting);
TNetProxySetting ProxySetting();

// The environment's proxy for `scheme` ("http"/"https"): http_proxy (lower
// case only, as an upper-case HTTP_PROXY may be set by a web server for a
// CGI program), https_proxy or HTTPS_PROXY, then all_proxy or ALL_PROXY; ""
// when none is set or no_proxy/NO_PROXY names the host (and `port`).
std::string ProxyFromEnvironment(const std::string& scheme, const std::string& host, int port = 0);
// Whether a no_proxy list names `host` at `port`: "*", a name and the names
// below it (a leading dot is optional), an address, or an address range
// "10.0.0.0/8". An entry with a port ("host:8080", "10.0.0.1:3128",
// "[::1]:8080") names that port only; `port` 0 (not known) matches none of
// those.
bool NoProxyMatches(const std::string& list, const std::string& host, int port = 0);

// The proxy for a request to `scheme`://`host`:`port` under `setting`.
TNetProxy ProxyFor(const TNetProxySetting& setting, const std::string& scheme, const std::string& host,
                   int port = 0);

// Over `fd`, connected to `proxy`, asks for a tunnel to `host`:`port` and
// waits for it within `deadlineMs` (-2: no limit; a time limit is an
// ENetProxyError), waiting in slices with `between` (ending the wait raises
// ENetNotConnected). A refusal raises ENetProxyError naming the proxy.
void OpenProxyTunnel(int fd, const TNetProxy& proxy, const std::string& host, int port, int timeoutMs,
                     const TWaitSlice& between);

// "Basic <base64 of user:password>" for a Proxy-Authorization header.
std::string BasicCredentials(const std::string& user, const std::string& password);

}  // namespace larkvale::http
