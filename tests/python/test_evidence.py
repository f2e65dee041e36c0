"""The study's evidence against statsmodels: errors clustered by release where
rows share one, the joint response to every surprise released in a minute,
and good and bad news apart."""

import warnings

import numpy as np
import pandas as pd
import pytest

from orvane_data import event_study
from test_event_study import fit_as_statsmodels, response_moves, standardized

RTOL = 1e-9


def concurrent_moves(seed=0, n_months=24):
    """Payrolls and the unemployment rate released in the same minute (the
    rate never alone), CPI on other days; two securities; each minute's move
    answers the surprises released in it, with noise; some releases without
    a survey and some minutes without a bar."""
    rng = np.random.default_rng(seed)
    slopes = {"es": {"NFP": 6.0, "UR": -4.0, "CPI": -9.0}, "usdjpy": {"NFP": 3.0, "UR": -1.0, "CPI": 2.0}}
    rows = []
    for m in range(n_months):
        friday = pd.Timestamp("2022-01-07 13:30", tz="UTC") + pd.DateOffset(months=m)
        releases = [(friday, {"NFP": rng.normal(0, 80), "UR": rng.normal(0, 0.1)}),
                    (friday + pd.Timedelta(days=5), {"CPI": rng.normal(0, 0.2)})]
        for when, surprises in releases:
            if m % 9 == 4:
                surprises[next(iter(surprises))] = np.nan
            scale = {"NFP": 80, "UR": 0.1, "CPI": 0.2}
            for key in slopes:
                for minute in (-1, 0, 1):
                    effect = sum(slopes[key][e] * np.nan_to_num(s) / scale[e] for e, s in surprises.items())
                    move = 0.0 if minute == -1 else effect * minute + rng.normal(0, 3)
                    if rng.random() < 0.04:
                        move = np.nan
                    rows += [(e, when, key, minute, move, s) for e, s in surprises.items()]
    return pd.DataFrame(rows, columns=["EVENT_NAME", "event_datetime", "key", "time_diff", "move_bps", "surprise"])


def joint_reference(moves, by, confidence, asymmetric=False):
    """Each group's OLS of the minute's move on every kind's standardized
    surprise (zero where the kind was not released), one observation per
    release minute, as statsmodels fits it."""
    frame = standardized(moves)
    kinds = sorted(frame["EVENT_NAME"].unique())
    others = [k for k in by if k != "EVENT_NAME"]
    # one observation per security, minute and release minute, whatever the grouping
    index = list(dict.fromkeys([*others, "key", "time_diff", "event_datetime"]))
    wide = frame.pivot_table(index=index, columns="EVENT_NAME", values="z", aggfunc="first", dropna=False)
    released = frame.groupby(index)["EVENT_NAME"].agg(set)
    move = frame.groupby(index)["move_bps"].first()
    obs = wide.reindex(columns=kinds).join(move).join(released.rename("released"))
    for kind in kinds:  # a kind not released at a minute: zero; released without a surprise: unknown
        obs[kind] = obs[kind].where(obs["released"].map(lambda s, k=kind: k in s), 0.0)
    obs = obs.dropna(subset=[*kinds, "move_bps"]).reset_index()
    clustered = obs.duplicated([*others, "time_diff", "event_datetime"]).any()
    rows = []
    for keys, group in obs.groupby([*others, "time_diff"]):
        keys = keys if isinstance(keys, tuple) else (keys,)
        columns = []
        for kind in kinds:
            columns += [np.maximum(group[kind], 0), np.minimum(group[kind], 0)] if asymmetric else [group[kind]]
        x = np.column_stack(columns)
        varies = x.std(axis=0) > 0
        if group["move_bps"].nunique() < 2:
            continue
        fit = fit_as_statsmodels(group["move_bps"], x[:, varies], group["event_datetime"], clustered)
        params = np.full(x.shape[1], np.nan)
        params[varies] = fit.params[1:]
        bse = np.full(x.shape[1], np.nan)
        bse[varies] = fit.bse[1:]
        where = np.cumsum(varies) * varies  # each varying column's place after the constant
        for i, kind in enumerate(kinds):
            own = group["released"].map(lambda s, k=kind: k in s)
            if not own.any():
                continue
            row = {**dict(zip(others, keys[:-1])), "EVENT_NAME": kind, "time_diff": keys[-1], "n": int(own.sum()),
                   "n_joint": len(group), "intercept_bps": fit.params[0], "r2": fit.rsquared}
            if asymmetric:
                pos, neg = 2 * i, 2 * i + 1
                contrast = np.zeros(len(fit.params))
                contrast[where[pos]], contrast[where[neg]] = 1.0, -1.0
                row.update(n_pos=int((own & (group[kind] > 0)).sum()), n_neg=int((own & (group[kind] < 0)).sum()),
                           beta_pos_bps_per_sd=params[pos], se_pos_bps_per_sd=bse[pos],
                           beta_neg_bps_per_sd=params[neg], se_neg_bps_per_sd=bse[neg],
                           p_equal=float(fit.t_test(contrast).pvalue))
            else:
                low, high = fit.conf_int(1 - confidence)[where[i]]
                row.update(beta_bps_per_sd=params[i], se_bps_per_sd=bse[i], t_stat=fit.tvalues[where[i]],
                           p_value=fit.pvalues[where[i]], ci_low_bps_per_sd=low, ci_high_bps_per_sd=high)
            rows.append(row)
    return pd.DataFrame(rows)


def compare(got, expected):
    """The rows statsmodels fitted, column by column, to RTOL."""
    keys = [c for c in ("EVENT_NAME", "key", "time_diff") if c in expected.columns]
    merged = expected.merge(got, on=keys, suffixes=("", "_got"), how="left")
    for column in expected.columns.difference(keys):
        np.testing.assert_allclose(merged[column + "_got"].astype(float), merged[column].astype(float),
                                   rtol=RTOL, atol=1e-12, err_msg=column)


class TestClusteredByRelease:
    @pytest.mark.parametrize("confidence", [0.95, 0.9])
    def test_pooled_summary_is_clustered_as_statsmodels(self, confidence):
        moves = response_moves(1)
        got = event_study.summarize_moves(moves, by=["EVENT_NAME"], confidence=confidence)
        for (event, minute), group in moves.dropna(subset=["move_bps"]).groupby(["EVENT_NAME", "time_diff"]):
            row = got[(got["EVENT_NAME"] == event) & (got["time_diff"] == minute)].iloc[0]
            if group["move_bps"].nunique() < 2:
                assert np.isnan(row["t_stat"])
                continue
            fit = fit_as_statsmodels(group["move_bps"], np.empty((len(group), 0)), group["event_datetime"], True)
            assert row["sem_bps"] == pytest.approx(fit.bse[0], rel=RTOL)
            assert row["p_value"] == pytest.approx(fit.pvalues[0], rel=RTOL)
            assert [row["ci_low_bps"], row["ci_high_bps"]] == pytest.approx(list(fit.conf_int(1 - confidence)[0]),
                                                                          rel=RTOL)
            assert row["n_releases"] == group["event_datetime"].nunique()

    def test_one_row_per_release_is_unchanged_by_clustering(self):
        moves = response_moves(2)
        plain = event_study.summarize_moves(moves, cluster="none")
        for frame in (event_study.summarize_moves(moves), event_study.summarize_moves(moves, cluster="release")):
            pd.testing.assert_frame_equal(frame, plain, check_exact=False, rtol=1e-12)
        assert (plain["n_releases"] == plain["count"]).all()
        response = event_study.surprise_response(moves)
        pd.testing.assert_frame_equal(event_study.surprise_response(moves, cluster="none"), response)

    def test_none_keeps_the_robust_errors_of_pooled_rows(self):
        moves = response_moves(3)
        pooled = event_study.surprise_response(moves, by=["EVENT_NAME"])
        plain = event_study.surprise_response(moves, by=["EVENT_NAME"], cluster="none")
        assert (pooled["n_releases"] < pooled["n"]).all()
        fitted = plain["beta_bps_per_sd"].notna()
        np.testing.assert_allclose(pooled["beta_bps_per_sd"], plain["beta_bps_per_sd"], rtol=1e-12)
        assert not np.allclose(pooled.loc[fitted, "se_bps_per_sd"], plain.loc[fitted, "se_bps_per_sd"])

    @pytest.mark.parametrize("fn", [event_study.summarize_moves, event_study.surprise_response])
    def test_an_unknown_choice_is_named(self, fn):
        with pytest.raises(ValueError, match="cluster must be 'auto', 'release' or 'none', not 'releases'"):
            fn(response_moves(), cluster="releases")

    def test_without_release_columns_rows_count_as_releases(self):
        moves = response_moves(4)[["key", "time_diff", "move_bps"]]
        got = event_study.summarize_moves(moves, by=["key"])
        assert (got["n_releases"] == got["count"]).all()
        with pytest.raises(KeyError, match="EVENT_NAME"):
            event_study.summarize_moves(moves, by=["key"], cluster="release")


class TestJointResponse:
    @pytest.mark.parametrize("seed, by, confidence", [(0, ["EVENT_NAME", "key"], 0.95), (1, ["EVENT_NAME"], 0.9)])
    def test_against_statsmodels(self, seed, by, confidence):
        moves = concurrent_moves(seed)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = event_study.surprise_response(moves, by=by, confidence=confidence, joint=True)
        expected = joint_reference(moves, by, confidence)
        assert len(expected) and set(expected.columns) <= set(got.columns)
        compare(got, expected)
        # the rate, never released alone, has its own slope
        rate = got[(got["EVENT_NAME"] == "UR") & (got["time_diff"] == 1)]
        assert rate["beta_bps_per_sd"].notna().all() and (rate["n"] < rate["n_joint"]).all()

    def test_pooled_joint_fits_are_clustered_by_release_minute(self):
        moves = concurrent_moves(2)
        got = event_study.surprise_response(moves, by=["EVENT_NAME"], joint=True)
        at_one = got[got["time_diff"] == 1]
        assert (at_one["n_releases"] < at_one["n_joint"]).all()

    def test_one_event_kind_is_the_plain_response(self):
        moves = response_moves(5)
        moves = moves[moves["EVENT_NAME"] == "NFP"]
        pd.testing.assert_frame_equal(
            event_study.surprise_response(moves, joint=True).drop(columns="n_joint"),
            event_study.surprise_response(moves))

    def test_needs_the_event_kind_among_the_keys(self):
        with pytest.raises(ValueError, match="needs 'EVENT_NAME' among the by columns"):
            event_study.surprise_response(concurrent_moves(), by=["key"], joint=True)


class TestGoodAndBadNews:
    @pytest.mark.parametrize("seed, by, joint", [(0, ["EVENT_NAME", "key"], False), (1, ["EVENT_NAME", "key"], False),
                                                 (2, ["EVENT_NAME", "key"], True), (3, ["EVENT_NAME"], True)])
    def test_against_statsmodels(self, seed, by, joint):
        moves = concurrent_moves(seed)
        got = event_study.surprise_response(moves, by=by, asymmetric=True, joint=joint)
        assert {"beta_pos_bps_per_sd", "se_pos_bps_per_sd", "beta_neg_bps_per_sd", "se_neg_bps_per_sd",
                "n_pos", "n_neg", "p_equal"} <= set(got.columns)
        if joint:
            expected = joint_reference(moves, by, 0.95, asymmetric=True)
        else:  # each kind alone: a joint fit of one kind
            expected = pd.concat([joint_reference(moves[moves["EVENT_NAME"] == e], by, 0.95, asymmetric=True)
                                  for e in sorted(moves["EVENT_NAME"].unique())], ignore_index=True)
            expected = expected.drop(columns="n_joint")
        compare(got, expected)
        assert got["p_equal"].dropna().between(0, 1).all()

    def test_one_sign_only_leaves_the_other_slope_and_the_test_out(self):
        moves = response_moves(6)
        moves = moves.assign(surprise=moves["surprise"].abs())
        got = event_study.surprise_response(moves, asymmetric=True)
        fitted = got["beta_pos_bps_per_sd"].notna()
        assert fitted.any() and (got["n_neg"] == 0).all()
        assert got[["beta_neg_bps_per_sd", "se_neg_bps_per_sd", "p_equal"]].isna().all(axis=None)


def test_collected_moves_give_the_single_process_evidence(tmp_path):
    """On the moves the Dask driver collects, every new statistic equals the
    one-process study's."""
    from orvane_data import bar_store, distributed
    from test_distributed import make_bars, make_calendar, single_process_moves

    bars = make_bars()
    calendar = make_calendar()
    # the unemployment rate beside the last payrolls, surprises on every release
    calendar = pd.concat([calendar, calendar.iloc[[6]].assign(EVENT_NAME="UR", ACTUAL=3.9)])
    calendar = calendar.assign(surprise=[0.4, -1.1, 2.0, 0.3, -0.2, 0.9, 1.5, -0.1])
    bar_store.write_bars(bars, str(tmp_path))
    collected = distributed.collect_moves(str(tmp_path), calendar, scheduler="sync")
    single = single_process_moves(bars, calendar)
    for call in (lambda m: event_study.summarize_moves(m, by=["EVENT_NAME"]),
                 lambda m: event_study.surprise_response(m, by=["EVENT_NAME"], joint=True),
                 lambda m: event_study.surprise_response(m, asymmetric=True, cluster="release")):
        pd.testing.assert_frame_equal(call(collected), call(single), check_exact=False, rtol=1e-10)
