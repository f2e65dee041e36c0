#include "interned.hpp"

namespace orvane::glue {

namespace py = pybind11;

PyObject* interned(std::string_view text) {
  // never freed: the names outlive the interpreter's last calls
  static auto* const made = new TextTable<PyObject*>();
  return made->find(text, [&] {
    PyObject* name =
        PyUnicode_FromStringAndSize(text.data(), static_cast<py::ssize_t>(text.size()));
    if (!name) throw py::error_already_set();
    PyUnicode_InternInPlace(&name);
    return name;
  });
}

PyObject* dict_entry(const py::dict& globals, std::string_view name) {
  PyObject* found = PyDict_GetItemWithError(globals.ptr(), interned(name));
  if (!found && PyErr_Occurred()) throw py::error_already_set();
  return found;
}

}  // namespace orvane::glue
