// Python's truth test, comparison and membership, raising what Python raises,
// and the few builtins native code reaches for.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace orvane::glue {

namespace py = pybind11;

// bool(obj)
inline bool truthy(py::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// bool(a <op> b), with op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE;
// for element-wise operands (Series, arrays) use compare_elementwise
inline bool compare(py::handle a, py::handle b, int op) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// bool(obj == text), Python's equality with a str
inline bool equals_text(py::handle obj, const char* text) {
  return compare(obj, py::str(text), Py_EQ);
}

// a <op> b as the operands define it: for a Series or an array, the
// element-wise mask
inline py::object compare_elementwise(py::handle a, py::handle b, int op) {
  PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// item in container
inline bool contains(py::handle container, py::handle item) {
  const int r = PySequence_Contains(container.ptr(), item.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// The builtin `name` (list, range, sorted, ...), read now.
inline py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// type(obj).__name__, as Python's messages quote it.
inline std::string type_name(py::handle obj) {
  return py::str(py::type::handle_of(obj).attr("__name__"));
}

}  // namespace orvane::glue
