// Query-service utilities: calendar years of a date range, offset texts as
// time zones, event-time rounding, identifier/FIGI tables and the economic
// calendar fetched one year per request in a single batch.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "../../core/minute_clock.hpp"
#include "../../glue/function.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/module_setup.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
using glue::compare;
using glue::contains;
using glue::truthy;
namespace core = orvane::core;
using namespace pybind11::literals;

namespace {

constexpr const char* module_doc =
    "Query-service utilities: date ranges, offset time zones, event-time rounding,\n"
    "identifier/FIGI mapping and economic-calendar retrieval.";

constexpr const char* no_timezone_message =
    "'TIMEZONE' column not found. Please set 'view' parameter to 'extended'.";

bool greater(const py::handle& a, const py::handle& b) { return compare(a, b, Py_GT); }

bool equals(const py::handle& a, const char* text) { return compare(a, py::str(text), Py_EQ); }

py::object negated(const py::handle& obj) {
  PyObject* r = PyNumber_Negative(obj.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// --- release times ----------------------------------------------------------

// Ticks per second of a naive numpy datetime64 dtype the fast path handles
// ("ns" or "us"), or 0.
std::int64_t ticks_per_second(const py::object& dtype) {
  py::object np_dtype = py::module_::import("numpy").attr("dtype");
  if (!py::isinstance(dtype, np_dtype)) return 0;
  const std::string text = py::str(dtype);
  if (text == "datetime64[ns]") return 1'000'000'000;
  if (text == "datetime64[us]") return 1'000'000;
  return 0;
}

std::span<const std::int64_t> ticks(const py::array_t<std::int64_t>& a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

py::array_t<std::int64_t> int64_view(const py::object& datetimes) {
  // a numpy datetime64 array reinterpreted as its int64 ticks
  return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(
      datetimes.attr("to_numpy")().attr("view")("i8"));
}

// The zone object each stamp's Timestamp reports as its `tz`. A zone with
// offset transitions reports, per stamp, the variant of the period the
// instant falls in (as pandas boxes it); any other zone reports itself.
py::object zone_objects(const py::object& np, const py::object& utc_ticks_array,
                        std::int64_t tps, const py::object& event_datetime) {
  auto utc = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(utc_ticks_array);
  const auto n = static_cast<std::size_t>(utc.size());
  py::object zone = event_datetime.attr("dt").attr("tz");
  py::array_t<std::int64_t> positions(static_cast<py::ssize_t>(n));
  std::span<std::int64_t> pos{positions.mutable_data(), n};
  py::object variants;
  if (py::hasattr(zone, "_utc_transition_times") && py::hasattr(zone, "_transition_info") &&
      py::hasattr(zone, "_tzinfos")) {
    py::list times = zone.attr("_utc_transition_times");
    py::list info = zone.attr("_transition_info");
    py::dict tzinfos = zone.attr("_tzinfos");
    auto micros = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(
        np.attr("array")(times, "dtype"_a = "M8[us]").attr("view")("i8"));
    const auto k = static_cast<std::size_t>(micros.size());
    std::vector<std::int64_t> bounds(k);
    const std::int64_t scale = tps / 1'000'000;
    // a first transition in year 1 stands for "since ever", as pandas reads it
    const bool since_ever = k > 0 && py::int_(times[0].attr("year")).cast<int>() == 1;
    for (std::size_t i = 0; i < k; ++i) {
      const std::int64_t us = micros.data()[i];
      if (i == 0 && since_ever) {
        bounds[i] = core::not_a_time + 1;
      } else if (us > INT64_MAX / scale) {
        bounds[i] = INT64_MAX;
      } else if (us < (INT64_MIN + 1) / scale) {
        bounds[i] = core::not_a_time + 1;
      } else {
        bounds[i] = us * scale;
      }
    }
    core::period_of(bounds, ticks(utc), pos);
    variants = np.attr("empty")(k, "dtype"_a = "object");
    for (std::size_t i = 0; i < k; ++i) {
      variants[py::int_(i)] = tzinfos[info[i]];
    }
    for (std::int64_t p : pos) {
      if (p < 0) {
        variants = py::object();
        break;
      }
    }
  } else {
    std::fill(pos.begin(), pos.end(), 0);
    variants = np.attr("empty")(1, "dtype"_a = "object");
    if (n > 0) variants[py::int_(0)] = event_datetime.attr("iloc")[py::int_(0)].attr("tz");
  }
  if (!variants) {
    // a stamp before every transition: let pandas box each one
    py::list out;
    for (py::handle stamp : event_datetime.attr("astype")("object")) out.append(stamp.attr("tz"));
    return np.attr("array")(out, "dtype"_a = "object");
  }
  return np.attr("take")(variants, positions);
}

// The calendar dates and times of day (datetime.date / datetime.time, as a
// Timestamp's date() and time() give them) of wall-clock stamps without NaT.
// Each distinct value is made once and shared.
void wall_dates_and_times(const py::object& np, const py::array_t<std::int64_t>& wall,
                          std::int64_t tps, py::object& dates, py::object& times) {
  const auto n = static_cast<std::size_t>(wall.size());
  py::array_t<std::int64_t> days(static_cast<py::ssize_t>(n));
  std::vector<std::int64_t> tick_of_day(n);
  core::split_days(ticks(wall), tps, {days.mutable_data(), n}, tick_of_day);

  // dates: numpy turns whole days (datetime64[D]) into datetime.date objects
  py::tuple distinct = np.attr("unique")(days, "return_inverse"_a = true);
  py::object day_objects = distinct[0].attr("astype")("M8[D]").attr("astype")("object");
  dates = np.attr("take")(day_objects, distinct[1]);

  std::unordered_map<std::int64_t, std::int64_t> seen;
  std::vector<std::int64_t> distinct_ticks;
  py::array_t<std::int64_t> which(static_cast<py::ssize_t>(n));
  std::int64_t* out = which.mutable_data();
  for (std::size_t i = 0; i < n; ++i) {
    auto [it, fresh] = seen.try_emplace(tick_of_day[i], static_cast<std::int64_t>(seen.size()));
    if (fresh) distinct_ticks.push_back(tick_of_day[i]);
    out[i] = it->second;
  }
  py::object time_objects = np.attr("empty")(distinct_ticks.size(), "dtype"_a = "object");
  for (std::size_t k = 0; k < distinct_ticks.size(); ++k) {
    const std::int64_t t = distinct_ticks[k];
    const std::int64_t whole = t / tps;  // seconds since midnight
    const int micro = static_cast<int>((t % tps) * 1'000'000 / tps);  // finer ticks are dropped
    PyObject* made = PyTime_FromTime(static_cast<int>(whole / 3600), static_cast<int>(whole / 60 % 60),
                                     static_cast<int>(whole % 60), micro);
    if (!made) throw py::error_already_set();
    time_objects[py::int_(k)] = py::reinterpret_steal<py::object>(made);
  }
  times = np.attr("take")(time_objects, which);
}

// The four event columns, whole columns at a time, for naive datetime64 values
// without NaT. Leaves the frame untouched when localising fails (the caller
// falls back to the element-by-element second attempt) or when a rounded
// stamp would leave the int64 range (the caller takes the defined path,
// whose pandas error reports it).
enum class Vectorised { done, localize_failed, out_of_range };

Vectorised event_columns_vectorised(const py::object& pd, py::object& frame, const py::object& column,
                              std::int64_t tps, const py::object& calendar_zone,
                              const py::object& target_zone) {
  py::object np = py::module_::import("numpy");
  py::object aware;
  try {
    aware = column.attr("dt").attr("tz_localize")(calendar_zone).attr("dt").attr("tz_convert")(
        target_zone);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return Vectorised::localize_failed;
  }
  auto wall = int64_view(aware.attr("dt").attr("tz_localize")(py::none()));
  auto utc = int64_view(aware.attr("dt").attr("tz_convert")(py::none()));
  const auto n = static_cast<std::size_t>(utc.size());
  py::array_t<std::int64_t> truncated(static_cast<py::ssize_t>(n));
  // a release within a minute of the earliest stamp: pandas' path reports it
  if (!core::clear_seconds(ticks(wall), ticks(utc), tps, {truncated.mutable_data(), n})) {
    return Vectorised::out_of_range;
  }

  const std::string unit = tps == 1'000'000'000 ? "M8[ns]" : "M8[us]";
  py::object event_datetime =
      pd.attr("Series")(truncated.attr("view")(unit), "index"_a = column.attr("index"))
          .attr("dt")
          .attr("tz_localize")("UTC")
          .attr("dt")
          .attr("tz_convert")(target_zone);
  py::object index = column.attr("index");
  py::object dates, times;
  wall_dates_and_times(np, int64_view(event_datetime.attr("dt").attr("tz_localize")(py::none())),
                       tps, dates, times);
  frame[py::str("event_datetime")] = event_datetime;
  frame[py::str("event_date")] = pd.attr("Series")(dates, "index"_a = index, "dtype"_a = "object");
  frame[py::str("event_time")] = pd.attr("Series")(times, "index"_a = index, "dtype"_a = "object");
  frame[py::str("event_timezone")] = zone_objects(np, truncated, tps, event_datetime);
  return Vectorised::done;
}

// Element by element, the way the columns are defined: each value parsed and
// localised, or (when that fails anywhere) each value converted; then rounded
// by the module's own round_event_datetime, and its date, time and zone read.
void event_columns_elementwise(const glue::Call& c, py::object& frame, const py::object& column,
                               const py::object& calendar_zone, const py::object& target_zone,
                               bool tried_localize) {
  py::object event_datetime;
  if (!tried_localize) {
    py::cpp_function localize([&c, calendar_zone, target_zone](py::object value) {
      return c.global("pd").attr("to_datetime")(value).attr("tz_localize")(calendar_zone).attr(
          "tz_convert")(target_zone);
    });
    try {
      event_datetime = column.attr("apply")(localize);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  if (!event_datetime) {
    py::cpp_function convert([&c, calendar_zone, target_zone](py::object value) {
      return c.global("pd").attr("to_datetime")(value).attr("tz_convert")(calendar_zone).attr(
          "tz_convert")(target_zone);
    });
    event_datetime = column.attr("apply")(convert);
  }
  event_datetime = event_datetime.attr("apply")(c.global("round_event_datetime"));
  frame[py::str("event_datetime")] = event_datetime;
  frame[py::str("event_date")] =
      event_datetime.attr("apply")(py::cpp_function([](py::object v) { return v.attr("date")(); }));
  // a release without a time keeps a missing time of day, as pandas' own
  // time accessor gives it, instead of failing the whole calendar
  py::object nat = c.global("pd").attr("NaT");
  frame[py::str("event_time")] = event_datetime.attr("apply")(py::cpp_function(
      [nat](py::object v) -> py::object { return v.is(nat) ? nat : v.attr("time")(); }));
  frame[py::str("event_timezone")] =
      event_datetime.attr("apply")(py::cpp_function([](py::object v) { return v.attr("tz"); }));
}

// An empty calendar still gets the four columns, typed as a filled one would be.
void event_columns_empty(const py::object& pd, py::object& frame, const py::object& target_zone) {
  py::object index = frame.attr("index");
  frame[py::str("event_datetime")] = pd.attr("Series")(
      py::list(), "index"_a = index,
      "dtype"_a = pd.attr("DatetimeTZDtype")("ns", target_zone));
  for (const char* name : {"event_date", "event_time", "event_timezone"}) {
    frame[py::str(name)] = pd.attr("Series")(py::list(), "index"_a = index, "dtype"_a = "object");
  }
}

}  // namespace

ORVANE_MODULE(query_kit, m) {
  m.doc() = module_doc;
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
  glue::import_as(m, "os");
  glue::import_as(m, "warnings");
  glue::import_as(m, "pandas", "pd");
  glue::import_as(m, "datetime", "dt");
  glue::import_as(m, "pytz");
  glue::import_as(m, "re");

  const bool show = glue::show_warnings();
  m.attr("SHOW_WARNINGS") = py::bool_(show);
  // `bql` stays bound when only the service creation fails.
  glue::guarded(glue::Guard::any_exception, show, "[bqia] 'bql' is not installed.", [&] {
    py::object bql = glue::import_as(m, "bql");
    m.attr("bq") = bql.attr("Service")();
  });

  glue::def(m, "_split_date_range(bq, start, end)",
            "Calendar years touched by a date range, from the dates of a probe series.",
            [](glue::Call& c) -> py::object {
              py::object bq = c.arg("bq");
              py::object item = bq.attr("data").attr("px_last")(
                  "dates"_a = bq.attr("func").attr("range")(c.arg("start"), c.arg("end")));
              py::object request = c.global("bql").attr("Request")("JPY Curncy", item);
              // sorted into a new frame: pandas deprecates sorting in place
              py::object frame =
                  bq.attr("execute")(request)[py::int_(0)].attr("df")().attr("sort_values")("DATE");
              py::object dates = frame[py::str("DATE")].attr("tolist")();
              py::object start_year = dates[py::int_(0)].attr("year");
              py::object end_year = dates[py::int_(-1)].attr("year");
              if (greater(end_year, start_year)) {
                return builtin("list")(
                    builtin("range")(start_year, end_year + py::int_(1)));
              }
              py::list years;
              years.append(end_year);
              return years;
            });

  glue::def(m, "_invert_sign(sign)", "The opposite sign text: '-' gives '+', '+' gives '-'.",
            [](glue::Call& c) -> py::object {
              const py::object& sign = c.arg("sign");
              if (equals(sign, "-")) return py::str("+");
              if (equals(sign, "+")) return py::str("-");
              return py::none();
            });

  glue::def(m, "convert_tz(custom_timezone)",
            "Time zone of an offset text such as 'GMT+08:00' (whole hours; minutes dropped).",
            [](glue::Call& c) -> py::object {
              const py::object& text = c.arg("custom_timezone");
              py::object re = c.global("re");
              py::object first = re.attr("findall")(R"(\-|\+)", text)[py::int_(0)];
              py::object sign = c.global("_invert_sign")(first);
              py::object piece = re.attr("split")(R"(\-|\+|\:)", text)[py::int_(1)];
              py::object hours = builtin("int")(piece);
              py::object name = py::str("Etc/GMT") + sign + py::str(hours);
              return c.global("pytz").attr("timezone")(name);
            });

  py::object round_event_datetime = glue::def(
      m, "round_event_datetime(datetime_obj, round_down=True)",
      "Move a date-time off its seconds: back to the minute, or on to the next one.",
      [](glue::Call& c) -> py::object {
        const py::object& value = c.arg("datetime_obj");
        py::object second = value.attr("second");
        if (!greater(second, py::int_(0))) return value;
        py::object timedelta = c.global("dt").attr("timedelta");
        py::object back = negated(second);
        if (truthy(c.arg("round_down"))) return value + timedelta("seconds"_a = back);
        return value + timedelta("seconds"_a = back, "minutes"_a = 1);
      });

  glue::def(m, "_on_request_error(*args)",
            "Failure callable for batch requests: ignores the failed request.",
            [](glue::Call&) -> py::object { return py::none(); });

  glue::def(
      m,
      "get_id_to_figi_mapping(universe, figi_col_name='figi', id_col_name='parsekey', "
      "tickers_to_add_pcs=None)",
      "Map identifiers to FIGI codes, suffixing '.BGN' to the FIGIs of chosen rows.",
      [](glue::Call& c) -> py::object {
        py::object bq = c.global("bq");
        const py::object& figi_col = c.arg("figi_col_name");
        const py::object& id_col = c.arg("id_col_name");
        const py::object& chosen = c.arg("tickers_to_add_pcs");
        py::object item = bq.attr("data").attr("ID_BB_GLOBAL")();
        py::dict items;
        items[figi_col] = item;
        py::object request = c.global("bql").attr("Request")(c.arg("universe"), items);
        py::object frame =
            bq.attr("execute")(request).attr("get")(figi_col).attr("df")().attr("reset_index")();

        py::object pd = c.global("pd");
        py::list ids = frame[py::str("ID")].attr("tolist")();
        py::list figis = frame[figi_col].attr("tolist")();
        if (py::len(ids) > 0) {
          py::list values;
          for (std::size_t i = 0; i < py::len(ids); ++i) {
            py::object id = ids[i], figi = figis[i];
            bool suffix;
            if (chosen.is_none()) {
              py::object word = id.attr("split")(" ")[py::int_(-1)].attr("lower")();
              suffix = equals(word, "curncy") || equals(word, "corp");
            } else {
              suffix = contains(chosen, id);
            }
            // a missing FIGI stays missing rather than becoming "nan.BGN"
            if (suffix && !truthy(pd.attr("isna")(figi))) {
              values.append(py::str(figi) + py::str(".BGN"));
            } else {
              values.append(figi);
            }
          }
          frame[figi_col] = pd.attr("Series")(values, "index"_a = frame.attr("index"));
        }
        py::dict rename;
        rename["ID"] = id_col;
        return frame.attr("rename")("columns"_a = rename);
      });

  glue::def(
      m,
      "get_figi_to_id_mapping(universe, figi_col_name='figi', id_col_name='short_name', "
      "id_data_item='name')",
      "Map FIGI codes to one identifier data item (by default the name).",
      [](glue::Call& c) -> py::object {
        py::object bq = c.global("bq");
        const py::object& id_col = c.arg("id_col_name");
        py::object item = py::getattr(bq.attr("data"), c.arg("id_data_item"))();
        py::dict items;
        items[id_col] = item;
        py::object request = c.global("bql").attr("Request")(c.arg("universe"), items);
        py::object frame =
            bq.attr("execute")(request).attr("get")(id_col).attr("df")().attr("reset_index")();
        py::dict rename;
        rename["ID"] = c.arg("figi_col_name");
        return frame.attr("rename")("columns"_a = rename);
      });

  glue::def(
      m,
      "get_eco_calendar_data(bq, universe, start, end, tickers=None, subtype='all', "
      "relevancy='medium', view='extended', event_timezone=None, verbose=False)",
      "Economic-calendar releases of the calendar years a date range touches.",
      [round_event_datetime](glue::Call& c) -> py::object {
        py::object bq = c.arg("bq");
        const bool verbose = truthy(c.arg("verbose"));
        if (verbose) c.global("print")("Splitting the date range ...");
        py::object years = c.global("_split_date_range")(bq, c.arg("start"), c.arg("end"));

        const py::object& tickers = c.arg("tickers");
        py::list requests;
        for (py::handle year : years) {
          py::str year_text(year);
          if (verbose) c.global("print")(py::str("getting data for year ") + year_text);
          py::object range = bq.attr("func").attr("range")(year_text + py::str("-01-01"),
                                                          year_text + py::str("-12-31"));
          py::object item = bq.attr("data").attr("calendar")(
              "dates"_a = range, "subtype"_a = c.arg("subtype"),
              "relevancy"_a = c.arg("relevancy"), "view"_a = c.arg("view"));
          if (!tickers.is_none()) {
            item = item.attr("matches")(item[py::str("ticker")].attr("in_")(tickers));
          }
          py::dict items;
          items["Calendar"] = item;
          py::list addcols;
          addcols.append("surprise");
          addcols.append("subtype");
          py::dict preferences;
          preferences["addcols"] = addcols;
          requests.append(c.global("bql").attr("Request")(c.arg("universe"), items,
                                                          "preferences"_a = preferences));
        }

        py::object responses = builtin("list")(bq.attr("execute_many")(
            requests, "on_request_error"_a = c.global("_on_request_error")));
        py::list frames;
        for (py::handle response : responses) frames.append(response[py::int_(0)].attr("df")());
        py::object pd = c.global("pd");
        py::object frame = pd.attr("concat")(frames, "axis"_a = 0);
        py::list subset;
        subset.append("ACTUAL");
        frame = frame.attr("dropna")("subset"_a = subset);

        const py::object& event_timezone = c.arg("event_timezone");
        if (event_timezone.is_none()) return frame;
        if (!contains(frame.attr("columns"), py::str("TIMEZONE"))) {
          glue::raise(PyExc_Exception, no_timezone_message);
        }
        if (py::len(frame) == 0) {
          // nothing to take a zone from: the columns, without rows
          py::object target_zone = c.global("pytz").attr("timezone")(event_timezone);
          event_columns_empty(pd, frame, target_zone);
          return frame;
        }
        py::object calendar_zone = c.global("convert_tz")(
            frame[py::str("TIMEZONE")].attr("unique")()[py::int_(0)]);
        py::object target_zone = c.global("pytz").attr("timezone")(event_timezone);

        py::object column = frame[py::str("RELEASE_DATE_TIME")];
        const std::int64_t tps = ticks_per_second(column.attr("dtype"));
        // The whole-column path gives the same frame as the element-by-element
        // one only for naive stamps of one of the two units, without NaT, and
        // while rounding is the module's own.
        const bool vectorisable =
            tps != 0 && !truthy(column.attr("isna")().attr("any")()) &&
            c.global("round_event_datetime").is(round_event_datetime);
        Vectorised outcome = Vectorised::localize_failed;
        if (vectorisable) {
          outcome = event_columns_vectorised(pd, frame, column, tps, calendar_zone, target_zone);
          if (outcome == Vectorised::done) return frame;
        }
        event_columns_elementwise(c, frame, column, calendar_zone, target_zone,
                                  vectorisable && outcome == Vectorised::localize_failed);
        return frame;
      });
}
