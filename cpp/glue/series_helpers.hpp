// The work of the indicators' series helpers (orvane_data.ta.utils): the
// input check, the row offset and the fill options. The helpers' module
// binds them; an indicator whose module still holds the package's own
// helpers runs them from here, with no Python call.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <utility>

#include "arrays.hpp"

namespace orvane::glue {

namespace py = pybind11;

// `series` when it is an instance of `series_type` with at least `min_length`
// rows (no minimum when None; an int otherwise), else None. TypeError
// "expected a pandas Series, got <type>" when it is no Series.
py::object verified_series(const py::object& series, const py::object& min_length,
                           py::handle series_type);

// An indicator's input Series once checked, its values read at most once.
class SeriesInput {
 public:
  // What a verify_series put in the package's place handed back: None or a
  // Series, taken as it is.
  explicit SeriesInput(py::object series) : series_(std::move(series)) {}

  // verified_series(series, min_length, series_type). A pandas Series that
  // holds numbers in a numpy array (held_float64) is counted by its values,
  // read now: its index would count the rows in Python.
  static SeriesInput verified(const py::object& series, const py::object& min_length,
                              py::handle series_type);

  bool is_none() const { return series_.is_none(); }
  const py::object& series() const { return series_; }
  py::object index() const;
  // series_float64(series, func), or the values read at the check.
  Float64Values values(const char* func);

 private:
  // Checked in place: built where it is returned, never moved (a moved
  // optional of values reads to the compiler as maybe uninitialised).
  SeriesInput(const py::object& series, const py::object& min_length, py::handle series_type);

  py::object series_;
  std::optional<Float64Values> values_;
};

// `series` shifted by `offset` rows (an int or None): itself when none.
py::object offset_series(const py::object& series, const py::object& offset);

// Whether `options` ask for a fill: a `fillna` or `fill_method` not None.
bool asks_fills(const py::dict& options);

// `series` with the fills `options` ask for: `fillna` first, then
// `fill_method` ("ffill" or "bfill", ValueError otherwise).
py::object filled_series(py::object series, const py::dict& options);

}  // namespace orvane::glue
