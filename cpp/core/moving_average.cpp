#include "moving_average.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

// The bit-for-bit guarantees rely on every operation rounding on its own: a
// fused multiply-add would change results. Baseline x86-64 has none to fuse
// into; on other targets build with -ffp-contract=off.

namespace orvane::core {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// pandas' window functions see infinities as missing values.
inline bool observed(double v) { return std::isfinite(v); }

// numpy's pairwise summation (the inner loop of np.add.reduce on contiguous
// float64), with NaN read as 0 as np.nanmean's copy holds it.
inline double nan_as_zero(double v) { return v != v ? 0.0 : v; }

double pairwise_sum(const double* a, std::size_t n) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += nan_as_zero(a[i]);
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t k = 0; k < 8; ++k) r[k] = nan_as_zero(a[k]);
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t k = 0; k < 8; ++k) r[k] += nan_as_zero(a[i + k]);
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += nan_as_zero(a[i]);
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// pandas' rolling mean of a window from its sum and counts: the latest value
// when every observation equals it, and no sign the observations lack.
inline double window_mean(double sum, std::int64_t nobs, std::int64_t negatives,
                          std::int64_t same_run, double last, std::int64_t min_periods) {
  if (nobs < min_periods || nobs == 0) return nan;
  const double result = sum / static_cast<double>(nobs);
  if (same_run >= nobs) return last;
  if (negatives == 0 && result < 0) return 0.0;
  if (negatives == nobs && result > 0) return 0.0;
  return result;
}

// The running state of pandas' rolling mean. Additions and removals keep
// separate compensations of the one sum, exactly as pandas does; the run
// length of equal observations is never shortened by removals.
struct MeanWindow {
  double sum = 0.0, add_comp = 0.0, remove_comp = 0.0;
  std::int64_t nobs = 0, negatives = 0, same_run = 0;
  double last = nan;

  void add(double v) {
    if (!observed(v)) return;
    ++nobs;
    const double y = v - add_comp;
    const double t = sum + y;
    add_comp = t - sum - y;
    sum = t;
    negatives += std::signbit(v);
    same_run = v == last ? same_run + 1 : 1;
    last = v;
  }

  void remove(double v) {
    if (!observed(v)) return;
    --nobs;
    const double y = -v - remove_comp;
    const double t = sum + y;
    remove_comp = t - sum - y;
    sum = t;
    negatives -= std::signbit(v);
  }

  double mean(std::int64_t min_periods) const {
    return window_mean(sum, nobs, negatives, same_run, last, min_periods);
  }
};

// One step of pandas' exponential mean (ignore_na false). `weighted` is NaN
// until the first observation.
struct Ewm {
  double decay, new_weight;
  bool adjust;
  double weighted = nan, old_weight = 1.0;

  Ewm(double alpha, bool adjust_weights)
      : decay(1.0 - alpha), new_weight(adjust_weights ? 1.0 : alpha), adjust(adjust_weights) {}

  void start(double v) {
    weighted = observed(v) ? v : nan;
    old_weight = 1.0;
  }

  double step(double v) {
    const bool is_obs = observed(v);
    if (weighted == weighted) {
      old_weight *= decay;
      if (is_obs) {
        // a value equal to the mean leaves it as it is, exactly
        if (weighted != v) {
          const double total = old_weight + new_weight;
          weighted = old_weight * weighted + new_weight * v;
          // total is exactly 1 in the unadjusted steady state: dividing by
          // it would change nothing but cost the latency of a division
          if (total != 1.0) weighted /= total;
        }
        old_weight = adjust ? old_weight + new_weight : 1.0;
      }
    } else if (is_obs) {
      weighted = v;
    }
    return weighted;
  }
};

// Compensated running sums are a chain of dependent additions twelve cycles
// long per row. Where pandas' own sums are accurate to a few ulps of the
// window - observations of one sign within a factor kNarrow of each other, as
// price series are - window sums built from block-wise partial sums give the
// same means to ~1e-14 at a fraction of the cost. Wider or mixed-sign data,
// where pandas' sums carry error from values long gone, are replayed exactly.
constexpr double kNarrow = 16.0;

// Running bounds of the observations seen so far: whether they all have one
// sign and lie within a factor kNarrow of each other.
struct Spread {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;

  // NaN fails both comparisons; an infinity makes the spread infinite
  void see(double v) {
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  bool narrow() const {
    if (!(lo <= hi)) return true;  // nothing observed yet
    if (lo > 0) return hi <= kNarrow * lo;
    if (hi < 0) return lo >= kNarrow * hi;
    return false;
  }
};

// Window sums from block prefix sums: with blocks of `length` rows, the window
// ending at row m of a block is (previous block's total - its prefix through
// m) + this block's prefix through m. Every sum spans at most two blocks, so
// no rounding from rows long gone survives; for data of one sign and narrow
// spread the subtraction costs a few ulps at most. `prefixes` holds the
// previous block's prefix sums, overwritten row by row with this block's.
//
// Blocks without missing values (after one without) take the fast loop: every
// window is full, of one sign, and only equal runs need pandas' rules.
// Elsewhere counts, signs and runs follow pandas' rules row by row.
//
// Gives up (returning false, with `out` partly written) at the first block
// that makes the series too wide for these sums.
bool blocked_rolling_mean(std::span<const double> x, std::size_t length, std::int64_t min_obs,
                          std::span<double> prefixes, std::span<double> out) {
  const std::size_t n = x.size();
  const auto full = static_cast<std::int64_t>(length);
  const double inverse = 1.0 / static_cast<double>(length);
  std::int64_t nobs = 0, negatives = 0, same_run = 0;
  double last = observed(x[0]) ? x[0] : nan;
  double previous_total = 0.0;
  bool previous_clean = false;
  Spread spread;
  std::fill(prefixes.begin(), prefixes.begin() + static_cast<std::ptrdiff_t>(std::min(length, n)),
            0.0);
  for (std::size_t b = 0; b < n; b += length) {
    const std::size_t end = std::min(b + length, n);
    bool clean = true;
    for (std::size_t t = b; t < end; ++t) {
      clean &= observed(x[t]);
      spread.see(x[t]);
    }
    if (!spread.narrow()) return false;
    double prefix = 0.0;
    if (clean && previous_clean && end == b + length) {
      for (std::size_t m = 0; m < length; ++m) {
        const double v = x[b + m];
        prefix += v;
        const double sum = (previous_total - prefixes[m]) + prefix;
        prefixes[m] = prefix;
        same_run = v == last ? same_run + 1 : 1;
        last = v;
        out[b + m] = same_run >= full ? v : sum * inverse;
      }
      nobs = full;
      negatives = std::signbit(last) ? full : 0;
    } else {
      for (std::size_t t = b; t < end; ++t) {
        if (t >= length) {
          const double gone = x[t - length];
          if (observed(gone)) {
            --nobs;
            negatives -= std::signbit(gone);
          }
        }
        const double v = x[t];
        if (observed(v)) {
          ++nobs;
          negatives += std::signbit(v);
          same_run = v == last ? same_run + 1 : 1;
          last = v;
          prefix += v;
        }
        const double sum = (previous_total - prefixes[t - b]) + prefix;
        prefixes[t - b] = prefix;
        out[t] = window_mean(sum, nobs, negatives, same_run, last, min_obs);
      }
    }
    previous_total = prefix;
    previous_clean = clean;
  }
  return true;
}

// Linearly weighted window sums as a suffix of the previous block of `length`
// rows plus a prefix of the current one: every partial sum covers only rows of
// the window it serves, so no rounding from rows that have left the window
// survives, and a missing value reaches exactly the windows that hold it.
//
// With the window ending at row m of a block (0-based), the previous block
// contributes its rows m+1 .. length-1 and the current block its rows 0 .. m.
// Ascending weights (newest = length): a previous-block row p weighs p - m,
// a current-block row k weighs (k + 1) + (length - 1 - m). Descending weights
// (newest = 1): p weighs (length - p) + (m + 1), k weighs m - k + 1.
template <bool Ascending>
void weighted_sums(std::span<const double> x, std::size_t length, std::span<double> scratch,
                   std::span<double> out) {
  const std::size_t n = x.size();
  const double len = static_cast<double>(length);
  const double inverse_total = 1.0 / (0.5 * len * (len + 1.0));
  // suffix sums of the previous block from row m + 1 on, at index m; the
  // window ending at the block's last row has none
  double* weighted_suffix = scratch.data();
  double* plain_suffix = scratch.data() + length;
  std::fill(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(2 * length), 0.0);
  auto value = [&](std::size_t i) { return observed(x[i]) ? x[i] : nan; };

  for (std::size_t b = 0; b < n; b += length) {
    if (b > 0) {
      double plain = 0.0, weighted = 0.0;
      for (std::size_t p = length - 1; p >= 1; --p) {
        const double v = value(b - length + p);
        plain += v;
        weighted += Ascending ? plain : (len - static_cast<double>(p)) * v;
        weighted_suffix[p - 1] = weighted;
        plain_suffix[p - 1] = plain;
      }
    }
    const std::size_t end = std::min(b + length, n);
    double plain = 0.0, ramp = 0.0;
    for (std::size_t m = 0; b + m < end; ++m) {
      const double v = value(b + m);
      const double mm = static_cast<double>(m);
      plain += v;
      double sum;
      if constexpr (Ascending) {
        ramp += (mm + 1.0) * v;
        sum = ramp + (len - 1.0 - mm) * plain + weighted_suffix[m];
      } else {
        ramp += plain;
        sum = ramp + weighted_suffix[m] + (mm + 1.0) * plain_suffix[m];
      }
      out[b + m] = sum * inverse_total;
    }
  }
  // the first length - 1 windows are incomplete
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(length - 1, n)), nan);
}

}  // namespace

void rolling_mean(std::span<const double> x, std::size_t length, std::size_t min_periods,
                  std::span<double> scratch, std::span<double> out) {
  const std::size_t n = x.size();
  if (n == 0) return;
  const auto min_obs = static_cast<std::int64_t>(min_periods);
  if (length == 1) {
    // pandas starts a fresh window at every row when windows do not overlap
    for (std::size_t i = 0; i < n; ++i) {
      MeanWindow w;
      w.last = observed(x[i]) ? x[i] : nan;
      w.same_run = 0;
      w.add(x[i]);
      out[i] = w.mean(min_obs);
    }
    return;
  }
  if (blocked_rolling_mean(x, length, min_obs, scratch, out)) return;
  MeanWindow w;
  w.last = observed(x[0]) ? x[0] : nan;
  const std::size_t head = std::min(length, n);
  for (std::size_t i = 0; i < head; ++i) {
    w.add(x[i]);
    out[i] = w.mean(min_obs);
  }
  for (std::size_t i = head; i < n; ++i) {
    w.remove(x[i - length]);
    w.add(x[i]);
    out[i] = w.mean(min_obs);
  }
}

double nan_mean(std::span<const double> x, std::size_t& count) {
  count = 0;
  for (double v : x) count += v == v;
  const double total = pairwise_sum(x.data(), x.size());
  return count == 0 ? nan : total / static_cast<double>(count);
}

double alpha_from_span(double span) {
  const double com = (span - 1.0) / 2.0;
  return 1.0 / (1.0 + com);
}

double alpha_from_alpha(double alpha) {
  const double com = (1.0 - alpha) / alpha;
  return 1.0 / (1.0 + com);
}

void ewm_mean(std::span<const double> x, double alpha, bool adjust, std::span<double> out) {
  if (x.empty()) return;
  Ewm e(alpha, adjust);
  e.start(x[0]);
  out[0] = e.weighted;
  for (std::size_t i = 1; i < x.size(); ++i) out[i] = e.step(x[i]);
}

void seeded_ewm_mean(std::span<const double> x, std::size_t length, double seed, double alpha,
                     bool adjust, std::span<double> out) {
  const std::size_t n = x.size();
  if (length == 0 || length > n) return;
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length - 1), nan);
  Ewm e(alpha, adjust);
  e.start(seed);
  out[length - 1] = e.weighted;
  for (std::size_t i = length; i < n; ++i) out[i] = e.step(x[i]);
}

void weighted_mean(std::span<const double> x, std::size_t length, bool ascending,
                   std::span<double> scratch, std::span<double> out) {
  if (x.empty() || length == 0) return;
  if (length > x.size()) {
    std::fill(out.begin(), out.end(), nan);  // no window is complete
    return;
  }
  if (ascending) {
    weighted_sums<true>(x, length, scratch, out);
  } else {
    weighted_sums<false>(x, length, scratch, out);
  }
}

void typical_price(std::span<const double> high, std::span<const double> low,
                   std::span<const double> close, std::span<double> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = (high[i] + low[i] + close[i]) / 3.0;
}

void cumulative_vwap(std::span<const double> high, std::span<const double> low,
                     std::span<const double> close, std::span<const double> volume,
                     std::span<double> out) {
  // pandas' cumsum: missing entries count as 0 (a positive zero) and are
  // missing again in the running sum; the first running sum is the first entry
  double num = 0.0, den = 0.0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double pv = (high[i] + low[i] + close[i]) / 3.0 * volume[i];
    const double v = volume[i];
    const double pv0 = pv != pv ? 0.0 : pv;
    const double v0 = v != v ? 0.0 : v;
    if (i == 0) {
      num = pv0;
      den = v0;
    } else {
      num += pv0;
      den += v0;
    }
    out[i] = (pv != pv || v != v) ? nan : num / den;
  }
}

void double_blend(std::span<const double> a, std::span<const double> b, std::span<double> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = 2.0 * a[i] - b[i];
}

void triple_blend(std::span<const double> a, std::span<const double> b, std::span<const double> c,
                  std::span<double> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = 3.0 * a[i] - 3.0 * b[i] + c[i];
}

bool integral_sums_exact(std::span<const double> x) {
  constexpr double limit = 9007199254740992.0;  // 2^53
  double total = 0.0;
  for (double v : x) {
    total += std::fabs(v);
    if (!(total <= limit)) return false;
  }
  return true;
}

}  // namespace orvane::core
