"""How far each library's rolling mean lies from the exact answer.

For every window the reference is its exactly rounded mean (the exact sum of
the window's finite values over their count, rounded once). The figure is the
largest error over all windows, in units of the window's mean absolute value,
on the series of tests/python/exact_means.py: prices around 1e4, small
returns with jumps the next row takes back (window sums that cancel), a walk
that crosses zero, prices with runs of NaN (min_periods = length // 2 there;
peers without a minimum count are left out of that row), and long runs of
repeated values of magnitudes from 1e-3 to 1e6.

    PYTHONPATH=src python3 benchmarks/accuracy_peers.py
    PYTHONPATH=src python3 benchmarks/accuracy_peers.py --rows 20000 --lengths 10 200
"""

import argparse
import pathlib
import sys

import numpy as np
import pandas as pd

from bench_peers import bn, numbagg, pl, talib
from orvane_data.ta import overlap

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from exact_means import accuracy_cases, largest_error  # noqa: E402
from reference import pd_sma  # noqa: E402


def contenders(length, min_periods):
    """name -> function of the values giving the rolling mean, or None when
    the library cannot take this minimum count."""
    need = min_periods or length
    return {
        "ours": lambda a: overlap.sma(pd.Series(a), length, min_periods=min_periods),
        "pandas": lambda a: pd_sma(pd.Series(a), length, min_periods=need),
        "bottleneck": bn and (lambda a: bn.move_mean(a, length, min_count=need)),
        "TA-Lib": talib and min_periods is None and (lambda a: talib.SMA(a, length)),
        "polars": pl and (lambda a: pl.Series(a).fill_nan(None).rolling_mean(length, min_samples=need).to_numpy()),
        "numbagg": numbagg and (lambda a: numbagg.move_mean(a, window=length, min_count=need)),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=150_000)
    parser.add_argument("--lengths", type=int, nargs="+", default=[10, 64, 200, 1_000, 1_024, 10_000, 100_000])
    args = parser.parse_args()
    cases = accuracy_cases(args.rows)
    names = list(contenders(10, None))
    print(f"largest error / window mean |value|, {args.rows:,d} rows")
    print("| series | length | " + " | ".join(names) + " |")
    print("|---|---|" + "---|" * len(names))
    for case, values in cases.items():
        for length in args.lengths:
            min_periods = max(1, length // 2) if case == "NaN runs" else None
            cells = []
            for name, fn in contenders(length, min_periods).items():
                if not fn:
                    cells.append("—")
                    continue
                result = np.asarray(fn(values), dtype=float)
                cells.append(f"{largest_error(result, values, length, min_periods):.1e}")
            print(f"| {case} | {length} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
