// Stamps held as int64 ticks of one unit: the missing-time marker and the
// floor arithmetic that keeps stamps before the epoch on the right day.
#pragma once

#include <cstdint>
#include <limits>

namespace orvane::core {

// NaT: the smallest int64, as the dataframe library marks a missing stamp.
inline constexpr std::int64_t not_a_time = std::numeric_limits<std::int64_t>::min();

// value / divisor rounded toward minus infinity (divisor nonzero).
constexpr std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
  const std::int64_t q = value / divisor;
  return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? q - 1 : q;
}

// The remainder that goes with floor_div: the sign of `divisor`. Taken from
// `%` rather than value - quotient * divisor, whose product overflows near
// the ends of the int64 range.
constexpr std::int64_t floor_mod(std::int64_t value, std::int64_t divisor) {
  const std::int64_t r = value % divisor;
  return (r != 0 && (r < 0) != (divisor < 0)) ? r + divisor : r;
}

}  // namespace orvane::core
