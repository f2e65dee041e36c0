"""The simulated query-language service and its shared data modules."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest

from orvane_data.simulated import bql
from orvane_data.simulated import calendar as cal
from orvane_data.simulated import securities as sec


@pytest.fixture(scope="module")
def bq():
    return bql.Service()


def calendar_request(bq, universe, start, end, addcols=("surprise", "subtype"), **params):
    item = bq.data.calendar(dates=bq.func.range(start, end), **params)
    return bql.Request(universe, {"Calendar": item}, preferences={"addcols": list(addcols)})


# --- security master ----------------------------------------------------------


def test_figis_are_unique_well_formed_and_found_back():
    figis = [s.figi for s in sec.SECURITIES]
    assert len(set(figis)) == len(figis)
    assert all(len(f) == 12 and f.isalnum() and f.isupper() for f in figis)
    for s in sec.SECURITIES:
        assert sec.lookup(s.figi) is s
        assert sec.lookup(s.parse_key.lower()) is s
    assert sec.make_figi("SPX Index") == sec.lookup("spx  INDEX").figi


def test_futures_contracts_and_roll():
    chain = sec.futures_chain("ES")
    assert [c.expiry for c in chain] == sorted(c.expiry for c in chain)
    esh4 = sec.lookup("ESH4 Index")
    assert esh4 is sec.lookup("ESH24 Index")
    assert esh4.expiry == dt.date(2024, 3, 15) and esh4.expiry.weekday() == 4
    assert sec.front_contract("ES", "Index", dt.date(2024, 3, 8)) is esh4
    # five days before expiry the roll has moved to June
    assert sec.front_contract("ES", "Index", dt.date(2024, 3, 10), roll_offset_days=5).parse_key == "ESM4 Index"


# --- release schedule ---------------------------------------------------------


def test_release_times_follow_local_clocks():
    releases = cal.releases(2024, regions=["US"], tickers=["NFP TCH Index"])
    assert len(releases) == 12
    assert {r.local_time.time() for r in releases} == {dt.time(8, 30)}
    assert {r.zone_text for r in releases} == {"GMT-05:00", "GMT-04:00"}
    for r in releases:
        assert r.local_time.weekday() == 4 and r.local_time.day <= 7
        assert cal.in_zone_text(r.release_utc, r.zone_text) == r.local_time
    china = cal.releases(2024, tickers=["CNCPIYOY Index"])
    assert {r.zone_text for r in china} == {"GMT+08:00"}
    euro = {r.zone_text for r in cal.releases(2024, regions=["EU"])}
    assert euro == {"GMT+01:00", "GMT+02:00"}


def test_actuals_missing_after_today_and_priors_chain():
    releases = cal.releases(2024, tickers=["CPI YOY Index"])
    assert all(r.actual is None and r.surprise is None for r in releases if r.local_time.date() > cal.TODAY)
    past = cal.releases(2000, 2023)
    missing = sum(r.actual is None for r in past)
    assert 0 < missing < 0.05 * len(past)
    for before, after in zip(releases, releases[1:]):
        assert after.prior == before.actual
    assert cal.releases(2024) == cal.releases(2024)


@pytest.mark.parametrize("year", [1999, 2031])
def test_years_outside_the_calendar(year):
    with pytest.raises(ValueError):
        cal.releases(year)


# --- service: reference data and prices ----------------------------------------


def test_query_text_reference_items(bq):
    res = bq.execute("get(ID_BB_GLOBAL) for(['IBM US Equity', 'spx index', 'NOPE US Equity'])")
    frame = res[0].df()
    assert frame.index.name == "ID" and list(frame.index) == ["IBM US Equity", "spx index", "NOPE US Equity"]
    assert frame["ID_BB_GLOBAL"].iloc[0] == sec.lookup("IBM US Equity").figi
    assert pd.isna(frame["ID_BB_GLOBAL"].iloc[2])

    figis = [sec.lookup(k).figi for k in ("700 HK Equity", "SPX Index")]
    res = bq.execute(f"get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for({figis})")
    joined = pd.concat([item.df() for item in res], axis=1)
    parsekey = joined["TICKER"] + " " + joined["EXCH_CODE"] + " " + joined["MARKET_SECTOR_DES"]
    assert parsekey.iloc[0] == "700 HK Equity" and pd.isna(parsekey.iloc[1])


def test_query_text_items_holding_quotes(bq):
    res = bq.execute("get(name) for([\"O'Brien US Equity\", 'JPY Curncy'])")
    assert list(res.get("name").df().index) == ["O'Brien US Equity", "JPY Curncy"]


@pytest.mark.parametrize(
    "text",
    ["get(ID_BB_GLOBAL) for(IBM)", "get() for(['IBM US Equity'])", "select(name) for(['X'])",
     "get(name) for(['X'", "get(no_such_item) for(['IBM US Equity'])", "get(name) for([1, 2])"],
)
def test_refused_query_texts(bq, text):
    with pytest.raises(bql.RequestError):
        bq.execute(text)


def test_prices_on_business_days_up_to_today(bq):
    item = bq.data.px_last(dates=bq.func.range("2024-06-20", "2024-07-10"))
    frame = bq.execute(bql.Request(bq.univ.list(["JPY Curncy", "spx index"]), {"px": item}))[0].df()
    dates = frame.loc["JPY Curncy", "DATE"]
    assert list(dates) == list(pd.bdate_range("2024-06-20", cal.TODAY))
    assert frame["px"].notna().all() and (frame["px"] > 0).all()
    again = bql.Service().execute(bql.Request(["JPY Curncy", "spx index"], {"px": item}))[0].df()
    pd.testing.assert_frame_equal(frame, again)


def test_droppe_drops_unknown_members(bq):
    item = bq.data.id_bb_global().droppe()
    frame = bq.execute(bql.Request(bq.univ.list(["spx index", "nothing here"]), {"figi": item}))[0].df()
    assert list(frame.index) == ["spx index"]


# --- service: calendar ---------------------------------------------------------


def test_calendar_columns_and_true_instants(bq):
    frame = bq.execute(calendar_request(bq, ["US", "CN"], "2024-01-01", "2024-12-31", relevancy="high"))[0].df()
    assert list(frame.columns) == ["EVENT_NAME", "ticker", "RELEASE_DATE_TIME", "PERIOD", "SURVEY_MEDIAN", "ACTUAL",
                                   "PRIOR", "COUNTRY", "RELEVANCY", "TIMEZONE", "surprise", "subtype"]
    assert set(frame.index) == {"US", "CN"} and set(frame["TIMEZONE"]) == {"GMT-05:00"}
    assert set(frame["RELEVANCY"]) == {"high"}
    truth = {(r.ticker, r.release_utc.replace(tzinfo=None)) for r in cal.releases(2024, regions=["US", "CN"])
             if r.relevancy == "high"}
    as_utc = frame["RELEASE_DATE_TIME"] + pd.Timedelta(hours=5)
    assert set(zip(frame["ticker"], as_utc)) == truth


def test_calendar_zone_is_the_first_members_offset_at_the_start(bq):
    summer = bq.execute(calendar_request(bq, ["US"], "2024-06-01", "2024-06-30"))[0].df()
    assert set(summer["TIMEZONE"]) == {"GMT-04:00"}
    assert set(summer["RELEASE_DATE_TIME"].dt.time) <= {dt.time(8, 30), dt.time(10, 0), dt.time(14, 0)}
    china_first = bq.execute(calendar_request(bq, ["CN", "US"], "2024-06-01", "2024-06-30"))[0].df()
    assert set(china_first["TIMEZONE"]) == {"GMT+08:00"}


def test_calendar_filters(bq):
    item = bq.data.calendar(dates=bq.func.range("2023-01-01", "2023-12-31"), view="standard", relevancy="low")
    item = item.matches(item["ticker"].in_(["nfp tch index", "FDTR Index"]))
    frame = bq.execute(bql.Request("US", {"c": item}))[0].df()
    assert "TIMEZONE" not in frame and set(frame["ticker"]) == {"NFP TCH Index", "FDTR Index"}
    banks = bq.execute(calendar_request(bq, "EU", "2023-01-01", "2023-12-31", subtype="central_banks"))[0].df()
    assert set(banks["subtype"]) == {"central_banks"} and len(banks) == 8
    low = bq.execute(calendar_request(bq, "US", "2023-01-01", "2023-12-31", relevancy="low"))[0].df()
    medium = bq.execute(calendar_request(bq, "US", "2023-01-01", "2023-12-31"))[0].df()
    assert "low" in set(low["RELEVANCY"]) and "low" not in set(medium["RELEVANCY"])


@pytest.mark.parametrize(
    "make",
    [
        lambda bq: calendar_request(bq, "US", "2031-01-01", "2031-12-31"),
        lambda bq: calendar_request(bq, "Atlantis", "2024-01-01", "2024-12-31"),
        lambda bq: calendar_request(bq, "US", "2024-01-01", "2024-12-31", view="wide"),
        lambda bq: calendar_request(bq, "US", "2024-01-01", "2024-12-31", addcols=["colour"]),
        lambda bq: calendar_request(bq, "US", "2024-13-01", "2024-12-31"),
        lambda bq: bql.Request("US", {"c": bq.data.calendar(dates=bq.func.range("2024-01-01", "2024-12-31"), colour=1)}),
    ],
)
def test_refused_calendar_requests(bq, make):
    with pytest.raises(bql.RequestError):
        bq.execute(make(bq))


def test_batch_reports_failures_and_goes_on(bq):
    requests = [calendar_request(bq, "US", f"{y}-01-01", f"{y}-12-31") for y in (2029, 2031, 2030)]
    failed = []
    responses = list(bq.execute_many(requests, on_request_error=lambda *args: failed.append(args)))
    assert len(responses) == 2
    assert [r[0].df()["RELEASE_DATE_TIME"].dt.year.max() for r in responses] == [2029, 2030]
    ((error, request),) = failed
    assert isinstance(error, bql.RequestError) and request is requests[1]
    with pytest.raises(bql.RequestError):
        list(bq.execute_many(requests))
