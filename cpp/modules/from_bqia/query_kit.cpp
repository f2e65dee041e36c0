// Query-service utilities: calendar years of a date range, offset texts as
// time zones, event-time rounding, identifier/FIGI tables and the economic
// calendar fetched one year per request in a single batch.
//
// The calendar's four event columns are computed whole columns at a time
// (the road "query_kit.calendar_columns") where that gives the frame the
// element-by-element formulation gives; other release values take that
// formulation.
// clang-format off
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <datetime.h>  // after Python.h, which pybind11 brings
// clang-format on

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "../../core/minute_clock.hpp"
#include "../../core/ticks.hpp"
#include "../../glue/columns.hpp"
#include "../../glue/frame_columns.hpp"
#include "../../glue/function.hpp"
#include "../../glue/module_names.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/pandas_lines.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/roads.hpp"

namespace {

constexpr const char* no_timezone_message =
    "'TIMEZONE' column not found. Please set 'view' parameter to 'extended'.";

constexpr const char* calendar_columns_road = "query_kit.calendar_columns";

bool greater(const py::handle& a, const py::handle& b) { return compare(a, b, Py_GT); }

py::object negated(const py::handle& obj) {
  PyObject* r = PyNumber_Negative(obj.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// --- the zone each event stamp reports ----------------------------------------

// The offset periods of a pytz zone with transitions: the UTC instant (in
// microseconds) each period starts at and the zone variant a stamp of that
// period reports as its `tz`; nullopt for any other zone. pytz publishes no
// reader of its transitions, so its private tables are read here alone, and
// a pytz that changed shape raises RuntimeError rather than giving the wrong
// zone to every stamp.
struct ZonePeriods {
  Int64Array starts_us;
  py::list variants;
  bool since_ever = false;  // the first period stands for all time before it
};

std::optional<ZonePeriods> pytz_periods(const py::object& zone) {
  py::object dst_zone = py::module_::import("pytz.tzinfo").attr("DstTzInfo");
  if (!py::isinstance(zone, dst_zone)) return std::nullopt;
  for (const char* name : {"_utc_transition_times", "_transition_info", "_tzinfos"}) {
    if (!py::hasattr(zone, name)) {
      glue::raise(PyExc_RuntimeError, std::string("pytz's zones changed shape: no ") + name);
    }
  }
  py::list times = zone.attr("_utc_transition_times");
  py::list info = zone.attr("_transition_info");
  py::dict tzinfos = zone.attr("_tzinfos");
  ZonePeriods periods;
  periods.starts_us = glue::ticks_of_objects(times, "us");
  for (py::handle key : info) periods.variants.append(tzinfos[key]);
  // a first transition in year 1 stands for "since ever", as pandas reads it
  periods.since_ever = py::len(times) > 0 && py::int_(times[0].attr("year")).cast<int>() == 1;
  return periods;
}

// The period each UTC instant (ticks of `tps`) falls in, -1 before the first.
Int64Array period_positions(const ZonePeriods& periods, const Int64Array& utc, std::int64_t tps) {
  const std::int64_t scale = tps / 1'000'000;
  std::vector<std::int64_t> bounds;
  auto micros = view(periods.starts_us);
  for (std::size_t i = 0; i < micros.size(); ++i) {
    const std::int64_t us = micros[i];
    if ((i == 0 && periods.since_ever) || us < (INT64_MIN + 1) / scale) {
      bounds.push_back(core::not_a_time + 1);
    } else if (us > INT64_MAX / scale) {
      bounds.push_back(INT64_MAX);
    } else {
      bounds.push_back(us * scale);
    }
  }
  Int64Array positions = glue::new_int64(utc.size());
  core::period_of(bounds, view(utc), glue::writable(positions));
  return positions;
}

// The zone object each stamp's Timestamp reports as its `tz`. A zone with
// offset transitions reports, per stamp, the variant of the period the
// instant falls in (as pandas boxes it); any other zone reports itself.
py::object zone_objects(const py::object& np, const Int64Array& utc, std::int64_t tps,
                        const py::object& event_datetime) {
  auto periods = pytz_periods(event_datetime.attr("dt").attr("tz"));
  if (!periods) {
    py::object variants = np.attr("empty")(1, "dtype"_a = "object");
    if (utc.size() > 0) variants[py::int_(0)] = event_datetime.attr("iloc")[py::int_(0)].attr("tz");
    return np.attr("take")(variants, np.attr("zeros")(utc.size(), "dtype"_a = "int64"));
  }
  Int64Array positions = period_positions(*periods, utc, tps);
  auto p = view(positions);
  if (std::any_of(p.begin(), p.end(), [](std::int64_t k) { return k < 0; })) {
    // a stamp before every transition: let pandas box each one
    py::list out;
    for (py::handle stamp : glue::object_values(event_datetime)) out.append(stamp.attr("tz"));
    return np.attr("array")(out, "dtype"_a = "object");
  }
  py::object variants = np.attr("empty")(py::len(periods->variants), "dtype"_a = "object");
  for (std::size_t i = 0; i < py::len(periods->variants); ++i)
    variants[py::int_(i)] = periods->variants[i];
  return np.attr("take")(variants, positions);
}

// The calendar dates and times of day (datetime.date / datetime.time, as a
// Timestamp's date() and time() give them) of wall-clock stamps without NaT.
// Each distinct value is made once and shared.
void wall_dates_and_times(const py::object& np, const Int64Array& wall, std::int64_t tps,
                          py::object& dates, py::object& times) {
  const auto n = static_cast<std::size_t>(wall.size());
  Int64Array days = glue::new_int64(n);
  std::vector<std::int64_t> tick_of_day(n);
  core::split_days(view(wall), tps, glue::writable(days), tick_of_day);

  // dates: each distinct day made once
  py::tuple distinct = np.attr("unique")(days, "return_inverse"_a = true);
  dates = np.attr("take")(glue::date_objects(distinct[0]), distinct[1]);

  std::unordered_map<std::int64_t, std::int64_t> seen;
  std::vector<std::int64_t> distinct_ticks;
  Int64Array which = glue::new_int64(n);
  std::int64_t* out = which.mutable_data();
  for (std::size_t i = 0; i < n; ++i) {
    auto [it, fresh] = seen.try_emplace(tick_of_day[i], static_cast<std::int64_t>(seen.size()));
    if (fresh) distinct_ticks.push_back(tick_of_day[i]);
    out[i] = it->second;
  }
  py::object time_objects = np.attr("empty")(distinct_ticks.size(), "dtype"_a = "object");
  for (std::size_t k = 0; k < distinct_ticks.size(); ++k) {
    const std::int64_t t = distinct_ticks[k];
    const std::int64_t whole = t / tps;                               // seconds since midnight
    const int micro = static_cast<int>((t % tps) * 1'000'000 / tps);  // finer ticks are dropped
    PyObject* made =
        PyTime_FromTime(static_cast<int>(whole / 3600), static_cast<int>(whole / 60 % 60),
                        static_cast<int>(whole % 60), micro);
    if (!made) throw py::error_already_set();
    time_objects[py::int_(k)] = py::reinterpret_steal<py::object>(made);
  }
  times = np.attr("take")(time_objects, which);
}

// --- the event columns ------------------------------------------------------

// Why the release times cannot take the whole-column road, or nullptr when
// they can: that road gives the element-by-element frame only for naive
// stamps of one of the two units, without NaT, a day or more inside the
// datetime64 range (localising by a fixed offset and clearing the seconds
// then never leave it), in a calendar zone of one fixed offset (localising
// then never fails), and while rounding is the module's own.
const char* calendar_columns_ineligible(const std::optional<glue::Stamps>& stamps,
                                        const py::object& calendar_zone, bool own_rounding) {
  if (!stamps || !stamps->naive() || (stamps->unit != "ns" && stamps->unit != "us")) {
    return "RELEASE_DATE_TIME is not naive datetime64[ns] or datetime64[us]";
  }
  auto t = stamps->span();
  if (std::find(t.begin(), t.end(), core::not_a_time) != t.end())
    return "RELEASE_DATE_TIME holds NaT";
  const std::int64_t day = 86'400 * stamps->per_second;
  auto [low, high] = std::minmax_element(t.begin(), t.end());
  if (low != t.end() && (*low < core::not_a_time + day || *high > INT64_MAX - day)) {
    return "RELEASE_DATE_TIME lies within a day of the datetime64 range";
  }
  if (calendar_zone.attr("utcoffset")(py::none()).is_none())
    return "the calendar zone has no fixed offset";
  if (!own_rounding) return "round_event_datetime is replaced";
  return nullptr;
}

// The four event columns, whole columns at a time (see calendar_columns_ineligible).
void event_columns_whole(py::object& frame, const py::object& column,
                         const py::object& calendar_zone, const py::object& target_zone) {
  py::object np = py::module_::import("numpy");
  py::object aware = column.attr("dt")
                         .attr("tz_localize")(calendar_zone)
                         .attr("dt")
                         .attr("tz_convert")(target_zone);
  const glue::Stamps instants = glue::datetime_stamps(aware).value();
  const glue::Stamps wall =
      glue::datetime_stamps(aware.attr("dt").attr("tz_localize")(py::none())).value();
  const std::int64_t tps = instants.per_second;
  Int64Array truncated = glue::new_int64(instants.ticks.size());
  if (!core::clear_seconds(wall.span(), instants.span(), tps, glue::writable(truncated))) {
    glue::raise(PyExc_RuntimeError,
                "a release time left the datetime64 range on the whole-column road");
  }

  py::object index = column.attr("index");
  py::object event_datetime = glue::stamps_series(truncated, instants, index);
  py::object dates, times;
  wall_dates_and_times(
      np, glue::datetime_stamps(event_datetime.attr("dt").attr("tz_localize")(py::none()))->ticks,
      tps, dates, times);
  glue::set_column(frame, py::str("event_datetime"),
                   glue::as_built_from_stamp_objects(event_datetime));
  glue::set_column(frame, py::str("event_date"), glue::object_series(dates, index));
  glue::set_column(frame, py::str("event_time"), glue::object_series(times, index));
  glue::set_column(frame, py::str("event_timezone"),
                   zone_objects(np, truncated, tps, event_datetime));
}

// Element by element, the way the columns are defined: each value parsed and
// localised, or (when that fails anywhere) each value converted; then rounded
// by the module's own round_event_datetime, and its date, time and zone read.
void event_columns_elementwise(const glue::Call& c, py::object& frame, const py::object& column,
                               const py::object& calendar_zone, const py::object& target_zone) {
  py::object event_datetime;
  py::cpp_function localize([&c, calendar_zone, target_zone](py::object value) {
    return c.global<"pd">()
        .attr("to_datetime")(value)
        .attr("tz_localize")(calendar_zone)
        .attr("tz_convert")(target_zone);
  });
  try {
    event_datetime = column.attr("apply")(localize);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  if (!event_datetime) {
    py::cpp_function convert([&c, calendar_zone, target_zone](py::object value) {
      return c.global<"pd">()
          .attr("to_datetime")(value)
          .attr("tz_convert")(calendar_zone)
          .attr("tz_convert")(target_zone);
    });
    event_datetime = column.attr("apply")(convert);
  }
  event_datetime = event_datetime.attr("apply")(c.global<"round_event_datetime">());
  glue::set_column(frame, py::str("event_datetime"), event_datetime);
  glue::set_column(frame, py::str("event_date"),
                   event_datetime.attr("apply")(
                       py::cpp_function([](py::object v) { return v.attr("date")(); })));
  // a release without a time keeps a missing time of day, as pandas' own
  // time accessor gives it, instead of failing the whole calendar
  py::object nat = c.global<"pd">().attr("NaT");
  glue::set_column(frame, py::str("event_time"),
                   event_datetime.attr("apply")(py::cpp_function([nat](py::object v) -> py::object {
                     return v.is(nat) ? nat : v.attr("time")();
                   })));
  glue::set_column(
      frame, py::str("event_timezone"),
      event_datetime.attr("apply")(py::cpp_function([](py::object v) { return v.attr("tz"); })));
}

// An empty calendar still gets the four columns, typed as a filled one would be.
void event_columns_empty(const py::object& pd, py::object& frame, const py::object& target_zone) {
  py::object index = frame.attr("index");
  glue::set_column(frame, py::str("event_datetime"),
                   pd.attr("Series")(py::list(), "index"_a = index,
                                     "dtype"_a = pd.attr("DatetimeTZDtype")("ns", target_zone)));
  for (const char* name : {"event_date", "event_time", "event_timezone"}) {
    glue::set_column(frame, py::str(name), glue::object_series(py::list(), index));
  }
}

// True while the module's round_event_datetime is the one it was born with.
bool own_rounding(const glue::Call& c) {
  py::object rounding = c.global<"round_event_datetime">();
  return py::isinstance(rounding,
                        py::module_::import("orvane_data._glue").attr("native_function")) &&
         rounding.attr("__globals__").ptr() == c.globals().ptr() &&
         glue::equals_text(rounding.attr("__qualname__"), "round_event_datetime");
}

// The four event columns of a calendar in `event_timezone`.
void add_event_columns(const glue::Call& c, py::object& frame, const py::object& event_timezone) {
  py::object pd = c.global<"pd">();
  if (!contains(frame.attr("columns"), py::str("TIMEZONE")))
    glue::raise(PyExc_Exception, no_timezone_message);
  if (py::len(frame) == 0) {
    // nothing to take a zone from: the columns, without rows
    event_columns_empty(pd, frame, c.global<"pytz">().attr("timezone")(event_timezone));
    return;
  }
  py::object calendar_zone =
      c.global<"convert_tz">()(frame[py::str("TIMEZONE")].attr("unique")()[py::int_(0)]);
  py::object target_zone = c.global<"pytz">().attr("timezone")(event_timezone);
  py::object column = frame[py::str("RELEASE_DATE_TIME")];
  if (const char* reason = calendar_columns_ineligible(glue::datetime_stamps(column), calendar_zone,
                                                       own_rounding(c))) {
    glue::pandas_road(calendar_columns_road, reason);
    event_columns_elementwise(c, frame, column, calendar_zone, target_zone);
    return;
  }
  event_columns_whole(frame, column, calendar_zone, target_zone);
  glue::native_road(calendar_columns_road);
}

// --- the module's functions ---------------------------------------------------

constexpr const char* split_date_range_doc =
    "Calendar years touched by a date range, from the dates of a probe series.";

constexpr glue::Signature split_date_range_sig{"_split_date_range(bq, start, end)"};
py::object split_date_range(glue::CallOf<split_date_range_sig>& c) {
  py::object bq = c.arg<"bq">();
  py::object item = bq.attr("data").attr("px_last")(
      "dates"_a = bq.attr("func").attr("range")(c.arg<"start">(), c.arg<"end">()));
  py::object request = c.global<"bql">().attr("Request")("JPY Curncy", item);
  // sorted into a new frame: pandas deprecates sorting in place
  py::object frame =
      bq.attr("execute")(request)[py::int_(0)].attr("df")().attr("sort_values")("DATE");
  py::object dates = frame[py::str("DATE")].attr("tolist")();
  py::object start_year = dates[py::int_(0)].attr("year");
  py::object end_year = dates[py::int_(-1)].attr("year");
  if (greater(end_year, start_year))
    return builtin("list")(builtin("range")(start_year, end_year + py::int_(1)));
  py::list years;
  years.append(end_year);
  return years;
}

constexpr const char* invert_sign_doc = "The opposite sign text: '-' gives '+', '+' gives '-'.";

constexpr glue::Signature invert_sign_sig{"_invert_sign(sign)"};
py::object invert_sign(glue::CallOf<invert_sign_sig>& c) {
  const py::object& sign = c.arg<"sign">();
  if (glue::equals_text(sign, "-")) return py::str("+");
  if (glue::equals_text(sign, "+")) return py::str("-");
  return py::none();
}

constexpr const char* convert_tz_doc =
    R"doc(Time zone of an offset text such as 'GMT+08:00' (whole hours; minutes dropped).

Parameters
----------
custom_timezone : str
    An offset text: a sign, then hours, optionally ``:minutes``.

Returns
-------
pytz zone
    ``Etc/GMT`` with the opposite sign (the tz database writes zones east
    of Greenwich with a minus) and the whole hours.

Raises
------
IndexError
    If the text holds no sign.
ValueError
    If the hours are not a number.

Examples
--------
>>> from orvane_data.from_bqia import query_kit
>>> query_kit.convert_tz("GMT+08:00"), query_kit.convert_tz("GMT-05:30")
(<StaticTzInfo 'Etc/GMT-8'>, <StaticTzInfo 'Etc/GMT+5'>))doc";

constexpr glue::Signature convert_tz_sig{"convert_tz(custom_timezone)"};
py::object convert_tz(glue::CallOf<convert_tz_sig>& c) {
  const py::object& text = c.arg<"custom_timezone">();
  py::object re = c.global<"re">();
  py::object first = re.attr("findall")(R"(\-|\+)", text)[py::int_(0)];
  py::object sign = c.global<"_invert_sign">()(first);
  py::object piece = re.attr("split")(R"(\-|\+|\:)", text)[py::int_(1)];
  py::object hours = builtin("int")(piece);
  py::object name = py::str("Etc/GMT") + sign + py::str(hours);
  return c.global<"pytz">().attr("timezone")(name);
}

constexpr const char* round_event_datetime_doc =
    R"doc(Move a date-time off its seconds: back to the minute, or on to the next one.

Parameters
----------
datetime_obj : datetime.datetime or pd.Timestamp
    The date-time.
round_down : bool, default True
    Back to the start of its minute, or on to the start of the next.

Returns
-------
datetime.datetime or pd.Timestamp
    The value moved by its ``second`` field (its fraction of a second
    kept), or the value itself when that field is 0.

Raises
------
AttributeError
    If the value has no ``second`` field.

Examples
--------
>>> import pandas as pd
>>> from orvane_data.from_bqia import query_kit
>>> query_kit.round_event_datetime(pd.Timestamp("2024-06-07 08:30:45"))
Timestamp('2024-06-07 08:30:00')
>>> query_kit.round_event_datetime(pd.Timestamp("2024-06-07 08:30:45"), round_down=False)
Timestamp('2024-06-07 08:31:00'))doc";

constexpr glue::Signature round_event_datetime_sig{
    "round_event_datetime(datetime_obj, round_down=True)"};
py::object round_event_datetime(glue::CallOf<round_event_datetime_sig>& c) {
  const py::object& value = c.arg<"datetime_obj">();
  py::object second = value.attr("second");
  if (!greater(second, py::int_(0))) return value;
  py::object timedelta = c.global<"dt">().attr("timedelta");
  py::object back = negated(second);
  if (truthy(c.arg<"round_down">())) return value + timedelta("seconds"_a = back);
  return value + timedelta("seconds"_a = back, "minutes"_a = 1);
}

constexpr const char* on_request_error_doc =
    "Failure callable for batch requests: ignores the failed request.";

constexpr glue::Signature on_request_error_sig{"_on_request_error(*args)"};
py::object on_request_error(glue::CallOf<on_request_error_sig>&) { return py::none(); }

constexpr const char* get_id_to_figi_mapping_doc =
    R"doc(Map identifiers to FIGI codes, suffixing '.BGN' to the FIGIs of chosen rows.

Parameters
----------
universe : str or list of str
    The identifiers, as the query service takes them.
figi_col_name : str, default "figi"
    The name of the FIGI column.
id_col_name : str, default "parsekey"
    The name the identifier column is given.
tickers_to_add_pcs : collection of str, optional
    The identifiers whose FIGI gets the suffix; by default currencies and
    corporate bonds (identifiers ending in "Curncy" or "Corp", any case).
    A missing FIGI stays missing.

Returns
-------
pd.DataFrame
    One row per identifier: ``id_col_name`` and ``figi_col_name``.

Raises
------
NameError
    If the module has no query service ``bq`` (or library ``bql``).

Examples
--------
With the simulated services (``orvane_data.simulated``) standing in:

>>> from orvane_data.from_bqia import query_kit
>>> query_kit.get_id_to_figi_mapping(["JPY Curncy", "IBM US Equity"])["figi"].tolist()
['OVGQQHQ91KZ7.BGN', 'OVG18RTFMSF5'])doc";

// Whether the FIGI of identifier `id` gets the '.BGN' suffix: the chosen
// identifiers when given, else currencies and corporate bonds.
bool takes_suffix(const py::object& id, const py::object& chosen) {
  if (!chosen.is_none()) return contains(chosen, id);
  py::object word = id.attr("split")(" ")[py::int_(-1)].attr("lower")();
  return glue::equals_text(word, "curncy") || glue::equals_text(word, "corp");
}

constexpr glue::Signature get_id_to_figi_mapping_sig{
    "get_id_to_figi_mapping(universe, figi_col_name='figi', id_col_name='parsekey', "
    "tickers_to_add_pcs=None)"};
py::object get_id_to_figi_mapping(glue::CallOf<get_id_to_figi_mapping_sig>& c) {
  py::object bq = c.global<"bq">();
  auto [figi_col, chosen] = c.args<"figi_col_name", "tickers_to_add_pcs">();
  py::dict items;
  items[figi_col] = bq.attr("data").attr("ID_BB_GLOBAL")();
  py::object request = c.global<"bql">().attr("Request")(c.arg<"universe">(), items);
  py::object frame =
      bq.attr("execute")(request).attr("get")(figi_col).attr("df")().attr("reset_index")();

  py::object pd = c.global<"pd">();
  py::list ids = frame[py::str("ID")].attr("tolist")();
  py::list figis = frame[figi_col].attr("tolist")();
  if (py::len(ids) > 0) {
    py::list values;
    for (std::size_t i = 0; i < py::len(ids); ++i) {
      py::object id = ids[i], figi = figis[i];
      // a missing FIGI stays missing rather than becoming "nan.BGN"
      const bool suffix = takes_suffix(id, chosen) && !truthy(pd.attr("isna")(figi));
      values.append(suffix ? py::object(py::str(figi) + py::str(".BGN")) : figi);
    }
    glue::set_column(frame, figi_col, pd.attr("Series")(values, "index"_a = frame.attr("index")));
  }
  py::dict rename;
  rename["ID"] = c.arg<"id_col_name">();
  return frame.attr("rename")("columns"_a = rename);
}

constexpr const char* get_figi_to_id_mapping_doc =
    R"doc(Map FIGI codes to one identifier data item (by default the name).

Parameters
----------
universe : str or list of str
    The FIGI codes.
figi_col_name : str, default "figi"
    The name the FIGI column is given.
id_col_name : str, default "short_name"
    The name of the identifier column.
id_data_item : str, default "name"
    The query service's data item to read (``"name"``,
    ``"parsekyable_des"``, ...).

Returns
-------
pd.DataFrame
    One row per FIGI: ``figi_col_name`` and ``id_col_name``.

Raises
------
NameError
    If the module has no query service ``bq`` (or library ``bql``).
AttributeError
    If the service has no data item ``id_data_item``.

Examples
--------
With the simulated services (``orvane_data.simulated``) standing in:

>>> from orvane_data.from_bqia import query_kit
>>> query_kit.get_figi_to_id_mapping(["OVG18RTFMSF5"])["short_name"].tolist()
['International Business Machines Corp'])doc";

constexpr glue::Signature get_figi_to_id_mapping_sig{
    "get_figi_to_id_mapping(universe, figi_col_name='figi', id_col_name='short_name', "
    "id_data_item='name')"};
py::object get_figi_to_id_mapping(glue::CallOf<get_figi_to_id_mapping_sig>& c) {
  py::object bq = c.global<"bq">();
  const py::object& id_col = c.arg<"id_col_name">();
  py::dict items;
  items[id_col] = py::getattr(bq.attr("data"), c.arg<"id_data_item">())();
  py::object request = c.global<"bql">().attr("Request")(c.arg<"universe">(), items);
  py::object frame =
      bq.attr("execute")(request).attr("get")(id_col).attr("df")().attr("reset_index")();
  py::dict rename;
  rename["ID"] = c.arg<"figi_col_name">();
  return frame.attr("rename")("columns"_a = rename);
}

constexpr const char* get_eco_calendar_data_doc =
    R"doc(Economic-calendar releases of the calendar years a date range touches.

Parameters
----------
bq : query service
    The service the requests go to.
universe : str or list of str
    The regions or countries, as the service takes them.
start, end : str
    The date range; every calendar year it touches is fetched whole.
tickers : list of str, optional
    Only the releases of these event tickers.
subtype, relevancy, view : str
    Passed to the service's calendar item; ``view="extended"`` brings the
    ``TIMEZONE`` column that ``event_timezone`` needs.
event_timezone : str, optional
    When given, four columns are added: ``event_datetime`` (the release
    time in that zone, moved back to its minute), ``event_date``,
    ``event_time`` and ``event_timezone`` (the zone each stamp reports).
verbose : bool, default False
    Print what is being fetched.

Returns
-------
pd.DataFrame
    The releases with an ``ACTUAL`` value, one request per year in a single
    batch; years whose request failed are left out.

Raises
------
Exception
    If ``event_timezone`` is given but the frame has no ``TIMEZONE``
    column.
ValueError
    If no year's request succeeded (pandas' error for nothing to concatenate).

Warns
-----
DataWarning
    For each ticker of ``tickers`` without a release in the frame: "no
    release of ticker 'X' from <start> to <end>", followed by "; closest:"
    and up to three tickers the calendar holds in those years that differ
    by a letter or two, where the service lists them.

Examples
--------
With the simulated services (``orvane_data.simulated``) standing in:

>>> from orvane_data.from_bqia import query_kit
>>> from orvane_data.simulated import bql
>>> calendar = query_kit.get_eco_calendar_data(bql.Service(), ["US"], "2024-03-01", "2024-03-31",
...                                            tickers=["NFP TCH Index"], event_timezone="America/New_York")
>>> calendar[["ticker", "event_datetime", "event_time"]].head(3)
           ticker            event_datetime event_time
ID
US  NFP TCH Index 2024-01-05 08:30:00-05:00   08:30:00
US  NFP TCH Index 2024-02-02 08:30:00-05:00   08:30:00
US  NFP TCH Index 2024-03-01 08:30:00-05:00   08:30:00)doc";

constexpr glue::Signature get_eco_calendar_data_sig{
    "get_eco_calendar_data(bq, universe, start, end, tickers=None, subtype='all', "
    "relevancy='medium', view='extended', event_timezone=None, verbose=False)"};

// One calendar request per year, the tickers (when given) matched in each.
py::list calendar_requests(const glue::CallOf<get_eco_calendar_data_sig>& c, const py::object& bq,
                           const py::object& years, bool verbose, bool matched = true) {
  const py::object tickers = matched ? c.arg<"tickers">() : py::object(py::none());
  py::list requests;
  for (py::handle year : years) {
    py::str year_text(year);
    if (verbose) c.global<"print">()(py::str("getting data for year ") + year_text);
    py::object range =
        bq.attr("func").attr("range")(year_text + py::str("-01-01"), year_text + py::str("-12-31"));
    py::object item = bq.attr("data").attr("calendar")(
        "dates"_a = range, "subtype"_a = c.arg<"subtype">(), "relevancy"_a = c.arg<"relevancy">(),
        "view"_a = c.arg<"view">());
    if (!tickers.is_none())
      item = item.attr("matches")(item[py::str("ticker")].attr("in_")(tickers));
    py::dict items;
    items["Calendar"] = item;
    py::list addcols;
    addcols.append("surprise");
    addcols.append("subtype");
    py::dict preferences;
    preferences["addcols"] = addcols;
    requests.append(c.global<"bql">().attr("Request")(c.arg<"universe">(), items,
                                                      "preferences"_a = preferences));
  }
  return requests;
}

// The tickers the calendar holds in `years`, sorted, by the same requests
// without the ticker match; None when the service does not answer them.
py::object known_tickers(const glue::CallOf<get_eco_calendar_data_sig>& c, const py::object& bq,
                         const py::object& years) {
  try {
    py::list requests = calendar_requests(c, bq, years, false, false);
    py::object responses = builtin("list")(
        bq.attr("execute_many")(requests, "on_request_error"_a = c.global<"_on_request_error">()));
    py::set known;
    for (py::handle response : responses) {
      py::object frame = response[py::int_(0)].attr("df")();
      if (!contains(frame.attr("columns"), py::str("ticker"))) continue;
      for (py::handle ticker : frame[py::str("ticker")].attr("dropna")().attr("unique")())
        known.add(ticker);
    }
    return builtin("sorted")(known);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::none();
  }
}

// A DataWarning for each requested ticker without a release in `frame`,
// naming the closest tickers the calendar holds (difflib) where the service
// can list them.
void warn_tickers_without_releases(const glue::CallOf<get_eco_calendar_data_sig>& c,
                                   const py::object& bq, const py::object& years,
                                   const py::object& frame) {
  py::object tickers = c.arg<"tickers">();
  if (tickers.is_none() || !contains(frame.attr("columns"), py::str("ticker"))) return;
  if (py::isinstance<py::str>(tickers)) tickers = py::make_tuple(tickers);
  py::set found(frame[py::str("ticker")].attr("unique")());
  py::list missing;
  for (py::handle ticker : tickers) {
    if (!found.contains(ticker) && !contains(missing, ticker)) missing.append(ticker);
  }
  if (py::len(missing) == 0) return;
  const py::object known = known_tickers(c, bq, years);
  py::object close_matches = py::module_::import("difflib").attr("get_close_matches");
  for (py::handle ticker : missing) {
    std::string message = "no release of ticker " + std::string(py::repr(ticker)) + " from " +
                          std::string(py::str(c.arg<"start">())) + " to " +
                          std::string(py::str(c.arg<"end">()));
    if (!known.is_none() && py::isinstance<py::str>(ticker)) {
      // a ticker one or two letters apart (difflib's ratio at least 0.75),
      // not any that shares the word "Index"
      py::list close = close_matches(ticker, known, "n"_a = 3, "cutoff"_a = 0.75);
      std::string names;
      for (py::handle name : close)
        names += (names.empty() ? "" : ", ") + std::string(py::repr(name));
      if (!names.empty()) message += "; closest: " + names;
    }
    glue::data_warning(message);
  }
}

py::object get_eco_calendar_data(glue::CallOf<get_eco_calendar_data_sig>& c) {
  py::object bq = c.arg<"bq">();
  const bool verbose = truthy(c.arg<"verbose">());
  if (verbose) c.global<"print">()("Splitting the date range ...");
  py::object years = c.global<"_split_date_range">()(bq, c.arg<"start">(), c.arg<"end">());
  py::list requests = calendar_requests(c, bq, years, verbose);
  py::object responses = builtin("list")(
      bq.attr("execute_many")(requests, "on_request_error"_a = c.global<"_on_request_error">()));
  py::list frames;
  for (py::handle response : responses) frames.append(response[py::int_(0)].attr("df")());
  py::object frame = c.global<"pd">().attr("concat")(frames, "axis"_a = 0);
  py::list subset;
  subset.append("ACTUAL");
  frame = frame.attr("dropna")("subset"_a = subset);

  const py::object& event_timezone = c.arg<"event_timezone">();
  if (!event_timezone.is_none()) add_event_columns(c, frame, event_timezone);
  warn_tickers_without_releases(c, bq, years, frame);
  return frame;
}

}  // namespace

ORVANE_MODULE(query_kit, m) {
  m.doc() =
      "Query-service utilities: date ranges, offset time zones, event-time rounding,\n"
      "identifier/FIGI mapping and economic-calendar retrieval.";
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

  glue::def<split_date_range_sig>(m, split_date_range_doc, split_date_range, checked);
  glue::def<invert_sign_sig>(m, invert_sign_doc, invert_sign, checked);
  glue::def<convert_tz_sig>(m, convert_tz_doc, convert_tz, checked);
  glue::def<round_event_datetime_sig>(m, round_event_datetime_doc, round_event_datetime, checked);
  glue::def<on_request_error_sig>(m, on_request_error_doc, on_request_error, checked);
  glue::def<get_id_to_figi_mapping_sig>(m, get_id_to_figi_mapping_doc, get_id_to_figi_mapping,
                                        checked);
  glue::def<get_figi_to_id_mapping_sig>(m, get_figi_to_id_mapping_doc, get_figi_to_id_mapping,
                                        checked);
  glue::def<get_eco_calendar_data_sig>(m, get_eco_calendar_data_doc, get_eco_calendar_data,
                                       checked);
}
