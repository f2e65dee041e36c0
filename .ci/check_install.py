"""What a new user gets from the package alone, in a fresh virtual environment.

Run by the test environment's Python (it has the local S3 server); the
environment under test is another interpreter, given as the first argument,
into which the wheel, the second argument, has been installed with its
runtime dependencies only. Fails when the wheel's platform tag is not one a
package index accepts (manylinux), when a dependency resolved below the floor
the project states, or when the S3 stack came with the plain install. With a
third argument ``s3`` (the wheel then installed with its s3 extra) it checks
the extra instead: its floors, and that an ``s3://`` read works there.
Without the extra, the S3 datasets still import and a call that needs boto3
fails with the NameError that names the extra.
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

# the floors checked: of the plain install, and of the s3 extra
CHECKED = {None: ("pandas", "numpy", "pyarrow"), "s3": ("boto3", "s3fs", "fsspec")}
# what only the s3 extra brings
S3_STACK = ("boto3", "botocore", "s3fs", "aiobotocore")


def stated_floors(extra: str | None) -> dict[str, tuple[int, ...]]:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    requirements = project["optional-dependencies"][extra] if extra else project["dependencies"]
    floors = {}
    for requirement in requirements:
        match = re.match(r"([A-Za-z0-9_.-]+)\s*>=\s*([0-9.]+)", requirement)
        if match and match[1] in CHECKED[extra]:
            floors[match[1]] = tuple(int(part) for part in match[2].split("."))
    missing = set(CHECKED[extra]) - floors.keys()
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


def installed(python: str, names) -> dict[str, str]:
    """The installed versions of those of `names` that are installed."""
    code = ("import importlib.metadata as m\n"
            f"for name in {tuple(names)!r}:\n"
            "    try: print(name + '=' + m.version(name))\n"
            "    except m.PackageNotFoundError: pass")
    return dict(line.split("=", 1) for line in run(python, code).split())


def check_floors(python: str, extra: str | None) -> None:
    resolved = installed(python, CHECKED[extra])
    print("resolved:", ", ".join(f"{name} {version}" for name, version in resolved.items()))
    for name, floor in stated_floors(extra).items():
        if name not in resolved:
            sys.exit(f"{name} is not installed")
        version = tuple(int(part) for part in re.findall(r"\d+", resolved[name])[: len(floor)])
        if version < floor:
            sys.exit(f"{name} resolved to {resolved[name]}, below the stated floor {'.'.join(map(str, floor))}")


def check_without_s3(python: str) -> None:
    brought = installed(python, S3_STACK)
    if brought:
        sys.exit(f"the plain install brought the S3 stack: {brought}")
    # the datasets import; a call that reaches boto3 names the extra
    got = run(python, "from orvane_data.from_s3 import s3_io\n"
              "try:\n    s3_io.list_s3_objects('f', 'b')\n"
              "except NameError as error:\n    print(*error.__notes__)")
    if "orvane_data[s3]" not in got:
        sys.exit(f"without boto3, a listing does not name the s3 extra: {got!r}")
    print("no S3 stack; a call that needs it names orvane_data[s3]")


def check_s3_read(python: str) -> None:
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


def main() -> None:
    python, wheel = sys.argv[1], Path(sys.argv[2])
    extra = sys.argv[3] if len(sys.argv) > 3 else None
    if extra is None:
        check_wheel_tag(wheel)
        check_floors(python, None)
        check_without_s3(python)
    elif extra == "s3":
        check_floors(python, "s3")
        check_s3_read(python)
    else:
        sys.exit(f"no check for the extra {extra!r}")


if __name__ == "__main__":
    main()
