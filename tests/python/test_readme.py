"""Every Python snippet of README.md runs as written, each in a fresh
interpreter, on the simulated services and a local S3 server holding small
samples of the two datasets and an empty `my-bucket`."""

import datetime as dt
import os
import pathlib
import re
import subprocess
import sys

import pandas as pd
import pytest

from doubles import SRC
from orvane_data.from_s3 import bucket_sets as bs
from orvane_data.simulated import securities
from s3_server import csv_gz_bytes, parquet_bytes, s3_endpoint  # noqa: F401  (fixture)

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
SNIPPETS = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.S | re.M)


def _figi(parse_key):
    return securities.by_parse_key(parse_key).figi


@pytest.fixture(scope="module")
def samples(s3_endpoint):
    client = s3_endpoint.client()
    for bucket in (bs.SPLC.bucket, bs.ECOEST.bucket, "my-bucket"):
        client.create_bucket(Bucket=bucket)
    supply = pd.DataFrame({
        "ID_BB_GLOBAL": [_figi("IBM US Equity")] * 2, "RELATIONSHIP": ["SUPPLIER", "CUSTOMER"],
        "RELATED_FIGI": [_figi("NVDA US Equity"), _figi("MSFT US Equity")],
        "RELTNSHP_START_DT": ["2020-03-01", "2019-05-05"], "RELTNSHP_END_DT": [None, "2024-01-31"]})
    key = "alt_data/supply_chain/dl/datasets/supplyChainHistoryV2/snapshots/20240105/distributions/supplyChainHistoryV2.csv.gz"
    client.put_object(Bucket=bs.SPLC.bucket, Key=key, Body=csv_gz_bytes(supply))
    estimates = pd.DataFrame({
        "column0": ["CPI YOY Index", "NFP TCH Index"], "dlSnapshotDate": pd.Timestamp("2024-01-12"),
        "economistSurveyTimestamp": [dt.datetime(2024, 1, 8, 10), dt.datetime(2024, 1, 9, 15)], "estimate": [3.2, 175.0]})
    client.put_object(Bucket=bs.ECOEST.bucket, Key=bs.ECOEST.file_path, Body=parquet_bytes(estimates))
    return s3_endpoint


def test_readme_has_snippets():
    assert len(SNIPPETS) >= 2


@pytest.mark.parametrize("snippet", SNIPPETS, ids=[f"snippet{i}" for i in range(len(SNIPPETS))])
def test_snippet_runs_as_written(samples, snippet, tmp_path):
    env = {**os.environ, "PYTHONPATH": str(SRC)}
    result = subprocess.run([sys.executable, "-c", snippet], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stderr
