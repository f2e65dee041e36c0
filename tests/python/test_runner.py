"""run_strategy: the frame it returns, its refusals before any work, and the
by-security and executor roads."""

from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from orvane_data.ta import _grouped_averages, momentum, overlap, runner, trend, volatility, volume
from orvane_data.ta.runner import run_strategy
from orvane_data.ta.strategy import AllStrategy, CommonStrategy, Strategy


def bars(n, seed=0, index=None):
    rng = np.random.default_rng(seed)
    close = 100 + np.cumsum(rng.normal(0, 1, n))
    return pd.DataFrame(
        {
            "open": close + rng.normal(0, 0.3, n),
            "high": close + rng.uniform(0, 2, n),
            "low": close - rng.uniform(0, 2, n),
            "close": close,
            "volume": rng.integers(0, 5_000, n),
        },
        index=index,
    )


def direct_common(frame):
    """CommonStrategy's thirteen calls made one by one."""
    h, l, c, v = frame["high"], frame["low"], frame["close"], frame["volume"]
    parts = [overlap.sma(c, n) for n in (10, 20, 50, 200)] + [overlap.ema(c, 12), overlap.ema(c, 26)]
    parts += [momentum.rsi(c), momentum.macd(c), volatility.bbands(c), volatility.atr(h, l, c)]
    parts += [volume.obv(c, v), momentum.stoch(h, l, c), trend.adx(h, l, c)]
    return pd.concat([frame] + parts, axis=1)


class CountingExecutor(Executor):
    """Runs each task on a real pool and counts them."""

    def __init__(self, pool):
        self.pool, self.tasks = pool, 0

    def submit(self, fn, /, *args, **kwargs):
        self.tasks += 1
        return self.pool.submit(fn, *args, **kwargs)


def test_common_strategy_is_the_thirteen_calls():
    frame = bars(400, index=pd.date_range("2020-01-01", periods=400, name="day"))
    out = run_strategy(frame)
    pd.testing.assert_frame_equal(out, direct_common(frame), check_dtype=False)
    assert list(frame.columns) == ["open", "high", "low", "close", "volume"]  # the input is left alone


def test_all_strategy_runs_every_indicator_with_its_defaults():
    out = run_strategy(bars(300), AllStrategy)
    assert set(runner.INDICATORS) == {"sma", "ema", "rma", "wma", "dema", "tema", "hma", "hlc3", "vwap",
                                      "rsi", "macd", "stoch", "bbands", "atr", "obv", "adx"}  # fmt: skip
    for name in ["SMA_10", "HMA_9", "VWAP", "RSI_14", "STOCHd_14_3_3", "BBL_20_2.0", "OBV", "DMN_14"]:
        assert out[name].notna().any(), name


def test_entry_keywords_reach_the_indicator():
    frame = bars(200)
    strategy = Strategy(ta=[{"kind": "sma", "length": 5, "min_periods": 2}, {"kind": "bbands", "std": 1.0, "ddof": 1}])
    out = run_strategy(frame, strategy)
    pd.testing.assert_series_equal(out["SMA_5"], overlap.sma(frame["close"], 5, min_periods=2))
    pd.testing.assert_frame_equal(out.iloc[:, -3:], volatility.bbands(frame["close"], std=1.0, ddof=1))


@pytest.mark.parametrize(
    "entry, message",
    [
        ({"kind": "supertrend"}, "unknown kind 'supertrend'"),
        ({"length": 5}, 'a dict with the key "kind"'),
        ("rsi", 'a dict with the key "kind"'),
        ({"kind": "rsi", "window": 5}, "rsi takes no keyword 'window'"),
        ({"kind": "sma", "lenght": 5}, "sma takes no keyword 'lenght'"),
        ({"kind": "rsi", "close": 5}, "rsi takes no keyword 'close'"),
        ({"kind": "vwap"}, "vwap needs the column\\(s\\) 'volume'"),
    ],
)
def test_bad_entries_are_refused_before_anything_runs(monkeypatch, entry, message):
    calls = []
    monkeypatch.setattr(overlap, "sma", lambda *a, **k: calls.append(a))
    frame = bars(50).drop(columns="volume")
    with pytest.raises(ValueError, match=rf"strategy entry 1 .*{message}"):
        run_strategy(frame, Strategy(ta=[{"kind": "sma"}, entry]))
    assert calls == []


def test_by_missing_column_and_non_frames_are_refused():
    with pytest.raises(ValueError, match="by='key' names no column"):
        run_strategy(bars(30), by="key")
    with pytest.raises(TypeError, match="expected a pandas DataFrame, got Series"):
        run_strategy(bars(30)["close"])


def long_frame(securities=5, rows=300, interleave=False, missing=True):
    parts = [bars(rows, seed=i).assign(key=f"SEC{i}") for i in range(securities)]
    frame = pd.concat(parts, ignore_index=True)
    if interleave:  # bars of all securities mixed in time order, as stacked by time
        frame = frame.iloc[np.argsort(np.tile(np.arange(rows), securities), kind="stable")]
    if missing:
        frame.loc[frame.index[3], "key"] = None
    return frame.set_axis(pd.date_range("2024-01-01", periods=len(frame), freq="min"))


@pytest.mark.parametrize("interleave, missing", [(False, True), (False, False), (True, False)],
                         ids=["grouped-missing", "grouped", "interleaved"])
@pytest.mark.parametrize("threads, chunk_rows, tasks", [(None, None, 0), (2, 10**6, 1), (2, 500, 3)])
def test_by_security_equals_each_security_alone(interleave, missing, threads, chunk_rows, tasks, monkeypatch):
    frame = long_frame(interleave=interleave, missing=missing)
    if chunk_rows:
        monkeypatch.setattr(runner, "_CHUNK_ROWS", chunk_rows)
    pool = ThreadPoolExecutor(threads) if threads else None
    executor = CountingExecutor(pool) if pool else None
    out = run_strategy(frame, CommonStrategy, by="key", executor=executor)
    if pool:
        pool.shutdown()
        assert executor.tasks == tasks  # runs of whole securities
    assert out.index.equals(frame.index)
    for key, rows in frame.groupby("key").groups.items():
        alone = run_strategy(frame.loc[rows].drop(columns="key"))
        pd.testing.assert_frame_equal(out.loc[rows].drop(columns="key"), alone, check_dtype=False)
    assert out.loc[frame["key"].isna()].iloc[:, 6:].isna().all().all()


ARROW_KEYS = [
    ["SEC1"] * 3 + ["SEC2"] * 2 + ["SEC1"],  # a key in two runs
    ["a-long-security-name"] * 2 + ["a-long-security-nam3", "", "", "é", "é", "e"],  # past 8 bytes, empty, non-ASCII
    ["abcdefgh", "abcdefgh", "abcdefg", "abcdefgi", None, None, "x", None],  # word-sized texts, missing ones
    [],
]


@pytest.mark.parametrize("values", ARROW_KEYS)
@pytest.mark.parametrize("chunks", [1, 3])
def test_key_runs_of_arrow_texts_are_where_the_key_changes(native_roads, values, chunks):
    parts = [pd.Series(values[i::chunks], dtype="string[pyarrow]") for i in range(chunks)] if values else []
    keys = pd.concat(parts, ignore_index=True) if parts else pd.Series([], dtype="string[pyarrow]")
    starts, distinct = _grouped_averages._key_runs(keys)
    texts = [None if pd.isna(text) else text for text in keys.astype(object)]  # missing ones alike
    changed = [i for i in range(len(texts)) if i == 0 or texts[i] != texts[i - 1]]
    assert starts.tolist() == changed
    assert distinct == (len({texts[i] for i in changed}) == len(changed))


def test_short_securities_get_nan_where_an_indicator_gives_none():
    frame = pd.concat([bars(300).assign(key="long"), bars(30, seed=1).assign(key="short")], ignore_index=True)
    out = run_strategy(frame, by="key")
    assert out.loc[out["key"] == "short", "SMA_200"].isna().all()
    assert out.loc[out["key"] == "long", "SMA_200"].notna().any()


def test_executor_spreads_the_entries_of_one_frame():
    frame = bars(500)
    with ThreadPoolExecutor(2) as pool:
        executor = CountingExecutor(pool)
        out = run_strategy(frame, CommonStrategy, executor=executor)
    assert executor.tasks == 13
    pd.testing.assert_frame_equal(out, run_strategy(frame, CommonStrategy))


@pytest.fixture(scope="module")
def process_pool():
    with ProcessPoolExecutor(2) as pool:
        yield pool


@pytest.mark.parametrize("kind", ["threads", "processes"])
@pytest.mark.parametrize("by", [None, "key"])
def test_executors_give_the_serial_frame(kind, by, process_pool, monkeypatch):
    # vwap and an sma with an option take the per-security road beside the
    # compiled forms; small runs give each executor several tasks
    monkeypatch.setattr(runner, "_CHUNK_ROWS", 500)
    frame = long_frame(interleave=by is None, missing=False)
    if by is None:
        frame = frame.drop(columns="key")
    strategy = Strategy(ta=[*CommonStrategy.ta, {"kind": "vwap"}, {"kind": "sma", "length": 7, "min_periods": 3}])
    serial = run_strategy(frame, strategy, by=by)
    if kind == "threads":
        with ThreadPoolExecutor(2) as pool:
            out = run_strategy(frame, strategy, by=by, executor=pool)
    else:
        out = run_strategy(frame, strategy, by=by, executor=process_pool)
    pd.testing.assert_frame_equal(out, serial)


def test_no_thread_of_its_own(monkeypatch):
    import threading

    started = []
    monkeypatch.setattr(threading.Thread, "start", lambda self: started.append(self))
    run_strategy(long_frame(), by="key")
    assert started == []


def test_by_security_runs_every_common_call_over_groups_natively_until_one_is_replaced(native_roads, monkeypatch):
    frame = long_frame(rows=1_000)  # 5,000 rows: each grouped pass releases the GIL
    native_roads.reset_released()
    run_strategy(frame, CommonStrategy, by="key")
    released = native_roads.released()
    grouped = {road for road, ways in native_roads.roads().items() if road.endswith("_groups") and ways["native"]}
    assert grouped == {"momentum.rsi_groups", "momentum.macd_groups", "momentum.stoch_groups",
                       "volatility.bbands_groups", "volatility.atr_groups", "volume.obv_groups",
                       "trend.adx_groups", "overlap.sma_groups", "overlap.ema_groups"}  # fmt: skip
    assert {road: released.get(road, 0) >= 1 for road in grouped} == dict.fromkeys(grouped, True)
    # an average with another option runs as the average itself, per security
    native_roads.reset_roads()
    out = run_strategy(frame, Strategy(ta=[{"kind": "sma", "length": 5, "min_periods": 2}]), by="key")
    assert "overlap.sma_groups" not in native_roads.roads()
    first = frame.loc[frame["key"] == "SEC1"]
    pd.testing.assert_series_equal(out.loc[first.index, "SMA_5"], overlap.sma(first["close"], 5, min_periods=2))
    seen = []
    monkeypatch.setattr(momentum, "rsi", lambda close, length=None: seen.append(len(close)) or close * 0 + 1)
    native_roads.reset_roads()
    out = run_strategy(frame, Strategy(ta=[{"kind": "rsi"}]), by="key")
    assert "momentum.rsi_groups" not in native_roads.roads()
    assert len(seen) == 6 and out.loc[frame["key"].notna()].iloc[:, -1].eq(1).all()  # a probe, then each security


@pytest.mark.parametrize(
    "bounds, out_shape, message",
    [
        ([0, 5, 3, 10], (1, 10), "bounds must rise"),
        ([1, 10], (1, 10), "bounds must rise"),
        ([0, 9], (1, 10), "bounds must rise"),
        ([0, 10], (2, 10), "out must be a writable float64 array of 1"),
        ([0, 10], (1, 9), "out must be"),
    ],
)
def test_grouped_entries_refuse_what_does_not_fit(bounds, out_shape, message):
    with pytest.raises(ValueError, match=message):
        momentum._rsi_groups(np.empty(out_shape), np.array(bounds), np.arange(10.0), length=3)
    with pytest.raises(ValueError, match="out must be"):
        momentum._rsi_groups(np.empty((1, 10), dtype=np.float32), np.array([0, 10]), np.arange(10.0))
    with pytest.raises(ValueError, match="one length"):
        volume._obv_groups(np.empty((1, 10)), np.array([0, 10]), np.arange(10.0), np.arange(9.0))


@pytest.mark.parametrize("by", [None, "key"])
def test_the_new_frame_shares_nothing_the_caller_can_change(by):
    frame = long_frame(securities=2)
    before = frame.copy()
    out = run_strategy(frame, CommonStrategy, by=by)
    out["close"] *= 2
    out.iloc[:, -1] = 0.0
    pd.testing.assert_frame_equal(frame, before)
    twice = pd.concat([frame[["key"]], frame], axis=1)  # a label twice: both columns stay
    assert list(run_strategy(twice, Strategy(ta=[{"kind": "obv"}])).columns).count("key") == 2
