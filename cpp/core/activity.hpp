// Activity at the minutes of event windows against the same clock minutes
// of ordinary days: the size of one-minute returns, their squares, the
// volume, and the rank test of the sizes.
#pragma once

#include <cstdint>
#include <span>

namespace orvane::core {

// The two-sided p-value of the Mann-Whitney U test of x against y, by the
// exact distribution of U when either sample holds at most eight values and
// no value ties, else by the normal approximation with the tie correction
// and a continuity correction of one half. Both samples must be sorted
// ascending and hold no NaN. NaN when a sample is empty or every value of
// both is equal (no variation: the normal approximation is undefined).
double mann_whitney_p(std::span<const double> x, std::span<const double> y);

// One entry per group for each statistic.
struct Activity {
  std::span<std::int64_t> n, n_control;  // returns of each side
  std::span<double> abs_ret, control_abs_ret, abs_ratio, var_ratio, volume_ratio, p_value;
};

// Per group: the mean |return| of each side and its ratio, the mean squared
// return over the control's, the mean volume over the control's (NaN where
// a side carries no volume: an empty span), and the rank test of the
// |returns|. group[i] / control_group[i] give each row's group in
// [0, out.n.size()), negative for a row left out; NaN returns and volumes
// are left out of their own statistics. A ratio whose denominator is zero
// or missing is NaN.
void abnormal_activity(std::span<const std::int64_t> group, std::span<const double> ret,
                       std::span<const double> volume, std::span<const std::int64_t> control_group,
                       std::span<const double> control_ret, std::span<const double> control_volume,
                       const Activity& out);

}  // namespace orvane::core
