// Kernels at the edges of the int64 tick range, where a shift can overflow.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/minute_clock.hpp"

using orvane::core::clear_seconds;
using orvane::core::not_a_time;

TEST(ClearSecondsBounds, StampsWithinAMinuteOfTheEarliestTickAreReported) {
  constexpr std::int64_t ns = 1'000'000'000;
  const std::int64_t earliest = not_a_time + 1;  // 1677-09-21 00:12:43.145224193
  std::vector<std::int64_t> stamps{earliest, earliest + 60 * ns, 0}, out(3);
  EXPECT_FALSE(clear_seconds(stamps, stamps, ns, out));
  EXPECT_EQ(out[0], not_a_time);
  EXPECT_NE(out[1], not_a_time);  // the others are still cleared
  EXPECT_EQ(out[2], 0);
  std::vector<std::int64_t> fine{0, 45 * ns}, fine_out(2);
  EXPECT_TRUE(clear_seconds(fine, fine, ns, fine_out));
}
