// The tunnel through a proxy: what an HTTP proxy answers to CONNECT and what
// a SOCKS5 proxy answers to its greeting, password and connect request. The
// first input byte picks the proxy (bit 0: SOCKS5, else HTTP; bit 1: with a
// user name and password; bit 2: SOCKS5 with names resolved here, so an
// address is sent); the rest is what "the proxy" sends, followed by its
// close. The tunnel either opens or fails with a proxy error that names the
// proxy, shows none of the password and no control byte, and stays short.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "http/exceptions.h"
#include "http/proxy.h"

using namespace larkvale::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The whole reply must fit the socket pair's buffer before the tunnel
  // reads it; longer replies add nothing the reader has not seen by then.
  if (size < 1 || size > 48 * 1024) return 0;
  const std::uint8_t mode = data[0];
  TNetProxy proxy;
  proxy.Kind = (mode & 1) ? TNetProxy::Socks5 : TNetProxy::Http;
  proxy.RemoteNames = !(mode & 4);
  proxy.Host = "127.0.0.1";
  proxy.Port = 1080;
  if (mode & 2) {
    proxy.User = "ann";
    proxy.Password = "Sekrit-pw";
  }
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  std::size_t written = 0;
  while (written < size - 1) {
    const ssize_t n = ::send(fds[1], data + 1 + written, size - 1 - written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  // The proxy's close: after its bytes the tunnel reads an end, never waits.
  ::shutdown(fds[1], SHUT_WR);
  const std::string host = (mode & 4) ? "192.0.2.7" : "video.invalid";
  try {
    OpenProxyTunnel(fds[0], proxy, host, 443, 5000, nullptr);
  } catch (const ENetProxyError& e) {
    const std::string message = e.Message();
    FUZZ_CHECK(message.rfind("Proxy 127.0.0.1:1080 ", 0) == 0);
    // The password shows only where the proxy's own text holds it.
    const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
    if (reply.find("Sekrit") == std::string::npos) FUZZ_CHECK(message.find("Sekrit") == std::string::npos);
    FUZZ_CHECK(larkvale::fuzz::PrintableUtf8(message));
    // The proxy's text is quoted in part only.
    FUZZ_CHECK(message.size() <= 400);
  }
  ::close(fds[0]);
  ::close(fds[1]);
  return 0;
}
