// Servers on 127.0.0.1 that leave a client stuck: a listener whose accept
// queue is full (a connect to it hangs in SYN retries), and a relay that
// stops in the middle of a TLS record, for tests of waits that must not hold
// the caller's thread.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace larkvale::testing {

class FullAcceptQueue {
 public:
  // On `address` (127.0.0.1 or ::1) at `port` (0 = a free one). Throws
  // std::runtime_error when it cannot listen there or fill the queue.
  explicit FullAcceptQueue(const std::string& address = "127.0.0.1", int port = 0);
  ~FullAcceptQueue();
  FullAcceptQueue(const FullAcceptQueue&) = delete;
  FullAcceptQueue& operator=(const FullAcceptQueue&) = delete;

  int Port() const { return port_; }

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// A relay in front of a TLS server on 127.0.0.1 (one connection at a time).
// It passes everything through, reading the server's side record by record
// (the 5-byte record header gives the length), until the second record
// longer than 4 KiB (the first holds the reply head and the body's start):
// of that one it passes the first half, then nothing more, while the
// connection stays open. The client then holds half a record that it cannot
// decrypt: its socket is readable, yet no further byte of the body can be
// read.
class HalfRecordRelay {
 public:
  // Throws std::runtime_error when it cannot listen.
  explicit HalfRecordRelay(int serverPort);
  ~HalfRecordRelay();
  HalfRecordRelay(const HalfRecordRelay&) = delete;
  HalfRecordRelay& operator=(const HalfRecordRelay&) = delete;

  int Port() const { return port_; }
  // A record has been cut.
  bool Stalled() const { return stalled_.load(); }

 private:
  void Run();
  void Relay(int client);
  int listenFd_ = -1;
  int port_ = 0;
  int serverPort_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stalled_{false};
  int largeRecords_ = 0;
  std::thread thread_;
};

}  // namespace larkvale::testing
