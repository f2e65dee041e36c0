#include "moving_average.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// Blocks are at least this many rows, so that short windows do not pay a
// block's fixed costs every few rows; a block's prefix sums then span at most
// kMinBlock / length windows, which keeps their rounding within ~1e-14.
constexpr std::size_t kMinBlock = 64;

std::size_t block_rows(std::size_t length) { return std::max(length, kMinBlock); }

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

// Two doubles as one value of the target's vector registers (SSE2 on x86-64,
// NEON on ARM); the compiler maps each operator to one instruction.
using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

struct BlockScan {
  bool clean;  // no missing value
  bool ties;   // some row equals the row before it
};

// What the rolling mean needs to know of rows [b, end) before summing them,
// with `spread` widened by them. Two pairs of rows per step, each with its own
// bounds, so no comparison waits for the one before.
BlockScan scan_block(const double* x, std::size_t b, std::size_t end, Spread& spread) {
  bool clean = true, ties = false;
  std::size_t t = b;
  if (t == 0) {
    clean = observed(x[0]);
    spread.see(x[0]);
    t = 1;
  }
  Pair lo0 = {spread.lo, spread.lo}, hi0 = {spread.hi, spread.hi}, lo1 = lo0, hi1 = hi0;
  // v - v is 0 exactly for finite v and NaN otherwise, so the sums of these
  // differences stay 0 through finite rows only
  Pair missing = {0.0, 0.0};
  // the least squared step to the row before: 0 for equal neighbours (and for
  // steps too small to square, which only sends the block the careful way)
  Pair step = {1.0, 1.0};
  for (; t + 4 <= end; t += 4) {
    const Pair v = load_pair(x + t), w = load_pair(x + t + 2);
    lo0 = v < lo0 ? v : lo0;
    hi0 = v > hi0 ? v : hi0;
    lo1 = w < lo1 ? w : lo1;
    hi1 = w > hi1 ? w : hi1;
    missing += (v - v) + (w - w);
    const Pair dv = v - load_pair(x + t - 1), dw = w - load_pair(x + t + 1);
    const Pair sq = dv * dv < dw * dw ? dv * dv : dw * dw;
    step = sq < step ? sq : step;
  }
  for (int k = 0; k < 2; ++k) {
    spread.see(lo0[k]);
    spread.see(lo1[k]);
    spread.see(hi0[k]);
    spread.see(hi1[k]);
    clean &= missing[k] == 0.0;
    ties |= step[k] == 0.0;
  }
  for (; t < end; ++t) {
    clean &= observed(x[t]);
    spread.see(x[t]);
    ties |= x[t] == x[t - 1];
  }
  return {clean, ties};
}

// Window sums from block prefix sums. With blocks of B >= length rows and the
// prefix sums of each block starting from zero, the window ending at row m of
// a block is
//   this block's prefix through m - its prefix through m - length, m >= length,
//   (previous block's total - its prefix through B + m - length)
//     + this block's prefix through m, m < length.
// Every sum spans at most two blocks, so no rounding from rows long gone
// survives; for data of one sign and narrow spread the subtraction costs a few
// ulps at most. `previous` holds the previous block's prefix sums and `current`
// receives this block's; the two swap roles at each block.
//
// Blocks without missing values (after one without) take the fast path: every
// window is full and of one sign, so only runs of equal values need pandas'
// rules, and a block without two equal neighbours has none. Its prefix sums
// advance four rows per dependent addition and its means are independent
// expressions the compiler vectorizes. Elsewhere counts, signs and runs follow
// pandas' rules row by row.
//
// Gives up (returning false, with `out` partly written) at the first block
// that makes the series too wide for these sums.
bool blocked_rolling_mean(std::span<const double> x, std::size_t length, std::int64_t min_obs,
                          std::span<double> scratch, std::span<double> out) {
  const std::size_t n = x.size(), block = block_rows(length);
  const auto full = static_cast<std::int64_t>(length);
  const double inverse = 1.0 / static_cast<double>(length);
  const std::size_t width = std::min(block, n);
  double* previous = scratch.data();
  double* current = scratch.data() + width;
  std::int64_t nobs = 0, negatives = 0, same_run = 0;
  double last = observed(x[0]) ? x[0] : nan;
  double previous_total = 0.0;
  bool previous_clean = false;
  Spread spread;
  for (std::size_t b = 0; b < n; b += block) {
    const std::size_t end = std::min(b + block, n), rows = end - b;
    const BlockScan scan = scan_block(x.data(), b, end, spread);
    if (!spread.narrow()) return false;
    const double* __restrict v = x.data() + b;
    double* __restrict o = out.data() + b;
    double* __restrict cur = current;
    const double* __restrict prev = previous;
    double prefix = 0.0;
    if (scan.clean && previous_clean) {
      std::size_t m = 0;
      for (; m + 4 <= rows; m += 4) {
        const double a1 = v[m] + v[m + 1];
        const double a2 = a1 + v[m + 2];
        const double a3 = a2 + v[m + 3];
        cur[m] = prefix + v[m];
        cur[m + 1] = prefix + a1;
        cur[m + 2] = prefix + a2;
        prefix += a3;
        cur[m + 3] = prefix;
      }
      for (; m < rows; ++m) cur[m] = prefix += v[m];
      const std::size_t straddling = std::min(length, rows);
      for (m = 0; m < straddling; ++m) {
        o[m] = ((previous_total - prev[block + m - length]) + cur[m]) * inverse;
      }
      for (m = length; m < rows; ++m) o[m] = (cur[m] - cur[m - length]) * inverse;
      if (scan.ties) {
        for (m = 0; m < rows; ++m) {
          same_run = v[m] == last ? same_run + 1 : 1;
          last = v[m];
          if (same_run >= full) o[m] = v[m];
        }
      } else {
        same_run = 1;
        last = v[rows - 1];
      }
      nobs = full;
      negatives = std::signbit(last) ? full : 0;
    } else {
      for (std::size_t m = 0; m < rows; ++m) {
        const std::size_t t = b + m;
        if (t >= length) {
          const double gone = x[t - length];
          if (observed(gone)) {
            --nobs;
            negatives -= std::signbit(gone);
          }
        }
        if (observed(v[m])) {
          ++nobs;
          negatives += std::signbit(v[m]);
          same_run = v[m] == last ? same_run + 1 : 1;
          last = v[m];
          prefix += v[m];
        }
        cur[m] = prefix;
        double sum;
        if (m >= length) {
          sum = prefix - cur[m - length];
        } else {
          // the first block has no previous one: its early windows are short
          sum = (b > 0 ? previous_total - prev[block + m - length] : 0.0) + prefix;
        }
        o[m] = window_mean(sum, nobs, negatives, same_run, last, min_obs);
      }
    }
    previous_total = prefix;
    previous_clean = scan.clean;
    std::swap(previous, current);
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

std::size_t rolling_mean_scratch(std::size_t length, std::size_t rows) {
  return 2 * std::min(block_rows(length), rows);
}

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
