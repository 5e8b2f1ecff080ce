#include "support/stalling_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace larkvale::testing {

FullAcceptQueue::FullAcceptQueue() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 0) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("full accept queue: cannot listen");
  port_ = ntohs(a.sin_port);
  // Nobody accepts: connects complete until the queue is full; the first one
  // that stays pending shows that it is.
  for (int i = 0; i < 64; ++i) {
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
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

}  // namespace larkvale::testing
