"""Where a small call of an average spends its time.

On a Series of 1,000 rows with a DatetimeIndex, the time per call of each
average beside the pandas operations every such call makes, timed alone in
the same run (interleaved best-of-N, as bench_peers_by_size.py times): the
public Series constructor of the result, the input's `dtype` and its values
(`__array__()`, which the averages call; `to_numpy()` beside it), the length
of its index; and the private constructor road that
the package does not take, for its figure. The kernels' own share is the call's time on 1,000 rows less its
time on 20 rows of the same index type.

    PYTHONPATH=src python3 benchmarks/bench_call_parts.py
"""

import argparse

import numpy as np
import pandas as pd

from bench_peers_by_size import best_times, prices
from orvane_data.ta import overlap

AVERAGES = [("sma", 10), ("ema", 10), ("wma", 20), ("dema", 10), ("tema", 10), ("hma", 20)]


def parts(s):
    values = s.to_numpy()
    mgr_series = pd.Series(values, index=s.index, copy=False)
    return [
        ("public constructor, named", lambda s: pd.Series(values, index=s.index, name="SMA_10", copy=False)),
        ("Series.dtype", lambda s: s.dtype),
        ("Series.__array__()", lambda s: s.__array__()),
        ("Series.to_numpy()", lambda s: s.to_numpy()),
        ("len(Series.index)", lambda s: len(s.index)),
        ("new float64 array", lambda s: np.empty(len(values))),
        # private: not taken by the package, timed for its figure only
        ("private constructor road", lambda s: mgr_series._constructor_from_mgr(mgr_series._mgr, mgr_series._mgr.axes)),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    s, short = prices(1_000), prices(20)
    calls = [(name, lambda s, name=name, length=length: getattr(overlap, name)(s, length)) for name, length in AVERAGES]
    best = best_times(calls + parts(s), s, args.repeats)
    best_short = best_times(calls, short, args.repeats)
    print("| part, 1,000 rows | µs per call |")
    print("|---|---|")
    for name, _ in parts(s):
        print(f"| {name} | {best[name] * 1e6:.2f} |")
    print("\n| average | call, 1,000 rows (µs) | call, 20 rows (µs) | rows' share (µs) |")
    print("|---|---|---|---|")
    for name, _ in calls:
        print(f"| {name} | {best[name] * 1e6:.1f} | {best_short[name] * 1e6:.1f} | {(best[name] - best_short[name]) * 1e6:.1f} |")


if __name__ == "__main__":
    main()
