#include "pandas_lines.hpp"

#include <pybind11/numpy.h>

#include "arrays.hpp"
#include "interned.hpp"

namespace orvane::glue {

using namespace pybind11::literals;

namespace {

// The running pandas' major version, read from the imported module.
int pandas_major() {
  py::str version = py::module_::import("pandas").attr("__version__");
  return std::stoi(std::string(version));
}

}  // namespace

py::object arrow_string_array(py::handle like, py::handle arrow_values) {
  py::handle array_type = py::type::handle_of(like);
  if (pandas_major() >= 3) return array_type(arrow_values, "dtype"_a = like.attr("dtype"));
  return array_type(arrow_values);
}

std::string unit_of_stamp_objects(const std::string& unit) {
  return pandas_major() >= 3 ? unit : std::string("ns");
}

py::object as_built_from_stamp_objects(py::object stamps) {
  const std::string unit = stamps.attr("dt").attr("unit").cast<std::string>();
  const std::string built = unit_of_stamp_objects(unit);
  return built == unit ? stamps : stamps.attr("dt").attr("as_unit")(built);
}

py::object minutes_joined_with_arrow(py::object minutes) {
  if (pandas_major() >= 3) return minutes;
  py::object unit = minutes.attr("dt").attr("unit");
  py::object arrow_type = py::module_::import("pyarrow").attr("timestamp")(unit);
  return minutes.attr("astype")(py::module_::import("pandas").attr("ArrowDtype")(arrow_type));
}

namespace {

// Whether the array protocol takes a copy argument (pandas 3).
bool takes_copy_argument() {
  static const bool takes = pandas_major() >= 3;
  return takes;
}

// series.__array__(None, False), no dtype asked for and no copy allowed, or
// series.__array__() where no copy argument is taken; null with the error
// set when it raises.
PyObject* array_protocol_values(py::handle series) {
  PyObject* const args[] = {series.ptr(), Py_None, Py_False};
  return PyObject_VectorcallMethod(interned<"__array__">(), args, takes_copy_argument() ? 3 : 1,
                                   nullptr);
}

}  // namespace

py::object numpy_dtype_values(py::handle series) {
  PyObject* values = array_protocol_values(series);
  if (!values) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(values);
}

py::object held_numbers(py::handle series) {
  if (!takes_copy_argument()) {
    PyObject* dtype = PyObject_GetAttr(series.ptr(), interned<"dtype">());
    if (!dtype) throw py::error_already_set();
    const bool numpy_dtype = py::isinstance<py::dtype>(py::handle(dtype));
    const char kind = numpy_dtype ? py::reinterpret_borrow<py::dtype>(dtype).kind() : '\0';
    Py_DECREF(dtype);
    if (!is_numeric_kind(kind)) return py::object();
    return numpy_dtype_values(series);
  }
  PyObject* values = array_protocol_values(series);
  if (!values) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
    PyErr_Clear();  // a copy would be needed: not numbers held as they are
    return py::object();
  }
  auto held = py::reinterpret_steal<py::object>(values);
  return is_numeric_kind(array_kind(held)) ? held : py::object();
}

}  // namespace orvane::glue
