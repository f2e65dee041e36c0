// The package's runtime: the type of its native functions. Every other module
// imports this one before declaring functions, so all of them share one type.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "../glue/function.hpp"
#include "../glue/pyops.hpp"
#include "../glue/roads.hpp"
#include "core/lanes.hpp"

namespace py = pybind11;
using orvane::glue::Function;

namespace {

// The function behind `self`. Methods take `self` as a plain handle because
// Python code can reach them unbound (`native_function.__call__(None)`) or on
// an instance made by `native_function.__new__` that holds no function.
std::shared_ptr<Function> self_of(py::handle self) {
  std::shared_ptr<Function> fn;
  try {
    fn = self.cast<std::shared_ptr<Function>>();
  } catch (const py::cast_error&) {
  }
  if (!fn) {
    throw py::type_error("a native function was expected, got an empty or foreign '" +
                         orvane::glue::type_name(self) + "' object");
  }
  return fn;
}

}  // namespace

PYBIND11_MODULE(_glue, m) {
  m.doc() = "Runtime support of the package's compiled modules.";
  // The road counts of every module (see glue/roads.hpp): one dict here,
  // because each module carries its own copy of the glue's statics.
  m.attr("_road_counts") = py::dict();
  m.def(
      "roads",
      []() {
        py::dict out;
        for (auto [road, ways] : orvane::glue::road_counts()) out[road] = ways.attr("copy")();
        return out;
      },
      "Counts of the native and pandas roads taken since the last reset_roads(),\n"
      "as {road: {'native': n, 'pandas': m}}.");
  m.def(
      "reset_roads", []() { orvane::glue::road_counts().clear(); }, "Forgets the road counts.");
  // The runs of native sections that held no GIL (see glue/released.hpp).
  m.attr("_released_sections") = py::dict();
  m.def(
      "released", []() { return orvane::glue::runtime_attr("_released_sections").attr("copy")(); },
      "Counts of the runs of native sections that held no GIL since the last\n"
      "reset_released(), as {section: n}.");
  m.def(
      "reset_released", []() { orvane::glue::runtime_attr("_released_sections").attr("clear")(); },
      "Forgets the counts of released sections.");
  m.def(
      "simd", []() { return std::string(orvane::core::lanes::build_name()); },
      "The build of the vector kernels in use: 'avx2' or 'baseline'.\n\n"
      "The best the CPU runs, unless the environment variable ORVANE_SIMD names\n"
      "one ('baseline', or 'avx2' where the CPU has it) when the package loads.");
  py::class_<Function, std::shared_ptr<Function>>(m, "native_function", py::dynamic_attr(),
                                                  "A function of the package implemented natively.")
      .def("__call__", [](py::handle self, const py::args& args,
                          const py::kwargs& kwargs) { return self_of(self)->call(args, kwargs); })
      .def(
          "__get__",
          [](py::object self, py::object instance, py::object) -> py::object {
            if (instance.is_none()) return self;
            return py::module_::import("types").attr("MethodType")(self, instance);
          },
          py::arg("instance"), py::arg("owner") = py::none())
      .def_property_readonly("__signature__",
                             [](py::handle self) { return self_of(self)->signature(); })
      .def_property_readonly("__annotations__",
                             [](py::handle self) { return self_of(self)->annotations(); })
      .def_property_readonly("__globals__",
                             [](py::handle self) { return self_of(self)->globals(); })
      .def("__repr__",
           [](py::handle self) {
             auto f = self_of(self);
             return "<native function " + f->module() + "." + f->qualname() + ">";
           })
      // pickled by reference, as Python functions are
      .def("__reduce__", [](py::handle self) { return self_of(self)->qualname(); });
}
