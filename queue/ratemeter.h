#pragma once
// The speed of a transfer and the time it has left, averaged over the last
// few seconds so that the figure does not jump with every block. No
// widgets; the clock is injectable for tests.
//
// Bytes often arrive in bursts: a throttling server sends a second's worth
// at once and then waits, and each burst reaches us as a quick run of
// blocks. An average that starts or ends in the middle of such a run, or
// between runs at another point of the cycle than where it starts, is off
// by up to one burst over the window (20 % for one burst a second over five
// seconds). So the average is taken between the ends of two runs: from the
// end of a run about a window before the last one, to the end of the last
// run that has finished. A steady flow, where blocks follow each other
// without a pause, is one long run and is averaged from any block to the
// latest.

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

  // Bytes per second now; none until half a second lies between two run
  // ends. Once nothing has arrived for kStallMs the average runs up to now,
  // so it falls while the transfer stalls.
  std::optional<double> BytesPerSecond() const;
  // Whole seconds left at that rate; none when the length is unknown or no
  // rate is known yet.
  std::optional<std::int64_t> SecondsLeft() const;
  // "3.2 MB/s, 0:42 left", "3.2 MB/s, –" without a length, "–" without a rate.
  QString Text() const;

  // Blocks closer than this belong to one run.
  static constexpr std::int64_t kRunGapMs = 250;
  // A run at least this long is a steady flow, not a burst.
  static constexpr std::int64_t kSteadyRunMs = 1000;
  static constexpr std::int64_t kStallMs = 2000;
  static constexpr std::int64_t kMinimumSpanMs = 500;

 private:
  struct Sample {
    std::int64_t ms;
    std::int64_t bytes;
  };
  // Index of the first sample of the run that holds sample `i`.
  std::size_t RunStart(std::size_t i) const;
  // Index of the last sample of that run.
  std::size_t RunEnd(std::size_t i) const;

  Clock now_;
  std::int64_t windowMs_;
  std::int64_t announced_ = 0;
  std::deque<Sample> samples_;  // one per millisecond at most
};

// "850 B/s", "12.5 KB/s", "3.2 MB/s" (powers of 1000).
QString RateText(double bytesPerSecond);
// "0:42", "12:05", "1:02:03".
QString DurationLeftText(std::int64_t seconds);

}  // namespace larkvale::queue
