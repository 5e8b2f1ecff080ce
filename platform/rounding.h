#pragma once
// The program's rounding of seconds and percentages to whole numbers.

namespace larkvale::platform {

// The nearest whole number, halves to the even neighbour (59.5 -> 60,
// 60.5 -> 60, 99.5 -> 100), whatever rounding mode is set. NaN and the
// infinities give 0; a value beyond long long gives its nearest limit.
long long RoundHalfEven(double value);

}  // namespace larkvale::platform
