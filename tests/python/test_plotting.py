"""The figure of an event kind: its rows, their intervals, units and colours."""

import importlib.util

import numpy as np
import pandas as pd
import pytest

import report_study
from orvane_data import event_study

pytestmark = pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="plots need matplotlib")


@pytest.fixture(autouse=True)
def close_figures():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    yield
    plt.close("all")


@pytest.fixture(scope="module")
def study():
    return report_study.build()


def plotted_summary(events=("NFP",), keys=("sx5e", "es"), surprise=True):
    rows = []
    for event in events:
        for k, key in enumerate(keys):
            for minute in range(-5, 11):
                count = 1 if minute >= 8 else 10  # a lone late event: masked below the default share
                mean = minute * (k + 1.0)
                rows.append((event, key, minute, mean, mean - 2, mean + 2, mean - 1, mean + 1, count, abs(mean)))
    summary = pd.DataFrame(rows, columns=["EVENT_NAME", "key", "time_diff", "mean_bps", "ci_low_bps", "ci_high_bps",
                                          "q25_bps", "q75_bps", "count", "mean_abs_bps"])
    if surprise:
        summary["mean_by_surprise_bps"] = summary["mean_abs_bps"] / 2
    return summary


def grid(fig, rows):
    return np.array(fig.axes).reshape(rows, -1)


def legend_swatches(fig):
    """Each legend entry's text and the artists drawn as its swatch."""
    from matplotlib.offsetbox import DrawingArea, HPacker, TextArea

    found = {}

    def walk(box):
        for child in box.get_children():
            parts = child.get_children() if isinstance(child, HPacker) else []
            texts = [p for p in parts if isinstance(p, TextArea)]
            if texts:
                (area,) = [p for p in parts if isinstance(p, DrawingArea)]
                found[texts[0].get_text()] = area.get_children()
            elif hasattr(child, "get_children"):
                walk(child)

    walk(fig.legends[0]._legend_box)
    return found


class TestRows:
    @pytest.mark.parametrize("with_response, with_activity", [(False, False), (True, False), (False, True),
                                                                (True, True)])
    def test_a_row_per_statistic_with_an_interval_each_in_its_unit(self, study, with_response, with_activity):
        event = "CPI YoY"
        fig = event_study.plot_moves(study.summary, event, response=study.response if with_response else None,
                                     activity=study.activity if with_activity else None, quartiles=False)
        labels = ["mean move\n(bp)"] + ["move per σ of surprise\n(bp per σ)"] * with_response \
            + ["|1-minute return| against\nordinary days (ratio)"] * with_activity
        axes = grid(fig, len(labels))
        # the summary's size and surprise-signed means have no interval: no row of theirs
        assert [row[0].get_ylabel() for row in axes] == labels
        assert all(not ax.get_ylabel() for ax in axes[:, 1:].flat)
        assert [ax.get_title() for ax in axes[0]] == ["es", "sx5e", "usdjpy"]
        assert all(ax.get_xlabel() == "minutes from the release" for ax in axes[-1])
        for row in axes:
            assert all(row[0].get_shared_y_axes().joined(row[0], ax) for ax in row)
        for col, key in enumerate(["es", "sx5e", "usdjpy"]):
            frames = [(study.summary, "ci_low_bps", "ci_high_bps")]
            if with_response:
                frames.append((study.response, "ci_low_bps_per_sd", "ci_high_bps_per_sd"))
            for ax, (frame, low, high) in zip(axes[:, col], frames):
                line = frame[(frame["EVENT_NAME"] == event) & (frame["key"] == key)]
                (band,) = ax.collections
                heights = np.concatenate([path.vertices[:, 1] for path in band.get_paths()])  # split at gaps
                assert np.isclose(heights.min(), line[low].min()) and np.isclose(heights.max(), line[high].max())
        if with_activity:
            self.check_activity_row(axes[-1], study.activity[study.activity["EVENT_NAME"] == event])

    @staticmethod
    def check_activity_row(row, activity):
        for ax, key in zip(row, ["es", "sx5e", "usdjpy"]):
            assert ax.get_yscale() == "log"
            assert any(list(line.get_ydata()) == [1, 1] for line in ax.lines)  # 1: as on ordinary days
            rows = activity[activity["key"] == key].sort_values("time_diff")
            ratio = next(line for line in ax.lines if line.get_label().startswith("|return|"))
            np.testing.assert_allclose(ratio.get_ydata(), rows["abs_ratio"])
            hollow = next(line for line in ax.lines if line.get_label().startswith("not beyond"))
            assert list(hollow.get_xdata()) == list(rows.loc[rows["p_value"] >= 0.05, "time_diff"])
            assert hollow.get_markerfacecolor() == "white"

    def test_activity_ratios_a_log_scale_cannot_show_are_left_out(self):
        summary = plotted_summary(keys=("es",))
        activity = pd.DataFrame({"EVENT_NAME": "NFP", "key": "es", "time_diff": [-1, 0, 1, 2],
                                 "abs_ratio": [0.0, np.inf, 3.0, np.nan], "n": 10, "p_value": [0.5, 0.01, 0.01, 0.5]})
        fig = event_study.plot_moves(summary, activity=activity, min_count=1)
        ratio = next(line for line in fig.axes[1].lines if line.get_label().startswith("|return|"))
        np.testing.assert_array_equal(ratio.get_ydata(), [np.nan, np.nan, 3.0, np.nan])
        assert fig.axes[1].get_ylim()[0] > 0

    def test_lines_carry_the_summary_and_mask_thin_minutes(self):
        summary = plotted_summary()
        fig = event_study.plot_moves(summary)
        right = fig.axes[1]  # sx5e: given first, drawn second
        assert right.get_title() == "sx5e"
        mean_line, masked = right.lines[0], [line for line in right.lines if line.get_label().startswith("fewer")][0]
        expected = summary[summary["key"] == "sx5e"].sort_values("time_diff")
        np.testing.assert_array_equal(mean_line.get_xdata(), expected["time_diff"])
        np.testing.assert_array_equal(mean_line.get_ydata(), expected["mean_bps"].where(expected["count"] >= 5))
        assert masked.get_label() == "fewer than 5 releases"  # half of the 10 releases
        assert list(masked.get_xdata()) == [8, 9, 10] and masked.get_markerfacecolor() == "none"
        assert len(right.collections) == 2  # the interval and the quartiles
        fig = event_study.plot_moves(summary, min_count=1, quartiles=False)
        assert not np.isnan(fig.axes[0].lines[0].get_ydata()).any() and len(fig.axes[0].collections) == 1

    @pytest.mark.parametrize("event, words", [(None, "name the event kind"), ("GDP", "no event kind 'GDP'")])
    def test_event_kind_must_be_clear(self, event, words):
        with pytest.raises(ValueError, match=words):
            event_study.plot_moves(plotted_summary(events=("NFP", "CPI")), event)

    def test_without_matplotlib_a_clear_import_error(self, monkeypatch):
        import sys

        monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
        with pytest.raises(ImportError, match=r"pip install 'orvane_data\[plot\]'"):
            event_study.plot_moves(plotted_summary())


class TestReading:
    def test_legend_swatches_take_each_securitys_colour(self, study):
        from matplotlib.colors import to_hex

        fig = event_study.plot_moves(study.summary, "CPI YoY", response=study.response, activity=study.activity)
        axes = grid(fig, 3)
        swatches = legend_swatches(fig)
        columns = [to_hex(ax.lines[0].get_color()) for ax in axes[0]]
        assert len(set(columns)) == 3
        for label in ("mean", "response per σ", "|return| over ordinary days' (ratio)"):
            assert [to_hex(artist.get_color()) for artist in swatches[label]] == columns, label
        for label in ("95% interval of the mean", "95% interval of the response", "quartiles"):
            assert [to_hex(artist.get_facecolor()) for artist in swatches[label]] == columns, label
        assert len(swatches["1: as on ordinary days"]) == 1  # drawn alike everywhere: one swatch

    @pytest.mark.parametrize("period, shown", [
        ("years 2023", "2023"),
        ("years 2021, 2023", "2021, 2023"),
        ("2022-06-01 to 2024-05-31", "2022-06-01 to 2024-05-31"),
        ("2023", "2023"),
    ])
    def test_title_names_event_period_count_and_baseline(self, period, shown):
        fig = event_study.plot_moves(plotted_summary(events=("NFP", "CPI")), "CPI", period=period)
        assert fig.get_suptitle() == (f"CPI — {shown}: 10 releases\n"
                                      "moves from the close of the last bar before the release (minute -1)")
        other = event_study.plot_moves(plotted_summary(), base_minute=0).get_suptitle()
        assert other.splitlines()[1] == "moves from the close of the bar at minute +0"

    @pytest.mark.parametrize("names", [["es"], ["a", "b", "c", "d", "e", "f"]])
    def test_title_legend_and_panels_do_not_overlap(self, study, names):
        def renamed(frame):  # the real study's securities, under as many names as asked
            sources = ["es", "sx5e", "usdjpy"]
            return pd.concat([frame[frame["key"] == sources[i % 3]].assign(key=name) for i, name in enumerate(names)])

        fig = event_study.plot_moves(renamed(study.summary), "CPI YoY", period="years 2023",
                                     response=renamed(study.response), activity=renamed(study.activity))
        renderer = fig.canvas.get_renderer()
        title = fig._suptitle.get_window_extent(renderer)
        legend = fig.legends[0].get_window_extent(renderer)
        panels = max(ax.get_tightbbox(renderer).y1 for ax in fig.axes)
        assert title.y0 >= legend.y1 - 1 and legend.y0 >= panels - 1
        assert legend.x0 >= 0 and legend.x1 <= fig.bbox.width
        assert [ax.get_title() for ax in fig.axes[:len(names)]] == names
