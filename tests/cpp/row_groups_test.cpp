#include "core/row_groups.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

using orvane::core::group_rows;

namespace {

using Keys = std::vector<std::vector<std::int64_t>>;

std::vector<std::vector<std::size_t>> grouped(const Keys& keys, std::size_t n) {
  std::vector<std::span<const std::int64_t>> spans(keys.begin(), keys.end());
  const auto g = group_rows(spans, n);
  std::vector<std::vector<std::size_t>> out;
  for (std::size_t k = 0; k < g.count(); ++k) {
    out.emplace_back();
    for (std::size_t i = g.starts[k]; i < g.starts[k + 1]; ++i) out.back().push_back(g.row(i));
  }
  return out;
}

}  // namespace

TEST(GroupRows, CombinationsInOrderOfFirstAppearance) {
  // interleaved instruments (A, B) on two venues; -1 is a missing key
  const Keys keys{{0, 1, 0, 1, 0, -1}, {2, 2, 2, 3, 2, 2}};
  EXPECT_EQ(grouped(keys, 6), (std::vector<std::vector<std::size_t>>{{0, 2, 4}, {1}, {3}, {5}}));
  EXPECT_EQ(grouped({}, 3), (std::vector<std::vector<std::size_t>>{{0, 1, 2}}));
  EXPECT_TRUE(grouped({{}}, 0).empty());
}

TEST(GroupRows, WideKeysUseTheHashedPath) {
  // values far apart: the direct table would be too large
  const Keys keys{{INT64_MAX, INT64_MIN, INT64_MAX, 5}};
  EXPECT_EQ(grouped(keys, 4), (std::vector<std::vector<std::size_t>>{{0, 2}, {1}, {3}}));
  std::vector<std::int64_t> many(1000);
  for (std::size_t i = 0; i < many.size(); ++i) {
    many[i] = static_cast<std::int64_t>(i % 7) * 1000003;
  }
  const auto g = grouped({many, many}, many.size());
  ASSERT_EQ(g.size(), 7u);
  EXPECT_EQ(g[3].front(), 3u);
  EXPECT_EQ(g[3][1], 10u);
}

TEST(GroupRows, GroupsAlreadyTogetherKeepTheTableOrder) {
  const Keys stacked{{3, 3, 3, 1, 1, 2}};
  std::vector<std::span<const std::int64_t>> spans(stacked.begin(), stacked.end());
  const auto g = group_rows(spans, 6);
  EXPECT_TRUE(g.in_place());
  EXPECT_EQ(g.starts, (std::vector<std::size_t>{0, 3, 5, 6}));
  const Keys back{{3, 3, 1, 3}};
  std::vector<std::span<const std::int64_t>> again(back.begin(), back.end());
  EXPECT_FALSE(group_rows(again, 4).in_place());
  EXPECT_EQ(grouped(back, 4), (std::vector<std::vector<std::size_t>>{{0, 1, 3}, {2}}));
}
