// Statistics of event moves group by group: the summary of each group's
// moves, the t test of their mean, and the standardized surprise of their
// releases (the regressor of their response, see robust_regression.hpp).
#pragma once

#include <cstdint>
#include <span>

namespace orvane::core {

// One entry per group for each statistic.
struct MoveSummary {
  std::span<std::int64_t> count;  // moves that are not NaN
  std::span<double> mean, std_dev, median, q25, q75, mean_abs;
  std::span<std::int64_t> up, down;  // moves above and below zero
};

// The summary of the moves of each group: group[i] is row i's group in
// [0, count.size()) or negative for a row left out; NaN moves are left out.
// std_dev has ddof 1 (NaN below two moves) and is exactly 0 when every move
// of the group is equal; the quartiles interpolate linearly between order
// statistics and the median of an even count is the mean of the middle two.
// Groups without a move get count 0 and NaN elsewhere.
void summarize_groups(std::span<const std::int64_t> group, std::span<const double> move,
                      const MoveSummary& out);

// The one-sample t test of each mean against zero: sem = std_dev / sqrt(count),
// t = mean / sem and dof = count - 1, all NaN where the test is undefined
// (fewer than two moves, or every move equal).
void mean_t_tests(std::span<const std::int64_t> count, std::span<const double> mean,
                  std::span<const double> std_dev, std::span<double> sem, std::span<double> t,
                  std::span<double> dof);

// The surprise of each row over the spread of its event kind's surprises:
// release[i] is row i's release (negative: none), event_of[r] the event kind
// of release r (negative: none, and the release counts as none). A kind's spread is the sample
// standard deviation (ddof 1) of the first surprise found for each of its releases that has one. A
// row without a surprise or release gets NaN; where its kind's spread is not a positive number
// every surprise of the kind counts as equal (0).
void standardize_surprises(std::span<const std::int64_t> release,
                           std::span<const std::int64_t> event_of, std::span<const double> surprise,
                           std::span<double> out);

}  // namespace orvane::core
