// Momentum indicators: relative strength, moving average convergence and the
// stochastic oscillator.
//
// Each reads: the length rule, verify_series (read from this module's dict
// at each call) once per input, the inputs' float64 values, the kernel with
// the GIL released, and a result named after the indicator and its lengths.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../core/indicators.hpp"
#include "../../glue/arrays.hpp"
#include "../../glue/function.hpp"
#include "../../glue/indicator_calls.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/roads.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
namespace core = orvane::core;

namespace {

constexpr const char* kFamily = "momentum";

std::string suffix(std::initializer_list<std::size_t> lengths) {
  std::string text;
  for (std::size_t n : lengths) text += "_" + std::to_string(n);
  return text;
}

constexpr const char* rsi_doc =
    R"doc(Relative Strength Index (RSI).

100 * gain / (gain + loss), where gain and loss are Wilder's averages of
the close-to-close rises and falls: each seeded with the simple mean of its
first ``length`` changes on row ``length``, then blended with weight
1 / length.

Parameters
----------
close : pd.Series
    The prices, of any numeric dtype.
length : int, default 14
    The rows of Wilder's averages: 14 when None, 0 or negative; other
    numbers are truncated toward zero.

Returns
-------
pd.Series or None
    A new Series on the index of ``close``, named ``"RSI_<length>"``, with
    the attribute ``category`` set to ``"momentum"``; NaN before row
    ``length``. None when ``close`` is shorter than ``length``.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or ``length`` is
    not a number.

Notes
-----
A missing close (NaN or an infinity) makes the changes from and to it
missing: the averages keep their values through them and age their weight,
as ``Series.ewm(alpha=1 / length, adjust=False).mean()`` does. Where
neither average has moved (a flat series from the start) the value is 0.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import momentum
>>> close = pd.Series([10.0, 11.0, 10.5, 11.5, 12.0, 11.0, 11.5])
>>> momentum.rsi(close, length=3).round(2).tolist()
[nan, nan, nan, 80.0, 84.62, 50.0, 61.74]
>>> momentum.rsi(close, length=3).name, momentum.rsi(close, length=8)
('RSI_3', None))doc";

constexpr glue::Signature rsi_sig{"rsi(close: Series, length: int = 14) -> 'Optional[Series]'"};
glue::Plan rsi_plan(const py::object& length) {
  const std::size_t n = glue::checked_size(glue::indicator_length(length, 14));
  return {{"RSI" + suffix({n})},
          n,
          [](std::size_t) { return std::size_t{0}; },
          [n](const auto& in, auto, const auto& out) { core::strength_index(in[0], n, out[0]); }};
}

py::object rsi(glue::CallOf<rsi_sig>& c) {
  const glue::Plan plan = rsi_plan(c.arg<"length">());
  auto in = glue::verified_inputs(c, "rsi", {c.arg<"close">()}, {"close"}, plan.min_rows);
  if (!in) return py::none();
  return glue::computed(c, plan, *in, kFamily, "momentum.rsi");
}

constexpr const char* macd_doc =
    R"doc(Moving Average Convergence Divergence (MACD).

The exponential mean of ``fast`` rows minus that of ``slow`` rows
(smoothing 2 / (n + 1)), the signal line (the exponential mean of that
line over ``signal`` rows) and the histogram (line minus signal).

Parameters
----------
close : pd.Series
    The prices, of any numeric dtype.
fast, slow, signal : int, default 12, 26 and 9
    The three spans; each takes its default when None, 0 or negative, and
    other numbers are truncated toward zero. A ``slow`` shorter than
    ``fast`` swaps the two.

Returns
-------
pd.DataFrame or None
    A new DataFrame on the index of ``close`` with the columns
    ``"MACD_<fast>_<slow>_<signal>"``, ``"MACDs_..."`` (signal) and
    ``"MACDh_..."`` (histogram), in that order, and the attribute
    ``category`` set to ``"momentum"``. Both means are seeded on row
    ``slow - 1`` with the simple mean of their last window there, so the
    line starts on that row; the signal is seeded with the mean of the
    line's first ``signal`` values, so it and the histogram start on row
    ``slow + signal - 2``. None when ``close`` is shorter than the longest
    span.

Raises
------
TypeError
    If ``close`` is not a Series or does not hold numbers, or a span is not
    a number.

Notes
-----
Missing closes (NaN or infinities) are skipped by the means, which keep
their values and age their weights through them, as
``Series.ewm(span=n, adjust=False).mean()`` does; the seeds are the means
of the observed values of their windows.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import momentum
>>> close = pd.Series([10.0, 11.0, 10.5, 11.5, 12.0, 11.0, 11.5])
>>> momentum.macd(close, fast=2, slow=3, signal=2).round(4)
   MACD_2_3_2  MACDs_2_3_2  MACDh_2_3_2
0         NaN          NaN          NaN
1         NaN          NaN          NaN
2      0.2500          NaN          NaN
3      0.2500       0.2500       0.0000
4      0.2500       0.2500       0.0000
5      0.0000       0.0833      -0.0833
6      0.0417       0.0556      -0.0139)doc";

constexpr glue::Signature macd_sig{
    "macd(close: Series, fast: int = 12, slow: int = 26, signal: int = 9) "
    "-> 'Optional[DataFrame]'"};
glue::Plan macd_plan(const py::object& fast, const py::object& slow, const py::object& signal) {
  std::size_t f = glue::checked_size(glue::indicator_length(fast, 12)),
              s = glue::checked_size(glue::indicator_length(slow, 26)),
              g = glue::checked_size(glue::indicator_length(signal, 9));
  if (s < f) std::swap(f, s);
  const std::string tail = suffix({f, s, g});
  return {{"MACD" + tail, "MACDs" + tail, "MACDh" + tail},
          std::max(s, g),
          [](std::size_t) { return std::size_t{0}; },
          [f, s, g](const auto& in, auto, const auto& out) {
            core::convergence(in[0], f, s, g, out[0], out[1], out[2]);
          }};
}

py::object macd(glue::CallOf<macd_sig>& c) {
  const glue::Plan plan = macd_plan(c.arg<"fast">(), c.arg<"slow">(), c.arg<"signal">());
  auto in = glue::verified_inputs(c, "macd", {c.arg<"close">()}, {"close"}, plan.min_rows);
  if (!in) return py::none();
  return glue::computed(c, plan, *in, kFamily, "momentum.macd");
}

constexpr const char* stoch_doc =
    R"doc(Stochastic Oscillator (%K and %D).

The raw %K is 100 * (close - lowest low) / (highest high - lowest low) over
the trailing ``k`` rows; %K is its simple mean over ``smooth_k`` rows and
%D the simple mean of %K over ``d`` rows.

Parameters
----------
high, low, close : pd.Series
    The bars' highs, lows and closes, of any numeric dtype, on equal
    indexes.
k : int, default 14
    The rows of the high-low range.
d : int, default 3
    The rows of %D's mean.
smooth_k : int, default 3
    The rows of %K's mean.
    Each length takes its default when None, 0 or negative; other numbers
    are truncated toward zero.

Returns
-------
pd.DataFrame or None
    A new DataFrame on the index of ``close`` with the columns
    ``"STOCHk_<k>_<d>_<smooth_k>"`` and ``"STOCHd_<k>_<d>_<smooth_k>"``,
    and the attribute ``category`` set to ``"momentum"``. %K starts on row
    ``k + smooth_k - 2`` and %D ``d - 1`` rows later. None when an input is
    shorter than the longest length.

Raises
------
TypeError
    If an input is not a Series or does not hold numbers, or a length is
    not a number.
ValueError
    If the inputs' indexes differ.

Notes
-----
As ``rolling(n).min()``, ``rolling(n).max()`` and ``rolling(n).mean()``
read them, a window holding a missing value (NaN or an infinity) is NaN, and
so are the means over it. A flat range (highest high equal to lowest low)
gives a raw %K of 0.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import momentum
>>> high = pd.Series([11.0, 12.0, 11.5, 12.5, 13.0, 12.0])
>>> low = pd.Series([9.5, 10.5, 10.0, 11.0, 11.5, 10.5])
>>> close = pd.Series([10.0, 11.0, 10.5, 11.5, 12.0, 11.0])
>>> momentum.stoch(high, low, close, k=3, d=2, smooth_k=2).round(2)
   STOCHk_3_2_2  STOCHd_3_2_2
0           NaN           NaN
1           NaN           NaN
2           NaN           NaN
3         50.00           NaN
4         63.33         56.67
5         43.33         53.33)doc";

constexpr glue::Signature stoch_sig{
    "stoch(high: Series, low: Series, close: Series, k: int = 14, d: int = 3, "
    "smooth_k: int = 3) -> 'Optional[DataFrame]'"};
glue::Plan stoch_plan(const py::object& k, const py::object& d, const py::object& smooth_k) {
  const std::size_t nk = glue::checked_size(glue::indicator_length(k, 14)),
                    nd = glue::checked_size(glue::indicator_length(d, 3)),
                    ns = glue::checked_size(glue::indicator_length(smooth_k, 3));
  const std::string tail = suffix({nk, nd, ns});
  return {{"STOCHk" + tail, "STOCHd" + tail},
          std::max({nk, nd, ns}),
          [=](std::size_t rows) { return core::stochastic_scratch(rows, nk, nd, ns); },
          [=](const auto& in, auto scratch, const auto& out) {
            core::stochastic(in[0], in[1], in[2], nk, nd, ns, scratch, out[0], out[1]);
          }};
}

py::object stoch(glue::CallOf<stoch_sig>& c) {
  const glue::Plan plan = stoch_plan(c.arg<"k">(), c.arg<"d">(), c.arg<"smooth_k">());
  auto in = glue::verified_bars(c, "stoch", plan.min_rows);
  if (!in) return py::none();
  return glue::computed(c, plan, *in, kFamily, "momentum.stoch");
}

// The indicators over the groups of rows of long columns, for the strategy
// runner: each the plan of its public function, with the same arguments.
constexpr glue::Signature rsi_groups_sig{
    "_rsi_groups(out: object, bounds: object, close: object, length: int = 14) -> tuple"};
py::object rsi_groups(glue::CallOf<rsi_groups_sig>& c) {
  return glue::computed_by_groups(rsi_plan(c.arg<"length">()), c.arg<"bounds">(),
                                  {c.arg<"close">()}, c.arg<"out">(), "momentum.rsi_groups");
}

constexpr glue::Signature macd_groups_sig{
    "_macd_groups(out: object, bounds: object, close: object, fast: int = 12, slow: int = 26, "
    "signal: int = 9) -> tuple"};
py::object macd_groups(glue::CallOf<macd_groups_sig>& c) {
  return glue::computed_by_groups(macd_plan(c.arg<"fast">(), c.arg<"slow">(), c.arg<"signal">()),
                                  c.arg<"bounds">(), {c.arg<"close">()}, c.arg<"out">(),
                                  "momentum.macd_groups");
}

constexpr glue::Signature stoch_groups_sig{
    "_stoch_groups(out: object, bounds: object, high: object, low: object, close: object, k: int = "
    "14, "
    "d: int = 3, smooth_k: int = 3) -> tuple"};
py::object stoch_groups(glue::CallOf<stoch_groups_sig>& c) {
  return glue::computed_by_groups(
      stoch_plan(c.arg<"k">(), c.arg<"d">(), c.arg<"smooth_k">()), c.arg<"bounds">(),
      {c.arg<"high">(), c.arg<"low">(), c.arg<"close">()}, c.arg<"out">(), "momentum.stoch_groups");
}

}  // namespace

PYBIND11_MODULE(momentum, m) {
  m.doc() = "Momentum indicators: relative strength, MACD and the stochastic oscillator.";
  glue::import_indicator_names(m);
  glue::def<rsi_sig>(m, rsi_doc, rsi, glue::Checks::declared);
  glue::def<macd_sig>(m, macd_doc, macd, glue::Checks::declared);
  glue::def<stoch_sig>(m, stoch_doc, stoch, glue::Checks::declared);
  constexpr const char* groups_doc = "The indicator over groups of rows (for the strategy runner).";
  glue::def<rsi_groups_sig>(m, groups_doc, rsi_groups, glue::Checks::declared);
  glue::def<macd_groups_sig>(m, groups_doc, macd_groups, glue::Checks::declared);
  glue::def<stoch_groups_sig>(m, groups_doc, stoch_groups, glue::Checks::declared);
}
