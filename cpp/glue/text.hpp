// Caller texts as C++ strings.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace orvane::glue {

namespace py = pybind11;

// The UTF-8 bytes of a str (NULs kept). A text with lone surrogates has no
// UTF-8 form: the interpreter's UnicodeEncodeError (a ValueError) propagates,
// where pybind11's cast<std::string>() would raise a bare RuntimeError.
std::string utf8(py::handle text);

}  // namespace orvane::glue
