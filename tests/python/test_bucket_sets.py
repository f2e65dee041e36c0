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

import boto3
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from doubles import ChosenAnswers
from orvane_data.from_s3 import bucket_sets as bs
from orvane_data.simulated import securities
from orvane_data.simulated.bql import Service
from s3_server import csv_gz_bytes, parquet_bytes, s3_endpoint  # noqa: F401  (fixture)

IBM, AAPL, MSFT, NVDA, INTC, SPX, TSLA = (securities.by_parse_key(k).figi for k in (
    "IBM US Equity", "AAPL US Equity", "MSFT US Equity", "NVDA US Equity", "INTC US Equity", "SPX Index",
    "TSLA US Equity"))


class Recording(Service):
    """The simulated service, keeping the query texts it was sent."""

    def __init__(self):
        super().__init__()
        self.queries = []

    def execute(self, query):
        self.queries.append(query)
        return super().execute(query)


def answering(columns):
    """A query service answering every query with the given columns, one
    response item per column as the service does, indexed by F1, F2, ..."""
    index = pd.Index([f"F{i + 1}" for i in range(len(next(iter(columns.values()))))], name="ID")
    return ChosenAnswers([pd.DataFrame({name: values}, index=index) for name, values in columns.items()])


def run_python(code, *flags, env=None, drop=()):
    """Runs `code` in a fresh interpreter on this test run's import path."""
    full_env = {**os.environ, **(env or {}), "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    for name in drop:
        full_env.pop(name, None)
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=full_env, timeout=120)


# --- date helpers -------------------------------------------------------------


def _text(day):
    return f"{day.year:04d}{day.month:02d}{day.day:02d}"  # strftime does not pad years before 1000


class TestDateHelpers:
    def test_next_friday_of_every_day_of_two_years_and_the_calendar_ends(self):
        days = [dt.date(2023, 12, 1) + dt.timedelta(days=i) for i in range(800)]
        for day in days + [dt.date(1, 1, 1), dt.date(999, 12, 30), dt.date(2000, 2, 28), dt.date(9999, 12, 30)]:
            friday = next(day + dt.timedelta(k) for k in range(1, 8) if (day + dt.timedelta(k)).weekday() == 4)
            assert bs.get_next_friday(_text(day)) == _text(friday), day
        with pytest.raises(OverflowError):
            bs.get_next_friday("99991231")

    @pytest.mark.parametrize("text", ["2024-01-05", "20240230", " 20240105", "20240105 ", "", "2024010"])
    def test_parse_errors_are_the_parsers(self, text):
        with pytest.raises(ValueError) as expected:
            dt.datetime.strptime(text, "%Y%m%d")
        with pytest.raises(ValueError) as got:
            bs.get_next_friday(text)
        assert str(got.value) == str(expected.value)

    @pytest.mark.parametrize("target", ["20240101", "20240105", "20240110", "20240112", "20240119", "2024", "20991231"])
    @pytest.mark.parametrize("dates", [["20240105", "20240112", "20240112", "20240119"], []])
    def test_closest_earlier_date(self, target, dates):
        expected = max((d for d in dates if d <= target), default=None)
        assert bs.find_closest_earlier_date(target, dates) == expected

    def test_closest_earlier_entry_must_be_text(self):
        class Early:  # comparable with text, sorts first
            __lt__ = lambda self, other: True  # noqa: E731
            __gt__ = lambda self, other: False  # noqa: E731

        with pytest.raises(TypeError, match=r"^Expected str, got Early$"):
            bs.find_closest_earlier_date("20240105", [Early()])


# --- translation ----------------------------------------------------------------


class TestTranslation:
    def test_query_texts_and_one_text_as_a_list_of_one(self):
        service = Recording()
        bs.ticker_to_figi(["AAA US Equity", "BBB US Equity"], service)
        bs.figi_to_ticker(["F1", "F2"], service)
        bs.ticker_to_figi([], service)
        assert bs.ticker_to_figi("IBM US Equity", service) == bs.ticker_to_figi(["IBM US Equity"], service)
        assert service.queries[:-1] == [
            "get(ID_BB_GLOBAL) for(['AAA US Equity', 'BBB US Equity'])",
            "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['F1', 'F2'])",
            "get(ID_BB_GLOBAL) for([])",
            "get(ID_BB_GLOBAL) for(['IBM US Equity'])",
        ]

    @pytest.mark.parametrize("odd", ["O'Reilly US Equity", 'Say "hi" US Equity', "It's \"both\" US Equity"])
    def test_ticker_to_figi_echoes_each_item_even_with_quotes(self, odd):
        got = bs.ticker_to_figi(["IBM US Equity", odd, "spx index"], Service())
        assert list(got) == ["IBM US Equity", odd, "spx index"]
        assert got["IBM US Equity"] == IBM and got["spx index"] == SPX and pd.isna(got[odd])

    def test_figi_to_ticker_missing_part_gives_missing_ticker(self):
        got = bs.figi_to_ticker([IBM, SPX, AAPL, IBM], Service())
        assert got[IBM] == "IBM US Equity" and got[AAPL] == "AAPL US Equity"
        assert pd.isna(got[SPX])  # an index has no exchange code

    @pytest.mark.parametrize("missing", [None, np.nan, pd.NA], ids=["None", "NaN", "NA"])
    @pytest.mark.parametrize("part", ["TICKER", "EXCH_CODE", "MARKET_SECTOR_DES"])
    @pytest.mark.parametrize("gaps", [(), (1,), (0, 1), (0,)], ids=["all-present", "some", "all", "first"])
    def test_figi_to_ticker_with_a_part_missing_in_any_mix_of_rows(self, missing, part, gaps):
        answer = {"TICKER": ["AAA", "BBB"], "EXCH_CODE": ["UN", "UW"], "MARKET_SECTOR_DES": ["Equity", "Equity"]}
        answer[part] = [missing if row in gaps else value for row, value in enumerate(answer[part])]
        got = bs.figi_to_ticker(["F1", "F2"], answering(answer))
        assert list(got) == ["F1", "F2"]
        for row, (figi, key) in enumerate(got.items()):
            if row in gaps:
                assert pd.isna(key), key
            else:
                assert key == " ".join(answer[p][row] for p in ("TICKER", "EXCH_CODE", "MARKET_SECTOR_DES"))


    @pytest.mark.parametrize("odd", [0.0, 7, b"UN"])
    def test_figi_to_ticker_refuses_parts_that_are_not_text(self, odd):
        answer = {"TICKER": ["AAA", "BBB"], "EXCH_CODE": ["UN", odd], "MARKET_SECTOR_DES": ["Equity", "Equity"]}
        with pytest.raises(TypeError, match="EXCH_CODE holds values that are not text"):
            bs.figi_to_ticker(["F1", "F2"], answering(answer))


# --- the datasets in S3 ------------------------------------------------------------

SUPPLY, COMPETITORS = "supplyChainHistoryV2", "supplyChainCompetitorsHistory"
SUPPLY_DATES = ["20240112", "20240105", "20240119"]  # written in this order
COLUMNS = ["ROW", "SNAPSHOT", "ID_BB_GLOBAL", "RELATIONSHIP", "RELATED_FIGI", "RELTNSHP_START_DT", "RELTNSHP_END_DT"]
RELATIONSHIPS = [  # ROW labels the rows in the expectations
    ("a", IBM, "SUPPLIER", AAPL, "2020-01-01", "2022-06-30"),
    ("b", IBM, "SUPPLIER", NVDA, "2023-03-01", None),
    ("c", IBM, "CUSTOMER", MSFT, "2021-05-05", "2024-01-31"),
    ("d", AAPL, "SUPPLIER", INTC, "2019-01-01", "2023-12-31"),
    ("e", AAPL, "CUSTOMER", SPX, None, "2024-02-01"),
    ("f", MSFT, "SUPPLIER", IBM, "2024-06-01", "2025-01-01"),
    ("g", None, "SUPPLIER", AAPL, "2018-01-01", "2019-01-01"),
    ("h", IBM, "SUPPLIER", None, "2022-01-01", "2022-12-31"),
]
COMPETING = [("p", IBM, "COMPETITOR", MSFT, "2015-01-01", None), ("q", AAPL, "COMPETITOR", MSFT, "2016-01-01", None),
             ("r", TSLA, "COMPETITOR", IBM, "2017-01-01", None)]


def _snapshot(rows, date):
    return pd.DataFrame([(r[0], f"s{date}", *r[1:]) for r in rows], columns=COLUMNS).assign(REVENUE_PCT=1.5)


def _supply_key(name, date):
    return f"alt_data/supply_chain/dl/datasets/{name}/snapshots/{date}/distributions/{name}.csv.gz"


ESTIMATE_DATES = [dt.date(2024, 1, 5), dt.date(2024, 1, 12), dt.date(2024, 1, 19), dt.date(2024, 1, 26)]
EVENTS = ["NFP TCH Index", "CPI YOY Index", "GDP CQOQ Index"]
ESTIMATES = pd.DataFrame(
    [(event, pd.Timestamp(day), dt.datetime.combine(day - dt.timedelta(k), dt.time(*clock)), f"econ{k}", 1.0 + k)
     for day, event in itertools.product(ESTIMATE_DATES, EVENTS)
     for k, clock in enumerate([(0, 0), (9, 30), (14, 5), (23, 59)])],
    columns=["column0", "dlSnapshotDate", "economistSurveyTimestamp", "economist", "estimate"])


def _arranged(order):
    """The history with the latest snapshot's rows first, last or shuffled among the row groups."""
    latest = ESTIMATES["dlSnapshotDate"] == ESTIMATES["dlSnapshotDate"].max()
    if order == "shuffled":
        return ESTIMATES.sample(frac=1.0, random_state=11)
    first, last = (ESTIMATES[latest], ESTIMATES[~latest])[:: 1 if order == "latest_first" else -1]
    return pd.concat([first, last])


# date columns written as numbers: (RELTNSHP_START_DT, RELTNSHP_END_DT) of rows a, b, c
NUMBER_DATES = {
    "yyyymmddSet": ([20200101, 20230301, 20210505], [20220630, None, 20240131]),  # a blank makes floats
    "epochSet": ([1577836800, 1677628800, 1620172800], [20220630, None, 20240131]),
    "fractionSet": ([20200101, 20230301, 20210505], [20220630.5, None, 20240131]),
}
# snapshot stamps carrying a time of day (one per snapshot date, or two on one day)
# (zoned stamps are listed, and loaded, by their day in their own zone)
STAMPED = {"afternoon": ([(16, 30)], None), "two_a_day": ([(8, 0), (17, 45)], None),
           "zoned_late": ([(23, 30)], "America/New_York")}


def _stamped(stamping):
    clocks, zone = stamping
    snapshots = [ESTIMATES.assign(dlSnapshotDate=(ESTIMATES["dlSnapshotDate"] + pd.Timedelta(hours=h, minutes=m))
                                  .dt.tz_localize(zone)) for h, m in clocks]
    return pd.concat(snapshots, ignore_index=True)


@pytest.fixture(scope="module")
def store(s3_endpoint):
    client = s3_endpoint.client()
    client.create_bucket(Bucket=bs.SPLC.bucket)
    client.create_bucket(Bucket=bs.ECOEST.bucket)
    put_equity = lambda key, body: client.put_object(Bucket=bs.SPLC.bucket, Key=key, Body=body)  # noqa: E731
    put_macro = lambda key, body: client.put_object(Bucket=bs.ECOEST.bucket, Key=key, Body=body)  # noqa: E731
    for date in SUPPLY_DATES:
        put_equity(_supply_key(SUPPLY, date), csv_gz_bytes(_snapshot(RELATIONSHIPS, date)))
    for date in ["20240105", "20240112"]:
        put_equity(_supply_key(COMPETITORS, date), csv_gz_bytes(_snapshot(COMPETING, date)))
    put_equity("alt_data/supply_chain/dl/datasets/brokenSet/README", b"six parts only")
    for name, columns in NUMBER_DATES.items():
        frame = _snapshot(RELATIONSHIPS[:3], "20240105").assign(RELTNSHP_START_DT=columns[0], RELTNSHP_END_DT=columns[1])
        put_equity(_supply_key(name, "20240105"), csv_gz_bytes(frame))
    put_macro(bs.ECOEST.file_path, parquet_bytes(_arranged("shuffled"), row_group_size=5))
    for name, clock in STAMPED.items():
        put_macro(f"tests/{name}.parquet", parquet_bytes(_stamped(clock), row_group_size=5))
    for order in ("latest_first", "latest_last", "shuffled"):
        put_macro(f"tests/{order}.parquet", parquet_bytes(_arranged(order), row_group_size=5))
    dated = ESTIMATES.assign(dlSnapshotDate=ESTIMATES["dlSnapshotDate"].dt.date)  # stored as date32
    put_macro("tests/date32.parquet", parquet_bytes(dated, row_group_size=7))
    no_groups = pa.BufferOutputStream()
    pq.ParquetWriter(no_groups, pa.Schema.from_pandas(ESTIMATES, preserve_index=False)).close()
    put_macro("tests/empty.parquet", no_groups.getvalue().to_pybytes())


def _subclass(base, **attributes):
    return type("Sub", (base,), attributes)


def _rows(frame):
    return "".join(sorted(frame["ROW"]))


@pytest.fixture(scope="module")
def supplier(store):
    return bs.SPLC()


@pytest.fixture(scope="module")
def estimates(store):
    return bs.ECOEST("20240112")


class TestSupplyChain:
    def test_loading(self, supplier):
        assert (supplier.dataset, supplier.dataset_name, supplier.bq) == ("supplier", SUPPLY, None)
        assert supplier.get_distinct() == sorted(SUPPLY_DATES)  # listing order
        assert set(supplier.data["SNAPSHOT"]) == {"s20240119"}  # the latest
        assert list(supplier.data.columns) == COLUMNS + ["REVENUE_PCT"]
        b = supplier.data.set_index("ROW").loc["b"]
        assert type(b["RELTNSHP_START_DT"]) is dt.date and b["RELTNSHP_START_DT"] == dt.date(2023, 3, 1)
        assert pd.isna(b["RELTNSHP_END_DT"])

    @pytest.mark.parametrize("as_of", ["2024-01-05", "20240105"])
    def test_as_of_date_and_datasets_sharing_one_object(self, store, as_of):
        supplier, customer = bs.SPLC(as_of), bs.SPLC(as_of, dataset="customer")
        assert set(supplier.data["SNAPSHOT"]) == {"s20240105"}
        pd.testing.assert_frame_equal(supplier.data, customer.data)
        competitor = bs.SPLC(dataset="competitor")
        assert competitor.get_distinct() == ["20240105", "20240112"] and _rows(competitor.data) == "pqr"

    @pytest.mark.parametrize("as_of, before", [("2024-01-06", "20240105"), ("2024-01-04", "none")])
    def test_unlisted_date_lists_the_valid_ones(self, store, as_of, before):
        with pytest.raises(AssertionError) as info:
            bs.SPLC(as_of, dataset="customer")
        asked = as_of.replace("-", "")
        assert str(info.value) == f"{asked} is not valid. Valid snapshot dates: ['20240105', '20240112', '20240119']."
        folder = f"s3://{bs.SPLC.bucket}/{bs.SPLC.folder_path}/supplyChainHistoryV2/"
        assert info.value.__notes__ == [f"no snapshot {asked} in {folder}; the latest before it: {before}"]

    @pytest.mark.parametrize("dataset", ["suppliers", "Supplier", "", "competitors"])
    def test_unknown_dataset(self, dataset):
        with pytest.raises(ValueError) as info:
            bs.SPLC(dataset=dataset)
        assert str(info.value) == f"`dataset`={dataset} is invalid. Only `suppliers` or `customers` or `competitors` are allowed."

    @pytest.mark.parametrize("stored, as_of, error", [
        ("brokenSet", "20240105", "snapshot date"),
        ("noSuchSet", "2024-01-05", r"^no snapshot in s3://{bucket}/{folder}/noSuchSet/ \(asked for 20240105\)$"),
        ("noSuchSet", None, r"^no snapshot in s3://{bucket}/{folder}/noSuchSet/ \(asked for the latest\)$")])
    def test_bad_listings(self, store, stored, as_of, error):
        with pytest.raises(ValueError, match=error.format(bucket=bs.SPLC.bucket, folder=bs.SPLC.folder_path)):
            _subclass(bs.SPLC, dataset_names={"supplier": stored})(as_of)

    @pytest.mark.parametrize(
        "start, end, rows",
        [(None, None, "abcdefgh"), ("2021-01-01", None, "adg"), ("20200101", None, "adg"),
         (None, "2024-01-15", "cef"), ("2021-01-01", "2024-01-15", "acdefg"), ("2017-01-01", "2030-01-01", "")],
    )
    def test_date_bounds_without_service(self, supplier, start, end, rows):
        # started on or before the start, or ended on or after the end; missing dates meet no bound
        got = supplier.get_data(["IBM US Equity"], start, end)
        assert _rows(got) == rows and "TICKER" not in got and list(got.index) == list(range(len(got)))
        assert (got is supplier.data) == (start is None and end is None)

    @pytest.mark.parametrize(
        "dataset, tickers, bounds, expected",
        [
            ("supplier", ["IBM US Equity"], (None, None),
             [("a", "IBM US Equity", "AAPL US Equity"), ("b", "IBM US Equity", "NVDA US Equity"), ("h", "IBM US Equity", None)]),
            ("customer", ["IBM US Equity", "AAPL US Equity"], (None, None),
             [("c", "IBM US Equity", "MSFT US Equity"), ("e", "AAPL US Equity", None)]),
            # the only related company left is an index, which has no exchange code
            ("customer", ["AAPL US Equity"], (None, None), [("e", "AAPL US Equity", None)]),
            ("competitor", ["TSLA US Equity", "IBM US Equity"], (None, None),
             [("p", "IBM US Equity", "MSFT US Equity"), ("r", "TSLA US Equity", "IBM US Equity")]),
            # a ticker without a FIGI selects nothing, not the rows without one
            ("supplier", ["O'Reilly US Equity", "MSFT US Equity"], (None, None), [("f", "MSFT US Equity", "IBM US Equity")]),
            ("supplier", ["IBM US Equity", "AAPL US Equity"], ("2021-01-01", "2024-01-15"),
             [("a", "IBM US Equity", "AAPL US Equity"), ("d", "AAPL US Equity", "INTC US Equity")]),
        ],
    )
    def test_translation_through_the_service(self, store, dataset, tickers, bounds, expected):
        splc = bs.SPLC(dataset=dataset, bq=Service())
        got = splc.get_data(tickers, *bounds)
        assert list(got.columns) == list(splc.data.columns) + ["TICKER", "RELATED_TICKER"]
        assert list(got.index) == list(range(len(got))) and "TICKER" not in splc.data
        assert sorted((r.ROW, r.TICKER, None if pd.isna(r.RELATED_TICKER) else r.RELATED_TICKER)
                      for r in got.itertuples()) == expected

    def test_queries_sent(self, store):
        service = Recording()
        got = bs.SPLC(bq=service).get_data(["TSLA US Equity"], None, None)
        assert got.empty and list(got.columns)[-2:] == ["TICKER", "RELATED_TICKER"]
        bs.SPLC(dataset="competitor", bq=service).get_data(["IBM US Equity", "AAPL US Equity"], None, None)
        assert service.queries == [
            "get(ID_BB_GLOBAL) for(['TSLA US Equity'])", "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for([])",
            "get(ID_BB_GLOBAL) for(['IBM US Equity', 'AAPL US Equity'])",
            f"get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['{MSFT}', '{MSFT}'])",  # row order, duplicates kept
        ]


class TestNumberDates:
    def test_yyyymmdd_numbers_are_read_as_dates(self, store):
        data = _subclass(bs.SPLC, dataset_names={"supplier": "yyyymmddSet"})().data
        assert data["RELTNSHP_START_DT"].tolist() == [dt.date(2020, 1, 1), dt.date(2023, 3, 1), dt.date(2021, 5, 5)]
        assert [None if pd.isna(d) else d for d in data["RELTNSHP_END_DT"]] == [dt.date(2022, 6, 30), None,
                                                                                 dt.date(2024, 1, 31)]

    @pytest.mark.parametrize("stored, column", [("epochSet", "RELTNSHP_START_DT"), ("fractionSet", "RELTNSHP_END_DT")])
    def test_other_numbers_are_refused_naming_the_column(self, store, stored, column):
        with pytest.raises(ValueError, match=f"'{column}'.*yyyymmdd"):
            _subclass(bs.SPLC, dataset_names={"supplier": stored})()


class TestEconomistEstimates:
    @pytest.mark.parametrize("order", ["latest_first", "latest_last", "shuffled", "date32"])
    def test_latest_snapshot_whatever_the_row_group_order(self, store, order):
        data = _subclass(bs.ECOEST, file_path=f"tests/{order}.parquet")().data
        assert len(data) == 12 and set(data["dlSnapshotDate"].map(pd.Timestamp)) == {pd.Timestamp("2024-01-26")}

    @pytest.mark.parametrize("as_of", ["2024-01-12", "20240112"])
    def test_as_of_date(self, store, as_of):
        data = bs.ECOEST(as_of).data
        assert set(data["dlSnapshotDate"]) == {pd.Timestamp("2024-01-12")} and list(data.columns) == list(ESTIMATES)

    @pytest.mark.parametrize("stored", list(STAMPED))
    @pytest.mark.parametrize("as_of", [None, "2024-01-12"])
    def test_stamps_with_a_time_of_day_load_by_their_day(self, store, stored, as_of):
        estimates = _subclass(bs.ECOEST, file_path=f"tests/{stored}.parquet")(as_of)
        day = pd.Timestamp(as_of or "2024-01-26")
        expected = _stamped(STAMPED[stored])
        expected = expected[expected["dlSnapshotDate"].dt.tz_localize(None).dt.normalize() == day]
        assert 0 < len(estimates.data) == len(expected)
        assert sorted(estimates.data["dlSnapshotDate"]) == sorted(expected["dlSnapshotDate"])

    def test_unlisted_date(self, store):
        with pytest.raises(AssertionError) as info:
            bs.ECOEST("2024-01-13")
        head, listed = str(info.value).split(": ", 1)
        assert head == "20240113 is not valid. Valid snapshot dates" and listed.endswith(".")
        assert sorted(ast.literal_eval(listed[:-1])) == [_text(d) for d in ESTIMATE_DATES]

    def test_scan_reads_one_row_group_at_a_time(self, store, monkeypatch):
        bars = []

        class Bar(list):
            def __init__(self, iterable):
                super().__init__(iterable)
                self.descriptions = []
                bars.append(self)

            def set_description(self, text):
                self.descriptions.append(text)

        monkeypatch.setattr(bs, "tqdm", Bar)
        got = bs.ECOEST.get_distinct(None, column="dlSnapshotDate", bucket=bs.ECOEST.bucket, key="tests/shuffled.parquet")
        assert sorted(got) == [dt.datetime.combine(d, dt.time()) for d in ESTIMATE_DATES]
        assert bars[0].descriptions == [f"Retrieving snapshot dates {i}" for i in range(1, len(ESTIMATES) // 5 + 2)]
        assert sorted(bs.ECOEST.get_distinct(None, "column0", bs.ECOEST.bucket, "tests/shuffled.parquet")) == sorted(EVENTS)

    def test_zero_row_groups_missing_column_and_missing_object(self, store):
        assert bs.ECOEST.get_distinct(None, "dlSnapshotDate", bs.ECOEST.bucket, "tests/empty.parquet") == []
        with pytest.raises(ValueError, match=rf"^no snapshot in s3://{bs.ECOEST.bucket}/tests/empty.parquet "
                                             r"\(asked for 20240112\)$"):
            _subclass(bs.ECOEST, file_path="tests/empty.parquet")("2024-01-12")
        with pytest.raises(KeyError):
            bs.ECOEST.get_distinct(None, "nope", bs.ECOEST.bucket, bs.ECOEST.file_path)
        # an outside error keeps its type (boto3's own for a missing key) and
        # gains a note of what was read
        no_such_key = boto3.client("s3").exceptions.NoSuchKey
        with pytest.raises(no_such_key, match="NoSuchKey") as info:
            _subclass(bs.ECOEST, file_path="tests/absent.parquet")()
        assert info.value.__notes__ == [f"while reading s3://{bs.ECOEST.bucket}/tests/absent.parquet"]

    @pytest.mark.parametrize(
        "start, end, first_day, last_day",
        [("2024-01-10", "2024-01-10", dt.date(2024, 1, 10), dt.date(2024, 1, 10)),
         ("2024-01-10", None, dt.date(2024, 1, 10), None), (None, "20240110", None, dt.date(2024, 1, 10)),
         ("2024-01-09 18:00", "2024-01-11", dt.date(2024, 1, 9), dt.date(2024, 1, 11)),  # time of day dropped
         (None, None, None, None), ("2024-02-01", None, dt.date(2024, 2, 1), None)],
    )
    def test_survey_days_within_bounds(self, estimates, start, end, first_day, last_day):
        days = estimates.data["economistSurveyTimestamp"].dt.date
        keep = [(first_day is None or day >= first_day) and (last_day is None or day <= last_day) for day in days]
        expected = estimates.data[keep].reset_index(drop=True).rename(columns={"column0": "event_ticker"})
        pd.testing.assert_frame_equal(estimates.get_data([], start, end), expected)

    def test_tickers(self, estimates):
        got = estimates.get_data(["CPI YOY Index", "NOPE Index"], None, "2024-01-11")
        assert list(got["event_ticker"]) == ["CPI YOY Index"] * 3 and list(got.index) == [0, 1, 2]
        assert list(got.columns)[0] == "event_ticker" and "column0" in estimates.data


def test_unlisted_dates_without_assertions(store):
    result = run_python("""
        from orvane_data.from_s3.bucket_sets import SPLC, ECOEST
        estimates = ECOEST("20240106")
        print(list(estimates.data.columns), len(estimates.data), len(estimates.get_data([], None, None)))
        try:
            SPLC("2024-01-06")
        except FileNotFoundError as err:
            print(err)
    """, "-O")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"{list(ESTIMATES)} 0 0",
                                          f"s3://{bs.SPLC.bucket}/{_supply_key(SUPPLY, '20240106')} not found"]


def test_without_s3fs_the_parquet_road_names_the_extra(store):
    result = run_python("""
        import importlib.abc, sys
        class Block(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name.split(".")[0] == "s3fs":
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        sys.meta_path.insert(0, Block())
        from orvane_data.from_s3.bucket_sets import ECOEST
        try:
            ECOEST()
        except ImportError as err:
            print(type(err).__name__, err.name, err)
    """)
    assert result.stdout.strip() == ("ImportError s3fs s3fs is not installed; it comes with the optional s3 support: "
                                     "pip install 'orvane_data[s3]'"), result.stderr


@pytest.mark.parametrize("module, raised", [("json", None), ("orvane_data_nowhere", ImportError),
                                            ("orvane_data.nowhere", ImportError)])
def test_require_names_the_extra_of_a_missing_library(module, raised):
    from orvane_data._extras import require

    if raised is None:
        assert require(module, "s3").__name__ == module
        return
    with pytest.raises(raised, match=rf"^{module} is not installed; .* pip install 'orvane_data\[s3\]'$") as info:
        require(module, "s3")
    assert info.value.name == module and isinstance(info.value.__cause__, ModuleNotFoundError)


# --- types, the base class, the import -------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s, e: bs.get_next_friday(20240105), "Argument 'date_string' has incorrect type (expected str, got int)"),
        (lambda s, e: bs.find_closest_earlier_date(None, []), "Argument 'target_date_str' has incorrect type (expected str, got NoneType)"),
        (lambda s, e: bs.find_closest_earlier_date("x", ("a",)), "Argument 'date_list' has incorrect type (expected list, got tuple)"),
        (lambda s, e: bs.SPLC(dataset=None), "Argument 'dataset' has incorrect type (expected str, got NoneType)"),
        (lambda s, e: bs.ECOEST(as_of_date=b"20240105"), "Argument 'as_of_date' has incorrect type (expected str, got bytes)"),
        (lambda s, e: s.get_data("IBM US Equity", None, None), "Argument 'tickers' has incorrect type (expected list, got str)"),
        (lambda s, e: s.get_data([], dt.date(2024, 1, 1), None), "Argument 'start' has incorrect type (expected str, got date)"),
        (lambda s, e: e.get_data([], end=20240101), "Argument 'end' has incorrect type (expected str, got int)"),
        (lambda s, e: e.get_distinct("dlSnapshotDate", None, "k"), "Argument 'bucket' has incorrect type"),
        (lambda s, e: bs.S3Data.get_data(e, None), "Argument 'as_of_date' has incorrect type"),
        (lambda s, e: s.get_data(["IBM US Equity"]), "SPLC.get_data() missing 2 required positional arguments: 'start' and 'end'"),
    ],
)
def test_wrong_arguments(supplier, estimates, call, message):
    with pytest.raises(TypeError) as info:
        call(supplier, estimates)
    assert str(info.value).startswith(message)


def test_base_class_is_abstract():
    assert type(bs.S3Data).__name__ == "ABCMeta" and issubclass(bs.SPLC, bs.S3Data) and issubclass(bs.ECOEST, bs.S3Data)
    assert [name for name, value in vars(bs.S3Data).items()
            if getattr(value, "__isabstractmethod__", False)] == ["_load_snapshot", "get_data"]
    with pytest.raises(TypeError, match="abstract"):
        bs.S3Data()


_IMPORT_REPORT = """
    import json, sys, warnings
    {prelude}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        from orvane_data.from_s3 import bucket_sets as bs
    print(json.dumps({{
        "warnings": [(w.category.__name__, str(w.message)) for w in caught],
        "show": bs.SHOW_WARNINGS,
        "service": bs.bql_Service and bs.bql_Service.__module__,
        "bq": type(bs.bq).__name__ if hasattr(bs, "bq") else None,
        "boto3": hasattr(bs, "boto3"),
        "buckets": [bs.SPLC.bucket, bs.ECOEST.bucket],
    }}))
    {epilogue}
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
    except ModuleNotFoundError:  # a simulation other than the query service's is missing
        assert "bql" in sys.modules
"""


def _import_report(prelude="", epilogue="", env=None, drop=()):
    fill = lambda code: textwrap.indent(textwrap.dedent(code), "    ").strip()  # noqa: E731
    result = run_python(_IMPORT_REPORT.format(prelude=fill(prelude), epilogue=fill(epilogue)), env=env, drop=drop)
    assert result.returncode == 0, result.stderr
    return [json.loads(line) for line in result.stdout.splitlines()]


class TestImport:
    @pytest.mark.parametrize("value, shown", [("1", True), ("true", False), (" 1", False), ("1 ", False), (None, False)])
    def test_warning_switch_without_the_service(self, value, shown):
        report, = _import_report(env=None if value is None else {"SHOW_WARNINGS": value}, drop=["SHOW_WARNINGS"] * (value is None))
        assert (report["show"], report["service"], report["bq"], report["boto3"]) == (shown, None, None, True)
        assert report["warnings"] == ([["UserWarning", "'bql' is not installed."]] if shown else [])

    def test_without_boto3(self):
        report, error = _import_report(_NO_BOTO3, epilogue="""
            try:
                bs.ECOEST()
            except NameError as err:
                print(json.dumps([str(err), err.__notes__]))
        """, env={"SHOW_WARNINGS": "1"})
        assert report["warnings"] == [["UserWarning", "'bql' is not installed."], ["UserWarning", "'boto3' is not installed."]]
        note = "boto3 is not installed; it comes with the optional s3 support: pip install 'orvane_data[s3]'"
        assert not report["boto3"] and error == ["name 'boto3' is not defined", [note]]

    def test_boto3_is_imported_on_first_use(self):
        result = run_python("""
            import sys
            from orvane_data.from_s3 import bucket_sets as bs, s3_io
            before = "boto3" in sys.modules
            bs.boto3.client  # the module attribute, as a test double would replace it
            print(before, "boto3" in sys.modules, "boto3" in vars(bs), "boto3" in vars(s3_io))
        """)
        assert result.stdout.split() == ["False", "True", "True", "False"], result.stderr

    def test_with_the_simulated_service_and_bucket_names_from_the_environment(self):
        report, = _import_report(_ACTIVATE, env={"SHOW_WARNINGS": "1", "ORVANE_EQUITY_BUCKET": "eq-bucket",
                                                 "ORVANE_MACRO_BUCKET": "macro-bucket"})
        assert report["warnings"] == [] and (report["service"], report["bq"]) == ("orvane_data.simulated.bql", "Service")
        assert report["buckets"] == ["eq-bucket", "macro-bucket"]
        report, = _import_report(drop=["ORVANE_EQUITY_BUCKET", "ORVANE_MACRO_BUCKET"])
        assert report["buckets"] == ["orvane-equity-base-data", "orvane-macro-base-data"]

    @pytest.mark.parametrize("body", ["raise RuntimeError('broken install')",
                                      "class Service:\n    def __init__(self):\n        raise RuntimeError('no session')"])
    def test_other_failures_of_the_service_fail_the_import(self, tmp_path, body):
        (tmp_path / "bql.py").write_text(body + "\n")
        result = run_python(f"import sys; sys.path.insert(0, {str(tmp_path)!r}); import orvane_data.from_s3.bucket_sets")
        assert result.returncode != 0 and "RuntimeError" in result.stderr


def test_without_the_s3_stack_a_listing_names_the_extra():
    # a plain install has neither boto3 nor botocore: the error of the call is
    # the missing boto3, with its note, not a failed import of botocore's errors
    result = run_python("""
        import importlib.abc, sys
        class Block(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name.split(".")[0] in ("boto3", "botocore"):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        sys.meta_path.insert(0, Block())
        from orvane_data.from_s3 import s3_io
        try:
            s3_io.list_s3_objects("f", "b")
        except NameError as err:
            print(type(err).__name__, *err.__notes__)
    """)
    assert result.stdout.startswith("NameError boto3 is not installed; it comes with the optional s3 support: "
                                    "pip install 'orvane_data[s3]'"), result.stderr
