"""Supply-chain and economist-estimates datasets stored in S3."""

import bisect as bisect
import os as os
import warnings as warnings
from abc import ABC as ABC
from abc import abstractmethod as abstractmethod
from datetime import datetime as datetime
from datetime import timedelta as timedelta
from typing import Any, ClassVar
from typing import List as List
from typing import Optional as Optional

import pandas as pd

from orvane_data.from_s3.s3_io import list_s3_objects as list_s3_objects
from orvane_data.from_s3.s3_io import read_from_s3 as read_from_s3

SHOW_WARNINGS: bool
bql_Service: Optional[type]
# `bq`, the module's own query-service object, exists only when the
# query-service library is installed, so it is not declared here.

def get_next_friday(date_string: str) -> str: ...
def find_closest_earlier_date(target_date_str: str, date_list: list) -> Optional[str]: ...
def ticker_to_figi(tickers, bq) -> dict: ...
def figi_to_ticker(figis, bq) -> dict: ...

class S3Data(ABC):
    data: pd.DataFrame
    @abstractmethod
    def _load_snapshot(self) -> None: ...
    @abstractmethod
    def get_data(self, as_of_date: str) -> pd.DataFrame: ...

class SPLC(S3Data):
    bucket: ClassVar[str]
    folder_path: ClassVar[str]
    dataset_names: ClassVar[dict[str, str]]
    dataset: str
    dataset_name: str
    bq: Any
    def __init__(self, as_of_date: Optional[str] = None, dataset: str = "supplier", bq: Any = None) -> None: ...
    def file_path_func(self, dataset_name, file_date) -> str: ...
    def get_distinct(self) -> List[str]: ...
    def _load_snapshot(self, as_of_date: Optional[str] = None) -> None: ...
    def get_data(  # type: ignore[override]
        self, tickers: list, start: Optional[str], end: Optional[str]
    ) -> pd.DataFrame: ...

class ECOEST(S3Data):
    bucket: ClassVar[str]
    file_path: ClassVar[str]
    def __init__(self, as_of_date: Optional[str] = None) -> None: ...
    def get_distinct(self, column: str, bucket: str, key: str) -> list: ...
    def _load_snapshot(self, as_of_date: Optional[str] = None) -> None: ...
    def get_data(  # type: ignore[override]
        self, tickers: list, start: Optional[str] = None, end: Optional[str] = None
    ) -> pd.DataFrame: ...
