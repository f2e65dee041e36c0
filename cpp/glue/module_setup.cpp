#include "module_setup.hpp"

namespace orvane::glue {

py::object import_as(py::module_& m, const char* module, const char* name) {
  py::object mod = py::module_::import(module);
  m.attr(name ? name : module) = mod;
  return mod;
}

py::object import_from(py::module_& m, const char* module, const char* attr, const char* name) {
  py::object value = py::module_::import(module).attr(attr);
  m.attr(name ? name : attr) = value;
  return value;
}

bool show_warnings() {
  py::object value = py::module_::import("os").attr("getenv")("SHOW_WARNINGS", "0");
  return py::isinstance<py::str>(value) && value.cast<std::string>() == "1";
}

void warn(const char* message) { py::module_::import("warnings").attr("warn")(message); }

void guarded(Guard guard, bool show, const char* message, const std::function<void()>& body) {
  try {
    body();
  } catch (py::error_already_set& e) {
    const bool covered = guard == Guard::any_exception ? e.matches(PyExc_Exception)
                                                       : e.matches(PyExc_ModuleNotFoundError);
    if (!covered) throw;
    if (show) warn(message);
  }
}

int run_module_init(PyObject* module, void (*init)(py::module_&)) {
  try {
    py::detail::ensure_internals();
    auto m = py::reinterpret_borrow<py::module_>(module);
    // A module already initialised in this interpreter is handed out again
    // rather than initialised twice (as pybind11's own initialisation does).
    if (!py::detail::get_cached_module(m.attr("__spec__").attr("name"))) {
      init(m);
      py::detail::cache_completed_module(m);
    }
    return 0;
  } catch (py::error_already_set& e) {
    e.restore();
    return -1;
  } catch (const std::exception& e) {
    py::set_error(PyExc_ImportError, e.what());
    return -1;
  }
}

}  // namespace orvane::glue
