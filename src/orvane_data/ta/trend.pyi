"""Trend indicators: the average directional index."""

from typing import Optional

from pandas import DataFrame as DataFrame
from pandas import Series as Series

from .utils import verify_series as verify_series

def adx(high: Series, low: Series, close: Series, length: int = 14) -> Optional[DataFrame]: ...
