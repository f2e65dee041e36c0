"""Intraday stamps to naive UTC: the time contract against pandas' own localisation.

For each case the same naive exchange-clock stamps (New York) go through
pandas' vectorised ``tz_localize(zone, ambiguous="infer",
nonexistent="shift_forward").tz_convert("UTC").tz_localize(None)`` and through
the package's function; the results are checked equal and the cost ratio
printed (below 1 means cheaper than pandas):

- ``process_intraday_timestamps`` on one instrument's round-the-clock
  minutes, fall-back nights included;
- ``apply_intraday_index_level`` on the same stamps as one instrument's
  index level;
- ``apply_intraday_index_level`` on 25 instruments sharing a session-hours
  minute grid (every stamp repeats across instruments);
- ``apply_intraday_index_level`` on 4 instruments round the clock, rows in
  time order with the instruments interleaved (pandas cannot read the
  repeated hours from that order, so its figure is for the same stamps one
  instrument after another).

    PYTHONPATH=src python3 benchmarks/bench_clockwork.py [stamps] [repeats]
"""

from __future__ import annotations

import os
import sys
import time

import numpy as np
import pandas as pd

from orvane_data import _clockwork as cw

# the pandas formulations are the tests' own (tests/python/reference.py)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from reference import pandas_utc  # noqa: E402

STAMPS = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
REPEATS = int(sys.argv[2]) if len(sys.argv) > 2 else 3
ZONE = "America/New_York"


def timed(run) -> tuple[float, object]:
    start = time.perf_counter()
    result = run()
    return time.perf_counter() - start, result


def compare(ours, theirs) -> tuple[float, float, object, object]:
    """Best of REPEATS for each, the two measured in turn so that a busy machine slows both."""
    best_ours = best_theirs = float("inf")
    mine = reference = None
    for _ in range(REPEATS):
        t, reference = timed(theirs)
        best_theirs = min(best_theirs, t)
        t, mine = timed(ours)
        best_ours = min(best_ours, t)
    return best_ours, best_theirs, mine, reference


def round_the_clock(n: int) -> pd.DatetimeIndex:
    """One instrument's minutes as the exchange clock shows them: repeated hours appear twice."""
    utc = pd.date_range("2005-01-03", periods=n, freq="min", tz="UTC", unit="ns")
    return utc.tz_convert(ZONE).tz_localize(None).rename("DATETIME")


def session_grid(n: int, instruments: int) -> pd.MultiIndex:
    """Minutes 09:30-16:00 of business days, shared by every instrument, instrument-major."""
    minutes = np.arange(390) * 60 * 10**9 + (9 * 3600 + 30 * 60) * 10**9
    days = pd.bdate_range("1990-01-02", periods=n // (390 * instruments) + 1, unit="ns").asi8
    grid = pd.DatetimeIndex((days[:, None] + minutes[None, :]).ravel()[: n // instruments].view("M8[ns]"))
    tickers = [f"T{k:02d} US EQUITY" for k in range(instruments)]
    return pd.MultiIndex.from_product([tickers, grid], names=["TICKER", "DATETIME"])


def report(name: str, ours: float, theirs: float) -> None:
    print(f"{name:<46} {ours:7.3f} s   pandas {theirs:7.3f} s   ratio {ours / theirs:5.2f}")


def main() -> None:
    print(f"{STAMPS:,} stamps in {ZONE}, best of {REPEATS}")

    stamps = round_the_clock(STAMPS)
    ours, theirs, got, expected = compare(
        lambda: cw.process_intraday_timestamps(stamps, exchange_tz=ZONE, output_tz="UTC"),
        lambda: pandas_utc(stamps, ZONE))
    pd.testing.assert_index_equal(got, expected)
    report("process_intraday_timestamps (one series)", ours, theirs)

    frame = pd.DataFrame({"px": np.zeros(len(stamps))},
                         index=pd.MultiIndex.from_arrays([np.full(len(stamps), "ES.CME.H25"), stamps],
                                                         names=["TICKER", "DATETIME"]))
    ours, theirs, out, expected = compare(
        lambda: cw.apply_intraday_index_level(frame, "DATETIME", exchange_tz=ZONE, output_tz="UTC"),
        lambda: pandas_utc(stamps, ZONE))
    pd.testing.assert_index_equal(out.index.get_level_values("DATETIME"), expected)
    report("apply_intraday_index_level (one instrument)", ours, theirs)
    del frame, out, got, expected, stamps

    index = session_grid(STAMPS, 25)
    frame = pd.DataFrame({"px": np.zeros(len(index))}, index=index)
    rows = index.get_level_values("DATETIME")
    ours, theirs, out, expected = compare(
        lambda: cw.apply_intraday_index_level(frame, "DATETIME", exchange_tz=ZONE, output_tz="UTC"),
        lambda: pandas_utc(rows, ZONE))
    pd.testing.assert_index_equal(out.index.get_level_values("DATETIME"), expected)
    report("apply_intraday_index_level (25 instruments)", ours, theirs)
    del frame, out, index, rows, expected

    per = STAMPS // 4
    clock = round_the_clock(per)
    stacked = pd.DatetimeIndex(np.tile(clock.asi8, 4).view("M8[ns]"))
    index = pd.MultiIndex.from_arrays([np.tile([f"C{k} Curncy" for k in range(4)], per),
                                       np.repeat(clock, 4)], names=["TICKER", "DATETIME"])
    frame = pd.DataFrame({"px": np.zeros(len(index))}, index=index)
    ours, theirs, out, _ = compare(
        lambda: cw.apply_intraday_index_level(frame, "DATETIME", exchange_tz=ZONE, output_tz="UTC"),
        lambda: pandas_utc(stacked, ZONE))
    utc = pd.date_range("2005-01-03", periods=per, freq="min", unit="ns")
    assert (out.index.get_level_values("DATETIME") == np.repeat(utc, 4)).all()
    report("apply_intraday_index_level (4 interleaved)", ours, theirs)
    print("results identical to pandas (interleaved: to the true instants); target: every ratio at most 1")


if __name__ == "__main__":
    main()
