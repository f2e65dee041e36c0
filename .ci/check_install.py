"""What a new user gets from the package alone, in a fresh virtual environment.

Run by the test environment's Python (it has the local S3 server); the
environment under test is another interpreter, given as the first argument,
into which the wheel, the second argument, has been installed with its
runtime dependencies only. Fails when the wheel's platform tag is not one a
package index accepts (manylinux), when a dependency resolved below the floor
the project states, or when an ``s3://`` read does not work there.
"""

import os
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import boto3
from packaging.utils import parse_wheel_filename

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from s3_server import S3Server  # noqa: E402

CHECKED = ("pandas", "numpy", "pyarrow", "boto3", "s3fs", "fsspec")


def stated_floors() -> dict[str, tuple[int, ...]]:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    floors = {}
    for requirement in project["dependencies"]:
        match = re.match(r"([A-Za-z0-9_.-]+)\s*>=\s*([0-9.]+)", requirement)
        if match and match[1] in CHECKED:
            floors[match[1]] = tuple(int(part) for part in match[2].split("."))
    missing = set(CHECKED) - floors.keys()
    if missing:
        sys.exit(f"pyproject.toml states no floor for {sorted(missing)}")
    return floors


def check_wheel_tag(wheel: Path) -> None:
    # a plain build is tagged linux_x86_64, which package indexes refuse
    platforms = {tag.platform for tag in parse_wheel_filename(wheel.name)[3]}
    if not all(platform.startswith("manylinux") for platform in platforms):
        sys.exit(f"{wheel.name} is tagged {sorted(platforms)}, not manylinux")
    print("wheel tag:", ", ".join(sorted(platforms)))


def run(python: str, code: str, env: dict | None = None) -> str:
    return subprocess.run([python, "-c", code], check=True, capture_output=True, text=True, env=env).stdout


def main() -> None:
    python, wheel = sys.argv[1], Path(sys.argv[2])
    check_wheel_tag(wheel)
    resolved = dict(
        line.split("=", 1)
        for line in run(python, "import importlib.metadata as m\n"
                        f"for name in {CHECKED!r}: print(name + '=' + m.version(name))").split()
    )
    print("resolved:", ", ".join(f"{name} {version}" for name, version in resolved.items()))
    for name, floor in stated_floors().items():
        version = tuple(int(part) for part in re.findall(r"\d+", resolved[name])[: len(floor)])
        if version < floor:
            sys.exit(f"{name} resolved to {resolved[name]}, below the stated floor {'.'.join(map(str, floor))}")

    with S3Server() as server:
        env = {**os.environ, **server.env}
        os.environ.update(server.env)
        s3 = boto3.client("s3")
        s3.create_bucket(Bucket="install-check")
        s3.put_object(Bucket="install-check", Key="prices.csv", Body=b"ticker,close\nSX5E,4321.5\n")
        read = run(python, "import pandas as pd\n"
                   "print(pd.read_csv('s3://install-check/prices.csv').close.iloc[0])", env)
        if read.strip() != "4321.5":
            sys.exit(f"reading s3://install-check/prices.csv gave {read!r}")
        print("s3:// read through s3fs: ok")


if __name__ == "__main__":
    main()
