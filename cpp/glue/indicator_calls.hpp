// The conventions the indicator families beside the averages share: the
// length rule, the series check of orvane_data.ta.utils read from the
// module's dict at each call, one index for several inputs, and results
// named and tagged with their family.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "function.hpp"
#include "roads.hpp"

namespace orvane::glue {

namespace py = pybind11;

// Binds the sibling helper verify_series (from the package's ta.utils) and
// pandas' Series, DataFrame and Index in the module's dict.
void import_indicator_names(py::module_& m);

// The length rule: the (already int) `length` when truthy and positive,
// else the indicator's default.
py::object indicator_length(const py::object& length, long default_length);

// The length rule on several lengths at once: {value, default} each.
template <std::size_t N>
std::array<py::object, N> indicator_lengths(const std::pair<py::object, long> (&lengths)[N]) {
  std::array<py::object, N> out;
  for (std::size_t i = 0; i < N; ++i)
    out[i] = indicator_length(lengths[i].first, lengths[i].second);
  return out;
}

// A length that verify_series has matched against a series' rows.
std::size_t checked_size(const py::object& length);

// The Series an indicator computes on, as verify_series gave them, and
// their float64 values.
struct Inputs {
  std::vector<py::object> series;
  std::vector<Float64Values> values;

  std::size_t rows() const { return values.front().size(); }
  std::span<const double> span(std::size_t i) const { return values[i].span(); }
  // The index every input shares.
  py::object index() const { return series.front().attr("index"); }
};

// verify_series(input, min_length) (min_length left out when null) on each
// input in order; nullopt when any gives None. While the module's
// verify_series is the package's own, its check runs here without the call
// (road "indicators.verify_series"); a replacement put in its place is
// called. Several inputs must have one length and equal indexes (pandas
// would otherwise align them into rows none of them has): ValueError naming
// `func` and the input when they do not. Values that are not numbers raise
// series_float64's TypeError naming `func`.
std::optional<Inputs> verified_inputs(Call& c, const char* func,
                                      std::initializer_list<py::handle> inputs,
                                      std::initializer_list<const char*> names,
                                      const py::object& min_length);

// verified_inputs on the bars of a function whose first three parameters
// are high, low and close.
std::optional<Inputs> verified_bars(Call& c, const char* func, const py::object& min_length);

// The bars of a function of (high, low, close, length) and the length, by
// the length rule with Wilder's default of 14; nullopt when verify_series
// gives None.
struct WilderBars {
  std::size_t length;
  Inputs in;
};
std::optional<WilderBars> wilder_bars(Call& c, const char* func);

// A kernel's scratch of `size` doubles, which it writes before reading:
// left uninitialised, as zeroing megabytes of it would cost more than the
// pass.
struct Scratch {
  explicit Scratch(std::size_t n);
  std::span<double> span() const { return {doubles.get(), size}; }

  std::unique_ptr<double[]> doubles;
  std::size_t size;
};

// A new Series of `values` on `index` named `name`, its attribute `category`
// set to `family`.
py::object indicator_series(Call& c, Float64Array values, const py::handle& index,
                            const std::string& name, const char* family);

// The columns of a result frame: one block of names.size() runs of `rows`
// values, column i at column(i), so the frame holds them without a copy.
class FrameColumns {
 public:
  FrameColumns(std::vector<std::string> names, std::size_t rows);
  std::span<double> column(std::size_t i);

  // A new DataFrame of the columns on `index`, its attribute `category` set
  // to `family`.
  py::object frame(Call& c, const py::handle& index, const char* family) &&;

  // kernel(*this) with the GIL released, the native road `road` recorded,
  // then frame(c, index, family).
  template <class Kernel>
  py::object computed(Call& c, const py::handle& index, const char* family, std::string_view road,
                      Kernel kernel) && {
    {
      py::gil_scoped_release release;
      kernel(*this);
    }
    native_road(road);
    return std::move(*this).frame(c, index, family);
  }

 private:
  std::vector<std::string> names_;
  std::size_t rows_;
  Float64Array block_;
};

}  // namespace orvane::glue
