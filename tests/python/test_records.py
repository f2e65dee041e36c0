"""The constant field map and the strategy records."""

import dataclasses
import inspect

import pytest

from orvane_data.from_xtdata import column_alias
from orvane_data.ta import strategy


class TestFieldMap:
    def test_entries_in_order(self):
        assert list(column_alias.FLDS.items()) == [
            ("PX_OPEN", "open"), ("PX_HIGH", "high"), ("PX_LOW", "low"),
            ("PX_LAST", "close"), ("PX_VOLUME", "volume"),
        ]

    def test_module_binds_nothing_else(self):
        assert [k for k in vars(column_alias) if not k.startswith("__")] == ["FLDS"]

    def test_unknown_field_is_a_key_error(self):
        with pytest.raises(KeyError):
            column_alias.FLDS["PX_BID"]


class TestStrategy:
    def test_is_a_real_dataclass(self):
        S = strategy.Strategy
        assert dataclasses.is_dataclass(S) and S.__module__ == "orvane_data.ta.strategy"
        fields = [(f.name, f.type, f.default) for f in dataclasses.fields(S)]
        assert fields == [("name", str, "Custom"), ("ta", "Optional[List[dict]]", None), ("description", str, "")]
        assert str(inspect.signature(S)) == "(name: str = 'Custom', ta: 'Optional[List[dict]]' = None, description: str = '') -> None"
        assert S.__doc__.splitlines()[0] == "Declarative batch of indicator calls."
        assert '"kind"' in S.__doc__
        assert S.__hash__ is None

    def test_defaults_equality_and_mutability(self):
        s = strategy.Strategy()
        assert (s.name, s.ta, s.description) == ("Custom", None, "")
        copy = strategy.Strategy("Common", [dict(e) for e in strategy.CommonStrategy.ta],
                                 strategy.CommonStrategy.description)
        assert copy == strategy.CommonStrategy and copy is not strategy.CommonStrategy
        s.name = "Mine"
        assert repr(s) == "Strategy(name='Mine', ta=None, description='')"

    def test_predefined(self):
        assert strategy.AllStrategy == strategy.Strategy("All", None, "Runs every registered indicator.")
        ta = strategy.CommonStrategy.ta
        assert [e["kind"] for e in ta] == ["sma"] * 4 + ["ema"] * 2 + ["rsi", "macd", "bbands", "atr", "obv", "stoch", "adx"]
        assert [e.get("length") for e in ta[:6]] == [10, 20, 50, 200, 12, 26]
        assert all(list(e) == ["kind"] for e in ta[6:])
        assert strategy.CommonStrategy.description == "Commonly used indicators for a quick overview."

    def test_module_namespace(self):
        assert strategy.__doc__ == "Strategy system for running multiple indicators in batch."
        for name in ("dataclass", "field", "List", "Optional", "pd"):
            assert hasattr(strategy, name)
