// Rows grouped by several key columns already numbered in sorted order
// (factorized codes), groups numbered in the sorted order of their keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvane::core {

// Column k holds each row's code in [0, sizes[k]) (negative: missing). Each
// row gets in `group` its group's number, groups numbered in the
// lexicographic order of their codes (a sorted groupby's order); a row with
// a missing key gets -1. Returns the first row of each group. No column
// puts every row in one group.
std::vector<std::size_t> sorted_groups(std::span<const std::span<const std::int64_t>> codes,
                                       std::span<const std::int64_t> sizes,
                                       std::span<std::int64_t> group);

}  // namespace orvane::core
