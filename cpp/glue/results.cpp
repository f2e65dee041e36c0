#include "results.hpp"

#include "interned.hpp"

namespace orvane::glue {

py::object new_series(py::handle series_type, py::handle values, py::handle index,
                      py::handle name) {
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
