"""The S3 modules under arbitrary arguments, objects and service answers.

The date helpers are compared with their plain formulation; objects of any
content are read back from a local S3 server.
"""

import bisect
import datetime as dt
import gzip
import io
import warnings
import zlib

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from doubles import ChosenAnswers
from fuzz_support import anything, anything_plain, checked_call, frame_scalars, fuzz_settings, odd_text, outcome, scalars, utf8_text
from s3_server import csv_gz_bytes, parquet_bytes, s3_endpoint  # noqa: F401  (fixture)

from orvane_data.from_s3 import bucket_sets as bs
from orvane_data.from_s3 import s3_io

pytestmark = pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::FutureWarning")


def ref_next_friday(text):
    day = dt.datetime.strptime(text, "%Y%m%d")
    add = (4 - day.weekday() + 7) % 7 or 7
    friday = day + dt.timedelta(days=add)
    return f"{friday.year:04d}{friday.month:02d}{friday.day:02d}"  # strftime leaves years before 1000 unpadded


def ref_closest(target, dates):
    point = bisect.bisect_right(dates, target)
    if point > 0:
        entry = dates[point - 1]
        if not isinstance(entry, str):
            raise TypeError
        return entry
    return None


date_texts = st.one_of(
    st.dates(min_value=dt.date(1000, 1, 1), max_value=dt.date(9999, 12, 24)).map(lambda d: d.strftime("%Y%m%d")),
    st.sampled_from(["20240230", "2024-01-05", " 20240105", "", "99991231", "00010101", "2024010", "2024\x000105"]),
    odd_text)


@fuzz_settings(300)
@given(text=date_texts, other=st.one_of(date_texts, scalars), dates=st.lists(st.one_of(date_texts, frame_scalars), max_size=6),
       sort=st.booleans())
def test_date_helpers_match_their_plain_formulation(text, other, dates, sort):
    expected = outcome(ref_next_friday, text)
    got, error = checked_call(bs.get_next_friday, text, allowed=(ValueError, OverflowError, TypeError))
    if expected[0] == "ok":
        assert error is None and got == expected[1]
    else:
        assert error is not None
    if sort:
        try:
            dates = sorted(dates)
        except (TypeError, ArithmeticError):  # mixed types; Decimal('NaN') refuses to be ordered
            pass
    for target in (text, other):
        expected = outcome(ref_closest, target, dates) if isinstance(target, str) else (TypeError, None)
        got, error = checked_call(bs.find_closest_earlier_date, target, dates, allowed=(TypeError,))
        if expected[0] == "ok":
            assert error is None and got is expected[1]
        else:
            assert isinstance(error, TypeError)
    checked_call(bs.find_closest_earlier_date, text, tuple(dates), allowed=(TypeError,))


@fuzz_settings(150)
@given(ids=st.one_of(st.lists(st.one_of(odd_text, st.just("it's")), max_size=4), odd_text, anything_plain),
       values=st.lists(st.one_of(utf8_text, st.none(), st.floats()), min_size=0, max_size=4),
       columns=st.lists(st.sampled_from(["ID_BB_GLOBAL", "TICKER", "EXCH_CODE", "MARKET_SECTOR_DES", "x"]),
                        max_size=4, unique=True))
def test_translations_on_any_answer(ids, values, columns):
    index = pd.Index([f"F{i}" for i in range(len(values))], name="ID")
    frames = [pd.DataFrame({c: values}, index=index) for c in columns]
    service = ChosenAnswers(frames)
    # a missing column is pandas' KeyError, no item the IndexError of the
    # response; texts and missing values that do not add are TypeError
    allowed = (KeyError, IndexError, TypeError, ValueError)
    result, error = checked_call(bs.ticker_to_figi, ids, service, allowed=allowed)
    query = service.queries[-1]
    assert isinstance(query, str)
    if isinstance(ids, str):
        assert query == f"get(ID_BB_GLOBAL) for({[ids]!s})"
    checked_call(bs.figi_to_ticker, ids, service, allowed=allowed)


# --- objects of any content read back from S3 ---------------------------------

BUCKET = "fuzz-bucket"


@pytest.fixture(scope="module")
def bucket(s3_endpoint):
    client = s3_endpoint.client()
    client.create_bucket(Bucket=BUCKET)
    return client


def _contents(draw):
    kind = draw(st.sampled_from(["csv", "gz", "bad gz", "truncated gz", "parquet", "bad parquet", "empty", "bytes"]))
    frame = pd.DataFrame({"a": draw(st.lists(st.one_of(utf8_text, st.integers(), st.floats()), min_size=0, max_size=6)),
                          }) if draw(st.booleans()) else pd.DataFrame({"q'\"": ["x,y", "\n", ""], "b": [1, None, 3]})
    if kind == "csv":
        return frame.to_csv(index=False).encode()
    if kind == "gz":
        return csv_gz_bytes(frame)
    if kind == "bad gz":
        return b"\x1f\x8b" + draw(st.binary(max_size=40))
    if kind == "truncated gz":
        whole = csv_gz_bytes(frame)
        return whole[: max(1, len(whole) // 2)]
    if kind == "parquet":
        return parquet_bytes(frame.astype(str))
    if kind == "bad parquet":
        return b"PAR1" + draw(st.binary(max_size=40)) + b"PAR1"
    if kind == "empty":
        return b""
    return draw(st.binary(max_size=200))


@fuzz_settings(60)
@given(data=st.data(), data_format=st.one_of(st.sampled_from(["csv.gz", "csv", "parquet"]), odd_text, scalars),
       by_chunks=scalars, chunksize=st.one_of(st.none(), st.integers(-2, 5), scalars))
def test_reading_objects_of_any_content(bucket, data, data_format, by_chunks, chunksize):
    bucket.put_object(Bucket=BUCKET, Key="dir/object", Body=_contents(data.draw))
    # what the parsers raise on such bytes: ValueError (pandas' parser and
    # empty-data errors, Arrow's invalid-file error, UnicodeDecodeError),
    # OSError (a bad gzip header), EOFError (a cut gzip stream), zlib.error;
    # TypeError for arguments of the wrong type
    from botocore.exceptions import BotoCoreError

    allowed = (ValueError, OSError, EOFError, zlib.error, TypeError, OverflowError, BotoCoreError)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result, error = checked_call(s3_io.read_from_s3, "object", data_format, BUCKET, "dir", by_chunks, chunksize,
                                     allowed=allowed, refs=False)
    if error is None:
        assert isinstance(result, pd.DataFrame)


@fuzz_settings(60)
@given(folder=st.one_of(st.sampled_from(["dir", "/dir/", "missing", ""]), odd_text, scalars),
       prefix=st.one_of(st.sampled_from(["", "/", "dir"]), odd_text, scalars),
       name=st.one_of(st.just(BUCKET), st.just("no-such-bucket"), odd_text, scalars))
def test_listing_with_any_names(bucket, folder, prefix, name):
    # FileNotFoundError for a missing bucket, botocore's ParamValidationError
    # for names S3 cannot take, UnicodeEncodeError for texts without a UTF-8
    # form, TypeError for non-texts
    from botocore.exceptions import BotoCoreError, ClientError

    checked_call(s3_io.list_s3_objects, folder, name, prefix,
                 allowed=(TypeError, ValueError, FileNotFoundError, ClientError, BotoCoreError), refs=False)


@fuzz_settings(100)
@given(as_of=st.one_of(st.none(), odd_text, scalars), dataset=st.one_of(st.sampled_from(["supplier", "Supplier", "suppliers"]), odd_text, scalars))
def test_dataset_arguments_are_checked_before_s3(as_of, dataset, monkeypatch):
    # no S3 is reachable here: every call must fail on its arguments first,
    # or reach the listing (which this stand-in refuses)
    def refuse(**kwargs):
        raise ConnectionRefusedError("no S3 in this test")

    monkeypatch.setattr(bs, "list_s3_objects", refuse)
    result, error = checked_call(bs.SPLC, as_of, dataset, allowed=(TypeError, ValueError, ConnectionRefusedError))
    if isinstance(error, ConnectionRefusedError):
        assert isinstance(dataset, str) and dataset in bs.SPLC.dataset_names
    checked_call(bs.ECOEST, as_of, allowed=(TypeError, ValueError, NameError, Exception), refs=False)


@pytest.fixture(scope="module")
def loaded(bucket, s3_endpoint):
    client = s3_endpoint.client()
    try:
        client.create_bucket(Bucket=bs.SPLC.bucket)
    except client.exceptions.BucketAlreadyOwnedByYou:
        pass
    frame = pd.DataFrame({"ID_BB_GLOBAL": ["F1", "F2", "F3"], "RELATED_FIGI": ["F2", "F3", None],
                          "RELATIONSHIP": ["SUPPLIER", "CUSTOMER", "COMPETITOR"],
                          "RELTNSHP_START_DT": ["2020-01-01", "2021-06-30", ""], "RELTNSHP_END_DT": ["", "2023-01-01", "2022-01-01"]})
    key = "alt_data/supply_chain/dl/datasets/supplyChainHistoryV2/snapshots/20240105/distributions/supplyChainHistoryV2.csv.gz"
    client.put_object(Bucket=bs.SPLC.bucket, Key=key, Body=csv_gz_bytes(frame))
    return bs.SPLC(dataset="supplier")


@fuzz_settings(150)
@given(tickers=st.one_of(st.lists(odd_text, max_size=3), anything_plain),
       start=st.one_of(st.none(), st.sampled_from(["2020-06-01", "20240105", "not a date", "2024-13-45"]), odd_text, scalars),
       end=st.one_of(st.none(), st.sampled_from(["2022-06-01", "1677-01-01"]), odd_text, scalars))
def test_supply_chain_queries_with_any_bounds(loaded, tickers, start, end):
    before = loaded.data.copy()
    # the argument checks' TypeError; pandas' parsing errors (ValueError,
    # OutOfBoundsDatetime) for bounds that are no dates
    result, error = checked_call(loaded.get_data, tickers, start, end, allowed=(TypeError, ValueError, OverflowError),
                                 name="SPLC.get_data")
    pd.testing.assert_frame_equal(loaded.data, before)
    if error is None:
        assert list(result.columns) == list(before.columns) and result.index.equals(pd.RangeIndex(len(result)))


def test_texts_without_a_utf8_form_get_the_documented_errors():
    with pytest.raises(ValueError, match=r"^`dataset`=.* is invalid\."):
        bs.SPLC(dataset="\ud800")
    service = ChosenAnswers([pd.DataFrame({"ID_BB_GLOBAL": ["F"]}, index=pd.Index(["x"], name="ID"))])
    assert bs.ticker_to_figi("\ud800", service) == {"x": "F"}
    assert service.queries == ["get(ID_BB_GLOBAL) for(['\\ud800'])"]
    with pytest.raises(UnicodeEncodeError):  # a ValueError, not pybind11's RuntimeError
        s3_io.list_s3_objects("\ud800", "bucket")


@pytest.fixture(scope="module")
def estimates(bucket, s3_endpoint):
    client = s3_endpoint.client()
    try:
        client.create_bucket(Bucket=bs.ECOEST.bucket)
    except client.exceptions.BucketAlreadyOwnedByYou:
        pass
    days = pd.to_datetime(["2024-01-05", "2024-01-12"] * 6)
    frame = pd.DataFrame({"dlSnapshotDate": days, "column0": [f"E{i % 3} Index" for i in range(12)],
                          "economistSurveyTimestamp": pd.date_range("2024-01-01 09:30", periods=12, freq="17h"),
                          "estimate": np.arange(12.0)})
    client.put_object(Bucket=bs.ECOEST.bucket, Key=bs.ECOEST.file_path, Body=parquet_bytes(frame, row_group_size=5))
    return bs.ECOEST()


@fuzz_settings(120)
@given(tickers=st.one_of(st.lists(st.one_of(st.sampled_from(["E0 Index", "E1 Index"]), odd_text), max_size=3), anything_plain),
       start=st.one_of(st.none(), st.sampled_from(["2024-01-02", "20240104 12:00", "not a date"]), odd_text, scalars),
       end=st.one_of(st.none(), st.sampled_from(["2024-01-08", "2262-05-01"]), odd_text, scalars))
def test_estimates_queries_with_any_bounds(estimates, tickers, start, end):
    before = estimates.data.copy()
    result, error = checked_call(estimates.get_data, tickers, start, end, allowed=(TypeError, ValueError, OverflowError),
                                 name="ECOEST.get_data")
    pd.testing.assert_frame_equal(estimates.data, before)
    if error is None:
        assert "event_ticker" in result.columns and result.index.equals(pd.RangeIndex(len(result)))
        if isinstance(tickers, list) and tickers and all(isinstance(t, str) for t in tickers):
            assert set(result["event_ticker"]) <= set(tickers)


@fuzz_settings(40)
@given(column=st.one_of(st.sampled_from(["dlSnapshotDate", "column0", "nope"]), odd_text, scalars),
       key=st.one_of(st.just(bs.ECOEST.file_path), st.just("absent.parquet"), odd_text, scalars))
def test_distinct_scan_with_any_column_and_key(estimates, column, key):
    from botocore.exceptions import BotoCoreError, ClientError

    # Arrow's errors for a column the object lacks (KeyError, ArrowInvalid),
    # S3's for a missing key, the checks' TypeError
    allowed = (TypeError, ValueError, KeyError, ClientError, BotoCoreError, OSError)
    result, error = checked_call(estimates.get_distinct, column, bs.ECOEST.bucket, key, allowed=allowed, refs=False,
                                 name="ECOEST.get_distinct")
    if error is None and column == "column0":
        assert sorted(result) == ["E0 Index", "E1 Index", "E2 Index"]
