// Python's truth test, comparison and membership, raising what Python raises.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::glue {

namespace py = pybind11;

// bool(obj)
inline bool truthy(py::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// a <op> b, with op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE
inline bool compare(py::handle a, py::handle b, int op) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// item in container
inline bool contains(py::handle container, py::handle item) {
  const int r = PySequence_Contains(container.ptr(), item.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

}  // namespace orvane::glue
