#include "indicators.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <type_traits>

#include "lanes.hpp"
#include "moving_average.hpp"

namespace orvane::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The rows of the window extremes' chunks: their doubling passes stay in
// the cache.
constexpr std::size_t kExtremeChunk = 2048;

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
    // the coefficients of four steps run at once (see steps4)
    b_ = unit_scale_ ? beta_ : beta_ * step_scale_;
    a_ = unit_scale_ ? alpha_ : alpha_ * step_scale_;
    decay_ = lanes::Lane{b_, b_ * b_, b_ * b_ * b_, b_ * b_ * b_ * b_};
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

  // Whether the next observation blends in with whole weights: the mean is
  // observed and no gap has aged it.
  bool in_step() const { return weight_ == 1.0 && !std::isnan(mean_); }

  // push() of four observed rows while in step, their means returned: each
  // mean b^(k+1) * mean + the sum over j <= k of a * b^(k-j) * x[j], in
  // vectors, so only the last mean's multiply and add wait for the mean
  // before: the chain's latency is spread over four rows and the sums run
  // off it, a scan of two shifted adds. They round differently from four
  // steps, by a few units in the last place of the mean.
  ORVANE_INLINE lanes::Lane steps4(lanes::Lane x) {
    using lanes::splat;
    const lanes::Lane zero = splat(0.0);
    lanes::Lane sums = splat(a_) * x;
    sums += splat(b_) * __builtin_shufflevector(zero, sums, 0, 4, 5, 6);
    sums += splat(b_ * b_) * __builtin_shufflevector(zero, sums, 0, 1, 4, 5);
    const double m = mean_;
    mean_ = m * decay_[3] + sums[3];
    return splat(m) * decay_ + sums;
  }

 private:
  double alpha_, beta_, step_scale_;
  bool unit_scale_;
  double a_, b_;
  lanes::Lane decay_;
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

using lanes::Lane;

// |v| by clearing the sign bits, as std::fabs does (-0 becomes 0).
ORVANE_INLINE Lane lane_abs(Lane v) {
  using Bits = long long __attribute__((vector_size(32)));
  return (Lane)((Bits)v & ~(Bits)lanes::splat(-0.0));
}

// Rows [from, to) of a kernel whose exponential means are `chains`, a block
// of 64 rows at a time (the last one the whole fours left). While every
// chain is in step, `four(i)` takes rows i to i + 3 in closed form (steps4)
// and returns its inputs' x - x (0 where observed, NaN where not): a block
// whose inputs were all observed stands, any other is taken again from its
// start by `one(i)`, a row at a time, from the chains as they were. Returns
// how many rows stood.
template <std::size_t N, class Four, class One>
ORVANE_INLINE std::size_t standing_blocks(std::array<ExponentialChain, N>& chains, std::size_t from,
                                          std::size_t to, Four four, One one) {
  constexpr std::size_t kBlock = 64;
  std::size_t stood = 0;
  for (std::size_t i = from; i < to;) {
    const std::size_t fours = std::min(kBlock, (to - i) / 4 * 4);
    const std::size_t end = fours > 0 ? i + fours : to;
    const bool in_step = std::all_of(chains.begin(), chains.end(),
                                     [](const ExponentialChain& c) { return c.in_step(); });
    if (fours > 0 && in_step) {
      const std::array<ExponentialChain, N> kept = chains;
      Lane gaps = lanes::splat(0.0);
      for (std::size_t r = i; r < end; r += 4) gaps += four(r);
      if (gaps[0] + gaps[1] + gaps[2] + gaps[3] == 0.0) {
        stood += fours;
        i = end;
        continue;
      }
      chains = kept;
    }
    for (; i < end; ++i) one(i);
  }
  return stood;
}

// The inclusive prefix sums of a Lane's four values (x0, x0 + x1, ...) and
// its suffix sums (x0 + ... + x3, x1 + x2 + x3, ...): two shifted adds.
ORVANE_INLINE Lane prefix_sums(Lane v) {
  const Lane zero = lanes::splat(0.0);
  v += __builtin_shufflevector(zero, v, 0, 4, 5, 6);
  return v + __builtin_shufflevector(zero, v, 0, 1, 4, 5);
}
ORVANE_INLINE Lane suffix_sums(Lane v) {
  const Lane zero = lanes::splat(0.0);
  v += __builtin_shufflevector(v, zero, 1, 2, 3, 4);
  return v + __builtin_shufflevector(v, zero, 2, 3, 4, 5);
}

// The sums of a rolling variance's blocks (see rolling_variance): deviations
// from `anchor`, the suffix sums of the block before (s1, s2, each with a 0
// after its last row) and the block's running prefix sums.
struct VarianceSums {
  double anchor, per_row, per_dof, width;
  double* s1;
  double* s2;
};

// The bands' three rows from a window's sums of deviations and of their
// squares: its mean, and that plus and minus width times the root of the
// variance (NaN when ddof leaves no degree of freedom: per_dof is NaN). A
// spread within the sums' rounding (16 units in the last place of the
// squares' sum) is 0: a flat window's bands are equal, wherever the anchor.
struct BandRows {
  double* upper;
  double* middle;
  double* lower;

  static constexpr double kRounding = 16.0 * std::numeric_limits<double>::epsilon();

  template <class V>
  ORVANE_INLINE void put(const VarianceSums& v, std::size_t i, V w1, V w2) const {
    const V mean = v.anchor + w1 * v.per_row, spread = w2 - w1 * w1 * v.per_row;
    if constexpr (std::is_same_v<V, double>) {
      const double width =
          v.width * std::sqrt((spread <= kRounding * w2 ? 0.0 : spread) * v.per_dof);
      upper[i] = mean + width;
      middle[i] = mean;
      lower[i] = mean - width;
    } else {
      const V kept = (spread <= kRounding * w2 ? lanes::splat(0.0) : spread) * v.per_dof;
      const V width = v.width * V{std::sqrt(kept[0]), std::sqrt(kept[1]), std::sqrt(kept[2]),
                                  std::sqrt(kept[3])};
      lanes::store(upper + i, mean + width);
      lanes::store(middle + i, mean);
      lanes::store(lower + i, mean - width);
    }
  }
};

// The bands of the rows of a block whose rows, and the previous block's,
// are all observed (and which is not the first): four rows a step, their
// prefix sums a scan in vectors. Returns the block's sum of deviations.
ORVANE_INLINE double observed_block(const VarianceSums& v, const double* x, std::size_t from,
                                    std::size_t n, const BandRows& out) {
  double p1 = 0.0, p2 = 0.0;
  std::size_t t = 0;
  for (; t + 4 <= n; t += 4) {
    const Lane d = lanes::load(x + from + t) - lanes::splat(v.anchor);
    const Lane q1 = prefix_sums(d), q2 = prefix_sums(d * d);
    out.put(v, from + t, lanes::load(v.s1 + t + 1) + (lanes::splat(p1) + q1),
            lanes::load(v.s2 + t + 1) + (lanes::splat(p2) + q2));
    p1 += q1[3];
    p2 += q2[3];
  }
  for (; t < n; ++t) {
    const double d = x[from + t] - v.anchor;
    p1 += d;
    p2 += d * d;
    out.put(v, from + t, v.s1[t + 1] + p1, v.s2[t + 1] + p2);
  }
  return p1;
}

// The suffix sums of a whole block around `v.anchor` into s1 and s2, four
// rows a step where its rows are all observed.
ORVANE_INLINE void block_suffixes(const VarianceSums& v, const double* x, std::size_t n,
                                  bool all_observed) {
  double r1 = 0.0, r2 = 0.0;
  std::size_t t = n;
  for (; t > 0 && (!all_observed || t % 4 != 0); --t) {
    const double d = observed(x[t - 1]) ? x[t - 1] - v.anchor : 0.0;
    r1 += d;
    r2 += d * d;
    v.s1[t - 1] = r1;
    v.s2[t - 1] = r2;
  }
  for (; t > 0; t -= 4) {
    const Lane d = lanes::load(x + t - 4) - lanes::splat(v.anchor);
    const Lane q1 = suffix_sums(d), q2 = suffix_sums(d * d);
    lanes::store(v.s1 + t - 4, lanes::splat(r1) + q1);
    lanes::store(v.s2 + t - 4, lanes::splat(r2) + q2);
    r1 += q1[0];
    r2 += q2[0];
  }
}

// Bollinger bands of trailing windows of `length` rows (NaN while a window
// is incomplete or holds a missing value), in blocks of `length` rows: a
// window ending at offset t of a block is the previous block's rows after t
// and the block's rows up to t. Its sums are of deviations from the previous
// block's mean: that block's suffix sums, taken around its mean once it is
// read (in `suffix`, 2 * (length + 1) doubles), plus the block's running
// prefix sums. No sum runs longer than a block, so no rounding accumulates
// along the series, and none is taken around a level far from the data,
// which would cancel the variance's digits away. One pass: the three bands
// are written once each.
ORVANE_INLINE void band_rows(const double* x, std::size_t rows, std::size_t length, long ddof,
                             double width, double* suffix, BandRows out) {
  const double n = static_cast<double>(length), dof = n - static_cast<double>(ddof);
  // multiplies by the reciprocals: no division waits in the rows' loop
  VarianceSums v{0.0, 1.0 / n, dof > 0.0 ? 1.0 / dof : kNaN, width, suffix, suffix + length + 1};
  std::fill(suffix, suffix + 2 * (length + 1), 0.0);
  const double* first = std::find_if(x, x + rows, observed);
  v.anchor = first == x + rows ? 0.0 : *first;
  std::size_t last_missing = 0;  // one past the last missing row
  for (std::size_t block = 0; block < rows; block += length) {
    const std::size_t end = std::min(block + length, rows);
    double p1 = 0.0, p2 = 0.0;
    std::size_t seen = 0;
    for (std::size_t i = block; i < end; ++i) seen += observed(x[i]);
    if (seen == end - block && last_missing + length <= block && block > 0) {
      p1 = observed_block(v, x, block, end - block, out);
    } else {
      for (std::size_t i = block; i < end; ++i) {
        const bool observed_row = observed(x[i]);
        const double d = observed_row ? x[i] - v.anchor : 0.0;
        p1 += d;
        p2 += d * d;
        last_missing = observed_row ? last_missing : i + 1;
        const std::size_t t = i - block + 1;  // the previous block's rows from t on
        if (i + 1 >= length && last_missing + length <= i + 1) {
          out.put(v, i, v.s1[t] + p1, v.s2[t] + p2);
        } else {
          out.upper[i] = out.middle[i] = out.lower[i] = kNaN;
        }
      }
    }
    if (end - block < length) break;  // the last rows: no block after them
    v.anchor = seen > 0 ? v.anchor + p1 / static_cast<double>(seen) : v.anchor;
    block_suffixes(v, x + block, length, seen == length);
  }
}

ORVANE_LANE_KERNEL(band_rows, void,
                   (const double* x, std::size_t rows, std::size_t length, long ddof, double width,
                    double* suffix, BandRows out),
                   (x, rows, length, ddof, width, suffix, out))

}  // namespace

namespace {

// The relative strength of rows [from, rows), `means` those of the gains
// and of the losses after row from - 1 (copies here: the stores to `out`
// cannot alias them), in standing blocks. Returns the rows that stood.
ORVANE_INLINE std::size_t strength_rows(const double* close, std::size_t from, std::size_t rows,
                                        const std::array<ExponentialChain, 2>& means, double* out) {
  std::array<ExponentialChain, 2> chains = means;
  ExponentialChain &up = chains[0], &down = chains[1];
  // (c + |c|) / 2 and (|c| - c) / 2 are exact, and do not branch on the
  // sign of the change; a missing change stays missing (inf - inf is NaN)
  auto four = [&](std::size_t i) ORVANE_LAMBDA_INLINE {
    const Lane change = lanes::load(close + i) - lanes::load(close + i - 1),
               size = lane_abs(change);
    const Lane rose = up.steps4(0.5 * (change + size)), fell = down.steps4(0.5 * (size - change));
    const Lane total = rose + fell, ratio = 100.0 * (rose / total);
    lanes::store(out + i, total == 0.0 ? lanes::splat(0.0) : ratio);
    return change - change;
  };
  auto one = [&](std::size_t i) {
    const double change = close[i] - close[i - 1], size = std::fabs(change);
    const double rose = up.push(0.5 * (change + size)), fell = down.push(0.5 * (size - change));
    out[i] = percent(rose, rose + fell);
  };
  return standing_blocks(chains, from, rows, four, one);
}

ORVANE_LANE_KERNEL(strength_rows, std::size_t,
                   (const double* close, std::size_t from, std::size_t rows,
                    const std::array<ExponentialChain, 2>& means, double* out),
                   (close, from, rows, means, out))

}  // namespace

std::size_t strength_index(std::span<const double> close, std::size_t length,
                           std::span<double> out) {
  const std::size_t rows = close.size();
  if (length >= rows) {
    fill_nan(out);
    return 0;
  }
  auto change = [&](std::size_t i) { return close[i] - close[i - 1]; };
  auto gain = [&](std::size_t i) {
    const double c = change(i);
    return 0.5 * (c + std::fabs(c));
  };
  auto loss = [&](std::size_t i) {
    const double c = change(i);
    return 0.5 * (std::fabs(c) - c);
  };
  const double alpha = alpha_from_alpha(1.0 / static_cast<double>(length));
  ExponentialChain up(alpha), down(alpha);
  up.seed(first_window_mean(length, gain));
  down.seed(first_window_mean(length, loss));
  fill_nan(out.first(length));
  out[length] = percent(up.value(), up.value() + down.value());
  return strength_rows_best(close.data(), length + 1, rows, {up, down}, out.data());
}

namespace {

// The convergence's rows [from, rows), `means` the fast, slow and signal
// means after row from - 1 (copies here: the stores cannot alias them), in
// standing blocks, each output written once. Returns the rows that stood.
ORVANE_INLINE std::size_t convergence_rows(const double* close, std::size_t from, std::size_t rows,
                                           const std::array<ExponentialChain, 3>& means,
                                           double* line, double* signal_line, double* histogram) {
  std::array<ExponentialChain, 3> chains = means;
  ExponentialChain &quick = chains[0], &steady = chains[1], &smooth = chains[2];
  auto four = [&](std::size_t i) ORVANE_LAMBDA_INLINE {
    const Lane x = lanes::load(close + i);
    const Lane spread = quick.steps4(x) - steady.steps4(x), signalled = smooth.steps4(spread);
    lanes::store(line + i, spread);
    lanes::store(signal_line + i, signalled);
    lanes::store(histogram + i, spread - signalled);
    return (x - x) + (spread - spread);
  };
  auto one = [&](std::size_t i) {
    line[i] = quick.push(close[i]) - steady.push(close[i]);
    signal_line[i] = smooth.push(line[i]);
    histogram[i] = line[i] - signal_line[i];
  };
  return standing_blocks(chains, from, rows, four, one);
}

ORVANE_LANE_KERNEL(convergence_rows, std::size_t,
                   (const double* close, std::size_t from, std::size_t rows,
                    const std::array<ExponentialChain, 3>& means, double* line, double* signal_line,
                    double* histogram),
                   (close, from, rows, means, line, signal_line, histogram))

}  // namespace

std::size_t convergence(std::span<const double> close, std::size_t fast, std::size_t slow,
                        std::size_t signal, std::span<double> line, std::span<double> signal_line,
                        std::span<double> histogram) {
  const std::size_t rows = close.size();
  const std::size_t start = slow - 1, seed_row = start + signal - 1;
  fill_nan(line.first(std::min(rows, start)));
  fill_nan(signal_line.first(std::min(rows, seed_row)));
  fill_nan(histogram.first(std::min(rows, seed_row)));
  if (slow > rows) return 0;
  ExponentialChain quick(alpha_from_span(static_cast<double>(fast)));
  ExponentialChain steady(alpha_from_span(static_cast<double>(slow)));
  ExponentialChain smooth(alpha_from_span(static_cast<double>(signal)));
  quick.seed(window_mean(close, slow - fast, fast));
  steady.seed(window_mean(close, 0, slow));
  line[start] = quick.value() - steady.value();
  // the line alone up to the row the signal is seeded on
  for (std::size_t i = start + 1; i < std::min(rows, seed_row + 1); ++i)
    line[i] = quick.push(close[i]) - steady.push(close[i]);
  if (seed_row >= rows) return 0;
  smooth.seed(window_mean(line, start, signal));
  signal_line[seed_row] = smooth.value();
  histogram[seed_row] = line[seed_row] - smooth.value();
  return convergence_rows_best(close.data(), seed_row + 1, rows, {quick, steady, smooth},
                               line.data(), signal_line.data(), histogram.data());
}

std::size_t stochastic_scratch(std::size_t rows, std::size_t k, std::size_t d,
                               std::size_t smooth_k) {
  return std::max({2 * (std::min(rows, kExtremeChunk) + k), rolling_mean_scratch(smooth_k, rows),
                   rolling_mean_scratch(d, rows)});
}

namespace {

// The highest (or lowest) value of each trailing window of `k` rows, into
// `out`: NaN while a window is incomplete or holds a missing value. A chunk
// of rows at a time, with the k - 1 rows before it, in `scratch` (two runs
// of min(rows, kExtremeChunk) + k doubles): missing values become +inf (-inf for the
// lowest), which every window holding one keeps as its extreme; then the
// extremes of 2, 4, ... rows up to the widest power of two p <= k, each pass
// one comparison per row that runs in vectors; a window is the extremes of
// its first and last p rows.
template <bool Highest>
ORVANE_INLINE void window_extremes(const double* x, std::size_t rows, std::size_t k,
                                   double* scratch, double* out) {
  const double missing = Highest ? kInf : -kInf;
  auto better = [](double a, double b) { return Highest ? (a < b ? b : a) : (b < a ? b : a); };
  std::size_t span = 1;
  while (span <= k / 2) span *= 2;
  for (std::size_t start = 0; start < rows; start += kExtremeChunk) {
    const std::size_t end = std::min(rows, start + kExtremeChunk);
    const std::size_t from = start >= k - 1 ? start - (k - 1) : 0, n = end - from;
    double* now = scratch;
    double* next = scratch + std::min(rows, kExtremeChunk) + k;
    for (std::size_t j = 0; j < n; ++j) {
      const double v = x[from + j];
      now[j] = v - v == 0.0 ? v : missing;
    }
    for (std::size_t width = 1; width < span; width *= 2) {
      std::copy(now, now + std::min(width, n), next);
      for (std::size_t j = width; j < n; ++j) next[j] = better(now[j], now[j - width]);
      std::swap(now, next);
    }
    for (std::size_t i = std::max(start, k - 1); i < end; ++i) {
      const std::size_t j = i - from;
      const double extreme = better(now[j], now[j - (k - span)]);
      out[i] = extreme == missing ? kNaN : extreme;
    }
    std::fill(out + start, out + std::min(end, std::max(start, k - 1)), kNaN);
  }
}

ORVANE_INLINE void highest_windows(const double* x, std::size_t rows, std::size_t k,
                                   double* scratch, double* out) {
  window_extremes<true>(x, rows, k, scratch, out);
}
ORVANE_INLINE void lowest_windows(const double* x, std::size_t rows, std::size_t k, double* scratch,
                                  double* out) {
  window_extremes<false>(x, rows, k, scratch, out);
}

ORVANE_LANE_KERNEL(highest_windows, void,
                   (const double* x, std::size_t rows, std::size_t k, double* scratch, double* out),
                   (x, rows, k, scratch, out))
ORVANE_LANE_KERNEL(lowest_windows, void,
                   (const double* x, std::size_t rows, std::size_t k, double* scratch, double* out),
                   (x, rows, k, scratch, out))

// The raw %K of each row from its highest high and lowest low (`lowest`,
// overwritten): NaN where either is or the close is missing, 0 where the
// range is flat. Every row takes the same operations, which run in vectors.
ORVANE_INLINE void raw_stochastic(const double* highest, const double* close, std::size_t rows,
                                  double* lowest) {
  for (std::size_t i = 0; i < rows; ++i) {
    const double hh = highest[i], ll = lowest[i], c = close[i];
    const double range = hh - ll, ratio = 100.0 * ((c - ll) / range);
    const bool missing = (range != range) | !(c - c == 0.0);
    lowest[i] = missing ? kNaN : range == 0.0 ? 0.0 : ratio;
  }
}

ORVANE_LANE_KERNEL(raw_stochastic, void,
                   (const double* highest, const double* close, std::size_t rows, double* lowest),
                   (highest, close, rows, lowest))

}  // namespace

void stochastic(std::span<const double> high, std::span<const double> low,
                std::span<const double> close, std::size_t k, std::size_t d, std::size_t smooth_k,
                std::span<double> scratch, std::span<double> percent_k,
                std::span<double> percent_d) {
  const std::size_t rows = close.size();
  // the highest highs in %K's span and the lowest lows in %D's, then the raw
  // %K over the lows: both spans are free again once it is taken
  highest_windows_best(high.data(), rows, k, scratch.data(), percent_k.data());
  lowest_windows_best(low.data(), rows, k, scratch.data(), percent_d.data());
  auto raw = percent_d;
  raw_stochastic_best(percent_k.data(), close.data(), rows, raw.data());
  rolling_mean(raw, smooth_k, smooth_k, scratch, percent_k);
  rolling_mean(percent_k, d, d, scratch, percent_d);  // raw %K read, now overwritten
}

namespace {}  // namespace

std::size_t bands_scratch(std::size_t, std::size_t length) { return 2 * (length + 1); }

void bands(std::span<const double> close, std::size_t length, double width, long ddof,
           std::span<double> scratch, std::span<double> upper, std::span<double> middle,
           std::span<double> lower) {
  band_rows_best(close.data(), close.size(), length, ddof, width, scratch.data(),
                 {upper.data(), middle.data(), lower.data()});
}

void true_range(std::span<const double> high, std::span<const double> low,
                std::span<const double> close, std::span<double> out) {
  if (close.empty()) return;
  out[0] = kNaN;
  for (std::size_t i = 1; i < close.size(); ++i) out[i] = row_range(high, low, close, i);
}

namespace {

// Wilder's mean of the true range over rows [from, rows), `range_mean` the
// mean after row from - 1 (a copy here: the stores cannot alias it), in
// standing blocks: four rows' ranges a step in vectors, plain maxima, which
// stand where no span is missing. Returns the rows that stood.
ORVANE_INLINE std::size_t range_rows(const double* high, const double* low, const double* close,
                                     std::size_t from, std::size_t rows,
                                     const std::array<ExponentialChain, 1>& range_mean,
                                     double* out) {
  std::array<ExponentialChain, 1> chains = range_mean;
  ExponentialChain& mean = chains[0];
  const std::span<const double> h(high, rows), l(low, rows), c(close, rows);
  auto four = [&](std::size_t i) ORVANE_LAMBDA_INLINE {
    const Lane top = lanes::load(high + i), bottom = lanes::load(low + i),
               previous = lanes::load(close + i - 1);
    const Lane a = top - bottom, b = lane_abs(top - previous), d = lane_abs(bottom - previous);
    const Lane ab = a < b ? b : a, spans = a + b + d;
    lanes::store(out + i, mean.steps4(ab < d ? d : ab));
    return spans - spans;
  };
  auto one = [&](std::size_t i) { out[i] = mean.push(row_range(h, l, c, i)); };
  return standing_blocks(chains, from, rows, four, one);
}

ORVANE_LANE_KERNEL(range_rows, std::size_t,
                   (const double* high, const double* low, const double* close, std::size_t from,
                    std::size_t rows, const std::array<ExponentialChain, 1>& range_mean,
                    double* out),
                   (high, low, close, from, rows, range_mean, out))

}  // namespace

std::size_t average_range(std::span<const double> high, std::span<const double> low,
                          std::span<const double> close, std::size_t length,
                          std::span<double> out) {
  const std::size_t rows = close.size();
  if (length >= rows) {
    fill_nan(out);
    return 0;
  }
  auto range = [&](std::size_t i) { return row_range(high, low, close, i); };
  ExponentialChain mean(alpha_from_alpha(1.0 / static_cast<double>(length)));
  mean.seed(first_window_mean(length, range));
  fill_nan(out.first(length));
  out[length] = mean.value();
  return range_rows_best(high.data(), low.data(), close.data(), length + 1, rows, {mean},
                         out.data());
}

namespace {

// One row's step of the running volume total after row 0: the volume
// signed by the close's change, NaN where that change is missing.
double volume_step(const double* close, const double* volume, std::size_t i) {
  const double change = close[i] - close[i - 1];
  // -1, 0 or 1, and NaN for a missing change
  const double sign =
      static_cast<double>((change > 0.0) - (change < 0.0)) + (std::isnan(change) ? kNaN : 0.0);
  return sign * volume[i];
}

// The running volume total over rows [from, rows), `total` the one after row
// from - 1, in blocks of 64 rows. A block stands when every step in it is a
// whole number below 2^31 and the total before it below 2^52: every sum is
// then exact, so four rows a step summed as a scan in vectors give the
// serial sums' values. Any other block is summed again a row at a time.
// Returns how many rows stood.
ORVANE_INLINE std::size_t volume_rows(const double* close, const double* volume, std::size_t from,
                                      std::size_t rows, double total, double* out) {
  using Mask = long long __attribute__((vector_size(32)));
  constexpr std::size_t kBlock = 64;
  constexpr double kWhole = 4503599627370496.0, kStepBound = 2147483648.0;  // 2^52, 2^31
  const Lane zero = lanes::splat(0.0);
  const Mask one = (Mask)lanes::splat(1.0);
  std::size_t stood = 0;
  for (std::size_t i = from; i < rows;) {
    const std::size_t end = std::min(rows, i + kBlock);
    if (end - i == kBlock && std::fabs(total) < kWhole) {
      double running = total;
      Mask inexact = Mask{0, 0, 0, 0};
      for (std::size_t r = i; r < end; r += 4) {
        const Lane change = lanes::load(close + r) - lanes::load(close + r - 1);
        // -1, 0 or 1 (1.0's bits kept where a comparison holds); a missing
        // change is 0 here, and its block does not stand
        const Lane sign = (Lane)(one & (change > 0.0)) - (Lane)(one & (change < 0.0));
        const Lane step = sign * lanes::load(volume + r);
        inexact |= ((step + kWhole) - kWhole != step) | (lane_abs(step) >= kStepBound) |
                   (change != change);
        Lane sums = step + __builtin_shufflevector(zero, step, 0, 4, 5, 6);
        sums += __builtin_shufflevector(zero, sums, 0, 1, 4, 5);
        lanes::store(out + r, lanes::splat(running) + sums);
        running += sums[3];
      }
      if ((inexact[0] | inexact[1] | inexact[2] | inexact[3]) == 0) {
        total = running;
        stood += kBlock;
        i = end;
        continue;
      }
    }
    for (; i < end; ++i) {
      const double step = volume_step(close, volume, i);
      total += std::isnan(step) ? 0.0 : step;
      out[i] = std::isnan(step) ? kNaN : total;
    }
  }
  return stood;
}

ORVANE_LANE_KERNEL(volume_rows, std::size_t,
                   (const double* close, const double* volume, std::size_t from, std::size_t rows,
                    double total, double* out),
                   (close, volume, from, rows, total, out))

}  // namespace

std::size_t balance_volume(std::span<const double> close, std::span<const double> volume,
                           std::span<double> out) {
  if (close.empty()) return 0;
  out[0] = volume[0];
  const double total = std::isnan(volume[0]) ? 0.0 : volume[0];
  return volume_rows_best(close.data(), volume.data(), 1, close.size(), total, out.data());
}

namespace {

// The vector form of percent(): num / den scaled to 100, 0 where den is 0.
ORVANE_INLINE Lane lane_percent(Lane num, Lane den) {
  const Lane ratio = 100.0 * (num / den);
  return den == 0.0 ? lanes::splat(0.0) : ratio;
}

struct DirectionalOut {
  double* adx;
  double* plus_di;
  double* minus_di;
};

// The directional rows [from, rows), `means` the smoothed upward and
// downward moves, true range and DX after row from - 1 (copies here: the
// stores cannot alias them), in standing blocks: each row's moves and range
// in vectors, the four means four rows a step. Returns the rows that stood.
ORVANE_INLINE std::size_t directional_rows(const double* high, const double* low,
                                           const double* close, std::size_t from, std::size_t rows,
                                           const std::array<ExponentialChain, 4>& means,
                                           DirectionalOut out) {
  std::array<ExponentialChain, 4> chains = means;
  ExponentialChain &up = chains[0], &down = chains[1], &ranges = chains[2], &trend = chains[3];
  const std::span<const double> h(high, rows), l(low, rows), c(close, rows);
  auto four = [&](std::size_t i) ORVANE_LAMBDA_INLINE {
    const Lane top = lanes::load(high + i), bottom = lanes::load(low + i);
    const Lane rise = top - lanes::load(high + i - 1), fall = lanes::load(low + i - 1) - bottom;
    const Lane plus = ((rise > fall) & (rise > 0.0)) ? rise : lanes::splat(0.0);
    const Lane minus = ((fall > rise) & (fall > 0.0)) ? fall : lanes::splat(0.0);
    const Lane previous = lanes::load(close + i - 1);
    const Lane a = top - bottom, b = lane_abs(top - previous), d = lane_abs(bottom - previous);
    const Lane ab = a < b ? b : a, spans = a + b + d;
    const Lane r = ranges.steps4(ab < d ? d : ab);
    const Lane plus_di = lane_percent(up.steps4(plus), r),
               minus_di = lane_percent(down.steps4(minus), r);
    lanes::store(out.plus_di + i, plus_di);
    lanes::store(out.minus_di + i, minus_di);
    lanes::store(out.adx + i,
                 trend.steps4(lane_percent(lane_abs(plus_di - minus_di), plus_di + minus_di)));
    return (spans - spans) + (rise - rise) + (fall - fall);
  };
  auto one = [&](std::size_t i) {
    const Moves move = directional_moves(h, l, i);
    const double r = ranges.push(row_range(h, l, c, i));
    const double plus = percent(up.push(move.plus), r), minus = percent(down.push(move.minus), r);
    out.plus_di[i] = plus;
    out.minus_di[i] = minus;
    out.adx[i] = trend.push(percent(std::fabs(plus - minus), plus + minus));
  };
  return standing_blocks(chains, from, rows, four, one);
}

ORVANE_LANE_KERNEL(directional_rows, std::size_t,
                   (const double* high, const double* low, const double* close, std::size_t from,
                    std::size_t rows, const std::array<ExponentialChain, 4>& means,
                    DirectionalOut out),
                   (high, low, close, from, rows, means, out))

}  // namespace

std::size_t directional(std::span<const double> high, std::span<const double> low,
                        std::span<const double> close, std::size_t length, std::span<double> adx,
                        std::span<double> plus_di, std::span<double> minus_di) {
  const std::size_t rows = close.size();
  if (length >= rows) {
    fill_nan(adx);
    fill_nan(plus_di);
    fill_nan(minus_di);
    return 0;
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
  const std::size_t seeded = std::min(rows, 2 * length);
  for (std::size_t i = length; i < seeded; ++i) {
    const Moves move = moves(i);
    const double r = ranges.push(range(i));
    const double plus = percent(up.push(move.plus), r), minus = percent(down.push(move.minus), r);
    plus_di[i] = plus;
    minus_di[i] = minus;
    const double dx = percent(std::fabs(plus - minus), plus + minus);
    if (i == 2 * length - 1) {
      trend.seed(seen_mean(dx_sum, dx_seen, dx));
      adx[i] = trend.value();
    }
    dx_sum += observed(dx) ? dx : 0.0;
    dx_seen += observed(dx);
  }
  // then the four means side by side
  return directional_rows_best(high.data(), low.data(), close.data(), seeded, rows,
                               {up, down, ranges, trend},
                               {adx.data(), plus_di.data(), minus_di.data()});
}

}  // namespace orvane::core
