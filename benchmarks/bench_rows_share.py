"""The averages' rows' share at every size, and the simple mean's against
bottleneck's raw kernel.

The rows' share of a call on N rows is its time less the time of the same
call on 20 rows of the same index type: what the kernel and the per-row work
around it cost, the call's fixed cost taken out. Beside the simple mean's it
prints bottleneck's `move_mean` called on the bare numpy values (its kernel
and its result's allocation, no Series), and that time over ours (above 1:
ours faster). Timings are interleaved best-of-N, as bench_peers_by_size.py
times.

    PYTHONPATH=src python3 benchmarks/bench_rows_share.py
    PYTHONPATH=src python3 benchmarks/bench_rows_share.py --rows 1e3 1e4 --repeats 9
"""

import argparse

from bench_peers import bn
from bench_peers_by_size import AVERAGES, best_times, prices
from orvane_data.ta import overlap


def _call(name, length):
    return lambda s: getattr(overlap, name)(s, length)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, nargs="+", default=[1e3, 1e4, 1e5, 1e6])
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    calls = [(f"{name}({length})", _call(name, length)) for name, length in AVERAGES]
    short = best_times(calls, prices(20), args.repeats)
    print("rows' share per call (µs): a call on N rows less one on 20 rows")
    print("| rows | " + " | ".join(name for name, _ in calls) + " | bottleneck move_mean(10), raw | its time / sma(10)'s share |")
    print("|---|" + "---|" * (len(calls) + 2))
    for rows in map(int, args.rows):
        s = prices(rows)
        values = s.to_numpy()
        raw = [("raw", lambda s: bn.move_mean(values, 10))] if bn else []
        best = best_times(calls + raw, s, args.repeats)
        share = {name: best[name] - short[name] for name, _ in calls}
        cells = [f"{share[name] * 1e6:,.2f}" for name, _ in calls]
        if bn:
            cells += [f"{best['raw'] * 1e6:,.2f}", f"{best['raw'] / share['sma(10)']:.2f}"]
        else:
            cells += ["—", "—"]
        print(f"| {rows:,d} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
