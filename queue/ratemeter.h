#pragma once
// The speed of a transfer and the time it has left, averaged over the last
// few seconds so that the figure does not jump with every block. No
// widgets; the clock is injectable for tests.

#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

namespace larkvale::queue {

class RateMeter {
 public:
  using Clock = std::function<std::int64_t()>;  // milliseconds, never going back

  explicit RateMeter(Clock now = {}, std::int64_t windowMs = 5000);

  // A new transfer; `announced` is its length, 0 when unknown.
  void Start(std::int64_t announced);
  // Bytes received so far in this transfer.
  void Update(std::int64_t received);
  // Nothing arrived since the last update: once that lasts two seconds, the
  // average falls as time passes.
  void Tick();

  // Bytes per second over the window; none until half a second has passed.
  std::optional<double> BytesPerSecond() const;
  // Whole seconds left at that rate; none when the length is unknown or no
  // rate is known yet.
  std::optional<std::int64_t> SecondsLeft() const;
  // "3.2 MB/s, 0:42 left", "3.2 MB/s, –" without a length, "–" without a rate.
  QString Text() const;

 private:
  struct Sample {
    std::int64_t ms;
    std::int64_t bytes;
  };
  Clock now_;
  std::int64_t windowMs_;
  std::int64_t announced_ = 0;
  std::deque<Sample> samples_;
};

// "850 B/s", "12.5 KB/s", "3.2 MB/s" (powers of 1000).
QString RateText(double bytesPerSecond);
// "0:42", "12:05", "1:02:03".
QString DurationLeftText(std::int64_t seconds);

}  // namespace larkvale::queue
