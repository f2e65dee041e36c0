"""A study's windows read from a bar dataset: three roads side by side.

Writes, once, Parquet datasets of minute bars from the simulated intraday
service (the 25 New York equities and indices and 4 currencies of
``bench_distributed.py``): 2019-01-01 to 2024-06-28, about 21.6 million bars,
and, with ``--larger``, the same securities from an earlier year (2008 by
default: three times the years), into a folder later runs reuse. Then runs
the default study (NFP and CPI releases, windows -5 to +10 minutes, moves of
``close``, summary by release and key) three ways, each in a fresh process:

- ours: ``bar_store.load_bars(root, columns=..., around=releases)``, which
  reads the row groups the windows meet;
- whole files: ``bar_store.load_bars(root, columns=...)``, every row of the
  columns read, as the single-process study read a dataset before;
- ``pyarrow.dataset``: ``dataset(root).to_table(columns=..., filter=...)``
  with an OR of the windows' time ranges, what a user would write;

each followed by the same window cut (``filter_bars_around_events``),
``event_moves`` and ``summarize_moves``; the three summaries must be equal.

Printed per road: time (read, cut, moves, summary), bytes read (the
process's read-call bytes, /proc/self/io ``rchar``, over the study) against
the dataset's size, and peak resident size (and its rise over the process
before the study). On the larger dataset only ours runs (the other two
would take minutes, and the whole files gigabytes of memory), twice: with
the releases of the first dataset's years (the same windows over three
times the data: memory should not move) and with the releases of all its
years.

With ``--s3 N`` N securities of the first dataset (the 4 currencies first,
then New York equities) are put on a local S3 server (moto, 127.0.0.1) and the three roads run again through
s3fs, counting the bytes and requests of every ranged GET.

    PYTHONPATH=src python3 benchmarks/bench_window_reads.py [--folder DIR] [--larger 2008] [--s3 6]

The machine is shared: run it once. Writing the first dataset takes about
two minutes on a quiet machine, the larger one about three times that.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

from bench_distributed import CURRENCIES, NEW_YORK  # noqa: E402  (the same securities as the study's dataset)

EVENTS = ["NFP TCH Index", "CPI YOY Index"]  # the event study command's default releases
PRE, POST = -5, 10
COLUMNS = ["datetime", "key", "close"]  # what the study's moves and summary read


def dataset(folder: Path, start: str, end: str) -> Path:
    from orvane_data import bar_store

    root = folder / f"bars_{start}_{end}"
    if (root / "_complete").exists():
        print(f"dataset: reusing {root}")
        return root
    print(f"dataset: writing {len(NEW_YORK) + len(CURRENCIES)} securities, {start} to {end}, into {root}")
    began = time.perf_counter()
    bar_store.write_simulated_bars(str(root), NEW_YORK + CURRENCIES, start, end, chunk_days=366)
    (root / "_complete").write_text("")
    print(f"dataset: written in {time.perf_counter() - began:.0f} s")
    return root


def releases(start: str, end: str):
    import datetime as dt

    from orvane_data import simulated

    simulated.activate()
    from orvane_data.from_bqia import query_kit

    calendar = query_kit.get_eco_calendar_data(query_kit.bq, ["US"], start, end, tickers=EVENTS,
                                               event_timezone="America/New_York")
    keep = ((calendar["event_date"] >= dt.date.fromisoformat(start))
            & (calendar["event_date"] <= dt.date.fromisoformat(end)))
    return calendar[keep]


# One road of the study in a fresh process. argv: road, root, calendar pickle,
# summary pickle out, storage options (json, "null" for a local folder).
ROAD = r"""
import json, resource, sys, time
import pandas as pd
road, root, calendar_path, out, options = sys.argv[1:6]
options = json.loads(options)
from orvane_data import bar_store
from orvane_data.event_study import event_moves, summarize_moves
from orvane_data.from_bqia.bar_kit import filter_bars_around_events
import pyarrow as pa, pyarrow.compute as pc, pyarrow.dataset as ds
PRE, POST, COLUMNS = %(PRE)d, %(POST)d, %(COLUMNS)r

counted = {"bytes": 0, "requests": 0}
if options is not None:  # every ranged GET of s3fs, whichever road asks
    import s3fs.core
    fetch = s3fs.core.S3File._fetch_range
    def counting(self, start, end):
        data = fetch(self, start, end)
        counted["bytes"] += len(data)
        counted["requests"] += 1
        return data
    s3fs.core.S3File._fetch_range = counting
    get = getattr(s3fs.core.S3FileSystem, "_cat_file", None)
    if get is not None:  # an asynchronous s3fs's ranged GETs
        async def counting_get(self, path, *args, **kwargs):
            data = await get(self, path, *args, **kwargs)
            counted["bytes"] += len(data)
            counted["requests"] += 1
            return data
        s3fs.core.S3FileSystem._cat_file = counting_get

def rchar():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("rchar")).split()[1])

def by_pyarrow_dataset(calendar):
    import fsspec
    fs, path = fsspec.core.url_to_fs(root, **(options or {}))
    data = ds.dataset(path, filesystem=fs if options is not None else None, format="parquet",
                      partitioning="hive")
    stamp = data.schema.field("datetime").type
    minute = calendar["event_datetime"].dt.floor("min")
    starts, ends = minute + pd.Timedelta(minutes=PRE), minute + pd.Timedelta(minutes=POST)
    where = None
    for start, end in zip(starts, ends):
        one = (pc.field("datetime") >= pa.scalar(start, stamp)) & (pc.field("datetime") <= pa.scalar(end, stamp))
        where = one if where is None else where | one
    return data.to_table(columns=COLUMNS, filter=where).to_pandas()

calendar = pd.read_pickle(calendar_path)
before_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
before_read = rchar()
began = time.perf_counter()
if road == "ours":
    bars = bar_store.load_bars(root, columns=COLUMNS, storage_options=options, around=calendar, pre=PRE, post=POST)
elif road == "whole":
    bars = bar_store.load_bars(root, columns=COLUMNS, storage_options=options)
else:
    bars = by_pyarrow_dataset(calendar)
summary = summarize_moves(event_moves(filter_bars_around_events(bars, calendar, PRE, POST)),
                          by=["EVENT_NAME", "key"])
seconds = time.perf_counter() - began
summary.to_pickle(out)
print(json.dumps({"seconds": seconds, "bars": len(bars), "read": rchar() - before_read,
                  "s3_bytes": counted["bytes"], "requests": counted["requests"],
                  "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  "rss_before": before_rss}))
""" % {"PRE": PRE, "POST": POST, "COLUMNS": COLUMNS}


def run(road: str, root: str, calendar_path: Path, out: Path, options=None, env=None) -> dict:
    result = subprocess.run([sys.executable, "-c", ROAD, road, root, str(calendar_path), str(out), json.dumps(options)],
                            check=True, capture_output=True, text=True, env=env)
    return json.loads(result.stdout.strip().splitlines()[-1])


def size(root: Path) -> int:
    return sum(path.stat().st_size for path in root.glob("security=*/*.parquet"))


def footers(root: Path) -> int:
    """The bytes of the files' footers (metadata, its length and the magic), which every reader reads whole."""
    import pyarrow.parquet as pq

    return sum(pq.ParquetFile(path).metadata.serialized_size + 8 for path in root.glob("security=*/*.parquet"))


def mb(n: float) -> str:
    return f"{n / 1e6:,.1f} MB"


def report(label: str, figures: dict, dataset_bytes: int, on_s3: bool = False) -> None:
    print(f"\n{label}: dataset {mb(dataset_bytes)}")
    print(f"  {'road':<28}{'seconds':>9}{'read':>13}{'of data':>9}{'requests':>10}{'peak RSS':>11}{'rise':>10}")
    for road, f in figures.items():
        read = f["s3_bytes"] if on_s3 else f["read"]
        print(f"  {road:<28}{f['seconds']:>9.2f}{mb(read):>13}{read / dataset_bytes:>9.1%}"
              f"{(f['requests'] if on_s3 else '-'):>10}{f['peak_rss'] / 2**20:>8,.0f} MiB"
              f"{(f['peak_rss'] - f['rss_before']) / 2**20:>6,.0f} MiB")
    ours = figures.get("ours")
    if ours:
        for road, f in figures.items():
            if road != "ours" and not road.startswith("ours"):
                print(f"  {road} / ours time: {f['seconds'] / ours['seconds']:.1f}x")


def same_summaries(paths) -> None:
    import pandas as pd

    first = pd.read_pickle(paths[0])
    for path in paths[1:]:
        pd.testing.assert_frame_equal(pd.read_pickle(path), first)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", default=os.path.join(tempfile.gettempdir(), "orvane_bench_windows"),
                        help="where the datasets are written once and reused")
    parser.add_argument("--larger", type=int, default=None, metavar="YEAR",
                        help="also a dataset from this year to mid-2024 (2008: three times the years)")
    parser.add_argument("--s3", type=int, default=0, metavar="N",
                        help="also on a local S3 server, with N securities of the first dataset")
    args = parser.parse_args()
    folder = Path(args.folder)
    folder.mkdir(parents=True, exist_ok=True)
    end = "2024-06-28"
    with open("/proc/loadavg") as load:
        print(f"load average before: {load.read().split()[:3]}")

    first = dataset(folder, "2019-01-01", end)
    calendar = releases("2019-01-01", end)
    calendar_path = folder / "releases_2019.pkl"
    calendar.to_pickle(calendar_path)
    print(f"releases: {len(calendar)} ({', '.join(EVENTS)}), windows {PRE} to {POST} minutes")
    figures, outs = {}, []
    for road in ["ours", "whole", "pyarrow.dataset"]:
        outs.append(folder / f"summary_{road}.pkl")
        figures[road] = run(road, str(first), calendar_path, outs[-1])
    same_summaries(outs)
    print(f"bars kept by ours: {figures['ours']['bars']:,}; whole files: {figures['whole']['bars']:,}")
    report(f"local folder, {first.name}", figures, size(first))
    print(f"  footers: {mb(footers(first))} ({footers(first) / size(first):.1%} of the dataset); "
          f"the windows' rows: {figures['ours']['bars'] / figures['whole']['bars']:.2%} of the bars")

    if args.larger:
        larger = dataset(folder, f"{args.larger}-01-01", end)
        all_years = folder / f"releases_{args.larger}.pkl"
        releases(f"{args.larger}-01-01", end).to_pickle(all_years)
        wide = {}
        outs = [folder / "summary_larger_same.pkl"]
        wide["ours, 2019 releases"] = run("ours", str(larger), calendar_path, outs[0])
        same_summaries([outs[0], folder / "summary_ours.pkl"])
        wide["ours, all releases"] = run("ours", str(larger), all_years, folder / "summary_larger_ours.pkl")
        report(f"local folder, {larger.name}", wide, size(larger))
        print(f"  footers: {mb(footers(larger))} ({footers(larger) / size(larger):.1%} of the dataset)")

    if args.s3:
        from s3_server import S3Server

        from orvane_data import bar_store

        from orvane_data.simulated import securities as master

        # the currencies trade at the releases' minutes, the New York
        # equities open an hour after them
        chosen = [master.lookup(name).figi for name in (CURRENCIES + NEW_YORK)[:args.s3]]
        files = [first / f"security={figi}" / bar_store.FILE_NAME for figi in chosen]
        with S3Server() as server:
            client = server.client()
            client.create_bucket(Bucket="orvane-bench-windows")
            for path in files:
                client.upload_file(str(path), "orvane-bench-windows", f"minute/{path.parent.name}/{path.name}")
            options = {"key": "testing", "secret": "testing", "client_kwargs": {"endpoint_url": server.url}}
            env = {**os.environ, **server.env}
            figures, outs = {}, []
            for road in ["ours", "whole", "pyarrow.dataset"]:
                outs.append(folder / f"summary_s3_{road}.pkl")
                figures[road] = run(road, "s3://orvane-bench-windows/minute", calendar_path, outs[-1], options, env)
            same_summaries(outs)
            report(f"local S3 server, {len(files)} securities", figures, sum(p.stat().st_size for p in files),
                   on_s3=True)
    with open("/proc/loadavg") as load:
        print(f"\nload average after: {load.read().split()[:3]}")


if __name__ == "__main__":
    main()
