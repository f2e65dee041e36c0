"""Run strategies: every indicator call of a ``Strategy`` on a frame's price
columns, for one security or for each security of a long frame.

The runner only plans and dispatches: each call goes to a compiled indicator
of ``orvane_data.ta``, which releases the GIL while it computes, so a
caller's thread pool can run calls side by side.
"""

from __future__ import annotations

import inspect
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np
import pandas as pd

from . import momentum, overlap, trend, volatility, volume
from .strategy import CommonStrategy, Strategy

__all__ = ["INDICATORS", "run_strategy"]

# Every indicator a strategy can name, by "kind": the module that holds it,
# read at each run so that a double put in a module's place is what runs.
INDICATORS: dict[str, Any] = {
    **{kind: overlap for kind in ("sma", "ema", "rma", "wma", "dema", "tema", "hma", "hlc3", "vwap")},
    **{kind: momentum for kind in ("rsi", "macd", "stoch")},
    **{kind: volatility for kind in ("bbands", "atr")},
    "obv": volume,
    "adx": trend,
}

# The price columns (the values of column_alias.FLDS) an indicator takes by
# parameter name.
_COLUMNS = ("open", "high", "low", "close", "volume")

# The options the averages read from their **kwargs; any other keyword there
# would be ignored in silence, so an entry naming one is refused.
_FILLS = ("fillna", "fill_method")
_AVERAGE_OPTIONS = {"sma": ("min_periods",), "ema": ("adjust", "sma")}


@dataclass(frozen=True)
class _Call:
    """One entry of a strategy, checked: the function, the frame columns it
    takes (in order) and its keyword arguments."""

    fn: Callable[..., Any]
    columns: tuple[str, ...]
    options: dict[str, Any]


def _plan(strategy: Strategy, frame_columns) -> list[_Call]:
    entries = strategy.ta if strategy.ta is not None else [{"kind": kind} for kind in INDICATORS]
    return [_plan_entry(i, entry, frame_columns) for i, entry in enumerate(entries)]


def _plan_entry(position: int, entry: Any, frame_columns) -> _Call:
    def refuse(why: str) -> ValueError:
        return ValueError(f"strategy entry {position} {entry!r}: {why}")

    if not isinstance(entry, dict) or "kind" not in entry:
        raise refuse('an entry is a dict with the key "kind"')
    kind = entry["kind"]
    if not isinstance(kind, str) or kind not in INDICATORS:
        raise refuse(f"unknown kind {kind!r}; the kinds are {', '.join(INDICATORS)}")
    fn = getattr(INDICATORS[kind], kind)
    parameters = inspect.signature(fn).parameters
    columns = tuple(name for name in parameters if name in _COLUMNS)
    accepted = {name for name in parameters if name not in _COLUMNS}
    accepted.discard("kwargs")
    if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters.values()):
        accepted.update(_FILLS, _AVERAGE_OPTIONS.get(kind, ()))
    options = {key: value for key, value in entry.items() if key != "kind"}
    unknown = sorted(set(options) - accepted, key=str)
    if unknown:
        raise refuse(f"{kind} takes no keyword {', '.join(map(repr, unknown))}")
    missing = [name for name in columns if name not in frame_columns]
    if missing:
        raise refuse(f"{kind} needs the column(s) {', '.join(map(repr, missing))}")
    return _Call(fn, columns, options)


def _outputs(result) -> list[tuple[str, np.ndarray]]:
    """The named float64 columns of one indicator's result (none for None)."""
    if result is None:
        return []
    if isinstance(result, pd.DataFrame):
        values = result.to_numpy()
        return [(str(name), values[:, i]) for i, name in enumerate(result.columns)]
    return [(str(result.name), result.to_numpy())]


def _run_calls(calls: list[_Call], inputs: dict[str, pd.Series]) -> list[tuple[str, np.ndarray]]:
    out: list[tuple[str, np.ndarray]] = []
    for call in calls:
        out += _outputs(call.fn(*(inputs[name] for name in call.columns), **call.options))
    return out


def _map(executor: Optional[Executor], fn, items) -> list:
    if executor is None:
        return [fn(item) for item in items]
    return list(executor.map(fn, items))


def _one_frame(frame: pd.DataFrame, calls: list[_Call], executor) -> dict[str, np.ndarray]:
    inputs = {name: frame[name] for name in {name for call in calls for name in call.columns}}
    results = _map(executor, lambda call: _run_calls([call], inputs), calls)
    return {name: values for outputs in results for name, values in outputs}


def _group_rows(keys: pd.Series) -> list[np.ndarray | slice]:
    """Each security's rows, in frame order: a slice where they are
    contiguous, else their positions. Rows with a missing key are in none."""
    codes, uniques = pd.factorize(keys, sort=False)
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(-1, len(uniques)) + 1)
    groups: list[np.ndarray | slice] = []
    for start, stop in zip(bounds[:-1], bounds[1:]):
        rows = order[start:stop]
        contiguous = rows[-1] - rows[0] + 1 == len(rows)
        groups.append(slice(int(rows[0]), int(rows[-1]) + 1) if contiguous else rows)
    return groups


def _by_security(frame: pd.DataFrame, by: str, calls: list[_Call], executor) -> dict[str, np.ndarray]:
    if by not in frame.columns:
        raise ValueError(f"by={by!r} names no column of the frame")
    # by position: each security's indicators run on its own rows, on a
    # RangeIndex, and their values go back to those rows
    needed = {name for call in calls for name in call.columns}
    columns = {name: frame[name].reset_index(drop=True) for name in _COLUMNS if name in needed}
    out: dict[str, np.ndarray] = {}

    def run(rows) -> None:
        inputs = {name: (s.iloc[rows] if isinstance(rows, slice) else s.take(rows)) for name, s in columns.items()}
        for name, values in _run_calls(calls, inputs):
            target = out.get(name)
            if target is None:
                target = out.setdefault(name, np.full(len(frame), np.nan))
            target[rows] = values

    _map(executor, run, _group_rows(frame[by]))
    return out


def run_strategy(
    frame: pd.DataFrame,
    strategy: Strategy = CommonStrategy,
    *,
    by: Optional[str] = None,
    executor: Optional[Executor] = None,
) -> pd.DataFrame:
    """Compute every indicator call of a strategy on a frame of bars.

    Each entry of ``strategy.ta`` names an indicator by its ``"kind"``; its
    other keys are passed to it as keyword arguments, and its price inputs
    are the frame's ``open``, ``high``, ``low``, ``close`` and ``volume``
    columns, taken by the indicator's parameter names.

    Parameters
    ----------
    frame : pd.DataFrame
        The bars: the price columns the strategy's indicators take.
    strategy : Strategy, default CommonStrategy
        The indicator calls. ``ta`` None (``AllStrategy``) runs every
        indicator of ``INDICATORS`` with its defaults.
    by : str, optional
        A column naming the security of each row of a long frame (as
        ``get_intraday_bars`` returns it, ``"key"``): each security's rows,
        in frame order, are computed on their own. Rows whose key is missing
        get NaN.
    executor : concurrent.futures.Executor, optional
        The caller's executor to spread the work over: the securities with
        ``by``, else the entries. The indicators release the GIL while they
        compute, so a thread pool runs them side by side. The runner starts
        no thread of its own.

    Returns
    -------
    pd.DataFrame
        A new frame: the input's columns, then one float64 column per
        indicator output, named as the indicator names it (``"SMA_10"``,
        ``"MACDs_12_26_9"``, ...); a later output of a name replaces an
        earlier one. An indicator that returns None (too few rows) adds no
        column; with ``by``, its security's rows are NaN.

    Raises
    ------
    ValueError
        Before anything is computed: if an entry is not a dict with a
        ``"kind"``, names an unknown kind, passes a keyword its indicator
        does not take, or needs a column the frame lacks (the message names
        the entry); or if ``by`` names no column.
    TypeError
        If ``frame`` is not a DataFrame, or an indicator refuses an
        argument's type.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from orvane_data.ta.runner import run_strategy
    >>> from orvane_data.ta.strategy import CommonStrategy, Strategy
    >>> close = pd.Series(100 + np.sin(np.arange(300) / 9.0) * 5)
    >>> bars = pd.DataFrame({"high": close + 1, "low": close - 1, "close": close, "volume": 1000.0})
    >>> out = run_strategy(bars, CommonStrategy)
    >>> list(out.columns[4:9])
    ['SMA_10', 'SMA_20', 'SMA_50', 'SMA_200', 'EMA_12']
    >>> run_strategy(bars, Strategy(ta=[{"kind": "rsi", "length": 5}])).columns.tolist()
    ['high', 'low', 'close', 'volume', 'RSI_5']
    >>> run_strategy(bars, Strategy(ta=[{"kind": "rsi", "span": 5}]))
    Traceback (most recent call last):
    ...
    ValueError: strategy entry 0 {'kind': 'rsi', 'span': 5}: rsi takes no keyword 'span'
    """
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"expected a pandas DataFrame, got {type(frame).__name__}")
    calls = _plan(strategy, frame.columns)
    if by is None:
        new = _one_frame(frame, calls, executor)
    else:
        new = _by_security(frame, by, calls, executor)
    added = pd.DataFrame(new, index=frame.index)
    kept = frame.drop(columns=[name for name in added.columns if name in frame.columns])
    return pd.concat([kept, added], axis=1)
