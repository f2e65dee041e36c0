#include "lanes.hpp"

#include <cstdint>

namespace orvane::core::lanes {

Lane* lane_buffer(double* scratch) {
  const auto address = reinterpret_cast<std::uintptr_t>(scratch);
  // the wide build stores whole vectors, which need 32 bytes' alignment even
  // where the baseline type's alignment is less
  constexpr std::uintptr_t align = sizeof(Lane);
  const std::uintptr_t aligned = (address + align - 1) & ~(align - 1);
  return reinterpret_cast<Lane*>(aligned);
}

}  // namespace orvane::core::lanes
