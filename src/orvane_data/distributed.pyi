"""Event studies over a whole universe of instruments, run on a Dask cluster."""

from typing import Any, Optional

import dask.dataframe as dd
import pandas as pd

def read_bars(
    path: str, securities: Optional[list] = None, columns: Optional[list] = None, storage_options: Optional[dict] = None
) -> "dd.DataFrame": ...
def event_windows(
    bars: "dd.DataFrame",
    calendar: pd.DataFrame,
    pre_event_window: int = -5,
    post_event_window: int = 10,
    *,
    price: str = "close",
    indicator: Any = None,
) -> "dd.DataFrame": ...
def collect_moves(
    dataset: Any,
    calendar: pd.DataFrame,
    pre_event_window: int = -5,
    post_event_window: int = 10,
    *,
    price: str = "close",
    indicator: Any = None,
    securities: Optional[list] = None,
    columns: Optional[list] = None,
    storage_options: Optional[dict] = None,
    scheduler: Any = None,
) -> pd.DataFrame: ...
def event_summary(
    dataset: Any,
    calendar: pd.DataFrame,
    pre_event_window: int = -5,
    post_event_window: int = 10,
    *,
    price: str = "close",
    indicator: Any = None,
    by: list = ["EVENT_NAME", "key"],
    securities: Optional[list] = None,
    storage_options: Optional[dict] = None,
    scheduler: Any = None,
) -> pd.DataFrame: ...
def _security_first(part: pd.DataFrame) -> pd.DataFrame: ...
def _partition_moves(
    part: pd.DataFrame,
    calendar: pd.DataFrame,
    pre_event_window: Any,
    post_event_window: Any,
    price: str,
    indicators: tuple,
    keep: Any = None,
) -> pd.DataFrame: ...
