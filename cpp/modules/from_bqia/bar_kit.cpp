// Intraday bars from the intraday analytics service, and the minute windows
// around economic-calendar events that an event study cuts them into.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "../../core/minute_clock.hpp"
#include "../../core/ticks.hpp"
#include "../../core/window_match.hpp"
#include "../../glue/arrow_texts.hpp"
#include "../../glue/columns.hpp"
#include "../../glue/frame_columns.hpp"
#include "../../glue/function.hpp"
#include "../../glue/module_names.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/pandas_lines.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/released.hpp"
#include "../../glue/roads.hpp"
#include "../../glue/takes.hpp"

namespace {

// --- small Python-level helpers ----------------------------------------------

// `a, b, ... = value`, with the interpreter's errors.
std::vector<py::object> unpack(py::handle value, std::size_t n) {
  py::iterator it;
  try {
    it = py::iter(value);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    glue::raise(PyExc_TypeError,
                "cannot unpack non-iterable " + glue::type_name(value) + " object");
  }
  std::vector<py::object> out;
  for (; it != py::iterator::sentinel(); ++it) {
    if (out.size() == n) {
      glue::raise(PyExc_ValueError,
                  "too many values to unpack (expected " + std::to_string(n) + ")");
    }
    out.push_back(py::reinterpret_borrow<py::object>(*it));
  }
  if (out.size() < n) {
    glue::raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) +
                                      ", got " + std::to_string(out.size()) + ")");
  }
  return out;
}

py::object add(py::handle a, py::handle b) {
  PyObject* sum = PyNumber_Add(a.ptr(), b.ptr());
  if (!sum) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(sum);
}

py::object column(py::handle frame, const char* name) { return frame[py::str(name)]; }

// --- time stamps as int64 ticks ------------------------------------------------

bool has_nat(const Int64Array& a) {
  auto t = view(a);
  return std::find(t.begin(), t.end(), core::not_a_time) != t.end();
}

// --- the event grid ------------------------------------------------------------

const char* const kGridColumns[] = {"EVENT_NAME", "event_datetime", "datetime", "time_diff"};

py::list grid_columns() {
  py::list out;
  for (const char* name : kGridColumns) out.append(name);
  return out;
}

// The grid built row by row, as the calendar is read: every distinct event,
// every distinct time of it rounded to the minute, every minute offset.
py::object event_grid_rows(glue::Call& c, py::handle calendar, py::handle pre, py::handle post) {
  py::object pd = c.global<"pd">();
  py::list rows;
  py::object names = column(calendar, "EVENT_NAME");
  for (py::handle event : names.attr("unique")()) {
    py::object selected = calendar[glue::compare_elementwise(names, event, Py_EQ)];
    py::list times(column(selected, "event_datetime").attr("unique")());
    py::list rounded;
    for (py::handle t : times) rounded.append(c.global<"round_event_datetime">()(t));
    for (py::handle t : rounded) {
      for (py::handle m : glue::builtin("range")(pre, add(post, py::int_(1)))) {
        py::object shifted = add(t, c.global<"timedelta">()(py::arg("minutes") = m));
        rows.append(py::make_tuple(event, t, shifted, m));
      }
    }
  }
  return pd.attr("DataFrame")(rows, py::arg("columns") = grid_columns());
}

constexpr std::string_view kEventGridRoad = "bar_kit.event_grid";
constexpr std::int64_t kFarthestMinute = 1'000'000;
constexpr std::int64_t kWidestGrid = 100'000;

// A window bound as a number of minutes: an int (not a bool, not a float) of
// at most kFarthestMinute either way, or nullopt.
std::optional<std::int64_t> minutes_of(py::handle bound) {
  if (!PyLong_CheckExact(bound.ptr())) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(bound.ptr(), &overflow);
  if (overflow != 0 || value > kFarthestMinute || value < -kFarthestMinute) return std::nullopt;
  return value;
}

// The unit of the grid's stamps for event times of unit `unit`: the unit
// rows of Timestamps get, once the kit's rounding and adding minutes have
// made second and millisecond stamps microseconds.
std::string grid_unit_of(const std::string& unit) {
  return glue::unit_of_stamp_objects(unit == "s" || unit == "ms" ? std::string("us") : unit);
}

// Whether every stamp, once in the grid's unit, stays a day and the window's
// farthest minute inside the int64 range: rounding by the local clock and
// shifting by the window then never leave it.
bool stamps_clear_of_range(const glue::Stamps& stamps, std::int64_t farthest_minute) {
  const std::int64_t per_second = glue::ticks_per_second(grid_unit_of(stamps.unit));
  const std::int64_t factor = std::max<std::int64_t>(per_second / stamps.per_second, 1);
  const std::int64_t margin = (86'400 + 60 * (farthest_minute + 1)) * per_second;
  const std::int64_t limit = (std::numeric_limits<std::int64_t>::max() - margin) / factor;
  auto t = stamps.span();
  return std::all_of(t.begin(), t.end(), [&](std::int64_t v) { return v >= -limit && v <= limit; });
}

// Why the calendar cannot take the column-wise grid, or nullptr when it can.
// That grid comes out as the row-by-row one, dtypes included, for window
// bounds that are ints (pre no later than post, at most kWidestGrid minutes
// apart), a non-empty calendar (a DataFrame or a dict of Series) whose event
// names are all present and whose event times are datetime64 stamps without
// NaT clear of the range's ends, while rounding is the query kit's own.
const char* event_grid_ineligible(py::handle pd, py::handle calendar,
                                  std::optional<std::int64_t> first,
                                  std::optional<std::int64_t> last, bool own_rounding) {
  if (!first || !last) return "a window bound is not an int of at most a million minutes";
  if (*last < *first || *last - *first > kWidestGrid) {
    return "the window is empty or wider than 100000 minutes";
  }
  if (!own_rounding) return "round_event_datetime is replaced";
  if (!py::isinstance(calendar, pd.attr("DataFrame")) && !py::isinstance<py::dict>(calendar)) {
    return "the calendar is neither a DataFrame nor a dict";
  }
  if (!contains(calendar, py::str("EVENT_NAME")) ||
      !contains(calendar, py::str("event_datetime"))) {
    return "the calendar lacks EVENT_NAME or event_datetime";
  }
  py::object names = column(calendar, "EVENT_NAME");
  py::object times = column(calendar, "event_datetime");
  py::object series_type = pd.attr("Series");
  if (!py::isinstance(names, series_type) || !py::isinstance(times, series_type)) {
    return "EVENT_NAME or event_datetime is not one Series";
  }
  if (py::len(names) == 0 || py::len(names) != py::len(times)) {
    return "the calendar is empty or its columns differ in length";
  }
  std::optional<glue::Stamps> stamps = glue::datetime_stamps(times);
  if (!stamps) return "event_datetime is not datetime64";
  if (has_nat(stamps->ticks)) return "event_datetime holds NaT";
  if (!stamps_clear_of_range(*stamps, std::max(-*first, *last))) {
    return "event_datetime lies within a day and the window of the datetime64 range";
  }
  if (truthy(names.attr("isna")().attr("any")())) return "EVENT_NAME has missing names";
  return nullptr;
}

// The grid's event names in the dtype rows of these values would give them,
// `event_row` turned from codes into `events` into positions among them.
py::object grid_event_names(py::handle pd, const py::list& events,
                            const std::vector<std::int64_t>& event_of_time,
                            std::vector<std::int64_t>& event_row) {
  py::list used;
  std::vector<std::int64_t> position(py::len(events), -1);
  for (std::int64_t code : event_of_time) {
    if (position[code] < 0) {
      position[code] = static_cast<std::int64_t>(py::len(used));
      used.append(py::make_tuple(events[py::int_(code)]));
    }
  }
  for (auto& e : event_row) e = position[e];
  py::list one_column;
  one_column.append("EVENT_NAME");
  return column(pd.attr("DataFrame")(used, py::arg("columns") = one_column), "EVENT_NAME")
      .attr("array");
}

// The same grid built column-wise (see event_grid_ineligible): the rows come
// out identical, dtypes included, without creating a time stamp object per
// grid row.
py::object event_grid_columns(py::handle pd, py::handle calendar, std::int64_t first,
                              std::int64_t last) {
  py::object names = column(calendar, "EVENT_NAME");
  py::object times = column(calendar, "event_datetime");
  glue::Stamps stamps = *glue::datetime_stamps(times);
  // The stamps are read in the grid's unit from the start; only event times
  // none of which was rounded keep a coarse unit, where rows of such times
  // keep theirs.
  const std::string grid_unit = grid_unit_of(stamps.unit);
  std::string coarse_unit;
  if (grid_unit != stamps.unit) {
    if (glue::unit_of_stamp_objects(stamps.unit) == stamps.unit) coarse_unit = stamps.unit;
    times = times.attr("dt").attr("as_unit")(grid_unit);
    stamps = *glue::datetime_stamps(times);
  }

  glue::LabelCodes labels = glue::label_codes(names, glue::LabelOrder::first_seen);
  const Int64Array& codes = labels.codes;
  py::list events(labels.uniques);

  const std::vector<std::int64_t> firsts = glue::without_gil("bar_kit.event_grid.distinct", [&] {
    return core::distinct_code_stamps(view(codes), stamps.span());
  });
  const std::size_t n_times = firsts.size();
  std::vector<std::int64_t> event_of_time(n_times);
  for (std::size_t t = 0; t < n_times; ++t) event_of_time[t] = codes.data()[firsts[t]];

  // Event times rounded down to the minute: the kit's rounding clears the
  // seconds field of the local clock, done here for all times at once.
  py::object distinct = times.attr("take")(glue::int64_array(std::vector<std::int64_t>(firsts)));
  Int64Array instant_ticks = glue::datetime_stamps(distinct).value().ticks;
  Int64Array wall = glue::wall_clock_ticks(distinct);
  Int64Array rounded_ticks = glue::new_int64(n_times);
  if (!core::clear_seconds(view(wall), view(instant_ticks), stamps.per_second,
                           glue::writable(rounded_ticks))) {
    throw std::logic_error("event_grid: an event time clear of the range rounded out of it");
  }

  const std::size_t width = static_cast<std::size_t>(last - first + 1);
  const std::size_t n_rows = n_times * width;
  std::vector<std::int64_t> minute(n_rows), offset(n_rows), event_time(n_rows), event_row(n_rows);
  glue::without_gil("bar_kit.event_grid.expand", [&] {
    core::expand_minute_grid(view(rounded_ticks), first, last, 60 * stamps.per_second, minute,
                             offset);
    for (std::size_t t = 0, k = 0; t < n_times; ++t) {
      for (std::size_t w = 0; w < width; ++w, ++k) {
        event_time[k] = rounded_ticks.data()[t];
        event_row[k] = event_of_time[t];
      }
    }
  });

  py::object event_values = grid_event_names(pd, events, event_of_time, event_row);

  const bool none_rounded = std::ranges::equal(view(rounded_ticks), view(instant_ticks));
  py::object event_datetime =
      glue::stamps_index(glue::int64_array(std::move(event_time)), stamps).attr("array");
  if (!coarse_unit.empty() && none_rounded) {
    event_datetime = event_datetime.attr("as_unit")(coarse_unit);
  }
  py::list columns;
  columns.append(event_values.attr("take")(glue::int64_array(std::move(event_row))));
  columns.append(event_datetime);
  columns.append(glue::stamps_index(glue::int64_array(std::move(minute)), stamps).attr("array"));
  columns.append(glue::int64_array(std::move(offset)));
  return glue::frame_of(pd.attr("DataFrame"), grid_columns(), columns);
}

constexpr glue::Signature get_event_metadata_sig{
    "get_event_metadata(df_calendar, pre_event_window=-5, post_event_window=10)"};
py::object get_event_metadata(glue::CallOf<get_event_metadata_sig>& c) {
  auto [calendar, pre, post] = c.args<"df_calendar", "pre_event_window", "post_event_window">();
  py::object pd = c.global<"pd">();
  const std::optional<std::int64_t> first = minutes_of(pre), last = minutes_of(post);
  const bool own_rounding = c.global<"round_event_datetime">().is(
      py::module_::import("orvane_data.from_bqia.query_kit").attr("round_event_datetime"));
  if (const char* reason = event_grid_ineligible(pd, calendar, first, last, own_rounding)) {
    glue::pandas_road(kEventGridRoad, reason);
    return event_grid_rows(c, calendar, pre, post);
  }
  py::object grid = event_grid_columns(pd, calendar, *first, *last);
  glue::native_road(kEventGridRoad);
  return grid;
}

// --- event windows -------------------------------------------------------------

// The windows frame as pandas builds it: join the bars onto the grid by
// minute, drop minutes without a bar, order, attach the calendar's columns.
py::object windows_by_joins(py::handle bars, py::handle calendar, py::handle grid) {
  py::object on_minute = grid.attr("set_index")("datetime");
  py::object bars_on_minute = bars.attr("set_index")("datetime");
  py::object joined =
      on_minute.attr("join")(bars_on_minute, py::arg("how") = "left").attr("reset_index")();
  py::list subset;
  subset.append("key");
  joined = joined.attr("dropna")(py::arg("subset") = subset);
  py::list order(on_minute.attr("columns").attr("tolist")());
  order.append("datetime");
  for (py::handle name : bars_on_minute.attr("columns")) order.append(name);
  joined = joined[order];
  py::list by;
  for (const char* name : {"EVENT_NAME", "event_datetime", "key", "datetime"}) by.append(name);
  joined = joined.attr("sort_values")(by).attr("reset_index")(py::arg("drop") = true);
  py::list keys;
  keys.append("EVENT_NAME");
  keys.append("event_datetime");
  py::object by_event = joined.attr("set_index")(keys);
  py::object calendar_by_event = calendar.attr("reset_index")().attr("set_index")(keys);
  return by_event.attr("join")(calendar_by_event, py::arg("how") = "left").attr("reset_index")();
}

constexpr std::string_view kWindowTextsRoad = "bar_kit.window_texts";

// Rows `indexer` of a column. With `as_if_missing`, the dtype is the one the
// column takes when a missing row has been joined in (integers become floats,
// booleans objects), as a left join with unmatched rows leaves it. Texts in
// Arrow strings are taken in place (-1 gives a missing text; their dtype
// stays).
py::object take_rows(py::handle series, const Int64Array& indexer, bool as_if_missing) {
  bool in_arrow = false;
  const char* reason = glue::arrow_texts_ineligible(series, in_arrow);
  if (in_arrow && reason == nullptr) {
    py::object taken = glue::take_texts(glue::arrow_texts(series), view(indexer));
    glue::native_road(kWindowTextsRoad);
    return taken;
  }
  if (in_arrow) glue::pandas_road(kWindowTextsRoad, reason);
  if (!as_if_missing) return glue::take(series, indexer, false);
  const std::size_t n = static_cast<std::size_t>(indexer.size());
  std::vector<std::int64_t> extended(indexer.data(), indexer.data() + n);
  extended.push_back(-1);
  py::object filled = glue::take(series, glue::int64_array(std::move(extended)), true);
  return filled[py::slice(0, static_cast<py::ssize_t>(n), 1)];
}

// Whether grid event names sort and match as the native road orders them:
// numbers, or texts of pandas' string dtype or held as objects.
bool is_plain_label_column(py::handle names) {
  if (glue::is_categorical(names)) return false;
  if (glue::labels_in_sort_order(names)) return true;
  py::object dtype = names.attr("dtype");
  if (!py::isinstance<py::dtype>(dtype)) return false;
  const std::string kind = py::str(dtype.attr("kind"));
  return kind == "i" || kind == "u" || kind == "f";
}

constexpr std::string_view kWindowRanksRoad = "bar_kit.window_ranks";

// Sort ranks of rows `rows` of a column as pandas orders them, -1 for a
// missing value: read in place from Arrow texts, from the label codes of the
// rows taken for categoricals and texts held as Python strings, else through
// pandas' categorical codes of the rows taken.
Int64Array ranks_of_rows(py::handle series, const Int64Array& rows) {
  bool in_arrow = false;
  const char* reason = glue::arrow_texts_ineligible(series, in_arrow);
  if (reason == nullptr) {
    Int64Array ranks = glue::int64_array(glue::rank_texts(glue::arrow_texts(series), view(rows)));
    glue::native_road(kWindowRanksRoad);
    return ranks;
  }
  py::object values = glue::take(series, rows, false);
  if (!in_arrow && glue::labels_in_sort_order(values)) {
    glue::native_road(kWindowRanksRoad);
    return glue::label_codes(values).codes;
  }
  glue::pandas_road(kWindowRanksRoad,
                    in_arrow ? reason : "the column holds neither texts nor categories");
  return glue::label_codes(values).codes;
}

constexpr std::string_view kEventWindowsRoad = "bar_kit.event_windows";

// What the native windows read, as their eligibility predicate found it.
struct WindowInputs {
  py::list bar_names;                // the bar columns that follow `datetime` in the result
  py::object minutes, names, times;  // the grid's columns (minutes as the join gives them)
  std::optional<glue::Stamps> minute, event_time, bar_time;
  py::object by_event;  // the calendar keyed as the windows are: (event name, event time)
  py::object calendar_names;
  Int64Array calendar_ticks;  // its times in the grid's unit
  py::list calendar_columns;
};

// Why the frames cannot be joined natively (see windows_ineligible): their
// kinds and columns.
const char* window_frames_ineligible(py::handle pd, py::handle bars, py::handle calendar,
                                     py::handle grid, WindowInputs& in) {
  py::object frame_type = pd.attr("DataFrame");
  if (!py::isinstance(bars, frame_type) || !py::isinstance(grid, frame_type) ||
      !py::isinstance(calendar, frame_type)) {
    return "an input is not a DataFrame";
  }
  py::list grid_names(grid.attr("columns").attr("tolist")());
  if (!compare(grid_names, grid_columns(), Py_EQ)) {
    return "the grid's columns are not the four of a grid";
  }
  if (py::len(grid) == 0 || py::len(bars) == 0) return "no grid rows or no bars";
  py::object bar_columns = bars.attr("columns");
  if (!truthy(bar_columns.attr("is_unique")) || !bar_columns.contains("datetime") ||
      !bar_columns.contains("key")) {
    return "bar columns repeat or lack datetime or key";
  }
  for (py::handle name : bar_columns) {
    if (glue::equals_text(name, "datetime")) continue;
    for (const char* taken : {"EVENT_NAME", "event_datetime", "time_diff"}) {
      if (glue::equals_text(name, taken)) return "bar columns overlap the grid's";
    }
    in.bar_names.append(name);
  }
  return nullptr;
}

// The same for the grid's and the bars' stamps and the grid's event names.
const char* window_stamps_ineligible(py::handle pd, py::handle bars, py::handle grid,
                                     WindowInputs& in) {
  in.minutes = column(grid, "datetime");
  in.names = column(grid, "EVENT_NAME");
  in.times = column(grid, "event_datetime");
  in.minute = glue::datetime_stamps(in.minutes);
  in.event_time = glue::datetime_stamps(in.times);
  py::object bar_time_col = column(bars, "datetime");
  // joined with arrow stamps, the grid's minutes keep their own zone
  const bool arrow_bar_times = py::isinstance(bar_time_col.attr("dtype"), pd.attr("ArrowDtype"));
  in.bar_time = glue::stored_stamps(bar_time_col);
  if (!in.minute || !in.event_time || !in.bar_time) return "a time column is not datetime64";
  if (in.minute->naive() != in.bar_time->naive()) return "naive stamps against aware";
  if (has_nat(in.minute->ticks) || has_nat(in.event_time->ticks)) return "the grid holds NaT";
  if (!is_plain_label_column(in.names) || truthy(in.names.attr("isna")().attr("any")())) {
    return "grid event names are not texts or numbers, or some are missing";
  }
  // a minute finer than the bars' unit can match only a whole number of their ticks
  if (in.minute->per_second > in.bar_time->per_second &&
      !core::stamps_fit_scaled(view(in.bar_time->ticks),
                               in.minute->per_second / in.bar_time->per_second)) {
    return "bar stamps overflow the grid's unit";
  }
  // Aware stamps of two zones are joined by instant and come out in UTC.
  if (!in.minute->naive() && !arrow_bar_times &&
      !compare(pd.attr("DatetimeTZDtype")(py::arg("unit") = in.minute->unit,
                                          py::arg("tz") = in.bar_time->zone),
               in.minute->dtype, Py_EQ)) {
    in.minutes = in.minutes.attr("dt").attr("tz_convert")("UTC");
  }
  if (in.minute->naive() && arrow_bar_times)
    in.minutes = glue::minutes_joined_with_arrow(in.minutes);
  return nullptr;
}

// The same for the calendar, keyed as the windows are.
const char* window_calendar_ineligible(py::handle pd, py::handle calendar, WindowInputs& in) {
  py::list keys_names;
  keys_names.append("EVENT_NAME");
  keys_names.append("event_datetime");
  in.by_event = calendar.attr("reset_index")().attr("set_index")(keys_names);
  py::object calendar_index = in.by_event.attr("index");
  in.calendar_names = calendar_index.attr("get_level_values")(0);
  py::object calendar_times = calendar_index.attr("get_level_values")(1);
  if (!compare(in.calendar_names.attr("dtype"), in.names.attr("dtype"), Py_EQ) &&
      !(glue::holds_texts(in.calendar_names) && glue::holds_texts(in.names))) {
    return "calendar and grid event names differ in dtype and are not both texts";
  }
  std::optional<glue::Stamps> calendar_stamps = glue::datetime_stamps(calendar_times);
  if (!calendar_stamps || calendar_stamps->per_second > in.event_time->per_second ||
      !core::stamps_fit_scaled(view(calendar_stamps->ticks),
                               in.event_time->per_second / calendar_stamps->per_second)) {
    return "calendar times finer than the grid's or beyond its unit's range";
  }
  // the calendar's times in the grid's unit (exact: no finer than it)
  calendar_times = pd.attr("DatetimeIndex")(calendar_times).attr("as_unit")(in.event_time->unit);
  if (!compare(calendar_times.attr("dtype"), in.event_time->dtype, Py_EQ)) {
    return "calendar and grid times differ in zone";
  }
  in.calendar_columns = py::list(in.by_event.attr("columns").attr("tolist")());
  for (py::handle name : in.calendar_columns) {
    if (glue::equals_text(name, "time_diff") || glue::equals_text(name, "datetime") ||
        in.bar_names.contains(name)) {
      return "calendar columns overlap the windows'";
    }
  }
  in.calendar_ticks = glue::datetime_stamps(calendar_times).value().ticks;
  return nullptr;
}

// Why the windows cannot be joined natively, or nullptr when they can (with
// `in` filled for the native body).
const char* windows_ineligible(py::handle pd, py::handle bars, py::handle calendar, py::handle grid,
                               WindowInputs& in) {
  if (const char* reason = window_frames_ineligible(pd, bars, calendar, grid, in)) return reason;
  if (const char* reason = window_stamps_ineligible(pd, bars, grid, in)) return reason;
  return window_calendar_ineligible(pd, calendar, in);
}

// The calendar's event names and the grid's as codes into the calendar's
// distinct names (-1: a grid name the calendar lacks).
struct LabelCodesOnGrid {
  Int64Array calendar, grid;
};

LabelCodesOnGrid calendar_codes(const WindowInputs& in) {
  glue::LabelCodes calendar = glue::label_codes(in.calendar_names, glue::LabelOrder::first_seen);
  return {calendar.codes, glue::places_among(calendar.uniques, in.names)};
}

// The rows each output row is taken from: grid rows, bar rows and calendar
// rows (-1: no calendar row), ordered as pandas sorts the windows.
struct WindowTakes {
  Int64Array grid, bar, calendar;
  bool bars_filled = false, calendar_unmatched = false;
};

WindowTakes window_takes(py::handle bars, const WindowInputs& in) {
  const std::size_t n_grid = py::len(in.names);
  std::vector<std::int64_t> grid_ticks(n_grid), grid_code(n_grid, 0);
  const core::KeyMatches on_minute = glue::without_gil("bar_kit.event_windows.minutes", [&] {
    const std::int64_t up =
        std::max<std::int64_t>(1, in.bar_time->per_second / in.minute->per_second);
    const std::int64_t down =
        std::max<std::int64_t>(1, in.minute->per_second / in.bar_time->per_second);
    core::rescale_stamps(view(in.minute->ticks), up, down, grid_ticks, grid_code);
    return core::match_keys(grid_code, grid_ticks, {}, view(in.bar_time->ticks));
  });
  WindowTakes takes;
  takes.bars_filled = on_minute.any_left_unmatched();

  // Ranks that order the rows as pandas sorts them; a missing key drops the row.
  Int64Array key_rank = ranks_of_rows(
      column(bars, "key"), glue::int64_array(std::vector<std::int64_t>(on_minute.matched)));
  std::vector<std::int64_t> every_grid_row(n_grid);
  std::iota(every_grid_row.begin(), every_grid_row.end(), 0);
  Int64Array event_rank = ranks_of_rows(in.names, glue::int64_array(std::move(every_grid_row)));
  LabelCodesOnGrid codes = calendar_codes(in);

  std::vector<std::int64_t> take_grid, take_bar;
  core::JoinedRows joined;
  glue::without_gil("bar_kit.event_windows.rows", [&] {
    core::WindowRows rows =
        core::order_window_rows(view(event_rank), view(in.event_time->ticks),
                                view(in.minute->ticks), on_minute, view(key_rank));
    core::KeyMatches on_event = core::match_keys(view(codes.grid), view(in.event_time->ticks),
                                                 view(codes.calendar), view(in.calendar_ticks));
    joined = core::expand_left_join(rows.grid, on_event);
    take_grid.resize(joined.row.size());
    take_bar.resize(joined.row.size());
    for (std::size_t r = 0; r < joined.row.size(); ++r) {
      take_grid[r] = rows.grid[joined.row[r]];
      take_bar[r] = on_minute.matched[rows.matched[joined.row[r]]];
    }
  });
  takes.grid = glue::int64_array(std::move(take_grid));
  takes.bar = glue::int64_array(std::move(take_bar));
  takes.calendar = glue::int64_array(std::move(joined.right));
  takes.calendar_unmatched = joined.any_unmatched;
  return takes;
}

// The windows joined natively from eligible inputs (see windows_ineligible).
py::object windows_native(py::handle pd, py::handle bars, py::handle grid, const WindowInputs& in) {
  const WindowTakes takes = window_takes(bars, in);
  py::list labels;
  py::list values;
  auto put = [&](py::handle label, py::object array) {
    labels.append(label);
    values.append(std::move(array));
  };
  put(py::str("EVENT_NAME"), take_rows(in.names, takes.grid, false));
  put(py::str("event_datetime"), take_rows(in.times, takes.grid, false));
  put(py::str("time_diff"), take_rows(column(grid, "time_diff"), takes.grid, false));
  put(py::str("datetime"), take_rows(in.minutes, takes.grid, false));
  for (py::handle name : in.bar_names) {
    put(name, take_rows(bars[name], takes.bar, takes.bars_filled));
  }
  for (py::handle name : in.calendar_columns) {
    put(name, take_rows(in.by_event[name], takes.calendar, takes.calendar_unmatched));
  }
  return glue::frame_labelled(pd.attr("DataFrame"), labels, values);
}

constexpr glue::Signature filter_bars_around_events_sig{
    "filter_bars_around_events(df_bars, df_calendar, pre_event_window=-5, "
    "post_event_window=10)"};

// The distinct keys of a column, missing ones left out, in no set order. Bars
// come as runs of one security (as the service returns them, and the
// windows as they are sorted): a column of Python objects is scanned for
// where the key changes, and only the keys there are compared and hashed;
// hashing every row, as pandas' unique does, would cost as much as the
// windows themselves.
py::set distinct_keys(py::handle pd, py::handle keys) {
  py::set distinct;
  // the missing values a key column holds: None, NaN, pandas' NA and NaT
  const py::object na = pd.attr("NA"), nat = pd.attr("NaT");
  auto missing = [&](PyObject* key) {
    return key == Py_None || key == na.ptr() || key == nat.ptr() ||
           (PyFloat_Check(key) && std::isnan(PyFloat_AS_DOUBLE(key)));
  };
  // pandas' own unique is quick on anything but Python objects
  const py::object dtype = keys.attr("dtype");
  if (!py::isinstance<py::dtype>(dtype) || py::dtype(dtype).kind() != 'O') {
    for (py::handle key : keys.attr("dropna")().attr("unique")()) distinct.add(key);
    return distinct;
  }
  const py::array objects(keys.attr("to_numpy")());
  const auto n = objects.shape(0);
  const auto stride = objects.strides(0);
  const char* base = static_cast<const char*>(objects.data());
  PyObject* previous = nullptr;
  bool previous_missing = true;
  for (py::ssize_t i = 0; i < n; ++i) {
    PyObject* key = *reinterpret_cast<PyObject* const*>(base + i * stride);
    if (key == previous) continue;  // one object repeated: the common case
    const bool absent = missing(key);
    if (!absent && (previous_missing || !compare(key, previous, Py_EQ))) distinct.add(key);
    previous = key;
    previous_missing = absent;
  }
  return distinct;
}

// DataWarnings for windows that hold no bar: every window, when its bounds
// are reversed (pre after post: no minute lies inside); else each security
// of the bars with no bar inside any window.
void warn_windows_without_bars(const glue::CallOf<filter_bars_around_events_sig>& c,
                               py::handle bars, py::handle grid, py::handle windows) {
  auto [pre, post] = c.args<"pre_event_window", "post_event_window">();
  bool reversed = false;
  try {
    reversed = compare(pre, post, Py_GT);
  } catch (py::error_already_set& e) {
    // bounds the grid took but that do not compare (arrays, say): the
    // windows are what they are, and nothing is said of them
    if (!e.matches(PyExc_Exception)) throw;
    return;
  }
  if (reversed) {
    glue::data_warning(
        "no minute inside the event windows: pre_event_window=" + std::string(py::repr(pre)) +
        " lies after post_event_window=" + std::string(py::repr(post)));
    return;
  }
  if (py::len(grid) == 0) return;  // no event, no window
  py::object pd = c.global<"pd">();
  const py::set inside = distinct_keys(pd, column(windows, "key"));
  const py::set named = distinct_keys(pd, column(bars, "key"));
  if (py::len(named) == py::len(inside)) return;
  for (py::handle key : c.global<"sorted">()(named, "key"_a = c.global<"str">())) {
    if (!inside.contains(key)) {
      glue::data_warning("no bar of security " + std::string(py::repr(key)) +
                         " inside any event window");
    }
  }
}

py::object filter_bars_around_events(glue::CallOf<filter_bars_around_events_sig>& c) {
  auto [bars, calendar] = c.args<"df_bars", "df_calendar">();
  py::object grid = c.global<"get_event_metadata">()(calendar, c.arg<"pre_event_window">(),
                                                     c.arg<"post_event_window">());
  py::object pd = c.global<"pd">();
  WindowInputs inputs;
  py::object windows;
  if (const char* reason = windows_ineligible(pd, bars, calendar, grid, inputs)) {
    glue::pandas_road(kEventWindowsRoad, reason);
    windows = windows_by_joins(bars, calendar, grid);
  } else {
    windows = windows_native(pd, bars, grid, inputs);
    glue::native_road(kEventWindowsRoad);
  }
  warn_windows_without_bars(c, bars, grid, windows);
  return windows;
}

// --- configuration and bars ----------------------------------------------------

constexpr glue::Signature get_roll_config_sig{"get_roll_config(dict_fut)"};
py::object get_roll_config(glue::CallOf<get_roll_config_sig>& c) {
  py::dict roll_configs;
  for (py::handle item : c.arg<"dict_fut">().attr("items")()) {
    std::vector<py::object> key_value = unpack(item, 2);
    std::vector<py::object> roll = unpack(key_value[1], 3);
    py::object make = c.global<"bqia">().attr("FuturesRollConfig");
    py::object offset = c.global<"DateOffset">()(roll[2]);
    roll_configs[key_value[0]] = make(roll[0], roll[1], offset);
  }
  return c.global<"bqia">().attr("FuturesRollFactory")(roll_configs);
}

constexpr glue::Signature set_intraday_config_sig{
    "set_intraday_config(id_mapping=None, roll_config=None, "
    "packages=['equity', 'macro', 'fixed-income'])"};
py::object set_intraday_config(glue::CallOf<set_intraday_config_sig>& c) {
  py::dict bqia_configs;
  if (!c.arg<"id_mapping">().is_none()) bqia_configs["security_id_mapping"] = c.arg<"id_mapping">();
  if (!c.arg<"roll_config">().is_none())
    bqia_configs["futures_roll_factory"] = c.arg<"roll_config">();
  bqia_configs["enabled_packages"] = c.arg<"packages">();
  c.global<"bqia">().attr("set_config")(bqia_configs);
  return py::none();
}

// A DataWarning for each security whose parse key the service maps to no
// FIGI (left out of the mapping, or mapped to a missing one).
void warn_unmapped(const py::list& custom, const py::list& parse_keys, py::handle mapping) {
  py::set mapped;
  py::object present = column(mapping, "figi").attr("notna")();
  py::object keys = column(mapping, "parsekey")[present];
  for (py::handle key : keys) mapped.add(key);
  for (std::size_t i = 0; i < py::len(custom); ++i) {
    if (mapped.contains(parse_keys[i])) continue;
    glue::data_warning("no FIGI for security " + std::string(py::repr(custom[i])) + " (parse key " +
                       std::string(py::repr(parse_keys[i])) + ")");
  }
}

constexpr glue::Signature get_id_mapping_sig{"get_id_mapping(dict_sec_pcs)"};
py::object get_id_mapping(glue::CallOf<get_id_mapping_sig>& c) {
  const py::object& table = c.arg<"dict_sec_pcs">();
  py::list custom(table.attr("keys")());
  py::list parse_keys, sources;
  for (py::handle value : table.attr("values")()) parse_keys.append(value[py::int_(0)]);
  for (py::handle value : table.attr("values")()) sources.append(value[py::int_(1)]);
  py::object pd = c.global<"pd">();
  py::dict columns;
  columns["custom"] = custom;
  columns["parsekey"] = parse_keys;
  columns["pcs"] = sources;
  py::object requested = pd.attr("DataFrame")(columns);

  py::object bq = c.global<"bq">();
  py::object universe = bq.attr("univ").attr("list")(parse_keys);
  py::dict fields;
  fields["figi"] = bq.attr("data").attr("id_bb_global")().attr("droppe")();
  py::object request = c.global<"bql">().attr("Request")(universe, fields);
  py::object response = bq.attr("execute")(request);
  py::dict rename;
  rename["ID"] = "parsekey";
  // A parse key listed twice is answered twice; one answer per parse key
  // keeps every custom name to one row of the mapping.
  py::list subset;
  subset.append("parsekey");
  py::object answered = response[py::int_(0)]
                            .attr("df")()
                            .attr("reset_index")()
                            .attr("rename")(py::arg("columns") = rename)
                            .attr("drop_duplicates")(py::arg("subset") = subset);
  py::object mapping =
      pd.attr("merge")(py::arg("left") = requested, py::arg("left_on") = "parsekey",
                       py::arg("right") = answered, py::arg("right_on") = "parsekey");
  warn_unmapped(custom, parse_keys, mapping);

  // A pricing source other than "" is appended to the FIGI: "<FIGI>.<source>".
  // An empty mapping keeps its (empty) FIGI column as it is.
  if (py::len(mapping) > 0) {
    py::list figis(column(mapping, "figi").attr("tolist")());
    py::list pcs(column(mapping, "pcs").attr("tolist")());
    py::list joined;
    for (std::size_t i = 0; i < py::len(figis); ++i) {
      py::object figi = figis[i], source = pcs[i];
      joined.append(source.not_equal(py::str("")) ? add(add(figi, py::str(".")), source) : figi);
    }
    glue::set_column(mapping, py::str("figi"),
                     pd.attr("Series")(joined, py::arg("index") = mapping.attr("index")));
  }
  py::list drop;
  drop.append("pcs");
  return mapping.attr("drop")(py::arg("columns") = drop);
}

// The description of every bar's security: the mapped value, or the
// security itself where the service has none (None, or NaN as a text column
// reports it).
py::object describe(py::handle pd, py::handle securities, py::dict mapping) {
  auto label = [&](py::handle x) -> py::object {
    py::object value = mapping[x];  // a security the service does not know: KeyError
    if (value.is_none() || (PyFloat_Check(value.ptr()) && truthy(pd.attr("isna")(value)))) {
      return py::reinterpret_borrow<py::object>(x);
    }
    return value;
  };
  glue::LabelCodes distinct = glue::label_codes(securities, glue::LabelOrder::first_seen);
  const Int64Array& codes = distinct.codes;
  bool any_missing = false;
  for (std::int64_t code : view(codes)) any_missing |= code < 0;
  if (py::len(securities) == 0 || any_missing) {
    py::list out;
    for (py::handle x : securities) out.append(label(x));
    return out;
  }
  py::list labels;
  for (py::handle x : distinct.uniques) labels.append(label(x));
  return pd.attr("Series")(labels).attr("array").attr("take")(codes);
}

py::dict figi_table(glue::Call& c, const py::list& figis, const char* id_col_name,
                    const char* id_data_item) {
  py::object frame = c.global<"get_figi_to_id_mapping">()(
      figis, py::arg("id_col_name") = id_col_name, py::arg("id_data_item") = id_data_item);
  return column(frame.attr("set_index")("figi"), id_col_name).attr("to_dict")();
}

constexpr glue::Signature get_intraday_bars_sig{
    "get_intraday_bars(dict_sec_pcs={'spx': ('spx index', '')}, dict_fut=None, "
    "start='2024-06-01', end='2024-07-01', security_id_type='custom', "
    "downsample_freq=None, tz=None, packages=['equity', 'macro', 'fixed-income'], "
    "add_description=True)"};
py::object get_intraday_bars(glue::CallOf<get_intraday_bars_sig>& c) {
  auto [dict_sec_pcs, dict_fut, security_id_type] =
      c.args<"dict_sec_pcs", "dict_fut", "security_id_type">();
  py::list list_sec;
  py::object id_mapping = py::none(), roll_config = py::none();
  if (!dict_sec_pcs.is_none()) {
    id_mapping = c.global<"get_id_mapping">()(dict_sec_pcs);
    for (py::handle id : id_mapping[security_id_type].attr("tolist")()) list_sec.append(id);
  }
  if (!dict_fut.is_none()) {
    roll_config = c.global<"get_roll_config">()(dict_fut);
    for (py::handle name : dict_fut.attr("keys")()) list_sec.append(name);
  }
  c.global<"set_intraday_config">()(id_mapping, roll_config, c.arg<"packages">());
  py::object df_bars = c.global<"bqia">().attr("get_bars")(
      py::arg("securities") = list_sec, py::arg("security_id_type") = security_id_type,
      py::arg("start") = c.arg<"start">(), py::arg("end") = c.arg<"end">(),
      py::arg("tz") = c.arg<"tz">(), py::arg("downsample_freq") = c.arg<"downsample_freq">());
  if (contains(df_bars.attr("columns"), py::str("key"))) {
    py::set served(column(df_bars, "key").attr("dropna")().attr("unique")());
    for (py::handle security : list_sec) {
      if (served.contains(security)) continue;
      glue::data_warning("no bars for security " + std::string(py::repr(security)) + " from " +
                         std::string(py::str(c.arg<"start">())) + " to " +
                         std::string(py::str(c.arg<"end">())));
    }
  }
  if (truthy(c.arg<"add_description">())) {
    py::object pd = c.global<"pd">();
    py::object securities = column(df_bars, "security");
    py::list figis(securities.attr("unique")());
    py::dict names = figi_table(c, figis, "short_name", "name");
    py::dict parse_keys = figi_table(c, figis, "parsekey", "parsekyable_des");
    glue::set_column(df_bars, py::str("short_name"), describe(pd, securities, names));
    glue::set_column(df_bars, py::str("parsekey"), describe(pd, securities, parse_keys));
  }
  return df_bars;
}

constexpr const char* roll_doc =
    R"doc(Builds the intraday service's futures roll factory from a table of rolls.

Parameters
----------
dict_fut : dict
    Maps a roll name to ``(future_root, yellow_key, roll_offset)``: the
    futures root (``"ES"``), its yellow key (``"Index"``) and how many
    calendar days before expiry the roll moves to the next contract.

Returns
-------
bqia.FuturesRollFactory
    One ``FuturesRollConfig`` per roll name, in the table's order.

Raises
------
AttributeError
    If ``dict_fut`` is not a dict (it has no ``items``).
TypeError
    If an entry is not a sequence.
ValueError
    If an entry does not hold exactly three values.
NameError
    If the module has no intraday service ``bqia``.

Examples
--------
With the simulated services (``orvane_data.simulated``) standing in:

>>> from orvane_data.from_bqia import bar_kit
>>> bar_kit.get_roll_config({"es": ("ES", "Index", 5)})
FuturesRollFactory({'es': FuturesRollConfig('ES', 'Index', <5 * DateOffsets>)})
>>> bar_kit.get_roll_config({"es": ("ES", "Index")})
Traceback (most recent call last):
ValueError: not enough values to unpack (expected 3, got 2))doc";

constexpr const char* config_doc =
    R"doc(Configures the intraday service for the whole process.

Each call replaces the service's whole configuration; arguments left as
None are not sent.

Parameters
----------
id_mapping : pd.DataFrame, optional
    Columns ``custom``, ``parsekey`` and ``figi`` (as ``get_id_mapping``
    returns them): makes custom names, FIGIs and parse keys resolvable.
roll_config : bqia.FuturesRollFactory, optional
    Makes its roll names resolvable (see ``get_roll_config``).
packages : list of str or None, default ["equity", "macro", "fixed-income"]
    The data packages the service may serve; sent even when None.

Returns
-------
None

Raises
------
NameError
    If the module has no intraday service ``bqia``.

Examples
--------
With the simulated services (``orvane_data.simulated``) standing in:

>>> from orvane_data.from_bqia import bar_kit
>>> rolls = bar_kit.get_roll_config({"es": ("ES", "Index", 5)})
>>> bar_kit.set_intraday_config(roll_config=rolls, packages=["equity"])
>>> bar_kit.bqia.get_config()
{'futures_roll_factory': FuturesRollFactory({...}), 'enabled_packages': ['equity']})doc";

constexpr const char* mapping_doc =
    R"doc(Maps custom security names to parse keys and FIGIs through the query service.

Parameters
----------
dict_sec_pcs : dict
    Maps a custom name to ``(parse key, pricing source)``; a pricing source
    other than ``""`` is appended to the FIGI after a full stop
    (``"<FIGI>.BGN"``).

Returns
-------
pd.DataFrame
    Columns ``custom``, ``parsekey`` and ``figi``, one row per custom name
    whose parse key the service answered, in the order of the table. A
    parse key listed twice is answered once per custom name.

Raises
------
AttributeError
    If ``dict_sec_pcs`` is not a dict.
IndexError
    If a value holds fewer than two items.
TypeError
    If a pricing source is not a ``str``.
NameError
    If the module has no query service ``bq`` (or library ``bql``).

Warns
-----
DataWarning
    For each security the service maps to no FIGI (it is left out of the
    mapping): "no FIGI for security 'name' (parse key 'key')".

Examples
--------
With the simulated services (``orvane_data.simulated``) standing in:

>>> from orvane_data.from_bqia import bar_kit
>>> bar_kit.get_id_mapping({"spx": ("SPX Index", ""), "jpy": ("JPY Curncy", "BGN")})
  custom    parsekey              figi
0    spx   SPX Index      OVGX9J8LG0L3
1    jpy  JPY Curncy  OVGQQHQ91KZ7.BGN)doc";

constexpr const char* bars_doc =
    R"doc(Fetches intraday bars for custom-named securities and rolled futures in one request.

Configures the intraday service (``set_intraday_config``) with the id
mapping of ``dict_sec_pcs`` and the roll factory of ``dict_fut``, then asks
for the bars of every security and roll.

Parameters
----------
dict_sec_pcs : dict or None, default {"spx": ("spx index", "")}
    Custom names to ``(parse key, pricing source)``, as ``get_id_mapping``
    takes them; None asks for rolls only.
dict_fut : dict, optional
    Roll names to ``(future_root, yellow_key, roll_offset)``, as
    ``get_roll_config`` takes them; requested after the securities.
start, end : str, default "2024-06-01", "2024-07-01"
    The first and last trade dates (yyyy-mm-dd), both included.
security_id_type : str, default "custom"
    How the securities are named in the request: ``"custom"``,
    ``"parsekey"`` or ``"figi"``, a column of the id mapping.
downsample_freq : str, optional
    A bar length longer than the minute (``"5min"``); one-minute bars by
    default.
tz : str, optional
    The zone of the bars' ``datetime``; UTC by default.
packages : list of str, default ["equity", "macro", "fixed-income"]
    The data packages the service may serve.
add_description : bool, default True
    Label each bar with its security's ``short_name`` and ``parsekey``, as
    the query service names the FIGI (the FIGI itself where it has none).

Returns
-------
pd.DataFrame
    One row per bar: ``security`` (the FIGI traded), ``datetime``, ``key``
    (the security as requested), ``open``, ``high``, ``low``, ``close``,
    ``volume``, then ``short_name`` and ``parsekey`` with
    ``add_description``.

Raises
------
KeyError
    If ``security_id_type`` is not a column of the id mapping (before any
    request), or, with ``add_description``, if the query service does not
    know a bar's security.
NameError
    If the module has no intraday service ``bqia`` or query service ``bq``.

Warns
-----
DataWarning
    As ``get_id_mapping`` warns, and for each security requested with no
    bar in the answer: "no bars for security 'name' from <start> to <end>".

Examples
--------
With the simulated services (``orvane_data.simulated``) standing in:

>>> from orvane_data.from_bqia import bar_kit
>>> bars = bar_kit.get_intraday_bars({"spx": ("SPX Index", "")}, start="2024-06-03",
...                                  end="2024-06-03", tz="America/New_York")
>>> bars[["datetime", "key", "close", "short_name"]].head(2)
                   datetime  key       close     short_name
0 2024-06-03 09:30:00-04:00  spx  605.725487  S&P 500 INDEX
1 2024-06-03 09:31:00-04:00  spx  605.757159  S&P 500 INDEX
>>> len(bars)  # the New York session, 09:30 to 16:00
390)doc";

constexpr const char* grid_doc =
    R"doc(Expands a calendar of events into a grid of minutes around each event time.

Parameters
----------
df_calendar : pd.DataFrame
    The events: columns ``EVENT_NAME`` and ``event_datetime``.
pre_event_window : int, default -5
    The first minute offset from the event time.
post_event_window : int, default 10
    The last minute offset, included.

Returns
-------
pd.DataFrame
    One row per distinct event, distinct event time (rounded down to the
    minute by ``round_event_datetime``) and minute offset: columns
    ``EVENT_NAME``, ``event_datetime``, ``datetime`` (the minute) and
    ``time_diff`` (the offset). Events come in the calendar's order.

Raises
------
KeyError
    If the calendar lacks ``EVENT_NAME`` or ``event_datetime``.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.from_bqia import bar_kit
>>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP"],
...                          "event_datetime": [pd.Timestamp("2024-06-07 08:30:40-04:00")]})
>>> bar_kit.get_event_metadata(calendar, -1, 2)
  EVENT_NAME            event_datetime                  datetime  time_diff
0        NFP 2024-06-07 08:30:00-04:00 2024-06-07 08:29:00-04:00         -1
1        NFP 2024-06-07 08:30:00-04:00 2024-06-07 08:30:00-04:00          0
2        NFP 2024-06-07 08:30:00-04:00 2024-06-07 08:31:00-04:00          1
3        NFP 2024-06-07 08:30:00-04:00 2024-06-07 08:32:00-04:00          2)doc";

constexpr const char* windows_doc =
    R"doc(Keeps the bars that fall on the minute grids around calendar events.

Each minute of ``get_event_metadata``'s grid meets the bars stamped exactly
on it; minutes without a bar are dropped; rows are ordered by event, event
time, key and minute and carry the calendar's columns for their event
(matched on the event's name and its time, so calendar times should be on
the minute, as ``get_eco_calendar_data`` gives them).

Parameters
----------
df_bars : pd.DataFrame
    The bars: ``datetime`` (the bar's minute), ``key`` (present on every
    bar, sortable) and any other columns.
df_calendar : pd.DataFrame
    The events: ``EVENT_NAME``, ``event_datetime`` and any other columns.
pre_event_window : int, default -5
    The first minute offset of each window.
post_event_window : int, default 10
    The last minute offset, included.

Returns
-------
pd.DataFrame
    ``EVENT_NAME``, ``event_datetime`` (rounded down to the minute),
    ``time_diff`` (whole minutes from it), ``datetime``, the other bar
    columns, then the calendar's former index (``index``) and its other
    columns.

Raises
------
KeyError
    If a needed column is missing (pandas' error).

Warns
-----
DataWarning
    When ``pre_event_window`` lies after ``post_event_window`` (no minute
    lies inside a window, the frame is empty): "no minute inside the event
    windows: pre_event_window=10 lies after post_event_window=-5". Else,
    where there is a window, for each ``key`` of the bars without a bar
    inside any window: "no bar of security 'key' inside any event window".

Examples
--------
>>> import pandas as pd
>>> from orvane_data.from_bqia import bar_kit
>>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP"], "ACTUAL": [272.0],
...                          "event_datetime": [pd.Timestamp("2024-06-07 08:30-04:00")]})
>>> bars = pd.DataFrame({
...     "datetime": pd.date_range("2024-06-07 08:28-04:00", periods=5, freq="min"),
...     "key": "spx", "close": [100.0, 100.5, 101.0, 102.0, 101.5]})
>>> windows = bar_kit.filter_bars_around_events(bars, calendar, -1, 2)
>>> windows[["EVENT_NAME", "time_diff", "datetime", "close", "ACTUAL"]]
  EVENT_NAME  time_diff                  datetime  close  ACTUAL
0        NFP         -1 2024-06-07 08:29:00-04:00  100.5   272.0
1        NFP          0 2024-06-07 08:30:00-04:00  101.0   272.0
2        NFP          1 2024-06-07 08:31:00-04:00  102.0   272.0
3        NFP          2 2024-06-07 08:32:00-04:00  101.5   272.0)doc";

}  // namespace

ORVANE_MODULE(bar_kit, m) {
  m.doc() = "Intraday bars of the intraday analytics service and event windows around them.";
  glue::import_as(m, "os");
  glue::import_as(m, "warnings");
  glue::import_as(m, "pandas", "pd");
  glue::import_from(m, "pandas.tseries.offsets", "DateOffset");
  glue::import_from(m, "datetime", "timedelta");
  const bool show = glue::show_warnings();
  m.attr("SHOW_WARNINGS") = show;
  glue::guarded(glue::Guard::any_exception, show, "[bqia] 'bqia' is not installed.",
                [&] { glue::import_as(m, "bloomberg.bquant.intraday", "bqia"); });
  glue::guarded(glue::Guard::any_exception, show, "'bql' is not installed.", [&] {
    py::object bql = glue::import_as(m, "bql");
    m.attr("bq") = bql.attr("Service")();
  });
  glue::import_from(m, "orvane_data.from_bqia.query_kit", "get_figi_to_id_mapping");
  glue::import_from(m, "orvane_data.from_bqia.query_kit", "round_event_datetime");

  py::list packages;
  for (const char* name : {"macro", "equity", "fixed-income"}) packages.append(name);
  m.attr("PACKAGES") = packages;

  glue::def<get_roll_config_sig>(m, roll_doc, get_roll_config);
  glue::def<set_intraday_config_sig>(m, config_doc, set_intraday_config);
  glue::def<get_id_mapping_sig>(m, mapping_doc, get_id_mapping);
  glue::def<get_intraday_bars_sig>(m, bars_doc, get_intraday_bars);
  glue::def<get_event_metadata_sig>(m, grid_doc, get_event_metadata);
  glue::def<filter_bars_around_events_sig>(m, windows_doc, filter_bars_around_events);
}
