#include "indicator_calls.hpp"

#include <string>

#include "module_setup.hpp"
#include "pyops.hpp"

namespace orvane::glue {

namespace {

// `category` is an attribute of the object: set past pandas' __setattr__,
// which would write into the data when the labels hold that name
void set_category(const py::object& result, const char* family) {
  if (PyObject_GenericSetAttr(result.ptr(), py::str("category").ptr(), py::str(family).ptr()) < 0)
    throw py::error_already_set();
}

}  // namespace

void import_indicator_names(py::module_& m) {
  import_from(m, "pandas", "Series");
  import_from(m, "pandas", "DataFrame");
  const std::string name = py::str(m.attr("__name__"));
  const std::string utils = name.substr(0, name.rfind('.') + 1) + "utils";
  import_from(m, utils.c_str(), "verify_series");
}

py::object indicator_length(const py::object& length, long default_length) {
  if (!length.is_none() && truthy(length) && compare(length, py::int_(0), Py_GT)) return length;
  return py::int_(default_length);
}

std::size_t checked_size(const py::object& length) {
  const std::size_t n = PyLong_AsSize_t(length.ptr());
  if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return n;
}

std::optional<Inputs> verified_inputs(Call& c, const char* func,
                                      std::initializer_list<py::handle> inputs,
                                      std::initializer_list<const char*> names,
                                      const py::object& min_length) {
  Inputs in;
  bool all = true;
  for (py::handle input : inputs) {
    py::object verify_series = c.global("verify_series");
    py::object s = min_length ? verify_series(input, min_length) : verify_series(input);
    all = all && !s.is_none();
    in.series.push_back(std::move(s));
  }
  if (!all) return std::nullopt;
  py::object index = in.series.front().attr("index");
  auto name = names.begin();
  for (const py::object& s : in.series) {
    py::object other = s.attr("index");
    if (other.ptr() != index.ptr() && !truthy(index.attr("equals")(other))) {
      raise(PyExc_ValueError, std::string(func) + "() needs " + *name + " on the index of " +
                                  *names.begin() + ", got another index");
    }
    in.values.push_back(series_float64(s, func));
    ++name;
  }
  return in;
}

py::object indicator_series(Call& c, Float64Array values, const py::handle& index,
                            const std::string& name, const char* family) {
  py::object result = c.global("Series")(std::move(values), py::arg("index") = index,
                                         py::arg("name") = name, py::arg("copy") = false);
  set_category(result, family);
  return result;
}

FrameColumns::FrameColumns(std::vector<std::string> names, std::size_t rows)
    : names_(std::move(names)), rows_(rows), block_(new_float64(names_.size() * rows)) {}

std::span<double> FrameColumns::column(std::size_t i) {
  return writable(block_).subspan(i * rows_, rows_);
}

py::object FrameColumns::frame(Call& c, const py::handle& index, const char* family) && {
  const auto columns = static_cast<py::ssize_t>(names_.size());
  py::object values = block_.attr("reshape")(columns, static_cast<py::ssize_t>(rows_)).attr("T");
  py::list labels;
  for (const std::string& name : names_) labels.append(py::str(name));
  py::object result = c.global("DataFrame")(values, py::arg("index") = index,
                                            py::arg("columns") = labels, py::arg("copy") = false);
  set_category(result, family);
  return result;
}

}  // namespace orvane::glue
