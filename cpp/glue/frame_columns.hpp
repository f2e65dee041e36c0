// Setting a frame's column from native code as a Python line
// `frame[label] = values` sets it, on every pandas line.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::glue {

namespace py = pybind11;

// `frame[label] = values`, with no chained-assignment warning where the
// same Python line gives none. pandas 2 (2.2, 2.3) guesses a chained
// assignment `frame[a][b] = v` from `frame`'s reference count inside
// __setitem__: a count no higher than a temporary's means "a copy is being
// written to" (a FutureWarning, or ChainedAssignmentError under
// copy-on-write). A Python caller's frame is held by its local and by the
// interpreter's stack; a native caller reaches __setitem__ holding one
// handle, a temporary's count. The helper holds the reference the Python
// caller's local would, for the length of the call. pandas 3 reads the
// caller's bytecode instead, which a native caller never matches.
void set_column(py::handle frame, py::handle label, py::handle values);

}  // namespace orvane::glue
