#include "indicators.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "moving_average.hpp"

namespace orvane::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool observed(double v) { return std::isfinite(v); }

void fill_nan(std::span<double> out) { std::fill(out.begin(), out.end(), kNaN); }

// The mean of x[from, from + count), missing values (NaN, +-inf) skipped;
// NaN when there are none.
double window_mean(std::span<const double> x, std::size_t from, std::size_t count) {
  double sum = 0.0;
  std::size_t n = 0;
  for (double v : x.subspan(from, count)) {
    if (!observed(v)) continue;
    sum += v;
    ++n;
  }
  return n == 0 ? kNaN : sum / static_cast<double>(n);
}

// out = the exponential mean of x from row `start` on, seeded with `seed` on
// row start + length - 1; NaN before. Missing rows keep the mean (pandas' ewm
// without adjustment).
void smooth_from(std::span<const double> x, std::size_t start, std::size_t length, double seed,
                 double alpha, std::span<double> out) {
  if (start + length > x.size()) {
    fill_nan(out);
    return;
  }
  fill_nan(out.first(start));
  seeded_ewm_mean(x.subspan(start), length, seed, alpha, false, out.subspan(start));
}

// Wilder's smoothing: alpha 1 / length, seeded with the mean of the window
// x[start, start + length).
void wilder_from(std::span<const double> x, std::size_t start, std::size_t length,
                 std::span<double> out) {
  const double seed = start + length <= x.size() ? window_mean(x, start, length) : kNaN;
  smooth_from(x, start, length, seed, alpha_from_alpha(1.0 / static_cast<double>(length)), out);
}

// num / den scaled to 100, 0 where den is 0.
double percent(double num, double den) { return den == 0.0 ? 0.0 : 100.0 * (num / den); }

// The trailing extreme of `k` rows by a deque of row positions kept in
// `slots` (k doubles, a ring): NaN while a window is incomplete or holds a
// missing value.
template <class Better>
class RollingExtreme {
 public:
  RollingExtreme(std::size_t k, std::span<double> slots) : k_(k), slots_(slots) {}

  double push(std::span<const double> x, std::size_t i, Better better) {
    if (!observed(x[i])) last_missing_ = i + 1;
    while (size_ > 0 && at(head_) + k_ <= i) pop_front();
    if (observed(x[i])) {
      while (size_ > 0 && !better(at(back()), x[i], x)) --size_;
      slots_[(head_ + size_) % k_] = static_cast<double>(i);
      ++size_;
    }
    if (i + 1 < k_ || last_missing_ + k_ > i + 1 || size_ == 0) return kNaN;
    return x[at(head_)];
  }

 private:
  std::size_t at(std::size_t slot) const { return static_cast<std::size_t>(slots_[slot]); }
  std::size_t back() const { return (head_ + size_ - 1) % k_; }
  void pop_front() {
    head_ = (head_ + 1) % k_;
    --size_;
  }

  std::size_t k_;
  std::span<double> slots_;
  std::size_t head_ = 0, size_ = 0, last_missing_ = 0;
};

// Whether the kept row `kept` stays ahead of a new value v: strictly better.
struct Higher {
  bool operator()(std::size_t kept, double v, std::span<const double> x) const {
    return x[kept] > v;
  }
};
struct Lower {
  bool operator()(std::size_t kept, double v, std::span<const double> x) const {
    return x[kept] < v;
  }
};

// Standard deviation of each trailing window of `length` rows. Sums run over
// deviations from an anchor inside the data, taken again (and the sums
// recomputed) every `length` rows, so no cancellation grows along the series.
void rolling_deviation(std::span<const double> x, std::size_t length, long ddof,
                       std::span<double> out) {
  const double n = static_cast<double>(length);
  const double dof = n - static_cast<double>(ddof);
  double anchor = 0.0, s1 = 0.0, s2 = 0.0;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (observed(x[i])) {
      const double d = x[i] - anchor;
      s1 += d;
      s2 += d * d;
    } else {
      ++missing;
    }
    if (i >= length) {
      const double old = x[i - length];
      if (observed(old)) {
        const double d = old - anchor;
        s1 -= d;
        s2 -= d * d;
      } else {
        --missing;
      }
    }
    if (i + 1 < length) {
      out[i] = kNaN;
      continue;
    }
    if ((i + 1) % length == 0) {
      const std::size_t from = i + 1 - length;
      const double mean = window_mean(x, from, length);
      anchor = observed(mean) ? mean : anchor;
      s1 = s2 = 0.0;
      for (std::size_t j = from; j <= i; ++j) {
        if (!observed(x[j])) continue;
        const double d = x[j] - anchor;
        s1 += d;
        s2 += d * d;
      }
    }
    if (missing > 0 || dof <= 0.0) {
      out[i] = kNaN;
      continue;
    }
    out[i] = std::sqrt(std::max(0.0, (s2 - s1 * s1 / n) / dof));
  }
}

}  // namespace

std::size_t strength_index_scratch(std::size_t rows) { return 3 * rows; }

void strength_index(std::span<const double> close, std::size_t length, std::span<double> scratch,
                    std::span<double> out) {
  const std::size_t rows = close.size();
  auto gains = scratch.first(rows), losses = scratch.subspan(rows, rows);
  auto mean_loss = scratch.subspan(2 * rows, rows);
  for (std::size_t i = 0; i < rows; ++i) {
    const double change = i == 0 ? kNaN : close[i] - close[i - 1];
    gains[i] = observed(change) ? std::max(change, 0.0) : kNaN;
    losses[i] = observed(change) ? std::max(-change, 0.0) : kNaN;
  }
  wilder_from(gains, 1, length, out);
  wilder_from(losses, 1, length, mean_loss);
  for (std::size_t i = 0; i < rows; ++i) out[i] = percent(out[i], out[i] + mean_loss[i]);
}

std::size_t convergence_scratch(std::size_t rows) { return rows; }

void convergence(std::span<const double> close, std::size_t fast, std::size_t slow,
                 std::size_t signal, std::span<double> scratch, std::span<double> line,
                 std::span<double> signal_line, std::span<double> histogram) {
  const std::size_t rows = close.size();
  if (slow > rows) {
    fill_nan(line);
    fill_nan(signal_line);
    fill_nan(histogram);
    return;
  }
  const std::size_t fast_from = slow - fast;
  smooth_from(close, fast_from, fast, window_mean(close, fast_from, fast),
              alpha_from_span(static_cast<double>(fast)), histogram);
  smooth_from(close, 0, slow, window_mean(close, 0, slow),
              alpha_from_span(static_cast<double>(slow)), scratch);
  for (std::size_t i = 0; i < rows; ++i) line[i] = histogram[i] - scratch[i];
  const std::size_t start = slow - 1;
  const double seed = start + signal <= rows ? window_mean(line, start, signal) : kNaN;
  smooth_from(line, start, signal, seed, alpha_from_span(static_cast<double>(signal)), signal_line);
  for (std::size_t i = 0; i < rows; ++i) histogram[i] = line[i] - signal_line[i];
}

std::size_t stochastic_scratch(std::size_t rows, std::size_t k, std::size_t d,
                               std::size_t smooth_k) {
  return rows + 2 * k +
         std::max(rolling_mean_scratch(smooth_k, rows), rolling_mean_scratch(d, rows));
}

void stochastic(std::span<const double> high, std::span<const double> low,
                std::span<const double> close, std::size_t k, std::size_t d, std::size_t smooth_k,
                std::span<double> scratch, std::span<double> percent_k,
                std::span<double> percent_d) {
  const std::size_t rows = close.size();
  auto raw = scratch.first(rows);
  RollingExtreme<Higher> highest(k, scratch.subspan(rows, k));
  RollingExtreme<Lower> lowest(k, scratch.subspan(rows + k, k));
  auto window_scratch = scratch.subspan(rows + 2 * k);
  for (std::size_t i = 0; i < rows; ++i) {
    const double hh = highest.push(high, i, Higher{});
    const double ll = lowest.push(low, i, Lower{});
    raw[i] = std::isnan(hh) || std::isnan(ll) || !observed(close[i])
                 ? kNaN
                 : percent(close[i] - ll, hh - ll);
  }
  rolling_mean(raw, smooth_k, smooth_k, window_scratch, percent_k);
  rolling_mean(percent_k, d, d, window_scratch, percent_d);
}

std::size_t bands_scratch(std::size_t rows, std::size_t length) {
  return rolling_mean_scratch(length, rows);
}

void bands(std::span<const double> close, std::size_t length, double width, long ddof,
           std::span<double> scratch, std::span<double> upper, std::span<double> middle,
           std::span<double> lower) {
  rolling_mean(close, length, length, scratch, middle);
  rolling_deviation(close, length, ddof, lower);
  for (std::size_t i = 0; i < close.size(); ++i) {
    const double spread = width * lower[i];
    upper[i] = middle[i] + spread;
    lower[i] = middle[i] - spread;
  }
}

void true_range(std::span<const double> high, std::span<const double> low,
                std::span<const double> close, std::span<double> out) {
  if (close.empty()) return;
  out[0] = kNaN;
  for (std::size_t i = 1; i < close.size(); ++i) {
    const double previous = close[i - 1];
    out[i] = std::fmax(high[i] - low[i],
                       std::fmax(std::fabs(high[i] - previous), std::fabs(low[i] - previous)));
  }
}

std::size_t average_range_scratch(std::size_t rows) { return rows; }

void average_range(std::span<const double> high, std::span<const double> low,
                   std::span<const double> close, std::size_t length, std::span<double> scratch,
                   std::span<double> out) {
  true_range(high, low, close, scratch);
  wilder_from(scratch, 1, length, out);
}

void balance_volume(std::span<const double> close, std::span<const double> volume,
                    std::span<double> out) {
  double total = 0.0;
  for (std::size_t i = 0; i < close.size(); ++i) {
    double step = volume[i];
    if (i > 0) {
      const double change = close[i] - close[i - 1];
      const double sign = change > 0.0 ? 1.0 : change < 0.0 ? -1.0 : change == 0.0 ? 0.0 : kNaN;
      step = sign * volume[i];
    }
    if (std::isnan(step)) {
      out[i] = kNaN;
      continue;
    }
    total += step;
    out[i] = total;
  }
}

std::size_t directional_scratch(std::size_t rows) { return 4 * rows; }

void directional(std::span<const double> high, std::span<const double> low,
                 std::span<const double> close, std::size_t length, std::span<double> scratch,
                 std::span<double> adx, std::span<double> plus_di, std::span<double> minus_di) {
  const std::size_t rows = close.size();
  auto plus = scratch.first(rows), minus = scratch.subspan(rows, rows);
  auto range = scratch.subspan(2 * rows, rows), dx = scratch.subspan(3 * rows, rows);
  true_range(high, low, close, range);
  for (std::size_t i = 0; i < rows; ++i) {
    const double up = i == 0 ? kNaN : high[i] - high[i - 1];
    const double down = i == 0 ? kNaN : low[i - 1] - low[i];
    const bool known = !std::isnan(up) && !std::isnan(down);
    plus[i] = !known ? kNaN : (up > down && up > 0.0) ? up : 0.0;
    minus[i] = !known ? kNaN : (down > up && down > 0.0) ? down : 0.0;
  }
  // The sums over rows 1 to length - 1 smoothed once more on row `length`:
  // as a mean, that sum over `length` seeds the row before.
  const double alpha = alpha_from_alpha(1.0 / static_cast<double>(length));
  const double kept = static_cast<double>(length - 1) / static_cast<double>(length);
  auto seed = [&](std::span<const double> x) {
    return length == 1 ? 0.0 : window_mean(x, 1, length - 1) * kept;
  };
  const bool seeded = length < rows;
  smooth_from(plus, 0, length, seeded ? seed(plus) : kNaN, alpha, plus_di);
  smooth_from(minus, 0, length, seeded ? seed(minus) : kNaN, alpha, minus_di);
  smooth_from(range, 0, length, seeded ? seed(range) : kNaN, alpha, adx);
  for (std::size_t i = 0; i < rows; ++i) {
    if (i < length) {
      plus_di[i] = minus_di[i] = dx[i] = kNaN;
      continue;
    }
    plus_di[i] = percent(plus_di[i], adx[i]);
    minus_di[i] = percent(minus_di[i], adx[i]);
    dx[i] = percent(std::fabs(plus_di[i] - minus_di[i]), plus_di[i] + minus_di[i]);
  }
  wilder_from(dx, length, length, adx);
}

}  // namespace orvane::core
