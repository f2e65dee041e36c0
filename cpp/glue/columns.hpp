// The boundary between pandas objects and the core's buffers: int64 ticks of
// datetime columns (unit and zone kept to go back to the same dtype), label
// codes in pandas' sort order, and the builders of result columns and
// frames. Float64 values live beside it in arrays.hpp.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::glue {

namespace py = pybind11;

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

std::span<const std::int64_t> view(const Int64Array& array);
std::span<std::int64_t> writable(Int64Array& array);
// A new, uninitialised int64 array of n entries.
Int64Array new_int64(std::size_t n);
// The values as a numpy int64 array (moved into it, no copy of the buffer).
Int64Array int64_array(std::vector<std::int64_t>&& values);
// Any integer array-like (codes, positions) as contiguous int64.
Int64Array as_int64(py::handle values);

// Ticks per second of a datetime unit ("s", "ms", "us", "ns"), 0 for any other.
std::int64_t ticks_per_second(std::string_view unit);

// The stamps of a datetime column: for aware dtypes the UTC instants, for
// naive ones the wall clock; NaT is core::not_a_time.
struct Stamps {
  Int64Array ticks;
  std::string unit;
  std::int64_t per_second = 0;
  py::object zone;   // None when naive
  py::object dtype;  // the column's own dtype, which results are given back in

  bool naive() const { return zone.is_none(); }
  std::span<const std::int64_t> span() const { return view(ticks); }
};

// The stamps of a Series, a DatetimeIndex or an index level of a datetime
// dtype (numpy datetime64 or pandas' zone-aware one); nullopt for any other
// dtype.
std::optional<Stamps> datetime_stamps(py::handle values);

// The wall-clock ticks of a datetime Series: naive stamps as they
// are, zone-aware ones as their zone's clock shows them.
Int64Array wall_clock_ticks(py::handle values);

// Datetime objects (or texts numpy reads as datetime64) as ticks of `unit`.
Int64Array ticks_of_objects(py::handle objects, const std::string& unit);

// The same for a Series of any stamp storage: Arrow time stamps are read as
// the datetime64 column of the same unit and zone (nulls as NaT), which
// pandas' joins treat as equal to them.
std::optional<Stamps> stored_stamps(py::handle series);

// Arrow dates and time stamps (date32, date64, timestamp) as the datetime64
// column (Series or Index) of the same dates and instants: a date32 as
// midnights in seconds, a date64 in milliseconds, a stamp in its own unit
// and zone, nulls as NaT; any other column (or list, array) as it is. What pandas' datetime
// functions (to_datetime, .dt) do with Arrow's own dates changes between
// releases, even patch releases; with datetime64 it does not.
py::object arrow_dates_as_datetime64(py::handle values);

// Ticks read as `like`'s stamps (UTC instants for an aware dtype), given back
// in its dtype, without copying naive ones.
py::object stamps_index(const Int64Array& ticks, const Stamps& like, py::handle name = py::none());
py::object stamps_series(const Int64Array& ticks, const Stamps& like, py::handle index,
                         py::handle name = py::none());

// The order label codes number the distinct values in.
enum class LabelOrder {
  sorted,      // as sort_values puts them: `pd.factorize(values, sort=True)`
  first_seen,  // as the rows first show them: `pd.factorize(values)`
};

// Each row's code into the distinct values (`uniques`) in `order`; missing
// values get code -1 and are not among them.
struct LabelCodes {
  Int64Array codes;
  py::object uniques;
};
LabelCodes label_codes(py::handle values, LabelOrder order = LabelOrder::sorted);

// The place of each of `values` among the distinct `uniques` (-1: not among
// them), as `pd.Index(uniques).get_indexer(values)` finds it.
Int64Array places_among(py::handle uniques, py::handle values);

// Whether a column's dtype is pandas' categorical one.
bool is_categorical(py::handle values);

// Whether a column holds texts whatever its dtype (str, string of either
// storage, object, categorical): pandas' joins compare such keys by value.
bool holds_texts(py::handle values);

// Whether label_codes of `values` order them as sort_values does, whatever
// pandas line made them: a categorical (codes in category order), or texts
// held as Python strings (`string[python]`, or objects holding only texts
// and missing values, pandas 2's default).
bool labels_in_sort_order(py::handle values);

// The object-column rule: a numpy array of objects goes into a frame as a
// Series of dtype object (a bare one of texts would be inferred as pandas'
// str dtype); any other column as it is.
py::object frame_column(py::object values);

// A column's values as Python objects, each boxed as pandas boxes it (a
// Timestamp of the column's zone for a stamp): `values.astype(object)`.
py::object object_values(py::handle values);

// datetime.date objects of whole days since 1970-01-01 (an int64 array).
py::object date_objects(py::handle days);

// A Series of dtype object over `values`, on `index`.
py::object object_series(py::handle values, py::handle index);

// `frame_type({label: column, ...}, copy=False)` with the labels in order;
// each column passes the object-column rule.
py::object frame_of(py::handle frame_type, const py::list& labels, const py::list& columns);

// The same frame with its columns labelled `pd.Index(labels)`, the labels'
// own index whatever the dict's keys made of them.
py::object frame_labelled(py::handle frame_type, const py::list& labels, const py::list& columns);

}  // namespace orvane::glue
