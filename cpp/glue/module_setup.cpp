#include "module_setup.hpp"

namespace orvane::glue {

using namespace pybind11::literals;

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

namespace {

// The module's dict entries that map each lazily imported name to its
// module, and each name an extra provides to the extra.
constexpr const char* lazy_table = "_lazy_imports";
constexpr const char* extras_table = "_from_extras";

py::dict table_of(py::module_& m, const char* table) {
  py::dict globals = m.attr("__dict__");
  if (!globals.contains(table)) globals[table] = py::dict();
  return globals[table];
}

PyObject* entry(const py::dict& globals, const char* table, py::handle name) {
  PyObject* entries = PyDict_GetItemString(globals.ptr(), table);
  if (!entries || !PyDict_Check(entries)) return nullptr;
  PyObject* found = PyDict_GetItemWithError(entries, name.ptr());
  if (!found && PyErr_Occurred()) throw py::error_already_set();
  return found;
}

}  // namespace

void lazy_import(py::module_& m, const char* module, const char* name) {
  const std::string top = std::string(module).substr(0, std::string(module).find('.'));
  if (py::module_::import("importlib.util").attr("find_spec")(top).is_none()) {
    PyErr_Format(PyExc_ModuleNotFoundError, "No module named '%s'", top.c_str());
    throw py::error_already_set();
  }
  py::dict globals = m.attr("__dict__");
  if (!globals.contains(lazy_table)) {
    // Python's module __getattr__: asked only for a name the dict lacks. It
    // holds the module's name, not the module, and finds the module again
    // through sys.modules.
    std::string owner = py::str(m.attr("__name__"));
    globals["__getattr__"] = py::cpp_function(
        [owner](py::str attr) -> py::object {
          py::dict of = py::module_::import("sys").attr("modules")[py::str(owner)].attr("__dict__");
          py::object value = resolve_lazy(of, attr);
          if (!value) {
            throw py::attribute_error("module '" + owner + "' has no attribute '" +
                                      std::string(attr) + "'");
          }
          return value;
        },
        py::name("__getattr__"));
  }
  table_of(m, lazy_table)[name] = module;
}

py::object resolve_lazy(const py::dict& globals, py::handle name) {
  PyObject* module = entry(globals, lazy_table, name);
  if (!module) return py::object();
  py::object imported = py::module_::import(py::str(module).cast<std::string>().c_str());
  if (PyDict_SetItem(globals.ptr(), name.ptr(), imported.ptr()) < 0) throw py::error_already_set();
  return imported;
}

void from_extra(py::module_& m, const char* name, const char* extra) {
  table_of(m, extras_table)[name] = extra;
}

std::string extra_note(const py::dict& globals, py::handle name) {
  PyObject* extra = entry(globals, extras_table, name);
  if (!extra) return {};
  return py::module_::import("orvane_data._extras")
      .attr("missing")(name, py::handle(extra))
      .cast<std::string>();
}

py::object require(const char* module, const char* extra) {
  return py::module_::import("orvane_data._extras").attr("require")(module, extra);
}

void add_note(py::error_already_set& e, const std::string& note) {
  e.value().attr("add_note")(note);
}

void data_warning(const std::string& message, int stacklevel) {
  py::object category = py::module_::import("orvane_data").attr("DataWarning");
  py::module_::import("warnings").attr("warn")(message, category, "stacklevel"_a = stacklevel);
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
