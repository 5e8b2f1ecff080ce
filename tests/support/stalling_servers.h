// Servers on 127.0.0.1 that leave a client stuck: a listener whose accept
// queue is full (a connect to it hangs in SYN retries), for tests of waits
// that must not hold the caller's thread.
#pragma once

#include <vector>

namespace larkvale::testing {

class FullAcceptQueue {
 public:
  // Throws std::runtime_error when the queue cannot be filled.
  FullAcceptQueue();
  ~FullAcceptQueue();
  FullAcceptQueue(const FullAcceptQueue&) = delete;
  FullAcceptQueue& operator=(const FullAcceptQueue&) = delete;

  int Port() const { return port_; }

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace larkvale::testing
