// Rows of a column taken as pandas takes them, without copying more than the
// rows taken.
#pragma once

#include <pybind11/pybind11.h>

#include "columns.hpp"

namespace orvane::glue {

namespace py = pybind11;

// Rows `indexer` of a Series' values (-1 gives a missing value when
// `allow_fill`), as pandas' take gives them: an extension array for an
// extension dtype, else a numpy array. An Arrow-backed array of several
// chunks is taken chunk by chunk: taking from the whole array at once would
// first copy all its chunks into one.
py::object take(py::handle series, const Int64Array& indexer, bool allow_fill);

}  // namespace orvane::glue
