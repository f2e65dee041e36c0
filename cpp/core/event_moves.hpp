// Price moves inside event windows, relative to a baseline minute.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvane::core {

// For each row i of a window table, the move in basis points from its
// window's baseline price: (price[i] / base - 1) * 10000, where base is the
// price of the first row of the same window (same `window[i]` code) whose
// minute offset `time_diff` is exactly `base_minute`. Offsets are minutes as
// doubles: a fractional offset is never the baseline minute, and a row whose
// offset is NaN (missing) gets NaN. Rows of a window without a baseline row,
// with a negative code, or whose base is zero or not finite, get NaN.
//
// `base` and `seen` are caller-provided scratch of one entry per window code
// (codes lie in [0, base.size())); their contents on entry do not matter.
void event_moves(std::span<const std::int64_t> window, std::span<const double> time_diff,
                 std::span<const double> price, std::int64_t base_minute, std::span<double> base,
                 std::span<unsigned char> seen, std::span<double> out);

// For each row, the return in basis points over the previous minute of its
// window: (price[i] / price[j] - 1) * 10000, where j is the first row of the
// same window whose offset is exactly one minute less. NaN where the row's
// offset is not a whole minute, where no such row exists, or where the
// earlier price is zero or not finite. Window codes lie in [0, windows);
// rows with a negative code get NaN.
void minute_returns(std::span<const std::int64_t> window, std::span<const double> time_diff,
                    std::span<const double> price, std::size_t windows, std::span<double> out);

}  // namespace orvane::core
