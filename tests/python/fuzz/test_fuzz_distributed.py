"""The distributed study's arguments and its per-partition task, without a cluster.

A lazy frame over pandas partitions is enough to reach every argument check;
the task that runs on the workers is called directly on partitions of any
shape.
"""

import contextlib
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import anything, anything_plain, checked_call, frames, fuzz_settings, odd_text, scalars

dd = pytest.importorskip("dask.dataframe")
od = pytest.importorskip("orvane_data.distributed")

from orvane_data.ta.strategy import AllStrategy, CommonStrategy, Strategy  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::FutureWarning", "ignore::UserWarning")

KINDS = ["sma", "ema", "rma", "wma", "dema", "tema", "hma", "hlc3", "vwap", "SMA", "rsi", ""]

entries = st.one_of(
    st.fixed_dictionaries({"kind": st.sampled_from(KINDS)},
                          optional={"length": st.one_of(st.integers(-3, 40), st.sampled_from([2**70, -(2**70), 2**31]), scalars), "offset": st.integers(-2, 2),
                                    "fillna": st.floats(), "asc": st.booleans()}),
    st.dictionaries(st.one_of(odd_text, st.just("kind")), scalars, max_size=3),
    anything_plain)
indicators = st.one_of(st.none(), entries, st.lists(entries, max_size=3), st.sampled_from([AllStrategy, CommonStrategy]),
                       st.builds(Strategy, st.just("x"), st.one_of(st.none(), st.lists(entries, max_size=2))))


def _bars(n=40, securities=("F1", "F2")):
    stamps = pd.date_range("2024-01-05 08:20", periods=n // len(securities), freq="min")
    parts = []
    for k, security in enumerate(securities):
        parts.append(pd.DataFrame({"security": security, "datetime": stamps, "key": f"K{k}",
                                   "open": 1.0, "high": 2.0 + k, "low": 0.5, "close": np.linspace(1, 2, len(stamps)),
                                   "volume": 10.0}))
    return pd.concat(parts, ignore_index=True)


CALENDAR = pd.DataFrame({"EVENT_NAME": ["CPI"], "event_datetime": [pd.Timestamp("2024-01-05 08:30")], "ACTUAL": [1.0]})


@fuzz_settings(150)
@given(indicator=indicators, price=st.one_of(st.just("close"), odd_text, scalars),
       pre=st.one_of(st.just(-5), st.integers(-3, 3), scalars.filter(lambda v: not isinstance(v, int) or abs(v) < 100)),
       calendar=st.one_of(st.just(CALENDAR), frames(max_rows=4), anything))
def test_lazy_windows_check_their_arguments(indicator, price, pre, calendar):
    lazy = dd.from_pandas(_bars(), npartitions=2)
    # the module's own TypeError/ValueError for indicators, prices and
    # calendars; what the meta run of the task raises (KeyError of missing
    # columns, the indicators' and pandas' errors)
    allowed = (TypeError, ValueError, KeyError, OverflowError, AttributeError, IndexError, NotImplementedError)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        checked_call(od.event_windows, lazy, calendar, pre, 10, price=price, indicator=indicator, allowed=allowed,
                     refs=False)


@fuzz_settings(120)
@given(part=st.one_of(st.builds(_bars, st.integers(0, 30).map(lambda n: 2 * n)), frames(max_rows=10), anything),
       plans=st.sampled_from([(), (("sma", {"length": 3}, "SMA_3"),), (("vwap", {}, "VWAP"), ("hma", {}, "HMA_9"))]),
       keep=st.one_of(st.none(), st.lists(st.sampled_from(["time_diff", "move_bps", "nope"]), max_size=2), anything_plain))
def test_partition_task_on_any_partition(part, plans, keep):
    # the task gets its indicator plans from the module itself; the partition
    # and the kept columns are what a dataset holds
    allowed = (TypeError, ValueError, KeyError, AttributeError, IndexError, NotImplementedError, OverflowError)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        checked_call(od._partition_moves, part, CALENDAR, -5, 10, "close", plans, keep, allowed=allowed)
        checked_call(od._security_first, part, allowed=(AttributeError, TypeError, KeyError, ValueError))


@fuzz_settings(80)
@given(path=st.one_of(odd_text, scalars), securities=st.one_of(st.none(), anything_plain),
       columns=st.one_of(st.none(), anything_plain), options=st.one_of(st.none(), anything_plain))
def test_reading_checks_its_arguments(tmp_path_factory, path, securities, columns, options):
    folder = tmp_path_factory.mktemp("empty")
    # the exact-type checks' TypeError; dask's and pyarrow's errors for paths
    # without a dataset (FileNotFoundError, ValueError, OSError)
    allowed = (TypeError, ValueError, OSError, KeyError, IndexError, AttributeError, NotImplementedError)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        checked_call(od.read_bars, path if not isinstance(path, str) else str(folder / "x"), securities, columns,
                     options, allowed=allowed, refs=False)


@pytest.mark.parametrize("length", [2**70, -(2**70), 2**63])
def test_any_int_length_gets_the_indicators_answer(length):
    lazy = dd.from_pandas(_bars(), npartitions=1)
    # far too long for the trial series: the indicator gives no series
    with pytest.raises(ValueError, match="gives no named series") if length > 0 else contextlib.nullcontext():
        od.event_windows(lazy, CALENDAR, indicator={"kind": "sma", "length": length})

