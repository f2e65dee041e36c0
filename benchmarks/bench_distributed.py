"""The event study on Dask workers against the same study in one process.

Writes, once, a Parquet dataset of minute bars from the simulated intraday
service (25 New York equities and indices and 4 currencies, 2019-01-01 to
2024-06-28: about 21.6 million bars, one file per security) into a temporary
folder that later runs reuse, fetches the US and euro-area releases of those
years from the simulated query service, and then runs the same event study
three ways, each in fresh processes:

- one process: the whole dataset read with pandas, then
  ``filter_bars_around_events``, ``event_moves``, ``summarize_moves``; once
  with every bar column (as the single-process study holds its bars) and
  once with only the columns the summary needs, which is what
  ``event_summary`` reads;
- ``orvane_data.distributed.event_summary`` on a LocalCluster of one worker;
- the same on two workers (this machine's two cores), and again with
  ``ARROW_DEFAULT_MEMORY_POOL=system`` in the workers' environment.

The three summaries must be equal. Printed: the wall times and their ratios,
and memory: the one process's peak resident size, each worker's peak
resident size sampled every 20 ms during the run (and above its size when
idle after a warm-up study of the smallest security, which loads the code), next to the in-memory size of the largest partition (one file, one
security) and of the whole dataset, both with the columns read.

    PYTHONPATH=src python3 benchmarks/bench_distributed.py [--folder DIR] [--years 2019 2024]

The machine is shared: run it once, not in a loop. Generating the dataset
takes about two minutes; each road of the study under a minute or two.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pandas as pd

NEW_YORK = [
    "SPX Index", "NDX Index", "INDU Index", "AAPL US Equity", "MSFT US Equity", "IBM US Equity",
    "NVDA US Equity", "AMZN US Equity", "GOOGL US Equity", "META US Equity", "TSLA US Equity",
    "JPM US Equity", "INTC US Equity", "AMD US Equity", "QCOM US Equity", "AVGO US Equity",
    "CSCO US Equity", "ORCL US Equity", "WMT US Equity", "KO US Equity", "F US Equity", "GM US Equity",
    "BA US Equity", "MU US Equity", "TXN US Equity",
]
CURRENCIES = ["JPY Curncy", "EUR Curncy", "GBP Curncy", "AUD Curncy"]
EVENTS = ["NFP TCH Index", "USURTOT Index", "CPI YOY Index", "CPI CHNG Index", "RSTAMOM Index",
          "INJCJC Index", "FDTR Index", "ECCPEMUY Index", "EURR002W Index"]


def dataset(folder: Path, start: str, end: str) -> Path:
    from orvane_data import bar_store

    root = folder / f"bars_{start}_{end}"
    done = root / "_complete"
    if done.exists():
        print(f"dataset: reusing {root}")
        return root
    print(f"dataset: writing {len(NEW_YORK) + len(CURRENCIES)} securities, {start} to {end}, into {root}")
    began = time.perf_counter()
    bar_store.write_simulated_bars(str(root), NEW_YORK + CURRENCIES, start, end)
    done.write_text("")
    print(f"dataset: written in {time.perf_counter() - began:.0f} s")
    return root


def calendar(start: str, end: str) -> pd.DataFrame:
    from orvane_data import simulated

    simulated.activate()
    from orvane_data.from_bqia import query_kit

    return query_kit.get_eco_calendar_data(query_kit.bq, ["US"], start, end, tickers=EVENTS,
                                           event_timezone="America/New_York")


# One process, as the single-process event study runs: everything in memory.
SINGLE = """
import json, resource, sys, time
import pandas as pd
from orvane_data.event_study import event_moves, summarize_moves
from orvane_data.from_bqia.bar_kit import filter_bars_around_events
from orvane_data import bar_store
root, calendar_path, out = sys.argv[1:4]
columns = json.loads(sys.argv[4])
calendar = pd.read_pickle(calendar_path)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
began = time.perf_counter()
bars = bar_store.load_bars(root, columns=columns)
summary = summarize_moves(event_moves(filter_bars_around_events(bars, calendar)), by=["EVENT_NAME", "key"])
seconds = time.perf_counter() - began
summary.to_pickle(out)
print(json.dumps({"seconds": seconds, "bars": len(bars), "bars_bytes": int(bars.memory_usage(deep=True).sum()),
                  "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  "rss_before": before * 1024}))
"""


def single_process(root: Path, calendar_path: Path, out: Path, columns=None) -> dict:
    result = subprocess.run([sys.executable, "-c", SINGLE, str(root), str(calendar_path), str(out),
                             json.dumps(columns)], check=True, capture_output=True, text=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


class RssSampler:
    """Peak resident size of some processes, sampled on a thread."""

    def __init__(self, pids, interval=0.02):
        import psutil

        self.processes = {pid: psutil.Process(pid) for pid in pids}
        self.peak = {pid: p.memory_info().rss for pid, p in self.processes.items()}
        self.idle = dict(self.peak)
        self.interval = interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            for pid, process in self.processes.items():
                try:
                    self.peak[pid] = max(self.peak[pid], process.memory_info().rss)
                except Exception:
                    pass
            self._stop.wait(self.interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def on_cluster(root: Path, cal: pd.DataFrame, workers: int,
               environ: dict | None = None) -> tuple[float, pd.DataFrame, RssSampler]:
    from distributed import Client, LocalCluster

    from orvane_data import distributed as od

    saved = {name: os.environ.get(name) for name in environ or {}}
    os.environ.update(environ or {})  # the workers inherit it
    try:
        return _on_cluster(root, cal, workers, Client, LocalCluster, od)
    finally:
        for name, value in saved.items():
            os.environ.pop(name) if value is None else os.environ.__setitem__(name, value)


def _on_cluster(root, cal, workers, Client, LocalCluster, od):
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        # a warm cluster, as a running one is: the code every task needs is loaded
        # by a first study of the smallest security before the clock starts
        smallest = min(root.glob("security=*/*.parquet"), key=lambda p: p.stat().st_size)
        od.event_summary(str(root), cal, securities=[smallest.parent.name.split("=", 1)[1]], scheduler=client)
        pids = client.run(os.getpid).values()
        with RssSampler(pids) as sampler:
            began = time.perf_counter()
            summary = od.event_summary(str(root), cal, scheduler=client)
            seconds = time.perf_counter() - began
    return seconds, summary, sampler


def mib(n: float) -> str:
    return f"{n / 2**20:,.0f} MiB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", default=os.path.join(tempfile.gettempdir(), "orvane_bench_distributed"),
                        help="where the dataset is written once and reused")
    parser.add_argument("--years", nargs=2, type=int, default=[2019, 2024], metavar=("FIRST", "LAST"))
    args = parser.parse_args()
    from orvane_data.simulated import calendar as release_schedule

    start = f"{args.years[0]}-01-01"
    end = min(f"{args.years[1]}-12-31", release_schedule.TODAY.isoformat())
    folder = Path(args.folder)
    folder.mkdir(parents=True, exist_ok=True)
    root = dataset(folder, start, end)

    from orvane_data import bar_store

    cal = calendar(start, end)
    calendar_path = folder / "calendar.pkl"
    cal.to_pickle(calendar_path)
    # event_summary reads these columns only; the one process is timed both ways
    needed = ["datetime", "key", "close"]
    largest = max(root.glob("security=*/*.parquet"), key=lambda p: p.stat().st_size)
    security_bytes = bar_store.load_bars(str(root), securities=[largest.parent.name.split("=", 1)[1]],
                                         columns=needed).memory_usage(deep=True).sum()
    # the partitions as the workers get them (event_summary turns dask's partition
    # tuning off, so one file each), measured in memory
    import dask

    from orvane_data import distributed as od

    with dask.config.set({"optimization.tune.active": False}):
        partitions = od.read_bars(str(root), columns=needed).optimize()
        sizes = partitions.map_partitions(lambda p: pd.Series([p.memory_usage(deep=True).sum()])) \
            .compute(scheduler="sync")
    partition_bytes = int(sizes.max())
    disk = sum(p.stat().st_size for p in root.glob("security=*/*.parquet"))

    print(f"calendar: {len(cal)} releases of {cal['EVENT_NAME'].nunique()} kinds")
    whole = single_process(root, calendar_path, folder / "summary_single.pkl")
    single_summary = pd.read_pickle(folder / "summary_single.pkl")
    one = single_process(root, calendar_path, folder / "summary_single_needed.pkl", needed)
    pd.testing.assert_frame_equal(pd.read_pickle(folder / "summary_single_needed.pkl"), single_summary)
    print(f"bars: {one['bars']:,} in {len(list(root.glob('security=*')))} securities; {mib(disk)} on disk; "
          f"in memory {mib(whole['bars_bytes'])} with every column, {mib(one['bars_bytes'])} with "
          f"{', '.join(needed)}; largest security {mib(security_bytes)} with those")
    print(f"partitions: {partitions.npartitions}, largest {mib(partition_bytes)} in memory")
    print(f"one process, every column: {whole['seconds']:7.1f} s, peak RSS {mib(whole['peak_rss'])}")
    print(f"one process, same columns: {one['seconds']:7.1f} s, peak RSS {mib(one['peak_rss'])}")

    runs, worst_above = {}, {}
    # the last run gives pyarrow the system allocator instead of its own pool,
    # which keeps freed pages: the workers' resident size then follows their data
    for label, workers, environ in [("1 worker ", 1, None), ("2 workers", 2, None),
                                    ("2 workers, system allocator", 2, {"ARROW_DEFAULT_MEMORY_POOL": "system"})]:
        seconds, summary, sampler = on_cluster(root, cal, workers, environ)
        pd.testing.assert_frame_equal(summary, single_summary)
        runs[label] = seconds
        peaks = sorted(sampler.peak.values())
        above = sorted(sampler.peak[p] - sampler.idle[p] for p in sampler.peak)
        print(f"dask, {label}: {seconds:7.1f} s; "
              f"worker peak RSS {', '.join(mib(p) for p in peaks)} "
              f"(above idle {', '.join(mib(a) for a in above)}); summary equal to one process's")
        worst_above[label] = above[-1]

    print()
    print(f"speed-up, two workers over one process (every column): {whole['seconds'] / runs['2 workers']:.2f}x")
    print(f"speed-up, two workers over one process (same columns):  {one['seconds'] / runs['2 workers']:.2f}x")
    print(f"speed-up, two workers over one worker:                  {runs['1 worker '] / runs['2 workers']:.2f}x")
    for label in ("2 workers", "2 workers, system allocator"):
        print(f"{label}: worker peak above idle / largest partition {worst_above[label] / partition_bytes:.2f}, "
              f"/ dataset {worst_above[label] / one['bars_bytes']:.3f} (both in memory, columns read)")
    print(f"one process's peak RSS / dataset in memory:          {one['peak_rss'] / one['bars_bytes']:.2f}"
          " (same columns)")


if __name__ == "__main__":
    main()
