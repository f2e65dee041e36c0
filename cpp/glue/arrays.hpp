// float64 buffers of numpy arrays and pandas Series for the native kernels.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <span>
#include <string>

namespace orvane::glue {

namespace py = pybind11;

using Float64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Contiguous float64 values: the array itself when it already is one (read-only
// and empty arrays included), else a converted, contiguous copy. Holding it
// keeps the memory alive; the values are never written.
class Float64Values {
 public:
  explicit Float64Values(Float64Array array) : array_(std::move(array)) {}
  std::span<const double> span() const {
    return {array_.data(), static_cast<std::size_t>(array_.size())};
  }
  std::size_t size() const { return static_cast<std::size_t>(array_.size()); }
  const Float64Array& array() const { return array_; }

 private:
  Float64Array array_;
};

// True for the dtype kinds whose values convert to float64 as numbers:
// booleans, signed and unsigned integers, floats.
bool is_numeric_kind(char kind);

// The dtype kind of a numpy array ('f', 'i', ...), or '\0' for any other
// object; read from the array's own fields, as plain_float64 reads them.
char array_kind(py::handle values);

// Whether `values` is a one-dimensional, C-contiguous float64 numpy array in
// the machine's byte order: one the kernels read as it is. Read from the
// array's own fields: numpy's comparison of dtypes would cost a small call
// more instruction-cache misses than the rest of its input's reading.
bool plain_float64(py::handle values);

// The values of a one-dimensional numpy array of a numeric dtype, any strides.
// Other dtypes (objects, strings, dates, complex numbers) raise TypeError
// naming `what`.
Float64Values float64_values(py::handle array, const std::string& what);

// The float values of a pandas Series of any numeric dtype, as pandas' window
// functions read them: numpy-backed numeric dtypes as they are, nullable and
// Arrow-backed numeric dtypes with their missing entries as NaN, numbers
// stored as objects as float() reads each (None, NaN and pd.NA missing). Any
// other dtype, and an object column holding text or other non-numbers,
// raises TypeError "<func>() needs numeric values, got a Series of dtype
// '<dtype>'".
Float64Values series_float64(py::handle series, const char* func);

// The same for a Series that holds numbers in a numpy array (see
// held_numbers in pandas_lines.hpp), read with no copy and no error; nullopt,
// with nothing read, for any other Series.
std::optional<Float64Values> held_float64(py::handle series);

// A column's values as a new float64 array by pandas' own to_numpy, its
// missing values (NaN, None, pd.NA) as NaN: what a column of prices reads as
// when every dtype pandas converts is accepted, with pandas' own error for
// the others.
Float64Array float64_missing_as_nan(py::handle column);

// The numpy array behind a Series whose dtype is a numpy dtype, or a null
// handle for extension dtypes (nullable, Arrow-backed, categorical, ...).
py::object numpy_values(py::handle series);

// A new, uninitialised float64 array of n entries and a writable span of it.
Float64Array new_float64(std::size_t n);
std::span<double> writable(Float64Array& array);

}  // namespace orvane::glue
