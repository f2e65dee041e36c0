"""Volume indicators: on-balance volume."""

from typing import Optional

from pandas import DataFrame as DataFrame
from pandas import Series as Series

from .utils import verify_series as verify_series

def obv(close: Series, volume: Series) -> Optional[Series]: ...
