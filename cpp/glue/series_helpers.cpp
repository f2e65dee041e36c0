#include "series_helpers.hpp"

#include <string>

#include "checks.hpp"
#include "function.hpp"
#include "interned.hpp"
#include "pyops.hpp"

namespace orvane::glue {

py::object verified_series(const py::object& series, const py::object& min_length,
                           py::handle series_type) {
  const int is_series = PyObject_IsInstance(series.ptr(), series_type.ptr());
  if (is_series < 0) throw py::error_already_set();
  if (is_series == 0) {
    raise(PyExc_TypeError, "expected a pandas Series, got " + type_name(series));
  }
  if (min_length.is_none()) return series;
  // a pandas Series has as many rows as labels, and its index counts them
  // for less than the Series' own __len__; a subclass is asked itself
  const Py_ssize_t rows =
      Py_TYPE(series.ptr()) == reinterpret_cast<PyTypeObject*>(series_type.ptr())
          ? py::len(series.attr("index"))
          : py::len(series);
  // a min_length beyond Py_ssize_t can never be met
  if (py::int_(rows) < min_length) return py::none();
  return series;
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
