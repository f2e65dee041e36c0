"""Moves of prices around economic releases, window by window, and their summary."""

import os
from pathlib import Path
from typing import Any, Mapping, Optional, Sequence, SupportsIndex, Union

import pandas as pd

def event_moves(
    windows: pd.DataFrame,
    price: str = "close",
    by: list = ["EVENT_NAME", "event_datetime", "key"],
    base_minute: SupportsIndex = -1,
) -> pd.DataFrame: ...
def summarize_moves(
    moves: pd.DataFrame, by: list = ["EVENT_NAME", "key"], confidence: float = 0.95, cluster: str = "auto"
) -> pd.DataFrame: ...
def surprise_response(
    moves: pd.DataFrame,
    by: list = ["EVENT_NAME", "key"],
    confidence: float = 0.95,
    cluster: str = "auto",
    joint: bool = False,
    asymmetric: bool = False,
) -> pd.DataFrame: ...
def concurrent_releases(calendar: pd.DataFrame, pre: int = -5, post: int = 10) -> pd.DataFrame: ...
def control_events(calendar: pd.DataFrame, days: int = 20) -> pd.DataFrame: ...
def abnormal_activity(
    moves: pd.DataFrame, control_moves: pd.DataFrame, by: list = ["EVENT_NAME", "key"]
) -> pd.DataFrame: ...
def plot_moves(
    summary: pd.DataFrame,
    event: Optional[str] = None,
    *,
    period: Optional[str] = None,
    base_minute: int = -1,
    min_count: Optional[int] = None,
    quartiles: bool = True,
    response: Optional[pd.DataFrame] = None,
    confidence: float = 0.95,
    activity: Optional[pd.DataFrame] = None,
) -> Any: ...

class StudyError(ValueError):
    def __init__(self, message: str) -> None: ...

def run_study(
    *,
    events: Optional[Sequence[str]] = None,
    universe: Sequence[str] = ("US",),
    securities: Optional[Mapping[str, tuple]] = None,
    futures: Optional[Mapping[str, tuple]] = None,
    dates: Optional[Sequence[str]] = None,
    years: Optional[Sequence[int]] = None,
    pre: int = -5,
    post: int = 10,
    base_minute: int = -1,
    event_tz: str = "America/New_York",
    bar_tz: str = "UTC",
    ema: Optional[int] = None,
    confidence: float = 0.95,
    dask: Optional[str] = None,
    bars_dataset: Optional[str] = None,
    control_days: int = 20,
    concurrent: str = "keep",
    progress: Any = True,
    calendar: Optional[pd.DataFrame] = None,
    bars: Union[pd.DataFrame, str, os.PathLike, None] = None,
) -> EventStudy: ...

class EventStudy:
    TABLES: tuple[tuple[str, str], ...]
    options: Any
    names: list[str]
    calendar: pd.DataFrame
    bars: pd.DataFrame
    windows: pd.DataFrame
    moves: pd.DataFrame
    summary: pd.DataFrame
    response: Optional[pd.DataFrame]
    news: Optional[pd.DataFrame]
    concurrent: Optional[pd.DataFrame]
    activity: Optional[pd.DataFrame]
    dropped: pd.DataFrame
    record: dict[str, Any]
    warnings: list[str]
    def __init__(
        self,
        *,
        options: Any,
        names: Any,
        calendar: Any,
        bars: Any,
        windows: Any,
        moves: Any,
        summary: Any,
        response: Any,
        dropped: Any,
        record: dict,
        warnings: list[str],
        news: Any = None,
        concurrent: Any = None,
        activity: Any = None,
    ) -> None: ...
    def tables(self) -> dict[str, pd.DataFrame]: ...
    @property
    def period(self) -> str: ...
    @property
    def minutes(self) -> list[int]: ...
    @property
    def headline(self) -> pd.DataFrame: ...
    def table_text(self) -> str: ...
    def concurrency_text(self) -> str: ...
    def _repr_html_(self) -> str: ...
    def plot(self, event: Optional[str] = None, *, min_count: Optional[int] = None, quartiles: bool = False) -> Any: ...
    def save(
        self,
        folder: Union[str, os.PathLike[str]],
        format: str = "csv",
        plots: bool = True,
        report: bool = True,
        *,
        min_count: Optional[int] = None,
        quartiles: bool = False,
        progress: Any = None,
    ) -> list[Path]: ...
