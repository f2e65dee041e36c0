"""Overlap indicators: conventions, helper protocol, and agreement with pandas."""

import inspect
import threading
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane_data.ta import overlap
from reference import pd_dema, pd_ema, pd_hlc3, pd_hma, pd_rma, pd_sma, pd_tema, pd_vwap, pd_wma

from exact_means import accuracy_cases, largest_error, largest_weighted_error, runs_of_mixed_magnitudes
from thread_progress import longest_stall

# numpy's warnings from the reference formulations (empty seeds, inf - inf)
pytestmark = [
    pytest.mark.filterwarnings("ignore:Mean of empty slice:RuntimeWarning"),
    pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning"),
]

def assert_same(ours, ref, tol=None):
    """Equal values (NaN where the reference is NaN) on an equal index; `tol`
    is an absolute tolerance per row for averages whose reference sums in an
    unspecified order."""
    assert ours.index.equals(ref.index)
    a, b = ours.to_numpy(dtype=float, na_value=np.nan), ref.to_numpy(dtype=float, na_value=np.nan)
    ok = (a == b) | (np.isnan(a) & np.isnan(b))
    if tol is not None:
        ok |= np.abs(a - b) <= tol
    assert ok.all(), f"rows {np.flatnonzero(~ok)[:5]}: {a[~ok][:5]} != {b[~ok][:5]}"


# The rolling mean sums each window from its own rows: equal to pandas within
# 1e-12 of the prices, not bit for bit (see the differential tests).
@pytest.fixture
def close():
    rng = np.random.default_rng(0)
    return pd.Series(100 + np.cumsum(rng.normal(size=60)), index=pd.date_range("2024-01-01", periods=60), name="px")


AVERAGES = ["sma", "ema", "rma", "wma", "dema", "tema", "hma"]

# ---------------------------------------------------------------------------
# Module surface


def test_names_bound_in_order():
    names = [n for n in vars(overlap) if not n.startswith("__")]
    assert names == [
        "Optional", "np", "npDot", "npArange", "Series",
        "verify_series", "get_offset", "_apply_offset", "_handle_fills",
        "sma", "ema", "rma", "wma", "dema", "tema", "hma", "vwap", "hlc3", "ma",
    ]  # fmt: skip
    assert overlap.__doc__ == "Overlap indicators: moving averages and related."
    assert overlap.npDot is np.dot and overlap.Series is pd.Series


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("sma", "(close: pandas.Series, length: int = None, offset: int = None, **kwargs)", "Simple Moving Average (SMA)."),
        ("wma", "(close: pandas.Series, length: int = None, asc: bool = True, offset: int = None, **kwargs)",
         "Weighted Moving Average (WMA) with linearly increasing weights."),
        ("hma", "(close: pandas.Series, length: int = None, offset: int = None, **kwargs)",
         "Hull Moving Average (HMA): WMA(2*WMA(n/2) - WMA(n), sqrt(n))."),
        ("vwap", "(high: pandas.Series, low: pandas.Series, close: pandas.Series, volume: pandas.Series, "
                 "anchor: str = None, offset: int = None, **kwargs)", "Volume Weighted Average Price (VWAP)."),
        ("ma", "(mode: str, source: pandas.Series, **kwargs)", "Dispatch to a moving-average function by name."),
    ],
)  # fmt: skip
def test_signatures_and_doc_lines(name, signature, doc):
    fn = getattr(overlap, name)
    # the annotation shows as the running pandas names its Series class
    # (pandas 2 keeps it in pandas.core.series)
    signature = signature.replace("pandas.Series", inspect.formatannotation(pd.Series))
    assert str(inspect.signature(fn)) == signature + " -> 'Optional[Series]'"
    assert fn.__doc__.splitlines()[0] == doc


# ---------------------------------------------------------------------------
# Argument conventions and results


@pytest.mark.parametrize("length, expected", [(None, 10), (0, 10), (-3, 10), (0.5, 10), (7.9, 7), (np.int32(5), 5), (True, 1)])
def test_length_rule(close, length, expected):
    result = overlap.sma(close, length)
    assert result.name == f"SMA_{expected}"
    assert_same(result, pd_sma(close, expected), tol=1e-10)


@pytest.mark.parametrize("call, arg", [
    (lambda s: overlap.sma(s, "5"), "length"),
    (lambda s: overlap.ema(s, offset="1"), "offset"),
    (lambda s: overlap.vwap(s, s, s, s, anchor=1), "anchor"),
    (lambda s: overlap.ma(None, s), "mode"),
])  # fmt: skip
def test_type_errors_name_the_argument(close, call, arg):
    with pytest.raises(TypeError, match=f"Argument '{arg}' has incorrect type"):
        call(close)


def test_binding_errors(close):
    with pytest.raises(TypeError, match="takes from 1 to 3 positional arguments but 4 were given"):
        overlap.sma(close, 5, 0, 1)
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        overlap.ma("sma", close, 5)


@pytest.mark.parametrize("name", AVERAGES)
def test_results_are_new_named_series_and_leave_the_input_alone(close, name):
    before = close.copy()
    result = getattr(overlap, name)(close, 5)
    assert result is not close and result.name == f"{name.upper()}_5" and result.category == "overlap"
    assert result.index is close.index and result.dtype == np.float64
    pd.testing.assert_series_equal(close, before)
    assert "category" not in vars(close)


@pytest.mark.parametrize(
    "values",
    [np.arange(4.0), np.arange(0.0), np.arange(4), ["a", "b", "c", "d"], pd.date_range("2024", periods=4)],
    ids=["floats", "empty", "ints", "texts", "stamps"],
)
@pytest.mark.parametrize("name", AVERAGES)
def test_series_shorter_than_the_length_give_none(name, values):
    # short before anything else: a short Series of texts is no error
    assert getattr(overlap, name)(pd.Series(values), 5) is None
    assert getattr(overlap, name)(type("Sub", (pd.Series,), {})(values), 5) is None


def test_category_is_an_attribute_even_when_the_index_has_the_label():
    s = pd.Series([1.0, 2.0, 3.0], index=["a", "category", "c"])
    result = overlap.sma(s, 1)
    assert result.category == "overlap" and result.tolist() == [1.0, 2.0, 3.0]


def test_offset_and_fills_reach_the_result(close):
    assert_same(overlap.sma(close, 5, offset=2), pd_sma(close, 5).shift(2), tol=1e-10)
    filled = overlap.wma(close, 5, fillna=0.0)
    assert (filled.iloc[:4] == 0.0).all() and filled.name == "WMA_5"
    assert overlap.ema(close, 5, fill_method="bfill").iloc[0] == overlap.ema(close, 5).iloc[4]


def test_min_periods(close):
    assert overlap.sma(close, 5, min_periods=3).first_valid_index() == close.index[2]
    assert_same(overlap.sma(close, 5, min_periods=0), pd_sma(close, 5), tol=1e-10)
    with pytest.raises(ValueError, match="min_periods 6 must be <= window 5"):
        overlap.sma(close, 5, min_periods=6)


def test_ema_options(close):
    seeded = overlap.ema(close, 10)
    assert seeded.iloc[:9].isna().all() and seeded.iloc[9] == np.nanmean(close.to_numpy()[:10])
    assert overlap.ema(close, 10, sma=False).iloc[0] == close.iloc[0]
    assert_same(overlap.ema(close, 10, adjust=True), pd_ema(close, 10, adjust=True))
    assert_same(overlap.rma(close, 14, adjust=True), overlap.rma(close, 14))


def test_ema_seed_of_missing_values_warns_like_numpy():
    s = pd.Series([np.nan] * 3 + [1.0, 2.0])
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        result = overlap.ema(s, 3)
    assert result.isna().tolist() == [True, True, True, False, False] and result.iloc[3] == 1.0


def test_hma_lengths(close):
    assert overlap.hma(close).name == "HMA_9" and overlap.hma(close).first_valid_index() == close.index[10]
    assert_same(overlap.hma(close, 16), pd_hma(close, 16), tol=1e-10)
    # length 1: the half length 0 means wma's default of 10 rows
    assert_same(overlap.hma(close, 1), pd_hma(close, 1), tol=1e-10)
    assert overlap.hma(close.iloc[:5], 1) is None


def test_composites():
    high = pd.Series([3.0, 6.0, 9.0], index=[0, 1, 2])
    low = pd.Series([0.0, 0.0, 0.0], index=[1, 2, 3])
    result = overlap.hlc3(high, low, high)
    assert result.name == "HLC3" and result.index.tolist() == [0, 1, 2, 3]
    assert_same(result, pd_hlc3(high, low, high))
    price = pd.Series([3.0, np.nan, 3.0, 6.0])
    volume = pd.Series([0, 1, 1, 2])
    vw = overlap.vwap(price, price, price, volume)
    assert vw.name == "VWAP" and vw.isna().tolist() == [True, True, False, False]
    assert vw.iloc[2] == 3.0 / 2 and vw.iloc[3] == 15.0 / 4
    for anchor in (None, "D", "W"):
        assert_same(overlap.vwap(price, price, price, volume, anchor=anchor), vw)


def test_composites_leave_the_callers_index_freq():
    # pandas' alignment of a daily index with a sorted subset of it clears the
    # freq of that index object in place
    def inputs():
        days = pd.Series([1.0, 2.0, 3.0, 4.0], index=pd.date_range("2024-01-01", periods=4, freq="D"))
        return days, days.iloc[[0, 2]].set_axis(days.index[[0, 2]].as_unit("us").copy())

    days, subset = inputs()
    expected = (subset + subset + days) / 3.0, ((subset + subset + days) / 3.0 * days).cumsum() / days.cumsum()
    days, subset = inputs()
    results = overlap.hlc3(subset, subset, days), overlap.vwap(subset, subset, days, days)
    assert days.index.freq == "D"
    for ours, ref in zip(results, expected):
        pd.testing.assert_series_equal(ours, ref, check_names=False)


# ---------------------------------------------------------------------------
# The helper protocol: doubles in the module's dict see every call.


@pytest.fixture
def recorded(monkeypatch):
    calls = []

    def record(name, result):
        def double(*args, **kwargs):
            calls.append((name, args[1:], kwargs))
            return result(*args, **kwargs)

        monkeypatch.setattr(overlap, name, double)

    record("verify_series", lambda s, n=None: s)
    record("get_offset", lambda x: 0 if x is None else x)
    record("_apply_offset", lambda s, o: s)
    record("_handle_fills", lambda s, **kw: s)
    return calls


@pytest.mark.parametrize("call, expected_fill_kwargs", [
    (lambda s: overlap.sma(s, 5, 2, min_periods=3, fillna=0), {"min_periods": 3, "fillna": 0}),
    (lambda s: overlap.ema(s, 5, 2, adjust=True, sma=False, fillna=0), {"fillna": 0}),
    (lambda s: overlap.rma(s, 5, 2, adjust=True), {"adjust": True}),
    (lambda s: overlap.wma(s, 5, False, 2, x=1), {"x": 1}),
])  # fmt: skip
def test_helper_call_order(close, recorded, call, expected_fill_kwargs):
    call(close)
    names = [name for name, _, _ in recorded]
    assert names == ["verify_series", "get_offset", "_apply_offset", "_handle_fills"]
    assert recorded[0][1] == (5,) and recorded[1][1] == () and recorded[2][1] == (2,)
    assert recorded[3][2] == expected_fill_kwargs


def test_none_from_verify_stops_after_get_offset(close, recorded, monkeypatch):
    monkeypatch.setattr(overlap, "verify_series", lambda s, n=None: recorded.append(("verify", (), {})))
    assert overlap.hlc3(close, close, close, offset=1) is None
    assert [name for name, _, _ in recorded] == ["verify", "verify", "verify", "get_offset"]


def test_compound_averages_call_the_module_functions(close, monkeypatch):
    seen = []
    real_ema, real_wma = overlap.ema, overlap.wma

    def ema(s, *args, **kwargs):
        seen.append(("ema", args, kwargs))
        return real_ema(s, *args, **kwargs)

    def wma(s, *args, **kwargs):
        seen.append(("wma", args, kwargs))
        return real_wma(s, *args, **kwargs)

    monkeypatch.setattr(overlap, "ema", ema)
    monkeypatch.setattr(overlap, "wma", wma)
    overlap.tema(close, 8, adjust=True, fillna=0.0)
    assert seen == [("ema", (), {"length": 8, "adjust": True, "fillna": 0.0})] * 3
    seen.clear()
    overlap.hma(close, 16, fillna=0.0)
    assert seen == [("wma", (), {"length": 8}), ("wma", (), {"length": 16}), ("wma", (), {"length": 4})]


def _through_the_dict(monkeypatch, *names):
    """Puts a double of each module function in `names` in the module's dict:
    the averages then call it instead of doing its work themselves."""
    for name in names:
        real = getattr(overlap, name)
        monkeypatch.setattr(overlap, name, lambda *a, _real=real, **k: _real(*a, **k))


CALLS = [
    ("sma", dict(length=5, offset=2, min_periods=3, fillna=0.0)),
    ("ema", dict(length=5, offset=-1, adjust=True, fill_method="bfill")),
    ("rma", dict(length=4, fillna=-1.0, fill_method="ffill")),
    ("wma", dict(length=6, asc=False, offset=3)),
    ("dema", dict(length=5, offset=1, sma=False)),
    ("tema", dict(length=4, adjust=True, offset=-3)),
    ("hma", dict(length=9, offset=-2, fill_method="ffill")),
]


@pytest.mark.parametrize("name, kwargs", CALLS, ids=[name for name, _ in CALLS])
def test_own_helpers_run_natively_as_their_calls_would(close, name, kwargs, monkeypatch, native_roads):
    close = close.copy()
    close.iloc[[3, 17, 30]] = np.nan
    fn = getattr(overlap, name)
    ours = fn(close, **kwargs)
    assert native_roads.roads()["overlap.helpers"]["native"] >= 1
    monkeypatch.delenv("ORVANE_ROADS")
    _through_the_dict(monkeypatch, "verify_series", "get_offset", "_apply_offset", "_handle_fills")
    called = fn(close, **kwargs)
    assert native_roads.roads()["overlap.helpers"]["pandas"] >= 1
    pd.testing.assert_series_equal(ours, called, check_exact=True)
    assert ours.category == called.category == "overlap"


class _Sub(pd.Series):
    pass


def test_the_plain_sma_call_takes_its_road_and_gives_what_the_general_rules_give(close, monkeypatch, native_roads):
    close = close.copy()
    close.iloc[[3, 17]] = np.nan
    plain = overlap.sma(close, 7)
    assert native_roads.roads()["overlap.sma.plain"]["native"] == 1
    assert overlap.sma(close, 61) is None  # more rows asked than held: None, as the general rules give
    general = overlap.sma(close, 7, min_periods=7)
    assert native_roads.roads()["overlap.sma.plain"]["native"] == 1
    pd.testing.assert_series_equal(plain, general, check_exact=True)
    assert plain.category == "overlap" and plain.name == "SMA_7"
    # a helper put in the package's place is called, as for any other call
    monkeypatch.delenv("ORVANE_ROADS")
    _through_the_dict(monkeypatch, "_handle_fills")
    pd.testing.assert_series_equal(overlap.sma(close, 7), plain, check_exact=True)
    assert native_roads.roads()["overlap.sma.plain"]["native"] == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda s: overlap.sma(s, 7, offset=0),
        lambda s: overlap.sma(s, 7, fillna=0.0),
        lambda s: overlap.sma(s),
        lambda s: overlap.sma(s, -3),
        lambda s: overlap.sma(_Sub(s), 7),
    ],
    ids=["offset", "option", "no length", "length below 1", "subclass"],
)
def test_calls_beyond_the_plain_one_take_the_general_rules(close, call, native_roads):
    call(close)
    assert "overlap.sma.plain" not in native_roads.roads()
    assert native_roads.roads()["overlap.sma"]["native"] == 1


@pytest.mark.parametrize("adjust, seeded", [(False, True), (True, True), (False, False), (True, False)])
@pytest.mark.parametrize("name, depth", [("dema", 2), ("tema", 3)])
def test_fused_stacked_means_match_their_ema_calls(name, depth, adjust, seeded, monkeypatch, native_roads):
    rng = np.random.default_rng(depth)
    values = 100 + np.cumsum(rng.normal(size=3_000))
    values[:6] = np.nan  # the first seeds average nothing: numpy's warning
    values[rng.choice(3_000, 25, replace=False)] = np.nan
    values[400:403] = np.inf
    s = pd.Series(values, index=pd.date_range("2020", periods=3_000, freq="h"), name="px")
    fn = getattr(overlap, name)

    def call():
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            return fn(s, 6, adjust=adjust, sma=seeded), [str(w.message) for w in seen]

    fused, fused_warnings = call()
    assert native_roads.roads()[f"overlap.{name}"]["native"] == 1
    monkeypatch.delenv("ORVANE_ROADS")
    _through_the_dict(monkeypatch, "ema")
    called, called_warnings = call()
    assert native_roads.roads()[f"overlap.{name}"]["pandas"] == 1
    pd.testing.assert_series_equal(fused, called, check_exact=True)
    # each pass's seed averages nothing: one warning a pass, as `ema` gives
    assert fused_warnings == called_warnings == ["Mean of empty slice"] * (depth if seeded else 0)


def test_ma_dispatches_through_the_module_dict(close, monkeypatch):
    assert_same(overlap.ma("EMA", close, length=20), overlap.ema(close, length=20))
    assert overlap.ma("EMA", close, length=20).name == "EMA_20"
    assert overlap.ma("vwap", close).name == overlap.ma("", close).name == "SMA_10"
    monkeypatch.setattr(overlap, "hma", lambda source, **kw: ("double", kw))
    assert overlap.ma("HMA", source=close, length=3) == ("double", {"length": 3})
    monkeypatch.delattr(overlap, "rma")
    with pytest.raises(NameError, match="name 'rma' is not defined"):
        overlap.ma("sma", close)


# ---------------------------------------------------------------------------
# dtypes: the pandas formulation's values and result dtype, or a clear error


@pytest.mark.parametrize("dtype", ["int64", "uint8", "bool", "float32", "Int64", "Float64", "boolean", "double[pyarrow]"])
def test_numeric_dtypes_match_pandas(dtype):
    values = [True, False, True, None, True, False, True, True] if "bool" in dtype else [3, 1, 4, None, 5, 9, 2, 6]
    if dtype in ("int64", "uint8", "bool"):
        values = [v if v is not None else 1 for v in values]
    s = pd.Series(values, dtype=dtype)
    for ours, ref in [
        (overlap.sma(s, 3), pd_sma(s, 3)),
        (overlap.ema(s, 3), pd_ema(s, 3)),
        (overlap.rma(s, 3), pd_rma(s, 3)),
        (overlap.wma(s, 3), pd_wma(s, 3)),
        (overlap.hlc3(s, s, s), pd_hlc3(s, s, s)),
        (overlap.vwap(s, s, s, s), pd_vwap(s, s, s, s)),
    ]:
        assert ours.dtype == ref.dtype
        assert_same(ours, ref, tol=1e-12)


@pytest.mark.parametrize(
    "s",
    [
        pd.Series(["1", "2", "3"]),
        pd.Series(["1", 2.0, 3], dtype=object),
        pd.Series(pd.date_range("2024", periods=3)),
        pd.Series([1j, 2j, 3j]),
        pd.Series([1.0, 2.0, 3.0], dtype="category"),
    ],
    ids=["str", "text among numbers", "datetime", "complex", "category"],
)
def test_non_numeric_series_are_refused(s):
    for fn in (overlap.sma, overlap.ema, overlap.wma):
        with pytest.raises(TypeError, match=r"needs numeric values, got a Series of dtype"):
            fn(s, 2)


@pytest.mark.parametrize(
    "values",
    [
        [1.5, 2.0, None, 4.0, 5.25, 6.0, 7.0],
        [1, 2, 3, 4, 5, 6, 7],
        [1, 2.5, np.nan, 4, 5, 6, 7.5],
        [None] * 7,
    ],
    ids=["floats and None", "ints", "ints, floats, NaN", "all None"],
)
@pytest.mark.parametrize("name", ["sma", "ema", "rma", "wma", "dema", "tema", "hma"])
def test_numbers_stored_as_objects_average_as_float64(values, name, native_roads):
    # pandas' windows read an object column of numbers as float64
    s = pd.Series(values, dtype=object)
    as_float = pd.Series(values, dtype=float)
    fn = getattr(overlap, name)
    assert_same(fn(s, 3), fn(as_float, 3))
    assert native_roads.roads()[f"overlap.{name}"]["native"] >= 2
    assert_same(overlap.sma(s, 3, min_periods=1), pd_sma(s, 3, 1), tol=1e-12)


@pytest.mark.parametrize(
    "values",
    [
        [Fraction(400 + i, 4) for i in range(20)],
        [Decimal("1.25") * i for i in range(20)],
        [1.5, True, 2.0, False, None, 3.0, True] * 3,
        [np.float32(1.5), np.int16(2), np.uint8(7), 4.0, np.nan, np.bool_(True), pd.NA] * 3,
    ],
    ids=["Fractions", "Decimals", "bools among floats", "numpy scalars"],
)
@pytest.mark.parametrize("name", ["sma", "ema", "wma", "hma"])
def test_numbers_of_any_type_stored_as_objects_average_as_pandas_reads_them(values, name, native_roads):
    s = pd.Series(values, dtype=object)
    as_float = pd.Series([np.nan if v is None or v is pd.NA else float(v) for v in values])
    assert_same(getattr(overlap, name)(s, 4), getattr(overlap, name)(as_float, 4))
    if not any(v is pd.NA for v in values):  # pandas' own windows refuse pd.NA
        assert_same(overlap.sma(s, 4, min_periods=1), pd_sma(s, 4, 1), tol=1e-12)


@pytest.mark.parametrize(
    "values",
    [[1.0, 2.0, "3.5", 4.0], [1.0, b"2", 3.0, 4.0], [Fraction(1, 2), 2.0, 3j, 4.0], [1.0, pd.Timestamp(0), 2.0, 3.0]],
    ids=["numeric text", "bytes", "complex", "time stamp"],
)
def test_objects_that_are_not_numbers_are_refused(values):
    with pytest.raises(TypeError, match=r"^sma\(\) needs numeric values, got a Series of dtype 'object'$"):
        overlap.sma(pd.Series(values, dtype=object), 2)


@pytest.mark.parametrize("layout", ["strided", "byte-swapped"])
def test_strided_read_only_and_byte_swapped_inputs(layout):
    base = np.arange(40.0) ** 1.5
    base.flags.writeable = False
    s = pd.Series(base[::2], copy=False) if layout == "strided" else pd.Series(base.astype(">f8"))
    native = s.astype(np.float64)  # pandas' windows read no other byte order
    assert_same(overlap.sma(s, 4), pd_sma(native, 4), tol=1e-12)
    assert_same(overlap.ema(s, 4), pd_ema(native, 4))
    assert_same(overlap.wma(s, 4), pd_wma(native, 4), tol=1e-12)


def test_values_are_read_once_with_no_copy_allowed_on_pandas_3(monkeypatch):
    """pandas 3 skips its check whether the array asked for is a view only
    when told no copy may be made, and then hands out only numbers it holds,
    so the dtype need not be read; pandas 2.2.0 takes no copy argument."""
    asked, dtype_reads = [], []
    own_array, own_dtype = pd.Series.__array__, pd.Series.dtype

    def recording(self, *args, **kwargs):
        asked.append((args, kwargs))
        return own_array(self, *args, **kwargs)

    monkeypatch.setattr(pd.Series, "__array__", recording)
    monkeypatch.setattr(pd.Series, "dtype", property(lambda self: dtype_reads.append(1) or own_dtype.fget(self)))
    s = pd.Series(np.arange(30.0))
    ours = overlap.sma(s, 5)
    pandas_3 = int(pd.__version__.split(".")[0]) >= 3
    assert asked == [((None, False) if pandas_3 else (), {})]
    assert len(dtype_reads) == (0 if pandas_3 else 1)
    assert_same(ours, pd_sma(s, 5), tol=1e-12)


@pytest.mark.parametrize("dtype", ["Int64", "Float64", "boolean", "Sparse[float64]", "int8"])
def test_numbers_held_with_nothing_missing_match_pandas(dtype):
    # read as the array they are held in, where pandas 3 can hand that out
    s = pd.Series([1, 0, 1, 1, 0, 1, 1, 1], dtype=dtype)
    for ours, ref in [(overlap.sma(s, 3), pd_sma(s, 3)), (overlap.ema(s, 3), pd_ema(s, 3)), (overlap.wma(s, 3), pd_wma(s, 3))]:
        assert ours.dtype == ref.dtype
        assert_same(ours, ref, tol=1e-12)


def test_kernels_run_on_threads():
    series = [pd.Series(np.random.default_rng(i).random(100_000) + 1) for i in range(4)]
    results = [None] * 4

    def work(i):
        results[i] = overlap.sma(series[i], 20)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for s, r in zip(series, results):
        assert_same(r, pd_sma(s, 20), tol=1e-12)


# one kernel of each family, each on a series long enough to run tens of ms
@pytest.mark.parametrize(
    "family",
    [
        pytest.param(lambda s: overlap.sma(s, 50), id="rolling"),
        pytest.param(lambda s: overlap.ema(s, 50, adjust=True), id="exponential"),
        pytest.param(lambda s: overlap.wma(s, 50), id="weighted"),
    ],
)
def test_a_python_thread_runs_while_a_kernel_does(family):
    s = pd.Series(100 + np.random.default_rng(3).random(6_000_000))
    # on a loaded machine the counter can be descheduled now and then: a
    # kernel that keeps the GIL stalls it in every try
    tries = [longest_stall(lambda: family(s)) for _ in range(3)]
    assert min(stall / took for stall, took in tries) < 0.5, tries


# ---------------------------------------------------------------------------
# Differential tests against the pandas formulation on generated series


def _segment(draw):
    kind = draw(st.sampled_from(["prices", "mixed", "huge", "tiny", "nan", "inf", "constant"]))
    n = draw(st.integers(1, 12))
    if kind == "prices":
        return draw(st.lists(st.floats(95, 105), min_size=n, max_size=n))
    if kind == "mixed":
        return draw(st.lists(st.floats(-1e6, 1e6, allow_nan=False), min_size=n, max_size=n))
    if kind == "huge":
        return draw(st.lists(st.floats(1e290, 1e300) | st.floats(-1e300, -1e290), min_size=n, max_size=n))
    if kind == "tiny":
        return draw(st.lists(st.floats(1e-300, 1e-290), min_size=n, max_size=n))
    if kind == "nan":
        return [np.nan] * n
    if kind == "inf":
        return draw(st.lists(st.sampled_from([np.inf, -np.inf]), min_size=n, max_size=n))
    return [draw(st.floats(-1e3, 1e3, allow_nan=False))] * n


@st.composite
def series(draw, max_segments=5):
    values = [v for _ in range(draw(st.integers(1, max_segments))) for v in _segment(draw)]
    n = len(values)
    index = draw(st.sampled_from(["range", "dates", "labels", "shuffled"]))
    if index == "dates":
        idx = pd.date_range("2020-01-01", periods=n, freq="h")
    elif index == "labels":
        idx = pd.Index([f"r{i}" for i in range(n)])
    elif index == "shuffled":
        idx = pd.Index(draw(st.permutations(range(n))))
    else:
        idx = pd.RangeIndex(n)
    return pd.Series(values, index=idx, dtype=float)


def _window_scale(s, span):
    """Largest |value| among the rows that reach each output row."""
    return s.abs().where(np.isfinite(s)).rolling(span, min_periods=1).max().fillna(0).to_numpy()


DIFF = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@st.composite
def long_prices(draw):
    """Hundreds of price-like rows: random walks, cent-rounded stretches full of
    equal neighbours, flat runs longer than a window, and short gaps."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    parts, level = [], 100.0
    for kind in draw(st.lists(st.sampled_from(["walk", "cents", "flat", "gap"]), min_size=1, max_size=8)):
        n = int(rng.integers(1, 300))
        if kind == "gap":
            parts.append(rng.choice([np.nan, np.inf, -np.inf], size=int(rng.integers(1, 6))))
            continue
        if kind == "flat":
            walk = np.full(n, level)
        else:
            walk = level * np.exp(np.cumsum(rng.normal(0.0, 2e-3, n)))
            if kind == "cents":
                walk = np.round(walk, 2)
        level = walk[-1]
        parts.append(walk)
    return pd.Series(np.concatenate(parts))


# Short mixed series of every kind, and series many windows long that cross
# the block boundaries of the block-wise sums with and without missing rows
# and equal runs on either side.
SMA_CASES = st.tuples(series(), st.integers(1, 25)) | st.tuples(long_prices(), st.integers(2, 160))


# Each window is summed from its own rows: within (length + 2) roundings of
# the window's mean absolute value, however wide the series. pandas' one
# compensated sum carries rounding of values long gone, so where the two
# differ the exact means decide, and only the missing rows must match pandas'.
def _rounding_bound(length):
    return (length + 2) * np.finfo(float).eps


@settings(DIFF, max_examples=2 * DIFF.max_examples)
@given(case=SMA_CASES, min_periods=st.integers(0, 160))
def test_sma_matches_the_exact_means_where_pandas_has_a_value(case, min_periods):
    s, length = case
    min_periods = min(min_periods, length)
    ours = overlap.sma(s, length, min_periods=min_periods)
    if len(s) < length:
        assert ours is None
        return
    ref = pd_sma(s, length, min_periods)
    assert ours.index.equals(ref.index)
    assert (ours.isna() == ref.isna()).all()
    assert largest_error(ours, s, length, min_periods) <= _rounding_bound(length)
    # pandas' rules: a window of one repeated value gives that value exactly,
    # not its sum / n, and a window without negative values no negative mean
    window = s.where(np.isfinite(s)).rolling(length, min_periods=length)
    flat = (window.max() == window.min()).to_numpy()
    assert (ours.to_numpy()[flat] == s.to_numpy()[flat]).all()
    lows = s.where(np.isfinite(s)).rolling(length, min_periods=1).min().to_numpy()
    assert not (ours.to_numpy()[lows >= 0] < 0).any()


@pytest.mark.parametrize("length", [2, 5, 10, 50, 300])
@pytest.mark.parametrize("case", ["prices ~1e4", "returns, cancelling jumps", "zero-crossing walk", "NaN runs"])
def test_sma_is_within_1e_14_of_the_exact_means(case, length, native_roads):
    values = accuracy_cases(4_000)[case]
    min_periods = max(1, length // 2) if case == "NaN runs" else None
    ours = overlap.sma(pd.Series(values), length, min_periods=min_periods)
    assert largest_error(ours, values, length, min_periods) <= 1e-14
    assert native_roads.roads()["overlap.sma"]["native"] == 1


@pytest.mark.parametrize("length", [7, 64, 65, 100, 1000, 1021, 1024, 1025, 4_096, 30_000, 100_000])
def test_long_sma_is_within_1e_14_of_the_exact_means(length, native_roads):
    # long runs of one value round the same way at every addition: plain
    # running sums drift by a rounding per row of the window
    values = runs_of_mixed_magnitudes(length + 60_000, max(length, 2_000), seed=length)
    values[len(values) // 2] = np.nan
    ours = overlap.sma(pd.Series(values), length, min_periods=1)
    assert largest_error(ours, values, length, 1) <= 1e-14
    assert native_roads.roads()["overlap.sma"]["native"] == 1


@pytest.mark.parametrize("length", [1_000, 1_025, 5_000, 20_000])
def test_long_weighted_means_are_near_the_exact_means(length, native_roads):
    # plain sums of a window's weighted rows: a rounding per row at most,
    # far less on these series
    bound = 1e-14 + 2e-17 * length
    for name, values in accuracy_cases(length + 20_000, seed=length).items():
        ours = overlap.wma(pd.Series(values), length)
        assert largest_weighted_error(ours, values, length) <= bound, name
    assert native_roads.roads()["overlap.wma"]["native"] == 5


@pytest.mark.parametrize("length", [2, 5, 17, 64])
@pytest.mark.parametrize("gaps", [False, True])
def test_sma_of_values_near_the_float_limit_stays_finite(length, gaps):
    # window sums of such values overflow unless summed scaled
    values = 1e307 * (1 + 0.01 * np.sin(np.arange(300)))
    values[::7] *= 17.0  # up to ~1.7e308: any two of these overflow a sum
    if gaps:
        values[40:45] = np.nan
        values[100] = np.inf
    ours = overlap.sma(pd.Series(values), length, min_periods=1)
    assert largest_error(ours, values, length, 1) <= 1e-14


@pytest.mark.parametrize("length", [2, 10, 63, 64, 65, 150])
def test_sma_of_a_flat_stretch_is_the_price_exactly(length):
    rng = np.random.default_rng(length)
    walk = 100 * np.exp(np.cumsum(rng.normal(0.0, 2e-3, 700)))
    walk[300:600] = walk[299] * 1.01  # a price no sum of copies divides back to
    ours = overlap.sma(pd.Series(walk), length).to_numpy()
    assert (ours[300 + length - 1 : 600] == walk[300]).all()
    assert_same(pd.Series(ours), pd_sma(pd.Series(walk), length), 1e-12 * 200)


@DIFF
@given(s=series(), length=st.integers(1, 25), adjust=st.booleans(), seeded=st.booleans())
def test_exponential_means_match_pandas_exactly(s, length, adjust, seeded):
    if len(s) < length:
        assert overlap.ema(s, length) is None and overlap.rma(s, length) is None
        return
    assert_same(overlap.ema(s, length, adjust=adjust, sma=seeded), pd_ema(s, length, adjust, seeded))
    assert_same(overlap.rma(s, length), pd_rma(s, length))
    assert_same(overlap.dema(s, length, adjust=adjust), pd_dema(s, length, adjust=adjust))
    assert_same(overlap.tema(s, length, sma=seeded), pd_tema(s, length, sma=seeded))


@pytest.mark.parametrize("length", [2, 10, 14, 60, 600])
def test_long_exponential_means_match_pandas_exactly(length, native_roads):
    # long enough that the unadjusted mean runs as several chains
    rng = np.random.default_rng(length)
    values = 100 * np.exp(np.cumsum(rng.normal(0.0, 0.01, 120_000)))
    values[rng.choice(len(values), 40, replace=False)] = np.nan
    values[5_000:5_003] = np.inf
    s = pd.Series(values)
    assert_same(overlap.ema(s, length), pd_ema(s, length))
    assert_same(overlap.ema(s, length, sma=False), pd_ema(s, length, sma=False))
    assert_same(overlap.rma(s, length), pd_rma(s, length))
    assert_same(overlap.tema(s, length), pd_tema(s, length))
    roads = native_roads.roads()
    assert roads["overlap.ema"]["native"] == 2 and roads["overlap.rma"]["native"] == 1
    assert roads["overlap.tema"]["native"] == 1


# long lengths: chunks of four windows rather than of a few thousand rows
@pytest.mark.parametrize("length", [1, 2, 9, 16, 50, 700, 1_500, 3_000, 6_000])
def test_fused_hull_mean_matches_its_three_passes(length, monkeypatch):
    rng = np.random.default_rng(length)
    values = 100 * np.exp(np.cumsum(rng.normal(0.0, 0.01, 20_000)))
    values[rng.choice(len(values), 30, replace=False)] = np.nan
    values[9_000:9_100] = np.nan  # a gap wider than a pass's chunk edge
    s = pd.Series(values)
    fused = overlap.hma(s, length)
    real_wma = overlap.wma
    # a double in the module's dict makes hma call it three times
    monkeypatch.setattr(overlap, "wma", lambda *a, **k: real_wma(*a, **k))
    passes = overlap.hma(s, length)
    assert (fused.isna() == passes.isna()).all()
    assert_same(fused, passes, 1e-12 * _window_scale(s, length + 20))


def test_fused_hull_mean_holds_no_full_length_temporaries():
    import tracemalloc

    s = pd.Series(np.random.default_rng(0).random(2_000_000) + 1)
    overlap.hma(s.iloc[:1000], 20)
    tracemalloc.start()
    try:
        result = overlap.hma(s, 20)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # the result and nothing else of its size (three passes hold four)
    assert peak < 1.5 * s.to_numpy().nbytes, peak
    assert result.notna().sum() == len(s) - 20 - 4 + 2


@settings(DIFF, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(s=series(), length=st.integers(1, 25), asc=st.booleans())
def test_weighted_means_match_pandas(s, length, asc, native_roads):
    if len(s) < length:
        assert overlap.wma(s, length) is None
        return
    # the reference's dot product sums in BLAS order: a few ulps of the window
    assert_same(overlap.wma(s, length, asc=asc), pd_wma(s, length, asc), 1e-12 * _window_scale(s, length))
    assert native_roads.roads()["overlap.wma"]["native"] > 0
    if len(s) < (int(length / 2) or 10):
        # the half-length average has too few rows (pandas' formulation fails
        # on None * 2 here)
        assert overlap.hma(s, length) is None
        return
    span = length + int(np.sqrt(length)) + 10
    assert_same(overlap.hma(s, length), pd_hma(s, length), 4e-12 * _window_scale(s, span))
    assert native_roads.roads()["overlap.hma"]["native"] > 0


@settings(DIFF, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(s=series(), volume=st.lists(st.integers(0, 10**6), min_size=60, max_size=60), as_float=st.booleans())
def test_composites_match_pandas_exactly(s, volume, as_float, native_roads):
    n = len(s)
    vol = pd.Series(volume[:n], index=s.index)
    if as_float:
        vol = vol.astype(float).where(np.arange(n) % 7 != 3)
    high, low = s * 1.5, s.shift(1)
    assert_same(overlap.hlc3(high, low, s), pd_hlc3(high, low, s))
    assert_same(overlap.vwap(high, low, s, vol), pd_vwap(high, low, s, vol))
    assert native_roads.roads()["overlap.vwap"]["native"] > 0


# --- results built around a manager -------------------------------------------

class SeriesKind(pd.Series):
    @property
    def _constructor(self):
        return SeriesKind


@pytest.mark.parametrize("name", ["sma", "ema", "wma", "hlc3"])
@pytest.mark.parametrize("labels", [None, pd.date_range("2024-06-07", periods=300, freq="min", tz="UTC"),
                                    pd.Index(list("ab") * 150)])
def test_results_are_built_around_a_manager_as_the_constructor_builds_them(name, labels, native_roads):
    close = pd.Series(np.linspace(100.0, 101.0, 300), index=labels, name="close")
    got = overlap.hlc3(close, close, close) if name == "hlc3" else getattr(overlap, name)(close, length=10)
    # every pandas line the package runs on (2.2, 2.3, 3.x) builds Series around a manager
    assert native_roads.roads()["results.manager_series"] == {"native": 1, "pandas": 0}
    built = pd.Series(got.to_numpy(copy=True), index=close.index, name=got.name, copy=False)
    pd.testing.assert_series_equal(got, built, check_flags=True, check_index_type=True)
    assert sorted(vars(got)) == sorted([*vars(built), "category"]) and got.category == "overlap"
    assert got.attrs == {} and got.flags.allows_duplicate_labels
    assert got.index is close.index and built.index is close.index
    assert np.asarray(got).flags.writeable == np.asarray(built).flags.writeable
    # the values are the result's own: a change stays in it
    got.iloc[-1] = -1.0
    assert close.iloc[-1] == 101.0 and got.iloc[-1] == -1.0


def test_another_series_class_takes_the_constructor(monkeypatch):
    from orvane_data import _glue

    monkeypatch.setattr(overlap, "Series", SeriesKind)
    close = SeriesKind(np.linspace(100.0, 101.0, 50), name="close")
    _glue.reset_roads()
    got = overlap.sma(close, length=5)
    assert type(got) is SeriesKind and got.name == "SMA_5" and got.category == "overlap"
    assert_same(got, pd_sma(pd.Series(close), 5), 1e-12 * 101)
    assert _glue.roads()["results.manager_series"] == {"native": 0, "pandas": 1}
    monkeypatch.setenv("ORVANE_ROADS", "strict")
    with pytest.raises(RuntimeError, match=r"results.manager_series took its pandas formulation "
                                           r"\(Series is not pandas' own\)"):
        overlap.sma(close, length=5)
