// Real Python classes built from native functions: the class statement's
// work (namespace, metaclass call, __module__ and __qualname__) done natively.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::glue {

namespace py = pybind11;

// Creates `metaclass(name, bases, namespace)` with `__module__` and
// `__qualname__` filled in, binds it in `m` under `name` and returns it.
py::object make_class(py::module_& m, const char* name, py::tuple bases, py::dict ns,
                      py::handle metaclass = reinterpret_cast<PyObject*>(&PyType_Type));

}  // namespace orvane::glue
