#include "release_overlap.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace orvane::core {

std::vector<std::size_t> distinct_releases(std::span<const std::int64_t> kind,
                                           std::span<const std::int64_t> minute) {
  if (kind.size() != minute.size()) throw std::invalid_argument("releases: mismatched lengths");
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < kind.size(); ++i) {
    if (kind[i] >= 0 && minute[i] != kNoMinute) rows.push_back(i);
  }
  const auto before = [&](std::size_t a, std::size_t b) {
    if (minute[a] != minute[b]) return minute[a] < minute[b];
    if (kind[a] != kind[b]) return kind[a] < kind[b];
    return a < b;
  };
  std::sort(rows.begin(), rows.end(), before);
  const auto same = [&](std::size_t a, std::size_t b) {
    return minute[a] == minute[b] && kind[a] == kind[b];
  };
  rows.erase(std::unique(rows.begin(), rows.end(), same), rows.end());
  return rows;
}

Overlaps concurrent_releases(std::span<const std::int64_t> kind,
                             std::span<const std::int64_t> minute, std::int64_t pre,
                             std::int64_t post) {
  const std::size_t n = kind.size();
  if (minute.size() != n) throw std::invalid_argument("concurrent releases: mismatched lengths");
  Overlaps out;
  out.count.resize(n);
  out.starts.resize(n + 1);
  std::vector<std::int64_t> found;
  for (std::size_t r = 0; r < n; ++r) {
    // the minutes are sorted: the window's releases are one run of them
    const auto first = std::lower_bound(minute.begin(), minute.end(), minute[r] + pre);
    const auto last = std::upper_bound(minute.begin(), minute.end(), minute[r] + post);
    found.clear();
    std::int64_t count = 0;
    for (auto it = first; it < last; ++it) {
      const auto j = static_cast<std::size_t>(it - minute.begin());
      if (j == r) continue;
      ++count;
      found.push_back(kind[j]);
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    out.count[r] = count;
    out.starts[r] = out.kinds.size();
    out.kinds.insert(out.kinds.end(), found.begin(), found.end());
  }
  out.starts[n] = out.kinds.size();
  return out;
}

int weekday_of(std::int64_t day) {
  // 1970-01-01 was a Thursday (3)
  return static_cast<int>(((day % 7) + 7 + 3) % 7);
}

ControlDays control_days(std::span<const std::int64_t> release_day,
                         std::span<const std::int64_t> busy, std::int64_t days) {
  if (days < 0) throw std::invalid_argument("control days: a negative number of days");
  std::vector<std::int64_t> taken(busy.begin(), busy.end());
  std::sort(taken.begin(), taken.end());
  const auto is_busy = [&](std::int64_t day) {
    return std::binary_search(taken.begin(), taken.end(), day);
  };
  ControlDays out;
  out.starts.reserve(release_day.size() + 1);
  for (const std::int64_t day : release_day) {
    out.starts.push_back(out.days.size());
    std::int64_t found = 0;
    for (std::int64_t d = day - 1; found < days; --d) {
      if (weekday_of(d) >= 5 || is_busy(d)) continue;
      out.days.push_back(d);
      ++found;
    }
  }
  out.starts.push_back(out.days.size());
  return out;
}

}  // namespace orvane::core
