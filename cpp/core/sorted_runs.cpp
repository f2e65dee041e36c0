#include "sorted_runs.hpp"

#include <functional>
#include <queue>
#include <utility>

#include "ticks.hpp"

namespace orvane::core {
namespace {

bool runs_ascend(std::span<const std::int64_t> values, std::span<const std::size_t> starts,
                 std::size_t runs) {
  for (std::size_t r = 0; r < runs; ++r) {
    std::int64_t last = not_a_time;
    for (std::size_t i = starts[r]; i < starts[r + 1]; ++i) {
      if (values[i] == not_a_time) continue;
      if (values[i] < last) return false;
      last = values[i];
    }
  }
  return true;
}

// One ascending run: a value is new exactly when it differs from the last.
void code_one_run(std::span<const std::int64_t> values, std::vector<std::int64_t>& uniques,
                  std::span<std::int64_t> codes) {
  uniques.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] == not_a_time) {
      codes[i] = -1;
      continue;
    }
    if (uniques.empty() || uniques.back() != values[i]) uniques.push_back(values[i]);
    codes[i] = static_cast<std::int64_t>(uniques.size()) - 1;
  }
}

// The unread heads of the runs being merged; NaT is coded -1 as it is passed.
class Heads {
 public:
  Heads(std::span<const std::int64_t> values, std::span<const std::size_t> starts,
        std::span<std::int64_t> codes)
      : values_(values), starts_(starts), codes_(codes), next_(starts.begin(), starts.end() - 1) {}

  std::size_t runs() const { return next_.size(); }
  bool open(std::size_t r) const { return next_[r] < starts_[r + 1]; }
  std::int64_t head(std::size_t r) const { return values_[next_[r]]; }

  void skip_nat(std::size_t r) {
    while (open(r) && head(r) == not_a_time) codes_[next_[r]++] = -1;
  }

  // the whole stretch of `value` at the head of run r, coded `code`
  void take(std::size_t r, std::int64_t value, std::int64_t code) {
    while (open(r) && (head(r) == value || head(r) == not_a_time)) {
      codes_[next_[r]] = head(r) == not_a_time ? -1 : code;
      ++next_[r];
    }
  }

 private:
  std::span<const std::int64_t> values_;
  std::span<const std::size_t> starts_;
  std::span<std::int64_t> codes_;
  std::vector<std::size_t> next_;  // next unread position of each run
};

std::int64_t last_code(const std::vector<std::int64_t>& uniques) {
  return static_cast<std::int64_t>(uniques.size()) - 1;
}

// Few runs (instruments): scanning the heads for the least value beats a heap.
void merge_few_runs(Heads& heads, std::vector<std::int64_t>& uniques) {
  const std::size_t runs = heads.runs();
  for (std::size_t r = 0; r < runs; ++r) heads.skip_nat(r);
  for (;;) {
    bool any = false;
    std::int64_t least = 0;
    for (std::size_t r = 0; r < runs; ++r) {
      if (heads.open(r) && (!any || heads.head(r) < least)) {
        least = heads.head(r);
        any = true;
      }
    }
    if (!any) return;
    uniques.push_back(least);
    for (std::size_t r = 0; r < runs; ++r) {
      if (heads.open(r) && heads.head(r) == least) heads.take(r, least, last_code(uniques));
    }
  }
}

// Many runs: a heap of (value, run) picks the least.
void merge_many_runs(Heads& heads, std::vector<std::int64_t>& uniques) {
  using Head = std::pair<std::int64_t, std::size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<>> least;
  for (std::size_t r = 0; r < heads.runs(); ++r) {
    heads.skip_nat(r);
    if (heads.open(r)) least.emplace(heads.head(r), r);
  }
  while (!least.empty()) {
    const auto [value, r] = least.top();
    least.pop();
    if (uniques.empty() || uniques.back() != value) uniques.push_back(value);
    heads.take(r, value, last_code(uniques));
    if (heads.open(r)) least.emplace(heads.head(r), r);
  }
}

}  // namespace

bool factorize_runs(std::span<const std::int64_t> values, std::span<const std::size_t> starts,
                    std::vector<std::int64_t>& uniques, std::span<std::int64_t> codes) {
  uniques.clear();
  const std::size_t runs = starts.empty() ? 0 : starts.size() - 1;
  if (!runs_ascend(values, starts, runs)) return false;
  if (runs == 0) return true;
  if (runs == 1) {
    code_one_run(values, uniques, codes);
    return true;
  }
  Heads heads(values, starts, codes);
  if (runs <= 16) {
    merge_few_runs(heads, uniques);
  } else {
    merge_many_runs(heads, uniques);
  }
  return true;
}

}  // namespace orvane::core
