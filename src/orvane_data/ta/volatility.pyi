"""Volatility indicators: Bollinger bands and the average true range."""

from typing import Optional

from pandas import DataFrame as DataFrame
from pandas import Series as Series

from .utils import verify_series as verify_series

def bbands(close: Series, length: int = 20, std: float = 2.0, ddof: int = 0) -> Optional[DataFrame]: ...
def atr(high: Series, low: Series, close: Series, length: int = 14) -> Optional[Series]: ...
