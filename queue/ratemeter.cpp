#include "queue/ratemeter.h"

#include <algorithm>
#include <chrono>

namespace larkvale::queue {

namespace {

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr std::int64_t kMinimumSpanMs = 500;
constexpr std::int64_t kStallMs = 2000;

}  // namespace

RateMeter::RateMeter(Clock now, std::int64_t windowMs) : now_(now ? std::move(now) : SteadyMs), windowMs_(windowMs) {}

void RateMeter::Start(std::int64_t announced) {
  announced_ = announced;
  samples_.clear();
  samples_.push_back({now_(), 0});
}

void RateMeter::Update(std::int64_t received) {
  const std::int64_t t = now_();
  if (samples_.empty()) samples_.push_back({t, 0});
  samples_.push_back({t, received});
  // Keep one sample at or before the window's start, so the average always
  // spans the whole window once the transfer is that old.
  while (samples_.size() > 2 && samples_[1].ms <= t - windowMs_) samples_.pop_front();
}

void RateMeter::Tick() {
  // Blocks may arrive a second apart; only a longer silence is a stall.
  // Counting every quiet moment as one would pull the figure down between
  // two blocks.
  if (!samples_.empty() && now_() - samples_.back().ms >= kStallMs) Update(samples_.back().bytes);
}

std::optional<double> RateMeter::BytesPerSecond() const {
  if (samples_.size() < 2) return std::nullopt;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  const std::int64_t span = last.ms - first.ms;
  if (span < kMinimumSpanMs) return std::nullopt;
  return double(last.bytes - first.bytes) * 1000.0 / double(span);
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
