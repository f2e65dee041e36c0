// The work of the indicators' series helpers (orvane_data.ta.utils): the
// input check, the row offset and the fill options. The helpers' module
// binds them; an indicator whose module still holds the package's own
// helpers runs them from here, with no Python call.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::glue {

namespace py = pybind11;

// `series` when it is an instance of `series_type` with at least `min_length`
// rows (no minimum when None; an int otherwise), else None. TypeError
// "expected a pandas Series, got <type>" when it is no Series.
py::object verified_series(const py::object& series, const py::object& min_length,
                           py::handle series_type);

// `series` shifted by `offset` rows (an int or None): itself when none.
py::object offset_series(const py::object& series, const py::object& offset);

// Whether `options` ask for a fill: a `fillna` or `fill_method` not None.
bool asks_fills(const py::dict& options);

// `series` with the fills `options` ask for: `fillna` first, then
// `fill_method` ("ffill" or "bfill", ValueError otherwise).
py::object filled_series(py::object series, const py::dict& options);

}  // namespace orvane::glue
