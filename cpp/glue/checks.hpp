// Argument checks shared by every module: exact built-in types and the
// `int` convention of numeric parameters.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::glue {

namespace py = pybind11;

// Raises TypeError "Argument 'arg' has incorrect type (expected E, got R)"
// unless `obj` is exactly of `expected` (or None when `allow_none`). For an
// instance of a subclass of `expected` the message says why it is refused.
void check_type(py::handle obj, const char* arg, py::handle expected, bool allow_none = false);

void check_str(py::handle obj, const char* arg, bool allow_none = false);
void check_list(py::handle obj, const char* arg, bool allow_none = false);
void check_dict(py::handle obj, const char* arg, bool allow_none = false);

// The `int` convention: None and int pass unchanged, any other number
// (float, bool, numpy scalars, Decimal, Fraction, ...) becomes int() of it,
// truncated toward zero; anything else raises check_type's TypeError.
py::object int_argument(py::handle obj, const char* arg);

// A real number: float, or a number of another kind that is not bool or
// complex (int, numpy numbers, Decimal, Fraction), left as it is; anything
// else raises check_type's TypeError expecting float.
void check_real(py::handle obj, const char* arg);

// A whole number: int, or an object with __index__ (numpy integers) other
// than bool (a flag is no count), as an int; anything else raises
// check_type's TypeError expecting int.
py::object index_argument(py::handle obj, const char* arg);

}  // namespace orvane::glue
