// Which build of the kernels runs: asked by callers that need only its
// name or choice, without the vector types of lanes.hpp (a vector return
// type seen outside the wide build changes the ABI there).
#pragma once

namespace orvane::core::lanes {

// Whether the kernels run their wider build: read once, when the library
// loads, from ORVANE_SIMD ("baseline" or "avx2", so that tests can run
// either build on one machine) and else the best the CPU has. "avx2" on a
// CPU without it runs the baseline: the wide build would not execute there.
bool wide_selected();
// The name of the build the kernels run: "avx2" or "baseline".
const char* build_name();

}  // namespace orvane::core::lanes
