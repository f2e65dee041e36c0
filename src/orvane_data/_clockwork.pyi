"""Frequency vocabulary, exchange time zones, frame metadata and the index
time-zone contract of the package."""

from typing import Any as Any
from typing import Dict as Dict
from typing import Optional as Optional
from typing import Union as Union

import pandas as pd

DAILY_FREQ: str
YF_INTERVAL_MAP: Dict[str, str]
YAHOO_1M_MAX_DAYS: int
YAHOO_1M_LOOKBACK_DAYS: int

def is_intraday_freq(freq: Optional[str]) -> bool: ...
def index_time_level(freq: Optional[str]) -> str: ...
def yf_interval_for_freq(freq: str) -> str: ...
def validate_yahoo_1m_range(
    start: str, end: str, *, now: Optional[pd.Timestamp] = None
) -> None: ...
def infer_exchange_tz(ticker: str) -> Optional[str]: ...
def resolve_ticker_exchange_tz(ticker: str, timestamps: pd.DatetimeIndex) -> Optional[str]: ...
def lookup_ticker_exchange_tz(
    ticker: str,
    exchange_tz: Optional[Union[str, Dict[str, str]]] = None,
    timestamps: Optional[pd.DatetimeIndex] = None,
) -> Optional[str]: ...
def summarize_exchange_tz_meta(
    exchange_tz_by_ticker: dict,
) -> Optional[Union[str, Dict[str, str]]]: ...
def make_orvane_meta(
    freq: str,
    *,
    index_semantics: str,
    output_tz: Optional[str] = None,
    exchange_tz: Optional[Union[str, Dict[str, str]]] = None,
    frame_schema: Optional[str] = None,
) -> Dict[str, Any]: ...
def attach_orvane_meta(df: pd.DataFrame, **kwargs: Any) -> pd.DataFrame: ...
def normalize_daily_index(df: pd.DataFrame, date_level: str = "DATE") -> pd.DataFrame: ...
def process_intraday_timestamps(
    timestamps: pd.DatetimeIndex,
    *,
    exchange_tz: Optional[str] = None,
    output_tz: Optional[str] = None,
) -> pd.DatetimeIndex: ...
def convert_intraday_time_values(
    values: Any, *, exchange_tz: Optional[str] = None, output_tz: Optional[str] = None
) -> Any: ...
def apply_intraday_index_level(
    df: pd.DataFrame,
    level_name: str,
    *,
    exchange_tz: Optional[str] = None,
    output_tz: Optional[str] = None,
) -> pd.DataFrame: ...
