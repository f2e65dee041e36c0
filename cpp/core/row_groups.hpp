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
// When every group's rows already sit together in the table, `order` is
// left empty: the table order is the grouped order.
struct RowGroups {
  std::vector<std::size_t> order;
  std::vector<std::size_t> starts;
  std::size_t count() const { return starts.empty() ? 0 : starts.size() - 1; }
  bool in_place() const { return order.empty(); }
  std::size_t row(std::size_t k) const { return order.empty() ? k : order[k]; }
};

// Each row's group as a number counting up from 0 in order of first
// appearance, rows grouped by their combination of values in `keys` (each
// column n long; no key column puts every row in one group). `count` is set
// to the number of groups.
std::vector<std::uint64_t> group_ids(std::span<const std::span<const std::int64_t>> keys,
                                     std::size_t n, std::uint64_t& count);

// The rows of each group, from those ids.
RowGroups group_rows(std::span<const std::uint64_t> ids, std::uint64_t count);

RowGroups group_rows(std::span<const std::span<const std::int64_t>> keys, std::size_t n);

}  // namespace orvane::core
