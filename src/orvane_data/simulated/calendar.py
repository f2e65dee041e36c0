"""Release schedule of the simulated economic calendar.

Shared by the simulated query-language service (``orvane_data.simulated.bql``,
which answers the ``calendar`` data item from it) and the simulated intraday
service (``orvane_data.simulated.intraday``, which moves prices at the release
minutes). Everything here is deterministic: dates follow fixed calendar rules
and the figures are drawn from generators seeded with the indicator's ticker,
never from the clock.

API
---

``TODAY``
    The simulated services' fixed "today" (a ``datetime.date``). Releases
    after it have no ``actual`` yet; prices and bars stop at it.
``FIRST_YEAR``, ``LAST_YEAR``
    The years the calendar covers (2000 to 2030, both included).
``REGIONS``
    Region code -> IANA zone of its releases: ``"US"`` America/New_York,
    ``"CN"`` Asia/Shanghai, ``"HK"`` Asia/Hong_Kong, ``"EU"`` Europe/Berlin.
``INDICATORS``
    Tuple of :class:`Indicator`, one per recurring release (ticker such as
    "NFP TCH Index", "CPI YOY Index", "FDTR Index", "CNCPIYOY Index", ...).
``indicator(ticker)``
    The :class:`Indicator` of a ticker (case-insensitive), or ``None``.
``releases(first_year, last_year=None, *, regions=None, tickers=None)``
    The :class:`Release` records of the years ``first_year`` to ``last_year``
    (both included), ordered by release instant, then ticker. ``regions`` and
    ``tickers`` (iterables, tickers case-insensitive) narrow the result.
    Raises ``ValueError`` for a year outside ``FIRST_YEAR``..``LAST_YEAR``.
``release_minutes(regions=None, tickers=None, first_year=FIRST_YEAR, last_year=LAST_YEAR)``
    Sorted list of the distinct release instants (aware UTC ``datetime``,
    whole minutes): the minutes at which markets react.
``zone_text(offset)`` / ``parse_zone_text(text)``
    ``timedelta`` <-> fixed-offset text "GMT-05:00" / "GMT+08:00".
``in_zone_text(instant, text)``
    A UTC instant written as a naive wall-clock ``datetime`` in the
    fixed-offset zone ``text`` (how the query service writes
    ``RELEASE_DATE_TIME``).

A :class:`Release` carries ``event_name``, ``ticker``, ``region``, ``period``
(text), ``release_utc`` (aware UTC ``datetime``, the true instant),
``zone_text`` (the local fixed offset at that instant, so US releases read
"GMT-05:00" in winter and "GMT-04:00" in summer), ``local_time`` (naive local
wall clock, e.g. 08:30 New York for US data), ``survey``, ``actual`` (``None``
after ``TODAY`` and for a few releases that never got a figure), ``prior``,
``surprise`` (``actual - survey`` or ``None``), ``subtype``
("economic_releases" or "central_banks") and ``relevancy`` ("high",
"medium", "low").

Chinese releases at 09:00/09:30 Beijing time fall on the previous evening in
New York, which keeps the date-boundary cases of the calendar honest.
"""

from __future__ import annotations

import datetime as _dt
import functools
import random
import re
from dataclasses import dataclass
from typing import Callable, Iterable, Optional

import pytz

__all__ = [
    "TODAY",
    "FIRST_YEAR",
    "LAST_YEAR",
    "REGIONS",
    "SUBTYPES",
    "RELEVANCY_LEVELS",
    "Indicator",
    "Release",
    "INDICATORS",
    "indicator",
    "releases",
    "release_minutes",
    "zone_text",
    "parse_zone_text",
    "in_zone_text",
]

TODAY = _dt.date(2024, 6, 28)
FIRST_YEAR = 2000
LAST_YEAR = 2030

REGIONS = {
    "US": "America/New_York",
    "CN": "Asia/Shanghai",
    "HK": "Asia/Hong_Kong",
    "EU": "Europe/Berlin",
}

SUBTYPES = ("economic_releases", "central_banks")
RELEVANCY_LEVELS = ("low", "medium", "high")

_UTC = _dt.timezone.utc


# --- calendar rules ---------------------------------------------------------


def _nth_weekday(year: int, month: int, weekday: int, n: int) -> _dt.date:
    """n-th (1-based) given weekday of a month; n = -1 is the last one."""
    if n > 0:
        first = _dt.date(year, month, 1)
        return first + _dt.timedelta(days=(weekday - first.weekday()) % 7 + 7 * (n - 1))
    last = _last_day(year, month)
    return last - _dt.timedelta(days=(last.weekday() - weekday) % 7)


def _last_day(year: int, month: int) -> _dt.date:
    nxt = _dt.date(year + (month == 12), month % 12 + 1, 1)
    return nxt - _dt.timedelta(days=1)


def _next_business_day(day: _dt.date) -> _dt.date:
    while day.weekday() >= 5:
        day += _dt.timedelta(days=1)
    return day


def _previous_business_day(day: _dt.date) -> _dt.date:
    while day.weekday() >= 5:
        day -= _dt.timedelta(days=1)
    return day


def _jitter(key: str, year: int, month: int, spread: int) -> int:
    return random.Random(f"{key}|{year}|{month}|day").randrange(spread)


def _around(base_day: int, spread: int, key: str) -> Callable[[int, int], _dt.date]:
    def rule(year: int, month: int) -> _dt.date:
        return _next_business_day(_dt.date(year, month, base_day + _jitter(key, year, month, spread)))

    return rule


def _calendar_day_around(base_day: int, spread: int, key: str) -> Callable[[int, int], _dt.date]:
    # Chinese statistics come out on fixed days, weekends included.
    def rule(year: int, month: int) -> _dt.date:
        return _dt.date(year, month, base_day + _jitter(key, year, month, spread))

    return rule


def _first_friday(year: int, month: int) -> _dt.date:
    return _nth_weekday(year, month, 4, 1)


def _last_calendar_day(year: int, month: int) -> _dt.date:
    return _last_day(year, month)


def _last_business_day(year: int, month: int) -> _dt.date:
    return _previous_business_day(_last_day(year, month))


# Rate-setting meetings: month -> (weekday, n-th) of the decision day.
_FOMC_MEETINGS = {1: (2, -1), 3: (2, 3), 5: (2, 1), 6: (2, 3), 7: (2, -1), 9: (2, 3), 11: (2, 1), 12: (2, 3)}
_ECB_MEETINGS = {1: (3, 3), 3: (3, 2), 4: (3, 3), 6: (3, 1), 7: (3, 3), 9: (3, 2), 10: (3, 4), 12: (3, 2)}


def _fomc(year: int, month: int) -> Optional[_dt.date]:
    rule = _FOMC_MEETINGS.get(month)
    return _nth_weekday(year, month, *rule) if rule else None


def _ecb(year: int, month: int) -> Optional[_dt.date]:
    if year < 2015:  # monthly meetings, first Thursday
        return _nth_weekday(year, month, 3, 1)
    rule = _ECB_MEETINGS.get(month)
    return _nth_weekday(year, month, *rule) if rule else None


def _fomc_time(day: _dt.date) -> _dt.time:
    return _dt.time(14, 15) if day.year < 2013 else _dt.time(14, 0)


def _ecb_time(day: _dt.date) -> _dt.time:
    return _dt.time(13, 45) if day < _dt.date(2022, 7, 1) else _dt.time(14, 15)


# --- indicators -------------------------------------------------------------


@dataclass(frozen=True)
class Indicator:
    """One recurring release: what it is called, when it comes out, its figures."""

    ticker: str
    event_name: str
    region: str
    subtype: str
    relevancy: str
    schedule: Callable[[int, int], Optional[_dt.date]]  # (year, month) -> local release date
    clock: Callable[[_dt.date], _dt.time]  # local release date -> local time of day
    level: float  # centre of the figures
    step: float  # typical change from one release to the next
    decimals: int
    period_lag: int = 1  # months between the reference period and the release month
    weekly: bool = False
    floor: Optional[float] = None
    grid: Optional[float] = None  # rates move in steps of this size

    @property
    def zone(self) -> str:
        return REGIONS[self.region]


def _at(hour: int, minute: int) -> Callable[[_dt.date], _dt.time]:
    return lambda day: _dt.time(hour, minute)


ER, CB = SUBTYPES

INDICATORS: tuple[Indicator, ...] = (
    Indicator("NFP TCH Index", "Change in Nonfarm Payrolls", "US", ER, "high", _first_friday,
              _at(8, 30), 150.0, 90.0, 0),
    Indicator("USURTOT Index", "Unemployment Rate", "US", ER, "high", _first_friday,
              _at(8, 30), 5.5, 0.15, 1, floor=3.4),
    Indicator("CPI YOY Index", "CPI YoY", "US", ER, "high", _around(10, 5, "US CPI"),
              _at(8, 30), 2.5, 0.3, 1),
    Indicator("CPI CHNG Index", "CPI MoM", "US", ER, "high", _around(10, 5, "US CPI"),
              _at(8, 30), 0.2, 0.2, 1),
    Indicator("RSTAMOM Index", "Retail Sales Advance MoM", "US", ER, "high", _around(13, 4, "US retail"),
              _at(8, 30), 0.3, 0.6, 1),
    Indicator("INJCJC Index", "Initial Jobless Claims", "US", ER, "medium", _first_friday,
              _at(8, 30), 330.0, 15.0, 0, weekly=True, floor=180.0),
    Indicator("MWINCHNG Index", "Wholesale Inventories MoM", "US", ER, "low", _around(8, 3, "US wholesale"),
              _at(10, 0), 0.4, 0.4, 1),
    Indicator("FDTR Index", "FOMC Rate Decision (Upper Bound)", "US", CB, "high", _fomc,
              _fomc_time, 2.5, 0.25, 2, period_lag=0, floor=0.25, grid=0.25),
    Indicator("CNCPIYOY Index", "CPI YoY", "CN", ER, "high", _calendar_day_around(9, 3, "CN CPI"),
              _at(9, 30), 2.0, 0.4, 1),
    Indicator("CPMINDX Index", "Manufacturing PMI", "CN", ER, "high", _last_calendar_day,
              _at(9, 0), 50.5, 0.6, 1, period_lag=0),
    Indicator("HKUERATE Index", "Unemployment Rate SA", "HK", ER, "medium", _around(17, 4, "HK jobs"),
              _at(16, 30), 4.2, 0.1, 1, floor=2.8),
    Indicator("HKEXYOY Index", "Exports YoY", "HK", ER, "low", _around(24, 4, "HK trade"),
              _at(16, 30), 5.0, 4.0, 1),
    Indicator("ECCPEMUY Index", "CPI Estimate YoY", "EU", ER, "high", _last_business_day,
              _at(11, 0), 1.9, 0.3, 1, period_lag=0),
    Indicator("UMRTEMU Index", "Unemployment Rate", "EU", ER, "medium", _around(1, 3, "EU jobs"),
              _at(11, 0), 9.0, 0.1, 1, period_lag=2, floor=6.0),
    Indicator("EURR002W Index", "ECB Main Refinancing Rate", "EU", CB, "high", _ecb,
              _ecb_time, 2.0, 0.25, 2, period_lag=0, floor=0.0, grid=0.25),
)

_BY_TICKER = {ind.ticker.casefold(): ind for ind in INDICATORS}


def indicator(ticker: str) -> Optional[Indicator]:
    """The indicator of a ticker (case-insensitive, blanks collapsed), or None."""
    return _BY_TICKER.get(" ".join(str(ticker).split()).casefold())


# --- releases ---------------------------------------------------------------


@dataclass(frozen=True)
class Release:
    event_name: str
    ticker: str
    region: str
    period: str
    release_utc: _dt.datetime
    zone_text: str
    local_time: _dt.datetime
    survey: Optional[float]
    actual: Optional[float]
    prior: Optional[float]
    surprise: Optional[float]
    subtype: str
    relevancy: str


def zone_text(offset: _dt.timedelta) -> str:
    """Fixed-offset text of a UTC offset: -5 h -> "GMT-05:00"."""
    minutes = int(offset.total_seconds()) // 60
    sign = "-" if minutes < 0 else "+"
    hours, mins = divmod(abs(minutes), 60)
    return f"GMT{sign}{hours:02d}:{mins:02d}"


_ZONE_TEXT = re.compile(r"GMT([+-])(\d{2}):(\d{2})")


def parse_zone_text(text: str) -> _dt.timedelta:
    """UTC offset of a fixed-offset text: "GMT+08:00" -> 8 h."""
    match = _ZONE_TEXT.fullmatch(text)
    if not match:
        raise ValueError(f"not a fixed-offset zone text: {text!r}")
    sign = -1 if match.group(1) == "-" else 1
    return sign * _dt.timedelta(hours=int(match.group(2)), minutes=int(match.group(3)))


def in_zone_text(instant: _dt.datetime, text: str) -> _dt.datetime:
    """A UTC instant as naive wall-clock time in the fixed-offset zone ``text``."""
    return (instant.astimezone(_UTC) + parse_zone_text(text)).replace(tzinfo=None)


def _release_days(ind: Indicator) -> list[tuple[str, _dt.date]]:
    """(period, local release date) of every release of the covered years."""
    out = []
    if ind.weekly:
        day = _nth_weekday(FIRST_YEAR, 1, 3, 1)  # Thursdays
        while day.year <= LAST_YEAR:
            week_end = day - _dt.timedelta(days=5)  # the Saturday before
            out.append((week_end.isoformat(), day))
            day += _dt.timedelta(days=7)
        return out
    for year in range(FIRST_YEAR, LAST_YEAR + 1):
        for month in range(1, 13):
            day = ind.schedule(year, month)
            if day is None:
                continue
            if ind.period_lag == 0 and ind.grid is not None:
                period = day.isoformat()
            else:
                ref_year, ref_month = divmod(year * 12 + month - 1 - ind.period_lag, 12)
                period = f"{ref_year:04d}-{ref_month + 1:02d}"
            out.append((period, day))
    return out


def _figures(ind: Indicator, count: int) -> list[float]:
    """A mean-reverting walk around the indicator's level, one figure per release."""
    rng = random.Random(f"{ind.ticker}|figures")
    value = ind.level
    out = []
    for _ in range(count):
        if ind.grid is not None:
            move = rng.choice((-1, 0, 0, 0, 1)) * ind.grid
            if value > 2 * ind.level:
                move = -abs(move)
            value += move
        else:
            value = value + 0.15 * (ind.level - value) + rng.gauss(0.0, ind.step)
        if ind.floor is not None:
            value = max(value, ind.floor)
        out.append(round(value, ind.decimals))
    return out


@functools.lru_cache(maxsize=None)
def _all_releases(ticker: str) -> tuple[Release, ...]:
    ind = _BY_TICKER[ticker.casefold()]
    zone = pytz.timezone(ind.zone)
    days = _release_days(ind)
    figures = _figures(ind, len(days))
    out = []
    prior: Optional[float] = None
    for (period, day), figure in zip(days, figures):
        local = _dt.datetime.combine(day, ind.clock(day))
        aware = zone.localize(local)
        rng = random.Random(f"{ind.ticker}|{period}|survey")
        survey = round(figure + rng.gauss(0.0, ind.step * 0.5), ind.decimals)
        if ind.grid is not None:
            survey = figure if rng.random() < 0.85 else round(figure - ind.grid, ind.decimals)
        published = day <= TODAY and rng.random() >= 0.02
        actual = figure if published else None
        surprise = round(actual - survey, ind.decimals) if actual is not None else None
        out.append(
            Release(
                event_name=ind.event_name,
                ticker=ind.ticker,
                region=ind.region,
                period=period,
                release_utc=aware.astimezone(_UTC),
                zone_text=zone_text(aware.utcoffset()),
                local_time=local,
                survey=survey,
                actual=actual,
                prior=prior,
                surprise=surprise,
                subtype=ind.subtype,
                relevancy=ind.relevancy,
            )
        )
        prior = actual
    return tuple(out)


def _check_years(first_year: int, last_year: int) -> None:
    for year in (first_year, last_year):
        if not FIRST_YEAR <= year <= LAST_YEAR:
            raise ValueError(f"the calendar covers {FIRST_YEAR} to {LAST_YEAR}, not {year}")


def _selected(regions: Optional[Iterable[str]], tickers: Optional[Iterable[str]]) -> list[Indicator]:
    chosen = list(INDICATORS)
    if regions is not None:
        wanted = {str(r).upper() for r in regions}
        chosen = [ind for ind in chosen if ind.region in wanted]
    if tickers is not None:
        wanted = {" ".join(str(t).split()).casefold() for t in tickers}
        chosen = [ind for ind in chosen if ind.ticker.casefold() in wanted]
    return chosen


def releases(
    first_year: int,
    last_year: Optional[int] = None,
    *,
    regions: Optional[Iterable[str]] = None,
    tickers: Optional[Iterable[str]] = None,
) -> list[Release]:
    """Releases whose local release date lies in ``first_year``..``last_year``."""
    last_year = first_year if last_year is None else last_year
    _check_years(first_year, last_year)
    out = [
        rel
        for ind in _selected(regions, tickers)
        for rel in _all_releases(ind.ticker)
        if first_year <= rel.local_time.year <= last_year
    ]
    out.sort(key=lambda rel: (rel.release_utc, rel.ticker))
    return out


def release_minutes(
    regions: Optional[Iterable[str]] = None,
    tickers: Optional[Iterable[str]] = None,
    first_year: int = FIRST_YEAR,
    last_year: int = LAST_YEAR,
) -> list[_dt.datetime]:
    """Distinct release instants (aware UTC, whole minutes), ascending."""
    found = {rel.release_utc for rel in releases(first_year, last_year, regions=regions, tickers=tickers)}
    return sorted(found)
