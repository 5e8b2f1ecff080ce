#include "support/nginx_server.h"

#include <sys/prctl.h>
#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef LARKVALE_SOURCE_DIR
#error "LARKVALE_SOURCE_DIR must name the source tree (for the nginx template)"
#endif

namespace larkvale::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "larkvale-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string NginxServer::Executable() {
  for (const char* p : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"})
    if (::access(p, X_OK) == 0) return p;
  return "";
}

namespace {
int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}
}  // namespace

NginxServer::NginxServer(const std::string& root, const std::string& extraServerConfig, const Tls& tls) : tls_(tls) {
  std::string nginx = Executable();
  if (nginx.empty()) throw std::runtime_error("nginx is not installed (scripts/install-deps.sh installs it)");
  // A port picked free may be taken before nginx binds it: try a few.
  for (int attempt = 0; attempt < 5; ++attempt)
    if (StartOnce(nginx, fs::absolute(root).string(), extraServerConfig)) return;
  std::string log;
  {
    std::ifstream in(prefix_ + "/error.log");
    std::stringstream text;
    text << in.rdbuf();
    log = text.str();
  }
  std::error_code ec;
  fs::remove_all(prefix_, ec);
  throw std::runtime_error("nginx did not start: " + log);
}

bool NginxServer::StartOnce(const std::string& nginx, const std::string& root, const std::string& extra) {
  if (!prefix_.empty()) {
    std::error_code ec;
    fs::remove_all(prefix_, ec);
  }
  std::string pattern = (fs::temp_directory_path() / "larkvale-nginx-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create nginx prefix");
  prefix_ = pattern;
  port_ = FreePort();

  std::ifstream in(std::string(LARKVALE_SOURCE_DIR) + "/tests/support/nginx.conf.in");
  if (!in) throw std::runtime_error("nginx.conf.in not found");
  std::stringstream text;
  text << in.rdbuf();
  std::string conf = text.str();
  ReplaceAll(conf, "@ROOT@", root);
  ReplaceAll(conf, "@PREFIX@", prefix_);
  ReplaceAll(conf, "@LISTEN@", tls_.certificate.empty() ? "" : " ssl");
  ReplaceAll(conf, "@EXTRA@",
             tls_.certificate.empty()
                 ? extra
                 : "    ssl_certificate " + tls_.certificate + ";\n    ssl_certificate_key " + tls_.key + ";\n" + extra);
  // After the extra lines, which may name the port too ("listen [::1]:@PORT@;").
  ReplaceAll(conf, "@PORT@", std::to_string(port_));
  std::string confPath = prefix_ + "/nginx.conf";
  std::ofstream(confPath) << conf;

  pid_ = ::fork();
  if (pid_ == 0) {
    // Quiet child: its messages go to the prefix's error.log.
    std::string errorLog = prefix_ + "/startup.log";
    ::freopen("/dev/null", "r", stdin);
    ::freopen(errorLog.c_str(), "w", stdout);
    ::freopen(errorLog.c_str(), "w", stderr);
    // Hold nothing of the test process (a runner waits for its output pipes
    // to close), and end with it even when it crashes.
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::execl(nginx.c_str(), nginx.c_str(), "-p", prefix_.c_str(), "-e", (prefix_ + "/error.log").c_str(), "-c",
            confPath.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (Accepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
  return false;
}

void NginxServer::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

NginxServer::~NginxServer() {
  Stop();
  std::error_code ec;
  if (!prefix_.empty()) fs::remove_all(prefix_, ec);
}

std::string NginxServer::BaseUrl() const {
  return (tls_.certificate.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") + std::to_string(port_);
}

}  // namespace larkvale::testing
