#include "checks.hpp"

#include <string>

#include "function.hpp"
#include "pyops.hpp"

namespace orvane::glue {
namespace {

std::string name_of_type(py::handle type) { return py::str(type.attr("__name__")); }

[[noreturn]] void wrong_type(py::handle obj, const char* arg, py::handle expected) {
  std::string message = std::string("Argument '") + arg + "' has incorrect type (expected " +
                        name_of_type(expected) + ", got " + type_name(obj) + ")";
  if (PyObject_IsInstance(obj.ptr(), expected.ptr()) == 1) {
    message +=
        ". Subclasses of built-in types are rejected; pass a plain " + name_of_type(expected) + ".";
  }
  raise(PyExc_TypeError, message);
}

bool is_number(py::handle obj) {
  if (PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr())) return true;
  py::object number = py::module_::import("numbers").attr("Number");
  if (py::isinstance(obj, number)) return true;
  // numpy registers its numbers with the `numbers` ABCs, except numpy.bool_
  PyObject* numpy = PyImport_GetModule(py::str("numpy").ptr());
  if (!numpy) {
    PyErr_Clear();
    return false;
  }
  py::object np = py::reinterpret_steal<py::object>(numpy);
  return py::isinstance(obj, np.attr("bool_"));
}

}  // namespace

void check_type(py::handle obj, const char* arg, py::handle expected, bool allow_none) {
  if (allow_none && obj.is_none()) return;
  if (py::type::handle_of(obj).is(expected)) return;
  wrong_type(obj, arg, expected);
}

void check_str(py::handle obj, const char* arg, bool allow_none) {
  check_type(obj, arg, reinterpret_cast<PyObject*>(&PyUnicode_Type), allow_none);
}

void check_list(py::handle obj, const char* arg, bool allow_none) {
  check_type(obj, arg, reinterpret_cast<PyObject*>(&PyList_Type), allow_none);
}

void check_dict(py::handle obj, const char* arg, bool allow_none) {
  check_type(obj, arg, reinterpret_cast<PyObject*>(&PyDict_Type), allow_none);
}

py::object int_argument(py::handle obj, const char* arg) {
  if (obj.is_none() || PyLong_CheckExact(obj.ptr())) return py::reinterpret_borrow<py::object>(obj);
  py::handle int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  if (!is_number(obj)) wrong_type(obj, arg, int_type);
  PyObject* converted = PyNumber_Long(obj.ptr());
  if (!converted) {
    // a number int() cannot take (complex, say): as wrong a type as a text
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      wrong_type(obj, arg, int_type);
    }
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(converted);
}

void check_real(py::handle obj, const char* arg) {
  if (PyFloat_Check(obj.ptr())) return;
  const bool real = PyNumber_Check(obj.ptr()) && !PyBool_Check(obj.ptr()) &&
                    !PyComplex_Check(obj.ptr()) && !PyUnicode_Check(obj.ptr());
  if (!real) wrong_type(obj, arg, reinterpret_cast<PyObject*>(&PyFloat_Type));
}

py::object index_argument(py::handle obj, const char* arg) {
  if (PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr())) {
    wrong_type(obj, arg, reinterpret_cast<PyObject*>(&PyLong_Type));
  }
  PyObject* index = PyNumber_Index(obj.ptr());
  if (!index) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(index);
}

}  // namespace orvane::glue
