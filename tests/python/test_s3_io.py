"""Listing and reading S3 objects, against a local S3 server."""

import io
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from orvane_data.from_s3 import s3_io
from s3_server import csv_gz_bytes, parquet_bytes, s3_endpoint  # noqa: F401  (fixture)

BUCKET = "orvane-test-s3-io"
N_KEYS = 1234  # more than one listing page of 1,000


def _frame(n=25):
    rng = np.random.default_rng(7)
    return pd.DataFrame(
        {
            "ID_BB_GLOBAL": [f"OVG{i:09d}" for i in range(n)],
            "value": rng.normal(size=n).round(6),
            "count": rng.integers(0, 100, n),
            # empty in the first rows, text after: chunks disagree on its type
            "note": [None] * (n // 2) + [f"n{i}" for i in range(n - n // 2)],
        }
    )


@pytest.fixture(scope="module")
def store(s3_endpoint):
    client = s3_endpoint.client()
    client.create_bucket(Bucket=BUCKET)
    listed = [f"root/many/{i:05d}/part.csv" for i in range(N_KEYS)]
    # a sibling whose name starts like the folder must not be listed with it
    others = ["root/many-more/x.csv", "root/manyx/y.csv", "elsewhere/many/z.csv"]
    with ThreadPoolExecutor(8) as pool:
        list(pool.map(lambda key: client.put_object(Bucket=BUCKET, Key=key, Body=b"a\n1\n"), listed + others))
    frame = _frame()
    client.put_object(Bucket=BUCKET, Key="data/f.csv.gz", Body=csv_gz_bytes(frame))
    client.put_object(Bucket=BUCKET, Key="data/f.csv", Body=frame.to_csv(index=False).encode())
    client.put_object(Bucket=BUCKET, Key="data/f.parquet", Body=parquet_bytes(frame, row_group_size=4))
    client.put_object(Bucket=BUCKET, Key="data/header_only.csv.gz", Body=csv_gz_bytes(frame.iloc[:0]))
    client.create_bucket(Bucket="orvane-test-empty")
    return {"listed": listed, "frame": frame}


class TestList:
    def test_more_than_one_page_comes_back_whole_and_only_the_folder(self, store):
        keys = s3_io.list_s3_objects(folder_path="many", bucket=BUCKET, prefix="root")
        assert keys == sorted(store["listed"])

    @pytest.mark.parametrize("folder, prefix", [("root/many", ""), ("many/", "root/"), ("/many", "root")])
    def test_slashes_at_the_joint_do_not_matter(self, store, folder, prefix):
        assert len(s3_io.list_s3_objects(folder, BUCKET, prefix)) == N_KEYS

    def test_empty_folder_and_missing_bucket(self, store):
        assert s3_io.list_s3_objects("many", "orvane-test-empty", "root") == []
        with pytest.raises(FileNotFoundError, match=r"^s3://orvane-test-nowhere/root/many/ not found: "
                                                    r"bucket 'orvane-test-nowhere' does not exist$"):
            s3_io.list_s3_objects("many", "orvane-test-nowhere", "root")


class TestRead:
    @pytest.mark.parametrize(
        "key, data_format, by_chunks, chunksize",
        [
            ("f.csv.gz", "csv.gz", True, 100000),
            ("f.csv.gz", "csv.gz", True, 4),
            ("f.csv.gz", "csv.gz", True, 1),
            ("f.csv.gz", "csv.gz", False, 100000),
            ("f.csv", "csv", True, 7),
            ("f.parquet", "parquet", True, 3),
        ],
    )
    def test_matches_a_whole_local_read(self, store, key, data_format, by_chunks, chunksize):
        got = s3_io.read_from_s3(file_path=key, data_format=data_format, bucket=BUCKET, prefix="data",
                                 by_chunks=by_chunks, chunksize=chunksize)
        source = store["frame"]
        if data_format == "parquet":
            expected = pd.read_parquet(io.BytesIO(parquet_bytes(source, 4)))
        else:
            expected = pd.read_csv(io.StringIO(source.to_csv(index=False)))
        pd.testing.assert_frame_equal(got, expected)

    def test_full_key_with_empty_prefix(self, store):
        got = s3_io.read_from_s3("data/f.csv.gz", "csv.gz", BUCKET, "", True, 10)
        assert len(got) == len(store["frame"])

    def test_header_only_object_gives_its_columns(self, store):
        got = s3_io.read_from_s3("data/header_only.csv.gz", "csv.gz", BUCKET, by_chunks=True, chunksize=5)
        assert list(got.columns) == list(store["frame"].columns) and len(got) == 0

    @pytest.mark.parametrize(
        "bucket, message",
        [
            (BUCKET, rf"^s3://{BUCKET}/data/missing.csv.gz not found$"),
            ("orvane-test-nowhere", r"^s3://orvane-test-nowhere/data/missing.csv.gz not found: bucket"),
        ],
    )
    def test_missing_object_or_bucket_names_it(self, store, bucket, message):
        with pytest.raises(FileNotFoundError, match=message):
            s3_io.read_from_s3("missing.csv.gz", "csv.gz", bucket, "data", True, 100000)

    @pytest.mark.parametrize("call", [lambda: s3_io.read_from_s3("f.csv", "csv", "no bucket!", "data"),
                                      lambda: s3_io.list_s3_objects("f", "no bucket!", "data")])
    def test_other_errors_keep_their_type_and_name_the_location(self, store, call):
        from botocore.exceptions import ParamValidationError

        with pytest.raises(ParamValidationError) as info:  # as boto3 raises it, refused before any request
            call()
        assert len(info.value.__notes__) == 1 and info.value.__notes__[0].startswith("while reading s3://no bucket!/data/f")

    def test_unknown_format(self, store):
        with pytest.raises(ValueError, match="data_format='xlsx' is not supported"):
            s3_io.read_from_s3("data/f.csv", "xlsx", BUCKET)


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda: s3_io.list_s3_objects(1, BUCKET), "folder_path"),
        (lambda: s3_io.list_s3_objects("a", None), "bucket"),
        (lambda: s3_io.list_s3_objects("a", BUCKET, prefix=["x"]), "prefix"),
        (lambda: s3_io.read_from_s3(b"f.csv", "csv", BUCKET), "file_path"),
        (lambda: s3_io.read_from_s3("f.csv", None, BUCKET), "data_format"),
        (lambda: s3_io.read_from_s3("f.csv", "csv", BUCKET, chunksize="10"), "chunksize"),
    ],
)
def test_wrong_argument_types(call, argument):
    with pytest.raises(TypeError, match=rf"^Argument '{argument}' has incorrect type"):
        call()
