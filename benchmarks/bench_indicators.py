"""The momentum, volatility, volume and trend indicators and the strategy
runner against TA-Lib, called the way a user calls both: pandas Series in,
pandas objects out (TA-Lib's functions return Series when given Series).

Four figures, each a ratio measured in this run:

1. each indicator, TA-Lib's time over ours (above 1: we lead), from 1,000 to
   10 M rows;
2. run_strategy(frame, CommonStrategy) on 1 M rows against the same results
   from TA-Lib's functions (its ADX, PLUS_DI and MINUS_DI for our adx frame;
   TA-Lib's calls only, not the frame they would be gathered into);
3. run_strategy(..., by="key") on 2,000 securities x 2,500 rows, without an
   executor over with a two-thread pool;
4. with --kernels, each indicator's rows' share (a call on N rows less a call
   on 30 rows, the fewest macd computes on, so the per-call cost falls out) over TA-Lib's own function on
   numpy arrays (its kernel with the least around it), from 1,000 to 10 M
   rows (below 1: our rows cost less than its whole kernel call).

Timings are interleaved best-of-N: every repeat runs each contender once, in
turn, so a change of load on a shared machine reaches both. The indicators
are timed as bench_peers_by_size.py times the averages (Series with a
DatetimeIndex in, results kept alive, warm calls).

    PYTHONPATH=src python3 benchmarks/bench_indicators.py
    PYTHONPATH=src python3 benchmarks/bench_indicators.py --sizes 1e3 1e5 --repeats 5 --skip-universe
    PYTHONPATH=src python3 benchmarks/bench_indicators.py --kernels
"""

import argparse
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import talib

from bench_peers_by_size import best_times
from orvane_data.ta import momentum, trend, volatility, volume
from orvane_data.ta.runner import run_strategy
from orvane_data.ta.strategy import CommonStrategy


def bars(rows, seed=7):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, rows)))
    high = close * (1 + rng.uniform(0, 0.01, rows))
    low = close * (1 - rng.uniform(0, 0.01, rows))
    vol = rng.integers(100, 10_000, rows).astype(float)
    index = pd.date_range("2000-01-03", periods=rows, freq="min")
    return pd.DataFrame({"open": close, "high": high, "low": low, "close": close, "volume": vol}, index=index)


# (ours, TA-Lib's), each a function of the columns (Series on the bars'
# DatetimeIndex, by name)
PAIRS = {
    "rsi": (lambda f: momentum.rsi(f["close"]), lambda f: talib.RSI(f["close"], 14)),
    "macd": (lambda f: momentum.macd(f["close"]), lambda f: talib.MACD(f["close"], 12, 26, 9)),
    "stoch": (
        lambda f: momentum.stoch(f["high"], f["low"], f["close"]),
        lambda f: talib.STOCH(f["high"], f["low"], f["close"], 14, 3, 0, 3, 0),
    ),
    "bbands": (lambda f: volatility.bbands(f["close"]), lambda f: talib.BBANDS(f["close"], 20, 2.0, 2.0, 0)),
    "atr": (
        lambda f: volatility.atr(f["high"], f["low"], f["close"]),
        lambda f: talib.ATR(f["high"], f["low"], f["close"], 14),
    ),
    "obv": (lambda f: volume.obv(f["close"], f["volume"]), lambda f: talib.OBV(f["close"], f["volume"])),
    "adx": (
        lambda f: trend.adx(f["high"], f["low"], f["close"]),
        lambda f: (
            talib.ADX(f["high"], f["low"], f["close"], 14),
            talib.PLUS_DI(f["high"], f["low"], f["close"], 14),
            talib.MINUS_DI(f["high"], f["low"], f["close"], 14),
        ),
    ),
}


# TA-Lib's functions on the columns' numpy arrays
RAW = {
    "rsi": lambda a: talib.RSI(a["close"], 14),
    "macd": lambda a: talib.MACD(a["close"], 12, 26, 9),
    "stoch": lambda a: talib.STOCH(a["high"], a["low"], a["close"], 14, 3, 0, 3, 0),
    "bbands": lambda a: talib.BBANDS(a["close"], 20, 2.0, 2.0, 0),
    "atr": lambda a: talib.ATR(a["high"], a["low"], a["close"], 14),
    "obv": lambda a: talib.OBV(a["close"], a["volume"]),
    "adx": lambda a: (
        talib.ADX(a["high"], a["low"], a["close"], 14),
        talib.PLUS_DI(a["high"], a["low"], a["close"], 14),
        talib.MINUS_DI(a["high"], a["low"], a["close"], 14),
    ),
}


def talib_common(f):
    h, l, c, v = f["high"], f["low"], f["close"], f["volume"]
    out = [talib.SMA(c, n) for n in (10, 20, 50, 200)] + [talib.EMA(c, 12), talib.EMA(c, 26)]
    out += [talib.RSI(c, 14), talib.MACD(c, 12, 26, 9), talib.BBANDS(c, 20, 2.0, 2.0, 0)]
    out += [talib.ATR(h, l, c, 14), talib.OBV(c, v), talib.STOCH(h, l, c, 14, 3, 0, 3, 0)]
    out += [talib.ADX(h, l, c, 14), talib.PLUS_DI(h, l, c, 14), talib.MINUS_DI(h, l, c, 14)]
    return out


def best_of(repeats, *calls):
    """Interleaved best-of-`repeats` seconds of each call (each run often
    enough per repeat to take about 20 ms)."""
    loops = []
    for call in calls:
        start = time.perf_counter()
        call()
        took = time.perf_counter() - start
        loops.append(max(1, int(0.02 / max(took, 1e-9))))
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            for _ in range(loops[i]):
                call()
            best[i] = min(best[i], (time.perf_counter() - start) / loops[i])
    return best


def indicators(sizes, repeats):
    """As bench_peers_by_size.py times the averages: Series with a
    DatetimeIndex in, each result kept alive until the same contender's next
    call replaces it, warm calls interleaved best-of-N."""
    print("TA-Lib's time over ours (above 1: ours leads), pandas Series in and out")
    print(f"{'rows':>12} " + " ".join(f"{name:>8}" for name in PAIRS))
    for rows in sizes:
        f = bars(rows)
        columns = {name: f[name] for name in f.columns}
        ratios = []
        for ours, theirs in PAIRS.values():
            best = best_times([("ours", ours), ("talib", theirs)], columns,
                              repeats if rows < 5_000_000 else max(2, repeats // 2))
            ratios.append(best["talib"] / best["ours"])
        print(f"{rows:>12,} " + " ".join(f"{r:>8.2f}" for r in ratios))


def kernel_shares(sizes, repeats):
    print("Our rows' share (a call on N rows less one on 30) over TA-Lib's function on numpy arrays"
          " (below 1: ours costs less)")
    print(f"{'rows':>12} " + " ".join(f"{name:>8}" for name in PAIRS))
    small = bars(30)
    for rows in sizes:
        f = bars(rows)
        arrays = {name: f[name].to_numpy() for name in f.columns}
        ratios = []
        for name, (ours, _) in PAIRS.items():
            t_ours, t_fixed, t_raw = best_of(repeats if rows < 5_000_000 else max(2, repeats // 2),
                                             lambda: ours(f), lambda: ours(small),
                                             lambda: RAW[name](arrays))
            ratios.append((t_ours - t_fixed) / t_raw)
        print(f"{rows:>12,} " + " ".join(f"{r:>8.2f}" for r in ratios))


def strategy_run(rows, repeats):
    f = bars(rows)
    t_ours, t_theirs = best_of(repeats, lambda: run_strategy(f, CommonStrategy), lambda: talib_common(f))
    print(f"\nrun_strategy(CommonStrategy) on {rows:,} rows: {t_ours * 1e3:.1f} ms, "
          f"TA-Lib's thirteen results {t_theirs * 1e3:.1f} ms, ratio {t_theirs / t_ours:.2f}")


def universe(securities, rows, repeats):
    frame = pd.concat([bars(rows, seed=i).assign(key=f"SEC{i}") for i in range(securities)], ignore_index=True)
    with ThreadPoolExecutor(2) as pool:
        alone, pooled = best_of(repeats, lambda: run_strategy(frame, CommonStrategy, by="key"),
                                lambda: run_strategy(frame, CommonStrategy, by="key", executor=pool))
    print(f"\nby='key' on {securities:,} x {rows:,} rows: {alone:.2f} s alone, {pooled:.2f} s on two "
          f"threads, speed-up {alone / pooled:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", nargs="+", type=float, default=[1e3, 1e4, 1e5, 1e6, 1e7])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--skip-universe", action="store_true")
    parser.add_argument("--kernels", action="store_true", help="only the rows' shares against TA-Lib's kernels")
    args = parser.parse_args()
    if args.kernels:
        kernel_shares([int(n) for n in args.sizes], args.repeats)
        return
    indicators([int(n) for n in args.sizes], args.repeats)
    strategy_run(1_000_000, args.repeats)
    if not args.skip_universe:
        universe(2_000, 2_500, max(2, args.repeats // 2))


if __name__ == "__main__":
    main()
