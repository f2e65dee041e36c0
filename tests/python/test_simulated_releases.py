"""How the simulated intraday service reacts to economic releases, measured as
a researcher would: regressions of release-minute moves on standardized
surprises (statsmodels), and release days against ordinary days at the same
clock minutes."""

from __future__ import annotations

import functools

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from orvane_data.simulated import calendar as sim_calendar
from orvane_data.simulated import intraday as bqia

NFP, UR, CPI_YOY, CPI_MOM = "NFP TCH Index", "USURTOT Index", "CPI YOY Index", "CPI CHNG Index"


@pytest.fixture(autouse=True)
def fresh_config():
    bqia.set_config({})
    yield
    bqia.set_config({})


@functools.lru_cache(maxsize=None)
def us_releases() -> pd.DataFrame:
    """Every US release with its surprise over the spread of its kind's surprises."""
    rows = [(pd.Timestamp(rel.release_utc), rel.ticker, rel.surprise)
            for rel in sim_calendar.releases(sim_calendar.FIRST_YEAR, sim_calendar.LAST_YEAR, regions=["US"])]
    frame = pd.DataFrame(rows, columns=["minute", "ticker", "surprise"])
    frame["minute"] = frame["minute"].dt.as_unit("ns")
    frame["z"] = frame["surprise"] / frame.groupby("ticker")["surprise"].transform("std")
    return frame


@functools.lru_cache(maxsize=None)
def release_minute_moves(key: str, ticker: str, first: str, last: str) -> pd.DataFrame:
    """The move (log close over the previous minute's close) at each release
    minute of ``ticker``, beside the standardized surprise of every US kind
    released in that minute (0 for a kind not released then). ``key`` "es"
    is the rolled E-mini future. Shared between tests: read it only."""
    if key == "es":
        roll = bqia.FuturesRollConfig("ES", "Index", 5)
        bqia.set_config({"futures_roll_factory": bqia.FuturesRollFactory({"es": roll})})
    releases = us_releases()
    minutes = releases.loc[(releases["ticker"] == ticker) & releases["surprise"].notna(), "minute"]
    minutes = minutes[(minutes >= pd.Timestamp(first, tz="UTC")) & (minutes <= pd.Timestamp(last, tz="UTC"))]
    moves = {}
    for minute in minutes:
        day = minute.tz_convert("America/New_York").date()
        bars = bqia.get_bars([key], "custom" if key == "es" else "parsekey", day, day)
        closes = bars.set_index("datetime")["close"]
        at = closes.index.get_indexer([minute])[0]
        if at > 0:
            moves[minute] = np.log(closes.iloc[at] / closes.iloc[at - 1])
    shared = releases[releases["minute"].isin(list(moves))]
    z = shared.pivot_table(index="minute", columns="ticker", values="z", aggfunc="sum").fillna(0.0)
    return z.assign(move=pd.Series(moves))


class TestResponseToSurprises:
    @pytest.mark.parametrize(
        "key, parse_key, ticker, sign",
        [
            # the equity future rises on strong jobs and falls on inflation;
            # the unemployment rate only ever comes out beside payrolls
            ("es", "ESM4 Index", NFP, +1),
            ("es", "ESM4 Index", UR, -1),
            ("es", "ESM4 Index", CPI_YOY, -1),
            # yen per dollar rises as the dollar strengthens, dollars per euro fall
            ("JPY Curncy", "JPY Curncy", NFP, +1),
            ("JPY Curncy", "JPY Curncy", CPI_MOM, +1),
            ("EUR Curncy", "EUR Curncy", NFP, -1),
            # bond prices fall on strong jobs
            ("IBM 4.15 05/15/39 Corp", "IBM 4.15 05/15/39 Corp", NFP, -1),
        ],
    )
    def test_release_minute_moves_scale_with_the_standardized_surprise(self, key, parse_key, ticker, sign):
        # the unemployment rate's minutes are those of payrolls
        data = release_minute_moves(key, NFP if ticker == UR else ticker, "2016-01-01", "2024-06-28")
        kinds = [col for col in data.columns if col != "move" and (data[col] != 0).sum() >= 5]
        assert ticker in kinds
        fit = sm.OLS(data["move"] * 1e4, sm.add_constant(data[kinds])).fit()
        configured = bqia._response_slope(parse_key, ticker) * 1e4
        low, high = fit.conf_int(alpha=0.001).loc[ticker]
        assert np.sign(fit.params[ticker]) == sign and fit.pvalues[ticker] < 1e-3
        assert low <= configured <= high
        assert fit.rsquared < 0.95  # noise beyond the surprises

    def test_shared_minutes_move_by_the_sum_of_both_releases(self):
        # Payrolls and the unemployment rate come out together: the moves are
        # explained by both surprises, each with its own slope, not by one.
        data = release_minute_moves("JPY Curncy", NFP, "2010-01-01", "2024-06-28")
        y = data["move"] * 1e4
        joint = sm.OLS(y, sm.add_constant(data[[NFP, UR]])).fit()
        alone = sm.OLS(y, sm.add_constant(data[[NFP]])).fit()
        for ticker in (NFP, UR):
            low, high = joint.conf_int(alpha=0.001).loc[ticker]
            assert low <= bqia._response_slope("JPY Curncy", ticker) * 1e4 <= high
        residual = y - joint.params[NFP] * data[NFP] - joint.params[UR] * data[UR]
        # what payrolls leave unexplained is the unemployment rate's share
        assert abs(np.corrcoef(alone.resid, data[UR])[0, 1]) > 0.2
        assert abs(np.corrcoef(residual, data[UR])[0, 1]) < 0.05
        assert joint.rsquared > alone.rsquared + 0.05


class TestActivityAfterReleases:
    def test_volatility_and_volume_rise_after_a_release_and_decay(self):
        # The same New York clock minutes on days with an 08:30 release and on
        # days with no release between 08:00 and 10:00.
        bars = bqia.get_bars(["JPY Curncy"], "parsekey", "2022-01-03", "2024-06-28", tz="America/New_York")
        bars = bars.assign(ret=np.log(bars["close"]).diff().abs() * 1e4)
        stamp = bars["datetime"]
        bars = bars.assign(day=stamp.dt.date, clock=stamp.dt.hour * 60 + stamp.dt.minute - (8 * 60 + 30))
        releases = us_releases()
        local = releases["minute"].dt.tz_convert("America/New_York")
        clock = local.dt.hour * 60 + local.dt.minute - (8 * 60 + 30)
        release_days = set(local.dt.date[clock == 0])
        busy_days = set(local.dt.date[(clock >= -30) & (clock <= 90)])
        kind = bars["day"].map(lambda d: "release" if d in release_days else "busy" if d in busy_days else "ordinary")
        near = bars[(bars["clock"] >= -5) & (bars["clock"] <= 40) & (kind != "busy")]
        by_minute = near.groupby([kind[near.index], "clock"])[["ret", "volume"]].mean()
        ratio = by_minute.loc["release"] / by_minute.loc["ordinary"]
        assert (near.groupby(kind[near.index])["day"].nunique() > 150).all()

        for column, at_release in (("ret", 3.0), ("volume", 4.0)):
            r = ratio[column]
            assert r.loc[0] > at_release
            assert r.loc[1] > 1.8
            assert r.loc[1] > r.loc[4] > r.loc[8] > r.loc[13]
            assert r.loc[-5:-1].between(0.8, 1.25).all()  # nothing before the release
            assert r.loc[20:40].mean() == pytest.approx(1.0, abs=0.1)  # over within a quarter hour


class TestFrameBuilding:
    def test_a_large_frame_keeps_its_stamps_as_arrays(self, monkeypatch):
        # Building the frame must never turn the zoned stamps into Python
        # objects one by one (on some pandas lines that takes seconds for a
        # study's bars).
        def boxed(*args, **kwargs):
            raise AssertionError("the stamps were boxed into objects")

        monkeypatch.setattr(pd.arrays.DatetimeArray, "__iter__", boxed)
        monkeypatch.setattr(pd.arrays.DatetimeArray, "astype", boxed)
        frame = bqia.get_bars(["JPY Curncy", "EUR Curncy"], "parsekey", "2024-05-06", "2024-05-10",
                              tz="America/New_York")
        assert list(frame.columns) == bqia.COLUMNS
        assert str(frame["datetime"].dtype) == "datetime64[ns, America/New_York]"
        assert frame["close"].dtype == np.float64 and frame["volume"].dtype == np.int64
