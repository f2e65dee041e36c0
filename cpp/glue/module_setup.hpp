// What modules do when they are imported: bind imported names into their own
// dict, read the warning switch, and guard the imports of outside services.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

#if PYBIND11_VERSION_HEX < 0x03010000
#error "ORVANE_MODULE follows the module initialisation of pybind11 3.1 and newer"
#endif

namespace orvane::glue {

namespace py = pybind11;

// `import module as name` (name defaults to the module's own).
py::object import_as(py::module_& m, const char* module, const char* name = nullptr);

// `from module import attr as name` (name defaults to attr).
py::object import_from(py::module_& m, const char* module, const char* attr,
                       const char* name = nullptr);

// True exactly when os.getenv("SHOW_WARNINGS", "0") == "1".
bool show_warnings();

// warnings.warn(message): default category and stack level.
void warn(const char* message);

enum class Guard {
  any_exception,     // a broken install or a failing service constructor too
  module_not_found,  // only the library being absent; other errors propagate
};

// Runs `body` (which binds names into the module). When it raises what
// `guard` covers, the error is swallowed and, if `show` is true, `message`
// is issued through warn(). Names bound before the failure stay bound.
void guarded(Guard guard, bool show, const char* message, const std::function<void()>& body);

// Runs a module's initialisation for the import machinery. An error that
// escapes it reaches the importer as the very exception object raised, of its
// own type: an outside library failing at import fails the module's import
// with that library's error, not with a wrapper around it.
int run_module_init(PyObject* module, void (*init)(py::module_&));

}  // namespace orvane::glue

// PYBIND11_MODULE without its wrapping of initialisation errors into
// ImportError('initialization failed').
#define ORVANE_MODULE(name, variable)                                                     \
  PYBIND11_MODULE_PYINIT(name)                                                            \
  static void PYBIND11_CONCAT(orvane_init_, name)(::pybind11::module_&);                  \
  int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject * module) {                          \
    return ::orvane::glue::run_module_init(module, &PYBIND11_CONCAT(orvane_init_, name)); \
  }                                                                                       \
  void PYBIND11_CONCAT(orvane_init_, name)(::pybind11::module_ & variable)
