#include "core/activity.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "core/event_moves.hpp"
#include "core/release_overlap.hpp"

using orvane::core::mann_whitney_p;

namespace {

// n distinct values 0, 1, ..., n - 1 shifted by `offset`
std::vector<double> spaced(std::int64_t n, double offset) {
  std::vector<double> v(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = double(i) + offset;
  return v;
}

}  // namespace

TEST(MannWhitney, OneValueAgainstManyIsUniform) {
  // with one value on one side U is uniform on 0..n: P(U <= k) = (k + 1) / (n + 1)
  const std::int64_t n = 3000;
  const std::vector<double> y = spaced(n, 0.0);
  for (const std::int64_t below : {0, 7, 1499, 2990}) {
    const std::vector<double> x{double(below) - 0.5};  // `below` values of y lie under it
    const double k = double(std::min(below, n - below));
    EXPECT_NEAR(mann_whitney_p(x, y), std::min(1.0, 2.0 * (k + 1) / double(n + 1)), 1e-15);
  }
}

TEST(MannWhitney, TwoValuesCountPairs) {
  // with two values, U = u in floor(u / 2) + 1 ways for u <= n
  const std::int64_t n = 500;
  const std::vector<double> y = spaced(n, 0.0);
  const std::vector<double> x{9.5, 30.5};  // U counts the y below each: 10 + 31
  double ways = 0;
  for (std::int64_t u = 0; u <= 41; ++u) ways += double(u / 2 + 1);
  EXPECT_NEAR(mann_whitney_p(x, y), 2.0 * ways / (double(n + 2) * double(n + 1) / 2.0), 1e-15);
}

TEST(MannWhitney, SidesSwapAndLargeCountsAgree) {
  // eight against many: counts far beyond 64 bits, and the test is symmetric
  const std::vector<double> y = spaced(20000, 0.0), x = spaced(8, 9000.25);
  const double p = mann_whitney_p(x, y);
  EXPECT_TRUE(p > 0.0 && p <= 1.0);
  EXPECT_DOUBLE_EQ(p, mann_whitney_p(y, x));
  const std::vector<double> tied{1.0, 1.0}, empty;
  EXPECT_TRUE(std::isnan(mann_whitney_p(tied, tied)));
  EXPECT_TRUE(std::isnan(mann_whitney_p(empty, tied)));
}

TEST(ControlDays, WeekendsAndBusyDaysAreSkipped) {
  // day 19783 is Friday 2024-03-01; the Thursday before holds a release
  EXPECT_EQ(orvane::core::weekday_of(19783), 4);
  const std::vector<std::int64_t> release{19783}, busy{19782, 19783};
  const auto found = orvane::core::control_days(release, busy, 4);
  EXPECT_EQ(found.days, (std::vector<std::int64_t>{19781, 19780, 19779,
                                                   19776}));  // Wed, Tue, Mon, the Friday before
}

TEST(MinuteReturns, FarApartMinutesGiveWhatNearOnesGive) {
  const std::vector<std::int64_t> window{0, 0, 0, 1, 1, 1, 0};
  const std::vector<double> price{100, 101, 103, 50, 51, 52, 999};
  const std::vector<double> near{-1, 0, 1, 5, 7, 6, 1}, far{-1, 0, 1, 5e15, 5e15 + 2, 5e15 + 1, 1};
  std::vector<double> a(window.size()), b(window.size());
  orvane::core::minute_returns(window, near, price, 2, a);
  orvane::core::minute_returns(window, far, price, 2, b);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i]))) << i;
  }
  EXPECT_DOUBLE_EQ(a[2], (103.0 / 101.0 - 1) * 1e4);
  EXPECT_DOUBLE_EQ(a[6], (999.0 / 101.0 - 1) * 1e4);  // a repeated minute reads the first before it
  EXPECT_DOUBLE_EQ(a[4], (51.0 / 52.0 - 1) * 1e4);    // rows in any order
  EXPECT_TRUE(std::isnan(a[0]) && std::isnan(a[3]));  // each window's first minute
}
