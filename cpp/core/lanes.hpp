// Four stretches of a series computed side by side, one per lane of a vector.
//
// The window kernels sum blocks of `length` rows one row after the other: a
// dependent addition per row. Cut a chunk into four stretches that start on
// block boundaries and every stretch is at the same row of its block at the
// same step, so one vector carries the four stretches' rows with the block
// logic written once, and the additions of the four run as one instruction.
// Rows are transposed into that layout in groups of four (a 4 x 4 transpose
// in registers) and the results transposed back.
//
// Every lane does exactly the scalar arithmetic of its rows, in the same
// order: results are the same bit for bit whatever the vector width. The
// kernels are compiled twice, for the baseline instruction set and for AVX2
// (chosen once, at run time); neither fuses a multiply and an add, so both
// round every operation on its own.
#pragma once

#include <cstddef>
#include <cstring>

namespace orvane::core::lanes {

using Lane = double __attribute__((vector_size(32)));

// The wider build of a kernel, where the target has one.
#if defined(__x86_64__) && defined(__GNUC__)
#define ORVANE_WIDE_TARGET __attribute__((target("avx2")))
inline bool wide_supported() { return __builtin_cpu_supports("avx2"); }
#else
#define ORVANE_WIDE_TARGET
inline bool wide_supported() { return false; }
#endif
#define ORVANE_INLINE inline __attribute__((always_inline))

// Defines `kernel##_best`: `kernel` (an ORVANE_INLINE function) compiled for
// the baseline and for the wider target, the one this CPU runs best.
#define ORVANE_LANE_KERNEL(kernel, result, params, args)                 \
  result kernel##_base params { return kernel args; }                    \
  ORVANE_WIDE_TARGET result kernel##_wide params { return kernel args; } \
  result(*const kernel##_best) params =                                  \
      ::orvane::core::lanes::wide_supported() ? kernel##_wide : kernel##_base;

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
  using Index = long long __attribute__((vector_size(32)));
  const Lane t0 = __builtin_shuffle(a, b, Index{0, 4, 2, 6});
  const Lane t1 = __builtin_shuffle(a, b, Index{1, 5, 3, 7});
  const Lane t2 = __builtin_shuffle(c, d, Index{0, 4, 2, 6});
  const Lane t3 = __builtin_shuffle(c, d, Index{1, 5, 3, 7});
  a = __builtin_shuffle(t0, t2, Index{0, 1, 4, 5});
  b = __builtin_shuffle(t1, t3, Index{0, 1, 4, 5});
  c = __builtin_shuffle(t0, t2, Index{2, 3, 6, 7});
  d = __builtin_shuffle(t1, t3, Index{2, 3, 6, 7});
}

// into[t] = f({x[t], x[stride + t], x[2 stride + t], x[3 stride + t]}), t < steps.
struct AsRead {
  ORVANE_INLINE Lane operator()(Lane v) const { return v; }
};
template <class F = AsRead>
ORVANE_INLINE void gather(const double* x, std::size_t stride, std::size_t steps, Lane* into,
                          F f = {}) {
  std::size_t t = 0;
  for (; t + 4 <= steps; t += 4) {
    Lane a = load(x + t), b = load(x + stride + t), c = load(x + 2 * stride + t),
         d = load(x + 3 * stride + t);
    transpose(a, b, c, d);
    into[t] = f(a);
    into[t + 1] = f(b);
    into[t + 2] = f(c);
    into[t + 3] = f(d);
  }
  for (; t < steps; ++t) {
    into[t] = f(Lane{x[t], x[stride + t], x[2 * stride + t], x[3 * stride + t]});
  }
}

// The inverse: out[k stride + t] = from[t][k].
ORVANE_INLINE void scatter(const Lane* from, std::size_t stride, std::size_t steps, double* out) {
  std::size_t t = 0;
  for (; t + 4 <= steps; t += 4) {
    Lane a = from[t], b = from[t + 1], c = from[t + 2], d = from[t + 3];
    transpose(a, b, c, d);
    store(out + t, a);
    store(out + stride + t, b);
    store(out + 2 * stride + t, c);
    store(out + 3 * stride + t, d);
  }
  for (; t < steps; ++t) {
    for (std::size_t k = 0; k < 4; ++k) out[k * stride + t] = from[t][k];
  }
}

// Rows per stretch for windows of `length` rows over a series of `rows`:
// whole blocks, a multiple of four (whole transposes). Long stretches keep
// each lane's rows in one sequential run, which the memory system streams
// (at a quarter of the length, a series that misses the caches runs about a
// fifth slower), while the chunk's lane buffers stay within L2; a shorter
// series takes shorter stretches, so that most of it still runs in lanes.
constexpr std::size_t kShortestStretch = 512, kLongestStretch = 4096;
std::size_t stretch_rows(std::size_t length, std::size_t rows);

// The first Lane-aligned address of caller scratch (doubles); it holds
// `lanes` Lanes when the scratch has lane_doubles(lanes) doubles.
Lane* lane_buffer(double* scratch);
// Doubles of scratch that hold `lanes` Lanes at any alignment.
constexpr std::size_t lane_doubles(std::size_t lanes) { return 4 * lanes + 4; }

}  // namespace orvane::core::lanes
