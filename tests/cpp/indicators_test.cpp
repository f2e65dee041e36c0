#include "core/indicators.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace core = orvane::core;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Expects `got` to be `want` row by row, NaN where `want` is NaN.
void expect_rows(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << "row " << i << ": " << got[i];
    } else {
      EXPECT_NEAR(got[i], want[i], 1e-12 * std::max(1.0, std::fabs(want[i]))) << "row " << i;
    }
  }
}

struct Bars {
  std::vector<double> high, low, close;
};

Bars random_walk(std::size_t rows) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> step(0.0, 1.0);
  std::uniform_real_distribution<double> reach(0.0, 2.0);
  Bars b;
  double p = 100.0;
  for (std::size_t i = 0; i < rows; ++i) {
    p += step(rng);
    b.close.push_back(p);
    b.high.push_back(p + reach(rng));
    b.low.push_back(p - reach(rng));
  }
  return b;
}

TEST(StrengthIndex, WilderMeansOfRisesAndFallsByHand) {
  const std::vector<double> close{1, 2, 3, 2, 2};
  std::vector<double> out(close.size());
  core::strength_index(close, 2, out);
  // gains 1, 1 then 0, 0; losses 0, 0 then 1, 0: seeds 1 and 0 on row 2
  expect_rows(out, {nan, nan, 100.0, 50.0, 50.0});
}

TEST(StrengthIndex, AFlatSeriesIsZero) {
  const std::vector<double> close(20, 7.0);
  std::vector<double> out(close.size());
  core::strength_index(close, 3, out);
  for (std::size_t i = 3; i < out.size(); ++i) EXPECT_EQ(out[i], 0.0);
}

TEST(Stochastic, FlatAndMissingWindows) {
  const std::vector<double> high{5, 5, 5, 6, nan, 6, 6, 6};
  const std::vector<double> low{5, 5, 5, 4, 4, 4, 4, 4};
  const std::vector<double> close{5, 5, 5, 5, 5, 5, 6, 4};
  std::vector<double> scratch(core::stochastic_scratch(close.size(), 3, 1, 1));
  std::vector<double> k(close.size()), d(close.size());
  core::stochastic(high, low, close, 3, 1, 1, scratch, k, d);
  // rows 4 to 6 hold the missing high in their window
  expect_rows(k, {nan, nan, 0.0, 50.0, nan, nan, nan, 0.0});
  expect_rows(d, k);
}

// Windows across the extremes' chunks of rows, short and longer than a
// chunk, with missing values on either side of a chunk's edge: the raw %K of
// the window's extremes found by looking at every row.
TEST(Stochastic, WindowsAcrossChunksAreEveryRowsExtremes) {
  Bars b = random_walk(5000);
  b.high[2047] = nan;
  b.low[2049] = -inf;
  b.high[4100] = inf;
  for (const std::size_t k : {1, 2, 3, 14, 100, 3000}) {
    std::vector<double> scratch(core::stochastic_scratch(5000, k, 1, 1));
    std::vector<double> pk(5000), pd(5000);
    core::stochastic(b.high, b.low, b.close, k, 1, 1, scratch, pk, pd);
    std::vector<double> want(5000, nan);
    for (std::size_t i = k - 1; i < 5000; ++i) {
      double hh = -inf, ll = inf;
      bool missing = false;
      for (std::size_t j = i + 1 - k; j <= i; ++j) {
        missing = missing || !std::isfinite(b.high[j]) || !std::isfinite(b.low[j]);
        hh = std::max(hh, b.high[j]);
        ll = std::min(ll, b.low[j]);
      }
      if (!missing) want[i] = 100.0 * (b.close[i] - ll) / (hh - ll);
    }
    expect_rows(pk, want);
  }
}

TEST(Bands, DeviationOfThePopulationAndTheSample) {
  const std::vector<double> close{1, 2, 3, 3, 3, 3};
  std::vector<double> scratch(core::bands_scratch(close.size(), 3));
  std::vector<double> up(6), mid(6), low(6);
  core::bands(close, 3, 1.0, 0, scratch, up, mid, low);
  expect_rows(mid, {nan, nan, 2.0, 8.0 / 3, 3.0, 3.0});
  expect_rows(up, {nan, nan, 2.0 + std::sqrt(2.0 / 3), 8.0 / 3 + std::sqrt(2.0 / 9), 3.0, 3.0});
  core::bands(close, 3, 2.0, 1, scratch, up, mid, low);
  expect_rows(low, {nan, nan, 0.0, 8.0 / 3 - 2 * std::sqrt(1.0 / 3), 3.0, 3.0});
}

TEST(Bands, FlatWindowsAfterAWalkHaveEqualBands) {
  // the sums are taken around the block before's mean, far from the flat
  // level: their rounding must not leave a spread
  Bars b = random_walk(400);
  for (std::size_t i = 150; i < 260; ++i) b.close[i] = 123.456789;
  for (const std::size_t n : {3, 20, 21}) {
    std::vector<double> scratch(core::bands_scratch(400, n)), up(400), mid(400), low(400);
    core::bands(b.close, n, 2.0, 0, scratch, up, mid, low);
    for (std::size_t i = 150 + n - 1; i < 260; ++i) {
      EXPECT_EQ(up[i], 123.456789) << n << " " << i;
      EXPECT_EQ(low[i], 123.456789) << n << " " << i;
    }
  }
}

TEST(Bands, LongSeriesKeepTheirPrecision) {
  // prices far from 0 with small moves: sums of squares taken around 0 would
  // lose most digits of the deviation
  std::mt19937_64 rng(7);
  std::normal_distribution<double> step(0.0, 0.01);
  std::vector<double> close(20000);
  double p = 1e6;
  for (double& v : close) v = p += step(rng);
  close[5000] = inf;
  const std::size_t n = 20;
  std::vector<double> scratch(core::bands_scratch(close.size(), n));
  std::vector<double> up(close.size()), mid(close.size()), low(close.size());
  core::bands(close, n, 1.0, 0, scratch, up, mid, low);
  for (std::size_t i = n - 1; i < close.size(); i += 7) {
    if (i >= 5000 && i < 5000 + n) {
      EXPECT_TRUE(std::isnan(up[i]));
      continue;
    }
    double mean = 0.0, m2 = 0.0;
    for (std::size_t j = i + 1 - n; j <= i; ++j) mean += close[j] / n;
    for (std::size_t j = i + 1 - n; j <= i; ++j) m2 += (close[j] - mean) * (close[j] - mean);
    // the band is a price: a rounding of it (1e-10 here) is all it may be off
    // by, where a sum of squares around 0 would lose the deviation entirely
    EXPECT_NEAR(up[i] - mid[i], std::sqrt(m2 / n), 1e-6 * std::sqrt(m2 / n)) << i;
  }
}

TEST(TrueRange, LeavesOutWhatAMissingValueMakesMissing) {
  const std::vector<double> high{10, 12, 11, nan}, low{9, 11, 10, 9}, close{9.5, nan, 10.5, 10};
  std::vector<double> out(4);
  core::true_range(high, low, close, out);
  expect_rows(out, {nan, 2.5, 1.0, 1.5});
}

TEST(BalanceVolume, MissingStepsAddNothing) {
  const std::vector<double> close{10, 11, 10, nan, 12, 12, 13}, vol{5, 3, 2, 4, 6, 9, nan};
  std::vector<double> out(close.size());
  core::balance_volume(close, vol, out);
  expect_rows(out, {5, 8, 6, nan, nan, 6, nan});
}

TEST(Directional, FlatSeriesGiveZeroNeverInfinity) {
  const std::vector<double> flat(30, 3.0);
  std::vector<double> adx(30), plus(30), minus(30);
  core::directional(flat, flat, flat, 5, adx, plus, minus);
  for (std::size_t i = 0; i < 30; ++i) {
    EXPECT_EQ(std::isnan(plus[i]), i < 5);
    EXPECT_EQ(std::isnan(adx[i]), i < 9);
    if (i >= 9) {
      EXPECT_EQ(adx[i] + plus[i] + minus[i], 0.0);
    }
  }
}

TEST(Directional, SeriesShorterThanTheWarmUpAreNaN) {
  const std::vector<double> h{2, 3, 4}, l{1, 2, 3}, c{1.5, 2.5, 3.5};
  std::vector<double> adx(3), plus(3), minus(3);
  core::directional(h, l, c, 3, adx, plus, minus);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(adx[i]) && std::isnan(plus[i]));
  std::vector<double> line(3), signal(3), hist(3);
  core::convergence(c, 2, 5, 2, line, signal, hist);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(line[i]) && std::isnan(hist[i]));
}

// Wilder's mean (alpha = 1 / n) of x from row `from`, seeded there with
// `seed`, one row at a time: a missing value keeps the mean and ages its
// weight, as the kernels' careful way does.
std::vector<double> serial_wilder(const std::vector<double>& x, std::size_t from, std::size_t n,
                                  double seed) {
  const double alpha = 1.0 / static_cast<double>(n);
  std::vector<double> out(x.size(), nan);
  double mean = seed, weight = 1.0;
  out[from] = mean;
  for (std::size_t i = from + 1; i < x.size(); ++i) {
    if (std::isfinite(x[i])) {
      const double aged = weight * (1.0 - alpha);
      mean = (aged * mean + alpha * x[i]) / (aged + alpha);
      weight = 1.0;
    } else {
      weight *= 1.0 - alpha;
    }
    out[i] = mean;
  }
  return out;
}

// The closed-form blocks stand on observed rows (all but the warm-up and the
// last rows short of a four), and a gap sends only the blocks around it the
// careful way; either way the means are the serial recurrence's.
TEST(StandingBlocks, ObservedRowsStandAndGapsAreTakenCarefully) {
  const std::size_t rows = 5000, n = 14;
  for (const bool gaps : {false, true}) {
    Bars b = random_walk(rows);
    if (gaps) {
      b.close[2000] = nan;
      b.high[3001] = inf;
      b.close[4100] = -inf;
    }
    std::vector<double> range(rows), atr(rows), rsi(rows);
    core::true_range(b.high, b.low, b.close, range);
    const std::size_t stood = core::average_range(b.high, b.low, b.close, n, atr);
    double seed = 0.0;
    for (std::size_t i = 1; i <= n; ++i) seed += range[i] / n;
    expect_rows(atr, serial_wilder(range, n, n, seed));
    const std::size_t rsi_stood = core::strength_index(b.close, n, rsi);
    std::vector<double> line(rows), signal(rows), hist(rows);
    const std::size_t macd_stood = core::convergence(b.close, 12, 26, 9, line, signal, hist);
    std::vector<double> adx(rows), plus(rows), minus(rows);
    const std::size_t adx_stood = core::directional(b.high, b.low, b.close, n, adx, plus, minus);
    // 64-row blocks after the warm-up; a gap costs the block it falls in
    const std::size_t lost = gaps ? 3 * 64 : 0;
    for (std::size_t s : {stood, rsi_stood, macd_stood, adx_stood}) {
      EXPECT_GE(s + 34 + 3 + lost, rows);
      EXPECT_LE(s + (gaps ? 64 : 0), rows);
    }
  }
}

// Whole volumes stand in blocks and sum exactly as one row at a time does;
// fractional ones, and blocks with a missing step, are summed a row at a
// time.
TEST(StandingBlocks, VolumeTotalsAreTheSerialSums) {
  const std::size_t rows = 3000;
  Bars b = random_walk(rows);
  std::vector<double> whole(rows), fraction(rows);
  std::mt19937_64 rng(3);
  for (std::size_t i = 0; i < rows; ++i) {
    whole[i] = static_cast<double>(rng() % 100000);
    fraction[i] = whole[i] / 7.0;
  }
  b.close[1500] = nan;
  for (const bool fractional : {false, true}) {
    const std::vector<double>& volume = fractional ? fraction : whole;
    std::vector<double> out(rows), serial(rows);
    const std::size_t stood = core::balance_volume(b.close, volume, out);
    double total = volume[0];
    serial[0] = total;
    for (std::size_t i = 1; i < rows; ++i) {
      const double change = b.close[i] - b.close[i - 1];
      if (std::isnan(change)) {
        serial[i] = nan;
        continue;
      }
      total += change > 0 ? volume[i] : change < 0 ? -volume[i] : 0.0;
      serial[i] = total;
    }
    for (std::size_t i = 0; i < rows; ++i) {
      if (std::isnan(serial[i])) {
        EXPECT_TRUE(std::isnan(out[i])) << i;
      } else {
        EXPECT_EQ(out[i], serial[i]) << i;
      }
    }
    // two missing steps (1500 and 1501) cost the one or two blocks they fall in
    EXPECT_EQ(stood, fractional ? 0 : rows / 64 * 64 - 64) << fractional;
  }
}

}  // namespace
