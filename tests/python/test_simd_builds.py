"""The vector kernels' two builds: ORVANE_SIMD picks one, _glue.simd() names
it, and both give the same results bit for bit."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from doubles import SRC
from orvane_data import _glue


def _cpu_has_avx2():
    cpuinfo = Path("/proc/cpuinfo")
    return cpuinfo.exists() and " avx2" in cpuinfo.read_text()


def _expected_build(forced):
    if forced == "baseline":
        return "baseline"
    return "avx2" if _cpu_has_avx2() else "baseline"


# every average over lengths that take each road: quads, lanes, the
# longest lane windows and the windows beyond them; gaps and infinities send
# some chunks the careful way
_PROBE = """
import hashlib, json
import numpy as np, pandas as pd
from orvane_data import _glue
from orvane_data.ta import overlap
rng = np.random.default_rng(5)
x = 100 * np.exp(np.cumsum(rng.normal(0.0, 0.01, 60_000)))
x[rng.choice(len(x), 40, replace=False)] = np.nan
x[30_000:30_050] = 7.25
x[45_000] = np.inf
s = pd.Series(x)
digests = {}
for name in ("sma", "ema", "rma", "wma", "hma", "dema", "tema"):
    for length in (3, 20, 300, 1024, 1500, 5000):
        out = getattr(overlap, name)(s, length).to_numpy()
        digests[f"{name}({length})"] = hashlib.sha256(out.tobytes()).hexdigest()
print(json.dumps({"build": _glue.simd(), "digests": digests}))
"""


def _run(forced):
    env = dict(os.environ, PYTHONPATH=str(SRC))
    env.pop("ORVANE_SIMD", None)
    if forced is not None:
        env["ORVANE_SIMD"] = forced
    out = subprocess.run([sys.executable, "-c", _PROBE], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def test_the_build_in_use_is_named():
    assert _glue.simd() == _expected_build(os.environ.get("ORVANE_SIMD"))


def test_both_builds_give_the_same_results_bit_for_bit():
    runs = {forced: _run(forced) for forced in (None, "baseline", "avx2")}
    for forced, run in runs.items():
        assert run["build"] == _expected_build(forced), forced
    assert runs["baseline"]["digests"] == runs["avx2"]["digests"] == runs[None]["digests"]


@pytest.mark.parametrize("forced", ["", "sse9"])
def test_an_unknown_build_name_takes_the_best_build(forced):
    assert _run(forced)["build"] == _expected_build(None)
