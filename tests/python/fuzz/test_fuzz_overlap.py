"""Indicators and their series helpers under arbitrary arguments.

Beyond "returns or raises a documented error", a result must not depend on
how the input's memory is laid out: a strided, read-only or otherwise typed
float series gives the same values as a fresh contiguous float64 copy.
"""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import anything, checked_call, fuzz_settings, numbers, odd_text, price_series, scalars, series

from orvane_data.ta import overlap, utils

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

# What an indicator may raise: the int convention's TypeError, int()'s
# ValueError/OverflowError (NaN, infinity), pandas' and the kernels' own
# TypeError/ValueError for unusable values or options.
INDICATOR_ERRORS = (TypeError, ValueError, OverflowError)

PANDAS_2 = int(pd.__version__.split(".")[0]) < 3

AVERAGES = ["sma", "ema", "rma", "wma", "dema", "tema", "hma"]

lengths = st.one_of(st.none(), st.integers(-3, 70), numbers, st.sampled_from(["5", [5], 2**70, -(2**70)]))
offsets = st.one_of(st.none(), st.integers(-5, 5), numbers, st.sampled_from(["1", 2**65]))
options = st.fixed_dictionaries({}, optional={
    "min_periods": st.one_of(st.none(), st.integers(-2, 80), numbers, st.just("3")),
    "adjust": scalars,
    "sma": scalars,
    "asc": scalars,
    "fillna": st.one_of(st.none(), st.floats(), st.integers(), odd_text),
    "fill_method": st.one_of(st.none(), st.sampled_from(["ffill", "bfill", "pad", ""]), odd_text),
    "anchor": st.one_of(st.none(), odd_text, st.integers()),
    "\ud800": st.integers(),
    "junk": scalars,
})


def _check_result(result, close):
    if result is None:
        return
    assert isinstance(result, pd.Series)
    assert result.category == "overlap"
    assert isinstance(result.name, str)
    if isinstance(close, pd.Series):
        assert len(result) == len(close)


@fuzz_settings(250)
@given(kind=st.sampled_from(AVERAGES), close=price_series(), length=st.one_of(st.integers(1, 30), lengths),
       offset=st.one_of(st.integers(-3, 3), offsets), kwargs=st.one_of(st.just({}), options))
def test_averages(kind, close, length, offset, kwargs):
    fn = getattr(overlap, kind)
    kwargs = dict(kwargs)
    if kind != "wma":
        kwargs.pop("asc", None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result, error = checked_call(fn, close, length, offset, allowed=INDICATOR_ERRORS, **kwargs)
    if error is None:
        _check_result(result, close)


@fuzz_settings(120)
@given(kind=st.sampled_from(AVERAGES + ["hlc3", "vwap", "ma"]), close=anything,
       length=st.one_of(st.none(), st.integers(1, 5)))
def test_any_object_as_the_series(kind, close, length):
    fn = getattr(overlap, kind)
    if kind in ("hlc3", "vwap"):
        args = (close,) * (3 if kind == "hlc3" else 4)
        checked_call(fn, *args, allowed=INDICATOR_ERRORS + (NotImplementedError, ZeroDivisionError))
    elif kind == "ma":
        checked_call(fn, "ema", close, allowed=INDICATOR_ERRORS, length=length)
    else:
        checked_call(fn, close, length, allowed=INDICATOR_ERRORS)


def _contiguous(s: pd.Series) -> pd.Series:
    return pd.Series(np.array(s.to_numpy(dtype=float, na_value=np.nan), dtype=float, order="C"), index=s.index)


layouts = st.sampled_from(["strided", "reversed", "readonly", "float32", "big_endian", "int", "Float64"])


@st.composite
def laid_out(draw):
    n = draw(st.integers(0, 60))
    values = np.asarray(draw(st.lists(st.floats(-1e6, 1e6), min_size=n, max_size=n)), dtype=float)
    layout = draw(layouts)
    if layout == "strided":
        wide = np.repeat(values, 2)
        return pd.Series(wide[::2], copy=False)
    if layout == "reversed":
        return pd.Series(values[::-1].copy()[::-1], copy=False)
    if layout == "readonly":
        values.flags.writeable = False
        return pd.Series(values, copy=False)
    if layout == "float32":
        return pd.Series(values.astype(np.float32))
    if layout == "big_endian":
        return pd.Series(values.astype(">f8"))
    if layout == "int":
        return pd.Series(values.round().astype(np.int64))
    return pd.Series(values).astype("Float64")


@fuzz_settings(150)
@given(kind=st.sampled_from(AVERAGES), close=laid_out(), length=st.integers(1, 12), asc=st.booleans())
def test_memory_layout_does_not_change_results(kind, close, length, asc):
    fn = getattr(overlap, kind)
    kwargs = {"asc": asc} if kind == "wma" else {}
    got, error = checked_call(fn, close, length, allowed=INDICATOR_ERRORS, **kwargs)
    expected = fn(_contiguous(close), length, **kwargs)
    if expected is None:
        assert got is None and error is None
        return
    assert error is None, error
    np.testing.assert_allclose(got.to_numpy(float), expected.to_numpy(float), rtol=1e-9, atol=1e-6, equal_nan=True)


@fuzz_settings(120)
@given(high=price_series(max_size=20), low=price_series(max_size=20), close=price_series(max_size=20),
       volume=price_series(max_size=20), anchor=st.one_of(st.none(), odd_text, st.integers()), offset=offsets,
       kwargs=options)
def test_composites(high, low, close, volume, anchor, offset, kwargs):
    kwargs = {k: v for k, v in kwargs.items() if k not in ("anchor",)}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # misaligned indexes go through pandas' arithmetic, which raises
        # NotImplementedError for some joins of MultiIndexes, IndexError on
        # pandas 2 for a join of an empty index with a non-unique mixed one,
        # and whose object dtype results divide as Python numbers do
        # (ZeroDivisionError)
        allowed = INDICATOR_ERRORS + (NotImplementedError, ZeroDivisionError)
        if PANDAS_2:
            allowed += (IndexError,)
        result, error = checked_call(overlap.hlc3, high, low, close, offset, allowed=allowed, **kwargs)
        if error is None:
            _check_result(result, None)
        result, error = checked_call(overlap.vwap, high, low, close, volume, anchor, offset,
                                     allowed=allowed, **kwargs)
        if error is None:
            _check_result(result, None)


@fuzz_settings(100)
@given(mode=st.one_of(odd_text, st.sampled_from(["SMA", "eMa", "wma", "hma", "vwap", ""]), scalars),
       source=price_series(max_size=30), kwargs=options)
def test_dispatcher(mode, source, kwargs):
    kwargs = {k: v for k, v in kwargs.items() if k != "asc"}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result, error = checked_call(overlap.ma, mode, source, allowed=INDICATOR_ERRORS, **kwargs)
    if not isinstance(mode, str):
        assert isinstance(error, TypeError) and "'mode'" in str(error)


@fuzz_settings(150)
@given(s=st.one_of(series(), anything), n=st.one_of(st.none(), lengths, anything),
       fills=options, offset=st.one_of(offsets, anything))
def test_series_helpers(s, n, fills, offset):
    checked_call(utils.verify_series, s, n, allowed=(TypeError, ValueError, OverflowError))
    checked_call(utils.verify_series, s, allowed=(TypeError,))
    result, error = checked_call(utils.get_offset, offset, allowed=(TypeError, ValueError, OverflowError))
    if error is None:
        assert type(result) is int
    if isinstance(s, pd.Series):
        checked_call(utils._apply_offset, s, offset, allowed=(TypeError, ValueError, OverflowError))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            # pandas' fillna raises OverflowError for a fill beyond the integer dtype
            checked_call(utils._handle_fills, s, allowed=(TypeError, ValueError, OverflowError), **fills)


@pytest.mark.parametrize("method", ["\ud800", "ffill\x00", "FFILL"])
def test_fill_method_texts_that_are_no_method(method):
    with pytest.raises(ValueError, match="fill_method must be 'ffill' or 'bfill'"):
        utils._handle_fills(pd.Series([1.0, None]), fill_method=method)
