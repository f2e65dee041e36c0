#include "released.hpp"

#include "roads.hpp"

namespace orvane::glue {

namespace py = pybind11;

void count_released(std::string_view section, bool released) {
  if (!released) return;
  // _glue's dict of counts is cleared by reset_released, never replaced: each
  // module looks it up once, so a small call pays a dict update, not an import
  static PyObject* const counts = runtime_attr("_released_sections").release().ptr();
  py::str key(section.data(), section.size());
  PyObject* before = PyDict_GetItemWithError(counts, key.ptr());  // borrowed
  if (!before && PyErr_Occurred()) throw py::error_already_set();
  const long long n = before ? PyLong_AsLongLong(before) : 0;
  py::object after = py::reinterpret_steal<py::object>(PyLong_FromLongLong(n + 1));
  if (!after || PyDict_SetItem(counts, key.ptr(), after.ptr()) < 0) throw py::error_already_set();
}

}  // namespace orvane::glue
