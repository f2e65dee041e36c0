"""The strategy records and the field map take anything a caller stores in them."""

import copy
import pickle

from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import anything, anything_plain, checked_call, fuzz_settings

from orvane_data.from_xtdata.column_alias import FLDS
from orvane_data.ta.strategy import AllStrategy, CommonStrategy, Strategy


@fuzz_settings(150)
@given(name=anything, ta=anything, description=anything_plain)
def test_records_hold_whatever_they_are_given(name, ta, description):
    record, error = checked_call(Strategy, name, ta, description)
    assert error is None
    assert record.name is name and record.ta is ta and record.description is description
    twin = Strategy(name=name, ta=ta, description=description)
    try:
        same = record == twin  # field tuples compare by identity first: equal
    except (ValueError, TypeError):
        same = True  # arrays and frames refuse a truth value, as in any dataclass
    assert same
    repr(record)
    assert copy.copy(record).ta is ta


def test_predefined_records_survive_copies_and_pickles():
    for record in (AllStrategy, CommonStrategy):
        assert pickle.loads(pickle.dumps(record)) == record == copy.deepcopy(record)
    assert list(FLDS) == ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME"]
