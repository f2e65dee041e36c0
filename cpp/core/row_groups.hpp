// Rows of a table grouped by the values of several integer key columns, each
// group keeping its rows in their own order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvane::core {

// `order` lists the rows group by group, groups in order of first
// appearance and the rows of a group in table order; group g holds
// order[starts[g]] .. order[starts[g + 1] - 1], so starts has one entry more
// than there are groups.
struct RowGroups {
  std::vector<std::size_t> order;
  std::vector<std::size_t> starts;
  std::size_t count() const { return starts.empty() ? 0 : starts.size() - 1; }
};

// Groups the n rows by their combination of values in `keys` (each column n
// long). No key column puts every row in one group.
RowGroups group_rows(std::span<const std::span<const std::int64_t>> keys, std::size_t n);

}  // namespace orvane::core
