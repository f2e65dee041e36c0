"""Prints pip constraints pinning pandas, numpy and pyarrow to the oldest
release line pyproject.toml claims (``>=3.0`` becomes ``==3.0.*``: the
first release line, with its fixes)."""

import re
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())["project"]
for requirement in project["dependencies"]:
    match = re.fullmatch(r"(pandas|numpy|pyarrow)\s*>=\s*([0-9.]+)", requirement)
    if match:
        print(f"{match[1]}=={match[2]}.*")
