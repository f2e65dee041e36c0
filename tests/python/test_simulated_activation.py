"""simulated.activate() after the service modules were imported: each runs in
a fresh interpreter, on a machine without the real service libraries."""

from doubles import import_in_fresh_interpreter
from orvane_data.simulated import securities

IMPORT_THEN_ACTIVATE = """
import json, sys
from orvane_data.from_bqia import bar_kit, query_kit as qk
from orvane_data.from_s3 import bucket_sets as bs
from orvane_data import simulated

def label(value):  # where a bound name comes from
    return getattr(value, "__name__" if isinstance(value, type(sys)) else "__module__", None)

def bound():
    return {f"{m.__name__.rsplit('.', 1)[1]}.{name}": label(getattr(m, name, None))
            for m, names in ((qk, ["bql", "bq"]), (bar_kit, ["bqia", "bql", "bq"]), (bs, ["bql_Service", "bq"]))
            for name in names}

before = bound()
used = simulated.activate()
after = bound()
figis = qk.get_id_to_figi_mapping(["IBM US Equity"])["figi"].tolist()
simulated.deactivate()
try:
    qk.get_id_to_figi_mapping(["IBM US Equity"])
    gone = None
except NameError as err:
    gone = str(err)
print(json.dumps([before, used, after, figis, gone, bound()]))
"""

SIM_BQL, SIM_BARS = "orvane_data.simulated.bql", "orvane_data.simulated.intraday"
IBM = securities.by_parse_key("IBM US Equity").figi
NOTHING = {name: None for name in ("query_kit.bql", "query_kit.bq", "bar_kit.bqia", "bar_kit.bql", "bar_kit.bq",
                                   "bucket_sets.bql_Service", "bucket_sets.bq")}


def test_activating_after_the_imports_binds_what_the_imports_would_have(tmp_path):
    before, used, after, figis, gone, undone = import_in_fresh_interpreter(tmp_path, IMPORT_THEN_ACTIVATE, None)
    assert before == NOTHING and used == {"bql": "simulated", "bloomberg.bquant.intraday": "simulated"}
    assert after == {"query_kit.bql": SIM_BQL, "query_kit.bq": SIM_BQL, "bar_kit.bqia": SIM_BARS,
                     "bar_kit.bql": SIM_BQL, "bar_kit.bq": SIM_BQL,
                     "bucket_sets.bql_Service": SIM_BQL, "bucket_sets.bq": SIM_BQL}
    assert figis == [IBM]
    # deactivate takes back what activate bound
    assert gone == "name 'bq' is not defined" and undone == NOTHING


def test_a_module_that_found_a_real_library_keeps_it(tmp_path):
    real_bql = ("import orvane_data.simulated.bql as sim\n"  # the simulation's API, not marked as simulated
                "globals().update({k: v for k, v in vars(sim).items() if not k.startswith('__')})\n"
                "class Service(sim.Service):\n    __module__ = 'bql'\n")
    before, used, after, figis, _, _ = import_in_fresh_interpreter(tmp_path, IMPORT_THEN_ACTIVATE, None,
                                                                   libraries={"bql.py": real_bql})
    assert used == {"bql": "real", "bloomberg.bquant.intraday": "simulated"}
    real = {"query_kit.bql": "bql", "query_kit.bq": "bql", "bar_kit.bql": "bql", "bar_kit.bq": "bql",
            "bucket_sets.bql_Service": "bql", "bucket_sets.bq": "bql"}
    assert before == {**real, "bar_kit.bqia": None}
    assert after == {**real, "bar_kit.bqia": SIM_BARS}
    assert figis == [IBM]
