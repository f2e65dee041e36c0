"""Simulated query-language service.

A small, deterministic stand-in for the query-language client library, made
from what the package expects of it. Register it with
``orvane_data.simulated.activate()`` (it is then importable as ``bql`` for the
running process only) or import it directly.

    bq = Service()
    bq.execute(Request("JPY Curncy", {"px": bq.data.px_last(dates=bq.func.range("2024-01-01", "2024-01-31"))}))
    bq.execute("get(ID_BB_GLOBAL) for(['IBM US Equity', 'spx index'])")

Data items (names are case-insensitive; the response name is the dict key of
the request, or the item's name as written):

- reference items, one row per universe member, missing for an unknown
  member: ``ID_BB_GLOBAL``/``id_bb_global``, ``name``, ``parsekyable_des``,
  ``TICKER``, ``EXCH_CODE``, ``MARKET_SECTOR_DES``, ``crncy``;
- ``px_last(dates=range|date, fill='prev'|'na')``: business-day closes up to
  ``calendar.TODAY``, columns ``DATE``, ``CURRENCY`` and the value;
- ``calendar(dates=range, subtype='all', relevancy='medium', view='extended')``
  over a universe of region codes ("US", "CN", "HK", "EU") or economic
  indicator tickers: columns ``EVENT_NAME``, ``ticker``,
  ``RELEASE_DATE_TIME``, ``PERIOD``, ``SURVEY_MEDIAN``, ``ACTUAL``,
  ``PRIOR``; view "extended" adds ``COUNTRY``, ``RELEVANCY``, ``TIMEZONE``;
  the preference ``addcols`` appends ``surprise``, ``subtype`` or
  ``relevancy``. ``RELEASE_DATE_TIME`` is the true release instant written
  without zone in the response's fixed-offset zone (``TIMEZONE``, the same
  for every row): the offset in force, at the start of the requested dates,
  in the region of the universe's first member.

Any item offers ``droppe()`` (drop the rows whose value is missing); a
calendar item offers ``item['ticker'].in_([...])`` and ``item.matches(cond)``.

What the service refuses (an unknown data item or keyword, a malformed date
or query text, a calendar year outside 2000-2030, an unknown calendar
member) raises :class:`RequestError` from ``execute``; ``execute_many`` hands
it, with the request, to ``on_request_error`` and goes on.
"""

from __future__ import annotations

import ast
import datetime as _dt
import re
from collections.abc import Sequence
from typing import Any, Callable, Iterable, Iterator, NamedTuple, Optional, Union

import numpy as np
import pandas as pd

from . import calendar as _calendar
from . import securities as _securities

__orvane_simulated__ = True

__all__ = ["Service", "Request", "Response", "SingleResult", "Universe", "DateRange", "Item", "RequestError"]


class RequestError(Exception):
    """A request the service refuses."""


# --- request building blocks -------------------------------------------------


class Universe:
    """A list of identifiers (parse keys, FIGIs, region codes)."""

    def __init__(self, members: Iterable[str]):
        self.members = list(members)

    def __repr__(self) -> str:
        return f"Universe({self.members!r})"


class DateRange:
    """A range of dates, both ends written yyyy-mm-dd."""

    def __init__(self, start: Any, end: Any):
        self.start, self.end = start, end

    def __repr__(self) -> str:
        return f"range({self.start!r}, {self.end!r})"


class Condition:
    def __init__(self, field: str, values: list):
        self.field, self.values = field, values


class FieldRef:
    """A field of a calendar item, for filtering with ``in_``."""

    def __init__(self, item: "Item", field: str):
        self.item, self.field = item, field

    def in_(self, values: Iterable[Any]) -> Condition:
        if isinstance(values, str):
            values = [values]
        return Condition(self.field, list(values))


class Item:
    """A data item: a field name, its keyword parameters and modifiers."""

    def __init__(self, name: str, params: dict, *, drop_missing: bool = False,
                 conditions: tuple = ()):
        self.name = name
        self.params = dict(params)
        self.drop_missing = drop_missing
        self.conditions = conditions

    def droppe(self) -> "Item":
        return Item(self.name, self.params, drop_missing=True, conditions=self.conditions)

    def __getitem__(self, field: str) -> FieldRef:
        return FieldRef(self, field)

    def matches(self, condition: Condition) -> "Item":
        if not isinstance(condition, Condition):
            raise TypeError(f"matches() takes a condition, not {type(condition).__name__}")
        return Item(self.name, self.params, drop_missing=self.drop_missing,
                    conditions=self.conditions + (condition,))

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self.params.items())
        return f"{self.name}({args})"


class _ItemMaker:
    def __init__(self, name: str):
        self.name = name

    def __call__(self, **params: Any) -> Item:
        return Item(self.name, params)

    def __repr__(self) -> str:
        return f"<data item {self.name}>"


class _Data:
    def __getattr__(self, name: str) -> _ItemMaker:
        if name.startswith("__"):
            raise AttributeError(name)
        return _ItemMaker(name)


class _Univ:
    def list(self, members: Any) -> Universe:
        if isinstance(members, str) or not all(isinstance(m, str) for m in members):
            raise TypeError("univ.list takes a list of identifier texts")
        return Universe(members)


class _Func:
    def range(self, start: Any, end: Any) -> DateRange:
        return DateRange(start, end)


class Request:
    """A universe and one item (or a dict name -> item), with preferences."""

    def __init__(self, universe: Any, items: Any, preferences: Optional[dict] = None):
        if isinstance(items, Item):
            items = {items.name: items}
        if not isinstance(items, dict) or not items or not all(
            isinstance(k, str) and isinstance(v, Item) for k, v in items.items()
        ):
            raise TypeError("Request items must be a data item or a non-empty dict of name -> data item")
        if preferences is not None and not isinstance(preferences, dict):
            raise TypeError("Request preferences must be a dict")
        self.universe = universe
        self.items = dict(items)
        self.preferences = dict(preferences or {})

    def __repr__(self) -> str:
        return f"Request({self.universe!r}, {self.items!r}, preferences={self.preferences!r})"


# --- responses --------------------------------------------------------------


class SingleResult:
    """One item of a response; ``df()`` gives a fresh frame indexed by ``ID``."""

    def __init__(self, name: str, frame: pd.DataFrame):
        self.name = name
        self._frame = frame

    def df(self) -> pd.DataFrame:
        return self._frame.copy()

    def __repr__(self) -> str:
        return f"<SingleResult {self.name}: {len(self._frame)} rows>"


class Response(Sequence):
    """The items of one request's answer, in request order."""

    def __init__(self, items: list[SingleResult]):
        self._items = items

    def __getitem__(self, index):
        return self._items[index]

    def __len__(self) -> int:
        return len(self._items)

    def get(self, name: str) -> SingleResult:
        for item in self._items:
            if item.name == name:
                return item
        raise KeyError(name)

    def __repr__(self) -> str:
        return f"Response({[item.name for item in self._items]!r})"


# --- evaluation -------------------------------------------------------------

_REFERENCE = {
    "id_bb_global": lambda s: s.figi,
    "name": lambda s: s.name,
    "parsekyable_des": lambda s: s.parse_key,
    "ticker": lambda s: s.ticker,
    "exch_code": lambda s: s.exch_code,
    "market_sector_des": lambda s: s.market_sector,
    "crncy": lambda s: s.currency,
}
_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")
_CALENDAR_COLUMNS = ["EVENT_NAME", "ticker", "RELEASE_DATE_TIME", "PERIOD", "SURVEY_MEDIAN", "ACTUAL", "PRIOR"]
_EXTENDED_COLUMNS = ["COUNTRY", "RELEVANCY", "TIMEZONE"]
_ADDCOLS = {"surprise": "surprise", "subtype": "subtype", "relevancy": "relevancy"}
_VIEWS = ("standard", "extended")


def _members(universe: Any) -> list[str]:
    if isinstance(universe, Universe):
        members = universe.members
    elif isinstance(universe, str):
        members = [universe]
    elif isinstance(universe, (list, tuple)):
        members = list(universe)
    else:
        raise RequestError(f"not a universe: {universe!r}")
    for member in members:
        if not isinstance(member, str):
            raise RequestError(f"universe members are identifier texts, not {member!r}")
    return members


def _date(value: Any, what: str) -> _dt.date:
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, str) and _DATE.fullmatch(value):
        try:
            return _dt.date.fromisoformat(value)
        except ValueError:
            pass
    raise RequestError(f"{what}: not a date written yyyy-mm-dd: {value!r}")


def _dates(value: Any) -> tuple[_dt.date, _dt.date]:
    if isinstance(value, DateRange):
        start, end = _date(value.start, "range start"), _date(value.end, "range end")
    else:
        start = end = _date(value, "dates")
    if start > end:
        raise RequestError(f"range start {start} lies after its end {end}")
    return start, end


def _check_params(item: Item, allowed: Iterable[str]) -> None:
    unknown = sorted(set(item.params) - set(allowed))
    if unknown:
        raise RequestError(f"data item '{item.name}' takes no parameter {unknown[0]!r}")


def _index(ids: list[str]) -> pd.Index:
    return pd.Index(ids, name="ID", dtype="str")


def _reference(item: Item, key: str, members: list[str], column: str) -> pd.DataFrame:
    _check_params(item, ())
    getter = _REFERENCE[key]
    values = []
    for member in members:
        sec = _securities.lookup(member)
        values.append(getter(sec) if sec is not None else None)
    frame = pd.DataFrame({column: pd.Series(values, dtype="str")})
    frame.index = _index(members)
    return frame


def _px_last(item: Item, members: list[str], column: str) -> pd.DataFrame:
    _check_params(item, ("dates", "fill"))
    fill = item.params.get("fill", "prev")
    if fill not in ("prev", "na"):
        raise RequestError(f"px_last: fill must be 'prev' or 'na', not {fill!r}")
    if "dates" in item.params:
        start, end = _dates(item.params["dates"])
    else:
        start = end = _calendar.TODAY
    # Per member: ids, dates (datetime64[ns]), currencies and closes, as arrays
    ids, dates, currencies, values = [], [], [], []
    for member in members:
        sec = _securities.lookup(member)
        if sec is None:
            ids.append([member])
            dates.append(np.array(["NaT"], dtype="M8[ns]"))
            currencies.append([None])
            values.append(np.array([np.nan]))
            continue
        closes = _securities.daily_closes(sec)
        window = closes[(closes.index >= pd.Timestamp(start)) & (closes.index <= pd.Timestamp(end))]
        if "dates" not in item.params:
            window = closes.iloc[-1:]
        if fill == "prev":
            window = window.ffill()
        ids.append([member] * len(window))
        dates.append(window.index.to_numpy().astype("M8[ns]"))
        currencies.append([sec.currency] * len(window))
        values.append(window.to_numpy(dtype=np.float64))
    ids = [i for part in ids for i in part]
    frame = pd.DataFrame(
        {
            "DATE": pd.DatetimeIndex(np.concatenate(dates) if dates else np.array([], dtype="M8[ns]")),
            "CURRENCY": pd.Series([c for part in currencies for c in part], dtype="str"),
            column: np.concatenate(values) if values else np.array([], dtype=np.float64),
        }
    )
    frame.index = _index(ids)
    return frame


def _calendar_regions(member: str) -> tuple[Optional[str], Optional[str]]:
    """(region, ticker) of a calendar universe member."""
    code = member.strip().upper()
    if code in _calendar.REGIONS:
        return code, None
    ind = _calendar.indicator(member)
    if ind is not None:
        return ind.region, ind.ticker
    raise RequestError(f"calendar: unknown universe member {member!r} (regions {sorted(_calendar.REGIONS)})")


class _CalendarRequest(NamedTuple):
    start: _dt.date
    end: _dt.date
    subtype: str
    minimum: int  # the least relevancy level kept
    columns: list


def _calendar_request(item: Item, preferences: dict) -> _CalendarRequest:
    """The calendar item's parameters and columns, checked."""
    _check_params(item, ("dates", "subtype", "relevancy", "view"))
    if "dates" not in item.params:
        raise RequestError("calendar: the parameter 'dates' is required")
    start, end = _dates(item.params["dates"])
    for year in (start.year, end.year):
        if not _calendar.FIRST_YEAR <= year <= _calendar.LAST_YEAR:
            raise RequestError(
                f"calendar: no data for {year} (covered: {_calendar.FIRST_YEAR}-{_calendar.LAST_YEAR})"
            )
    subtype = item.params.get("subtype", "all")
    if subtype != "all" and subtype not in _calendar.SUBTYPES:
        raise RequestError(f"calendar: unknown subtype {subtype!r}")
    relevancy = item.params.get("relevancy", "medium")
    if relevancy != "all" and relevancy not in _calendar.RELEVANCY_LEVELS:
        raise RequestError(f"calendar: unknown relevancy {relevancy!r}")
    view = item.params.get("view", "extended")
    if view not in _VIEWS:
        raise RequestError(f"calendar: unknown view {view!r}")
    addcols = preferences.get("addcols", [])
    if isinstance(addcols, str):
        addcols = [addcols]
    for col in addcols:
        if col not in _ADDCOLS:
            raise RequestError(f"calendar: cannot add the column {col!r}")
    columns = _CALENDAR_COLUMNS + (_EXTENDED_COLUMNS if view == "extended" else []) + list(addcols)
    wanted = {c.casefold() for c in columns}
    for cond in item.conditions:
        if cond.field.casefold() not in wanted:
            raise RequestError(f"calendar: no field {cond.field!r} to filter on")
    minimum = 0 if relevancy == "all" else _calendar.RELEVANCY_LEVELS.index(relevancy)
    return _CalendarRequest(start, end, subtype, minimum, columns)


def _calendar_row(rel, zone: str) -> dict:
    return {
        "EVENT_NAME": rel.event_name,
        "ticker": rel.ticker,
        "RELEASE_DATE_TIME": _calendar.in_zone_text(rel.release_utc, zone),
        "PERIOD": rel.period,
        "SURVEY_MEDIAN": rel.survey,
        "ACTUAL": rel.actual,
        "PRIOR": rel.prior,
        "COUNTRY": rel.region,
        "RELEVANCY": rel.relevancy,
        "TIMEZONE": zone,
        "surprise": rel.surprise,
        "subtype": rel.subtype,
        "relevancy": rel.relevancy,
    }


def _calendar_frame(columns: list, rows: list[dict], ids: list[str]) -> pd.DataFrame:
    arrays = []
    for col in columns:
        values = [row[col] for row in rows]
        if col == "RELEASE_DATE_TIME":
            arrays.append(np.array(values, dtype="M8[ns]") if values else np.array([], dtype="M8[ns]"))
        elif col in ("SURVEY_MEDIAN", "ACTUAL", "PRIOR", "surprise"):
            arrays.append(np.array([np.nan if v is None else v for v in values], dtype=np.float64))
        else:
            arrays.append(pd.Series(values, dtype="str"))
    # Built from the arrays by position and named afterwards: ``columns=``
    # beside a dict sends pandas 2.2 through a road that boxes datetimes
    # into objects, and positions keep a column asked for twice.
    frame = pd.DataFrame(dict(enumerate(arrays)), index=pd.RangeIndex(len(rows)))
    frame.columns = pd.Index(columns)
    frame.index = _index(ids)
    return frame


def _calendar_item(item: Item, members: list[str], preferences: dict) -> pd.DataFrame:
    request = _calendar_request(item, preferences)
    start, end = request.start, request.end
    targets = [_calendar_regions(m) for m in members]
    first_zone = _calendar.REGIONS[targets[0][0]] if targets else "UTC"
    import pytz

    offset = pytz.timezone(first_zone).localize(_dt.datetime.combine(start, _dt.time(12))).utcoffset()
    zone = _calendar.zone_text(offset)

    rows = []
    ids = []
    for member, (region, ticker) in zip(members, targets):
        found = _calendar.releases(start.year, end.year, regions=[region],
                                   tickers=None if ticker is None else [ticker])
        for rel in found:
            if not start <= rel.local_time.date() <= end:
                continue
            if request.subtype != "all" and rel.subtype != request.subtype:
                continue
            if _calendar.RELEVANCY_LEVELS.index(rel.relevancy) < request.minimum:
                continue
            row = _calendar_row(rel, zone)
            if not all(_meets(row, cond) for cond in item.conditions):
                continue
            rows.append(row)
            ids.append(member)
    return _calendar_frame(request.columns, rows, ids)


def _meets(row: dict, cond: Condition) -> bool:
    for key, value in row.items():
        if key.casefold() == cond.field.casefold():
            wanted = {str(v).casefold() for v in cond.values}
            return str(value).casefold() in wanted
    return False


def _evaluate(members: list[str], column: str, item: Item, preferences: dict) -> pd.DataFrame:
    key = item.name.casefold()
    if key in _REFERENCE:
        frame = _reference(item, key, members, column)
    elif key == "px_last":
        frame = _px_last(item, members, column)
    elif key == "calendar":
        if item.drop_missing:
            raise RequestError("calendar: droppe() does not apply to the calendar item")
        return _calendar_item(item, members, preferences)
    else:
        raise RequestError(f"unknown data item '{item.name}'")
    if item.conditions:
        raise RequestError(f"data item '{item.name}' offers no fields to filter on")
    if item.drop_missing:
        frame = frame[frame[column].notna()]
    return frame


def _run(request: Request) -> Response:
    members = _members(request.universe)
    for pref in request.preferences:
        if pref != "addcols":
            raise RequestError(f"unknown preference {pref!r}")
    return Response(
        [SingleResult(name, _evaluate(members, name, item, request.preferences)) for name, item in request.items.items()]
    )


_QUERY = re.compile(r"\s*get\s*\((?P<fields>[^()]*)\)\s*for\s*\((?P<universe>.*)\)\s*", re.DOTALL | re.IGNORECASE)
_FIELD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def _parse_query(text: str) -> Request:
    match = _QUERY.fullmatch(text)
    if not match:
        raise RequestError(f"malformed query text: {text!r}")
    fields = [f.strip() for f in match.group("fields").split(",")]
    if not fields or not all(_FIELD.fullmatch(f) for f in fields):
        raise RequestError(f"malformed field list in query text: {match.group('fields')!r}")
    try:
        universe = ast.literal_eval(match.group("universe").strip())
    except (ValueError, SyntaxError) as exc:
        raise RequestError(f"malformed universe in query text: {match.group('universe')!r}") from exc
    if isinstance(universe, str):
        universe = [universe]
    if not isinstance(universe, list) or not all(isinstance(m, str) for m in universe):
        raise RequestError(f"the universe of a query text is a list of texts: {match.group('universe')!r}")
    return Request(universe, {field: Item(field, {}) for field in fields})


class Service:
    """The service connection: ``data``, ``univ``, ``func``, ``execute``, ``execute_many``."""

    def __init__(self) -> None:
        self.data = _Data()
        self.univ = _Univ()
        self.func = _Func()

    def execute(self, request: Union[Request, str]) -> Response:
        if isinstance(request, str):
            request = _parse_query(request)
        elif not isinstance(request, Request):
            raise TypeError(f"execute() takes a Request or a query text, not {type(request).__name__}")
        return _run(request)

    def execute_many(
        self,
        requests: Iterable[Union[Request, str]],
        on_request_error: Optional[Callable[..., Any]] = None,
    ) -> Iterator[Response]:
        """Responses of the requests that succeed, in order, as a generator.

        A failing request is passed, with its error, to
        ``on_request_error(error, request)``; without a callable it raises.
        """
        requests = list(requests)

        def run() -> Iterator[Response]:
            for request in requests:
                try:
                    response = self.execute(request)
                except Exception as exc:
                    if on_request_error is None:
                        raise
                    on_request_error(exc, request)
                    continue
                yield response

        return run()
