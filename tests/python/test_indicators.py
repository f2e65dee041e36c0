"""The momentum, volatility, volume and trend indicators: TA-Lib's values
after the warm-up on random and real-shaped bars, the pandas formulation
(reference.py) on data with missing values, and the averages' input rules."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import reference as ref
from doubles import SRC
from thread_progress import longest_stall

from orvane_data.ta import momentum, overlap, trend, volatility, volume

talib = pytest.importorskip("talib")


def random_bars(n, seed=0):
    rng = np.random.default_rng(seed)
    close = 100 + np.cumsum(rng.normal(0, 1, n))
    high = close + rng.uniform(0, 2, n)
    low = close - rng.uniform(0, 2, n)
    vol = rng.integers(0, 10_000, n).astype(float)
    return high, low, close, vol


def real_shaped_bars(n, seed=1):
    """Daily bars of a lognormal walk with opening gaps, flat stretches (a
    halted or illiquid name: high = low = close, no volume) and limit moves
    (closing at the day's high or low after a large move)."""
    rng = np.random.default_rng(seed)
    ret = rng.normal(0, 0.015, n)
    ret[rng.random(n) < 0.02] *= 6  # limit moves
    close = 50 * np.exp(np.cumsum(ret))
    open_ = np.roll(close, 1) * np.exp(rng.normal(0, 0.01, n))  # gaps
    open_[0] = close[0]
    high = np.maximum(open_, close) * (1 + rng.uniform(0, 0.01, n))
    low = np.minimum(open_, close) * (1 - rng.uniform(0, 0.01, n))
    limit = np.abs(ret) > 0.05
    high[limit & (ret > 0)] = close[limit & (ret > 0)]
    low[limit & (ret < 0)] = close[limit & (ret < 0)]
    vol = rng.lognormal(10, 1, n).round()
    for start in rng.choice(n - 60, 5, replace=False):
        flat = slice(start, start + int(rng.integers(5, 60)))
        high[flat] = low[flat] = close[flat] = close[start]
        vol[flat] = 0
    return high, low, close, vol


# Each indicator: ours on Series, TA-Lib's outputs on arrays, the rows of
# warm-up (30 lengths of the slowest smoothing), the scale of its inputs.
CASES = {
    "rsi": (lambda h, l, c, v: momentum.rsi(c), lambda h, l, c, v: [talib.RSI(c, 14)], 30 * 14),
    "macd": (lambda h, l, c, v: momentum.macd(c), lambda h, l, c, v: talib.MACD(c, 12, 26, 9), 30 * 26),
    "stoch": (
        lambda h, l, c, v: momentum.stoch(h, l, c),
        lambda h, l, c, v: talib.STOCH(h, l, c, 14, 3, 0, 3, 0),
        30 * 14,
    ),
    "bbands": (
        lambda h, l, c, v: volatility.bbands(c),
        lambda h, l, c, v: talib.BBANDS(c, 20, 2.0, 2.0, 0),
        30 * 20,
    ),
    "atr": (lambda h, l, c, v: volatility.atr(h, l, c), lambda h, l, c, v: [talib.ATR(h, l, c, 14)], 30 * 14),
    "obv": (lambda h, l, c, v: volume.obv(c, v), lambda h, l, c, v: [talib.OBV(c, v)], 0),
    "adx": (
        lambda h, l, c, v: trend.adx(h, l, c),
        lambda h, l, c, v: [talib.ADX(h, l, c, 14), talib.PLUS_DI(h, l, c, 14), talib.MINUS_DI(h, l, c, 14)],
        30 * 14,
    ),
}


def as_columns(result):
    return [result] if isinstance(result, pd.Series) else [result[c] for c in result.columns]


@pytest.mark.parametrize("bars", [random_bars, real_shaped_bars])
@pytest.mark.parametrize("name", list(CASES))
def test_equals_talib_after_the_warm_up(name, bars, native_roads):
    h, l, c, v = bars(5_000)
    ours_fn, theirs_fn, warm = CASES[name]
    index = pd.date_range("2000-01-03", periods=len(c), freq="B")
    series = [pd.Series(x, index=index) for x in (h, l, c, v)]
    ours = as_columns(ours_fn(*series))
    theirs = theirs_fn(h, l, c, v)
    assert len(ours) == len(theirs)
    # a value near 0 is compared at the scale it is 0 on: a difference of
    # prices (MACD, the histogram) at the prices', an oscillator at 100 (a
    # running sum leaves TA-Lib's flat stretches a few 1e-14 off 0)
    scale = 1e-9 * {"macd": np.abs(c).max(), "obv": 0.0, "atr": 0.0, "bbands": 0.0}.get(name, 100.0)
    for column, expected in zip(ours, theirs):
        assert column.index.equals(index)
        np.testing.assert_allclose(column.to_numpy()[warm:], expected[warm:], rtol=1e-9, atol=scale)
        # before the warm-up: NaN where TA-Lib has no value yet or the same value
        early = column.to_numpy()[:warm]
        has = ~np.isnan(expected[:warm])
        np.testing.assert_allclose(early[has], expected[:warm][has], rtol=1e-9, atol=max(scale, 1e-9))
    road = f"{ours_fn(*series).category}.{name}"
    assert native_roads.roads()[road]["native"] >= 1
    native_roads.reset_released()
    ours_fn(*series)
    assert native_roads.released()[road] == 1  # the kernel ran with the GIL released


def with_missing(seed=2, n=1_500):
    h, l, c, v = random_bars(n, seed)
    rng = np.random.default_rng(seed)
    for arr in (h, l, c, v):
        arr[rng.random(n) < 0.02] = np.nan
    h[7], l[400], c[900] = np.inf, -np.inf, np.inf
    c[100:130] = 95.0
    return [pd.Series(x) for x in (h, l, c, v)]


REFERENCE = [
    ("rsi", lambda h, l, c, v, n: momentum.rsi(c, n), lambda h, l, c, v, n: ref.rsi(c, n)),
    ("macd", lambda h, l, c, v, n: momentum.macd(c, n, 2 * n, n // 2), lambda h, l, c, v, n: ref.macd(c, n, 2 * n, n // 2)),
    ("stoch", lambda h, l, c, v, n: momentum.stoch(h, l, c, n, 3, 2), lambda h, l, c, v, n: ref.stoch(h, l, c, n, 3, 2)),
    ("bbands", lambda h, l, c, v, n: volatility.bbands(c, n, 1.5), lambda h, l, c, v, n: ref.bbands(c, n, 1.5)),
    ("bbands ddof", lambda h, l, c, v, n: volatility.bbands(c, n, ddof=1), lambda h, l, c, v, n: ref.bbands(c, n, ddof=1)),
    ("atr", lambda h, l, c, v, n: volatility.atr(h, l, c, n), lambda h, l, c, v, n: ref.atr(h, l, c, n)),
    ("obv", lambda h, l, c, v, n: volume.obv(c, v), lambda h, l, c, v, n: ref.obv(c, v)),
    ("adx", lambda h, l, c, v, n: trend.adx(h, l, c, n), lambda h, l, c, v, n: ref.adx(h, l, c, n)),
]


@pytest.mark.parametrize("length", [2, 3, 14])
@pytest.mark.parametrize("name, ours, pandas_formulation", REFERENCE, ids=[r[0] for r in REFERENCE])
def test_missing_values_follow_the_pandas_formulation(name, ours, pandas_formulation, length):
    series = with_missing()
    got, expected = ours(*series, length), pandas_formulation(*series, length)
    pd.testing.assert_frame_equal(
        pd.DataFrame(got), pd.DataFrame(expected), check_exact=False, rtol=1e-9, atol=1e-9, check_names=False
    )
    assert not np.isinf(pd.DataFrame(got).to_numpy()).any()
    assert list(pd.DataFrame(got).columns) == list(pd.DataFrame(expected).columns)


_BUILDS_PROBE = """
import hashlib, json, sys
import numpy as np, pandas as pd
sys.path.insert(0, sys.argv[1])
from test_indicators import CASES, with_missing, random_bars
from orvane_data import _glue
h, l, c, v = (pd.Series(x) for x in random_bars(20_000, seed=3))
digests = {}
for name, (ours, _, _) in CASES.items():
    for tag, bars in (("clean", (h, l, c, v)), ("gaps", with_missing())):
        out = pd.DataFrame(ours(*bars)).to_numpy()
        digests[f"{name} {tag}"] = hashlib.sha256(out.tobytes()).hexdigest()
print(json.dumps({"build": _glue.simd(), "digests": digests}))
"""


def test_both_simd_builds_give_the_same_values_bit_for_bit():
    # the exponential means' closed-form steps run in vectors: each build
    # rounds every operation on its own, so the two must agree exactly
    runs = {}
    for build in ("baseline", "avx2"):
        env = dict(os.environ, PYTHONPATH=str(SRC), ORVANE_SIMD=build)
        out = subprocess.run([sys.executable, "-c", _BUILDS_PROBE, str(Path(__file__).parent)], env=env,
                             capture_output=True, text=True, check=True)
        runs[build] = json.loads(out.stdout)
    assert runs["baseline"]["build"] == "baseline"
    assert runs["baseline"]["digests"] == runs["avx2"]["digests"]


@pytest.mark.parametrize("length", [1, 5])
def test_flat_ranges_give_zero_not_infinity(length):
    flat = pd.Series(np.full(60, 10.0))
    assert (momentum.rsi(flat, length).dropna() == 0).all()
    assert (momentum.stoch(flat, flat, flat, length, 2, 2).dropna() == 0).all().all()
    adx = trend.adx(flat, flat, flat, length)
    assert (adx.dropna() == 0).all().all() and adx.notna().any().all()
    assert (volatility.atr(flat, flat, flat, length).dropna() == 0).all()
    bands = volatility.bbands(flat, max(length, 2))
    assert (bands.dropna().nunique(axis=1) == 1).all()


# ---------------------------------------------------------------------------
# The averages' input rules


def single(fn):
    return lambda s, **kw: fn(s, **kw)


def triple(fn):
    return lambda s, **kw: fn(s, s, s, **kw)


CALLS = {
    "rsi": (single(momentum.rsi), "length", "RSI_{}", 14),
    "macd": (single(momentum.macd), "fast", "MACD_{}_26_9", 12),
    "stoch": (triple(momentum.stoch), "k", "STOCHk_{}_3_3", 14),
    "bbands": (single(volatility.bbands), "length", "BBU_{}_2.0", 20),
    "atr": (triple(volatility.atr), "length", "ATR_{}", 14),
    "adx": (triple(trend.adx), "length", "ADX_{}", 14),
}


def first_name(result):
    return result.name if isinstance(result, pd.Series) else result.columns[0]


@pytest.fixture
def close():
    return pd.Series(100 + np.sin(np.arange(120) / 5.0), index=pd.date_range("2024-01-01", periods=120, name="day"))


@pytest.mark.parametrize("length, expected", [(None, None), (0, None), (-3, None), (0.5, None), (7.9, 7), (np.int32(5), 5), (True, 1)])
@pytest.mark.parametrize("name", list(CALLS))
def test_length_rule_as_the_averages(close, name, length, expected):
    fn, param, pattern, default = CALLS[name]
    result = fn(close, **{param: length})
    assert first_name(result) == pattern.format(default if expected is None else expected)
    # the averages read the same numbers the same way
    assert overlap.sma(close, length).name == f"SMA_{10 if expected is None else expected}"


@pytest.mark.parametrize("name", list(CALLS))
def test_argument_errors_as_the_averages(close, name):
    fn, param, _, _ = CALLS[name]
    with pytest.raises(TypeError, match=f"Argument '{param}' has incorrect type \\(expected int, got str\\)"):
        fn(close, **{param: "5"})
    with pytest.raises(TypeError, match=r"expected a pandas Series, got list"):
        fn(list(close))
    with pytest.raises(TypeError, match=rf"{name}\(\) needs numeric values, got a Series of dtype"):
        fn(close.astype(str))
    with pytest.raises(TypeError, match="unexpected keyword"):
        fn(close, offest=1)


@pytest.mark.parametrize("name", list(CALLS))
def test_series_shorter_than_the_length_give_none(close, name):
    fn, param, _, _ = CALLS[name]
    lengths = {"fast": 2, "slow": 5, "signal": 3} if name == "macd" else {param: 5}
    assert fn(close.iloc[:4], **lengths) is None
    assert fn(close.iloc[:5], **lengths) is not None


def test_bbands_width_is_a_finite_real_number(close):
    assert volatility.bbands(close, std=np.float32(1.5)).columns[0] == "BBU_20_1.5"
    with pytest.raises(TypeError, match="Argument 'std' has incorrect type \\(expected float, got str\\)"):
        volatility.bbands(close, std="2")
    for bad in (np.nan, np.inf):
        with pytest.raises(ValueError, match="std must be a finite number"):
            volatility.bbands(close, std=bad)
    no_spread = volatility.bbands(close, length=3, ddof=3)
    assert no_spread.iloc[:, [0, 2]].isna().all().all() and no_spread.iloc[2:, 1].notna().all()


@pytest.mark.parametrize("dtype", ["int64", "float32", "Float64", "Int64", "double[pyarrow]", "object"])
def test_numeric_dtypes_read_as_float64_with_missing_as_nan(dtype):
    values = [3, 1, 4, None, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7] * 3
    if dtype in ("int64", "float32"):
        values = [1 if v is None else v for v in values]
    s = pd.Series(values, dtype=dtype)
    as_float = s.astype("float64") if dtype in ("int64", "float32") else pd.Series(s.to_numpy(dtype=float, na_value=np.nan))
    pd.testing.assert_series_equal(momentum.rsi(s, 3), momentum.rsi(as_float, 3))
    pd.testing.assert_frame_equal(trend.adx(s, s, s, 3), trend.adx(as_float, as_float, as_float, 3))
    pd.testing.assert_series_equal(volume.obv(s, s), volume.obv(as_float, as_float))


def test_inputs_on_different_indexes_are_refused(close):
    shifted = close.set_axis(close.index + pd.Timedelta("1D"))
    with pytest.raises(ValueError, match=r"atr\(\) needs low on the index of high"):
        volatility.atr(close, shifted, close)
    with pytest.raises(ValueError, match=r"obv\(\) needs volume on the index of close"):
        volume.obv(close, close.iloc[:-1])


def test_results_are_new_objects_on_the_input_index(close):
    before = close.copy()
    for result in (momentum.macd(close), volatility.atr(close, close, close), volume.obv(close, close)):
        assert result.index.equals(close.index)
        assert result.category in ("momentum", "volatility", "volume")
    pd.testing.assert_series_equal(close, before)
    frame = trend.adx(close, close, close)
    frame.iloc[:, 0] = 0.0  # the columns are the frame's own
    assert frame.category == "trend" and frame.iloc[:, 1].notna().any()


def test_frames_share_no_labels_object(close):
    first = momentum.macd(close)
    first.columns.name = "mine"
    first.columns = [name.lower() for name in first.columns]
    again = momentum.macd(close)
    assert again.columns.name is None
    assert list(again.columns) == ["MACD_12_26_9", "MACDs_12_26_9", "MACDh_12_26_9"]
    pd.testing.assert_index_equal(again.columns, pd.DataFrame(columns=list(again.columns)).columns)


@pytest.mark.parametrize("module", [momentum, volatility, volume, trend])
def test_the_series_check_runs_natively_until_it_is_replaced(module, close, native_roads, monkeypatch):
    call = {"momentum": lambda: module.rsi(close), "volatility": lambda: module.atr(close, close, close),
            "volume": lambda: module.obv(close, close), "trend": lambda: module.adx(close, close, close)}
    call = call[module.__name__.rsplit(".", 1)[1]]
    call()
    assert native_roads.roads()["indicators.verify_series"]["native"] == 1
    seen = []
    monkeypatch.setattr(module, "verify_series", lambda s, n=None: seen.append(n) or s)
    monkeypatch.delenv("ORVANE_ROADS")
    call()
    assert seen and native_roads.roads()["indicators.verify_series"]["pandas"] == 1
    monkeypatch.setattr(module, "verify_series", lambda s, n=None: None)
    assert call() is None


def test_a_python_thread_runs_while_an_indicator_does():
    h, l, c, _ = (pd.Series(x) for x in random_bars(3_000_000, seed=5))
    tries = [longest_stall(lambda: trend.adx(h, l, c)) for _ in range(3)]
    assert min(stall / took for stall, took in tries) < 0.5, tries
