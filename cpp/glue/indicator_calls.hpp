// The conventions the indicator families beside the averages share: the
// length rule, the series check of orvane_data.ta.utils read from the
// module's dict at each call, one index for several inputs, and results
// named and tagged with their family.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
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
#include "released.hpp"
#include "roads.hpp"

namespace orvane::glue {

namespace py = pybind11;

// Binds the sibling helper verify_series (from the package's ta.utils) and
// pandas' Series, DataFrame and Index in the module's dict.
void import_indicator_names(py::module_& m);

// The length rule: the (already int) `length` when truthy and positive,
// else the indicator's default.
py::object indicator_length(const py::object& length, long default_length);

// A positive int length as a row count, SIZE_MAX for one beyond it (longer
// than any series).
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

// verify_series(input, min_rows) (min_rows left out when 0) on each input
// in order; nullopt when any gives None. While the module's
// verify_series is the package's own, its check runs here without the call
// (road "indicators.verify_series"); a replacement put in its place is
// called. Several inputs must have one length and equal indexes (pandas
// would otherwise align them into rows none of them has): ValueError naming
// `func` and the input when they do not. Values that are not numbers raise
// series_float64's TypeError naming `func`.
std::optional<Inputs> verified_inputs(Call& c, const char* func,
                                      std::initializer_list<py::handle> inputs,
                                      std::initializer_list<const char*> names,
                                      std::size_t min_rows);

// verified_inputs on the bars of a function whose first three parameters
// are high, low and close.
std::optional<Inputs> verified_bars(Call& c, const char* func, std::size_t min_rows);

// A kernel's scratch of `size` doubles, which it writes before reading:
// left uninitialised, as zeroing megabytes of it would cost more than the
// pass.
struct Scratch {
  explicit Scratch(std::size_t n);
  std::span<double> span() const { return {doubles.get(), size}; }

  std::unique_ptr<double[]> doubles;
  std::size_t size;
};

// An indicator with its lengths fixed: the names of its outputs (one makes a
// Series, more a DataFrame), the rows an input needs (fewer give None), the
// scratch its kernel needs for a run of rows, and the kernel over one run of
// rows of each input into one run of each output.
struct Plan {
  using Kernel =
      std::function<void(const std::vector<std::span<const double>>& inputs,
                         std::span<double> scratch, const std::vector<std::span<double>>& outputs)>;
  std::vector<std::string> names;
  std::size_t min_rows;
  std::function<std::size_t(std::size_t rows)> scratch;
  Kernel kernel;
};

// The plan run on verified inputs with the GIL released (section `road`),
// its native road `road` recorded: a Series or a DataFrame on their index, its attribute
// `category` set to `family`.
py::object computed(Call& c, const Plan& plan, const Inputs& in, const char* family,
                    std::string_view road);

// The plan run on each group of rows of `columns` (one-dimensional numeric
// arrays of one length; the rows of group g are bounds[g] to bounds[g + 1],
// an int64 array rising from 0 to that length) with the GIL released
// (section `road`), its native road `road` recorded, into the rows of `out`: a writable float64
// array of one row per output and one column per row of the columns, each
// row contiguous, or None for a new one. A group shorter than min_rows is
// NaN. Returns (names, out, computed): computed is whether any group was
// long enough. ValueError for bounds that do not cut the columns into
// groups or an `out` of another shape.
py::tuple computed_by_groups(const Plan& plan, const py::handle& bounds,
                             std::initializer_list<py::handle> columns, const py::handle& out,
                             std::string_view road);

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

  // kernel(*this) as a pass over the rows (section `road`, see
  // without_gil_over), the native road `road` recorded, then frame(c, index,
  // family).
  template <class Kernel>
  py::object computed(Call& c, const py::handle& index, const char* family, std::string_view road,
                      Kernel kernel) && {
    without_gil_over(road, rows_, [&] { kernel(*this); });
    native_road(road);
    return std::move(*this).frame(c, index, family);
  }

 private:
  std::vector<std::string> names_;
  std::size_t rows_;
  Float64Array block_;
};

}  // namespace orvane::glue
