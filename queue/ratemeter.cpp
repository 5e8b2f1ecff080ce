#include "queue/ratemeter.h"

#include <algorithm>

#include "platform/clock.h"

namespace larkvale::queue {

RateMeter::RateMeter(Clock now, std::int64_t windowMs) : now_(now ? std::move(now) : platform::TickCountMs), windowMs_(windowMs) {}

void RateMeter::Start(std::int64_t announced) {
  announced_ = announced;
  samples_.clear();
  samples_.push_back({now_(), 0});
}

void RateMeter::Update(std::int64_t received) {
  const std::int64_t t = now_();
  if (samples_.empty()) samples_.push_back({t, 0});
  if (samples_.back().ms == t)
    samples_.back().bytes = received;
  else
    samples_.push_back({t, received});
  // The start of an average lies up to a window before an end that may be
  // a stall's length old; a little more keeps the run it falls into whole.
  const std::int64_t keepFrom = t - 2 * windowMs_ - kStallMs - kSteadyRunMs;
  while (samples_.size() > 2 && samples_[1].ms <= keepFrom) samples_.pop_front();
}

std::size_t RateMeter::RunStart(std::size_t i) const {
  std::size_t j = i;
  // Far enough back to tell a steady flow is as far as anyone asks.
  while (j > 0 && samples_[j].ms - samples_[j - 1].ms < kRunGapMs && samples_[i].ms - samples_[j].ms < kSteadyRunMs)
    --j;
  return j;
}

std::size_t RateMeter::RunEnd(std::size_t i) const {
  std::size_t j = i;
  while (j + 1 < samples_.size() && samples_[j + 1].ms - samples_[j].ms < kRunGapMs &&
         samples_[j].ms - samples_[i].ms < kSteadyRunMs)
    ++j;
  return j;
}

std::optional<double> RateMeter::BytesPerSecond() const {
  if (samples_.size() < 2) return std::nullopt;
  const std::int64_t now = now_();
  const std::size_t lastIndex = samples_.size() - 1;
  const Sample& last = samples_[lastIndex];

  // Where the average ends.
  Sample end = last;
  std::size_t endIndex = lastIndex;
  if (now - last.ms >= kStallMs) {
    end = {now, last.bytes};  // a stall: up to now, so the figure falls
  } else if (now - last.ms < kRunGapMs) {
    // The last run may still be arriving. A burst is counted once it has
    // ended; a steady flow at its latest block.
    const std::size_t first = RunStart(lastIndex);
    const bool steady = last.ms - samples_[first].ms >= kSteadyRunMs;
    if (!steady) {
      if (first == 0) return std::nullopt;  // the first run is still arriving
      endIndex = first - 1;
      end = samples_[endIndex];
    }
  }

  // Where it starts: the end of the run that holds the last sample a window
  // before, so that both ends sit at the same point of a burst's cycle. A
  // young transfer starts at its beginning.
  const auto after = std::upper_bound(samples_.begin(), samples_.begin() + std::ptrdiff_t(endIndex) + 1,
                                      end.ms - windowMs_, [](std::int64_t ms, const Sample& s) { return ms < s.ms; });
  std::size_t startIndex = after == samples_.begin() ? 0 : std::size_t(after - samples_.begin()) - 1;
  const std::size_t runFirst = RunStart(startIndex), runLast = RunEnd(startIndex);
  if (samples_[runLast].ms - samples_[runFirst].ms < kSteadyRunMs) startIndex = std::min(runLast, endIndex);
  const Sample& start = samples_[startIndex];

  const std::int64_t span = end.ms - start.ms;
  if (span < kMinimumSpanMs) return std::nullopt;
  return double(end.bytes - start.bytes) * 1000.0 / double(span);
}

std::optional<std::int64_t> RateMeter::SecondsLeft() const {
  const std::optional<double> rate = BytesPerSecond();
  if (!rate || *rate <= 0 || announced_ <= 0 || samples_.empty()) return std::nullopt;
  const std::int64_t left = std::max<std::int64_t>(0, announced_ - samples_.back().bytes);
  return std::int64_t(double(left) / *rate + 0.5);
}

QString RateMeter::Text() const {
  const std::optional<double> rate = BytesPerSecond();
  if (!rate) return QStringLiteral("\u2013");
  const std::optional<std::int64_t> left = SecondsLeft();
  return RateText(*rate) + QStringLiteral(", ") +
         (left ? DurationLeftText(*left) + QStringLiteral(" left") : QStringLiteral("\u2013"));
}

QString RateText(double bytesPerSecond) {
  if (bytesPerSecond >= 1e6) return QString::number(bytesPerSecond / 1e6, 'f', 1) + QStringLiteral(" MB/s");
  if (bytesPerSecond >= 1e3) return QString::number(bytesPerSecond / 1e3, 'f', 1) + QStringLiteral(" KB/s");
  return QString::number(qint64(bytesPerSecond + 0.5)) + QStringLiteral(" B/s");
}

QString DurationLeftText(std::int64_t seconds) {
  const std::int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  const QString ss = QStringLiteral("%1").arg(s, 2, 10, QLatin1Char('0'));
  if (h > 0) return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(ss);
  return QStringLiteral("%1:%2").arg(m).arg(ss);
}

}  // namespace larkvale::queue
