"""Our averages against the libraries an analyst would call instead.

For sma, ema, rma, wma and hma, on three series (prices: a geometric random
walk around 100; returns: normal draws around zero; walk: 100 + cumsum of
normal draws, which crosses zero), at a large and a small size, in one run:

- ns per element of ours, of a plain copy (`np.copyto` into a preallocated
  array: one read and one write, the floor of any of these passes), of a
  copy into a new array (`a.copy()`: the floor of any call that returns a
  new series, which also pays for the system's fresh zeroed pages) and of
  each peer installed (pandas, bottleneck, polars, TA-Lib, numbagg);
- ours / copy and ours / new copy;
- each peer's time over ours (above 1: we are faster).

Timings are interleaved best-of-N: every repeat runs each contender once, in
turn, so a change of load on a shared machine reaches all of them. A peer
whose result differs from ours beyond rounding (after the first 20 windows,
where seeds differ) is marked `~` : it computes another definition and its
ratio is shown but not counted as "fastest of the same definition".

    PYTHONPATH=src python3 benchmarks/bench_peers.py                  # 10 M and 1,000 rows
    PYTHONPATH=src python3 benchmarks/bench_peers.py --rows 1e6 --repeats 3
"""

import argparse
import importlib
import pathlib
import sys
import time

import numpy as np
import pandas as pd

from orvane_data.ta import overlap

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from reference import pd_ema, pd_hma, pd_rma, pd_sma, pd_wma  # noqa: E402

PEERS = ("pandas", "bottleneck", "polars", "talib", "numbagg")


def _optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


bn = _optional("bottleneck")
pl = _optional("polars")
talib = _optional("talib")
numbagg = _optional("numbagg")

# pandas' rolling-apply calls Python once per window: it is timed on this many
# rows and reported per element like the others.
APPLY_ROWS = 200_000


def series_of(kind, rows, seed=7):
    rng = np.random.default_rng(seed)
    if kind == "prices":
        return 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, rows)))
    if kind == "returns":
        return rng.normal(0.0, 0.01, rows)
    if kind == "walk":
        return 100.0 + np.cumsum(rng.normal(0.0, 1.0, rows))
    raise ValueError(kind)


def _weights(length):
    return np.arange(1, length + 1, dtype=float)


def _pl_wma(a, length):
    w = _weights(length)
    return pl.Series(a).rolling_sum(length, weights=list(w / w.sum())).to_numpy()


def contenders(indicator, length):
    """(name, function of (ndarray, Series) -> array-like, rows it is timed on)"""
    alpha_span = 2.0 / (length + 1)
    big = None  # timed on the whole series
    ours = {
        "sma": lambda a, s: overlap.sma(s, length),
        "ema": lambda a, s: overlap.ema(s, length),
        "rma": lambda a, s: overlap.rma(s, length),
        "wma": lambda a, s: overlap.wma(s, length),
        "hma": lambda a, s: overlap.hma(s, length),
    }[indicator]
    peers = {
        "sma": [
            ("pandas", lambda a, s: pd_sma(s, length), big),
            ("bottleneck", bn and (lambda a, s: bn.move_mean(a, length)), big),
            ("polars", pl and (lambda a, s: pl.Series(a).rolling_mean(length).to_numpy()), big),
            ("talib", talib and (lambda a, s: talib.SMA(a, length)), big),
            ("numbagg", numbagg and (lambda a, s: numbagg.move_mean(a, window=length)), big),
        ],
        "ema": [
            ("pandas", lambda a, s: pd_ema(s, length), big),
            ("polars", pl and (lambda a, s: pl.Series(a).ewm_mean(span=length, adjust=False).to_numpy()), big),
            ("talib", talib and (lambda a, s: talib.EMA(a, length)), big),
            ("numbagg", numbagg and (lambda a, s: numbagg.move_exp_nanmean(a, alpha=alpha_span)), big),
        ],
        "rma": [
            ("pandas", lambda a, s: pd_rma(s, length), big),
            ("polars", pl and (lambda a, s: pl.Series(a).ewm_mean(alpha=1.0 / length, adjust=False).to_numpy()), big),
            ("numbagg", numbagg and (lambda a, s: numbagg.move_exp_nanmean(a, alpha=1.0 / length)), big),
        ],
        "wma": [
            ("pandas", lambda a, s: pd_wma(s, length), APPLY_ROWS),
            ("polars", pl and (lambda a, s: _pl_wma(a, length)), big),
            ("talib", talib and (lambda a, s: talib.WMA(a, length)), big),
        ],
        "hma": [
            ("pandas", lambda a, s: pd_hma(s, length), APPLY_ROWS),
            ("talib", talib and (lambda a, s: talib.HMA(a, length)), big),
        ],
    }[indicator]
    return ("ours", ours, big), [(n, f, r) for n, f, r in peers if f]


def same_definition(ours, theirs, length):
    """Whether a peer computes what we compute, past the seeding rows."""
    a = np.asarray(ours, dtype=float)
    b = np.asarray(theirs, dtype=float)
    skip = min(20 * length, len(b) // 2)
    a, b = a[skip : len(b)], b[skip:]
    scale = np.nanmax(np.abs(a)) if np.isfinite(a).any() else 1.0
    return bool(np.allclose(a, b, rtol=0.0, atol=1e-9 * scale, equal_nan=True))


def timed(fn, a, s, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn(a, s)
    return (time.perf_counter() - start) / calls


def measure(indicator, length, kind, rows, repeats):
    data = series_of(kind, rows)
    subsets = {}

    def inputs(limit):
        n = rows if limit is None else min(rows, limit)
        if n not in subsets:
            a = np.ascontiguousarray(data[:n])
            subsets[n] = (a, pd.Series(a))
        return subsets[n]

    ours, peers = contenders(indicator, length)
    dst = np.empty_like(data)
    entries = [("copy", lambda a, s: np.copyto(dst[: len(a)], a), None),
               ("new copy", lambda a, s: a.copy(), None), ours, *peers]
    # small calls are timed in loops long enough for the clock
    calls = max(1, int(2e5 // rows))
    best = {name: float("inf") for name, _, _ in entries}
    for _ in range(repeats):
        for name, fn, limit in entries:
            a, s = inputs(limit)
            best[name] = min(best[name], timed(fn, a, s, calls) / len(a))

    a_full, s_full = inputs(None)
    ours_values = np.asarray(ours[1](a_full, s_full), dtype=float)
    same = {}
    for name, fn, limit in peers:
        a, s = inputs(limit)
        same[name] = same_definition(ours_values, fn(a, s), length)
    return best, same


def report(indicator, length, kind, rows, best, same):
    ours = best["ours"]
    cells = [f"{indicator}({length}) {kind:<7} rows={rows:<9,d}",
             f"copy {best['copy'] * 1e9:6.2f}", f"ours {ours * 1e9:6.2f} ns/el",
             f"ours/copy {ours / best['copy']:5.2f}", f"ours/new copy {ours / best['new copy']:5.2f}"]
    same_peers = []
    for name in PEERS:
        if name not in best:
            continue
        ratio = best[name] / ours
        mark = "" if same[name] else "~"
        cells.append(f"{name}{mark} {best[name] * 1e9:7.2f} ({ratio:5.2f}x)")
        if same[name]:
            same_peers.append(ratio)
    lead = min(same_peers) if same_peers else float("nan")
    cells.append(f"fastest same-definition peer/ours {lead:5.2f}")
    print(" | ".join(cells), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, nargs="+", default=[1e7, 1e3])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--indicators", nargs="+", default=["sma", "ema", "rma", "wma", "hma"])
    parser.add_argument("--kinds", nargs="+", default=["prices", "returns", "walk"])
    args = parser.parse_args()
    lengths = {"sma": 10, "ema": 10, "rma": 14, "wma": 20, "hma": 20}
    installed = [p for p, m in zip(PEERS, (pd, bn, pl, talib, numbagg)) if m is not None]
    print("peers installed:", ", ".join(installed))
    print("figures: ns per element (best of %d, interleaved); (peer time / our time)" % args.repeats)
    for rows in (int(r) for r in args.rows):
        for indicator in args.indicators:
            for kind in args.kinds:
                best, same = measure(indicator, lengths[indicator], kind, rows, args.repeats)
                report(indicator, lengths[indicator], kind, rows, best, same)


if __name__ == "__main__":
    main()
