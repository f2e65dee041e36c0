// Series helpers every indicator calls: the input check, the row offset and
// the fill options applied to a result.
#include <pybind11/pybind11.h>

#include <string>

#include "../../glue/function.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/series_helpers.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

namespace {

// Every function's arguments pass the checks their declared types imply.
constexpr auto checked = glue::Checks::declared;

constexpr const char* verify_doc =
    R"doc(Return the series to compute on, or None when it is too short.

Parameters
----------
series : pd.Series
    The input of an indicator; a subclass of Series is accepted too.
min_length : int, optional
    The rows the series needs; no minimum when None. Other numbers are
    truncated toward zero.

Returns
-------
pd.Series or None
    ``series`` itself, or None when it has fewer than ``min_length`` rows.

Raises
------
TypeError
    If ``series`` is not a pandas Series, or ``min_length`` is not a
    number.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.ta import utils
>>> close = pd.Series([10.0, 11.0, 12.0])
>>> utils.verify_series(close, 3) is close, utils.verify_series(close, 4)
(True, None)
>>> utils.verify_series([10.0, 11.0])
Traceback (most recent call last):
TypeError: expected a pandas Series, got list)doc";

constexpr const char* offset_doc =
    R"doc(The number of rows to shift a result by: 0 for None, else the int given.

Parameters
----------
x : int, optional
    The offset an indicator was called with; other numbers are truncated
    toward zero.

Returns
-------
int
    0 for None, else ``x`` as an int.

Raises
------
TypeError
    If ``x`` is neither a number nor None.

Examples
--------
>>> from orvane_data.ta import utils
>>> utils.get_offset(None), utils.get_offset(2), utils.get_offset(-1.7)
(0, 2, -1))doc";

constexpr const char* apply_offset_doc =
    "Shift the series by ``offset`` rows (Series.shift); unchanged when the\n"
    "offset is 0.";

constexpr const char* fills_doc =
    "Apply the fill options of an indicator call to its result.\n"
    "\n"
    "``fillna=value`` replaces missing values with ``value``; then\n"
    "``fill_method=\"ffill\"`` or ``\"bfill\"`` propagates the last (next) valid\n"
    "value into the remaining gaps. A None option is not applied, and every\n"
    "other keyword is ignored, so indicators can pass all their options.";

constexpr glue::Signature verify_series_sig{
    "verify_series(series: Series, min_length: int = None) -> 'Optional[Series]'"};
py::object verify_series(glue::CallOf<verify_series_sig>& c) {
  return glue::verified_series(c.arg<"series">(), c.arg<"min_length">(), c.global<"Series">());
}

constexpr glue::Signature get_offset_sig{"get_offset(x: int = None) -> int"};
py::object get_offset(glue::CallOf<get_offset_sig>& c) {
  const py::object& x = c.arg<"x">();
  return x.is_none() ? py::int_(0) : x;
}

constexpr glue::Signature apply_offset_sig{
    "_apply_offset(series: Series, offset: int = 0) -> Series"};
py::object apply_offset(glue::CallOf<apply_offset_sig>& c) {
  return glue::offset_series(c.arg<"series">(), c.arg<"offset">());
}

constexpr glue::Signature handle_fills_sig{"_handle_fills(series: Series, **kwargs) -> Series"};
py::object handle_fills(glue::CallOf<handle_fills_sig>& c) {
  return glue::filled_series(c.arg<"series">(), c.kwargs());
}

}  // namespace

PYBIND11_MODULE(utils, m) {
  m.doc() = "Series helpers of the indicators: input checks, row offsets and fills.";
  glue::import_from(m, "typing", "Optional");
  glue::import_from(m, "pandas", "Series");

  glue::def<verify_series_sig>(m, verify_doc, verify_series, checked);
  glue::def<get_offset_sig>(m, offset_doc, get_offset, checked);
  glue::def<apply_offset_sig>(m, apply_offset_doc, apply_offset, checked);
  glue::def<handle_fills_sig>(m, fills_doc, handle_fills, checked);
}
