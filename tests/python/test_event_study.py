"""Window moves and their summary, against a plain pandas formulation."""

import inspect
import os
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import reference
from orvane_data import event_study
from thread_progress import longest_stall


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
        expected = reference.event_moves(frame, base_minute=base_minute)
        for column in ("move_bps", "ret_1m_bps"):
            np.testing.assert_allclose(got[column].to_numpy(), expected[column].to_numpy(), rtol=1e-12)
        pd.testing.assert_frame_equal(frame, before)  # input untouched
        assert list(got.columns) == list(frame.columns) + ["move_bps", "ret_1m_bps"]

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
    @pytest.mark.filterwarnings("ignore::orvane_data.DataWarning")  # windows without a baseline, on purpose
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
                                     "count", "mean_abs_bps", "std_bps", "sem_bps", "t_stat", "p_value", "ci_low_bps",
                                     "ci_high_bps", "share_up", "sign_p_value", "n_releases"]
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


def keyed_moves(dtype, seed=0, n=400):
    """Moves keyed by a column of `dtype`, with a missing key where the dtype holds one."""
    rng = np.random.default_rng(seed)
    labels = np.array(["b", "a", "é", "ab", "B"])[rng.integers(0, 5, n)]
    keys = {
        "category": lambda: pd.Categorical(labels, categories=["é", "z", "b", "a", "ab", "B"]),
        "string[pyarrow]": lambda: pd.array(np.where(np.arange(n) % 37 == 0, None, labels), dtype="string[pyarrow]"),
        "object": lambda: pd.Series(labels, dtype=object),
        "int16": lambda: rng.integers(-3, 4, n).astype("int16"),
        "wide int64": lambda: rng.choice([-(2 ** 62), 0, 2 ** 62], n),
    }[dtype]()
    return pd.DataFrame({"key": keys, "time_diff": rng.integers(-1, 3, n), "move_bps": rng.normal(0, 5, n)})


class TestKeyColumns:
    """Groups as pandas' sorted groupby forms them, whatever the dtype of the keys."""

    @pytest.mark.parametrize("dtype", ["category", "string[pyarrow]", "object", "int16", "wide int64"])
    def test_groups_and_order_match_pandas(self, dtype):
        moves = keyed_moves(dtype)
        got = event_study.summarize_moves(moves, by=["key"])
        grouped = moves.groupby(["key", "time_diff"], observed=True)["move_bps"]
        expected = grouped.agg(mean_bps="mean", count="count").reset_index()
        pd.testing.assert_frame_equal(got[expected.columns], expected, check_dtype=False, check_categorical=False)
        assert got["key"].dtype == moves["key"].dtype

    @pytest.mark.parametrize("dtype", ["category", "string[pyarrow]", "int16"])
    def test_codes_are_read_natively(self, dtype, native_roads):
        moves = keyed_moves(dtype).assign(EVENT_NAME=pd.Categorical(["NFP"] * 400),
                                          event_datetime=pd.Timestamp("2024-01-05"), surprise=1.0)
        event_study.summarize_moves(moves, by=["key"])
        event_study.surprise_response(moves, by=["key"])
        # each numbers its two keys and the event kinds (to tell the releases apart)
        assert native_roads.roads()["event_study.key_codes"] == {"native": 6, "pandas": 0}
        # grouped by event kind, the response numbers the kinds once, not again for the releases
        event_study.surprise_response(moves, by=["EVENT_NAME", "key"])
        assert native_roads.roads()["event_study.key_codes"] == {"native": 9, "pandas": 0}


def moves_with_edges(seed=0):
    """Moves by security and minute with the edges of the tests in them: a
    minute without a move, one move, moves all equal, moves all zero, zeros
    among other moves, and groups of many releases."""
    rng = np.random.default_rng(seed)
    rows = []
    for key, n in (("many", 40), ("few", 7), ("three", 3)):
        for minute in range(0, 4):
            rows += [(key, minute, v) for v in rng.normal(2.0 * minute, 5.0, n).round(1)]
    rows += [("edge", 0, np.nan), ("edge", 0, np.nan), ("edge", 1, 3.5), ("edge", 2, 4.0), ("edge", 2, 4.0),
             ("edge", 2, np.nan), ("edge", 3, 0.0), ("edge", 3, 0.0), ("edge", 4, 0.0), ("edge", 4, 2.0),
             ("edge", 4, -1.0), ("edge", 4, 3.0), ("edge", 5, 1e-150), ("edge", 5, 3e-150)]
    frame = pd.DataFrame(rows, columns=["key", "time_diff", "move_bps"]).assign(EVENT_NAME="NFP")
    return frame.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def scipy_tests(values, confidence):
    """The tests of one group's moves as scipy runs them (NaN where undefined)."""
    from scipy import stats

    values = values[~np.isnan(values)]
    nonzero = values[values != 0]
    out = dict.fromkeys(["t_stat", "p_value", "ci_low_bps", "ci_high_bps", "share_up", "sign_p_value"], np.nan)
    if len(values) >= 2 and values.min() != values.max():
        test = stats.ttest_1samp(values, 0.0)
        low, high = test.confidence_interval(confidence)
        out.update(t_stat=test.statistic, p_value=test.pvalue, ci_low_bps=low, ci_high_bps=high)
    if len(nonzero):
        up = int((nonzero > 0).sum())
        out.update(share_up=up / len(nonzero), sign_p_value=stats.binomtest(up, len(nonzero), 0.5).pvalue)
    return out


class TestSummaryTests:
    @pytest.mark.parametrize("seed, confidence", [(0, 0.95), (1, 0.9), (2, 0.99)])
    def test_against_scipy(self, seed, confidence):
        moves = moves_with_edges(seed)
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no warning at any edge
            got = event_study.summarize_moves(moves, by=["key"], confidence=confidence)
        for (key, minute), values in moves.groupby(["key", "time_diff"])["move_bps"]:
            row = got[(got["key"] == key) & (got["time_diff"] == minute)].iloc[0]
            values = values.to_numpy()
            valid = values[~np.isnan(values)]
            assert row["std_bps"] == pytest.approx(np.std(valid, ddof=1) if len(valid) > 1 else np.nan,
                                                   rel=1e-12, nan_ok=True)
            assert row["sem_bps"] == pytest.approx(row["std_bps"] / np.sqrt(len(valid)), rel=1e-12, nan_ok=True)
            for column, expected in scipy_tests(values, confidence).items():
                assert row[column] == pytest.approx(expected, rel=1e-9, nan_ok=True), (key, minute, column)

    def test_edges(self):
        got = event_study.summarize_moves(moves_with_edges(), by=["key"]).set_index(["key", "time_diff"]).loc["edge"]
        tests = ["t_stat", "p_value", "ci_low_bps", "ci_high_bps"]
        assert got.loc[0, "count"] == 0 and got.loc[0, tests + ["std_bps", "share_up"]].isna().all()
        assert got.loc[1, "count"] == 1 and got.loc[1, tests + ["std_bps"]].isna().all()  # one move
        assert got.loc[2, "std_bps"] == 0 and got.loc[2, tests].isna().all()  # equal moves, a NaN aside
        assert got.loc[2, "share_up"] == 1.0 and got.loc[2, "sign_p_value"] == 0.5
        assert got.loc[3, ["share_up", "sign_p_value"]].isna().all() and got.loc[3, tests].isna().all()
        assert got.loc[4, "share_up"] == 2 / 3  # the zero move is left out of the signs
        assert got.loc[5, "std_bps"] > 0 and got.loc[5, "t_stat"] == pytest.approx(2.0)  # tiny, not equal

    @pytest.mark.parametrize("confidence", [0, 1, 1.5, -0.1, float("nan"), np.float32(1.0)])
    def test_confidence_outside_the_unit_interval_is_a_value_error(self, confidence):
        for fn in (event_study.summarize_moves, event_study.surprise_response):
            with pytest.raises(ValueError, match="confidence must lie strictly between 0 and 1"):
                fn(response_moves(), confidence=confidence)

    @pytest.mark.parametrize("confidence", ["0.9", None, True, 1j])
    def test_confidence_is_a_number(self, confidence):
        with pytest.raises(TypeError, match="Argument 'confidence' has incorrect type"):
            event_study.summarize_moves(moves_with_edges(), confidence=confidence)


def response_moves(seed=0, n_releases=30):
    """Two event kinds of releases with surprises on different scales, three
    securities, one of which holds only the later releases of each kind;
    some releases without a surprise and some minutes without a move."""
    rng = np.random.default_rng(seed)
    rows = []
    for event, scale in (("NFP", 60.0), ("CPI", 0.1)):
        for r in range(n_releases):
            when = pd.Timestamp("2022-01-07 13:30", tz="UTC") + pd.Timedelta(days=30 * r + (event == "CPI"))
            surprise = np.nan if r % 11 == 5 else rng.normal(0.0, scale)
            for key in ("es", "usdjpy", "late"):
                if key == "late" and r < n_releases // 2:
                    continue
                for minute in (-1, 0, 1, 2):
                    slope = {"es": 8.0, "usdjpy": -3.0, "late": 1.0}[key] * minute
                    noise = rng.normal(0.0, 2.0 + abs(np.nan_to_num(surprise)) / scale)  # heteroskedastic
                    move = 0.0 if minute == -1 else slope * np.nan_to_num(surprise) / scale + noise
                    rows.append((event, when, key, minute, np.nan if rng.random() < 0.05 else move, surprise))
    return pd.DataFrame(rows, columns=["EVENT_NAME", "event_datetime", "key", "time_diff", "move_bps", "surprise"])


def standardized(moves):
    """The moves with ``z``, each surprise over its kind's spread across distinct releases."""
    releases = moves.drop_duplicates(["EVENT_NAME", "event_datetime"])
    spread = releases.groupby("EVENT_NAME")["surprise"].std(ddof=1)
    return moves.assign(z=moves["surprise"] / moves["EVENT_NAME"].map(spread))


def fit_as_statsmodels(y, x, clusters, clustered):
    """OLS with an intercept, HC1 errors or CR1 errors by cluster, Student t."""
    import statsmodels.api as sm

    design = sm.add_constant(np.asarray(x, dtype=float).reshape(len(y), -1), has_constant="add")
    if clustered:
        codes = pd.factorize(pd.Series(list(clusters)))[0]
        return sm.OLS(np.asarray(y), design).fit(cov_type="cluster", cov_kwds={"groups": codes}, use_t=True)
    return sm.OLS(np.asarray(y), design).fit(cov_type="HC1", use_t=True)


def statsmodels_response(moves, by, confidence):
    """Each group's OLS of the moves on the surprise over its event kind's
    spread across distinct releases, as statsmodels fits it: HC1 errors, or
    CR1 errors by release where a release gives some group several rows."""
    frame = standardized(moves).dropna(subset=["z", "move_bps"])
    clustered = frame.duplicated(by + ["time_diff", "EVENT_NAME", "event_datetime"]).any()
    rows = []
    for keys, group in frame.groupby(by + ["time_diff"]):
        if group["move_bps"].nunique() < 2:  # the baseline minute: nothing to fit
            continue
        releases = list(zip(group["EVENT_NAME"], group["event_datetime"]))
        fit = fit_as_statsmodels(group["move_bps"], group["z"], releases, clustered)
        low, high = fit.conf_int(1 - confidence)[1]
        rows.append((*keys, len(group), fit.params[1], fit.bse[1], fit.tvalues[1], fit.pvalues[1], low, high,
                     fit.params[0], fit.rsquared, len(set(releases))))
    return pd.DataFrame(rows, columns=[*by, "time_diff", "n", "beta_bps_per_sd", "se_bps_per_sd", "t_stat",
                                       "p_value", "ci_low_bps_per_sd", "ci_high_bps_per_sd", "intercept_bps", "r2",
                                       "n_releases"])


class TestSurpriseResponse:
    @pytest.mark.parametrize("seed, by, confidence", [(0, ["EVENT_NAME", "key"], 0.95), (1, ["key"], 0.9),
                                                      (2, ["EVENT_NAME"], 0.99)])
    def test_against_statsmodels(self, seed, by, confidence):
        moves = response_moves(seed)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = event_study.surprise_response(moves, by=by, confidence=confidence)
        expected = statsmodels_response(moves, by, confidence)
        assert list(got.columns) == list(expected.columns)
        at_baseline = got["time_diff"] == -1  # every move zero: nothing to regress
        assert got.loc[at_baseline, "beta_bps_per_sd"].isna().all() and (got.loc[at_baseline, "n"] > 3).all()
        got = got[~at_baseline].reset_index(drop=True)
        pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-9, atol=0, check_dtype=False)
        assert got["p_value"].between(0, 1).all()

    def test_a_security_with_some_releases_keeps_its_kinds_spread(self):
        moves = response_moves(3)
        got = event_study.surprise_response(moves)
        alone = event_study.surprise_response(moves[moves["key"] == "late"])
        late = got[got["key"] == "late"].reset_index(drop=True)
        assert not np.allclose(late["beta_bps_per_sd"].dropna(), alone["beta_bps_per_sd"].dropna())
        # the same spread, read from the late security's releases only, gives its answer alone
        spread = moves.drop_duplicates(["EVENT_NAME", "event_datetime"]).groupby("EVENT_NAME")["surprise"].std()
        own = moves[moves["key"] == "late"].drop_duplicates(["EVENT_NAME", "event_datetime"])
        ratio = own.groupby("EVENT_NAME")["surprise"].std() / spread
        scaled = late["beta_bps_per_sd"] * late["EVENT_NAME"].map(ratio)
        np.testing.assert_allclose(scaled.dropna(), alone["beta_bps_per_sd"].dropna(), rtol=1e-9)

    @pytest.mark.parametrize("case, n", [
        ("two rows", 2),              # fewer than three
        ("one surprise", 5),          # one release with a surprise: no spread
        ("equal moves", 5),           # no variation in the moves
        ("equal surprises", 5),       # no variation in the surprise
    ])
    def test_edges_give_nan_statistics_and_the_rows_used(self, case, n):
        when = pd.date_range("2024-01-05 13:30", periods=6, freq="7D", tz="UTC")
        surprise = {"one surprise": [1.0] + [np.nan] * 5, "equal surprises": [2.0] * 6}.get(
            case, [1.0, -2.0, 0.5, 3.0, -1.0, np.nan])
        move = [5.0] * 6 if case == "equal moves" else [1.0, 4.0, np.nan, 2.0, 7.0, 3.0]
        moves = pd.DataFrame({"EVENT_NAME": "NFP", "event_datetime": when, "key": "es", "time_diff": 1,
                              "move_bps": move, "surprise": surprise})
        if case == "one surprise":  # five rows with the one release's surprise
            moves = pd.concat([moves.iloc[[0]]] * 5, ignore_index=True).assign(move_bps=[1.0, 2.0, 3.0, 5.0, 4.0])
        if case == "two rows":
            moves = moves.iloc[:3]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = event_study.surprise_response(moves)
        assert got["n"].tolist() == [n]
        assert got.drop(columns=["EVENT_NAME", "key", "time_diff", "n", "n_releases"]).isna().all(axis=None)

    def test_missing_surprise_is_a_key_error(self):
        with pytest.raises(KeyError, match="surprise"):
            event_study.surprise_response(response_moves().drop(columns="surprise"))

    def test_default_grouping_is_not_changed_by_a_call(self):
        by = ["EVENT_NAME", "key"]
        event_study.surprise_response(response_moves(), by=by)
        assert by == ["EVENT_NAME", "key"]
        assert inspect.signature(event_study.surprise_response).parameters["by"].default == by


@pytest.mark.filterwarnings("ignore::orvane_data.DataWarning")  # most random windows lack a baseline
def test_event_moves_lets_other_threads_run():
    # a window per row in random order: telling the windows apart and finding
    # their baselines is the work, and it runs without the GIL
    rng = np.random.default_rng(0)
    n = 8_000_000
    windows = pd.DataFrame({"key": rng.permutation(n), "time_diff": rng.integers(-5, 11, n).astype(float),
                            "close": 100.0 + rng.random(n)})
    tries = [longest_stall(lambda: event_study.event_moves(windows, by=["key"])) for _ in range(3)]
    assert min(stall / took for stall, took in tries) < 0.12, tries


def test_scipy_is_imported_when_a_statistic_is_first_computed():
    code = ("import sys\nfrom orvane_data import event_study\nprint('scipy' in sys.modules)\n"
            "event_study.special\nprint('scipy.special' in sys.modules)")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert result.stdout.split() == ["False", "True"], result.stderr
