#include "sorted_groups.hpp"

#include <algorithm>
#include <stdexcept>

namespace orvane::core {
namespace {

// Renumbers the combined keys of the rows (negative: missing) densely in
// ascending order; returns how many distinct keys there are. `bound` is one
// past the largest key.
std::int64_t compress(std::span<std::int64_t> key, std::uint64_t bound) {
  const std::size_t n = key.size();
  if (bound <= 4 * static_cast<std::uint64_t>(n) + (1u << 16)) {
    // a table over every possible key: mark those present, number them in order
    std::vector<std::int64_t> number(bound, -1);
    for (const std::int64_t k : key) {
      if (k >= 0) number[k] = 0;
    }
    std::int64_t next = 0;
    for (std::int64_t& slot : number) {
      if (slot == 0) slot = next++;
    }
    for (std::int64_t& k : key) {
      if (k >= 0) k = number[k];
    }
    return next;
  }
  std::vector<std::int64_t> present;
  for (const std::int64_t k : key) {
    if (k >= 0) present.push_back(k);
  }
  std::sort(present.begin(), present.end());
  present.erase(std::unique(present.begin(), present.end()), present.end());
  for (std::int64_t& k : key) {
    if (k >= 0) k = std::lower_bound(present.begin(), present.end(), k) - present.begin();
  }
  return static_cast<std::int64_t>(present.size());
}

}  // namespace

// Keys up to this bound are numbered through a table over every possible key.
std::uint64_t table_bound(std::size_t n) { return 4 * static_cast<std::uint64_t>(n) + (1u << 16); }

std::vector<std::size_t> sorted_groups(std::span<const std::span<const std::int64_t>> codes,
                                       std::span<const std::int64_t> sizes,
                                       std::span<std::int64_t> group) {
  const std::size_t n = group.size();
  if (codes.size() != sizes.size())
    throw std::invalid_argument("sorted_groups: one size per column");
  std::fill(group.begin(), group.end(), 0);
  // the columns' codes combine into one key, (key so far) * size + code, in
  // sorted order; the key is numbered densely again only when the next
  // column would take it beyond the table's bound
  std::uint64_t bound = 1;
  for (std::size_t c = 0; c < codes.size(); ++c) {
    if (codes[c].size() != n)
      throw std::invalid_argument("sorted_groups: columns differ in length");
    const std::int64_t size = std::max<std::int64_t>(sizes[c], 1);
    const auto usize = static_cast<std::uint64_t>(size);
    if (bound > table_bound(n) / usize) bound = static_cast<std::uint64_t>(compress(group, bound));
    for (std::size_t i = 0; i < n; ++i) {
      const std::int64_t code = codes[c][i];
      if (group[i] < 0 || code < 0 || code >= size) {
        group[i] = -1;
      } else {
        group[i] = group[i] * size + code;
      }
    }
    bound *= usize;
  }
  const std::int64_t count = n ? compress(group, bound) : 0;
  std::vector<std::size_t> first(static_cast<std::size_t>(count), n);
  for (std::size_t i = n; i-- > 0;) {
    if (group[i] >= 0) first[group[i]] = i;
  }
  return first;
}

}  // namespace orvane::core
