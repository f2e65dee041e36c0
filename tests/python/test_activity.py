"""Releases that share their windows, ordinary days before each release, and
the activity after releases against those days, each against a formulation
with pandas and scipy."""

import datetime as dt
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import reference
from orvane_data import DataWarning, event_study
from orvane_data.from_bqia import bar_kit

NY = "America/New_York"


def random_calendar(seed, n=60):
    """Releases of four kinds on slots four minutes apart, so that windows
    overlap; some rows repeat a release a few seconds later, one has no time."""
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2024-01-02 08:30", tz=NY)
    slots = rng.integers(0, 120, n) * 4
    seconds = np.where(rng.random(n) < 0.2, rng.integers(1, 59, n), 0)
    times = start + pd.to_timedelta(slots * 60 + seconds, unit="s")
    frame = pd.DataFrame({"EVENT_NAME": rng.choice(["NFP", "UNEMP", "CPI", "ISM"], n), "event_datetime": times,
                          "ACTUAL": rng.normal(size=n)})
    frame.loc[3, "event_datetime"] = pd.NaT
    return frame


class TestConcurrentReleases:
    @pytest.mark.parametrize("seed", [0, 1, 2])
    @pytest.mark.parametrize("pre, post", [(-5, 10), (0, 0), (-1, 3)])
    def test_matches_every_pair_compared(self, seed, pre, post):
        calendar = random_calendar(seed)
        got = event_study.concurrent_releases(calendar, pre, post)
        pd.testing.assert_frame_equal(got, reference.concurrent_releases(calendar, pre, post))
        assert got["concurrent"].gt(0).any() and got["concurrent"].eq(0).any()

    def test_same_minute_releases_and_a_repeated_row(self):
        at = pd.Timestamp("2024-06-07 08:30", tz=NY)
        calendar = pd.DataFrame({"EVENT_NAME": ["NFP", "UNEMP", "NFP", "CPI", "ISM"],
                                 "event_datetime": [at, at, at + pd.Timedelta(seconds=20),
                                                    at + pd.Timedelta(minutes=11), at - pd.Timedelta(minutes=5)]})
        got = event_study.concurrent_releases(calendar).set_index("EVENT_NAME")
        # the repeated payrolls row is the same release; CPI lies a minute past the window
        assert got.loc["NFP", "concurrent"] == 2 and got.loc["NFP", "concurrent_events"] == "ISM; UNEMP"
        assert got.loc["CPI", ["concurrent", "concurrent_events"]].tolist() == [0, ""]
        assert got.loc["ISM", "concurrent_events"] == "NFP; UNEMP"
        assert len(got) == 4

    @pytest.mark.parametrize("pre, post", [(1, 10), (-5, -1)])
    def test_window_must_hold_the_release(self, pre, post):
        with pytest.raises(ValueError, match="pre <= 0 <= post"):
            event_study.concurrent_releases(random_calendar(0), pre, post)


def dst_calendar():
    """Releases around the start of daylight saving (2024-03-10); the 8th and
    the 13th hold releases, so they are no one's control day."""
    times = ["2024-03-08 08:30", "2024-03-08 08:30", "2024-03-13 10:00", "2024-03-14 08:30", "2024-03-15 08:30"]
    frame = pd.DataFrame({
        "EVENT_NAME": ["NFP", "UNEMP", "ISM", "NFP", "NFP"],
        "ticker": ["NFP TCH Index", "USURTOT Index", "NAPMPMI Index", "NFP TCH Index", "NFP TCH Index"],
        "RELEASE_DATE_TIME": pd.to_datetime(times),
        "ACTUAL": [150.0, 3.9, 49.0, 160.0, 170.0],
        "surprise": [1.0, 0.1, -0.5, 2.0, -1.0],
        "event_datetime": pd.to_datetime(times).tz_localize(NY),
    })
    frame["event_date"] = [t.date() for t in frame["event_datetime"]]
    frame.index = pd.Index(["US"] * len(frame), name="ID")
    return frame


class TestControlEvents:
    @pytest.mark.parametrize("days", [1, 3, 12])
    def test_nearest_free_weekdays_at_the_release_clock(self, days):
        calendar = dst_calendar()
        got = event_study.control_events(calendar, days)
        busy = set(calendar["event_date"])
        expected = []
        for _, release in calendar.iterrows():
            for day in reference.control_days(release["event_date"], busy, days):
                clock = release["event_datetime"].tz_localize(None).time()
                expected.append((release["EVENT_NAME"], pd.Timestamp.combine(day, clock).tz_localize(NY),
                                 day, release["event_datetime"]))
        expected = pd.DataFrame(expected, columns=["EVENT_NAME", "event_datetime", "event_date", "control_of"])
        expected = expected.sort_values(["control_of", "EVENT_NAME", "event_datetime"], kind="stable")
        columns = ["EVENT_NAME", "event_datetime", "event_date", "control_of"]
        pd.testing.assert_frame_equal(got[columns].reset_index(drop=True), expected.reset_index(drop=True),
                                      check_dtype=False)
        assert list(got.columns) == [*calendar.columns, "control_of"]
        assert got[["ACTUAL", "surprise"]].isna().all().all() and got["RELEASE_DATE_TIME"].isna().all()
        tickers = dict(zip(calendar["EVENT_NAME"], calendar["ticker"]))
        assert (got["ticker"] == got["EVENT_NAME"].map(tickers)).all()
        assert got["event_datetime"].dtype == calendar["event_datetime"].dtype

    def test_a_day_serving_two_releases_is_each_ones_control(self):
        got = event_study.control_events(dst_calendar(), 3)
        nfp = got[got["EVENT_NAME"] == "NFP"]
        shared = nfp[nfp["event_date"] == dt.date(2024, 3, 12)]
        # the 12th is a control of the NFP releases of the 14th and the 15th
        assert sorted(shared["control_of"].dt.day) == [14, 15]
        assert nfp.groupby("control_of").size().eq(3).all()

    def test_no_days_gives_an_empty_calendar(self):
        got = event_study.control_events(dst_calendar(), 0)
        assert got.empty and list(got.columns) == [*dst_calendar().columns, "control_of"]

    @pytest.mark.parametrize("days", [-1, 2001])
    def test_days_out_of_range(self, days):
        with pytest.raises(ValueError, match="days must lie between 0 and 2000"):
            event_study.control_events(dst_calendar(), days)

    def test_windows_and_moves_come_from_the_same_functions(self):
        calendar = dst_calendar()
        controls = event_study.control_events(calendar, 4)
        minutes = pd.date_range("2024-02-26 13:00", "2024-03-16 16:00", freq="min", tz="UTC")
        minutes = minutes[minutes.indexer_between_time("12:00", "16:00")]
        bars = pd.DataFrame({"datetime": minutes, "key": "es", "close": 100 + np.cos(np.arange(len(minutes))),
                             "volume": np.arange(len(minutes), dtype=float)})
        windows = bar_kit.filter_bars_around_events(bars, controls, -5, 10)
        moves = event_study.event_moves(windows)
        # every control window is whole (16 minutes), once for each release it serves,
        # its moves read from the bars themselves
        assert len(moves) == 16 * len(controls)
        assert moves.groupby(["EVENT_NAME", "control_of", "event_datetime"]).size().eq(16).all()
        close = bars.set_index("datetime")["close"]
        row = moves.iloc[7]
        expected = (close[row["datetime"]] / close[row["datetime"] - pd.Timedelta(minutes=1)] - 1) * 1e4
        assert row["ret_1m_bps"] == pytest.approx(expected, rel=1e-12)


def activity_frames(seed, n_event, n_control, ties=False, volume=True):
    """Moves and control moves of two kinds and two securities at three minutes."""
    rng = np.random.default_rng(seed)

    def frame(n, scale):
        rows = []
        for name in ("CPI", "NFP"):
            for key in ("es", "ty"):
                for minute in (-1, 0, 1):
                    ret = rng.standard_t(4, n) * scale * (3 if minute == 0 else 1)
                    if ties:
                        ret = np.round(ret)
                    ret[rng.random(n) < 0.1] = np.nan  # a bar missing the minute before
                    rows.append(pd.DataFrame({"EVENT_NAME": name, "key": key, "time_diff": minute,
                                              "ret_1m_bps": ret, "volume": rng.integers(1, 1000, n) * scale}))
        out = pd.concat(rows, ignore_index=True)
        return out if volume else out.drop(columns="volume")

    return frame(n_event, 2.0), frame(n_control, 1.0)


class TestAbnormalActivity:
    @pytest.mark.parametrize("seed, n_event, n_control, ties", [
        (0, 6, 7, False),     # both small: the exact distribution
        (1, 4, 60, False),    # one small side is enough for it
        (2, 6, 7, True),      # small with ties: the normal approximation
        (3, 40, 400, True),
        (4, 40, 400, False),
    ])
    def test_matches_pandas_and_scipy(self, seed, n_event, n_control, ties):
        moves, control = activity_frames(seed, n_event, n_control, ties)
        got = event_study.abnormal_activity(moves, control)
        expected = reference.abnormal_activity(moves, control)
        pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-9, atol=0, check_dtype=False)
        assert got["p_value"].min() < 0.05

    def test_exact_and_normal_answers_against_scipy_directly(self):
        rng = np.random.default_rng(5)
        for n1, n2 in [(1, 1), (2, 9), (8, 8), (8, 300), (9, 9), (3, 2000)]:
            x, y = np.abs(rng.normal(size=n1)) * 2, np.abs(rng.normal(size=n2))
            moves = pd.DataFrame({"EVENT_NAME": "E", "key": "k", "time_diff": 0, "ret_1m_bps": x})
            control = pd.DataFrame({"EVENT_NAME": "E", "key": "k", "time_diff": 0, "ret_1m_bps": -y})
            got = event_study.abnormal_activity(moves, control)["p_value"].iloc[0]
            assert got == pytest.approx(stats.mannwhitneyu(x, y, alternative="two-sided").pvalue, rel=1e-9)

    def test_edges_give_nan_statistics_with_counts_and_no_warning(self):
        moves = pd.DataFrame({"EVENT_NAME": "E", "key": ["a", "a", "b", "b", "c"], "time_diff": 0,
                              "ret_1m_bps": [0.0, 0.0, 3.0, np.nan, 1.0]})
        control = pd.DataFrame({"EVENT_NAME": "E", "key": ["a", "a", "a", "b", "z"], "time_diff": 0,
                                "ret_1m_bps": [0.0, 0.0, 0.0, np.nan, 5.0]})
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = event_study.abnormal_activity(moves, control).set_index("key")
        # a: no variation at all; b: no control return; c: no control row; z: no event row
        assert list(got.index) == ["a", "b", "c"]
        assert got["n"].tolist() == [2, 1, 1] and got["n_control"].tolist() == [3, 0, 0]
        assert got[["abs_ratio", "var_ratio", "volume_ratio", "p_value"]].isna().all().all()
        assert got.loc["b", "abs_ret_bps"] == 3.0

    def test_by_security_alone_pools_the_kinds(self):
        moves, control = activity_frames(6, 10, 30)
        got = event_study.abnormal_activity(moves, control, by=["key"])
        expected = reference.abnormal_activity(moves, control, by=["key"])
        pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-9, check_dtype=False)


def window_rows(time_diff, closes, key="A"):
    return pd.DataFrame({"EVENT_NAME": "NFP", "event_datetime": pd.Timestamp("2024-01-05 08:30"), "key": key,
                         "time_diff": time_diff, "close": closes})


class TestEventMovesAdditions:
    @pytest.mark.parametrize("time_diff", [
        [-1, 0, 1, 3, 4],                    # a missing minute
        [-1, 0, 0, 1, 2.5, np.nan],          # a repeated minute, a fraction, a missing one
        [2, 1, 0, -1],                       # rows in any order
        [-1, 0, 1, 10**12, 10**12 + 1],      # far apart, in order
        [10**12 + 1, 0, 10**12, -1],         # far apart, in any order: too far for one slot a minute
    ])
    def test_one_minute_returns(self, time_diff):
        closes = 100.0 + np.arange(len(time_diff)) ** 2
        frame = pd.concat([window_rows(time_diff, closes), window_rows(time_diff, closes[::-1], key="B")],
                          ignore_index=True)
        got = event_study.event_moves(frame)
        np.testing.assert_allclose(got["ret_1m_bps"], reference.event_moves(frame)["ret_1m_bps"], rtol=1e-12)

    def test_a_zero_price_gives_no_return_after_it(self):
        got = event_study.event_moves(window_rows([-1, 0, 1], [100.0, 0.0, 101.0]))
        np.testing.assert_array_equal(got["ret_1m_bps"], [np.nan, -10000.0, np.nan])

    @pytest.mark.parametrize("closes, reason", [
        ([np.nan, 101.0], "its 'close' is zero or missing at the baseline minute -1 in every window"),
        ([0.0, 101.0], "its 'close' is zero or missing at the baseline minute -1 in every window"),
    ])
    def test_a_security_without_any_move_is_named(self, closes, reason):
        frame = pd.concat([window_rows([-1, 0], closes, key="spx"), window_rows([-1, 0], [1.0, 2.0], key="es")])
        with pytest.warns(DataWarning, match=f"^no move for security 'spx': {reason}$"):
            event_study.event_moves(frame)

    def test_securities_without_a_baseline_bar_are_named_once(self):
        frame = pd.concat([window_rows([0, 1], [1.0, 2.0], key="spx"), window_rows([0, 1], [1.0, 2.0], key="ndx"),
                           window_rows([-1, 0], [1.0, 2.0], key="es")])
        with pytest.warns(DataWarning) as caught:
            event_study.event_moves(frame)
        assert [str(w.message) for w in caught] == [
            "no move for securities 'spx', 'ndx': no bar at the baseline minute -1 in any window"]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            event_study.event_moves(frame, base_minute=0)


def test_abnormal_activity_lets_other_threads_run():
    # grouping both frames, ranking every group's sizes: the work runs without the GIL
    from thread_progress import longest_stall

    rng = np.random.default_rng(0)

    def frame(n):
        return pd.DataFrame({"EVENT_NAME": pd.array(rng.choice(["CPI", "NFP"], n), dtype="str"),
                             "key": pd.array(rng.choice([f"S{k}" for k in range(300)], n), dtype="str"),
                             "time_diff": rng.integers(-5, 11, n), "ret_1m_bps": rng.normal(size=n)})

    moves, control = frame(1_000_000), frame(1_000_000)
    tries = [longest_stall(lambda: event_study.abnormal_activity(moves, control)) for _ in range(3)]
    assert min(stall / took for stall, took in tries) < 0.12, tries
