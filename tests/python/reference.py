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


# ---------------------------------------------------------------------------
# The moving averages of orvane_data.ta.overlap, written with pandas and numpy
# alone: the length rule (a positive number, else the default) included, the
# helpers' argument checks, offsets and fills left out.


def _length(length, default: int) -> int:
    return int(length) if length and length > 0 else default


def pd_sma(close: pd.Series, length=None, min_periods=None) -> pd.Series:
    length = _length(length, 10)
    return close.rolling(length, min_periods=int(min_periods or length)).mean()


def pd_ema(close: pd.Series, length=None, adjust=False, sma=True) -> pd.Series:
    length = _length(length, 10)
    source = seeded(close, length) if sma else close
    return source.ewm(span=length, adjust=adjust).mean()


def pd_rma(close: pd.Series, length=None) -> pd.Series:
    length = _length(length, 10)
    return seeded(close, length).ewm(alpha=1.0 / length, adjust=False).mean()


def pd_wma(close: pd.Series, length=None, asc=True) -> pd.Series:
    length = _length(length, 10)
    weights = np.arange(1, length + 1, dtype=float)
    if not asc:
        weights = weights[::-1]
    total = 0.5 * length * (length + 1)
    return close.rolling(length, min_periods=length).apply(lambda x: np.dot(x, weights) / total, raw=True)


def pd_dema(close: pd.Series, length=None, **kwargs) -> pd.Series:
    e1 = pd_ema(close, length, **kwargs)
    return 2 * e1 - pd_ema(e1, length, **kwargs)


def pd_tema(close: pd.Series, length=None, **kwargs) -> pd.Series:
    e1 = pd_ema(close, length, **kwargs)
    e2 = pd_ema(e1, length, **kwargs)
    return 3 * e1 - 3 * e2 + pd_ema(e2, length, **kwargs)


def pd_hma(close: pd.Series, length=None) -> pd.Series:
    length = _length(length, 9)
    diff = 2 * pd_wma(close, int(length / 2)) - pd_wma(close, length)
    return pd_wma(diff, int(np.sqrt(length)))


def pd_hlc3(high: pd.Series, low: pd.Series, close: pd.Series) -> pd.Series:
    return (high + low + close) / 3.0


def pd_vwap(high: pd.Series, low: pd.Series, close: pd.Series, volume: pd.Series) -> pd.Series:
    tp = (high + low + close) / 3.0
    return (tp * volume).cumsum() / volume.cumsum()


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
