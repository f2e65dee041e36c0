"""Prints pip constraints pinning pandas, numpy and pyarrow to the oldest
release line pyproject.toml claims (``>=2.2`` becomes ``==2.2.*``: the
first release line, with its fixes; exclusions beside the floor, such as
``!=3.0.*``, do not move it)."""

import re
import sys
import tomllib
from pathlib import Path

PINNED = ("pandas", "numpy", "pyarrow")

project = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())["project"]
floors = {}
for requirement in project["dependencies"]:
    match = re.fullmatch(r"(pandas|numpy|pyarrow)\s*>=\s*([0-9.]+)(\s*,\s*!=\s*[0-9.*]+)*", requirement)
    if match:
        floors[match[1]] = match[2]
if set(floors) != set(PINNED):
    sys.exit(f"pyproject.toml states no plain floor for {sorted(set(PINNED) - set(floors))}")
for name in PINNED:
    print(f"{name}=={floors[name]}.*")
