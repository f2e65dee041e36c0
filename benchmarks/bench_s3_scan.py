"""Memory of the snapshot-date scan over a ~100 MB Parquet object in S3.

Writes an economist-estimates history of about 100 MB (many row groups) into
a local S3 server (moto, started here on 127.0.0.1), then measures, each in a
fresh process, the peak memory of

- ``ECOEST.get_distinct``: the object read whole, then one row group's
  ``dlSnapshotDate`` column decoded at a time;
- for contrast, the same loop turning each row group's column into Python
  values (``to_pylist``) before taking the distinct ones.

Peak memory is the Python allocations' peak (tracemalloc) plus the peak of
pyarrow's memory pool, an upper bound of their combined peak; the rise of the
process's maximum resident set is printed as a cross-check. Every figure is
printed as a ratio to the bound "object size + 2 x one row group's decoded
column", which the scan must stay below.

    PYTHONPATH=src python3 benchmarks/bench_s3_scan.py [megabytes]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

BUCKET = "orvane-bench-macro"
KEY = "economistEstimates/economistEstimatesHistory/current_economistEstimatesHistory.parquet"
WARM_UP_KEY = "warm-up/history.parquet"
ROW_GROUP_ROWS = 250_000


def write_history(client, megabytes: float) -> dict:
    import numpy as np
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    value_columns = 4
    rows = int(megabytes * 1e6 / (8 * value_columns + 8 + 8 + 1))
    rng = np.random.default_rng(5)
    snapshots = pd.date_range("2019-01-04", periods=260, freq="7D")
    snapshot = snapshots.values[np.sort(rng.integers(0, len(snapshots), rows))]
    order = rng.permutation(rows // ROW_GROUP_ROWS + 1)  # row groups in shuffled date order
    position = np.concatenate([np.arange(g * ROW_GROUP_ROWS, min((g + 1) * ROW_GROUP_ROWS, rows)) for g in order])
    table = pa.table(
        {
            "column0": pa.array(rng.choice(["NFP TCH Index", "CPI YOY Index", "GDP CQOQ Index"], rows)).dictionary_encode(),
            "dlSnapshotDate": pa.array(snapshot[position], pa.timestamp("us")),
            "economistSurveyTimestamp": pa.array(snapshot[position] - rng.integers(0, 7 * 86_400, rows).astype("m8[s]"),
                                                 pa.timestamp("us")),
            **{f"estimate{i}": rng.normal(size=rows) for i in range(value_columns)},
        }
    )
    sink = pa.BufferOutputStream()
    pq.write_table(table, sink, row_group_size=ROW_GROUP_ROWS, compression="snappy")
    body = sink.getvalue()
    client.put_object(Bucket=BUCKET, Key=KEY, Body=body.to_pybytes())
    small = pa.BufferOutputStream()
    pq.write_table(table.slice(0, 1000), small, row_group_size=500, compression="snappy")
    client.put_object(Bucket=BUCKET, Key=WARM_UP_KEY, Body=small.getvalue().to_pybytes())
    groups = pq.ParquetFile(pa.BufferReader(body)).metadata.num_row_groups
    return {"object_bytes": body.size, "row_groups": groups, "rows": rows,
            "column_bytes": ROW_GROUP_ROWS * 8, "distinct": int(len(np.unique(snapshot)))}


MEASURE = r"""
import json, sys, threading, time, tracemalloc
import boto3, psutil, pyarrow as pa, pyarrow.compute, pyarrow.parquet
from orvane_data.from_s3 import bucket_sets as bs
mode, bucket, key, warm_up_key = sys.argv[1:5]

def literal(self, column, bucket, key):
    body = boto3.resource("s3").Object(bucket, key).get()["Body"].read()
    parquet_file = pa.parquet.ParquetFile(pa.BufferReader(body))
    values = set()
    for i in range(parquet_file.num_row_groups):
        values.update(parquet_file.read_row_group(i, columns=[column]).column(column).to_pylist())
    return list(values)

scan = bs.ECOEST.get_distinct if mode == "scan" else literal
bs.tqdm = lambda iterable: __import__("tqdm").tqdm(iterable, disable=True)
# One scan of a small object first: boto3's service model, the libraries'
# code pages and the allocators' arenas are then in place, and what the
# measured scan adds is its data.
scan(None, "dlSnapshotDate", bucket, warm_up_key)
process, rss_peak, done = psutil.Process(), [0], threading.Event()
def sample():
    while not done.is_set():
        rss_peak[0] = max(rss_peak[0], process.memory_info().rss)
        time.sleep(0.002)
rss_before = process.memory_info().rss
sampler = threading.Thread(target=sample)
sampler.start()
tracemalloc.start()
values = scan(None, "dlSnapshotDate", bucket, key)
python_peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
done.set()
sampler.join()
rss_after = max(rss_peak[0], process.memory_info().rss)
print(json.dumps({"distinct": len(values), "python_peak": python_peak,
                  "arrow_peak": pa.default_memory_pool().max_memory(),
                  "rss_rise": rss_after - rss_before}))
"""


def measure(mode: str, env: dict) -> dict:
    out = subprocess.run([sys.executable, "-c", MEASURE, mode, BUCKET, KEY, WARM_UP_KEY], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main() -> None:
    from s3_server import S3Server

    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 100.0
    with S3Server() as server:
        client = server.client()
        client.create_bucket(Bucket=BUCKET)
        shape = write_history(client, megabytes)
        env = {**os.environ, **server.env, "ORVANE_MACRO_BUCKET": BUCKET,
               "PYTHONPATH": os.pathsep.join(os.path.abspath(p) for p in sys.path if p)}
        results = {mode: measure(mode, env) for mode in ("scan", "to_pylist")}

    size, column = shape["object_bytes"], shape["column_bytes"]
    bound = size + 2 * column
    mb = 1e6
    print(f"object {size / mb:.1f} MB, {shape['row_groups']} row groups of {ROW_GROUP_ROWS:,} rows, "
          f"one row group's dlSnapshotDate column {column / mb:.1f} MB decoded")
    print(f"bound = object + 2 x column = {bound / mb:.1f} MB")
    for mode, r in results.items():
        assert r["distinct"] == shape["distinct"], (mode, r)
        peak = r["python_peak"] + r["arrow_peak"]
        print(f"{mode:>9}: peak {peak / mb:7.1f} MB (python {r['python_peak'] / mb:.1f} + arrow "
              f"{r['arrow_peak'] / mb:.1f}), peak/bound {peak / bound:.3f}, "
              f"(peak - object)/column {(peak - size) / column:.2f}, rss rise/bound {r['rss_rise'] / bound:.3f}")
    scan_peak = results["scan"]["python_peak"] + results["scan"]["arrow_peak"]
    print("scan stays below the bound" if scan_peak < bound else "SCAN EXCEEDS THE BOUND")


if __name__ == "__main__":
    main()
