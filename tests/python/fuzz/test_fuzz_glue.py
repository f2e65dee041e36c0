"""The native-function runtime under arbitrary calls.

Binding is compared with the interpreter's own: a Python function with the
same signature must accept exactly the same calls, bind the same values and
reject the others with the same TypeError text.
"""

import inspect
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import anything_plain, checked_call, fuzz_settings, odd_text, scalars

glue_probe = pytest.importorskip("glue_probe")


def bind(a, b: int = None, *args, c: str = "x", d, **kwargs) -> dict:
    return {"a": a, "b": b, "args": args, "c": c, "d": d, "kwargs": kwargs}


def plain(x, y=2):
    return (x, y)


def binding_outcome(fn, args, kwargs):
    try:
        return "ok", fn(*args, **kwargs)
    except TypeError as error:
        return "TypeError", str(error)


keywords = st.dictionaries(st.one_of(st.sampled_from(["a", "b", "c", "d", "x", "y", "args", "kwargs", "self"]),
                                     odd_text), scalars, max_size=5)
positionals = st.lists(scalars, max_size=5)


@fuzz_settings(300)
@given(args=positionals, kwargs=keywords, which=st.sampled_from(["bind", "plain"]))
def test_binding_matches_the_interpreter(args, kwargs, which):
    native, python = (glue_probe.bind, bind) if which == "bind" else (glue_probe.plain, plain)
    expected = binding_outcome(python, args, kwargs)
    got, error = checked_call(native, *args, allowed=(TypeError,), **kwargs)
    if expected[0] == "ok":
        assert error is None, f"native rejected a call Python accepts: {error!r}"
        assert got == expected[1] or repr(got) == repr(expected[1])
    else:
        assert error is not None, f"native accepted a call Python rejects: {expected[1]}"
        assert str(error) == expected[1]


@fuzz_settings(150)
@given(value=anything_plain)
def test_checks_take_anything(value):
    for kind in ("str", "list", "dict"):
        checked_call(glue_probe.exact, value, kind, allowed=(TypeError,))
        checked_call(glue_probe.exact, value, kind, True, allowed=(TypeError,))
    result, error = checked_call(glue_probe.as_int, value, allowed=(TypeError, ValueError, OverflowError))
    if error is None:
        assert result is None or type(result) is int


@fuzz_settings(60)
@given(name=st.text(alphabet=st.characters(codec="utf-8", exclude_characters="\x00"), max_size=12))
def test_module_name_lookup(name):
    # (the probe passes the name on as a C string: texts without NUL only)
    result, error = checked_call(glue_probe.lookup, name, allowed=(NameError, TypeError))
    if error is not None and isinstance(error, NameError):
        assert str(error) == f"name '{name}' is not defined"


@pytest.mark.parametrize("instance", [None, 1, "x", object(), glue_probe])
def test_function_type_edges(instance):
    fn = glue_probe.plain
    kind = type(fn)
    with pytest.raises(TypeError):
        kind()  # no constructor from Python
    bound = fn.__get__(instance, None)
    if instance is None:
        assert bound is fn
    else:
        assert bound() == (instance, 2)
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert str(inspect.signature(fn)) == "(x, y=2)"


def _unbound_uses(kind, self):
    yield lambda: kind.__call__(self, 1)
    yield lambda: kind.__repr__(self)
    yield lambda: kind.__reduce__(self)
    for name in ("__signature__", "__annotations__", "__globals__"):
        yield lambda name=name: getattr(kind, name).fget(self)


@pytest.mark.parametrize("self", [None, 1, "x", "empty"])
def test_methods_on_what_is_no_function_raise(self):
    """Reached unbound, or on an instance `__new__` made without a function."""
    kind = type(glue_probe.plain)
    if self == "empty":
        self = kind.__new__(kind)
    for use in _unbound_uses(kind, self):
        with pytest.raises(TypeError):
            use()
