// What modules do when they are imported: bind imported names into their own
// dict, read the warning switch, and guard the imports of outside services.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>

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

// `import module as name`, made when the name is first looked up: by a
// function of the module (Call::global) or as the module's attribute (the
// module's __getattr__). The module is then bound into the module's dict like
// any imported name, so a test replaces it the same way; until then it is not
// imported. For what only some calls need and costs real time to import.
// Raises ModuleNotFoundError now, as the import would, when the module's
// top-level package is not installed (finding it imports nothing).
void lazy_import(py::module_& m, const char* module, const char* name);

// The module `name` is to import lazily (lazy_import), now imported and bound
// into `globals`; a null object when `name` is not one of them.
py::object resolve_lazy(const py::dict& globals, py::handle name);

// Declares that the module-level name `name` comes with the optional part
// `extra` of the package (such as "s3"): a function that reaches the name
// while it is unbound still fails with the interpreter's NameError, which
// then carries a note saying what to install.
void from_extra(py::module_& m, const char* name, const char* extra);

// The note for an unbound module-level name that an extra provides (see
// from_extra); empty when it is no such name.
std::string extra_note(const py::dict& globals, py::handle name);

// The ImportError naming the extra to install when `module` is missing,
// raised from orvane_data._extras.require (which the package's Python
// modules call too, and whose wording the note above shares); the module
// itself when it imports.
py::object require(const char* module, const char* extra);

// Adds `note` to the exception being handled (BaseException.add_note), which
// then propagates unchanged in type.
void add_note(py::error_already_set& e, const std::string& note);

// warnings.warn(message, orvane_data.DataWarning, stacklevel): something the
// caller named matched nothing. Always issued (SHOW_WARNINGS concerns only
// the import guards); stacklevel 1 names the Python line that called the
// native function (a native function has no frame of its own).
void data_warning(const std::string& message, int stacklevel = 1);

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
