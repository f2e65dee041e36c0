"""bar_kit's event windows and configuration under arbitrary frames and arguments.

The native windows are compared with the pandas joins they stand for,
written here from the documented steps; ties of the sort may come in another
order, nothing else may differ.
"""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import anything, anything_plain, checked_call, frame_scalars, fuzz_settings, scalars, utf8_text

from doubles import Recorder
from orvane_data.from_bqia import bar_kit
from reference import event_grid as ref_grid
from reference import event_windows as ref_windows

# drawn bars and windows often match nothing: what the DataWarnings say is
# tested in test_bar_kit.py
pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning", "ignore::RuntimeWarning",
                                        "ignore::orvane_data.DataWarning")


ZONES = [None, "America/New_York", "Asia/Hong_Kong", "UTC"]


@st.composite
def event_frames(draw):
    zone = draw(st.sampled_from(ZONES))
    unit = draw(st.sampled_from(["ns", "us", "s"]))
    base = pd.Timestamp("2024-03-10 01:50") if zone != "UTC" else pd.Timestamp("2024-01-05 08:25")
    n_events = draw(st.integers(0, 4))
    minutes = draw(st.lists(st.integers(0, 90), min_size=n_events, max_size=n_events))
    seconds = [draw(st.sampled_from([0, 0, 0, 30])) for _ in minutes]
    times = pd.DatetimeIndex([base + pd.Timedelta(minutes=m, seconds=s) for m, s in zip(minutes, seconds)])
    if zone:
        times = times.tz_localize(zone, nonexistent="shift_forward", ambiguous="NaT")
    names = [draw(st.sampled_from(["CPI", "NFP", "CPI", "a'b"])) for _ in minutes]
    calendar = pd.DataFrame({"EVENT_NAME": names, "event_datetime": times.as_unit(unit),
                             "ACTUAL": np.arange(n_events, dtype=float)})
    if draw(st.booleans()):
        calendar.index = pd.Index([f"T{i % 2}" for i in range(n_events)], name=draw(st.sampled_from(["ID", None])))
    if draw(st.integers(0, 5)) == 0 and n_events:
        calendar["EVENT_NAME"] = calendar["EVENT_NAME"].astype("category")

    n_bars = draw(st.integers(0, 40))
    bar_minutes = draw(st.lists(st.integers(-10, 110), min_size=n_bars, max_size=n_bars))
    stamps = pd.DatetimeIndex([base + pd.Timedelta(minutes=m) for m in bar_minutes])
    bar_zone = zone if draw(st.integers(0, 6)) else draw(st.sampled_from(ZONES))
    if bar_zone:
        stamps = stamps.tz_localize(bar_zone, nonexistent="shift_forward", ambiguous="NaT")
    keys = [draw(st.sampled_from(["A", "B", "C"])) for _ in range(n_bars)]
    bars = pd.DataFrame({"security": [f"F{k}" for k in keys], "datetime": stamps.as_unit(draw(st.sampled_from(["ns", "us"]))),
                         "key": keys, "close": np.linspace(1, 2, n_bars)})
    if n_bars and draw(st.integers(0, 4)) == 0:
        bars.loc[bars.index[0], "key"] = None
    if draw(st.booleans()):
        bars["key"] = bars["key"].astype(draw(st.sampled_from(["object", "str", "category"])))
    if draw(st.booleans()):
        bars = bars.sample(frac=1, random_state=draw(st.integers(0, 9)))
    return bars, calendar


def _small(value):
    """Not a huge integer: the grid of range(pre, post + 1) is built row by
    row, so a bound of 2**63 would fill memory in any formulation."""
    if not hasattr(value, "__index__") or isinstance(value, np.bool_):  # numpy deprecates its index
        return True
    try:
        return abs(value.__index__()) <= 1000
    except Exception:  # noqa: BLE001
        return True


bounds = st.one_of(st.integers(-3, 3), scalars.filter(_small))


def _canonical(frame):
    out = frame.copy()
    return out.sort_values(list(out.columns), key=lambda c: c.astype(str)).reset_index(drop=True)


@fuzz_settings(200)
@given(frames=event_frames(), window=st.sampled_from([(-5, 10), (0, 0), (-2, 3), (3, -3), (-30, 30)]))
def test_windows_match_the_pandas_joins(frames, window):
    bars, calendar = frames
    pre, post = window
    try:
        expected, expected_error = ref_windows(bars, calendar, pre, post), None
    except Exception as error:  # noqa: BLE001
        expected, expected_error = None, error
    allowed = (type(expected_error),) if expected_error is not None else ()
    got, error = checked_call(bar_kit.filter_bars_around_events, bars, calendar, pre, post, allowed=allowed)
    if expected_error is not None:
        assert error is not None, f"pandas raised {expected_error!r}; the native windows did not"
        return
    assert list(got.columns) == list(expected.columns)
    assert list(got.dtypes) == list(expected.dtypes)
    try:
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
    except AssertionError:
        pd.testing.assert_frame_equal(_canonical(got), _canonical(expected), check_exact=True)


@fuzz_settings(120)
@given(frames=event_frames(), pre=bounds, post=bounds)
def test_grid_with_any_bounds(frames, pre, post):
    _, calendar = frames
    try:
        expected, expected_error = ref_grid(calendar, pre, post), None
    except Exception as error:  # noqa: BLE001
        expected, expected_error = None, error
    allowed = (type(expected_error),) if expected_error is not None else ()
    got, error = checked_call(bar_kit.get_event_metadata, calendar, pre, post, allowed=allowed)
    if expected_error is None:
        pd.testing.assert_frame_equal(got, expected, check_exact=True)


@fuzz_settings(120)
@given(bars=st.one_of(anything, st.builds(lambda: pd.DataFrame({"datetime": [], "key": []}))),
       calendar=anything, pre=st.one_of(st.just(-5), bounds), post=st.one_of(st.just(10), bounds))
def test_windows_of_anything(bars, calendar, pre, post):
    # pandas' KeyError for missing columns, TypeError/ValueError for what it
    # cannot join or compare, AttributeError for objects without columns
    allowed = (KeyError, TypeError, ValueError, AttributeError, IndexError, NotImplementedError, OverflowError)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        checked_call(bar_kit.get_event_metadata, calendar, pre, post, allowed=allowed)
        checked_call(bar_kit.filter_bars_around_events, bars, calendar, pre, post, allowed=allowed)


@fuzz_settings(150)
@given(table=st.one_of(st.dictionaries(utf8_text, st.one_of(st.tuples(scalars, scalars, st.integers(-400, 400)),
                                                            anything_plain), max_size=4), anything_plain),
       mapping=st.one_of(st.none(), anything), packages=st.one_of(st.none(), anything_plain))
def test_configuration_with_any_tables(table, mapping, packages, monkeypatch):
    service = Recorder()
    monkeypatch.setattr(bar_kit, "bqia", service, raising=False)
    # None has no items (AttributeError); a value of the wrong length is the
    # unpacking ValueError; what DateOffset refuses its own error
    factory, error = checked_call(bar_kit.get_roll_config, table,
                                  allowed=(AttributeError, ValueError, TypeError, OverflowError))
    if error is None:
        assert factory[0] == "factory" and list(factory[1][0]) == list(table)
    # (the recorder keeps every configuration, so the counts grow by design)
    checked_call(bar_kit.set_intraday_config, mapping, factory, packages, refs=False)
    config = service.named("set_config")[-1][1][0]
    assert config["enabled_packages"] is packages
    assert ("security_id_mapping" in config) == (mapping is not None)


@pytest.mark.parametrize("dtype", ["object", "str", "category"])
def test_text_columns_of_the_bars_keep_their_dtype(dtype):
    t = pd.Timestamp("2024-03-10 01:50")
    bars = pd.DataFrame({"security": pd.Series(["FA", "FA"], dtype=dtype), "datetime": [t, t],
                         "key": pd.Series([None, "A"], dtype=dtype), "close": [1.0, 2.0]})
    calendar = pd.DataFrame({"EVENT_NAME": ["CPI"], "event_datetime": [t], "ACTUAL": [0.0]})
    got = bar_kit.filter_bars_around_events(bars, calendar)
    assert list(got.dtypes) == list(ref_windows(bars, calendar).dtypes)
    assert got["key"].dtype == bars["key"].dtype
