"""Event studies over a whole universe of instruments, run on a Dask cluster.

Bars are read from a Parquet dataset partitioned by security; event windows
are cut and moves computed partition by partition on the workers, with the
package's compiled functions; the small per-event moves are gathered and
summarised on the caller's side. This module only drives Dask.

What travels to the workers is this module's own ``_partition_moves`` (a
module-level function pickles by reference, so a worker imports this module
and finds it by name), the calendar (once, as one graph key every task
depends on) and plain tuples describing the indicators.
"""

from __future__ import annotations

import contextlib
import importlib
import importlib.util
import warnings
from typing import Any, Optional


def _installed(name: str) -> bool:
    try:
        return importlib.util.find_spec(name) is not None
    except (ImportError, ValueError):  # a package blocked or half-imported counts as missing
        return False


if not _installed("dask"):
    raise ImportError("orvane_data.distributed needs Dask: pip install 'orvane_data[dask]'", name="dask")


class _OnFirstUse:
    """A module imported when one of its names is first read: Dask takes a
    second to import, which a notebook that imports this module but runs
    its study in one process should not pay."""

    def __init__(self, name: str) -> None:
        self._name = name

    def __getattr__(self, attribute: str) -> Any:
        return getattr(importlib.import_module(self._name), attribute)


dask = _OnFirstUse("dask")
dd = _OnFirstUse("dask.dataframe")


def _make_meta(frame):
    from dask.dataframe.utils import make_meta as empty_like

    return empty_like(frame)


import numpy as np
import pandas as pd
import pyarrow.parquet as pq

from orvane_data import DataWarning, bar_store
from orvane_data.event_study import event_moves, summarize_moves
from orvane_data.from_bqia.bar_kit import filter_bars_around_events
from orvane_data.ta import overlap
from orvane_data.ta.strategy import Strategy

__all__ = ["read_bars", "event_windows", "collect_moves", "event_summary"]

# The indicators of orvane_data.ta.overlap and the bar columns each reads.
KINDS = {
    "sma": ("close",),
    "ema": ("close",),
    "rma": ("close",),
    "wma": ("close",),
    "dema": ("close",),
    "tema": ("close",),
    "hma": ("close",),
    "hlc3": ("high", "low", "close"),
    "vwap": ("high", "low", "close", "volume"),
}
WINDOW_KEYS = ["EVENT_NAME", "event_datetime", "key"]
# indicator lengths past this are as long as any trial series can show
LONGEST_TRIAL = 1 << 20


def _check_type(value: Any, name: str, expected: type, allow_none: bool = False) -> None:
    """The package's argument check: exactly `expected`, as its compiled functions word it."""
    if type(value) is expected or (allow_none and value is None):
        return
    message = (f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
               f"got {type(value).__name__})")
    if isinstance(value, expected):
        message += f". Subclasses of built-in types are rejected; pass a plain {expected.__name__}."
    raise TypeError(message)


def read_bars(path: str, securities: Optional[list] = None, columns: Optional[list] = None,
              storage_options: Optional[dict] = None, *, around: Optional[pd.DataFrame] = None,
              pre: int = -5, post: int = 10) -> "dd.DataFrame":
    """Minute bars of a Parquet dataset partitioned by security, as a lazy Dask frame.

    Each file is read whole into one partition, so a security written as one
    file is never split between two tasks (dask's partition tuning may still
    read several small files into one partition when columns are projected;
    ``collect_moves`` turns that tuning off so that each task holds one file).

    With ``around`` (a release calendar), each task reads only its file's
    bars on the minutes of the releases' windows, from the row groups whose
    time range holds one of them (``bar_store.read_file_windows``): what a
    task reads and holds follows the windows, not the file.

    Parameters
    ----------
    path : str
        The dataset's root folder, local or remote (``"s3://bucket/bars"``),
        holding hive-style folders ``security=<FIGI>/`` as
        ``orvane_data.bar_store`` writes them.
    securities : list, optional
        Only the bars of these FIGIs.
    columns, storage_options
        As for ``bar_store.load_bars``.
    around : pandas.DataFrame, optional
        A release calendar (``EVENT_NAME``, ``event_datetime``): only the
        bars its windows can meet are read. The window cut then gives what
        it gives on the whole files.
    pre, post : int, default -5, 10
        With ``around``: the first and last minute offsets of the windows.

    Returns
    -------
    dask.dataframe.DataFrame
        The bars, with ``security`` (when read) first and as text, as the bar
        frames of the intraday service have it.

    Raises
    ------
    TypeError
        If ``path`` is not a ``str``, or another argument is not of its type.

    Examples
    --------
    >>> import tempfile
    >>> import pandas as pd
    >>> from orvane_data import bar_store, distributed
    >>> root = tempfile.mkdtemp()
    >>> bars = pd.DataFrame({"security": ["FIGI_A", "FIGI_A", "FIGI_B"], "key": ["a", "a", "b"],
    ...                      "datetime": pd.to_datetime(["2024-06-07 12:29", "2024-06-07 12:30",
    ...                                                  "2024-06-07 12:29"]).tz_localize("UTC"),
    ...                      "close": [100.0, 101.0, 50.0]})
    >>> paths = bar_store.write_bars(bars, root)
    >>> lazy = distributed.read_bars(root, securities=["FIGI_A"])
    >>> lazy.npartitions
    1
    >>> lazy.compute(scheduler="sync")
      security key                  datetime  close
    0   FIGI_A   a 2024-06-07 12:29:00+00:00  100.0
    1   FIGI_A   a 2024-06-07 12:30:00+00:00  101.0
    """
    _check_type(path, "path", str)
    _check_type(securities, "securities", list, allow_none=True)
    _check_type(columns, "columns", list, allow_none=True)
    _check_type(storage_options, "storage_options", dict, allow_none=True)
    if around is not None:
        return _read_windows(path, securities, columns, storage_options, around, pre, post)
    filters = None if securities is None else [("security", "in", securities)]
    # text columns stay the plain `str` of pandas, as in the service's frames
    with dask.config.set({"dataframe.convert-string": False}):
        bars = dd.read_parquet(path, columns=columns, filters=filters, storage_options=storage_options,
                               split_row_groups=False)
    return bars.map_partitions(_security_first, meta=_security_first(_make_meta(bars)))


def _file_windows(item: tuple, fs, minutes, columns) -> pd.DataFrame:
    """One file's bars on the window minutes (the task of a windowed read)."""
    security, file = item
    read = None if columns is None else [name for name in columns if name != "security"]
    return bar_store._with_security(bar_store.read_file_windows(fs, file, minutes, read), security, columns)


def _read_windows(path, securities, columns, storage_options, around, pre, post) -> "dd.DataFrame":
    if not isinstance(around, pd.DataFrame):
        raise TypeError(f"around must be a pandas DataFrame, not {type(around).__name__}")
    minutes = bar_store.window_minutes(around, pre, post)
    fs, files = bar_store._security_files(path, securities, storage_options)
    if not files:
        raise FileNotFoundError(f"no bar files under {path!r}" + (" for those securities" if securities else ""))
    security, first = files[0]
    # the footer alone, without a read-ahead cache's blocks
    with fs.open(first, "rb", cache_type="none") as handle:
        empty = pq.ParquetFile(handle).schema_arrow.empty_table()
    read = None if columns is None else [name for name in columns if name != "security"]
    meta = bar_store._with_security(empty if read is None else empty.select(read), security, columns)
    # text columns stay the plain `str` of pandas, as the whole read keeps them
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(_file_windows, files, fs=fs, minutes=minutes, columns=columns, meta=meta,
                           enforce_metadata=False, label="read-bar-windows")


def _security_first(part: pd.DataFrame) -> pd.DataFrame:
    """The bars of one partition with `security` as text and first.

    The hive folder names come back as a categorical column, last; the
    service's bar frames have `security` as text and first. Taking the
    categories by code is far cheaper than a categorical astype.
    """
    if "security" not in part.columns:
        return part
    security = part["security"]
    if isinstance(security.dtype, pd.CategoricalDtype):
        text = security.cat.categories.astype("str").take(security.cat.codes.to_numpy(), allow_fill=True,
                                                            fill_value=None)
        security = pd.Series(text, index=part.index, name="security")
    rest = part.drop(columns="security")
    rest.insert(0, "security", security)
    return rest


def _indicator_entries(indicator: Any) -> list:
    if isinstance(indicator, Strategy):
        return [{"kind": kind} for kind in KINDS] if indicator.ta is None else indicator.ta
    if isinstance(indicator, dict):
        return [indicator]
    if isinstance(indicator, list):
        return indicator
    raise TypeError(f"indicator must be a Strategy, a dict or a list of dicts, not {type(indicator).__name__}")


def _run_indicator(kind: str, kwargs: dict, frame: pd.DataFrame):
    return getattr(overlap, kind)(*(frame[column] for column in KINDS[kind]), **kwargs)


def _indicator_plans(indicator: Any) -> tuple:
    """The caller's indicator argument as ((kind, kwargs, column), ...),
    every entry checked here, before any task is sent. The column names are
    the indicators' own, read from a trial run on a series long enough for
    any length."""
    if indicator is None:
        return ()
    plans = []
    for entry in _indicator_entries(indicator):
        if not isinstance(entry, dict) or not isinstance(entry.get("kind"), str):
            raise TypeError(f"each indicator entry must be a dict with a text \"kind\", not {entry!r}")
        kind = entry["kind"].lower()
        if kind not in KINDS:
            raise ValueError(f"indicator kind '{kind}' is not one of orvane_data.ta.overlap's: {', '.join(KINDS)}")
        kwargs = {key: value for key, value in entry.items() if key != "kind"}
        length = kwargs.get("length")
        # clamped as a Python int first: any int may arrive, 2**70 included
        length = 0 if length is None else min(max(int(length), 0), LONGEST_TRIAL)
        path = np.linspace(100.0, 101.0, 1024 + 4 * length)
        trial = pd.DataFrame({"high": path, "low": path, "close": path, "volume": np.ones(len(path))})
        series = _run_indicator(kind, kwargs, trial)
        if series is None or series.name is None:
            raise ValueError(f"indicator {entry!r} gives no named series")
        plans.append((kind, kwargs, str(series.name)))
    return tuple(plans)


def _add_indicators(part: pd.DataFrame, plans: tuple) -> pd.DataFrame:
    """One column per indicator, each security's series computed over its
    bars in time order; a security too short for an indicator gets NaN there."""
    pieces: dict[str, list] = {column: [] for _, _, column in plans}
    for _, bars in part.groupby("security", sort=False):
        bars = bars.take(bars["datetime"].argsort(kind="stable"))
        for kind, kwargs, column in plans:
            series = _run_indicator(kind, kwargs, bars)
            if series is not None:
                pieces[column].append(series.rename(column))
    nothing = pd.Series(np.nan, index=part.index, dtype="float64")
    # each piece keeps its rows' labels: the columns line up with the part by label
    return part.assign(**{column: pd.concat(found) if found else nothing for column, found in pieces.items()})


def _partition_moves(part: pd.DataFrame, calendar: pd.DataFrame, pre_event_window: Any, post_event_window: Any,
                     price: str, indicators: tuple, keep: Any = None) -> pd.DataFrame:
    """Windows and moves of one partition of bars (the task run on a worker)."""
    part = part.reset_index(drop=True)
    if len(indicators) > 0:
        part = _add_indicators(part, indicators)
    windows = filter_bars_around_events(part, calendar, pre_event_window, post_event_window)
    with warnings.catch_warnings():
        # a partition may hold a security's windows in part: whether it has
        # a move at all is said once every partition is gathered
        warnings.simplefilter("ignore", DataWarning)
        moves = event_moves(windows, price=price)
    # only what the caller will use travels back and waits in the worker's
    # memory for the gathering (the calendar's columns repeat on every row)
    return moves if keep is None else moves[list(keep)]


def _lazy_moves(bars, calendar, pre, post, price, indicator, keep):
    """The lazy frame of windows with moves; `keep` (None: all) names the
    columns each task returns."""
    _check_type(price, "price", str)
    if not isinstance(calendar, pd.DataFrame):
        raise TypeError(f"calendar must be a pandas DataFrame, not {type(calendar).__name__}")
    plans = _indicator_plans(indicator)
    # the task run on the empty frame gives the result's columns and
    # surfaces bad arguments before anything is sent
    meta = _partition_moves(_make_meta(bars), calendar, pre, post, price, plans, keep)
    shared_calendar = dask.delayed(calendar, pure=True)
    return bars.map_partitions(_partition_moves, shared_calendar, pre, post, price, plans, keep, meta=meta)


def event_windows(bars: "dd.DataFrame", calendar: pd.DataFrame, pre_event_window: int = -5,
                  post_event_window: int = 10, *, price: str = "close", indicator: Any = None) -> "dd.DataFrame":
    """Event windows and their moves, computed per partition of a lazy bar frame.

    Each partition of ``bars`` is cut into windows around the events of
    ``calendar`` with ``filter_bars_around_events(part, calendar,
    pre_event_window, post_event_window)`` and gets ``event_moves(windows,
    price)``. The calendar enters the graph once, as a single key every task
    depends on, so each worker receives it once.

    Parameters
    ----------
    bars : dask.dataframe.DataFrame
        Minute bars such as ``read_bars`` gives; each security must lie within
        one partition for its indicator to see its whole series.
    calendar : pd.DataFrame
        The events: ``EVENT_NAME``, ``event_datetime`` and any other columns.
    pre_event_window : int, default -5
        The first minute offset of each window.
    post_event_window : int, default 10
        The last minute offset, included.
    price : str, default "close"
        The column whose moves are taken; it may be an indicator's column.
    indicator : Strategy, dict or list of dict, optional
        Indicators of ``orvane_data.ta.overlap`` computed before the cut,
        security by security over its whole bar series in time order, one
        column each: a dict such as ``{"kind": "ema", "length": 20}``, a list
        of such dicts, or a ``Strategy`` (whose ``ta`` None runs every
        indicator of that module). Averages read ``close``; ``hlc3`` and
        ``vwap`` the bar columns they need.

    Returns
    -------
    dask.dataframe.DataFrame
        The windows of ``filter_bars_around_events`` with the indicator
        columns and ``move_bps``. A window split between two partitions is only
        made whole by ``collect_moves``.

    Raises
    ------
    TypeError
        If ``price`` is not a ``str``, ``calendar`` not a ``pd.DataFrame``, or
        ``indicator`` (or one of its entries) not of the forms above.
    ValueError
        If an indicator kind is not one of ``orvane_data.ta.overlap``'s, or an
        indicator gives no named series.

    Examples
    --------
    >>> import dask.dataframe as dd
    >>> import pandas as pd
    >>> from orvane_data import distributed
    >>> bars = pd.DataFrame({"security": "FIGI_A", "key": "a", "close": [100.0, 101.0, 102.0, 101.0],
    ...                      "datetime": pd.date_range("2024-06-07 08:29", periods=4, freq="min",
    ...                                                tz="America/New_York")})
    >>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP"],
    ...                          "event_datetime": [pd.Timestamp("2024-06-07 08:30", tz="America/New_York")]})
    >>> lazy = distributed.event_windows(dd.from_pandas(bars, npartitions=1), calendar, -1, 2,
    ...                                  indicator={"kind": "sma", "length": 2})
    >>> lazy.compute(scheduler="sync")[["time_diff", "close", "SMA_2", "move_bps"]]
       time_diff  close  SMA_2  move_bps
    0         -1  100.0    NaN       0.0
    1          0  101.0  100.5     100.0
    2          1  102.0  101.5     200.0
    3          2  101.0  101.5     100.0
    """
    return _lazy_moves(bars, calendar, pre_event_window, post_event_window, price, indicator, None)


def _compute(lazy, scheduler):
    """`lazy` computed with the scheduler the caller named (see collect_moves)."""
    # once columns are projected, dask's partition tuning reads several small
    # files into one partition; one file (one security) per task keeps each
    # worker's memory at one security's bars
    with dask.config.set({"optimization.tune.active": False}):
        if isinstance(scheduler, str) and ":" in scheduler:
            from distributed import Client  # only a remote scheduler's address needs the client

            with Client(scheduler) as client:
                return dask.compute(lazy, scheduler=client)[0]
        if scheduler is None:
            return dask.compute(lazy)[0]
        return dask.compute(lazy, scheduler=scheduler)[0]


def _rejoin_split_windows(moves: pd.DataFrame, price: str) -> pd.DataFrame:
    """A window whose rows sit in two partitions was measured in each from
    that partition's rows alone, leaving NaN where the baseline bar (or the
    previous minute's bar) was in the other one. Every security with a NaN
    move is measured again here from all its rows, which also says, as the
    single-process moves do, which security is left without any move; for
    windows that truly lack a baseline the NaN stays."""
    missing = moves["move_bps"].isna()
    if not missing.any():
        return moves
    affected = missing.groupby(moves["key"], sort=False, dropna=False).transform("any").astype("bool")
    measured = ["move_bps", "ret_1m_bps"]
    again = event_moves(moves.loc[affected].drop(columns=measured), price=price)
    moves = moves.copy()
    moves.loc[affected, measured] = again[measured]
    return moves


def _check_one_file_per_security(path: str, storage_options: Optional[dict]) -> None:
    """An indicator needs each security's whole series in one task; a
    dataset folder holding several files for one security would split it."""
    import fsspec

    fs, root = fsspec.core.url_to_fs(path, **(storage_options or {}))
    counts: dict[str, int] = {}
    for name in fs.glob(root.rstrip("/") + "/security=*/**/*.parquet"):
        folder = name.rsplit("/", 1)[0]
        counts[folder] = counts.get(folder, 0) + 1
    for folder, count in counts.items():
        if count > 1:
            raise ValueError(f"indicators need each security in one file, but {folder} holds {count} files; "
                             "rewrite it with orvane_data.bar_store.write_bars")


def _gather_moves(dataset, calendar, pre, post, *, price, indicator, securities, columns, storage_options,
                  scheduler, keep):
    _check_type(price, "price", str)
    bars = dataset
    if isinstance(dataset, str):
        # an indicator runs over each security's whole series; without one,
        # only the bars the windows meet are read
        if indicator is not None:
            _check_one_file_per_security(dataset, storage_options)
        if not isinstance(calendar, pd.DataFrame):
            raise TypeError(f"calendar must be a pandas DataFrame, not {type(calendar).__name__}")
        around = calendar if indicator is None else None
        bars = read_bars(dataset, securities=securities, columns=columns, storage_options=storage_options,
                         around=around, pre=pre, post=post)
    elif not isinstance(dataset, dd.DataFrame):
        raise TypeError(f"dataset must be a dataset path or a dask DataFrame, not {type(dataset).__name__}")
    lazy = _lazy_moves(bars, calendar, pre, post, price, indicator, keep)
    moves = _rejoin_split_windows(_compute(lazy, scheduler), price)
    return moves.sort_values([*WINDOW_KEYS, "datetime"], kind="stable").reset_index(drop=True)


def collect_moves(dataset: Any, calendar: pd.DataFrame, pre_event_window: int = -5, post_event_window: int = 10,
                  *, price: str = "close", indicator: Any = None, securities: Optional[list] = None,
                  columns: Optional[list] = None, storage_options: Optional[dict] = None,
                  scheduler: Any = None) -> pd.DataFrame:
    """Per-event moves of a whole bar dataset, computed on the Dask workers.

    The windows and moves of ``event_windows`` are computed with ``scheduler``
    and gathered here. Windows that a partition boundary had cut in two get
    their moves again from all their rows.

    Parameters
    ----------
    dataset : str or dask.dataframe.DataFrame
        A dataset path (read with ``read_bars``) or a lazy bar frame. From a
        path and without ``indicator``, only the bars the windows meet are
        read (``read_bars(..., around=calendar)``); an indicator needs each
        security's whole series, so it reads the files whole.
    calendar, pre_event_window, post_event_window, price
        As for ``event_windows``.
    indicator : Strategy, dict or list of dict, optional
        Indicators computed before the cut, as ``event_windows`` takes them.
        From a dataset path, each security must then be one file.
    securities : list, optional
        From a dataset path, only the bars of these FIGIs.
    columns : list, optional
        From a dataset path, only these bar columns; None reads every bar
        column, as the single-process windows have them.
    storage_options : dict, optional
        Passed to the file system (s3fs for S3).
    scheduler : optional
        None: Dask's current scheduler, such as an active
        ``distributed.Client``; an address text like ``"tcp://scheduler:8786"``:
        a client connected for this call; a ``Client`` or a scheduler name
        such as ``"threads"`` or ``"sync"``: used as given.

    Returns
    -------
    pd.DataFrame
        The windows with ``move_bps``, in the order of the single-process
        windows: by ``EVENT_NAME``, ``event_datetime``, ``key``, ``datetime``,
        numbered from 0.

    Raises
    ------
    TypeError
        If ``dataset`` is neither a path nor a lazy frame, or another argument
        is not of its type (see ``event_windows``).
    ValueError
        If an indicator is asked for and a security of the dataset path is
        held in more than one file.

    Examples
    --------
    Bars of two securities in two partitions (a dataset path, as ``read_bars``
    reads it, serves as well):

    >>> import dask.dataframe as dd
    >>> import pandas as pd
    >>> from orvane_data import distributed
    >>> bars = pd.DataFrame({"key": ["a"] * 3 + ["b"] * 3,
    ...                      "datetime": list(pd.date_range("2024-06-07 12:29", periods=3, freq="min",
    ...                                                     tz="UTC")) * 2,
    ...                      "close": [100.0, 101.0, 99.0, 50.0, 49.5, 50.5]})
    >>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP"],
    ...                          "event_datetime": [pd.Timestamp("2024-06-07 12:30", tz="UTC")]})
    >>> moves = distributed.collect_moves(dd.from_pandas(bars, npartitions=2), calendar, -1, 1, scheduler="sync")
    >>> moves[["key", "time_diff", "close", "move_bps"]]
      key  time_diff  close  move_bps
    0   a         -1  100.0       0.0
    1   a          0  101.0     100.0
    2   a          1   99.0    -100.0
    3   b         -1   50.0       0.0
    4   b          0   49.5    -100.0
    5   b          1   50.5     100.0
    """
    return _gather_moves(dataset, calendar, pre_event_window, post_event_window, price=price, indicator=indicator,
                         securities=securities, columns=columns, storage_options=storage_options,
                         scheduler=scheduler, keep=None)


def _columns_read(price: str, plans: tuple) -> list:
    """The bar columns the windows, the moves and the indicators need: less
    to read, and smaller partitions in the workers' memory."""
    needed = []
    # the hive column costs dask more to build than the files' own columns:
    # only the per-security indicators need it
    if plans:
        needed.append("security")
    needed += ["datetime", "key"]
    for kind, _, _ in plans:
        needed += KINDS[kind]
    if price not in [column for _, _, column in plans]:
        needed.append(price)
    return list(dict.fromkeys(needed))


def event_summary(dataset: Any, calendar: pd.DataFrame, pre_event_window: int = -5, post_event_window: int = 10,
                  *, price: str = "close", indicator: Any = None, by: list = ["EVENT_NAME", "key"],  # noqa: B006
                  confidence: float = 0.95, securities: Optional[list] = None,
                  storage_options: Optional[dict] = None, scheduler: Any = None) -> pd.DataFrame:
    """The event study's summary of a whole bar dataset, computed on Dask.

    ``summarize_moves(collect_moves(...), by, confidence)``: equal to the summary of the
    single-process event study on the same bars. From a dataset path only the
    bar columns the windows, the ``price`` and the indicators need are read.

    Parameters
    ----------
    dataset, calendar, pre_event_window, post_event_window, price, indicator
        As for ``collect_moves``.
    by : list, default ["EVENT_NAME", "key"]
        The grouping columns of the summary (the list given is left as it is).
    confidence : float, default 0.95
        The level of the interval of the mean.
    securities, storage_options, scheduler
        As for ``collect_moves``.

    Returns
    -------
    pd.DataFrame
        One row per group and minute offset, the columns of
        ``summarize_moves``: the ``by`` columns, ``time_diff``, ``mean_bps``,
        ``median_bps``, ``q25_bps``, ``q75_bps``, ``count``,
        ``mean_abs_bps``, ``std_bps``, ``sem_bps``, ``t_stat``, ``p_value``,
        ``ci_low_bps``, ``ci_high_bps``, ``share_up`` and ``sign_p_value``.

    Raises
    ------
    TypeError
        If ``by`` is not a ``list``, or another argument is not of its type
        (see ``collect_moves``).
    ValueError
        As for ``collect_moves``.

    Examples
    --------
    A lazy frame of bars serves as well as a dataset path:

    >>> import dask.dataframe as dd
    >>> import pandas as pd
    >>> from orvane_data import distributed
    >>> minutes = pd.date_range("2024-06-07 12:29", periods=3, freq="min", tz="UTC")
    >>> bars = dd.from_pandas(pd.DataFrame({"key": ["a"] * 3 + ["b"] * 3, "datetime": minutes.append(minutes),
    ...                                     "close": [100.0, 101.0, 99.0, 50.0, 49.5, 50.5]}), npartitions=2)
    >>> releases = pd.DataFrame({"EVENT_NAME": ["NFP"], "event_datetime": [minutes[1]]})
    >>> summary = distributed.event_summary(bars, releases, -1, 1, by=["EVENT_NAME"], scheduler="sync")
    >>> summary[["EVENT_NAME", "time_diff", "mean_bps", "mean_abs_bps", "count"]]
      EVENT_NAME  time_diff  mean_bps  mean_abs_bps  count
    0        NFP         -1       0.0           0.0      2
    1        NFP          0       0.0         100.0      2
    2        NFP          1       0.0         100.0      2
    """
    _check_type(by, "by", list)
    _check_type(price, "price", str)
    columns = _columns_read(price, _indicator_plans(indicator)) if isinstance(dataset, str) else None
    keep = tuple(dict.fromkeys([*WINDOW_KEYS, "datetime", "time_diff", "move_bps", "ret_1m_bps", price, *by]))
    moves = _gather_moves(dataset, calendar, pre_event_window, post_event_window, price=price, indicator=indicator,
                          securities=securities, columns=columns, storage_options=storage_options,
                          scheduler=scheduler, keep=keep)
    return summarize_moves(moves, by=list(by), confidence=confidence)
