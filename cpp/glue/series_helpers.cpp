#include "series_helpers.hpp"

#include <string>

#include "checks.hpp"
#include "function.hpp"
#include "interned.hpp"
#include "pyops.hpp"

namespace orvane::glue {

namespace {

// TypeError "expected a pandas Series, got <type>" unless `series` is one.
void check_series(const py::object& series, py::handle series_type) {
  const int is_series = PyObject_IsInstance(series.ptr(), series_type.ptr());
  if (is_series < 0) throw py::error_already_set();
  if (is_series == 0) {
    raise(PyExc_TypeError, "expected a pandas Series, got " + type_name(series));
  }
}

// Whether `rows` falls short of `min_length` (an int; one beyond a
// long long can never be met).
bool fewer_than(Py_ssize_t rows, const py::object& min_length) {
  int overflow = 0;
  const long long needed = PyLong_AsLongLongAndOverflow(min_length.ptr(), &overflow);
  if (needed == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow > 0 || (overflow == 0 && rows < needed);
}

// The rows of an instance of `series_type`: a pandas Series has as many
// rows as labels, and its index counts them for less than the Series' own
// __len__; a subclass is asked itself.
Py_ssize_t rows_of(const py::object& series, py::handle series_type) {
  if (Py_TYPE(series.ptr()) != reinterpret_cast<PyTypeObject*>(series_type.ptr())) {
    return py::len(series);
  }
  PyObject* index = PyObject_GetAttr(series.ptr(), interned<"index">());
  if (!index) throw py::error_already_set();
  return py::len(py::reinterpret_steal<py::object>(index));
}

}  // namespace

py::object verified_series(const py::object& series, const py::object& min_length,
                           py::handle series_type) {
  check_series(series, series_type);
  if (min_length.is_none() || !fewer_than(rows_of(series, series_type), min_length)) return series;
  return py::none();
}

SeriesInput SeriesInput::verified(const py::object& series, const py::object& min_length,
                                  py::handle series_type) {
  return SeriesInput(series, min_length, series_type);
}

SeriesInput::SeriesInput(const py::object& series, const py::object& min_length,
                         py::handle series_type) {
  check_series(series, series_type);
  series_ = series;
  if (min_length.is_none()) return;
  const bool plain = Py_TYPE(series.ptr()) == reinterpret_cast<PyTypeObject*>(series_type.ptr());
  if (plain) values_ = held_float64(series);
  const Py_ssize_t rows =
      values_ ? static_cast<Py_ssize_t>(values_->size()) : rows_of(series, series_type);
  if (fewer_than(rows, min_length)) {
    series_ = py::none();
    values_.reset();
  }
}

py::object SeriesInput::index() const {
  PyObject* index = PyObject_GetAttr(series_.ptr(), interned<"index">());
  if (!index) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(index);
}

Float64Values SeriesInput::values(const char* func) {
  if (values_) return *std::exchange(values_, std::nullopt);
  return series_float64(series_, func);
}

py::object offset_series(const py::object& series, const py::object& offset) {
  if (offset.is_none() || !truthy(offset)) return series;
  return series.attr("shift")(offset);
}

namespace {
// The option `key` when given and not None; a null handle otherwise.
py::object option(const py::dict& options, const char* key) {
  PyObject* value = dict_entry(options, key);
  if (value == nullptr || value == Py_None) return py::object();
  return py::reinterpret_borrow<py::object>(value);
}
}  // namespace

bool asks_fills(const py::dict& options) {
  return option(options, "fillna") || option(options, "fill_method");
}

py::object filled_series(py::object series, const py::dict& options) {
  if (py::object value = option(options, "fillna")) series = series.attr("fillna")(value);
  if (py::object method = option(options, "fill_method")) {
    check_str(method, "fill_method");
    // compared as Python texts: any str may arrive, lone surrogates included
    const bool ffill = method.equal(py::str("ffill"));
    if (!ffill && !method.equal(py::str("bfill"))) {
      PyErr_Format(PyExc_ValueError, "fill_method must be 'ffill' or 'bfill', got '%U'",
                   method.ptr());
      throw py::error_already_set();
    }
    series = series.attr(ffill ? "ffill" : "bfill")();
  }
  return series;
}

}  // namespace orvane::glue
