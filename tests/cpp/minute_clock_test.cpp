#include "core/minute_clock.hpp"

#include <gtest/gtest.h>

#include <vector>

using orvane::core::clear_seconds;
using orvane::core::not_a_time;
using orvane::core::period_of;
using orvane::core::split_days;

namespace {
constexpr std::int64_t ns = 1'000'000'000;
}

TEST(ClearSeconds, UsesTheLocalSecondsFieldAndKeepsTheFraction) {
  // 08:30:45.5 local, stored as an instant 5 h later (a UTC-5 zone)
  const std::int64_t wall = (8 * 3600 + 30 * 60 + 45) * ns + ns / 2;
  const std::int64_t utc = wall + 5 * 3600 * ns;
  std::vector<std::int64_t> w{wall, 0, not_a_time}, u{utc, 0, not_a_time}, out(3);
  clear_seconds(w, u, ns, out);
  EXPECT_EQ(out[0], utc - 45 * ns);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], not_a_time);
}

TEST(ClearSeconds, BeforeTheEpochAndWithAnOffsetOfOddSeconds) {
  // 1969-12-31 23:59:59.25 local: seconds field 59
  const std::int64_t wall = -ns + ns / 4;
  // the local clock runs 17 s ahead of the instant's own seconds
  std::vector<std::int64_t> w{wall}, u{wall - 17 * ns}, out(1);
  clear_seconds(w, u, ns, out);
  EXPECT_EQ(out[0], wall - 17 * ns - 59 * ns);
  std::vector<std::int64_t> us{-1}, out_us(1);
  clear_seconds(us, us, 1'000'000, out_us);  // one tick before the epoch: 59 s
  EXPECT_EQ(out_us[0], -1 - 59'000'000);
}

TEST(PeriodOf, LastBoundaryNotAfterTheInstant) {
  std::vector<std::int64_t> bounds{not_a_time + 1, 10, 20};
  std::vector<std::int64_t> t{-5, 10, 19, 20, 99, not_a_time}, out(6);
  period_of(bounds, t, out);
  EXPECT_EQ(out, (std::vector<std::int64_t>{0, 1, 1, 2, 2, -1}));
}

TEST(SplitDays, FloorsBeforeTheEpoch) {
  const std::int64_t day = 86'400 * ns;
  std::vector<std::int64_t> wall{0, day + 5, -1, -day}, days(4), tick(4);
  split_days(wall, ns, days, tick);
  EXPECT_EQ(days, (std::vector<std::int64_t>{0, 1, -1, -1}));
  EXPECT_EQ(tick, (std::vector<std::int64_t>{0, 5, day - 1, 0}));
}
