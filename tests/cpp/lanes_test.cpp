#include "core/lanes.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace lanes = orvane::core::lanes;

// The helpers below pass Lanes between functions of this file only, all
// compiled for one target: the AVX calling convention the compilers warn of
// never meets the baseline's here.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

using Four = std::array<double, 4>;

template <class V>
Four lanes_of(V v) {
  return {lanes::lane(v, 0), lanes::lane(v, 1), lanes::lane(v, 2), lanes::lane(v, 3)};
}

template <class V>
V vector_of(const Four& f) {
  return lanes::load_as<V>(f.data());
}

// four_steps over three groups of four rows of four runs, each step's
// vector recorded and returned plus its step's number.
template <class V>
std::vector<double> stepped(const std::vector<double>& x, std::size_t stride,
                            std::vector<Four>& seen) {
  std::vector<double> out(x.size(), NaN);
  for (std::size_t t = 0; t < stride; t += 4) {
    double number = 0.0;
    lanes::four_steps<V>(x.data(), stride, t, out.data(), [&](V v) {
      seen.push_back(lanes_of(v));
      return v + lanes::splat_as<V>(number++);
    });
  }
  return out;
}

TEST(Lanes, BothBuildsStepTheRunsRowByRow) {
  constexpr std::size_t stride = 12;
  std::vector<double> x(4 * stride);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1.0 + static_cast<double>(i) * 0.5;
  std::vector<Four> seen_lanes, seen_halves;
  const auto out_lanes = stepped<lanes::Lane>(x, stride, seen_lanes);
  const auto out_halves = stepped<lanes::Halves>(x, stride, seen_halves);
  ASSERT_EQ(seen_lanes.size(), stride);
  for (std::size_t t = 0; t < stride; ++t) {
    // step t sees row t of each run, and its result lands on those rows
    for (std::size_t k = 0; k < 4; ++k) {
      const double row = x[k * stride + t];
      EXPECT_EQ(seen_lanes[t][k], row) << t << " " << k;
      EXPECT_EQ(seen_halves[t][k], row) << t << " " << k;
      EXPECT_EQ(out_lanes[k * stride + t], row + static_cast<double>(t % 4)) << t << " " << k;
      EXPECT_EQ(out_halves[k * stride + t], row + static_cast<double>(t % 4)) << t << " " << k;
    }
  }
  EXPECT_EQ(lanes_of(lanes::across<lanes::Halves>(x.data(), stride, 5)),
            lanes_of(lanes::across<lanes::Lane>(x.data(), stride, 5)));
}

// Pairs of rows with every kind of value the kernels compare: equal,
// unequal, signed zeros, NaN and infinities.
const std::array<std::pair<Four, Four>, 5> kPairs = {{
    {{1.0, 2.0, 3.0, 4.0}, {1.5, 2.5, 3.5, 4.5}},
    {{1.0, 2.0, 3.0, 4.0}, {0.0, 0.0, 0.0, 4.0}},
    {{0.0, NaN, 5.0, 6.0}, {-0.0, NaN, 7.0, 8.0}},
    {{Inf, 1.0, 2.0, 3.0}, {Inf, 2.0, 3.0, 4.0}},
    {{-Inf, 1.0, NaN, 3.0}, {1.0, 2.0, 3.0, 3.5}},
}};

template <class V>
void expect_primitives_follow_the_doubles() {
  for (const auto& [a, b] : kPairs) {
    lanes::AnyEqual<V> tied;
    lanes::AllFinite<V> finite;
    tied.see(vector_of<V>(a), vector_of<V>(b));
    finite.see(vector_of<V>(a));
    bool any_equal = false, all_finite = true;
    for (std::size_t k = 0; k < 4; ++k) {
      any_equal |= a[k] == b[k];
      all_finite &= std::isfinite(a[k]);
    }
    EXPECT_EQ(tied.any(), any_equal);
    EXPECT_EQ(finite.all(), all_finite);
    // a selection, lane by lane, keeps each lane's own bits
    const V picked =
        lanes::each([](auto x, auto y) { return x < y ? x : y; }, vector_of<V>(a), vector_of<V>(b));
    const Four shifted = lanes_of(lanes::shift_half(vector_of<V>(a), vector_of<V>(b)));
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(lanes::lane(picked, k)),
                std::bit_cast<std::uint64_t>(a[k] < b[k] ? a[k] : b[k]));
    }
    using Bits = std::array<std::uint64_t, 4>;
    EXPECT_EQ(std::bit_cast<Bits>(shifted), std::bit_cast<Bits>(Four{a[2], a[3], b[0], b[1]}));
  }
}

TEST(Lanes, HalvesCompareAndSelectAsLanes) {
  expect_primitives_follow_the_doubles<lanes::Lane>();
  expect_primitives_follow_the_doubles<lanes::Halves>();
}

}  // namespace
