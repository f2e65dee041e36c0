#include "core/sorted_runs.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using orvane::core::factorize_runs;

namespace {
constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();
}

TEST(FactorizeRuns, MergesAscendingRuns) {
  // three instruments, each in time order, sharing some stamps
  const std::vector<std::int64_t> values{5, 7, 7, 9, /**/ 1, 7, 10, /**/ nat, 5, nat, 6};
  const std::vector<std::size_t> starts{0, 4, 7, 11};
  std::vector<std::int64_t> uniques, codes(values.size());
  ASSERT_TRUE(factorize_runs(values, starts, uniques, codes));
  EXPECT_EQ(uniques, (std::vector<std::int64_t>{1, 5, 6, 7, 9, 10}));
  EXPECT_EQ(codes, (std::vector<std::int64_t>{1, 3, 3, 4, 0, 3, 5, -1, 1, -1, 2}));
}

TEST(FactorizeRuns, RefusesARunOutOfOrderAndTakesEmptyInput) {
  const std::vector<std::int64_t> values{1, 3, 2};
  const std::vector<std::size_t> one{0, 3}, two{0, 2, 3};
  std::vector<std::int64_t> uniques, codes(3);
  EXPECT_FALSE(factorize_runs(values, one, uniques, codes));
  EXPECT_TRUE(factorize_runs(values, two, uniques, codes));
  EXPECT_EQ(codes, (std::vector<std::int64_t>{0, 2, 1}));
  const std::vector<std::size_t> none{0};
  EXPECT_TRUE(factorize_runs({}, none, uniques, {}));
  EXPECT_TRUE(uniques.empty());
  EXPECT_TRUE(factorize_runs({}, {}, uniques, {}));
}

TEST(FactorizeRuns, ManyRunsTakeTheHeap) {
  // 40 runs of the stamps 0, 10, 20, ... each missing one, shuffled by run
  std::vector<std::int64_t> values;
  std::vector<std::size_t> starts{0};
  for (int r = 0; r < 40; ++r) {
    for (int v = 0; v < 50; ++v) {
      if (v != r % 50) values.push_back(10 * v);
    }
    starts.push_back(values.size());
  }
  std::vector<std::int64_t> uniques, codes(values.size());
  ASSERT_TRUE(factorize_runs(values, starts, uniques, codes));
  ASSERT_EQ(uniques.size(), 50u);
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i], 10 * codes[i]);
}
