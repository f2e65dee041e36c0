#include "roads.hpp"

#include <pybind11/pybind11.h>

#include <string>

#include "counters.hpp"
#include "function.hpp"

namespace orvane::glue {

namespace py = pybind11;

namespace {

bool strict() {
  py::object value = py::module_::import("os").attr("getenv")("ORVANE_ROADS", "");
  return py::isinstance<py::str>(value) && value.cast<std::string>() == "strict";
}

}  // namespace

py::object runtime_attr(const char* name) {
  // every module imports _glue before it declares a function: a look-up in
  // sys.modules finds it without the import machinery's cost on every call
  auto glue =
      py::reinterpret_steal<py::object>(PyImport_GetModule(py::str("orvane_data._glue").ptr()));
  if (!glue) {
    if (PyErr_Occurred()) throw py::error_already_set();
    glue = py::module_::import("orvane_data._glue");
  }
  return glue.attr(name);
}

void native_road(std::string_view road) { ++shared_counter(CounterKind::native_road, road); }

void pandas_road(std::string_view road, std::string_view reason) {
  if (strict()) {
    raise(PyExc_RuntimeError, "road " + std::string(road) + " took its pandas formulation (" +
                                  std::string(reason) + ") while ORVANE_ROADS=strict");
  }
  ++shared_counter(CounterKind::pandas_road, road);
}

}  // namespace orvane::glue
