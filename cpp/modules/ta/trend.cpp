// Trend indicators: the average directional index.
//
// It reads: the length rule, verify_series (read from this module's dict at
// each call) once per input, the inputs' float64 values, the kernel with the
// GIL released, and a result named after the indicator and its length.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "../../core/indicators.hpp"
#include "../../glue/arrays.hpp"
#include "../../glue/function.hpp"
#include "../../glue/indicator_calls.hpp"
#include "../../glue/roads.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
namespace core = orvane::core;

namespace {

constexpr const char* adx_doc =
    R"doc(Average Directional Index (ADX) with the directional indicators.

+DI and -DI are 100 times Wilder's averages of the upward and downward
moves (the larger of high's rise and low's fall, where positive) over
Wilder's average of the true range; DX is 100 * |+DI - -DI| / (+DI + -DI),
and ADX Wilder's average of DX.

Parameters
----------
high, low, close : pd.Series
    Highs, lows and closes of the bars (any numeric dtype) sharing one
    index.
length : int, default 14
    The smoothings' length: 14 when None, 0 or negative, else truncated
    toward zero.

Returns
-------
pd.DataFrame or None
    A new DataFrame on the index of ``close`` with the columns
    ``"ADX_<length>"``, ``"DMP_<length>"`` (+DI) and ``"DMN_<length>"``
    (-DI), in that order, and the attribute ``category`` set to
    ``"trend"``. The moves and ranges of rows 1 to ``length - 1`` are
    summed and smoothed once more on row ``length``, where +DI and -DI
    start; ADX starts on row ``2 * length - 1`` with the mean of DX over
    the ``length`` rows to it. None when an input is shorter than
    ``length``.

Raises
------
TypeError
    If ``length`` is not a number, or an input is not a Series or holds
    something other than numbers.
ValueError
    If the three do not share one index.

Notes
-----
A row whose high or low (or the one before) is missing has missing moves;
the true range leaves out the distances a missing value makes missing.
Wilder's averages keep their values and age their weights through missing
(or infinite) rows, as ``Series.ewm(alpha=1 / length, adjust=False).mean()``
does. Where the true range's average is 0 (a flat series from the start)
+DI and -DI are 0, and where both are 0 so is DX.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import trend
>>> high = pd.Series([11.0, 12.0, 11.5, 12.5, 13.0, 12.0, 12.5])
>>> low = pd.Series([9.5, 10.5, 10.0, 11.0, 11.5, 10.5, 11.0])
>>> close = pd.Series([10.0, 11.0, 10.5, 11.5, 12.0, 11.0, 12.0])
>>> trend.adx(high, low, close, length=2).round(2)
   ADX_2  DMP_2  DMN_2
0    NaN    NaN    NaN
1    NaN    NaN    NaN
2    NaN  20.00  20.00
3  33.33  38.46   7.69
4  56.67  36.00   4.00
5  43.72  18.37  34.69
6  31.38  25.77  17.53)doc";

constexpr glue::Signature adx_sig{
    "adx(high: Series, low: Series, close: Series, length: int = 14) -> 'Optional[DataFrame]'"};
glue::Plan adx_plan(const py::object& length) {
  const std::size_t n = glue::checked_size(glue::indicator_length(length, 14));
  const std::string tail = "_" + std::to_string(n);
  return {{"ADX" + tail, "DMP" + tail, "DMN" + tail},
          n,
          [](std::size_t) { return std::size_t{0}; },
          [n](const auto& in, auto, const auto& out) {
            core::directional(in[0], in[1], in[2], n, out[0], out[1], out[2]);
          }};
}

py::object adx(glue::CallOf<adx_sig>& c) {
  const glue::Plan plan = adx_plan(c.arg<"length">());
  auto in = glue::verified_bars(c, "adx", plan.min_rows);
  if (!in) return py::none();
  return glue::computed(c, plan, *in, "trend", "trend.adx");
}

// ADX over the groups of rows of long columns, for the strategy runner: the
// plan of adx, with the same arguments.
constexpr glue::Signature adx_groups_sig{
    "_adx_groups(out: object, bounds: object, high: object, low: object, close: object, length: "
    "int = 14) "
    "-> tuple"};
py::object adx_groups(glue::CallOf<adx_groups_sig>& c) {
  return glue::computed_by_groups(adx_plan(c.arg<"length">()), c.arg<"bounds">(),
                                  {c.arg<"high">(), c.arg<"low">(), c.arg<"close">()},
                                  c.arg<"out">(), "trend.adx_groups");
}

}  // namespace

PYBIND11_MODULE(trend, m) {
  m.doc() = "Trend indicators: the average directional index.";
  glue::import_indicator_names(m);
  glue::def<adx_sig>(m, adx_doc, adx, glue::Checks::declared);
  glue::def<adx_groups_sig>(m, "ADX over groups of rows (for the strategy runner).", adx_groups,
                            glue::Checks::declared);
}
