#include "http/ratelimit.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace larkvale::http {

RateLimit& RateLimit::Global() {
  static RateLimit limit;
  return limit;
}

void RateLimit::SetBytesPerSecond(std::int64_t rate) {
  const std::lock_guard<std::mutex> hold(lock_);
  rate_.store(std::max<std::int64_t>(rate, 0), std::memory_order_relaxed);
  lineFree_ = Clock::time_point{};
}

RateLimit::Clock::time_point RateLimit::Charge(std::int64_t bytes) {
  const std::int64_t rate = BytesPerSecond();
  const Clock::time_point now = Clock::now();
  if (rate <= 0 || bytes <= 0) return now;
  const std::lock_guard<std::mutex> hold(lock_);
  lineFree_ = std::max(lineFree_, now - kIdleCredit) +
              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(bytes) / double(rate)));
  return lineFree_;
}

int RateLimit::ReceiveBytes() const {
  const std::int64_t rate = BytesPerSecond();
  return int(std::clamp<std::int64_t>(rate / 32, 512, 32768));
}

std::int64_t ParseRateKBps(const std::string& text) {
  if (text.empty() || text.size() > 32) return -1;
  std::string number = text;
  double unit = 1024;
  const char last = number.back();
  if (last == 'k' || last == 'K') {
    number.pop_back();
  } else if (last == 'm' || last == 'M') {
    unit = 1024.0 * 1024.0;
    number.pop_back();
  }
  if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos) return -1;
  char* end = nullptr;
  const double value = std::strtod(number.c_str(), &end);
  if (end != number.c_str() + number.size() || !std::isfinite(value) || value < 0) return -1;
  const double bytes = std::round(value * unit);
  // Beyond a terabyte per second there is no limit to speak of.
  if (bytes > 1e12) return -1;
  return std::int64_t(bytes);
}

}  // namespace larkvale::http
