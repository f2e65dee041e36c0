// What differs between the pandas release lines the package runs on (2.2 to
// the newest), each difference named once, here, so that no module asks which
// pandas it runs on:
// - Arrow string arrays: pandas 3 builds one with the dtype it is given
//   (storage and missing-value marker); on pandas 2 each array class stands
//   for one dtype and takes no dtype argument.
// - Units of stamps read from Timestamp objects (a frame built from rows):
//   pandas 3 keeps the stamps' own unit, pandas 2 makes them nanoseconds.
// - Naive minutes joined with Arrow stamps: pandas 2 gives the joined
//   column Arrow's stamps (in the minutes' unit), pandas 3 keeps the
//   minutes' own dtype.
// - Zone names: pandas 3 resolves them to zoneinfo zones, pandas 2 to pytz
//   zones with pytz's own transitions (zone_tables.hpp reads either kind, so
//   the zone objects themselves, not the pandas line, decide).
// - Default text dtype: pandas 3 holds texts in Arrow strings, pandas 2 in
//   objects (text_columns in arrow_texts.hpp tells every holding apart).
// - A Series' numpy values: pandas 3 hands out a read-only view of them and,
//   unless told that no copy may be made, first works out whether the array
//   asked for is a view (a fifth of a small call's read); pandas 2.2.0 and
//   2.2.1 take no copy argument.
// - Numbers held without a copy: told that no copy may be made, pandas 3's
//   array protocol hands out the array a Series holds its values in (a
//   numpy dtype's, or a nullable dtype's when nothing is missing) and
//   raises ValueError where it would need a copy (missing values,
//   categoricals, Arrow, intervals); pandas 2's converts whatever it must,
//   categoricals too, so there only the dtype tells.
// - Series around a block manager: pandas 2.1 and later (every line the
//   package runs on) build their own results with
//   SingleBlockManager.from_array and Series._from_mgr, the manager
//   constructor behind Series._constructor_from_mgr; for a float64 array on
//   an Index that is what the public constructor ends in, after checks that
//   cost six times the building (a small call's largest part).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace orvane::glue {

namespace py = pybind11;

// An Arrow string array of `like`'s class and dtype holding `arrow_values` (a
// pyarrow array of the same Arrow type), without a copy.
py::object arrow_string_array(py::handle like, py::handle arrow_values);

// The unit of the column pandas builds from Timestamp objects of unit `unit`.
std::string unit_of_stamp_objects(const std::string& unit);

// A stamp Series in the unit pandas gives a column built from its values as
// Timestamp objects (what an element-by-element formulation returns).
py::object as_built_from_stamp_objects(py::object stamps);

// The column a join on naive `minutes` (datetime64) against Arrow stamps
// leaves: the minutes, in the dtype the join gives them.
py::object minutes_joined_with_arrow(py::object minutes);

// The values of a Series whose dtype is a numpy dtype, as its array protocol
// gives them: the Series' own array, or a view of it, never a copy.
py::object numpy_dtype_values(py::handle series);

// The numbers a Series holds in a numpy array of a numeric dtype (booleans,
// integers, floats), that array or a view of it; a null handle, with nothing
// copied, for any other Series. On pandas 3 its dtype is not read: the array
// handed out tells.
py::object held_numbers(py::handle series);

// Why the running pandas builds no Series around a block manager, naming its
// line ("pandas 2.0 has no Series._from_mgr"); nullptr where it does.
// Read once.
const char* manager_series_ineligible();

// The Series pandas' own operations build around `values` (a 1-D float64
// array the caller owns, as long as `index`, a pandas Index) named `name`
// (a str or None): what Series(values, index, None, name, False) gives.
// Only where manager_series_ineligible() is nullptr.
py::object manager_series(py::handle values, py::handle index, py::handle name);

}  // namespace orvane::glue
