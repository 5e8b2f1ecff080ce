#include "platform/rounding.h"

#include <cmath>
#include <limits>

namespace larkvale::platform {

long long RoundHalfEven(double value) {
  if (!std::isfinite(value)) return 0;
  // Halves to even is symmetric about 0. For a value that is not negative,
  // its floor and the rest above it are exact, so the rounding mode that
  // happens to be set plays no part.
  const double magnitude = std::fabs(value);
  double whole = std::floor(magnitude);
  const double rest = magnitude - whole;
  if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  constexpr double kTwoToThe63 = 9223372036854775808.0;
  if (whole >= kTwoToThe63)
    return value < 0 ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
  return static_cast<long long>(value < 0 ? -whole : whole);
}

}  // namespace larkvale::platform
