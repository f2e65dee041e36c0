"""Import time: what importing the package's modules costs beyond pandas.

Each figure is measured in a fresh interpreter (nothing cached in
sys.modules), several runs, the minimum kept: pandas alone, then pandas and
every module of the package, then pandas and each module alone. A module's
own figure names the heaviest outside packages it pulled in, so a module
that imports a large library at import time (rather than on first use)
shows up by name. The whole package should cost at most 0.1 s beyond pandas.

    PYTHONPATH=src python3 benchmarks/bench_import_time.py [runs]
"""

from __future__ import annotations

import json
import pkgutil
import subprocess
import sys

import orvane_data

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 7
BUDGET = 0.1

# pandas first, then the modules; prints the seconds of each step and the
# top-level packages the modules added to sys.modules
PROBE = """
import json, sys, time
start = time.perf_counter()
import pandas
middle = time.perf_counter()
before = {name.partition(".")[0] for name in sys.modules}
for name in NAMES:
    __import__(name)
end = time.perf_counter()
added = sorted({name.partition(".")[0] for name in sys.modules} - before)
print(json.dumps([middle - start, end - middle, added]))
"""


def modules() -> list[str]:
    names = ["orvane_data"]
    for info in pkgutil.walk_packages(orvane_data.__path__, "orvane_data."):
        if not info.name.endswith("__main__"):  # the command line, not a module to import
            names.append(info.name)
    return names


def measure(names: list[str]) -> tuple[float, float, list[str]]:
    """Minimum over RUNS fresh interpreters of (pandas, the modules beyond)."""
    code = PROBE.replace("NAMES", repr(names))
    runs = [json.loads(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                      text=True).stdout) for _ in range(RUNS)]
    return min(r[0] for r in runs), min(r[1] for r in runs), runs[0][2]


def main() -> None:
    names = modules()
    pandas_alone, package, _ = measure(names)
    print(f"pandas alone:                  {pandas_alone:6.3f} s")
    print(f"every module beyond pandas:    {package:6.3f} s  ({len(names)} modules; "
          f"{package / pandas_alone:.2f}x pandas; budget {BUDGET} s: {'ok' if package <= BUDGET else 'OVER'})")
    print("each module alone beyond pandas (what it brings in besides the package):")
    for name in names:
        _, alone, added = measure([name])
        outside = [a for a in added if a != "orvane_data"]
        print(f"  {name:40s} {alone:6.3f} s  {', '.join(outside[:8])}")


if __name__ == "__main__":
    main()
