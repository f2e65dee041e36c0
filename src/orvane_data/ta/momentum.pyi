"""Momentum indicators: relative strength, MACD and the stochastic oscillator."""

from typing import Optional

from pandas import DataFrame as DataFrame
from pandas import Series as Series

from .utils import verify_series as verify_series

def rsi(close: Series, length: int = 14) -> Optional[Series]: ...
def macd(close: Series, fast: int = 12, slow: int = 26, signal: int = 9) -> Optional[DataFrame]: ...
def stoch(
    high: Series, low: Series, close: Series, k: int = 14, d: int = 3, smooth_k: int = 3
) -> Optional[DataFrame]: ...
