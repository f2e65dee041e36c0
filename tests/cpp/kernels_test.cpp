#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "core/moving_average.hpp"
#include "core/simd_build.hpp"

namespace core = orvane::core;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

using Vec = std::vector<double>;

// A random walk of prices from 100: rows steps of rng's, 1% apart.
Vec price_walk(std::size_t rows, std::mt19937_64& rng) {
  std::normal_distribution<double> step(0.0, 0.01);
  Vec x(rows);
  double level = 0.0;
  for (auto& v : x) v = 100.0 * std::exp(level += step(rng));
  return x;
}

// Element-wise equality where NaN equals NaN.
void expect_same(const Vec& got, const Vec& want, double tol = 0.0) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << "row " << i << " is " << got[i];
    } else {
      EXPECT_NEAR(got[i], want[i], tol) << "row " << i;
    }
  }
}

Vec rolling(const Vec& x, std::size_t length, std::size_t min_periods) {
  Vec out(x.size()), scratch(core::rolling_mean_scratch(length, x.size()));
  core::rolling_mean(x, length, min_periods, scratch, out);
  return out;
}

Vec weighted(const Vec& x, std::size_t length, bool ascending) {
  Vec out(x.size()), scratch(core::weighted_mean_scratch(length));
  core::weighted_mean(x, length, ascending, scratch, out);
  return out;
}

}  // namespace

TEST(RollingMean, TrailingWindowAndMinPeriods) {
  expect_same(rolling({1, 2, 3, 4, 5}, 3, 3), {NaN, NaN, 2, 3, 4});
  expect_same(rolling({1, 2, 3, 4, 5}, 3, 1), {1, 1.5, 2, 3, 4});
  // missing values (infinities too) shrink the window's count
  expect_same(rolling({1, NaN, 3, Inf, 5, 7}, 3, 2), {NaN, NaN, 2, NaN, 4, 6});
  expect_same(rolling({2, 4}, 1, 1), {2, 4});
  expect_same(rolling({1, 2}, 5, 1), {1, 1.5});
}

TEST(RollingMean, BlockedSumsFollowPandasRules) {
  // missing rows, partial windows and equal runs inside the blocks
  const Vec x = {10, 11, 12, NaN, 14, 15, 16, 16, 16, 16, 12};
  expect_same(rolling(x, 3, 3), {NaN, NaN, 11, NaN, NaN, NaN, 15, 47.0 / 3, 16, 16, 44.0 / 3},
              1e-14);
  expect_same(rolling(x, 3, 1), {10, 10.5, 11, 11.5, 13, 14.5, 15, 47.0 / 3, 16, 16, 44.0 / 3},
              1e-14);
  EXPECT_EQ(rolling(x, 3, 3)[9], 16.0);  // the equal run is exact
  // blocks of the window's length: windows straddling two blocks
  Vec ramp(40);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = 20 + 0.5 * static_cast<double>(i);
  const Vec got = rolling(ramp, 7, 7);
  for (std::size_t i = 6; i < ramp.size(); ++i) EXPECT_NEAR(got[i], ramp[i] - 1.5, 1e-13) << i;
}

TEST(RollingMean, WindowsForgetValuesThatLeft) {
  // a running sum loses the ones next to 1e16 and leaves 0 behind
  for (std::size_t length : {2, 3, 5}) {
    Vec x(40, 1.0);
    x[0] = 1e16;
    x[17] = -3e17;
    const Vec got = rolling(x, length, length);
    for (std::size_t i = 17 + length; i < x.size(); ++i)
      EXPECT_EQ(got[i], 1.0) << length << " " << i;
    for (std::size_t i = length; i < 17; ++i) EXPECT_EQ(got[i], 1.0) << length << " " << i;
  }
}

TEST(RollingMean, SumsNearTheFloatLimitAreScaled) {
  const double big = 1.5e308;
  for (std::size_t length : {2, 4, 9}) {
    Vec x(30, big);
    x[3] = -big;
    x[11] = NaN;
    x[12] = 1.0;
    const Vec got = rolling(x, length, 1);
    for (std::size_t i = 0; i < x.size(); ++i) {
      EXPECT_TRUE(std::isfinite(got[i])) << length << " " << i;
    }
    EXPECT_EQ(got[29], big);  // a run of one value is that value
    const double rows = static_cast<double>(std::min<std::size_t>(length, 5));
    EXPECT_NEAR(got[4] / big, (rows - 2.0) / rows, 1e-15) << length;
  }
}

TEST(RollingMean, EqualRunsAndSignsAreExact) {
  const double v = 0.1 + 0.2;  // a value whose sums are inexact
  const Vec got = rolling({5, v, v, v, v, v}, 3, 3);
  EXPECT_EQ(got[4], v);
  EXPECT_EQ(got[5], v);
  // the run survives a missing value between equal observations
  EXPECT_EQ(rolling({v, NaN, v, v}, 3, 1)[3], v);
  // sums that come out slightly negative for non-negative data give 0
  const Vec mixed = rolling({1e17, 3, 0, 0}, 2, 1);
  EXPECT_GE(mixed[3], 0.0);
}

TEST(NanMean, SkipsNanKeepsInfinity) {
  std::size_t count = 0;
  EXPECT_EQ(core::nan_mean(Vec{1, NaN, 3}, count), 2.0);
  EXPECT_EQ(count, 2u);
  EXPECT_TRUE(std::isnan(core::nan_mean(Vec{NaN, NaN}, count)));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(core::nan_mean(Vec{1, Inf}, count), Inf);
  // pairwise: eight running partial sums, then combined in a tree
  Vec big(9, 1.0);
  big[0] = 1e16;
  EXPECT_EQ(core::nan_mean(big, count) * 9, ((1e16 + 1 + 2) + 4) + 1);
}

TEST(Ewm, UnadjustedRecurrenceAndGaps) {
  const double a = core::alpha_from_span(3);  // 0.5
  EXPECT_EQ(a, 0.5);
  Vec out(4);
  core::ewm_mean(Vec{NaN, 2, 4, 8}, a, false, out);
  expect_same(out, {NaN, 2, 3, 5.5});
  // a gap ages the old mean: (0.25 * 2 + 0.5 * 8) / 0.75
  out = Vec(3);
  core::ewm_mean(Vec{2, Inf, 8}, a, false, out);
  expect_same(out, {2, 2, 6});
}

// pandas' unadjusted recurrence, one row after another.
Vec serial_ewm(const Vec& x, double alpha) {
  Vec out(x.size());
  double mean = NaN, old_weight = 1.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const bool obs = std::isfinite(x[i]);
    if (i == 0) {
      mean = obs ? x[i] : NaN;
    } else if (mean == mean) {
      old_weight *= 1.0 - alpha;
      if (obs) {
        if (mean != x[i]) {
          const double total = old_weight + alpha;
          mean = old_weight * mean + alpha * x[i];
          if (total != 1.0) mean /= total;
        }
        old_weight = 1.0;
      }
    } else if (obs) {
      mean = x[i];
    }
    out[i] = mean;
  }
  return out;
}

TEST(Ewm, ChainsGiveTheSerialRecurrenceBitForBit) {
  std::mt19937_64 rng(5);
  for (double span : {2.0, 10.0, 14.0, 200.0}) {
    const double a = core::alpha_from_span(span);
    Vec x = price_walk(200'000, rng);
    for (std::size_t i = 777; i < x.size(); i += 9'973) x[i] = (i % 3 == 0) ? Inf : NaN;
    Vec out(x.size());
    std::size_t fast_rows = 0;
    // every chain after the first is confirmed where it meets the one before
    EXPECT_EQ(core::ewm_mean(x, a, false, out, &fast_rows), 7u) << span;
    // and only the steps next to a gap leave the vectors, on either build
    EXPECT_GE(fast_rows, x.size() - x.size() / 100) << span;
    const Vec want = serial_ewm(x, a);
    for (std::size_t i = 0; i < x.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(want[i]))
          << "span " << span << " row " << i;
    }
  }
}

// A series only a few warm-ups long runs as chains whose warm-ups reach past
// the stretch of the chain before: the last chain to write a row must be one
// confirmed by then.
TEST(Ewm, ChainsShorterThanTheirWarmUpGiveTheSerialRecurrence) {
  std::mt19937_64 rng(7);
  // long enough for the chains to pay on either build
  const std::pair<double, std::size_t> cases[] = {
      {2.0, 800}, {2.0, 2'500}, {10.0, 1'900}, {10.0, 2'500}, {14.0, 2'500}};
  for (const auto& [span, rows] : cases) {
    const double a = core::alpha_from_span(span);
    Vec x = price_walk(rows, rng);
    x[rows / 3] = NaN;
    x[rows / 2] = Inf;
    Vec out(rows);
    EXPECT_GT(core::ewm_mean(x, a, false, out), 0u) << rows << " rows, span " << span;
    const Vec want = serial_ewm(x, a);
    for (std::size_t i = 0; i < rows; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(want[i]))
          << rows << " rows, span " << span << ", row " << i;
    }
  }
}

TEST(Ewm, ShortOrAdjustedSeriesRunAsOneChain) {
  Vec x(400, 1.5), out(x.size());
  EXPECT_EQ(core::ewm_mean(x, core::alpha_from_span(10), false, out), 0u);
  Vec long_x(100'000, 2.5), long_out(long_x.size());
  EXPECT_EQ(core::ewm_mean(long_x, core::alpha_from_span(10), true, long_out), 0u);
}

TEST(Ewm, AdjustedWeights) {
  Vec out(3);
  // weights 1, 0.5, 0.25 for ages 0, 1, 2
  core::ewm_mean(Vec{1, 2, 4}, 0.5, true, out);
  expect_same(out, {1, (2 + 0.5) / 1.5, (4 + 1 + 0.25) / 1.75}, 1e-15);
  // equal values do not move the mean, but their weights still count
  core::ewm_mean(Vec{5, 5, 7}, 0.5, true, out);
  expect_same(out, {5, 5, (7 + 0.5 * 1.5 * 5) / (1 + 0.75)}, 1e-15);
}

TEST(Ewm, SeededStartsAtTheSeedRow) {
  Vec out(5);
  core::seeded_ewm_mean(Vec{1, 2, 3, 10, 20}, 3, 2.0, 0.5, false, out);
  expect_same(out, {NaN, NaN, 2, 6, 13});
  core::seeded_ewm_mean(Vec{1, 2, 3, 10, 20}, 3, NaN, 0.5, false, out);
  expect_same(out, {NaN, NaN, NaN, 10, 15});
  EXPECT_NEAR(core::alpha_from_alpha(1.0 / 14), 1.0 / 14, 1e-17);
}

TEST(WeightedMean, AscendingAndDescending) {
  expect_same(weighted({1, 2, 3, 4}, 3, true), {NaN, NaN, 14.0 / 6, 20.0 / 6}, 1e-15);
  expect_same(weighted({1, 2, 3, 4}, 3, false), {NaN, NaN, 10.0 / 6, 16.0 / 6}, 1e-15);
  expect_same(weighted({7, 8}, 1, true), {7, 8});
  expect_same(weighted({1, 2}, 3, true), {NaN, NaN});
}

TEST(WeightedMean, MissingValuesReachOnlyTheirWindows) {
  const Vec x = {1, 2, NaN, 4, 5, 6, 7, Inf, 9, 10, 11};
  const Vec got = weighted(x, 2, true);
  expect_same(got,
              {NaN, 5.0 / 3, NaN, NaN, 14.0 / 3, 17.0 / 3, 20.0 / 3, NaN, NaN, 29.0 / 3, 32.0 / 3},
              1e-14);
  // a value that has left every window leaves no rounding behind
  const Vec spike = weighted({1e300, 1, 2, 3, 4}, 2, true);
  EXPECT_EQ(spike[3], 8.0 / 3);
}

// Long series with every kind of chunk the lanes meet: clean walks, missing
// runs, an infinity, runs of one value, and values whose window sums overflow.
Vec lane_series(std::size_t rows) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> step(0.0, 1.0);
  Vec x(rows);
  double level = 0.5;
  for (double& v : x) v = level += step(rng);
  for (std::size_t i = 9000; i < 9010; ++i) x[i] = NaN;
  x[15000] = Inf;
  for (std::size_t i = 21000; i < 23500; ++i) x[i] = 0.1 + 0.2;
  for (std::size_t i = 30000; i < 33000; ++i)
    x[i] = 1e307 * (1.5 + std::sin(static_cast<double>(i)));
  return x;
}

// (weight, value) sums of each window's finite rows in long double: NaN
// where `complete` and a row is missing, or with fewer than `need` rows.
struct Exact {
  Vec mean, scale;  // the mean and the window's mean |value|
  std::vector<bool> flat;
};
Exact exact_windows(const Vec& x, std::size_t length, std::size_t need, bool complete,
                    double (*weight)(std::size_t age, std::size_t length)) {
  Exact e{Vec(x.size(), NaN), Vec(x.size(), NaN), std::vector<bool>(x.size())};
  for (std::size_t i = length - 1; i < x.size(); ++i) {
    long double sum = 0, size = 0, weights = 0;
    std::size_t seen = 0, missing = 0;
    bool flat = true;
    for (std::size_t age = 0; age < length; ++age) {
      const double v = x[i - age];
      if (!std::isfinite(v)) {
        ++missing;
        continue;
      }
      flat &= v == x[i];
      const long double w = weight(age, length);
      sum += w * v;
      size += w * std::fabs(v);
      weights += w;
      ++seen;
    }
    if (seen < need || (complete && missing > 0)) continue;
    e.mean[i] = static_cast<double>(sum / weights);
    e.scale[i] = static_cast<double>(size / weights);
    e.flat[i] = flat;
  }
  return e;
}

double equal_weight(std::size_t, std::size_t) { return 1.0; }
double newest_heaviest(std::size_t age, std::size_t length) {
  return static_cast<double>(length - age);
}

// Every window within (length + 2) roundings of its mean |value|, and a
// window of equal values exactly that value; returns the rows in lanes.
std::size_t check_rolling_lanes(const Vec& x, std::size_t length) {
  Vec got(x.size()), scratch(core::rolling_mean_scratch(length, x.size()));
  const std::size_t in_lanes = core::rolling_mean(x, length, length, scratch, got);
  const Exact want = exact_windows(x, length, length, false, equal_weight);
  const double bound = static_cast<double>(length + 2) * 0x1p-52;
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(std::isnan(got[i]), std::isnan(want.mean[i])) << length << " " << i;
    if (std::isnan(got[i]) || std::isnan(want.mean[i])) continue;
    EXPECT_TRUE(std::isfinite(got[i])) << length << " " << i;
    EXPECT_LE(std::fabs(got[i] - want.mean[i]), bound * want.scale[i]) << length << " " << i;
    if (want.flat[i]) {
      EXPECT_EQ(got[i], x[i]) << length << " " << i;
    }
    if (::testing::Test::HasFailure()) break;
  }
  return in_lanes;
}

TEST(RollingMean, LanesSumEachWindowFromItsOwnRows) {
  const Vec x = lane_series(40000);
  // windows of any length longer than six rows, a chunk of 3,000 rows a block
  for (std::size_t length : {7, 10, 100, 600, 3000}) {
    // only the chunks with a missing value or a huge sum, and those after
    // them, are summed one at a time
    EXPECT_GT(check_rolling_lanes(x, length), x.size() / 3) << length;
  }
}

TEST(RollingMean, LanesCarryRunsOfEqualValuesAcrossTheirStarts) {
  // runs of equal values up to three windows long, so that runs cross the
  // starts of lanes and of sections (several sections' worth of rows)
  std::mt19937_64 rng(11);
  Vec x(600'000);
  for (std::size_t i = 0; i < x.size();) {
    const double v = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
    std::size_t run = 1 + rng() % 30;
    for (; run > 0 && i < x.size(); --run) x[i++] = v;
  }
  for (std::size_t length : {7, 10, 24}) {
    EXPECT_GT(check_rolling_lanes(x, length), x.size() * 9 / 10) << length;
  }
}

// Short series of every kind of row the quad sums meet: a walk whose level
// dwarfs its steps, missing rows, an infinity, runs of one value, values
// whose sums overflow beside tiny ones.
Vec quad_series(std::size_t rows) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> step(0.0, 1e-3);
  Vec x(rows);
  double level = 1e4;
  for (double& v : x) v = level += step(rng);
  x[rows / 5] = NaN;
  x[rows / 5 + 3] = Inf;
  for (std::size_t i = rows / 3; i < rows / 3 + 70; ++i) x[i] = 0.1 + 0.2;
  for (std::size_t i = rows / 2; i < rows / 2 + 20; ++i) {
    x[i] = i % 7 == 0 ? 1e-300 : 1.7e308 * std::sin(static_cast<double>(i));
  }
  return x;
}

TEST(RollingMean, QuadsSumEveryShortWindowFromItsOwnRows) {
  // every short length, on series that end partway through a four of rows
  // and of a chunk, with partial windows counted from the first row
  for (std::size_t rows : {2'003u, 4'001u}) {
    const Vec x = quad_series(rows);
    for (std::size_t length = 2; length <= 33; ++length) {
      EXPECT_GT(check_rolling_lanes(x, length), rows / 2) << length;
      const Vec got = rolling(x, length, 1);
      long double sum = 0;
      for (std::size_t i = 0; i + 1 < length; ++i) {
        sum += x[i];
        const auto want = static_cast<double>(sum / static_cast<long double>(i + 1));
        ASSERT_NEAR(got[i], want, 1e-12 * want) << length << " " << i;
      }
    }
  }
}

TEST(WeightedMean, LanesGiveTheRowByRowArithmetic) {
  const Vec x = lane_series(40000);
  for (std::size_t length : {2, 3, 7, 20, 129, 1500}) {
    for (bool ascending : {true, false}) {
      Vec got(x.size()), scratch(core::weighted_mean_scratch(length));
      EXPECT_GT(core::weighted_mean(x, length, ascending, scratch, got), x.size() / 2);
      // the series again one block at a time: in spans too short for lanes,
      // each starting on a block boundary, whose complete windows are the
      // same windows summed in the same blocks
      const std::size_t span = 4 * std::lcm(length, std::size_t{4});
      Vec alone(span);
      for (std::size_t o = 0; o + length <= x.size(); o += span - length) {
        const std::size_t rows = std::min(span, x.size() - o);
        EXPECT_EQ(core::weighted_mean(std::span(x).subspan(o, rows), length, ascending, scratch,
                                      std::span(alone).first(rows)),
                  0u);
        for (std::size_t i = length - 1; i < rows; ++i) {
          ASSERT_EQ(std::bit_cast<std::uint64_t>(got[o + i]),
                    std::bit_cast<std::uint64_t>(alone[i]))
              << length << " " << ascending << " " << o + i;
        }
      }
      if (!ascending) continue;
      const Exact want = exact_windows(x, length, length, true, newest_heaviest);
      const double bound = static_cast<double>(length + 4) * 0x1p-52;
      for (std::size_t i = 0; i < 30000; ++i) {  // below the sums that overflow
        ASSERT_EQ(std::isnan(got[i]), std::isnan(want.mean[i])) << length << " " << i;
        if (!std::isnan(got[i])) {
          ASSERT_LE(std::fabs(got[i] - want.mean[i]), bound * want.scale[i]) << length << " " << i;
        }
      }
    }
  }
}

TEST(Composites, TypicalPriceAndVwap) {
  const Vec h = {3, 6, 9}, l = {0, 0, 0}, c = {0, 3, 0};
  Vec out(3);
  core::typical_price(h, l, c, out);
  expect_same(out, {1, 3, 3});
  core::cumulative_vwap(h, l, c, Vec{0, 2, 2}, out);
  expect_same(out, {NaN, 3, 3});  // 0 / 0, then (0 + 6) / 2, (6 + 6) / 4
  // a missing price: NaN on its row, its volume still counted below
  core::cumulative_vwap(Vec{3, NaN, 3}, l, Vec{0, 0, 0}, Vec{1, 1, 1}, out);
  expect_same(out, {1, NaN, 2.0 / 3});
}

TEST(Composites, Blends) {
  Vec out(2);
  core::double_blend(Vec{1, 2}, Vec{3, 1}, out);
  expect_same(out, {-1, 3});
  core::triple_blend(Vec{1, 2}, Vec{3, 1}, Vec{1, 1}, out);
  expect_same(out, {-5, 4});
  EXPECT_TRUE(core::integral_sums_exact(Vec{1e15, 2e15}));
  EXPECT_FALSE(core::integral_sums_exact(Vec{9e15, 1e15}));
}

// The stacked means against their passes one after the other: the same
// bits, seeds with nothing to average counted.
// The passes of the stacked means one after the other, blended.
Vec passes_blended(const Vec& x, std::size_t length, double alpha, bool seeded, unsigned depth) {
  std::vector<Vec> passes;
  Vec input = x;
  for (unsigned k = 0; k < depth; ++k) {
    Vec pass(x.size());
    if (seeded) {
      std::size_t count = 0;
      const double seed = core::nan_mean(std::span(input).first(length), count);
      core::seeded_ewm_mean(input, length, seed, alpha, false, pass);
    } else {
      core::ewm_mean(input, alpha, false, pass);
    }
    passes.push_back(pass);
    input = pass;
  }
  Vec want(x.size());
  if (depth == 2) {
    core::double_blend(passes[0], passes[1], want);
  } else {
    core::triple_blend(passes[0], passes[1], passes[2], want);
  }
  return want;
}

// Series too short for the chains, or alphas too small for their warm-ups
// to pay, step all the passes in one loop, the later passes rows behind.
TEST(Ewm, StackedPassesInOneLoopGiveThePassesBitForBit) {
  std::mt19937_64 rng(11);
  for (std::size_t rows : {3u, 11u, 60u, 700u}) {
    Vec x = price_walk(rows, rng);
    x[rows / 2] = NaN;  // a gap each pass carries to the next
    x[rows - 1] = Inf;  // on the last row, where the passes behind finish
    for (const std::size_t length : {3u, 200u}) {
      if (length > rows) continue;
      const double alpha = core::alpha_from_span(static_cast<double>(length));
      for (const bool seeded : {true, false}) {
        for (const unsigned depth : {2u, 3u}) {
          const Vec want = passes_blended(x, length, alpha, seeded, depth);
          Vec got(rows), scratch((depth - 1) * core::stacked_ewm_rows(rows, length, alpha));
          std::size_t fast_rows = 0;
          core::stacked_ewm_blend(x, length, alpha, false, seeded, depth, scratch, got, nullptr,
                                  &fast_rows);
          // the rows next to the seeds and the gaps step one at a time
          if (rows == 700) {
            EXPECT_GE(fast_rows, rows - 300) << length << ", depth " << depth;
          }
          for (std::size_t i = 0; i < rows; ++i) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
                << rows << " rows, length " << length << ", depth " << depth << ", row " << i;
          }
        }
      }
    }
  }
}

TEST(Ewm, StackedChainsOnShortSeriesGiveThePassesBitForBit) {
  std::mt19937_64 rng(9);
  // a few warm-ups long, and long enough for the wide build's chains to pay;
  // the baseline runs the passes in one loop
  const std::pair<double, std::size_t> cases[] = {
      {2.0, 900}, {2.0, 2'500}, {10.0, 2'500}, {10.0, 3'000}, {14.0, 3'500}};
  for (const auto& [span, rows] : cases) {
    Vec x = price_walk(rows, rng);
    x[rows / 3] = NaN;
    x[rows / 2] = Inf;
    const auto length = static_cast<std::size_t>(span);
    const double alpha = core::alpha_from_span(span);
    for (const bool seeded : {true, false}) {
      for (const unsigned depth : {2u, 3u}) {
        const Vec want = passes_blended(x, length, alpha, seeded, depth);
        Vec got(rows), scratch((depth - 1) * core::stacked_ewm_rows(rows, length, alpha));
        std::size_t confirmed = 0;
        core::stacked_ewm_blend(x, length, alpha, false, seeded, depth, scratch, got, &confirmed);
        if (core::lanes::wide_selected()) {
          EXPECT_GT(confirmed, 0u) << rows << " rows, span " << span << ", depth " << depth;
        } else {
          EXPECT_EQ(confirmed, 0u) << rows << " rows, span " << span << ", depth " << depth;
        }
        for (std::size_t i = 0; i < rows; ++i) {
          ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
              << rows << " rows, span " << span << ", depth " << depth << ", row " << i;
        }
      }
    }
  }
}

TEST(Ewm, StackedChainsThatDifferAreRerunFromTheChainBefore) {
  // a spike whose trace outlasts the warm-ups: chains started after it, which
  // never saw it, cannot meet the ones before and run again from their state
  Vec x(2'500);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 100.0 + std::sin(0.1 * static_cast<double>(i));
  x[700] = 1e200;
  const double alpha = core::alpha_from_span(10.0);
  for (const unsigned depth : {2u, 3u}) {
    const Vec want = passes_blended(x, 10, alpha, true, depth);
    Vec got(x.size()), scratch((depth - 1) * core::stacked_ewm_rows(x.size(), 10, alpha));
    std::size_t confirmed = 0;
    core::stacked_ewm_blend(x, 10, alpha, false, true, depth, scratch, got, &confirmed);
    // of the seven chains after the first (none on the baseline, which runs
    // the passes in one loop)
    EXPECT_LT(confirmed, 7u) << depth;
    for (std::size_t i = 0; i < x.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
          << "depth " << depth << ", row " << i;
    }
  }
}

TEST(Ewm, StackedMeansAreTheirPassesBlended) {
  std::mt19937_64 gen(3);
  std::normal_distribution<double> step;
  Vec x(100000);  // several blocks of the stacked passes
  double price = 100.0;
  for (double& v : x) v = price += step(gen);
  std::fill(x.begin(), x.begin() + 4, NaN);  // the first seeds average nothing
  x[2000] = Inf;
  std::fill(x.begin() + 32760, x.begin() + 32800, NaN);  // a gap across a block's end
  const std::size_t length = 4;
  const double alpha = core::alpha_from_span(4.0);
  for (const bool seeded : {true, false}) {
    for (const unsigned depth : {2u, 3u}) {
      const Vec want = passes_blended(x, length, alpha, seeded, depth);
      Vec got(x.size());
      Vec scratch((depth - 1) * core::stacked_ewm_rows(x.size(), length, alpha));
      std::size_t fast_rows = 0;
      EXPECT_EQ(core::stacked_ewm_blend(x, length, alpha, false, seeded, depth, scratch, got,
                                        nullptr, &fast_rows),
                seeded ? depth : 0u);
      EXPECT_GE(fast_rows, x.size() - x.size() / 100) << "depth " << depth;
      for (std::size_t i = 0; i < x.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
            << "row " << i << ", depth " << depth;
      }
    }
  }
}
