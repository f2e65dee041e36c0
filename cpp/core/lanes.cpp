#include "lanes.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>

namespace orvane::core::lanes {

std::size_t stretch_rows(std::size_t length, std::size_t rows) {
  const std::size_t unit = std::lcm(length, std::size_t{4});
  // a chunk (four stretches) of at most a sixteenth of the series
  const std::size_t wanted = std::clamp(rows / 64, kShortestStretch, kLongestStretch);
  return unit * std::max<std::size_t>(1, wanted / unit);
}

Lane* lane_buffer(double* scratch) {
  const auto address = reinterpret_cast<std::uintptr_t>(scratch);
  // the wide build stores whole vectors, which need 32 bytes' alignment even
  // where the baseline type's alignment is less
  constexpr std::uintptr_t align = sizeof(Lane);
  const std::uintptr_t aligned = (address + align - 1) & ~(align - 1);
  return reinterpret_cast<Lane*>(aligned);
}

}  // namespace orvane::core::lanes
