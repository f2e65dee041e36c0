#include "results.hpp"

#include "interned.hpp"
#include "pandas_lines.hpp"
#include "roads.hpp"

namespace orvane::glue {

namespace {

constexpr ParamName kManagerSeries{"results.manager_series"};

// pandas' own Series and Index classes, found once (never freed: they
// outlive the interpreter's exit).
PyObject* pandas_class(const char* name) {
  return py::object(py::module_::import("pandas").attr(name)).release().ptr();
}

// Why the Series of new_series cannot be built around a manager, or nullptr.
const char* manager_series_reason(py::handle series_type, const Float64Array& values,
                                  py::handle index, py::handle name) {
  if (const char* line = manager_series_ineligible()) return line;
  static PyObject* const own_series = pandas_class("Series");
  static PyObject* const own_index = pandas_class("Index");
  if (series_type.ptr() != own_series) return "Series is not pandas' own";
  if (!name.is_none() && !PyUnicode_CheckExact(name.ptr())) return "name is not a str";
  const int is_index = PyObject_IsInstance(index.ptr(), own_index);
  if (is_index < 0) throw py::error_already_set();
  if (!is_index) return "index is not a pandas Index";
  const Py_ssize_t rows = PyObject_Length(index.ptr());
  if (rows < 0) throw py::error_already_set();
  // the constructor raises its own error for a length that does not match
  if (values.ndim() != 1 || values.shape(0) != rows) return "values do not match the index";
  return nullptr;
}

}  // namespace

py::object new_series(py::handle series_type, const Float64Array& values, py::handle index,
                      py::handle name) {
  if (const char* reason = manager_series_reason(series_type, values, index, name)) {
    pandas_road(kManagerSeries.view(), reason);
  } else {
    native_road<kManagerSeries>();
    return manager_series(values, index, name);
  }
  // by position: named, the arguments would cost a dict that the
  // constructor's call unpacks again
  PyObject* const args[] = {nullptr, values.ptr(), index.ptr(), Py_None, name.ptr(), Py_False};
  PyObject* result =
      PyObject_Vectorcall(series_type.ptr(), args + 1, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

void set_category(py::handle result, py::handle family) {
  if (PyObject_GenericSetAttr(result.ptr(), interned<"category">(), family.ptr()) < 0)
    throw py::error_already_set();
}

}  // namespace orvane::glue
