"""The public functions' docs: numpydoc sections, and Examples that run."""

import doctest
import inspect
import re

import pandas as pd
import pytest

from orvane_data import _clockwork, _glue, bar_store, distributed, event_study
from orvane_data.from_bqia import bar_kit, query_kit
from orvane_data.from_s3 import bucket_sets, s3_io
from orvane_data.from_xtdata import column_alias
from orvane_data.simulated import bql as sim_bql
from orvane_data.simulated import intraday as sim_intraday
from orvane_data.simulated import securities
from orvane_data.ta import momentum, overlap, runner, strategy, trend, volatility, volume
from orvane_data.ta import utils as ta_utils
from s3_server import csv_gz_bytes, parquet_bytes, s3_endpoint  # noqa: F401  (fixture)

DOCUMENTED = [_clockwork, query_kit, bar_kit, event_study, distributed, bar_store,
              overlap, ta_utils, strategy, momentum, volatility, volume, trend, runner,
              s3_io, bucket_sets, column_alias]


def defined_here(module, value):
    """Whether `value` is the module's own: defined in it, or bound into it
    from one of the package's private Python files (event_study.plot_moves).
    A re-exported name is documented where it is defined."""
    home = getattr(value, "__module__", None) or ""
    return home == module.__name__ or (home.startswith("orvane_data._") and not isinstance(value, _glue.native_function))


def documented_callable(value):
    return isinstance(value, _glue.native_function) or inspect.isfunction(value)


def public_functions():
    """Public functions and classes, with the classes' public methods, of the
    modules where they are defined (a re-exported name is documented there)."""
    for module in DOCUMENTED:
        for name, value in vars(module).items():
            if name.startswith("_") or not defined_here(module, value):
                continue
            if documented_callable(value) or inspect.isclass(value):
                yield pytest.param(value, id=f"{module.__name__}.{name}")
            if inspect.isclass(value):
                for method_name, method in vars(value).items():
                    if not method_name.startswith("_") and documented_callable(method):
                        yield pytest.param(method, id=f"{module.__name__}.{name}.{method_name}")


# The demo bucket of the S3 examples: the supply-chain and economist-estimates
# datasets in their own layouts, plus a folder of daily closes.
DEMO_BUCKET = "orvane-demo"


def _write_demo_bucket(client):
    client.create_bucket(Bucket=DEMO_BUCKET)
    put = lambda key, body: client.put_object(Bucket=DEMO_BUCKET, Key=key, Body=body)  # noqa: E731
    closes = pd.DataFrame({"ticker": ["SX5E Index", "JPY Curncy"], "close": [4463.5, 144.6]})
    put("closes/20240105.csv.gz", csv_gz_bytes(closes))
    put("closes/20240112.parquet", parquet_bytes(closes.assign(close=[4480.0, 145.2])))
    figi = {key: securities.by_parse_key(f"{key} US Equity").figi for key in ("IBM", "AAPL", "MSFT", "NVDA")}
    relationships = pd.DataFrame(
        [(figi["IBM"], "SUPPLIER", figi["AAPL"], "2020-01-01", "2022-06-30"),
         (figi["IBM"], "CUSTOMER", figi["MSFT"], "2021-05-05", None),
         (figi["AAPL"], "SUPPLIER", figi["NVDA"], "2023-03-01", None)],
        columns=["ID_BB_GLOBAL", "RELATIONSHIP", "RELATED_FIGI", "RELTNSHP_START_DT", "RELTNSHP_END_DT"])
    name = "supplyChainHistoryV2"
    for date in ("20240105", "20240112"):
        put(bucket_sets.SPLC.file_path_func(None, name, date), csv_gz_bytes(relationships))
    estimates = pd.DataFrame(
        [("NFP TCH Index", "2024-01-05", "2024-01-03 09:30", "Ada", 170.0),
         ("CPI YOY Index", "2024-01-05", "2024-01-03 09:30", "Ada", 3.2),
         ("NFP TCH Index", "2024-01-12", "2024-01-10 14:00", "Ada", 185.0),
         ("CPI YOY Index", "2024-01-12", "2024-01-10 14:00", "Ada", 3.1)],
        columns=["column0", "dlSnapshotDate", "economistSurveyTimestamp", "economist", "estimate"])
    for stamp in ("dlSnapshotDate", "economistSurveyTimestamp"):
        estimates[stamp] = pd.to_datetime(estimates[stamp])
    put(bucket_sets.ECOEST.file_path, parquet_bytes(estimates))


@pytest.fixture(scope="module")
def demo_bucket(s3_endpoint):  # noqa: F811  (the fixture imported above)
    _write_demo_bucket(s3_endpoint.client())
    return DEMO_BUCKET


@pytest.fixture
def simulated_services(monkeypatch, demo_bucket):
    # the identifier tables ask the module's own service and library
    monkeypatch.setattr(query_kit, "bql", sim_bql, raising=False)
    monkeypatch.setattr(query_kit, "bq", sim_bql.Service(), raising=False)
    for name, value in (("bqia", sim_intraday), ("bql", sim_bql), ("bq", sim_bql.Service())):
        monkeypatch.setattr(bar_kit, name, value, raising=False)
    monkeypatch.setattr(bucket_sets, "bq", sim_bql.Service(), raising=False)
    # as ORVANE_EQUITY_BUCKET and ORVANE_MACRO_BUCKET would name it at import
    for dataset in (bucket_sets.SPLC, bucket_sets.ECOEST):
        monkeypatch.setattr(dataset, "bucket", demo_bucket)
    # the intraday configuration is process-wide: give the next test the one it had
    saved = sim_intraday.get_config()
    yield
    sim_intraday.set_config(saved)


def required_sections(obj):
    """A class has no Returns; a function or method without arguments of its
    own has no Parameters."""
    takes_arguments = any(name != "self" for name in inspect.signature(obj).parameters)
    sections = ["Parameters"] if takes_arguments else []
    if not isinstance(obj, type):
        sections.append("Returns")
    return sections + ["Examples"]


@pytest.mark.parametrize("fn", list(public_functions()))
def test_numpydoc_sections(fn):
    doc = inspect.getdoc(fn)
    for section in required_sections(fn):
        assert f"\n{section}\n{'-' * len(section)}\n" in doc, section
    assert "`" not in doc.replace("``", ""), "code is marked with double backticks"


class RunningPandasChecker(doctest.OutputChecker):
    """Reads the documented output, printed by pandas 3, as the running pandas
    prints it: before pandas 3, stamps parsed from texts or built from Python
    datetimes are in nanoseconds, where pandas 3 takes microseconds."""

    def check_output(self, want, got, optionflags):
        if int(pd.__version__.split(".")[0]) < 3:
            want = re.sub(r"\b(datetime64|timestamp)\[us\b", r"\1[ns", want)
        return super().check_output(want, got, optionflags)


@pytest.mark.parametrize("fn", list(public_functions()))
def test_examples_run(simulated_services, fn):
    test = doctest.DocTestParser().get_doctest(inspect.getdoc(fn), {}, fn.__qualname__, None, 0)
    assert test.examples
    runner = doctest.DocTestRunner(
        checker=RunningPandasChecker(), optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    )
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
