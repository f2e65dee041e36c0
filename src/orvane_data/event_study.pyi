"""Moves of prices around economic releases, window by window, and their summary."""

from typing import Any, Optional, SupportsIndex

import pandas as pd

def event_moves(
    windows: pd.DataFrame,
    price: str = "close",
    by: list = ["EVENT_NAME", "event_datetime", "key"],
    base_minute: SupportsIndex = -1,
) -> pd.DataFrame: ...
def summarize_moves(moves: pd.DataFrame, by: list = ["EVENT_NAME", "key"], confidence: float = 0.95) -> pd.DataFrame: ...
def surprise_response(moves: pd.DataFrame, by: list = ["EVENT_NAME", "key"], confidence: float = 0.95) -> pd.DataFrame: ...
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
) -> Any: ...
