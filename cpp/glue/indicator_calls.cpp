#include "indicator_calls.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "columns.hpp"
#include "module_setup.hpp"
#include "pyops.hpp"
#include "results.hpp"
#include "roads.hpp"
#include "series_helpers.hpp"

namespace orvane::glue {

namespace {

// The module-dict name of the verify_series the module was bound to: while
// the module's verify_series is still that object, its check runs natively.
constexpr ParamName kOwnVerify{"_own_verify_series"};

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
      found ? py::reinterpret_borrow<py::object>(found) : c.global<"Index">()(py::list(key));
  if (!found) {
    if (built->size() >= kLabelSets) built->clear();
    (*built)[key] = labels;
  }
  return labels.attr("copy")();
}

}  // namespace

void import_indicator_names(py::module_& m) {
  import_from(m, "pandas", "Series");
  import_from(m, "pandas", "DataFrame");
  import_from(m, "pandas", "Index");
  const std::string name = py::str(m.attr("__name__"));
  const std::string utils = name.substr(0, name.rfind('.') + 1) + "utils";
  import_from(m, utils.c_str(), "verify_series");
  m.attr(kOwnVerify.text) = m.attr("verify_series");
}

py::object indicator_length(const py::object& length, long default_length) {
  if (!length.is_none() && truthy(length) && compare(length, py::int_(0), Py_GT)) return length;
  return py::int_(default_length);
}

std::size_t checked_size(const py::object& length) {
  const std::size_t n = PyLong_AsSize_t(length.ptr());
  if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();
  }
  return n;
}

std::optional<Inputs> verified_inputs(Call& c, const char* func,
                                      std::initializer_list<py::handle> inputs,
                                      std::initializer_list<const char*> names,
                                      std::size_t min_rows) {
  py::object verify_series = c.global<"verify_series">();
  const bool own = verify_series.is(c.global<kOwnVerify>());
  if (own) {
    native_road("indicators.verify_series");
  } else {
    pandas_road("indicators.verify_series", "verify_series is not the package's own");
  }
  Inputs in;
  bool all = true;
  for (py::handle input : inputs) {
    py::object least = min_rows ? py::object(py::int_(min_rows)) : py::object(py::none());
    py::object s = own ? verified_series(py::reinterpret_borrow<py::object>(input), least,
                                         c.global<"Series">())
                       : (min_rows ? verify_series(input, least) : verify_series(input));
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

std::optional<Inputs> verified_bars(Call& c, const char* func, std::size_t min_rows) {
  return verified_inputs(c, func, {c.arg(0), c.arg(1), c.arg(2)}, {"high", "low", "close"},
                         min_rows);
}

py::object computed(Call& c, const Plan& plan, const Inputs& in, const char* family,
                    std::string_view road) {
  std::vector<std::span<const double>> inputs;
  for (const Float64Values& values : in.values) inputs.push_back(values.span());
  const Scratch scratch(plan.scratch(in.rows()));
  if (plan.names.size() == 1) {
    Float64Array out = new_float64(in.rows());
    const std::vector<std::span<double>> outputs{writable(out)};
    without_gil_over(road, in.rows(), [&] { plan.kernel(inputs, scratch.span(), outputs); });
    native_road(road);
    return indicator_series(c, std::move(out), in.index(), plan.names[0], family);
  }
  FrameColumns out(plan.names, in.rows());
  return std::move(out).computed(c, in.index(), family, road, [&](FrameColumns& o) {
    std::vector<std::span<double>> outputs;
    for (std::size_t i = 0; i < plan.names.size(); ++i) outputs.push_back(o.column(i));
    plan.kernel(inputs, scratch.span(), outputs);
  });
}

namespace {

// The group bounds as row offsets: rising from 0 to `rows`.
std::vector<std::size_t> group_bounds(const py::handle& bounds, std::size_t rows) {
  const Int64Array array = py::cast<Int64Array>(bounds);
  const std::span<const std::int64_t> cuts = view(array);
  std::vector<std::size_t> out;
  bool rising =
      !cuts.empty() && cuts.front() == 0 && cuts.back() == static_cast<std::int64_t>(rows);
  for (std::size_t g = 0; rising && g < cuts.size(); ++g) {
    rising = g == 0 || cuts[g] >= cuts[g - 1];
    out.push_back(static_cast<std::size_t>(cuts[g]));
  }
  if (!rising) raise(PyExc_ValueError, "bounds must rise from 0 to the columns' length");
  return out;
}

// The rows of `out` as one span per output, checked against the plan and the
// columns' length.
std::vector<std::span<double>> output_rows(const py::handle& out, std::size_t outputs,
                                           std::size_t rows) {
  auto block = py::reinterpret_borrow<py::array>(out);
  const bool fits = py::isinstance<py::array_t<double>>(out) && block.ndim() == 2 &&
                    block.writeable() && static_cast<std::size_t>(block.shape(0)) == outputs &&
                    static_cast<std::size_t>(block.shape(1)) == rows &&
                    (rows < 2 || block.strides(1) == sizeof(double)) &&
                    block.strides(0) % static_cast<py::ssize_t>(sizeof(double)) == 0;
  if (!fits) {
    raise(PyExc_ValueError, "out must be a writable float64 array of " + std::to_string(outputs) +
                                " contiguous rows of " + std::to_string(rows));
  }
  auto* first = static_cast<double*>(block.mutable_data());
  const py::ssize_t step = block.strides(0) / static_cast<py::ssize_t>(sizeof(double));
  std::vector<std::span<double>> spans;
  for (std::size_t i = 0; i < outputs; ++i)
    spans.emplace_back(first + step * static_cast<py::ssize_t>(i), rows);
  return spans;
}

// The kernel over each group long enough, NaN over the others; whether any
// was.
bool run_groups(const Plan& plan, const std::vector<std::size_t>& cuts,
                const std::vector<std::span<const double>>& columns,
                const std::vector<std::span<double>>& block) {
  std::size_t widest = 0;
  for (std::size_t g = 0; g + 1 < cuts.size(); ++g)
    widest = std::max(widest, cuts[g + 1] - cuts[g]);
  const Scratch scratch(widest >= plan.min_rows ? plan.scratch(widest) : 0);
  bool any = false;
  std::vector<std::span<const double>> inputs(columns.size());
  std::vector<std::span<double>> outputs(block.size());
  for (std::size_t g = 0; g + 1 < cuts.size(); ++g) {
    const std::size_t from = cuts[g], count = cuts[g + 1] - from;
    for (std::size_t i = 0; i < outputs.size(); ++i) outputs[i] = block[i].subspan(from, count);
    if (count < plan.min_rows || count == 0) {
      for (std::span<double> rows : outputs) std::fill(rows.begin(), rows.end(), std::nan(""));
      continue;
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) inputs[i] = columns[i].subspan(from, count);
    plan.kernel(inputs, scratch.span().first(plan.scratch(count)), outputs);
    any = true;
  }
  return any;
}

}  // namespace

py::tuple computed_by_groups(const Plan& plan, const py::handle& bounds,
                             std::initializer_list<py::handle> columns, const py::handle& out,
                             std::string_view road) {
  std::vector<Float64Values> values;
  std::vector<std::span<const double>> spans;
  for (py::handle column : columns) {
    values.push_back(float64_values(column, "a grouped column"));
    spans.push_back(values.back().span());
    if (spans.back().size() != spans.front().size())
      raise(PyExc_ValueError, "grouped columns must have one length");
  }
  const std::size_t rows = spans.front().size(), width = plan.names.size();
  const std::vector<std::size_t> cuts = group_bounds(bounds, rows);
  py::object block = out.is_none() ? new_float64(width * rows).attr("reshape")(width, rows)
                                   : py::reinterpret_borrow<py::object>(out);
  const std::vector<std::span<double>> rows_of = output_rows(block, width, rows);
  const bool any =
      without_gil_over(road, rows, [&] { return run_groups(plan, cuts, spans, rows_of); });
  native_road(road);
  py::list names;
  for (const std::string& name : plan.names) names.append(py::str(name));
  return py::make_tuple(names, block, any);
}

Scratch::Scratch(std::size_t n) : doubles(std::make_unique_for_overwrite<double[]>(n)), size(n) {}

py::object indicator_series(Call& c, Float64Array values, const py::handle& index,
                            const std::string& name, const char* family) {
  py::object result = new_series(c.global<"Series">(), values, index, py::str(name));
  set_category(result, interned(family));
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
  py::object result = c.global<"DataFrame">()(values, py::arg("index") = index,
                                              py::arg("columns") = frame_labels(c, names_),
                                              py::arg("copy") = false);
  set_category(result, interned(family));
  return result;
}

}  // namespace orvane::glue
