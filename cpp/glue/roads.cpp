#include "roads.hpp"

#include <pybind11/pybind11.h>

#include <string>

#include "function.hpp"

namespace orvane::glue {

namespace py = pybind11;

namespace {

void count(std::string_view road, const char* way) {
  py::dict counts = road_counts();
  py::str key(road.data(), road.size());
  if (!counts.contains(key)) {
    py::dict fresh;
    fresh["native"] = 0;
    fresh["pandas"] = 0;
    counts[key] = fresh;
  }
  py::dict entry = counts[key];
  entry[way] = py::int_(entry[way].cast<long long>() + 1);
}

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

py::dict road_counts() { return runtime_attr("_road_counts"); }

void native_road(std::string_view road) { count(road, "native"); }

void pandas_road(std::string_view road, std::string_view reason) {
  if (strict()) {
    raise(PyExc_RuntimeError, "road " + std::string(road) + " took its pandas formulation (" +
                                  std::string(reason) + ") while ORVANE_ROADS=strict");
  }
  count(road, "pandas");
}

}  // namespace orvane::glue
