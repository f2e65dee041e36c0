// The package's runtime: the type of its native functions. Every other module
// imports this one before declaring functions, so all of them share one type.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "../glue/function.hpp"

namespace py = pybind11;
using orvane::glue::Function;

PYBIND11_MODULE(_glue, m) {
  m.doc() = "Runtime support of the package's compiled modules.";
  py::class_<Function, std::shared_ptr<Function>>(m, "native_function", py::dynamic_attr(),
                                                   "A function of the package implemented natively.")
      .def("__call__", &Function::call)
      .def(
          "__get__",
          [](py::object self, py::object instance, py::object) -> py::object {
            if (instance.is_none()) return self;
            return py::module_::import("types").attr("MethodType")(self, instance);
          },
          py::arg("instance"), py::arg("owner") = py::none())
      .def_property_readonly("__signature__", &Function::signature)
      .def_property_readonly("__annotations__", &Function::annotations)
      .def_property_readonly("__globals__", &Function::globals)
      .def("__repr__",
           [](const Function& f) { return "<native function " + f.module() + "." + f.qualname() + ">"; })
      // pickled by reference, as Python functions are
      .def("__reduce__", [](const Function& f) { return f.qualname(); });
}
