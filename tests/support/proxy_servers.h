// Proxies from Debian for tests, each a child process on 127.0.0.1 at a free
// port, stopped on destruction: tinyproxy (HTTP, with CONNECT) and
// microsocks (SOCKS5, names resolved by the proxy). scripts/install-deps.sh
// installs both.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/nginx_server.h"

namespace larkvale::testing {

class ProxyProcess {
 public:
  ~ProxyProcess();
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;
  int Port() const { return port_; }

 protected:
  ProxyProcess() = default;
  // Starts `argv` (with "@PORT@" replaced) until it accepts on its port.
  // Throws std::runtime_error when the program is missing or never starts.
  void Start(const std::string& program, std::vector<std::string> argv, const std::string& log);
  void Stop();
  TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// tinyproxy; with a user, it asks for Basic credentials (407 without them).
class TinyProxy : public ProxyProcess {
 public:
  explicit TinyProxy(const std::string& user = "", const std::string& password = "");
  // "http://127.0.0.1:<port>"
  std::string Address() const { return "http://127.0.0.1:" + std::to_string(port_); }
};

// microsocks; with a user, only that user and password are let through.
class SocksProxy : public ProxyProcess {
 public:
  explicit SocksProxy(const std::string& user = "", const std::string& password = "");
  // "socks5h://127.0.0.1:<port>"
  std::string Address() const { return "socks5h://127.0.0.1:" + std::to_string(port_); }
};

}  // namespace larkvale::testing
