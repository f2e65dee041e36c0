"""Native sections that run with the GIL released: each call below must run
its sections released, and every section the sources name is exercised here,
so a release that is dropped (the section run plainly, or the wrapper made to
hold the GIL) fails a test."""

import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from orvane_data import _glue
from orvane_data import _clockwork as cw
from orvane_data.from_bqia import bar_kit
from reference import local_clock

NY = "America/New_York"
CPP = Path(__file__).resolve().parents[2] / "cpp"


def wall_clock_minutes():
    stamps = local_clock(pd.date_range("2024-11-02", periods=3_000, freq="min"), NY)
    cw.process_intraday_timestamps(stamps, exchange_tz=NY, output_tz="UTC")


def instruments_through_fall_back(zone=NY):
    wall = pd.to_datetime(["2024-11-03 01:30", "2024-11-03 01:30", "2024-11-03 01:40"])
    index = pd.MultiIndex.from_arrays([["A"] * 3 + ["B"] * 3, wall.append(wall)], names=["T", "DATETIME"])
    cw.apply_intraday_index_level(pd.DataFrame({"v": 1}, index=index), "DATETIME", exchange_tz=zone, output_tz="UTC")


def instruments_in_a_zone_without_table():
    # the zone table holds no dateutil zone: the instruments are grouped and
    # each converted by pandas (on both sides of the repeated hour the table
    # reads in one pass otherwise)
    instruments_through_fall_back("dateutil/America/New_York")


CALENDAR = pd.DataFrame({"EVENT_NAME": ["CPI", "NFP"],
                         "event_datetime": pd.to_datetime(["2024-06-12 08:30", "2024-06-07 08:30"])})


def event_grid():
    bar_kit.get_event_metadata(CALENDAR)


def windows_of_arrow_texts():
    bars = pd.DataFrame({"datetime": pd.date_range("2024-06-12 08:20", periods=30, freq="min"),
                         "key": pd.array(["a", "b"] * 15, dtype="string[pyarrow]"),
                         "venue": pd.array(["x"] * 30, dtype="string[pyarrow]")})
    bar_kit.filter_bars_around_events(bars, CALENDAR)


def event_statistics():
    from orvane_data import event_study

    windows = pd.DataFrame({"EVENT_NAME": "NFP", "event_datetime": pd.Timestamp("2024-06-07 12:30"),
                            "key": pd.array(["a", "b"] * 6, dtype="string[pyarrow]"), "time_diff": [-1, 0, 1] * 4,
                            "close": np.arange(100.0, 112.0), "surprise": 1.0})
    moves = event_study.event_moves(windows, by=["key"])
    event_study.summarize_moves(moves)
    event_study.surprise_response(moves)


def release_evidence():
    from orvane_data import event_study

    calendar = pd.DataFrame({"EVENT_NAME": ["NFP", "UNEMP"], "event_datetime": pd.Timestamp("2024-06-07 12:30")})
    event_study.concurrent_releases(calendar)
    event_study.control_events(calendar, 2)
    moves = pd.DataFrame({"EVENT_NAME": "NFP", "key": "a", "time_diff": 0, "ret_1m_bps": [1.0, -2.0]})
    event_study.abnormal_activity(moves, moves)


def long_close(rows):
    return pd.Series(100 + np.sin(np.arange(float(rows))), index=pd.date_range("2024-06-03 09:30", periods=rows, freq="min"))


def averages():
    from orvane_data.ta import overlap

    close = long_close(5_000)
    for average, length in [("sma", 10), ("ema", 10), ("wma", 10), ("dema", 10), ("hma", 20)]:
        getattr(overlap, average)(close, length)
    overlap.ema(close, 4_096)  # its seed, the mean of the first `length` values, is a pass of its own
    overlap.hlc3(close + 1, close - 1, close)
    overlap.vwap(close + 1, close - 1, close, close * 0 + 5.0)
    # an ema of the caller's own in the module: dema blends two means of it
    own = overlap.ema
    overlap.ema = lambda *args, **kwargs: own(*args, **kwargs)
    try:
        overlap.dema(close, 10)
    finally:
        overlap.ema = own


def key_runs_of_arrow_texts():
    from orvane_data.ta import _grouped_averages

    _grouped_averages._key_runs(pd.Series(["a", "a", "b"], dtype="string[pyarrow]"))


CALLS = {
    wall_clock_minutes: {"clockwork.wall_to_utc"},
    instruments_through_fall_back: {"clockwork.rows_to_utc", "clockwork.level_codes"},
    instruments_in_a_zone_without_table: {"clockwork.instrument_groups"},
    event_grid: {"bar_kit.event_grid.distinct", "bar_kit.event_grid.expand"},
    windows_of_arrow_texts: {"bar_kit.event_windows.minutes", "bar_kit.event_windows.rows",
                             "texts.rank", "texts.lay_out", "texts.copy"},
    event_statistics: {"event_study.moves", "event_study.groups", "event_study.summary", "event_study.releases",
                       "event_study.standardize",
                       "event_study.response", "keys.text_ranks"},
    release_evidence: {"event_study.concurrent", "event_study.control_days", "event_study.activity",
                       "event_study.groups"},
    averages: {"overlap.sma", "overlap.seed", "overlap.ewm", "overlap.wma", "overlap.stacked_ewm", "overlap.hma",
               "overlap.hlc3", "overlap.vwap", "overlap.blend"},
    key_runs_of_arrow_texts: {"runner.key_runs"},
}


@pytest.mark.parametrize("call", CALLS, ids=lambda call: call.__name__)
def test_each_call_runs_its_sections_released(call):
    _glue.reset_released()
    call()
    ran = _glue.released()
    assert {section: ran.get(section, 0) >= 1 for section in CALLS[call]} == dict.fromkeys(CALLS[call], True)


def test_every_section_the_sources_name_is_exercised_here():
    if not CPP.is_dir():
        pytest.skip("the C++ sources are not beside these tests")
    named = set()
    for source in CPP.rglob("*.cpp"):
        named |= set(re.findall(r'without_gil(?:_over)?\(\s*"([^"]+)"', source.read_text()))
    assert named == set().union(*CALLS.values())


def test_counts_accumulate_until_reset():
    _glue.reset_released()
    event_grid()
    event_grid()
    assert _glue.released()["bar_kit.event_grid.expand"] == 2
    copy = _glue.released()
    copy.clear()  # a copy: the counts stay
    assert _glue.released()["bar_kit.event_grid.expand"] == 2
    _glue.reset_released()
    assert _glue.released() == {}


def test_an_indicators_pass_holds_the_gil_under_4096_rows():
    # releasing the GIL and taking it back costs about what a short pass does
    from orvane_data.ta import momentum, overlap

    for rows, released in [(4_095, {}), (4_096, {"overlap.sma": 1, "momentum.rsi": 1})]:
        _glue.reset_released()
        close = long_close(rows)
        overlap.sma(close, 10)
        momentum.rsi(close, 14)
        assert _glue.released() == released
