#include "arrays.hpp"

#include <bit>
#include <limits>

#include "function.hpp"
#include "interned.hpp"
#include "pandas_lines.hpp"

namespace orvane::glue {
namespace {

py::object attribute(py::handle obj, std::string_view name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), interned(name));
  if (!value) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

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

bool is_text(PyObject* v) { return PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v); }

// Numbers stored as objects, read as pandas' windows read them: float() of
// each (Fractions, Decimals, bools, numpy scalars, ...), with None, NaN and
// pd.NA missing. Text is refused even where it spells a number, and so is any
// object float() refuses.
Float64Values object_float64(py::handle series, const char* func, py::handle dtype) {
  py::array objects =
      py::module_::import("numpy").attr("ascontiguousarray")(series.attr("to_numpy")());
  const auto n = static_cast<std::size_t>(objects.size());
  auto* const* items = static_cast<PyObject* const*>(objects.data());
  py::object na = py::module_::import("pandas").attr("NA");
  Float64Array out = new_float64(n);
  std::span<double> values = writable(out);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* v = items[i];
    if (PyFloat_Check(v)) {
      values[i] = PyFloat_AS_DOUBLE(v);
    } else if (v == Py_None || v == na.ptr()) {
      values[i] = std::numeric_limits<double>::quiet_NaN();
    } else {
      if (is_text(v)) not_numeric(func, dtype);
      const auto number = py::reinterpret_steal<py::object>(PyNumber_Float(v));
      if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
          throw py::error_already_set();
        PyErr_Clear();
        not_numeric(func, dtype);
      }
      values[i] = PyFloat_AS_DOUBLE(number.ptr());
    }
  }
  return Float64Values(std::move(out));
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

Float64Array float64_missing_as_nan(py::handle column) {
  return Float64Array(column.attr("to_numpy")(
      "float64", py::arg("na_value") = py::float_(std::numeric_limits<double>::quiet_NaN())));
}

py::object numpy_values(py::handle series) {
  py::object dtype = series.attr("dtype");
  if (!py::isinstance<py::dtype>(dtype)) return py::object();
  return series.attr("to_numpy")();
}

char array_kind(py::handle values) {
  if (!py::detail::npy_api::get().PyArray_Check_(values.ptr())) return '\0';
  return py::detail::array_descriptor_proxy(py::detail::array_proxy(values.ptr())->descr)->kind;
}

bool plain_float64(py::handle values) {
  const auto& api = py::detail::npy_api::get();
  if (!api.PyArray_Check_(values.ptr())) return false;
  const auto* array = py::detail::array_proxy(values.ptr());
  const auto* descr = py::detail::array_descriptor_proxy(array->descr);
  constexpr char native = std::endian::native == std::endian::little ? '<' : '>';
  return array->nd == 1 && descr->type_num == api.NPY_DOUBLE_ &&
         (descr->byteorder == '=' || descr->byteorder == native) &&
         (array->flags & api.NPY_ARRAY_C_CONTIGUOUS_) != 0;
}

namespace {
// A numpy array of numbers as float64: a contiguous float64 array, the
// common case, is taken as it is.
Float64Values numbers_as_float64(py::object values) {
  if (plain_float64(values)) {
    return Float64Values(py::reinterpret_steal<Float64Array>(values.release()));
  }
  return float64_values(values, "a numeric Series' values");
}
}  // namespace

std::optional<Float64Values> held_float64(py::handle series) {
  py::object values = held_numbers(series);
  if (!values) return std::nullopt;
  return numbers_as_float64(std::move(values));
}

Float64Values series_float64(py::handle series, const char* func) {
  py::object dtype = attribute(series, "dtype");
  if (py::isinstance<py::dtype>(dtype)) {
    const char kind = py::reinterpret_borrow<py::dtype>(dtype).kind();
    if (kind == 'O') return object_float64(series, func, dtype);
    if (!is_numeric_kind(kind)) not_numeric(func, dtype);
    // the array protocol's own method: for a numpy dtype, the values
    // to_numpy() gives, for less of pandas' argument handling
    return numbers_as_float64(numpy_dtype_values(series));
  }
  if (!is_numeric_kind(kind_of(dtype))) not_numeric(func, dtype);
  py::object values = series.attr("to_numpy")(
      py::arg("dtype") = "float64", py::arg("na_value") = std::numeric_limits<double>::quiet_NaN());
  return float64_values(values, std::string(func) + "() input");
}

Float64Array new_float64(std::size_t n) {
  // numpy's own constructor: the binding library's builds its shape and
  // strides in heap vectors, a tenth of a small average's own time
  const auto& api = py::detail::npy_api::get();
  Py_intptr_t shape[] = {static_cast<Py_intptr_t>(n)};
  PyObject* array =
      api.PyArray_NewFromDescr_(api.PyArray_Type_, api.PyArray_DescrFromType_(api.NPY_DOUBLE_), 1,
                                shape, nullptr, nullptr, 0, nullptr);
  if (!array) throw py::error_already_set();
  return py::reinterpret_steal<Float64Array>(array);
}

std::span<double> writable(Float64Array& array) {
  return {array.mutable_data(), static_cast<std::size_t>(array.size())};
}

}  // namespace orvane::glue
