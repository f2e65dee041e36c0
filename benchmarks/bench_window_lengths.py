"""How each average's cost grows with its window length.

On one series (a million rows by default), each average's time per call at
lengths from 20 to 100,000, printed as its ratio to the same average's time
at length 20, and the Hull mean's time over the weighted mean's at the same
length (the Hull mean runs three weighted means: about 2 to 3 is its floor).
Timings are interleaved best-of-N, in one run.

    PYTHONPATH=src python3 benchmarks/bench_window_lengths.py
    PYTHONPATH=src python3 benchmarks/bench_window_lengths.py --rows 1e5 --repeats 3
"""

import argparse
import time

from bench_peers_by_size import prices
from orvane_data.ta import overlap

AVERAGES = ("sma", "ema", "rma", "wma", "dema", "tema", "hma")
LENGTHS = (20, 200, 1_000, 1_025, 5_000, 20_000, 100_000)


def best_of(fn, repeats):
    best = float("inf")
    kept = None
    for _ in range(repeats):
        start = time.perf_counter()
        kept = fn()
        best = min(best, time.perf_counter() - start)
    del kept
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, default=1e6)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    s = prices(int(args.rows))
    lengths = [length for length in LENGTHS if length <= len(s)]
    times = {(name, length): float("inf") for name in AVERAGES for length in lengths}
    for _ in range(args.repeats):
        for length in lengths:
            for name in AVERAGES:
                fn = getattr(overlap, name)
                times[name, length] = min(times[name, length], best_of(lambda: fn(s, length), 1))
    print(f"time at each length / time at length 20, {len(s):,d} rows (ms at length 20)")
    print("| average | " + " | ".join(f"{length:,d}" for length in lengths) + " |")
    print("|---|" + "---|" * len(lengths))
    for name in AVERAGES:
        base = times[name, 20]
        cells = [f"{times[name, length] / base:.2f}" for length in lengths]
        print(f"| {name} ({base * 1e3:.2f} ms) | " + " | ".join(cells) + " |")
    cells = [f"{times['hma', length] / times['wma', length]:.2f}" for length in lengths]
    print("| hma(L) / wma(L) | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
