"""Listing and reading S3 objects."""

import io as io
from typing import List as List

import pandas as pd

def list_s3_objects(folder_path: str, bucket: str, prefix: str = "") -> List[str]: ...
def read_from_s3(
    file_path: str,
    data_format: str,
    bucket: str,
    prefix: str = "",
    by_chunks: bool = False,
    chunksize: int = 100000,
) -> pd.DataFrame: ...
