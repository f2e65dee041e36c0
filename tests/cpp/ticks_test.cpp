#include "core/ticks.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

using orvane::core::floor_div;
using orvane::core::floor_mod;

class FloorArithmetic : public ::testing::TestWithParam<
                            std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>> {};

TEST_P(FloorArithmetic, RoundsTowardMinusInfinity) {
  const auto [value, divisor, quotient, remainder] = GetParam();
  EXPECT_EQ(floor_div(value, divisor), quotient);
  EXPECT_EQ(floor_mod(value, divisor), remainder);
}

// 1969-12-31 23:59:59 is day -1 at second 86399, not day 0 at -1
INSTANTIATE_TEST_SUITE_P(Ticks, FloorArithmetic,
                         ::testing::Values(std::make_tuple(7, 2, 3, 1),
                                           std::make_tuple(-7, 2, -4, 1),
                                           std::make_tuple(-1, 86'400, -1, 86'399),
                                           std::make_tuple(-86'400, 86'400, -1, 0),
                                           std::make_tuple(7, -2, -4, -1),
                                           std::make_tuple(-7, -2, 3, -1),
                                           std::make_tuple(INT64_MIN, 60, INT64_MIN / 60 - 1, 52)));
