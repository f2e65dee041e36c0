"""The study's files: tables as CSV, Parquet or one workbook, and the rule
that replaces an earlier run's files: only those whose recorded digest
still matches."""

from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path
from typing import Optional

from orvane_data._study_options import (
    CSV_CHUNK_ROWS,
    EXCEL_ROWS,
)


def slug(text: str) -> str:
    return "".join(ch if ch.isalnum() else "_" for ch in str(text)).strip("_").lower() or "event"


def _storable(frame):
    if "event_timezone" in frame.columns:  # zone objects: stored by name
        frame = frame.assign(event_timezone=frame["event_timezone"].astype(str))
    return frame


def _write_table(frame, path: Path, fmt: str, steps) -> Path:
    path = path.with_suffix("." + fmt)
    if fmt == "parquet":
        import pyarrow.parquet as pq

        from orvane_data.bar_store import arrow_table

        pq.write_table(arrow_table(frame), path)
        return path
    # written in chunks so that a long write shows its progress
    with steps.bar(len(frame), "rows") as bar, open(path, "w", newline="") as handle:
        for first in range(0, max(len(frame), 1), CSV_CHUNK_ROWS):
            chunk = frame.iloc[first:first + CSV_CHUNK_ROWS]
            chunk.to_csv(handle, index=False, header=first == 0)
            bar.update(len(chunk))
    return path


def _openpyxl():
    try:
        import openpyxl
    except ImportError:
        raise ImportError("writing a workbook needs openpyxl: pip install 'orvane_data[xlsx]'") from None
    return openpyxl


def _write_workbook(tables: dict, path: Path) -> Path:
    """One workbook, a sheet per table. Excel keeps no zone in a date-time:
    zoned stamps are written as their text, offset included."""
    import pandas as pd

    _openpyxl()
    for name, frame in tables.items():
        if len(frame) + 1 > EXCEL_ROWS:
            raise ValueError(f"the table {name} has {len(frame)} rows, more than a sheet holds "
                             f"({EXCEL_ROWS - 1}): write csv or parquet")
    with pd.ExcelWriter(path, engine="openpyxl") as book:
        for name, frame in tables.items():
            zoned = {c: frame[c].astype(str) for c in frame.columns if isinstance(frame[c].dtype, pd.DatetimeTZDtype)}
            frame.assign(**zoned).to_excel(book, sheet_name=name, index=False)
    return path


# --- replacing an earlier run's files ------------------------------------------------------


def _fingerprint(path: Path) -> dict:
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return {"size": path.stat().st_size, "sha256": digest.hexdigest(), "written_by": "orvane_data"}


def _earlier_record(out: Path) -> tuple[list[str], dict]:
    """The names an earlier run listed in its run.json in `out`, and the
    fingerprints it recorded of the files it wrote."""
    try:
        record = json.loads((out / "run.json").read_text())
    except (OSError, ValueError):
        return [], {}
    if not isinstance(record, dict):
        return [], {}
    names = record.get("files")
    names = [n for n in names if isinstance(n, str)] if isinstance(names, list) else []
    written = record.get("files_written")
    written = {k: v for k, v in written.items() if isinstance(v, dict)} if isinstance(written, dict) else {}
    return names, written


def _plain_name(name: str) -> bool:
    return name not in ("", ".", "..") and Path(name).name == name and "/" not in name and "\\" not in name


def _removable(out: Path, name: str, written: dict) -> Optional[str]:
    """None when `name` is a file of `out` the earlier run wrote and nobody
    changed since, else why it stays."""
    if not _plain_name(name):
        return "outside the folder"
    path = out / name
    if path.is_symlink():
        return "a link"
    if not path.is_file():
        return "not a file"
    seal = written.get(name)
    if not seal or "sha256" not in seal:
        return "not written by orvane_data"
    try:
        now = _fingerprint(path)
    except OSError:
        return "unreadable"
    if now["size"] != seal.get("size") or now["sha256"] != seal["sha256"]:
        return "changed since"
    return None


def _free_name(path: Path) -> Path:
    for n in range(1, 1000):
        mark = ".kept" if n == 1 else f".kept-{n}"
        candidate = path.with_name(f"{path.stem}{mark}{path.suffix}")
        if not os.path.lexists(candidate):
            return candidate
    raise FileExistsError(f"no free name to keep {path} under")


def removable_outputs(out: Path) -> list[Path]:
    """The files of `out` that a new run removes: those its run.json says an
    earlier run wrote, each still as that run recorded it."""
    names, written = _earlier_record(Path(out))
    return [Path(out, name) for name in dict.fromkeys(names + list(written))
            if name != "run.json" and _removable(Path(out), name, written) is None]


def replace_outputs(out: Path, files: list[Path]) -> tuple[list[Path], Optional[str]]:
    """Moves a run's files into `out` after removing the files an earlier run
    wrote there and nobody changed since. What stays is named in one line
    (None when nothing stays); a file that stays in the way of a new one is
    renamed ``<name>.kept<suffix>``."""
    names, written = _earlier_record(out)
    kept: dict[str, str] = {}
    # run.json itself is replaced by the new one
    for name in dict.fromkeys(names + list(written)):
        if name == "run.json":
            continue
        why = _removable(out, name, written)
        if why is None:
            (out / name).unlink()
        elif why != "not a file" and os.path.lexists(Path(out, name)):
            kept[name] = why
    final = []
    for path in files:
        target = out / path.name
        if path.name != "run.json" and os.path.lexists(target):
            aside = _free_name(target)
            os.replace(target, aside)
            kept[path.name] = f"{kept.get(path.name, 'not written by orvane_data')}; now {aside.name}"
        os.replace(path, target)
        final.append(target)
    if not kept:
        return final, None
    return final, f"kept in {out}: " + ", ".join(f"{name} ({why})" for name, why in kept.items())
