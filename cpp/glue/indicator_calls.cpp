#include "indicator_calls.hpp"

#include <string>

#include "module_setup.hpp"
#include "pyops.hpp"
#include "roads.hpp"

namespace orvane::glue {

namespace {

// The module-dict name of the verify_series the module was bound to: while
// the module's verify_series is still that object, its check runs natively.
constexpr const char* kOwnVerify = "_own_verify_series";

// Labels of result frames by their names. Building an Index of texts costs
// pandas more than the frame around it, so each set of names is built once
// per module; every frame gets a shallow copy, whose name a caller may set
// without reaching the others. Bounded: callers sweeping lengths refill it.
constexpr std::size_t kLabelSets = 256;

py::object frame_labels(Call& c, const std::vector<std::string>& names) {
  static py::dict* const built = new py::dict();  // never freed: outlives the interpreter's exit
  py::tuple key(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) key[i] = py::str(names[i]);
  PyObject* found = PyDict_GetItemWithError(built->ptr(), key.ptr());
  if (!found && PyErr_Occurred()) throw py::error_already_set();
  py::object labels =
      found ? py::reinterpret_borrow<py::object>(found) : c.global("Index")(py::list(key));
  if (!found) {
    if (built->size() >= kLabelSets) built->clear();
    (*built)[key] = labels;
  }
  return labels.attr("copy")();
}

// `category` is an attribute of the object: set past pandas' __setattr__,
// which would write into the data when the labels hold that name
void set_category(const py::object& result, const char* family) {
  if (PyObject_GenericSetAttr(result.ptr(), py::str("category").ptr(), py::str(family).ptr()) < 0)
    throw py::error_already_set();
}

// What the package's verify_series returns, checked here.
py::object own_verify(Call& c, py::handle input, const py::object& min_length) {
  if (!py::isinstance(input, c.global("Series"))) {
    raise(PyExc_TypeError, "expected a pandas Series, got " + type_name(input));
  }
  const bool short_input = min_length && compare(py::int_(py::len(input)), min_length, Py_LT);
  return short_input ? py::object(py::none()) : py::reinterpret_borrow<py::object>(input);
}

}  // namespace

void import_indicator_names(py::module_& m) {
  import_from(m, "pandas", "Series");
  import_from(m, "pandas", "DataFrame");
  import_from(m, "pandas", "Index");
  const std::string name = py::str(m.attr("__name__"));
  const std::string utils = name.substr(0, name.rfind('.') + 1) + "utils";
  import_from(m, utils.c_str(), "verify_series");
  m.attr(kOwnVerify) = m.attr("verify_series");
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
  py::object verify_series = c.global("verify_series");
  const bool own = verify_series.is(c.global(kOwnVerify));
  if (own) {
    native_road("indicators.verify_series");
  } else {
    pandas_road("indicators.verify_series", "verify_series is not the package's own");
  }
  Inputs in;
  bool all = true;
  for (py::handle input : inputs) {
    py::object s = own ? own_verify(c, input, min_length)
                       : (min_length ? verify_series(input, min_length) : verify_series(input));
    all = all && !s.is_none();
    in.series.push_back(std::move(s));
  }
  if (!all) return std::nullopt;
  py::object index = in.index();
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

std::optional<Inputs> verified_bars(Call& c, const char* func, const py::object& min_length) {
  return verified_inputs(c, func, {c.arg(0), c.arg(1), c.arg(2)}, {"high", "low", "close"},
                         min_length);
}

std::optional<WilderBars> wilder_bars(Call& c, const char* func) {
  py::object length = indicator_length(c.arg(3), 14);
  auto in = verified_bars(c, func, length);
  if (!in) return std::nullopt;
  return WilderBars{checked_size(length), std::move(*in)};
}

Scratch::Scratch(std::size_t n) : doubles(std::make_unique_for_overwrite<double[]>(n)), size(n) {}

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
  // (columns, rows) in C order, handed over transposed: the 2-D block pandas
  // keeps for one float64 dtype, so it takes it as it is
  py::object values = block_.attr("reshape")(columns, static_cast<py::ssize_t>(rows_)).attr("T");
  py::object result =
      c.global("DataFrame")(values, py::arg("index") = index,
                            py::arg("columns") = frame_labels(c, names_), py::arg("copy") = false);
  set_category(result, family);
  return result;
}

}  // namespace orvane::glue
