#include "core/move_statistics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace core = orvane::core;

namespace {

constexpr double missing = std::numeric_limits<double>::quiet_NaN();

struct Summary {
  explicit Summary(std::size_t n)
      : count(n), up(n), down(n), mean(n), std_dev(n), median(n), q25(n), q75(n), mean_abs(n) {}
  core::MoveSummary out() { return {count, mean, std_dev, median, q25, q75, mean_abs, up, down}; }
  std::vector<std::int64_t> count, up, down;
  std::vector<double> mean, std_dev, median, q25, q75, mean_abs;
};

}  // namespace

TEST(SummarizeGroups, InterleavedGroupsAndRowsLeftOut) {
  // group 0: 4, -2, 1, 1 (and a NaN); group 1: 3 equal moves; group 2: none; -1 left out
  const std::vector<std::int64_t> group{0, 1, 0, -1, 1, 0, 0, 1, 0, 7};
  const std::vector<double> move{4.0, 5.0, -2.0, 100.0, 5.0, 1.0, missing, 5.0, 1.0, 9.0};
  Summary s(3);
  core::summarize_groups(group, move, s.out());
  EXPECT_EQ(s.count, (std::vector<std::int64_t>{4, 3, 0}));
  EXPECT_DOUBLE_EQ(s.mean[0], 1.0);
  EXPECT_DOUBLE_EQ(s.std_dev[0], std::sqrt(18.0 / 3.0));
  EXPECT_DOUBLE_EQ(s.median[0], 1.0);
  EXPECT_DOUBLE_EQ(s.q25[0], -2.0 + 3.0 * 0.75);  // between -2 and 1
  EXPECT_DOUBLE_EQ(s.q75[0], 1.0 + 3.0 * 0.25);   // between 1 and 4
  EXPECT_DOUBLE_EQ(s.mean_abs[0], 2.0);
  EXPECT_EQ(s.up[0], 3);
  EXPECT_EQ(s.down[0], 1);
  EXPECT_EQ(s.std_dev[1], 0.0);  // equal moves: exactly no spread
  EXPECT_TRUE(std::isnan(s.mean[2]) && std::isnan(s.std_dev[2]));
}

// The quartiles by selection against a full sort, for every small group size
// (each size puts the quartiles at other places around the middle) and with
// ties and infinities.
TEST(SummarizeGroups, QuartilesEqualThoseOfTheSortedMoves) {
  const auto sorted_quantile = [](std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const double at = q * static_cast<double>(v.size() - 1);
    const auto lo = static_cast<std::size_t>(at);
    const double frac = at - static_cast<double>(lo);
    return frac == 0.0 ? v[lo] : v[lo] + (v[lo + 1] - v[lo]) * frac;
  };
  std::uint64_t state = 12345;
  for (std::size_t n = 1; n <= 24; ++n) {
    std::vector<double> move(n);
    for (std::size_t i = 0; i < n; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      move[i] = static_cast<double>(static_cast<std::int64_t>(state >> 60) - 8);  // ties
    }
    if (n % 5 == 0) move[n / 3] = std::numeric_limits<double>::infinity();
    const std::vector<std::int64_t> group(n, 0);
    Summary s(1);
    core::summarize_groups(group, move, s.out());
    EXPECT_EQ(s.median[0], sorted_quantile(move, 0.5)) << n;
    EXPECT_EQ(s.q25[0], sorted_quantile(move, 0.25)) << n;
    EXPECT_EQ(s.q75[0], sorted_quantile(move, 0.75)) << n;
  }
}

TEST(MeanTTests, UndefinedBelowTwoMovesOrWithoutSpread) {
  const std::vector<std::int64_t> count{1, 3, 4};
  const std::vector<double> mean{2.0, 5.0, 1.0}, std_dev{missing, 0.0, 2.0};
  std::vector<double> sem(3), t(3), dof(3);
  core::mean_t_tests(count, mean, std_dev, sem, t, dof);
  EXPECT_TRUE(std::isnan(t[0]) && std::isnan(t[1]) && std::isnan(dof[1]));
  EXPECT_DOUBLE_EQ(sem[2], 1.0);
  EXPECT_DOUBLE_EQ(t[2], 1.0);
  EXPECT_DOUBLE_EQ(dof[2], 3.0);
}

TEST(StandardizeSurprises, SpreadOverDistinctReleasesOfEachKind) {
  // kind 0: releases 0, 1, 2 with surprises 1, 3, (none); kind 1: one release
  const std::vector<std::int64_t> release{0, 0, 1, 2, 3, -1};
  const std::vector<std::int64_t> event_of{0, 0, 0, 1};
  const std::vector<double> surprise{1.0, 1.0, 3.0, missing, 4.0, 2.0};
  std::vector<double> z(6);
  core::standardize_surprises(release, event_of, surprise, z);
  const double spread = std::sqrt(2.0);  // of 1 and 3, each release once
  EXPECT_DOUBLE_EQ(z[0], 1.0 / spread);
  EXPECT_DOUBLE_EQ(z[2], 3.0 / spread);
  EXPECT_TRUE(std::isnan(z[3]) && std::isnan(z[5]));
  EXPECT_EQ(z[4], 0.0);  // a lone release: no spread to measure by
}
