"""Overlap indicators: moving averages and related."""

from typing import Any
from typing import Optional as Optional

import numpy as np
from numpy import arange as npArange
from numpy import dot as npDot
from pandas import Series as Series

from .utils import _apply_offset as _apply_offset
from .utils import _handle_fills as _handle_fills
from .utils import get_offset as get_offset
from .utils import verify_series as verify_series

def sma(close: Series, length: Optional[int] = None, offset: Optional[int] = None, **kwargs: Any) -> Optional[Series]: ...
def ema(close: Series, length: Optional[int] = None, offset: Optional[int] = None, **kwargs: Any) -> Optional[Series]: ...
def rma(close: Series, length: Optional[int] = None, offset: Optional[int] = None, **kwargs: Any) -> Optional[Series]: ...
def wma(
    close: Series, length: Optional[int] = None, asc: bool = True, offset: Optional[int] = None, **kwargs: Any
) -> Optional[Series]: ...
def dema(close: Series, length: Optional[int] = None, offset: Optional[int] = None, **kwargs: Any) -> Optional[Series]: ...
def tema(close: Series, length: Optional[int] = None, offset: Optional[int] = None, **kwargs: Any) -> Optional[Series]: ...
def hma(close: Series, length: Optional[int] = None, offset: Optional[int] = None, **kwargs: Any) -> Optional[Series]: ...
def vwap(
    high: Series,
    low: Series,
    close: Series,
    volume: Series,
    anchor: Optional[str] = None,
    offset: Optional[int] = None,
    **kwargs: Any,
) -> Optional[Series]: ...
def hlc3(high: Series, low: Series, close: Series, offset: Optional[int] = None, **kwargs: Any) -> Optional[Series]: ...
def ma(mode: str, source: Series, **kwargs: Any) -> Optional[Series]: ...
