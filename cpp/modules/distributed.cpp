// The event study over a whole universe, run on a Dask cluster: bars read
// from a Parquet dataset partitioned by security, event windows cut and moves
// computed partition by partition on the workers, the small per-event moves
// gathered and summarised on the caller's side.
//
// What travels to the workers is this module's own `_partition_moves` (native
// functions pickle by reference, so a worker imports this module and finds it
// by name), the calendar (once, as one graph key every task depends on) and
// plain tuples describing the indicators.
#include <pybind11/pybind11.h>

#include <string>

#include "../glue/checks.hpp"
#include "../glue/function.hpp"
#include "../glue/module_setup.hpp"
#include "../glue/pyops.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

namespace {

using Call = glue::Call;

// `with dask.config.set(settings):` for the lifetime of the object.
class ConfigScope {
 public:
  ConfigScope(const Call& c, const py::dict& settings)
      : scope_(c.global("dask").attr("config").attr("set")(settings)) {
    scope_.attr("__enter__")();
  }
  ~ConfigScope() {
    // runs while an error may be propagating: keep that error, drop any new one
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
      scope_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (py::error_already_set&) {
    }
    PyErr_Restore(type, value, trace);
  }
  ConfigScope(const ConfigScope&) = delete;
  ConfigScope& operator=(const ConfigScope&) = delete;

 private:
  py::object scope_;
};

constexpr const char* read_bars_doc =
    R"doc(Minute bars of a Parquet dataset partitioned by security, as a lazy Dask frame.

Each file is read whole into one partition, so a security written as one
file is never split between two tasks (dask's partition tuning may still
read several small files into one partition when columns are projected;
``collect_moves`` turns that tuning off so that each task holds one file).

Parameters
----------
path : str
    The dataset's root folder, local or remote (``"s3://bucket/bars"``),
    holding hive-style folders ``security=<FIGI>/`` as
    ``orvane_data.bar_store`` writes them.
securities : list, optional
    Only the bars of these FIGIs.
columns : list, optional
    Only these columns (list ``security`` to get it); all by default.
storage_options : dict, optional
    Passed to the file system (s3fs for S3).

Returns
-------
dask.dataframe.DataFrame
    The bars, with ``security`` (when read) first and as text, as the bar
    frames of the intraday service have it.

Raises
------
TypeError
    If ``path`` is not a ``str``, or another argument is not of its type.

Examples
--------
>>> import tempfile
>>> import pandas as pd
>>> from orvane_data import bar_store, distributed
>>> root = tempfile.mkdtemp()
>>> bars = pd.DataFrame({"security": ["FIGI_A", "FIGI_A", "FIGI_B"], "key": ["a", "a", "b"],
...                      "datetime": pd.to_datetime(["2024-06-07 12:29", "2024-06-07 12:30",
...                                                  "2024-06-07 12:29"]).tz_localize("UTC"),
...                      "close": [100.0, 101.0, 50.0]})
>>> paths = bar_store.write_bars(bars, root)
>>> lazy = distributed.read_bars(root, securities=["FIGI_A"])
>>> lazy.npartitions
1
>>> lazy.compute(scheduler="sync")
  security key                  datetime  close
0   FIGI_A   a 2024-06-07 12:29:00+00:00  100.0
1   FIGI_A   a 2024-06-07 12:30:00+00:00  101.0)doc";

constexpr const char* event_windows_doc =
    R"doc(Event windows and their moves, computed per partition of a lazy bar frame.

Each partition of ``bars`` is cut into windows around the events of
``calendar`` with ``filter_bars_around_events(part, calendar,
pre_event_window, post_event_window)`` and gets ``event_moves(windows,
price)``. The calendar enters the graph once, as a single key every task
depends on, so each worker receives it once.

Parameters
----------
bars : dask.dataframe.DataFrame
    Minute bars such as ``read_bars`` gives; each security must lie within
    one partition for its indicator to see its whole series.
calendar : pd.DataFrame
    The events: ``EVENT_NAME``, ``event_datetime`` and any other columns.
pre_event_window : int, default -5
    The first minute offset of each window.
post_event_window : int, default 10
    The last minute offset, included.
price : str, default "close"
    The column whose moves are taken; it may be an indicator's column.
indicator : Strategy, dict or list of dict, optional
    Indicators of ``orvane_data.ta.overlap`` computed before the cut,
    security by security over its whole bar series in time order, one
    column each: a dict such as ``{"kind": "ema", "length": 20}``, a list
    of such dicts, or a ``Strategy`` (whose ``ta`` None runs every
    indicator of that module). Averages read ``close``; ``hlc3`` and
    ``vwap`` the bar columns they need.

Returns
-------
dask.dataframe.DataFrame
    The windows of ``filter_bars_around_events`` with the indicator
    columns and ``move_bps``. A window split between two partitions is only
    made whole by ``collect_moves``.

Raises
------
TypeError
    If ``price`` is not a ``str``, ``calendar`` not a ``pd.DataFrame``, or
    ``indicator`` (or one of its entries) not of the forms above.
ValueError
    If an indicator kind is not one of ``orvane_data.ta.overlap``'s, or an
    indicator gives no named series.

Examples
--------
>>> import tempfile
>>> import pandas as pd
>>> from orvane_data import bar_store, distributed
>>> root = tempfile.mkdtemp()
>>> bars = pd.DataFrame({"security": "FIGI_A", "key": "a", "close": [100.0, 101.0, 102.0, 101.0],
...                      "datetime": pd.date_range("2024-06-07 08:29", periods=4, freq="min",
...                                                tz="America/New_York")})
>>> paths = bar_store.write_bars(bars, root)
>>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP"],
...                          "event_datetime": [pd.Timestamp("2024-06-07 08:30", tz="America/New_York")]})
>>> lazy = distributed.event_windows(distributed.read_bars(root), calendar, -1, 2,
...                                  indicator={"kind": "sma", "length": 2})
>>> lazy.compute(scheduler="sync")[["time_diff", "close", "SMA_2", "move_bps"]]
   time_diff  close  SMA_2  move_bps
0         -1  100.0    NaN       0.0
1          0  101.0  100.5     100.0
2          1  102.0  101.5     200.0
3          2  101.0  101.5     100.0)doc";

constexpr const char* collect_moves_doc =
    R"doc(Per-event moves of a whole bar dataset, computed on the Dask workers.

The windows and moves of ``event_windows`` are computed with ``scheduler``
and gathered here. Windows that a partition boundary had cut in two get
their moves again from all their rows.

Parameters
----------
dataset : str or dask.dataframe.DataFrame
    A dataset path (read with ``read_bars``) or a lazy bar frame.
calendar : pd.DataFrame
    The events: ``EVENT_NAME``, ``event_datetime`` and any other columns.
pre_event_window : int, default -5
    The first minute offset of each window.
post_event_window : int, default 10
    The last minute offset, included.
price : str, default "close"
    The column whose moves are taken.
indicator : Strategy, dict or list of dict, optional
    Indicators computed before the cut, as ``event_windows`` takes them.
    From a dataset path, each security must then be one file.
securities : list, optional
    From a dataset path, only the bars of these FIGIs.
columns : list, optional
    From a dataset path, only these bar columns; None reads every bar
    column, as the single-process windows have them.
storage_options : dict, optional
    Passed to the file system (s3fs for S3).
scheduler : optional
    None: Dask's current scheduler, such as an active
    ``distributed.Client``; an address text like ``"tcp://scheduler:8786"``:
    a client connected for this call; a ``Client`` or a scheduler name
    such as ``"threads"`` or ``"sync"``: used as given.

Returns
-------
pd.DataFrame
    The windows with ``move_bps``, in the order of the single-process
    windows: by ``EVENT_NAME``, ``event_datetime``, ``key``, ``datetime``,
    numbered from 0.

Raises
------
TypeError
    If ``dataset`` is neither a path nor a lazy frame, or another argument
    is not of its type (see ``event_windows``).
ValueError
    If an indicator is asked for and a security of the dataset path is
    held in more than one file.

Examples
--------
>>> import tempfile
>>> import pandas as pd
>>> from orvane_data import bar_store, distributed
>>> root = tempfile.mkdtemp()
>>> bars = pd.DataFrame({"security": ["FIGI_A"] * 3 + ["FIGI_B"] * 3, "key": ["a"] * 3 + ["b"] * 3,
...                      "datetime": list(pd.date_range("2024-06-07 12:29", periods=3, freq="min",
...                                                     tz="UTC")) * 2,
...                      "close": [100.0, 101.0, 99.0, 50.0, 49.5, 50.5]})
>>> paths = bar_store.write_bars(bars, root)
>>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP"],
...                          "event_datetime": [pd.Timestamp("2024-06-07 12:30", tz="UTC")]})
>>> moves = distributed.collect_moves(root, calendar, -1, 1, scheduler="sync")
>>> moves[["key", "time_diff", "close", "move_bps"]]
  key  time_diff  close  move_bps
0   a         -1  100.0       0.0
1   a          0  101.0     100.0
2   a          1   99.0    -100.0
3   b         -1   50.0       0.0
4   b          0   49.5    -100.0
5   b          1   50.5     100.0)doc";

constexpr const char* event_summary_doc =
    R"doc(The event study's summary of a whole bar dataset, computed on Dask.

``summarize_moves(collect_moves(...), by)``: equal to the summary of the
single-process event study on the same bars. From a dataset path only the
bar columns the windows, the ``price`` and the indicators need are read.

Parameters
----------
dataset : str or dask.dataframe.DataFrame
    A dataset path (read with ``read_bars``) or a lazy bar frame.
calendar : pd.DataFrame
    The events: ``EVENT_NAME``, ``event_datetime`` and any other columns.
pre_event_window : int, default -5
    The first minute offset of each window.
post_event_window : int, default 10
    The last minute offset, included.
price : str, default "close"
    The column whose moves are taken.
indicator : Strategy, dict or list of dict, optional
    Indicators computed before the cut, as ``event_windows`` takes them.
by : list, default ["EVENT_NAME", "key"]
    The grouping columns of the summary (the list given is left as it is).
securities : list, optional
    From a dataset path, only the bars of these FIGIs.
storage_options : dict, optional
    Passed to the file system (s3fs for S3).
scheduler : optional
    As for ``collect_moves``.

Returns
-------
pd.DataFrame
    One row per group and minute offset: the ``by`` columns,
    ``time_diff``, ``mean_bps``, ``median_bps``, ``q25_bps``, ``q75_bps``,
    ``count`` and ``mean_abs_bps``.

Raises
------
TypeError
    If ``by`` is not a ``list``, or another argument is not of its type
    (see ``collect_moves``).
ValueError
    As for ``collect_moves``.

Examples
--------
>>> import tempfile
>>> import pandas as pd
>>> from orvane_data import bar_store, distributed
>>> root = tempfile.mkdtemp()
>>> bars = pd.DataFrame({"security": ["FIGI_A"] * 3 + ["FIGI_B"] * 3, "key": ["a"] * 3 + ["b"] * 3,
...                      "datetime": list(pd.date_range("2024-06-07 12:29", periods=3, freq="min",
...                                                     tz="UTC")) * 2,
...                      "close": [100.0, 101.0, 99.0, 50.0, 49.5, 50.5]})
>>> paths = bar_store.write_bars(bars, root)
>>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP"],
...                          "event_datetime": [pd.Timestamp("2024-06-07 12:30", tz="UTC")]})
>>> summary = distributed.event_summary(root, calendar, -1, 1, by=["EVENT_NAME"], scheduler="sync")
>>> summary[["EVENT_NAME", "time_diff", "mean_bps", "mean_abs_bps", "count"]]
  EVENT_NAME  time_diff  mean_bps  mean_abs_bps  count
0        NFP         -1       0.0           0.0      2
1        NFP          0       0.0         100.0      2
2        NFP          1       0.0         100.0      2)doc";

constexpr const char* partition_moves_doc =
    "Windows and moves of one partition of bars (the task run on a worker).";

// The indicators of orvane_data.ta.overlap and the bar columns each reads.
struct Kind {
  const char* name;
  std::initializer_list<const char*> inputs;
};
const Kind kinds[] = {
    {"sma", {"close"}},
    {"ema", {"close"}},
    {"rma", {"close"}},
    {"wma", {"close"}},
    {"dema", {"close"}},
    {"tema", {"close"}},
    {"hma", {"close"}},
    {"hlc3", {"high", "low", "close"}},
    {"vwap", {"high", "low", "close", "volume"}},
};

const Kind* find_kind(const std::string& name) {
  for (const Kind& k : kinds) {
    if (name == k.name) return &k;
  }
  return nullptr;
}

std::string kind_names() {
  std::string out;
  for (const Kind& k : kinds) out += (out.empty() ? "" : ", ") + std::string(k.name);
  return out;
}

py::object run_indicator(const Call& c, const std::string& kind, const py::dict& kwargs,
                         const py::object& frame) {
  const Kind* k = find_kind(kind);
  py::list inputs;
  for (const char* column : k->inputs) inputs.append(frame[py::str(column)]);
  return c.global("overlap").attr(kind.c_str())(*py::tuple(inputs), **kwargs);
}

// Turns the caller's indicator argument into ((kind, kwargs, column), ...),
// checking every entry here, before any task is sent. The column names are
// the indicators' own, read from a trial run on a series long enough for
// any length.
py::tuple indicator_plans(const Call& c, const py::object& indicator) {
  if (indicator.is_none()) return py::tuple();
  py::object entries;
  if (py::isinstance(indicator, c.global("Strategy"))) {
    entries = indicator.attr("ta");
    if (entries.is_none()) {
      py::list all;
      for (const Kind& k : kinds) {
        py::dict entry;
        entry["kind"] = k.name;
        all.append(entry);
      }
      entries = all;
    }
  } else if (py::isinstance<py::dict>(indicator)) {
    py::list one;
    one.append(indicator);
    entries = one;
  } else if (py::isinstance<py::list>(indicator)) {
    entries = indicator;
  } else {
    glue::raise(PyExc_TypeError, "indicator must be a Strategy, a dict or a list of dicts, not " +
                                     glue::type_name(indicator));
  }
  py::object pd = c.global("pd");
  py::object np = c.global("np");
  py::list plans;
  for (py::handle entry : entries) {
    if (!py::isinstance<py::dict>(entry) || !entry.contains("kind") ||
        !py::isinstance<py::str>(entry[py::str("kind")])) {
      glue::raise(PyExc_TypeError,
                  "each indicator entry must be a dict with a text \"kind\", not " +
                      std::string(py::repr(entry)));
    }
    std::string kind = py::str(entry[py::str("kind")].attr("lower")());
    if (!find_kind(kind)) {
      glue::raise(
          PyExc_ValueError,
          "indicator kind '" + kind + "' is not one of orvane_data.ta.overlap's: " + kind_names());
    }
    py::dict kwargs;
    for (auto item : py::reinterpret_borrow<py::dict>(entry)) {
      if (!py::str(item.first).equal(py::str("kind"))) kwargs[item.first] = item.second;
    }
    long length = 0;
    if (kwargs.contains("length") && !kwargs["length"].is_none()) {
      // clamped as a Python int first: any int may arrive, 2**70 included
      py::int_ given(kwargs["length"]);
      const py::int_ most(1L << 20), least(0);
      length = given > most ? (1L << 20) : given < least ? 0L : given.cast<long>();
    }
    py::object n = py::int_(1024 + 4 * length);
    py::object path = np.attr("linspace")(100.0, 101.0, n);
    py::dict trial_columns;
    for (const char* column : {"high", "low", "close"}) trial_columns[column] = path;
    trial_columns["volume"] = np.attr("ones")(n);
    py::object trial = run_indicator(c, kind, kwargs, pd.attr("DataFrame")(trial_columns));
    if (trial.is_none() || trial.attr("name").is_none()) {
      glue::raise(PyExc_ValueError,
                  "indicator " + std::string(py::repr(entry)) + " gives no named series");
    }
    plans.append(py::make_tuple(kind, kwargs, py::str(trial.attr("name"))));
  }
  return py::tuple(plans);
}

// Adds one column per indicator, each security's series computed over its
// bars in time order; a security too short for an indicator gets NaN there.
py::object add_indicators(const Call& c, py::object part, const py::tuple& plans) {
  py::object np = c.global("np");
  const py::ssize_t n = py::len(part);
  py::dict columns;
  for (py::handle plan : plans) {
    columns[plan.cast<py::tuple>()[2]] = np.attr("full")(n, np.attr("nan"));
  }
  py::dict groups = part.attr("groupby")("security", py::arg("sort") = false).attr("indices");
  for (auto group : groups) {
    py::object positions = py::reinterpret_borrow<py::object>(group.second);
    py::object bars = part.attr("take")(positions);
    py::object order =
        bars[py::str("datetime")].attr("to_numpy")().attr("argsort")(py::arg("kind") = "stable");
    bars = bars.attr("take")(order);
    positions = positions[order];
    for (py::handle plan_handle : plans) {
      py::tuple plan = plan_handle.cast<py::tuple>();
      py::object series =
          run_indicator(c, plan[0].cast<std::string>(), plan[1].cast<py::dict>(), bars);
      if (series.is_none()) continue;
      py::object values = series.attr("to_numpy")("float64", py::arg("na_value") = np.attr("nan"));
      columns[plan[2]].attr("__setitem__")(positions, values);
    }
  }
  return part.attr("assign")(**columns);
}

// The task: one partition of bars in, its windows with moves out.
constexpr glue::Signature partition_moves_sig{
    "_partition_moves(part: pd.DataFrame, calendar: pd.DataFrame, pre_event_window, "
    "post_event_window, price: str, indicators: tuple, keep=None) -> pd.DataFrame"};
py::object partition_moves(glue::CallOf<partition_moves_sig>& c) {
  py::object part = c.arg<"part">().attr("reset_index")(py::arg("drop") = true);
  const py::object& plans = c.arg<"indicators">();
  if (py::len(plans) > 0) part = add_indicators(c, part, plans.cast<py::tuple>());
  py::object windows = c.global("filter_bars_around_events")(
      part, c.arg<"calendar">(), c.arg<"pre_event_window">(), c.arg<"post_event_window">());
  py::object moves = c.global("event_moves")(windows, py::arg("price") = c.arg<"price">());
  // Only what the caller will use travels back and waits in the worker's
  // memory for the gathering (the calendar's columns repeat on every row).
  if (!c.arg<"keep">().is_none()) moves = moves[py::list(c.arg<"keep">())];
  return moves;
}

// An empty pandas frame with the columns and dtypes of a lazy frame's
// partitions, as Dask's public make_meta gives it.
py::object empty_partition(const py::object& lazy) {
  return py::module_::import("dask.dataframe.utils").attr("make_meta")(lazy);
}

constexpr glue::Signature read_bars_sig{
    "read_bars(path: str, securities: 'Optional[list]' = None, columns: 'Optional[list]' = None, "
    "storage_options: 'Optional[dict]' = None) -> 'dd.DataFrame'"};
py::object read_bars(glue::CallOf<read_bars_sig>& c) {
  const py::object& path = c.arg<"path">();
  const py::object& securities = c.arg<"securities">();
  py::object columns = c.arg<"columns">();
  py::object storage_options = c.arg<"storage_options">();
  glue::check_str(path, "path");
  glue::check_list(securities, "securities", true);
  glue::check_list(columns, "columns", true);
  glue::check_dict(storage_options, "storage_options", true);
  py::object filters = py::none();
  if (!securities.is_none()) {
    py::list clause;
    clause.append(py::make_tuple("security", "in", securities));
    filters = clause;
  }
  py::dict config;
  // Text columns stay the plain `str` of pandas, as in the service's frames.
  config["dataframe.convert-string"] = false;
  py::object bars;
  {
    ConfigScope scope(c, config);
    bars = c.global("dd").attr("read_parquet")(
        path, py::arg("columns") = columns, py::arg("filters") = filters,
        py::arg("storage_options") = storage_options, py::arg("split_row_groups") = false);
  }
  py::object convert = c.global("_security_first");
  return bars.attr("map_partitions")(convert, py::arg("meta") = convert(empty_partition(bars)));
}

// The hive folder names come back as a categorical column, last; the
// service's bar frames have `security` as text and first. Taking the
// categories by code is far cheaper than a categorical astype.
constexpr glue::Signature security_first_sig{"_security_first(part: pd.DataFrame) -> pd.DataFrame"};
py::object security_first(glue::CallOf<security_first_sig>& c) {
  const py::object& part = c.arg<"part">();
  if (!part.attr("columns").contains("security")) return part;
  py::object security = part[py::str("security")];
  py::object pd = c.global("pd");
  if (py::isinstance(security.attr("dtype"), pd.attr("CategoricalDtype"))) {
    py::object cat = security.attr("cat");
    py::object text =
        cat.attr("categories")
            .attr("astype")("str")
            .attr("take")(cat.attr("codes").attr("to_numpy")(), py::arg("allow_fill") = true,
                          py::arg("fill_value") = py::none());
    security = pd.attr("Series")(text, py::arg("index") = part.attr("index"),
                                 py::arg("name") = "security");
  }
  py::object rest = part.attr("drop")(py::arg("columns") = "security");
  rest.attr("insert")(0, "security", security);
  return rest;
}

// The lazy frame of windows with moves; `keep` (None: all) names the columns
// each task returns.
py::object lazy_moves(const Call& c, const py::object& bars, const py::object& calendar,
                      const py::object& pre, const py::object& post, const py::object& price,
                      const py::object& indicator, const py::object& keep) {
  glue::check_str(price, "price");
  if (!py::isinstance(calendar, c.global("pd").attr("DataFrame"))) {
    glue::raise(PyExc_TypeError,
                "calendar must be a pandas DataFrame, not " + glue::type_name(calendar));
  }
  py::tuple plans = indicator_plans(c, indicator);
  py::object task = c.global("_partition_moves");
  // Running the task on the empty frame here gives the result's columns and
  // surfaces bad arguments before anything is sent.
  py::object meta = task(empty_partition(bars), calendar, pre, post, price, plans, keep);
  py::object shared_calendar = c.global("dask").attr("delayed")(calendar, py::arg("pure") = true);
  return bars.attr("map_partitions")(task, shared_calendar, pre, post, price, plans, keep,
                                     py::arg("meta") = meta);
}

constexpr glue::Signature event_windows_sig{
    "event_windows(bars: 'dd.DataFrame', calendar: pd.DataFrame, "
    "pre_event_window: int = -5, post_event_window: int = 10, *, price: str = 'close', "
    "indicator=None) -> 'dd.DataFrame'"};
py::object event_windows(glue::CallOf<event_windows_sig>& c) {
  return lazy_moves(c, c.arg<"bars">(), c.arg<"calendar">(), c.arg<"pre_event_window">(),
                    c.arg<"post_event_window">(), c.arg<"price">(), c.arg<"indicator">(),
                    py::none());
}

// Computes `lazy` with the scheduler the caller named (see collect_moves).
py::object compute(const Call& c, const py::object& lazy, const py::object& scheduler) {
  py::object dask = c.global("dask");
  // Once columns are projected, dask's partition tuning reads several small
  // files into one partition; one file (one security) per task keeps each
  // worker's memory at one security's bars.
  py::dict config;
  config["optimization.tune.active"] = false;
  ConfigScope scope(c, config);
  if (scheduler.is_none()) return dask.attr("compute")(lazy)[py::int_(0)];
  if (py::isinstance<py::str>(scheduler) &&
      py::str(scheduler).attr("__contains__")(":").cast<bool>()) {
    py::object client = c.global("Client")(scheduler);
    try {
      py::object result = dask.attr("compute")(lazy, py::arg("scheduler") = client)[py::int_(0)];
      client.attr("close")();
      return result;
    } catch (...) {
      client.attr("close")();
      throw;
    }
  }
  return dask.attr("compute")(lazy, py::arg("scheduler") = scheduler)[py::int_(0)];
}

py::list window_keys() {
  py::list keys;
  for (const char* key : {"EVENT_NAME", "event_datetime", "key"}) keys.append(key);
  return keys;
}

// A window whose rows sit in two partitions was measured in each from that
// partition's rows alone, leaving NaN where the event-minute bar was in the
// other one. Every window with a NaN move is measured again here from all
// its rows; for windows that truly lack a base the NaN stays.
py::object rejoin_split_windows(const Call& c, py::object moves, const py::object& price) {
  py::object missing = moves[py::str("move_bps")].attr("isna")();
  if (!missing.attr("any")().cast<bool>()) return moves;
  py::list by;
  for (py::handle key : window_keys()) by.append(moves[key]);
  py::object affected =
      missing.attr("groupby")(by, py::arg("sort") = false, py::arg("dropna") = false)
          .attr("transform")("any")
          .attr("astype")("bool");
  py::object rows = moves.attr("loc")[affected];
  py::object again = c.global("event_moves")(rows.attr("drop")(py::arg("columns") = "move_bps"),
                                             py::arg("price") = price);
  moves = moves.attr("copy")();
  moves.attr("loc").attr("__setitem__")(py::make_tuple(affected, "move_bps"),
                                        again[py::str("move_bps")]);
  return moves;
}

// An indicator needs each security's whole series in one task; a dataset
// folder holding several files for one security would split it.
void check_one_file_per_security(const Call& c, const py::object& path,
                                 const py::object& storage_options) {
  py::dict options;
  if (!storage_options.is_none()) options = storage_options;
  py::tuple found = c.global("fsspec").attr("core").attr("url_to_fs")(path, **options);
  py::object fs = found[0];
  std::string root = py::str(found[1]).cast<std::string>();
  while (!root.empty() && root.back() == '/') root.pop_back();
  py::dict counts;
  for (py::handle file : fs.attr("glob")(root + "/security=*/**/*.parquet")) {
    std::string name = py::str(file);
    std::string folder = name.substr(0, name.rfind('/'));
    py::str key(folder);
    counts[key] = (counts.contains(key) ? counts[key].cast<long>() : 0) + 1;
  }
  for (auto item : counts) {
    if (item.second.cast<long>() > 1) {
      glue::raise(PyExc_ValueError, "indicators need each security in one file, but " +
                                        std::string(py::str(item.first)) + " holds " +
                                        std::to_string(item.second.cast<long>()) +
                                        " files; rewrite it with orvane_data.bar_store.write_bars");
    }
  }
}

// Shared by the functions that gather moves, each reading these arguments
// under the same names in its own signature.
template <const glue::Signature& S>
py::object gather_moves(const glue::CallOf<S>& c, const py::object& dataset,
                        const py::object& columns, const py::object& keep) {
  const py::object& price = c.template arg<"price">();
  const py::object& storage_options = c.template arg<"storage_options">();
  glue::check_str(price, "price");
  py::object bars = dataset;
  if (py::isinstance<py::str>(dataset)) {
    if (!c.template arg<"indicator">().is_none())
      check_one_file_per_security(c, dataset, storage_options);
    bars = c.global("read_bars")(dataset, py::arg("securities") = c.template arg<"securities">(),
                                 py::arg("columns") = columns,
                                 py::arg("storage_options") = storage_options);
  } else if (!py::isinstance(dataset, c.global("dd").attr("DataFrame"))) {
    glue::raise(PyExc_TypeError, "dataset must be a dataset path or a dask DataFrame, not " +
                                     glue::type_name(dataset));
  }
  py::object lazy =
      lazy_moves(c, bars, c.template arg<"calendar">(), c.template arg<"pre_event_window">(),
                 c.template arg<"post_event_window">(), price, c.template arg<"indicator">(), keep);
  py::object moves = compute(c, lazy, c.template arg<"scheduler">());
  moves = rejoin_split_windows(c, moves, price);
  py::list order = window_keys();
  order.append("datetime");
  return moves.attr("sort_values")(order, py::arg("kind") = "stable")
      .attr("reset_index")(py::arg("drop") = true);
}

constexpr glue::Signature collect_moves_sig{
    "collect_moves(dataset, calendar: pd.DataFrame, pre_event_window: int = -5, "
    "post_event_window: int = 10, *, price: str = 'close', indicator=None, "
    "securities: 'Optional[list]' = None, columns: 'Optional[list]' = None, "
    "storage_options: 'Optional[dict]' = None, scheduler=None) -> pd.DataFrame"};
py::object collect_moves(glue::CallOf<collect_moves_sig>& c) {
  return gather_moves(c, c.arg<"dataset">(), c.arg<"columns">(), py::none());
}

constexpr glue::Signature event_summary_sig{
    "event_summary(dataset, calendar: pd.DataFrame, pre_event_window: int = -5, "
    "post_event_window: int = 10, *, price: str = 'close', indicator=None, "
    "by: list = ['EVENT_NAME', 'key'], securities: 'Optional[list]' = None, "
    "storage_options: 'Optional[dict]' = None, scheduler=None) -> pd.DataFrame"};
py::object event_summary(glue::CallOf<event_summary_sig>& c) {
  const py::object& by = c.arg<"by">();
  glue::check_list(by, "by");
  // The summary reads only what the windows, the moves and the indicators
  // need: less to read, and smaller partitions in the workers' memory.
  py::object columns = py::none();
  py::tuple plans = indicator_plans(c, c.arg<"indicator">());
  if (py::isinstance<py::str>(c.arg<"dataset">())) {
    py::list needed;
    auto need = [&](py::object column) {
      if (!needed.contains(column)) needed.append(column);
    };
    // the hive column costs dask more to build than the files' own columns:
    // only the per-security indicators need it
    if (py::len(plans) > 0) need(py::str("security"));
    for (const char* column : {"datetime", "key"}) need(py::str(column));
    bool price_is_indicator = false;
    for (py::handle plan : plans) {
      py::tuple t = plan.cast<py::tuple>();
      for (const char* column : find_kind(t[0].cast<std::string>())->inputs) need(py::str(column));
      price_is_indicator = price_is_indicator || py::object(t[2]).equal(c.arg<"price">());
    }
    if (!price_is_indicator) need(c.arg<"price">());
    columns = needed;
  }
  py::list keep;
  auto keep_column = [&](py::handle column) {
    if (!keep.contains(column)) keep.append(column);
  };
  for (py::handle column : window_keys()) keep_column(column);
  for (const char* column : {"datetime", "time_diff", "move_bps"}) keep_column(py::str(column));
  keep_column(c.arg<"price">());
  for (py::handle column : by) keep_column(column);
  py::object moves = gather_moves(c, c.arg<"dataset">(), columns, py::tuple(keep));
  // a copy: summarize_moves extends the list it is given with `time_diff`
  py::list keys;
  for (py::handle key : by) keys.append(key);
  return c.global("summarize_moves")(moves, py::arg("by") = keys);
}

}  // namespace

PYBIND11_MODULE(distributed, m) {
  m.doc() = "Event studies over a whole universe of instruments, run on a Dask cluster.";
  glue::import_as(m, "pandas", "pd");
  glue::import_as(m, "numpy", "np");
  glue::import_as(m, "fsspec");
  glue::import_as(m, "dask");
  glue::import_as(m, "dask.dataframe", "dd");
  glue::import_from(m, "orvane_data.event_study", "event_moves");
  glue::import_from(m, "orvane_data.event_study", "summarize_moves");
  glue::import_from(m, "orvane_data.ta.strategy", "Strategy");
  // Only a remote scheduler's address needs the distributed client.
  glue::guarded(glue::Guard::module_not_found, false, "",
                [&] { glue::import_from(m, "distributed", "Client"); });
  glue::import_from(m, "orvane_data.from_bqia.bar_kit", "filter_bars_around_events");
  glue::import_as(m, "orvane_data.ta.overlap", "overlap");

  glue::def<read_bars_sig>(m, read_bars_doc, read_bars);
  glue::def<event_windows_sig>(m, event_windows_doc, event_windows);
  glue::def<collect_moves_sig>(m, collect_moves_doc, collect_moves);
  glue::def<event_summary_sig>(m, event_summary_doc, event_summary);
  glue::def<security_first_sig>(m, "The bars of one partition with `security` as text and first.",
                                security_first);
  glue::def<partition_moves_sig>(m, partition_moves_doc, partition_moves);
}
