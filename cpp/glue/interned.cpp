#include "interned.hpp"

#include <string>
#include <unordered_map>

namespace orvane::glue {

namespace py = pybind11;

PyObject* interned(std::string_view text) {
  // never freed: the names outlive the interpreter's last calls
  static auto* const made =
      new std::unordered_map<std::string, PyObject*, TextHash, std::equal_to<>>();
  if (auto it = made->find(text); it != made->end()) return it->second;
  PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<py::ssize_t>(text.size()));
  if (!name) throw py::error_already_set();
  PyUnicode_InternInPlace(&name);
  made->emplace(std::string(text), name);
  return name;
}

PyObject* dict_entry(const py::dict& globals, std::string_view name) {
  PyObject* found = PyDict_GetItemWithError(globals.ptr(), interned(name));
  if (!found && PyErr_Occurred()) throw py::error_already_set();
  return found;
}

}  // namespace orvane::glue
