import os
import sys

import pandas as pd
import pytest
from hypothesis import settings

# The glue probe is built with the C++ tests (see Makefile); it is not part
# of the installed package.
probe_dir = os.environ.get("ORVANE_GLUE_PROBE_DIR")
if probe_dir:
    sys.path.insert(0, probe_dir)

# Each local run draws new examples; CI (HYPOTHESIS_PROFILE=ci) draws the
# same ones every time, so that a submission's result does not depend on luck.
settings.register_profile("ci", derandomize=True, database=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def pytest_configure(config):
    # pandas 3 announces its deprecations and changes of behaviour under one
    # base class that pandas 2 lacks (there they are FutureWarning and
    # DeprecationWarning, caught by pyproject.toml's list): a name pytest
    # cannot import would stop the suite before it starts.
    if hasattr(pd.errors, "PandasChangeWarning"):
        config.addinivalue_line("filterwarnings", "error::pandas.errors.PandasChangeWarning")


@pytest.fixture
def native_roads(monkeypatch):
    """Forbids pandas roads (they raise) and starts the road counts afresh."""
    from orvane_data import _glue

    monkeypatch.setenv("ORVANE_ROADS", "strict")
    _glue.reset_roads()
    yield _glue
    _glue.reset_roads()
