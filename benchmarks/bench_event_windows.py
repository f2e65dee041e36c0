"""Event windows: the native filter against the pandas joins, time and memory.

Builds about 3 million one-minute bars (20 securities, six months, sorted by
security then time, as the intraday service returns them) and a calendar of
2,000 releases (some at odd seconds, a few repeated), runs
``filter_bars_around_events`` and the pandas formulation of the same steps,
checks that the two frames are identical, and prints the speed ratio and the
peak memory of each: the high-water mark of a fresh process above what it
held before the call (so that memory pools kept from an earlier call do not
hide anything), next to the sizes of the input and the output.

    PYTHONPATH=src python3 benchmarks/bench_event_windows.py [securities] [events] [--shuffled]

``--shuffled`` puts the bars in random order first (a frame concatenated
from several sources, or sorted by something else). 6 securities make about
1 million bars, 20 about 3 million.
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd

from orvane_data.from_bqia import bar_kit

# the pandas formulation is the tests' own (tests/python/reference.py)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from reference import event_windows as pandas_windows  # noqa: E402

ZONE = "America/New_York"


def bars_frame(securities: int) -> pd.DataFrame:
    rng = np.random.default_rng(20240628)
    minutes = pd.date_range("2024-01-01", "2024-06-30 23:59", freq="min", tz="UTC")
    minutes = minutes[np.asarray(minutes.day_of_week) < 5].as_unit("ns")
    parts = []
    for s in range(securities):
        stamps = minutes[rng.random(len(minutes)) < 0.85].tz_convert(ZONE)
        n = len(stamps)
        close = 100.0 * np.exp(np.cumsum(rng.normal(0, 1e-4, n)))
        parts.append(pd.DataFrame({
            "security": f"OVGSEC{s:05d}X", "datetime": stamps, "key": f"sec{s:02d}",
            "open": close * (1 + rng.normal(0, 1e-5, n)), "high": close * 1.0002, "low": close * 0.9998,
            "close": close, "volume": rng.integers(0, 5_000, n),
        }))
    return pd.concat(parts, ignore_index=True)


def calendar_frame(events: int) -> pd.DataFrame:
    rng = np.random.default_rng(7)
    minutes = pd.Timestamp("2024-01-02 08:30", tz=ZONE) + pd.to_timedelta(
        rng.integers(0, 175 * 1440, events), unit="min")
    seconds = np.where(rng.random(events) < 0.1, rng.integers(1, 60, events), 0)
    times = (minutes + pd.to_timedelta(seconds, unit="s")).as_unit("ns")
    names = [f"Release {i:02d}" for i in range(40)]
    frame = pd.DataFrame({
        "EVENT_NAME": rng.choice(names, events),
        "ticker": [f"T{i:04d} Index" for i in range(events)],
        "event_datetime": times,
        "ACTUAL": rng.normal(size=events),
        "surprise": rng.normal(size=events),
    }, index=pd.Index(rng.choice(["US", "EU"], events), name="ID"))
    frame.iloc[-20:, :3] = frame.iloc[:20, :3].to_numpy()  # releases listed twice
    return frame


def _status(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def peak_memory(call):
    """(result, bytes above the resident size before the call at its peak)."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    with open("/proc/self/clear_refs", "w") as refs:  # resets the high-water mark
        refs.write("5")
    before = _status("VmRSS")
    result = call()
    return result, _status("VmHWM") - before


def best_of(runs, call):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return result, min(times)


def mib(n: float) -> str:
    return f"{n / 2**20:,.0f} MiB"


def frames(securities: int, events: int, shuffled: bool = False):
    bars = bars_frame(securities)
    if shuffled:
        order = np.random.default_rng(5).permutation(len(bars))
        bars = bars.take(order).reset_index(drop=True)
    return bars, calendar_frame(events)


def measure_peak(which: str, securities: int, events: int, shuffled: bool) -> None:
    """In a fresh process: the peak memory of one road, printed as JSON."""
    bars, calendar = frames(securities, events, shuffled)
    road = bar_kit.filter_bars_around_events if which == "native" else pandas_windows
    road(bars.head(10_000), calendar.head(20))  # first-call set-up stays out of the figure
    result, peak = peak_memory(lambda: road(bars, calendar))
    print(json.dumps({"peak": int(peak), "output": int(result.memory_usage(deep=True).sum())}))


def peak_in_fresh_process(which: str, securities: int, events: int, shuffled: bool) -> dict:
    args = [sys.executable, __file__, "--peak", which, str(securities), str(events)]
    out = subprocess.run(args + (["--shuffled"] if shuffled else []), capture_output=True, text=True, check=True)
    return json.loads(out.stdout.splitlines()[-1])


def main(securities: int, events: int, shuffled: bool) -> None:
    bars, calendar = frames(securities, events, shuffled)
    input_bytes = int(bars.memory_usage(deep=True).sum() + calendar.memory_usage(deep=True).sum())
    order = "in random order" if shuffled else "sorted by security and time"
    print(f"{len(bars):,} bars of {securities} securities ({order}), {len(calendar):,} releases, "
          f"input {mib(input_bytes)}")

    native, native_time = best_of(3, lambda: bar_kit.filter_bars_around_events(bars, calendar))
    joined, joined_time = best_of(1, lambda: pandas_windows(bars, calendar))
    pd.testing.assert_frame_equal(native, joined, check_exact=True)
    assert list(native.dtypes) == list(joined.dtypes)
    output_bytes = int(native.memory_usage(deep=True).sum())
    print(f"{len(native):,} window rows, identical to the pandas joins, output {mib(output_bytes)}")
    del native, joined, bars, calendar

    native_peak = peak_in_fresh_process("native", securities, events, shuffled)["peak"]
    joined_peak = peak_in_fresh_process("pandas", securities, events, shuffled)["peak"]
    print(f"native filter   {native_time:8.3f} s   peak +{mib(native_peak)}")
    print(f"pandas joins    {joined_time:8.3f} s   peak +{mib(joined_peak)}")
    print(f"speed-up: {joined_time / native_time:.1f}x")
    total = (input_bytes + native_peak) / (2 * input_bytes + output_bytes)
    print(f"native peak: input + {mib(native_peak)} = {total:.2f} of twice the input plus the output, "
          f"{native_peak / output_bytes:.2f} times the output")


if __name__ == "__main__":
    shuffle = "--shuffled" in sys.argv
    args = [a for a in sys.argv[1:] if a != "--shuffled"]
    if args and args[0] == "--peak":
        measure_peak(args[1], int(args[2]), int(args[3]), shuffle)
    else:
        main(int(args[0]) if args else 20, int(args[1]) if len(args) > 1 else 2_000, shuffle)
