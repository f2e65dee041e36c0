// The S3 datasets: dated snapshots of the supply-chain relationships (gzip
// CSV objects, one per snapshot) and of the economist estimates (one Parquet
// object holding every snapshot), with their date helpers and the ticker/FIGI
// translation through the query service.
#include <pybind11/pybind11.h>

#include <string>

#include "../../core/civil_date.hpp"
#include "../../glue/classes.hpp"
#include "../../glue/columns.hpp"
#include "../../glue/frame_columns.hpp"
#include "../../glue/function.hpp"
#include "../../glue/module_names.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/text.hpp"

namespace {

constexpr const char* equity_bucket_default = "orvane-equity-base-data";
constexpr const char* macro_bucket_default = "orvane-macro-base-data";

constexpr const char* supply_chain_folder = "alt_data/supply_chain/dl/datasets";
constexpr const char* estimates_key =
    "economistEstimates/economistEstimatesHistory/current_economistEstimatesHistory.parquet";

// ---------------------------------------------------------------------------
// Date helpers and ticker/FIGI translation

constexpr const char* get_next_friday_doc =
    R"doc(Calculates the date of the next Friday from a given date string.

Parameters
----------
date_string : str
    A date written ``"%Y%m%d"``, such as ``"20240103"``.

Returns
-------
str
    The first Friday strictly after the date, written the same way; a
    Friday gives the Friday a week later.

Raises
------
TypeError
    If ``date_string`` is not a ``str``.
ValueError
    If the text does not match the format.
OverflowError
    If the next Friday lies after the year 9999.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> bucket_sets.get_next_friday("20240103"), bucket_sets.get_next_friday("20240105")
('20240105', '20240112'))doc";

constexpr glue::Signature get_next_friday_sig{"get_next_friday(date_string: str) -> str"};
py::object get_next_friday(glue::CallOf<get_next_friday_sig>& c) {
  const py::object& text = c.arg<"date_string">();
  // Parsing stays with the standard parser so that what it accepts and the
  // errors it raises are exactly the format's.
  py::object parsed = c.global<"datetime">().attr("strptime")(text, "%Y%m%d");
  const core::CivilDate date{parsed.attr("year").cast<int>(), parsed.attr("month").cast<int>(),
                             parsed.attr("day").cast<int>()};
  const core::CivilDate friday = core::next_friday(date);
  if (friday.year > 9999) glue::raise(PyExc_OverflowError, "date value out of range");
  return py::str(core::format_yyyymmdd(friday));
}

constexpr const char* find_closest_earlier_date_doc =
    R"doc(Finds the closest date in a sorted list that is earlier than the target date.

The list is searched by bisection, neither checked nor sorted; the target
itself counts when it is listed.

Parameters
----------
target_date_str : str
    The target date, ``"%Y%m%d"``.
date_list : list of str
    Dates written the same way, in ascending order.

Returns
-------
str or None
    The latest entry of ``date_list`` that is not after the target; None
    when every entry lies after it or the list is empty.

Raises
------
TypeError
    If ``target_date_str`` is not a ``str`` or ``date_list`` not a
    ``list``, or the entry found is not a ``str``.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> snapshots = ["20240105", "20240112", "20240119"]
>>> bucket_sets.find_closest_earlier_date("20240115", snapshots)
'20240112'
>>> print(bucket_sets.find_closest_earlier_date("20240101", snapshots))
None)doc";

constexpr glue::Signature find_closest_earlier_date_sig{
    "find_closest_earlier_date(target_date_str: str, date_list: list) -> Optional[str]"};
py::object find_closest_earlier_date(glue::CallOf<find_closest_earlier_date_sig>& c) {
  auto [target, dates] = c.args<"target_date_str", "date_list">();
  const auto insert_point =
      c.global<"bisect">().attr("bisect_right")(dates, target).cast<Py_ssize_t>();
  if (insert_point <= 0) return py::none();
  py::object entry = py::reinterpret_borrow<py::list>(dates)[insert_point - 1];
  if (!PyUnicode_Check(entry.ptr())) {
    glue::raise(PyExc_TypeError, "Expected str, got " + glue::type_name(entry));
  }
  return entry;
}

// The query language reads a list written the way Python prints it: items in
// single quotes, or in double quotes when the item holds a single quote.
py::object as_identifier_list(const py::object& ids) {
  if (PyUnicode_Check(ids.ptr())) {
    py::list one;
    one.append(ids);
    return one;
  }
  return ids;
}

constexpr const char* ticker_to_figi_doc =
    R"doc(Convert parsekey tickers to FIGI codes.

Sends one query, ``get(ID_BB_GLOBAL) for([...])``, to ``bq``.

Parameters
----------
tickers : list of str or str
    Parse-key tickers, or one ticker.
bq : bql.Service
    The query service asked.

Returns
-------
dict
    Each ticker, as the service echoes it, to its FIGI; missing where the
    service has none (the missing value of the running pandas' text column:
    NaN on pandas 3, None before).

Examples
--------
>>> import pandas as pd
>>> from orvane_data.from_s3 import bucket_sets
>>> figis = bucket_sets.ticker_to_figi(["IBM US Equity", "XYZ US Equity"], bucket_sets.bq)
>>> figis["IBM US Equity"], pd.isna(figis["XYZ US Equity"])
('...', True))doc";

constexpr glue::Signature ticker_to_figi_sig{"ticker_to_figi(tickers, bq) -> dict"};
py::object ticker_to_figi(glue::CallOf<ticker_to_figi_sig>& c) {
  py::object tickers = as_identifier_list(c.arg<"tickers">());
  // built as a Python text: the service receives the list's text as printed
  const py::str query = py::str("get(ID_BB_GLOBAL) for(") + py::str(tickers) + py::str(")");
  py::object response = c.arg<"bq">().attr("execute")(query);
  py::object frame = response[py::int_(0)].attr("df")();
  return frame["ID_BB_GLOBAL"].attr("to_dict")();
}

// "TICKER EXCH_CODE MARKET_SECTOR_DES" per row, missing where a part is. The
// parts are joined as object columns: a part that no answered row has comes as
// an all-missing column of no text type, which text addition refuses. Parts
// that are not text cannot be joined, as text addition would say.
py::object parse_keys(const glue::Call& c, const py::object& frame) {
  py::object infer_dtype = c.global<"pd">().attr("api").attr("types").attr("infer_dtype");
  auto part = [&](const char* name) {
    py::object column = glue::object_values(frame[name]);
    const std::string inferred = py::str(infer_dtype(column, "skipna"_a = true));
    if (inferred != "string" && inferred != "empty") {
      glue::raise(PyExc_TypeError, std::string("cannot join the parse key: ") + name +
                                       " holds values that are not text (" + inferred + ")");
    }
    return column;
  };
  py::list others;
  others.append(part("EXCH_CODE"));
  others.append(part("MARKET_SECTOR_DES"));
  return part("TICKER").attr("str").attr("cat")(others, "sep"_a = " ");
}

constexpr const char* figi_to_ticker_doc =
    R"doc(Convert FIGI codes to parsekey tickers.

Sends one query, ``get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for([...])``,
to ``bq``.

Parameters
----------
figis : list of str or str
    FIGI codes, or one code.
bq : bql.Service
    The query service asked.

Returns
-------
dict
    Each FIGI to ``"TICKER EXCH_CODE MARKET_SECTOR_DES"``; a missing part
    makes the ticker missing.

Raises
------
TypeError
    If the service answers a part with values that are not text.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> figis = bucket_sets.ticker_to_figi(["IBM US Equity", "AAPL US Equity"], bucket_sets.bq)
>>> list(bucket_sets.figi_to_ticker(list(figis.values()), bucket_sets.bq).values())
['IBM US Equity', 'AAPL US Equity'])doc";

constexpr glue::Signature figi_to_ticker_sig{"figi_to_ticker(figis, bq) -> dict"};
py::object figi_to_ticker(glue::CallOf<figi_to_ticker_sig>& c) {
  py::object figis = as_identifier_list(c.arg<"figis">());
  const py::str query =
      py::str("get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(") + py::str(figis) + py::str(")");
  py::object response = c.arg<"bq">().attr("execute")(query);
  py::list frames;
  for (py::handle item : response) frames.append(item.attr("df")());
  py::object frame = c.global<"pd">().attr("concat")(frames, "axis"_a = 1);
  glue::set_column(frame, py::str("parsekey"), parse_keys(c, frame));
  return frame["parsekey"].attr("to_dict")();
}

// ---------------------------------------------------------------------------
// Shared by both datasets

// The snapshot date to load: the latest listed one, or `as_of_date` without
// dashes, which must be listed (an assertion, skipped under `python -O`).
// `where` names the listing (bucket and prefix) in the errors: an empty
// listing is a ValueError naming it and the date asked for; an unlisted date
// keeps its assertion text, with a note of where it was looked for and the
// latest snapshot before it.
py::object resolve_snapshot_date(const glue::Call& c, const py::object& dates,
                                 const py::object& as_of_date, const std::string& where) {
  const py::object date =
      as_of_date.is_none() ? py::object(py::none()) : as_of_date.attr("replace")("-", "");
  if (py::len(dates) == 0) {
    const std::string asked = date.is_none() ? "the latest" : std::string(py::str(date));
    glue::raise(PyExc_ValueError, "no snapshot in " + where + " (asked for " + asked + ")");
  }
  py::object latest = c.global<"max">()(dates);
  if (date.is_none()) return latest;
  const bool asserts = py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0;
  if (asserts && !dates.contains(date)) {
    py::object before = py::none();
    for (py::handle listed : dates) {
      if (compare(listed, date, Py_LT) && (before.is_none() || compare(listed, before, Py_GT)))
        before = py::reinterpret_borrow<py::object>(listed);
    }
    PyErr_Format(PyExc_AssertionError, "%S is not valid. Valid snapshot dates: %R.", date.ptr(),
                 dates.ptr());
    py::error_already_set e;
    glue::add_note(e, "no snapshot " + std::string(py::str(date)) + " in " + where +
                          "; the latest before it: " +
                          (before.is_none() ? std::string("none") : std::string(py::str(before))));
    throw e;
  }
  return date;
}

// "s3://bucket/key".
std::string s3_location(const py::handle& bucket, const py::handle& key) {
  return "s3://" + std::string(py::str(bucket)) + "/" + std::string(py::str(key));
}

// A calendar-date bound from a date text: to_datetime's day, at midnight.
py::object day_bound(const glue::Call& c, const py::object& text) {
  py::object pd = c.global<"pd">();
  return pd.attr("Timestamp")(pd.attr("to_datetime")(text).attr("date")());
}

// The calendar day of each value of a date or date-time column, as naive
// midnight timestamps (wall-clock day for zoned values); missing stays NaT,
// which meets no bound.
py::object calendar_days(const glue::Call& c, const py::object& column) {
  py::object values = c.global<"pd">().attr("to_datetime")(column);
  py::object dt = values.attr("dt");
  if (!dt.attr("tz").is_none()) values = dt.attr("tz_localize")(py::none());
  return values.attr("dt").attr("normalize")();
}

py::object rows_where(const py::object& frame, const py::object& mask) {
  return frame[mask].attr("reset_index")("drop"_a = true);
}

py::object without_missing(const glue::Call& c, py::iterable values) {
  py::object isna = c.global<"pd">().attr("isna");
  py::list out;
  for (py::handle v : values) {
    if (!py::bool_(isna(v))) out.append(v);
  }
  return out;
}

// ---------------------------------------------------------------------------
// S3Data

constexpr const char* s3data_doc =
    R"doc(A base class for S3 data models.

An abstract class: a dataset loads its snapshot into ``data`` with
``_load_snapshot`` and filters it with ``get_data``, both of which a
subclass defines (``SPLC``, ``ECOEST``).

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> issubclass(bucket_sets.SPLC, bucket_sets.S3Data)
True
>>> bucket_sets.S3Data()
Traceback (most recent call last):
TypeError: Can't instantiate abstract class S3Data ...)doc";

constexpr const char* s3data_get_data_doc =
    R"doc(Return the loaded dataset, filtered.

Each dataset defines it with its own filters.

Parameters
----------
as_of_date : str
    A date the filter reads.

Returns
-------
pd.DataFrame
    The rows of ``data`` that pass the filter.

Raises
------
TypeError
    If ``as_of_date`` is not a ``str``.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> bucket_sets.S3Data.get_data.__isabstractmethod__
True
>>> bucket_sets.ECOEST().get_data(["CPI YOY Index"])["estimate"].tolist()
[3.1])doc";

py::object abstract(py::object method) {
  method.attr("__isabstractmethod__") = true;
  return method;
}

constexpr glue::Signature s3data_load_snapshot_sig{"_load_snapshot(self) -> None"};
constexpr glue::Signature s3data_get_data_sig{"get_data(self, as_of_date: str) -> pd.DataFrame"};
void define_s3data(py::module_& m) {
  py::dict ns;
  ns["__doc__"] = s3data_doc;
  ns["_load_snapshot"] = abstract(glue::method<s3data_load_snapshot_sig>(
      m, "S3Data", "Load the dataset's snapshot into ``data``.",
      [](glue::CallOf<s3data_load_snapshot_sig>&) { return py::none(); }, checked));
  ns["get_data"] = abstract(glue::method<s3data_get_data_sig>(
      m, "S3Data", s3data_get_data_doc,
      [](glue::CallOf<s3data_get_data_sig>&) -> py::object { return py::none(); }, checked));
  py::object abc = py::module_::import("abc");
  glue::make_class(m, "S3Data", py::make_tuple(m.attr("ABC")), ns, abc.attr("ABCMeta"));
}

// ---------------------------------------------------------------------------
// SPLC

constexpr const char* splc_doc =
    R"doc(Supply Chain/Competitor APIs.

One dated snapshot of a supply-chain dataset: the suppliers, customers or
competitors of companies, with the dates each relationship started and
ended. The snapshots lie in the bucket ``SPLC.bucket``, named by the
environment variable ORVANE_EQUITY_BUCKET when the module is imported
(default "orvane-equity-base-data"), one gzip CSV object per snapshot.

Parameters
----------
as_of_date : str, optional
    A listed snapshot date (yyyymmdd, dashes allowed); the latest snapshot
    when None.
dataset : str, default "supplier"
    ``"supplier"``, ``"customer"`` or ``"competitor"``.
bq : bql.Service, optional
    The query service ``get_data`` translates tickers with; None skips the
    translation.

Attributes
----------
data : pd.DataFrame
    The snapshot's rows; relationship dates stored as yyyymmdd numbers are
    read as dates.

Raises
------
TypeError
    If ``as_of_date`` is neither a ``str`` nor None, or ``dataset`` is not
    a ``str``.
ValueError
    If ``dataset`` is not one of the three, or a date column holds numbers
    that are not yyyymmdd dates.
AssertionError
    If ``as_of_date`` is not a listed snapshot (unless Python runs with
    ``-O``).
FileNotFoundError
    If the bucket does not exist.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> splc = bucket_sets.SPLC(as_of_date="2024-01-05")
>>> splc.dataset_name, len(splc.data)
('supplyChainHistoryV2', 3)
>>> splc.data.columns.tolist()
['ID_BB_GLOBAL', 'RELATIONSHIP', 'RELATED_FIGI', 'RELTNSHP_START_DT', 'RELTNSHP_END_DT'])doc";

constexpr const char* splc_file_path_doc =
    R"doc(Object key of one snapshot of a stored supply-chain dataset.

Parameters
----------
dataset_name : str
    The stored dataset, such as ``"supplyChainHistoryV2"``.
file_date : str
    The snapshot date, yyyymmdd.

Returns
-------
str
    The key of the snapshot's gzip CSV object within ``SPLC.bucket``.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> splc = bucket_sets.SPLC()
>>> splc.file_path_func("supplyChainHistoryV2", "20240112")
'alt_data/supply_chain/dl/datasets/supplyChainHistoryV2/snapshots/20240112/distributions/supplyChainHistoryV2.csv.gz')doc";

constexpr const char* splc_get_distinct_doc =
    R"doc(Snapshot dates of the dataset, in listing order.

Returns
-------
list of str
    The yyyymmdd date of each snapshot object, in S3's listing order (by
    key).

Raises
------
ValueError
    If an object key of the dataset's folder holds no snapshot date.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> bucket_sets.SPLC().get_distinct()
['20240105', '20240112'])doc";

constexpr const char* splc_init_doc =
    R"doc(Load one snapshot of a supply-chain dataset; the parameters are described on the class.)doc";

constexpr const char* splc_get_data_doc =
    R"doc(Relationships of the given companies, within the date bounds.

With both bounds a relationship stays when it started on or before
``start`` or ended on or after ``end``; with one bound only that test
applies; a missing date meets no bound.

Parameters
----------
tickers : list of str
    Parse-key tickers of the companies; read only with a query service.
start, end : str or None
    The date bounds, as ``pd.to_datetime`` reads them; None for no bound.

Returns
-------
pd.DataFrame
    With a query service, the rows of ``tickers`` (and, for suppliers and
    customers, of the dataset's relationship kind) with the added columns
    TICKER and RELATED_TICKER; without one, the rows of every company. The
    index runs from 0.

Raises
------
TypeError
    If ``tickers`` is not a ``list``, or ``start`` or ``end`` is neither a
    ``str`` nor None.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> splc = bucket_sets.SPLC(bq=bucket_sets.bq)
>>> tickers = ["IBM US Equity", "AAPL US Equity"]
>>> splc.get_data(tickers, None, None)[["TICKER", "RELATIONSHIP", "RELATED_TICKER"]]
           TICKER RELATIONSHIP  RELATED_TICKER
0   IBM US Equity     SUPPLIER  AAPL US Equity
1  AAPL US Equity     SUPPLIER  NVDA US Equity
>>> splc.get_data(tickers, "2022-01-01", None)[["TICKER", "RELATED_TICKER", "RELTNSHP_START_DT"]]
          TICKER  RELATED_TICKER RELTNSHP_START_DT
0  IBM US Equity  AAPL US Equity        2020-01-01)doc";

constexpr glue::Signature splc_init_sig{
    "__init__(self, as_of_date: Optional[str] = None, dataset: str = "
    "'supplier', bq=None) -> None"};
py::object splc_init(glue::CallOf<splc_init_sig>& c) {
  auto [self, as_of_date, dataset] = c.args<"self", "as_of_date", "dataset">();
  py::object dataset_name = self.attr("dataset_names").attr("get")(dataset);
  if (dataset_name.is_none()) {
    PyErr_Format(
        PyExc_ValueError,
        "`dataset`=%U is invalid. Only `suppliers` or `customers` or `competitors` are allowed.",
        dataset.ptr());
    throw py::error_already_set();
  }
  self.attr("dataset") = dataset;
  self.attr("dataset_name") = dataset_name;
  self.attr("bq") = c.arg<"bq">();
  self.attr("_load_snapshot")(as_of_date);
  return py::none();
}

constexpr glue::Signature splc_file_path_sig{
    "file_path_func(self, dataset_name, file_date) -> str"};
py::object splc_file_path(glue::CallOf<splc_file_path_sig>& c) {
  const std::string name = py::str(c.arg<"dataset_name">());
  const std::string date = py::str(c.arg<"file_date">());
  return py::str(std::string(supply_chain_folder) + "/" + name + "/snapshots/" + date +
                 "/distributions/" + name + ".csv.gz");
}

constexpr glue::Signature splc_get_distinct_sig{"get_distinct(self) -> List[str]"};
py::object splc_get_distinct(glue::CallOf<splc_get_distinct_sig>& c) {
  const py::object& self = c.arg<"self">();
  py::object keys = c.global<"list_s3_objects">()("folder_path"_a = self.attr("dataset_name"),
                                                  "bucket"_a = self.attr("bucket"),
                                                  "prefix"_a = self.attr("folder_path"));
  py::list file_dates;
  for (py::handle key : keys) {
    py::list parts = key.attr("split")("/");
    if (parts.size() < 7) {
      glue::raise(PyExc_ValueError, "object key " + py::repr(key).cast<std::string>() +
                                        " has no snapshot date: expected at least 7 '/'-separated "
                                        "parts, got " +
                                        std::to_string(parts.size()));
    }
    file_dates.append(parts[6]);
  }
  return file_dates;
}

// A stored date column as date-times. A CSV column of dates written as
// yyyymmdd numbers is read as numbers (floats when some are missing), which
// the date-time parser would take for nanoseconds since 1970: such a column is
// read as yyyymmdd, and a number column of any other form is refused.
py::object stored_dates(const glue::Call& c, const py::object& column, const char* name) {
  py::object pd = c.global<"pd">();
  const std::string kind = py::str(column.attr("dtype").attr("kind"));
  if (kind != "i" && kind != "u" && kind != "f") return pd.attr("to_datetime")(column);
  py::object present = column.attr("dropna")();
  const bool whole = glue::truthy(
      glue::compare_elementwise(present.attr("__mod__")(1), py::int_(0), Py_EQ).attr("all")());
  const bool eight_digits = glue::truthy(present.attr("between")(10000000, 99999999).attr("all")());
  if (!whole || !eight_digits) {
    glue::raise(PyExc_ValueError, std::string("date column '") + name +
                                      "' holds numbers that are not yyyymmdd dates");
  }
  py::dict parts;
  parts["year"] = column.attr("__floordiv__")(10000);
  parts["month"] = column.attr("__floordiv__")(100).attr("__mod__")(100);
  parts["day"] = column.attr("__mod__")(100);
  return pd.attr("to_datetime")(pd.attr("DataFrame")(parts));
}

constexpr glue::Signature splc_load_snapshot_sig{
    "_load_snapshot(self, as_of_date: Optional[str] = None) -> None"};
py::object splc_load_snapshot(glue::CallOf<splc_load_snapshot_sig>& c) {
  auto [self, as_of_date] = c.args<"self", "as_of_date">();
  py::object dates = self.attr("get_distinct")();
  const std::string listed =
      s3_location(self.attr("bucket"), py::str(self.attr("folder_path")) + py::str("/") +
                                           py::str(self.attr("dataset_name")) + py::str("/"));
  py::object date = resolve_snapshot_date(c, dates, as_of_date, listed);
  py::object file_path = self.attr("file_path_func")("dataset_name"_a = self.attr("dataset_name"),
                                                     "file_date"_a = date);
  py::object snapshot = c.global<"read_from_s3">()(
      "file_path"_a = file_path, "data_format"_a = "csv.gz", "bucket"_a = self.attr("bucket"),
      "prefix"_a = "", "by_chunks"_a = true, "chunksize"_a = 100000);
  for (const char* column : {"RELTNSHP_START_DT", "RELTNSHP_END_DT"}) {
    glue::set_column(snapshot, py::str(column),
                     stored_dates(c, snapshot[column], column).attr("dt").attr("date"));
  }
  self.attr("data") = snapshot;
  return py::none();
}

constexpr glue::Signature splc_get_data_sig{
    "get_data(self, tickers: list, start: Optional[str], end: Optional[str]) -> pd.DataFrame"};
py::object splc_get_data(glue::CallOf<splc_get_data_sig>& c) {
  auto [self, tickers, start, end] = c.args<"self", "tickers", "start", "end">();

  py::object data = self.attr("data");
  if (!start.is_none() || !end.is_none()) {
    py::object mask;
    if (!start.is_none()) {
      mask = glue::compare_elementwise(calendar_days(c, data["RELTNSHP_START_DT"]),
                                       day_bound(c, start), Py_LE);
    }
    if (!end.is_none()) {
      py::object ended = glue::compare_elementwise(calendar_days(c, data["RELTNSHP_END_DT"]),
                                                   day_bound(c, end), Py_GE);
      mask = mask ? (mask | ended) : ended;
    }
    data = rows_where(data, mask);
  }

  py::object bq = self.attr("bq");
  if (bq.is_none()) return data;

  py::object ticker_figis = c.global<"ticker_to_figi">()(tickers, bq);
  // A ticker the service could not translate has a missing FIGI, which must
  // not select the rows whose own FIGI is missing.
  py::object figis = without_missing(c, ticker_figis.attr("values")());
  py::object selected = data["ID_BB_GLOBAL"].attr("isin")(figis);
  const std::string dataset = py::str(self.attr("dataset"));
  if (dataset == "supplier" || dataset == "customer") {
    selected = selected & glue::compare_elementwise(data["RELATIONSHIP"],
                                                    self.attr("dataset").attr("upper")(), Py_EQ);
  }
  data = rows_where(data, selected);

  // Missing related FIGIs cannot be translated and have no text form the
  // service reads, so they are not sent.
  py::object related = without_missing(c, data["RELATED_FIGI"].attr("tolist")());
  py::object related_tickers = c.global<"figi_to_ticker">()(related, bq);

  py::dict figi_tickers;  // inverse map: the later ticker wins a shared FIGI
  for (auto item : py::reinterpret_borrow<py::dict>(ticker_figis)) {
    if (!py::bool_(c.global<"pd">().attr("isna")(item.second)))
      figi_tickers[item.second] = item.first;
  }
  glue::set_column(data, py::str("TICKER"), data["ID_BB_GLOBAL"].attr("map")(figi_tickers));
  glue::set_column(data, py::str("RELATED_TICKER"),
                   data["RELATED_FIGI"].attr("map")(related_tickers));
  return data;
}

void define_splc(py::module_& m) {
  py::object getenv = m.attr("os").attr("getenv");
  py::dict names;
  names["supplier"] = "supplyChainHistoryV2";
  names["customer"] = "supplyChainHistoryV2";
  names["competitor"] = "supplyChainCompetitorsHistory";

  py::dict ns;
  ns["__doc__"] = splc_doc;
  ns["bucket"] = getenv("ORVANE_EQUITY_BUCKET", equity_bucket_default);
  ns["folder_path"] = supply_chain_folder;
  ns["dataset_names"] = names;
  ns["file_path_func"] =
      glue::method<splc_file_path_sig>(m, "SPLC", splc_file_path_doc, splc_file_path, checked);
  ns["__init__"] = glue::method<splc_init_sig>(m, "SPLC", splc_init_doc, splc_init, checked);
  ns["get_distinct"] = glue::method<splc_get_distinct_sig>(m, "SPLC", splc_get_distinct_doc,
                                                           splc_get_distinct, checked);
  ns["_load_snapshot"] = glue::method<splc_load_snapshot_sig>(
      m, "SPLC", "Retrieve the latest snapshot.", splc_load_snapshot, checked);
  ns["get_data"] =
      glue::method<splc_get_data_sig>(m, "SPLC", splc_get_data_doc, splc_get_data, checked);
  glue::make_class(m, "SPLC", py::make_tuple(m.attr("S3Data")), ns, py::type::of(m.attr("S3Data")));
}

// ---------------------------------------------------------------------------
// ECOEST

constexpr const char* ecoest_doc =
    R"doc(Economist estimates APIs.

One dated snapshot of the economists' estimates of economic releases. The
history lies in the bucket ``ECOEST.bucket``, named by the environment
variable ORVANE_MACRO_BUCKET when the module is imported (default
"orvane-macro-base-data"), as one Parquet object holding every snapshot.
A snapshot date is a day: stamps carrying a time of day are listed by
their day (in their own zone) and loading that day selects every stamp
within it.

Parameters
----------
as_of_date : str, optional
    A listed snapshot date (yyyymmdd, dashes allowed); the latest snapshot
    when None.

Attributes
----------
data : pd.DataFrame
    The snapshot's rows.

Raises
------
TypeError
    If ``as_of_date`` is neither a ``str`` nor None.
AssertionError
    If ``as_of_date`` is not a listed snapshot (unless Python runs with
    ``-O``).

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> bucket_sets.ECOEST("2024-01-05").data[["column0", "dlSnapshotDate", "estimate"]]
         column0 dlSnapshotDate  estimate
0  NFP TCH Index     2024-01-05     170.0
1  CPI YOY Index     2024-01-05       3.2)doc";

constexpr const char* ecoest_init_doc =
    R"doc(Load one snapshot of the economist estimates; the parameter is described on the class.)doc";

constexpr const char* ecoest_get_distinct_doc =
    R"doc(Distinct values of one column of a Parquet object in S3.

Reads the object whole, then decodes the column one row group at a time,
with a progress bar per row group.

Parameters
----------
column : str
    The column's name.
bucket : str
    The bucket's name.
key : str
    The object's key.

Returns
-------
list
    The column's distinct values, in no particular order.

Raises
------
TypeError
    If an argument is not a ``str``.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> estimates = bucket_sets.ECOEST()
>>> dates = estimates.get_distinct("dlSnapshotDate", estimates.bucket, estimates.file_path)
>>> sorted(day.strftime("%Y%m%d") for day in dates)
['20240105', '20240112'])doc";

constexpr const char* ecoest_get_data_doc =
    R"doc(Estimates of the given event tickers, surveyed within the date bounds.

Parameters
----------
tickers : list of str
    Event tickers; an empty list keeps every event.
start, end : str, optional
    Calendar dates, as ``pd.to_datetime`` reads them; a survey meets them
    by its own calendar day, both bounds included. None for no bound.

Returns
-------
pd.DataFrame
    The snapshot's rows that pass, with ``column0`` shown as
    ``event_ticker``; the index runs from 0.

Raises
------
TypeError
    If ``tickers`` is not a ``list``, or ``start`` or ``end`` is neither a
    ``str`` nor None.

Examples
--------
>>> from orvane_data.from_s3 import bucket_sets
>>> estimates = bucket_sets.ECOEST()
>>> estimates.get_data(["NFP TCH Index"], start="2024-01-10", end="2024-01-10")
    event_ticker dlSnapshotDate economistSurveyTimestamp economist  estimate
0  NFP TCH Index     2024-01-12      2024-01-10 14:00:00       Ada     185.0)doc";

// Distinct values of one row group's column: deduplicated by the column
// engine first, so only the few distinct values become Python objects.
py::object distinct_values(const glue::Call& c, const py::object& values) {
  try {
    return c.global<"pc">().attr("unique")(values).attr("to_pylist")();
  } catch (py::error_already_set& e) {
    if (!e.matches(c.global<"pa">().attr("ArrowNotImplementedError"))) throw;
    return values.attr("to_pylist")();  // types the engine cannot hash
  }
}

constexpr glue::Signature ecoest_get_distinct_sig{
    "get_distinct(self, column: str, bucket: str, key: str) -> list"};
py::object ecoest_get_distinct(glue::CallOf<ecoest_get_distinct_sig>& c) {
  auto [column, bucket, key] = c.args<"column", "bucket", "key">();

  py::object s3 = c.global<"boto3">().attr("resource")("s3");
  py::object parquet_file;
  try {
    py::object body = s3.attr("Object")(bucket, key).attr("get")()["Body"].attr("read")();
    py::object reader = c.global<"pa">().attr("BufferReader")(body);
    parquet_file = c.global<"pq">().attr("ParquetFile")(reader);
  } catch (py::error_already_set& e) {
    glue::add_note(e, "while reading " + s3_location(bucket, key));
    throw;
  }
  const auto n_groups = parquet_file.attr("num_row_groups").cast<Py_ssize_t>();

  py::set unique_values;
  py::list columns;
  columns.append(column);
  py::object progress_bar = c.global<"tqdm">()(glue::builtin("range")(n_groups));
  try {
    for (py::handle i : progress_bar) {
      const auto number = i.cast<Py_ssize_t>() + 1;
      progress_bar.attr("set_description")("Retrieving snapshot dates " + std::to_string(number));
      py::object row_group = parquet_file.attr("read_row_group")(i, "columns"_a = columns);
      for (py::handle v : distinct_values(c, row_group.attr("column")(column)))
        unique_values.add(v);
    }
  } catch (py::error_already_set&) {
    progress_bar.attr("close")();
    throw;
  }
  return py::list(unique_values);
}

constexpr glue::Signature ecoest_load_snapshot_sig{
    "_load_snapshot(self, as_of_date: Optional[str] = None) -> None"};
py::object ecoest_load_snapshot(glue::CallOf<ecoest_load_snapshot_sig>& c) {
  auto [self, as_of_date] = c.args<"self", "as_of_date">();
  const py::object bucket = self.attr("bucket");
  const py::object file_path = self.attr("file_path");
  py::object values = self.attr("get_distinct")("column"_a = "dlSnapshotDate", "bucket"_a = bucket,
                                                "key"_a = file_path);
  py::list dates;
  py::object zone = py::none();  // of zoned stamps, whose day is their own zone's
  for (py::handle d : values) {
    dates.append(d.attr("strftime")("%Y%m%d"));
    if (zone.is_none()) zone = py::getattr(d, "tzinfo", py::none());
  }
  py::object date = resolve_snapshot_date(c, dates, as_of_date, s3_location(bucket, file_path));

  // A snapshot date is a day: stamps carrying a time of day are listed by
  // their day, so loading that day selects every stamp within it.
  py::object pd = c.global<"pd">();
  py::object day = pd.attr("to_datetime")(date);
  py::object next_day = day + pd.attr("Timedelta")("days"_a = 1);
  if (!zone.is_none()) {
    day = day.attr("tz_localize")(zone);
    next_day = next_day.attr("tz_localize")(zone);
  }
  py::list filters;
  filters.append(py::make_tuple("dlSnapshotDate", ">=", day));
  filters.append(py::make_tuple("dlSnapshotDate", "<", next_day));
  const std::string location = s3_location(bucket, file_path);
  glue::require("s3fs", "s3");  // pandas' s3:// reader
  try {
    self.attr("data") = pd.attr("read_parquet")(location, "filters"_a = filters);
  } catch (py::error_already_set& e) {
    glue::add_note(e, "while reading " + location);
    throw;
  }
  return py::none();
}

constexpr glue::Signature ecoest_get_data_sig{
    "get_data(self, tickers: list, start: Optional[str] = None, end: Optional[str] = None) "
    "-> pd.DataFrame"};
py::object ecoest_get_data(glue::CallOf<ecoest_get_data_sig>& c) {
  auto [self, tickers, start, end] = c.args<"self", "tickers", "start", "end">();

  py::object data = self.attr("data");
  if (!start.is_none() || !end.is_none()) {
    py::object surveyed = calendar_days(c, data["economistSurveyTimestamp"]);
    py::object mask;
    if (!start.is_none()) mask = glue::compare_elementwise(surveyed, day_bound(c, start), Py_GE);
    if (!end.is_none()) {
      py::object before_end = glue::compare_elementwise(surveyed, day_bound(c, end), Py_LE);
      mask = mask ? (mask & before_end) : before_end;
    }
    data = rows_where(data, mask);
  }
  py::dict rename;
  rename["column0"] = "event_ticker";
  data = data.attr("rename")("columns"_a = rename);
  if (py::len(tickers) > 0) data = rows_where(data, data["event_ticker"].attr("isin")(tickers));
  return data;
}

constexpr glue::Signature ecoest_init_sig{
    "__init__(self, as_of_date: Optional[str] = None) -> None"};
void define_ecoest(py::module_& m) {
  py::object getenv = m.attr("os").attr("getenv");
  py::dict ns;
  ns["__doc__"] = ecoest_doc;
  ns["bucket"] = getenv("ORVANE_MACRO_BUCKET", macro_bucket_default);
  ns["file_path"] = estimates_key;
  ns["__init__"] = glue::method<ecoest_init_sig>(
      m, "ECOEST", ecoest_init_doc,
      [](glue::CallOf<ecoest_init_sig>& c) -> py::object {
        c.arg<"self">().attr("_load_snapshot")(c.arg<"as_of_date">());
        return py::none();
      },
      checked);
  ns["get_distinct"] = glue::method<ecoest_get_distinct_sig>(m, "ECOEST", ecoest_get_distinct_doc,
                                                             ecoest_get_distinct, checked);
  ns["_load_snapshot"] = glue::method<ecoest_load_snapshot_sig>(
      m, "ECOEST", "Retrieve the latest snapshot.", ecoest_load_snapshot, checked);
  ns["get_data"] =
      glue::method<ecoest_get_data_sig>(m, "ECOEST", ecoest_get_data_doc, ecoest_get_data, checked);
  glue::make_class(m, "ECOEST", py::make_tuple(m.attr("S3Data")), ns,
                   py::type::of(m.attr("S3Data")));
}

}  // namespace

ORVANE_MODULE(bucket_sets, m) {
  m.doc() =
      "Supply-chain and economist-estimates datasets stored in S3.\n"
      "\n"
      "Bucket names are read once, when the module is imported, from the\n"
      "environment: ORVANE_EQUITY_BUCKET (default \"orvane-equity-base-data\")\n"
      "holds the supply-chain snapshots of ``SPLC``, ORVANE_MACRO_BUCKET\n"
      "(default \"orvane-macro-base-data\") the economist-estimates history of\n"
      "``ECOEST``. Each class keeps its name in its ``bucket`` attribute.\n"
      "S3 access goes through boto3 and pandas' \"s3://\" reader with their\n"
      "default configuration (credentials, region, AWS_ENDPOINT_URL).\n";
  glue::import_as(m, "pandas", "pd");
  glue::import_from(m, "datetime", "datetime");
  glue::import_from(m, "datetime", "timedelta");
  glue::import_as(m, "pyarrow", "pa");
  glue::import_as(m, "pyarrow.parquet", "pq");
  glue::import_as(m, "pyarrow.compute", "pc");
  glue::import_from(m, "tqdm", "tqdm");
  glue::import_as(m, "bisect");
  glue::import_from(m, "abc", "ABC");
  glue::import_from(m, "abc", "abstractmethod");
  glue::import_from(m, "typing", "List");
  glue::import_from(m, "typing", "Optional");
  glue::import_as(m, "warnings");
  glue::import_as(m, "os");
  glue::import_from(m, "orvane_data.from_s3.s3_io", "list_s3_objects");
  glue::import_from(m, "orvane_data.from_s3.s3_io", "read_from_s3");

  const bool show = glue::show_warnings();
  m.attr("SHOW_WARNINGS") = show;

  bool have_service = false;
  glue::guarded(glue::Guard::module_not_found, show, "'bql' is not installed.", [&] {
    py::object service = glue::import_from(m, "bql", "Service", "bql_Service");
    m.attr("bq") = service();
    have_service = true;
  });
  if (!have_service) m.attr("bql_Service") = py::none();

  glue::guarded(glue::Guard::module_not_found, show, "'boto3' is not installed.",
                [&] { glue::lazy_import(m, "boto3", "boto3"); });
  glue::from_extra(m, "boto3", "s3");

  glue::def<get_next_friday_sig>(m, get_next_friday_doc, get_next_friday, checked);
  glue::def<find_closest_earlier_date_sig>(m, find_closest_earlier_date_doc,
                                           find_closest_earlier_date, checked);
  glue::def<ticker_to_figi_sig>(m, ticker_to_figi_doc, ticker_to_figi, checked);
  glue::def<figi_to_ticker_sig>(m, figi_to_ticker_doc, figi_to_ticker, checked);

  define_s3data(m);
  define_splc(m);
  define_ecoest(m);
}
