#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace larkvale::testing {

int ListenOn(const std::string& address, int port, int backlog, int* boundPort) {
  const bool v6 = address.find(':') != std::string::npos;
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage a{};
  socklen_t len;
  if (v6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
    len = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&a);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
    len = sizeof *in4;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  if (boundPort)
    *boundPort = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  return fd;
}

ScriptedServer::ScriptedServer(const std::string& address, int port) {
  listenFd_ = ListenOn(address, port, 16, &port_);
  if (listenFd_ < 0) throw std::runtime_error("scripted server: cannot listen on " + address);
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  thread_.join();
  for (auto& t : players_) t.join();
  ::close(listenFd_);
}

void ScriptedServer::Expect(Script script) {
  std::lock_guard<std::mutex> g(lock_);
  scripts_.push_back(std::move(script));
}

std::vector<std::string> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> g(lock_);
  return requests_;
}

std::vector<ScriptedServer::Span> ScriptedServer::Spans() const {
  std::lock_guard<std::mutex> g(lock_);
  return spans_;
}

void ScriptedServer::WaitIdle(int timeoutMs) {
  std::unique_lock<std::mutex> g(lock_);
  idle_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return running_.load() == 0; });
}

void ScriptedServer::Run() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Script script;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!scripts_.empty()) {
        script = std::move(scripts_.front());
        scripts_.pop_front();
      }
      ++running_;
    }
    ++accepted_;
    // Each connection plays on its own thread, so that a client holding one
    // connection open can still open the next.
    players_.emplace_back([this, fd, s = std::move(script)]() mutable { Play(fd, std::move(s)); });
  }
}

namespace {
// Reads with a poll so that a stopping server never hangs on a silent client.
ssize_t ReadSome(int fd, char* buf, size_t n, const std::atomic<bool>& stop, int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!stop && std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) return ::recv(fd, buf, n, 0);
  }
  return -1;
}
}  // namespace

void ScriptedServer::Play(int fd, Script script) {
  const auto accepted = std::chrono::steady_clock::now();
  bool open = true;
  for (const Step& step : script) {
    if (!open) break;
    switch (step.kind) {
      case Step::kSend: {
        size_t done = 0;
        while (done < step.bytes.size()) {
          ssize_t n = ::send(fd, step.bytes.data() + done, step.bytes.size() - done, MSG_NOSIGNAL);
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
        break;
      }
      case Step::kSendRepeated: {
        // Waits for room in slices so that the server's destructor can end
        // a client that stopped reading without closing.
        for (int i = 0; i < step.amount && open && !stop_; ++i) {
          size_t done = 0;
          while (done < step.bytes.size() && !stop_) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            ssize_t n = ::send(fd, step.bytes.data() + done, step.bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
              open = false;
              break;
            }
            done += static_cast<size_t>(n);
          }
        }
        if (!open) {
          ::close(fd);
        }
        break;
      }
      case Step::kReadRequest: {
        std::string head;
        char c;
        while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
          if (ReadSome(fd, &c, 1, stop_, 10000) != 1) break;
          head.push_back(c);
        }
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(head);
        break;
      }
      case Step::kReadBytes: {
        std::vector<char> buf(static_cast<size_t>(step.amount));
        size_t done = 0;
        while (done < buf.size()) {
          ssize_t n = ReadSome(fd, buf.data() + done, buf.size() - done, stop_, 10000);
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
        break;
      }
      case Step::kPause: {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.amount);
        while (!stop_ && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        break;
      }
      case Step::kClose:
        ::close(fd);
        open = false;
        break;
      case Step::kReset: {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
        open = false;
        break;
      }
      case Step::kWaitClose: {
        char buf[4096];
        while (ReadSome(fd, buf, sizeof buf, stop_, 10000) > 0) {
        }
        break;
      }
    }
  }
  if (open) ::close(fd);
  std::lock_guard<std::mutex> g(lock_);
  spans_.push_back({accepted, std::chrono::steady_clock::now()});
  --running_;
  idle_.notify_all();
}

}  // namespace larkvale::testing
