#include "sorted_runs.hpp"

#include <functional>
#include <queue>
#include <utility>

#include "ticks.hpp"

namespace orvane::core {

bool factorize_runs(std::span<const std::int64_t> values, std::span<const std::size_t> starts,
                    std::vector<std::int64_t>& uniques, std::span<std::int64_t> codes) {
  uniques.clear();
  const std::size_t runs = starts.empty() ? 0 : starts.size() - 1;
  for (std::size_t r = 0; r < runs; ++r) {
    std::int64_t last = not_a_time;
    for (std::size_t i = starts[r]; i < starts[r + 1]; ++i) {
      if (values[i] == not_a_time) continue;
      if (values[i] < last) return false;
      last = values[i];
    }
  }
  // next unread position of each run
  std::vector<std::size_t> next(starts.begin(), starts.end() - (runs ? 1 : 0));
  auto skip_nat = [&](std::size_t r) {
    while (next[r] < starts[r + 1] && values[next[r]] == not_a_time) codes[next[r]++] = -1;
  };
  // the whole stretch of `value` at the head of run r, coded `code`
  auto take = [&](std::size_t r, std::int64_t value, std::int64_t code) {
    while (next[r] < starts[r + 1] && (values[next[r]] == value || values[next[r]] == not_a_time)) {
      codes[next[r]] = values[next[r]] == not_a_time ? -1 : code;
      ++next[r];
    }
  };
  if (runs == 1) {
    uniques.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (values[i] == not_a_time) {
        codes[i] = -1;
        continue;
      }
      if (uniques.empty() || uniques.back() != values[i]) uniques.push_back(values[i]);
      codes[i] = static_cast<std::int64_t>(uniques.size()) - 1;
    }
    return true;
  }
  if (runs <= 16) {
    // few runs (instruments): scan the heads for the least value
    for (std::size_t r = 0; r < runs; ++r) skip_nat(r);
    for (;;) {
      bool any = false;
      std::int64_t least = 0;
      for (std::size_t r = 0; r < runs; ++r) {
        if (next[r] < starts[r + 1] && (!any || values[next[r]] < least)) {
          least = values[next[r]];
          any = true;
        }
      }
      if (!any) break;
      uniques.push_back(least);
      const auto code = static_cast<std::int64_t>(uniques.size()) - 1;
      for (std::size_t r = 0; r < runs; ++r) {
        if (next[r] < starts[r + 1] && values[next[r]] == least) take(r, least, code);
      }
    }
    return true;
  }
  // many runs: a heap of (value, run) picks the least
  using Head = std::pair<std::int64_t, std::size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<>> heads;
  for (std::size_t r = 0; r < runs; ++r) {
    skip_nat(r);
    if (next[r] < starts[r + 1]) heads.emplace(values[next[r]], r);
  }
  while (!heads.empty()) {
    const auto [value, r] = heads.top();
    heads.pop();
    if (uniques.empty() || uniques.back() != value) uniques.push_back(value);
    const auto code = static_cast<std::int64_t>(uniques.size()) - 1;
    take(r, value, code);
    if (next[r] < starts[r + 1]) heads.emplace(values[next[r]], r);
  }
  return true;
}

}  // namespace orvane::core
