"""Window moves and their summary, against a plain pandas formulation."""

import importlib.util
import inspect

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


def reference_moves(frame, base_minute=-1):
    groups = frame.groupby(["EVENT_NAME", "event_datetime", "key"])
    at_base = frame["time_diff"] == base_minute
    base = groups["close"].transform(lambda s: s[at_base[s.index]].iloc[0] if at_base[s.index].any() else np.nan)
    return (frame["close"] / base - 1.0) * 10000.0


def one_window(time_diff, closes=None):
    n = len(time_diff)
    return pd.DataFrame({"EVENT_NAME": "NFP", "event_datetime": pd.Timestamp("2024-01-05 08:30"), "key": "A",
                         "time_diff": time_diff, "close": closes if closes is not None else 100.0 + np.arange(n)})


class TestEventMoves:
    @pytest.mark.parametrize("seed, base_minute", [(0, -1), (1, -1), (2, 0), (3, 2), (4, -5)])
    def test_matches_pandas(self, seed, base_minute):
        frame = windows_frame(seed)
        before = frame.copy()
        got = event_study.event_moves(frame, base_minute=base_minute)
        expected = reference_moves(frame, base_minute)
        np.testing.assert_allclose(got["move_bps"].to_numpy(), expected.to_numpy(), rtol=1e-12)
        pd.testing.assert_frame_equal(frame, before)  # input untouched
        assert list(got.columns) == list(frame.columns) + ["move_bps"]

    def test_default_baseline_is_the_bar_before_the_release(self):
        # the release minute's bar already holds the reaction: it is a move, not the baseline
        got = event_study.event_moves(one_window([-2, -1, 0, 1], [99.0, 100.0, 102.0, 103.0]))
        np.testing.assert_allclose(got["move_bps"], [-100.0, 0.0, 200.0, 300.0])
        assert inspect.signature(event_study.event_moves).parameters["base_minute"].default == -1

    def test_baseline_minute_is_zero_and_missing_baseline_is_nan(self):
        frame = windows_frame(1)
        got = event_study.event_moves(frame)
        assert (got.loc[got["time_diff"] == -1, "move_bps"] == 0).all()
        has_base = frame.assign(b=frame["time_diff"] == -1).groupby(["EVENT_NAME", "event_datetime", "key"])["b"].transform("any")
        assert got.loc[~has_base, "move_bps"].isna().all()

    @pytest.mark.parametrize("time_diff, expected", [
        # cut to whole minutes these were -1, 0, 1: the first became the baseline
        ([-1.5, -0.5, 0.5], [np.nan] * 3),
        # minutes from an unrounded 08:30:45 release
        ([-1.75, -0.75, 0.25], [np.nan] * 3),
        # a true baseline row: off-minute rows are measured from it
        ([-1.0, -0.75, 0.25], [0.0, 100.0, 200.0]),
    ])
    def test_fractional_offsets_never_match_a_minute(self, time_diff, expected):
        got = event_study.event_moves(one_window(time_diff))
        np.testing.assert_allclose(got["move_bps"], expected)

    @pytest.mark.parametrize("offsets", [
        pd.array([-1, None, 1], dtype="Int64"),
        np.array([-1.0, np.nan, 1.0]),
        pd.array([-1.0, None, 1.0], dtype="double[pyarrow]"),
    ], ids=["Int64", "float64", "arrow"])
    def test_missing_offsets_give_nan_for_their_rows(self, offsets):
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no RuntimeWarning from casting NaN
            got = event_study.event_moves(one_window(offsets))
        np.testing.assert_allclose(got["move_bps"], [0.0, np.nan, 200.0])

    @pytest.mark.parametrize("dtype", ["int8", "uint16", "int64", "float32", "Int32", "UInt8"])
    def test_whole_minutes_of_any_numeric_dtype(self, dtype):
        frame = one_window(pd.array([1, 2, 3], dtype=dtype))
        got = event_study.event_moves(frame, base_minute=2)
        np.testing.assert_allclose(got["move_bps"], [-100 / 1.01, 0.0, 100 / 1.01])

    @pytest.mark.parametrize("offsets", [["-1", "0", "1"], pd.array(["-1", "0", "1"], dtype="string"),
                                         pd.to_datetime(["2024-01-01"] * 3)])
    def test_offsets_that_are_not_numbers_are_a_type_error(self, offsets):
        with pytest.raises(TypeError, match="numeric"):
            event_study.event_moves(one_window(offsets))

    @pytest.mark.parametrize("value, accepted", [(np.int16(0), True), (0, True), (0.0, False), (True, False),
                                                 ("0", False), (None, False)])
    def test_base_minute_is_a_whole_number(self, value, accepted):
        if accepted:
            assert event_study.event_moves(one_window([0, 1]), base_minute=value)["move_bps"].iloc[0] == 0
        else:
            with pytest.raises(TypeError, match="Argument 'base_minute' has incorrect type"):
                event_study.event_moves(one_window([0, 1]), base_minute=value)

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
        assert list(got.columns) == ["EVENT_NAME", "key", "time_diff", "mean_bps", "median_bps", "q25_bps", "q75_bps",
                                     "count", "mean_abs_bps"]
        expected = pd.DataFrame({
            "mean_bps": grouped.mean(), "median_bps": grouped.median(),
            "q25_bps": grouped.quantile(0.25), "q75_bps": grouped.quantile(0.75), "count": grouped.count(),
            "mean_abs_bps": grouped.apply(lambda s: s.abs().mean()),
        }).reset_index()
        pd.testing.assert_frame_equal(got[expected.columns], expected)
        assert (got.loc[got["time_diff"] == -1, "median_bps"] == 0).all()
        assert len(got) == 2 * 3 * 16

    def test_default_grouping_is_not_changed_by_a_call(self):
        moves = event_study.event_moves(windows_frame(3))
        first = event_study.summarize_moves(moves)
        pd.testing.assert_frame_equal(event_study.summarize_moves(moves), first)
        by = ["EVENT_NAME", "key"]
        event_study.summarize_moves(moves, by=by)
        assert by == ["EVENT_NAME", "key"]


def plotted_summary(events=("NFP",), keys=("es", "sx5e"), surprise=False):
    rows = []
    for event in events:
        for k, key in enumerate(keys):
            for minute in range(-5, 11):
                count = 1 if minute >= 8 else 10  # a lone late event: masked below the default share
                rows.append((event, key, minute, minute * (k + 1.0), minute - 1, minute + 1, count, abs(minute) + 2.0))
    summary = pd.DataFrame(rows, columns=["EVENT_NAME", "key", "time_diff", "mean_bps", "q25_bps", "q75_bps", "count",
                                          "mean_abs_bps"])
    if surprise:
        summary["mean_by_surprise_bps"] = summary["mean_abs_bps"] / 2
    return summary


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="plots need matplotlib")
class TestPlotMoves:
    @pytest.fixture(autouse=True)
    def close_figures(self):
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        yield
        plt.close("all")

    @pytest.mark.parametrize("surprise, views", [(False, 2), (True, 3)])
    def test_one_panel_per_security_and_view_with_shared_axes(self, surprise, views):
        fig = event_study.plot_moves(plotted_summary(surprise=surprise))
        axes = np.array(fig.axes).reshape(views, 2)
        assert [ax.get_title() for ax in axes[0]] == ["es", "sx5e"]
        assert axes[0][0].get_ylabel() == "mean move (bp)" and axes[1][0].get_ylabel() == "mean size of the move (bp)"
        assert all(ax.get_xlabel() == "minutes from the release" for ax in axes[-1])
        for row in axes:
            assert row[0].get_shared_y_axes().joined(row[0], row[1])
        assert axes[0][0].get_shared_x_axes().joined(axes[0][0], axes[-1][1])

    def test_lines_carry_the_summary_and_mask_thin_minutes(self):
        summary = plotted_summary()
        fig = event_study.plot_moves(summary)
        top_right = fig.axes[1]  # sx5e, signed moves
        mean_line, masked = top_right.lines[0], top_right.lines[1]
        expected = summary[summary["key"] == "sx5e"].sort_values("time_diff")
        shown = expected["mean_bps"].where(expected["count"] >= 5)  # half of the 10 releases
        np.testing.assert_array_equal(mean_line.get_xdata(), expected["time_diff"])
        np.testing.assert_array_equal(mean_line.get_ydata(), shown)
        assert masked.get_label() == "fewer than 5 releases"
        assert list(masked.get_xdata()) == [8, 9, 10] and masked.get_markerfacecolor() == "none"
        assert len(top_right.collections) == 1  # the quartile band, one security's only
        legend = [text.get_text() for text in fig.legends[0].get_texts()]
        assert legend == ["mean", "quartiles", "fewer than 5 releases"]  # once for the figure
        bottom_left = fig.axes[2]
        np.testing.assert_array_equal(bottom_left.lines[0].get_ydata()[:13], (np.abs(np.arange(-5, 8)) + 2.0))

    def test_min_count_and_bands_on_request(self):
        fig = event_study.plot_moves(plotted_summary(), min_count=1, quartiles=False)
        top_left = fig.axes[0]
        assert not np.isnan(top_left.lines[0].get_ydata()).any()
        assert not [line for line in top_left.lines if line.get_label().startswith("fewer")]
        assert not top_left.collections

    def test_title_names_event_period_count_and_baseline(self):
        fig = event_study.plot_moves(plotted_summary(events=("NFP", "CPI")), "CPI", period="2023-01-01 to 2023-04-30")
        assert fig._suptitle.get_text() == "CPI — 2023-01-01 to 2023-04-30: 10 releases"
        assert fig._supylabel.get_text() == ("moves from the close of the last bar before the release (minute -1), "
                                             "in basis points")
        other = event_study.plot_moves(plotted_summary(), base_minute=0)._supylabel.get_text()
        assert other.startswith("moves from the close of the bar at minute +0")

    @pytest.mark.parametrize("event, words", [(None, "name the event kind"), ("GDP", "no event kind 'GDP'")])
    def test_event_kind_must_be_clear(self, event, words):
        with pytest.raises(ValueError, match=words):
            event_study.plot_moves(plotted_summary(events=("NFP", "CPI")), event)

    def test_without_matplotlib_a_clear_import_error(self, monkeypatch):
        import sys

        monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
        with pytest.raises(ImportError, match=r"pip install 'orvane_data\[plot\]'"):
            event_study.plot_moves(plotted_summary())
