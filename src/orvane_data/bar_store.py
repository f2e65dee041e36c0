"""Minute bars kept as a Parquet dataset partitioned by security.

The intraday service answers one request at a time; an event study over
thousands of instruments and years of minute bars reads them from a dataset
instead (``orvane_data.distributed``). This module writes such datasets, to a
local folder or to S3 (``s3://bucket/prefix``, through s3fs), and reads them
back for single-process work: whole, or only the bars a study's windows
meet.

Layout: hive-style folders, one per security, each with exactly one file::

    <root>/security=<FIGI>/part-0.parquet

The file holds the bar frame's other columns (``datetime``, ``key``,
``open``, ``high``, ``low``, ``close``, ``volume``, ``short_name``,
``parsekey``, ... in the frame's order) in row groups; the ``security`` value
lives in the folder name, as hive partitioning has it. One file per security
is what lets a reader give every task a security's whole series; writing a
security again replaces its file.

API
---

``write_bars(bars, root, *, storage_options=None, row_group_size=ROW_GROUP_SIZE)``
    Writes a bar frame (the columns of ``get_intraday_bars``), one file per
    distinct ``security``; returns the paths written.
``SecurityWriter(root, security, *, storage_options=None)``
    Streams one security's bars into its file chunk by chunk (``write(frame)``
    per chunk, ``close()`` at the end, or use it as a context manager), so a
    long history never has to sit in memory at once.
``write_simulated_bars(root, securities, start, end, *, tz=None, chunk_days=92, storage_options=None)``
    Fetches the bars of the simulated intraday service security by security
    a quarter at a time and writes them, labelled like ``get_intraday_bars``
    (``short_name``, ``parsekey``); returns the paths written.
``arrow_table(frame)``
    A frame as an arrow table, zoned stamps included, as the writers store it.
``load_bars(root, *, securities=None, columns=None, storage_options=None, around=None, pre=-5, post=10)``
    The whole dataset (or some securities, some columns) as one pandas frame,
    ``security`` (when read) first and as text; with ``around`` (a release
    calendar) only the bars on the minutes of the releases' windows, read
    from the row groups that hold them.
``window_minutes(calendar, pre=-5, post=10)``
    The minutes of the releases' windows, as the window cut meets bars.
``read_file_windows(fs, path, minutes, columns=None)``
    One file's bars on those minutes, reading only the row groups whose time
    range holds one of them.

Layout for windows
------------------
A study reads a few minutes around each release, so each file is laid out
for reads by time: the bars sorted by ``datetime`` (each row group's
metadata says so), in row groups of ``ROW_GROUP_SIZE`` rows, pages of at
most ``PAGE_BYTES`` bytes and the page index. ``datetime`` alone carries
statistics: its range per row group is what lets a reader skip every group
that holds no window minute, while the ranges of prices and labels rule out
nothing and cost footer bytes that every reader reads whole.

The sizes come from measuring the default study's releases (130 over
2019 to mid-2024) against simulated minute bars of that span, reading the
columns a study needs (``datetime``, ``key``, ``close``) from the row
groups a window meets, footer included, as a share of the file:

=========  ==============  ==============  ====================
rows       S&P 500 index   yen             a price column's group
=========  ==============  ==============  ====================
512        6.8 %           3.9 %           4.7 KB
1,024      9.6 %           3.7 %           9.5 KB
2,048      16.9 %          5.4 %           19.3 KB
65,536     37.3 %          37.5 %          650 KB
=========  ==============  ==============  ====================

With 512 rows a 16-minute window touches one or two groups, a few
kilobytes per column. Smaller groups would add more footer (a group's entry
is about 0.7 KB, about 0.4 MB more for the S&P file at each halving) than
they save in data (about 0.6 MB at the next halving); larger ones read more
data than the windows hold. Statistics on every column would add half again
to the footer (the 65,536 row has them; its footer is small either way).
A footer is read whole and held parsed while its file is read, about eleven
times its size in memory: a reader's memory grows with the longest
security's years (a 16-year currency's footer is 9 MB), not with the
number of securities. Datasets written with other row groups (older ones held up to
262,144 rows in one, with statistics on every column) read as before and
still skip the groups no window meets; they only skip less.
"""

from __future__ import annotations

import datetime as _dt
import json
import posixpath
import re
import uuid
from concurrent.futures import ThreadPoolExecutor
from typing import Iterable, Optional

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

__all__ = [
    "ROW_GROUP_SIZE",
    "FILE_NAME",
    "write_bars",
    "SecurityWriter",
    "write_simulated_bars",
    "load_bars",
    "window_minutes",
    "read_file_windows",
]

# see "Layout for windows" above for why these sizes
ROW_GROUP_SIZE = 512
PAGE_BYTES = 8_192
FILE_NAME = "part-0.parquet"

# Folder names carry the value verbatim: keep to what every file system and
# every hive reader takes without escaping (FIGIs, "FIGI.PCS", roll names).
_SAFE_SECURITY = re.compile(r"[A-Za-z0-9][A-Za-z0-9._\-]*")


def _filesystem(root: str, storage_options: Optional[dict]):
    import fsspec  # on first use: importing the module stays light for those who only read local frames

    fs, path = fsspec.core.url_to_fs(root, **(storage_options or {}))
    return fs, path.rstrip("/")


def _folder(path: str, security: str) -> str:
    if not isinstance(security, str) or not _SAFE_SECURITY.fullmatch(security):
        raise ValueError(
            f"security {security!r} cannot name a dataset folder: use letters, digits, '.', '_' or '-'"
        )
    return posixpath.join(path, f"security={security}")


def arrow_table(frame: pd.DataFrame) -> pa.Table:
    """``frame`` as an arrow table, without its index.

    Zoned stamp columns reach arrow as their UTC values with the zone in the
    arrow type, which is how arrow stores them anyway: arrow releases before
    26 read them through ``Series.values``, which pandas 3.1 deprecates for
    zoned stamps.

    Parameters
    ----------
    frame : pandas.DataFrame
        The frame to convert, bars or any other.

    Returns
    -------
    pyarrow.Table
        The frame's columns in its order; a zoned stamp column keeps its unit
        and zone in its arrow type.

    Examples
    --------
    >>> import pandas as pd
    >>> from orvane_data import bar_store
    >>> frame = pd.DataFrame({"close": [100.0, 100.5], "datetime": pd.date_range(
    ...     "2024-06-07 08:29", periods=2, freq="min", tz="America/New_York")})
    >>> table = bar_store.arrow_table(frame)
    >>> table.column_names, table.schema.field("datetime")
    (['close', 'datetime'], pyarrow.Field<datetime: timestamp[us, tz=America/New_York]>)
    """
    zoned = {name: column.dtype for name, column in frame.items() if isinstance(column.dtype, pd.DatetimeTZDtype)}
    table = pa.Table.from_pandas(
        frame.assign(**{name: frame[name].dt.tz_convert(None) for name in zoned}), preserve_index=False)
    for name, dtype in zoned.items():
        where = table.schema.get_field_index(name)
        stamp = pa.timestamp(dtype.unit, tz=_arrow_zone(dtype.tz))
        table = table.set_column(where, pa.field(name, stamp), table.column(where).cast(stamp))
    return table


def _arrow_zone(tz) -> str:
    """The zone's name as arrow reads it back: a named zone by its name, a
    fixed offset as "+HH:MM" (its text in Python, "UTC-04:00", names no zone
    arrow or pandas can find)."""
    name = getattr(tz, "key", None) or getattr(tz, "zone", None)  # zoneinfo, pytz
    offset = tz.utcoffset(None)
    if name or str(tz) == "UTC" or offset is None:
        return name or str(tz)
    minutes = int(offset.total_seconds()) // 60
    return f"{'-' if minutes < 0 else '+'}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


class SecurityWriter:
    """One security's bars streamed into its single file of the dataset.

    The file is written under a hidden temporary name and moved into place by
    ``close``, replacing what the security held before; a writer that
    fails or is abandoned leaves the previous file as it was. As a context
    manager it closes on success and aborts on an error.

    Parameters
    ----------
    root : str
        The dataset's root folder, local or remote (``"s3://bucket/bars"``).
    security : str
        The security's FIGI (or ``"FIGI.PCS"``, a roll name): letters,
        digits, ``"."``, ``"_"`` or ``"-"``, as it names the folder
        ``security=<security>/``.
    storage_options : dict, optional
        Passed to the file system (s3fs for S3).
    row_group_size : int, default ROW_GROUP_SIZE
        The most rows in one row group of the file.

    Attributes
    ----------
    path : str
        Where the file lands.
    rows : int
        The rows written so far.

    Raises
    ------
    ValueError
        If ``security`` cannot name a folder.

    Examples
    --------
    >>> import tempfile
    >>> import pandas as pd
    >>> from orvane_data import bar_store
    >>> root = tempfile.mkdtemp()
    >>> days = [pd.DataFrame({"key": "a", "close": [100.0, 101.0], "datetime": pd.date_range(
    ...     f"2024-06-0{day} 12:30", periods=2, freq="min", tz="UTC")}) for day in (6, 7)]
    >>> with bar_store.SecurityWriter(root, "FIGI_A") as writer:
    ...     for chunk in days:
    ...         writer.write(chunk)
    >>> writer.rows, writer.path
    (4, '.../security=FIGI_A/part-0.parquet')
    """

    def __init__(self, root: str, security: str, *, storage_options: Optional[dict] = None,
                 row_group_size: int = ROW_GROUP_SIZE):
        self.fs, path = _filesystem(root, storage_options)
        self.security = security
        self.folder = _folder(path, security)
        self.path = posixpath.join(self.folder, FILE_NAME)
        # hidden and without the .parquet ending: no reader takes it for data
        self._partial = posixpath.join(self.folder, f".{uuid.uuid4().hex}.partial")
        self._row_group_size = row_group_size
        self._file = None
        self._writer: Optional[pq.ParquetWriter] = None
        self._schema: Optional[pa.Schema] = None
        self.rows = 0

    def write(self, bars: pd.DataFrame) -> None:
        """Appends a chunk of this security's bars (its ``security`` column, if any, is checked and dropped).

        The first chunk fixes the file's columns and types; later chunks are
        brought to them.

        Parameters
        ----------
        bars : pandas.DataFrame
            The chunk; an empty one adds no rows.

        Returns
        -------
        None

        Raises
        ------
        ValueError
            If the chunk holds bars of another security.

        Examples
        --------
        >>> import tempfile
        >>> import pandas as pd
        >>> from orvane_data import bar_store
        >>> writer = bar_store.SecurityWriter(tempfile.mkdtemp(), "FIGI_A")
        >>> writer.write(pd.DataFrame({"security": "FIGI_A", "close": [100.0, 101.0]}))
        >>> writer.rows
        2
        >>> writer.write(pd.DataFrame({"security": "FIGI_B", "close": [50.0]}))
        Traceback (most recent call last):
        ValueError: bars of 'FIGI_B' given to the writer of 'FIGI_A'
        >>> writer.abort()
        """
        if "security" in bars.columns:
            others = bars["security"][bars["security"] != self.security]
            if len(others):
                raise ValueError(f"bars of {others.iloc[0]!r} given to the writer of {self.security!r}")
            bars = bars.drop(columns="security")
        table = _sorted_by_time(arrow_table(bars))
        if self._writer is None:
            self._schema = table.schema
            self.fs.makedirs(self.folder, exist_ok=True)
            self._file = self.fs.open(self._partial, "wb")
            names = self._schema.names
            # each row group is sorted by time (chunks are sorted one by one)
            timed = "datetime" in names
            sorting = [pq.SortingColumn(names.index("datetime"))] if timed else None
            self._writer = pq.ParquetWriter(self._file, self._schema, write_page_index=True,
                                            data_page_size=PAGE_BYTES, sorting_columns=sorting,
                                            write_statistics=["datetime"] if timed else True)
        elif table.schema != self._schema:
            table = table.select(self._schema.names).cast(self._schema)
        if table.num_rows:
            self._writer.write_table(table, row_group_size=self._row_group_size)
            self.rows += table.num_rows

    def close(self) -> Optional[str]:
        """Finishes the file and puts it in place, replacing the security's previous file.

        Returns
        -------
        str or None
            The file's path; None when nothing was written (the previous
            file, if any, then stays).

        Examples
        --------
        >>> import tempfile
        >>> import pandas as pd
        >>> from orvane_data import bar_store
        >>> root = tempfile.mkdtemp()
        >>> bar_store.SecurityWriter(root, "FIGI_A").close() is None
        True
        >>> writer = bar_store.SecurityWriter(root, "FIGI_A")
        >>> writer.write(pd.DataFrame({"close": [100.0, 101.0]}))
        >>> writer.close()
        '.../security=FIGI_A/part-0.parquet'
        >>> bar_store.load_bars(root)
          security  close
        0   FIGI_A  100.0
        1   FIGI_A  101.0
        """
        if self._writer is None:
            return None
        self._writer.close()
        self._file.close()
        self._writer = None
        for old in self.fs.glob(posixpath.join(self.folder, "*.parquet")):
            self.fs.rm(old)
        self.fs.mv(self._partial, self.path)
        return self.path

    def abort(self) -> None:
        """Drops what was written; the security's previous file stays.

        Returns
        -------
        None

        Examples
        --------
        >>> import tempfile
        >>> import pandas as pd
        >>> from orvane_data import bar_store
        >>> root = tempfile.mkdtemp()
        >>> paths = bar_store.write_bars(pd.DataFrame({"security": "FIGI_A", "close": [100.0]}), root)
        >>> writer = bar_store.SecurityWriter(root, "FIGI_A")
        >>> writer.write(pd.DataFrame({"close": [1.0, 2.0, 3.0]}))
        >>> writer.abort()
        >>> bar_store.load_bars(root)
          security  close
        0   FIGI_A  100.0
        """
        if self._writer is not None:
            self._writer.close()
            self._file.close()
            self._writer = None
            self.fs.rm(self._partial)

    def __enter__(self) -> "SecurityWriter":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is None:
            self.close()
        else:
            self.abort()


def write_bars(bars: pd.DataFrame, root: str, *, storage_options: Optional[dict] = None,
               row_group_size: int = ROW_GROUP_SIZE) -> list[str]:
    """Writes a bar frame as the dataset's files, one per distinct ``security``.

    Each security's rows (in the frame's order) replace the file it held
    before; securities not in the frame are left as they are.

    Parameters
    ----------
    bars : pandas.DataFrame
        Bars with a ``security`` column (the columns of
        ``get_intraday_bars``); the other columns are stored in the frame's
        order.
    root : str
        The dataset's root folder, local or remote (``"s3://bucket/bars"``).
    storage_options : dict, optional
        Passed to the file system (s3fs for S3).
    row_group_size : int, default ROW_GROUP_SIZE
        The most rows in one row group of a file.

    Returns
    -------
    list of str
        The paths written, in the order of the sorted securities.

    Raises
    ------
    KeyError
        If the frame has no ``security`` column.
    ValueError
        If a bar has no security, or a security cannot name a folder.

    Examples
    --------
    >>> import tempfile
    >>> import pandas as pd
    >>> from orvane_data import bar_store
    >>> bars = pd.DataFrame({"security": ["FIGI_B", "FIGI_A", "FIGI_B"], "close": [50.0, 100.0, 51.0]})
    >>> bar_store.write_bars(bars, tempfile.mkdtemp())
    ['.../security=FIGI_A/part-0.parquet', '.../security=FIGI_B/part-0.parquet']
    >>> bar_store.write_bars(bars.assign(security="../up"), tempfile.mkdtemp())
    Traceback (most recent call last):
    ValueError: security '../up' cannot name a dataset folder: use letters, digits, '.', '_' or '-'
    """
    if "security" not in bars.columns:
        raise KeyError("security")
    if bars["security"].isna().any():
        raise ValueError("bars without a security cannot be placed in the dataset")
    written = []
    for security, rows in bars.groupby("security", sort=True):
        with SecurityWriter(root, str(security), storage_options=storage_options,
                            row_group_size=row_group_size) as writer:
            writer.write(rows)
        written.append(writer.path)
    return written


def _sorted_by_time(table: pa.Table) -> pa.Table:
    """The rows by ``datetime`` (missing stamps last), ties in their order;
    a table without ``datetime`` as it is."""
    if "datetime" not in table.column_names or table.num_rows < 2:
        return table
    stamps = table.column("datetime")
    if not pa.types.is_timestamp(stamps.type):
        return table
    ticks = pc.fill_null(stamps.cast(pa.int64()), _INT64.max).to_numpy()
    if bool(np.all(ticks[1:] >= ticks[:-1])):
        return table
    return table.take(np.argsort(ticks, kind="stable"))


def _chunks(start: _dt.date, end: _dt.date, days: int) -> Iterable[tuple[_dt.date, _dt.date]]:
    first = start
    while first <= end:
        last = min(end, first + _dt.timedelta(days=days - 1))
        yield first, last
        first = last + _dt.timedelta(days=1)


def write_simulated_bars(root: str, securities: Iterable[str], start: str, end: str, *,
                         tz: Optional[str] = None, chunk_days: int = 92,
                         storage_options: Optional[dict] = None) -> list[str]:
    """Bars of the simulated intraday service for ``securities`` (parse keys or
    FIGIs of the simulated security master), written security by security.

    Each security is asked for ``chunk_days`` days at a time from ``start`` to
    ``end`` (yyyy-mm-dd, both included) and streamed into its file, so memory
    holds one chunk. Securities are requested by parse key, which is then
    their ``key``; the bars are labelled as ``get_intraday_bars`` labels them:
    ``short_name`` from the security's name, ``parsekey`` from its parse key.
    Futures rolls, whose bars change security at each roll, are written from
    their bar frame with ``write_bars`` instead.

    Parameters
    ----------
    root : str
        The dataset's root folder, local or remote (``"s3://bucket/bars"``).
    securities : iterable of str
        Parse keys or FIGIs of the simulated security master.
    start, end : str
        The first and last trade dates (yyyy-mm-dd), both included.
    tz : str, optional
        The zone of the bars' ``datetime``; UTC by default.
    chunk_days : int, default 92
        The days asked for at a time.
    storage_options : dict, optional
        Passed to the file system (s3fs for S3).

    Returns
    -------
    list of str
        The paths written, in the order of ``securities``; a security
        without bars in the range is left out (and its file left as it was).

    Raises
    ------
    KeyError
        If a security is not in the simulated security master.

    Examples
    --------
    >>> import tempfile
    >>> from orvane_data import bar_store
    >>> root = tempfile.mkdtemp()
    >>> bar_store.write_simulated_bars(root, ["SPX Index"], "2024-06-07", "2024-06-07")
    ['.../security=OVGX9J8LG0L3/part-0.parquet']
    >>> bars = bar_store.load_bars(root)
    >>> len(bars), bars["short_name"].iloc[0]  # the New York session, 09:30 to 16:00
    (390, 'S&P 500 INDEX')
    """
    from .simulated import intraday, securities as master

    first = _dt.date.fromisoformat(start)
    last = _dt.date.fromisoformat(end)
    written = []
    for wanted in securities:
        security = master.lookup(wanted)
        if security is None:
            raise KeyError(wanted)
        with SecurityWriter(root, security.figi, storage_options=storage_options) as writer:
            for chunk_start, chunk_end in _chunks(first, last, chunk_days):
                bars = intraday.get_bars(
                    securities=[security.parse_key], security_id_type="parsekey",
                    start=chunk_start.isoformat(), end=chunk_end.isoformat(), tz=tz,
                    downsample_freq=None,
                )
                if len(bars):
                    bars = bars.assign(short_name=security.name, parsekey=security.parse_key)
                    writer.write(bars)
        if writer.rows:
            written.append(writer.path)
    return written


_TICKS_PER_NS = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}
_INT64 = np.iinfo(np.int64)


def window_minutes(calendar: pd.DataFrame, pre: int = -5, post: int = 10) -> Optional[pd.DatetimeIndex]:
    """The minutes of the releases' windows, sorted and each once.

    They are the minutes of ``get_event_metadata(calendar, pre, post)``,
    the grid whose minutes the window cut meets bars on: a bar off them is
    in no window.

    Parameters
    ----------
    calendar : pandas.DataFrame
        The releases: ``EVENT_NAME``, ``event_datetime`` and any other columns.
    pre, post : int, default -5, 10
        The first and last minute offsets of each window.

    Returns
    -------
    pandas.DatetimeIndex or None
        The minutes, zoned or naive as the calendar's times are; None when
        the grid's minutes are not stamps of one kind (then no bar can be
        ruled out).

    Examples
    --------
    >>> import pandas as pd
    >>> from orvane_data import bar_store
    >>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP", "UMICH"], "event_datetime": pd.to_datetime(
    ...     ["2024-06-07 08:30:40", "2024-06-07 08:32:00"]).tz_localize("America/New_York")})
    >>> bar_store.window_minutes(calendar, -1, 1).strftime("%H:%M").tolist()
    ['08:29', '08:30', '08:31', '08:32', '08:33']
    """
    from .from_bqia.bar_kit import get_event_metadata

    grid = get_event_metadata(calendar, pre, post)
    try:
        minutes = pd.DatetimeIndex(grid["datetime"])
    except (TypeError, ValueError):
        return None
    return minutes.dropna().unique().sort_values()


def _keys(minutes: pd.DatetimeIndex, stamp: pa.DataType) -> Optional[np.ndarray]:
    """The minutes as the file's stamps in nanoseconds: instants for a zoned
    column (stored in UTC), wall times for a naive one; None when the
    minutes and the column are not of one kind."""
    if not pa.types.is_timestamp(stamp) or (stamp.tz is None) != (minutes.tz is None):
        return None
    if minutes.tz is not None:
        minutes = minutes.tz_convert("UTC")
    return np.asarray(minutes.as_unit("ns").asi8, dtype=np.int64)


def _stored_ticks_per_ns(column) -> Optional[int]:
    """Nanoseconds per tick of the stamps as the file stores them, which its
    statistics hold (a reader may hand them out in another unit); None for
    stamps stored otherwise (96-bit ones have no usable statistics)."""
    if column.physical_type != "INT64":
        return None
    logical = json.loads(column.logical_type.to_json())
    units = {"milliseconds": 1_000_000, "microseconds": 1_000, "nanoseconds": 1}
    return units.get(logical.get("timeUnit")) if logical.get("Type") == "Timestamp" else None


def _groups_meeting(metadata: pq.FileMetaData, where: int, keys: np.ndarray, per_tick: int) -> list:
    """The row groups whose time range holds one of `keys`; a group without
    statistics is kept."""
    groups = metadata.num_row_groups
    smallest, largest = int(_INT64.min), int(_INT64.max)
    low, high, empty = [smallest] * groups, [largest] * groups, [False] * groups
    for i in range(groups):
        group = metadata.row_group(i)
        statistics = group.column(where).statistics
        if group.num_rows == 0:
            empty[i] = True
        elif statistics is not None and statistics.has_min_max:
            low[i] = max(smallest, min(largest, statistics.min_raw * per_tick))
            high[i] = max(smallest, min(largest, statistics.max_raw * per_tick))
        elif statistics is not None and statistics.null_count == group.num_rows:
            empty[i] = True  # only missing stamps: on no minute
    low, high, empty = np.array(low, np.int64), np.array(high, np.int64), np.array(empty, bool)
    meets = np.searchsorted(keys, low, "left") < np.searchsorted(keys, high, "right")
    return np.flatnonzero(meets & ~empty).tolist()


# What a remote read fetches with the footer, at the end of the file (most
# footers of a few years of bars fit), and the largest gap between two byte
# ranges fetched in one request: a request costs about what this many bytes
# take to arrive, and a window's row groups are then one request per file.
_FOOTER_READ = 1 << 16
_MERGE_GAP = 1 << 15
# requests in flight at once on a file system that sends one at a time
_LANES = 8


def _chunk_ranges(metadata: pq.FileMetaData, groups, columns: list) -> list:
    """The byte ranges of the given columns in the given row groups, merged
    where they are less than _MERGE_GAP apart, as (start, end) pairs."""
    spans = []
    for i in groups:
        group = metadata.row_group(i)
        for j in columns:
            chunk = group.column(j)
            start = chunk.data_page_offset
            if chunk.has_dictionary_page and 0 < chunk.dictionary_page_offset < start:
                start = chunk.dictionary_page_offset
            spans.append((start, start + chunk.total_compressed_size))
    spans.sort()
    merged: list = []
    for start, end in spans:
        if merged and start - merged[-1][1] <= _MERGE_GAP:
            merged[-1][1] = max(merged[-1][1], end)
        else:
            merged.append([start, end])
    return [tuple(pair) for pair in merged]


class _RemoteFile:
    """A remote file as arrow reads it, served from the byte ranges fetched
    for it: the footer at the start, then the ranges of ``fetch``, asked for
    at once (s3fs sends them concurrently). A read outside them is fetched
    on its own."""

    def __init__(self, fs, path: str):
        self._fs, self._path = fs, path
        self._size = fs.size(path)
        start = max(0, self._size - _FOOTER_READ)
        [tail] = self._get([(start, self._size)])
        footer = int.from_bytes(tail[-8:-4], "little") + 8
        if footer > len(tail) and footer <= self._size:
            [head] = self._get([(self._size - footer, start)])
            tail, start = head + tail, self._size - footer
        self._pieces = [(start, tail)]
        self._position = 0
        self.closed = False

    def _get(self, ranges: list) -> list:
        if getattr(self._fs, "async_impl", False):  # requests sent together
            return self._fs.cat_ranges([self._path] * len(ranges), [r[0] for r in ranges],
                                       [r[1] for r in ranges], on_error="raise")
        # one request per range, without the read-ahead of a file's cache;
        # several ranges on a few threads, each with its own handle, since a
        # request waits far longer on the store than on this machine
        lanes = min(_LANES, len(ranges))
        found: list = [None] * len(ranges)

        def lane(k: int) -> None:
            with self._fs.open(self._path, "rb", cache_type="none") as handle:
                for i in range(k, len(ranges), lanes):
                    handle.seek(ranges[i][0])
                    found[i] = handle.read(ranges[i][1] - ranges[i][0])

        if lanes == 1:
            lane(0)
        else:
            with ThreadPoolExecutor(lanes) as pool:
                list(pool.map(lane, range(lanes)))
        return found

    def fetch(self, ranges: list) -> None:
        if ranges:
            self._pieces += [(r[0], data) for r, data in zip(ranges, self._get(ranges))]

    def read(self, size: int = -1) -> bytes:
        end = self._size if size is None or size < 0 else min(self._size, self._position + size)
        start = self._position
        self._position = end
        for first, data in self._pieces:
            if first <= start and end <= first + len(data):
                return data[start - first:end - first]
        [data] = self._get([(start, end)])
        self._pieces.append((start, data))
        return data

    def seek(self, offset: int, whence: int = 0) -> int:
        self._position = offset + (0 if whence == 0 else self._position if whence == 1 else self._size)
        return self._position

    def tell(self) -> int:
        return self._position

    def size(self) -> int:
        return self._size

    def seekable(self) -> bool:
        return True

    def readable(self) -> bool:
        return True

    def writable(self) -> bool:
        return False

    def close(self) -> None:
        self.closed = True


def read_file_windows(fs, path: str, minutes: Optional[pd.DatetimeIndex], columns: Optional[list] = None) -> pa.Table:
    """One file's bars stamped on ``minutes``, read from the row groups whose
    time range holds one of them.

    The footer is read first; then, for the row groups kept, only the
    ``columns`` asked for, their byte ranges merged where they nearly touch
    (one request for a window's neighbouring groups on S3). A file whose
    ``datetime`` is not a stamp of the minutes' kind (naive against zoned),
    or ``minutes`` None, is read whole: no bar can be ruled out.

    Parameters
    ----------
    fs : fsspec.AbstractFileSystem
        The file system holding the file.
    path : str
        The file's path in ``fs``.
    minutes : pandas.DatetimeIndex or None
        The window minutes (``window_minutes``).
    columns : list, optional
        The columns to read (all by default); ``datetime`` is read to cut
        the rows either way.

    Returns
    -------
    pyarrow.Table
        The rows on the minutes, in the file's order, with ``columns``.

    Examples
    --------
    >>> import tempfile
    >>> import fsspec
    >>> import pandas as pd
    >>> from orvane_data import bar_store
    >>> minutes = pd.date_range("2024-06-07 00:00", periods=1440, freq="min", tz="UTC")
    >>> [path] = bar_store.write_bars(pd.DataFrame({"security": "FIGI_A", "datetime": minutes,
    ...                                             "close": range(1440)}), tempfile.mkdtemp())
    >>> releases = pd.DataFrame({"EVENT_NAME": ["NFP"], "event_datetime": [minutes[750]]})
    >>> table = bar_store.read_file_windows(fsspec.filesystem("file"), path,
    ...                                     bar_store.window_minutes(releases, 0, 2), ["close"])
    >>> table.column("close").to_pylist()
    [750, 751, 752]
    """
    local = "file" in ((fs.protocol,) if isinstance(fs.protocol, str) else fs.protocol)
    # a local file is read by arrow itself (Python's buffered reads would
    # fetch whole buffers around each small range); a remote one in a few
    # ranged requests made at once (_RemoteFile)
    source = path if local else _RemoteFile(fs, path)
    parquet = pq.ParquetFile(source, pre_buffer=local)
    schema = parquet.schema_arrow
    wanted = schema.names if columns is None else [name for name in columns if name in schema.names]
    where = schema.get_field_index("datetime")
    keys = None if minutes is None or where < 0 else _keys(minutes, schema.field(where).type)
    if keys is None:
        if not local:
            source.fetch(_chunk_ranges(parquet.metadata, range(parquet.metadata.num_row_groups),
                                       [schema.get_field_index(name) for name in wanted]))
        return parquet.read(columns=wanted, use_threads=False)
    read = wanted if "datetime" in wanted else [*wanted, "datetime"]
    per_tick = _TICKS_PER_NS[schema.field(where).type.unit]
    # bar files are flat: the arrow field's place is the Parquet column's
    stored = _stored_ticks_per_ns(parquet.metadata.schema.column(where))
    groups = (_groups_meeting(parquet.metadata, where, keys, stored) if stored
              else list(range(parquet.metadata.num_row_groups)))
    if not groups:
        return schema.empty_table().select(wanted)
    if not local:
        source.fetch(_chunk_ranges(parquet.metadata, groups, [schema.get_field_index(name) for name in read]))
    table = parquet.read_row_groups(groups, columns=read, use_threads=False)
    # a missing stamp becomes the smallest int64, on no minute
    ticks = pc.fill_null(table.column("datetime").cast(pa.int64()), _INT64.min).to_numpy()
    on = np.isin(ticks * per_tick, keys) & (ticks != _INT64.min)
    return table.filter(pa.array(on)).select(wanted)


def load_bars(root: str, *, securities: Optional[list] = None, columns: Optional[list] = None,
              storage_options: Optional[dict] = None, around: Optional[pd.DataFrame] = None,
              pre: int = -5, post: int = 10) -> pd.DataFrame:
    """The dataset as one frame: ``security`` first and as text, then the files'
    columns; or only the columns listed in ``columns``.

    Parameters
    ----------
    root : str
        The dataset's root folder, local or remote (``"s3://bucket/bars"``).
    securities : list, optional
        Only the bars of these securities; all by default.
    columns : list, optional
        Only these columns (list ``security`` to get it); all by default.
    storage_options : dict, optional
        Passed to the file system (s3fs for S3).

    around : pandas.DataFrame, optional
        A release calendar (``EVENT_NAME``, ``event_datetime``): only the
        bars on the minutes of its windows are read and returned, from the
        row groups whose time range holds one of them
        (``read_file_windows``). ``filter_bars_around_events(bars, around,
        pre, post)`` then gives what it gives on the whole dataset.
    pre, post : int, default -5, 10
        With ``around``: the first and last minute offsets of the windows.

    Returns
    -------
    pandas.DataFrame
        The bars, security by security in sorted order.

    Examples
    --------
    >>> import tempfile
    >>> import pandas as pd
    >>> from orvane_data import bar_store
    >>> root = tempfile.mkdtemp()
    >>> bars = pd.DataFrame({"security": ["FIGI_B", "FIGI_A", "FIGI_B"], "close": [50.0, 100.0, 51.0]})
    >>> paths = bar_store.write_bars(bars, root)
    >>> bar_store.load_bars(root)
      security  close
    0   FIGI_A  100.0
    1   FIGI_B   50.0
    2   FIGI_B   51.0
    >>> bar_store.load_bars(root, securities=["FIGI_B"], columns=["close"])
       close
    0   50.0
    1   51.0

    Only the bars a study's windows meet:

    >>> minutes = pd.date_range("2024-06-07 12:00", periods=60, freq="min", tz="UTC")
    >>> paths = bar_store.write_bars(pd.DataFrame({"security": "FIGI_C", "datetime": minutes,
    ...                                            "close": range(60)}), root)
    >>> releases = pd.DataFrame({"EVENT_NAME": ["NFP"], "event_datetime": [minutes[30]]})
    >>> bar_store.load_bars(root, securities=["FIGI_C"], around=releases, pre=-1, post=1)
      security                  datetime  close
    0   FIGI_C 2024-06-07 12:29:00+00:00     29
    1   FIGI_C 2024-06-07 12:30:00+00:00     30
    2   FIGI_C 2024-06-07 12:31:00+00:00     31
    """
    if around is not None:
        return _load_windows(root, securities, columns, storage_options, around, pre, post)
    filters = [("security", "in", list(securities))] if securities is not None else None
    frame = pd.read_parquet(root, columns=columns, filters=filters, storage_options=storage_options)
    if "security" in frame.columns:
        security = frame.pop("security").astype("str")
        frame.insert(0, "security", security)
    return frame


def _security_files(root: str, securities: Optional[list] = None,
                   storage_options: Optional[dict] = None) -> tuple:
    """The dataset's file system and its ``(security, path)`` pairs, sorted
    by security (and path), only ``securities`` when given."""
    fs, path = _filesystem(root, storage_options)
    found = []
    for name in fs.glob(posixpath.join(path, "security=*", "*.parquet")):
        folder = posixpath.basename(posixpath.dirname(name))
        found.append((folder.split("=", 1)[1], name))
    if securities is not None:
        wanted = set(securities)
        found = [pair for pair in found if pair[0] in wanted]
    return fs, sorted(found)


def _with_security(table: pa.Table, security: str, columns: Optional[list]) -> pd.DataFrame:
    """One file's rows as a frame with ``security`` first, as text, as the
    whole reads give it (their hive column's text); without it when
    ``columns`` leaves it out."""
    frame = table.to_pandas()
    if columns is None or "security" in columns:
        codes = np.zeros(len(frame), dtype=np.int8)
        text = pd.Series(pd.Categorical.from_codes(codes, categories=[security]), index=frame.index)
        frame.insert(0, "security", text.astype("str"))
    return frame


def _load_windows(root, securities, columns, storage_options, around, pre, post) -> pd.DataFrame:
    minutes = window_minutes(around, pre, post)
    fs, files = _security_files(root, securities, storage_options)
    if not files:
        raise FileNotFoundError(f"no bar files under {root!r}" + (" for those securities" if securities else ""))
    read = None if columns is None else [name for name in columns if name != "security"]
    frames = [_with_security(read_file_windows(fs, path, minutes, read), security, columns)
              for security, path in files]
    return pd.concat(frames, ignore_index=True) if len(frames) > 1 else frames[0]
