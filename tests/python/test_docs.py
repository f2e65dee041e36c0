"""The public functions' docs: numpydoc sections, and Examples that run."""

import doctest

import pytest

from orvane_data import _clockwork, _glue
from orvane_data.from_bqia import query_kit
from orvane_data.simulated import bql as sim_bql

DOCUMENTED = [_clockwork, query_kit]


def public_functions():
    for module in DOCUMENTED:
        for name, value in vars(module).items():
            if not name.startswith("_") and isinstance(value, _glue.native_function):
                yield pytest.param(value, id=f"{module.__name__}.{name}")


@pytest.fixture
def simulated_services(monkeypatch):
    # the identifier tables ask the module's own service and library
    monkeypatch.setattr(query_kit, "bql", sim_bql, raising=False)
    monkeypatch.setattr(query_kit, "bq", sim_bql.Service(), raising=False)


@pytest.mark.parametrize("fn", list(public_functions()))
def test_numpydoc_sections(fn):
    doc = fn.__doc__
    for section in ("Parameters", "Returns", "Examples"):
        assert f"\n{section}\n{'-' * len(section)}\n" in doc, section
    assert "`" not in doc.replace("``", ""), "code is marked with double backticks"


@pytest.mark.parametrize("fn", list(public_functions()))
def test_examples_run(simulated_services, fn):
    test = doctest.DocTestParser().get_doctest(fn.__doc__, {}, fn.__qualname__, None, 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
