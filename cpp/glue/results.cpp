#include "results.hpp"

#include "interned.hpp"

namespace orvane::glue {

py::object new_series(py::handle series_type, py::handle values, py::handle index,
                      py::handle name) {
  // the keywords' names in one tuple made once: the call passes its
  // arguments as they are, with no tuple or dict built for it
  static PyObject* const keywords = [] {
    PyObject* names = PyTuple_Pack(3, interned("index"), interned("name"), interned("copy"));
    if (!names) throw py::error_already_set();
    return names;
  }();
  PyObject* const args[] = {nullptr, values.ptr(), index.ptr(), name.ptr(), Py_False};
  PyObject* result = PyObject_Vectorcall(series_type.ptr(), args + 1,
                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords);
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

void set_category(py::handle result, const char* family) {
  if (PyObject_GenericSetAttr(result.ptr(), interned("category"), interned(family)) < 0)
    throw py::error_already_set();
}

}  // namespace orvane::glue
