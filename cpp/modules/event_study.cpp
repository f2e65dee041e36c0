// The event study's arithmetic: moves inside event windows and their summary.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "../core/event_moves.hpp"
#include "../glue/checks.hpp"
#include "../glue/function.hpp"
#include "../glue/module_setup.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

namespace {

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

constexpr const char* moves_doc =
    "Adds the move in basis points from each window's event-minute price.\n"
    "\n"
    "`windows` is a frame of event windows such as `filter_bars_around_events`\n"
    "returns. Rows sharing the values of the `by` columns form one window; the\n"
    "move of a row is (price / price at time_diff 0 - 1) * 10000, in a new\n"
    "column `move_bps`. A window without a bar at its event minute (or whose\n"
    "event-minute price is zero or missing) gets NaN moves. Returns a new frame.";

constexpr const char* summary_doc =
    "Mean, median, quartiles and count of the moves by group and minute.\n"
    "\n"
    "Groups the frame of `event_moves` by the `by` columns and `time_diff`,\n"
    "and returns one row per group with the columns `mean_bps`, `median_bps`,\n"
    "`q25_bps`, `q75_bps` and `count` (windows with a move at that minute).";

py::object event_moves(glue::Call& c) {
  py::object windows = c.arg("windows");
  const py::object& price = c.arg("price");
  const py::object& by = c.arg("by");
  glue::check_str(price, "price");
  glue::check_list(by, "by");

  py::object codes_series = windows.attr("groupby")(by, py::arg("sort") = false,
                                                    py::arg("dropna") = false).attr("ngroup")();
  Int64Array codes(codes_series.attr("to_numpy")("int64"));
  Int64Array time_diff(windows[py::str("time_diff")].attr("to_numpy")("int64"));
  DoubleArray prices(windows[price].attr("to_numpy")(
      "float64", py::arg("na_value") = py::float_(std::numeric_limits<double>::quiet_NaN())));

  const std::size_t n = static_cast<std::size_t>(codes.size());
  // a column name the frame holds twice gives a 2-D block, whose values read
  // as one column would be the wrong rows
  auto one_column = [n](const py::array& a) {
    return a.ndim() == 1 && static_cast<std::size_t>(a.size()) == n;
  };
  if (!one_column(time_diff) || !one_column(prices)) {
    PyErr_Format(PyExc_ValueError,
                 "event_moves: 'time_diff' and the price column '%U' must each be one column "
                 "of the windows",
                 price.ptr());
    throw py::error_already_set();
  }
  std::size_t n_windows = 0;
  const std::int64_t* code_ptr = codes.data();
  for (std::size_t i = 0; i < n; ++i) {
    n_windows = std::max<std::size_t>(n_windows, static_cast<std::size_t>(code_ptr[i] + 1));
  }
  DoubleArray moves(static_cast<py::ssize_t>(n));
  {
    std::vector<double> base(n_windows);
    std::vector<unsigned char> seen(n_windows);
    std::span<double> out(moves.mutable_data(), n);
    py::gil_scoped_release release;
    orvane::core::event_moves({code_ptr, n}, {time_diff.data(), n}, {prices.data(), n}, base, seen,
                              out);
  }
  py::object result = windows.attr("copy")();
  result[py::str("move_bps")] =
      c.global("pd").attr("Series")(moves, py::arg("index") = windows.attr("index"));
  return result;
}

py::object summarize_moves(glue::Call& c) {
  const py::object& moves = c.arg("moves");
  const py::object& by = c.arg("by");
  glue::check_list(by, "by");
  py::list keys;  // a copy: the caller's list (or the default) stays as it is
  for (py::handle column : by) keys.append(column);
  keys.append("time_diff");
  py::object grouped = moves.attr("groupby")(keys, py::arg("sort") = true)[py::str("move_bps")];
  py::object summary = grouped.attr("agg")(py::arg("mean_bps") = "mean",
                                           py::arg("median_bps") = "median",
                                           py::arg("count") = "count");
  summary.attr("insert")(2, "q25_bps", grouped.attr("quantile")(0.25));
  summary.attr("insert")(3, "q75_bps", grouped.attr("quantile")(0.75));
  return summary.attr("reset_index")();
}

}  // namespace

PYBIND11_MODULE(event_study, m) {
  m.doc() = "Moves of prices around economic releases, window by window, and their summary.";
  glue::import_as(m, "pandas", "pd");
  glue::def(m,
            "event_moves(windows: pd.DataFrame, price: str = 'close', "
            "by: list = ['EVENT_NAME', 'event_datetime', 'key']) -> pd.DataFrame",
            moves_doc, event_moves);
  glue::def(m, "summarize_moves(moves: pd.DataFrame, by: list = ['EVENT_NAME', 'key']) -> pd.DataFrame",
            summary_doc, summarize_moves);
}
