// Starts a private nginx serving one folder on 127.0.0.1 at a free port, as
// a child process in the foreground, and stops it on destruction. The
// configuration template is tests/support/nginx.conf.in; callers may add
// server-block directives (extra locations: redirects, chunked replies, ...;
// "@PORT@" in them is the server's port, e.g. "listen [::1]:@PORT@;").
#pragma once

#include <string>
#include <sys/types.h>

namespace larkvale::testing {

class NginxServer {
 public:
  // A certificate and its key in PEM files; empty: plain http.
  struct Tls {
    std::string certificate, key;
  };

  // Throws std::runtime_error when nginx cannot be found or does not start.
  // With `tls`, the port speaks https only.
  explicit NginxServer(const std::string& root, const std::string& extraServerConfig = "", const Tls& tls = {});
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>", or "https://..." with TLS.
  std::string BaseUrl() const;
  // The nginx executable, or "" when none is installed.
  static std::string Executable();

 private:
  bool StartOnce(const std::string& nginx, const std::string& root, const std::string& extra);
  void Stop();
  std::string prefix_;
  Tls tls_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// A fresh temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace larkvale::testing
