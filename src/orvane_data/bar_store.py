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


class SecurityWriter:
    """One security's bars streamed into its single file of the dataset.

    The file is written under a hidden temporary name and moved into place by
    :meth:`close`, replacing what the security held before; a writer that
    fails or is abandoned leaves the previous file as it was.
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
        """Appends a chunk of this security's bars (its ``security`` column, if any, is checked and dropped)."""
        if "security" in bars.columns:
            others = bars["security"][bars["security"] != self.security]
            if len(others):
                raise ValueError(f"bars of {others.iloc[0]!r} given to the writer of {self.security!r}")
            bars = bars.drop(columns="security")
        table = pa.Table.from_pandas(bars, preserve_index=False)
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
        """Finishes the file and puts it in place; returns its path (None when nothing was written)."""
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
        """Drops what was written; the security's previous file stays."""
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
    """Writes a bar frame as the dataset's files, one per distinct ``security``."""
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
    their bar frame with :func:`write_bars` instead.
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
    columns; or only the columns listed in ``columns``."""
    filters = [("security", "in", list(securities))] if securities is not None else None
    frame = pd.read_parquet(root, columns=columns, filters=filters, storage_options=storage_options)
    if "security" in frame.columns:
        security = frame.pop("security").astype("str")
        frame.insert(0, "security", security)
    return frame
