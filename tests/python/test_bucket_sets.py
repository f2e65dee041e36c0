"""The S3 datasets and their helpers, against a local S3 server and the
simulated query service."""

import ast
import datetime as dt
import itertools
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from orvane_data.from_s3 import bucket_sets as bs
from orvane_data.simulated import securities
from orvane_data.simulated.bql import Service
from s3_server import csv_gz_bytes, parquet_bytes, s3_endpoint  # noqa: F401  (fixture)

FIGI = {key: securities.by_parse_key(key).figi
        for key in ["IBM US Equity", "AAPL US Equity", "MSFT US Equity", "NVDA US Equity",
                    "INTC US Equity", "SPX Index", "TSLA US Equity"]}


class Recording:
    """The simulated service, keeping the query texts it was sent."""

    def __init__(self):
        self.service = Service()
        self.queries = []

    def execute(self, query):
        self.queries.append(query)
        return self.service.execute(query)


def run_python(code, *flags, env=None, drop=()):
    """Runs `code` in a fresh interpreter on this test run's import path."""
    full_env = {**os.environ, **(env or {}), "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    for name in drop:
        full_env.pop(name, None)
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=full_env, timeout=120)


# ---------------------------------------------------------------------------
# Date helpers


def _text(day):
    return f"{day.year:04d}{day.month:02d}{day.day:02d}"  # strftime does not pad years before 1000


def _friday_after(day):
    return next(day + dt.timedelta(days=k) for k in range(1, 8) if (day + dt.timedelta(days=k)).weekday() == 4)


class TestNextFriday:
    def test_every_day_of_two_years_and_the_ends_of_the_calendar(self):
        days = [dt.date(2023, 12, 1) + dt.timedelta(days=i) for i in range(800)]
        days += [dt.date(1, 1, 1), dt.date(1000, 2, 28), dt.date(2000, 2, 28), dt.date(9999, 12, 30)]
        for day in days:
            assert bs.get_next_friday(_text(day)) == _text(_friday_after(day)), day

    @pytest.mark.parametrize("given, expected", [("20240105", "20240112"), ("20240106", "20240112"),
                                                 ("20240104", "20240105"), ("20241230", "20250103")])
    def test_known_dates(self, given, expected):
        assert bs.get_next_friday(given) == expected

    def test_years_before_1000_stay_eight_digits(self):
        assert bs.get_next_friday("00050101") == "00050107"
        assert dt.datetime.strptime(bs.get_next_friday("09991230"), "%Y%m%d").weekday() == 4

    @pytest.mark.parametrize("text", ["2024-01-05", "20240230", " 20240105", "20240105 ", "", "abcdefgh", "2024010"])
    def test_parse_errors_are_the_parsers(self, text):
        try:
            dt.datetime.strptime(text, "%Y%m%d")
        except ValueError as err:
            expected = str(err)
        else:  # the format reads some seven-digit texts; so must we
            assert dt.datetime.strptime(bs.get_next_friday(text), "%Y%m%d").weekday() == 4
            return
        with pytest.raises(ValueError) as info:
            bs.get_next_friday(text)
        assert str(info.value) == expected

    def test_past_the_last_friday_of_the_calendar(self):
        with pytest.raises(OverflowError):
            bs.get_next_friday("99991231")


class _Comparable:
    """Not text, yet comparable with text: sorts before everything."""

    def __lt__(self, other):
        return True

    def __gt__(self, other):
        return False


class TestClosestEarlierDate:
    DATES = ["20240105", "20240112", "20240112", "20240119"]

    @pytest.mark.parametrize("target", ["20240101", "20240105", "20240110", "20240112", "20240118", "20240119",
                                        "20991231", "2024", "20240112x"])
    def test_latest_entry_not_after_the_target(self, target):
        expected = max((d for d in self.DATES if d <= target), default=None)
        assert bs.find_closest_earlier_date(target, self.DATES) == expected

    def test_empty_list(self):
        assert bs.find_closest_earlier_date("20240105", []) is None

    def test_non_text_entry_fails_at_return(self):
        with pytest.raises(TypeError, match=r"^Expected str, got _Comparable$"):
            bs.find_closest_earlier_date("20240105", [_Comparable()])


# ---------------------------------------------------------------------------
# Translation through the query service


class TestTranslation:
    def test_query_texts(self):
        service = Recording()
        bs.ticker_to_figi(["AAA US Equity", "BBB US Equity"], service)
        bs.figi_to_ticker(["F1", "F2"], service)
        bs.ticker_to_figi([], service)
        assert service.queries == [
            "get(ID_BB_GLOBAL) for(['AAA US Equity', 'BBB US Equity'])",
            "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['F1', 'F2'])",
            "get(ID_BB_GLOBAL) for([])",
        ]

    def test_one_text_is_a_list_of_one(self):
        one, listed = Recording(), Recording()
        assert bs.ticker_to_figi("IBM US Equity", one) == bs.ticker_to_figi(["IBM US Equity"], listed)
        assert one.queries == listed.queries
        assert bs.figi_to_ticker(FIGI["IBM US Equity"], one) == {FIGI["IBM US Equity"]: "IBM US Equity"}

    def test_ticker_to_figi_through_the_security_master(self):
        got = bs.ticker_to_figi(["IBM US Equity", "spx index", "NOPE US Equity"], Service())
        assert list(got) == ["IBM US Equity", "spx index", "NOPE US Equity"]
        assert got["IBM US Equity"] == FIGI["IBM US Equity"] and got["spx index"] == FIGI["SPX Index"]
        assert pd.isna(got["NOPE US Equity"])

    @pytest.mark.parametrize("item", ["O'Reilly US Equity", 'Say "hi" US Equity', "It's \"both\" US Equity"])
    def test_items_holding_quotes_reach_the_service_as_themselves(self, item):
        got = bs.ticker_to_figi([item, "IBM US Equity"], Service())
        assert list(got) == [item, "IBM US Equity"]

    def test_figi_to_ticker_missing_part_gives_missing_ticker(self):
        figis = [FIGI["IBM US Equity"], FIGI["SPX Index"], FIGI["AAPL US Equity"], FIGI["IBM US Equity"]]
        got = bs.figi_to_ticker(figis, Service())
        assert got[FIGI["IBM US Equity"]] == "IBM US Equity"
        assert got[FIGI["AAPL US Equity"]] == "AAPL US Equity"
        assert pd.isna(got[FIGI["SPX Index"]])  # an index has no exchange code

    def test_a_response_without_items(self):
        class Empty:
            def execute(self, query):
                return []

        with pytest.raises(IndexError):
            bs.ticker_to_figi(["IBM US Equity"], Empty())

    def test_service_errors_propagate(self):
        class Failing:
            def execute(self, query):
                raise ConnectionError("service down")

        with pytest.raises(ConnectionError, match="service down"):
            bs.figi_to_ticker(["X"], Failing())


# ---------------------------------------------------------------------------
# The datasets in S3

SUPPLY = "supplyChainHistoryV2"
COMPETITORS = "supplyChainCompetitorsHistory"
SUPPLY_DATES = ["20240112", "20240105", "20240119"]  # written in this order
COMPETITOR_DATES = ["20240105", "20240112"]
NA = None


def _relationships(snapshot):
    # ROW labels the rows for the bound tests; S = supplier, C = customer
    rows = [
        ("a", FIGI["IBM US Equity"], "SUPPLIER", FIGI["AAPL US Equity"], "2020-01-01", "2022-06-30"),
        ("b", FIGI["IBM US Equity"], "SUPPLIER", FIGI["NVDA US Equity"], "2023-03-01", NA),
        ("c", FIGI["IBM US Equity"], "CUSTOMER", FIGI["MSFT US Equity"], "2021-05-05", "2024-01-31"),
        ("d", FIGI["AAPL US Equity"], "SUPPLIER", FIGI["INTC US Equity"], "2019-01-01", "2023-12-31"),
        ("e", FIGI["AAPL US Equity"], "CUSTOMER", FIGI["SPX Index"], NA, "2024-02-01"),
        ("f", FIGI["MSFT US Equity"], "SUPPLIER", FIGI["IBM US Equity"], "2024-06-01", "2025-01-01"),
        ("g", NA, "SUPPLIER", FIGI["AAPL US Equity"], "2018-01-01", "2019-01-01"),
        ("h", FIGI["IBM US Equity"], "SUPPLIER", NA, "2022-01-01", "2022-12-31"),
    ]
    frame = pd.DataFrame(rows, columns=["ROW", "ID_BB_GLOBAL", "RELATIONSHIP", "RELATED_FIGI",
                                        "RELTNSHP_START_DT", "RELTNSHP_END_DT"])
    frame.insert(1, "SNAPSHOT", f"s{snapshot}")
    frame["REVENUE_PCT"] = np.linspace(0.5, 4.0, len(frame))
    return frame


def _competitors(snapshot):
    frame = pd.DataFrame(
        [("p", FIGI["IBM US Equity"], "COMPETITOR", FIGI["MSFT US Equity"], "2015-01-01", NA),
         ("q", FIGI["AAPL US Equity"], "COMPETITOR", FIGI["MSFT US Equity"], "2016-01-01", "2020-01-01"),
         ("r", FIGI["TSLA US Equity"], "COMPETITOR", FIGI["IBM US Equity"], "2017-01-01", NA)],
        columns=["ROW", "ID_BB_GLOBAL", "RELATIONSHIP", "RELATED_FIGI", "RELTNSHP_START_DT", "RELTNSHP_END_DT"])
    frame.insert(1, "SNAPSHOT", f"s{snapshot}")
    return frame


def _supply_key(name, date):
    return f"alt_data/supply_chain/dl/datasets/{name}/snapshots/{date}/distributions/{name}.csv.gz"


ESTIMATE_DATES = [dt.date(2024, 1, 5), dt.date(2024, 1, 12), dt.date(2024, 1, 19), dt.date(2024, 1, 26)]
EVENTS = ["NFP TCH Index", "CPI YOY Index", "GDP CQOQ Index"]


def _estimates():
    rows = []
    for snapshot, event in itertools.product(ESTIMATE_DATES, EVENTS):
        for k, (hour, minute) in enumerate([(0, 0), (9, 30), (14, 5), (23, 59)]):
            survey = dt.datetime.combine(snapshot - dt.timedelta(days=k), dt.time(hour, minute))
            rows.append((event, pd.Timestamp(snapshot), survey, f"econ{k}", 1.0 + k))
    return pd.DataFrame(rows, columns=["column0", "dlSnapshotDate", "economistSurveyTimestamp", "economist",
                                       "estimate"])


def _in_row_group_order(frame, order):
    """The frame's rows arranged so that the latest snapshot lies where `order` says."""
    latest = frame["dlSnapshotDate"] == frame["dlSnapshotDate"].max()
    if order == "latest_first":
        return pd.concat([frame[latest], frame[~latest]], ignore_index=True)
    if order == "latest_last":
        return pd.concat([frame[~latest], frame[latest]], ignore_index=True)
    return frame.sample(frac=1.0, random_state=11).reset_index(drop=True)


def _estimates_key(name):
    return f"tests/{name}.parquet"


def _zero_row_groups():
    sink = pa.BufferOutputStream()
    pq.ParquetWriter(sink, pa.Schema.from_pandas(_estimates(), preserve_index=False)).close()
    return sink.getvalue().to_pybytes()


@pytest.fixture(scope="module")
def store(s3_endpoint):
    client = s3_endpoint.client()
    for bucket in (bs.SPLC.bucket, bs.ECOEST.bucket):
        client.create_bucket(Bucket=bucket)
    for date in SUPPLY_DATES:
        client.put_object(Bucket=bs.SPLC.bucket, Key=_supply_key(SUPPLY, date), Body=csv_gz_bytes(_relationships(date)))
    for date in COMPETITOR_DATES:
        client.put_object(Bucket=bs.SPLC.bucket, Key=_supply_key(COMPETITORS, date),
                          Body=csv_gz_bytes(_competitors(date)))
    client.put_object(Bucket=bs.SPLC.bucket, Key="alt_data/supply_chain/dl/datasets/brokenSet/README", Body=b"x")

    estimates = _estimates()
    put = lambda key, body: client.put_object(Bucket=bs.ECOEST.bucket, Key=key, Body=body)  # noqa: E731
    put(bs.ECOEST.file_path, parquet_bytes(_in_row_group_order(estimates, "shuffled"), row_group_size=5))
    for order in ("latest_first", "latest_last", "shuffled"):
        put(_estimates_key(order), parquet_bytes(_in_row_group_order(estimates, order), row_group_size=5))
    dated = estimates.assign(dlSnapshotDate=estimates["dlSnapshotDate"].dt.date)  # stored as date32
    put(_estimates_key("date32"), parquet_bytes(dated, row_group_size=7))
    put(_estimates_key("empty"), _zero_row_groups())
    return estimates


def _estimates_at(key):
    return type("Estimates", (bs.ECOEST,), {"file_path": _estimates_key(key)})


def _labels(frame):
    return sorted(frame["ROW"])


class TestSupplyChainLoading:
    def test_latest_snapshot_and_dates_in_listing_order(self, store):
        splc = bs.SPLC()
        assert splc.dataset == "supplier" and splc.dataset_name == SUPPLY and splc.bq is None
        assert splc.get_distinct() == sorted(SUPPLY_DATES)
        assert set(splc.data["SNAPSHOT"]) == {"s20240119"}

    @pytest.mark.parametrize("as_of", ["2024-01-05", "20240105", "2024-0105"])
    def test_as_of_date_with_or_without_dashes(self, store, as_of):
        assert set(bs.SPLC(as_of_date=as_of).data["SNAPSHOT"]) == {"s20240105"}

    def test_unlisted_date_lists_the_valid_ones(self, store):
        with pytest.raises(AssertionError) as info:
            bs.SPLC("2024-01-06", dataset="customer")
        assert str(info.value) == ("20240106 is not valid. Valid snapshot dates: "
                                   "['20240105', '20240112', '20240119'].")

    def test_supplier_and_customer_read_one_object(self, store):
        supplier, customer = bs.SPLC("20240112"), bs.SPLC("20240112", dataset="customer")
        assert supplier.get_distinct() == customer.get_distinct()
        pd.testing.assert_frame_equal(supplier.data, customer.data)
        competitor = bs.SPLC(dataset="competitor")
        assert competitor.get_distinct() == COMPETITOR_DATES and set(competitor.data["SNAPSHOT"]) == {"s20240112"}

    def test_the_snapshot_keeps_its_columns_and_holds_calendar_dates(self, store):
        data = bs.SPLC().data
        assert list(data.columns) == list(_relationships("x").columns)
        for column in ("RELTNSHP_START_DT", "RELTNSHP_END_DT"):
            values = data[column].tolist()
            assert all(pd.isna(v) or (type(v) is dt.date) for v in values)
        row_b = data[data["ROW"] == "b"].iloc[0]
        assert row_b["RELTNSHP_START_DT"] == dt.date(2023, 3, 1) and pd.isna(row_b["RELTNSHP_END_DT"])

    @pytest.mark.parametrize("dataset", ["suppliers", "Supplier", "SUPPLIER", "", "competitors"])
    def test_unknown_dataset(self, store, dataset):
        with pytest.raises(ValueError) as info:
            bs.SPLC(dataset=dataset)
        assert str(info.value) == (f"`dataset`={dataset} is invalid. "
                                   "Only `suppliers` or `customers` or `competitors` are allowed.")

    def test_key_without_a_snapshot_date(self, store):
        broken = type("Broken", (bs.SPLC,), {"dataset_names": {"supplier": "brokenSet"}})
        with pytest.raises(ValueError, match="snapshot date"):
            broken()

    def test_empty_listing(self, store):
        missing = type("Missing", (bs.SPLC,), {"dataset_names": {"supplier": "noSuchSet"}})
        with pytest.raises(ValueError, match="empty"):
            missing(as_of_date="20240105")


@pytest.fixture(scope="module")
def supplier(store):
    return bs.SPLC()


class TestSupplyChainQueries:
    @pytest.mark.parametrize(
        "start, end, rows",
        [
            (None, None, "abcdefgh"),
            ("2021-01-01", None, "adg"),     # started on or before the start
            ("20200101", None, "adg"),       # the bound's own day counts
            (None, "2024-01-15", "cef"),     # ended on or after the end
            ("2021-01-01", "2024-01-15", "acdefg"),  # either test
            ("2017-01-01", "2030-01-01", ""),
        ],
    )
    def test_date_bounds_without_service(self, supplier, start, end, rows):
        got = supplier.get_data(["IBM US Equity"], start, end)
        assert _labels(got) == list(rows)
        assert "TICKER" not in got and list(got.index) == list(range(len(got)))

    def test_no_bound_and_no_service_is_the_snapshot_itself(self, supplier):
        assert supplier.get_data([], None, None) is supplier.data

    def test_missing_dates_meet_no_bound(self, supplier):
        # b has no end, e no start
        assert "b" not in _labels(supplier.get_data([], None, "2000-01-01"))
        assert "b" in _labels(supplier.get_data([], "2023-03-01", None))
        assert "e" not in _labels(supplier.get_data([], "2100-01-01", None))

    @pytest.mark.parametrize(
        "dataset, tickers, expected",
        [
            ("supplier", ["IBM US Equity"],
             [("a", "IBM US Equity", "AAPL US Equity"), ("b", "IBM US Equity", "NVDA US Equity"),
              ("h", "IBM US Equity", None)]),
            ("customer", ["IBM US Equity", "AAPL US Equity"],
             [("c", "IBM US Equity", "MSFT US Equity"), ("e", "AAPL US Equity", None)]),
            ("competitor", ["TSLA US Equity", "IBM US Equity"],
             [("p", "IBM US Equity", "MSFT US Equity"), ("r", "TSLA US Equity", "IBM US Equity")]),
            # a ticker without a FIGI selects nothing, not the rows without one
            ("supplier", ["O'Reilly US Equity", "MSFT US Equity"], [("f", "MSFT US Equity", "IBM US Equity")]),
        ],
    )
    def test_translation_through_the_service(self, store, dataset, tickers, expected):
        splc = bs.SPLC(dataset=dataset, bq=Service())
        got = splc.get_data(tickers, None, None)
        assert list(got.columns) == list(splc.data.columns) + ["TICKER", "RELATED_TICKER"]
        assert list(got.index) == list(range(len(got)))
        rows = [(r.ROW, r.TICKER, None if pd.isna(r.RELATED_TICKER) else r.RELATED_TICKER)
                for r in got.itertuples()]
        assert sorted(rows) == expected
        assert "TICKER" not in splc.data  # the loaded snapshot is untouched

    def test_bounds_then_tickers(self, store):
        got = bs.SPLC(bq=Service()).get_data(["IBM US Equity", "AAPL US Equity"], "2021-01-01", "2024-01-15")
        assert _labels(got) == ["a", "d"]

    def test_no_company_matches(self, store):
        service = Recording()
        got = bs.SPLC(bq=service).get_data(["TSLA US Equity"], None, None)
        assert got.empty and list(got.columns)[-2:] == ["TICKER", "RELATED_TICKER"]
        assert service.queries == ["get(ID_BB_GLOBAL) for(['TSLA US Equity'])",
                                   "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for([])"]

    def test_related_figis_are_sent_in_row_order_with_duplicates(self, store):
        service = Recording()
        bs.SPLC(dataset="competitor", bq=service).get_data(["IBM US Equity", "AAPL US Equity"], None, None)
        assert service.queries[1] == ("get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for("
                                      f"{[FIGI['MSFT US Equity'], FIGI['MSFT US Equity']]!r})")


class TestEconomistEstimates:
    @pytest.mark.parametrize("order", ["latest_first", "latest_last", "shuffled", "date32"])
    def test_latest_snapshot_whatever_the_row_group_order(self, store, order):
        estimates = _estimates_at(order)()
        assert estimates.data["dlSnapshotDate"].map(pd.Timestamp).eq(pd.Timestamp("2024-01-26")).all()
        assert len(estimates.data) == len(store[store["dlSnapshotDate"] == "2024-01-26"])

    def test_scan_reads_one_row_group_at_a_time(self, store, monkeypatch):
        bars = []

        class Bar:
            def __init__(self, iterable):
                self.iterable, self.descriptions = iterable, []
                bars.append(self)

            def __iter__(self):
                return iter(self.iterable)

            def set_description(self, text):
                self.descriptions.append(text)

        monkeypatch.setattr(bs, "tqdm", Bar)
        key = _estimates_key("shuffled")
        got = bs.ECOEST.get_distinct(None, column="dlSnapshotDate", bucket=bs.ECOEST.bucket, key=key)
        assert sorted(got) == [dt.datetime.combine(d, dt.time()) for d in ESTIMATE_DATES]
        n_groups = -(-len(store) // 5)
        assert bars[0].descriptions == [f"Retrieving snapshot dates {i}" for i in range(1, n_groups + 1)]
        assert sorted(bs.ECOEST.get_distinct(None, "column0", bs.ECOEST.bucket, key)) == sorted(EVENTS)

    def test_zero_row_groups(self, store):
        assert bs.ECOEST.get_distinct(None, "dlSnapshotDate", bs.ECOEST.bucket, _estimates_key("empty")) == []
        with pytest.raises(ValueError, match="empty"):
            _estimates_at("empty")()

    def test_missing_column_and_object(self, store):
        with pytest.raises(KeyError):
            bs.ECOEST.get_distinct(None, "nope", bs.ECOEST.bucket, bs.ECOEST.file_path)
        with pytest.raises(Exception, match="NoSuchKey"):
            _estimates_at("absent")()

    @pytest.mark.parametrize("as_of", ["2024-01-12", "20240112"])
    def test_as_of_date(self, store, as_of):
        data = bs.ECOEST(as_of).data
        assert set(data["dlSnapshotDate"]) == {pd.Timestamp("2024-01-12")}
        assert list(data.columns) == list(store.columns)

    def test_unlisted_date(self, store):
        with pytest.raises(AssertionError) as info:
            bs.ECOEST("2024-01-13")
        head, listed = str(info.value).split(": ", 1)
        assert head == "20240113 is not valid. Valid snapshot dates"
        assert listed.endswith(".") and sorted(ast.literal_eval(listed[:-1])) == [
            d.strftime("%Y%m%d") for d in ESTIMATE_DATES]


@pytest.fixture(scope="module")
def estimates(store):
    return bs.ECOEST("20240112")


class TestEconomistEstimateQueries:
    @pytest.mark.parametrize(
        "start, end, first_day, last_day",
        [
            ("2024-01-10", "2024-01-10", dt.date(2024, 1, 10), dt.date(2024, 1, 10)),
            ("2024-01-10", None, dt.date(2024, 1, 10), None),
            (None, "20240110", None, dt.date(2024, 1, 10)),
            ("2024-01-09 18:00", "2024-01-11", dt.date(2024, 1, 9), dt.date(2024, 1, 11)),  # time of day dropped
            (None, None, None, None),
            ("2024-02-01", None, dt.date(2024, 2, 1), None),
        ],
    )
    def test_survey_days_within_bounds(self, estimates, start, end, first_day, last_day):
        got = estimates.get_data([], start, end)
        days = estimates.data["economistSurveyTimestamp"].dt.date
        keep = [(first_day is None or day >= first_day) and (last_day is None or day <= last_day) for day in days]
        expected = estimates.data[keep].reset_index(drop=True).rename(columns={"column0": "event_ticker"})
        pd.testing.assert_frame_equal(got, expected)
        assert list(got.columns)[0] == "event_ticker"

    def test_same_day_bounds_keep_the_whole_day(self, estimates):
        got = estimates.get_data([], "2024-01-11", "2024-01-11")
        assert len(got) == len(EVENTS) and set(got["economistSurveyTimestamp"].dt.date) == {dt.date(2024, 1, 11)}

    def test_tickers(self, estimates):
        got = estimates.get_data(["CPI YOY Index", "NOPE Index"], None, "2024-01-11")
        assert set(got["event_ticker"]) == {"CPI YOY Index"} and len(got) == 3
        assert list(got.index) == [0, 1, 2]
        assert "column0" in estimates.data and "event_ticker" not in estimates.data


# ---------------------------------------------------------------------------
# Types, the base class, and what the module does when imported


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s, e: bs.get_next_friday(20240105), "Argument 'date_string' has incorrect type (expected str, got int)"),
        (lambda s, e: bs.get_next_friday(None), "Argument 'date_string' has incorrect type (expected str, got NoneType)"),
        (lambda s, e: bs.find_closest_earlier_date(None, []), "Argument 'target_date_str'"),
        (lambda s, e: bs.find_closest_earlier_date("x", ("a",)), "Argument 'date_list' has incorrect type (expected list, got tuple)"),
        (lambda s, e: bs.SPLC(as_of_date=20240105), "Argument 'as_of_date'"),
        (lambda s, e: bs.SPLC(dataset=None), "Argument 'dataset' has incorrect type (expected str, got NoneType)"),
        (lambda s, e: s.get_data("IBM US Equity", None, None), "Argument 'tickers' has incorrect type (expected list, got str)"),
        (lambda s, e: s.get_data([], dt.date(2024, 1, 1), None), "Argument 'start'"),
        (lambda s, e: s.get_data([], None, pd.Timestamp("2024-01-01")), "Argument 'end'"),
        (lambda s, e: s._load_snapshot(20240105), "Argument 'as_of_date'"),
        (lambda s, e: e.get_data(("CPI YOY Index",)), "Argument 'tickers'"),
        (lambda s, e: e.get_data([], end=20240101), "Argument 'end'"),
        (lambda s, e: bs.ECOEST(as_of_date=b"20240105"), "Argument 'as_of_date'"),
        (lambda s, e: e.get_distinct("dlSnapshotDate", None, "k"), "Argument 'bucket'"),
        (lambda s, e: bs.S3Data.get_data(e, None), "Argument 'as_of_date'"),
        (lambda s, e: s.get_data(["IBM US Equity"]), "SPLC.get_data() missing 2 required positional arguments: 'start' and 'end'"),
    ],
)
def test_wrong_arguments(supplier, estimates, call, message):
    with pytest.raises(TypeError) as info:
        call(supplier, estimates)
    assert str(info.value).startswith(message)


class TestBaseClass:
    def test_abstract(self):
        assert isinstance(bs.S3Data, type) and type(bs.S3Data).__name__ == "ABCMeta"
        assert [name for name, value in vars(bs.S3Data).items()
                if getattr(value, "__isabstractmethod__", False)] == ["_load_snapshot", "get_data"]
        with pytest.raises(TypeError, match="abstract"):
            bs.S3Data()

    def test_docs_and_attributes(self):
        assert bs.S3Data.__doc__ == "A base class for S3 data models."
        assert bs.SPLC.__doc__ == "Supply Chain/Competitor APIs."
        assert bs.ECOEST.__doc__ == "Economist estimates APIs."
        assert issubclass(bs.SPLC, bs.S3Data) and issubclass(bs.ECOEST, bs.S3Data)
        assert bs.SPLC.dataset_names == {"supplier": SUPPLY, "customer": SUPPLY, "competitor": COMPETITORS}
        assert bs.SPLC.file_path_func(None, dataset_name="N", file_date="D") == (
            "alt_data/supply_chain/dl/datasets/N/snapshots/D/distributions/N.csv.gz")
        assert bs.SPLC._load_snapshot.__doc__.splitlines()[0] == "Retrieve the latest snapshot."
        assert bs.get_next_friday.__doc__.splitlines()[0] == "Calculates the date of the next Friday from a given date string."


_IMPORT_REPORT = """
    import json, sys, warnings
    {prelude}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        from orvane_data.from_s3 import bucket_sets as bs
    print(json.dumps({{
        "warnings": [(w.category.__name__, str(w.message)) for w in caught],
        "show": bs.SHOW_WARNINGS,
        "service": None if bs.bql_Service is None else bs.bql_Service.__module__,
        "bq": type(bs.bq).__name__ if hasattr(bs, "bq") else None,
        "boto3": hasattr(bs, "boto3"),
        "buckets": [bs.SPLC.bucket, bs.ECOEST.bucket],
    }}))
"""

_NO_BOTO3 = """
    import importlib.abc
    class Block(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path, target=None):
            if name.split(".")[0] in ("boto3", "botocore"):
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
    sys.meta_path.insert(0, Block())
"""


_ACTIVATE = """
    from orvane_data import simulated
    try:
        simulated.activate()
    except ModuleNotFoundError:  # a simulation other than the query service's is not there
        if "bql" not in sys.modules:
            raise
"""


def _import_report(prelude="", env=None, drop=()):
    result = run_python(_IMPORT_REPORT.format(prelude=textwrap.indent(textwrap.dedent(prelude), "    ").strip()),
                        env=env, drop=drop)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


class TestImport:
    @pytest.mark.parametrize("value, shown", [("1", True), ("true", False), (" 1", False), ("1 ", False),
                                              ("0", False), (None, False)])
    def test_warning_switch(self, value, shown):
        report = _import_report(env=None if value is None else {"SHOW_WARNINGS": value},
                                drop=["SHOW_WARNINGS"] if value is None else ())
        assert report["show"] is shown
        assert report["service"] is None and report["bq"] is None and report["boto3"]
        assert report["warnings"] == ([["UserWarning", "'bql' is not installed."]] if shown else [])

    def test_without_boto3(self):
        report = _import_report(_NO_BOTO3, env={"SHOW_WARNINGS": "1"})
        assert report["warnings"] == [["UserWarning", "'bql' is not installed."],
                                      ["UserWarning", "'boto3' is not installed."]]
        assert not report["boto3"]
        result = run_python("import sys" + _NO_BOTO3.replace("\n    ", "\n") + textwrap.dedent("""
            from orvane_data.from_s3.bucket_sets import ECOEST
            try:
                ECOEST()
            except NameError as err:
                print(err)
        """), env={"SHOW_WARNINGS": "0"})
        assert result.stdout.strip() == "name 'boto3' is not defined", result.stderr

    def test_with_the_simulated_service(self):
        report = _import_report(_ACTIVATE, env={"SHOW_WARNINGS": "1"})
        assert report["warnings"] == []
        assert report["service"] == "orvane_data.simulated.bql" and report["bq"] == "Service"

    @pytest.mark.parametrize("body", ["raise RuntimeError('broken install')",
                                      "class Service:\n    def __init__(self):\n        raise RuntimeError('no session')"])
    def test_other_failures_of_the_service_fail_the_import(self, tmp_path, body):
        (tmp_path / "bql.py").write_text(body + "\n")
        result = run_python(f"import sys; sys.path.insert(0, {str(tmp_path)!r})\n"
                            "import orvane_data.from_s3.bucket_sets")
        assert result.returncode != 0 and "RuntimeError" in result.stderr

    def test_bucket_names_from_the_environment(self):
        report = _import_report(env={"ORVANE_EQUITY_BUCKET": "eq-bucket", "ORVANE_MACRO_BUCKET": "macro-bucket"})
        assert report["buckets"] == ["eq-bucket", "macro-bucket"]
        report = _import_report(drop=["ORVANE_EQUITY_BUCKET", "ORVANE_MACRO_BUCKET"])
        assert report["buckets"] == ["orvane-equity-base-data", "orvane-macro-base-data"]


def test_unlisted_dates_without_assertions(store):
    result = run_python(f"""
        from orvane_data.from_s3.bucket_sets import SPLC, ECOEST
        estimates = ECOEST("20240106")
        print(list(estimates.data.columns), len(estimates.data), len(estimates.get_data([], None, None)))
        try:
            SPLC("2024-01-06")
        except FileNotFoundError as err:
            print(err)
    """, "-O")
    assert result.returncode == 0, result.stderr
    columns, missing = result.stdout.strip().splitlines()
    assert columns == f"{list(_estimates().columns)} 0 0"
    assert missing == f"s3://{bs.SPLC.bucket}/{_supply_key(SUPPLY, '20240106')} not found"
