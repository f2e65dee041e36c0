"""The default event study on two interpreters, one pandas line each.

Runs ``python -m orvane_data event-study --quiet --no-plot`` on the simulated
services with this script's interpreter and with another one (say a
virtual environment holding the oldest pandas line supported), taking turns
so that a change of load on the machine reaches both, and prints each run's
wall-clock and CPU time (user + system of the child process), the best of
each interpreter and their ratio. The CPU time is the figure to read on a
shared machine: the wall clock there measures the queue as much as the study.

    PYTHONPATH=src python3 benchmarks/bench_pandas_lines.py --other /path/to/venv/bin/python [--repeats 3]

Both interpreters import the package from the same place (``PYTHONPATH`` is
passed through), so an in-tree build serves both when the compiled modules
import under each.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

TARGET = 1.5  # the other line's time over this one's, at most
STUDY = ["-m", "orvane_data", "event-study", "--quiet", "--no-plot"]


def versions(python: str) -> str:
    probe = "import sys, pandas, numpy; print(f'python {sys.version.split()[0]}, pandas {pandas.__version__}, numpy {numpy.__version__}')"
    return subprocess.run([python, "-c", probe], capture_output=True, text=True, check=True).stdout.strip()


def one_run(python: str, out: str) -> tuple[float, float]:
    """(wall seconds, CPU seconds) of one study in a child process."""
    start = time.perf_counter()
    child = subprocess.Popen([python, *STUDY, "--out", out], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    error = child.stderr.read().decode() if child.stderr else ""
    if child.returncode != 0:
        raise SystemExit(f"{python}: the study failed (exit {child.returncode}):\n{error}")
    return wall, usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--other", required=True, help="the other interpreter")
    parser.add_argument("--repeats", type=int, default=3, help="runs per interpreter (best of)")
    args = parser.parse_args()

    pythons = {"this": sys.executable, "other": args.other}
    for name, python in pythons.items():
        print(f"{name:5s} {python}: {versions(python)}")
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in pythons}
    with tempfile.TemporaryDirectory(prefix="bench-pandas-lines-") as scratch:
        for name, python in pythons.items():  # a first run each fills the file caches
            one_run(python, os.path.join(scratch, f"warm-{name}"))
        for repeat in range(args.repeats):
            for name, python in pythons.items():
                wall, cpu = one_run(python, os.path.join(scratch, f"{name}-{repeat}"))
                times[name].append((wall, cpu))
                print(f"run {repeat + 1} {name:5s}  wall {wall:6.2f} s  cpu {cpu:6.2f} s", flush=True)

    best = {name: (min(w for w, _ in runs), min(c for _, c in runs)) for name, runs in times.items()}
    for name, (wall, cpu) in best.items():
        print(f"best  {name:5s}  wall {wall:6.2f} s  cpu {cpu:6.2f} s")
    wall_ratio = best["other"][0] / best["this"][0]
    cpu_ratio = best["other"][1] / best["this"][1]
    verdict = "within" if cpu_ratio <= TARGET else "beyond"
    print(f"other / this: wall {wall_ratio:.2f}x, cpu {cpu_ratio:.2f}x ({verdict} the {TARGET}x target on cpu)")


if __name__ == "__main__":
    main()
