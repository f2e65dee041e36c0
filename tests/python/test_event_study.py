"""Window moves and their summary, against a plain pandas formulation."""

import numpy as np
import pandas as pd
import pytest

from orvane_data import event_study


def windows_frame(seed=0, n_events=6, keys=("A", "B", "C")):
    rng = np.random.default_rng(seed)
    rows = []
    for e in range(n_events):
        name = ["NFP", "CPI"][e % 2]
        when = pd.Timestamp("2024-01-05 08:30", tz="America/New_York") + pd.Timedelta(days=7 * e)
        for key in keys:
            for diff in range(-5, 11):
                if rng.random() < 0.15:  # a missing bar, sometimes the event minute
                    continue
                rows.append((name, when, diff, when + pd.Timedelta(minutes=diff), key, 100 + rng.normal()))
    frame = pd.DataFrame(rows, columns=["EVENT_NAME", "event_datetime", "time_diff", "datetime", "key", "close"])
    return frame.sample(frac=1.0, random_state=seed).reset_index(drop=True)  # windows need not be contiguous


def reference_moves(frame):
    groups = frame.groupby(["EVENT_NAME", "event_datetime", "key"])
    base = groups["close"].transform(lambda s: s[frame.loc[s.index, "time_diff"] == 0].iloc[0]
                                     if (frame.loc[s.index, "time_diff"] == 0).any() else np.nan)
    return (frame["close"] / base - 1.0) * 10000.0


class TestEventMoves:
    @pytest.mark.parametrize("seed", range(4))
    def test_matches_pandas(self, seed):
        frame = windows_frame(seed)
        before = frame.copy()
        got = event_study.event_moves(frame)
        np.testing.assert_allclose(got["move_bps"].to_numpy(), reference_moves(frame).to_numpy(), rtol=1e-12)
        pd.testing.assert_frame_equal(frame, before)  # input untouched
        assert list(got.columns) == list(frame.columns) + ["move_bps"]

    def test_event_minute_is_zero_and_missing_base_is_nan(self):
        frame = windows_frame(1)
        got = event_study.event_moves(frame)
        assert (got.loc[got["time_diff"] == 0, "move_bps"] == 0).all()
        has_base = frame.assign(t0=frame["time_diff"] == 0).groupby(["EVENT_NAME", "event_datetime", "key"])["t0"].transform("any")
        assert got.loc[~has_base, "move_bps"].isna().all()

    def test_missing_price_column_is_a_key_error(self):
        with pytest.raises(KeyError):
            event_study.event_moves(windows_frame().drop(columns="close"))

    def test_argument_types(self):
        with pytest.raises(TypeError, match=r"Argument 'by' has incorrect type \(expected list, got tuple\)"):
            event_study.event_moves(windows_frame(), by=("key",))


class TestSummary:
    def test_matches_pandas(self):
        moves = event_study.event_moves(windows_frame(2, n_events=10))
        got = event_study.summarize_moves(moves)
        grouped = moves.groupby(["EVENT_NAME", "key", "time_diff"])["move_bps"]
        assert list(got.columns) == ["EVENT_NAME", "key", "time_diff", "mean_bps", "median_bps", "q25_bps", "q75_bps", "count"]
        expected = pd.DataFrame({
            "mean_bps": grouped.mean(), "median_bps": grouped.median(),
            "q25_bps": grouped.quantile(0.25), "q75_bps": grouped.quantile(0.75), "count": grouped.count(),
        }).reset_index()
        pd.testing.assert_frame_equal(got[expected.columns], expected)
        assert (got.loc[got["time_diff"] == 0, "median_bps"] == 0).all()
        assert len(got) == 2 * 3 * 16

    def test_default_grouping_is_not_changed_by_a_call(self):
        moves = event_study.event_moves(windows_frame(3))
        first = event_study.summarize_moves(moves)
        pd.testing.assert_frame_equal(event_study.summarize_moves(moves), first)
        by = ["EVENT_NAME", "key"]
        event_study.summarize_moves(moves, by=by)
        assert by == ["EVENT_NAME", "key"]
