"""Where a small call of an average spends its time.

On a Series of 1,000 rows with a DatetimeIndex, the time per call of each
average beside the pandas operations every such call makes, timed alone in
the same run (interleaved best-of-N, as bench_peers_by_size.py times): the
public Series constructor of the result (by position, as the averages call
it, and by keywords), the input's values as the averages read them (on
pandas 3 `__array__(None, False)`, which hands out only numbers held as they
are, so the dtype is not read; `__array__()` after the dtype on pandas 2),
`to_numpy()` and the dtype beside them; and the private constructor road
that the package does not take, for its figure. The kernels' own share is
the call's time on 1,000 rows less its time on 20 rows of the same index
type.

    PYTHONPATH=src python3 benchmarks/bench_call_parts.py
"""

import argparse

import numpy as np
import pandas as pd

from bench_peers_by_size import best_times, prices
from orvane_data.ta import overlap

AVERAGES = [("sma", 10), ("ema", 10), ("wma", 20), ("dema", 10), ("tema", 10), ("hma", 20)]


PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3


def parts(s):
    values = s.to_numpy()
    mgr_series = pd.Series(values, index=s.index, copy=False)
    no_copy = (None, False) if PANDAS_3 else ()
    return [
        ("public constructor, by position, named", lambda s: pd.Series(values, s.index, None, "SMA_10", False)),
        ("the same by keywords", lambda s: pd.Series(values, index=s.index, name="SMA_10", copy=False)),
        ("Series.__array__(None, False)" if PANDAS_3 else "Series.__array__()", lambda s: s.__array__(*no_copy)),
        ("Series.to_numpy()", lambda s: s.to_numpy()),
        ("Series.dtype", lambda s: s.dtype),
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
