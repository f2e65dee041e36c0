"""Plain pandas formulations of what the package computes, shared by the
tests and the benchmarks: each is written from the definition with pandas and
numpy alone, so that a differential test or a benchmark ratio compares the
package against an independent answer.

The benchmarks put this folder on ``sys.path`` to import it.
"""

import warnings

import numpy as np
import pandas as pd
import pytz


def seeded(close: pd.Series, length: int) -> pd.Series:
    """The source of the seeded exponential averages: NaN for the first
    ``length - 1`` rows, then the mean of the first ``length`` values, then the
    values themselves."""
    arr = close.to_numpy(dtype=float, copy=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a window of NaN only
        seed = np.nanmean(arr[:length])
    arr[: length - 1] = np.nan
    arr[length - 1] = seed
    return pd.Series(arr, index=close.index)


def pandas_utc(ts, zone: str) -> pd.DatetimeIndex:
    """pandas' own localisation of naive local stamps, as naive UTC: repeated
    hours read from the order of the stamps, skipped ones moved forward."""
    return (
        pd.DatetimeIndex(ts)
        .tz_localize(zone, ambiguous="infer", nonexistent="shift_forward")
        .tz_convert("UTC")
        .tz_localize(None)
    )


def local_clock(utc_index: pd.DatetimeIndex, zone: str) -> pd.DatetimeIndex:
    """What an exchange's wall clock showed at each UTC instant (repeats in the fall-back hour)."""
    return utc_index.tz_localize("UTC").tz_convert(zone).tz_localize(None)


def element_by_element(frame: pd.DataFrame, target: str, round_event=None) -> pd.DataFrame:
    """The calendar's four event columns, one release at a time: each release
    time localised in the calendar's zone (or, where that fails anywhere,
    converted), rounded by ``round_event`` (the module's own by default), and
    its date, time and zone read."""
    from orvane_data.from_bqia import query_kit

    round_event = round_event or query_kit.round_event_datetime
    out = frame.copy()
    calendar_zone = query_kit.convert_tz(out["TIMEZONE"].unique()[0])
    zone = pytz.timezone(target)
    try:
        event = out["RELEASE_DATE_TIME"].apply(lambda x: pd.to_datetime(x).tz_localize(calendar_zone).tz_convert(zone))
    except Exception:
        event = out["RELEASE_DATE_TIME"].apply(lambda x: pd.to_datetime(x).tz_convert(calendar_zone).tz_convert(zone))
    out["event_datetime"] = event.apply(round_event)
    out["event_date"] = out["event_datetime"].apply(lambda x: x.date())
    out["event_time"] = out["event_datetime"].apply(lambda x: pd.NaT if x is pd.NaT else x.time())
    out["event_timezone"] = out["event_datetime"].apply(lambda x: x.tz)
    return out


# --- the event study -----------------------------------------------------------


def event_moves(windows: pd.DataFrame, price: str = "close", by=("EVENT_NAME", "event_datetime", "key"),
                base_minute: int = -1) -> pd.DataFrame:
    """The windows with ``move_bps``: each row's move in basis points from the
    price of its window's first row at the baseline minute; NaN for a window
    without one, a baseline price of zero or not finite, or a row without a
    minute."""
    out = windows.copy()
    codes = windows.groupby(list(by), sort=False, dropna=False).ngroup().to_numpy()
    offsets = windows["time_diff"].to_numpy("float64", na_value=np.nan)
    prices = windows[price].to_numpy("float64", na_value=np.nan)
    base_of = {}
    for row, code in enumerate(codes):
        if offsets[row] == base_minute and code not in base_of:
            base_of[code] = prices[row]
    bases = np.array([base_of.get(code, np.nan) for code in codes], dtype=float)
    usable = np.isfinite(bases) & (bases != 0) & ~np.isnan(offsets)
    with np.errstate(all="ignore"):
        moves = np.where(usable, (prices / bases - 1.0) * 10000.0, np.nan)
    out["move_bps"] = pd.Series(moves, index=windows.index)
    return out
