// Distinct values of data laid out as ascending runs (one instrument's
// stamps after another's), found by merging the runs instead of hashing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvane::core {

// Run r spans values[starts[r]] .. values[starts[r + 1] - 1]; NaT (the
// smallest int64) may sit anywhere and is left out. On success `uniques`
// holds the distinct values in ascending order and codes[i] the place of
// values[i] among them (-1 for NaT). Returns false, leaving both
// unspecified, when a run is not ascending.
bool factorize_runs(std::span<const std::int64_t> values, std::span<const std::size_t> starts,
                    std::vector<std::int64_t>& uniques, std::span<std::int64_t> codes);

}  // namespace orvane::core
