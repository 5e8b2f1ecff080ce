// A TCP server on 127.0.0.1 (a thread of the test process) that plays one
// script per accepted connection: exact bytes, pauses, early closes and
// resets, and records what the client sent. For byte-level network tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace larkvale::testing {

// A listening socket on `address` (127.0.0.1, ::1, ...) at `port` (0 = a
// free one, written to `boundPort`); -1 when that fails. IPv6 sockets take
// IPv6 only, so that the same port may be taken by each family.
int ListenOn(const std::string& address, int port, int backlog, int* boundPort);

class ScriptedServer {
 public:
  struct Step {
    enum Kind { kSend, kSendRepeated, kReadRequest, kReadBytes, kPause, kClose, kReset, kWaitClose } kind;
    std::string bytes;  // kSend
    int amount = 0;     // kPause: ms; kReadBytes: byte count; kSendRepeated: repetitions
  };
  using Script = std::vector<Step>;

  // Script steps.
  static Step Send(std::string bytes) { return {Step::kSend, std::move(bytes), 0}; }
  // Reads up to and including the empty line that ends a request head and
  // records the head.
  // `bytes` sent `times` times over, without holding more than one copy; stops
  // early when the client goes away (for servers that send gigabytes).
  static Step SendRepeated(std::string bytes, int times) { return {Step::kSendRepeated, std::move(bytes), times}; }
  static Step ReadRequest() { return {Step::kReadRequest, {}, 0}; }
  static Step ReadBytes(int n) { return {Step::kReadBytes, {}, n}; }
  static Step Pause(int ms) { return {Step::kPause, {}, ms}; }
  // An orderly close (FIN).
  static Step Close() { return {Step::kClose, {}, 0}; }
  // An abortive close (RST).
  static Step Reset() { return {Step::kReset, {}, 0}; }
  // Reads and discards until the client closes (or 10 s pass).
  static Step WaitClose() { return {Step::kWaitClose, {}, 0}; }

  // Listens on `address` (127.0.0.1 or ::1) at `port` (0 = a free one).
  // Throws std::runtime_error when it cannot listen there.
  explicit ScriptedServer(const std::string& address = "127.0.0.1", int port = 0);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int Port() const { return port_; }
  // The script for the next connection that is accepted (scripts are used in
  // the order they were added; a connection without one is closed at once).
  void Expect(Script script);
  // Request heads recorded by ReadRequest, in order.
  std::vector<std::string> Requests() const;
  int Connections() const { return accepted_.load(); }
  // When each connection was accepted and when its script ended, in the
  // order the scripts ended: the server's log of when it served whom.
  struct Span {
    std::chrono::steady_clock::time_point accepted, ended;
  };
  std::vector<Span> Spans() const;
  // Waits until every connection accepted so far has finished its script.
  void WaitIdle(int timeoutMs = 5000);

 private:
  void Run();
  void Play(int fd, Script script);

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> running_{0};
  mutable std::mutex lock_;
  std::condition_variable idle_;
  std::deque<Script> scripts_;
  std::vector<std::string> requests_;
  std::vector<Span> spans_;
  std::vector<std::thread> players_;
  std::thread thread_;
};

}  // namespace larkvale::testing
