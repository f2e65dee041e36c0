"""A small event study run through the simulated services, shaped as the
study object hands it to the report and the plots: the real calendar, bars,
windows, summary and response, and the tables the report shows beside them
formed here with pandas and scipy."""

from __future__ import annotations

import functools
import types

import numpy as np
import pandas as pd

# spx opens after the releases of New York's morning: every one of its pairs is dropped
SECURITIES = {"usdjpy": ("JPY Curncy", ""), "sx5e": ("SX5E Index", ""), "spx": ("SPX Index", "")}
FUTURES = {"es": ("ES", "Index", 5)}
# the unemployment rate comes out in the minute of the payrolls: concurrent releases
EVENTS = ["NFP TCH Index", "CPI YOY Index", "USURTOT Index"]
PRE, POST = -5, 10
CONTROL_DAYS = 5


@functools.lru_cache(maxsize=1)  # one run serves every test file of a session; callers do not change it
def build(year=2023, control_days=CONTROL_DAYS):
    from orvane_data import simulated

    simulated.activate()
    try:
        from orvane_data.event_study import event_moves, summarize_moves, surprise_response
        from orvane_data.from_bqia import bar_kit, query_kit

        start, end = f"{year}-01-01", f"{year}-12-31"
        calendar = query_kit.get_eco_calendar_data(query_kit.bq, ["US"], start, end, tickers=EVENTS,
                                                   event_timezone="America/New_York")
        calendar = calendar[calendar["event_date"].map(lambda d: d.year) == year].reset_index(drop=True)
        bars = bar_kit.get_intraday_bars(SECURITIES, FUTURES, start, end, tz="UTC")
        moves = event_moves(bar_kit.filter_bars_around_events(bars, calendar, PRE, POST))
        numbers = moves.assign(surprise=pd.to_numeric(moves["surprise"], errors="coerce"))
        summary = summarize_moves(moves)
        response = surprise_response(numbers)
        control = _control_moves(bars, calendar, control_days, bar_kit.filter_bars_around_events, event_moves)
    finally:
        simulated.deactivate()
    names = list(SECURITIES) + list(FUTURES)
    return types.SimpleNamespace(
        record=_record(year, calendar, moves),
        summary=summary,
        response=response,
        dropped=_dropped(calendar, names, moves),
        headline=_headline(summary, response, moves),
        calendar=calendar,
        concurrent=_concurrent(calendar),
        activity=_activity(moves, control),
        moves=moves,
    )


def _record(year, calendar, moves):
    measured = moves.loc[moves["move_bps"].notna(), ["EVENT_NAME", "event_datetime"]].drop_duplicates()
    return {
        "command": ["orvane-data", "event-study", "--years", str(year), "--out", "out"],
        "parameters": {"events": EVENTS, "universe": ["US"], "years": [year], "pre": PRE, "post": POST,
                       "base_minute": -1, "event_tz": "America/New_York", "bar_tz": "UTC", "ema": None,
                       "dask": None, "format": "csv"},
        "period": {"start": f"{year}-01-01", "end": f"{year}-12-31", "years": [year], "in_words": f"years {year}"},
        "securities": {name: {"parsekey": pk, "pricing_source": pcs, "figi": None}
                       for name, (pk, pcs) in SECURITIES.items()},
        "futures": {name: {"root": root, "yellow_key": yellow, "roll_offset_days": days}
                    for name, (root, yellow, days) in FUTURES.items()},
        "baseline": {"minute": -1},
        "releases": int(len(calendar)),
        "releases_with_a_move": int(len(measured)),
        "services": {"bql": "simulated", "bloomberg.bquant.intraday": "simulated"},
        "package_version": "0.1.0",
        "written_at": "2026-01-02T03:04:05+00:00",
    }


def _dropped(calendar, names, moves):
    """Releases and securities without a move."""
    keys = ["EVENT_NAME", "event_datetime", "key"]
    pairs = calendar[["EVENT_NAME", "event_datetime"]].drop_duplicates().merge(pd.DataFrame({"key": names}),
                                                                               how="cross")
    measured = moves.loc[moves["move_bps"].notna(), keys].drop_duplicates().assign(measured=True)
    pairs = pairs.merge(measured, on=keys, how="left")
    missing = pairs[pairs["measured"].isna()].drop(columns="measured")
    return missing.assign(reason="no bar in the window: outside trading hours").reset_index(drop=True)


def _headline(summary, response, moves):
    keys = ["EVENT_NAME", "key"]
    at = summary.loc[summary["time_diff"] == 1, keys + ["mean_bps", "t_stat"]]
    fit = response.loc[response["time_diff"] == 1, keys + ["beta_bps_per_sd", "t_stat"]]
    table = at.merge(fit, on=keys, how="left", suffixes=("", "_response"))
    releases = moves[moves["move_bps"].notna()].groupby(keys)["event_datetime"].nunique().rename("n_releases")
    return table.merge(releases.reset_index(), on=keys, how="left").reset_index(drop=True)


def _concurrent(calendar):
    """Other releases inside each release's window, counted by brute force."""
    releases = calendar[["EVENT_NAME", "event_datetime"]].drop_duplicates().reset_index(drop=True)
    stamps = pd.to_datetime(releases["event_datetime"], utc=True)
    rows = []
    for i, when in enumerate(stamps):
        inside = [releases["EVENT_NAME"][j] for j, other in enumerate(stamps)
                  if j != i and PRE <= (other - when) / pd.Timedelta(minutes=1) <= POST]
        rows.append((len(inside), "; ".join(sorted(inside))))
    return releases.assign(concurrent=[n for n, _ in rows], concurrent_events=[e for _, e in rows])


def _control_moves(bars, calendar, days, windows_of, event_moves):
    """Pseudo-releases at the same clock time on the business days before each release."""
    shifted = []
    for back in range(1, days + 1):
        when = calendar["event_datetime"].map(lambda t, b=back: t - pd.offsets.BDay(b))
        shifted.append(calendar.assign(event_datetime=when, control_of=calendar["event_datetime"]))
    control = pd.concat(shifted, ignore_index=True)
    return event_moves(windows_of(bars, control, PRE, POST))


def _activity(moves, control):
    """Mean |one-minute return| around releases over that of control days, with the Mann-Whitney test."""
    from scipy.stats import mannwhitneyu

    def returns(frame):
        ordered = frame.sort_values(["EVENT_NAME", "event_datetime", "key", "time_diff"])
        previous = ordered.groupby(["EVENT_NAME", "event_datetime", "key"])["close"].shift()
        gap = ordered.groupby(["EVENT_NAME", "event_datetime", "key"])["time_diff"].diff()
        ret = (ordered["close"] / previous - 1.0).where(gap == 1) * 1e4
        return ordered.assign(abs_ret=ret.abs()).dropna(subset=["abs_ret"])

    event, base = returns(moves), returns(control)
    rows = []
    for (name, key, minute), group in event.groupby(["EVENT_NAME", "key", "time_diff"]):
        other = base[(base["EVENT_NAME"] == name) & (base["key"] == key) & (base["time_diff"] == minute)]
        if other.empty:
            continue
        mean, control_mean = group["abs_ret"].mean(), other["abs_ret"].mean()
        rows.append((name, key, minute, mean, control_mean, mean / control_mean,
                     (group["abs_ret"] ** 2).mean() / (other["abs_ret"] ** 2).mean(),
                     group["volume"].mean() / other["volume"].mean(), len(group), len(other),
                     mannwhitneyu(group["abs_ret"], other["abs_ret"]).pvalue))
    columns = ["EVENT_NAME", "key", "time_diff", "abs_ret_bps", "control_abs_ret_bps", "abs_ratio", "var_ratio",
               "volume_ratio", "n", "n_control", "p_value"]
    return pd.DataFrame(rows, columns=columns).astype({"n": np.int64, "n_control": np.int64})
