"""Speed of the overlap indicators against their pandas formulations.

Every figure is a ratio of two timings taken in this run on the same data
(best of several repeats), so it holds on a busy machine as long as the load
does not change within one measurement. See benchmarks/README.md.

    PYTHONPATH=src python3 benchmarks/bench_overlap.py            # 10 million rows
    PYTHONPATH=src python3 benchmarks/bench_overlap.py --rows 1e6  # a quicker look
"""

import argparse
import os
import sys
import threading
import time

import numpy as np
import pandas as pd

from orvane_data.ta import overlap

# the pandas formulations are the tests' own (tests/python/reference.py)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from reference import pd_dema, pd_ema, pd_hlc3, pd_hma, pd_rma, pd_sma, pd_tema, pd_vwap, pd_wma  # noqa: E402


def best(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def best_alternating(first, second, repeats):
    """Best times of two functions run in turns, so that a change of the
    machine's load during the measurement reaches both."""
    times = ([], [])
    for _ in range(repeats):
        for fn, spent in zip((first, second), times):
            start = time.perf_counter()
            fn()
            spent.append(time.perf_counter() - start)
    return min(times[0]), min(times[1])


def prices(rows, seed):
    rng = np.random.default_rng(seed)
    return pd.Series(100.0 * np.exp(np.cumsum(rng.normal(0.0, 1e-4, rows))))


def row(label, ours, theirs, note=""):
    print(f"  {label:<34} {ours * 1e3:>10.2f} ms {theirs * 1e3:>10.2f} ms {theirs / ours:>9.1f}x  {note}")


def large(rows, lengths, repeats, apply_rows):
    close = prices(rows, 1)
    small = close.iloc[:apply_rows].reset_index(drop=True)
    print(f"\nLarge series: {rows:,} rows (rolling-apply formulations on {apply_rows:,} rows)")
    print(f"  {'indicator':<34} {'ours':>13} {'pandas':>13} {'speed-up':>10}")
    dst = np.empty(rows)
    floor = best(lambda: np.copyto(dst, close.to_numpy()), repeats)
    ours = {}
    for length in lengths:
        for name, theirs, data in [
            ("sma", pd_sma, close),
            ("ema", pd_ema, close),
            ("rma", pd_rma, close),
            ("dema", pd_dema, close),
            ("tema", pd_tema, close),
            ("wma", pd_wma, small),
            ("hma", pd_hma, small),
        ]:
            fn = getattr(overlap, name)
            t_ours = best(lambda: fn(data, length), repeats)
            t_theirs = best(lambda: theirs(data, length), 1 if data is small else repeats)
            row(f"{name}({length}) {len(data):,} rows", t_ours, t_theirs)
            if data is close:
                ours[name, length] = t_ours
        ours["wma", length] = best(lambda: overlap.wma(close, length), repeats)
        ours["hma", length] = best(lambda: overlap.hma(close, length), repeats)
    print(f"\n  Against our own averages on {rows:,} rows (time ratio, lower is faster)")
    print(f"  {'':<12}" + "".join(f"{'length ' + str(n):>13}" for n in lengths))
    for label, num, den in [
        ("wma / sma", "wma", "sma"),
        ("hma / wma", "hma", "wma"),
        ("dema / ema", "dema", "ema"),
        ("tema / ema", "tema", "ema"),
    ]:
        print(f"  {label:<12}" + "".join(f"{ours[num, n] / ours[den, n]:>13.2f}" for n in lengths))
    print(f"\n  Against the memory floor (np.copyto of the series: {floor * 1e3:.2f} ms; time ratio)")
    print(f"  {'':<12}" + "".join(f"{'length ' + str(n):>13}" for n in lengths))
    for name in ("sma", "ema", "rma", "wma"):
        print(f"  {name:<12}" + "".join(f"{ours[name, n] / floor:>13.2f}" for n in lengths))


def small_calls(repeats):
    rows = 1000
    close = prices(rows, 2)
    high, low = close * 1.01, close * 0.99
    volume = pd.Series(np.random.default_rng(3).integers(1, 10_000, rows))
    print(f"\nSmall series: {rows:,} rows, time per call (best of {repeats} loops of 20 calls)")
    print(f"  {'indicator':<34} {'ours':>13} {'pandas':>13} {'speed-up':>10}")
    cases = [
        ("sma", lambda: overlap.sma(close, 20), lambda: pd_sma(close, 20)),
        ("ema", lambda: overlap.ema(close, 20), lambda: pd_ema(close, 20)),
        ("rma", lambda: overlap.rma(close, 20), lambda: pd_rma(close, 20)),
        ("wma", lambda: overlap.wma(close, 20), lambda: pd_wma(close, 20)),
        ("dema", lambda: overlap.dema(close, 20), lambda: pd_dema(close, 20)),
        ("tema", lambda: overlap.tema(close, 20), lambda: pd_tema(close, 20)),
        ("hma", lambda: overlap.hma(close, 20), lambda: pd_hma(close, 20)),
        ("hlc3", lambda: overlap.hlc3(high, low, close), lambda: pd_hlc3(high, low, close)),
        ("vwap", lambda: overlap.vwap(high, low, close, volume), lambda: pd_vwap(high, low, close, volume)),
        ("ma('ema')", lambda: overlap.ma("ema", close, length=20), lambda: pd_ema(close, 20)),
    ]
    for label, ours, theirs in cases:
        t_ours = best(lambda: [ours() for _ in range(20)], repeats) / 20
        t_theirs = best(lambda: [theirs() for _ in range(20)], repeats) / 20
        print(f"  {label:<34} {t_ours * 1e6:>10.1f} us {t_theirs * 1e6:>10.1f} us {t_theirs / t_ours:>9.1f}x")


def threads(rows, repeats):
    series = [prices(rows, 10 + i) for i in range(2)]
    outputs = [np.empty(rows) for _ in series]
    print(f"\nTwo threads, one {rows:,}-row series each, against one thread doing both")
    print(f"  {'work':<34} {'1 thread':>13} {'2 threads':>13} {'throughput':>10}")
    cases = [
        ("np.copyto (memory ceiling)", lambda i: np.copyto(outputs[i], series[i].to_numpy())),
        ("sma(50)", lambda i: overlap.sma(series[i], 50)),
        ("ema(50)", lambda i: overlap.ema(series[i], 50)),
        ("ema(50, adjust=True)", lambda i: overlap.ema(series[i], 50, adjust=True)),
        ("wma(50)", lambda i: overlap.wma(series[i], 50)),
        ("hma(50)", lambda i: overlap.hma(series[i], 50)),
    ]
    for label, fn in cases:

        def one_thread():
            for i in range(len(series)):
                fn(i)

        def two_threads():
            workers = [threading.Thread(target=fn, args=(i,)) for i in range(len(series))]
            for w in workers:
                w.start()
            for w in workers:
                w.join()

        t1, t2 = best_alternating(one_thread, two_threads, repeats)
        print(f"  {label:<34} {t1 * 1e3:>10.2f} ms {t2 * 1e3:>10.2f} ms {t1 / t2:>9.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, default=10_000_000, help="rows of the large series")
    parser.add_argument("--apply-rows", type=float, default=200_000, help="rows for the rolling-apply formulations")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--lengths", type=int, nargs="+", default=[10, 50, 200])
    parser.add_argument("--skip", nargs="*", default=[], choices=["large", "small", "threads"])
    args = parser.parse_args()
    rows, apply_rows = int(args.rows), int(min(args.apply_rows, args.rows))
    if "large" not in args.skip:
        large(rows, args.lengths, args.repeats, apply_rows)
    if "small" not in args.skip:
        small_calls(max(args.repeats, 5))
    if "threads" not in args.skip:
        threads(rows, max(args.repeats, 7))


if __name__ == "__main__":
    main()
