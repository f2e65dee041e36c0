"""Strategy system for running multiple indicators in batch."""

from dataclasses import dataclass as dataclass
from dataclasses import field as field
from typing import List as List
from typing import Optional as Optional

import pandas as pd

@dataclass
class Strategy:
    name: str = "Custom"
    ta: Optional[List[dict]] = None
    description: str = ""

AllStrategy: Strategy
CommonStrategy: Strategy
