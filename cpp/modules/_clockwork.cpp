// Bar frequencies, exchange time zones and the time-zone contract of the
// package's indexes: daily frames on naive midnight dates, intraday frames on
// naive stamps of the exchange clock or of UTC.
//
// Naive wall-clock stamps become UTC natively where the zone's offset table
// settles them (the roads "clockwork.wall_to_utc", "clockwork.level_to_utc"
// and "clockwork.instruments_to_utc"); pandas localises the rest.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../core/exchange_zone.hpp"
#include "../core/row_groups.hpp"
#include "../core/sorted_runs.hpp"
#include "../core/ticks.hpp"
#include "../core/wall_to_utc.hpp"
#include "../glue/checks.hpp"
#include "../glue/columns.hpp"
#include "../glue/frame_columns.hpp"
#include "../glue/function.hpp"
#include "../glue/module_names.hpp"
#include "../glue/module_setup.hpp"
#include "../glue/pyops.hpp"
#include "../glue/released.hpp"
#include "../glue/roads.hpp"
#include "../glue/text.hpp"
#include "../glue/zone_tables.hpp"

namespace {

constexpr const char* zone_required_message =
    "exchange_tz is required for output_tz='UTC' when timestamps are naive";

constexpr std::string_view wall_to_utc_road = "clockwork.wall_to_utc";
constexpr std::string_view level_to_utc_road = "clockwork.level_to_utc";
constexpr std::string_view instruments_to_utc_road = "clockwork.instruments_to_utc";

// Why a conversion took pandas' road.
constexpr std::string_view single_stamp = "fewer than two stamps (pandas keeps the frequency)";
constexpr std::string_view zone_not_tabled =
    "the zone is neither a fixed offset nor a zone file the table holds";
constexpr std::string_view table_declined =
    "a stamp lies outside the zone table, or its repeated hour is not read from the order";

// --- Python operations ------------------------------------------------------

py::object binary(PyObject* (*op)(PyObject*, PyObject*), const py::handle& a, const py::handle& b) {
  PyObject* r = op(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// `getattr(obj, name, None)`: only a missing attribute gives None.
py::object attr_or_none(const py::handle& obj, const char* name) {
  PyObject* r = PyObject_GetAttrString(obj.ptr(), name);
  if (r) return py::reinterpret_steal<py::object>(r);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::none();
}

bool is_empty_text(const py::handle& obj) {
  return PyUnicode_Check(obj.ptr()) && PyUnicode_GetLength(obj.ptr()) == 0;
}

[[noreturn]] void raise_value_error(const py::str& message) {
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw py::error_already_set();
}

// A real list of a (possibly frozen) sequence, to be changed freely.
py::list list_of(const py::handle& seq) { return builtin("list")(seq); }

bool strictly_increasing(std::span<const std::int64_t> v) {
  for (std::size_t i = 1; i < v.size(); ++i) {
    if (v[i] <= v[i - 1]) return false;
  }
  return true;
}

// The stamps of a naive DatetimeIndex (every one passed here is one).
glue::Stamps naive_stamps(const py::object& ts) { return glue::datetime_stamps(ts).value(); }

// --- naive local stamps to naive UTC --------------------------------------------

py::object pandas_wall_to_utc(const py::object& ts, const py::object& zone) {
  return ts.attr("tz_localize")(zone, "ambiguous"_a = "infer", "nonexistent"_a = "shift_forward")
      .attr("tz_convert")("UTC")
      .attr("tz_localize")(py::none());
}

// The offset table of an exchange zone text, or null (see zone_offset_table).
// A text without a UTF-8 form names no zone file: pandas gives its own error.
std::shared_ptr<const core::OffsetTable> table_of(const py::object& zone) {
  std::string name;
  try {
    name = glue::utf8(py::str(zone));
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_UnicodeEncodeError)) throw;
    return nullptr;
  }
  return glue::zone_offset_table(name);
}

// The native conversion of naive stamps with the GIL released.
core::WallToUtc convert_natively(std::span<const std::int64_t> wall, std::int64_t per_second,
                                 const core::OffsetTable& table, bool resolve_repeated,
                                 std::span<std::int64_t> utc) {
  return glue::without_gil("clockwork.wall_to_utc", [&] {
    return core::wall_to_utc(wall, per_second, table, resolve_repeated, utc);
  });
}

// Naive local stamps (a naive DatetimeIndex) of `zone` as naive UTC stamps,
// repeated hours read from the order of the stamps and skipped ones moved
// forward. A single stamp goes through pandas, which keeps its frequency.
py::object wall_to_utc(const py::object& ts, const py::object& zone) {
  if (py::len(ts) < 2) {
    glue::pandas_road(wall_to_utc_road, single_stamp);
    return pandas_wall_to_utc(ts, zone);
  }
  auto table = table_of(zone);
  if (!table) {
    glue::pandas_road(wall_to_utc_road, zone_not_tabled);
    return pandas_wall_to_utc(ts, zone);
  }
  const glue::Stamps wall = naive_stamps(ts);
  Int64Array utc = glue::new_int64(wall.ticks.size());
  if (convert_natively(wall.span(), wall.per_second, *table, true, writable(utc)) !=
      core::WallToUtc::done) {
    glue::pandas_road(wall_to_utc_road, table_declined);
    return pandas_wall_to_utc(ts, zone);
  }
  glue::native_road(wall_to_utc_road);
  return glue::stamps_index(utc, wall, ts.attr("name"));
}

// The same for distinct stamps (a level's values) converted one by one, or
// nullopt when a stamp names a repeated hour, which only the order of an
// instrument's rows can settle. When the rows hold the stamps once each and
// in order (`rows_in_order`), the stamps are the rows and convert as such.
std::optional<py::object> level_to_utc(const py::object& ts, const py::object& zone,
                                       const std::function<bool()>& rows_in_order) {
  if (auto table = table_of(zone)) {
    const glue::Stamps wall = naive_stamps(ts);
    Int64Array utc = glue::new_int64(wall.ticks.size());
    const auto status =
        convert_natively(wall.span(), wall.per_second, *table, false, writable(utc));
    if (status == core::WallToUtc::done) {
      glue::native_road(level_to_utc_road);
      return glue::stamps_index(utc, wall, ts.attr("name"));
    }
    if (status == core::WallToUtc::repeated) return std::nullopt;
    glue::pandas_road(level_to_utc_road, table_declined);
  } else {
    glue::pandas_road(level_to_utc_road, zone_not_tabled);
  }
  if (rows_in_order()) return pandas_wall_to_utc(ts, zone);
  // pandas marks the repeated hours it cannot settle alone; the rest is
  // converted as the order-reading conversion would
  py::object local =
      ts.attr("tz_localize")(zone, "ambiguous"_a = "NaT", "nonexistent"_a = "shift_forward");
  if (truthy(local.attr("hasnans"))) return std::nullopt;
  return local.attr("tz_convert")("UTC").attr("tz_localize")(py::none());
}

// --- parsing ----------------------------------------------------------------------

// pd.to_datetime; texts that only differ in how much of an ISO 8601 stamp
// they write ("2024-06-03" next to "2024-06-04 16:00") are read as such
// rather than refused for not sharing the first text's format.
// Stamps already held as datetime64 are given back as they are: parsing them
// again changes nothing, and pandas 2 would first build a cache of their
// repeats (an instrument level holds every minute once per instrument).
py::object to_datetimes(const py::object& pd, const py::object& raw) {
  // Arrow's dates and stamps go as the same dates held as datetime64
  py::object values = glue::arrow_dates_as_datetime64(raw);
  if (pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(values).cast<bool>())
    return values;
  try {
    return pd.attr("to_datetime")(values);
  } catch (py::error_already_set& first) {
    if (!first.matches(PyExc_ValueError)) throw;
    try {
      return pd.attr("to_datetime")(values, "format"_a = "ISO8601");
    } catch (py::error_already_set&) {
    }
    throw;
  }
}

void require_zone(const py::object& exchange_tz) {
  if (exchange_tz.is_none() || is_empty_text(exchange_tz)) raise_value_error(zone_required_message);
}

py::object process_timestamps(const py::object& pd, const py::object& timestamps,
                              const py::object& exchange_tz, const py::object& output_tz) {
  py::object ts = pd.attr("DatetimeIndex")(to_datetimes(pd, timestamps));
  const bool to_utc = glue::equals_text(output_tz, "UTC");
  if (!attr_or_none(ts, "tz").is_none()) {
    if (to_utc) return ts.attr("tz_convert")("UTC").attr("tz_localize")(py::none());
    return ts.attr("tz_localize")(py::none());
  }
  if (!to_utc) return ts;
  require_zone(exchange_tz);
  return wall_to_utc(ts, exchange_tz);
}

// --- multi-level indexes -----------------------------------------------------------

// The new values of a level and each row's code into them.
struct LevelCodes {
  py::object values;
  py::object codes;
};

// Distinct stamps in ascending order and each row's place among them (-1 for
// NaT), as pd.factorize(sort=True) gives them. Rows laid out as runs in time
// order (an instrument's stamps, then the next instrument's) are merged
// rather than hashed; `starts` are the runs' first rows, with the row count
// last (empty: one run).
LevelCodes level_codes(const py::object& stamps, const Int64Array& ticks,
                       std::vector<std::size_t> starts = {}) {
  const std::size_t n = static_cast<std::size_t>(ticks.size());
  if (starts.empty()) {
    // distinct stamps in time order are their own level
    auto t = view(ticks);
    if (t.empty() || (t.front() != core::not_a_time && strictly_increasing(t))) {
      return {stamps, py::module_::import("numpy").attr("arange")(n)};
    }
    starts = {0, n};
  }
  std::vector<std::int64_t> uniques;
  Int64Array codes = glue::new_int64(n);
  const bool merged = glue::without_gil("clockwork.level_codes", [&] {
    return core::factorize_runs(view(ticks), starts, uniques, writable(codes));
  });
  if (!merged) {
    glue::LabelCodes f = glue::label_codes(stamps);
    return {f.uniques, f.codes};
  }
  return {glue::stamps_index(glue::int64_array(std::move(uniques)), naive_stamps(stamps),
                             stamps.attr("name")),
          codes};
}

LevelCodes level_codes(const py::object& stamps) {
  return level_codes(stamps, naive_stamps(stamps).ticks);
}

// The codes of every level but `level`, as the keys that tell instruments apart.
std::vector<Int64Array> instrument_keys(const py::object& index, std::size_t level) {
  py::list codes = list_of(index.attr("codes"));
  std::vector<Int64Array> keys;
  for (std::size_t j = 0; j < py::len(codes); ++j) {
    if (j != level) keys.push_back(glue::as_int64(codes[j]));
  }
  return keys;
}

// True when the levels but `level` hold one value, on every row: one instrument.
bool one_instrument(const py::object& index, std::size_t level, std::size_t rows) {
  py::list levels = list_of(index.attr("levels"));
  py::list codes = list_of(index.attr("codes"));
  for (std::size_t j = 0; j < py::len(levels); ++j) {
    if (j == level) continue;
    if (py::len(levels[j]) != 1 ||
        (rows > 0 && !compare(codes[j].attr("min")(), py::int_(0), Py_GE)))
      return false;
  }
  return true;
}

// Every row converted in one pass over the rows as they stand, only the
// repeated hours read in each instrument's own order; nullopt when the table
// does not settle every row that way.
std::optional<LevelCodes> rows_to_utc_in_one_pass(
    const py::object& ts, const glue::Stamps& wall,
    const std::vector<std::span<const std::int64_t>>& keys, const core::OffsetTable& table) {
  const std::size_t n = wall.ticks.size();
  Int64Array converted = glue::new_int64(n);
  std::vector<std::size_t> runs;
  bool settled = false;
  glue::without_gil("clockwork.rows_to_utc", [&] {
    auto utc = writable(converted);
    std::vector<core::RepeatedStamp> repeats;
    if (core::read_wall_clock(wall.span(), wall.per_second, table, utc, &repeats) ==
        core::WallToUtc::done) {
      const bool need_groups = !repeats.empty() || !std::is_sorted(utc.begin(), utc.end());
      std::uint64_t count = 0;
      std::vector<std::uint64_t> ids;
      if (need_groups) ids = core::group_ids(keys, n, count);
      settled = core::settle_repeats_by_group(ids, count, repeats, utc);
      if (settled && need_groups && !std::is_sorted(utc.begin(), utc.end()) &&
          std::is_sorted(ids.begin(), ids.end())) {
        // one instrument after another: their runs merge into the level
        runs.push_back(0);
        for (std::size_t i = 1; i < n; ++i) {
          if (ids[i] != ids[i - 1]) runs.push_back(i);
        }
        runs.push_back(n);
      }
    }
  });
  if (!settled) return std::nullopt;
  return level_codes(glue::stamps_index(converted, wall, ts.attr("name")), converted, runs);
}

// Instrument by instrument: each one's stamps side by side in row order,
// converted natively where the table settles them, by pandas (which reports
// what it cannot read) otherwise.
LevelCodes rows_to_utc_by_instrument(const py::object& ts, const glue::Stamps& wall,
                                     const std::vector<std::span<const std::int64_t>>& keys,
                                     const core::OffsetTable* table, const py::object& zone) {
  const std::size_t n = wall.ticks.size();
  const core::RowGroups groups =
      glue::without_gil("clockwork.instrument_groups", [&] { return core::group_rows(keys, n); });
  Int64Array sorted = wall.ticks;
  if (!groups.in_place()) {
    sorted = glue::new_int64(n);
    auto w = wall.span();
    auto g = writable(sorted);
    for (std::size_t k = 0; k < n; ++k) g[k] = w[groups.order[k]];
  }
  auto s = view(sorted);
  Int64Array converted = glue::new_int64(n);
  auto out = writable(converted);
  for (std::size_t g = 0; g < groups.count(); ++g) {
    const std::size_t begin = groups.starts[g], end = groups.starts[g + 1];
    auto stamps = s.subspan(begin, end - begin);
    auto utc = out.subspan(begin, end - begin);
    if (table && stamps.size() >= 2 &&
        convert_natively(stamps, wall.per_second, *table, true, utc) == core::WallToUtc::done) {
      continue;
    }
    glue::pandas_road(instruments_to_utc_road, !table              ? zone_not_tabled
                                               : stamps.size() < 2 ? single_stamp
                                                                   : table_declined);
    py::object piece = glue::stamps_index(
        sorted, wall)[py::slice(static_cast<py::ssize_t>(begin), static_cast<py::ssize_t>(end), 1)];
    Int64Array done = glue::datetime_stamps(pandas_wall_to_utc(piece, zone)).value().ticks;
    std::copy(done.data(), done.data() + done.size(), utc.begin());
  }

  // the instruments' runs merged into the new level, codes back in row order
  auto [values, grouped_codes] =
      level_codes(glue::stamps_index(converted, wall, ts.attr("name")), converted, groups.starts);
  if (groups.in_place()) return {values, grouped_codes};
  Int64Array by_group = glue::as_int64(grouped_codes);
  Int64Array row_codes = glue::new_int64(n);
  auto from = view(by_group);
  auto to = writable(row_codes);
  for (std::size_t k = 0; k < n; ++k) to[groups.order[k]] = from[k];
  return {values, row_codes};
}

// Rows of a multi-level index converted instrument by instrument: rows that
// share the values of every other level form one instrument, whose stamps
// are read in row order (which settles its repeated hours).
LevelCodes instruments_to_utc(const py::object& index, std::size_t level, const py::object& ts,
                              const py::object& zone) {
  // the common case first: the other levels hold one value, on every row
  if (one_instrument(index, level, py::len(ts))) return level_codes(wall_to_utc(ts, zone));

  const std::vector<Int64Array> keys = instrument_keys(index, level);
  std::vector<std::span<const std::int64_t>> key_spans;
  for (const Int64Array& k : keys) key_spans.push_back(view(k));
  const glue::Stamps wall = naive_stamps(ts);
  auto table = table_of(zone);
  if (table) {
    if (auto done = rows_to_utc_in_one_pass(ts, wall, key_spans, *table)) {
      glue::native_road(instruments_to_utc_road);
      return *done;
    }
  }
  return rows_to_utc_by_instrument(ts, wall, key_spans, table.get(), zone);
}

py::object with_level(const py::object& pd, const py::object& index, std::size_t level,
                      const py::object& values, const py::object& codes) {
  py::list levels = list_of(index.attr("levels"));
  py::list all_codes = list_of(index.attr("codes"));
  levels[level] = values;
  all_codes[level] = codes;
  return pd.attr("MultiIndex")("levels"_a = levels, "codes"_a = all_codes,
                               "names"_a = index.attr("names"), "verify_integrity"_a = false);
}

// A level whose values were converted one by one: converted values that
// coincide (a stamp moved out of a skipped hour onto the next one, two
// instants on one wall clock) become one level value.
py::object with_converted_level(const py::object& pd, const py::object& index, std::size_t level,
                                const py::object& converted) {
  py::object codes = list_of(index.attr("codes"))[level];
  const glue::Stamps stamps = naive_stamps(converted);
  if (strictly_increasing(stamps.span()) || truthy(converted.attr("is_unique"))) {
    return with_level(pd, index, level, converted, codes);
  }
  auto [values, map_codes] = level_codes(converted, stamps.ticks);
  Int64Array map = glue::as_int64(map_codes);
  Int64Array old_codes = glue::as_int64(codes);
  Int64Array new_codes = glue::new_int64(old_codes.size());
  auto from = view(old_codes);
  auto to = writable(new_codes);
  auto m = view(map);
  for (std::size_t i = 0; i < from.size(); ++i) to[i] = from[i] < 0 ? -1 : m[from[i]];
  return with_level(pd, index, level, values, new_codes);
}

// The position of the level named `name`, with pandas' errors for a name
// that is missing or held by several levels.
std::size_t level_number(const py::object& index, const py::object& name) {
  py::list names = list_of(index.attr("names"));
  const auto count = names.attr("count")(name).cast<std::size_t>();
  if (count > 1) {
    raise_value_error(
        py::str("The name {} occurs multiple times, use a level number").format(name));
  }
  if (count == 0) {
    PyErr_SetObject(PyExc_KeyError, py::str("Level {} not found").format(name).ptr());
    throw py::error_already_set();
  }
  return names.attr("index")(name).cast<std::size_t>();
}

// Row i holds level value i: one instrument, its stamps distinct and sorted.
bool rows_hold_level_in_order(const py::object& index, std::size_t level, std::size_t values) {
  Int64Array codes = glue::as_int64(list_of(index.attr("codes"))[level]);
  if (static_cast<std::size_t>(codes.size()) != values) return false;
  auto c = view(codes);
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (c[i] != static_cast<std::int64_t>(i)) return false;
  }
  return true;
}

py::object apply_level(const py::object& pd, const py::object& df, const py::object& level_name,
                       const py::object& exchange_tz, const py::object& output_tz) {
  py::object index = df.attr("index");
  if (!py::isinstance(index, pd.attr("MultiIndex"))) {
    // one level: the index itself, when it carries the name
    py::object ts = index.attr("get_level_values")(level_name);
    return df.attr("set_axis")(process_timestamps(pd, ts, exchange_tz, output_tz), "axis"_a = 0);
  }
  const std::size_t level = level_number(index, level_name);
  py::object values = glue::arrow_dates_as_datetime64(list_of(index.attr("levels"))[level]);
  const bool to_utc = glue::equals_text(output_tz, "UTC");

  // A level of stamps converts value by value (each distinct stamp once)
  // unless naive stamps name a repeated hour.
  if (py::isinstance(values, pd.attr("DatetimeIndex"))) {
    std::optional<py::object> converted;
    if (!attr_or_none(values, "tz").is_none() || !to_utc) {
      converted = process_timestamps(pd, values, exchange_tz, output_tz);
    } else {
      require_zone(exchange_tz);
      converted = level_to_utc(values, exchange_tz, [&] {
        return rows_hold_level_in_order(index, level, py::len(values));
      });
    }
    if (converted)
      return df.attr("set_axis")(with_converted_level(pd, index, level, *converted), "axis"_a = 0);
  }

  // Otherwise row by row, each instrument's stamps in row order.
  py::object ts = pd.attr("DatetimeIndex")(to_datetimes(pd, index.attr("get_level_values")(level)));
  LevelCodes converted;
  if (!attr_or_none(ts, "tz").is_none() || !to_utc) {
    converted = level_codes(process_timestamps(pd, ts, exchange_tz, output_tz));
  } else {
    require_zone(exchange_tz);
    converted = instruments_to_utc(index, level, ts, exchange_tz);
  }
  return df.attr("set_axis")(with_level(pd, index, level, converted.values, converted.codes),
                             "axis"_a = 0);
}

// --- frequencies -------------------------------------------------------------------

constexpr const char* is_intraday_freq_doc =
    R"doc(Whether a bar frequency is intraday: anything but "1D" or "D" (any case); None is not.

Parameters
----------
freq : str or None
    A bar frequency such as ``"1D"``, ``"5m"`` or ``"1H"``.

Returns
-------
bool
    False for ``None``, ``"1D"`` and ``"D"`` (in any case), True otherwise.

Raises
------
TypeError
    If ``freq`` is neither a ``str`` nor None.

Examples
--------
>>> from orvane_data import _clockwork as cw
>>> cw.is_intraday_freq("5m"), cw.is_intraday_freq("1d"), cw.is_intraday_freq(None)
(True, False, False))doc";

constexpr glue::Signature is_intraday_freq_sig{"is_intraday_freq(freq: Optional[str]) -> bool"};
py::object is_intraday_freq(glue::CallOf<is_intraday_freq_sig>& c) {
  const py::object& freq = c.arg<"freq">();
  if (freq.is_none()) return py::bool_(false);
  py::object key = freq.attr("upper")();
  const bool daily =
      compare(key, c.global<"DAILY_FREQ">(), Py_EQ) || compare(key, py::str("D"), Py_EQ);
  return py::bool_(!daily);
}

constexpr const char* index_time_level_doc =
    R"doc(Index level name for a frequency: "DATETIME" for intraday bars, else "DATE".

Parameters
----------
freq : str or None
    A bar frequency, read by ``is_intraday_freq``.

Returns
-------
str
    ``"DATETIME"`` or ``"DATE"``.

Raises
------
TypeError
    If ``freq`` is neither a ``str`` nor None.

Examples
--------
>>> from orvane_data import _clockwork as cw
>>> cw.index_time_level("15m"), cw.index_time_level("1D")
('DATETIME', 'DATE'))doc";

constexpr glue::Signature index_time_level_sig{"index_time_level(freq: Optional[str]) -> str"};
py::object index_time_level(glue::CallOf<index_time_level_sig>& c) {
  const bool intraday = truthy(c.global<"is_intraday_freq">()(c.arg<"freq">()));
  return py::str(intraday ? "DATETIME" : "DATE");
}

constexpr const char* yf_interval_for_freq_doc =
    R"doc(Yahoo Finance interval for an intraday frequency such as "5m" or "1H".

Parameters
----------
freq : str
    An intraday frequency, any case: a key of ``YF_INTERVAL_MAP``.

Returns
-------
str
    The interval text Yahoo Finance takes.

Raises
------
TypeError
    If ``freq`` is not a ``str``.
ValueError
    If the frequency has no Yahoo Finance interval; the message lists the
    allowed keys.

Examples
--------
>>> from orvane_data import _clockwork as cw
>>> cw.yf_interval_for_freq("5m"), cw.yf_interval_for_freq("1h")
('5m', '1h'))doc";

constexpr glue::Signature yf_interval_for_freq_sig{"yf_interval_for_freq(freq: str) -> str"};
py::object yf_interval_for_freq(glue::CallOf<yf_interval_for_freq_sig>& c) {
  const py::object& freq = c.arg<"freq">();
  py::object intervals = c.global<"YF_INTERVAL_MAP">();
  py::object key = freq.attr("upper")();
  if (contains(intervals, key)) return intervals[key];
  py::object allowed = builtin("sorted")(intervals);
  raise_value_error(
      py::str("Unsupported intraday freq `{}` for Yahoo. Allowed: {}").format(freq, allowed));
}

constexpr const char* validate_yahoo_1m_range_doc =
    R"doc(Reject a Yahoo Finance one-minute request Yahoo cannot serve: reversed, too long or too old.

Parameters
----------
start, end : str
    The first and last day of the request, as ``pd.Timestamp`` reads them.
now : pd.Timestamp, optional
    The moment the lookback is counted from; the current time by default.

Returns
-------
None

Raises
------
TypeError
    If ``start`` or ``end`` is not a ``str``.
ValueError
    If ``end`` is before ``start``, the span covers more than
    ``YAHOO_1M_MAX_DAYS`` days, or ``start`` is more than
    ``YAHOO_1M_LOOKBACK_DAYS`` days before ``now``.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import _clockwork as cw
>>> cw.validate_yahoo_1m_range("2024-06-24", "2024-06-28", now=pd.Timestamp("2024-06-28"))
>>> cw.validate_yahoo_1m_range("2024-06-28", "2024-06-24", now=pd.Timestamp("2024-06-28"))
Traceback (most recent call last):
ValueError: end (2024-06-24) must be on or after start (2024-06-28))doc";

constexpr glue::Signature validate_yahoo_1m_range_sig{
    "validate_yahoo_1m_range(start: str, end: str, *, now: Optional[pd.Timestamp] = None) "
    "-> None"};
py::object validate_yahoo_1m_range(glue::CallOf<validate_yahoo_1m_range_sig>& c) {
  auto [start, end] = c.args<"start", "end">();
  py::object pd = c.global<"pd">();
  py::object timestamp = pd.attr("Timestamp");
  py::object start_ts = timestamp(start), end_ts = timestamp(end);
  if (compare(end_ts, start_ts, Py_LT)) {
    raise_value_error(py::str("end ({}) must be on or after start ({})").format(end, start));
  }
  py::object start_day = start_ts.attr("normalize")();
  py::object days = binary(PyNumber_Subtract, end_ts.attr("normalize")(), start_day).attr("days");
  py::object span_days = binary(PyNumber_Add, days, py::int_(1));
  py::object max_days = c.global<"YAHOO_1M_MAX_DAYS">();
  if (compare(span_days, max_days, Py_GT)) {
    raise_value_error(py::str("Yahoo Finance 1m data is limited to {} days per request; "
                              "requested span is {} days ({} to {}).")
                          .format(max_days, span_days, start, end));
  }
  py::object now = c.arg<"now">();
  py::object ref = now.is_none() ? timestamp.attr("now")() : now;
  py::object lookback = c.global<"YAHOO_1M_LOOKBACK_DAYS">();
  py::object cutoff =
      binary(PyNumber_Subtract, ref.attr("normalize")(), pd.attr("Timedelta")("days"_a = lookback));
  if (compare(start_day, cutoff, Py_LT)) {
    raise_value_error(py::str("Yahoo Finance 1m data is only available within the last "
                              "{} days; start {} is before {}.")
                          .format(lookback, start, cutoff.attr("date")().attr("isoformat")()));
  }
  return py::none();
}

// --- exchange zones and frame metadata ---------------------------------------------

constexpr const char* infer_exchange_tz_doc =
    R"doc(Exchange time zone from the markers in a ticker (Chicago, Hong Kong, US), else None.

Parameters
----------
ticker : str
    A ticker or parse key; markers are matched in any case.

Returns
-------
str or None
    ``"America/Chicago"``, ``"Asia/Hong_Kong"`` or ``"America/New_York"``
    when the ticker carries one of their markers, else None.

Raises
------
TypeError
    If ``ticker`` is not a ``str``.

Examples
--------
>>> from orvane_data import _clockwork as cw
>>> cw.infer_exchange_tz("ES.CME.Z24"), cw.infer_exchange_tz("700 HK Equity"), cw.infer_exchange_tz("JPY Curncy")
('America/Chicago', 'Asia/Hong_Kong', None))doc";

constexpr glue::Signature infer_exchange_tz_sig{"infer_exchange_tz(ticker: str) -> Optional[str]"};
py::object infer_exchange_tz(glue::CallOf<infer_exchange_tz_sig>& c) {
  // bytes of the upper-cased text; markers are ASCII, so any text works
  py::bytes upper = c.arg<"ticker">().attr("upper")().attr("encode")("utf-8", "surrogatepass");
  const std::string text = upper;
  auto zone = core::exchange_zone_of(text);
  if (!zone) return py::none();
  return py::str(zone->data(), zone->size());
}

constexpr const char* resolve_ticker_exchange_tz_doc =
    R"doc(The zone of an aware index, else the zone the ticker's markers point to.

Parameters
----------
ticker : str
    The ticker, read by ``infer_exchange_tz`` when the stamps are naive.
timestamps : pd.DatetimeIndex
    The ticker's stamps.

Returns
-------
str or None
    The name of the stamps' zone, or the ticker's marker zone.

Raises
------
TypeError
    If ``ticker`` is not a ``str``.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import _clockwork as cw
>>> aware = pd.DatetimeIndex(["2024-06-03 09:30"], tz="Europe/London")
>>> cw.resolve_ticker_exchange_tz("ES.CME.Z24", aware)
'Europe/London'
>>> cw.resolve_ticker_exchange_tz("ES.CME.Z24", aware.tz_localize(None))
'America/Chicago')doc";

constexpr glue::Signature resolve_ticker_exchange_tz_sig{
    "resolve_ticker_exchange_tz(ticker: str, timestamps: pd.DatetimeIndex) -> Optional[str]"};
py::object resolve_ticker_exchange_tz(glue::CallOf<resolve_ticker_exchange_tz_sig>& c) {
  py::object tz = attr_or_none(c.arg<"timestamps">(), "tz");
  if (!tz.is_none()) return py::str(tz);
  return c.global<"infer_exchange_tz">()(c.arg<"ticker">());
}

constexpr const char* lookup_ticker_exchange_tz_doc =
    R"doc(A ticker's exchange zone: from a per-ticker table or one given zone, else the index or the ticker.

Parameters
----------
ticker : str
    The ticker.
exchange_tz : str or dict of str to str, optional
    One zone for every ticker, or a table of zones by ticker.
timestamps : pd.DatetimeIndex, optional
    The ticker's stamps, read by ``resolve_ticker_exchange_tz`` when the
    zone is not given.

Returns
-------
str or None
    The table's entry for the ticker, the one zone given, else the zone of
    the stamps or of the ticker's markers.

Raises
------
TypeError
    If ``ticker`` is not a ``str``, or the table's entry for it is neither a
    ``str`` nor None.

Examples
--------
>>> from orvane_data import _clockwork as cw
>>> cw.lookup_ticker_exchange_tz("ES.CME.Z24", {"ES.CME.Z24": "America/Chicago"})
'America/Chicago'
>>> cw.lookup_ticker_exchange_tz("NQ.CME.Z24", {"ES.CME.Z24": "UTC"})
'America/Chicago')doc";

constexpr glue::Signature lookup_ticker_exchange_tz_sig{
    "lookup_ticker_exchange_tz(ticker: str, exchange_tz: Optional[Union[str, Dict[str, "
    "str]]] = None, "
    "timestamps: Optional[pd.DatetimeIndex] = None) -> Optional[str]"};
py::object lookup_ticker_exchange_tz(glue::CallOf<lookup_ticker_exchange_tz_sig>& c) {
  auto [ticker, exchange_tz] = c.args<"ticker", "exchange_tz">();
  if (PyDict_Check(exchange_tz.ptr())) {
    if (contains(exchange_tz, ticker)) {
      py::object zone = exchange_tz[ticker];
      if (!zone.is_none() && !PyUnicode_Check(zone.ptr())) {
        glue::raise(PyExc_TypeError, "Expected str, got " + glue::type_name(zone));
      }
      return zone;
    }
  } else if (truthy(exchange_tz)) {
    return py::str(exchange_tz);
  }
  const py::object& timestamps = c.arg<"timestamps">();
  if (!timestamps.is_none()) return c.global<"resolve_ticker_exchange_tz">()(ticker, timestamps);
  return c.global<"infer_exchange_tz">()(ticker);
}

constexpr const char* summarize_exchange_tz_meta_doc =
    R"doc(One zone when every ticker shares it, else a copy of the per-ticker table; None when empty.

Parameters
----------
exchange_tz_by_ticker : dict
    Zones by ticker.

Returns
-------
str, dict or None
    The shared zone, a new dict equal to the table, or None.

Raises
------
TypeError
    If ``exchange_tz_by_ticker`` is not a ``dict``.

Examples
--------
>>> from orvane_data import _clockwork as cw
>>> cw.summarize_exchange_tz_meta({"ES": "America/Chicago", "NQ": "America/Chicago"})
'America/Chicago'
>>> cw.summarize_exchange_tz_meta({}))doc";

constexpr glue::Signature summarize_exchange_tz_meta_sig{
    "summarize_exchange_tz_meta(exchange_tz_by_ticker: dict) -> Optional[Union[str, "
    "Dict[str, str]]]"};
py::object summarize_exchange_tz_meta(glue::CallOf<summarize_exchange_tz_meta_sig>& c) {
  py::dict zones = py::reinterpret_borrow<py::dict>(c.arg<"exchange_tz_by_ticker">());
  if (zones.empty()) return py::none();
  py::object distinct = builtin("set")(zones.attr("values")());
  if (py::len(distinct) == 1) return builtin("next")(builtin("iter")(distinct));
  return builtin("dict")(zones);
}

constexpr const char* make_orvane_meta_doc =
    R"doc(The frame metadata record: frequency, index meaning, output zone, exchange zone(s), schema.

Parameters
----------
freq : str
    The bar frequency.
index_semantics : str
    What the index stamps mean.
output_tz : str, optional
    The zone of the stamps; kept even when None.
exchange_tz : str or dict of str to str, optional
    The exchange zone, or zones by ticker; left out when None.
frame_schema : str, optional
    The name of the frame's schema; left out when None.

Returns
-------
dict
    The record, keys in the order above.

Raises
------
TypeError
    If ``freq``, ``index_semantics``, ``output_tz`` or ``frame_schema`` is
    not a ``str`` (the last two may be None).

Examples
--------
>>> from orvane_data import _clockwork as cw
>>> cw.make_orvane_meta("5m", index_semantics="bar_start", output_tz="UTC")
{'freq': '5m', 'index_semantics': 'bar_start', 'output_tz': 'UTC'})doc";

constexpr glue::Signature make_orvane_meta_sig{
    "make_orvane_meta(freq: str, *, index_semantics: str, output_tz: Optional[str] = None, "
    "exchange_tz: Optional[Union[str, Dict[str, str]]] = None, "
    "frame_schema: Optional[str] = None) -> Dict[str, Any]"};
py::object make_orvane_meta(glue::CallOf<make_orvane_meta_sig>& c) {
  py::dict meta;
  meta["freq"] = c.arg<"freq">();
  meta["index_semantics"] = c.arg<"index_semantics">();
  meta["output_tz"] = c.arg<"output_tz">();
  if (!c.arg<"exchange_tz">().is_none()) meta["exchange_tz"] = c.arg<"exchange_tz">();
  if (!c.arg<"frame_schema">().is_none()) meta["frame_schema"] = c.arg<"frame_schema">();
  return meta;
}

constexpr const char* attach_orvane_meta_doc =
    R"doc(Store the metadata record in df.attrs["orvane_meta"] and return the same frame.

Parameters
----------
df : pd.DataFrame
    The frame; changed in place.
**kwargs
    The arguments of ``make_orvane_meta``.

Returns
-------
pd.DataFrame
    ``df`` itself.

Raises
------
TypeError
    As ``make_orvane_meta`` raises.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import _clockwork as cw
>>> df = cw.attach_orvane_meta(pd.DataFrame(), freq="1D", index_semantics="date")
>>> df.attrs["orvane_meta"]
{'freq': '1D', 'index_semantics': 'date', 'output_tz': None})doc";

constexpr glue::Signature attach_orvane_meta_sig{
    "attach_orvane_meta(df: pd.DataFrame, **kwargs) -> pd.DataFrame"};
py::object attach_orvane_meta(glue::CallOf<attach_orvane_meta_sig>& c) {
  const py::object& df = c.arg<"df">();
  PyObject* meta =
      PyObject_Call(c.global<"make_orvane_meta">().ptr(), py::tuple().ptr(), c.kwargs().ptr());
  if (!meta) throw py::error_already_set();
  df.attr("attrs")["orvane_meta"] = py::reinterpret_steal<py::object>(meta);
  return df;
}

// --- the index time-zone contract ------------------------------------------------

constexpr const char* normalize_daily_index_doc =
    R"doc(A new frame whose date level holds naive midnight dates (the local date of aware stamps).

Parameters
----------
df : pd.DataFrame
    A frame indexed by dates, alone or as a level of a ``MultiIndex``.
date_level : str, default "DATE"
    The name of the date level.

Returns
-------
pd.DataFrame
    A new frame with the same levels and names; aware stamps keep their
    local date, then lose their zone; every stamp moves to its midnight.

Raises
------
TypeError
    If ``date_level`` is not a ``str``.
KeyError
    If the index has no level of that name.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import _clockwork as cw
>>> idx = pd.DatetimeIndex(["2024-06-03 23:00"], tz="Asia/Tokyo", name="DATE")
>>> cw.normalize_daily_index(pd.DataFrame({"px": [1.0]}, index=idx)).index
DatetimeIndex(['2024-06-03'], dtype='datetime64[us]', name='DATE', freq=None))doc";

constexpr glue::Signature normalize_daily_index_sig{
    "normalize_daily_index(df: pd.DataFrame, date_level: str = 'DATE') -> pd.DataFrame"};
py::object normalize_daily_index(glue::CallOf<normalize_daily_index_sig>& c) {
  auto [df, date_level] = c.args<"df", "date_level">();
  py::object pd = c.global<"pd">();
  py::object names = list_of(df.attr("index").attr("names"));
  py::object out = df.attr("reset_index")();
  // the columns the levels came back as: their names, or pandas' stand-ins
  // ("index", "level_1") for unnamed ones
  py::object level_columns = list_of(out.attr("columns")[py::slice(0, py::len(names), 1)]);
  py::object dates = to_datetimes(pd, out[date_level]);
  if (!attr_or_none(dates.attr("dt"), "tz").is_none()) {
    dates = dates.attr("dt").attr("tz_localize")(py::none());
  }
  glue::set_column(out, date_level, dates.attr("dt").attr("normalize")());
  py::object result = out.attr("set_index")(level_columns);
  if (!compare(level_columns, names, Py_EQ)) result = result.attr("rename_axis")(names);
  return result;
}

constexpr const char* process_intraday_timestamps_doc =
    R"doc(Naive intraday stamps: the exchange's wall clock, or UTC's when output_tz is "UTC".

Parameters
----------
timestamps : pd.DatetimeIndex or array-like
    Stamps, naive (read as the exchange's wall clock) or aware; anything
    ``pd.to_datetime`` reads.
exchange_tz : str, optional
    The exchange's zone; needed only to turn naive stamps into UTC.
output_tz : str, optional
    ``"UTC"`` (exactly) for UTC stamps; anything else keeps the wall clock.

Returns
-------
pd.DatetimeIndex
    Naive stamps. Aware stamps become their UTC instant or their own wall
    clock. Naive stamps converted to UTC read a repeated hour (clocks going
    back) from the order of the stamps, as pandas' ``ambiguous="infer"``
    does, and move a stamp of a skipped hour (clocks going forward) to the
    next whole hour, as ``nonexistent="shift_forward"`` does.

Raises
------
TypeError
    If ``exchange_tz`` or ``output_tz`` is neither a ``str`` nor None.
ValueError
    If naive stamps go to UTC without ``exchange_tz``, or a repeated hour
    cannot be read from the order of the stamps (pandas' own error).

Examples
--------
>>> import pandas as pd
>>> from orvane_data import _clockwork as cw
>>> wall = pd.DatetimeIndex(["2024-11-03 01:30", "2024-11-03 01:10", "2024-11-03 01:40"])
>>> cw.process_intraday_timestamps(wall, exchange_tz="America/New_York", output_tz="UTC")
DatetimeIndex(['2024-11-03 05:30:00', '2024-11-03 06:10:00',
               '2024-11-03 06:40:00'],
              dtype='datetime64[us]', freq=None))doc";

constexpr glue::Signature process_intraday_timestamps_sig{
    "process_intraday_timestamps(timestamps: pd.DatetimeIndex, *, exchange_tz: "
    "Optional[str] = None, "
    "output_tz: Optional[str] = None) -> pd.DatetimeIndex"};
py::object process_intraday_timestamps(glue::CallOf<process_intraday_timestamps_sig>& c) {
  return process_timestamps(c.global<"pd">(), c.arg<"timestamps">(), c.arg<"exchange_tz">(),
                            c.arg<"output_tz">());
}

constexpr const char* convert_intraday_time_values_doc =
    R"doc(A column of intraday stamps as naive UTC when output_tz is "UTC"; otherwise the column itself.

Parameters
----------
values : pd.Series
    A column of stamps.
exchange_tz : str, optional
    The exchange's zone, for naive stamps.
output_tz : str, optional
    ``"UTC"`` (exactly) to convert; anything else returns ``values``.

Returns
-------
pd.Series
    A new column on the same index (see ``process_intraday_timestamps``),
    or ``values`` itself.

Raises
------
TypeError
    If ``exchange_tz`` or ``output_tz`` is neither a ``str`` nor None.
ValueError
    As ``process_intraday_timestamps`` raises.

Examples
--------
>>> import pandas as pd
>>> from orvane_data import _clockwork as cw
>>> column = pd.Series(pd.to_datetime(["2024-06-03 09:30"]), index=["a"])
>>> cw.convert_intraday_time_values(column, exchange_tz="America/New_York", output_tz="UTC")
a   2024-06-03 13:30:00
dtype: datetime64[us])doc";

constexpr glue::Signature convert_intraday_time_values_sig{
    "convert_intraday_time_values(values, *, exchange_tz: Optional[str] = None, "
    "output_tz: Optional[str] = None)"};
py::object convert_intraday_time_values(glue::CallOf<convert_intraday_time_values_sig>& c) {
  const py::object& values = c.arg<"values">();
  if (!glue::equals_text(c.arg<"output_tz">(), "UTC")) return values;
  py::object pd = c.global<"pd">();
  py::object processed = c.global<"process_intraday_timestamps">()(
      pd.attr("DatetimeIndex")(glue::arrow_dates_as_datetime64(values)),
      "exchange_tz"_a = c.arg<"exchange_tz">(), "output_tz"_a = c.arg<"output_tz">());
  return pd.attr("Series")(processed, "index"_a = values.attr("index"));
}

constexpr const char* apply_intraday_index_level_doc =
    R"doc(A new frame whose intraday index level follows the time-zone contract, row by row.

Parameters
----------
df : pd.DataFrame
    A frame whose index is, or has a level holding, intraday stamps.
level_name : str
    The name of that level.
exchange_tz : str, optional
    The zone naive stamps are read in; needed only for UTC output.
output_tz : str, optional
    ``"UTC"`` (exactly) for naive UTC stamps; anything else gives the
    exchange's naive wall clock.

Returns
-------
pd.DataFrame
    A new frame (the caller's is left as it is) whose level holds naive
    stamps. Zones in: aware stamps of any zone, or naive stamps of the
    exchange's wall clock; zones out: naive UTC, or the naive wall clock
    (aware stamps in their own zone). Rows that share the values of every
    other level are one instrument, whose naive stamps are read in row
    order: a repeated hour (clocks going back) takes its first reading
    until the instrument's stamps turn back, then its second; a stamp of a
    skipped hour (clocks going forward) moves to the next whole hour, so
    two level values may become one.

Raises
------
TypeError
    If ``level_name`` is not a ``str``, or a zone is neither a ``str`` nor
    None.
KeyError
    If the index has no level ``level_name``.
ValueError
    If naive stamps go to UTC without ``exchange_tz``, or an instrument's
    repeated hour cannot be read from its rows (pandas' own error).

Examples
--------
>>> import pandas as pd
>>> from orvane_data import _clockwork as cw
>>> wall = pd.to_datetime(["2024-11-03 01:30", "2024-11-03 01:30"] * 2)
>>> idx = pd.MultiIndex.from_arrays([["ES", "ES", "NQ", "NQ"], wall], names=["TICKER", "DATETIME"])
>>> out = cw.apply_intraday_index_level(pd.DataFrame({"px": range(4)}, index=idx), "DATETIME",
...                                     exchange_tz="America/Chicago", output_tz="UTC")
>>> out.index.get_level_values("DATETIME").strftime("%H:%M").tolist()
['06:30', '07:30', '06:30', '07:30'])doc";

constexpr glue::Signature apply_intraday_index_level_sig{
    "apply_intraday_index_level(df: pd.DataFrame, level_name: str, *, exchange_tz: "
    "Optional[str] = None, "
    "output_tz: Optional[str] = None) -> pd.DataFrame"};
py::object apply_intraday_index_level(glue::CallOf<apply_intraday_index_level_sig>& c) {
  return apply_level(c.global<"pd">(), c.arg<"df">(), c.arg<"level_name">(), c.arg<"exchange_tz">(),
                     c.arg<"output_tz">());
}

}  // namespace

PYBIND11_MODULE(_clockwork, m) {
  m.doc() =
      "Frequency vocabulary, exchange time zones, frame metadata and the index\n"
      "time-zone contract of the package.";
  for (const char* name : {"Any", "Dict", "Optional", "Union"})
    glue::import_from(m, "typing", name);
  glue::import_as(m, "pandas", "pd");

  m.attr("DAILY_FREQ") = "1D";
  py::dict intervals;
  for (const char* minutes : {"1", "2", "5", "15", "30", "60", "90"}) {
    intervals[py::str(std::string(minutes) + "M")] = std::string(minutes) + "m";
  }
  intervals["1H"] = "1h";
  m.attr("YF_INTERVAL_MAP") = intervals;
  m.attr("YAHOO_1M_MAX_DAYS") = 7;
  m.attr("YAHOO_1M_LOOKBACK_DAYS") = 60;

  glue::def<is_intraday_freq_sig>(m, is_intraday_freq_doc, is_intraday_freq, checked);
  glue::def<index_time_level_sig>(m, index_time_level_doc, index_time_level, checked);
  glue::def<yf_interval_for_freq_sig>(m, yf_interval_for_freq_doc, yf_interval_for_freq, checked);
  glue::def<validate_yahoo_1m_range_sig>(m, validate_yahoo_1m_range_doc, validate_yahoo_1m_range,
                                         checked);
  glue::def<infer_exchange_tz_sig>(m, infer_exchange_tz_doc, infer_exchange_tz, checked);
  glue::def<resolve_ticker_exchange_tz_sig>(m, resolve_ticker_exchange_tz_doc,
                                            resolve_ticker_exchange_tz, checked);
  glue::def<lookup_ticker_exchange_tz_sig>(m, lookup_ticker_exchange_tz_doc,
                                           lookup_ticker_exchange_tz, checked);
  glue::def<summarize_exchange_tz_meta_sig>(m, summarize_exchange_tz_meta_doc,
                                            summarize_exchange_tz_meta, checked);
  glue::def<make_orvane_meta_sig>(m, make_orvane_meta_doc, make_orvane_meta, checked);
  glue::def<attach_orvane_meta_sig>(m, attach_orvane_meta_doc, attach_orvane_meta, checked);
  glue::def<normalize_daily_index_sig>(m, normalize_daily_index_doc, normalize_daily_index,
                                       checked);
  glue::def<process_intraday_timestamps_sig>(m, process_intraday_timestamps_doc,
                                             process_intraday_timestamps, checked);
  glue::def<convert_intraday_time_values_sig>(m, convert_intraday_time_values_doc,
                                              convert_intraday_time_values, checked);
  glue::def<apply_intraday_index_level_sig>(m, apply_intraday_index_level_doc,
                                            apply_intraday_index_level, checked);
}
