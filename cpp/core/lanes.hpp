// Four runs of a series computed side by side, one per lane of a vector.
//
// The window kernels sum blocks of `length` rows one row after the other: a
// dependent addition per row. Cut a stretch of whole blocks into four runs and
// every run is at the same row of its block at the same step, so one vector
// carries the four runs' rows with the block logic written once, and the
// additions of the four run as one instruction. Rows are read four of a run at
// a time and transposed in registers into that layout (a 4 x 4 transpose), and
// the results transposed back as they are written. Each lane so reads and
// writes one sequential run, which the memory system streams.
//
// Every lane does exactly the scalar arithmetic of its rows, in the same
// order: results are the same bit for bit whatever the vector width. The
// kernels are compiled twice, for the baseline instruction set and for AVX2
// (chosen once, at run time); neither fuses a multiply and an add (the core
// is built with floating-point contraction off), so both round every
// operation on its own.
#pragma once

#include <cstddef>
#include <cstring>

namespace orvane::core::lanes {

using Lane = double __attribute__((vector_size(32)));

// The wider build of a kernel, where the target has one.
#if defined(__x86_64__) && defined(__GNUC__)
#define ORVANE_WIDE_TARGET __attribute__((target("avx2")))
#else
#define ORVANE_WIDE_TARGET
#endif
#define ORVANE_INLINE inline __attribute__((always_inline))
// A lambda that takes or returns a Lane is inlined like the kernel it is
// written in: called, it would be a function of the baseline build passing a
// vector the wider build expects in a register.
#define ORVANE_LAMBDA_INLINE __attribute__((always_inline))

// Whether the kernels run their wider build: read once, when the library
// loads, from ORVANE_SIMD ("baseline" or "avx2", so that tests can run
// either build on one machine) and else the best the CPU has. "avx2" on a
// CPU without it runs the baseline: the wide build would not execute there.
bool wide_selected();
// The name of the build the kernels run: "avx2" or "baseline".
const char* build_name();

// Defines `kernel##_best`: `kernel` (an ORVANE_INLINE function) compiled for
// the baseline and for the wider target, the one selected above.
#define ORVANE_LANE_KERNEL(kernel, result, params, args)                 \
  result kernel##_base params { return kernel args; }                    \
  ORVANE_WIDE_TARGET result kernel##_wide params { return kernel args; } \
  result(*const kernel##_best) params =                                  \
      ::orvane::core::lanes::wide_selected() ? kernel##_wide : kernel##_base;

ORVANE_INLINE Lane splat(double v) { return Lane{v, v, v, v}; }

ORVANE_INLINE Lane load(const double* p) {
  Lane v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

ORVANE_INLINE void store(double* p, Lane v) { std::memcpy(p, &v, sizeof v); }

// Rows a, b, c, d (four consecutive values each) become four lanes of one
// step each: r[k] = {a[k], b[k], c[k], d[k]}. Its own inverse.
ORVANE_INLINE void transpose(Lane& a, Lane& b, Lane& c, Lane& d) {
  const Lane t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
  const Lane t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
  const Lane t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
  const Lane t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
  a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Row t of each of four runs `stride` rows apart, as one Lane (t may lie
// before the runs' first rows, in the rows ahead of each run).
ORVANE_INLINE Lane across(const double* x, std::size_t stride, std::ptrdiff_t t) {
  const auto s = static_cast<std::ptrdiff_t>(stride);
  return Lane{x[t], x[s + t], x[2 * s + t], x[3 * s + t]};
}

// Rows [t, t + 4) of four runs `stride` rows apart, read as four steps of
// the four lanes; each step's Lane becomes step(Lane), in order, and the
// results are written to the same rows of `out`.
template <class Step>
ORVANE_INLINE void four_steps(const double* x, std::size_t stride, std::size_t t, double* out,
                              Step step) {
  Lane r[4];
  for (std::size_t k = 0; k < 4; ++k) r[k] = load(x + k * stride + t);
  transpose(r[0], r[1], r[2], r[3]);
  for (Lane& v : r) v = step(v);
  transpose(r[0], r[1], r[2], r[3]);
  for (std::size_t k = 0; k < 4; ++k) store(out + k * stride + t, r[k]);
}

// The first Lane-aligned address of caller scratch (doubles); it holds
// `lanes` Lanes when the scratch has lane_doubles(lanes) doubles.
Lane* lane_buffer(double* scratch);
// Doubles of scratch that hold `lanes` Lanes at any alignment.
constexpr std::size_t lane_doubles(std::size_t lanes) { return 4 * lanes + 4; }

}  // namespace orvane::core::lanes
