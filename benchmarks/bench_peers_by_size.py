"""Our averages against the fastest peer at every size a notebook calls them.

Each call takes a Series with a DatetimeIndex and gives a Series on that
index, and its result is kept alive until the next call replaces it, as
`df["sma"] = ...` keeps it. The peers, called the way a user calls them:

- TA-Lib's own pandas API (`talib.SMA(series, n)` returns a Series);
- bottleneck on the Series' values, wrapped into a Series without a copy;
- polars on the values, its result wrapped the same way.

For each average and size it prints the fastest peer's time over ours
(above 1: ours faster), with both times. Timings are interleaved best-of-N:
each repeat runs every contender once, in turn, so a change of load on a
shared machine reaches all of them.

    PYTHONPATH=src python3 benchmarks/bench_peers_by_size.py
    PYTHONPATH=src python3 benchmarks/bench_peers_by_size.py --rows 1e3 1e4 --repeats 9
    ORVANE_SIMD=baseline PYTHONPATH=src python3 benchmarks/bench_peers_by_size.py

The kernels' build in use (`ORVANE_SIMD` picks one) and the machine's load
average are printed first.
"""

import argparse
import os
import time

import numpy as np
import pandas as pd

from bench_peers import bn, pl, talib
from orvane_data import _glue
from orvane_data.ta import overlap


def _wrapped(values, s):
    return pd.Series(values, index=s.index, copy=False)


def _pl_wma(s, length):
    w = np.arange(1, length + 1, dtype=float)
    return _wrapped(pl.Series(s.to_numpy()).rolling_sum(length, weights=list(w / w.sum())).to_numpy(), s)


def _pl_ewm(s, **how):
    return _wrapped(pl.Series(s.to_numpy()).ewm_mean(adjust=False, **how).to_numpy(), s)


def _pl_dema(s, length):
    a = pl.Series(s.to_numpy())
    e1 = a.ewm_mean(span=length, adjust=False)
    return _wrapped((2 * e1 - e1.ewm_mean(span=length, adjust=False)).to_numpy(), s)


# (average, length) -> ours, and (peer, function) of the Series
def contenders(name, length):
    ours = lambda s: getattr(overlap, name)(s, length)  # noqa: E731
    peers = {
        "sma": [
            ("talib", talib and (lambda s: talib.SMA(s, length))),
            ("bottleneck", bn and (lambda s: _wrapped(bn.move_mean(s.to_numpy(), length), s))),
            ("polars", pl and (lambda s: _wrapped(pl.Series(s.to_numpy()).rolling_mean(length).to_numpy(), s))),
        ],
        "ema": [
            ("talib", talib and (lambda s: talib.EMA(s, length))),
            ("polars", pl and (lambda s: _pl_ewm(s, span=length))),
        ],
        "rma": [("polars", pl and (lambda s: _pl_ewm(s, alpha=1.0 / length)))],
        "wma": [
            ("talib", talib and (lambda s: talib.WMA(s, length))),
            ("polars", pl and (lambda s: _pl_wma(s, length))),
        ],
        "dema": [
            ("talib", talib and (lambda s: talib.DEMA(s, length))),
            ("polars", pl and (lambda s: _pl_dema(s, length))),
        ],
        "tema": [("talib", talib and (lambda s: talib.TEMA(s, length)))],
        "hma": [("talib", talib and hasattr(talib, "HMA") and (lambda s: talib.HMA(s, length)))],
    }[name]
    return ours, [(peer, fn) for peer, fn in peers if fn]


AVERAGES = [("sma", 10), ("ema", 10), ("rma", 10), ("wma", 20), ("dema", 10), ("tema", 10), ("hma", 20)]


def prices(rows, seed=7):
    rng = np.random.default_rng(seed)
    index = pd.date_range("2000-01-03", periods=rows, freq="min")
    return pd.Series(100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, rows))), index=index, name="close")


def _calls_per_timing(fn, s, kept, name, seconds=0.003):
    """How many calls of `fn` last about `seconds` once it runs warm: the
    first calls of a function (cold caches, the allocator's first arenas)
    can take a hundred times a warm call, and counting from them left a
    timing of a few calls, measuring mostly the caches the previous
    contender had evicted."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            kept[name] = fn(s)
        elapsed = time.perf_counter() - start
        if elapsed >= seconds / 4 or calls >= 1 << 20:
            return max(1, int(calls * seconds / max(elapsed, 1e-9)))
        calls *= 4


def best_times(functions, s, repeats):
    """Interleaved best-of-`repeats` time per call of each function; each
    timing runs enough warm calls to last a few milliseconds, and every
    result is kept until the same function's next call replaces it."""
    kept = {}
    calls = {name: _calls_per_timing(fn, s, kept, name) for name, fn in functions}
    best = {name: float("inf") for name, _ in functions}
    for _ in range(repeats):
        for name, fn in functions:
            start = time.perf_counter()
            for _ in range(calls[name]):
                kept[name] = fn(s)
            best[name] = min(best[name], (time.perf_counter() - start) / calls[name])
    return best


def _time(seconds):
    return f"{seconds * 1e6:,.0f} µs" if seconds < 1e-2 else f"{seconds * 1e3:,.1f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, nargs="+", default=[1e3, 1e4, 1e5, 1e6, 1e7])
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    # a small call's lead is a few per cent: other work on the machine moves
    # a cell's best time by more, so the run says how busy the machine was
    load = os.getloadavg()[0]
    print(f"kernels' build: {_glue.simd()}; load average {load:.1f} on {os.cpu_count()} cores")
    print("fastest peer's time / ours (> 1: ours faster); ours and the fastest peer's time per call")
    print("| rows | " + " | ".join(f"{name}({length})" for name, length in AVERAGES) + " |")
    print("|---|" + "---|" * len(AVERAGES))
    for rows in map(int, args.rows):
        s = prices(rows)
        cells = []
        for name, length in AVERAGES:
            ours, peers = contenders(name, length)
            if not peers:
                cells.append("—")
                continue
            best = best_times([("ours", ours), *peers], s, args.repeats if rows < 5_000_000 else 3)
            peer = min((p for p, _ in peers), key=best.get)
            cells.append(f"{best[peer] / best['ours']:.2f} ({_time(best['ours'])}, {peer} {_time(best[peer])})")
        print(f"| {rows:,d} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
