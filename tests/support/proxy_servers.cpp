#include "support/proxy_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/scripted_server.h"

namespace larkvale::testing {

namespace {
bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

std::string Installed(const std::string& name) {
  for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/"})
    if (::access((dir + name).c_str(), X_OK) == 0) return dir + name;
  return "";
}
}  // namespace

ProxyProcess::~ProxyProcess() { Stop(); }

void ProxyProcess::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

void ProxyProcess::Start(const std::string& name, std::vector<std::string> argv, const std::string& log) {
  const std::string program = Installed(name);
  if (program.empty()) throw std::runtime_error(name + " is not installed (scripts/install-deps.sh installs it)");
  // A port picked free may be taken before the proxy binds it: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    {
      ScriptedServer probe;
      port_ = probe.Port();
    }
    std::vector<std::string> args = argv;
    for (auto& a : args)
      if (auto at = a.find("@PORT@"); at != std::string::npos) a.replace(at, 6, std::to_string(port_));
    if (args.size() == 1 && args[0].rfind("config:", 0) == 0) {
      // The one argument is a configuration file's text.
      const std::string conf = dir_.File("proxy.conf");
      std::ofstream(conf) << args[0].substr(7);
      args = {"-d", "-c", conf};
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::freopen("/dev/null", "r", stdin);
      ::freopen(log.c_str(), "w", stdout);
      ::freopen(log.c_str(), "w", stderr);
      for (int fd = 3; fd < 1024; ++fd) ::close(fd);
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      std::vector<char*> raw{const_cast<char*>(program.c_str())};
      for (auto& a : args) raw.push_back(a.data());
      raw.push_back(nullptr);
      ::execv(program.c_str(), raw.data());
      ::_exit(127);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      if (Accepts(port_)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
  }
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  throw std::runtime_error(name + " did not start: " + text.str());
}

TinyProxy::TinyProxy(const std::string& user, const std::string& password) {
  // No ConnectPort lines: CONNECT may reach any port (test servers use
  // high ones).
  std::string conf =
      "Port @PORT@\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\nLogLevel Info\nAllow 127.0.0.1\n"
      "LogFile \"" + dir_.File("tinyproxy.log") + "\"\n";
  if (!user.empty()) conf += "BasicAuth " + user + " " + password + "\n";
  Start("tinyproxy", {"config:" + conf}, dir_.File("startup.log"));
}

SocksProxy::SocksProxy(const std::string& user, const std::string& password) {
  std::vector<std::string> args{"-i", "127.0.0.1", "-p", "@PORT@"};
  if (!user.empty()) args.insert(args.end(), {"-u", user, "-P", password});
  Start("microsocks", args, dir_.File("startup.log"));
}

}  // namespace larkvale::testing
