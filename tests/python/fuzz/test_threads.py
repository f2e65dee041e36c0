"""Native kernels release the GIL: many threads at once give each thread's own
answer (and, in the sanitizer build, touch no memory they should not)."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from orvane_data import _clockwork as cw
from orvane_data import event_study
from orvane_data.ta import overlap

# random windows often leave a security without a move, which the package says
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::orvane_data.DataWarning")

ZONES = ["America/New_York", "Europe/London", "Asia/Hong_Kong", "Australia/Lord_Howe"]


def _series(seed):
    rng = np.random.default_rng(seed)
    values = rng.normal(100, 5, 2_000)
    values[rng.integers(0, 2_000, 50)] = np.nan
    return pd.Series(values[::-1].copy()[::-1])  # a fresh buffer per thread


def _work(seed):
    close = _series(seed)
    zone = ZONES[seed % len(ZONES)]
    stamps = pd.date_range("2024-03-01", periods=3_000, freq="17min")
    out = [getattr(overlap, kind)(close, 5 + seed % 7) for kind in ("sma", "ema", "rma", "wma", "dema", "tema", "hma")]
    out.append(overlap.vwap(close, close, close, close.abs()))
    out.append(cw.process_intraday_timestamps(stamps, exchange_tz=zone, output_tz="UTC"))
    windows = pd.DataFrame({"EVENT_NAME": "e", "event_datetime": 0, "key": np.arange(2_000) // 16,
                            "time_diff": np.arange(2_000) % 16 - 5, "close": close})
    out.append(event_study.event_moves(windows)["move_bps"])
    return out


def test_threads_give_each_their_own_answer():
    seeds = list(range(24))
    alone = {seed: _work(seed) for seed in seeds[:8]}
    with ThreadPoolExecutor(max_workers=6) as pool:
        together = dict(zip(seeds, pool.map(_work, seeds)))
    for seed, expected in alone.items():
        for got, want in zip(together[seed], expected):
            if isinstance(want, pd.Index):
                pd.testing.assert_index_equal(got, want)
            else:
                pd.testing.assert_series_equal(got, want)
