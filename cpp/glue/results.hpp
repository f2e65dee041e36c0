// The pandas objects a native function hands back, built the way that costs
// least through pandas' public constructors.
#pragma once

#include <pybind11/pybind11.h>

#include "arrays.hpp"

namespace orvane::glue {

namespace py = pybind11;

// series_type(values, index, None, name, False), the constructor's data,
// index, dtype, name and copy: the values are the result's own, so pandas
// keeps them as they are.
//
// Road "results.manager_series": where the running pandas builds Series
// around a block manager (manager_series_ineligible in pandas_lines.hpp),
// `series_type` is pandas' own Series, `index` a pandas Index of the values'
// length and `name` a str or None, the Series is built the way pandas'
// own operations build theirs, a seventh of the constructor's cost, and is
// the same object the constructor would give (values, index, name, dtype,
// flags, attrs). Otherwise the public constructor, with the reason counted.
py::object new_series(py::handle series_type, const Float64Array& values, py::handle index,
                      py::handle name);

// Sets the attribute `category` of `result` to `family` (a str), past
// pandas' __setattr__, which would write into the data when the labels hold
// that name.
void set_category(py::handle result, py::handle family);

}  // namespace orvane::glue
