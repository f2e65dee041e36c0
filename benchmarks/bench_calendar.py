"""Calendar post-processing: native whole-column path against pandas element by element.

Builds a 100,000-row calendar answer (release times with seconds and
sub-seconds, in a fixed-offset zone), runs ``get_eco_calendar_data`` on it
through a stand-in service, runs the element-by-element pandas formulation of
the same steps, checks the two frames are identical and prints the ratio.

    PYTHONPATH=src python3 benchmarks/bench_calendar.py [rows]
"""

from __future__ import annotations

import os
import sys
import time
import types

import numpy as np
import pandas as pd

from orvane_data.from_bqia import query_kit

# the pandas formulations are the tests' own (tests/python/reference.py)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from reference import element_by_element  # noqa: E402

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
TARGET = "America/New_York"


def calendar_answer(rows: int) -> pd.DataFrame:
    rng = np.random.default_rng(20240628)
    start = pd.Timestamp("2000-01-01").value
    span = 30 * 365 * 86_400
    seconds = rng.integers(0, span, rows)
    fraction = np.where(rng.random(rows) < 0.2, rng.integers(0, 10**9, rows), 0)
    stamps = (start + seconds * 10**9 + fraction).view("M8[ns]")
    frame = pd.DataFrame(
        {
            "EVENT_NAME": rng.choice(["CPI YoY", "Change in Nonfarm Payrolls", "Retail Sales"], rows),
            "RELEASE_DATE_TIME": stamps,
            "ACTUAL": np.where(rng.random(rows) < 0.05, np.nan, rng.normal(size=rows)),
            "TIMEZONE": "GMT-05:00",
        },
        index=pd.Index(rng.choice(["US", "EU", "CN"], rows), name="ID"),
    )
    return frame


class _Item:
    def __init__(self, frame):
        self._frame = frame

    def df(self):
        return self._frame.copy()


class _Service:
    """Answers the probe with one date and the calendar with the big frame."""

    def __init__(self, frame):
        self.frame = frame
        self.data = types.SimpleNamespace(px_last=lambda **kw: None, calendar=lambda **kw: object())
        self.func = types.SimpleNamespace(range=lambda a, b: (a, b))

    def execute(self, request):
        return [_Item(pd.DataFrame({"DATE": [pd.Timestamp("2024-06-28")]}))]

    def execute_many(self, requests, on_request_error=None):
        return iter([[_Item(self.frame)] for _ in requests])


def main() -> None:
    frame = calendar_answer(ROWS)
    query_kit.bql = types.SimpleNamespace(Request=lambda *a, **k: None)
    service = _Service(frame)

    t0 = time.perf_counter()
    native = query_kit.get_eco_calendar_data(service, "US", "2024-01-01", "2024-12-31", event_timezone=TARGET)
    t1 = time.perf_counter()
    reference = element_by_element(frame.dropna(subset=["ACTUAL"]), TARGET)
    t2 = time.perf_counter()

    pd.testing.assert_frame_equal(native, reference)
    print(f"rows: {ROWS} ({len(native)} with an actual value)")
    print(f"native: {t1 - t0:.3f} s   element by element: {t2 - t1:.3f} s")
    print(f"ratio: {(t2 - t1) / (t1 - t0):.1f}x faster (target 20x); frames identical")


if __name__ == "__main__":
    main()
