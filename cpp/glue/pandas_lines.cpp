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

namespace {

// pandas' manager constructors, found once; a null from_array where the
// running pandas lacks one of them, with the reason naming its line.
struct ManagerConstructors {
  py::object from_array;  // SingleBlockManager.from_array(array, index)
  py::object from_mgr;    // Series._from_mgr(mgr, axes)
  std::string reason;
};

const ManagerConstructors& manager_constructors() {
  // never freed: outlives the interpreter's exit
  static const ManagerConstructors* const found = [] {
    auto* out = new ManagerConstructors();
    py::module_ pandas = py::module_::import("pandas");
    const std::string version = py::str(pandas.attr("__version__"));
    const std::string line = version.substr(0, version.find('.', version.find('.') + 1));
    py::object managers;
    try {
      managers = py::module_::import("pandas.core.internals.managers");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
    }
    py::object block_manager =
        managers ? py::getattr(managers, "SingleBlockManager", py::none()) : py::none();
    py::object from_array =
        block_manager.is_none() ? py::none() : py::getattr(block_manager, "from_array", py::none());
    py::object from_mgr = py::getattr(pandas.attr("Series"), "_from_mgr", py::none());
    if (from_array.is_none()) {
      out->reason = "pandas " + line + " has no SingleBlockManager.from_array";
    } else if (from_mgr.is_none()) {
      out->reason = "pandas " + line + " has no Series._from_mgr";
    } else {
      out->from_array = std::move(from_array);
      out->from_mgr = std::move(from_mgr);
    }
    return out;
  }();
  return *found;
}

}  // namespace

const char* manager_series_ineligible() {
  const ManagerConstructors& found = manager_constructors();
  return found.from_array ? nullptr : found.reason.c_str();
}

py::object manager_series(py::handle values, py::handle index, py::handle name) {
  const ManagerConstructors& found = manager_constructors();
  // by position, past pybind11's argument tuples: this is a small call's road
  PyObject* const array_args[] = {nullptr, values.ptr(), index.ptr()};
  auto manager = py::reinterpret_steal<py::object>(PyObject_Vectorcall(
      found.from_array.ptr(), array_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!manager) throw py::error_already_set();
  auto axes = py::reinterpret_steal<py::object>(PyList_New(1));
  if (!axes) throw py::error_already_set();
  PyList_SET_ITEM(axes.ptr(), 0, Py_NewRef(index.ptr()));
  PyObject* const mgr_args[] = {nullptr, manager.ptr(), axes.ptr()};
  auto series = py::reinterpret_steal<py::object>(PyObject_Vectorcall(
      found.from_mgr.ptr(), mgr_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!series) throw py::error_already_set();
  // _from_mgr leaves the name unset; the constructor's check of it (hashable)
  // holds for a str or None
  if (PyObject_GenericSetAttr(series.ptr(), interned<"_name">(), name.ptr()) < 0)
    throw py::error_already_set();
  return series;
}

}  // namespace orvane::glue
