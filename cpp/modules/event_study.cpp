// The event study's arithmetic: moves inside event windows and their summary.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../core/activity.hpp"
#include "../core/event_moves.hpp"
#include "../core/move_statistics.hpp"
#include "../core/release_overlap.hpp"
#include "../core/robust_regression.hpp"
#include "../core/row_groups.hpp"
#include "../core/sorted_groups.hpp"
#include "../glue/arrays.hpp"
#include "../glue/checks.hpp"
#include "../glue/columns.hpp"
#include "../glue/frame_columns.hpp"
#include "../glue/function.hpp"
#include "../glue/key_codes.hpp"
#include "../glue/module_setup.hpp"
#include "../glue/pyops.hpp"
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
    A copy of ``windows`` with two float columns added: ``move_bps`` and
    ``ret_1m_bps``, the return in basis points over the previous minute of
    the same window, ``(price / price a minute earlier - 1) * 10000``; NaN
    where the window holds no bar exactly one minute earlier (the window's
    first minute, a missing bar), or its price is zero or missing.

Warns
-----
DataWarning
    When every move of a security (the ``key`` column) is missing, naming
    it and why: no bar at the baseline minute in any of its windows, or a
    baseline price that is always zero or missing.

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
>>> event_study.event_moves(windows).round(2)
  EVENT_NAME event_datetime  key  time_diff  close  move_bps  ret_1m_bps
0        NFP     2024-06-07  spx         -1  100.0       0.0         NaN
1        NFP     2024-06-07  spx          0  101.0     100.0      100.00
2        NFP     2024-06-07  spx          1   99.0    -100.0     -198.02
3        NFP     2024-07-05  spx         -1  200.0       0.0         NaN
4        NFP     2024-07-05  spx          0  199.0     -50.0      -50.00
5        NFP     2024-07-05  spx          1  202.0     100.0      150.75)doc";

// The parameters both statistics share, between their own texts.
constexpr const char* grouping_params = R"doc(by : list, default ["EVENT_NAME", "key"]
    The grouping columns; ``time_diff`` is added after them (the list
    given is left as it is).
confidence : float, default 0.95
    The level of the interval, strictly between 0 and 1.
cluster : str, default "auto"
    ``"release"``: the rows of one release (``EVENT_NAME``,
    ``event_datetime``) in a group move together, so the standard errors
    are cluster-robust by release (CR1, as statsmodels' ``cov_type="cluster"``
    with ``use_t=True``) and the tests use Student t with ``G - 1`` degrees
    of freedom (``G`` releases). ``"none"``: every row is independent.
    ``"auto"``: ``"release"`` exactly where some release gives some group
    more than one row (moves of several securities pooled, ``by`` without
    ``key``), else ``"none"``; a frame without ``EVENT_NAME`` or
    ``event_datetime`` counts each row as a release.
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
    above zero over non-zero moves), ``sign_p_value`` (two-sided) and
    ``n_releases`` (the releases among the moves; the clusters where the
    errors are clustered).
    Below two moves, or where every move is equal (the baseline minute),
    the t test and the interval are NaN; without a non-zero move
    ``share_up`` and ``sign_p_value`` are NaN.

Raises
------
TypeError
    If ``by`` is not a ``list``, ``confidence`` not a number, ``cluster``
    not a ``str``, or ``move_bps`` does not hold numbers.
ValueError
    If ``confidence`` is not strictly between 0 and 1, or ``cluster`` is
    not one of its choices (or, with ``joint``, ``by`` lacks ``EVENT_NAME``).
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
interval use Student t with ``n - 2`` degrees of freedom (clustered by
release where rows share one, see ``cluster``).

With ``joint``, releases that come out in the same minute (payrolls and
the unemployment rate) are read together: for each group of the ``by``
columns but ``EVENT_NAME`` and each minute, one least-squares regression of
the move on the standardized surprises of every event kind, a kind's
regressor zero where it was not released at that minute, with one
intercept; one observation per release minute (``event_datetime``) and
security (``key``, also where ``by`` pools the securities). The degrees of
freedom are ``n_joint - k - 1`` (``k`` kinds in the regression); errors
are clustered by release minute where a minute gives a regression more
than one observation. A kind never released alone still gets its own
slope. With one event kind this is the plain regression.

With ``asymmetric``, good and bad news apart: the move regressed on
``max(s, 0)`` and ``min(s, 0)`` of the standardized surprise ``s`` (of
every kind, with ``joint``), and a Wald test that the two slopes are equal
from the same covariance.

Parameters
----------
moves : pd.DataFrame
    The frame of ``event_moves`` with the calendar's ``surprise``: the
    ``by`` columns, ``EVENT_NAME``, ``event_datetime``, ``time_diff``,
    ``move_bps`` and ``surprise``.
)doc";
constexpr const char* response_returns = R"doc(joint : bool, default False
    Regress each minute's move on the surprises of every event kind
    released in it (needs ``EVENT_NAME`` among ``by``).
asymmetric : bool, default False
    Slopes for positive and negative surprises apart.

Returns
-------
pd.DataFrame
    One row per group and minute, in sorted order: the ``by`` columns,
    ``time_diff``, ``n`` (rows with both a move and a surprise),
    ``beta_bps_per_sd`` (basis points per standard deviation of surprise),
    ``se_bps_per_sd``, ``t_stat``, ``p_value`` (two-sided),
    ``ci_low_bps_per_sd``, ``ci_high_bps_per_sd``, ``intercept_bps`` and
    ``r2``, then ``n_releases`` (the releases among the rows; the clusters
    where the errors are clustered). With ``joint``, ``n`` counts the
    kind's own release minutes and ``n_joint`` (after it) the observations
    of the joint regression, whose ``intercept_bps`` and ``r2`` every kind
    of the group shares. With ``asymmetric``, in place of the slope and its
    tests: ``n_pos`` and ``n_neg`` (surprises above and below zero),
    ``beta_pos_bps_per_sd``, ``se_pos_bps_per_sd``, ``beta_neg_bps_per_sd``,
    ``se_neg_bps_per_sd`` and ``p_equal`` (the two-sided p-value of the
    Wald test that the two slopes are equal). Too few rows for the
    regressors, or no variation in the surprise or in the moves: NaN
    statistics, the counts still given.

Raises
------
TypeError
    If ``by`` is not a ``list``, ``confidence`` not a number, or
    ``move_bps`` or ``surprise`` does not hold numbers.
ValueError
    If ``confidence`` is not strictly between 0 and 1, or ``cluster`` is
    not one of its choices (or, with ``joint``, ``by`` lacks ``EVENT_NAME``).
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

// A security none of whose rows has a move: its first row, and whether
// some window of it had a row at the baseline minute (then its baseline
// prices were all zero or missing).
struct SilentSecurity {
  std::size_t row;
  bool had_baseline;
};
std::vector<SilentSecurity> silent_securities(std::span<const std::int64_t> security,
                                              std::span<const std::int64_t> window,
                                              const std::vector<unsigned char>& seen,
                                              std::span<const double> moves) {
  std::uint64_t count = 0;
  const std::span<const std::int64_t> keys[] = {security};
  const std::vector<std::uint64_t> ids = orvane::core::group_ids(keys, security.size(), count);
  std::vector<unsigned char> moved(count), had_baseline(count);
  std::vector<std::size_t> first(count, security.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::uint64_t s = ids[i];
    if (first[s] == security.size()) first[s] = i;
    moved[s] |= !std::isnan(moves[i]);
    had_baseline[s] |= seen[static_cast<std::size_t>(window[i])];
  }
  std::vector<SilentSecurity> silent;
  for (std::uint64_t s = 0; s < count; ++s) {
    if (!moved[s]) silent.push_back({first[s], had_baseline[s] != 0});
  }
  return silent;
}

// One DataWarning per reason, naming the securities left without a move
// (the first few of them, and how many more).
constexpr std::size_t kNamedSecurities = 10;
void warn_silent(const Call& c, const std::vector<SilentSecurity>& silent,
                 const std::optional<py::object>& security, const py::object& price,
                 long long base_minute) {
  for (const bool had_baseline : {false, true}) {
    std::vector<std::string> names;
    std::size_t count = 0;
    for (const SilentSecurity& s : silent) {
      if (s.had_baseline != had_baseline) continue;
      if (++count > kNamedSecurities) continue;
      names.push_back("'" + std::string(py::str(security->attr("iloc")[py::int_(s.row)])) + "'");
    }
    if (names.empty()) continue;
    std::string message = count == 1 ? "no move for security " : "no move for securities ";
    for (std::size_t i = 0; i < names.size(); ++i) message += (i ? ", " : "") + names[i];
    if (count > names.size()) message += " and " + std::to_string(count - names.size()) + " more";
    const std::string minute = std::to_string(base_minute);
    message += had_baseline ? ": its '" + std::string(py::str(price)) +
                                  "' is zero or missing at the baseline minute " + minute +
                                  " in every window"
                            : ": no bar at the baseline minute " + minute + " in any window";
    if (PyErr_WarnEx(c.global<"DataWarning">().ptr(), message.c_str(), 1) < 0) {
      throw py::error_already_set();
    }
  }
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
  std::optional<std::size_t> key_of_security;  // where `by` names the securities' column
  for (py::handle name : by) {
    if (!key_of_security && py::isinstance<py::str>(name) &&
        py::str(name).cast<std::string>() == "key") {
      key_of_security = keys.size();
    }
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
  // the securities, whose moves are checked for a security left without any
  const bool has_securities =
      py::bool_(windows.attr("columns").attr("__contains__")(py::str("key")));
  std::optional<py::object> security_column;
  std::optional<glue::Int64Array> security;
  if (has_securities) {
    security_column = one_column(windows, py::str("key"));
    security = key_of_security ? keys[*key_of_security] : window_key(*security_column);
    if (static_cast<std::size_t>(security->size()) != n) {
      glue::raise(PyExc_ValueError, "event_moves: columns of unequal lengths");
    }
  }
  Float64Array moves(static_cast<py::ssize_t>(n)), returns(static_cast<py::ssize_t>(n));
  std::span<double> out(moves.mutable_data(), n), out_returns(returns.mutable_data(), n);
  std::vector<SilentSecurity> silent;
  glue::without_gil("event_study.moves", [&] {
    std::uint64_t n_windows = 0;
    const std::vector<std::uint64_t> ids = orvane::core::group_ids(key_spans, n, n_windows);
    // ids count up from 0, far below 2^63: read as the kernel's signed codes
    const std::span<const std::int64_t> code(reinterpret_cast<const std::int64_t*>(ids.data()), n);
    std::vector<double> base(n_windows);
    std::vector<unsigned char> seen(n_windows);
    const std::span<const double> price_values{prices.data(), n};
    orvane::core::event_moves(code, time_diff.span(), price_values, base_minute, base, seen, out);
    // the returns read the windows found once for the moves
    orvane::core::minute_returns(code, time_diff.span(), price_values, n_windows, out_returns);
    if (security) silent = silent_securities(glue::view(*security), code, seen, out);
  });
  warn_silent(c, silent, security_column, price, base_minute);
  py::object result = windows.attr("copy")();
  py::object index = windows.attr("index"), series = c.global<"pd">().attr("Series");
  glue::set_column(result, py::str("move_bps"), series(moves, py::arg("index") = index));
  glue::set_column(result, py::str("ret_1m_bps"), series(returns, py::arg("index") = index));
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
  std::vector<std::size_t> first;           // each group's first row
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
  return {std::move(code), keys, taken, std::move(codes), first};
}

Float64Array float64s(std::size_t n) { return glue::new_float64(n); }

// The two-sided p-value of each t statistic by scipy's Student t with
// `dof` degrees of freedom (NaN stays NaN).
Float64Array two_sided_p(const Call& c, const Float64Array& t, const Float64Array& dof) {
  const std::size_t n = static_cast<std::size_t>(t.size());
  Float64Array minus_abs = float64s(n);
  std::span<double> m = glue::writable(minus_abs);
  for (std::size_t i = 0; i < n; ++i) m[i] = -std::abs(t.data()[i]);
  Float64Array p(c.global<"special">().attr("stdtr")(dof, minus_abs));
  for (double& v : glue::writable(p)) v = v > 0.5 ? 1.0 : 2.0 * v;
  return p;
}

// The t test of each entry: the two-sided p-value of `t` and the `level`
// interval center -/+ multiplier * se (scipy's Student t with `dof`
// degrees of freedom).
struct TTest {
  Float64Array p, low, high;
};
TTest t_test(const Call& c, Float64Array& t, const Float64Array& dof, Float64Array& center,
             Float64Array& se, double level) {
  const std::span<const double> centers = glue::writable(center), ses = glue::writable(se);
  Float64Array p = two_sided_p(c, t, dof);
  const Float64Array multiplier(c.global<"special">().attr("stdtrit")(dof, 0.5 + level / 2.0));
  const std::size_t n = centers.size();
  Float64Array low = float64s(n), high = float64s(n);
  std::span<double> lo = glue::writable(low), hi = glue::writable(high);
  const double* k = multiplier.data();
  for (std::size_t i = 0; i < n; ++i) {
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Whether the rows of one release count as one cluster of the errors.
enum class Clustering { automatic, release, none };
Clustering clustering_of(const py::object& value) {
  const std::string text = py::str(value);
  if (text == "auto") return Clustering::automatic;
  if (text == "release") return Clustering::release;
  if (text == "none") return Clustering::none;
  glue::raise(PyExc_ValueError,
              "cluster must be 'auto', 'release' or 'none', not " + std::string(py::repr(value)));
}

bool has_column(const py::object& frame, const char* name) {
  return glue::truthy(frame.attr("columns").attr("__contains__")(py::str(name)));
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

// The releases (EVENT_NAME, event_datetime) of the rows: each row's event
// kind (sorted codes), its release time, its release's number and each
// release's event kind. A row without a kind or a time is a release of its
// own, numbered after the true ones (past the end of `event_of`, which the
// standardization reads as no release): the numbers are the rows' clusters
// as they stand. `kind_codes` holds the rows' sorted EVENT_NAME codes when
// the grouping already numbered them, which saves a second pass over the
// names.
struct Releases {
  glue::Int64Array kind, time;
  std::vector<std::int64_t> id, event_of;
};
Releases releases_of(const py::object& moves, std::optional<glue::Int64Array> kind_codes) {
  Releases r{
      kind_codes
          ? std::move(*kind_codes)
          : glue::sorted_key_codes(one_column(moves, py::str("EVENT_NAME")), kKeyCodesRoad).codes,
      release_times(one_column(moves, py::str("event_datetime"))),
      {},
      {}};
  const std::size_t n = static_cast<std::size_t>(r.kind.size());
  if (static_cast<std::size_t>(r.time.size()) != n) {
    glue::raise(PyExc_ValueError, "event_study: columns of unequal lengths");
  }
  const std::span<const std::int64_t> kinds = glue::view(r.kind), times = glue::view(r.time);
  glue::without_gil("event_study.releases", [&] {
    const std::span<const std::int64_t> keys[] = {kinds, times};
    std::uint64_t n_releases = 0;
    const std::vector<std::uint64_t> ids = orvane::core::group_ids(keys, n, n_releases);
    r.id.resize(n);
    r.event_of.assign(n_releases, -1);
    std::int64_t alone = static_cast<std::int64_t>(n_releases);
    for (std::size_t i = 0; i < n; ++i) {
      // a release needs both its kind and its time
      const bool whole = kinds[i] >= 0 && times[i] != kNoTime;
      if (whole) r.event_of[ids[i]] = kinds[i];
      r.id[i] = whole ? static_cast<std::int64_t>(ids[i]) : alone++;
    }
  });
  return r;
}

// Each row's surprise over its event kind's spread of surprises, read over
// the distinct releases of `moves`.
Float64Array standardized_surprise(const Releases& releases, const glue::Float64Values& surprise) {
  const std::size_t n = surprise.size();
  if (releases.id.size() != n) {
    glue::raise(PyExc_ValueError, "surprise_response: columns of unequal lengths");
  }
  Float64Array z = float64s(n);
  std::span<double> out = glue::writable(z);
  glue::without_gil("event_study.standardize", [&] {
    orvane::core::standardize_surprises(releases.id, releases.event_of, surprise.span(), out);
  });
  return z;
}

constexpr glue::Signature summarize_moves_sig{
    "summarize_moves(moves: pd.DataFrame, by: list = ['EVENT_NAME', 'key'], "
    "confidence: float = 0.95, cluster: str = 'auto') -> pd.DataFrame"};
py::object summarize_moves(glue::CallOf<summarize_moves_sig>& c) {
  const py::object& moves = c.arg<"moves">();
  const double level = confidence_level(c.arg<"confidence">());
  const Clustering clustering = clustering_of(c.arg<"cluster">());
  glue::Float64Values move = glue::series_float64(moves[py::str("move_bps")], "summarize_moves");
  Groups groups = groups_of(moves, minute_keys(c.arg<"by">()));
  // rows are releases of their own where the frame cannot tell its releases apart
  const bool known = clustering == Clustering::release ||
                     (clustering == Clustering::automatic && has_column(moves, "EVENT_NAME") &&
                      has_column(moves, "event_datetime"));
  std::optional<Releases> releases;
  if (known) releases = releases_of(moves, groups.codes_of("EVENT_NAME"));
  const std::size_t n = groups.size();
  glue::Int64Array count = glue::new_int64(n), up = glue::new_int64(n), down = glue::new_int64(n),
                   n_releases = glue::new_int64(n);
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
    const std::span<std::int64_t> clusters = glue::writable(n_releases);
    glue::without_gil("event_study.summary", [&] {
      const std::span<const std::int64_t> group = glue::view(groups.code);
      orvane::core::summarize_groups(group, move.span(), out);
      orvane::core::mean_t_tests(glue::view(count), out.mean, out.std_dev, sems, ts, dofs);
      if (!releases) {
        std::copy(out.count.begin(), out.count.end(), clusters.begin());
        return;
      }
      const std::span<const std::int64_t> cluster = releases->id;
      const bool shared = orvane::core::count_clusters(group, cluster, move.span(), clusters);
      if (clustering == Clustering::automatic && !shared) return;
      orvane::core::clustered_mean_errors(group, cluster, move.span(), out.mean, sems, clusters);
      for (std::size_t g = 0; g < n; ++g) {
        const bool defined = out.count[g] >= 2 && out.std_dev[g] > 0.0 && clusters[g] >= 2;
        ts[g] = defined ? out.mean[g] / sems[g] : std::numeric_limits<double>::quiet_NaN();
        dofs[g] = defined ? static_cast<double>(clusters[g] - 1)
                          : std::numeric_limits<double>::quiet_NaN();
      }
    });
  }
  TTest test = t_test(c, t, dof, mean, sem, level);
  auto [share_up, sign_p] = sign_test(c, up, down);
  return group_frame(
      c, groups,
      {{"mean_bps", mean},
       {"median_bps", median},
       {"q25_bps", q25},
       {"q75_bps", q75},
       {"count", count},
       {"mean_abs_bps", mean_abs},
       {"std_bps", std_dev},
       {"sem_bps", sem}},
      t, test, "bps",
      {{"share_up", share_up}, {"sign_p_value", sign_p}, {"n_releases", n_releases}});
}

// The observations of a response regression: each one's group, its
// regressors (p of them, row-major), its move and its cluster. The spans
// read the rows' own columns where they serve as they are (a plain
// response copies nothing of 10 million rows) and the design's own storage
// otherwise; a design is moved, never copied, so they stay valid.
struct Design {
  std::size_t p = 1;
  std::size_t n_groups = 0;
  std::span<const std::int64_t> group, cluster;
  std::span<const double> x, y;
  std::vector<std::int64_t> own_group, own_cluster;
  std::vector<double> own_x, own_y;
  Design() = default;
  Design(Design&&) = default;
  Design& operator=(Design&&) = default;
  // whether observation o has its move and every regressor
  bool known(std::size_t o) const {
    for (std::size_t j = 0; j < p; ++j) {
      if (std::isnan(x[o * p + j])) return false;
    }
    return !std::isnan(y[o]);
  }
};

// The regressors of one standardized surprise: itself, or with
// `asymmetric` its good and bad news apart, max(z, 0) and min(z, 0).
void put_surprise(double z, bool asymmetric, double* x) {
  if (!asymmetric) {
    x[0] = z;
    return;
  }
  x[0] = std::isnan(z) ? z : std::max(z, 0.0);
  x[1] = std::isnan(z) ? z : std::min(z, 0.0);
}

// One observation per row, in the row's group (the default response).
Design row_design(std::span<const std::int64_t> group, std::size_t n_groups,
                  const Releases& releases, std::span<const double> z, std::span<const double> move,
                  bool asymmetric) {
  Design d;
  d.p = asymmetric ? 2 : 1;
  d.n_groups = n_groups;
  d.group = group;
  d.cluster = releases.id;
  d.y = move;
  if (!asymmetric) {
    d.x = z;
    return d;
  }
  d.own_x.resize(z.size() * d.p);
  for (std::size_t i = 0; i < z.size(); ++i) put_surprise(z[i], asymmetric, &d.own_x[i * d.p]);
  d.x = d.own_x;
  return d;
}

// The joint design: one observation per release minute (event_datetime) of
// each group of the keys but EVENT_NAME, its move regressed on every event
// kind's standardized surprise, zero for a kind not released at that
// minute. `joint_group` receives each row's group of the design; `released`
// whether kind e was released at observation o (o * kinds + e).
struct Joint {
  Design design;
  std::vector<std::int64_t> row_group, row_observation;
  std::size_t kinds = 0;
};
Joint joint_design(std::span<const std::int64_t> group,
                   std::span<const std::span<const std::int64_t>> others,
                   std::span<const std::int64_t> security, const Releases& releases,
                   std::span<const double> z, std::span<const double> move, bool asymmetric) {
  Joint j;
  const std::span<const std::int64_t> kind = glue::view(releases.kind);
  const std::span<const std::int64_t> times = glue::view(releases.time);
  const std::size_t n = group.size();
  for (const std::int64_t e : kind) j.kinds = std::max<std::size_t>(j.kinds, e + 1);
  Design& d = j.design;
  d.p = j.kinds * (asymmetric ? 2 : 1);
  std::uint64_t n_joint = 0, n_obs = 0;
  const std::vector<std::uint64_t> joint = orvane::core::group_ids(others, n, n_joint);
  j.row_group.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    j.row_group[i] = group[i] >= 0 ? static_cast<std::int64_t>(joint[i]) : -1;
  }
  // the release minutes numbered densely first: rows come in runs of one
  // minute, so numbering them is cheap, and the pairs below then index a
  // table instead of hashing stamps
  std::uint64_t n_minutes = 0;
  const std::span<const std::int64_t> by_time[] = {times};
  const std::vector<std::uint64_t> minute_ids = orvane::core::group_ids(by_time, n, n_minutes);
  const std::span<const std::int64_t> minute(
      reinterpret_cast<const std::int64_t*>(minute_ids.data()),
      n);  // ids count up from 0, far below 2^63
  std::vector<std::span<const std::int64_t>> keys{j.row_group, minute};
  if (!security.empty()) keys.push_back(security);
  const std::vector<std::uint64_t> observation = orvane::core::group_ids(keys, n, n_obs);
  j.row_observation.assign(observation.begin(), observation.end());
  d.n_groups = n_joint;
  d.own_group.assign(n_obs, -1);
  d.own_cluster.assign(n_obs, 0);
  d.own_y.assign(n_obs, std::numeric_limits<double>::quiet_NaN());
  d.own_x.assign(n_obs * d.p, 0.0);
  std::vector<unsigned char> seen(n_obs);
  for (std::size_t i = 0; i < n; ++i) {
    if (group[i] < 0) continue;
    const std::size_t o = observation[i];
    if (!seen[o]) {  // the rows of one minute share its bars, so its move
      seen[o] = 1;
      d.own_group[o] = j.row_group[i];
      d.own_cluster[o] = minute[i];
      d.own_y[o] = move[i];
    }
    const std::size_t width = asymmetric ? 2 : 1;
    put_surprise(z[i], asymmetric, &d.own_x[o * d.p + static_cast<std::size_t>(kind[i]) * width]);
  }
  d.group = d.own_group;
  d.cluster = d.own_cluster;
  d.x = d.own_x;
  d.y = d.own_y;
  return j;
}

constexpr glue::Signature surprise_response_sig{
    "surprise_response(moves: pd.DataFrame, by: list = ['EVENT_NAME', 'key'], "
    "confidence: float = 0.95, cluster: str = 'auto', joint: bool = False, "
    "asymmetric: bool = False) -> pd.DataFrame"};
py::object surprise_response(glue::CallOf<surprise_response_sig>& c) {
  const py::object& moves = c.arg<"moves">();
  const double level = confidence_level(c.arg<"confidence">());
  const bool joint = glue::truthy(c.arg<"joint">());
  const bool asymmetric = glue::truthy(c.arg<"asymmetric">());
  const Clustering clustering = clustering_of(c.arg<"cluster">());
  glue::Float64Values surprise =
      glue::series_float64(moves[py::str("surprise")], "surprise_response");
  glue::Float64Values move = glue::series_float64(moves[py::str("move_bps")], "surprise_response");
  Groups groups = groups_of(moves, minute_keys(c.arg<"by">()));
  std::optional<glue::Int64Array> kinds = groups.codes_of("EVENT_NAME");
  if (joint && !kinds) {
    glue::raise(PyExc_ValueError,
                "surprise_response: joint=True regresses each move on the surprises of every event "
                "kind and needs 'EVENT_NAME' among the by columns");
  }
  const Releases releases = releases_of(moves, std::move(kinds));
  Float64Array z = standardized_surprise(releases, surprise);
  const std::size_t n = groups.size();
  glue::Int64Array used = glue::new_int64(n), n_joint = glue::new_int64(n),
                   n_releases = glue::new_int64(n), n_pos = glue::new_int64(n),
                   n_neg = glue::new_int64(n);
  Float64Array beta = float64s(n), se = float64s(n), beta_neg = float64s(n), se_neg = float64s(n),
               intercept = float64s(n), r2 = float64s(n), t = float64s(n), dof = float64s(n),
               t_equal = float64s(n);
  const std::span<const double> zs = glue::writable(z);
  // the keys of a joint fit: every grouping key but the event kind
  std::vector<std::span<const std::int64_t>> others;
  for (std::size_t k = 0; k < groups.key_codes.size(); ++k) {
    if (py::str(groups.labels[k]).cast<std::string_view>() != "EVENT_NAME") {
      others.push_back(glue::view(groups.key_codes[k]));
    }
  }
  // pooled over securities, a security's minute is still an observation of its own
  glue::Int64Array securities = glue::new_int64(0);
  if (joint && !groups.codes_of("key") && has_column(moves, "key")) {
    securities = window_key(one_column(moves, py::str("key")));
  }
  const std::span<const std::int64_t> row_group = glue::view(groups.code),
                                      security = glue::view(securities);
  glue::without_gil("event_study.response", [&] {
    Joint joined;
    if (joint) {
      joined = joint_design(row_group, others, security, releases, zs, move.span(), asymmetric);
    } else {
      joined.design = row_design(row_group, n, releases, zs, move.span(), asymmetric);
    }
    const Design& design = joined.design;
    const std::size_t p = design.p, n_fits = design.n_groups;
    // a release that gives a group more than one observation: its rows move together
    std::vector<std::int64_t> clusters(n_fits);
    const bool shared =
        orvane::core::count_clusters(design.group, design.cluster, design.y, clusters, design.x);
    const bool clustered =
        clustering == Clustering::release || (clustering == Clustering::automatic && shared);
    std::vector<std::int64_t> fit_n(n_fits), fit_clusters(n_fits), fit_used(n_fits);
    std::vector<double> fit_beta(n_fits * p), fit_cov(n_fits * p * p), fit_intercept(n_fits),
        fit_r2(n_fits), fit_dof(n_fits);
    const orvane::core::RobustFits fits{p,       fit_n,         fit_clusters, fit_used, fit_beta,
                                        fit_cov, fit_intercept, fit_r2,       fit_dof};
    orvane::core::robust_fits(design.group, design.x, design.y,
                              clustered ? design.cluster : std::span<const std::int64_t>(), fits);
    // each output group's fit and the regressors of its event kind in it
    const std::span<const std::int64_t> row_kind = glue::view(releases.kind);
    const std::size_t width = asymmetric ? 2 : 1;
    // the observations of each (fit, kind): counted where the kind was released
    std::vector<std::int64_t> own(n_fits * (joint ? joined.kinds : 1)), pos(own.size()),
        neg(own.size());
    const auto slot = [&](std::size_t i) {
      return joint ? static_cast<std::size_t>(joined.row_group[i]) * joined.kinds +
                         static_cast<std::size_t>(row_kind[i])
                   : static_cast<std::size_t>(design.group[i]);
    };
    {
      std::vector<unsigned char> counted(joint ? design.y.size() * joined.kinds : 0);
      for (std::size_t i = 0; i < zs.size(); ++i) {
        if (row_group[i] < 0) continue;
        const std::size_t o = joint ? static_cast<std::size_t>(joined.row_observation[i]) : i;
        if (!design.known(o)) continue;
        if (joint) {  // one release of a kind per minute, however many rows repeat it
          unsigned char& once = counted[o * joined.kinds + static_cast<std::size_t>(row_kind[i])];
          if (once) continue;
          once = 1;
        }
        ++own[slot(i)];
        pos[slot(i)] += zs[i] > 0.0;
        neg[slot(i)] += zs[i] < 0.0;
      }
    }
    const std::span<std::int64_t> out_n = glue::writable(used), out_joint = glue::writable(n_joint),
                                  out_releases = glue::writable(n_releases),
                                  out_pos = glue::writable(n_pos), out_neg = glue::writable(n_neg);
    const std::span<double> b = glue::writable(beta), s = glue::writable(se),
                            bn = glue::writable(beta_neg), sn = glue::writable(se_neg),
                            icpt = glue::writable(intercept), fit = glue::writable(r2),
                            ts = glue::writable(t), dofs = glue::writable(dof),
                            eq = glue::writable(t_equal);
    for (std::size_t g = 0; g < n; ++g) {
      const std::size_t r = groups.first[g];
      const std::size_t f = joint ? static_cast<std::size_t>(joined.row_group[r]) : g;
      const std::size_t col = joint ? static_cast<std::size_t>(row_kind[r]) * width : 0;
      const double* coefficients = &fit_beta[f * p];
      const auto cov = [&](std::size_t a, std::size_t bb) { return fit_cov[(f * p + a) * p + bb]; };
      out_n[g] = own[slot(r)];
      out_pos[g] = pos[slot(r)];
      out_neg[g] = neg[slot(r)];
      out_joint[g] = fit_n[f];
      out_releases[g] = clustered ? fit_clusters[f] : clusters[f];
      b[g] = coefficients[col];
      s[g] = std::sqrt(cov(col, col));
      icpt[g] = fit_intercept[f];
      fit[g] = fit_r2[f];
      ts[g] = b[g] / s[g];
      dofs[g] = std::isnan(ts[g]) ? kNaN : fit_dof[f];
      if (asymmetric) {
        bn[g] = coefficients[col + 1];
        sn[g] = std::sqrt(cov(col + 1, col + 1));
        const double spread = cov(col, col) + cov(col + 1, col + 1) - 2.0 * cov(col, col + 1);
        eq[g] = (b[g] - bn[g]) / std::sqrt(spread);
      }
    }
  });
  const auto add = [&](const std::string& name, const py::object& values) {
    groups.labels.append(name);
    groups.columns.append(values);
  };
  add("n", used);
  if (joint) add("n_joint", n_joint);
  if (asymmetric) {
    // the two slopes and the test that they are equal, from the same covariance
    Float64Array dof_equal = float64s(n);
    std::span<double> de = glue::writable(dof_equal);
    const std::span<const double> ds = glue::writable(dof), te = glue::writable(t_equal);
    for (std::size_t g = 0; g < n; ++g) de[g] = std::isnan(te[g]) ? kNaN : ds[g];
    Float64Array p_equal = two_sided_p(c, t_equal, dof_equal);
    add("n_pos", n_pos);
    add("n_neg", n_neg);
    add("beta_pos_bps_per_sd", beta);
    add("se_pos_bps_per_sd", se);
    add("beta_neg_bps_per_sd", beta_neg);
    add("se_neg_bps_per_sd", se_neg);
    add("p_equal", p_equal);
  } else {
    TTest test = t_test(c, t, dof, beta, se, level);
    add("beta_bps_per_sd", beta);
    add("se_bps_per_sd", se);
    add("t_stat", t);
    add("p_value", test.p);
    add("ci_low_bps_per_sd", test.low);
    add("ci_high_bps_per_sd", test.high);
  }
  add("intercept_bps", intercept);
  add("r2", r2);
  add("n_releases", n_releases);
  return glue::frame_of(c.global<"pd">().attr("DataFrame"), groups.labels, groups.columns);
}

// --- concurrent releases, ordinary days and abnormal activity ---------------

constexpr const char* concurrent_doc =
    R"doc(Which releases share their window with other releases of the calendar.

A release is an event kind (``EVENT_NAME``) at a minute: calendar rows
repeating a kind at the same minute (``event_datetime`` rounded down to
it, as the windows round it) are one release. Another release falls in the
window of a release when its minute lies within ``pre`` to ``post`` minutes
of the release's minute, both ends included; releases at the very same
minute (payrolls and the unemployment rate) always do. The moves measured
in such a window hold the reaction to every release inside it.

Parameters
----------
calendar : pd.DataFrame
    The releases, such as ``get_eco_calendar_data`` returns: ``EVENT_NAME``
    and ``event_datetime`` (datetimes, naive or zone-aware). Rows missing
    either are left out.
pre : int, default -5
    The window's first minute from the release, at most 0.
post : int, default 10
    The window's last minute from the release, at least 0.

Returns
-------
pd.DataFrame
    One row per release, ordered by ``event_datetime`` then ``EVENT_NAME``
    (numbered from 0): ``EVENT_NAME`` and ``event_datetime`` as the
    release's first calendar row has them, ``concurrent`` (how many other
    releases fall in its window) and ``concurrent_events`` (their distinct
    kinds, sorted and joined by ``"; "``; empty when there is none).

Raises
------
TypeError
    If ``calendar`` is not a DataFrame, ``pre`` or ``post`` not an int, or
    ``event_datetime`` does not hold datetimes.
ValueError
    If ``pre`` is above 0 or ``post`` below 0.
KeyError
    If a column is missing.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import event_study
>>> calendar = pd.DataFrame({
...     "EVENT_NAME": ["Payrolls", "Unemployment", "CPI"],
...     "event_datetime": pd.to_datetime(["2024-06-07 08:30", "2024-06-07 08:30", "2024-06-12 08:30"])})
>>> event_study.concurrent_releases(calendar)
     EVENT_NAME      event_datetime  concurrent concurrent_events
0      Payrolls 2024-06-07 08:30:00           1      Unemployment
1  Unemployment 2024-06-07 08:30:00           1          Payrolls
2           CPI 2024-06-12 08:30:00           0                  )doc";

// A whole number already checked as an int, beyond int64 an OverflowError.
long long whole_number(const py::object& value) {
  const long long number = PyLong_AsLongLong(value.ptr());
  if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
  return number;
}

// A calendar's release times as whole minutes (kNoMinute for a missing
// one), with the column's stamps; TypeError when it holds no datetimes.
std::pair<std::vector<std::int64_t>, glue::Stamps> release_minutes(const py::object& calendar,
                                                                   const char* func) {
  std::optional<glue::Stamps> stamps =
      glue::datetime_stamps(one_column(calendar, py::str("event_datetime")));
  if (!stamps) {
    glue::raise(PyExc_TypeError, std::string(func) + "() needs event_datetime to hold datetimes");
  }
  const std::int64_t per_minute = 60 * stamps->per_second;
  std::vector<std::int64_t> minutes;
  minutes.reserve(static_cast<std::size_t>(stamps->ticks.size()));
  for (const std::int64_t t : stamps->span()) {
    // rounded down, before the epoch too, as the windows round the releases
    const std::int64_t m = t / per_minute - (t % per_minute < 0 ? 1 : 0);
    minutes.push_back(t == std::numeric_limits<std::int64_t>::min() ? orvane::core::kNoMinute : m);
  }
  return {std::move(minutes), std::move(*stamps)};
}

// The release's rows of a calendar, in the order of distinct_releases.
struct CalendarReleases {
  glue::LabelCodes kinds;            // EVENT_NAME in sorted order
  std::vector<std::int64_t> minute;  // every row's minute
  std::vector<std::size_t> rows;     // each release's first row
  glue::Stamps stamps;
};
CalendarReleases calendar_releases(const py::object& calendar, const char* func) {
  if (!py::isinstance(calendar, py::module_::import("pandas").attr("DataFrame"))) {
    glue::raise(PyExc_TypeError, std::string(func) + "() needs calendar to be a pandas DataFrame");
  }
  glue::LabelCodes kinds = glue::label_codes(one_column(calendar, py::str("EVENT_NAME")));
  auto [minute, stamps] = release_minutes(calendar, func);
  if (static_cast<std::size_t>(kinds.codes.size()) != minute.size()) {
    glue::raise(PyExc_ValueError, std::string(func) + ": columns of unequal lengths");
  }
  std::vector<std::size_t> rows = orvane::core::distinct_releases(glue::view(kinds.codes), minute);
  return {std::move(kinds), std::move(minute), std::move(rows), std::move(stamps)};
}

glue::Int64Array row_numbers(const std::vector<std::size_t>& rows) {
  return glue::int64_array(std::vector<std::int64_t>(rows.begin(), rows.end()));
}

constexpr glue::Signature concurrent_releases_sig{
    "concurrent_releases(calendar: pd.DataFrame, pre: int = -5, post: int = 10) -> pd.DataFrame"};
py::object concurrent_releases(glue::CallOf<concurrent_releases_sig>& c) {
  const py::object& calendar = c.arg<"calendar">();
  const long long pre = whole_number(c.arg<"pre">()), post = whole_number(c.arg<"post">());
  if (pre > 0 || post < 0) {
    glue::raise(PyExc_ValueError,
                "the window must hold the release's own minute: pre <= 0 <= post, "
                "not pre=" +
                    std::to_string(pre) + ", post=" + std::to_string(post));
  }
  CalendarReleases releases = calendar_releases(calendar, "concurrent_releases");
  const std::span<const std::int64_t> kind_of = glue::view(releases.kinds.codes);
  std::vector<std::int64_t> kinds, minutes;
  for (const std::size_t row : releases.rows) {
    kinds.push_back(kind_of[row]);
    minutes.push_back(releases.minute[row]);
  }
  const orvane::core::Overlaps overlaps = glue::without_gil("event_study.concurrent", [&] {
    return orvane::core::concurrent_releases(kinds, minutes, pre, post);
  });
  std::vector<std::string> names;
  for (py::handle name : releases.kinds.uniques) names.emplace_back(py::str(name));
  py::list joined;
  for (std::size_t r = 0; r < releases.rows.size(); ++r) {
    std::string text;
    for (std::size_t k = overlaps.starts[r]; k < overlaps.starts[r + 1]; ++k) {
      text += (text.empty() ? "" : "; ") + names[static_cast<std::size_t>(overlaps.kinds[k])];
    }
    joined.append(py::str(text));
  }
  const glue::Int64Array rows = row_numbers(releases.rows);
  py::list labels, columns;
  for (const char* name : {"EVENT_NAME", "event_datetime"}) {
    labels.append(name);
    columns.append(one_column(calendar, py::str(name))
                       .attr("take")(rows)
                       .attr("reset_index")(py::arg("drop") = true));
  }
  labels.append("concurrent");
  columns.append(glue::int64_array(std::vector<std::int64_t>(overlaps.count)));
  labels.append("concurrent_events");
  // texts in the running pandas' own text dtype, as a column of names it makes
  columns.append(c.global<"pd">().attr("Series")(
      joined, py::arg("dtype") = py::module_::import("builtins").attr("str")));
  return glue::frame_of(c.global<"pd">().attr("DataFrame"), labels, columns);
}

constexpr const char* control_doc =
    R"doc(Pseudo-releases on ordinary days: the same clock time before each release.

For each release (as ``concurrent_releases`` counts them: one per kind and
minute), the ``days`` nearest weekdays before the release's date that hold
no release of any kind in ``calendar`` (at any time of day), each at the
release's clock time in the zone of ``event_datetime``. Their windows and
moves come from ``filter_bars_around_events`` and ``event_moves`` as the
releases' own do, so ``abnormal_activity`` compares like with like: the
same securities at the same minutes of the day, without a release.

A weekday serving as control to two releases of the same kind appears once
for each, labelled with each release's ``control_of``: every release keeps
its own ``days`` controls. Days before the calendar's first release may hold
releases the calendar does not list, and days with no bars give no window.

Parameters
----------
calendar : pd.DataFrame
    The releases, such as ``get_eco_calendar_data`` returns: ``EVENT_NAME``,
    ``event_datetime`` and any other columns.
days : int, default 20
    Controls per release, from 0 to 2000.

Returns
-------
pd.DataFrame
    A calendar of the calendar's columns, one row per release and control
    day (its first calendar row copied, with the calendar's index label),
    ordered by release then day, plus ``control_of`` (the release's
    ``event_datetime``). ``event_datetime`` is the control's time (a clock
    time the zone skips that day moves forward; one it repeats takes the
    earlier instant) and ``event_date`` its date; every numeric column
    (``ACTUAL``, ``SURVEY_MEDIAN``, ``surprise``, ...) is NaN and every
    other datetime column NaT, since no release came out; text columns stay
    the release's.

Raises
------
TypeError
    If ``calendar`` is not a DataFrame, ``days`` not an int, or
    ``event_datetime`` does not hold datetimes.
ValueError
    If ``days`` lies outside 0 to 2000.
KeyError
    If a column is missing.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import event_study
>>> calendar = pd.DataFrame({
...     "EVENT_NAME": ["CPI", "Payrolls"], "ACTUAL": [3.1, 150.0],
...     "event_datetime": pd.to_datetime(["2024-06-12 08:30", "2024-06-07 08:30"]).tz_localize("America/New_York")})
>>> event_study.control_events(calendar, days=3)
  EVENT_NAME  ACTUAL            event_datetime                control_of
1   Payrolls     NaN 2024-06-04 08:30:00-04:00 2024-06-07 08:30:00-04:00
1   Payrolls     NaN 2024-06-05 08:30:00-04:00 2024-06-07 08:30:00-04:00
1   Payrolls     NaN 2024-06-06 08:30:00-04:00 2024-06-07 08:30:00-04:00
0        CPI     NaN 2024-06-06 08:30:00-04:00 2024-06-12 08:30:00-04:00
0        CPI     NaN 2024-06-10 08:30:00-04:00 2024-06-12 08:30:00-04:00
0        CPI     NaN 2024-06-11 08:30:00-04:00 2024-06-12 08:30:00-04:00)doc";

constexpr long long kMostControlDays = 2000;

constexpr glue::Signature control_events_sig{
    "control_events(calendar: pd.DataFrame, days: int = 20) -> pd.DataFrame"};
py::object control_events(glue::CallOf<control_events_sig>& c) {
  const py::object& calendar = c.arg<"calendar">();
  const long long days = whole_number(c.arg<"days">());
  if (days < 0 || days > kMostControlDays) {
    glue::raise(PyExc_ValueError, "days must lie between 0 and " +
                                      std::to_string(kMostControlDays) + ", not " +
                                      std::to_string(days));
  }
  CalendarReleases releases = calendar_releases(calendar, "control_events");
  py::object when = one_column(calendar, py::str("event_datetime"));
  // the clock of the release's zone tells its date and time of day
  const glue::Int64Array wall = glue::wall_clock_ticks(when);
  const std::int64_t per_day = 86400 * releases.stamps.per_second;
  const std::span<const std::int64_t> walls = glue::view(wall);
  const auto day_of = [per_day](std::int64_t t) { return t / per_day - (t % per_day < 0 ? 1 : 0); };
  std::vector<std::int64_t> busy, release_day;
  for (std::size_t i = 0; i < releases.minute.size(); ++i) {
    if (releases.minute[i] != orvane::core::kNoMinute) busy.push_back(day_of(walls[i]));
  }
  for (const std::size_t row : releases.rows) release_day.push_back(day_of(walls[row]));
  const orvane::core::ControlDays found = glue::without_gil("event_study.control_days", [&] {
    return orvane::core::control_days(release_day, busy, days);
  });
  // each release's row once per control day, the days in calendar order
  std::vector<std::int64_t> take, control_wall, control_day;
  for (std::size_t r = 0; r < releases.rows.size(); ++r) {
    const std::int64_t clock = walls[releases.rows[r]] - release_day[r] * per_day;
    for (std::size_t k = found.starts[r + 1]; k-- > found.starts[r];) {
      take.push_back(static_cast<std::int64_t>(releases.rows[r]));
      control_day.push_back(found.days[k]);
      control_wall.push_back(found.days[k] * per_day + clock);
    }
  }
  const glue::Int64Array rows = glue::int64_array(std::move(take));
  py::object controls = calendar.attr("take")(rows);
  py::object pd = c.global<"pd">(), np = c.global<"np">();
  py::object index = controls.attr("index");
  // the controls' instants: their wall clocks read in the releases' zone
  glue::Stamps naive = releases.stamps;
  naive.zone = py::none();
  naive.dtype = np.attr("dtype")("datetime64[" + naive.unit + "]");
  py::object instants = pd.attr("DatetimeIndex")(
      glue::stamps_index(glue::int64_array(std::move(control_wall)), naive));
  if (!releases.stamps.naive()) {
    const py::ssize_t n = py::len(instants);
    instants = instants.attr("tz_localize")(
        releases.stamps.zone, py::arg("ambiguous") = np.attr("ones")(n, py::arg("dtype") = "bool"),
        py::arg("nonexistent") = "shift_forward");
  }
  py::object series = pd.attr("Series");
  const py::object dtypes = controls.attr("dtypes");
  for (py::handle label : controls.attr("columns")) {
    const std::string name = py::str(label);
    if (name == "event_datetime") continue;
    py::object dtype = dtypes[label];
    const std::string kind = py::str(dtype.attr("kind"));
    if (kind == "i" || kind == "u" || kind == "f" || kind == "b" || kind == "c") {
      glue::set_column(
          controls, label,
          series(np.attr("nan"), py::arg("index") = index, py::arg("dtype") = "float64"));
    } else if (kind == "M") {
      glue::set_column(controls, label,
                       series(pd.attr("NaT"), py::arg("index") = index, py::arg("dtype") = dtype));
    }
  }
  glue::set_column(controls, py::str("event_datetime"),
                   series(instants, py::arg("index") = index).attr("astype")(when.attr("dtype")));
  if (py::bool_(controls.attr("columns").attr("__contains__")(py::str("event_date")))) {
    glue::set_column(
        controls, py::str("event_date"),
        glue::object_series(glue::date_objects(glue::int64_array(std::move(control_day))), index));
  }
  glue::set_column(controls, py::str("control_of"),
                   when.attr("take")(rows).attr("set_axis")(index));
  return controls;
}

constexpr const char* activity_doc =
    R"doc(Returns and volume at each event minute against the same minutes of ordinary days.

Per group and minute, the sizes of the one-minute returns (``ret_1m_bps``
of ``event_moves``) after the releases are set against those of the
control windows (``control_events``' pseudo-releases, cut and measured by
the same functions): how much larger the mean |return| and the mean
squared return are, how much larger the mean volume, and the two-sided
Mann-Whitney U test of the |returns| (the exact distribution of U when
either side holds at most eight returns and none ties, else the normal
approximation with tie correction and continuity correction). A control
window without a bar at a minute, or at the minute before it, is left out
of that minute only.

Parameters
----------
moves : pd.DataFrame
    The releases' frame of ``event_moves``: the ``by`` columns,
    ``time_diff``, ``ret_1m_bps`` and, for ``volume_ratio``, ``volume``.
control_moves : pd.DataFrame
    The same frame for the control windows; its rows count toward the
    group whose ``by`` values and minute they share (``control_events``
    labels them with their release's ``EVENT_NAME``).
by : list, default ["EVENT_NAME", "key"]
    The grouping columns; ``time_diff`` is added after them.

Returns
-------
pd.DataFrame
    One row per group and minute of ``moves``, in sorted order: the ``by``
    columns, ``time_diff``, ``n`` and ``n_control`` (returns on each
    side), ``abs_ret_bps`` and ``control_abs_ret_bps`` (mean |return|),
    ``abs_ratio`` (their ratio), ``var_ratio`` (mean squared return over the
    control's), ``volume_ratio`` (mean volume over the control's; NaN
    unless both frames carry ``volume``) and ``p_value``. Without a return
    on either side, or where the control's mean is zero, the ratios are
    NaN; where every |return| of both sides is equal, ``p_value`` is NaN.

Raises
------
TypeError
    If ``by`` is not a ``list``, or ``ret_1m_bps`` or ``volume`` does not
    hold numbers.
KeyError
    If a column is missing.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import event_study
>>> moves = pd.DataFrame({"EVENT_NAME": "NFP", "key": "es", "time_diff": 0,
...                       "ret_1m_bps": [12.0, -9.0, 15.0], "volume": [900, 700, 800]})
>>> control = pd.DataFrame({"EVENT_NAME": "NFP", "key": "es", "time_diff": 0,
...                         "ret_1m_bps": [1.0, -2.0, 0.5, 1.5, -1.0], "volume": [100, 120, 80, 90, 110]})
>>> activity = event_study.abnormal_activity(moves, control)
>>> activity[["time_diff", "n", "n_control", "abs_ratio", "volume_ratio", "p_value"]].round(3)
   time_diff  n  n_control  abs_ratio  volume_ratio  p_value
0          0  3          5       10.0           8.0    0.036)doc";

// Each control row's group among the groups of the moves (-1: none), by the
// keys' values: the two frames' groups are matched by pandas' merge, on one
// row per group.
glue::Int64Array matched_groups(const Call& c, const Groups& groups, const Groups& control) {
  py::object frame = c.global<"pd">().attr("DataFrame");
  py::object ours = glue::frame_of(frame, groups.labels, groups.columns);
  py::object theirs = glue::frame_of(frame, control.labels, control.columns);
  const std::size_t n = groups.size(), m = control.size();
  ours = ours.attr("assign")(py::arg("__group") = c.global<"np">().attr("arange")(n));
  py::object matched = theirs.attr("merge")(ours, py::arg("on") = groups.labels,
                                            py::arg("how") = "left", py::arg("sort") = false);
  const Float64Array found = glue::float64_missing_as_nan(matched[py::str("__group")]);
  std::vector<std::int64_t> of_control(m, -1);
  for (std::size_t g = 0; g < m; ++g) {
    if (!std::isnan(found.data()[g])) of_control[g] = static_cast<std::int64_t>(found.data()[g]);
  }
  const std::span<const std::int64_t> rows = glue::view(control.code);
  glue::Int64Array code = glue::new_int64(rows.size());
  std::span<std::int64_t> out = glue::writable(code);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    out[i] = rows[i] < 0 ? -1 : of_control[static_cast<std::size_t>(rows[i])];
  }
  return code;
}

// The volume column's values when the frame has one, else an empty array.
glue::Float64Values volumes_of(const py::object& frame) {
  if (py::bool_(frame.attr("columns").attr("__contains__")(py::str("volume")))) {
    return glue::series_float64(one_column(frame, py::str("volume")), "abnormal_activity");
  }
  return glue::Float64Values(glue::new_float64(0));
}

constexpr glue::Signature abnormal_activity_sig{
    "abnormal_activity(moves: pd.DataFrame, control_moves: pd.DataFrame, "
    "by: list = ['EVENT_NAME', 'key']) -> pd.DataFrame"};
py::object abnormal_activity(glue::CallOf<abnormal_activity_sig>& c) {
  const py::object& moves = c.arg<"moves">();
  const py::object& control_moves = c.arg<"control_moves">();
  const py::list keys = minute_keys(c.arg<"by">());
  glue::Float64Values ret =
      glue::series_float64(one_column(moves, py::str("ret_1m_bps")), "abnormal_activity");
  glue::Float64Values control_ret =
      glue::series_float64(one_column(control_moves, py::str("ret_1m_bps")), "abnormal_activity");
  glue::Float64Values volume = volumes_of(moves), control_volume = volumes_of(control_moves);
  const bool volumes = volume.size() && control_volume.size();
  Groups groups = groups_of(moves, keys);
  // a frame without rows has no groups of its own
  const glue::Int64Array control_code =
      py::len(control_moves) == 0 || groups.code.size() == 0
          ? glue::int64_array(std::vector<std::int64_t>(py::len(control_moves), -1))
          : matched_groups(c, groups, groups_of(control_moves, keys));
  const std::size_t n = py::len(moves) == 0 ? 0 : groups.size();
  glue::Int64Array count = glue::new_int64(n), control_count = glue::new_int64(n);
  Float64Array abs_ret = float64s(n), control_abs = float64s(n), abs_ratio = float64s(n),
               var_ratio = float64s(n), volume_ratio = float64s(n), p = float64s(n);
  {
    const orvane::core::Activity out{glue::writable(count),        glue::writable(control_count),
                                     glue::writable(abs_ret),      glue::writable(control_abs),
                                     glue::writable(abs_ratio),    glue::writable(var_ratio),
                                     glue::writable(volume_ratio), glue::writable(p)};
    const std::span<const double> none;
    glue::without_gil("event_study.activity", [&] {
      orvane::core::abnormal_activity(glue::view(groups.code), ret.span(),
                                      volumes ? volume.span() : none, glue::view(control_code),
                                      control_ret.span(), volumes ? control_volume.span() : none,
                                      out);
    });
  }
  const auto add = [&](const char* name, const py::object& values) {
    groups.labels.append(name);
    groups.columns.append(values);
  };
  add("n", count);
  add("n_control", control_count);
  add("abs_ret_bps", abs_ret);
  add("control_abs_ret_bps", control_abs);
  add("abs_ratio", abs_ratio);
  add("var_ratio", var_ratio);
  add("volume_ratio", volume_ratio);
  add("p_value", p);
  return glue::frame_of(c.global<"pd">().attr("DataFrame"), groups.labels, groups.columns);
}

}  // namespace

PYBIND11_MODULE(event_study, m) {
  m.doc() = "Moves of prices around economic releases, window by window, and their summary.";
  glue::import_as(m, "pandas", "pd");
  glue::import_from(m, "typing", "SupportsIndex");
  glue::import_from(m, "orvane_data", "DataWarning");
  constexpr auto checked = glue::Checks::declared;
  glue::def<event_moves_sig>(m, moves_doc, event_moves, checked);
  glue::def<summarize_moves_sig>(m, std::string(summary_doc) + grouping_params + summary_returns,
                                 summarize_moves, checked);
  glue::def<surprise_response_sig>(m,
                                   std::string(response_doc) + grouping_params + response_returns,
                                   surprise_response, checked);
  glue::import_as(m, "numpy", "np");
  glue::def<concurrent_releases_sig>(m, concurrent_doc, concurrent_releases, checked);
  glue::def<control_events_sig>(m, control_doc, control_events, checked);
  glue::def<abnormal_activity_sig>(m, activity_doc, abnormal_activity, checked);
  // The distributions of the tests are scipy's.
  glue::lazy_import(m, "scipy.special", "special");
  // Drawing only drives matplotlib, so it is written in Python; it is bound
  // here so that notebooks and the command line reach one function.
  glue::import_from(m, "orvane_data._plotting", "plot_moves");
  // The study object only runs the functions above and presents their answer
  // (notebook display, files), so it is written in Python too; bound here so
  // that notebooks and the command line reach one study.
  glue::import_from(m, "orvane_data._study", "run_study");
  glue::import_from(m, "orvane_data._study", "EventStudy");
  glue::import_from(m, "orvane_data._study", "StudyError");
}
