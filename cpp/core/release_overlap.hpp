// Releases of a calendar that share minutes with one another, and the
// ordinary days before each release that hold none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvane::core {

// The distinct releases of a calendar: a release is a kind (code in sorted
// order, negative: missing) at a minute (whole minutes, `kNoMinute`:
// missing); rows repeating a kind at the same minute are one release.
// Returns the first row of each release, ordered by minute, then kind, then
// row; rows with a missing kind or minute are left out.
inline constexpr std::int64_t kNoMinute = INT64_MIN;
std::vector<std::size_t> distinct_releases(std::span<const std::int64_t> kind,
                                           std::span<const std::int64_t> minute);

// For releases ordered by minute (as distinct_releases gives them): how many
// other releases fall in the minutes [minute + pre, minute + post], and the
// distinct kinds of those releases in sorted order, release r's kinds being
// kinds[starts[r]] .. kinds[starts[r + 1] - 1].
struct Overlaps {
  std::vector<std::int64_t> count;
  std::vector<std::size_t> starts;
  std::vector<std::int64_t> kinds;
};
Overlaps concurrent_releases(std::span<const std::int64_t> kind,
                             std::span<const std::int64_t> minute, std::int64_t pre,
                             std::int64_t post);

// The weekday of a day counted from 1970-01-01: Monday 0 .. Sunday 6.
int weekday_of(std::int64_t day);

// For each release day, the `days` nearest weekdays before it that are not
// among `busy` (the days holding any release), latest first; release r's
// days are out[starts[r]] .. out[starts[r + 1] - 1].
struct ControlDays {
  std::vector<std::size_t> starts;
  std::vector<std::int64_t> days;
};
ControlDays control_days(std::span<const std::int64_t> release_day,
                         std::span<const std::int64_t> busy, std::int64_t days);

}  // namespace orvane::core
