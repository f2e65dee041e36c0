"""Repeated calls keep the process's memory flat.

A native function that keeps one reference too many leaks its result (a
Series of a few kB for an indicator, a small object for a time function) on
every call. Each case is warmed up, then called n more times; the resident
set may not grow by more than the tolerance. n is chosen so that a leak of
one result per call would exceed it several times over, while each case runs
in well under a second. Error paths are called too: they are where a
reference is most easily dropped on the floor.
"""

from __future__ import annotations

import gc
import os
import warnings

import numpy as np
import pandas as pd
import pytest

from orvane_data import _clockwork as cw
from orvane_data import event_study
from orvane_data.from_bqia import bar_kit, query_kit
from orvane_data.from_s3 import bucket_sets
from orvane_data.ta import overlap, utils

PAGE = os.sysconf("SC_PAGE_SIZE")
TOLERANCE = 2**20  # bytes; repeated calls without a leak grow by a few hundred KiB at most


def _instrumented() -> bool:
    # ASan keeps freed memory in quarantine, so the resident set grows anyway
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


pytestmark = [
    pytest.mark.skipif(_instrumented(), reason="the sanitizer runtime's quarantine holds freed memory"),
    pytest.mark.filterwarnings("ignore::RuntimeWarning"),
]


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def raising(fn, error):
    def call():
        try:
            fn()
        except error:
            pass
    return call


close = pd.Series(np.linspace(100, 110, 30), index=pd.date_range("2024-01-01", periods=30))
ints = pd.Series(np.arange(30))
stamps = pd.date_range("2024-03-10 01:00", periods=8, freq="15min")
aware = stamps.tz_localize("Asia/Hong_Kong")
event = pd.Timestamp("2024-01-05 08:30:45", tz="America/New_York")
frame_2 = pd.DataFrame({"DATETIME": stamps, "ticker": "T", "v": range(8)}).set_index(["DATETIME", "ticker"])
daily = pd.DataFrame({"DATE": ["2024-06-03", "2024-06-04"], "ticker": ["A", "B"], "v": [1, 2]}).set_index(["DATE", "ticker"])
windows = pd.DataFrame({"EVENT_NAME": ["a"] * 4, "event_datetime": [event] * 4, "key": ["k"] * 4,
                        "time_diff": [-1, 0, 1, 2], "close": [1.0, 2.0, 3.0, 4.0]})
calendar = pd.DataFrame({"EVENT_NAME": ["CPI"], "event_datetime": [pd.Timestamp("2024-01-05 08:30")]})
bars = pd.DataFrame({"security": ["F"] * 3, "datetime": pd.to_datetime(["2024-01-05 08:29", "2024-01-05 08:30", "2024-01-05 08:31"]),
                     "key": ["k"] * 3, "close": [1.0, 2.0, 3.0]})

INDICATORS = [
    ("sma", lambda: overlap.sma(close, 5, min_periods=3)),
    ("ema", lambda: overlap.ema(close, 5)),
    ("ema adjusted int", lambda: overlap.ema(ints, 5, adjust=True, sma=False)),
    ("rma", lambda: overlap.rma(close, 5)),
    ("wma", lambda: overlap.wma(close, 5, asc=False)),
    ("dema", lambda: overlap.dema(close, 5)),
    ("tema", lambda: overlap.tema(close, 5)),
    ("hma", lambda: overlap.hma(close, 9)),
    ("hlc3", lambda: overlap.hlc3(close, close, close, offset=1)),
    ("vwap", lambda: overlap.vwap(close, close, close, close, anchor="D")),
    ("vwap pandas path", lambda: overlap.vwap(close, close, close, ints.set_axis(close.index))),
    ("ma", lambda: overlap.ma("EMA", close, length=4, fillna=0.0)),
    ("too short", lambda: overlap.sma(close, 50)),
    ("text length", raising(lambda: overlap.sma(close, "5"), TypeError)),
    ("object values", raising(lambda: overlap.ema(close.astype(str), 5), TypeError)),
    ("fills", lambda: utils._handle_fills(close, fillna=0.0, fill_method="ffill")),
    ("bad fill", raising(lambda: utils._handle_fills(close, fill_method="\ud800"), ValueError)),
]

TIME_FUNCTIONS = [
    ("round_event_datetime", lambda: query_kit.round_event_datetime(event, False)),
    ("convert_tz", lambda: query_kit.convert_tz("GMT+08:00")),
    ("convert_tz error", raising(lambda: query_kit.convert_tz("GMT"), IndexError)),
    ("_invert_sign", lambda: query_kit._invert_sign("-")),
    ("is_intraday_freq", lambda: cw.is_intraday_freq("5m")),
    ("index_time_level", lambda: cw.index_time_level(None)),
    ("yf_interval error", raising(lambda: cw.yf_interval_for_freq("3m"), ValueError)),
    ("infer_exchange_tz", lambda: cw.infer_exchange_tz("700 HK Equity")),
    ("type error", raising(lambda: cw.infer_exchange_tz(5), TypeError)),
    ("lookup", lambda: cw.lookup_ticker_exchange_tz("X", {"X": None})),
    ("meta", lambda: cw.make_orvane_meta("1D", index_semantics="x", exchange_tz={"A": "UTC"})),
    ("next friday", lambda: bucket_sets.get_next_friday("20241230")),
    ("closest date", lambda: bucket_sets.find_closest_earlier_date("20240110", ["20240105", "20240112"])),
]

FRAME_FUNCTIONS = [
    ("yahoo range", raising(lambda: cw.validate_yahoo_1m_range("2024-06-01", "2024-06-09"), ValueError)),
    ("to utc", lambda: cw.process_intraday_timestamps(stamps, exchange_tz="America/New_York", output_tz="UTC")),
    ("aware", lambda: cw.process_intraday_timestamps(aware, output_tz="UTC")),
    ("zone required", raising(lambda: cw.process_intraday_timestamps(stamps, output_tz="UTC"), ValueError)),
    ("level", lambda: cw.apply_intraday_index_level(frame_2, "DATETIME", exchange_tz="America/New_York", output_tz="UTC")),
    ("daily", lambda: cw.normalize_daily_index(daily)),
    ("event_moves", lambda: event_study.event_moves(windows)),
    ("grid", lambda: bar_kit.get_event_metadata(calendar)),
    ("windows", lambda: bar_kit.filter_bars_around_events(bars, calendar)),
]


def _grows(call, n):
    for _ in range(max(30, n // 10)):
        call()
    gc.collect()
    before = rss()
    for _ in range(n):
        call()
    gc.collect()
    return rss() - before


def _check(call, n):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        grown = _grows(call, n)
        if grown > TOLERANCE:
            # one more round: allocator arenas settling grow once, a leak grows again
            grown = _grows(call, n)
    assert grown <= TOLERANCE, f"resident memory grew by {grown / 2**20:.1f} MiB over {n} calls"


@pytest.mark.parametrize("name, call", INDICATORS, ids=[c[0] for c in INDICATORS])
def test_indicators(name, call):
    _check(call, 3_000)


@pytest.mark.parametrize("name, call", TIME_FUNCTIONS, ids=[c[0] for c in TIME_FUNCTIONS])
def test_time_functions(name, call):
    _check(call, 100_000 if name in ("is_intraday_freq", "index_time_level", "infer_exchange_tz", "_invert_sign",
                                     "lookup") else 20_000)


@pytest.mark.parametrize("name, call", FRAME_FUNCTIONS, ids=[c[0] for c in FRAME_FUNCTIONS])
def test_frame_functions(name, call):
    _check(call, 300)


def test_a_leak_is_seen():
    """The measurement itself: a call that keeps each result is caught."""
    kept = []
    with pytest.raises(AssertionError, match="resident memory grew"):
        # each kept result also holds 16 KiB, so the growth is unmistakable
        _check(lambda: kept.append((overlap.sma(close, 5), bytearray(16384))), 3_000)
