"""Event-study arithmetic under arbitrary window frames, against pandas."""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import anything, anything_plain, checked_call, frames, fuzz_settings, scalars

import reference
from orvane_data import event_study

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::FutureWarning",
                                         "ignore::orvane_data.DataWarning")  # random windows often lack a move

BY = ["EVENT_NAME", "event_datetime", "key"]


@st.composite
def windows(draw):
    n = draw(st.integers(0, 30))
    frame = pd.DataFrame({
        "EVENT_NAME": [draw(st.sampled_from(["CPI", "NFP", None])) for _ in range(n)],
        "event_datetime": pd.to_datetime([draw(st.sampled_from(["2024-01-05 08:30", "2024-02-02 08:30"])) for _ in range(n)]),
        "key": [draw(st.sampled_from(["A", "B", np.nan])) for _ in range(n)],
        "time_diff": [draw(st.integers(-2, 2)) for _ in range(n)],
        "close": [draw(st.one_of(st.floats(-10, 10), st.sampled_from([0.0, np.nan, np.inf]))) for _ in range(n)],
    })
    dtype = draw(st.sampled_from(["float64", "Float64", "double[pyarrow]", "int64", "object"]))
    if dtype == "int64":
        frame["close"] = frame["close"].fillna(1).replace([np.inf, -np.inf], 1).astype("int64")
    elif dtype != "float64":
        frame["close"] = frame["close"].astype(dtype)
    offsets = draw(st.sampled_from(["int64", "int8", "float64", "Int64", "fractional", "missing"]))
    if offsets == "fractional":  # minutes from an unrounded release time: no row is at a whole minute
        frame["time_diff"] = frame["time_diff"] + draw(st.sampled_from([0.25, -0.5, 0.75]))
    elif offsets == "missing":
        frame["time_diff"] = frame["time_diff"].astype("Int64").mask(
            pd.Series([draw(st.booleans()) for _ in range(n)], dtype=bool))
    else:
        frame["time_diff"] = frame["time_diff"].astype(offsets)
    index = draw(st.sampled_from(["range", "dup", "shuffled"]))
    if index == "dup":
        frame.index = [i // 2 for i in range(n)]
    elif index == "shuffled":
        frame = frame.sample(frac=1, random_state=draw(st.integers(0, 9)))
    return frame


@fuzz_settings(200)
@given(frame=windows(), base_minute=st.integers(-2, 2))
def test_moves_match_pandas(frame, base_minute):
    expected = reference.event_moves(frame, base_minute=base_minute)
    got, error = checked_call(event_study.event_moves, frame, base_minute=base_minute)
    assert error is None
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)
    summary, error = checked_call(event_study.summarize_moves, got)
    grouped = expected.groupby(["EVENT_NAME", "key", "time_diff"], sort=True)["move_bps"]
    assert error is None
    np.testing.assert_allclose(summary["mean_bps"].to_numpy(float), grouped.mean().to_numpy(float), equal_nan=True)
    np.testing.assert_allclose(summary["q75_bps"].to_numpy(float), grouped.quantile(0.75).to_numpy(float), equal_nan=True)
    assert summary["count"].tolist() == grouped.count().tolist()
    np.testing.assert_allclose(summary["std_bps"].to_numpy(float), grouped.std().to_numpy(float), rtol=1e-9,
                               equal_nan=True)
    sizes = expected["move_bps"].abs().groupby([expected[k] for k in ["EVENT_NAME", "key", "time_diff"]]).mean()
    np.testing.assert_allclose(summary["mean_abs_bps"].to_numpy(float), sizes.to_numpy(float), equal_nan=True)


@pytest.mark.parametrize("column", ["close", "time_diff"])
def test_a_duplicated_column_is_refused(column):
    frame = pd.DataFrame({"EVENT_NAME": ["a", "a"], "event_datetime": [1, 1], "key": ["k", "k"],
                          "time_diff": [0, 1], "close": [1.0, 2.0]})
    frame = pd.concat([frame, frame[[column]] * 3], axis=1)
    with pytest.raises(ValueError):
        event_study.event_moves(frame)


@fuzz_settings(150)
@given(frame=st.one_of(windows(), frames(max_rows=10), anything), price=st.one_of(st.just("close"), scalars),
       by=st.one_of(st.just(BY), st.lists(st.sampled_from(BY + ["time_diff", "close", "nope", 0]), max_size=4),
                    anything_plain),
       base_minute=st.one_of(st.integers(-3, 3), st.integers(), scalars),
       confidence=st.one_of(st.floats(0, 1), scalars))
def test_any_windows_price_and_grouping(frame, price, by, base_minute, confidence):
    # the str/list checks' TypeError; pandas' KeyError for missing columns,
    # ValueError for values it cannot make int64/float64 or group by,
    # AttributeError for objects without groupby, OverflowError for a
    # baseline minute beyond int64
    allowed = (TypeError, KeyError, ValueError, AttributeError, IndexError, NotImplementedError, OverflowError)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        moves, error = checked_call(event_study.event_moves, frame, price, by, base_minute, allowed=allowed)
        checked_call(event_study.summarize_moves, moves if error is None else frame, by, confidence, allowed=allowed)
        checked_call(event_study.surprise_response, moves if error is None else frame, by, confidence, allowed=allowed)
