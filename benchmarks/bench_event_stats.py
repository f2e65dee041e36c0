"""The event study's statistics on a universe: the summary with every column
and the surprise response, against pandas' mean, std and count by group.

Builds a universe study (by default 2,000 securities x 300 releases of two
event kinds x 16 minutes = 9.6 million moves, a few missing, each release
with a surprise), then times, best of N, as a user calls them:

- pandas: ``moves.groupby(["EVENT_NAME", "key", "time_diff"])["move_bps"]
  .agg(["mean", "std", "count"])``;
- ``summarize_moves(moves)``: mean, median, quartiles, count, mean size,
  standard deviation, standard error, t test and interval, sign test;
- ``surprise_response(moves)``: the standardized surprise over distinct
  releases and a least-squares fit with HC1 errors per group and minute;
- the evidence beside them: the summary pooled over securities with its
  errors clustered by release (``by=["EVENT_NAME"]``), the joint response to
  every kind's surprise (``joint=True``), good and bad news apart
  (``asymmetric=True``) and the response clustered by release
  (``cluster="release"``).

It prints each time and the ratio pandas time / our time (above 1: ours is
faster), by the wall clock and by the process's CPU time (both sides run on
one thread, so on a machine busy with other work the CPU time is the steadier
figure), and checks the shared columns against pandas first.

    PYTHONPATH=src python3 benchmarks/bench_event_stats.py [--securities 2000] [--releases 300] [--repeats 3]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from orvane_data.event_study import summarize_moves, surprise_response

KEYS = ["EVENT_NAME", "key", "time_diff"]


def universe(securities: int, releases: int, seed: int = 0) -> pd.DataFrame:
    """Moves in the order event_moves gives them: release by release, security by security, minute by minute."""
    rng = np.random.default_rng(seed)
    minutes = np.arange(-5, 11)
    release = np.repeat(np.arange(releases), securities * len(minutes))
    names = np.array(["NFP", "CPI"])[release % 2]
    stamps = pd.Timestamp("2001-01-05 13:30", tz="UTC") + pd.to_timedelta(release * 15, unit="D")
    surprise = rng.normal(0.0, 1.0, releases)[release]
    keys = np.array([f"SEC{k:05d}" for k in range(securities)])
    key = np.tile(np.repeat(keys, len(minutes)), releases)
    time_diff = np.tile(minutes, securities * releases)
    move = np.where(time_diff == -1, 0.0, 3.0 * surprise * (time_diff >= 0) + rng.normal(0.0, 5.0, len(release)))
    move[rng.random(len(move)) < 0.01] = np.nan
    return pd.DataFrame({"EVENT_NAME": pd.array(names, dtype="str"), "event_datetime": stamps,
                         "key": pd.array(key, dtype="str"), "time_diff": time_diff, "move_bps": move,
                         "surprise": surprise})


def best(fn, repeats: int) -> tuple[tuple[float, float], object]:
    """The least wall-clock and CPU seconds of `repeats` calls, and the result."""
    walls, cpus, result = [], [], None
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.process_time()
        result = fn()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return (min(walls), min(cpus)), result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--securities", type=int, default=2000)
    parser.add_argument("--releases", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    moves = universe(args.securities, args.releases)
    print(f"{len(moves):,} moves: {args.securities} securities x {args.releases} releases x 16 minutes")

    pandas_time, expected = best(
        lambda: moves.groupby(KEYS)["move_bps"].agg(["mean", "std", "count"]), args.repeats)
    summary_time, summary = best(lambda: summarize_moves(moves), args.repeats)
    response_time, response = best(lambda: surprise_response(moves), args.repeats)
    evidence = {
        "summary pooled, clustered by release:": lambda: summarize_moves(moves, by=["EVENT_NAME"]),
        "response, joint:": lambda: surprise_response(moves, joint=True),
        "response, asymmetric:": lambda: surprise_response(moves, asymmetric=True),
        "response, clustered by release:": lambda: surprise_response(moves, cluster="release"),
    }
    evidence_times = {name: best(fn, args.repeats)[0] for name, fn in evidence.items()}

    np.testing.assert_allclose(summary["mean_bps"], expected["mean"], rtol=1e-9)
    np.testing.assert_allclose(summary["std_bps"], expected["std"], rtol=1e-9, equal_nan=True)
    assert (summary["count"].to_numpy() == expected["count"].to_numpy()).all()
    assert len(response) == len(summary)

    print("                                        wall        CPU    ratio wall, CPU")
    print(f"pandas groupby agg(mean, std, count): {pandas_time[0]:7.3f} s  {pandas_time[1]:7.3f} s")
    timed = [("summarize_moves, every column:", summary_time), ("surprise_response:", response_time),
             *evidence_times.items()]
    for name, (wall, cpu) in timed:
        print(f"{name:37s} {wall:7.3f} s  {cpu:7.3f} s   {pandas_time[0] / wall:5.2f} {pandas_time[1] / cpu:5.2f}")


if __name__ == "__main__":
    main()
