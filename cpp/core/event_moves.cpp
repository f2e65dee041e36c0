#include "event_moves.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace orvane::core {
namespace {

// Exact: -0.5 and 0.5 are no minute at all, and offsets beyond the int64
// range cannot be any minute a caller can name.
bool is_minute(double offset, std::int64_t minute) {
  constexpr double int64_end = 9223372036854775808.0;  // 2^63
  if (!(offset >= -int64_end && offset < int64_end) || std::trunc(offset) != offset) return false;
  return static_cast<std::int64_t>(offset) == minute;
}

}  // namespace

void event_moves(std::span<const std::int64_t> window, std::span<const double> time_diff,
                 std::span<const double> price, std::int64_t base_minute, std::span<double> base,
                 std::span<unsigned char> seen, std::span<double> out) {
  const std::size_t n = window.size();
  if (time_diff.size() != n || price.size() != n || out.size() != n || seen.size() != base.size()) {
    throw std::invalid_argument("event_moves: mismatched lengths");
  }
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  std::fill(base.begin(), base.end(), nan);
  std::fill(seen.begin(), seen.end(), 0);
  const auto in_range = [&](std::int64_t code) {
    return code >= 0 && static_cast<std::size_t>(code) < base.size();
  };
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t code = window[i];
    if (!in_range(code)) {
      if (code >= 0) throw std::out_of_range("event_moves: window code beyond scratch");
      continue;
    }
    if (!seen[code] && is_minute(time_diff[i], base_minute)) {
      seen[code] = 1;
      base[code] = price[i];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t code = window[i];
    const double b = in_range(code) ? base[code] : nan;
    const bool usable = std::isfinite(b) && b != 0.0 && !std::isnan(time_diff[i]);
    out[i] = usable ? (price[i] / b - 1.0) * 10000.0 : nan;
  }
}

}  // namespace orvane::core
