"""The shared native-function runtime: binding rules, introspection, checks."""

import decimal
import fractions
import functools
import inspect
import os
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvane_data import _glue

import glue_probe  # built with the C++ tests; `make test` puts it on the path


class TestBinding:
    def test_positional_keyword_variadic(self):
        got = glue_probe.bind(1, 2, 3, 4, d=5, z=6)
        assert got == {"a": 1, "b": 2, "args": (3, 4), "c": "x", "d": 5, "kwargs": {"z": 6}}

    def test_kwargs_is_a_fresh_dict_each_call(self):
        first = glue_probe.bind(1, d=1, k=1)["kwargs"]
        first["k"] = 99
        assert glue_probe.bind(1, d=1, k=1)["kwargs"] == {"k": 1}

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: glue_probe.plain(1, 2, 3), "plain() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: glue_probe.plain(), "plain() missing 1 required positional argument: 'x'"),
            (lambda: glue_probe.plain(1, x=2), "plain() got multiple values for argument 'x'"),
            (lambda: glue_probe.plain(1, q=2), "plain() got an unexpected keyword argument 'q'"),
            (lambda: glue_probe.bind(1), "bind() missing 1 required keyword-only argument: 'd'"),
            (lambda: glue_probe.show_warnings(1), "show_warnings() takes 0 positional arguments but 1 was given"),
        ],
    )
    def test_errors_read_like_the_interpreters(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_an_instance_holding_no_function_raises_when_called(self):
        kind = type(glue_probe.plain)
        empty = kind.__new__(kind)
        for call in (lambda: empty(1), lambda: kind.__call__(empty, 1)):
            with pytest.raises(TypeError, match="a native function was expected"):
                call()

    def test_every_road_in_binds_alike(self):
        # the interpreter's vector entry, the call slot (by name), an unpacked
        # call, a bound method, a keyword that is not the compiler's own str
        expected = {"a": 1, "b": 2, "args": (3,), "c": "x", "d": 5, "kwargs": {"z": 6}}
        bind = glue_probe.bind
        assert glue_probe.vector_entry(bind) and glue_probe.vector_entry(glue_probe.Box.value)
        d = "".join(["d"])
        calls = [
            lambda: bind(1, 2, 3, d=5, z=6),
            lambda: type(bind).__call__(bind, 1, 2, 3, d=5, z=6),
            lambda: bind(*(1, 2, 3), **{d: 5, "z": 6}),
            lambda: functools.partial(bind, 1, d=5)(2, 3, z=6),
        ]
        for call in calls:
            assert call() == expected
        with pytest.raises(TypeError, match=r"^bind\(\) got multiple values for argument 'b'$"):
            bind(1, 2, **{"".join(["b"]): 3, d: 5})

    def test_list_default_is_created_once(self):
        assert glue_probe.listed() is glue_probe.listed()
        assert glue_probe.listed() == ["a", "b"]
        assert inspect.signature(glue_probe.listed).parameters["packages"].default is glue_probe.listed()


class TestIntrospection:
    def test_signature_and_doc(self):
        sig = inspect.signature(glue_probe.bind)
        assert str(sig) == "(a, b: int = None, *args, c: str = 'x', d, **kwargs) -> dict"
        assert sig.parameters["d"].kind is inspect.Parameter.KEYWORD_ONLY
        assert glue_probe.bind.__doc__.splitlines()[0] == "Returns what each parameter was bound to."
        assert glue_probe.bind.__name__ == "bind"
        assert glue_probe.bind.__module__ == "glue_probe"
        assert glue_probe.bind.__annotations__ == {"b": int, "c": str, "return": dict}

    def test_help_shows_the_signature(self):
        text = subprocess.run(
            [sys.executable, "-c", "import glue_probe; help(glue_probe.plain)"],
            capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=":".join(sys.path)), check=True,
        ).stdout
        assert "plain(x, y=2)" in text and "Two parameters, no variadics." in text

    def test_pickles_by_reference(self):
        assert pickle.loads(pickle.dumps(glue_probe.plain)) is glue_probe.plain

    def test_methods_bind_like_python_functions(self):
        box = glue_probe.Box()
        box.content = 5
        assert box.value() == 5
        assert glue_probe.Box.value.__qualname__ == "Box.value"
        assert list(inspect.signature(box.value).parameters) == []
        with pytest.raises(TypeError, match=r"Box.value\(\) takes 1 positional argument but 2 were given"):
            glue_probe.Box.value(box, 1)


class TestModuleNames:
    def test_read_at_call_time(self, monkeypatch):
        assert glue_probe.lookup("LIMIT") == 3
        monkeypatch.setattr(glue_probe, "LIMIT", 4)
        assert glue_probe.lookup("LIMIT") == 4
        assert glue_probe.lookup("len") is len

    def test_unbound_name_is_a_name_error(self):
        with pytest.raises(NameError, match=r"^name 'bq' is not defined$"):
            glue_probe.lookup("bq")


class MyStr(str):
    pass


class TestExactTypes:
    @pytest.mark.parametrize("value, kind", [("a", "str"), ([1], "list"), ({}, "dict")])
    def test_exact_type_passes(self, value, kind):
        assert glue_probe.exact(value, kind) is value

    def test_wrong_type_message(self):
        with pytest.raises(TypeError) as info:
            glue_probe.exact(3, "str")
        assert str(info.value) == "Argument 'value' has incorrect type (expected str, got int)"

    def test_subclass_is_rejected_with_a_reason(self):
        with pytest.raises(TypeError) as info:
            glue_probe.exact(MyStr("a"), "str")
        text = str(info.value)
        assert text.startswith("Argument 'value' has incorrect type (expected str, got MyStr). ")
        assert "ubclasses of built-in types are rejected" in text

    def test_none_only_when_allowed(self):
        assert glue_probe.exact(None, "list", True) is None
        with pytest.raises(TypeError, match=r"expected list, got NoneType\)$"):
            glue_probe.exact(None, "list")


class TestIntConvention:
    @pytest.mark.parametrize(
        "value, expected",
        [
            (None, None), (3, 3), (7.9, 7), (-2.5, -2), (0.5, 0), (True, 1), (np.float32(4.5), 4),
            (np.int64(3), 3), (np.bool_(True), 1), (decimal.Decimal("5.5"), 5), (fractions.Fraction(7, 2), 3),
        ],
    )
    def test_numbers_truncate_toward_zero(self, value, expected):
        got = glue_probe.as_int(value)
        assert got == expected and type(got) is type(expected)

    @pytest.mark.parametrize("value, name", [("5", "str"), (1j, "complex"), ([1], "list"), (np.array([1]), "ndarray")])
    def test_non_numbers_raise(self, value, name):
        with pytest.raises(TypeError) as info:
            glue_probe.as_int(value)
        assert str(info.value) == f"Argument 'length' has incorrect type (expected int, got {name})"


class TestWarningsAndGuards:
    @pytest.mark.parametrize("value, expected", [(None, False), ("0", False), ("true", False), (" 1", False), ("1", True)])
    def test_switch_is_exactly_one(self, monkeypatch, value, expected):
        if value is None:
            monkeypatch.delenv("SHOW_WARNINGS", raising=False)
        else:
            monkeypatch.setenv("SHOW_WARNINGS", value)
        assert glue_probe.show_warnings() is expected

    def test_guard_warns_only_when_switched_on(self, monkeypatch):
        monkeypatch.setenv("SHOW_WARNINGS", "1")
        with pytest.warns(UserWarning, match="^probe guard failed$"):
            assert glue_probe.guard("no_such_module_xyz", True) is False
        monkeypatch.setenv("SHOW_WARNINGS", "0")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert glue_probe.guard("no_such_module_xyz", False) is False
        assert glue_probe.guard("json", True) is True

    def test_narrow_guard_lets_other_errors_through(self, tmp_path, monkeypatch):
        (tmp_path / "broken_mod_xyz.py").write_text("raise RuntimeError('broken')\n")
        monkeypatch.syspath_prepend(str(tmp_path))
        with pytest.raises(RuntimeError, match="broken"):
            glue_probe.guard("broken_mod_xyz", True)
        assert glue_probe.guard("broken_mod_xyz", False) is False


class TestRoads:
    def test_counts_per_road_and_way_until_reset(self, monkeypatch):
        monkeypatch.delenv("ORVANE_ROADS", raising=False)
        _glue.reset_roads()
        glue_probe.take_road("probe.a")
        glue_probe.take_road("probe.a")
        glue_probe.take_road("probe.a", "values are objects")
        glue_probe.take_road("probe.b", "index is not unique")
        assert _glue.roads() == {"probe.a": {"native": 2, "pandas": 1}, "probe.b": {"native": 0, "pandas": 1}}
        _glue.reset_roads()
        assert _glue.roads() == {}

    def test_counts_are_a_snapshot(self, monkeypatch):
        monkeypatch.delenv("ORVANE_ROADS", raising=False)
        _glue.reset_roads()
        glue_probe.take_road("probe.a")
        seen = _glue.roads()
        seen["probe.a"]["native"] = 99
        glue_probe.take_road("probe.a")
        assert _glue.roads()["probe.a"]["native"] == 2

    @pytest.mark.parametrize("switch", [None, "", "STRICT", "strict "])
    def test_pandas_road_is_counted_unless_strict(self, monkeypatch, switch):
        if switch is None:
            monkeypatch.delenv("ORVANE_ROADS", raising=False)
        else:
            monkeypatch.setenv("ORVANE_ROADS", switch)
        _glue.reset_roads()
        glue_probe.take_road("probe.c", "zone is not fixed")
        assert _glue.roads()["probe.c"]["pandas"] == 1

    def test_strict_switch_is_read_at_call_time(self, native_roads):
        glue_probe.take_road("probe.d")
        with pytest.raises(RuntimeError) as info:
            glue_probe.take_road("probe.d", "EVENT_NAME is categorical")
        assert str(info.value) == (
            "road probe.d took its pandas formulation (EVENT_NAME is categorical) while ORVANE_ROADS=strict"
        )
        assert native_roads.roads() == {"probe.d": {"native": 1, "pandas": 0}}


# --- the boundary: stamps, label codes, result builders -------------------------

UNITS = st.sampled_from(["s", "ms", "us", "ns"])
ZONES = st.sampled_from([None, "UTC", "America/New_York", "Asia/Kathmandu", "+05:30", "dateutil/Europe/London"])


@st.composite
def datetime_columns(draw):
    unit, zone = draw(UNITS), draw(ZONES)
    # seconds that every unit holds, NaT among them
    seconds = draw(st.lists(st.one_of(st.none(), st.integers(-(2**33), 2**33)), max_size=30))
    stamps = pd.DatetimeIndex([pd.NaT if s is None else pd.Timestamp(s, unit="s") for s in seconds]).as_unit(unit)
    if zone is not None:
        stamps = stamps.tz_localize("UTC").tz_convert(zone)
    return stamps.rename(draw(st.sampled_from([None, "DATETIME"])))


class TestBoundary:
    @given(datetime_columns(), st.sampled_from(["index", "series", "level"]))
    @settings(max_examples=150, deadline=None)
    def test_stamps_come_back_in_their_own_dtype(self, stamps, shape):
        if shape == "series":
            column = pd.Series(stamps, index=np.arange(len(stamps))[::-1], name=stamps.name)
            pd.testing.assert_series_equal(glue_probe.stamps_back(column), column)
        elif shape == "level":
            level = pd.MultiIndex.from_arrays([np.arange(len(stamps)), stamps]).levels[1]
            pd.testing.assert_index_equal(glue_probe.stamps_back(level), level)
        else:
            back = glue_probe.stamps_back(stamps)
            pd.testing.assert_index_equal(back, stamps)
            assert back.dtype == stamps.dtype

    @pytest.mark.parametrize("values", [pd.Series([1.5, 2.0]), pd.Index(["a"]), pd.Series([pd.Timedelta(1)])])
    def test_other_dtypes_have_no_stamps(self, values):
        assert glue_probe.stamps_back(values) is None

    @given(st.one_of(
        st.lists(st.one_of(st.none(), st.text(max_size=3))),
        st.lists(st.one_of(st.floats(allow_nan=True), st.integers(-5, 5))),
    ))
    @settings(max_examples=150, deadline=None)
    def test_codes_follow_the_order_sort_values_gives(self, values):
        column = pd.Series(values, dtype=object if values and isinstance(values[0], (str, type(None))) else None)
        codes, uniques = glue_probe.codes(column)
        present = column.dropna()
        expected = present.drop_duplicates().sort_values(ignore_index=True)
        assert list(uniques) == list(expected)
        assert codes.dtype == np.int64
        # every row points at its own value, missing ones at -1
        for value, code in zip(column, codes):
            assert code == -1 if pd.isna(value) else uniques[code] == value

    def test_only_contiguous_native_float64_arrays_are_read_as_they_are(self):
        values = np.arange(6.0)
        assert glue_probe.plain_float64(values)
        assert glue_probe.plain_float64(values[:0])
        read_only = values.view()
        read_only.flags.writeable = False
        assert glue_probe.plain_float64(read_only)
        for other in [values[::2], values.astype(">f8"), values.reshape(2, 3), values.astype(np.float32),
                      values.astype(np.int64), list(values), pd.Series(values)]:
            assert not glue_probe.plain_float64(other)

    def test_frame_builder_keeps_object_columns_and_the_buffers(self):
        texts = np.array(["a", "b"], dtype=object)
        numbers = np.array([1.0, 2.0])
        frame = glue_probe.frame(["t", "x"], [texts, numbers])
        assert frame["t"].dtype == object and frame["x"].dtype == np.float64
        assert np.shares_memory(frame["x"].to_numpy(), numbers)
        assert list(frame.columns) == ["t", "x"]


class TestDeclaredChecks:
    def test_declared_types_are_checked_and_converted(self):
        assert glue_probe.declared("a", None, {}, 2.9, [1]) == ("a", None, {}, 2, True, None)
        assert glue_probe.declared("a", [1], None, np.int64(3), 0)[1:5] == ([1], None, 3, False)

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"text": None}, "Argument 'text' has incorrect type (expected str, got NoneType)"),
            ({"items": (1,)}, "Argument 'items' has incorrect type (expected list, got tuple)"),
            ({"table": []}, "Argument 'table' has incorrect type (expected dict, got list)"),
            ({"n": "3"}, "Argument 'n' has incorrect type (expected int, got str)"),
        ],
    )
    def test_wrong_types_raise_the_checks_error(self, kwargs, message):
        args = {"text": "a", **kwargs}
        with pytest.raises(TypeError) as info:
            glue_probe.declared(**args)
        assert str(info.value) == message

    def test_undeclared_kinds_pass_untouched(self):
        marker = object()
        assert glue_probe.declared("a", other=marker)[5] is marker
