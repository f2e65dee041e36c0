// The conventions the indicator families beside the averages share: the
// length rule, the series check of orvane_data.ta.utils read from the
// module's dict at each call, one index for several inputs, and results
// named and tagged with their family.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "function.hpp"

namespace orvane::glue {

namespace py = pybind11;

// Binds the sibling helper verify_series (from the package's ta.utils) and
// pandas' Series and DataFrame in the module's dict.
void import_indicator_names(py::module_& m);

// The length rule: the (already int) `length` when truthy and positive,
// else the indicator's default.
py::object indicator_length(const py::object& length, long default_length);

// A length that verify_series has matched against a series' rows.
std::size_t checked_size(const py::object& length);

// The Series an indicator computes on, as verify_series gave them, and
// their float64 values.
struct Inputs {
  std::vector<py::object> series;
  std::vector<Float64Values> values;
};

// verify_series(input, min_length) (min_length left out when null), read
// from the module now, on each input in order; nullopt when any gives None.
// Several inputs must have one length and equal indexes (pandas would
// otherwise align them into rows none of them has): ValueError naming `func`
// and the input when they do not. Values that are not numbers raise
// series_float64's TypeError naming `func`.
std::optional<Inputs> verified_inputs(Call& c, const char* func,
                                      std::initializer_list<py::handle> inputs,
                                      std::initializer_list<const char*> names,
                                      const py::object& min_length);

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

 private:
  std::vector<std::string> names_;
  std::size_t rows_;
  Float64Array block_;
};

}  // namespace orvane::glue
