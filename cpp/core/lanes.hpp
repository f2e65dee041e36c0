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
#include <type_traits>

#include "simd_build.hpp"

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

// Defines `kernel##_best`: `kernel` (an ORVANE_INLINE function) compiled for
// the baseline and for the wider target, the one selected above.
#define ORVANE_LANE_KERNEL(kernel, result, params, args)                 \
  result kernel##_base params { return kernel args; }                    \
  ORVANE_WIDE_TARGET result kernel##_wide params { return kernel args; } \
  result(*const kernel##_best) params =                                  \
      ::orvane::core::lanes::wide_selected() ? kernel##_wide : kernel##_base;

// The two builds, for kernels whose best form differs between them: such a
// kernel is a template of its build, and ORVANE_BUILD_KERNEL compiles
// kernel<Base> for the baseline and kernel<Wide> for the wider target.
struct Base {};
struct Wide {};

#define ORVANE_BUILD_KERNEL(kernel, result, params, args)                          \
  result kernel##_base params { return kernel<::orvane::core::lanes::Base> args; } \
  ORVANE_WIDE_TARGET result kernel##_wide params {                                 \
    return kernel<::orvane::core::lanes::Wide> args;                               \
  }                                                                                \
  result(*const kernel##_best) params =                                            \
      ::orvane::core::lanes::wide_selected() ? kernel##_wide : kernel##_base;

// Half a Lane: two doubles, one register of the baseline.
using Half = double __attribute__((vector_size(16)));

// A Lane as the baseline computes it: its two halves, each held in a
// register. The compiler splits a Lane's arithmetic into such halves well,
// but keeps a Lane variable in memory and lowers its comparisons,
// selections, element reads and shuffles an element at a time through the
// stack; two Halves it keeps in registers and maps each operation,
// comparison and selection to one instruction. The same arithmetic, lane by
// lane, as a Lane's.
struct Halves {
  Half lo, hi;
};
ORVANE_INLINE Halves operator+(Halves a, Halves b) { return {a.lo + b.lo, a.hi + b.hi}; }
ORVANE_INLINE Halves operator-(Halves a, Halves b) { return {a.lo - b.lo, a.hi - b.hi}; }
ORVANE_INLINE Halves operator*(Halves a, Halves b) { return {a.lo * b.lo, a.hi * b.hi}; }
ORVANE_INLINE Halves& operator+=(Halves& a, Halves b) { return a = a + b; }
ORVANE_INLINE Halves& operator-=(Halves& a, Halves b) { return a = a - b; }

// The vector a build's kernels compute in: four lanes either way.
template <class Build>
using Vec = std::conditional_t<std::is_same_v<Build, Wide>, Lane, Halves>;

// f (a generic lambda of vectors or doubles, for comparisons and
// selections) of each register of the arguments: of whole Lanes (and of
// doubles), and of Halves half by half.
template <class F, class V, class... More>
ORVANE_INLINE V each(F f, V v, More... more) {
  if constexpr (std::is_same_v<V, Halves>) {
    return Halves{f(v.lo, more.lo...), f(v.hi, more.hi...)};
  } else {
    return f(v, more...);
  }
}

template <class V>
ORVANE_INLINE V splat_as(double v) {
  if constexpr (std::is_same_v<V, Halves>) {
    return Halves{Half{v, v}, Half{v, v}};
  } else {
    return Lane{v, v, v, v};
  }
}

template <class V>
ORVANE_INLINE V load_as(const double* p) {
  if constexpr (std::is_same_v<V, Halves>) {
    Halves v;
    std::memcpy(&v.lo, p, sizeof v.lo);
    std::memcpy(&v.hi, p + 2, sizeof v.hi);
    return v;
  } else {
    Lane v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
}

template <class V>
ORVANE_INLINE void store_as(double* p, V v) {
  if constexpr (std::is_same_v<V, Halves>) {
    std::memcpy(p, &v.lo, sizeof v.lo);
    std::memcpy(p + 2, &v.hi, sizeof v.hi);
  } else {
    std::memcpy(p, &v, sizeof v);
  }
}

// Lane k of v.
template <class V>
ORVANE_INLINE double lane(V v, std::size_t k) {
  if constexpr (std::is_same_v<V, Halves>) {
    return k < 2 ? v.lo[k] : v.hi[k - 2];
  } else {
    return v[k];
  }
}

// {a[2], a[3], b[0], b[1]}: the later half of a, then the earlier of b.
template <class V>
ORVANE_INLINE V shift_half(V a, V b) {
  if constexpr (std::is_same_v<V, Halves>) {
    return Halves{a.hi, b.lo};
  } else {
    return __builtin_shufflevector(a, b, 2, 3, 4, 5);
  }
}

// Whether every lane of many vectors was finite: v - v is 0 for finite v
// and NaN otherwise, so their sum stays 0 through finite values only.
template <class V>
struct AllFinite {
  V sum = splat_as<V>(0.0);
  ORVANE_INLINE void see(V v) { sum += v - v; }
  ORVANE_INLINE bool all() const {
    bool finite = true;
    for (std::size_t k = 0; k < 4; ++k) finite &= lane(sum, k) == 0.0;
    return finite;
  }
};

// Whether any lane of two vectors ever compared equal, over many comparisons.
template <class V>
struct AnyEqual {
  using Mask = long long __attribute__((vector_size(16)));
  Mask lo = {0, 0}, hi = {0, 0};
  ORVANE_INLINE void see(Halves a, Halves b) {
    lo |= a.lo == b.lo;
    hi |= a.hi == b.hi;
  }
  ORVANE_INLINE bool any() const {
    const Mask both = lo | hi;
    return (both[0] | both[1]) != 0;
  }
};
template <>
struct AnyEqual<Lane> {
  using Mask = long long __attribute__((vector_size(32)));
  Mask seen = {0, 0, 0, 0};
  ORVANE_INLINE void see(Lane a, Lane b) { seen |= a == b; }
  ORVANE_INLINE bool any() const { return (seen[0] | seen[1] | seen[2] | seen[3]) != 0; }
};

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

// Row t of each of four runs `stride` rows apart, as one vector (t may lie
// before the runs' first rows, in the rows ahead of each run).
template <class V>
ORVANE_INLINE V across(const double* x, std::size_t stride, std::ptrdiff_t t) {
  const auto s = static_cast<std::ptrdiff_t>(stride);
  if constexpr (std::is_same_v<V, Halves>) {
    return Halves{Half{x[t], x[s + t]}, Half{x[2 * s + t], x[3 * s + t]}};
  } else {
    return Lane{x[t], x[s + t], x[2 * s + t], x[3 * s + t]};
  }
}

// Rows [t, t + 4) of four runs `stride` rows apart, read as four steps of
// the four lanes; each step's vector V becomes step(V), in order, and the
// results are written to the same rows of `out`. Halves hold runs 0, 1 and
// 2, 3 in their registers, so they transpose two rows of two runs at a time.
template <class V, class Step>
ORVANE_INLINE void four_steps(const double* x, std::size_t stride, std::size_t t, double* out,
                              Step step) {
  if constexpr (std::is_same_v<V, Halves>) {
    const auto rows = [&](std::size_t k, std::size_t i) ORVANE_LAMBDA_INLINE {
      Half h;
      std::memcpy(&h, x + k * stride + t + i, sizeof h);
      return h;
    };
    const auto put = [&](std::size_t k, std::size_t i, Half h) ORVANE_LAMBDA_INLINE {
      std::memcpy(out + k * stride + t + i, &h, sizeof h);
    };
    for (std::size_t i = 0; i < 4; i += 2) {
      const Half a = rows(0, i), b = rows(1, i), c = rows(2, i), d = rows(3, i);
      const Halves first =
          step(Halves{__builtin_shufflevector(a, b, 0, 2), __builtin_shufflevector(c, d, 0, 2)});
      const Halves second =
          step(Halves{__builtin_shufflevector(a, b, 1, 3), __builtin_shufflevector(c, d, 1, 3)});
      put(0, i, __builtin_shufflevector(first.lo, second.lo, 0, 2));
      put(1, i, __builtin_shufflevector(first.lo, second.lo, 1, 3));
      put(2, i, __builtin_shufflevector(first.hi, second.hi, 0, 2));
      put(3, i, __builtin_shufflevector(first.hi, second.hi, 1, 3));
    }
  } else {
    Lane r[4];
    for (std::size_t k = 0; k < 4; ++k) r[k] = load(x + k * stride + t);
    transpose(r[0], r[1], r[2], r[3]);
    for (Lane& v : r) v = step(v);
    transpose(r[0], r[1], r[2], r[3]);
    for (std::size_t k = 0; k < 4; ++k) store(out + k * stride + t, r[k]);
  }
}

// The first Lane-aligned address of caller scratch (doubles); it holds
// `lanes` Lanes when the scratch has lane_doubles(lanes) doubles.
Lane* lane_buffer(double* scratch);
// Doubles of scratch that hold `lanes` Lanes at any alignment.
constexpr std::size_t lane_doubles(std::size_t lanes) { return 4 * lanes + 4; }

}  // namespace orvane::core::lanes
