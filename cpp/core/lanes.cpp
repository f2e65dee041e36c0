#include "lanes.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace orvane::core::lanes {

namespace {

bool cpu_has_wide() {
#if defined(__x86_64__) && defined(__GNUC__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool select_wide() {
  const char* forced = std::getenv("ORVANE_SIMD");
  if (forced != nullptr && std::string_view(forced) == "baseline") return false;
  return cpu_has_wide();
}

}  // namespace

bool wide_selected() {
  static const bool wide = select_wide();
  return wide;
}

const char* build_name() { return wide_selected() ? "avx2" : "baseline"; }

Lane* lane_buffer(double* scratch) {
  const auto address = reinterpret_cast<std::uintptr_t>(scratch);
  // the wide build stores whole vectors, which need 32 bytes' alignment even
  // where the baseline type's alignment is less
  constexpr std::uintptr_t align = sizeof(Lane);
  const std::uintptr_t aligned = (address + align - 1) & ~(align - 1);
  return reinterpret_cast<Lane*>(aligned);
}

}  // namespace orvane::core::lanes
