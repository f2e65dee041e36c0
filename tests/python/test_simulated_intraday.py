"""The simulated intraday service: sessions, rolls, configuration, prices and bars."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd
import pytest

from orvane_data.simulated import calendar as sim_calendar
from orvane_data.simulated import intraday as bqia
from orvane_data.simulated import securities as master


@pytest.fixture(autouse=True)
def fresh_config():
    bqia.set_config({})
    yield
    bqia.set_config({})


def bars_of(key, start, end, **kwargs):
    return bqia.get_bars([key], "parsekey", start, end, **kwargs)


def local_minutes(frame, zone):
    return set(frame["datetime"].dt.tz_convert(zone).dt.strftime("%H:%M"))


def minute_range(first, last):
    start = dt.datetime.combine(dt.date.today(), first)
    count = (dt.datetime.combine(dt.date.today(), last) - start).seconds // 60 + 1
    return {(start + dt.timedelta(minutes=i)).strftime("%H:%M") for i in range(count)}


class TestSessions:
    @pytest.mark.parametrize(
        "key, zone, minutes",
        [
            ("SPX Index", "America/New_York", minute_range(dt.time(9, 30), dt.time(15, 59))),
            ("700 HK Equity", "Asia/Hong_Kong",
             minute_range(dt.time(9, 30), dt.time(11, 59)) | minute_range(dt.time(13, 0), dt.time(15, 59))),
            ("JPY Curncy", "America/New_York", minute_range(dt.time(0, 0), dt.time(23, 59))),
            ("ESM4 Index", "America/Chicago",
             minute_range(dt.time(17, 0), dt.time(23, 59)) | minute_range(dt.time(0, 0), dt.time(15, 59))),
        ],
    )
    def test_bars_lie_inside_the_local_session_across_a_clock_change(self, key, zone, minutes):
        # 2024-03-10: New York and Chicago move to summer time
        frame = bars_of(key, "2024-03-06", "2024-03-13")
        assert local_minutes(frame, zone) == minutes
        per_day = frame.groupby(frame["datetime"].dt.tz_convert(zone).dt.normalize()).size()
        if key != "ESM4 Index":  # the futures day starts the evening before
            assert list(per_day.index.day_of_week) == [2, 3, 4, 0, 1, 2]
            assert set(per_day) == {len(minutes)}

    def test_no_bars_after_the_last_simulated_day(self):
        frame = bars_of("EUR Curncy", "2024-06-27", "2024-07-10")
        assert frame["datetime"].dt.tz_convert("America/New_York").dt.date.max() == sim_calendar.TODAY

    def test_economic_indicators_have_no_bars(self):
        with pytest.raises(bqia.UnknownSecurityError, match="NFP TCH Index"):
            bars_of("NFP TCH Index", "2024-03-01", "2024-03-05")


class TestPrices:
    def test_same_minute_same_bar_whatever_the_range(self):
        long = bars_of("IBM US Equity", "2024-02-01", "2024-02-29")
        short = bars_of("IBM US Equity", "2024-02-12", "2024-02-13")
        part = long[long["datetime"].isin(short["datetime"])].reset_index(drop=True)
        pd.testing.assert_frame_equal(part, short)
        pd.testing.assert_frame_equal(long, bars_of("IBM US Equity", "2024-02-01", "2024-02-29"))

    def test_each_day_ends_on_the_daily_close_and_bars_are_consistent(self):
        sec = master.by_parse_key("AAPL US Equity")
        frame = bars_of(sec.parse_key, "2024-04-01", "2024-04-30")
        day = frame["datetime"].dt.tz_convert(sec.zone).dt.tz_localize(None).dt.normalize()
        last_close = frame.groupby(day)["close"].last()
        closes = master.daily_closes(sec).reindex(last_close.index)
        np.testing.assert_allclose(last_close.to_numpy(), closes.to_numpy(), rtol=1e-12)
        assert (frame["low"] <= frame[["open", "close"]].min(axis=1)).all()
        assert (frame["high"] >= frame[["open", "close"]].max(axis=1)).all()
        assert (frame["volume"] >= 0).all()
        same_day = day.to_numpy()[1:] == day.to_numpy()[:-1]
        np.testing.assert_allclose(frame["open"].to_numpy()[1:][same_day],
                                   frame["close"].to_numpy()[:-1][same_day], rtol=1e-12)

    def test_zone_only_changes_how_stamps_are_written(self):
        utc = bars_of("HSI Index", "2024-05-06", "2024-05-07")
        hk = bars_of("HSI Index", "2024-05-06", "2024-05-07", tz="Asia/Hong_Kong")
        assert str(utc["datetime"].dtype) == "datetime64[ns, UTC]"
        assert str(hk["datetime"].dtype) == "datetime64[ns, Asia/Hong_Kong]"
        pd.testing.assert_frame_equal(utc.assign(datetime=utc["datetime"].dt.tz_convert("Asia/Hong_Kong")), hk)

    @pytest.mark.parametrize("freq, zone", [("5min", "America/New_York"), ("1h", "Asia/Kolkata"), ("30min", None)])
    def test_downsampled_bars_aggregate_the_minutes(self, freq, zone):
        minutes = bars_of("EUR Curncy", "2024-03-07", "2024-03-12", tz=zone)
        coarse = bars_of("EUR Curncy", "2024-03-07", "2024-03-12", tz=zone, downsample_freq=freq)
        wall = minutes["datetime"].dt.tz_localize(None).dt.floor(freq)
        want = minutes.groupby(wall).agg(open=("open", "first"), high=("high", "max"), low=("low", "min"),
                                         close=("close", "last"), volume=("volume", "sum"))
        assert coarse["datetime"].dt.tz_localize(None).tolist() == list(want.index)
        for column in ["open", "high", "low", "close", "volume"]:
            np.testing.assert_allclose(coarse[column].to_numpy(), want[column].to_numpy(), rtol=1e-12)

    @pytest.mark.parametrize("freq", ["30s", "90s", "-5min", "fortnightly"])
    def test_frequencies_that_are_not_whole_minutes_are_refused(self, freq):
        with pytest.raises(bqia.IntradayError, match="downsample_freq"):
            bars_of("EUR Curncy", "2024-03-07", "2024-03-08", downsample_freq=freq)


class TestRolls:
    @pytest.mark.parametrize("offset, days", [(pd.DateOffset(5), 5), (5, 5), (pd.DateOffset(days=12), 12),
                                              (dt.timedelta(days=1), 1)])
    def test_the_contract_held_each_day(self, offset, days):
        roll = bqia.FuturesRollConfig("ES", "Index", offset)
        bqia.set_config({"futures_roll_factory": bqia.FuturesRollFactory({"es": roll})})
        frame = bqia.get_bars(["es"], "custom", "2024-02-26", "2024-03-29", tz="America/Chicago")
        assert set(frame["key"]) == {"es"}
        trade_day = (frame["datetime"] + pd.Timedelta(hours=7)).dt.date  # 17:00 opens the next day
        for day, figis in frame.groupby(trade_day)["security"].unique().items():
            assert list(figis) == [master.front_contract("ES", "Index", day, days).figi], day
        assert {master.by_figi(f).parse_key for f in frame["security"].unique()} == {"ESH4 Index", "ESM4 Index"}

    def test_bad_roll_definitions(self):
        with pytest.raises(bqia.IntradayError, match="unknown futures root"):
            bqia.FuturesRollConfig("ZZ", "Index", 5)
        with pytest.raises(bqia.IntradayError, match="yellow key"):
            bqia.FuturesRollConfig("TY", "Index", 5)
        with pytest.raises(TypeError):
            bqia.FuturesRollConfig("ES", "Index", "5 days")
        with pytest.raises(TypeError):
            bqia.FuturesRollFactory({"es": ("ES", "Index", 5)})
        assert len(bqia.FuturesRollFactory({})) == 0


class TestConfiguration:
    MAPPING = pd.DataFrame({"custom": ["spx", "yen"], "parsekey": ["spx index", "JPY Curncy"],
                            "figi": [master.by_parse_key("SPX Index").figi,
                                     master.by_parse_key("JPY Curncy").figi + ".BGN"]})

    @pytest.mark.parametrize("id_type, wanted", [("custom", ["spx", "yen"]),
                                                 ("parsekey", ["spx index", "JPY Curncy"]),
                                                 ("figi", list(MAPPING["figi"]))])
    def test_mapped_securities_by_any_id(self, id_type, wanted):
        bqia.set_config({"security_id_mapping": self.MAPPING})
        frame = bqia.get_bars(wanted, id_type, "2024-05-06", "2024-05-06")
        assert list(pd.unique(frame["key"])) == wanted
        assert list(pd.unique(frame["security"])) == [master.by_parse_key("SPX Index").figi,
                                                      master.by_parse_key("JPY Curncy").figi]

    def test_unknown_securities_are_named(self):
        bqia.set_config({"security_id_mapping": self.MAPPING})
        with pytest.raises(bqia.UnknownSecurityError, match="'gold'"):
            bqia.get_bars(["spx", "gold"], "custom", "2024-05-06", "2024-05-06")
        bqia.set_config({})
        with pytest.raises(bqia.UnknownSecurityError, match="'spx'"):
            bqia.get_bars(["spx"], "custom", "2024-05-06", "2024-05-06")

    def test_packages_select_what_is_served(self):
        bqia.set_config({"enabled_packages": ["macro"]})
        assert len(bqia.get_bars(["JPY Curncy"], "parsekey", "2024-05-06", "2024-05-06")) == 1440
        with pytest.raises(bqia.IntradayError, match="'equity'"):
            bqia.get_bars(["SPX Index"], "parsekey", "2024-05-06", "2024-05-06")
        bqia.set_config({"enabled_packages": None})
        assert len(bqia.get_bars(["SPX Index"], "parsekey", "2024-05-06", "2024-05-06")) == 390

    @pytest.mark.parametrize(
        "config, error",
        [({"enabled_packages": ["crypto"]}, bqia.IntradayError), ({"colour": "blue"}, bqia.IntradayError),
         ({"security_id_mapping": {"custom": []}}, TypeError), ({"futures_roll_factory": {}}, TypeError)],
    )
    def test_bad_configurations(self, config, error):
        with pytest.raises(error):
            bqia.set_config(config)

    def test_each_configuration_replaces_the_last(self):
        bqia.set_config({"security_id_mapping": self.MAPPING, "enabled_packages": ["equity"]})
        bqia.set_config({"enabled_packages": ["macro"]})
        assert bqia.get_config() == {"enabled_packages": ["macro"]}

    @pytest.mark.parametrize("kwargs", [dict(start="2024-05-07", end="2024-05-06"), dict(start="May 6", end="2024-05-06"),
                                        dict(start="2024-05-06", end="2024-05-06", tz="Mars/Olympus"),
                                        dict(start="2024-05-06", end="2024-05-06", security_id_type="ticker")])
    def test_bad_requests(self, kwargs):
        with pytest.raises(bqia.IntradayError):
            bqia.get_bars(["JPY Curncy"], **{"security_id_type": "parsekey", **kwargs})

    def test_empty_request_has_the_columns(self):
        frame = bqia.get_bars([], "custom", "2024-05-06", "2024-05-07")
        assert list(frame.columns) == bqia.COLUMNS and len(frame) == 0
