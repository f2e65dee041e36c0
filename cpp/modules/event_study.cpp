// The event study's arithmetic: moves inside event windows and their summary.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <limits>
#include <vector>

#include "../core/event_moves.hpp"
#include "../glue/arrays.hpp"
#include "../glue/checks.hpp"
#include "../glue/columns.hpp"
#include "../glue/function.hpp"
#include "../glue/module_setup.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

namespace {

using glue::Float64Array;

constexpr const char* moves_doc =
    R"doc(Adds the move in basis points from each window's baseline price.

Rows sharing the values of the ``by`` columns form one window; the move of
a row is ``(price / baseline price - 1) * 10000``. The baseline is the price
of the window's row at ``time_diff == base_minute``. A window without a row
at the baseline minute (or whose baseline price is zero or missing) gets
NaN moves; a fractional ``time_diff`` (a bar between two minutes) is never
the baseline minute, and a missing one gives its row a NaN move.

Parameters
----------
windows : pd.DataFrame
    Event windows such as ``filter_bars_around_events`` returns: the ``by``
    columns, ``time_diff`` (minutes as numbers of any numeric dtype) and the
    ``price`` column.
price : str, default "close"
    The column whose moves are taken.
by : list, default ["EVENT_NAME", "event_datetime", "key"]
    The columns that identify a window.
base_minute : int, default -1
    The baseline minute. -1 is the close of the last one-minute bar that
    ends at or before the release (bars are stamped with the minute they
    start), so the release minute's own jump shows as the move at 0.

Returns
-------
pd.DataFrame
    A copy of ``windows`` with the float column ``move_bps`` added.

Raises
------
TypeError
    If ``price`` is not a ``str``, ``by`` not a ``list``, ``time_diff`` does
    not hold numbers, or ``base_minute`` is not a whole number.
ValueError
    If ``time_diff`` or ``price`` names more than one column of the frame.
KeyError
    If a column is missing.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import event_study
>>> windows = pd.DataFrame({
...     "EVENT_NAME": "NFP", "event_datetime": ["2024-06-07"] * 3 + ["2024-07-05"] * 3,
...     "key": "spx", "time_diff": [-1, 0, 1] * 2,
...     "close": [100.0, 101.0, 99.0, 200.0, 199.0, 202.0]})
>>> event_study.event_moves(windows)
  EVENT_NAME event_datetime  key  time_diff  close  move_bps
0        NFP     2024-06-07  spx         -1  100.0       0.0
1        NFP     2024-06-07  spx          0  101.0     100.0
2        NFP     2024-06-07  spx          1   99.0    -100.0
3        NFP     2024-07-05  spx         -1  200.0       0.0
4        NFP     2024-07-05  spx          0  199.0     -50.0
5        NFP     2024-07-05  spx          1  202.0     100.0)doc";

constexpr const char* summary_doc =
    R"doc(Mean, median, quartiles and count of the moves by group and minute.

The moves are those of ``event_moves``, from its baseline minute (by
default the close of the last bar before the release). ``mean_abs_bps`` is
the mean size of the moves whatever their sign: moves after releases that
surprised both ways average out near zero in ``mean_bps`` but not in
``mean_abs_bps``.

Parameters
----------
moves : pd.DataFrame
    The frame of ``event_moves``: the ``by`` columns, ``time_diff`` and
    ``move_bps``.
by : list, default ["EVENT_NAME", "key"]
    The grouping columns; ``time_diff`` is added after them (the list
    given is left as it is).

Returns
-------
pd.DataFrame
    One row per group and minute, in sorted order: the ``by`` columns,
    ``time_diff``, ``mean_bps``, ``median_bps``, ``q25_bps``, ``q75_bps``,
    ``count`` (windows with a move at that minute) and ``mean_abs_bps``.

Raises
------
TypeError
    If ``by`` is not a ``list``.
KeyError
    If a column is missing.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import event_study
>>> moves = pd.DataFrame({"EVENT_NAME": "NFP", "key": "spx", "time_diff": [-1, 0, 1] * 2,
...                       "move_bps": [0.0, 100.0, -100.0, 0.0, -50.0, 100.0]})
>>> summary = event_study.summarize_moves(moves)
>>> summary[["time_diff", "mean_bps", "mean_abs_bps", "count"]]
   time_diff  mean_bps  mean_abs_bps  count
0         -1       0.0           0.0      2
1          0      25.0          75.0      2
2          1       0.0         100.0      2)doc";

// A whole number of minutes: int and integer numpy scalars; bool, float and
// text get the argument check's TypeError.
std::int64_t minute_argument(const py::object& value, const char* name) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    glue::check_type(value, name, reinterpret_cast<PyObject*>(&PyLong_Type));
  }
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  const long long minute = PyLong_AsLongLong(index.ptr());  // OverflowError beyond int64
  if (minute == -1 && PyErr_Occurred()) throw py::error_already_set();
  return minute;
}

// One column of the windows, by name; a name the frame holds twice selects a
// frame, whose values read as one column would be the wrong rows.
py::object one_column(const py::object& windows, const py::object& name) {
  py::object column = windows[name];
  if (py::hasattr(column, "columns")) {
    PyErr_Format(PyExc_ValueError, "event_moves: the column '%U' must be one column of the windows",
                 py::str(name).ptr());
    throw py::error_already_set();
  }
  return column;
}

constexpr glue::Signature event_moves_sig{
    "event_moves(windows: pd.DataFrame, price: str = 'close', "
    "by: list = ['EVENT_NAME', 'event_datetime', 'key'], base_minute: int = -1) "
    "-> pd.DataFrame"};
py::object event_moves(glue::CallOf<event_moves_sig>& c) {
  py::object windows = c.arg<"windows">();
  const py::object& price = c.arg<"price">();
  const py::object& by = c.arg<"by">();
  glue::check_str(price, "price");
  glue::check_list(by, "by");
  const std::int64_t base_minute = minute_argument(c.arg<"base_minute">(), "base_minute");

  py::object codes_series =
      windows.attr("groupby")(by, py::arg("sort") = false, py::arg("dropna") = false)
          .attr("ngroup")();
  glue::Int64Array codes = glue::as_int64(codes_series.attr("to_numpy")("int64"));
  glue::Float64Values time_diff =
      glue::series_float64(one_column(windows, py::str("time_diff")), "event_moves");
  Float64Array prices(
      one_column(windows, price)
          .attr("to_numpy")("float64", py::arg("na_value") =
                                           py::float_(std::numeric_limits<double>::quiet_NaN())));

  const std::span<const std::int64_t> code = glue::view(codes);
  const std::size_t n = code.size();
  std::size_t n_windows = 0;
  for (const std::int64_t k : code) {
    n_windows = std::max<std::size_t>(n_windows, static_cast<std::size_t>(k + 1));
  }
  Float64Array moves(static_cast<py::ssize_t>(n));
  {
    std::vector<double> base(n_windows);
    std::vector<unsigned char> seen(n_windows);
    std::span<double> out(moves.mutable_data(), n);
    py::gil_scoped_release release;
    orvane::core::event_moves(code, time_diff.span(), {prices.data(), n}, base_minute, base, seen,
                              out);
  }
  py::object result = windows.attr("copy")();
  result[py::str("move_bps")] =
      c.global("pd").attr("Series")(moves, py::arg("index") = windows.attr("index"));
  return result;
}

constexpr glue::Signature summarize_moves_sig{
    "summarize_moves(moves: pd.DataFrame, by: list = ['EVENT_NAME', 'key']) -> pd.DataFrame"};
py::object summarize_moves(glue::CallOf<summarize_moves_sig>& c) {
  const py::object& moves = c.arg<"moves">();
  const py::object& by = c.arg<"by">();
  glue::check_list(by, "by");
  py::list keys;  // a copy: the caller's list (or the default) stays as it is
  for (py::handle column : by) keys.append(column);
  keys.append("time_diff");
  py::object grouped = moves.attr("groupby")(keys, py::arg("sort") = true)[py::str("move_bps")];
  py::object summary = grouped.attr("agg")(
      py::arg("mean_bps") = "mean", py::arg("median_bps") = "median", py::arg("count") = "count");
  summary.attr("insert")(2, "q25_bps", grouped.attr("quantile")(0.25));
  summary.attr("insert")(3, "q75_bps", grouped.attr("quantile")(0.75));
  py::list key_columns;
  for (py::handle key : keys) key_columns.append(moves[key]);
  summary[py::str("mean_abs_bps")] = moves[py::str("move_bps")]
                                         .attr("abs")()
                                         .attr("groupby")(key_columns, py::arg("sort") = true)
                                         .attr("mean")();
  return summary.attr("reset_index")();
}

}  // namespace

PYBIND11_MODULE(event_study, m) {
  m.doc() = "Moves of prices around economic releases, window by window, and their summary.";
  glue::import_as(m, "pandas", "pd");
  glue::def<event_moves_sig>(m, moves_doc, event_moves);
  glue::def<summarize_moves_sig>(m, summary_doc, summarize_moves);
  // Drawing only drives matplotlib, so it is written in Python; it is bound
  // here so that notebooks and the command line reach one function.
  glue::import_from(m, "orvane_data._plotting", "plot_moves");
}
