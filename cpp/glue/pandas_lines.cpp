#include "pandas_lines.hpp"

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

py::object numpy_dtype_values(py::handle series) {
  // __array__(None, False): no dtype asked for, no copy allowed
  static const bool copy_argument = pandas_major() >= 3;
  PyObject* const args[] = {series.ptr(), Py_None, Py_False};
  PyObject* values =
      PyObject_VectorcallMethod(interned("__array__"), args, copy_argument ? 3 : 1, nullptr);
  if (!values) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(values);
}

}  // namespace orvane::glue
