#include "arrays.hpp"

#include <limits>

#include "function.hpp"

namespace orvane::glue {
namespace {

[[noreturn]] void not_numeric(const char* func, py::handle dtype) {
  raise(PyExc_TypeError, std::string(func) + "() needs numeric values, got a Series of dtype '" +
                             std::string(py::str(dtype)) + "'");
}

char kind_of(py::handle dtype) {
  py::object kind = dtype.attr("kind");
  if (!py::isinstance<py::str>(kind)) return '\0';
  const std::string text = kind.cast<std::string>();
  return text.size() == 1 ? text[0] : '\0';
}

}  // namespace

bool is_numeric_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'; }

Float64Values float64_values(py::handle array, const std::string& what) {
  if (!py::isinstance<py::array>(array)) {
    raise(PyExc_TypeError, what + " must be a numpy array");
  }
  auto arr = py::reinterpret_borrow<py::array>(array);
  if (arr.ndim() != 1) raise(PyExc_TypeError, what + " must be one-dimensional");
  if (!is_numeric_kind(arr.dtype().kind())) {
    raise(PyExc_TypeError,
          what + " has the non-numeric dtype '" + std::string(py::str(arr.dtype())) + "'");
  }
  // FromAny makes no copy of a contiguous float64 array, read-only or not,
  // and casts or compacts anything else
  Float64Array values = Float64Array::ensure(arr);
  if (!values) raise(PyExc_TypeError, what + " cannot be read as float64");
  return Float64Values(std::move(values));
}

py::object numpy_values(py::handle series) {
  py::object dtype = series.attr("dtype");
  if (!py::isinstance<py::dtype>(dtype)) return py::object();
  return series.attr("to_numpy")();
}

Float64Values series_float64(py::handle series, const char* func) {
  py::object dtype = series.attr("dtype");
  if (py::isinstance<py::dtype>(dtype)) {
    if (!is_numeric_kind(py::reinterpret_borrow<py::dtype>(dtype).kind())) not_numeric(func, dtype);
    return float64_values(series.attr("to_numpy")(), std::string(func) + "() input");
  }
  if (!is_numeric_kind(kind_of(dtype))) not_numeric(func, dtype);
  py::object values = series.attr("to_numpy")(
      py::arg("dtype") = "float64", py::arg("na_value") = std::numeric_limits<double>::quiet_NaN());
  return float64_values(values, std::string(func) + "() input");
}

Float64Array new_float64(std::size_t n) { return Float64Array(static_cast<py::ssize_t>(n)); }

std::span<double> writable(Float64Array& array) {
  return {array.mutable_data(), static_cast<std::size_t>(array.size())};
}

}  // namespace orvane::glue
