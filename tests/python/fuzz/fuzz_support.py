"""What the fuzz tests share: argument strategies, the checked call, settings.

Every fuzzed call must either return or raise one of the exceptions its
function documents (or that pandas raises in the same place). The checked call
also fails a test when the call changed one of its inputs, raised SystemError
(an exception set without an error return, or the reverse) or left an extra
reference on an input behind after a repeated call.

ORVANE_FUZZ_SCALE multiplies every test's number of examples (default 1; the
default run of the whole fuzz suite takes about two minutes on two cores).
"""

from __future__ import annotations

import copy
import datetime as dt
import decimal
import fractions
import gc
import math
import os
import sys
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

SCALE = float(os.environ.get("ORVANE_FUZZ_SCALE", "1"))


def fuzz_settings(max_examples: int = 100) -> settings:
    return settings(
        max_examples=max(1, int(max_examples * SCALE)),
        deadline=None,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
    )


# Totals of every checked call in the session, printed by the fuzz conftest;
# keys are (module, function) so the report can total each compiled module.
@dataclass
class Tally:
    inputs: dict = field(default_factory=dict)
    calls: dict = field(default_factory=dict)
    raised: dict = field(default_factory=dict)

    def tried(self, key: tuple[str, str]) -> None:
        self.inputs[key] = self.inputs.get(key, 0) + 1

    def count(self, key: tuple[str, str], error: BaseException | None) -> None:
        self.calls[key] = self.calls.get(key, 0) + 1
        if error is not None:
            self.raised[key] = self.raised.get(key, 0) + 1


TALLY = Tally()


# ---------------------------------------------------------------- comparing


def same(a, b) -> bool:
    """Deep equality that treats NaN as equal to NaN and checks dtypes."""
    if type(a) is not type(b):
        return False
    if isinstance(a, pd.DataFrame):
        try:
            pd.testing.assert_frame_equal(a, b, check_exact=True, check_freq=True, check_flags=True)
        except AssertionError:
            return False
        return a.attrs == b.attrs and same_index(a.columns, b.columns)
    if isinstance(a, pd.Series):
        try:
            pd.testing.assert_series_equal(a, b, check_exact=True, check_freq=True, check_flags=True)
        except AssertionError:
            return False
        return a.attrs == b.attrs
    if isinstance(a, pd.Index):
        return same_index(a, b)
    if isinstance(a, np.ndarray):
        # (a deep copy is writeable; the flag of the original is checked apart)
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype.kind in "fc":
            return bool(np.array_equal(a, b, equal_nan=True))
        if a.dtype.kind == "O":
            return all(same(x, y) for x, y in zip(a.ravel().tolist(), b.ravel().tolist()))
        return bool(np.array_equal(a, b))
    if isinstance(a, (list, tuple)):
        try:
            if len(a) == len(b) and a == b:  # fast for big plain lists
                return True
        except Exception:
            pass
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (set, frozenset)):
        return a == b
    if _nan(a) and _nan(b):
        return True
    try:
        return bool(a == b)
    except Exception:
        return repr(a) == repr(b)


def same_index(a: pd.Index, b: pd.Index) -> bool:
    try:
        pd.testing.assert_index_equal(a, b, exact=True, check_exact=True, check_order=True)
    except AssertionError:
        return False
    return a.names == b.names


def _nan(x) -> bool:
    try:
        return x is pd.NA or x is pd.NaT or (isinstance(x, float) and math.isnan(x))
    except Exception:
        return False


def _copy(x):
    """A deep copy to compare with after the call, or _UNCOPYABLE when a copy
    cannot tell (objects compared by identity, iterators, ...)."""
    try:
        saved = copy.deepcopy(x)
    except Exception:
        return _UNCOPYABLE
    return saved if same(x, saved) else _UNCOPYABLE


_UNCOPYABLE = object()


# ---------------------------------------------------------------- calling


_SHARED = (type(None), bool, int, float, complex, str, bytes, type, type(Ellipsis), type(NotImplemented))


def outcome(fn, *args, **kwargs):
    """("ok", result) of fn(*args, **kwargs), or (the exception's type, None)."""
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as error:  # noqa: BLE001
        return type(error), None


class CallFault(AssertionError):
    pass


def _module_of(fn) -> str:
    owner = getattr(fn, "__self__", None)
    module = getattr(fn, "__module__", None) or getattr(type(owner), "__module__", None)
    return module or "?"


def checked_call(fn, *args, allowed=(), mutates=(), name=None, refs=True, **kwargs):
    """Calls fn twice with the same arguments and returns (result, error).

    `allowed` lists the exception types the function may raise; anything else
    (SystemError always) fails the test. `mutates` names positions or keywords
    the function documents as changed in place; every other argument must come
    back equal to a deep copy taken before the call. With `refs`, the
    reference counts of the arguments after the second call must equal those
    after the first (a native call that keeps or loses a reference shows up).
    """
    label = name or getattr(fn, "__qualname__", repr(fn))
    counted_as = (_module_of(fn), label)
    TALLY.tried(counted_as)
    watched = [(i, a) for i, a in enumerate(args) if i not in mutates]
    watched += [(k, v) for k, v in kwargs.items() if k not in mutates]
    before = [(key, obj, _copy(obj)) for key, obj in watched]
    flags = [(key, obj, obj.flags.writeable) for key, obj in watched if isinstance(obj, np.ndarray)]

    def once():
        try:
            return fn(*args, **kwargs), None
        except SystemError as error:
            raise CallFault(f"{label} raised SystemError: {error!r}") from error
        except BaseException as error:  # noqa: BLE001 - sorted below
            if isinstance(error, (KeyboardInterrupt, CallFault)):
                raise
            if allowed and isinstance(error, allowed):
                return None, error
            raise CallFault(f"{label} raised an undocumented {type(error).__name__}: {error!r}") from error

    result, error = once()
    TALLY.count(counted_as, error)
    for key, obj, saved in before:
        if saved is not _UNCOPYABLE and not same(obj, saved):
            raise CallFault(f"{label} changed its argument {key!r}:\nbefore {saved!r}\nafter  {obj!r}")
    for key, obj, writeable in flags:
        if obj.flags.writeable != writeable:
            raise CallFault(f"{label} changed the writeable flag of its argument {key!r}")
    if not refs:
        return result, error
    # scalars are shared across the interpreter (None, small ints, interned
    # texts): their counts move with unrelated code; the memory test covers them
    before = [entry for entry in before if not isinstance(entry[1], _SHARED)]
    counts = [sys.getrefcount(obj) for _, obj, _ in before]
    del result, error
    result, error = once()
    TALLY.count(counted_as, error)
    again = [sys.getrefcount(obj) for _, obj, _ in before]
    if again != counts:
        # a reference cycle through a traceback can hold an argument for a while
        gc.collect()
        counts_now = [sys.getrefcount(obj) for _, obj, _ in before]
        if counts_now != counts and any(n > c for n, c in zip(counts_now, counts)):
            grown = [(key, c, n) for (key, _, _), c, n in zip(before, counts, counts_now) if n != c]
            raise CallFault(f"{label}: references to arguments changed across calls: {grown}")
    return result, error


# ---------------------------------------------------------------- strategies

ODD_CHARACTERS = ["'", '"', "\\", "\x00", "\n", "\t", " ", "\u00e9", "\u200b", "\U0001f600",
                  "\ud800", "\udfff", "%s", "{}", "{0}", "-", "+", ":", ".", "/", "*"]

odd_text = st.one_of(
    st.text(max_size=30),
    st.lists(st.sampled_from(ODD_CHARACTERS), max_size=8).map("".join),
    st.text(alphabet=st.characters(codec="utf-8"), min_size=200, max_size=2000),
)

numbers = st.one_of(
    st.integers(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0, -0.0, 0.5, -0.5, 7.9, 1e300, -1e300, 2**63, -(2**63) - 1, True, False]),
    st.complex_numbers(max_magnitude=1e6),
    st.decimals(allow_nan=True).filter(lambda d: not d.is_snan()),
    st.fractions(),
    st.sampled_from([np.int8(-3), np.int64(5), np.uint64(2**64 - 1), np.float32(2.5), np.float64("nan"),
                     np.bool_(True), np.float16(7.9), np.complex64(1 + 2j)]),
)

others = st.sampled_from([
    None, object(), b"bytes", bytearray(b"x"), Ellipsis, NotImplemented, pd.NA, pd.NaT,
    pd.Timestamp("2024-01-05 08:30:45"), pd.Timestamp("2024-01-05 08:30:45", tz="Asia/Hong_Kong"),
    dt.datetime(2024, 1, 5, 8, 30, 45), dt.date(2024, 1, 5), dt.time(8, 30), dt.timedelta(0),
    np.datetime64("2024-01-05"), np.datetime64("NaT"), pd.Timedelta("1min"), type, len, print,
    decimal.Decimal("snan") if False else decimal.Decimal("1.5"), fractions.Fraction(1, 3),
    range(3), iter([1, 2]), (x for x in range(2)), slice(1, 2),
])


def containers(children):
    return st.one_of(
        st.lists(children, max_size=5),
        st.tuples(children, children),
        st.dictionaries(st.one_of(st.text(max_size=5), st.integers()), children, max_size=4),
        st.sets(st.integers(), max_size=4),
        st.just([]), st.just({}), st.just(()),
        st.integers(min_value=10_000, max_value=20_000).map(lambda n: list(range(n))),
        st.integers(min_value=10_000, max_value=20_000).map(lambda n: ["x"] * n),
    )


scalars = st.one_of(numbers, odd_text, others)
# what may go into a pandas constructor: pandas' default str dtype is Arrow's,
# which holds only texts with a UTF-8 form (no lone surrogates)
utf8_text = odd_text.map(lambda t: t.encode("utf-8", "replace").decode("utf-8"))
frame_scalars = st.one_of(numbers, utf8_text, others)
anything_plain = st.recursive(scalars, containers, max_leaves=8)


# Series and frames of every dtype, on every kind of index.

DTYPES = ["float64", "float32", "int64", "int8", "uint64", "bool", "object", "string", "str",
          "Int64", "Float64", "boolean", "int64[pyarrow]", "double[pyarrow]", "string[pyarrow]",
          "datetime64[ns]", "datetime64[ns, America/New_York]", "timedelta64[ns]", "category",
          "period[D]", "complex128", "mixed"]


def _values(dtype: str, n: int, draw) -> pd.Series:
    with np.errstate(all="ignore"):
        return _raw_values(dtype, n, draw)


def _raw_values(dtype: str, n: int, draw) -> pd.Series:
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    base = rng.normal(100, 10, n).round(3)
    holes = draw(st.booleans())
    if dtype in ("float64", "float32", "complex128"):
        v = base.astype(dtype)
        if holes and n:
            v[rng.integers(0, n, max(1, n // 4))] = np.nan
        if draw(st.booleans()) and n:
            v[rng.integers(0, n)] = draw(st.sampled_from([np.inf, -np.inf, 0.0, 1e308, -1e-308]))
        return pd.Series(v)
    if dtype in ("int64", "int8", "uint64"):
        return pd.Series(rng.integers(0, 100, n).astype(dtype))
    if dtype == "bool":
        return pd.Series(rng.integers(0, 2, n).astype(bool))
    if dtype in ("Int64", "Float64", "boolean", "int64[pyarrow]", "double[pyarrow]"):
        raw = rng.integers(0, 2, n) if dtype == "boolean" else base
        if dtype.startswith("Int") or dtype.startswith("int"):
            raw = raw.astype("int64")
        s = pd.Series(raw).astype(dtype)
        if holes and n:
            s[s.index[rng.integers(0, n, max(1, n // 4))]] = None
        return s
    if dtype in ("object", "string", "str", "string[pyarrow]"):
        texts = [draw(st.sampled_from(["1.5", "abc", "", "'", "NaN", "2024-01-05", "\u00e9"])) for _ in range(n)]
        s = pd.Series(texts, dtype=dtype)
        if holes and n:
            s[s.index[0]] = None
        return s
    if dtype.startswith("datetime64"):
        tz = "America/New_York" if "," in dtype else None
        s = pd.Series(pd.date_range("2024-03-10 01:58", periods=n, freq="min", tz=tz))
        if holes and n:
            s[s.index[0]] = pd.NaT
        return s
    if dtype == "timedelta64[ns]":
        return pd.Series(pd.to_timedelta(rng.integers(0, 1000, n), unit="s"))
    if dtype == "category":
        return pd.Series(pd.Categorical(rng.choice([1.5, 2.5, 3.5], n)))
    if dtype == "period[D]":
        return pd.Series(pd.period_range("2024-01-01", periods=n, freq="D"))
    # mixed objects
    pool = [1, 2.5, "x", None, np.nan, pd.NaT, pd.Timestamp("2024-01-05"), [1], {"a": 1}, b"b", 3 + 4j]
    return pd.Series([pool[i % len(pool)] for i in rng.integers(0, len(pool), n)], dtype=object)


INDEXES = ["range", "shuffled", "duplicated", "strings", "datetime", "datetime_tz", "multi", "float", "empty_names"]


def _index(kind: str, n: int, draw) -> pd.Index:
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if kind == "range":
        return pd.RangeIndex(n)
    if kind == "shuffled":
        return pd.Index(rng.permutation(n))
    if kind == "duplicated":
        return pd.Index(rng.integers(0, max(1, n // 2), n))
    if kind == "strings":
        return pd.Index([f"r'{i}\"" for i in rng.permutation(n)])
    if kind == "datetime":
        return pd.date_range("2024-01-01", periods=n, freq="D")
    if kind == "datetime_tz":
        return pd.date_range("2024-11-03 00:30", periods=n, freq="15min", tz="America/New_York")
    if kind == "multi":
        return pd.MultiIndex.from_arrays([rng.integers(0, 3, n), np.arange(n)], names=["a", None])
    if kind == "float":
        return pd.Index(rng.normal(size=n))
    return pd.Index(np.arange(n), name="")


@st.composite
def series(draw, dtypes=DTYPES, min_size=0, max_size=40, name=True):
    n = draw(st.one_of(st.integers(min_size, max_size), st.sampled_from([min_size, 1, 2, 3])).filter(lambda k: k >= min_size))
    dtype = draw(st.sampled_from(dtypes))
    s = _values(dtype, n, draw)
    s.index = _index(draw(st.sampled_from(INDEXES)), n, draw)
    if name:
        s.name = draw(st.sampled_from([None, "close", 0, ("a", 1), "x'\""]))
    if draw(st.integers(0, 9)) == 0 and n > 1:
        # a view with a stride: every other row of a longer series
        longer = pd.concat([s, s])
        s = longer.iloc[::2].copy(deep=False)
    return s


@st.composite
def price_series(draw, min_size=0, max_size=60):
    """Numeric series the indicators compute on, on every kind of index."""
    return draw(series(dtypes=["float64", "float32", "int64", "Int64", "Float64", "double[pyarrow]",
                               "int64[pyarrow]", "bool", "object", "category", "mixed"],
                       min_size=min_size, max_size=max_size))


@st.composite
def frames(draw, columns=None, max_rows=30):
    """A frame: given columns (name -> strategy of a Series dtype list) or random ones."""
    n = draw(st.integers(0, max_rows))
    index = _index(draw(st.sampled_from(INDEXES)), n, draw)
    data = {}
    names = columns or draw(st.lists(st.sampled_from(["close", "key", "a", "time_diff", 0, "x'\""]),
                                     min_size=0, max_size=4, unique=True))
    for col in names:
        dtypes = columns[col] if isinstance(columns, dict) else DTYPES
        s = _values(draw(st.sampled_from(dtypes)), n, draw)
        s.index = index
        data[col] = s
    frame = pd.DataFrame(data, index=index)
    if draw(st.integers(0, 9)) == 0 and frame.shape[1] > 1:
        frame = pd.concat([frame, frame.iloc[:, :1]], axis=1)  # a duplicated column name
    return frame


def arrays():
    """numpy arrays: read-only, strided, Fortran, big-endian, 0-d, 2-d, object."""
    base = st.integers(0, 30).map(lambda n: np.arange(n, dtype=float) * 1.5)

    def readonly(a):
        a = a.copy()
        a.flags.writeable = False
        return a

    return st.one_of(
        base,
        base.map(readonly),
        base.map(lambda a: a[::2]),
        base.map(lambda a: a[::-1]),
        base.map(lambda a: a.astype(">f8")),
        base.map(lambda a: a.astype(np.float32)),
        base.map(lambda a: a.astype(np.int16)),
        base.map(lambda a: np.asfortranarray(np.stack([a, a], axis=1))),
        base.map(lambda a: a.astype(object)),
        base.map(lambda a: a.astype(str)),
        st.just(np.array(3.0)),
        st.just(np.array([], dtype=float)),
        st.just(np.zeros((0, 3))),
        st.just(np.array([np.nan, np.inf, -np.inf])),
    )


def pandas_objects():
    return st.one_of(series(), frames(), arrays(),
                     series().map(lambda s: s.index),
                     series().map(lambda s: s.to_frame()))


anything = st.one_of(anything_plain, pandas_objects())
