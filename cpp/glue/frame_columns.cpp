#include "frame_columns.hpp"

namespace orvane::glue {

void set_column(py::handle frame, py::handle label, py::handle values) {
  py::object callers_local = py::reinterpret_borrow<py::object>(frame);
  if (PyObject_SetItem(callers_local.ptr(), label.ptr(), values.ptr()) != 0) {
    throw py::error_already_set();
  }
}

}  // namespace orvane::glue
