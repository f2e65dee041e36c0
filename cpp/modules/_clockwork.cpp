// Bar frequencies, exchange time zones and the time-zone contract of the
// package's indexes: daily frames on naive midnight dates, intraday frames on
// naive stamps of the exchange clock or of UTC.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "../core/exchange_zone.hpp"
#include "../core/row_groups.hpp"
#include "../core/sorted_runs.hpp"
#include "../core/wall_to_utc.hpp"
#include "../glue/checks.hpp"
#include "../glue/function.hpp"
#include "../glue/pyops.hpp"
#include "../glue/module_setup.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
using glue::compare;
using glue::contains;
using glue::truthy;
namespace core = orvane::core;
using namespace pybind11::literals;

namespace {

constexpr const char* module_doc =
    "Frequency vocabulary, exchange time zones, frame metadata and the index\n"
    "time-zone contract of the package.";

constexpr const char* zone_required_message =
    "exchange_tz is required for output_tz='UTC' when timestamps are naive";

// --- Python operations ------------------------------------------------------

py::object binary(PyObject* (*op)(PyObject*, PyObject*), const py::handle& a,
                  const py::handle& b) {
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

// The settings compare as texts: the arguments are exact `str` or None.
bool is_text(const py::handle& obj, const char* text) {
  return PyUnicode_Check(obj.ptr()) && PyUnicode_CompareWithASCIIString(obj.ptr(), text) == 0;
}

bool is_empty_text(const py::handle& obj) {
  return PyUnicode_Check(obj.ptr()) && PyUnicode_GetLength(obj.ptr()) == 0;
}

[[noreturn]] void raise_value_error(const py::str& message) {
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw py::error_already_set();
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// A real list of a (possibly frozen) sequence, to be changed freely.
py::list list_of(const py::handle& seq) { return builtin("list")(seq); }

// --- ticks of datetime64 data -------------------------------------------------

using Ticks = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

std::span<const std::int64_t> view(const Ticks& a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

std::span<std::int64_t> writable(Ticks& a) {
  return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}

// Ticks per second of a DatetimeIndex's unit, 0 for a unit not handled here.
std::int64_t ticks_per_second(const py::handle& index) {
  const std::string unit = py::str(index.attr("unit"));
  if (unit == "ns") return 1'000'000'000;
  if (unit == "us") return 1'000'000;
  if (unit == "ms") return 1'000;
  if (unit == "s") return 1;
  return 0;
}

// A naive DatetimeIndex over `ticks` (no copy), in the unit of `like`.
py::object naive_index(const py::object& pd, const Ticks& ticks, const py::handle& like,
                       const py::handle& name) {
  const std::string dtype = "M8[" + std::string(py::str(like.attr("unit"))) + "]";
  return pd.attr("DatetimeIndex")(ticks.attr("view")(dtype), "copy"_a = false, "name"_a = name);
}

bool strictly_increasing(std::span<const std::int64_t> v) {
  for (std::size_t i = 1; i < v.size(); ++i) {
    if (v[i] <= v[i - 1]) return false;
  }
  return true;
}

// --- zone tables ----------------------------------------------------------------

// The offset table of the zone pandas resolves `zone` to, built from the
// same zone file the zone object reads; null when pandas' zone is of a kind
// the native conversion does not take on (or the text names no zone: pandas
// then reports that itself).
std::shared_ptr<const core::OffsetTable> load_zone_table(const py::object& pd,
                                                         const py::object& zone) {
  py::object tz = pd.attr("DatetimeTZDtype")("tz"_a = zone).attr("tz");
  py::object datetime = py::module_::import("datetime");
  if (py::isinstance(tz, datetime.attr("timezone"))) {
    py::object offset = tz.attr("utcoffset")(py::none());
    if (py::int_(offset.attr("microseconds")).cast<long long>() != 0) return nullptr;
    const std::int64_t seconds = py::int_(offset.attr("days")).cast<long long>() * 86'400 +
                                 py::int_(offset.attr("seconds")).cast<long long>();
    return std::make_shared<const core::OffsetTable>(core::fixed_offset_table(seconds));
  }
  py::object zoneinfo = py::module_::import("zoneinfo");
  if (!py::type::handle_of(tz).is(zoneinfo.attr("ZoneInfo"))) return nullptr;
  if (!compare(tz.attr("key"), zone, Py_EQ)) return nullptr;

  // Where the zone object found its data: the zone path first, then the
  // tzdata package; read by the loader's own parser.
  py::object common = py::module_::import("zoneinfo._common");
  py::object path = py::module_::import("zoneinfo._tzpath").attr("find_tzfile")(zone);
  py::object file =
      path.is_none() ? common.attr("load_tzdata")(zone) : builtin("open")(path, "rb");
  py::object data;
  try {
    data = common.attr("load_data")(file);
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  py::tuple parts = data;
  auto ints = [](const py::handle& seq) {
    std::vector<std::int64_t> out;
    for (py::handle v : seq) out.push_back(v.cast<std::int64_t>());
    return out;
  };
  const std::vector<std::int64_t> types = ints(parts[0]), transitions = ints(parts[1]),
                                  offsets = ints(parts[2]), dst_flags = ints(parts[3]);
  std::vector<std::uint8_t> dst(dst_flags.begin(), dst_flags.end());
  if (offsets.empty()) return nullptr;
  for (std::int64_t t : types) {
    if (t < 0 || static_cast<std::size_t>(t) >= offsets.size()) return nullptr;
  }
  std::optional<std::int64_t> after;
  py::object rule = parts[5];
  if (!rule.is_none() && truthy(rule)) {
    after = core::fixed_rule_offset(rule.cast<std::string>());
  } else {
    // without a rule the zone stays on its last type
    after = types.empty() ? offsets.back() : offsets[static_cast<std::size_t>(types.back())];
  }
  return std::make_shared<const core::OffsetTable>(
      core::make_offset_table(transitions, types, offsets, dst, after));
}

// Tables by zone text, kept for the process as the zone objects are.
std::shared_ptr<const core::OffsetTable> zone_table(const py::object& pd, const py::object& zone) {
  static std::unordered_map<std::string, std::shared_ptr<const core::OffsetTable>> tables;
  std::string key;
  try {
    key = zone.cast<std::string>();
  } catch (const py::error_already_set&) {
    return nullptr;
  } catch (const py::cast_error&) {
    return nullptr;
  }
  if (auto found = tables.find(key); found != tables.end()) return found->second;
  std::shared_ptr<const core::OffsetTable> table;
  try {
    table = load_zone_table(pd, zone);
  } catch (const py::error_already_set&) {
    table = nullptr;
  }
  if (tables.size() >= 1024) tables.clear();
  tables.emplace(key, table);
  return table;
}

// --- naive local stamps to naive UTC --------------------------------------------

py::object pandas_wall_to_utc(const py::object& ts, const py::object& zone) {
  return ts.attr("tz_localize")(zone, "ambiguous"_a = "infer", "nonexistent"_a = "shift_forward")
      .attr("tz_convert")("UTC")
      .attr("tz_localize")(py::none());
}

// The native conversion of a naive DatetimeIndex, when the zone's table
// settles every stamp; `status` tells why not otherwise.
std::optional<py::object> native_wall_to_utc(const py::object& pd, const py::object& ts,
                                             const core::OffsetTable& table, bool resolve_repeated,
                                             core::WallToUtc& status) {
  status = core::WallToUtc::declined;
  const std::int64_t tps = ticks_per_second(ts);
  if (tps == 0) return std::nullopt;
  Ticks wall(ts.attr("asi8"));
  Ticks utc(wall.size());
  {
    py::gil_scoped_release release;
    status = core::wall_to_utc(view(wall), tps, table, resolve_repeated, writable(utc));
  }
  if (status != core::WallToUtc::done) return std::nullopt;
  return naive_index(pd, utc, ts, ts.attr("name"));
}

// Naive local stamps (a naive DatetimeIndex) of `zone` as naive UTC stamps,
// repeated hours read from the order of the stamps and skipped ones moved
// forward. A single stamp goes through pandas, which keeps its frequency.
py::object wall_to_utc(const py::object& pd, const py::object& ts, const py::object& zone) {
  if (py::len(ts) >= 2) {
    if (auto table = zone_table(pd, zone)) {
      core::WallToUtc status;
      if (auto done = native_wall_to_utc(pd, ts, *table, true, status)) return *done;
    }
  }
  return pandas_wall_to_utc(ts, zone);
}

// The same for distinct stamps (a level's values) converted one by one, or
// nullopt when a stamp names a repeated hour, which only the order of an
// instrument's rows can settle. When the rows hold the stamps once each and
// in order (`rows_in_order`), the stamps are the rows and convert as such.
std::optional<py::object> wall_to_utc_one_by_one(const py::object& pd, const py::object& ts,
                                                 const py::object& zone,
                                                 const std::function<bool()>& rows_in_order) {
  if (auto table = zone_table(pd, zone)) {
    core::WallToUtc status;
    if (auto done = native_wall_to_utc(pd, ts, *table, false, status)) return *done;
    if (status == core::WallToUtc::repeated) return std::nullopt;
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
py::object to_datetimes(const py::object& pd, const py::object& values) {
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
  const bool to_utc = is_text(output_tz, "UTC");
  if (!attr_or_none(ts, "tz").is_none()) {
    if (to_utc) return ts.attr("tz_convert")("UTC").attr("tz_localize")(py::none());
    return ts.attr("tz_localize")(py::none());
  }
  if (!to_utc) return ts;
  require_zone(exchange_tz);
  return wall_to_utc(pd, ts, exchange_tz);
}

// --- multi-level indexes -----------------------------------------------------------

// The new values of a level and each row's code into them.
using LevelCodes = std::pair<py::object, py::object>;

// Distinct stamps in ascending order and each row's place among them (-1 for
// NaT), as pd.factorize(sort=True) gives them. Rows laid out as runs in time
// order (an instrument's stamps, then the next instrument's) are merged
// rather than hashed; `starts` are the runs' first rows, with the row count
// last (empty: one run).
LevelCodes factorized(const py::object& pd, const py::object& stamps, const Ticks& ticks,
                      std::vector<std::size_t> starts = {}) {
  const std::size_t n = static_cast<std::size_t>(ticks.size());
  if (starts.empty()) {
    // distinct stamps in time order are their own level
    auto t = view(ticks);
    if (t.empty() || (t.front() != std::numeric_limits<std::int64_t>::min() &&
                      strictly_increasing(t))) {
      return {stamps, py::module_::import("numpy").attr("arange")(n)};
    }
    starts = {0, n};
  }
  std::vector<std::int64_t> uniques;
  Ticks codes(static_cast<py::ssize_t>(n));
  bool merged;
  {
    py::gil_scoped_release release;
    merged = core::factorize_runs(view(ticks), starts, uniques, writable(codes));
  }
  if (!merged) {
    py::tuple f = pd.attr("factorize")(stamps, "sort"_a = true);
    return {f[1], f[0]};
  }
  Ticks values(static_cast<py::ssize_t>(uniques.size()));
  std::copy(uniques.begin(), uniques.end(), values.mutable_data());
  return {naive_index(pd, values, stamps, stamps.attr("name")), codes};
}

LevelCodes factorized(const py::object& pd, const py::object& stamps) {
  return factorized(pd, stamps, Ticks(stamps.attr("asi8")));
}

// Rows of a multi-level index converted instrument by instrument: rows that
// share the values of every other level form one instrument, whose stamps
// are read in row order (which settles its repeated hours).
LevelCodes instruments_to_utc(const py::object& pd, const py::object& np,
                              const py::object& index, std::size_t level, const py::object& ts,
                              const py::object& zone) {
  py::list levels = list_of(index.attr("levels"));
  py::list codes = list_of(index.attr("codes"));
  const std::size_t nlevels = py::len(levels);
  const std::size_t n = py::len(ts);
  // the common case first: the other levels hold one value, on every row
  bool one_instrument = true;
  for (std::size_t j = 0; j < nlevels && one_instrument; ++j) {
    if (j == level) continue;
    one_instrument = py::len(levels[j]) == 1 &&
                     (n == 0 || compare(codes[j].attr("min")(), py::int_(0), Py_GE));
  }
  if (one_instrument) return factorized(pd, wall_to_utc(pd, ts, zone));

  std::vector<Ticks> keys;
  for (std::size_t j = 0; j < nlevels; ++j) {
    if (j != level) keys.emplace_back(np.attr("asarray")(codes[j], "dtype"_a = "int64"));
  }
  std::vector<std::span<const std::int64_t>> key_spans;
  for (const Ticks& k : keys) key_spans.push_back(view(k));
  const std::int64_t tps = ticks_per_second(ts);
  Ticks wall(ts.attr("asi8"));
  auto table = tps ? zone_table(pd, zone) : nullptr;

  // In one pass over the rows as they stand; only the repeated hours need
  // each instrument's own order.
  if (table) {
    Ticks converted(static_cast<py::ssize_t>(n));
    std::vector<core::RepeatedStamp> repeats;
    std::vector<std::uint64_t> ids;
    std::uint64_t count = 0;
    bool settled = false;
    std::vector<std::size_t> runs;
    {
      py::gil_scoped_release release;
      auto ascending = [&] { return std::is_sorted(converted.data(), converted.data() + n); };
      if (core::read_wall_clock(view(wall), tps, *table, writable(converted), &repeats) ==
          core::WallToUtc::done) {
        const bool need_groups = !repeats.empty() || !ascending();
        if (need_groups) ids = core::group_ids(key_spans, n, count);
        settled = core::settle_repeats_by_group(ids, count, repeats, writable(converted));
        if (settled && need_groups && !ascending() && std::is_sorted(ids.begin(), ids.end())) {
          // one instrument after another: their runs merge into the level
          runs.push_back(0);
          for (std::size_t i = 1; i < n; ++i) {
            if (ids[i] != ids[i - 1]) runs.push_back(i);
          }
          runs.push_back(n);
        }
      }
    }
    if (settled) {
      return factorized(pd, naive_index(pd, converted, ts, ts.attr("name")), converted, runs);
    }
  }

  // Otherwise instrument by instrument, pandas converting (or reporting on)
  // those the table does not settle.
  core::RowGroups groups;
  {
    py::gil_scoped_release release;
    groups = core::group_rows(key_spans, n);
  }

  // each instrument's stamps side by side, in row order (as they are when
  // the frame holds one instrument after another)
  Ticks sorted = wall;
  if (!groups.in_place()) {
    sorted = Ticks(static_cast<py::ssize_t>(n));
    auto w = view(wall);
    auto g = writable(sorted);
    for (std::size_t k = 0; k < n; ++k) g[k] = w[groups.order[k]];
  }
  auto s = view(sorted);
  Ticks converted(static_cast<py::ssize_t>(n));
  auto out = writable(converted);
  for (std::size_t g = 0; g < groups.count(); ++g) {
    const std::size_t begin = groups.starts[g], end = groups.starts[g + 1];
    auto stamps = s.subspan(begin, end - begin);
    auto utc = out.subspan(begin, end - begin);
    if (table && stamps.size() >= 2) {
      core::WallToUtc status;
      {
        py::gil_scoped_release release;
        status = core::wall_to_utc(stamps, tps, *table, true, utc);
      }
      if (status == core::WallToUtc::done) continue;
    }
    // pandas converts (or reports) the instruments left over
    py::object piece = naive_index(pd, sorted, ts, py::none())[py::slice(
        static_cast<py::ssize_t>(begin), static_cast<py::ssize_t>(end), 1)];
    Ticks done(pandas_wall_to_utc(piece, zone).attr("asi8"));
    std::copy(done.data(), done.data() + done.size(), utc.begin());
  }

  // the instruments' runs merged into the new level, codes back in row order
  auto [values, grouped_codes] =
      factorized(pd, naive_index(pd, converted, ts, ts.attr("name")), converted, groups.starts);
  if (groups.in_place()) return {values, grouped_codes};
  Ticks by_group(grouped_codes);
  Ticks row_codes(static_cast<py::ssize_t>(n));
  auto from = view(by_group);
  auto to = writable(row_codes);
  for (std::size_t k = 0; k < n; ++k) to[groups.order[k]] = from[k];
  return {values, row_codes};
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
py::object with_converted_level(const py::object& pd, const py::object& np,
                                const py::object& index, std::size_t level,
                                const py::object& converted) {
  py::object codes = list_of(index.attr("codes"))[level];
  Ticks ticks(converted.attr("asi8"));
  if (strictly_increasing(view(ticks)) || truthy(converted.attr("is_unique"))) {
    return with_level(pd, index, level, converted, codes);
  }
  auto [values, map_codes] = factorized(pd, converted, ticks);
  Ticks map(map_codes);
  Ticks old_codes(np.attr("asarray")(codes, "dtype"_a = "int64"));
  Ticks new_codes(old_codes.size());
  auto from = view(old_codes);
  auto to = writable(new_codes);
  auto m = view(map);
  for (std::size_t i = 0; i < from.size(); ++i) to[i] = from[i] < 0 ? -1 : m[from[i]];
  return with_level(pd, index, level, values, new_codes);
}

py::object apply_level(const py::object& pd, const py::object& np, const py::object& df,
                       const py::object& level_name, const py::object& exchange_tz,
                       const py::object& output_tz) {
  py::object index = df.attr("index");
  if (!py::isinstance(index, pd.attr("MultiIndex"))) {
    // one level: the index itself, when it carries the name
    py::object ts = index.attr("get_level_values")(level_name);
    return df.attr("set_axis")(process_timestamps(pd, ts, exchange_tz, output_tz), "axis"_a = 0);
  }
  const auto level = index.attr("_get_level_number")(level_name).cast<std::size_t>();
  py::object values = list_of(index.attr("levels"))[level];
  const bool to_utc = is_text(output_tz, "UTC");

  // A level of stamps converts value by value (each distinct stamp once)
  // unless naive stamps name a repeated hour.
  if (py::isinstance(values, pd.attr("DatetimeIndex"))) {
    std::optional<py::object> converted;
    if (!attr_or_none(values, "tz").is_none() || !to_utc) {
      converted = process_timestamps(pd, values, exchange_tz, output_tz);
    } else {
      require_zone(exchange_tz);
      auto rows_in_order = [&] {
        // row i holds level value i: one instrument, its stamps distinct and sorted
        Ticks codes(np.attr("asarray")(list_of(index.attr("codes"))[level], "dtype"_a = "int64"));
        if (codes.size() != static_cast<py::ssize_t>(py::len(values))) return false;
        for (py::ssize_t i = 0; i < codes.size(); ++i) {
          if (codes.data()[i] != i) return false;
        }
        return true;
      };
      converted = wall_to_utc_one_by_one(pd, values, exchange_tz, rows_in_order);
    }
    if (converted) {
      return df.attr("set_axis")(with_converted_level(pd, np, index, level, *converted),
                                 "axis"_a = 0);
    }
  }

  // Otherwise row by row, each instrument's stamps in row order.
  py::object ts = pd.attr("DatetimeIndex")(to_datetimes(pd, index.attr("get_level_values")(level)));
  LevelCodes converted;
  if (!attr_or_none(ts, "tz").is_none() || !to_utc) {
    converted = factorized(pd, process_timestamps(pd, ts, exchange_tz, output_tz));
  } else {
    require_zone(exchange_tz);
    converted = instruments_to_utc(pd, np, index, level, ts, exchange_tz);
  }
  auto [new_level, new_codes] = converted;
  return df.attr("set_axis")(with_level(pd, index, level, new_level, new_codes), "axis"_a = 0);
}

}  // namespace

PYBIND11_MODULE(_clockwork, m) {
  m.doc() = module_doc;
  for (const char* name : {"Any", "Dict", "Optional", "Union"}) {
    glue::import_from(m, "typing", name);
  }
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

  // --- frequencies -------------------------------------------------------------

  glue::def(m, "is_intraday_freq(freq: Optional[str]) -> bool",
            "Whether a bar frequency is intraday: anything but \"1D\" or \"D\" (any case); "
            "None is not.",
            [](glue::Call& c) -> py::object {
              const py::object& freq = c.arg("freq");
              glue::check_str(freq, "freq", true);
              if (freq.is_none()) return py::bool_(false);
              py::object key = freq.attr("upper")();
              const bool daily =
                  compare(key, c.global("DAILY_FREQ"), Py_EQ) || compare(key, py::str("D"), Py_EQ);
              return py::bool_(!daily);
            });

  glue::def(m, "index_time_level(freq: Optional[str]) -> str",
            "Index level name for a frequency: \"DATETIME\" for intraday bars, else \"DATE\".",
            [](glue::Call& c) -> py::object {
              glue::check_str(c.arg("freq"), "freq", true);
              const bool intraday = truthy(c.global("is_intraday_freq")(c.arg("freq")));
              return py::str(intraday ? "DATETIME" : "DATE");
            });

  glue::def(m, "yf_interval_for_freq(freq: str) -> str",
            "Yahoo Finance interval for an intraday frequency such as \"5m\" or \"1H\".",
            [](glue::Call& c) -> py::object {
              const py::object& freq = c.arg("freq");
              glue::check_str(freq, "freq");
              py::object intervals = c.global("YF_INTERVAL_MAP");
              py::object key = freq.attr("upper")();
              if (contains(intervals, key)) return intervals[key];
              py::object allowed = builtin("sorted")(intervals);
              raise_value_error(py::str("Unsupported intraday freq `{}` for Yahoo. Allowed: {}")
                                    .format(freq, allowed));
            });

  glue::def(m,
            "validate_yahoo_1m_range(start: str, end: str, *, "
            "now: Optional[pd.Timestamp] = None) -> None",
            "Reject a Yahoo Finance one-minute request Yahoo cannot serve: reversed, too long "
            "or too old.",
            [](glue::Call& c) -> py::object {
              const py::object& start = c.arg("start");
              const py::object& end = c.arg("end");
              glue::check_str(start, "start");
              glue::check_str(end, "end");
              py::object pd = c.global("pd");
              py::object timestamp = pd.attr("Timestamp");
              py::object start_ts = timestamp(start), end_ts = timestamp(end);
              if (compare(end_ts, start_ts, Py_LT)) {
                raise_value_error(
                    py::str("end ({}) must be on or after start ({})").format(end, start));
              }
              py::object start_day = start_ts.attr("normalize")();
              py::object days =
                  binary(PyNumber_Subtract, end_ts.attr("normalize")(), start_day).attr("days");
              py::object span_days = binary(PyNumber_Add, days, py::int_(1));
              py::object max_days = c.global("YAHOO_1M_MAX_DAYS");
              if (compare(span_days, max_days, Py_GT)) {
                raise_value_error(
                    py::str("Yahoo Finance 1m data is limited to {} days per request; "
                            "requested span is {} days ({} to {}).")
                        .format(max_days, span_days, start, end));
              }
              py::object now = c.arg("now");
              py::object ref = now.is_none() ? timestamp.attr("now")() : now;
              py::object lookback = c.global("YAHOO_1M_LOOKBACK_DAYS");
              py::object cutoff = binary(PyNumber_Subtract, ref.attr("normalize")(),
                                         pd.attr("Timedelta")("days"_a = lookback));
              if (compare(start_day, cutoff, Py_LT)) {
                raise_value_error(py::str("Yahoo Finance 1m data is only available within the last "
                                          "{} days; start {} is before {}.")
                                      .format(lookback, start,
                                              cutoff.attr("date")().attr("isoformat")()));
              }
              return py::none();
            });

  // --- exchange zones and frame metadata ---------------------------------------------

  glue::def(m, "infer_exchange_tz(ticker: str) -> Optional[str]",
            "Exchange time zone from the markers in a ticker (Chicago, Hong Kong, US), else None.",
            [](glue::Call& c) -> py::object {
              const py::object& ticker = c.arg("ticker");
              glue::check_str(ticker, "ticker");
              // bytes of the upper-cased text; markers are ASCII, so any text works
              py::bytes upper = ticker.attr("upper")().attr("encode")("utf-8", "surrogatepass");
              const std::string text = upper;
              auto zone = core::exchange_zone_of(text);
              if (!zone) return py::none();
              return py::str(zone->data(), zone->size());
            });

  glue::def(m,
            "resolve_ticker_exchange_tz(ticker: str, timestamps: pd.DatetimeIndex) "
            "-> Optional[str]",
            "The zone of an aware index, else the zone the ticker's markers point to.",
            [](glue::Call& c) -> py::object {
              glue::check_str(c.arg("ticker"), "ticker");
              py::object tz = attr_or_none(c.arg("timestamps"), "tz");
              if (!tz.is_none()) return py::str(tz);
              return c.global("infer_exchange_tz")(c.arg("ticker"));
            });

  glue::def(m,
            "lookup_ticker_exchange_tz(ticker: str, "
            "exchange_tz: Optional[Union[str, Dict[str, str]]] = None, "
            "timestamps: Optional[pd.DatetimeIndex] = None) -> Optional[str]",
            "A ticker's exchange zone: from a per-ticker table or one given zone, else the index "
            "or the ticker.",
            [](glue::Call& c) -> py::object {
              const py::object& ticker = c.arg("ticker");
              const py::object& exchange_tz = c.arg("exchange_tz");
              glue::check_str(ticker, "ticker");
              if (PyDict_Check(exchange_tz.ptr())) {
                if (contains(exchange_tz, ticker)) {
                  py::object zone = exchange_tz[ticker];
                  if (!zone.is_none() && !PyUnicode_Check(zone.ptr())) {
                    const std::string type = py::str(py::type::handle_of(zone).attr("__name__"));
                    glue::raise(PyExc_TypeError, "Expected str, got " + type);
                  }
                  return zone;
                }
              } else if (truthy(exchange_tz)) {
                return py::str(exchange_tz);
              }
              const py::object& timestamps = c.arg("timestamps");
              if (!timestamps.is_none()) {
                return c.global("resolve_ticker_exchange_tz")(ticker, timestamps);
              }
              return c.global("infer_exchange_tz")(ticker);
            });

  glue::def(m,
            "summarize_exchange_tz_meta(exchange_tz_by_ticker: dict) "
            "-> Optional[Union[str, Dict[str, str]]]",
            "One zone when every ticker shares it, else a copy of the per-ticker table; "
            "None when empty.",
            [](glue::Call& c) -> py::object {
              const py::object& table = c.arg("exchange_tz_by_ticker");
              glue::check_dict(table, "exchange_tz_by_ticker");
              py::dict zones = py::reinterpret_borrow<py::dict>(table);
              if (zones.empty()) return py::none();
              py::object distinct = builtin("set")(zones.attr("values")());
              if (py::len(distinct) == 1) return builtin("next")(builtin("iter")(distinct));
              return builtin("dict")(zones);
            });

  glue::def(m,
            "make_orvane_meta(freq: str, *, index_semantics: str, output_tz: Optional[str] = None, "
            "exchange_tz: Optional[Union[str, Dict[str, str]]] = None, "
            "frame_schema: Optional[str] = None) -> Dict[str, Any]",
            "The frame metadata record: frequency, index meaning, output zone, exchange zone(s), "
            "schema.",
            [](glue::Call& c) -> py::object {
              glue::check_str(c.arg("freq"), "freq");
              glue::check_str(c.arg("index_semantics"), "index_semantics");
              glue::check_str(c.arg("output_tz"), "output_tz", true);
              glue::check_str(c.arg("frame_schema"), "frame_schema", true);
              py::dict meta;
              meta["freq"] = c.arg("freq");
              meta["index_semantics"] = c.arg("index_semantics");
              meta["output_tz"] = c.arg("output_tz");
              if (!c.arg("exchange_tz").is_none()) meta["exchange_tz"] = c.arg("exchange_tz");
              if (!c.arg("frame_schema").is_none()) meta["frame_schema"] = c.arg("frame_schema");
              return meta;
            });

  glue::def(m, "attach_orvane_meta(df: pd.DataFrame, **kwargs) -> pd.DataFrame",
            "Store the metadata record in df.attrs[\"orvane_meta\"] and return the same frame.",
            [](glue::Call& c) -> py::object {
              const py::object& df = c.arg("df");
              PyObject* meta = PyObject_Call(c.global("make_orvane_meta").ptr(),
                                             py::tuple().ptr(), c.kwargs().ptr());
              if (!meta) throw py::error_already_set();
              df.attr("attrs")["orvane_meta"] = py::reinterpret_steal<py::object>(meta);
              return df;
            });

  // --- the index time-zone contract ------------------------------------------------

  glue::def(m, "normalize_daily_index(df: pd.DataFrame, date_level: str = 'DATE') -> pd.DataFrame",
            "A new frame whose date level holds naive midnight dates (the local date of aware "
            "stamps).",
            [](glue::Call& c) -> py::object {
              const py::object& df = c.arg("df");
              const py::object& date_level = c.arg("date_level");
              glue::check_str(date_level, "date_level");
              py::object pd = c.global("pd");
              py::object index = df.attr("index");
              py::object names = list_of(index.attr("names"));
              py::object out = df.attr("reset_index")();
              // the columns the levels came back as: their names, or pandas'
              // stand-ins ("index", "level_1") for unnamed ones
              py::object level_columns =
                  list_of(out.attr("columns")[py::slice(0, py::len(names), 1)]);
              out[date_level] = to_datetimes(pd, out[date_level]);
              if (!attr_or_none(out[date_level].attr("dt"), "tz").is_none()) {
                out[date_level] = out[date_level].attr("dt").attr("tz_localize")(py::none());
              }
              out[date_level] = out[date_level].attr("dt").attr("normalize")();
              py::object result = out.attr("set_index")(level_columns);
              if (!compare(level_columns, names, Py_EQ)) {
                result = result.attr("rename_axis")(names);
              }
              return result;
            });

  glue::def(m,
            "process_intraday_timestamps(timestamps: pd.DatetimeIndex, *, "
            "exchange_tz: Optional[str] = None, output_tz: Optional[str] = None) "
            "-> pd.DatetimeIndex",
            "Naive intraday stamps: the exchange's wall clock, or UTC's when output_tz is \"UTC\".",
            [](glue::Call& c) -> py::object {
              glue::check_str(c.arg("exchange_tz"), "exchange_tz", true);
              glue::check_str(c.arg("output_tz"), "output_tz", true);
              return process_timestamps(c.global("pd"), c.arg("timestamps"), c.arg("exchange_tz"),
                                        c.arg("output_tz"));
            });

  glue::def(m,
            "convert_intraday_time_values(values, *, exchange_tz: Optional[str] = None, "
            "output_tz: Optional[str] = None)",
            "A column of intraday stamps as naive UTC when output_tz is \"UTC\"; otherwise the "
            "column itself.",
            [](glue::Call& c) -> py::object {
              glue::check_str(c.arg("exchange_tz"), "exchange_tz", true);
              glue::check_str(c.arg("output_tz"), "output_tz", true);
              const py::object& values = c.arg("values");
              if (!is_text(c.arg("output_tz"), "UTC")) return values;
              py::object pd = c.global("pd");
              py::object processed = c.global("process_intraday_timestamps")(
                  pd.attr("DatetimeIndex")(values), "exchange_tz"_a = c.arg("exchange_tz"),
                  "output_tz"_a = c.arg("output_tz"));
              return pd.attr("Series")(processed, "index"_a = values.attr("index"));
            });

  glue::def(m,
            "apply_intraday_index_level(df: pd.DataFrame, level_name: str, *, "
            "exchange_tz: Optional[str] = None, output_tz: Optional[str] = None) "
            "-> pd.DataFrame",
            "A new frame whose intraday index level follows the time-zone contract, row by row.",
            [](glue::Call& c) -> py::object {
              glue::check_str(c.arg("level_name"), "level_name");
              glue::check_str(c.arg("exchange_tz"), "exchange_tz", true);
              glue::check_str(c.arg("output_tz"), "output_tz", true);
              return apply_level(c.global("pd"), py::module_::import("numpy"), c.arg("df"),
                                 c.arg("level_name"), c.arg("exchange_tz"), c.arg("output_tz"));
            });
}
