#include "minute_clock.hpp"

#include <algorithm>
#include <stdexcept>

namespace orvane::core {

bool clear_seconds(std::span<const std::int64_t> wall, std::span<const std::int64_t> instant,
                   std::int64_t ticks_per_second, std::span<std::int64_t> out) {
  if (wall.size() != instant.size() || out.size() != instant.size()) {
    throw std::invalid_argument("clear_seconds: spans of different lengths");
  }
  if (ticks_per_second <= 0) throw std::invalid_argument("clear_seconds: ticks_per_second <= 0");
  bool representable = true;
  for (std::size_t i = 0; i < instant.size(); ++i) {
    if (instant[i] == not_a_time || wall[i] == not_a_time) {
      out[i] = not_a_time;
      continue;
    }
    const std::int64_t second = floor_mod(floor_div(wall[i], ticks_per_second), 60);
    std::int64_t back = 0, moved = 0;
    if (__builtin_mul_overflow(second, ticks_per_second, &back) ||
        __builtin_sub_overflow(instant[i], back, &moved) || moved == not_a_time) {
      out[i] = not_a_time;
      representable = false;
      continue;
    }
    out[i] = moved;
  }
  return representable;
}

void period_of(std::span<const std::int64_t> boundaries, std::span<const std::int64_t> instant,
               std::span<std::int64_t> out) {
  if (out.size() != instant.size())
    throw std::invalid_argument("period_of: spans of different lengths");
  for (std::size_t i = 0; i < instant.size(); ++i) {
    auto it = std::upper_bound(boundaries.begin(), boundaries.end(), instant[i]);
    out[i] = static_cast<std::int64_t>(it - boundaries.begin()) - 1;
  }
}

void split_days(std::span<const std::int64_t> wall, std::int64_t ticks_per_second,
                std::span<std::int64_t> days, std::span<std::int64_t> tick_of_day) {
  if (days.size() != wall.size() || tick_of_day.size() != wall.size()) {
    throw std::invalid_argument("split_days: spans of different lengths");
  }
  if (ticks_per_second <= 0) throw std::invalid_argument("split_days: ticks_per_second <= 0");
  const std::int64_t per_day = ticks_per_second * 86'400;
  for (std::size_t i = 0; i < wall.size(); ++i) {
    if (wall[i] == not_a_time) {
      days[i] = tick_of_day[i] = 0;
      continue;
    }
    days[i] = floor_div(wall[i], per_day);
    tick_of_day[i] = wall[i] - days[i] * per_day;
  }
}

}  // namespace orvane::core
