// Volume indicators: on-balance volume.
//
// It reads: verify_series (read from this module's dict at each call) once
// per input, the inputs' float64 values, the kernel with the GIL released,
// and a result named after the indicator.
#include <pybind11/pybind11.h>

#include "../../core/indicators.hpp"
#include "../../glue/arrays.hpp"
#include "../../glue/function.hpp"
#include "../../glue/indicator_calls.hpp"
#include "../../glue/roads.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
namespace core = orvane::core;

namespace {

constexpr const char* obv_doc =
    R"doc(On-Balance Volume (OBV).

A running total of volume: the first row's volume, then each row's volume
added when the close rose from the row before and subtracted when it fell.

Parameters
----------
close : pd.Series
    The closes, of any numeric dtype.
volume : pd.Series
    The volumes, of any numeric dtype, on the index of ``close``.

Returns
-------
pd.Series
    A new float64 Series on the index of ``close``, named ``"OBV"``, with
    the attribute ``category`` set to ``"volume"``.

Raises
------
TypeError
    If an input is not a Series or does not hold numbers.
ValueError
    If the inputs' indexes differ.

Notes
-----
As ``(numpy.sign(close.diff()) * volume).cumsum()`` (with the first sign
taken as 1) reads them, a row whose volume is missing, or whose close or
the close before is missing, is NaN and adds nothing to the total.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import volume
>>> close = pd.Series([10.0, 11.0, 10.5, 10.5, 12.0])
>>> vol = pd.Series([100, 200, 150, 120, 300])
>>> volume.obv(close, vol).tolist()
[100.0, 300.0, 150.0, 150.0, 450.0])doc";

constexpr glue::Signature obv_sig{"obv(close: Series, volume: Series) -> 'Optional[Series]'"};
glue::Plan obv_plan() {
  return {
      {"OBV"},
      0,
      [](std::size_t) { return std::size_t{0}; },
      [](const auto& in, auto, const auto& out) { core::balance_volume(in[0], in[1], out[0]); }};
}

py::object obv(glue::CallOf<obv_sig>& c) {
  auto in = glue::verified_inputs(c, "obv", {c.arg<"close">(), c.arg<"volume">()},
                                  {"close", "volume"}, 0);
  if (!in) return py::none();
  return glue::computed(c, obv_plan(), *in, "volume", "volume.obv");
}

// OBV over the groups of rows of long columns, for the strategy runner.
constexpr glue::Signature obv_groups_sig{
    "_obv_groups(out: object, bounds: object, close: object, volume: object) -> tuple"};
py::object obv_groups(glue::CallOf<obv_groups_sig>& c) {
  return glue::computed_by_groups(obv_plan(), c.arg<"bounds">(),
                                  {c.arg<"close">(), c.arg<"volume">()}, c.arg<"out">(),
                                  "volume.obv_groups");
}

}  // namespace

PYBIND11_MODULE(volume, m) {
  m.doc() = "Volume indicators: on-balance volume.";
  glue::import_indicator_names(m);
  glue::def<obv_sig>(m, obv_doc, obv, glue::Checks::declared);
  glue::def<obv_groups_sig>(m, "OBV over groups of rows (for the strategy runner).", obv_groups,
                            glue::Checks::declared);
}
