#include "core/window_match.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

using namespace orvane::core;
using V = std::vector<std::int64_t>;

namespace {

// The bars of each left row, as a list per row, for readable expectations.
std::vector<V> per_left(const KeyMatches& m) {
  std::vector<V> out(m.left_size());
  for (std::size_t i = 0; i < m.left_size(); ++i) {
    for (std::int64_t h = m.start[i]; h < m.start[i + 1]; ++h)
      out[i].push_back(m.matched[m.hits[h]]);
  }
  return out;
}

}  // namespace

TEST(MatchKeys, EveryLeftRowMeetsItsEqualRightRowsInOrder) {
  // grid minutes with a repeat (two windows sharing minute 20) and a minute
  // without bars; bars unsorted, with a duplicate and one between minutes
  V grid{10, 20, 30, 20};
  V bars{20, 5, 10, 20, 25, 10, 99};
  KeyMatches m = match_keys({}, grid, {}, bars);
  EXPECT_EQ(per_left(m), (std::vector<V>{{2, 5}, {0, 3}, {}, {0, 3}}));
  EXPECT_EQ(m.matched, (V{0, 2, 3, 5}));
  EXPECT_TRUE(m.any_left_unmatched());
}

TEST(MatchKeys, CodesSeparateEqualStampsAndNegativeCodesNeverMatch) {
  V left_code{0, 1, -1}, left_stamp{7, 7, 7};
  V right_code{1, 0, -1, 1}, right_stamp{7, 7, 7, 8};
  KeyMatches m = match_keys(left_code, left_stamp, right_code, right_stamp);
  EXPECT_EQ(per_left(m), (std::vector<V>{{1}, {0}, {}}));
}

TEST(MatchKeys, AgreesWithComparingEveryPair) {
  // right sides in ascending runs (bars per security), in random order, and
  // with repeats; left keys with repeats and negative codes
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n_left = rng() % 30, n_right = rng() % 300;
    const std::int64_t span = 1 + static_cast<std::int64_t>(rng() % 50);
    V lc(n_left), ls(n_left), rc(n_right), rs(n_right);
    for (std::size_t i = 0; i < n_left; ++i) {
      lc[i] = static_cast<std::int64_t>(rng() % 3) - (trial % 4 == 0 ? 1 : 0);
      ls[i] = static_cast<std::int64_t>(rng() % span);
    }
    std::int64_t t = 0;
    for (std::size_t j = 0; j < n_right; ++j) {
      if (trial % 2 == 0) {
        if (rng() % 40 == 0) t = 0;  // a new run
        t += static_cast<std::int64_t>(rng() % 3);
      } else {
        t = static_cast<std::int64_t>(rng() % span);
      }
      rc[j] = static_cast<std::int64_t>(rng() % 3);
      rs[j] = t;
    }
    std::vector<V> expected(n_left);
    for (std::size_t i = 0; i < n_left; ++i) {
      for (std::size_t j = 0; j < n_right; ++j) {
        if (lc[i] >= 0 && lc[i] == rc[j] && ls[i] == rs[j]) expected[i].push_back(j);
      }
    }
    EXPECT_EQ(per_left(match_keys(lc, ls, rc, rs)), expected) << "trial " << trial;
  }
}

TEST(MatchKeys, BarsInAnyOrderMeetTheirMinutes) {
  // minute stamps (a step of 60) and stamps off the step; bars sorted in runs
  // are walked, shuffled ones looked up, with the same matches
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 60; ++trial) {
    const std::int64_t step = trial % 3 == 0 ? 1 : 60;
    V grid(1 + rng() % 40), bars;
    for (auto& g : grid) g = 1'000'000 + step * static_cast<std::int64_t>(rng() % 500);
    for (int run = 0; run < 4; ++run) {
      for (std::int64_t t = 1'000'000 - 600; t < 1'000'000 + 600 * 60; t += 30) bars.push_back(t);
    }
    bars.push_back(grid[0] + 1);  // between two minutes
    V shuffled = bars;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    for (const V* right : {&bars, &shuffled}) {
      std::vector<V> expected(grid.size());
      for (std::size_t i = 0; i < grid.size(); ++i) {
        for (std::size_t j = 0; j < right->size(); ++j) {
          if (grid[i] == (*right)[j]) expected[i].push_back(static_cast<std::int64_t>(j));
        }
      }
      const KeyMatches m = match_keys({}, grid, {}, *right);
      EXPECT_EQ(per_left(m), expected) << "trial " << trial;
      // the named rule: runs are walked, shuffled rows looked up
      EXPECT_EQ(m.looked_up, right == &shuffled) << "trial " << trial;
    }
  }
}

TEST(MatchKeys, EmptySidesAndExtremeStamps) {
  KeyMatches none = match_keys({}, {}, {}, V{1, 2});
  EXPECT_EQ(none.start, (V{0}));
  EXPECT_FALSE(none.any_left_unmatched());
  // NaT on the right never equals a real minute; extreme stamps still hash
  V grid{INT64_MAX, INT64_MIN + 1};
  KeyMatches m = match_keys({}, grid, {}, V{not_a_time, INT64_MAX, INT64_MIN + 1});
  EXPECT_EQ(per_left(m), (std::vector<V>{{1}, {2}}));
  EXPECT_THROW(match_keys(V{0}, V{1, 2}, {}, {}), std::invalid_argument);
}

TEST(OrderWindowRows, AgreesWithAStableSortOfAllPairs) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 50; ++trial) {
    const std::size_t n_grid = 1 + rng() % 40, n_bars = rng() % 200;
    V rank(n_grid), time(n_grid), minute(n_grid), bars(n_bars);
    for (std::size_t g = 0; g < n_grid; ++g) {
      rank[g] = rng() % 3;
      time[g] = rng() % 3;
      minute[g] = static_cast<std::int64_t>(rng() % 12);
    }
    for (auto& b : bars) b = static_cast<std::int64_t>(rng() % 14);
    KeyMatches m = match_keys({}, minute, {}, bars);
    V key(m.matched.size());
    for (auto& k : key) k = static_cast<std::int64_t>(rng() % 4) - 1;  // -1: missing key

    // reference: every kept pair in join order, then one stable sort
    std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                           std::int64_t>>
        pairs;
    for (std::size_t g = 0; g < n_grid; ++g) {
      for (std::int64_t h = m.start[g]; h < m.start[g + 1]; ++h) {
        const std::int64_t pos = m.hits[h];
        if (key[pos] >= 0) pairs.emplace_back(rank[g], time[g], key[pos], minute[g], g, pos);
      }
    }
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
      return std::tie(std::get<0>(a), std::get<1>(a), std::get<2>(a), std::get<3>(a)) <
             std::tie(std::get<0>(b), std::get<1>(b), std::get<2>(b), std::get<3>(b));
    });

    WindowRows rows = order_window_rows(rank, time, minute, m, key);
    ASSERT_EQ(rows.grid.size(), pairs.size());
    for (std::size_t r = 0; r < pairs.size(); ++r) {
      EXPECT_EQ(rows.grid[r], std::get<4>(pairs[r])) << "trial " << trial << " row " << r;
      EXPECT_EQ(rows.matched[r], std::get<5>(pairs[r])) << "trial " << trial << " row " << r;
    }
  }
}

TEST(OrderWindowRows, RejectsMismatchedInput) {
  V minute{1, 2};
  KeyMatches m = match_keys({}, minute, {}, V{1});
  EXPECT_THROW(order_window_rows(V{0}, V{0, 0}, minute, m, V{0}), std::invalid_argument);
  EXPECT_THROW(order_window_rows(V{0, 0}, V{0, 0}, minute, m, V{}), std::invalid_argument);
}

TEST(ExpandLeftJoin, MultipliesMatchedRowsAndKeepsUnmatchedOnes) {
  // calendar with two rows for key (0, 5) and none for (1, 5)
  KeyMatches m = match_keys(V{0, 1}, V{5, 5}, V{0, 2, 0}, V{5, 5, 5});
  JoinedRows j = expand_left_join(V{1, 0, 0}, m);
  EXPECT_EQ(j.row, (V{0, 1, 1, 2, 2}));
  EXPECT_EQ(j.right, (V{-1, 0, 2, 0, 2}));
  EXPECT_TRUE(j.any_unmatched);
  EXPECT_FALSE(expand_left_join(V{0}, m).any_unmatched);
  EXPECT_THROW(expand_left_join(V{2}, m), std::out_of_range);
}

TEST(DistinctCodeStamps, GroupsByCodeInFirstAppearanceOrder) {
  V code{1, 0, 1, 0, -1, 1, 0};
  V stamp{9, 3, 9, 4, 3, 8, 3};
  EXPECT_EQ(distinct_code_stamps(code, stamp), (V{1, 3, 0, 5}));
}

TEST(MinuteGrid, ExpandsEachTimeAndGuardsTheRange) {
  V stamps(6), offsets(6);
  expand_minute_grid(V{100, 1000}, -1, 1, 10, stamps, offsets);
  EXPECT_EQ(stamps, (V{90, 100, 110, 990, 1000, 1010}));
  EXPECT_EQ(offsets, (V{-1, 0, 1, -1, 0, 1}));
  V one(1), off(1);
  EXPECT_THROW(expand_minute_grid(V{INT64_MAX - 5}, 1, 1, 10, one, off), std::overflow_error);
  EXPECT_THROW(expand_minute_grid(V{1}, 0, 1, 10, one, off), std::invalid_argument);
  V empty;
  expand_minute_grid(V{1}, 1, 0, 10, empty, empty);  // an empty window is no error
}

TEST(Rescale, FinerAndCoarserUnits) {
  V out(3), code{0, 0, 0};
  rescale_stamps(V{1, not_a_time, -2}, 1000, 1, out, code);
  EXPECT_EQ(out, (V{1000, not_a_time, -2000}));
  code = {0, 0, 0};
  rescale_stamps(V{3000, 3001, -6000}, 1, 1000, out, code);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(code, (V{0, -1, 0}));
  EXPECT_EQ(out[2], -6);
  EXPECT_THROW(rescale_stamps(V{INT64_MAX / 10, 0, 0}, 1000, 1, out, code), std::overflow_error);
  EXPECT_TRUE(stamps_fit_scaled(V{not_a_time, INT64_MAX / 1000}, 1000));
  EXPECT_FALSE(stamps_fit_scaled(V{-(INT64_MAX / 1000) - 1}, 1000));
}
