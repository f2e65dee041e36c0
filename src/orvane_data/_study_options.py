"""The study's options, their defaults and the checks made before anything
is fetched."""

from __future__ import annotations

import calendar as _calendar_lib
import dataclasses
import datetime as dt
import re
from typing import Optional


# payrolls and the unemployment rate come out in the same minute: the default
# study shows what a window holding two releases measures
DEFAULT_EVENTS = ("NFP TCH Index", "USURTOT Index", "CPI YOY Index")
DEFAULT_CONTROL_DAYS = 20
MAX_CONTROL_DAYS = 2000  # as control_events takes them
CONCURRENT_CHOICES = ("keep", "drop")
DEFAULT_SECURITIES = {"sx5e": ("SX5E Index", ""), "usdjpy": ("JPY Curncy", "")}
DEFAULT_FUTURES = {"es": ("ES", "Index", 5)}
DEFAULT_UNIVERSE = ("US",)
DEFAULT_START, DEFAULT_END = "2022-06-01", "2024-05-31"
DEFAULT_BASE_MINUTE = -1  # event_moves' own default: the Dask workers measure from it
CONFIDENCE = 0.95  # the minute-by-minute tests and intervals of the summary and the response
FORMATS = ("csv", "parquet", "xlsx")
CSV_CHUNK_ROWS = 50_000
WORKBOOK = "event_study.xlsx"
EXCEL_ROWS = 1_048_576  # a sheet's rows, its header included
SERVICE_NAMES = ("bql", "bloomberg.bquant.intraday")
OWN_DATA = "own data"
# the columns an analyst's own frames need: what the fetchers return and the
# window cut and the moves read
CALENDAR_COLUMNS = ("EVENT_NAME", "event_datetime")
BARS_COLUMNS = ("datetime", "key", "close")


class StudyError(ValueError):
    """A study that cannot be run as asked: what was asked matched nothing,
    or the options contradict each other. The text says which.

    Parameters
    ----------
    message : str
        What was asked, and why it cannot be run.

    Examples
    --------
    >>> from orvane_data.event_study import StudyError, run_study
    >>> try:
    ...     run_study(pre=3, post=1)
    ... except StudyError as exc:
    ...     print(exc)
    the window starts after it ends (pre 3 > post 1)
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)


class FolderNote(UserWarning):
    """What saving could not do as asked, said to the reader: files kept in
    the folder, plots left out for want of matplotlib."""


# --- dates --------------------------------------------------------------------


_ISO_DATE = re.compile(r"^(\d{4})-(\d{2})-(\d{2})$")


def parse_date(text: str) -> str:
    """`text` as a yyyy-mm-dd date; a date written so that does not exist says why."""
    try:
        return dt.date.fromisoformat(str(text)).isoformat()
    except ValueError:
        pass
    found = _ISO_DATE.match(str(text))
    if not found:
        raise ValueError(f"expected a date written yyyy-mm-dd, got {text!r}")
    year, month, day = map(int, found.groups())
    if year < dt.MINYEAR:
        raise ValueError(f"{text} is not a date: year {year}")
    if not 1 <= month <= 12:
        raise ValueError(f"{text} is not a date: month {month}")
    days = _calendar_lib.monthrange(year, month)[1]
    raise ValueError(f"{text} is not a date: day {day} ({_calendar_lib.month_name[month]} {year} has {days} days)")


# --- options --------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class StudyOptions:
    """What a study was asked, resolved: the keywords of :func:`run_study`."""

    events: Optional[tuple] = None
    universe: tuple = DEFAULT_UNIVERSE
    securities: Optional[dict] = None
    futures: Optional[dict] = None
    dates: Optional[tuple] = None
    years: Optional[tuple] = None
    pre: int = -5
    post: int = 10
    base_minute: int = DEFAULT_BASE_MINUTE
    event_tz: str = "America/New_York"
    bar_tz: str = "UTC"
    ema: Optional[int] = None
    confidence: float = CONFIDENCE
    dask: Optional[str] = None
    bars_dataset: Optional[str] = None
    control_days: int = DEFAULT_CONTROL_DAYS
    concurrent: str = "keep"

    def parameters(self) -> dict:
        """The options as run.json lists them: plain values."""
        plain = dataclasses.asdict(self)
        for name in ("events", "universe", "dates", "years"):
            if plain[name] is not None:
                plain[name] = list(plain[name])
        plain.pop("securities"), plain.pop("futures")
        return plain


def _check_options(options: StudyOptions, own_calendar: bool) -> tuple[str, str, str]:
    """Refuses contradicting options before anything is fetched; gives the
    first and last date and the period in words (None where an own
    calendar's span decides)."""
    if options.dates is not None and options.years is not None:
        raise StudyError("give the period as dates or as years, not both")
    if options.years is not None:
        years = sorted(set(options.years))
        if not years:
            raise StudyError("years: name at least one calendar year")
        for year in years:
            if not isinstance(year, int) or not dt.MINYEAR <= year <= dt.MAXYEAR:
                raise StudyError(f"{year} is not a calendar year")
        start, end, period = f"{years[0]}-01-01", f"{years[-1]}-12-31", ", ".join(map(str, years))
    elif options.dates is not None:
        if len(options.dates) != 2:
            raise StudyError(f"dates: expected the first and the last date, got {list(options.dates)}")
        try:
            start, end = (parse_date(d) for d in options.dates)
        except ValueError as exc:
            raise StudyError(str(exc)) from None
        if end < start:
            raise StudyError(f"the end date {end} is before the start date {start}")
        period = f"{start} to {end}"
    elif own_calendar:
        start = end = period = None
    else:
        start, end, period = DEFAULT_START, DEFAULT_END, f"{DEFAULT_START} to {DEFAULT_END}"
    if options.concurrent not in CONCURRENT_CHOICES:
        raise StudyError(f"concurrent must be 'keep' or 'drop', not {options.concurrent!r}")
    if not 0 <= options.control_days <= MAX_CONTROL_DAYS:
        raise StudyError(f"control days must lie between 0 and {MAX_CONTROL_DAYS}, not {options.control_days}")
    _check_window(options)
    _check_zone(options.event_tz, "--event-tz")
    _check_zone(options.bar_tz, "--bar-tz")
    if not 0 < options.confidence < 1:
        raise StudyError(f"confidence must lie strictly between 0 and 1, got {options.confidence}")
    return start, end, period


def _check_window(options: StudyOptions) -> None:
    pre, post, base = options.pre, options.post, options.base_minute
    if pre > post:
        raise StudyError(f"the window starts after it ends (pre {pre} > post {post})")
    if not pre <= base <= post:
        raise StudyError(f"the window {pre}..{post} does not contain the baseline minute "
                         f"{base} that the moves are measured from; widen it or choose --base-minute")
    length = post - pre + 1
    if options.ema is not None:
        if options.ema < 1:
            raise StudyError(f"--ema: expected a whole number of at least 1, got {options.ema}")
        if options.ema > length:
            raise StudyError(f"--ema {options.ema} is longer than the {length}-minute windows: it would have no value")


def _check_zone(name: str, option: str) -> None:
    import pytz

    try:
        pytz.timezone(name)
    except pytz.UnknownTimeZoneError:
        raise StudyError(f"unknown time zone {name!r} for {option} (an IANA name such as America/New_York)") from None


def check_dask(scheduler: Optional[str]) -> None:
    """Refuses --dask where Dask is not installed, naming the extra."""
    if not scheduler:
        return
    try:
        from orvane_data import distributed  # noqa: F401

        if scheduler == "local":
            import distributed as _  # noqa: F401
    except ImportError as exc:
        missing = getattr(exc, "name", None) or "dask"
        raise StudyError(f"--dask needs Dask ({missing} is not installed): pip install 'orvane_data[dask]'") from None


def bar_spans(options: StudyOptions, start: str, end: str) -> list[tuple[str, str]]:
    """The date spans whose bars are fetched: runs of consecutive years named
    (2021 and 2023 fetch no bar of 2022), else the whole period."""
    if not options.years:
        return [(start, end)]
    runs: list[list[int]] = []
    for year in sorted(set(options.years)):
        if runs and year == runs[-1][-1] + 1:
            runs[-1].append(year)
        else:
            runs.append([year])
    return [(f"{run[0]}-01-01", f"{run[-1]}-12-31") for run in runs]
