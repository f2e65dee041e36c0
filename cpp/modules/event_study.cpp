// The event study's arithmetic: moves inside event windows and their summary.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "../core/event_moves.hpp"
#include "../core/move_statistics.hpp"
#include "../core/row_groups.hpp"
#include "../core/sorted_groups.hpp"
#include "../glue/arrays.hpp"
#include "../glue/checks.hpp"
#include "../glue/columns.hpp"
#include "../glue/frame_columns.hpp"
#include "../glue/function.hpp"
#include "../glue/key_codes.hpp"
#include "../glue/module_setup.hpp"
#include "../glue/released.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

namespace {

using glue::Call;
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

// The parameters both statistics share, between their own texts.
constexpr const char* grouping_params = R"doc(by : list, default ["EVENT_NAME", "key"]
    The grouping columns; ``time_diff`` is added after them (the list
    given is left as it is).
confidence : float, default 0.95
    The level of the interval, strictly between 0 and 1.
)doc";

constexpr const char* summary_doc =
    R"doc(Mean, spread, quartiles and tests of the moves by group and minute.

The moves are those of ``event_moves``, from its baseline minute (by
default the close of the last bar before the release). ``mean_abs_bps`` is
the mean size of the moves whatever their sign: moves after releases that
surprised both ways average out near zero in ``mean_bps`` but not in
``mean_abs_bps``. ``t_stat`` and ``p_value`` tell whether the mean differs
from zero beyond noise (Student t with ``count - 1`` degrees of freedom);
``share_up`` and ``sign_p_value`` whether moves up outnumber moves down
(exact binomial test at one half, zero moves left out).

Parameters
----------
moves : pd.DataFrame
    The frame of ``event_moves``: the ``by`` columns, ``time_diff`` and
    ``move_bps``.
)doc";
constexpr const char* summary_returns = R"doc(
Returns
-------
pd.DataFrame
    One row per group and minute, in sorted order: the ``by`` columns,
    ``time_diff``, ``mean_bps``, ``median_bps``, ``q25_bps``, ``q75_bps``,
    ``count`` (windows with a move at that minute), ``mean_abs_bps``,
    ``std_bps`` (ddof 1), ``sem_bps`` (``std_bps / sqrt(count)``),
    ``t_stat`` (mean over sem), ``p_value`` (two-sided), ``ci_low_bps``
    and ``ci_high_bps`` (the interval of the mean), ``share_up`` (moves
    above zero over non-zero moves) and ``sign_p_value`` (two-sided).
    Below two moves, or where every move is equal (the baseline minute),
    the t test and the interval are NaN; without a non-zero move
    ``share_up`` and ``sign_p_value`` are NaN.

Raises
------
TypeError
    If ``by`` is not a ``list``, ``confidence`` not a number, or
    ``move_bps`` does not hold numbers.
ValueError
    If ``confidence`` is not strictly between 0 and 1.
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
2          1       0.0         100.0      2
>>> summary[["time_diff", "std_bps", "t_stat", "share_up"]].round(3)
   time_diff  std_bps  t_stat  share_up
0         -1    0.000     NaN       NaN
1          0  106.066   0.333       0.5
2          1  141.421   0.000       0.5)doc";

constexpr const char* response_doc =
    R"doc(The move per standard deviation of surprise, by group and minute.

For each group and minute, the least squares of ``move_bps`` on the
standardized surprise with an intercept. A release's standardized surprise
is its ``surprise`` over the sample standard deviation (ddof 1) of
``surprise`` across the distinct releases (``EVENT_NAME``,
``event_datetime``) of its event kind in ``moves`` that have one, whatever
the grouping: a security holding only some releases does not change it.
The standard error is heteroskedasticity-robust (HC1); the t test and the
interval use Student t with ``n - 2`` degrees of freedom.

Parameters
----------
moves : pd.DataFrame
    The frame of ``event_moves`` with the calendar's ``surprise``: the
    ``by`` columns, ``EVENT_NAME``, ``event_datetime``, ``time_diff``,
    ``move_bps`` and ``surprise``.
)doc";
constexpr const char* response_returns = R"doc(
Returns
-------
pd.DataFrame
    One row per group and minute, in sorted order: the ``by`` columns,
    ``time_diff``, ``n`` (rows with both a move and a surprise),
    ``beta_bps_per_sd`` (basis points per standard deviation of surprise),
    ``se_bps_per_sd``, ``t_stat``, ``p_value`` (two-sided),
    ``ci_low_bps_per_sd``, ``ci_high_bps_per_sd``, ``intercept_bps`` and
    ``r2``. Fewer than three rows, or no variation in the standardized
    surprise or in the moves: NaN statistics, ``n`` still given.

Raises
------
TypeError
    If ``by`` is not a ``list``, ``confidence`` not a number, or
    ``move_bps`` or ``surprise`` does not hold numbers.
ValueError
    If ``confidence`` is not strictly between 0 and 1.
KeyError
    If a column, ``surprise`` among them, is missing.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import event_study
>>> moves = pd.DataFrame({
...     "EVENT_NAME": "NFP", "key": "spx", "time_diff": 1,
...     "event_datetime": pd.to_datetime(["2024-03-08", "2024-04-05", "2024-05-03", "2024-06-07"]),
...     "surprise": [-2.0, 0.0, 1.0, 3.0], "move_bps": [-40.0, 5.0, 10.0, 50.0]})
>>> response = event_study.surprise_response(moves)
>>> response[["time_diff", "n", "beta_bps_per_sd", "intercept_bps", "r2"]].round(2)
   time_diff  n  beta_bps_per_sd  intercept_bps    r2
0          1  4            36.43           -2.5  0.98)doc";

// One column of a frame, by name; a name the frame holds twice selects a
// frame, whose values read as one column would be the wrong rows.
py::object one_column(const py::object& frame, const py::object& name) {
  py::object column = frame[name];
  if (py::hasattr(column, "columns")) {
    PyErr_Format(PyExc_ValueError, "the column '%U' must be one column of the frame, not several",
                 py::str(name).ptr());
    throw py::error_already_set();
  }
  return column;
}

// A column of window keys as int64 values that tell its windows apart:
// whole numbers and stamps as they are (NaT is one value), any other column
// by its factorized codes (its missing values share one code).
glue::Int64Array window_key(const py::object& column) {
  if (std::optional<glue::Stamps> stamps = glue::datetime_stamps(column)) {
    return std::move(stamps->ticks);
  }
  py::object values = glue::numpy_values(column);
  if (values) {
    const char kind = py::reinterpret_borrow<py::array>(values).dtype().kind();
    if (kind == 'i' || kind == 'u') return glue::as_int64(values);
  }
  return glue::label_codes(column).codes;
}

constexpr glue::Signature event_moves_sig{
    "event_moves(windows: pd.DataFrame, price: str = 'close', "
    "by: list = ['EVENT_NAME', 'event_datetime', 'key'], base_minute: SupportsIndex = -1) "
    "-> pd.DataFrame"};
py::object event_moves(glue::CallOf<event_moves_sig>& c) {
  py::object windows = c.arg<"windows">();
  const py::object& price = c.arg<"price">();
  const py::object& by = c.arg<"by">();
  const long long base_minute = PyLong_AsLongLong(c.arg<"base_minute">().ptr());
  if (base_minute == -1 && PyErr_Occurred()) throw py::error_already_set();  // beyond int64

  // the windows' keys as int64 columns; the rows are told apart by them with the GIL released
  std::vector<glue::Int64Array> keys;
  for (py::handle name : by) {
    keys.push_back(window_key(one_column(windows, py::reinterpret_borrow<py::object>(name))));
  }
  std::vector<std::span<const std::int64_t>> key_spans;
  for (const glue::Int64Array& key : keys) key_spans.push_back(glue::view(key));
  glue::Float64Values time_diff =
      glue::series_float64(one_column(windows, py::str("time_diff")), "event_moves");
  Float64Array prices = glue::float64_missing_as_nan(one_column(windows, price));

  const std::size_t n = time_diff.size();
  for (const auto& key : key_spans) {
    if (key.size() != n) glue::raise(PyExc_ValueError, "event_moves: columns of unequal lengths");
  }
  Float64Array moves(static_cast<py::ssize_t>(n));
  std::span<double> out(moves.mutable_data(), n);
  glue::without_gil("event_study.moves", [&] {
    std::uint64_t n_windows = 0;
    const std::vector<std::uint64_t> ids = orvane::core::group_ids(key_spans, n, n_windows);
    // ids count up from 0, far below 2^63: read as the kernel's signed codes
    const std::span<const std::int64_t> code(reinterpret_cast<const std::int64_t*>(ids.data()), n);
    std::vector<double> base(n_windows);
    std::vector<unsigned char> seen(n_windows);
    orvane::core::event_moves(code, time_diff.span(), {prices.data(), n}, base_minute, base, seen,
                              out);
  });
  py::object result = windows.attr("copy")();
  glue::set_column(
      result, py::str("move_bps"),
      c.global<"pd">().attr("Series")(moves, py::arg("index") = windows.attr("index")));
  return result;
}

// The level of an interval (a real number, as declared): strictly between 0 and 1.
double confidence_level(const py::object& value) {
  const double level = PyFloat_AsDouble(value.ptr());
  if (level == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (!(level > 0.0 && level < 1.0)) {
    glue::raise(PyExc_ValueError, "confidence must lie strictly between 0 and 1, not " +
                                      std::string(py::repr(value)));
  }
  return level;
}

// The grouping columns with `time_diff` after them, in a new list: the
// caller's list (or the default) stays as it is.
py::list minute_keys(const py::object& by) {
  py::list keys;
  for (py::handle column : by) keys.append(column);
  keys.append("time_diff");
  return keys;
}

// The groups of `moves` by `keys` in sorted order (rows with a missing key
// left out, as pandas' groupby leaves them): each row's group number (-1
// for rows left out) and a frame of the groups' keys, one row per group,
// in the dtypes of the columns.
constexpr std::string_view kKeyCodesRoad = "event_study.key_codes";

struct Groups {
  glue::Int64Array code;
  py::list labels, columns;                 // the keys' names and their values, one row per group
  std::vector<glue::Int64Array> key_codes;  // each key's sorted codes, row by row
  std::size_t size() const { return static_cast<std::size_t>(py::len(columns[0])); }
  // the sorted codes of the key `name`, when it is one of the keys
  std::optional<glue::Int64Array> codes_of(std::string_view name) const {
    for (std::size_t i = 0; i < key_codes.size(); ++i) {
      if (py::str(labels[i]).cast<std::string_view>() == name) return key_codes[i];
    }
    return std::nullopt;
  }
};
Groups groups_of(const py::object& moves, const py::list& keys) {
  std::vector<glue::Int64Array> codes;
  std::vector<std::int64_t> sizes;
  py::list columns;
  for (py::handle key : keys) {
    columns.append(one_column(moves, py::reinterpret_borrow<py::object>(key)));
    glue::KeyCodes labels = glue::sorted_key_codes(columns[columns.size() - 1], kKeyCodesRoad);
    codes.push_back(std::move(labels.codes));
    sizes.push_back(labels.size);
  }
  std::vector<std::span<const std::int64_t>> spans;
  for (const glue::Int64Array& column : codes) spans.push_back(glue::view(column));
  glue::Int64Array code = glue::new_int64(static_cast<std::size_t>(py::len(moves)));
  std::span<std::int64_t> out = glue::writable(code);
  const std::vector<std::size_t> first = glue::without_gil(
      "event_study.groups", [&] { return orvane::core::sorted_groups(spans, sizes, out); });
  glue::Int64Array rows = glue::int64_array(std::vector<std::int64_t>(first.begin(), first.end()));
  py::list taken;
  for (py::handle column : columns) {
    taken.append(column.attr("take")(rows).attr("reset_index")(py::arg("drop") = true));
  }
  return {std::move(code), keys, taken, std::move(codes)};
}

Float64Array float64s(std::size_t n) { return glue::new_float64(n); }

// The t test of each entry by scipy's Student t with `dof` degrees of
// freedom: the two-sided p-value of `t` and the `level` interval
// center -/+ multiplier * se.
struct TTest {
  Float64Array p, low, high;
};
TTest t_test(const Call& c, Float64Array& t, const Float64Array& dof, Float64Array& center,
             Float64Array& se, double level) {
  const std::span<const double> ts = glue::writable(t), centers = glue::writable(center),
                                ses = glue::writable(se);
  Float64Array minus_abs = float64s(ts.size());
  std::span<double> m = glue::writable(minus_abs);
  for (std::size_t i = 0; i < ts.size(); ++i) m[i] = -std::abs(ts[i]);
  py::object special = c.global<"special">();
  Float64Array p(special.attr("stdtr")(dof, minus_abs));
  for (double& v : glue::writable(p)) v = v > 0.5 ? 1.0 : 2.0 * v;  // NaN stays NaN
  const Float64Array multiplier(special.attr("stdtrit")(dof, 0.5 + level / 2.0));
  Float64Array low = float64s(ts.size()), high = float64s(ts.size());
  std::span<double> lo = glue::writable(low), hi = glue::writable(high);
  const double* k = multiplier.data();
  for (std::size_t i = 0; i < ts.size(); ++i) {
    lo[i] = centers[i] - k[i] * ses[i];
    hi[i] = centers[i] + k[i] * ses[i];
  }
  return {std::move(p), std::move(low), std::move(high)};
}

// The sign test: the share of moves up among non-zero moves and the exact
// two-sided binomial p-value at one half (scipy's binomial distribution).
std::pair<Float64Array, Float64Array> sign_test(const Call& c, const glue::Int64Array& up,
                                                const glue::Int64Array& down) {
  const std::size_t n = static_cast<std::size_t>(up.size());
  Float64Array share = float64s(n);
  glue::Int64Array fewer = glue::new_int64(n), moved = glue::new_int64(n);
  std::span<double> s = glue::writable(share);
  std::span<std::int64_t> k = glue::writable(fewer), total = glue::writable(moved);
  for (std::size_t g = 0; g < n; ++g) {
    total[g] = up.data()[g] + down.data()[g];
    k[g] = std::min(up.data()[g], down.data()[g]);
    s[g] = total[g] ? static_cast<double>(up.data()[g]) / static_cast<double>(total[g])
                    : std::numeric_limits<double>::quiet_NaN();
  }
  Float64Array p(c.global<"special">().attr("bdtr")(fewer, moved, 0.5));
  std::span<double> two_sided = glue::writable(p);
  for (std::size_t g = 0; g < n; ++g) {
    two_sided[g] =
        total[g] ? std::min(1.0, 2.0 * two_sided[g]) : std::numeric_limits<double>::quiet_NaN();
  }
  return {std::move(share), std::move(p)};
}

using Statistics = std::initializer_list<std::pair<const char*, py::object>>;

// The frame of the groups' keys followed by the named statistics, one row per
// group: `first`, the t test (its statistic `t`, p-value and interval, whose
// columns end in `unit`), then `last`.
py::object group_frame(const Call& c, Groups& groups, Statistics first, const Float64Array& t,
                       const TTest& test, const std::string& unit, Statistics last) {
  const auto add = [&](const std::string& name, const py::object& values) {
    groups.labels.append(name);
    groups.columns.append(values);
  };
  for (const auto& [name, values] : first) add(name, values);
  add("t_stat", t);
  add("p_value", test.p);
  add("ci_low_" + unit, test.low);
  add("ci_high_" + unit, test.high);
  for (const auto& [name, values] : last) add(name, values);
  return glue::frame_of(c.global<"pd">().attr("DataFrame"), groups.labels, groups.columns);
}

constexpr glue::Signature summarize_moves_sig{
    "summarize_moves(moves: pd.DataFrame, by: list = ['EVENT_NAME', 'key'], "
    "confidence: float = 0.95) -> pd.DataFrame"};
py::object summarize_moves(glue::CallOf<summarize_moves_sig>& c) {
  const py::object& moves = c.arg<"moves">();
  const double level = confidence_level(c.arg<"confidence">());
  glue::Float64Values move = glue::series_float64(moves[py::str("move_bps")], "summarize_moves");
  Groups groups = groups_of(moves, minute_keys(c.arg<"by">()));
  const std::size_t n = groups.size();
  glue::Int64Array count = glue::new_int64(n), up = glue::new_int64(n), down = glue::new_int64(n);
  Float64Array mean = float64s(n), std_dev = float64s(n), median = float64s(n), q25 = float64s(n),
               q75 = float64s(n), mean_abs = float64s(n), sem = float64s(n), t = float64s(n),
               dof = float64s(n);
  {
    const orvane::core::MoveSummary out{
        glue::writable(count),    glue::writable(mean), glue::writable(std_dev),
        glue::writable(median),   glue::writable(q25),  glue::writable(q75),
        glue::writable(mean_abs), glue::writable(up),   glue::writable(down)};
    const std::span<double> sems = glue::writable(sem), ts = glue::writable(t),
                            dofs = glue::writable(dof);
    glue::without_gil("event_study.summary", [&] {
      orvane::core::summarize_groups(glue::view(groups.code), move.span(), out);
      orvane::core::mean_t_tests(glue::view(count), out.mean, out.std_dev, sems, ts, dofs);
    });
  }
  TTest test = t_test(c, t, dof, mean, sem, level);
  auto [share_up, sign_p] = sign_test(c, up, down);
  return group_frame(c, groups,
                     {{"mean_bps", mean},
                      {"median_bps", median},
                      {"q25_bps", q25},
                      {"q75_bps", q75},
                      {"count", count},
                      {"mean_abs_bps", mean_abs},
                      {"std_bps", std_dev},
                      {"sem_bps", sem}},
                     t, test, "bps", {{"share_up", share_up}, {"sign_p_value", sign_p}});
}

constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

// The release times as int64 values that tell them apart, kNoTime for a
// missing one: stamps as they are (rows come release by release, so the
// releases are numbered by runs of one stamp), any other column by its label
// codes.
glue::Int64Array release_times(const py::object& column) {
  if (std::optional<glue::Stamps> stamps = glue::datetime_stamps(column)) {
    return std::move(stamps->ticks);  // NaT is already the least int64
  }
  glue::Int64Array codes = glue::label_codes(column).codes;
  for (std::int64_t& code : glue::writable(codes)) {
    if (code < 0) code = kNoTime;
  }
  return codes;
}

// Each row's surprise over its event kind's spread of surprises, read over
// the distinct releases (EVENT_NAME, event_datetime) of `moves`.
// `kind` holds the rows' sorted EVENT_NAME codes when the grouping already
// numbered them, which saves a second pass over the names.
Float64Array standardized_surprise(const py::object& moves, const glue::Float64Values& surprise,
                                   std::optional<glue::Int64Array> kind_codes) {
  glue::Int64Array kind =
      kind_codes
          ? std::move(*kind_codes)
          : glue::sorted_key_codes(one_column(moves, py::str("EVENT_NAME")), kKeyCodesRoad).codes;
  glue::Int64Array when = release_times(one_column(moves, py::str("event_datetime")));
  const std::size_t n = surprise.size();
  if (static_cast<std::size_t>(kind.size()) != n || static_cast<std::size_t>(when.size()) != n) {
    glue::raise(PyExc_ValueError, "surprise_response: columns of unequal lengths");
  }
  Float64Array z = float64s(n);
  std::span<double> out = glue::writable(z);
  const std::span<const std::int64_t> kinds = glue::view(kind), times = glue::view(when);
  glue::without_gil("event_study.standardize", [&] {
    const std::span<const std::int64_t> keys[] = {kinds, times};
    std::uint64_t n_releases = 0;
    std::vector<std::uint64_t> ids = orvane::core::group_ids(keys, n, n_releases);
    // each row's release, written over its id: ids count up from 0, far below 2^63
    const std::span<std::int64_t> release(reinterpret_cast<std::int64_t*>(ids.data()), n);
    std::vector<std::int64_t> event_of(n_releases, -1);
    for (std::size_t i = 0; i < n; ++i) {
      // a release needs both its kind and its time
      const bool whole = kinds[i] >= 0 && times[i] != kNoTime;
      if (whole) event_of[ids[i]] = kinds[i];
      release[i] = whole ? release[i] : -1;
    }
    orvane::core::standardize_surprises(release, event_of, surprise.span(), out);
  });
  return z;
}

constexpr glue::Signature surprise_response_sig{
    "surprise_response(moves: pd.DataFrame, by: list = ['EVENT_NAME', 'key'], "
    "confidence: float = 0.95) -> pd.DataFrame"};
py::object surprise_response(glue::CallOf<surprise_response_sig>& c) {
  const py::object& moves = c.arg<"moves">();
  const double level = confidence_level(c.arg<"confidence">());
  glue::Float64Values surprise =
      glue::series_float64(moves[py::str("surprise")], "surprise_response");
  glue::Float64Values move = glue::series_float64(moves[py::str("move_bps")], "surprise_response");
  Groups groups = groups_of(moves, minute_keys(c.arg<"by">()));
  Float64Array z = standardized_surprise(moves, surprise, groups.codes_of("EVENT_NAME"));
  const std::size_t n = groups.size();
  glue::Int64Array used = glue::new_int64(n);
  Float64Array beta = float64s(n), se = float64s(n), intercept = float64s(n), r2 = float64s(n),
               t = float64s(n), dof = float64s(n);
  {
    const orvane::core::Response out{glue::writable(used), glue::writable(beta), glue::writable(se),
                                     glue::writable(intercept), glue::writable(r2)};
    const std::span<double> ts = glue::writable(t), dofs = glue::writable(dof),
                            zs = glue::writable(z);
    glue::without_gil("event_study.response", [&] {
      orvane::core::regress_groups(glue::view(groups.code), zs, move.span(), out);
      for (std::size_t g = 0; g < n; ++g) {
        ts[g] = out.beta[g] / out.se[g];
        dofs[g] = std::isnan(ts[g]) ? std::numeric_limits<double>::quiet_NaN()
                                    : static_cast<double>(out.n[g] - 2);
      }
    });
  }
  TTest test = t_test(c, t, dof, beta, se, level);
  return group_frame(c, groups, {{"n", used}, {"beta_bps_per_sd", beta}, {"se_bps_per_sd", se}}, t,
                     test, "bps_per_sd", {{"intercept_bps", intercept}, {"r2", r2}});
}

}  // namespace

PYBIND11_MODULE(event_study, m) {
  m.doc() = "Moves of prices around economic releases, window by window, and their summary.";
  glue::import_as(m, "pandas", "pd");
  glue::import_from(m, "typing", "SupportsIndex");
  constexpr auto checked = glue::Checks::declared;
  glue::def<event_moves_sig>(m, moves_doc, event_moves, checked);
  glue::def<summarize_moves_sig>(m, std::string(summary_doc) + grouping_params + summary_returns,
                                 summarize_moves, checked);
  glue::def<surprise_response_sig>(m,
                                   std::string(response_doc) + grouping_params + response_returns,
                                   surprise_response, checked);
  // The distributions of the tests are scipy's.
  glue::lazy_import(m, "scipy.special", "special");
  // Drawing only drives matplotlib, so it is written in Python; it is bound
  // here so that notebooks and the command line reach one function.
  glue::import_from(m, "orvane_data._plotting", "plot_moves");
}
