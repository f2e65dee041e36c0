"""bar_kit: module load, intraday configuration, bar requests, event grids and windows."""

from __future__ import annotations

import inspect
import io
import json
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
import pytz

from doubles import SRC, Recorder, import_in_fresh_interpreter
from orvane_data import DataWarning
from orvane_data.from_bqia import bar_kit, query_kit
from reference import event_grid as reference_grid
from reference import event_windows as reference_windows
from thread_progress import longest_stall

# Drawn frames often leave a security out of every window, and the stand-in
# services serve no bars: the tests of those compare frames and calls, and the
# DataWarnings have tests of their own (TestNothingFound), which see them
# whatever this filter says.
pytestmark = pytest.mark.filterwarnings("ignore::orvane_data.DataWarning")

DEFAULT_PACKAGES = ["equity", "macro", "fixed-income"]


def assert_same_frame(got, want):
    assert list(got.columns) == list(want.columns)
    assert got.columns.dtype == want.columns.dtype
    assert list(got.dtypes) == list(want.dtypes)
    pd.testing.assert_frame_equal(got, want, check_exact=True)


def outcome(call):
    try:
        return call()
    except Exception as exc:  # the error itself is what is compared
        return exc


def assert_same_outcome(got, want):
    if isinstance(want, Exception):
        assert type(got) is type(want) and str(got) == str(want)
    else:
        assert not isinstance(got, Exception), got
        assert_same_frame(got, want)


# --- generated bars and calendars --------------------------------------------


def random_case(seed):
    """Bars and a calendar with the awkward parts of real ones: several keys
    per minute, duplicate bars, bars between minutes, missing keys and stamps,
    events at odd seconds, repeated events, zones and units that differ."""
    rng = np.random.default_rng(seed)
    zones = [None, "UTC", "America/New_York", "Asia/Hong_Kong", pytz.timezone("America/New_York")]
    bar_zone = zones[rng.integers(len(zones))]
    cal_zone = bar_zone if bar_zone is None else zones[1 + rng.integers(len(zones) - 1)]
    base = pd.Timestamp("2024-03-08 13:20", tz="UTC")

    def stamps(offsets_s, zone, unit):
        out = pd.DatetimeIndex(base + pd.to_timedelta(offsets_s, unit="s")).as_unit(unit)
        return out.tz_convert(zone) if zone is not None else out.tz_convert("UTC").tz_localize(None)

    n = int(rng.integers(0, 60))
    offsets = rng.integers(0, 40, n) * 60 + np.where(rng.random(n) < 0.1, 30, 0)
    bar_times = stamps(offsets, bar_zone, ["ns", "us"][rng.integers(2)])
    if n and rng.random() < 0.3:
        bar_times = bar_times.insert(0, pd.NaT)[:n]
    keys = rng.choice(["ES", "JPY", "SPX"], n).astype(object)
    if n and rng.random() < 0.3:
        keys[rng.integers(n)] = None
    bars = pd.DataFrame(
        {
            "security": rng.choice(["F1", "F2"], n),
            "datetime": bar_times,
            "key": pd.array(keys, dtype="str"),
            "close": rng.random(n),
            "volume": rng.integers(0, 100, n),
            "traded": rng.random(n) < 0.5,
        }
    )
    m = int(rng.integers(0, 8))
    event_offsets = rng.integers(0, 45, m) * 60 + np.where(rng.random(m) < 0.3, rng.integers(1, 60, m), 0)
    event_times = stamps(event_offsets, cal_zone, ["ns", "us", "ms", "s"][rng.integers(4)])
    if m > 1 and rng.random() < 0.4:  # the same release twice
        event_times = event_times[:-1].append(event_times[:1])
    calendar = pd.DataFrame(
        {
            "EVENT_NAME": rng.choice(["CPI", "NFP", "GDP"], m),
            "event_datetime": event_times,
            "ACTUAL": rng.integers(0, 9, m),
            "ticker": [f"T{i}" for i in range(m)],
        },
        index=pd.Index([f"r{i}" for i in range(m)], name="ID") if rng.random() < 0.5 else None,
    )
    if m and rng.random() < 0.2:
        calendar.loc[calendar.index[0], "event_datetime"] = pd.NaT
    return bars, calendar, (int(rng.integers(-6, 1)), int(rng.integers(0, 8)))


@pytest.mark.parametrize("seed", range(120))
def test_windows_match_the_pandas_joins(seed):
    bars, calendar, (pre, post) = random_case(seed)
    bars_before, calendar_before = bars.copy(), calendar.copy()
    want = outcome(lambda: reference_windows(bars, calendar, pre, post))
    got = outcome(lambda: bar_kit.filter_bars_around_events(bars, calendar, pre, post))
    assert_same_outcome(got, want)
    pd.testing.assert_frame_equal(bars, bars_before)
    pd.testing.assert_frame_equal(calendar, calendar_before)


@pytest.mark.parametrize("seed", range(120))
def test_grid_matches_the_row_by_row_grid(seed):
    _, calendar, (pre, post) = random_case(seed)
    assert_same_outcome(outcome(lambda: bar_kit.get_event_metadata(calendar, pre, post)),
                        outcome(lambda: reference_grid(calendar, pre, post)))


@pytest.mark.parametrize("unit", ["ns", "us", "ms", "s"])
@pytest.mark.parametrize("seed", [s for s in range(120) if s % 5 == 2])
def test_ordinary_calendars_take_the_native_grid(seed, unit, native_roads):
    _, calendar, (pre, post) = random_case(seed)
    calendar = calendar.dropna(subset=["event_datetime"])
    calendar = calendar.assign(event_datetime=calendar["event_datetime"].dt.as_unit(unit))
    if len(calendar) == 0:
        pytest.skip("no events")
    assert_same_frame(bar_kit.get_event_metadata(calendar, pre, post), reference_grid(calendar, pre, post))
    assert native_roads.roads() == {"bar_kit.event_grid": {"native": 1, "pandas": 0}}


ORDINARY_CALENDAR = pd.DataFrame({"EVENT_NAME": ["CPI", "NFP"],
                                  "event_datetime": pd.DatetimeIndex(["2024-06-12 08:30:10", "2024-06-12 09:00"])})
GRIDS_FOR_PANDAS = {
    "float bound": (ORDINARY_CALENDAR, -5.0, 10, "a window bound is not an int"),
    "empty window": (ORDINARY_CALENDAR, 3, 1, "the window is empty"),
    "no events": (ORDINARY_CALENDAR.iloc[:0], -1, 1, "the calendar is empty"),
    "NaT": (ORDINARY_CALENDAR.assign(event_datetime=[pd.NaT, pd.Timestamp("2024-06-12")]), -1, 1, "holds NaT"),
    "times as texts": (ORDINARY_CALENDAR.assign(event_datetime=["2024-06-12 08:30", "x"]), -1, 1, "not datetime64"),
    "missing name": (ORDINARY_CALENDAR.assign(EVENT_NAME=["CPI", None]), -1, 1, "missing names"),
    "end of range": (ORDINARY_CALENDAR.assign(event_datetime=pd.DatetimeIndex(["2262-04-11", "2024-06-12"]).as_unit("ns")), -1, 1,
                     "within a day and the window"),
}


@pytest.mark.parametrize("calendar, pre, post, reason", GRIDS_FOR_PANDAS.values(), ids=GRIDS_FOR_PANDAS.keys())
def test_grid_names_why_it_takes_the_pandas_road(calendar, pre, post, reason, native_roads, monkeypatch):
    with pytest.raises(RuntimeError, match=rf"road bar_kit.event_grid took its pandas formulation \(.*{reason}"):
        bar_kit.get_event_metadata(calendar, pre, post)
    monkeypatch.delenv("ORVANE_ROADS")
    outcome(lambda: bar_kit.get_event_metadata(calendar, pre, post))
    assert native_roads.roads() == {"bar_kit.event_grid": {"native": 0, "pandas": 1}}


def no_join(*args, **kwargs):
    raise AssertionError("the native path joined frames with pandas")


@pytest.mark.parametrize("seed", [s for s in range(120) if s % 7 == 0])
def test_ordinary_frames_take_the_native_road(seed, monkeypatch, native_roads):
    bars, calendar, (pre, post) = random_case(seed)
    bars = bars.dropna(subset=["datetime"])
    calendar = calendar.dropna(subset=["event_datetime"])
    if len(bars) == 0 or len(calendar) == 0:
        pytest.skip("nothing to join")
    want = reference_windows(bars, calendar, pre, post)
    monkeypatch.setattr(pd.DataFrame, "join", no_join)
    assert_same_frame(bar_kit.filter_bars_around_events(bars, calendar, pre, post), want)


def _arrow_stamps(stamps):
    return stamps.astype(pd.ArrowDtype(pa.timestamp(stamps.dt.unit, stamps.dt.tz)))


COMMON_INPUTS = {
    "event names as objects": lambda b, c: (b, c.assign(EVENT_NAME=c["EVENT_NAME"].astype(object))),
    "event names as string": lambda b, c: (b, c.assign(EVENT_NAME=c["EVENT_NAME"].astype("string"))),
    "event names as string[pyarrow]": lambda b, c: (b, c.assign(EVENT_NAME=c["EVENT_NAME"].astype("string[pyarrow]"))),
    "event names as categories": lambda b, c: (b, c.assign(EVENT_NAME=c["EVENT_NAME"].astype("category"))),
    "calendar in seconds": lambda b, c: (b, c.assign(event_datetime=c["event_datetime"].dt.as_unit("s"))),
    "calendar in milliseconds": lambda b, c: (b, c.assign(event_datetime=c["event_datetime"].dt.as_unit("ms"))),
    "bars shuffled": lambda b, c: (b.sample(frac=1.0, random_state=3), c),
    "bar stamps in arrow": lambda b, c: (b.assign(datetime=_arrow_stamps(b["datetime"])), c),
}


def _windows_equal_the_reference(seed, change, prepare=lambda frame: frame):
    """The windows of random case `seed`, its inputs changed by `change`, equal
    the pandas formulation's (skipped when nothing is left to join); `prepare`
    is applied to both frames before and after the change."""
    bars, calendar, (pre, post) = random_case(seed)
    bars, calendar = prepare(bars.dropna(subset=["datetime"])), prepare(calendar.dropna(subset=["event_datetime"]))
    bars, calendar = map(prepare, change(bars, calendar))
    if len(bars) == 0 or len(calendar) == 0:
        pytest.skip("nothing to join")
    want = reference_windows(bars, calendar, pre, post)
    assert_same_frame(bar_kit.filter_bars_around_events(bars, calendar, pre, post), want)


@pytest.mark.parametrize("change", COMMON_INPUTS.values(), ids=COMMON_INPUTS.keys())
@pytest.mark.parametrize("seed", [s for s in range(120) if s % 11 == 1])
def test_common_inputs_take_the_native_road(seed, change, native_roads):
    _windows_equal_the_reference(seed, change)
    assert native_roads.roads()["bar_kit.event_windows"]["native"] == 1


def _in_chunks(bars):
    """The bars as a concatenation of slices: text columns of several Arrow
    chunks, some starting inside their parent's buffers."""
    cut = len(bars) // 3
    return pd.concat([bars.iloc[:cut], bars.iloc[cut:].iloc[1:], bars.iloc[cut:cut + 1]], ignore_index=True)


TEXT_LAYOUTS = {
    "keys beyond ASCII": lambda b, c: (b.assign(key=b["key"].map({"ES": "é", "JPY": "Z", "SPX": ""})), c),
    "bars in several chunks": lambda b, c: (_in_chunks(b), c),
    "calendar texts missing": lambda b, c: (b, c.assign(ticker=c["ticker"].where(np.arange(len(c)) % 2 == 0))),
}


def _objects_in_arrow(frame):
    """Columns of texts held as objects (pandas 2's default) held in Arrow
    strings instead, as pandas 3 holds them by default."""
    objects = [name for name in frame.columns if frame[name].dtype == object]
    return frame.astype(dict.fromkeys(objects, "string[pyarrow]"))


@pytest.mark.parametrize("change", TEXT_LAYOUTS.values(), ids=TEXT_LAYOUTS.keys())
@pytest.mark.parametrize("seed", [s for s in range(120) if s % 9 == 4])
def test_texts_are_taken_and_ranked_in_place(seed, change, native_roads):
    _windows_equal_the_reference(seed, change, _objects_in_arrow)
    roads = native_roads.roads()
    assert roads["bar_kit.window_ranks"] == {"native": 2, "pandas": 0}  # keys and event names
    # the bars' security and key, the calendar's ticker (and, where texts are
    # Arrow's by default, the grid's names and the calendar's former index)
    assert roads["bar_kit.window_texts"]["native"] >= 3


# Arrow strings with NaN for missing texts: pandas 2.2 names them
# "string[pyarrow_numpy]", later lines construct them by their missing value
TEXT_HOLDINGS = ["object", "string[python]", "string[pyarrow]", "category"] + (
    ["string[pyarrow_numpy]"] if pd.__version__.startswith("2.2.") else [pd.StringDtype("pyarrow", na_value=np.nan)])


@pytest.mark.parametrize("holding", TEXT_HOLDINGS, ids=str)
@pytest.mark.parametrize("seed", [s for s in range(120) if s % 13 == 5])
def test_every_holding_of_texts_takes_the_native_road(seed, holding, native_roads):
    def held(bars, calendar):
        objects = {"security": object, "key": object}
        bars = bars.astype(objects).astype(dict.fromkeys(objects, holding))
        names = calendar["EVENT_NAME"].astype(object).astype(holding)
        return bars, calendar.assign(EVENT_NAME=names, ticker=calendar["ticker"].astype(object).astype(holding))

    _windows_equal_the_reference(seed, held)
    assert native_roads.roads()["bar_kit.event_windows"] == {"native": 1, "pandas": 0}


def test_keys_neither_texts_nor_categories_say_why_they_are_ranked_by_pandas(native_roads, monkeypatch):
    bars, calendar = frames(["2024-06-12 08:30"], [1.5], ["2024-06-12 08:30"])
    with pytest.raises(RuntimeError, match=r"road bar_kit.window_ranks took its pandas formulation \(the column holds neither texts nor categories"):
        bar_kit.filter_bars_around_events(bars, calendar)
    monkeypatch.delenv("ORVANE_ROADS")
    assert_same_frame(bar_kit.filter_bars_around_events(bars, calendar), reference_windows(bars, calendar))


def test_a_python_thread_runs_while_bars_are_matched_to_windows():
    # bars in random order: matching them to the grid's minutes is most of
    # the call, and runs without the GIL
    rng = np.random.default_rng(1)
    minutes = pd.date_range("2024-01-01", periods=8_000_000, freq="min", tz="UTC")
    bars = pd.DataFrame({"datetime": minutes[rng.permutation(len(minutes))], "key": np.int8(1)})
    calendar = pd.DataFrame({"EVENT_NAME": "CPI", "event_datetime": minutes[::60_000]})
    tries = [longest_stall(lambda: bar_kit.filter_bars_around_events(bars, calendar)) for _ in range(3)]
    assert min(stall / took for stall, took in tries) < 0.5, tries


def frames(bar_times, keys, event_times, names=None, **bar_columns):
    bars = pd.DataFrame({"datetime": pd.DatetimeIndex(bar_times), "key": keys, **bar_columns})
    calendar = pd.DataFrame({"EVENT_NAME": names or ["CPI"] * len(event_times),
                             "event_datetime": pd.DatetimeIndex(event_times)})
    return bars, calendar


class TestWindows:
    def test_one_event_with_two_keys(self):
        minutes = pd.date_range("2024-06-12 08:25", "2024-06-12 08:41", freq="min", tz="America/New_York")
        bars, calendar = frames(list(minutes) * 2, ["b"] * 17 + ["a"] * 17,
                                [pd.Timestamp("2024-06-12 08:30", tz="America/New_York")])
        got = bar_kit.filter_bars_around_events(bars, calendar)
        assert list(got.columns) == ["EVENT_NAME", "event_datetime", "time_diff", "datetime", "key", "index"]
        assert list(got["key"]) == ["a"] * 16 + ["b"] * 16
        assert list(got["time_diff"]) == list(range(-5, 11)) * 2
        assert got["datetime"].iloc[0] == pd.Timestamp("2024-06-12 08:25", tz="America/New_York")
        assert list(got.index) == list(range(32))

    def test_event_off_the_minute_keeps_its_calendar_columns_empty(self):
        bars, calendar = frames(["2024-06-12 08:30"], ["a"], ["2024-06-12 08:30:45"])
        calendar["ACTUAL"] = [1]
        got = bar_kit.filter_bars_around_events(bars, calendar)
        assert got["event_datetime"].tolist() == [pd.Timestamp("2024-06-12 08:30")]
        assert got["ACTUAL"].isna().all() and got["ACTUAL"].dtype == np.float64

    @pytest.mark.parametrize(
        "change, error",
        [
            (lambda b, c: (b.assign(time_diff=1), c), ValueError),  # overlapping columns
            (lambda b, c: (b, c.assign(key="x")), ValueError),
            (lambda b, c: (b.drop(columns="key"), c), KeyError),
            (lambda b, c: (b.drop(columns="datetime"), c), KeyError),
            (lambda b, c: (b, c.drop(columns="EVENT_NAME")), KeyError),
            (lambda b, c: (b.assign(datetime=b["datetime"].dt.tz_localize("UTC")), c), TypeError),
        ],
    )
    def test_errors_are_those_of_the_joins(self, change, error):
        bars, calendar = change(*frames(["2024-06-12 08:30"], ["a"], ["2024-06-12 08:30"]))
        want = outcome(lambda: reference_windows(bars, calendar))
        assert isinstance(want, error)
        assert_same_outcome(outcome(lambda: bar_kit.filter_bars_around_events(bars, calendar)), want)

    def test_many_bars_of_several_securities(self):
        # sorted runs per security, as the service delivers them, plus a shuffled copy
        rng = np.random.default_rng(3)
        minutes = pd.date_range("2024-06-03", periods=3000, freq="min", tz="UTC")
        parts = [pd.DataFrame({"datetime": minutes[rng.random(3000) < 0.8], "key": k}) for k in "ABCD"]
        bars = pd.concat(parts, ignore_index=True)
        bars["close"] = rng.random(len(bars))
        events = minutes[rng.integers(0, 3000, 40)].tz_convert("America/New_York")
        calendar = pd.DataFrame({"EVENT_NAME": rng.choice(["CPI", "NFP"], 40), "event_datetime": events})
        for frame in (bars, bars.sample(frac=1.0, random_state=1)):
            assert_same_frame(bar_kit.filter_bars_around_events(frame, calendar, -3, 12),
                              reference_windows(frame, calendar, -3, 12))

    def test_uses_the_module_level_grid_and_rounding(self, monkeypatch):
        bars, calendar = frames(["2024-06-12 08:31", "2024-06-12 08:33"], ["a", "a"], ["2024-06-12 08:30:15"])

        def round_up(value, round_down=True):
            return query_kit.round_event_datetime(value, round_down=False)

        monkeypatch.setattr(bar_kit, "round_event_datetime", round_up)
        assert_same_frame(bar_kit.filter_bars_around_events(bars, calendar, 0, 2),
                          reference_windows(bars, calendar, 0, 2, rounding=round_up))
        grid = reference_grid(calendar, 0, 1, rounding=round_up)
        monkeypatch.setattr(bar_kit, "get_event_metadata", lambda *args: grid)
        assert bar_kit.filter_bars_around_events(bars, calendar, 5, 9)["datetime"].tolist() == [
            pd.Timestamp("2024-06-12 08:31")]


class TestGrid:
    def test_one_event_gives_sixteen_minutes(self):
        calendar = pd.DataFrame({"EVENT_NAME": ["CPI"],
                                 "event_datetime": [pd.Timestamp("2024-06-12 08:30", tz="America/New_York")]})
        grid = bar_kit.get_event_metadata(calendar)
        assert list(grid.columns) == ["EVENT_NAME", "event_datetime", "datetime", "time_diff"]
        assert grid["time_diff"].tolist() == list(range(-5, 11))
        assert grid["datetime"].dt.strftime("%H:%M").tolist()[::5] == ["08:25", "08:30", "08:35", "08:40"]

    @pytest.mark.parametrize(
        "times",
        [
            pd.DatetimeIndex(["2024-06-12 08:30:45", "2024-06-12 08:30:10", "2024-06-12 08:30:45"]),
            pd.DatetimeIndex(["2024-06-12 08:30:05", "2024-06-12 09:00"]).as_unit("s"),
            pd.DatetimeIndex(["2024-06-12 08:30:05", "NaT"], tz="Asia/Hong_Kong"),
            [pd.Timestamp("2024-06-12 08:30:05", tz="UTC"), pd.Timestamp("2024-06-12 08:30", tz="Asia/Tokyo")],
            [],
        ],
    )
    def test_calendars_of_any_kind_of_stamp(self, times):
        calendar = pd.DataFrame({"EVENT_NAME": ["CPI", "NFP", "CPI"][: len(times)], "event_datetime": times})
        assert_same_frame(bar_kit.get_event_metadata(calendar, -1, 2), reference_grid(calendar, -1, 2))

    @pytest.mark.parametrize("names", [pd.Categorical(["NFP", "CPI", "NFP"]), [3, 1, 3],
                                       pd.array(["NFP", "CPI", "NFP"], dtype=object), ["NFP", None, "NFP"]])
    def test_event_names_of_any_kind(self, names):
        times = pd.DatetimeIndex(["2024-06-12 08:30", "2024-06-12 08:31", "2024-06-12 08:30:20"], tz="UTC")
        calendar = pd.DataFrame({"EVENT_NAME": names, "event_datetime": times, "n": [1, 2, 3]})
        bars = pd.DataFrame({"datetime": pd.date_range("2024-06-12 08:29", periods=4, freq="min", tz="UTC"),
                             "key": "a"})
        assert_same_frame(bar_kit.get_event_metadata(calendar, -1, 1), reference_grid(calendar, -1, 1))
        assert_same_frame(bar_kit.filter_bars_around_events(bars, calendar, -1, 1),
                          reference_windows(bars, calendar, -1, 1))

    @pytest.mark.parametrize("pre, post, error", [(-5.0, 10, TypeError), (-5, "10", TypeError), (3, 1, None)])
    def test_window_bounds(self, pre, post, error):
        calendar = pd.DataFrame({"EVENT_NAME": ["CPI"], "event_datetime": [pd.Timestamp("2024-06-12 08:30")]})
        if error is not None:
            with pytest.raises(error):
                bar_kit.get_event_metadata(calendar, pre, post)
        else:
            assert_same_frame(bar_kit.get_event_metadata(calendar, pre, post), reference_grid(calendar, pre, post))


# --- module load -------------------------------------------------------------


def test_module_names_and_signatures():
    names = [n for n in vars(bar_kit) if not n.startswith("__")]
    assert names[:6] == ["os", "warnings", "pd", "DateOffset", "timedelta", "SHOW_WARNINGS"]
    assert bar_kit.get_figi_to_id_mapping is query_kit.get_figi_to_id_mapping
    assert bar_kit.round_event_datetime is query_kit.round_event_datetime
    assert bar_kit.PACKAGES == ["macro", "equity", "fixed-income"]
    sig = inspect.signature(bar_kit.get_intraday_bars)
    assert str(sig) == (
        "(dict_sec_pcs={'spx': ('spx index', '')}, dict_fut=None, start='2024-06-01', end='2024-07-01', "
        "security_id_type='custom', downsample_freq=None, tz=None, "
        "packages=['equity', 'macro', 'fixed-income'], add_description=True)")
    assert str(inspect.signature(bar_kit.filter_bars_around_events)) == (
        "(df_bars, df_calendar, pre_event_window=-5, post_event_window=10)")
    assert (inspect.signature(bar_kit.set_intraday_config).parameters["packages"].default
            is not sig.parameters["packages"].default)


GUARD_PROBE = """
    import json, warnings
    from orvane_data.from_bqia import query_kit
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        from orvane_data.from_bqia import bar_kit as b
    print(json.dumps({
        "show": b.SHOW_WARNINGS,
        "warnings": [str(w.message) for w in caught],
        "bound": [n for n in ("bqia", "bql", "bq") if hasattr(b, n)],
    }))
    """


def run_guard(tmp_path, env_value, libraries=None):
    """Import bar_kit in a fresh interpreter; `libraries` maps file names under
    tmp_path to their sources (fake service libraries)."""
    blocked = {"bql", "bloomberg"} - {name.split("/")[0].removesuffix(".py") for name in libraries or {}}
    return import_in_fresh_interpreter(tmp_path, GUARD_PROBE, env_value, libraries, blocked)


@pytest.mark.parametrize("env_value, shown", [(None, False), ("true", False), ("0", False), (" 1", False), ("1", True)])
def test_missing_libraries_warn_only_when_switched_on(tmp_path, env_value, shown):
    result = run_guard(tmp_path, env_value)
    assert result["show"] is shown
    assert result["warnings"] == (["[bqia] 'bqia' is not installed.", "'bql' is not installed."] if shown else [])
    assert result["bound"] == []


def test_broken_libraries_are_caught_whatever_they_raise(tmp_path):
    libraries = {
        "bloomberg/__init__.py": "",
        "bloomberg/bquant/__init__.py": "",
        "bloomberg/bquant/intraday.py": "raise RuntimeError('licence expired')\n",
        "bql.py": "class Service:\n    def __init__(self):\n        raise OSError('no session')\n",
    }
    result = run_guard(tmp_path, "1", libraries)
    assert result["warnings"] == ["[bqia] 'bqia' is not installed.", "'bql' is not installed."]
    assert result["bound"] == ["bql"]


def test_working_libraries_are_bound(tmp_path):
    libraries = {
        "bloomberg/__init__.py": "",
        "bloomberg/bquant/__init__.py": "",
        "bloomberg/bquant/intraday.py": "NAME = 'intraday'\n",
        "bql.py": "class Service:\n    pass\n",
    }
    assert run_guard(tmp_path, "1", libraries) == {"show": True, "warnings": [], "bound": ["bqia", "bql", "bq"]}


# --- configuration and requests through recording doubles --------------------


class QueryService:
    """Stands in for the query service object `bq` and the library `bql`."""

    def __init__(self, answers):
        self.answers = answers  # parse key -> FIGI
        self.calls = []
        service = self

        class Item:
            def __init__(self, name, dropped=False):
                self.name, self.dropped = name, dropped

            def droppe(self, *args):
                service.calls.append(("droppe", args))
                return Item(self.name, True)

        class Data:
            def id_bb_global(self, *args, **kwargs):
                service.calls.append(("id_bb_global", args, kwargs))
                return Item("id_bb_global")

        class Univ:
            def list(self, members):
                service.calls.append(("univ.list", list(members)))
                return ("universe", list(members))

        class Request:
            def __init__(self, *args, **kwargs):
                service.calls.append(("Request", args, kwargs))
                self.args = args

        self.data, self.univ, self.Request = Data(), Univ(), Request

    def execute(self, request):
        self.calls.append(("execute", request))
        members = request.args[0][1]
        found = [m for m in members if m in self.answers]
        frame = pd.DataFrame({"figi": [self.answers[m] for m in found]}, index=pd.Index(found, name="ID"))

        class Answer:
            def df(self):
                return frame.copy()

        return [Answer()]


@pytest.fixture
def services(monkeypatch):
    intraday = Recorder()
    query = QueryService({"spx index": "FIGI_SPX", "JPY Curncy": "FIGI_JPY", "IBM US Equity": "FIGI_IBM"})
    monkeypatch.setattr(bar_kit, "bqia", intraday, raising=False)
    monkeypatch.setattr(bar_kit, "bq", query, raising=False)
    monkeypatch.setattr(bar_kit, "bql", query, raising=False)
    return intraday, query


class TestRollsAndConfiguration:
    def test_rolls_become_one_factory_in_table_order(self, services):
        intraday, _ = services
        factory = bar_kit.get_roll_config({"tu": ("TU", "Comdty", 3), "es": ("ES", "Index", 5)})
        configs = intraday.named("FuturesRollConfig")
        assert [c[1][:2] for c in configs] == [("TU", "Comdty"), ("ES", "Index")]
        assert [c[1][2] for c in configs] == [pd.DateOffset(3), pd.DateOffset(5)]
        assert factory == ("factory", ({"tu": ("roll", configs[0][1]), "es": ("roll", configs[1][1])},))
        assert list(factory[1][0]) == ["tu", "es"]

    @pytest.mark.parametrize(
        "table, error, message",
        [
            (None, AttributeError, "'NoneType' object has no attribute 'items'"),
            ({"es": ("ES", "Index")}, ValueError, "not enough values to unpack (expected 3, got 2)"),
            ({"es": ("ES", "Index", 5, 1)}, ValueError, "too many values to unpack (expected 3)"),
            ({"es": 5}, TypeError, "cannot unpack non-iterable int object"),
        ],
    )
    def test_bad_roll_tables(self, services, table, error, message):
        intraday, _ = services
        with pytest.raises(error) as info:
            bar_kit.get_roll_config({"ok": ("NQ", "Index", 1), **table} if table else table)
        assert str(info.value) == message
        assert intraday.named("FuturesRollFactory") == []

    def test_empty_table_gives_an_empty_factory(self, services):
        assert bar_kit.get_roll_config({}) == ("factory", ({},))

    def test_configuration_sends_what_is_given(self, services):
        intraday, _ = services
        bar_kit.set_intraday_config()
        bar_kit.set_intraday_config(packages=None)
        empty = pd.DataFrame()
        bar_kit.set_intraday_config(empty, "factory", ["macro"])
        sent = [c[1][0] for c in intraday.named("set_config")]
        assert sent[0] == {"enabled_packages": DEFAULT_PACKAGES}
        assert sent[0]["enabled_packages"] is inspect.signature(bar_kit.set_intraday_config).parameters[
            "packages"].default
        assert sent[1] == {"enabled_packages": None}
        assert list(sent[2]) == ["security_id_mapping", "futures_roll_factory", "enabled_packages"]
        assert sent[2]["security_id_mapping"] is empty

    def test_missing_service_library_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(bar_kit, "bqia", raising=False)
        with pytest.raises(NameError, match="name 'bqia' is not defined"):
            bar_kit.set_intraday_config()


class TestIdMapping:
    def test_request_shape_and_pricing_sources(self, services):
        _, query = services
        table = {"spx": ("spx index", ""), "jpy": ("JPY Curncy", "BGN"), "jpy2": ("JPY Curncy", "CMPN"),
                 "gone": ("NOPE Index", "")}
        with pytest.warns(DataWarning, match=r"^no FIGI for security 'gone' \(parse key 'NOPE Index'\)$") as caught:
            mapping = bar_kit.get_id_mapping(table)
        assert len(caught) == 1 and caught[0].filename == __file__  # the caller's line
        assert mapping.to_dict("list") == {
            "custom": ["spx", "jpy", "jpy2"],
            "parsekey": ["spx index", "JPY Curncy", "JPY Curncy"],
            "figi": ["FIGI_SPX", "FIGI_JPY.BGN", "FIGI_JPY.CMPN"],
        }
        kinds = [c[0] for c in query.calls]
        assert kinds == ["univ.list", "id_bb_global", "droppe", "Request", "execute"]
        assert query.calls[0][1] == ["spx index", "JPY Curncy", "JPY Curncy", "NOPE Index"]
        request = [c for c in query.calls if c[0] == "Request"][0]
        assert request[2] == {} and list(request[1][1]) == ["figi"] and request[1][1]["figi"].dropped

    def test_nothing_answered_gives_an_empty_mapping(self, services):
        with pytest.warns(DataWarning, match=r"^no FIGI for security 'x' \(parse key 'NOPE Index'\)$"):
            mapping = bar_kit.get_id_mapping({"x": ("NOPE Index", "")})
        assert list(mapping.columns) == ["custom", "parsekey", "figi"] and len(mapping) == 0

    @pytest.mark.parametrize("table, error", [(None, AttributeError), ({"a": ("spx index",)}, IndexError),
                                              ({"a": ("spx index", None)}, TypeError)])
    def test_bad_tables(self, services, table, error):
        with pytest.raises(error):
            bar_kit.get_id_mapping(table)


class TestIntradayBars:
    def test_defaults(self, services):
        intraday, query = services
        bars = bar_kit.get_intraday_bars(add_description=False)
        assert query.calls[0] == ("univ.list", ["spx index"])
        config = intraday.named("set_config")[0][1][0]
        assert config["security_id_mapping"].to_dict("list") == {
            "custom": ["spx"], "parsekey": ["spx index"], "figi": ["FIGI_SPX"]}
        assert intraday.calls[-1] == ("get_bars", (), {
            "securities": ["spx"], "security_id_type": "custom", "start": "2024-06-01", "end": "2024-07-01",
            "tz": None, "downsample_freq": None})
        assert list(intraday.calls[-1][2]) == ["securities", "security_id_type", "start", "end", "tz",
                                               "downsample_freq"]
        assert list(bars.columns) == ["security", "datetime", "key"]

    def test_securities_then_rolls(self, services):
        intraday, _ = services
        bar_kit.get_intraday_bars({"ibm": ("IBM US Equity", ""), "jpy": ("JPY Curncy", "BGN")},
                                  {"es": ("ES", "Index", 5)}, security_id_type="figi", add_description=0)
        assert intraday.calls[-1][2]["securities"] == ["FIGI_IBM", "FIGI_JPY.BGN", "es"]
        config = intraday.named("set_config")[-1][1][0]
        assert list(config) == ["security_id_mapping", "futures_roll_factory", "enabled_packages"]

    def test_rolls_only_and_nothing_at_all(self, services):
        intraday, query = services
        bar_kit.get_intraday_bars(None, {"es": ("ES", "Index", 5), "nq": ("NQ", "Index", 2)}, add_description=False)
        assert intraday.calls[-1][2]["securities"] == ["es", "nq"]
        assert "security_id_mapping" not in intraday.named("set_config")[-1][1][0]
        bar_kit.get_intraday_bars(None, None, add_description=False)
        assert intraday.calls[-1][2]["securities"] == []
        assert query.calls == []

    def test_unknown_id_type_fails_before_any_request(self, services):
        intraday, _ = services
        with pytest.raises(KeyError):
            bar_kit.get_intraday_bars(security_id_type="ticker")
        assert intraday.calls == []

    def test_description_labels(self, services, monkeypatch):
        intraday, _ = services
        intraday.bars = pd.DataFrame({"security": ["F1", "F2", "F1", "F3"], "datetime": pd.NaT, "key": "k"})
        asked = []

        def figi_table(figis, id_col_name, id_data_item):
            asked.append((list(figis), id_col_name, id_data_item))
            values = {"short_name": ["One", None, "Three"], "parsekey": ["F1 Index", "F2 Index", np.nan]}
            return pd.DataFrame({"figi": ["F1", "F2", "F3"], id_col_name: values[id_col_name]})

        monkeypatch.setattr(bar_kit, "get_figi_to_id_mapping", figi_table)
        bars = bar_kit.get_intraday_bars()
        assert bars is intraday.bars
        assert asked == [(["F1", "F2", "F3"], "short_name", "name"),
                         (["F1", "F2", "F3"], "parsekey", "parsekyable_des")]
        assert bars["short_name"].tolist() == ["One", "F2", "One", "Three"]
        assert bars["parsekey"].tolist() == ["F1 Index", "F2 Index", "F1 Index", "F3"]

    def test_security_without_description_is_a_key_error(self, services, monkeypatch):
        intraday, _ = services
        intraday.bars = pd.DataFrame({"security": ["F1", "F9"], "datetime": pd.NaT, "key": "k"})
        monkeypatch.setattr(bar_kit, "get_figi_to_id_mapping",
                            lambda figis, id_col_name, id_data_item: pd.DataFrame({"figi": ["F1"], id_col_name: ["x"]}))
        with pytest.raises(KeyError, match="F9"):
            bar_kit.get_intraday_bars()


# --- nothing found is said ------------------------------------------------------


@pytest.fixture
def quiet():
    """Fails the test on any DataWarning."""
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataWarning)
        yield


class TestNothingFound:
    def test_securities_without_bars_are_named_and_the_bars_kept(self, services):
        intraday, _ = services
        intraday.bars = pd.DataFrame({"security": ["FIGI_SPX"], "datetime": [pd.NaT], "key": ["spx"]})
        table = {"spx": ("spx index", ""), "ibm": ("IBM US Equity", ""), "dax": ("DAX Indx", "")}
        with pytest.warns(DataWarning) as caught:
            bars = bar_kit.get_intraday_bars(table, start="2024-06-03", end="2024-06-04", add_description=False)
        assert [str(w.message) for w in caught] == ["no FIGI for security 'dax' (parse key 'DAX Indx')",
                                                    "no bars for security 'ibm' from 2024-06-03 to 2024-06-04"]
        assert bars is intraday.bars

    def test_every_security_served_warns_nothing(self, services, quiet):
        intraday, _ = services
        intraday.bars = pd.DataFrame({"security": ["FIGI_SPX", "FIGI_JPY"], "datetime": pd.NaT, "key": ["spx", "jpy"]})
        bar_kit.get_intraday_bars({"spx": ("spx index", ""), "jpy": ("JPY Curncy", "BGN")}, add_description=False)

    def test_reversed_window_bounds(self):
        bars, calendar = frames(["2024-06-12 08:29", "2024-06-12 08:31"], ["a", "b"], ["2024-06-12 08:30"])
        with pytest.warns(DataWarning) as caught:
            got = bar_kit.filter_bars_around_events(bars, calendar, 10, -5)
        # one warning says why: not one per security
        assert [str(w.message) for w in caught] == [
            "no minute inside the event windows: pre_event_window=10 lies after post_event_window=-5"]
        assert_same_frame(got, reference_windows(bars, calendar, 10, -5))

    @pytest.mark.parametrize("bar_minutes, missing", [
        (["08:29", "08:31", "07:00", "12:00"], ["c"]),  # c trades only outside the windows
        (["08:29", "07:00", "07:01", "12:00"], ["b", "c"]),
    ])
    def test_securities_without_a_bar_in_any_window(self, bar_minutes, missing):
        bars, calendar = frames([f"2024-06-12 {m}" for m in bar_minutes], ["a", "b", "c", "c"],
                                ["2024-06-12 08:30", "2024-06-13 08:30"])
        with pytest.warns(DataWarning) as caught:
            got = bar_kit.filter_bars_around_events(bars, calendar)
        assert [str(w.message) for w in caught] == [f"no bar of security '{k}' inside any event window" for k in missing]
        assert_same_frame(got, reference_windows(bars, calendar))

    def test_bars_in_every_window_warn_nothing(self, quiet):
        bars, calendar = frames(["2024-06-12 08:29", "2024-06-12 08:31"], ["a", "b"], ["2024-06-12 08:30"])
        bar_kit.filter_bars_around_events(bars, calendar)  # both inside [-5, 10]
        bar_kit.filter_bars_around_events(bars.iloc[:0], calendar)  # no security named, none missing
        bar_kit.filter_bars_around_events(bars, calendar.iloc[:0])  # no window at all


# --- the whole road through the simulated services ----------------------------

ROAD = textwrap.dedent(
    """
    import json
    from orvane_data import simulated
    print(json.dumps(simulated.activate()))
    import warnings
    warnings.simplefilter("always")
    from orvane_data.from_bqia import bar_kit, query_kit
    calendar = query_kit.get_eco_calendar_data(query_kit.bq, ["US"], "2024-03-01", "2024-04-30",
                                               tickers=["NFP TCH Index", "CPI YOY Index"],
                                               event_timezone="America/New_York")
    bars = bar_kit.get_intraday_bars({"spx": ("SPX Index", ""), "jpy": ("JPY Curncy", "BGN")},
                                     {"es": ("ES", "Index", 5)}, "2024-03-01", "2024-04-30",
                                     tz="America/New_York")
    windows = bar_kit.filter_bars_around_events(bars, calendar)
    print(windows.to_json(orient="split", date_format="iso"))
    simulated.deactivate()
    import sys
    print(json.dumps(sorted(n for n in sys.modules if n.split(".")[0] in ("bql", "bloomberg"))))
    """
)


def test_calendar_bars_and_windows_through_the_simulated_services():
    env = dict(os.environ, PYTHONPATH=str(SRC))
    out = subprocess.run([sys.executable, "-c", ROAD], env=env, capture_output=True, text=True, check=True)
    used, table, left = out.stdout.splitlines()
    # the index trades after 08:30: the one thing that matched nothing
    assert [line for line in out.stderr.splitlines() if "Warning" in line] == [
        "<string>:14: DataWarning: no bar of security 'spx' inside any event window"]
    assert json.loads(used) == {"bql": "simulated", "bloomberg.bquant.intraday": "simulated"}
    assert json.loads(left) == []
    windows = pd.read_json(io.StringIO(table), orient="split")
    assert set(windows["EVENT_NAME"]) == {"Change in Nonfarm Payrolls", "CPI YoY"}
    # NFP and CPI at 08:30 New York: the futures and the currency trade then, the index not yet
    assert set(windows["key"]) == {"es", "jpy"}
    assert set(windows["time_diff"]) == set(range(-5, 11))
    assert windows["short_name"].str.startswith("S&P500 EMINI FUT").any()
    assert set(windows["parsekey"]) >= {"ESH4 Index", "ESM4 Index", "JPY Curncy"}
    assert windows["ACTUAL"].notna().all()
