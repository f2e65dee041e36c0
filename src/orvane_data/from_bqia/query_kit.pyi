"""Query-service utilities: date ranges, offset time zones, event-time rounding,
identifier/FIGI mapping and economic-calendar retrieval."""

import datetime as dt
import os as os
import re as re
import warnings as warnings
from typing import Any, Optional, TypeVar

import pandas as pd
import pytz as pytz  # type: ignore[import-untyped]

SHOW_WARNINGS: bool
# `bql` (the query-service library) and `bq` (the module's own service
# object) exist only when the library imports and the service starts, so
# they are not declared here.

_T = TypeVar("_T")

def _split_date_range(bq: Any, start: Any, end: Any) -> list[int]: ...
def _invert_sign(sign: Any) -> Optional[str]: ...
def convert_tz(custom_timezone: str) -> dt.tzinfo: ...
def round_event_datetime(datetime_obj: _T, round_down: Any = True) -> _T: ...
def _on_request_error(*args: Any) -> None: ...
def get_id_to_figi_mapping(
    universe: Any,
    figi_col_name: str = "figi",
    id_col_name: str = "parsekey",
    tickers_to_add_pcs: Any = None,
) -> pd.DataFrame: ...
def get_figi_to_id_mapping(
    universe: Any,
    figi_col_name: str = "figi",
    id_col_name: str = "short_name",
    id_data_item: str = "name",
) -> pd.DataFrame: ...
def get_eco_calendar_data(
    bq: Any,
    universe: Any,
    start: str,
    end: str,
    tickers: Optional[list[str]] = None,
    subtype: str = "all",
    relevancy: str = "medium",
    view: str = "extended",
    event_timezone: Optional[str] = None,
    verbose: Any = False,
) -> pd.DataFrame: ...
