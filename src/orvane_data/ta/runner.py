"""Run strategies: every indicator call of a ``Strategy`` on a frame's price
columns, for one security or for each security of a long frame.

The runner only plans and dispatches: each call goes to a compiled indicator
of ``orvane_data.ta``, which releases the GIL while it computes, so a
caller's thread pool can run calls side by side. The package's own
indicators have compiled forms over groups of rows (``_<kind>_groups``) that
compute a call over many securities in one native call; the runner hands
them the price columns as float64 arrays, in security order.
"""

from __future__ import annotations

import inspect
import sys
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np
import pandas as pd

from . import _grouped_averages, momentum, overlap, trend, volatility, volume
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
    """One entry of a strategy, checked: its kind, the function, the frame
    columns it takes (in order) and its keyword arguments."""

    kind: str
    fn: Callable[..., Any]
    columns: tuple[str, ...]
    options: dict[str, Any]

    def __reduce__(self):
        # a process is sent the entry, not the function: it looks its
        # indicator up in its own copy of the modules
        return _Call.resolved, (self.kind, self.columns, self.options)

    @staticmethod
    def resolved(kind: str, columns: tuple[str, ...], options: dict[str, Any]) -> "_Call":
        return _Call(kind, getattr(INDICATORS[kind], kind), columns, options)


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
    return _Call(kind, fn, columns, options)


def _outputs(result) -> list[tuple[str, np.ndarray]]:
    """The named float64 columns of one indicator's result (none for None)."""
    if result is None:
        return []
    if isinstance(result, pd.DataFrame):
        values = result.to_numpy()
        return [(str(name), values[:, i]) for i, name in enumerate(result.columns)]
    return [(str(result.name), result.to_numpy())]


def _map(executor: Optional[Executor], fn, items) -> list:
    if executor is None:
        return [fn(item) for item in items]
    return list(executor.map(fn, items))


def _grouped(call: _Call, columns: dict) -> bool:
    """Whether the call runs as the compiled form of its indicator over groups
    of rows: while the indicator is the package's own and its inputs are
    plain numbers (and for the averages, while the call passes no option but
    the length)."""
    module = INDICATORS[call.kind]
    own = type(call.fn).__name__ == "native_function" and call.fn.__module__ == module.__name__
    plain = all(isinstance(columns[name], np.ndarray) for name in call.columns)
    return own and plain and _compiled_form(call) is not None


def _compiled_form(call: _Call):
    """The compiled form over groups of rows of the call's indicator, or None."""
    module = INDICATORS[call.kind]
    if call.kind in ("sma", "ema"):
        module = _grouped_averages if set(call.options) <= {"length"} else None
    return getattr(module, f"_{call.kind}_groups", None)


class _Rows:
    """The price columns of a frame with its rows in security order: `order`
    the frame positions (each security's rows in frame order, rows with a
    missing key left out; None when that is the frame's own order), `bounds`
    where each security's run starts, and the end. Plain numbers are float64
    arrays, other columns Series on a RangeIndex."""

    def __init__(self, frame: pd.DataFrame, names, keys: Optional[pd.Series]):
        if keys is None:
            order, self.bounds = None, np.array([0, len(frame)], dtype=np.int64)
        else:
            order, self.bounds = self._security_runs(keys.reset_index(drop=True))
        self.order, self.rows = order, int(self.bounds[-1])
        self.columns: dict[str, Any] = {}
        for name in names:
            column = frame[name].reset_index(drop=True)
            column = column if order is None else column.take(order).reset_index(drop=True)
            plain = isinstance(column.dtype, np.dtype) and column.dtype.kind in "biuf"
            self.columns[name] = column.to_numpy(np.float64) if plain else column
        # only read: a Series over the array itself (pandas 3 would copy it)
        self.series = {
            name: pd.Series(c, copy=False) if isinstance(c, np.ndarray) else c for name, c in self.columns.items()
        }

    @staticmethod
    def _security_runs(keys: pd.Series) -> tuple[Optional[np.ndarray], np.ndarray]:
        """(order, bounds) of the securities named by `keys`."""
        if len(keys) and not keys.hasnans:
            # a long frame as it comes, each security's rows one run: where
            # the key changes is all there is to find, cheaper than numbering
            # (Arrow texts natively: taking rows of many chunks costs pandas
            # far more than the scan)
            runs = _grouped_averages._key_runs(keys)
            if runs is None:
                starts = np.flatnonzero(keys.ne(keys.shift()).to_numpy())
                runs = starts, keys.iloc[starts].is_unique
            if runs[1]:
                return None, np.append(runs[0], len(keys)).astype(np.int64)
        codes, uniques = pd.factorize(keys, sort=False)
        order = np.argsort(codes, kind="stable")[np.count_nonzero(codes < 0):]
        bounds = np.zeros(len(uniques) + 1, dtype=np.int64)
        np.cumsum(np.bincount(codes[codes >= 0], minlength=len(uniques)), out=bounds[1:])
        in_place = len(order) == len(keys) and bool(np.all(order[1:] > order[:-1]))
        return (None if in_place else order), bounds

    def chunks(self, executor) -> list[tuple[int, int]]:
        """Runs of whole securities, [first, last) by security number: one
        without an executor, else runs of about _CHUNK_ROWS rows."""
        count = len(self.bounds) - 1
        if executor is None:
            return [(0, count)]
        cuts = np.searchsorted(self.bounds, np.arange(0, self.rows, _CHUNK_ROWS), side="right") - 1
        firsts = np.unique(np.append(cuts, 0)).tolist()
        return list(zip(firsts, firsts[1:] + [count]))

    def call(self, call: _Call, first: int, last: int):
        """The call on the rows of securities first to last - 1 as one run."""
        start, stop = int(self.bounds[first]), int(self.bounds[last])
        return call.fn(*(self.series[name].iloc[start:stop] for name in call.columns), **call.options)


# Rows of securities a task of the caller's executor computes: enough that a
# task's native calls outlast the Python around them many times over.
_CHUNK_ROWS = 200_000


# The work sent to an executor is a module-level function of one picklable
# task, so that a process pool runs it as a thread pool does: a thread is
# handed the caller's arrays themselves, a process a pickled copy whose
# results come back pickled.


def _entry_task(task) -> list[tuple[str, np.ndarray]]:
    """One entry on a whole frame: its named output columns."""
    call, compiled, inputs, bounds = task
    if not compiled:
        # the result's own arrays are read-only views under copy-on-write
        result = call.fn(*inputs, **call.options)
        return [(name, values.copy()) for name, values in _outputs(result)]
    empty, arrays = inputs
    call.fn(*empty, **call.options)  # the arguments checked as the indicator checks them
    names, block, computed = _compiled_form(call)(None, bounds, *arrays, **call.options)
    return list(zip(names, block)) if computed else []


def _one_frame(frame: pd.DataFrame, calls: list[_Call], executor) -> dict[str, np.ndarray]:
    rows = _Rows(frame, {name for call in calls for name in call.columns}, None)
    tasks = []
    for call in calls:
        if _grouped(call, rows.columns):
            empty = tuple(rows.series[name].iloc[0:0] for name in call.columns)
            inputs: Any = (empty, tuple(rows.columns[name] for name in call.columns))
            tasks.append((call, True, inputs, rows.bounds))
        else:
            tasks.append((call, False, tuple(frame[name] for name in call.columns), None))
    return {name: values for outputs in _map(executor, _entry_task, tasks) for name, values in outputs}


def _securities_task(task) -> list[np.ndarray]:
    """Every planned entry on a run of whole securities: a block of rows per
    entry, written into the blocks given (a thread's share of the caller's)
    or into new ones (a process's)."""
    planned, bounds, columns, blocks = task
    rows = int(bounds[-1])
    if blocks is None:
        blocks = [np.empty((len(names), rows)) for _, names, _ in planned]
    for (call, names, compiled), block in zip(planned, blocks):
        inputs = [columns[name, compiled] for name in call.columns]
        if compiled:
            _compiled_form(call)(block, bounds, *inputs, **call.options)
            continue
        for g in range(len(bounds) - 1):
            start, stop = int(bounds[g]), int(bounds[g + 1])
            outputs = dict(_outputs(call.fn(*(column.iloc[start:stop] for column in inputs), **call.options)))
            for i, name in enumerate(names):
                block[i, start:stop] = outputs.get(name, np.nan)
    return blocks


def _process_pool(executor) -> bool:
    """Whether the executor is the standard library's process pool (whose
    module, with multiprocessing, is left unimported until a caller makes one)."""
    process = sys.modules.get("concurrent.futures.process")
    return process is not None and isinstance(executor, process.ProcessPoolExecutor)


def _by_security(frame: pd.DataFrame, by: str, calls: list[_Call], executor) -> dict[str, np.ndarray]:
    if by not in frame.columns:
        raise ValueError(f"by={by!r} names no column of the frame")
    rows = _Rows(frame, {name for call in calls for name in call.columns}, frame[by])
    if rows.rows == 0:
        return {}
    # each call's outputs, named by a run on the longest security (None there:
    # None on every one), in one block of rows in security order
    longest = int(np.argmax(np.diff(rows.bounds)))
    planned, blocks = [], []
    for call in calls:
        names = [name for name, _ in _outputs(rows.call(call, longest, longest + 1))]
        if names:
            planned.append((call, names, _grouped(call, rows.columns)))
            blocks.append(np.empty((len(names), rows.rows)))
    # a process pool's tasks carry no block: a block sent empty would only
    # come back to be copied in (any other executor's tasks that come back
    # pickled are copied in as well)
    shared = not _process_pool(executor)
    # a compiled entry reads float64 arrays, another the Series over them
    needed = {(name, compiled) for call, _, compiled in planned for name in call.columns}
    chunks, tasks = rows.chunks(executor), []
    for first, last in chunks:
        start, stop = int(rows.bounds[first]), int(rows.bounds[last])
        columns = {
            (name, compiled): rows.columns[name][start:stop] if compiled else rows.series[name].iloc[start:stop]
            for name, compiled in needed
        }
        views = [block[:, start:stop] for block in blocks] if shared else None
        tasks.append((planned, rows.bounds[first:last + 1] - start, columns, views))
    for (first, last), written in zip(chunks, _map(executor, _securities_task, tasks)):
        start, stop = int(rows.bounds[first]), int(rows.bounds[last])
        for block, part in zip(blocks, written):
            if not np.may_share_memory(block, part):
                block[:, start:stop] = part
    out: dict[str, np.ndarray] = {}
    for (call, names, compiled), block in zip(planned, blocks):
        if rows.order is not None:
            spread = np.full((len(names), len(frame)), np.nan)
            spread[:, rows.order] = block
            block = spread
        out.update(zip(names, block))
    return out


def _copy_on_write() -> bool:
    """Whether pandas copies a frame's column only when either side changes it."""
    return int(pd.__version__.split(".")[0]) >= 3 or pd.get_option("mode.copy_on_write") is True


def _frame_with(frame: pd.DataFrame, new: dict[str, np.ndarray]) -> pd.DataFrame:
    """A new frame of the input's columns (less those an output replaces) and
    the outputs, which it holds as they are: gathering them into one block
    would copy every output once more."""
    if not frame.columns.is_unique:  # one label, several columns: concat keeps them all
        added = pd.DataFrame(new, index=frame.index, copy=False)
        return pd.concat([frame.drop(columns=[name for name in new if name in frame.columns]), added], axis=1)
    # without copy-on-write, a column the new frame shares would be changed
    # by a change to either frame: the input's are copied there
    shared = _copy_on_write()
    kept = {name: frame[name] if shared else frame[name].copy() for name in frame.columns if name not in new}
    return pd.DataFrame({**kept, **new}, index=frame.index, copy=False)


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
        The caller's executor to spread the work over: with ``by``, runs of
        whole securities of about 200,000 rows, each computing every entry;
        else the entries. The indicators release the GIL while they compute,
        so a thread pool runs them side by side on the frame's own arrays; a
        process pool is sent module-level functions with pickled copies of
        the rows (a double put in place of an indicator runs only in this
        process). The runner starts no thread of its own.

    Returns
    -------
    pd.DataFrame
        A new frame: the input's columns, then one float64 column per
        indicator output (the frame holds the outputs' arrays without
        gathering them into one block), named as the indicator names it (``"SMA_10"``,
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
    return _frame_with(frame, new)
