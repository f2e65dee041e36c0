"""The public functions' docs: numpydoc sections, and Examples that run."""

import doctest
import inspect

import pytest

from orvane_data import _clockwork, _glue, bar_store, distributed, event_study
from orvane_data.from_bqia import bar_kit, query_kit
from orvane_data.simulated import bql as sim_bql
from orvane_data.simulated import intraday as sim_intraday

DOCUMENTED = [_clockwork, query_kit, bar_kit, event_study, distributed, bar_store]


def python_defined(module, value):
    """A Python function or class of the module itself, or bound into it from
    one of the package's private Python files (event_study.plot_moves)."""
    home = getattr(value, "__module__", None) or ""
    return (inspect.isfunction(value) or inspect.isclass(value)) and (
        home == module.__name__ or home.startswith("orvane_data._"))


def public_functions():
    for module in DOCUMENTED:
        for name, value in vars(module).items():
            if name.startswith("_"):
                continue
            if isinstance(value, _glue.native_function) or python_defined(module, value):
                yield pytest.param(value, id=f"{module.__name__}.{name}")
            if inspect.isclass(value) and python_defined(module, value):
                for method_name, method in vars(value).items():
                    if not method_name.startswith("_") and inspect.isfunction(method):
                        yield pytest.param(method, id=f"{module.__name__}.{name}.{method_name}")


@pytest.fixture
def simulated_services(monkeypatch):
    # the identifier tables ask the module's own service and library
    monkeypatch.setattr(query_kit, "bql", sim_bql, raising=False)
    monkeypatch.setattr(query_kit, "bq", sim_bql.Service(), raising=False)
    for name, value in (("bqia", sim_intraday), ("bql", sim_bql), ("bq", sim_bql.Service())):
        monkeypatch.setattr(bar_kit, name, value, raising=False)
    # the intraday configuration is process-wide: give the next test the one it had
    saved = sim_intraday.get_config()
    yield
    sim_intraday.set_config(saved)


@pytest.mark.parametrize("fn", list(public_functions()))
def test_numpydoc_sections(fn):
    doc = inspect.getdoc(fn)
    # a class documents its constructor's parameters and returns nothing;
    # a method without parameters has no Parameters section
    takes = [p for p in inspect.signature(fn).parameters if p != "self"]
    sections = ["Examples"]
    if takes:
        sections.insert(0, "Parameters")
    if not inspect.isclass(fn):
        sections.insert(-1, "Returns")
    for section in sections:
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
