"""Every native function of every module binds its arguments as the interpreter does.

For each function a Python function with the same signature is made; a call
that the interpreter refuses must be refused by the native function with the
same TypeError text, before any of its own work. Calls the interpreter
accepts are left to the per-module fuzz tests.
"""

import importlib
import inspect

import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import checked_call, fuzz_settings, odd_text, scalars

MODULES = ["orvane_data.from_bqia.query_kit", "orvane_data.from_bqia.bar_kit", "orvane_data.from_s3.bucket_sets",
           "orvane_data.from_s3.s3_io", "orvane_data.ta.overlap", "orvane_data.ta.utils", "orvane_data._clockwork",
           "orvane_data.event_study", "orvane_data.distributed"]


def _native_functions():
    found = []
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        for value in vars(module).values():
            if type(value).__name__ == "native_function" and value.__module__ == name:
                found.append(value)
        for value in vars(module).values():
            if isinstance(value, type) and value.__module__ == name:
                for method in vars(value).values():
                    if type(method).__name__ == "native_function":
                        found.append(method)
    return found


FUNCTIONS = _native_functions()


def _twin(fn):
    """A Python function with fn's signature (defaults replaced by stand-ins)."""
    signature = inspect.signature(fn)
    params, namespace = [], {}
    for i, p in enumerate(signature.parameters.values()):
        if p.default is not inspect.Parameter.empty:
            namespace[f"_d{i}"] = p.default
            p = p.replace(default=_Named(f"_d{i}"))
        params.append(p.replace(annotation=inspect.Parameter.empty))
    text = str(signature.replace(parameters=params, return_annotation=inspect.Signature.empty))
    exec(f"def {fn.__name__}{text}:\n    return None", namespace)  # noqa: S102 - a signature of our own
    twin = namespace[fn.__name__]
    twin.__qualname__ = fn.__qualname__
    return twin


class _Named:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


def _refusal(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return None


names = st.one_of(st.sampled_from(["self", "close", "length", "offset", "bq", "df", "freq", "now", "x", "kwargs",
                                   "dataset", "tickers", "start", "end", "exchange_tz", "index_semantics"]),
                 # checked_call's own keywords cannot be passed through it
                 odd_text.filter(lambda k: k not in {"allowed", "mutates", "name", "refs"}))


@pytest.mark.parametrize("fn", FUNCTIONS, ids=[f.__module__.rsplit(".", 1)[-1] + "." + f.__qualname__ for f in FUNCTIONS])
@fuzz_settings(25)
@given(args=st.lists(scalars, max_size=9), kwargs=st.dictionaries(names, scalars, max_size=4))
def test_refused_calls_read_like_the_interpreters(fn, args, kwargs):
    expected = _refusal(_twin(fn), args, kwargs)
    if expected is None:
        return
    _, error = checked_call(fn, *args, allowed=(TypeError,), name=fn.__qualname__, **kwargs)
    assert error is not None and str(error) == expected


def test_every_module_was_found():
    optional = {"orvane_data.distributed"}  # needs the dask extra
    assert {f.__module__ for f in FUNCTIONS} >= set(MODULES) - optional
