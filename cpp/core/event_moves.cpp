#include "event_moves.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace orvane::core {

void event_moves(std::span<const std::int64_t> window, std::span<const std::int64_t> time_diff,
                 std::span<const double> price, std::span<double> base,
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
    if (time_diff[i] == 0 && !seen[code]) {
      seen[code] = 1;
      base[code] = price[i];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t code = window[i];
    const double b = in_range(code) ? base[code] : nan;
    out[i] = (std::isfinite(b) && b != 0.0) ? (price[i] / b - 1.0) * 10000.0 : nan;
  }
}

}  // namespace orvane::core
