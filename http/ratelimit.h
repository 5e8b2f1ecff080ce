#pragma once
// The process-wide speed limit: one budget of bytes per second that every
// body read of every client draws on, whichever thread it runs on (the
// window's transfer, the parts of a split file, a stream's pieces).
//
// Each read is paid for after it is taken, by moving a shared "line free
// at" moment on by its length at the limit's rate; the reader then waits
// until that moment before its next receive. Readers that take turns this
// way get equal shares, and the sum never runs ahead of the rate by more
// than one receive per reader plus a short idle credit. The wait is the
// connection's own sliced wait, so `OnWaiting` keeps running (the window
// stays responsive) and a Disconnect ends it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace larkvale::http {

class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  static RateLimit& Global();

  // Bytes per second; 0 (or less) means no limit.
  void SetBytesPerSecond(std::int64_t rate);
  std::int64_t BytesPerSecond() const { return rate_.load(std::memory_order_relaxed); }
  bool Active() const { return BytesPerSecond() > 0; }

  // `bytes` were just received: the moment before which the same reader
  // should not receive again.
  Clock::time_point Charge(std::int64_t bytes);
  // The largest receive while the limit holds: about 1/32 s of the rate
  // (whole receives are what readers take turns with).
  int ReceiveBytes() const;

  // Idle time credited to the next reader, so a short gap (a reader busy
  // elsewhere, a slow wake-up) is not lost from the rate.
  static constexpr std::chrono::milliseconds kIdleCredit{50};

 private:
  std::atomic<std::int64_t> rate_{0};
  std::mutex lock_;
  Clock::time_point lineFree_{};
};

// "2m", "500k", "1.5M", "800": a rate in KB/s (1 KB = 1024 bytes) with an
// optional k (KB) or m (MB) suffix, as bytes per second; -1 when it is not one.
// A plain number counts KB/s.
std::int64_t ParseRateKBps(const std::string& text);

}  // namespace larkvale::http
