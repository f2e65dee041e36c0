// Volatility indicators: Bollinger bands and the average true range.
//
// Each reads: the length rule, verify_series (read from this module's dict
// at each call) once per input, the inputs' float64 values, the kernel with
// the GIL released, and a result named after the indicator and its lengths.
#include <pybind11/pybind11.h>

#include <cmath>
#include <string>
#include <vector>

#include "../../core/indicators.hpp"
#include "../../glue/arrays.hpp"
#include "../../glue/checks.hpp"
#include "../../glue/function.hpp"
#include "../../glue/indicator_calls.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/roads.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
namespace core = orvane::core;

namespace {

constexpr const char* kFamily = "volatility";

// A real number as float (bools and numpy scalars included), refusing text
// and other objects with the package's argument TypeError; ValueError for a
// NaN or an infinity, which would make every band one.
double finite_float(const py::object& value, const char* arg) {
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    glue::check_type(value, arg, glue::builtin("float"));
  }
  if (!std::isfinite(number)) {
    glue::raise(PyExc_ValueError,
                std::string(arg) + " must be a finite number, got " + std::string(py::repr(value)));
  }
  return number;
}

constexpr const char* bbands_doc =
    R"doc(Bollinger Bands.

The simple mean of the trailing ``length`` rows, and that mean plus and
minus ``std`` times the rows' standard deviation.

Parameters
----------
close : pd.Series
    The prices, of any numeric dtype.
length : int, default 20
    The window in rows; the default when None, 0 or negative. Other numbers
    are truncated toward zero.
std : float, default 2.0
    The bands' distance from the mean in standard deviations.
ddof : int, default 0
    Delta degrees of freedom of the standard deviation: 0 for the
    population's, 1 for the sample's.

Returns
-------
pd.DataFrame or None
    A new DataFrame on the index of ``close`` with the columns
    ``"BBU_<length>_<std>"`` (upper), ``"BBM_<length>_<std>"`` (middle)
    and ``"BBL_<length>_<std>"`` (lower), in that order, and the attribute
    ``category`` set to ``"volatility"``; NaN for the first ``length - 1``
    rows, and on every row when ``ddof`` is not less than ``length``. None
    when ``close`` is shorter than ``length``.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, ``length`` or
    ``ddof`` is not a number, or ``std`` is not a real number.
ValueError
    If ``std`` is NaN or infinite.

Notes
-----
As ``rolling(length).mean()`` and ``rolling(length).std(ddof=ddof)`` read
them, a window holding a missing value (NaN or an infinity) is NaN in all
three bands. A flat window gives three equal bands.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import volatility
>>> close = pd.Series([10.0, 11.0, 10.5, 11.5, 12.0, 11.0])
>>> volatility.bbands(close, length=3, std=1.0).round(4)
   BBU_3_1.0  BBM_3_1.0  BBL_3_1.0
0        NaN        NaN        NaN
1        NaN        NaN        NaN
2    10.9082    10.5000    10.0918
3    11.4082    11.0000    10.5918
4    11.9569    11.3333    10.7097
5    11.9082    11.5000    11.0918)doc";

constexpr glue::Signature bbands_sig{
    "bbands(close: Series, length: int = 20, std: float = 2.0, ddof: int = 0) "
    "-> 'Optional[DataFrame]'"};
glue::Plan bbands_plan(const py::object& length, const py::object& std,
                       const py::object& ddof_arg) {
  const std::size_t n = glue::checked_size(glue::indicator_length(length, 20));
  const double width = finite_float(std, "std");
  const long ddof = PyLong_AsLong(ddof_arg.ptr());
  if (ddof == -1 && PyErr_Occurred()) throw py::error_already_set();
  const std::string tail = "_" + std::to_string(n) + "_" + std::string(py::str(py::float_(width)));
  return {{"BBU" + tail, "BBM" + tail, "BBL" + tail},
          n,
          [n](std::size_t rows) { return core::bands_scratch(rows, n); },
          [=](const auto& in, auto scratch, const auto& out) {
            core::bands(in[0], n, width, ddof, scratch, out[0], out[1], out[2]);
          }};
}

py::object bbands(glue::CallOf<bbands_sig>& c) {
  const glue::Plan plan = bbands_plan(c.arg<"length">(), c.arg<"std">(), c.arg<"ddof">());
  auto in = glue::verified_inputs(c, "bbands", {c.arg<"close">()}, {"close"}, plan.min_rows);
  if (!in) return py::none();
  return glue::computed(c, plan, *in, kFamily, "volatility.bbands");
}

constexpr const char* atr_doc =
    R"doc(Average True Range (ATR).

Wilder's average of the true range, the largest of high - low and the
distances of high and low from the previous close: seeded with the simple
mean of the true ranges of rows 1 to ``length`` on row ``length``, then
blended with weight 1 / length.

Parameters
----------
high, low, close : pd.Series
    The bars' highs, lows and closes, of any numeric dtype, on equal
    indexes.
length : int, default 14
    Wilder's length; the default when None, 0 or negative. Other numbers
    are truncated toward zero.

Returns
-------
pd.Series or None
    A new Series on the index of ``close``, named ``"ATR_<length>"``, with
    the attribute ``category`` set to ``"volatility"``; NaN before row
    ``length``. None when an input is shorter than ``length``.

Raises
------
TypeError
    If an input is not a Series or does not hold numbers, or ``length`` is
    not a number.
ValueError
    If the inputs' indexes differ.

Notes
-----
A row's true range leaves out the distances a missing value makes missing,
as ``DataFrame.max(axis=1)`` does, and is missing only when all three are;
Wilder's average keeps its value and ages its weight through missing (or
infinite) ranges, as ``Series.ewm(alpha=1 / length, adjust=False).mean()``
does. A flat stretch gives a range of 0, never a missing value.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import volatility
>>> bars = pd.DataFrame({"high": [11.0, 12.0, 11.5, 12.5, 13.0, 12.0],
...                      "low": [9.5, 10.5, 10.0, 11.0, 11.5, 10.5],
...                      "close": [10.0, 11.0, 10.5, 11.5, 12.0, 11.0]})
>>> volatility.atr(bars["high"], bars["low"], bars["close"], length=3).round(4).tolist()
[nan, nan, nan, 1.8333, 1.7222, 1.6481])doc";

constexpr glue::Signature atr_sig{
    "atr(high: Series, low: Series, close: Series, length: int = 14) -> 'Optional[Series]'"};
glue::Plan atr_plan(const py::object& length) {
  const std::size_t n = glue::checked_size(glue::indicator_length(length, 14));
  return {{"ATR_" + std::to_string(n)},
          n,
          [](std::size_t) { return std::size_t{0}; },
          [n](const auto& in, auto, const auto& out) {
            core::average_range(in[0], in[1], in[2], n, out[0]);
          }};
}

py::object atr(glue::CallOf<atr_sig>& c) {
  const glue::Plan plan = atr_plan(c.arg<"length">());
  auto in = glue::verified_bars(c, "atr", plan.min_rows);
  if (!in) return py::none();
  return glue::computed(c, plan, *in, kFamily, "volatility.atr");
}

// The indicators over the groups of rows of long columns, for the strategy
// runner: each the plan of its public function, with the same arguments.
constexpr glue::Signature bbands_groups_sig{
    "_bbands_groups(out: object, bounds: object, close: object, length: int = 20, std: float = "
    "2.0, "
    "ddof: int = 0) -> tuple"};
py::object bbands_groups(glue::CallOf<bbands_groups_sig>& c) {
  return glue::computed_by_groups(bbands_plan(c.arg<"length">(), c.arg<"std">(), c.arg<"ddof">()),
                                  c.arg<"bounds">(), {c.arg<"close">()}, c.arg<"out">(),
                                  "volatility.bbands_groups");
}

constexpr glue::Signature atr_groups_sig{
    "_atr_groups(out: object, bounds: object, high: object, low: object, close: object, length: "
    "int = 14) "
    "-> tuple"};
py::object atr_groups(glue::CallOf<atr_groups_sig>& c) {
  return glue::computed_by_groups(atr_plan(c.arg<"length">()), c.arg<"bounds">(),
                                  {c.arg<"high">(), c.arg<"low">(), c.arg<"close">()},
                                  c.arg<"out">(), "volatility.atr_groups");
}

}  // namespace

PYBIND11_MODULE(volatility, m) {
  m.doc() = "Volatility indicators: Bollinger bands and the average true range.";
  glue::import_indicator_names(m);
  glue::def<bbands_sig>(m, bbands_doc, bbands, glue::Checks::declared);
  glue::def<atr_sig>(m, atr_doc, atr, glue::Checks::declared);
  constexpr const char* groups_doc = "The indicator over groups of rows (for the strategy runner).";
  glue::def<bbands_groups_sig>(m, groups_doc, bbands_groups, glue::Checks::declared);
  glue::def<atr_groups_sig>(m, groups_doc, atr_groups, glue::Checks::declared);
}
