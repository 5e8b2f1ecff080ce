// The program's one rounding, used for seconds (Timeline, bars, durations)
// and for the download list's percentages.
#include "platform/rounding.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <limits>

namespace larkvale::platform {
namespace {

TEST(RoundHalfEven, NearestWholeNumberHalvesToEvenInEveryRoundingMode) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr long long kMax = std::numeric_limits<long long>::max();
  constexpr long long kMin = std::numeric_limits<long long>::min();
  const struct {
    double value;
    long long rounded;
  } cases[] = {
      {0.5, 0},       {1.5, 2},        {2.5, 2},     {59.5, 60},  {60.5, 60},   {0.4, 0},  {0.6, 1},
      {99.5, 100},    {99.49, 99},     {-0.5, 0},    {-1.5, -2},  {-2.5, -2},   {-2.6, -3},
      {1e300, kMax},  {-1e300, kMin},  {kInf, 0},    {-kInf, 0},  {std::numeric_limits<double>::quiet_NaN(), 0},
  };
  const int saved = std::fegetround();
  for (const int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    SCOPED_TRACE(mode);
    std::fesetround(mode);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.value);
      EXPECT_EQ(RoundHalfEven(c.value), c.rounded);
    }
    EXPECT_EQ(std::fegetround(), mode);  // the caller's mode is left as it was
  }
  std::fesetround(saved);
}

}  // namespace
}  // namespace larkvale::platform
