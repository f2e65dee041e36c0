// The pandas objects a native function hands back, built the way that costs
// least through pandas' public constructors.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::glue {

namespace py = pybind11;

// series_type(values, index, None, name, False), the constructor's data,
// index, dtype, name and copy: the values are the result's own, so pandas
// keeps them as they are.
py::object new_series(py::handle series_type, py::handle values, py::handle index, py::handle name);

// Sets the attribute `category` of `result` to `family` (a str), past
// pandas' __setattr__, which would write into the data when the labels hold
// that name.
void set_category(py::handle result, py::handle family);

}  // namespace orvane::glue
