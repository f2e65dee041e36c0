#include "indicators.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "moving_average.hpp"

namespace orvane::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

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

// One exponential mean without adjustment, row by row, as pandas' ewm runs
// it: a missing row ages the weight of the mean, the next observation blends
// in with ((1 - alpha)^gap * mean + alpha * x) / ((1 - alpha)^gap + alpha).
class ExponentialChain {
 public:
  explicit ExponentialChain(double alpha)
      : alpha_(alpha),
        beta_(1.0 - alpha),
        step_scale_(1.0 / (beta_ + alpha)),
        unit_scale_(beta_ + alpha == 1.0) {
    // the weights of four steps run at once (see push4)
    const double b = unit_scale_ ? beta_ : beta_ * step_scale_;
    a_ = unit_scale_ ? alpha_ : alpha_ * step_scale_;
    b_[0] = b;
    for (int k = 1; k < 4; ++k) b_[k] = b_[k - 1] * b;
  }

  // Starts the mean at `seed` (not started while that is NaN).
  void seed(double seed) {
    mean_ = seed;
    weight_ = 1.0;
  }

  double value() const { return mean_; }

  double push(double x) {
    // an observation right after one: the blend's weights sum to 1 (up to a
    // rounding, which the scale takes out), and only a multiply and an add
    // stand between one row's mean and the next
    if (observed(x) && weight_ == 1.0 && !std::isnan(mean_)) [[likely]] {
      const double blended = beta_ * mean_ + alpha_ * x;
      mean_ = unit_scale_ ? blended : blended * step_scale_;
      return mean_;
    }
    if (std::isnan(mean_)) {
      if (observed(x)) seed(x);
      return mean_;
    }
    if (!observed(x)) {
      weight_ *= beta_;
      return mean_;
    }
    const double aged = weight_ * beta_;
    mean_ = (aged * mean_ + alpha_ * x) / (aged + alpha_);
    weight_ = 1.0;
    return mean_;
  }

  // push() of x[0] to x[3], the means into out[0] to out[3]. Four observed
  // values after an observed mean take the four steps in closed form, each
  // mean b^(k+1) * mean + a * (the values' weighted sum): one multiply and
  // add wait for the mean before, not four, so a row costs a quarter of the
  // chain's latency. The sums round differently from four steps, by a few
  // units in the last place of the mean.
  void push4(const double* x, double* out) {
    const bool plain = observed(x[0]) && observed(x[1]) && observed(x[2]) && observed(x[3]);
    if (!plain || weight_ != 1.0 || std::isnan(mean_)) {
      for (int k = 0; k < 4; ++k) out[k] = push(x[k]);
      return;
    }
    const double s1 = b_[0] * x[0] + x[1], s2 = b_[0] * s1 + x[2], s3 = b_[0] * s2 + x[3];
    const double m = mean_;
    out[0] = b_[0] * m + a_ * x[0];
    out[1] = b_[1] * m + a_ * s1;
    out[2] = b_[2] * m + a_ * s2;
    out[3] = mean_ = b_[3] * m + a_ * s3;
  }

 private:
  double alpha_, beta_, step_scale_;
  bool unit_scale_;
  double a_, b_[4];
  double mean_ = kNaN, weight_ = 1.0;
};

// The seed of a Wilder chain fed from row 1: the mean of the observed values
// `value(i)` of rows 1 to length.
template <class Value>
double first_window_mean(std::size_t length, Value value) {
  double sum = 0.0;
  std::size_t n = 0;
  for (std::size_t i = 1; i <= length; ++i) {
    const double v = value(i);
    if (!observed(v)) continue;
    sum += v;
    ++n;
  }
  return n == 0 ? kNaN : sum / static_cast<double>(n);
}

// The true range of row i >= 1: the largest of the three spans, a missing
// one left out (NaN when all are). Rows without a missing span take plain
// maxima, which do not branch on the data.
double row_range(std::span<const double> high, std::span<const double> low,
                 std::span<const double> close, std::size_t i) {
  const double previous = close[i - 1];
  const double a = high[i] - low[i], b = std::fabs(high[i] - previous),
               c = std::fabs(low[i] - previous);
  // written as selects, which compile to max instructions: std::max's
  // reference result made a branch on the data, mispredicted every few rows
  const double ab = a < b ? b : a;
  if (!std::isnan(a + b + c)) [[likely]]
    return ab < c ? c : ab;
  double widest = kNaN;
  for (double span : {a, b, c}) {
    if (!std::isnan(span)) widest = std::isnan(widest) ? span : std::max(widest, span);
  }
  return widest;
}

// The upward and downward moves of row i >= 1: the larger of high's rise
// and low's fall where positive, the other 0; both NaN when either change is
// missing.
struct Moves {
  double plus, minus;
};
Moves directional_moves(std::span<const double> high, std::span<const double> low, std::size_t i) {
  const double up = high[i] - high[i - 1], down = low[i - 1] - low[i];
  if (std::isnan(up) || std::isnan(down)) return {kNaN, kNaN};
  return {(up > down && up > 0.0) ? up : 0.0, (down > up && down > 0.0) ? down : 0.0};
}

// The mean of the observed values summed so far and `last`: NaN when none is.
double seen_mean(double sum, std::size_t seen, double last) {
  if (observed(last)) {
    sum += last;
    ++seen;
  }
  return seen == 0 ? kNaN : sum / static_cast<double>(seen);
}

// num / den scaled to 100, 0 where den is 0.
double percent(double num, double den) { return den == 0.0 ? 0.0 : 100.0 * (num / den); }

// The extreme of each trailing window of `k` rows, into `out`: NaN while a
// window is incomplete or holds a missing value. Blocks of k rows: a window
// ending at offset t of a block is the extreme of the previous block's rows
// after t (their suffix extremes, kept in `suffix`, k doubles) and of the
// block's rows up to t (a running prefix extreme), so every row costs two
// comparisons that do not branch on the data. `better(a, b)` is the extreme
// of a and b; `worst` its identity, standing in for missing values.
template <class Better>
void rolling_extreme(std::span<const double> x, std::size_t k, Better better, double worst,
                     std::span<double> suffix, std::span<double> out) {
  std::fill(suffix.begin(), suffix.end(), worst);
  std::size_t last_missing = 0;  // one past the last missing row
  for (std::size_t block = 0; block < x.size(); block += k) {
    const std::size_t end = std::min(block + k, x.size());
    double prefix = worst;
    for (std::size_t i = block; i < end; ++i) {
      const bool seen = observed(x[i]);
      last_missing = seen ? last_missing : i + 1;
      prefix = better(prefix, seen ? x[i] : worst);
      const std::size_t t = i - block;
      const double extreme = better(t + 1 < k ? suffix[t + 1] : worst, prefix);
      out[i] = (i + 1 < k || last_missing + k > i + 1) ? kNaN : extreme;
    }
    double running = worst;
    for (std::size_t i = end; i-- > block;) {
      running = better(running, observed(x[i]) ? x[i] : worst);
      suffix[i - block] = running;
    }
  }
}

constexpr auto higher = [](double a, double b) { return a < b ? b : a; };
constexpr auto lower = [](double a, double b) { return b < a ? b : a; };

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

void strength_index(std::span<const double> close, std::size_t length, std::span<double> out) {
  const std::size_t rows = close.size();
  if (length >= rows) {
    fill_nan(out);
    return;
  }
  auto change = [&](std::size_t i) { return close[i] - close[i - 1]; };
  // (c + |c|) / 2 and (|c| - c) / 2 are exact, and do not branch on the
  // sign of the change; a missing change stays missing (inf - inf is NaN)
  auto gain = [&](std::size_t i) {
    const double c = change(i);
    return 0.5 * (c + std::fabs(c));
  };
  auto loss = [&](std::size_t i) {
    const double c = change(i);
    return 0.5 * (std::fabs(c) - c);
  };
  // both means in one pass: two independent chains per row
  const double alpha = alpha_from_alpha(1.0 / static_cast<double>(length));
  ExponentialChain up(alpha), down(alpha);
  up.seed(first_window_mean(length, gain));
  down.seed(first_window_mean(length, loss));
  fill_nan(out.first(length));
  out[length] = percent(up.value(), up.value() + down.value());
  // the chains a block at a time, then the block's ratios in a loop of its
  // own, which needs no chain's value to wait for and runs in vectors
  constexpr std::size_t kBlock = 256;
  double falls[kBlock];
  for (std::size_t from = length + 1; from < rows; from += kBlock) {
    const std::size_t n = std::min(kBlock, rows - from);
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
      const std::size_t r = from + j;
      const double gains[4] = {gain(r), gain(r + 1), gain(r + 2), gain(r + 3)};
      const double losses[4] = {loss(r), loss(r + 1), loss(r + 2), loss(r + 3)};
      up.push4(gains, &out[r]);
      down.push4(losses, &falls[j]);
    }
    for (; j < n; ++j) {
      out[from + j] = up.push(gain(from + j));
      falls[j] = down.push(loss(from + j));
    }
    for (std::size_t j = 0; j < n; ++j) {
      const double rises = out[from + j], total = rises + falls[j];
      out[from + j] = total == 0.0 ? 0.0 : 100.0 * (rises / total);
    }
  }
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
  return k + std::max(rolling_mean_scratch(smooth_k, rows), rolling_mean_scratch(d, rows));
}

void stochastic(std::span<const double> high, std::span<const double> low,
                std::span<const double> close, std::size_t k, std::size_t d, std::size_t smooth_k,
                std::span<double> scratch, std::span<double> percent_k,
                std::span<double> percent_d) {
  const std::size_t rows = close.size();
  // the highest highs in %K's span and the lowest lows in %D's, then the raw
  // %K over the lows: both spans are free again once it is taken
  auto window_scratch = scratch.subspan(k);
  rolling_extreme(high, k, higher, -kInf, scratch.first(k), percent_k);
  rolling_extreme(low, k, lower, kInf, scratch.first(k), percent_d);
  auto raw = percent_d;
  for (std::size_t i = 0; i < rows; ++i) {
    const double hh = percent_k[i], ll = percent_d[i];
    raw[i] = std::isnan(hh) || std::isnan(ll) || !observed(close[i])
                 ? kNaN
                 : percent(close[i] - ll, hh - ll);
  }
  rolling_mean(raw, smooth_k, smooth_k, window_scratch, percent_k);
  rolling_mean(percent_k, d, d, window_scratch, percent_d);  // raw %K read, now overwritten
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
  for (std::size_t i = 1; i < close.size(); ++i) out[i] = row_range(high, low, close, i);
}

void average_range(std::span<const double> high, std::span<const double> low,
                   std::span<const double> close, std::size_t length, std::span<double> out) {
  const std::size_t rows = close.size();
  if (length >= rows) {
    fill_nan(out);
    return;
  }
  auto range = [&](std::size_t i) { return row_range(high, low, close, i); };
  ExponentialChain mean(alpha_from_alpha(1.0 / static_cast<double>(length)));
  mean.seed(first_window_mean(length, range));
  fill_nan(out.first(length));
  out[length] = mean.value();
  std::size_t i = length + 1;
  for (; i + 4 <= rows; i += 4) {
    const double ranges[4] = {range(i), range(i + 1), range(i + 2), range(i + 3)};
    mean.push4(ranges, &out[i]);
  }
  for (; i < rows; ++i) out[i] = mean.push(range(i));
}

void balance_volume(std::span<const double> close, std::span<const double> volume,
                    std::span<double> out) {
  double total = 0.0;
  for (std::size_t i = 0; i < close.size(); ++i) {
    double step = volume[i];
    if (i > 0) {
      const double change = close[i] - close[i - 1];
      // -1, 0 or 1, and NaN for a missing change
      const double sign =
          static_cast<double>((change > 0.0) - (change < 0.0)) + (std::isnan(change) ? kNaN : 0.0);
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

void directional(std::span<const double> high, std::span<const double> low,
                 std::span<const double> close, std::size_t length, std::span<double> adx,
                 std::span<double> plus_di, std::span<double> minus_di) {
  const std::size_t rows = close.size();
  if (length >= rows) {
    fill_nan(adx);
    fill_nan(plus_di);
    fill_nan(minus_di);
    return;
  }
  auto moves = [&](std::size_t i) { return directional_moves(high, low, i); };
  auto range = [&](std::size_t i) { return row_range(high, low, close, i); };
  // The sums over rows 1 to length - 1 smoothed once more on row `length`:
  // as a mean, that sum over `length` seeds the row before.
  const double alpha = alpha_from_alpha(1.0 / static_cast<double>(length));
  const double kept = static_cast<double>(length - 1) / static_cast<double>(length);
  auto seed = [&](auto value) {
    return length == 1 ? 0.0 : first_window_mean(length - 1, value) * kept;
  };
  ExponentialChain up(alpha), down(alpha), ranges(alpha), trend(alpha);
  up.seed(seed([&](std::size_t i) { return moves(i).plus; }));
  down.seed(seed([&](std::size_t i) { return moves(i).minus; }));
  ranges.seed(seed(range));
  fill_nan(plus_di.first(length));
  fill_nan(minus_di.first(length));
  fill_nan(adx.first(std::min(rows, 2 * length - 1)));
  // DX of rows length to 2 * length - 1 is averaged into ADX's seed, then
  // blended into it: the three smoothings, DX and ADX advance row by row
  double dx_sum = 0.0;
  std::size_t dx_seen = 0;
  for (std::size_t i = length; i < rows; ++i) {
    const Moves move = moves(i);
    const double r = ranges.push(range(i));
    const double plus = percent(up.push(move.plus), r), minus = percent(down.push(move.minus), r);
    plus_di[i] = plus;
    minus_di[i] = minus;
    const double dx = percent(std::fabs(plus - minus), plus + minus);
    if (i >= 2 * length - 1) [[likely]] {
      if (i == 2 * length - 1) trend.seed(seen_mean(dx_sum, dx_seen, dx));
      adx[i] = i == 2 * length - 1 ? trend.value() : trend.push(dx);
      continue;
    }
    dx_sum += observed(dx) ? dx : 0.0;
    dx_seen += observed(dx);
  }
}

}  // namespace orvane::core
