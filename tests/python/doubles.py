"""Test doubles and harnesses shared by the test modules (and the fuzz tests)."""

import importlib.util
import json
import os
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pandas as pd

# subprocesses import the package from where this process found it
SRC = Path(importlib.util.find_spec("orvane_data").origin).resolve().parents[1]

_BLOCKER = """
import importlib.abc, sys
class _Block(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name in {blocked!r}:
            raise ModuleNotFoundError(f"No module named {{name!r}}")
sys.meta_path.insert(0, _Block())
"""


def import_in_fresh_interpreter(tmp_path, probe, show_warnings, libraries=None, blocked=()):
    """Runs ``probe`` (source that prints one JSON value) in a new interpreter
    and returns that value. SHOW_WARNINGS is ``show_warnings`` there (None:
    unset); ``libraries`` maps file names under ``tmp_path`` to the sources of
    fake service libraries, importable there; the modules named in
    ``blocked`` cannot be imported."""
    env = {k: v for k, v in os.environ.items() if k != "SHOW_WARNINGS"}
    if show_warnings is not None:
        env["SHOW_WARNINGS"] = show_warnings
    for name, source in (libraries or {}).items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(source)
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path), str(SRC)])
    source = (_BLOCKER.format(blocked=set(blocked)) if blocked else "") + textwrap.dedent(probe)
    out = subprocess.run([sys.executable, "-c", source], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


class Recorder:
    """Stands in for the intraday service library and records every call."""

    def __init__(self, bars=None):
        self.calls = []
        self.bars = bars

    def FuturesRollConfig(self, *args, **kwargs):
        self.calls.append(("FuturesRollConfig", args, kwargs))
        return ("roll", args)

    def FuturesRollFactory(self, *args, **kwargs):
        self.calls.append(("FuturesRollFactory", args, kwargs))
        return ("factory", args)

    def set_config(self, *args, **kwargs):
        self.calls.append(("set_config", args, kwargs))

    def get_bars(self, *args, **kwargs):
        self.calls.append(("get_bars", args, kwargs))
        return self.bars if self.bars is not None else pd.DataFrame({"security": [], "datetime": [], "key": []})

    def named(self, name):
        return [call for call in self.calls if call[0] == name]


class ChosenAnswers:
    """Answers every query text with the chosen frames, one item each."""

    def __init__(self, frames):
        self.frames, self.queries = frames, []

    def execute(self, query):
        self.queries.append(query)
        return [types.SimpleNamespace(df=lambda f=f: f.copy()) for f in self.frames]
