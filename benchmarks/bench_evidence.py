"""The evidence beyond the averages on a universe: releases that share their
windows, control days before each release, the one-minute returns that
event_moves now adds, and the activity after releases against the control
days, each against pandas' mean, std and count by group on the moves.

Builds a universe study (by default 2,000 securities x 300 releases of two
event kinds x 16 minutes = 9.6 million moves) and the moves of its control
windows. Twenty control days per release would make 192 million control
moves, beyond the memory of a shared machine, so the control frame holds
``--control-days`` days per release (default 1: as many rows as the moves;
the work grows with the rows, not with how they split into days). Then it
times, best of N, as a user calls them:

- pandas: ``moves.groupby(["EVENT_NAME", "key", "time_diff"])["move_bps"]
  .agg(["mean", "std", "count"])``;
- ``event_moves(windows)``: the moves and one-minute returns of every window;
- ``abnormal_activity(moves, control_moves)``: the mean |return|, mean
  squared return and volume against the control's, and the rank test of
  every group and minute;
- ``concurrent_releases(calendar)`` and ``control_events(calendar)`` on the
  universe's calendar (small: their ratios show they cost nothing beside
  the rest).

It prints each time and the ratio pandas time / our time (above 1: ours is
faster), by the wall clock and by the process's CPU time, and checks the
activity's means against pandas first.

    PYTHONPATH=src python3 benchmarks/bench_evidence.py [--securities 2000] [--releases 300] [--control-days 1] [--repeats 3]
"""

from __future__ import annotations

import argparse

import numpy as np
import pandas as pd

from bench_event_stats import best  # the same timing as the statistics beside them
from orvane_data.event_study import abnormal_activity, concurrent_releases, control_events, event_moves

KEYS = ["EVENT_NAME", "key", "time_diff"]


def calendar_of(releases: int) -> pd.DataFrame:
    """Two kinds of release, a week apart at 08:30 New York, every fifth
    payrolls release beside an unemployment-rate release at the same minute."""
    when = pd.Timestamp("2001-01-05 08:30", tz="America/New_York") + pd.to_timedelta(np.arange(releases) * 7, unit="D")
    names = np.array(["NFP", "CPI"])[np.arange(releases) % 2]
    frame = pd.DataFrame({"EVENT_NAME": names, "event_datetime": when, "ACTUAL": 1.0, "surprise": 0.5})
    twins = frame[(frame["EVENT_NAME"] == "NFP") & (np.arange(releases) % 10 == 0)].assign(EVENT_NAME="UNEMP")
    return pd.concat([frame, twins], ignore_index=True)


def windows_of(securities: int, releases: int, seed: int, scale: float) -> pd.DataFrame:
    """Windows in the order filter_bars_around_events gives them: release by
    release, security by security, minute by minute, a few bars missing."""
    rng = np.random.default_rng(seed)
    minutes = np.arange(-5, 11)
    release = np.repeat(np.arange(releases), securities * len(minutes))
    names = np.array(["NFP", "CPI"])[release % 2]
    stamps = pd.Timestamp("2001-01-05 13:30", tz="UTC") + pd.to_timedelta(release * 7, unit="D")
    keys = np.array([f"SEC{k:05d}" for k in range(securities)])
    key = np.tile(np.repeat(keys, len(minutes)), releases)
    time_diff = np.tile(minutes, securities * releases)
    steps = rng.normal(0.0, 5e-4, len(release)) * np.where(time_diff == 0, 3 * scale, 1.0)
    close = 100.0 * np.exp(np.cumsum(steps))
    keep = rng.random(len(release)) > 0.01
    frame = pd.DataFrame({"EVENT_NAME": pd.array(names, dtype="str"), "event_datetime": stamps,
                          "key": pd.array(key, dtype="str"), "time_diff": time_diff, "close": close,
                          "volume": rng.integers(1, 1000, len(release)) * scale})
    return frame[keep].reset_index(drop=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--securities", type=int, default=2000)
    parser.add_argument("--releases", type=int, default=300)
    parser.add_argument("--control-days", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    calendar = calendar_of(args.releases)
    windows = windows_of(args.securities, args.releases, 0, 2.0)
    moves = event_moves(windows)
    control_moves = event_moves(windows_of(args.securities, args.releases * args.control_days, 1, 1.0))
    print(f"{len(moves):,} moves: {args.securities} securities x {args.releases} releases x 16 minutes; "
          f"{len(control_moves):,} control moves ({args.control_days} control day(s) per release)")

    pandas_time, expected = best(lambda: moves.groupby(KEYS)["move_bps"].agg(["mean", "std", "count"]),
                                 args.repeats)
    timed = {
        "event_moves (with ret_1m_bps):": best(lambda: event_moves(windows), args.repeats),
        "abnormal_activity:": best(lambda: abnormal_activity(moves, control_moves), args.repeats),
        "concurrent_releases (calendar):": best(lambda: concurrent_releases(calendar), args.repeats),
        "control_events (calendar, 20 days):": best(lambda: control_events(calendar, 20), args.repeats),
    }
    # abnormal_activity reads two frames: pandas' time over both is the like-for-like figure
    control_time, _ = best(lambda: control_moves.groupby(KEYS)["move_bps"].agg(["mean", "std", "count"]),
                           args.repeats)
    activity = timed["abnormal_activity:"][1]
    sizes = moves.assign(size=moves["ret_1m_bps"].abs()).groupby(KEYS)["size"].mean()
    np.testing.assert_allclose(activity["abs_ret_bps"], sizes, rtol=1e-9)
    assert len(activity) == len(expected)

    print("                                        wall        CPU    ratio wall, CPU")
    print(f"pandas groupby agg(mean, std, count): {pandas_time[0]:7.3f} s  {pandas_time[1]:7.3f} s")
    for name, ((wall, cpu), _) in timed.items():
        print(f"{name:37s} {wall:7.3f} s  {cpu:7.3f} s   {pandas_time[0] / wall:6.2f} {pandas_time[1] / cpu:6.2f}")
    (wall, cpu), _ = timed["abnormal_activity:"]
    both = (pandas_time[0] + control_time[0], pandas_time[1] + control_time[1])
    print(f"pandas groupby agg on moves and control: {both[0]:5.3f} s  {both[1]:7.3f} s")
    print(f"{'abnormal_activity against it:':37s} {wall:7.3f} s  {cpu:7.3f} s   {both[0] / wall:6.2f} {both[1] / cpu:6.2f}")


if __name__ == "__main__":
    main()
