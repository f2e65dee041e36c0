#include "core/event_moves.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using orvane::core::event_moves;

TEST(EventMoves, RelativeToTheFirstEventMinuteRowOfEachWindow) {
  // two windows interleaved; window 1 has a duplicate event-minute bar
  std::vector<std::int64_t> window{0, 0, 1, 0, 1, 1};
  std::vector<std::int64_t> diff{-1, 0, 0, 1, 0, 2};
  std::vector<double> price{99.0, 100.0, 50.0, 101.0, 60.0, 49.0};
  std::vector<double> base(2), out(6);
  std::vector<unsigned char> seen(2);
  event_moves(window, diff, price, base, seen, out);
  EXPECT_NEAR(out[0], -100.0, 1e-9);
  EXPECT_NEAR(out[1], 0.0, 1e-9);
  EXPECT_NEAR(out[2], 0.0, 1e-9);
  EXPECT_NEAR(out[3], 100.0, 1e-9);
  EXPECT_NEAR(out[4], 2000.0, 1e-9);
  EXPECT_NEAR(out[5], -200.0, 1e-9);
}

TEST(EventMoves, NoUsableBaseGivesNaN) {
  std::vector<std::int64_t> window{0, 0, 1, 1, -1};
  std::vector<std::int64_t> diff{-1, 1, 0, 1, 0};
  std::vector<double> price{1.0, 2.0, 0.0, 3.0, 4.0};
  std::vector<double> base(2), out(5);
  std::vector<unsigned char> seen(2);
  event_moves(window, diff, price, base, seen, out);
  for (double v : out) EXPECT_TRUE(std::isnan(v));
}

TEST(EventMoves, RejectsMismatchedInput) {
  std::vector<std::int64_t> window{0, 5};
  std::vector<std::int64_t> diff{0, 0};
  std::vector<double> price{1.0, 1.0};
  std::vector<double> base(2), out(2);
  std::vector<unsigned char> seen(2);
  EXPECT_THROW(event_moves(window, diff, price, base, seen, out), std::out_of_range);
  std::vector<double> short_out(1);
  EXPECT_THROW(event_moves(window, diff, price, base, seen, short_out), std::invalid_argument);
}
