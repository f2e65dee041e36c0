#include "event_moves.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace orvane::core {
namespace {

// Exact: -0.5 and 0.5 are no minute at all, and offsets beyond the int64
// range cannot be any minute a caller can name.
bool is_minute(double offset, std::int64_t minute) {
  constexpr double int64_end = 9223372036854775808.0;  // 2^63
  if (!(offset >= -int64_end && offset < int64_end) || std::trunc(offset) != offset) return false;
  return static_cast<std::int64_t>(offset) == minute;
}

// The offset as a whole minute, when it is one that leaves room below it.
bool whole_minute(double offset, std::int64_t& minute) {
  constexpr double int64_end = 9223372036854775808.0;  // 2^63
  if (!(offset > -int64_end + 1.0 && offset < int64_end) || std::trunc(offset) != offset) {
    return false;
  }
  minute = static_cast<std::int64_t>(offset);
  return true;
}

double return_bps(double now, double before) {
  return std::isfinite(before) && before != 0.0 ? (now / before - 1.0) * 10000.0
                                                : std::numeric_limits<double>::quiet_NaN();
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

void minute_returns(std::span<const std::int64_t> window, std::span<const double> time_diff,
                    std::span<const double> price, std::size_t windows, std::span<double> out) {
  const std::size_t n = window.size();
  if (time_diff.size() != n || price.size() != n || out.size() != n) {
    throw std::invalid_argument("minute_returns: mismatched lengths");
  }
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  std::fill(out.begin(), out.end(), nan);
  // windows as they are cut come one after another, minute by minute: then
  // the previous row is the only one that can be a minute earlier
  bool in_order = true;
  std::vector<unsigned char> started(windows);
  for (std::size_t i = 0; i < n && in_order; ++i) {
    std::int64_t m = 0, before = 0;
    if (window[i] < 0 || static_cast<std::size_t>(window[i]) >= windows ||
        !whole_minute(time_diff[i], m)) {
      in_order = false;
    } else if (i > 0 && window[i] == window[i - 1]) {
      in_order = whole_minute(time_diff[i - 1], before) && before < m;
    } else {
      in_order = !started[window[i]];  // a window in one run of rows
      started[window[i]] = 1;
    }
  }
  if (in_order) {
    for (std::size_t i = 1; i < n; ++i) {
      std::int64_t m = 0, before = 0;
      whole_minute(time_diff[i], m);
      whole_minute(time_diff[i - 1], before);
      if (window[i] == window[i - 1] && before == m - 1) {
        out[i] = return_bps(price[i], price[i - 1]);
      }
    }
    return;
  }
  // each window's first and last whole minute
  std::vector<std::int64_t> low(windows, std::numeric_limits<std::int64_t>::max());
  std::vector<std::int64_t> high(windows, std::numeric_limits<std::int64_t>::min());
  std::vector<std::int64_t> minute(n);
  std::vector<unsigned char> whole(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (window[i] < 0) continue;
    if (static_cast<std::size_t>(window[i]) >= windows) {
      throw std::out_of_range("minute_returns: window code beyond the windows");
    }
    if (!whole_minute(time_diff[i], minute[i])) continue;
    whole[i] = 1;
    low[window[i]] = std::min(low[window[i]], minute[i]);
    high[window[i]] = std::max(high[window[i]], minute[i]);
  }
  // windows span a few minutes each: one slot per minute of each window
  // holds its first row, when the slots stay within a few times the rows
  std::vector<std::size_t> start(windows + 1);
  bool compact = true;
  for (std::size_t w = 0; w < windows; ++w) {
    const std::uint64_t span = low[w] <= high[w] ? static_cast<std::uint64_t>(high[w]) -
                                                       static_cast<std::uint64_t>(low[w]) + 1
                                                 : 0;
    if (span > 4 * n + 1024 || start[w] + span > 4 * n + 1024) {
      compact = false;
      break;
    }
    start[w + 1] = start[w] + span;
  }
  if (compact) {
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> slot(start[windows], none);
    for (std::size_t i = 0; i < n; ++i) {
      if (!whole[i]) continue;
      std::size_t& first =
          slot[start[window[i]] + static_cast<std::size_t>(minute[i] - low[window[i]])];
      if (first == none) first = i;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!whole[i] || minute[i] == low[window[i]]) continue;
      const std::size_t j =
          slot[start[window[i]] + static_cast<std::size_t>(minute[i] - 1 - low[window[i]])];
      if (j != none) out[i] = return_bps(price[i], price[j]);
    }
    return;
  }
  // offsets far apart: the rows in order of window, minute and row
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < n; ++i) {
    if (whole[i]) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (window[a] != window[b]) return window[a] < window[b];
    if (minute[a] != minute[b]) return minute[a] < minute[b];
    return a < b;
  });
  std::size_t previous_first = 0;  // the first row of the previous run of one minute
  bool has_previous = false;
  for (std::size_t k = 0; k < order.size();) {
    std::size_t end = k;
    const std::size_t i = order[k];
    while (end < order.size() && window[order[end]] == window[i] &&
           minute[order[end]] == minute[i]) {
      ++end;
    }
    const std::size_t p = previous_first;
    const bool adjacent = has_previous && window[p] == window[i] && minute[p] == minute[i] - 1;
    for (std::size_t r = k; r < end; ++r) {
      if (adjacent) out[order[r]] = return_bps(price[order[r]], price[p]);
    }
    previous_first = i;
    has_previous = true;
    k = end;
  }
}

}  // namespace orvane::core
