// Price moves inside event windows, relative to the event minute.
#pragma once

#include <cstdint>
#include <span>

namespace orvane::core {

// For each row i of a window table, the move in basis points from its
// window's event-minute price: (price[i] / base - 1) * 10000, where base is
// the price of the first row of the same window (same `window[i]` code) whose
// `time_diff` is 0. Rows of a window without such a row, with a negative
// code, or whose base is zero or not finite, get NaN.
//
// `base` and `seen` are caller-provided scratch of one entry per window code
// (codes lie in [0, base.size())); their contents on entry do not matter.
void event_moves(std::span<const std::int64_t> window, std::span<const std::int64_t> time_diff,
                 std::span<const double> price, std::span<double> base,
                 std::span<unsigned char> seen, std::span<double> out);

}  // namespace orvane::core
