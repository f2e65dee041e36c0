"""The study's inputs: which services answer, an analyst's own calendar and
bars, and the calendar of the releases asked."""

from __future__ import annotations

import importlib
import os
import re
from pathlib import Path
from typing import Sequence

from orvane_data._study_options import (
    BARS_COLUMNS,
    CALENDAR_COLUMNS,
    SERVICE_NAMES,
    StudyError,
)


# --- services and own data --------------------------------------------------------


def _services() -> dict[str, str]:
    """Which service libraries answer: real, simulated, or none (missing)."""
    found = {}
    for name in SERVICE_NAMES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            found[name] = "missing"
            continue
        found[name] = "simulated" if getattr(module, "__orvane_simulated__", False) else "real"
    return found


def _need_service(services: dict[str, str], name: str, what: str) -> None:
    if services.get(name) == "missing":
        raise StudyError(f"no {what}: its library {name} cannot be imported. Install it, call "
                         f"orvane_data.simulated.activate() first to use the simulated services, or pass "
                         f"your own {'calendar=' if name == 'bql' else 'bars='} frame")


def _require(frame, needed: Sequence[str], what: str, expected: str) -> None:
    import pandas as pd

    if not isinstance(frame, pd.DataFrame):
        raise StudyError(f"{what}: expected a pandas DataFrame, got {type(frame).__name__}")
    missing = [c for c in needed if c not in frame.columns]
    if missing:
        raise StudyError(f"{what} has no column {', '.join(map(repr, missing))}; expected {expected}, "
                         f"it has {', '.join(map(str, frame.columns)) or 'none'}")


_OFFSET = re.compile(r"(?:Z|[+-]\d{2}:?\d{2})$")


def _stamps(values, zone: str, what: str):
    """Text or stamps as stamps in `zone`; stamps written without an offset are read as written in it."""
    import pandas as pd

    try:
        if isinstance(values.dtype, pd.DatetimeTZDtype):
            return values.dt.tz_convert(zone)
        if pd.api.types.is_datetime64_dtype(values.dtype):
            return values.dt.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
        text = values.astype(str).str.strip()
        offsets = text.str.contains(_OFFSET)
        if offsets.all():  # each an instant: offsets may differ (summer and winter time)
            return pd.to_datetime(text, utc=True, format="ISO8601").dt.tz_convert(zone)
        if offsets.any():
            raise ValueError("some times carry an offset from UTC and some do not")
        return pd.to_datetime(text, format="ISO8601").dt.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
    except (ValueError, TypeError) as exc:
        raise StudyError(f"{what}: not date-times ({exc})") from None


def own_calendar(frame, event_tz: str):
    """An analyst's releases in the fetchers' shape: `event_datetime` in the
    release zone, cut to its minute, `event_date`, and `surprise` from the
    actual and survey figures where the frame has no surprise of its own."""
    import pandas as pd

    _require(frame, CALENDAR_COLUMNS, "the calendar",
             "EVENT_NAME, event_datetime (and for the response to surprises: surprise, or ACTUAL and "
             "SURVEY_MEDIAN; ticker to choose events by ticker)")
    calendar = frame.copy()
    calendar["event_datetime"] = _stamps(calendar["event_datetime"], event_tz, "the calendar's event_datetime")
    if calendar["event_datetime"].isna().any():
        raise StudyError("the calendar's event_datetime has missing or non-existent times")
    calendar["event_datetime"] = calendar["event_datetime"].dt.floor("min")
    calendar["event_date"] = calendar["event_datetime"].map(lambda t: t.date())
    if "surprise" not in calendar.columns and {"ACTUAL", "SURVEY_MEDIAN"} <= set(calendar.columns):
        calendar["surprise"] = (pd.to_numeric(calendar["ACTUAL"], errors="coerce")
                                - pd.to_numeric(calendar["SURVEY_MEDIAN"], errors="coerce"))
    return calendar.reset_index(drop=True)


def own_bars(frame, bar_tz: str):
    """An analyst's minute bars in the fetcher's shape: `datetime` in the bars' zone."""
    import pandas as pd

    _require(frame, BARS_COLUMNS, "the bars", "datetime (the bar's minute), key (the security's name), close")
    bars = frame.copy()
    bars["datetime"] = _stamps(bars["datetime"], bar_tz, "the bars' datetime")
    bars["close"] = pd.to_numeric(bars["close"], errors="coerce")
    bars = bars[bars["datetime"].notna() & bars["key"].notna()]
    # names as the options and the tables write them, whatever a file's reader guessed
    return bars.assign(key=bars["key"].astype(str)).reset_index(drop=True)


def read_table(path: str | os.PathLike, what: str):
    """A CSV or Parquet file (by its suffix) as a frame."""
    import pandas as pd

    path = Path(path)
    try:
        if path.suffix.lower() in (".parquet", ".pq"):
            return pd.read_parquet(path)
        return pd.read_csv(path)
    except (OSError, ValueError) as exc:
        raise StudyError(f"cannot read {what} {path}: {getattr(exc, 'strerror', None) or exc}") from None
