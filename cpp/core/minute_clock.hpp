// Wall-clock arithmetic on zone-aware stamps held as int64 ticks of one unit
// (NaT is the smallest int64): clearing the seconds field of the local time
// and finding which zone period (between two offset transitions) a stamp
// lies in.
#pragma once

#include <cstdint>
#include <span>

#include "ticks.hpp"

namespace orvane::core {

// out[i] = instant[i] minus the seconds field of wall[i] (the same stamp read
// on the local clock), in whole seconds: the sub-second part is kept, as when
// a time is moved back by its `second` only. NaT stays NaT. All spans have the
// same length; `out` may alias `instant`. Returns false when a stamp within
// a minute of the smallest tick would move below it (out[i] is then NaT):
// the callers hand such stamps to pandas, which reports them out of bounds.
bool clear_seconds(std::span<const std::int64_t> wall, std::span<const std::int64_t> instant,
                   std::int64_t ticks_per_second, std::span<std::int64_t> out);

// out[i] = index of the last boundary <= instant[i] (boundaries ascending), or
// -1 when instant[i] lies before the first one.
void period_of(std::span<const std::int64_t> boundaries, std::span<const std::int64_t> instant,
               std::span<std::int64_t> out);

// Splits wall-clock stamps into whole days since the epoch and the ticks
// since that midnight (floor division, so stamps before 1970 work). NaT gives
// day and tick 0; callers keep NaT out.
void split_days(std::span<const std::int64_t> wall, std::int64_t ticks_per_second,
                std::span<std::int64_t> days, std::span<std::int64_t> tick_of_day);

}  // namespace orvane::core
