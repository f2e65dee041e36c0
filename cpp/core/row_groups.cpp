#include "row_groups.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace orvane::core {
namespace {

struct PairHash {
  std::size_t operator()(const std::pair<std::uint64_t, std::int64_t>& p) const {
    return std::hash<std::uint64_t>()(p.first * 0x9E3779B97F4A7C15ull ^
                                      static_cast<std::uint64_t>(p.second));
  }
};

}  // namespace

std::vector<std::uint64_t> group_ids(std::span<const std::span<const std::int64_t>> keys,
                                     std::size_t n, std::uint64_t& count) {
  // Dense group ids, refined one key column at a time: a row's new id stands
  // for the pair (its id so far, its value in the column).
  std::vector<std::uint64_t> id(n, 0);
  std::uint64_t ids = n ? 1 : 0;
  for (std::span<const std::int64_t> column : keys) {
    if (n == 0) break;
    const auto [lo, hi] = std::minmax_element(column.begin(), column.begin() + n);
    const std::int64_t low = *lo;
    // the value's place in [lo, hi], when that range is small enough to index
    const auto range = static_cast<std::uint64_t>(*hi) - static_cast<std::uint64_t>(low) + 1;
    std::uint64_t next = 0;
    if (range != 0 && range <= n + 1 && ids <= std::max<std::uint64_t>(4 * n, 1 << 16) / range) {
      // few pairs: a direct table
      std::vector<std::uint64_t> seen(ids * range, UINT64_MAX);
      for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t& slot = seen[id[i] * range + static_cast<std::uint64_t>(column[i] - low)];
        if (slot == UINT64_MAX) slot = next++;
        id[i] = slot;
      }
    } else {
      std::unordered_map<std::pair<std::uint64_t, std::int64_t>, std::uint64_t, PairHash> seen;
      seen.reserve(std::min<std::size_t>(n, std::size_t{1} << 20));
      // rows come in runs of one pair (a release's rows): the table is asked
      // only when the pair changes
      std::pair<std::uint64_t, std::int64_t> previous{UINT64_MAX, 0};
      std::uint64_t previous_id = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const std::pair<std::uint64_t, std::int64_t> pair{id[i], column[i]};
        if (pair != previous) {
          auto [it, fresh] = seen.try_emplace(pair, next);
          if (fresh) ++next;
          previous = pair;
          previous_id = it->second;
        }
        id[i] = previous_id;
      }
    }
    ids = next;
  }
  count = ids;
  return id;
}

RowGroups group_rows(std::span<const std::uint64_t> id, std::uint64_t ids) {
  const std::size_t n = id.size();
  // ids count up from 0 in order of first appearance, so the groups sit
  // together exactly when the ids never go down
  RowGroups groups;
  bool together = true;
  for (std::size_t i = 1; i < n && together; ++i) together = id[i] >= id[i - 1];
  if (together) {
    groups.starts.push_back(0);
    for (std::size_t i = 1; i < n; ++i) {
      if (id[i] != id[i - 1]) groups.starts.push_back(i);
    }
    if (n) groups.starts.push_back(n);
    return groups;
  }
  // counting sort by group id keeps each group's rows in table order
  groups.starts.assign(ids + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++groups.starts[id[i] + 1];
  for (std::size_t g = 0; g < ids; ++g) groups.starts[g + 1] += groups.starts[g];
  groups.order.resize(n);
  std::vector<std::size_t> fill(groups.starts.begin(), groups.starts.end() - 1);
  for (std::size_t i = 0; i < n; ++i) groups.order[fill[id[i]]++] = i;
  return groups;
}

RowGroups group_rows(std::span<const std::span<const std::int64_t>> keys, std::size_t n) {
  std::uint64_t count = 0;
  const std::vector<std::uint64_t> id = group_ids(keys, n, count);
  return group_rows(id, count);
}

}  // namespace orvane::core
