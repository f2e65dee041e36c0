#include "core/event_moves.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using orvane::core::event_moves;

namespace {

std::vector<double> moves(const std::vector<std::int64_t>& window, const std::vector<double>& diff,
                          const std::vector<double>& price, std::int64_t base_minute,
                          std::size_t n_windows) {
  std::vector<double> base(n_windows), out(window.size());
  std::vector<unsigned char> seen(n_windows);
  event_moves(window, diff, price, base_minute, base, seen, out);
  return out;
}

constexpr double missing = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(EventMoves, RelativeToTheFirstBaselineRowOfEachWindow) {
  // two windows interleaved; window 1 has a duplicate event-minute bar
  const std::vector<double> run =
      moves({0, 0, 1, 0, 1, 1}, {-1, 0, 0, 1, 0, 2}, {99.0, 100.0, 50.0, 101.0, 60.0, 49.0}, 0, 2);
  const double expected[] = {-100.0, 0.0, 0.0, 100.0, 2000.0, -200.0};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(run[i], expected[i], 1e-9) << i;
}

TEST(EventMoves, BaselineMinuteIsChosenByTheCaller) {
  // the bar ending at the release (minute -1) keeps the release-minute jump
  const std::vector<double> run = moves({0, 0, 0}, {-1, 0, 1}, {100.0, 102.0, 103.0}, -1, 1);
  EXPECT_NEAR(run[0], 0.0, 1e-9);
  EXPECT_NEAR(run[1], 200.0, 1e-9);
  EXPECT_NEAR(run[2], 300.0, 1e-9);
}

TEST(EventMoves, FractionalOffsetsAreNoMinute) {
  // -0.5 and 0.5 used to be cut to minute 0 and made the first one the base
  const std::vector<double> none = moves({0, 0, 0}, {-0.5, 0.5, 1.5}, {99.0, 100.0, 101.0}, 0, 1);
  for (double v : none) EXPECT_TRUE(std::isnan(v));
  // with a true baseline row, off-minute rows are still measured from it
  const std::vector<double> some =
      moves({0, 0, 0}, {-1.0, -0.75, 0.25}, {100.0, 101.0, 99.0}, -1, 1);
  EXPECT_NEAR(some[1], 100.0, 1e-9);
  EXPECT_NEAR(some[2], -100.0, 1e-9);
}

TEST(EventMoves, MissingOffsetsAndUnusableBasesGiveNaN) {
  const std::vector<double> run = moves({0, 0, 1, 1, -1, 2, 2}, {-1, 1, 0, 1, 0, 0, missing},
                                        {1.0, 2.0, 0.0, 3.0, 4.0, 5.0, 6.0}, 0, 3);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_TRUE(std::isnan(run[i])) << i;
  EXPECT_EQ(run[5], 0.0);
  EXPECT_TRUE(std::isnan(run[6]));  // a missing offset is no minute of the window
}

TEST(EventMoves, OffsetsBeyondInt64AreNoMinute) {
  const double huge = 1e300;
  const std::vector<double> run =
      moves({0, 0}, {huge, -huge}, {1.0, 2.0}, std::numeric_limits<std::int64_t>::min(), 1);
  EXPECT_TRUE(std::isnan(run[0]) && std::isnan(run[1]));
}

TEST(EventMoves, RejectsMismatchedInput) {
  std::vector<std::int64_t> window{0, 5};
  std::vector<double> diff{0, 0};
  std::vector<double> price{1.0, 1.0};
  std::vector<double> base(2), out(2);
  std::vector<unsigned char> seen(2);
  EXPECT_THROW(event_moves(window, diff, price, 0, base, seen, out), std::out_of_range);
  std::vector<double> short_out(1);
  EXPECT_THROW(event_moves(window, diff, price, 0, base, seen, short_out), std::invalid_argument);
}
