#include "support/stalling_servers.h"

#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace larkvale::testing {

FullAcceptQueue::FullAcceptQueue(const std::string& address, int port) {
  listenFd_ = ListenOn(address, port, 0, &port_);
  if (listenFd_ < 0) throw std::runtime_error("full accept queue: cannot listen on " + address);
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  // Nobody accepts: connects complete until the queue is full; the first one
  // that stays pending shows that it is.
  for (int i = 0; i < 64; ++i) {
    const int c = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::connect(c, reinterpret_cast<sockaddr*>(&a), len);
    fillers_.push_back(c);
    pollfd p{c, POLLOUT, 0};
    if (::poll(&p, 1, 200) == 0) return;
  }
  throw std::runtime_error("full accept queue: the queue never filled");
}

FullAcceptQueue::~FullAcceptQueue() {
  for (int c : fillers_) ::close(c);
  ::close(listenFd_);
}

namespace {

int ListenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("relay: cannot listen");
  port = ntohs(a.sin_port);
  return fd;
}

bool SendAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, data, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    data += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

}  // namespace

HalfRecordRelay::HalfRecordRelay(int serverPort) : serverPort_(serverPort) {
  listenFd_ = ListenOnLoopback(port_);
  thread_ = std::thread([this] { Run(); });
}

HalfRecordRelay::~HalfRecordRelay() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

void HalfRecordRelay::Run() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    Relay(client);
    ::close(client);
  }
}

void HalfRecordRelay::Relay(int client) {
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(serverPort_));
  if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(server);
    return;
  }
  std::string fromServer;  // bytes of records not yet complete
  char buffer[65536];
  while (!stop_) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (::poll(p, 2, 20) <= 0) continue;
    if (p[0].revents) {
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0 || !SendAll(server, buffer, static_cast<std::size_t>(n))) break;
    }
    if (p[1].revents) {
      const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      if (stalled_) continue;  // swallowed: the client waits for ever
      fromServer.append(buffer, static_cast<std::size_t>(n));
      while (fromServer.size() >= 5) {
        const std::size_t length = (static_cast<unsigned char>(fromServer[3]) << 8) | static_cast<unsigned char>(fromServer[4]);
        if (fromServer.size() < 5 + length) break;
        if (length > 4096 && ++largeRecords_ == 2) {
          SendAll(client, fromServer.data(), 5 + length / 2);
          stalled_ = true;
          break;
        }
        SendAll(client, fromServer.data(), 5 + length);
        fromServer.erase(0, 5 + length);
      }
    }
  }
  ::close(server);
}

}  // namespace larkvale::testing
