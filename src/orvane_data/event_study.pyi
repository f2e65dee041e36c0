"""Moves of prices around economic releases, window by window, and their summary."""

import pandas as pd

def event_moves(
    windows: pd.DataFrame, price: str = "close", by: list = ["EVENT_NAME", "event_datetime", "key"]
) -> pd.DataFrame: ...
def summarize_moves(moves: pd.DataFrame, by: list = ["EVENT_NAME", "key"]) -> pd.DataFrame: ...
