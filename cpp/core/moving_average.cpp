#include "moving_average.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <type_traits>
#include <utility>

#include "lanes.hpp"

// The bit-for-bit guarantees rely on every operation rounding on its own: a
// fused multiply-add would change results, so the core is built with
// floating-point contraction off (CMakeLists.txt).

namespace orvane::core {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

using lanes::Lane;

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

// The simple mean's rules, written once for every road it takes (the lanes,
// the clean chunks and the careful rows), on doubles and on Lanes alike. Keep
// them one definition: the lanes' results stand in for the careful path's,
// so a rule changed in one place only would make a mean depend on which road
// its row took.
//
// A partial sum of a window. Exact: it carries what its additions rounded
// away (TwoSum): `hi` is the running sum as rounded and `lo` the sum of the
// roundings, so hi + lo stays within about a rounding of the exact sum
// however many rows it adds. hi's chain of additions is as short as a plain
// sum's; lo's work waits on no later row, but it is four more additions a
// row. A plain running sum (`lo` stays 0) of a window's rows is within
// `length` roundings of the sum of its |values|: below 1e-14 of the mean
// |value| for windows of up to kPlainWindow rows, which so take the plain
// sums.
constexpr std::size_t kPlainWindow = 64;

template <class T, bool Exact>
struct Compensated {
  T hi, lo;
  ORVANE_INLINE void add(T v) {
    if constexpr (Exact) {
      const T sum = hi + v;
      const T v_part = sum - hi;
      lo += (hi - (sum - v_part)) + (v - v_part);
      hi = sum;
    } else {
      hi += v;
    }
  }
};

// A window's sum from the prefix of its block and the suffix of the block
// before.
template <class T, bool Exact>
ORVANE_INLINE T window_sum(const Compensated<T, Exact>& prefix, T tail_hi, T tail_lo) {
  return (prefix.hi + tail_hi) + (prefix.lo + tail_lo);
}

// pandas' rule of equal values: a window whose observations all equal the
// latest one has that value for its mean, exactly. `run` counts the
// observations in a row equal to `last`, the latest.
template <class T>
struct EqualRun {
  T last, run;
  ORVANE_INLINE void see(T v, T one) {
    run = lanes::each([](auto v, auto last, auto run, auto one)
                          ORVANE_LAMBDA_INLINE { return v == last ? run + one : one; },
                      v, last, run, one);
    last = v;
  }
  ORVANE_INLINE T mean(T observations, T summed) const {
    return lanes::each([](auto run, auto observations, auto last, auto summed)
                           ORVANE_LAMBDA_INLINE { return run >= observations ? last : summed; },
                       run, observations, last, summed);
  }
};

// pandas' rolling mean of a window from its sum (scaled by `unit`, a power
// of two) and counts: NaN below min_periods, the equal runs' rule, and no
// sign the observations lack.
inline double window_mean(double sum, std::int64_t nobs, std::int64_t negatives,
                          const EqualRun<double>& run, std::int64_t min_periods, double unit) {
  if (nobs < min_periods || nobs == 0) return nan;
  const double observations = static_cast<double>(nobs);
  const double result = run.mean(observations, sum / observations / unit);
  if (negatives == 0 && result < 0) return 0.0;
  if (negatives == nobs && result > 0) return 0.0;
  return result;
}

// One step of pandas' exponential mean (ignore_na false). `weighted` is NaN
// until the first observation.
struct Ewm {
  double decay = 0.0, new_weight = 0.0;
  bool adjust = false;
  double weighted = nan, old_weight = 1.0;

  Ewm() = default;

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

// The unadjusted exponential mean forgets where it started: two runs of its
// recurrence that begin apart become bit-for-bit equal within some hundreds
// of rows and stay equal from there. So the rows are cut into kChains
// stretches run side by side - two vectors of four chains, each chain one
// lane, so that eight independent chains of multiply-adds overlap in the
// CPU - each after the first starting a warm-up's rows early.
// A stretch's results count only when its state at the end of that warm-up
// equals the state the stretch before reached at the same row; otherwise the
// stretch is rerun from that state, so results never depend on the cut.
constexpr std::size_t kChains = 8;

// What a step of the eight chains costs, in rows of one chain's loop, on the
// build in use: the chains run where their steps cost less than the rows one
// at a time. The wide build steps them in about two rows' time, the
// baseline's 128-bit registers in about four.
std::size_t chain_step_rows() { return lanes::wide_selected() ? 2 : 4; }

// Rows the stacked exponential means take through all their passes at a
// time: few enough that a block's passes stay in the caches, and enough for
// the chains (see stacked_ewm_rows).
constexpr std::size_t kStackedRows = std::size_t{1} << 14;

// Rows after which 2^-64 of any starting difference remains, in whole
// groups of four (the rows a chain's lane takes per transpose).
// Stacked passes (see stacked_lanes) take longer: pass d's difference is a
// sum of the passes' before it, larger by a factor of about (rows * alpha)^d
// / d!, some bits more for each pass.
std::size_t warm_up_rows(double decay, unsigned depth = 1) {
  const double bits = 64.0 + 12.0 * (depth - 1);
  const auto rows = static_cast<std::size_t>(std::ceil(bits / -std::log2(decay))) + 16;
  return (rows + 3) / 4 * 4;
}

bool same_state(const Ewm& a, const Ewm& b) {
  const bool same_mean =
      (a.weighted != a.weighted && b.weighted != b.weighted) ||
      std::bit_cast<std::uint64_t>(a.weighted) == std::bit_cast<std::uint64_t>(b.weighted);
  return same_mean &&
         std::bit_cast<std::uint64_t>(a.old_weight) == std::bit_cast<std::uint64_t>(b.old_weight);
}

// The chains' vectors, per build: the wide build steps four chains in a
// Lane, the baseline two in a Half (see lanes::Halves for why not a Lane).
template <class Build>
using ChainVector = std::conditional_t<std::is_same_v<Build, lanes::Wide>, Lane, lanes::Half>;

template <class V>
struct ChainVectors {
  static constexpr std::size_t width = sizeof(V) / sizeof(double);
  // vectors that hold the kChains chains
  static constexpr std::size_t count = kChains / width;

  static ORVANE_INLINE V splat(double v) {
    if constexpr (width == 2) {
      return V{v, v};
    } else {
      return V{v, v, v, v};
    }
  }

  // the means of the `width` chains from e
  static ORVANE_INLINE V means(const Ewm* e) {
    if constexpr (width == 2) {
      return V{e[0].weighted, e[1].weighted};
    } else {
      return V{e[0].weighted, e[1].weighted, e[2].weighted, e[3].weighted};
    }
  }

  static ORVANE_INLINE V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static ORVANE_INLINE void store(double* p, V v) { std::memcpy(p, &v, sizeof v); }

  // Rows [t, t + 4) of the `width` chains from x, `stride` rows apart, as
  // four steps: r[s] holds row t + s of each chain.
  static ORVANE_INLINE void read(const double* x, std::size_t stride, std::size_t t, V (&r)[4]) {
    if constexpr (width == 2) {
      for (std::size_t s = 0; s < 4; s += 2) {
        const V a = load(x + t + s), b = load(x + stride + t + s);
        r[s] = __builtin_shufflevector(a, b, 0, 2);
        r[s + 1] = __builtin_shufflevector(a, b, 1, 3);
      }
    } else {
      for (std::size_t k = 0; k < 4; ++k) r[k] = load(x + k * stride + t);
      lanes::transpose(r[0], r[1], r[2], r[3]);
    }
  }

  // read's inverse: the four steps r written to their rows of `out`.
  static ORVANE_INLINE void write(double* out, std::size_t stride, std::size_t t, V (&r)[4]) {
    if constexpr (width == 2) {
      for (std::size_t s = 0; s < 4; s += 2) {
        store(out + t + s, __builtin_shufflevector(r[s], r[s + 1], 0, 2));
        store(out + stride + t + s, __builtin_shufflevector(r[s], r[s + 1], 1, 3));
      }
    } else {
      lanes::transpose(r[0], r[1], r[2], r[3]);
      for (std::size_t k = 0; k < 4; ++k) store(out + k * stride + t, r[k]);
    }
  }

  // Whether a sum of differences v - v is 0 in every element: v - v is 0
  // for finite v only, so it is when all the v were finite.
  static ORVANE_INLINE bool finite_sum(V sum) {
    // one comparison of the whole vector, its elements' masks and-ed without
    // a branch each
    const auto zero = sum == 0.0;
    if constexpr (width == 2) {
      return (zero[0] & zero[1]) != 0;
    } else {
      return (zero[0] & zero[1] & zero[2] & zero[3]) != 0;
    }
  }
};

// Steps the eight chains `c` through `steps` rows each (a multiple of four),
// chain k from row k * stride of x; `warmed` gets their states after `warm`
// rows (a multiple of four). Where all eight are in the unadjusted steady
// state over four rows - started, the row before observed, these rows too -
// the rows take that state's step in vectors, four rows of a chain per
// transpose; elsewhere each row takes Ewm::step. Returns the steps taken in
// vectors.
//
// In that state Ewm::step gives exactly decay * mean + new_weight * v to an
// observed v that differs from the mean: the total it divides by, (1 -
// alpha) + alpha rounded twice, is exactly 1 for every alpha in (0, 1)
// (1 - alpha is exact from 1/2 up; below, it is off by at most 2^-54, which
// adding alpha back rounds away).
template <class Build>
ORVANE_INLINE std::size_t ewm_lanes(const double* x, std::size_t stride, std::size_t steps,
                                    std::size_t warm, Ewm* c, Ewm* warmed, double* out) {
  using V = ChainVector<Build>;
  using Chains = ChainVectors<V>;
  constexpr std::size_t width = Chains::width, count = Chains::count;
  const V decay = Chains::splat(c[0].decay), new_weight = Chains::splat(c[0].new_weight);
  V w[count];
  // every chain started and its last row observed; the vectors' steps keep
  // that (from a finite or infinite mean and finite rows, a step's mean is
  // never NaN), so it is read from the states only where they are loaded
  bool steady = false;
  const auto to_vectors = [&] {
    steady = true;
    for (std::size_t g = 0; g < count; ++g) w[g] = Chains::means(c + g * width);
    for (std::size_t k = 0; k < kChains; ++k) {
      steady &= c[k].weighted == c[k].weighted && c[k].old_weight == 1.0;
    }
  };
  const auto from_vectors = [&] {
    for (std::size_t k = 0; k < kChains; ++k) c[k].weighted = w[k / width][k % width];
  };
  to_vectors();
  std::size_t vector_steps = 0;
  for (std::size_t t = 0; t < steps; t += 4) {
    V r[count][4];
    V unobserved = Chains::splat(0.0);
    for (std::size_t g = 0; g < count; ++g) Chains::read(x + g * width * stride, stride, t, r[g]);
    for (std::size_t g = 0; g < count; ++g) {
      for (int k = 0; k < 4; ++k) unobserved += r[g][k] - r[g][k];
    }
    if (steady && Chains::finite_sum(unobserved)) {
      for (int k = 0; k < 4; ++k) {
        for (std::size_t g = 0; g < count; ++g) {
          const V blended = decay * w[g] + new_weight * r[g][k];
          // a value equal to the mean leaves it as it is, exactly
          w[g] = w[g] == r[g][k] ? w[g] : blended;
          r[g][k] = w[g];
        }
      }
      for (std::size_t g = 0; g < count; ++g) {
        Chains::write(out + g * width * stride, stride, t, r[g]);
      }
      vector_steps += 4;
    } else {
      from_vectors();
      for (std::size_t s = t; s < t + 4; ++s) {
        for (std::size_t k = 0; k < kChains; ++k) {
          out[k * stride + s] = c[k].step(x[k * stride + s]);
        }
      }
      to_vectors();
    }
    if (t + 4 == warm) {
      from_vectors();
      std::copy(c, c + kChains, warmed);
    }
  }
  from_vectors();
  return vector_steps;
}

ORVANE_BUILD_KERNEL(ewm_lanes, std::size_t,
                    (const double* x, std::size_t stride, std::size_t steps, std::size_t warm,
                     Ewm* c, Ewm* warmed, double* out),
                    (x, stride, steps, warm, c, warmed, out))

// Steps `e` (the state after row from - 1) through rows [from, x.size()),
// leaving it the state after the last row; returns how many stretches after
// the first were confirmed; `fast_rows`, where given, gets the rows the
// chains stepped in vectors (left as it is when the rows run as one chain).
std::size_t run_ewm(std::span<const double> x, std::size_t from, Ewm& e, std::span<double> out,
                    std::size_t* fast_rows = nullptr) {
  const std::size_t n = x.size();
  // a local copy of the state: stepped through `chain` itself, each row's
  // store to `out` (which may alias it, for all the compiler knows) would
  // reload the state, a store-to-load wait on every row's dependent chain
  auto serial = [&](Ewm& chain, std::size_t begin, std::size_t end) {
    Ewm state = chain;
    for (std::size_t i = begin; i < end; ++i) out[i] = state.step(x[i]);
    chain = state;
  };
  const bool forgets = !e.adjust && e.decay > 0.0 && e.decay < 1.0;
  const std::size_t warm = forgets ? warm_up_rows(e.decay) : 0;
  // chain k steps rows from + k * stretch + t for t < stretch + warm; the
  // rows a warm-up writes are written again, later, by the chains before
  // (the last to write a row is the first chain whose stretch or warm-up
  // reaches it, confirmed by then)
  const std::size_t stretch = forgets && n - from > warm ? (n - from - warm) / kChains / 4 * 4 : 0;
  // chains while their steps, stretch + warm each, cost less than the rows
  // one at a time
  if (stretch == 0 || chain_step_rows() * (stretch + warm) >= n - from) {
    serial(e, from, n);
    return 0;
  }
  Ewm chain[kChains], warmed[kChains];
  for (std::size_t k = 0; k < kChains; ++k) {
    chain[k] = e;
    if (k > 0) chain[k].start(x[from + k * stretch - 1]);
  }
  const std::size_t steps = ewm_lanes_best(x.data() + from, stretch, stretch + warm, warm, chain,
                                           warmed, out.data() + from);
  if (fast_rows != nullptr) *fast_rows = kChains * steps;
  std::size_t confirmed = 0;
  for (std::size_t k = 1; k < kChains; ++k) {
    if (same_state(warmed[k], chain[k - 1])) {
      ++confirmed;
    } else {
      chain[k] = chain[k - 1];
      const std::size_t begin = from + k * stretch + warm;
      serial(chain[k], begin, begin + stretch);
    }
  }
  serial(chain[kChains - 1], from + kChains * stretch + warm, n);
  e = chain[kChains - 1];
  return confirmed;
}

// The passes of the stacked exponential means run side by side in the same
// chains: at each step pass d takes the value pass d - 1 reached at the step
// before, so pass d runs d rows behind pass 0, and the passes' recurrences,
// independent within a step, overlap in the CPU: the passes together cost
// little more than one. A chain's state is all its passes'. c[d][k] is pass d
// of chain k, whose pass-d row for step t is written to outs[d][k * stride +
// t - d]; otherwise as ewm_lanes. The vectors take four steps at once where
// the state is steady and every value they give is finite (an input the
// next pass would read as missing), else each row takes Ewm::step.
//
// Only the wide build runs them: a step of the eight chains costs about
// kStackedStepRows rows of the passes' loop there, while the baseline's
// 128-bit registers, sixteen of them, cannot hold every pass's state of the
// chains with its copy, and a step of its chains costs more than the eight
// rows it takes.
constexpr unsigned kMaxDepth = 3;
constexpr std::size_t kStackedStepRows = 4;
using StackedChains = Ewm[kMaxDepth][kChains];

// The chains' passes as vectors V: w[d][g] is pass d of the chains from
// g * width on.
template <class V, unsigned Depth>
struct StackedLanes {
  using Chains = ChainVectors<V>;
  static constexpr std::size_t width = Chains::width, count = Chains::count;
  V decay, new_weight;
  V w[Depth][count];
  // every pass started, finite, and its last row observed: the unadjusted
  // steady state, which the vectors' steps keep while their rows are
  // observed and their results finite
  bool steady_state = false;

  explicit StackedLanes(const Ewm& e)
      : decay(Chains::splat(e.decay)), new_weight(Chains::splat(e.new_weight)) {}

  ORVANE_INLINE void load(const StackedChains& c) {
    steady_state = true;
    for (unsigned d = 0; d < Depth; ++d) {
      for (std::size_t g = 0; g < count; ++g) w[d][g] = Chains::means(c[d] + g * width);
      for (std::size_t k = 0; k < kChains; ++k) {
        steady_state &= std::isfinite(c[d][k].weighted) && c[d][k].old_weight == 1.0;
      }
    }
  }

  ORVANE_INLINE void save(StackedChains& c) const {
    for (unsigned d = 0; d < Depth; ++d) {
      for (std::size_t k = 0; k < kChains; ++k) c[d][k].weighted = w[d][k / width][k % width];
    }
  }

  // Four steps from the rows r[g][k] (step k of chains g * width ..), their
  // results into res; false, the state as it was, when a result is not
  // finite.
  ORVANE_INLINE bool steps(const V (&r)[count][4], V (&res)[Depth][count][4]) {
    V saved[Depth][count];
    // copied one by one, not as a block, and unrolled whole, so that the
    // states stay in registers
#pragma GCC unroll 3
    for (unsigned d = 0; d < Depth; ++d) {
#pragma GCC unroll 4
      for (std::size_t g = 0; g < count; ++g) saved[d][g] = w[d][g];
    }
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
#pragma GCC unroll 4
      for (std::size_t g = 0; g < count; ++g) {
#pragma GCC unroll 3
        for (unsigned back = 0; back < Depth; ++back) {
          const unsigned d = Depth - 1 - back;  // the last pass first
          const V in = d == 0 ? r[g][k] : w[d - 1][g];
          const V blended = decay * w[d][g] + new_weight * in;
          // a value equal to the mean leaves it as it is, exactly
          w[d][g] = w[d][g] == in ? w[d][g] : blended;
          res[d][g][k] = w[d][g];
        }
      }
    }
    // a result that is not finite stays so to the last step's
    V given = Chains::splat(0.0);
    for (unsigned d = 0; d < Depth; ++d) {
      for (std::size_t g = 0; g < count; ++g) given += w[d][g] - w[d][g];
    }
    const bool finite = Chains::finite_sum(given);
    if (!finite) {
      for (unsigned d = 0; d < Depth; ++d) {
        for (std::size_t g = 0; g < count; ++g) w[d][g] = saved[d][g];
      }
    }
    return finite;
  }
};

// Returns the steps taken in vectors.
template <class V, unsigned Depth>
ORVANE_INLINE std::size_t stacked_lanes(const double* x, std::size_t stride, std::size_t steps,
                                        std::size_t warm, StackedChains& c, StackedChains& warmed,
                                        double* const* outs) {
  using Lanes = StackedLanes<V, Depth>;
  constexpr std::size_t width = Lanes::width, count = Lanes::count;
  Lanes lanes_state(c[0][0]);
  lanes_state.load(c);
  std::size_t vector_steps = 0;
  for (std::size_t t = 0; t < steps; t += 4) {
    V r[count][4], res[Depth][count][4];
    V unobserved = Lanes::Chains::splat(0.0);  // v - v is 0 for finite v only
    for (std::size_t g = 0; g < count; ++g) {
      Lanes::Chains::read(x + g * width * stride, stride, t, r[g]);
    }
    for (std::size_t g = 0; g < count; ++g) {
      for (int k = 0; k < 4; ++k) unobserved += r[g][k] - r[g][k];
    }
    if (lanes_state.steady_state && Lanes::Chains::finite_sum(unobserved) &&
        lanes_state.steps(r, res)) {
#pragma GCC unroll 3
      for (unsigned d = 0; d < Depth; ++d) {
        for (std::size_t g = 0; g < count; ++g) {
          Lanes::Chains::write(outs[d] + g * width * stride - d, stride, t, res[d][g]);
        }
      }
      vector_steps += 4;
    } else {
      lanes_state.save(c);
      for (std::size_t s = t; s < t + 4; ++s) {
        for (std::size_t k = 0; k < kChains; ++k) {
          for (unsigned d = Depth; d-- > 0;) {
            const double in = d == 0 ? x[k * stride + s] : c[d - 1][k].weighted;
            outs[d][k * stride + s - d] = c[d][k].step(in);
          }
        }
      }
      lanes_state.load(c);
    }
    if (t + 4 == warm) {
      lanes_state.save(c);
      std::copy(&c[0][0], &c[0][0] + kMaxDepth * kChains, &warmed[0][0]);
    }
  }
  lanes_state.save(c);
  return vector_steps;
}

ORVANE_WIDE_TARGET std::size_t double_lanes(const double* x, std::size_t stride, std::size_t steps,
                                            std::size_t warm, StackedChains& c,
                                            StackedChains& warmed, double* const* outs) {
  return stacked_lanes<Lane, 2>(x, stride, steps, warm, c, warmed, outs);
}
ORVANE_WIDE_TARGET std::size_t triple_lanes(const double* x, std::size_t stride, std::size_t steps,
                                            std::size_t warm, StackedChains& c,
                                            StackedChains& warmed, double* const* outs) {
  return stacked_lanes<Lane, 3>(x, stride, steps, warm, c, warmed, outs);
}

// The passes of one block of the stacked means: pass d's input is x for d = 0
// and pass d - 1's rows otherwise; pass d has run to row a - d - 1 (its
// state e[d]) and runs to the block's end, leaving e[d] its state after the
// last row. The rows from a on run in stacked chains where they pay, else
// pass by pass.
struct StackedPasses {
  std::span<const double> x;
  unsigned depth;
  std::span<double> pass[kMaxDepth];

  std::span<const double> input(unsigned d) const { return d == 0 ? x : pass[d - 1]; }

  // Rows [begin - d, end - d) of each pass (none past the last row), from
  // states s[d] (pass d - 1's then holds its row begin - d). All the passes
  // step in one loop, as in the stacked chains: pass d takes the value pass
  // d - 1 reached at the loop's step before, so their recurrences overlap in
  // the CPU.
  // Returns the rows stepped four at a time in the steady state.
  std::size_t serial(Ewm* const* s, std::size_t begin, std::size_t end) const {
    return depth == 2 ? serial_passes<2>(s, begin, end) : serial_passes<3>(s, begin, end);
  }

  template <unsigned Depth>
  std::size_t serial_passes(Ewm* const* s, std::size_t begin, std::size_t end) const {
    // local copies of the states: stepped through s, each row's store
    // would reload them (see run_ewm)
    Ewm state[Depth];
    double* out[Depth];
    for (unsigned d = 0; d < Depth; ++d) state[d] = *s[d], out[d] = pass[d].data();
    const std::size_t n = x.size();
    // pass d's row i - d at step i, the last pass first, so that pass d - 1's
    // state still holds that row
    const auto step = [&](std::size_t i, unsigned d) {
      out[d][i - d] = state[d].step(d == 0 ? x[i] : state[d - 1].weighted);
    };
    // every pass in the unadjusted steady state (see stacked_lanes)
    const auto steady = [&] {
      bool all = true;
      for (unsigned d = 0; d < Depth; ++d) {
        all &= !state[d].adjust && state[d].old_weight == 1.0 && std::isfinite(state[d].weighted);
      }
      return all;
    };
    std::size_t i = begin, steady_steps = 0;
    bool in_steady = steady();
    for (const std::size_t all = std::min(end, n); i < all;) {
      if (in_steady && i + 4 <= all && steady_rows(state, out, i)) {
        i += 4;
        steady_steps += 4;
        continue;
      }
      for (unsigned d = Depth; d-- > 0;) step(i, d);
      in_steady = steady();
      ++i;
    }
    // past the last row, the passes behind finish theirs
    for (; i < end; ++i) {
      for (unsigned d = Depth; d-- > i - n + 1;) step(i, d);
    }
    for (unsigned d = 0; d < Depth; ++d) *s[d] = state[d];
    return steady_steps;
  }

  // Rows [i, i + 4) of every pass from the steady state, as the chains'
  // vectors step it, the states left as they were and false when a row is
  // missing or a result is not finite (the rows written are then written
  // again, one at a time).
  template <unsigned Depth>
  ORVANE_INLINE bool steady_rows(Ewm (&state)[Depth], double* const (&out)[Depth],
                                 std::size_t i) const {
    const double decay = state[0].decay, new_weight = state[0].new_weight;
    double w[Depth];
    for (unsigned d = 0; d < Depth; ++d) w[d] = state[d].weighted;
    double unobserved = 0.0;  // v - v is 0 for finite v only
    for (std::size_t j = i; j < i + 4; ++j) {
      const double v = x[j];
      unobserved += v - v;
      for (unsigned d = Depth; d-- > 0;) {
        const double in = d == 0 ? v : w[d - 1];
        // a value equal to the mean leaves it as it is, exactly
        w[d] = w[d] == in ? w[d] : decay * w[d] + new_weight * in;
        out[d][j - d] = w[d];
      }
    }
    // a result that is not finite stays so to the last row's
    for (unsigned d = 0; d < Depth; ++d) unobserved += w[d] - w[d];
    if (unobserved != 0.0) return false;
    for (unsigned d = 0; d < Depth; ++d) state[d].weighted = w[d];
    return true;
  }

  // Returns how many chains after the first were confirmed; adds the rows
  // stepped the steady state's fast way, in the chains' vectors or four at a
  // time in one loop, to `fast_rows`.
  std::size_t run(std::size_t a, Ewm* e, std::size_t& fast_rows) const {
    const std::size_t n = x.size();
    const bool forgets = !e[0].adjust && e[0].decay > 0.0 && e[0].decay < 1.0;
    const std::size_t warm = forgets ? warm_up_rows(e[0].decay, depth) : 0;
    const std::size_t stretch = forgets && n > a + warm ? (n - a - warm) / kChains / 4 * 4 : 0;
    Ewm* states[kMaxDepth] = {e, e + 1, e + 2};
    // chains, on the wide build, while their steps, stretch + warm each,
    // cost less than the rows in one loop (see serial)
    if (!lanes::wide_selected() || stretch == 0 || kStackedStepRows * (stretch + warm) >= n - a) {
      fast_rows += serial(states, a, n + depth - 1);  // pass d to row n - 1
      return 0;
    }
    StackedChains chain, warmed;
    for (unsigned d = 0; d < depth; ++d) {
      for (std::size_t k = 0; k < kChains; ++k) {
        chain[d][k] = e[d];
        if (k > 0) chain[d][k].start(x[a + k * stretch - 1]);
      }
    }
    double* outs[kMaxDepth];
    for (unsigned d = 0; d < depth; ++d) outs[d] = pass[d].data() + a;
    fast_rows += kChains * (depth == 2 ? double_lanes : triple_lanes)(
                               x.data() + a, stretch, stretch + warm, warm, chain, warmed, outs);
    std::size_t confirmed = 0;
    for (std::size_t k = 1; k < kChains; ++k) {
      bool same = true;
      for (unsigned d = 0; d < depth; ++d) same &= same_state(warmed[d][k], chain[d][k - 1]);
      confirmed += same;
      if (same) continue;
      Ewm* rerun[kMaxDepth];
      for (unsigned d = 0; d < depth; ++d) {
        chain[d][k] = chain[d][k - 1];
        rerun[d] = &chain[d][k];
      }
      const std::size_t begin = a + k * stretch + warm;
      fast_rows += serial(rerun, begin, begin + stretch);
    }
    for (unsigned d = 0; d < depth; ++d) e[d] = chain[d][kChains - 1];
    fast_rows += serial(states, a + kChains * stretch + warm, n + depth - 1);
    return confirmed;
  }
};

// Window sums from the two blocks a window straddles. With blocks of exactly
// `length` rows, the window ending at row m of a block (0-based) is the
// previous block's rows m+1 .. length-1 plus this block's rows 0 .. m: a
// suffix sum of the one and a prefix sum of the other. Every partial sum
// covers only rows of the window it serves, so no rounding of rows that have
// left the window survives, whatever the series' signs and spread. Each
// partial sum is compensated (see Compensated), so a window's error stays
// within a few roundings of the sum of its |values| at any length. Sums of
// observations of one sign keep that sign.
//
// Blocks without a missing value after one without take the fast path: every
// window is full, so only runs of equal values need pandas' rules, and a
// block without two equal neighbours has none. Elsewhere counts, signs and
// runs follow pandas' rules row by row.
//
// Values so large that a window's sum could overflow are summed scaled by a
// power of two (exact), so every window of finite observations has a finite
// mean.

struct BlockScan {
  bool clean;      // no missing value
  bool ties;       // some row equals the row before it
  double largest;  // the largest finite |value|
};

// Two doubles as one value of the target's vector registers (SSE2 on x86-64,
// NEON on ARM); the compiler maps each operator to one instruction.
using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline double finite_abs(double v) { return observed(v) ? std::fabs(v) : 0.0; }

// The largest finite |value| of rows [b, end), as scan_block finds it: for
// the few rows before a series' first full window, which need no more.
double largest_finite(const double* x, std::size_t b, std::size_t end) {
  double largest = 0.0;
  for (std::size_t t = b; t < end; ++t) largest = std::max(largest, finite_abs(x[t]));
  return largest;
}

// What the rolling mean needs to know of rows [b, end) before summing them.
// Two pairs of rows per step, so no comparison waits for the one before.
BlockScan scan_block(const double* x, std::size_t b, std::size_t end) {
  bool clean = true, ties = false;
  double largest = 0.0;
  std::size_t t = b;
  if (t == 0) {
    clean = observed(x[0]);
    largest = finite_abs(x[0]);
    t = 1;
  }
  constexpr double top = std::numeric_limits<double>::max();
  const Pair finite_top = {top, top};
  Pair big0 = {0.0, 0.0}, big1 = big0;
  // v - v is 0 exactly for finite v and NaN otherwise, so the sums of these
  // differences stay 0 through finite rows only
  Pair missing = {0.0, 0.0};
  // the least squared step to the row before: 0 for equal neighbours (and for
  // steps too small to square, which only sends the block the careful way)
  Pair step = {1.0, 1.0};
  for (; t + 4 <= end; t += 4) {
    const Pair v = load_pair(x + t), w = load_pair(x + t + 2);
    const Pair av = v < 0 ? -v : v, aw = w < 0 ? -w : w;
    big0 = ((av > big0) & (av <= finite_top)) ? av : big0;
    big1 = ((aw > big1) & (aw <= finite_top)) ? aw : big1;
    missing += (v - v) + (w - w);
    const Pair dv = v - load_pair(x + t - 1), dw = w - load_pair(x + t + 1);
    const Pair sq = dv * dv < dw * dw ? dv * dv : dw * dw;
    step = sq < step ? sq : step;
  }
  for (int k = 0; k < 2; ++k) {
    largest = std::max({largest, big0[k], big1[k]});
    clean &= missing[k] == 0.0;
    ties |= step[k] == 0.0;
  }
  for (; t < end; ++t) {
    clean &= observed(x[t]);
    largest = std::max(largest, finite_abs(x[t]));
    ties |= x[t] == x[t - 1];
  }
  return {clean, ties, largest};
}

// The suffix sums of a block, compensated: hi[p] + lo[p] is unit * (the sum
// of v[p .. rows-1]) for p < rows, and hi[rows] = lo[rows] = 0.
struct Tail {
  double* hi;  // rows + 1 entries
  double* lo;  // rows + 1 entries
};

// Missing values count as 0 unless the block has none.
template <bool Clean, bool Exact>
void suffix_sums(const double* __restrict v, std::size_t rows, double unit, Tail tail) {
  Compensated<double, Exact> acc{0.0, 0.0};
  tail.hi[rows] = tail.lo[rows] = 0.0;
  for (std::size_t p = rows; p-- > 0;) {
    acc.add(Clean ? v[p] * unit : (observed(v[p]) ? v[p] * unit : 0.0));
    tail.hi[p] = acc.hi;
    tail.lo[p] = acc.lo;
  }
}

// A window sum may reach length * largest; above this a block is summed scaled.
double overflow_limit(std::size_t length) {
  return std::numeric_limits<double>::max() / (2.0 * static_cast<double>(length + 4));
}

// The power of two that brings any such sum back into range.
// 2^-k for the least k with 2^k >= 2 * (length + 4), made from its bits:
// every call computes it, and the library's log2 and ldexp cost a small
// call a dozen instruction-cache misses.
double overflow_scale(std::size_t length) {
  const auto k = static_cast<std::uint64_t>(std::bit_width(2 * (length + 4) - 1));
  return std::bit_cast<double>((std::uint64_t{1023} - k) << 52);
}

// The means of a block of `rows` <= length rows whose windows are all full
// and finite: its prefix sums plus the suffix sums of the block before.
template <bool Exact>
void clean_block_means(const double* __restrict v, std::size_t rows, std::size_t length,
                       double inverse, Tail tail, double* __restrict o) {
  suffix_sums<true, Exact>(v - length, length, 1.0, tail);
  Compensated<double, Exact> prefix{0.0, 0.0};
  for (std::size_t m = 0; m < rows; ++m) {
    prefix.add(v[m]);
    o[m] = window_sum(prefix, tail.hi[m + 1], tail.lo[m + 1]) * inverse;
  }
}

// Short windows are summed from quads: a quad is the sum of four neighbouring
// rows, (x[t] + x[t-1]) + (x[t-2] + x[t-3]), and a window of 4q + r rows is
// the quad ending at its last row plus the q - 1 quads before it, one after
// the other, plus the sum of its r oldest rows (as the quad's pairs). Four
// neighbouring windows' sums are one vector of loads and additions in the
// row order, no transposes, and each quad is summed once and read again by
// the q - 1 windows after it. A window's sum takes at most q + 3 roundings,
// each of at most its sum of |values|: within (length + 2) roundings of the
// window's mean |value| for windows of up to kQuadWindow rows, as the lanes'
// plain sums.
constexpr std::size_t kQuadWindow = 32;

bool quad_window(std::size_t length) { return length <= kQuadWindow; }

// The quad ending at row t and the sum of the R rows ending at row t, read
// by at(t) (a value, or the Lane of rows t .. t + 3).
template <class At>
ORVANE_INLINE auto quad_at(At at, std::ptrdiff_t t) {
  return (at(t) + at(t - 1)) + (at(t - 2) + at(t - 3));
}
template <std::size_t R, class At>
ORVANE_INLINE auto oldest_rows(At at, std::ptrdiff_t t) {
  if constexpr (R == 0) return decltype(at(t)){};
  if constexpr (R == 1) return at(t);
  if constexpr (R == 2) return at(t) + at(t - 1);
  if constexpr (R == 3) return (at(t) + at(t - 1)) + at(t - 2);
}

// A window's sum from the quad ending at its last row, the quads earlier(k)
// k fours of rows before it, and the sum of its r oldest rows.
template <std::size_t Length, class T, class Earlier>
ORVANE_INLINE T quad_window_sum(T quad, Earlier earlier, T rest) {
  constexpr std::size_t q = Length / 4, r = Length % 4;
  T sum = quad;
  for (std::size_t k = 1; k < q; ++k) sum += earlier(k);
  if constexpr (r == 0) {
    return sum;
  } else if constexpr (q == 0) {
    return rest;
  } else {
    return sum + rest;
  }
}

// The mean of the window ending at row t, alone, in the vectors' arithmetic.
template <std::size_t Length>
ORVANE_INLINE double quad_row_mean(const double* x, std::ptrdiff_t t, double inverse) {
  const auto row = [&](std::ptrdiff_t i) { return x[i]; };
  const auto earlier = [&](std::size_t k) {
    return quad_at(row, t - 4 * static_cast<std::ptrdiff_t>(k));
  };
  const double rest = oldest_rows<Length % 4>(row, t - static_cast<std::ptrdiff_t>(Length / 4 * 4));
  return quad_window_sum<Length>(quad_at(row, t), earlier, rest) * inverse;
}

// The vectors of four rows' quads and pairs (x[t] + x[t-1]) of the fours of
// rows before, by their age (1: the four before), for the later windows that
// read them. A quad is its pair plus the pair two rows before, whose vector
// is half the last four rows' pairs. They move down one age a four, so that
// every place is known when the kernel is compiled and the vectors stay in
// registers: a ring indexed by the count of fours cost the loop as many
// instructions again, in index arithmetic and stores.
template <class V, std::size_t Length>
struct QuadRing {
  static constexpr std::size_t q = Length / 4, r = Length % 4;
  // the ages read: quads 1 .. q - 1, pairs 1 .. q (the last rows' oldest
  // pairs) or 1 alone (a quad's two rows before)
  static constexpr std::size_t kQuads = q > 1 ? q - 1 : 1, kPairs = r >= 2 && q > 1 ? q : 1;
  const double* x;
  V quads[kQuads]{}, pairs[kPairs]{};

  ORVANE_INLINE V four(std::size_t t) const { return lanes::load_as<V>(x + t); }
  ORVANE_INLINE V pair_at(std::size_t t) const { return four(t) + four(t - 1); }

  // The fours of rows before row `from` that its windows read.
  ORVANE_INLINE QuadRing(const double* rows, std::size_t from) : x(rows) {
    if constexpr (q > 0) {
      for (std::size_t k = 1; k < q; ++k) {
        quads[k - 1] = pair_at(from - 4 * k) + pair_at(from - 4 * k - 2);
      }
      for (std::size_t k = 1; r >= 2 && k <= q; ++k) pairs[k - 1] = pair_at(from - 4 * k);
      if constexpr (r < 2) {
        // only the pairs of the two rows before `from` are read
        const V w = pair_at(from - 2);
        pairs[0] = lanes::shift_half(w, w);
      }
    }
  }

  // The sums of the windows ending at rows t .. t + 3.
  ORVANE_INLINE V sums(std::size_t t, V latest, V before) {
    const V pair = latest + before;
    const V quad = pair + lanes::shift_half(pairs[0], pair);
    V rest = latest;
    if constexpr (q == 0) {
      rest = oldest_rows<r>([&](std::ptrdiff_t i)
                                ORVANE_LAMBDA_INLINE { return four(static_cast<std::size_t>(i)); },
                            static_cast<std::ptrdiff_t>(t));
    } else if constexpr (r == 1) {
      rest = four(t - 4 * q);
    } else if constexpr (r >= 2) {
      rest = pairs[q - 1];
      if constexpr (r == 3) rest += four(t - 4 * q - 2);
    }
    const auto earlier = [&](std::size_t k) ORVANE_LAMBDA_INLINE { return quads[k - 1]; };
    const V sum = quad_window_sum<Length>(quad, earlier, rest);
    for (std::size_t k = kQuads - 1; k > 0; --k) quads[k] = quads[k - 1];
    quads[0] = quad;
    for (std::size_t k = kPairs - 1; k > 0; --k) pairs[k] = pairs[k - 1];
    pairs[0] = pair;
    return sum;
  }
};

// A chunk's means stand when all of them are finite; kTies: some row in it
// equals the row before (the equal runs' rule is still to apply).
constexpr unsigned char kStands = 1, kTies = 2;

// Window means at rows [from, to) (from a multiple of four, at least length
// - 1) from quads, as the quad_window comment reads; `flags` of each chunk of
// `chunk` rows (a multiple of four) that the rows reach. Compiled for each
// length, so that its sums unroll, and for each build.
template <class Build, std::size_t Length>
ORVANE_INLINE void quad_means(const double* x, std::size_t from, std::size_t to, double inverse,
                              std::size_t chunk, unsigned char* flags, double* out) {
  using V = lanes::Vec<Build>;
  QuadRing<V, Length> ring(x, from);
  const V scale = lanes::splat_as<V>(inverse);
  std::size_t t = from;
  while (t < to) {
    unsigned char& flag = flags[t / chunk];
    const std::size_t chunk_end = std::min(to, (t / chunk + 1) * chunk);
    lanes::AllFinite<V> finite;
    lanes::AnyEqual<V> tied;
    for (; t + 4 <= chunk_end; t += 4) {
      const V latest = ring.four(t), before = ring.four(t - 1);
      const V mean = ring.sums(t, latest, before) * scale;
      lanes::store_as(out + t, mean);
      finite.see(mean);
      tied.see(latest, before);
    }
    bool stands = finite.all(), ties = tied.any();
    // the rows after the last four, one at a time
    for (; t < chunk_end; ++t) {
      out[t] = quad_row_mean<Length>(x, static_cast<std::ptrdiff_t>(t), inverse);
      stands &= std::isfinite(out[t]);
      ties |= x[t] == x[t - 1];
    }
    flag = (stands ? kStands : 0) | (ties ? kTies : 0);
  }
}

template <std::size_t Length>
void quad_means_base(const double* x, std::size_t from, std::size_t to, double inverse,
                     std::size_t chunk, unsigned char* flags, double* out) {
  quad_means<lanes::Base, Length>(x, from, to, inverse, chunk, flags, out);
}
template <std::size_t Length>
ORVANE_WIDE_TARGET void quad_means_wide(const double* x, std::size_t from, std::size_t to,
                                        double inverse, std::size_t chunk, unsigned char* flags,
                                        double* out) {
  quad_means<lanes::Wide, Length>(x, from, to, inverse, chunk, flags, out);
}

// quad_means of each length from 2 to kQuadWindow in the build selected, at
// [length - 2].
using QuadMeans = void (*)(const double*, std::size_t, std::size_t, double, std::size_t,
                           unsigned char*, double*);
template <std::size_t... L>
std::array<QuadMeans, sizeof...(L)> quad_means_of(std::index_sequence<L...>) {
  if (lanes::wide_selected()) return {quad_means_wide<L + 2>...};
  return {quad_means_base<L + 2>...};
}
const std::array<QuadMeans, kQuadWindow - 1> quad_means_best =
    quad_means_of(std::make_index_sequence<kQuadWindow - 1>());

// Rows are scanned in chunks of whole blocks: about kLaneChunk rows when the
// windows run in lanes (a sixteenth of a shorter series, so that its chunks
// still fill the lanes), else about kChunk rows.
constexpr std::size_t kChunk = 256, kLaneChunk = 2048;

// Windows longer than quads pay for run in lanes, whatever their
// length: a lane's blocks leave L1 beyond about 500 rows, but they are read
// and written in order, which the caches stream, while the rows one at a time
// would cost several times the lanes' pass at any length.
bool lane_window(std::size_t length) { return !quad_window(length); }

std::size_t chunk_rows(std::size_t length, std::size_t rows) {
  // lcm(length, 4), from the length's factors of two
  const std::size_t unit = length << (2 - std::min(std::countr_zero(length), 2));
  if (!lane_window(length)) return unit * std::max<std::size_t>(1, kChunk / unit);
  return unit * std::max<std::size_t>(1, std::min(kLaneChunk, rows / 16) / unit);
}

// Streaming lanes for the rolling mean. The chunks of a section are dealt to
// four lanes in quarters - lane k takes `per` consecutive chunks - and the
// four lanes run side by side, one vector, four rows of each lane per
// transpose in registers. Each lane so reads and writes one long sequential
// run, which the memory system streams, and needs no buffer of rows.
//
// Each lane does what clean chunks take one after the other
// (clean_block_means, then the ties), with the same arithmetic row by row. A
// chunk's means stand (`valid`) when all of them are finite, that is when its
// rows and those of the block before are observed and no sum overflowed; the
// other chunks are summed again the careful way.
struct MeanLaneScratch {
  Lane* tail_hi;  // length + 1: the suffix sums of the block before
  Lane* tail_lo;  // length + 1
  Lane* block;    // length: the rows of this block
  static std::size_t lanes(std::size_t length) { return 3 * length + 2; }
  MeanLaneScratch(double* scratch, std::size_t length)
      : tail_hi(lanes::lane_buffer(scratch)),
        tail_lo(tail_hi + length + 1),
        block(tail_lo + length + 1) {}
};

// `x` and `out` point at the first row of lane 0, `per` chunks of `chunk`
// rows after it lane 1's, and so on; lane 0's first row has a block before
// it. valid[k * per + i] tells whether lane k's chunk i stands.
template <class Build, bool Exact>
ORVANE_INLINE void stream_mean_lanes(const double* x, std::size_t chunk, std::size_t per,
                                     std::size_t length, double inverse, MeanLaneScratch s,
                                     unsigned char* valid, double* out) {
  using V = lanes::Vec<Build>;
  const std::size_t stride = chunk * per;
  const V zero = lanes::splat_as<V>(0.0), one = lanes::splat_as<V>(1.0);
  const V scale = lanes::splat_as<V>(inverse),
          full = lanes::splat_as<V>(static_cast<double>(length));
  V* tail_hi = reinterpret_cast<V*>(s.tail_hi);
  V* tail_lo = reinterpret_cast<V*>(s.tail_lo);
  V* block = reinterpret_cast<V*>(s.block);
  const auto row = [&](std::ptrdiff_t t)
                       ORVANE_LAMBDA_INLINE { return lanes::across<V>(x, stride, t); };
  // suffix sums of the block before, as suffix_sums sums them
  const auto end_block = [&]() ORVANE_LAMBDA_INLINE {
    Compensated<V, Exact> acc{zero, zero};
    tail_hi[length] = tail_lo[length] = zero;
    for (std::size_t p = length - 1; p >= 1; --p) {
      acc.add(block[p]);
      tail_hi[p] = acc.hi;
      tail_lo[p] = acc.lo;
    }
  };
  const auto before = static_cast<std::ptrdiff_t>(length);
  for (std::size_t p = 0; p < length; ++p) block[p] = row(static_cast<std::ptrdiff_t>(p) - before);
  end_block();
  // the run of values equal to the latest, counted up to a window's length
  EqualRun<V> run{row(-1), one};
  for (std::ptrdiff_t back = 2; back <= before; ++back) {
    const V unbroken = lanes::splat_as<V>(static_cast<double>(back - 1));
    run.run = lanes::each(
        [](auto earlier, auto last, auto run, auto unbroken, auto one)
            ORVANE_LAMBDA_INLINE { return earlier == last && run == unbroken ? run + one : run; },
        row(-back), run.last, run.run, unbroken, one);
  }
  Compensated<V, Exact> prefix{zero, zero};
  lanes::AllFinite<V> finite;
  std::size_t m = 0;  // the row's place in its block
  const auto step = [&](V v) ORVANE_LAMBDA_INLINE {
    block[m] = v;
    prefix.add(v);
    const V mean = window_sum(prefix, tail_hi[m + 1], tail_lo[m + 1]) * scale;
    finite.see(mean);
    run.see(v, one);
    if (++m == length) {
      end_block();
      prefix = {zero, zero};
      m = 0;
    }
    return run.mean(full, mean);
  };
  for (std::size_t t = 0; t < stride; t += 4) {
    lanes::four_steps<V>(x, stride, t, out, step);
    if ((t + 4) % chunk == 0) {
      const std::size_t i = (t + 4) / chunk - 1;
      for (std::size_t k = 0; k < 4; ++k) valid[k * per + i] = lanes::lane(finite.sum, k) == 0.0;
      finite = {};
    }
  }
}

template <class Build>
ORVANE_INLINE void plain_mean_lanes(const double* x, std::size_t chunk, std::size_t per,
                                    std::size_t length, double inverse, MeanLaneScratch s,
                                    unsigned char* valid, double* out) {
  stream_mean_lanes<Build, false>(x, chunk, per, length, inverse, s, valid, out);
}
template <class Build>
ORVANE_INLINE void exact_mean_lanes(const double* x, std::size_t chunk, std::size_t per,
                                    std::size_t length, double inverse, MeanLaneScratch s,
                                    unsigned char* valid, double* out) {
  stream_mean_lanes<Build, true>(x, chunk, per, length, inverse, s, valid, out);
}
ORVANE_BUILD_KERNEL(plain_mean_lanes, void,
                    (const double* x, std::size_t chunk, std::size_t per, std::size_t length,
                     double inverse, MeanLaneScratch s, unsigned char* valid, double* out),
                    (x, chunk, per, length, inverse, s, valid, out))
ORVANE_BUILD_KERNEL(exact_mean_lanes, void,
                    (const double* x, std::size_t chunk, std::size_t per, std::size_t length,
                     double inverse, MeanLaneScratch s, unsigned char* valid, double* out),
                    (x, chunk, per, length, inverse, s, valid, out))

// Lanes run over sections of the series, kSectionChunks chunks (about 2 MiB
// of results) at a time: long runs for each lane, and the four runs of
// results close enough that the pages the system hands out fresh are still
// in the cache when they are written.
constexpr std::size_t kSectionChunks = 128, kSectionRows = kSectionChunks * kLaneChunk;

// Calls lanes(first, per) for each whole section of the chunks after the
// first of `chunks` (`per` chunks a lane, the last section as long as four
// lanes of whole chunks allow); returns the first chunk after them.
template <class Lanes>
std::size_t in_sections(std::size_t chunks, Lanes lanes) {
  std::size_t first = 1;
  while (first < chunks) {
    const std::size_t per = std::min(kSectionChunks, chunks - first) / 4;
    if (per == 0) break;
    lanes(first, per);
    first += 4 * per;
  }
  return first;
}

// One call of the rolling mean: what every chunk shares, and what the rows
// carry from chunk to chunk where they are summed one at a time.
template <bool Exact>
struct RollingMean {
  std::span<const double> x;
  std::size_t length, chunk;
  std::int64_t min_obs;
  double inverse, limit, scale;
  Tail tail;
  std::span<double> out;

  std::int64_t nobs = 0, negatives = 0;
  bool counts_valid = true;  // nobs and negatives describe the window ending before the chunk
  EqualRun<double> run{nan, 0.0};
  bool previous_clean = false;
  double previous_largest = 0.0;

  // The chunk at `c` follows one that stood: its rows were all observed,
  // and all the next windows reach is its last block.
  void after_lanes(std::size_t c) {
    previous_largest = 0.0;
    for (std::size_t p = c - length; p < c; ++p) {
      previous_largest = std::max(previous_largest, std::fabs(x[p]));
    }
    run = run_before(c);
  }

  // The run of values equal to row c - 1 in the window ending there, all of
  // whose rows are observed.
  EqualRun<double> run_before(std::size_t c) const {
    EqualRun<double> before{x[c - 1], 1.0};
    while (before.run < static_cast<double>(length) && before.run < static_cast<double>(c) &&
           x[c - 1 - static_cast<std::size_t>(before.run)] == before.last) {
      before.run += 1.0;
    }
    return before;
  }

  // The equal runs' rule over rows [c, end) of full windows of observed rows.
  void equal_runs(std::size_t c, std::size_t end) {
    const double full = static_cast<double>(length);
    for (std::size_t t = c; t < end; ++t) {
      run.see(x[t], 1.0);
      out[t] = run.mean(full, out[t]);
    }
  }

  // The chunk [c, end) whose means stood from row `from` on: the rows before
  // (the first chunk's, whose windows are not full) one at a time, then the
  // equal runs' rule where the chunk has ties.
  void stood_chunk(std::size_t c, std::size_t from, std::size_t end, bool ties) {
    if (from > c) {
      const bool huge = largest_finite(x.data(), c, from) > limit;
      careful_chunk(c, from, huge ? scale : 1.0);
    }
    if (ties) {
      run = run_before(from);
      equal_runs(from, end);
    }
    previous_clean = true;
    counts_valid = false;
  }

  // Rows [c, end), every window full and finite: sums, then equal runs.
  void clean_chunk(std::size_t c, std::size_t end, bool ties) {
    for (std::size_t b = c; b < end; b += length) {
      clean_block_means<Exact>(x.data() + b, std::min(length, end - b), length, inverse, tail,
                               out.data() + b);
    }
    if (ties) {
      equal_runs(c, end);
    } else {
      run = {x[end - 1], 1.0};
    }
    counts_valid = false;
  }

  // Rows [c, end) one at a time, with pandas' counts, signs and runs; sums
  // scaled by `unit`.
  void careful_chunk(std::size_t c, std::size_t end, double unit) {
    if (!counts_valid) {
      // the window ending at row c - 1 lies in the clean chunk before
      nobs = static_cast<std::int64_t>(length);
      negatives = 0;
      for (std::size_t p = c - length; p < c; ++p) negatives += std::signbit(x[p]);
      counts_valid = true;
    }
    for (std::size_t b = c; b < end; b += length) {
      if (b > 0) suffix_sums<false, Exact>(x.data() + b - length, length, unit, tail);
      Compensated<double, Exact> prefix{0.0, 0.0};
      for (std::size_t t = b; t < std::min(b + length, end); ++t) {
        if (t >= length && observed(x[t - length])) {
          --nobs;
          negatives -= std::signbit(x[t - length]);
        }
        if (observed(x[t])) {
          ++nobs;
          negatives += std::signbit(x[t]);
          run.see(x[t], 1.0);
          prefix.add(x[t] * unit);
        }
        out[t] = window_mean(window_sum(prefix, tail.hi[t - b + 1], tail.lo[t - b + 1]), nobs,
                             negatives, run, min_obs, unit);
      }
    }
  }
};

template <bool Exact>
std::size_t blocked_rolling_mean(std::span<const double> x, std::size_t length,
                                 std::int64_t min_obs, std::span<double> scratch,
                                 std::span<double> out) {
  const std::size_t n = x.size();
  const std::size_t chunk = chunk_rows(length, n);
  // the suffix sums of the previous block, length + 1 entries each
  const Tail tail{scratch.data(), scratch.data() + length + 1};
  std::fill(tail.hi, tail.hi + 2 * (length + 1), 0.0);
  RollingMean<Exact> mean{x,
                          length,
                          chunk,
                          min_obs,
                          1.0 / static_cast<double>(length),
                          overflow_limit(length),
                          overflow_scale(length),
                          tail,
                          out};
  // Short windows are summed from quads first, every row from the first
  // multiple of four whose window is full (`first_row`); longer ones in
  // lanes, whole sections of chunks after the first. Chunks [first_chunk,
  // laned) ran there, and `flags` tells which of them stand.
  const std::size_t chunks = (n + chunk - 1) / chunk;
  double* lane_scratch = tail.lo + length + 1;
  unsigned char* flags = reinterpret_cast<unsigned char*>(
      lane_window(length) ? lane_scratch + lanes::lane_doubles(MeanLaneScratch::lanes(length))
                          : lane_scratch);
  std::size_t first_chunk = 1, laned = 0, first_row = 0;
  if (quad_window(length)) {
    first_chunk = 0;
    first_row = (length + 2) / 4 * 4;
    if (first_row < n) {
      std::fill(flags, flags + chunks, 0);
      quad_means_best[length - 2](x.data(), first_row, n, mean.inverse, chunk, flags, out.data());
      laned = chunks;
    }
  } else {
    laned = in_sections(n / chunk, [&](std::size_t first, std::size_t per) {
      (Exact ? exact_mean_lanes_best : plain_mean_lanes_best)(
          x.data() + first * chunk, chunk, per, length, mean.inverse,
          MeanLaneScratch(lane_scratch, length), flags + first, out.data() + first * chunk);
    });
  }
  const auto stands = [&](std::size_t c) {
    const std::size_t i = c / chunk;
    return i >= first_chunk && i < laned && (flags[i] & kStands) != 0;
  };
  std::size_t in_lanes_rows = 0;
  for (std::size_t c = 0; c < n; c += chunk) {
    const std::size_t end = std::min(c + chunk, n);
    if (stands(c)) {
      const std::size_t from = std::max(c, first_row);
      mean.stood_chunk(c, from, end, (flags[c / chunk] & kTies) != 0);
      in_lanes_rows += end - from;
      continue;
    }
    if (c > 0 && stands(c - chunk)) mean.after_lanes(c);
    const BlockScan scan = scan_block(x.data(), c, end);
    const bool huge = std::max(mean.previous_largest, scan.largest) > mean.limit;
    // the series' first block has incomplete windows: its rows one at a
    // time, the rest of a clean first chunk the clean way
    const bool first_block = c == 0 && end > length;
    if (scan.clean && !huge && (mean.previous_clean || first_block)) {
      const std::size_t from = mean.previous_clean ? c : length;
      if (from > c) mean.careful_chunk(c, from, 1.0);
      mean.clean_chunk(from, end, scan.ties);
    } else {
      mean.careful_chunk(c, end, huge ? mean.scale : 1.0);
    }
    mean.previous_clean = scan.clean;
    mean.previous_largest = scan.largest;
  }
  return in_lanes_rows;
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
//
// Blocks before the first whole chunk and after the last run one at a time;
// the chunks between run in lanes, each row with the same arithmetic.
// Means of the windows ending at rows [b, end) of one block, row b's into
// out[0].
template <bool Ascending>
void weighted_block(const double* x, std::size_t b, std::size_t end, std::size_t length,
                    double inverse_total, double* weighted_suffix, double* plain_suffix,
                    double* out) {
  const double len = static_cast<double>(length);
  auto value = [&](std::size_t i) { return observed(x[i]) ? x[i] : nan; };
  // suffix sums of the previous block from row m + 1 on, at index m; the
  // window ending at the block's last row has none
  weighted_suffix[length - 1] = plain_suffix[length - 1] = 0.0;
  double plain = 0.0, weighted = 0.0;
  for (std::size_t p = length - 1; p >= 1; --p) {
    const double v = b > 0 ? value(b - length + p) : 0.0;
    plain += v;
    weighted += Ascending ? plain : (len - static_cast<double>(p)) * v;
    weighted_suffix[p - 1] = weighted;
    plain_suffix[p - 1] = plain;
  }
  plain = 0.0;
  double ramp = 0.0;
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
    out[m] = sum * inverse_total;
  }
}

// weighted_block in streaming lanes, section by section (see
// stream_mean_lanes): each lane runs its blocks one after the other with the
// same arithmetic, row by row. Every result stands as it is, so the lanes
// need no chunks and start after the first block, and a series of a few
// thousand rows (a pass of the Hull mean) runs in lanes too. `x` and `out` point at the first row
// of lane 0, which has a block before it; each lane takes `rows` rows (whole blocks, a multiple of
// four).
struct WeightedLaneScratch {
  Lane* weighted_suffix;  // length: of the block before
  Lane* plain_suffix;     // length
  Lane* block;            // length: the rows of this block
  static std::size_t lanes(std::size_t length) { return 3 * length; }
  WeightedLaneScratch(double* scratch, std::size_t length)
      : weighted_suffix(lanes::lane_buffer(scratch)),
        plain_suffix(weighted_suffix + length),
        block(plain_suffix + length) {}
};

// Weighted windows run in lanes at any length whose four lanes of whole
// blocks fit a section: short ones too, as their rows take no more
// arithmetic than a direct sum, and long ones, whose lane blocks leave the
// caches but are read and written in order, which the memory system streams
// (a third of the rows one at a time's cost at 5,000 rows).
bool weighted_lane_window(std::size_t length) {
  return length >= 2 && 4 * std::lcm(length, std::size_t{4}) <= kSectionRows;
}

template <class Build, bool Ascending>
ORVANE_INLINE void weighted_lanes(const double* x, std::size_t rows, std::size_t length,
                                  double inverse_total, WeightedLaneScratch s, double* out) {
  using V = lanes::Vec<Build>;
  const V zero = lanes::splat_as<V>(0.0), one = lanes::splat_as<V>(1.0);
  const V scale = lanes::splat_as<V>(inverse_total);
  const V before_first = lanes::splat_as<V>(static_cast<double>(length) - 1.0);
  V* weighted_suffix = reinterpret_cast<V*>(s.weighted_suffix);
  V* plain_suffix = reinterpret_cast<V*>(s.plain_suffix);
  V* block = reinterpret_cast<V*>(s.block);
  // infinities read as missing values
  const auto observed_or_missing = [](V row) ORVANE_LAMBDA_INLINE {
    return lanes::each(
        [](auto v) ORVANE_LAMBDA_INLINE { return v - v == 0.0 ? v : decltype(v){} + nan; }, row);
  };
  // the suffix sums of the block just ended, for the next block's windows;
  // with descending weights row p weighs length - p in them. The weights are
  // exact running counts (integers far below 2^53), the same values as
  // converting the row numbers.
  const auto end_block = [&]() ORVANE_LAMBDA_INLINE {
    weighted_suffix[length - 1] = plain_suffix[length - 1] = zero;
    V plain = zero, weighted = zero, weight = one;
    for (std::size_t p = length - 1; p >= 1; --p, weight += one) {
      const V v = block[p];
      plain += v;
      if constexpr (Ascending) {
        weighted += plain;
      } else {
        weighted += weight * v;
      }
      weighted_suffix[p - 1] = weighted;
      plain_suffix[p - 1] = plain;
    }
  };
  for (std::size_t p = 0; p < length; ++p) {
    block[p] = observed_or_missing(lanes::across<V>(
        x, rows, static_cast<std::ptrdiff_t>(p) - static_cast<std::ptrdiff_t>(length)));
  }
  end_block();
  V plain = zero, ramp = zero, m_plus_one = one, rest = before_first;  // rest: length - 1 - m
  std::size_t m = 0;  // the row's place in its block
  const auto step = [&](V row) ORVANE_LAMBDA_INLINE {
    const V v = observed_or_missing(row);
    block[m] = v;
    plain += v;
    V sum;
    if constexpr (Ascending) {
      ramp += m_plus_one * v;
      sum = ramp + rest * plain + weighted_suffix[m];
    } else {
      ramp += plain;
      sum = ramp + weighted_suffix[m] + m_plus_one * plain_suffix[m];
    }
    m_plus_one += one;
    rest -= one;
    if (++m == length) {
      end_block();
      plain = ramp = zero;
      m_plus_one = one;
      rest = before_first;
      m = 0;
    }
    return sum * scale;
  };
  for (std::size_t t = 0; t < rows; t += 4) lanes::four_steps<V>(x, rows, t, out, step);
}

template <class Build>
ORVANE_INLINE void ascending_lanes(const double* x, std::size_t rows, std::size_t length,
                                   double inverse_total, WeightedLaneScratch s, double* out) {
  weighted_lanes<Build, true>(x, rows, length, inverse_total, s, out);
}
template <class Build>
ORVANE_INLINE void descending_lanes(const double* x, std::size_t rows, std::size_t length,
                                    double inverse_total, WeightedLaneScratch s, double* out) {
  weighted_lanes<Build, false>(x, rows, length, inverse_total, s, out);
}
ORVANE_BUILD_KERNEL(ascending_lanes, void,
                    (const double* x, std::size_t rows, std::size_t length, double inverse_total,
                     WeightedLaneScratch s, double* out),
                    (x, rows, length, inverse_total, s, out))
ORVANE_BUILD_KERNEL(descending_lanes, void,
                    (const double* x, std::size_t rows, std::size_t length, double inverse_total,
                     WeightedLaneScratch s, double* out),
                    (x, rows, length, inverse_total, s, out))

// Weighted means of the full windows ending at rows [from, to) of x, row
// from's into out[0]; from >= length (the rows before `from` are the block
// before). Blocks start at `from` and every `length` rows after it, whichever
// way they run: sections of four lanes of whole blocks (of four rows too),
// then the rest one block at a time. `scratch` of
// weighted_mean_scratch(length) doubles. Returns how many rows ran in lanes.
template <bool Ascending>
std::size_t weighted_range(const double* x, std::size_t from, std::size_t to, std::size_t length,
                           std::span<double> scratch, double* out) {
  const double len = static_cast<double>(length);
  const double inverse_total = 1.0 / (0.5 * len * (len + 1.0));
  double* weighted_suffix = scratch.data();
  double* plain_suffix = weighted_suffix + length;
  std::size_t b = from;
  if (weighted_lane_window(length)) {
    const auto run = Ascending ? ascending_lanes_best : descending_lanes_best;
    const WeightedLaneScratch lane_scratch(plain_suffix + length, length);
    const std::size_t unit = std::lcm(length, std::size_t{4});
    for (std::size_t per; (per = std::min(kSectionRows, to - b) / 4 / unit * unit) > 0;
         b += 4 * per) {
      run(x + b, per, length, inverse_total, lane_scratch, out + (b - from));
    }
  }
  const std::size_t laned = b - from;
  for (; b < to; b += length) {
    weighted_block<Ascending>(x, b, std::min(b + length, to), length, inverse_total,
                              weighted_suffix, plain_suffix, out + (b - from));
  }
  return laned;
}

// Rows of the Hull mean computed per pass over its three weighted means: at
// least kHullChunk and some widest windows, so that what a pass does once per
// chunk (the lanes' start, a block cut short) stays a small part of its cost,
// whatever the length; sixteen windows where the lanes run, whose start
// reads a whole window.
constexpr std::size_t kHullChunk = 4096;
std::size_t hull_chunk(std::size_t rows, std::size_t widest) {
  const std::size_t windows = weighted_lane_window(widest) ? 16 : 4;
  return std::min(std::max(kHullChunk, windows * widest), std::max<std::size_t>(rows, 1));
}

template <bool Ascending>
std::size_t weighted_sums(std::span<const double> x, std::size_t length, std::span<double> scratch,
                          std::span<double> out) {
  const std::size_t n = x.size();
  const double len = static_cast<double>(length);
  // the first block one at a time (its first windows are incomplete), then
  // the rest as a range
  const std::size_t first = std::min(length, n);
  weighted_block<Ascending>(x.data(), 0, first, length, 1.0 / (0.5 * len * (len + 1.0)),
                            scratch.data(), scratch.data() + length, out.data());
  const std::size_t laned =
      weighted_range<Ascending>(x.data(), first, n, length, scratch, out.data() + first);
  // the first length - 1 windows are incomplete
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(length - 1, n)), nan);
  return laned;
}

}  // namespace

std::size_t rolling_mean_scratch(std::size_t length, std::size_t rows) {
  // the suffix sums, the lanes' blocks, then a byte per chunk
  const std::size_t chunk = chunk_rows(length, rows);
  const std::size_t flags = (rows + chunk - 1) / chunk;
  return 2 * (length + 1) +
         (lane_window(length) ? lanes::lane_doubles(MeanLaneScratch::lanes(length)) : 0) +
         (flags + sizeof(double) - 1) / sizeof(double);
}

std::size_t rolling_mean(std::span<const double> x, std::size_t length, std::size_t min_periods,
                         std::span<double> scratch, std::span<double> out) {
  if (x.empty()) return 0;
  if (length == 1) {
    // a window of one observation is that observation (min_periods <= 1)
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = observed(x[i]) ? x[i] : nan;
    return 0;
  }
  const auto min_obs = static_cast<std::int64_t>(min_periods);
  return length <= kPlainWindow ? blocked_rolling_mean<false>(x, length, min_obs, scratch, out)
                                : blocked_rolling_mean<true>(x, length, min_obs, scratch, out);
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

std::size_t ewm_mean(std::span<const double> x, double alpha, bool adjust, std::span<double> out,
                     std::size_t* fast_rows) {
  if (fast_rows != nullptr) *fast_rows = 0;
  if (x.empty()) return 0;
  Ewm e(alpha, adjust);
  e.start(x[0]);
  out[0] = e.weighted;
  return run_ewm(x, 1, e, out, fast_rows);
}

std::size_t seeded_ewm_mean(std::span<const double> x, std::size_t length, double seed,
                            double alpha, bool adjust, std::span<double> out) {
  const std::size_t n = x.size();
  if (length == 0 || length > n) return 0;
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length - 1), nan);
  Ewm e(alpha, adjust);
  e.start(seed);
  out[length - 1] = e.weighted;
  return run_ewm(x, length, e, out);
}

std::size_t stacked_ewm_rows(std::size_t rows, std::size_t length, double alpha) {
  const double decay = 1.0 - alpha;
  const std::size_t warm = decay > 0.0 && decay < 1.0 ? warm_up_rows(decay) : 0;
  return std::min(rows, std::max({kStackedRows, length, 2 * (kChains * warm + 64)}));
}

std::size_t stacked_ewm_blend(std::span<const double> x, std::size_t length, double alpha,
                              bool adjust, bool seeded, unsigned depth, std::span<double> scratch,
                              std::span<double> out, std::size_t* confirmed,
                              std::size_t* fast_rows) {
  const std::size_t n = x.size();
  const std::size_t block = stacked_ewm_rows(n, length, alpha);
  std::size_t empty_seeds = 0, chains_confirmed = 0, chains_fast_rows = 0;
  Ewm state[kMaxDepth];
  for (std::size_t a = 0; a < n; a += block) {
    const std::size_t rows = std::min(block, n - a);
    // pass k's input is pass k - 1's result; the last pass writes `out`
    StackedPasses passes{x.subspan(a, rows), depth, {}};
    for (unsigned k = 0; k < depth; ++k) {
      passes.pass[k] = k + 1 == depth ? out.subspan(a, rows) : scratch.subspan(k * block, rows);
    }
    // every pass from row `next` (the first block's after its seed or first
    // row), pass k to row lead - k - 1 first, for the chains' start; the last
    // pass's rows there start at a multiple of four, as the block's, so that
    // its vectors are written whole to the result's cache lines
    const std::size_t next = a > 0 ? 0 : seeded ? length : 1;
    const std::size_t lead = (next + 4) / 4 * 4 + depth - 1;
    const bool chains = lead <= rows;
    for (unsigned k = 0; k < depth; ++k) {
      const std::span<const double> input = passes.input(k);
      const std::span<double> pass = passes.pass[k];
      if (a == 0 && seeded) {
        // the first block holds the seed rows: block >= length
        std::size_t count = 0;
        const double seed = nan_mean(input.first(length), count);
        empty_seeds += count == 0;
        std::fill(pass.begin(), pass.begin() + static_cast<std::ptrdiff_t>(length - 1), nan);
        state[k] = Ewm(alpha, adjust);
        state[k].start(seed);
        pass[length - 1] = state[k].weighted;
      } else if (a == 0) {
        state[k] = Ewm(alpha, adjust);
        state[k].start(input[0]);
        pass[0] = state[k].weighted;
      }
      const std::size_t end = chains ? lead - k : rows;
      for (std::size_t i = next; i < end; ++i) pass[i] = state[k].step(input[i]);
    }
    if (chains) chains_confirmed += passes.run(lead, state, chains_fast_rows);
    // the blends read each row before writing it, so `out` may be an input
    const std::span<double> last = out.subspan(a, rows);
    if (depth == 2) {
      double_blend(scratch.first(rows), last, last);
    } else {
      triple_blend(scratch.first(rows), scratch.subspan(block, rows), last, last);
    }
  }
  if (confirmed != nullptr) *confirmed = chains_confirmed;
  if (fast_rows != nullptr) *fast_rows = chains_fast_rows;
  return empty_seeds;
}

std::size_t weighted_mean_scratch(std::size_t length) {
  if (!weighted_lane_window(length)) return 2 * length;
  return 2 * length + lanes::lane_doubles(WeightedLaneScratch::lanes(length));
}

std::size_t weighted_mean(std::span<const double> x, std::size_t length, bool ascending,
                          std::span<double> scratch, std::span<double> out) {
  if (x.empty() || length == 0) return 0;
  if (length > x.size()) {
    std::fill(out.begin(), out.end(), nan);  // no window is complete
    return 0;
  }
  return ascending ? weighted_sums<true>(x, length, scratch, out)
                   : weighted_sums<false>(x, length, scratch, out);
}

std::size_t hull_mean_scratch(std::size_t rows, std::size_t length, std::size_t half,
                              std::size_t root) {
  const std::size_t chunk = hull_chunk(rows, std::max({length, half, root}));
  return 3 * chunk + root +
         std::max({weighted_mean_scratch(length), weighted_mean_scratch(half),
                   weighted_mean_scratch(root)});
}

void hull_mean(std::span<const double> x, std::size_t length, std::size_t half, std::size_t root,
               std::span<double> scratch, std::span<double> out) {
  const std::size_t n = x.size();
  const std::size_t chunk = hull_chunk(n, std::max({length, half, root}));
  double* fast = scratch.data();
  double* slow = fast + chunk;
  double* diff = slow + chunk;  // `root` carried differences, then the chunk's
  const std::span<double> weights_scratch(
      diff + root + chunk, std::max({weighted_mean_scratch(length), weighted_mean_scratch(half),
                                     weighted_mean_scratch(root)}));
  // the first chunk's windows start incomplete: whole weighted means
  const std::size_t first = std::min(chunk, n);
  const std::span<const double> head = x.first(first);
  weighted_mean(head, half, true, weights_scratch, std::span<double>(fast, first));
  weighted_mean(head, length, true, weights_scratch, std::span<double>(slow, first));
  for (std::size_t i = 0; i < first; ++i) diff[i] = 2.0 * fast[i] - slow[i];
  weighted_mean(std::span<const double>(diff, first), root, true, weights_scratch,
                out.first(first));
  // every later window is full and reads the rows before its chunk: in x for
  // the two passes over it, and in the carried differences for the last
  for (std::size_t a = first; a < n; a += chunk) {
    const std::size_t rows = std::min(chunk, n - a);
    // the last `root` differences, which the root pass's first windows reach
    std::copy(diff + (a == first ? first - root : chunk),
              diff + (a == first ? first : chunk + root), diff);
    weighted_range<true>(x.data(), a, a + rows, half, weights_scratch, fast);
    weighted_range<true>(x.data(), a, a + rows, length, weights_scratch, slow);
    for (std::size_t i = 0; i < rows; ++i) diff[root + i] = 2.0 * fast[i] - slow[i];
    weighted_range<true>(diff, root, root + rows, root, weights_scratch, out.data() + a);
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
