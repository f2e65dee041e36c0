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


# ---------------------------------------------------------------------------
# Momentum, volatility, volume and trend indicators: each written from its
# definition with pandas' rolling windows and ewm(adjust=False), which define
# what a missing value (NaN, or an infinity read as one) does.


def _missing_inf(s: pd.Series) -> pd.Series:
    return s.astype(float).replace([np.inf, -np.inf], np.nan)


def seeded_ewm(x: pd.Series, start: int, length: int, alpha: float, seed=None) -> pd.Series:
    """The exponential mean of ``x`` from row ``start`` on, seeded on row
    ``start + length - 1`` with ``seed`` (the mean of the observed values of
    ``x[start:start + length]`` when None); NaN before."""
    arr = _missing_inf(x).to_numpy(copy=True)
    out = np.full(len(arr), np.nan)
    end = start + length - 1
    if end < len(arr):
        if seed is None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # a window of NaN only
                seed = np.nanmean(arr[start : end + 1])
        arr[end] = seed
        out[end:] = pd.Series(arr[end:]).ewm(alpha=alpha, adjust=False).mean().to_numpy()
    return pd.Series(out, index=x.index)


def wilder(x: pd.Series, start: int, length: int, seed=None) -> pd.Series:
    return seeded_ewm(x, start, length, 1.0 / length, seed)


def _percent(num: pd.Series, den: pd.Series) -> pd.Series:
    return (100.0 * num / den).mask(den == 0, 0.0)


def rsi(close: pd.Series, length: int = 14) -> pd.Series:
    change = _missing_inf(close).diff()
    gain, loss = change.clip(lower=0.0), (-change).clip(lower=0.0)
    up, down = wilder(gain, 1, length), wilder(loss, 1, length)
    return _percent(up, up + down).rename(f"RSI_{length}")


def macd(close: pd.Series, fast: int = 12, slow: int = 26, signal: int = 9) -> pd.DataFrame:
    span = lambda n: 2.0 / (n + 1)  # noqa: E731
    line = seeded_ewm(close, slow - fast, fast, span(fast)) - seeded_ewm(close, 0, slow, span(slow))
    sig = seeded_ewm(line, slow - 1, signal, span(signal))
    tail = f"_{fast}_{slow}_{signal}"
    return pd.DataFrame({"MACD" + tail: line, "MACDs" + tail: sig, "MACDh" + tail: line - sig})


def stoch(high, low, close, k: int = 14, d: int = 3, smooth_k: int = 3) -> pd.DataFrame:
    hh = _missing_inf(high).rolling(k).max()
    ll = _missing_inf(low).rolling(k).min()
    close = _missing_inf(close)
    raw = _percent(close - ll, hh - ll).where(close.notna())
    pk = raw.rolling(smooth_k).mean()
    tail = f"_{k}_{d}_{smooth_k}"
    return pd.DataFrame({"STOCHk" + tail: pk, "STOCHd" + tail: pk.rolling(d).mean()})


def bbands(close: pd.Series, length: int = 20, std: float = 2.0, ddof: int = 0) -> pd.DataFrame:
    close = _missing_inf(close)
    mid = close.rolling(length).mean()
    dev = close.rolling(length).std(ddof=ddof)
    tail = f"_{length}_{float(std)}"
    return pd.DataFrame({"BBU" + tail: mid + std * dev, "BBM" + tail: mid, "BBL" + tail: mid - std * dev})


def true_range(high, low, close) -> pd.Series:
    previous = close.shift()
    spans = pd.concat([high - low, (high - previous).abs(), (low - previous).abs()], axis=1)
    tr = spans.max(axis=1)
    tr.iloc[:1] = np.nan
    return tr


def atr(high, low, close, length: int = 14) -> pd.Series:
    return wilder(true_range(high, low, close), 1, length).rename(f"ATR_{length}")


def obv(close: pd.Series, volume: pd.Series) -> pd.Series:
    sign = np.sign(close.astype(float).diff())
    sign.iloc[:1] = 1.0
    return (sign * volume.astype(float)).cumsum().rename("OBV")


def adx(high, low, close, length: int = 14) -> pd.DataFrame:
    up, down = high.diff(), -low.diff()
    known = up.notna() & down.notna()
    plus = up.where((up > down) & (up > 0), 0.0).where(known)
    minus = down.where((down > up) & (down > 0), 0.0).where(known)
    tr = true_range(high, low, close)

    def summed(x):  # the sum of rows 1 to length - 1, as a mean over length
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a window of NaN only
            seed = 0.0 if length == 1 else np.nanmean(_missing_inf(x).iloc[1:length]) * (length - 1) / length
        return wilder(x, 0, length, seed)

    s_plus, s_minus, s_tr = summed(plus), summed(minus), summed(tr)
    early = np.arange(len(close)) < length
    pdi = _percent(s_plus, s_tr).mask(early)
    mdi = _percent(s_minus, s_tr).mask(early)
    dx = _percent((pdi - mdi).abs(), pdi + mdi)
    tail = f"_{length}"
    return pd.DataFrame({"ADX" + tail: wilder(dx, length, length), "DMP" + tail: pdi, "DMN" + tail: mdi})


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
    out["ret_1m_bps"] = pd.Series(minute_returns(codes, offsets, prices), index=windows.index)
    return out


def minute_returns(codes, offsets, prices):
    """Each row's return in basis points over the first row of its window one
    whole minute earlier, found by a merge of the rows onto themselves
    shifted by a minute; NaN without such a row or with an earlier price of
    zero or not finite."""
    whole = np.isfinite(offsets) & (np.trunc(offsets) == offsets)
    rows = pd.DataFrame({"code": codes, "minute": offsets, "price": prices})
    earlier = (rows[whole].assign(minute=rows["minute"] + 1)
               .drop_duplicates(["code", "minute"], keep="first")
               .rename(columns={"price": "before"}))
    before = rows[["code", "minute"]].merge(earlier[["code", "minute", "before"]], how="left",
                                            on=["code", "minute"])["before"].to_numpy()
    usable = whole & np.isfinite(before) & (before != 0)
    with np.errstate(all="ignore"):
        return np.where(usable, (prices / before - 1.0) * 10000.0, np.nan)


# --- event grids and windows ----------------------------------------------------


def event_grid(df_calendar, pre=-5, post=10, rounding=None):
    """The minutes around each event, row by row: every distinct event, every
    distinct time of it rounded by ``rounding`` (the query kit's own by
    default), every minute offset from ``pre`` to ``post``."""
    from datetime import timedelta

    from orvane_data.from_bqia import query_kit

    rounding = rounding or query_kit.round_event_datetime
    rows = []
    for event in df_calendar["EVENT_NAME"].unique():
        selected = df_calendar[df_calendar["EVENT_NAME"] == event]
        for t in [rounding(v) for v in list(selected["event_datetime"].unique())]:
            for m in range(pre, post + 1):
                rows.append((event, t, t + timedelta(minutes=m), m))
    return pd.DataFrame(rows, columns=["EVENT_NAME", "event_datetime", "datetime", "time_diff"])


def event_windows(df_bars, df_calendar, pre=-5, post=10, rounding=None):
    """The bars on each event's minutes, joined as pandas joins them: the
    grid joined with the bars by minute, minutes without a bar dropped, rows
    ordered by event, event time, key and minute, the calendar's columns
    joined on (event name, event time)."""
    grid = event_grid(df_calendar, pre, post, rounding).set_index("datetime")
    bars = df_bars.set_index("datetime")
    joined = grid.join(bars, how="left").reset_index()
    joined = joined.dropna(subset=["key"])
    joined = joined[list(grid.columns) + ["datetime"] + list(bars.columns)]
    joined = joined.sort_values(["EVENT_NAME", "event_datetime", "key", "datetime"]).reset_index(drop=True)
    by_event = joined.set_index(["EVENT_NAME", "event_datetime"])
    calendar = df_calendar.reset_index().set_index(["EVENT_NAME", "event_datetime"])
    return by_event.join(calendar, how="left").reset_index()


# --- releases that share windows, ordinary days, activity against them ----------


def concurrent_releases(calendar: pd.DataFrame, pre: int = -5, post: int = 10) -> pd.DataFrame:
    """Every pair of releases (kind, minute) compared by a cross join: the
    other releases within ``pre`` to ``post`` minutes of each."""
    releases = calendar[["EVENT_NAME", "event_datetime"]].dropna()
    releases = releases.assign(minute=releases["event_datetime"].dt.floor("min"))
    releases = releases.drop_duplicates(["EVENT_NAME", "minute"]).reset_index(drop=True)
    releases["release"] = np.arange(len(releases))
    pairs = releases.merge(releases, how="cross", suffixes=("", "_other"))
    offset = (pairs["minute_other"] - pairs["minute"]) / pd.Timedelta(minutes=1)
    inside = (offset >= pre) & (offset <= post) & (pairs["release"] != pairs["release_other"])
    found = pairs[inside].groupby("release")["EVENT_NAME_other"]
    out = releases.assign(concurrent=found.size().reindex(releases["release"], fill_value=0).to_numpy(),
                          concurrent_events=found.agg(lambda names: "; ".join(sorted(set(names))))
                          .reindex(releases["release"], fill_value="").to_numpy())
    out = out.sort_values(["minute", "EVENT_NAME"], kind="stable").reset_index(drop=True)
    return out[["EVENT_NAME", "event_datetime", "concurrent", "concurrent_events"]]


def control_days(release_day, busy_days, days: int) -> list:
    """The ``days`` weekdays nearest before ``release_day`` that are not busy,
    oldest first, from a business-day range long enough to hold them."""
    candidates = pd.bdate_range(end=pd.Timestamp(release_day) - pd.Timedelta(days=1),
                                periods=days + len(busy_days) + 1)
    free = [d.date() for d in candidates if d.date() not in busy_days]
    return free[len(free) - days:] if days else []


def abnormal_activity(moves: pd.DataFrame, control: pd.DataFrame, by=("EVENT_NAME", "key")) -> pd.DataFrame:
    """Group by group with pandas' groupby and scipy's Mann-Whitney U test."""
    from scipy import stats

    keys = [*by, "time_diff"]
    control_groups = {key: part for key, part in control.groupby(keys)}
    rows = []
    for key, part in moves.groupby(keys):
        other = control_groups.get(key, control.iloc[:0])
        x = part["ret_1m_bps"].dropna().abs().to_numpy()
        y = other["ret_1m_bps"].dropna().abs().to_numpy()
        sq_x = (part["ret_1m_bps"].dropna() ** 2).mean()
        sq_y = (other["ret_1m_bps"].dropna() ** 2).mean()
        volume = (part["volume"].mean() / other["volume"].mean()
                  if "volume" in part and "volume" in other and len(other) else np.nan)
        p = stats.mannwhitneyu(x, y, alternative="two-sided").pvalue if len(x) and len(y) else np.nan
        rows.append((*key, len(x), len(y), x.mean() if len(x) else np.nan, y.mean() if len(y) else np.nan,
                     x.mean() / y.mean() if len(x) and len(y) else np.nan,
                     sq_x / sq_y if len(x) and len(y) else np.nan, volume, p))
    return pd.DataFrame(rows, columns=[*keys, "n", "n_control", "abs_ret_bps", "control_abs_ret_bps",
                                       "abs_ratio", "var_ratio", "volume_ratio", "p_value"])
