"""Minute bars kept as a Parquet dataset partitioned by security.

The intraday service answers one request at a time; an event study over
thousands of instruments and years of minute bars reads them from a dataset
instead (``orvane_data.distributed``). This module writes such datasets, to a
local folder or to S3 (``s3://bucket/prefix``, through s3fs), and reads them
back whole for single-process work.

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
``load_bars(root, *, securities=None, columns=None, storage_options=None)``
    The whole dataset (or some securities, some columns) as one pandas frame,
    ``security`` (when read) first and as text.
"""

from __future__ import annotations

import datetime as _dt
import posixpath
import re
import uuid
from typing import Iterable, Optional

import fsspec
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

__all__ = [
    "ROW_GROUP_SIZE",
    "FILE_NAME",
    "write_bars",
    "SecurityWriter",
    "write_simulated_bars",
    "load_bars",
]

ROW_GROUP_SIZE = 262_144
FILE_NAME = "part-0.parquet"

# Folder names carry the value verbatim: keep to what every file system and
# every hive reader takes without escaping (FIGIs, "FIGI.PCS", roll names).
_SAFE_SECURITY = re.compile(r"[A-Za-z0-9][A-Za-z0-9._\-]*")


def _filesystem(root: str, storage_options: Optional[dict]):
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
        table = arrow_table(bars)
        if self._writer is None:
            self._schema = table.schema
            self.fs.makedirs(self.folder, exist_ok=True)
            self._file = self.fs.open(self._partial, "wb")
            self._writer = pq.ParquetWriter(self._file, self._schema)
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


def load_bars(root: str, *, securities: Optional[list] = None, columns: Optional[list] = None,
              storage_options: Optional[dict] = None) -> pd.DataFrame:
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
    """
    filters = [("security", "in", list(securities))] if securities is not None else None
    frame = pd.read_parquet(root, columns=columns, filters=filters, storage_options=storage_options)
    if "security" in frame.columns:
        security = frame.pop("security").astype("str")
        frame.insert(0, "security", security)
    return frame
