"""Intraday bars of the intraday analytics service and event windows around them."""

import os as os
import warnings as warnings
from datetime import timedelta as timedelta
from typing import Any, Optional

import pandas as pd
from pandas.tseries.offsets import DateOffset as DateOffset

from orvane_data.from_bqia.query_kit import get_figi_to_id_mapping as get_figi_to_id_mapping
from orvane_data.from_bqia.query_kit import round_event_datetime as round_event_datetime

SHOW_WARNINGS: bool
PACKAGES: list[str]
# `bqia` (the intraday service library), `bql` (the query-service library)
# and `bq` (the module's service object) exist only when the libraries
# import and the service starts, so they are not declared here.

def get_roll_config(dict_fut: dict) -> Any: ...
def set_intraday_config(
    id_mapping: Optional[pd.DataFrame] = None,
    roll_config: Any = None,
    packages: Optional[list[str]] = ["equity", "macro", "fixed-income"],
) -> None: ...
def get_id_mapping(dict_sec_pcs: dict) -> pd.DataFrame: ...
def get_intraday_bars(
    dict_sec_pcs: Optional[dict] = {"spx": ("spx index", "")},
    dict_fut: Optional[dict] = None,
    start: str = "2024-06-01",
    end: str = "2024-07-01",
    security_id_type: str = "custom",
    downsample_freq: Any = None,
    tz: Optional[str] = None,
    packages: Optional[list[str]] = ["equity", "macro", "fixed-income"],
    add_description: Any = True,
) -> pd.DataFrame: ...
def get_event_metadata(
    df_calendar: pd.DataFrame, pre_event_window: int = -5, post_event_window: int = 10
) -> pd.DataFrame: ...
def filter_bars_around_events(
    df_bars: pd.DataFrame,
    df_calendar: pd.DataFrame,
    pre_event_window: int = -5,
    post_event_window: int = 10,
) -> pd.DataFrame: ...
