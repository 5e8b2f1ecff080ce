#include "http/proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "http/exceptions.h"
#include "http/textutil.h"
#include "http/uri.h"

namespace larkvale::http {

namespace {
std::mutex gSettingLock;
TNetProxySetting gSetting;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = HexValue(s[i + 1]);
      const int lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

std::string EnvironmentValue(const char* lower, const char* upper) {
  if (const char* v = std::getenv(lower); v && *v) return v;
  if (upper)
    if (const char* v = std::getenv(upper); v && *v) return v;
  return {};
}

// `address` within `network`/`bits`, both of one family.
bool InRange(const std::string& address, const std::string& network, int bits) {
  unsigned char a[16], n[16];
  int length;
  if (inet_pton(AF_INET, address.c_str(), a) == 1 && inet_pton(AF_INET, network.c_str(), n) == 1)
    length = 4;
  else if (inet_pton(AF_INET6, address.c_str(), a) == 1 && inet_pton(AF_INET6, network.c_str(), n) == 1)
    length = 16;
  else
    return false;
  if (bits < 0 || bits > length * 8) return false;
  for (int i = 0; i < length && bits > 0; ++i, bits -= 8) {
    const unsigned mask = bits >= 8 ? 0xffu : (0xffu << (8 - bits)) & 0xffu;
    if ((a[i] & mask) != (n[i] & mask)) return false;
  }
  return true;
}
}  // namespace

// The host comes from a setting or the environment; shown escaped all the same.
std::string TNetProxy::Label() const { return EscapedText(TNetURI::HostForHeader(Host), 200) + ":" + std::to_string(Port); }

std::string ProxyAddressForMessages(const std::string& address) {
  // The credentials end at the last "@": a password may hold "@", "/" or
  // ":" unescaped, and none of it may show.
  std::string shown = address;
  const std::size_t scheme = shown.find("://");
  const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  const std::size_t at = shown.rfind('@');
  if (at != std::string::npos && at >= from) shown.erase(from, at + 1 - from);
  return EscapedText(shown, 200);
}

TNetProxy ParseProxyAddress(const std::string& textIn) {
  const std::string text = ProxyAddressForMessages(Trim(textIn));
  std::string address = Trim(textIn);
  if (address.find("://") == std::string::npos) address = "http://" + address;
  // The user name and password are split off at the last "@" before the
  // address is read, so that none of a password with an unescaped "@" can
  // end up as the host (and in messages that name the proxy).
  std::string credentials;
  {
    const std::size_t from = address.find("://") + 3;
    const std::size_t at = address.rfind('@');
    if (at != std::string::npos && at >= from) {
      credentials = address.substr(from, at - from);
      address.erase(from, at + 1 - from);
    }
  }
  TNetURI u(address);
  u.User = SplitOff(credentials, ":");
  u.Password = u.User.empty() ? "" : credentials;
  TNetProxy p;
  const std::string scheme = UpperCase(u.Scheme);
  if (scheme == "HTTP") {
    p.Kind = TNetProxy::Http;
  } else if (scheme == "SOCKS5H" || scheme == "SOCKS5") {
    p.Kind = TNetProxy::Socks5;
    p.RemoteNames = scheme == "SOCKS5H";
  } else {
    throw ENetProxyError("Proxy " + text + " cannot be used: only http:// and socks5h:// (or socks5://) proxies are supported.");
  }
  if (u.Host.empty() || u.Host.find_first_of("[]") != std::string::npos ||
      (TNetURI::IsBracketHost(u.Host) && !TNetStack::IsIPv6Address(u.Host)))
    throw ENetProxyError("Proxy " + text + " cannot be used: the address has no valid host.");
  p.Host = u.Host;
  if (u.Port.empty()) {
    p.Port = 1080;
  } else {
    const auto port = ParseInteger(u.Port);
    if (!port || *port < 1 || *port > 65535)
      throw ENetProxyError("Proxy " + text + " cannot be used: port " + EscapedText(u.Port, 40) +
                           " is out of range (1-65535).");
    p.Port = static_cast<int>(*port);
  }
  p.User = PercentDecoded(u.User);
  p.Password = PercentDecoded(u.Password);
  return p;
}

TNetProxySetting ParseProxySetting(const std::string& textIn) {
  const std::string text = Trim(textIn);
  if (text.empty() || SameText(text, "environment")) return {};
  if (SameText(text, "none")) return {TNetProxySetting::NoProxy, ""};
  return {TNetProxySetting::Fixed, text};
}

void SetProxySetting(const TNetProxySetting& setting) {
  std::lock_guard<std::mutex> g(gSettingLock);
  gSetting = setting;
}

TNetProxySetting ProxySetting() {
  std::lock_guard<std::mutex> g(gSettingLock);
  return gSetting;
}

namespace {
// Splits a no_proxy entry's port off: "host:8080", "10.0.0.1:3128" and
// "[::1]:8080" name a port; a bare IPv6 address ("::1", "fe80::/10") does
// not. Returns 0 when the entry names no port, -1 when it names one that is
// not a number (such an entry matches nothing).
int SplitEntryPort(std::string& entry) {
  std::size_t colon = std::string::npos;
  if (entry.front() == '[') {
    const std::size_t closing = entry.find(']');
    if (closing == std::string::npos) return 0;
    if (closing + 1 < entry.size() && entry[closing + 1] == ':') colon = closing + 1;
  } else if (entry.find(':') == entry.rfind(':')) {
    colon = entry.find(':');
  }
  if (colon == std::string::npos) return 0;
  const std::string digits = entry.substr(colon + 1);
  entry.erase(colon);
  const auto port = ParseInteger(digits);
  if (!port || digits.find_first_not_of("0123456789") != std::string::npos || *port < 1 || *port > 65535) return -1;
  return static_cast<int>(*port);
}
}  // namespace

bool NoProxyMatches(const std::string& list, const std::string& hostIn, int port) {
  std::string host = hostIn;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  while (!host.empty() && host.back() == '.') host.pop_back();
  std::string rest = list;
  while (!rest.empty()) {
    std::string entry = Trim(SplitOff(rest, ","));
    // Entries may be separated by spaces as well.
    std::string more;
    if (auto space = entry.find(' '); space != std::string::npos) {
      more = entry.substr(space + 1);
      entry = entry.substr(0, space);
      rest = more + (rest.empty() ? "" : "," + rest);
    }
    if (entry.empty()) continue;
    if (entry == "*") return true;
    // An entry with a port names that port alone.
    const int entryPort = SplitEntryPort(entry);
    if (entryPort < 0 || (entryPort > 0 && entryPort != port) || entry.empty()) continue;
    if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
    if (auto slash = entry.find('/'); slash != std::string::npos) {
      const auto bits = ParseInteger(entry.substr(slash + 1));
      if (bits && InRange(host, entry.substr(0, slash), static_cast<int>(*bits))) return true;
      continue;
    }
    if (entry.front() == '.') entry.erase(0, 1);
    while (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (entry.empty()) continue;
    if (SameText(entry, host)) return true;
    // Names below the entry; never for addresses, whose text has no domains.
    if (!TNetStack::IsAddressLiteral(host) && host.size() > entry.size() &&
        host[host.size() - entry.size() - 1] == '.' && SameText(host.substr(host.size() - entry.size()), entry))
      return true;
  }
  return false;
}

std::string ProxyFromEnvironment(const std::string& scheme, const std::string& host, int port) {
  std::string address;
  if (SameText(scheme, "https"))
    address = EnvironmentValue("https_proxy", "HTTPS_PROXY");
  else if (SameText(scheme, "http"))
    address = EnvironmentValue("http_proxy", nullptr);
  if (address.empty()) address = EnvironmentValue("all_proxy", "ALL_PROXY");
  if (address.empty()) return {};
  if (NoProxyMatches(EnvironmentValue("no_proxy", "NO_PROXY"), host, port)) return {};
  return address;
}

TNetProxy ProxyFor(const TNetProxySetting& setting, const std::string& scheme, const std::string& host, int port) {
  switch (setting.Mode) {
    case TNetProxySetting::NoProxy: return {};
    case TNetProxySetting::Fixed: return Trim(setting.Address).empty() ? TNetProxy{} : ParseProxyAddress(setting.Address);
    case TNetProxySetting::FromEnvironment: break;
  }
  const std::string address = ProxyFromEnvironment(scheme, host, port);
  return address.empty() ? TNetProxy{} : ParseProxyAddress(address);
}

std::string BasicCredentials(const std::string& user, const std::string& password) {
  static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string in = user + ":" + password;
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += digits[(v >> 18) & 63];
    out += digits[(v >> 12) & 63];
    out += i + 1 < in.size() ? digits[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? digits[v & 63] : '=';
  }
  return "Basic " + out;
}

namespace {

// The bytes of one tunnel negotiation, read and written within one time limit.
class TunnelTalk {
 public:
  TunnelTalk(int fd, const TNetProxy& proxy, int timeoutMs, const TWaitSlice& between)
      : fd_(fd), proxy_(proxy), limited_(timeoutMs >= 0), between_(between) {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(limited_ ? timeoutMs : 0);
  }

  [[noreturn]] void Refused(const std::string& why) const {
    throw ENetProxyError("Proxy " + proxy_.Label() + " refused the connection: " + why);
  }

  void Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      Wait(POLLOUT);
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) Lost(errno);
      sent += static_cast<std::size_t>(n);
    }
  }

  // `count` bytes; fewer only when the proxy closes the connection first
  // (then `closed` is set, or without it the close is refused).
  std::string Read(std::size_t count, bool* closed = nullptr) {
    std::string out;
    while (out.size() < count) {
      Wait(POLLIN);
      char buffer[512];
      const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n < 0) Lost(errno);
      if (n == 0) {
        if (!closed) Refused("it closed the connection.");
        *closed = true;
        break;
      }
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

  // A reply head up to its empty line, byte by byte: what follows it belongs
  // to the tunnel. A reply that does not begin as HTTP does is refused as
  // soon as its first line (or kShownBytes of it) is in, showing those bytes.
  std::string ReadHead() {
    static const std::string kVersion = "HTTP/";
    std::string head;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
      if (head.size() > 2 && head.compare(head.size() - 2, 2, "\n\n") == 0) break;
      if (head.size() > 64 * 1024) Refused("its reply head is too long.");
      bool closed = false;
      const std::string byte = Read(1, &closed);
      const bool http = head.compare(0, kVersion.size(), kVersion, 0, std::min(head.size(), kVersion.size())) == 0;
      // One byte past what is shown, so that the message can tell it was cut.
      if (!http && (closed || head.find('\n') != std::string::npos || head.size() > kShownBytes)) NotHttp(head);
      if (closed) Refused("it closed the connection.");
      head += byte;
    }
    return head;
  }

  // Most bytes of the proxy's own text shown in a message.
  static constexpr std::size_t kShownBytes = 80;

  [[noreturn]] void NotHttp(const std::string& reply) const {
    throw ENetProxyError("Proxy " + proxy_.Label() + " answered with something that is not HTTP: \"" +
                         EscapedText(reply.substr(0, reply.find_first_of("\r\n")), kShownBytes) + "\".");
  }

 private:
  void Wait(short events) {
    using Clock = std::chrono::steady_clock;
    int left = -2;
    if (limited_) {
      left = static_cast<int>(
          std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count()));
    }
    const int seen = WaitForSocket(fd_, events, left, between_);
    if (seen == -1) throw ENetNotConnected();
    if (seen == 0)
      throw ENetProxyError("Proxy " + proxy_.Label() + " did not answer in time.");
    if (seen == -2) Lost(errno);
  }
  [[noreturn]] void Lost(int err) const {
    const int code = MapErrno(err);
    const std::string text = TNetStack::SocketErrorText(code);
    throw ENetProxyError("Proxy " + proxy_.Label() + " dropped the connection: " +
                         (text.empty() ? "error " + std::to_string(code) : text));
  }

  int fd_;
  const TNetProxy& proxy_;
  bool limited_;
  std::chrono::steady_clock::time_point deadline_;
  const TWaitSlice& between_;
};

std::string SocksReplyText(int code) {
  switch (code) {
    case 1: return "general SOCKS server failure.";
    case 2: return "connection not allowed by its rules.";
    case 3: return "network unreachable.";
    case 4: return "host unreachable.";
    case 5: return "connection refused by the destination.";
    case 6: return "TTL expired.";
    case 7: return "command not supported.";
    case 8: return "address type not supported.";
    default: return "SOCKS reply " + std::to_string(code) + ".";
  }
}

void HttpConnect(TunnelTalk& talk, const TNetProxy& proxy, const std::string& host, int port) {
  const std::string authority = TNetURI::HostForHeader(host) + ":" + std::to_string(port);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!proxy.User.empty()) request += "Proxy-Authorization: " + BasicCredentials(proxy.User, proxy.Password) + "\r\n";
  request += "\r\n";
  talk.Send(request);
  const std::string head = talk.ReadHead();
  std::string status = head.substr(0, head.find_first_of("\r\n"));
  // "HTTP/1.1 403 Forbidden": the part after the version is the reason.
  std::string rest = status;
  const std::string version = SplitOff(rest, " ");
  const std::string codeText = SplitOff(rest, " ", false);
  const auto code = ParseInteger(codeText);
  if (version.rfind("HTTP/", 0) != 0 || !code) talk.NotHttp(status);
  // The reason phrase is the proxy's text: shown escaped, and not all of it.
  if (*code / 100 != 2) talk.Refused(EscapedText(Trim(rest), TunnelTalk::kShownBytes));
}

void Socks5Connect(TunnelTalk& talk, const TNetProxy& proxy, const std::string& host, int port) {
  const bool password = !proxy.User.empty();
  if (password && (proxy.User.size() > 255 || proxy.Password.size() > 255))
    talk.Refused("the user name or password is longer than SOCKS5 allows.");
  talk.Send(password ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3));
  const std::string choice = talk.Read(2);
  if (choice[0] != 5)
    talk.Refused("it does not speak SOCKS5 (its reply began \"" + EscapedText(choice) + "\").");
  const unsigned method = static_cast<unsigned char>(choice[1]);
  if (method == 2 && password) {
    std::string auth = "\x01";
    auth += static_cast<char>(proxy.User.size());
    auth += proxy.User;
    auth += static_cast<char>(proxy.Password.size());
    auth += proxy.Password;
    talk.Send(auth);
    const std::string verdict = talk.Read(2);
    if (verdict[1] != 0) talk.Refused("the user name or password was not accepted.");
  } else if (method == 0xff) {
    // RFC 1928: X'FF' is "no acceptable methods".
    talk.Refused(std::string("none of the authentication methods offered is acceptable to it (offered: ") +
                 (password ? "no authentication, user name and password" : "no authentication") + ").");
  } else if (method == 2) {
    // Not offered (we have no password), chosen anyway.
    talk.Refused("it wants a user name and password.");
  } else if (method != 0) {
    talk.Refused("it chose an authentication method that was not offered (" + std::to_string(method) + ").");
  }
  std::string request("\x05\x01\x00", 3);
  unsigned char address[16];
  if (inet_pton(AF_INET, host.c_str(), address) == 1) {
    request += '\x01';
    request.append(reinterpret_cast<char*>(address), 4);
  } else if (inet_pton(AF_INET6, host.c_str(), address) == 1) {
    request += '\x04';
    request.append(reinterpret_cast<char*>(address), 16);
  } else {
    if (host.size() > 255) talk.Refused("the host name is longer than SOCKS5 allows.");
    request += '\x03';
    request += static_cast<char>(host.size());
    request += host;
  }
  request += static_cast<char>((port >> 8) & 0xff);
  request += static_cast<char>(port & 0xff);
  talk.Send(request);
  const std::string reply = talk.Read(4);
  if (reply[0] != 5) talk.Refused("its reply is not SOCKS5.");
  if (reply[1] != 0) talk.Refused(SocksReplyText(static_cast<unsigned char>(reply[1])));
  // The bound address and port that end the reply.
  switch (reply[3]) {
    case 1: talk.Read(4 + 2); break;
    case 4: talk.Read(16 + 2); break;
    case 3: talk.Read(static_cast<unsigned char>(talk.Read(1)[0]) + 2u); break;
    default: talk.Refused("its reply has an unknown address type.");
  }
}

}  // namespace

void OpenProxyTunnel(int fd, const TNetProxy& proxy, const std::string& host, int port, int timeoutMs,
                     const TWaitSlice& between) {
  TunnelTalk talk(fd, proxy, timeoutMs, between);
  if (proxy.Kind == TNetProxy::Http)
    HttpConnect(talk, proxy, host, port);
  else if (proxy.Kind == TNetProxy::Socks5)
    Socks5Connect(talk, proxy, host, port);
}

}  // namespace larkvale::http
