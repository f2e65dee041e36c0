#include "core/sorted_groups.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using orvane::core::sorted_groups;

TEST(SortedGroups, NumberedInTheSortedOrderOfTheirKeysAndMissingKeysLeftOut) {
  const std::vector<std::int64_t> a{1, 0, 1, 0, -1, 1}, b{0, 2, 0, 1, 0, 2};
  const std::vector<std::span<const std::int64_t>> codes{a, b};
  const std::vector<std::int64_t> sizes{2, 3};
  std::vector<std::int64_t> group(6);
  const std::vector<std::size_t> first = sorted_groups(codes, sizes, group);
  // keys (0,1) (0,2) (1,0) (1,2): groups 0..3
  EXPECT_EQ(group, (std::vector<std::int64_t>{2, 1, 2, 0, -1, 3}));
  EXPECT_EQ(first, (std::vector<std::size_t>{3, 1, 0, 5}));
}

TEST(SortedGroups, ManyKeyCombinationsTakeTheSortedRoad) {
  // more combinations than a table over them would hold for so few rows
  const std::vector<std::int64_t> a{900000, 5, 900000, 7}, b{3, 999999, 3, 0};
  const std::vector<std::span<const std::int64_t>> codes{a, b};
  const std::vector<std::int64_t> sizes{1000000, 1000000};
  std::vector<std::int64_t> group(4);
  const std::vector<std::size_t> first = sorted_groups(codes, sizes, group);
  EXPECT_EQ(group, (std::vector<std::int64_t>{2, 0, 2, 1}));
  EXPECT_EQ(first, (std::vector<std::size_t>{1, 3, 0}));
}

TEST(SortedGroups, NoColumnIsOneGroup) {
  std::vector<std::int64_t> group(3, 7);
  EXPECT_EQ(sorted_groups({}, {}, group), (std::vector<std::size_t>{0}));
  EXPECT_EQ(group, (std::vector<std::int64_t>(3, 0)));
}
