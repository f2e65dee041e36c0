"""Command line of orvane_data: python -m orvane_data event-study (or orvane-data event-study).

An event study fetches the economic-calendar releases of some indicators,
the intraday bars of some securities and rolled futures, cuts the bars into
minute windows around each release and summarises, for every event kind and
security, the move in basis points from the close of the last bar before the
release.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import shutil
import sys
import tempfile
import time
import traceback
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

DEFAULT_EVENTS = ["NFP TCH Index", "CPI YOY Index"]
DEFAULT_SECURITIES = ["sx5e=SX5E Index", "usdjpy=JPY Curncy"]
DEFAULT_FUTURES = ["es=ES:Index:5"]
DEFAULT_UNIVERSE = ["US"]
DEFAULT_START, DEFAULT_END = "2022-06-01", "2024-05-31"
DEFAULT_OUT = "event_study_output"
DEFAULT_BASE_MINUTE = -1  # event_moves' own default: the Dask workers measure from it

CSV_CHUNK_ROWS = 50_000
# the minute-by-minute tests and intervals of the summary and the response
CONFIDENCE = 0.95


class UsageError(Exception):
    """Bad input: reported on one line, exit status 2."""


def _security(text: str) -> tuple[str, tuple[str, str]]:
    name, sep, rest = text.partition("=")
    if not sep or not name or not rest:
        raise argparse.ArgumentTypeError(f"expected name=parsekey[:pricing source], got {text!r}")
    parsekey, _, source = rest.partition(":")
    return name, (parsekey, source)


def _future(text: str) -> tuple[str, tuple[str, str, int]]:
    name, sep, rest = text.partition("=")
    parts = rest.split(":")
    if not sep or not name or len(parts) != 3:
        raise argparse.ArgumentTypeError(f"expected name=root:yellow key:offset days, got {text!r}")
    try:
        offset = int(parts[2])
    except ValueError:
        raise argparse.ArgumentTypeError(f"the roll offset of {text!r} is not a whole number of days") from None
    return name, (parts[0], parts[1], offset)


def _date(text: str) -> str:
    try:
        return dt.date.fromisoformat(text).isoformat()
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a date written yyyy-mm-dd, got {text!r}") from None


def _year(text: str) -> int:
    try:
        year = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a calendar year such as 2023, got {text!r}") from None
    if not dt.MINYEAR <= year <= dt.MAXYEAR:
        raise argparse.ArgumentTypeError(f"{year} is not a calendar year")
    return year


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return value


class _HelpFormatter(argparse.HelpFormatter):
    """Shows each default once, as it is typed: none for switches and for
    options whose help tells their default."""

    def _get_help_string(self, action):
        default = action.default
        if default is None or isinstance(default, bool) or default is argparse.SUPPRESS:
            return action.help
        shown = ", ".join(map(str, default)) if isinstance(default, list) else str(default)
        return f"{action.help} (default: {shown.replace('%', '%%')})"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="orvane-data", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    study = commands.add_parser(
        "event-study",
        help="moves of securities around economic releases",
        description="Fetch releases and intraday bars, cut event windows and summarise the moves, in basis "
                    "points from the close of the last bar before each release.",
        formatter_class=_HelpFormatter,
    )
    study.add_argument("--events", nargs="+", default=DEFAULT_EVENTS, metavar="TICKER",
                       help="economic-indicator tickers whose releases are studied")
    study.add_argument("--universe", nargs="+", default=DEFAULT_UNIVERSE, metavar="ID",
                       help="universe of the calendar requests")
    study.add_argument("--security", dest="securities", action="append", type=_security, metavar="NAME=PARSEKEY[:PCS]",
                       help=f"a security to study, repeatable (default: {', '.join(DEFAULT_SECURITIES)})")
    study.add_argument("--future", dest="futures", action="append", type=_future, metavar="NAME=ROOT:YELLOW:DAYS",
                       help=f"a rolled future to study, repeatable (default: {', '.join(DEFAULT_FUTURES)})")
    study.add_argument("--no-futures", action="store_true", help="study no rolled future")
    when = study.add_mutually_exclusive_group()
    when.add_argument("--years", nargs="+", type=_year, metavar="YEAR",
                      help="calendar years to study, exactly those named")
    when.add_argument("--dates", nargs=2, type=_date, metavar=("START", "END"), default=[DEFAULT_START, DEFAULT_END],
                      help="first and last date")
    study.add_argument("--pre", type=int, default=-5, help="first minute of each window, relative to the release")
    study.add_argument("--post", type=int, default=10, help="last minute of each window, relative to the release")
    study.add_argument("--base-minute", type=int, default=DEFAULT_BASE_MINUTE,
                       help="minute whose close the moves are measured from; -1 is the last one-minute bar "
                            "before the release (bars are stamped with the minute they start)")
    study.add_argument("--event-tz", default="America/New_York", help="zone the release times are given in")
    study.add_argument("--bar-tz", default="UTC", help="zone of the bars' time stamps")
    study.add_argument("--ema", type=_positive, metavar="LENGTH",
                       help="also give an EMA of each window's closes (at most the window's length)")
    study.add_argument("--dask", metavar="SCHEDULER",
                       help="cut the windows and compute the moves on Dask workers: a scheduler address "
                            "(tcp://host:8786) or 'local' for a local cluster of two worker processes")
    study.add_argument("--bars-dataset", metavar="PATH",
                       help="with --dask: where the bars are written as a dataset partitioned by security for the "
                            "workers to read (a folder or s3:// location they reach; default: a temporary folder)")
    study.add_argument("--out", default=DEFAULT_OUT, help="folder the outputs are written to")
    study.add_argument("--format", choices=["csv", "parquet"], default="csv", help="format of the tables")
    study.add_argument("--no-plot", action="store_true", help="write the tables only")
    study.add_argument("--quartiles", action="store_true",
                       help="also shade the quartiles of the moves (lighter) around the mean's 95%% interval")
    study.add_argument("--min-count", type=_positive, metavar="N",
                       help="plots leave out of their lines the minutes where fewer than N releases have a move "
                            "(default: half of the event kind's releases)")
    study.add_argument("--quiet", action="store_true", help="print only the first line and the result")
    study.add_argument("--debug", action="store_true",
                       help="on an error, show its full traceback instead of the one-line message")
    return parser


class Progress:
    """Numbered step lines on standard error with the time each took, and
    progress bars for long steps when standard error is a terminal."""

    def __init__(self, total: int, quiet: bool) -> None:
        self.total, self.quiet, self.step, self.started = total, quiet, 0, None
        self.line_open = False

    def __call__(self, text: str) -> None:
        self.done()
        self.step += 1
        self.started = time.perf_counter()
        if not self.quiet:
            print(f"[{self.step}/{self.total}] {text} ...", end="", file=sys.stderr, flush=True)
            self.line_open = True

    def done(self) -> None:
        if self.started is not None and not self.quiet:
            indent = "" if self.line_open else "    done in"
            print(f"{indent} {time.perf_counter() - self.started:.1f}s", file=sys.stderr, flush=True)
        self.started, self.line_open = None, False

    def abort(self) -> None:
        """Ends an open step line so that an error starts on a line of its own."""
        if self.started is not None and not self.quiet and self.line_open:
            print(" failed", file=sys.stderr, flush=True)
        self.started, self.line_open = None, False

    def note(self, text: str) -> None:
        """A line of its own that the user reads even with --quiet."""
        if self.line_open:
            print(file=sys.stderr)
            self.line_open = False
        print(f"note: {text}", file=sys.stderr, flush=True)

    def bar(self, total: int, unit: str):
        """A tqdm bar under the current step, shown only on a terminal and without --quiet."""
        from tqdm import tqdm

        shown = not self.quiet and sys.stderr.isatty()
        if shown and self.line_open:
            print(file=sys.stderr, flush=True)
            self.line_open = False
        return tqdm(total=total, unit=unit, unit_scale=True, leave=False, disable=not shown, file=sys.stderr)


# --- checks made before anything is fetched ---------------------------------


def _period(args: argparse.Namespace) -> tuple[str, str, str]:
    """First and last date to fetch, and the period in words."""
    if args.years:
        years = sorted(set(args.years))
        return f"{years[0]}-01-01", f"{years[-1]}-12-31", "years " + ", ".join(map(str, years))
    start, end = args.dates
    if end < start:
        raise UsageError(f"the end date {end} is before the start date {start}")
    return start, end, f"{start} to {end}"


def _check_window(args: argparse.Namespace) -> None:
    if args.pre > args.post:
        raise UsageError(f"the window starts after it ends (pre {args.pre} > post {args.post})")
    if not args.pre <= args.base_minute <= args.post:
        raise UsageError(f"the window {args.pre}..{args.post} does not contain the baseline minute "
                         f"{args.base_minute} that the moves are measured from; widen it or choose --base-minute")
    length = args.post - args.pre + 1
    if args.ema and args.ema > length:
        raise UsageError(f"--ema {args.ema} is longer than the {length}-minute windows: it would have no value")


def _check_zone(name: str, option: str) -> None:
    import pytz

    try:
        pytz.timezone(name)
    except pytz.UnknownTimeZoneError:
        raise UsageError(f"unknown time zone {name!r} for {option} (an IANA name such as America/New_York)") from None


def _check_writable(folder: Path) -> None:
    """Fails early, leaving nothing behind, when `folder` cannot be made or written."""
    existing = folder.absolute()
    while not existing.exists():
        existing = existing.parent
    if not existing.is_dir():
        raise UsageError(f"cannot write to the output folder {folder}: {existing} is not a folder")
    # os.access trusts permission bits that some file systems (/proc, read-only
    # mounts) do not honour: make and remove a folder to know
    try:
        os.rmdir(tempfile.mkdtemp(prefix=".probe-", dir=existing))
    except OSError as exc:
        raise UsageError(f"cannot write to the output folder {folder}: {exc.strerror or exc}") from None


def _check_dask(args: argparse.Namespace) -> None:
    try:
        from orvane_data import distributed  # noqa: F401

        if args.dask == "local":
            import distributed as _  # noqa: F401
    except ImportError as exc:
        missing = getattr(exc, "name", None) or "dask"
        raise UsageError(f"--dask needs Dask ({missing} is not installed): pip install 'orvane_data[dask]'") from None


def _spans(args: argparse.Namespace, start: str, end: str) -> list[tuple[str, str]]:
    """The date spans whose bars are fetched: runs of consecutive years named
    by --years (2021 and 2023 fetch no bar of 2022), else the whole period."""
    if not args.years:
        return [(start, end)]
    runs: list[list[int]] = []
    for year in sorted(set(args.years)):
        if runs and year == runs[-1][-1] + 1:
            runs[-1].append(year)
        else:
            runs.append([year])
    return [(f"{run[0]}-01-01", f"{run[-1]}-12-31") for run in runs]


def _check_inputs(args: argparse.Namespace) -> tuple[str, str, str]:
    start, end, period = _period(args)
    if args.bars_dataset and not args.dask:
        raise UsageError("--bars-dataset is where --dask workers read the bars: give --dask too")
    _check_window(args)
    _check_zone(args.event_tz, "--event-tz")
    _check_zone(args.bar_tz, "--bar-tz")
    _check_writable(Path(args.out))
    if args.dask:
        _check_dask(args)
    return start, end, period


# --- the study ----------------------------------------------------------------


def _fetch_calendar(args: argparse.Namespace, start: str, end: str):
    from orvane_data.from_bqia import query_kit

    nothing = (f"no releases of {', '.join(args.events)} for universe {' '.join(args.universe)} "
               f"from {start} to {end}")
    try:
        calendar = query_kit.get_eco_calendar_data(query_kit.bq, args.universe, start, end,
                                                   tickers=list(args.events), event_timezone=args.event_tz)
    except (IndexError, ValueError):
        # what the calendar road raises when the service answers no year at all
        raise UsageError(nothing) from None
    if calendar.empty:
        raise UsageError(nothing)
    # the service answers whole calendar years: keep the releases asked for
    if args.years:
        keep = calendar["event_date"].map(lambda d: d.year).isin(set(args.years))
    else:
        keep = ((calendar["event_date"] >= dt.date.fromisoformat(start))
                & (calendar["event_date"] <= dt.date.fromisoformat(end)))
    calendar = calendar[keep]
    found = set(calendar["ticker"]) if "ticker" in calendar.columns else set()
    missing = [t for t in args.events if t not in found]
    if missing:
        raise UsageError(f"no releases found for event ticker(s) {', '.join(missing)}")
    return calendar


def _moves_on_dask(bars, calendar, args: argparse.Namespace):
    """The windows with their moves, computed per security partition on Dask workers."""
    from orvane_data import distributed
    from orvane_data.bar_store import write_bars

    with tempfile.TemporaryDirectory(prefix="orvane-bars-") as scratch:
        root = args.bars_dataset or scratch
        write_bars(bars, root)
        if args.dask != "local":
            return distributed.collect_moves(root, calendar, args.pre, args.post, scheduler=args.dask)
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            return distributed.collect_moves(root, calendar, args.pre, args.post, scheduler=client)


def _window_ema(moves, length: int):
    """An EMA of the closes of each window, in time order, as a new column."""
    import pandas as pd

    from orvane_data.ta import overlap

    def one_window(closes):
        result = overlap.ema(closes, length=length, sma=False)
        # a window shorter than the EMA has no value
        return result if result is not None else pd.Series(float("nan"), index=closes.index)

    ordered = moves.sort_values("datetime", kind="stable")
    ema = ordered.groupby(["EVENT_NAME", "event_datetime", "key"], sort=False)["close"].transform(one_window)
    return moves.assign(**{f"ema_{length}": ema.reindex(moves.index)})


def _with_surprise_view(summary, moves):
    """Adds `mean_by_surprise_bps`: moves times the sign of their release's
    surprise, so that reactions to good and bad news add up instead of
    cancelling. Releases without a surprise (none, or exactly as expected)
    are left out of it."""
    if "surprise" not in moves.columns:
        return summary
    import numpy as np
    import pandas as pd

    from orvane_data.event_study import summarize_moves

    sign = np.sign(pd.to_numeric(moves["surprise"], errors="coerce")).replace(0, np.nan)
    signed = summarize_moves(moves.assign(move_bps=moves["move_bps"] * sign))
    keys = ["EVENT_NAME", "key", "time_diff"]
    return summary.merge(signed[keys + ["mean_bps"]].rename(columns={"mean_bps": "mean_by_surprise_bps"}),
                         on=keys, how="left")


def _dropped(calendar, names, bars, moves, base_minute: int):
    """One row per release and security without a move, and why."""
    import pandas as pd

    from orvane_data.from_bqia.query_kit import round_event_datetime

    releases = calendar[["EVENT_NAME", "event_datetime"]].drop_duplicates()
    releases = releases.assign(event_datetime=releases["event_datetime"].map(round_event_datetime))
    pairs = releases.merge(pd.DataFrame({"key": names}), how="cross")
    keys = ["EVENT_NAME", "event_datetime", "key"]
    measured = moves["move_bps"].notna().groupby([moves[k] for k in keys]).any().rename("measured").reset_index()
    pairs = pairs.merge(measured, on=keys, how="left")  # a pair without a window has no value here
    pairs = pairs[~pairs["measured"].eq(True)]

    # the trading day of each security, in UTC, to tell a closed market from a window outside its hours
    stamps = pd.to_datetime(bars["datetime"], utc=True)
    days = pd.DataFrame({"key": bars["key"], "day": stamps.dt.floor("D"), "at": stamps})
    hours = days.groupby(["key", "day"])["at"].agg(["min", "max"])

    def reason(row) -> str:
        if pd.notna(row["measured"]):  # a window, but no bar at its baseline minute
            return f"no bar at the baseline minute {base_minute:+d}"
        day = pd.Timestamp(row["event_datetime"]).tz_convert("UTC").floor("D")
        if (row["key"], day) not in hours.index:
            return "no bar that day (market closed)"
        span = hours.loc[(row["key"], day)]
        return (f"no bar in the window: outside trading hours "
                f"(bars that day {span['min']:%H:%M}-{span['max']:%H:%M} UTC)")

    reasons = [reason(row) for _, row in pairs.iterrows()]
    return pairs.drop(columns="measured").assign(reason=reasons).reset_index(drop=True)


def _summary_table(summary, response, moves, names, calendar, args: argparse.Namespace) -> str:
    """The printed table: every event kind and security, the mean move at
    the first minute after the release with its t, at the window's end, the
    response per standard deviation of surprise at that first minute with
    its t, and how many releases have a move."""
    import pandas as pd

    from orvane_data._plotting import baseline_words

    keys = ["EVENT_NAME", "key"]
    table = pd.DataFrame([(e, k) for e in sorted(set(calendar["EVENT_NAME"])) for k in names], columns=keys)
    # after the release and at the window's end; a window that ends before the release shows its start
    minutes = sorted({m for m in (1, args.post) if args.pre <= m <= args.post and m != args.base_minute}
                     or ({args.pre} - {args.base_minute}))
    columns = {f"mean bp @{minutes[0]:+d}": ("mean_bps", summary), "t of mean": ("t_stat", summary)}
    columns.update({f"mean bp @{m:+d}": ("mean_bps", summary) for m in minutes[1:]})
    if response is not None:
        columns.update({f"bp per σ @{minutes[0]:+d}": ("beta_bps_per_sd", response),
                        "t of bp/σ": ("t_stat", response)})
    for title, (column, frame) in columns.items():
        minute = int(title.rsplit("@", 1)[1]) if "@" in title else minutes[0]
        at = frame.loc[frame["time_diff"] == minute, keys + [column]]
        table = table.merge(at.rename(columns={column: title}), on=keys, how="left")
    measured = moves[moves["move_bps"].notna()]
    events = measured.groupby(keys)["event_datetime"].nunique().rename("events").reset_index()
    table = table.merge(events, on=keys, how="left")
    table["events"] = table["events"].fillna(0).astype(int)
    table = table.rename(columns={"EVENT_NAME": "event", "key": "security"})
    text = table.to_string(index=False, float_format=lambda v: f"{v:8.2f}", na_rep="     n/a")
    legend = ("t: the estimate over its standard error (|t| above 2: beyond noise at about 95%)"
              + ("; bp per σ: the move per standard deviation of the release's surprise"
                 if response is not None else ""))
    return f"{baseline_words(args.base_minute).capitalize()}, in basis points:\n{text}\n{legend}"


def _write_table(frame, path: Path, fmt: str, progress: Progress) -> Path:
    path = path.with_suffix("." + fmt)
    if "event_timezone" in frame.columns:  # zone objects: stored by name
        frame = frame.assign(event_timezone=frame["event_timezone"].astype(str))
    if fmt == "parquet":
        import pyarrow.parquet as pq

        from orvane_data.bar_store import arrow_table

        pq.write_table(arrow_table(frame), path)
        return path
    # written in chunks so that a long write shows its progress
    with progress.bar(len(frame), "rows") as bar, open(path, "w", newline="") as handle:
        for first in range(0, max(len(frame), 1), CSV_CHUNK_ROWS):
            chunk = frame.iloc[first:first + CSV_CHUNK_ROWS]
            chunk.to_csv(handle, index=False, header=first == 0)
            bar.update(len(chunk))
    return path


def _plot(summary, response, folder: Path, period: str, args: argparse.Namespace) -> list[Path]:
    from orvane_data.event_study import plot_moves

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    written = []
    for event in sorted(set(summary["EVENT_NAME"])):
        fig = plot_moves(summary, event, period=period, base_minute=args.base_minute, min_count=args.min_count,
                         quartiles=args.quartiles, response=response, confidence=CONFIDENCE)
        path = folder / f"plot_{_slug(event)}.png"
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path)
    return written


def _slug(text: str) -> str:
    return "".join(ch if ch.isalnum() else "_" for ch in str(text)).strip("_").lower() or "event"


@dataclass(frozen=True)
class Plan:
    """What the command was asked to study, resolved before anything is fetched."""

    args: argparse.Namespace
    argv: list[str] | None
    services: dict[str, str]
    start: str
    end: str
    period: str
    securities: dict[str, tuple[str, str]]
    futures: dict[str, tuple[str, str, int]] | None


@dataclass
class RunRecord:
    """What a run did, written as run.json beside its outputs; `files` is
    what the next run into the same folder replaces."""

    command: list[str]
    parameters: dict[str, Any]
    period: dict[str, Any]
    securities: dict[str, dict[str, Any]]
    futures: dict[str, dict[str, Any]]
    baseline: dict[str, int]
    releases: int
    releases_with_a_move: int
    services: dict[str, str]
    package_version: str
    written_at: str
    files: list[str]

    @classmethod
    def of(cls, plan: Plan, mapping, calendar, moves, files: list[Path]) -> "RunRecord":
        import orvane_data

        args = plan.args
        figis = dict(zip(mapping["custom"], mapping["figi"]))
        releases = moves.loc[moves["move_bps"].notna(), ["EVENT_NAME", "event_datetime"]].drop_duplicates()
        return cls(
            command=["orvane-data", *(sys.argv[1:] if plan.argv is None else plan.argv)],
            parameters={k: v for k, v in vars(args).items() if k not in ("securities", "futures")},
            period={"start": plan.start, "end": plan.end, "years": sorted(set(args.years)) if args.years else None,
                    "in_words": plan.period, "bars_fetched": _spans(args, plan.start, plan.end)},
            securities={name: {"parsekey": pk, "pricing_source": pcs, "figi": figis.get(name)}
                        for name, (pk, pcs) in plan.securities.items()},
            futures={name: {"root": root, "yellow_key": yellow, "roll_offset_days": days}
                     for name, (root, yellow, days) in (plan.futures or {}).items()},
            baseline={"minute": args.base_minute},
            releases=int(len(calendar)),
            releases_with_a_move=int(len(releases)),
            services=dict(plan.services),
            package_version=orvane_data.__version__,
            written_at=dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds"),
            files=sorted(p.name for p in files) + ["run.json"],
        )

    def write(self, path: Path) -> None:
        path.write_text(json.dumps(asdict(self), indent=2, default=str) + "\n")


def _earlier_outputs(out: Path) -> list[Path]:
    """The files an earlier run listed in its run.json in `out`: the only
    ones a run may remove (none without a readable record). A listed name
    that is not a plain file name of that folder is ignored."""
    try:
        record = json.loads((out / "run.json").read_text())
    except (OSError, ValueError):
        return []
    names = record.get("files") if isinstance(record, dict) else None
    if not isinstance(names, list):
        return []
    return [out / name for name in names
            if isinstance(name, str) and name not in ("", ".", "..") and Path(name).name == name]


def _replace_outputs(out: Path, files: list[Path]) -> list[Path]:
    """Moves a run's files into `out` after removing those an earlier run wrote there."""
    for old in _earlier_outputs(out):
        if old.is_file() and not old.is_symlink():
            old.unlink()
    final = []
    for path in files:
        target = out / path.name
        os.replace(path, target)
        final.append(target)
    return final


def _plan(args: argparse.Namespace, argv: list[str] | None, services: dict[str, str]) -> Plan:
    start, end, period = _check_inputs(args)
    securities = dict(args.securities or [_security(s) for s in DEFAULT_SECURITIES])
    futures = None if args.no_futures else dict(args.futures or [_future(f) for f in DEFAULT_FUTURES])
    return Plan(args, argv, services, start, end, period, securities, futures)


def _measure(plan: Plan, names: list[str], progress: Progress):
    """The releases, the bars and the windows with their moves."""
    import pandas as pd

    from orvane_data.event_study import event_moves
    from orvane_data.from_bqia import bar_kit

    args = plan.args
    progress(f"fetching the releases of {', '.join(args.events)}, {plan.period}")
    calendar = _fetch_calendar(args, plan.start, plan.end)

    progress(f"fetching bars of {', '.join(names)}")
    parts = [bar_kit.get_intraday_bars(plan.securities, plan.futures, first, last, tz=args.bar_tz)
             for first, last in _spans(args, plan.start, plan.end)]
    bars = parts[0] if len(parts) == 1 else pd.concat(parts, ignore_index=True)

    if args.dask:
        progress(f"cutting windows and computing the moves on Dask ({args.dask})")
        moves = _moves_on_dask(bars, calendar, args)
        if args.base_minute != DEFAULT_BASE_MINUTE:
            moves = event_moves(moves.drop(columns="move_bps"), base_minute=args.base_minute)
    else:
        progress(f"cutting windows of minutes {args.pre} to {args.post} around {len(calendar)} releases")
        windows = bar_kit.filter_bars_around_events(bars, calendar, args.pre, args.post)
        progress("computing the moves")
        moves = event_moves(windows, base_minute=args.base_minute)
    if moves.empty:
        raise UsageError("no bar of the securities falls inside any event window; nothing to summarise")
    return calendar, bars, moves


def _response(moves):
    """The response per standard deviation of surprise, when the releases carry a surprise."""
    if "surprise" not in moves.columns:
        return None
    import pandas as pd

    from orvane_data.event_study import surprise_response

    numbers = moves.assign(surprise=pd.to_numeric(moves["surprise"], errors="coerce"))
    return surprise_response(numbers, confidence=CONFIDENCE)


def _write_outputs(plan: Plan, tables: dict, summary, response, record_inputs, progress: Progress):
    """Writes the tables, the plots and run.json into a scratch folder, then
    moves them into `--out` in place of an earlier run's files, so an
    interrupted run never leaves files that look complete."""
    args, out = plan.args, Path(plan.args.out)
    out.mkdir(parents=True, exist_ok=True)
    scratch = Path(tempfile.mkdtemp(prefix=".partial-", dir=out))
    try:
        files = [_write_table(frame, scratch / name, args.format, progress) for name, frame in tables.items()]
        if not args.no_plot:
            progress("plotting")
            try:
                files += _plot(summary, response, scratch, plan.period, args)
            except ImportError:
                progress.note("matplotlib is not installed: no plots. Install it with "
                              "`pip install 'orvane_data[plot]'`.")
        record = RunRecord.of(plan, *record_inputs, files)
        record.write(scratch / "run.json")
        return record, _replace_outputs(out, files + [scratch / "run.json"])
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def event_study(args: argparse.Namespace, progress: Progress, argv: list[str] | None = None) -> int:
    from orvane_data import simulated

    # before any service module is imported, the Dask one included
    used = simulated.activate()
    kinds = sorted(set(used.values()))
    print(f"orvane_data event study on the {' and '.join(kinds)} services "
          f"(query: {used['bql']}, intraday: {used['bloomberg.bquant.intraday']})")

    plan = _plan(args, argv, used)
    names = list(plan.securities) + list(plan.futures or [])

    from orvane_data.event_study import summarize_moves
    from orvane_data.from_bqia import bar_kit

    mapping = bar_kit.get_id_mapping(plan.securities)  # one quick lookup: refuses a misspelt security first
    unknown = [name for name in plan.securities if name not in set(mapping["custom"])]
    if unknown:
        raise UsageError("unknown security: " + ", ".join(f"{n}={plan.securities[n][0]}" for n in unknown))
    priced = [f"{name} from {pcs}" for name, (_, pcs) in plan.securities.items() if pcs]
    if priced:
        progress.note(f"pricing sources passed to the intraday service as given ({', '.join(priced)}); "
                      "the service does not confirm them")

    progress.total = 6 - bool(args.dask) - args.no_plot
    calendar, bars, moves = _measure(plan, names, progress)
    silent = [name for name in names if name not in set(moves["key"])]
    if silent:
        progress.note(f"no bars of {', '.join(silent)} inside any window (outside its trading hours?)")
    if args.ema:
        moves = _window_ema(moves, args.ema)
    summary = _with_surprise_view(summarize_moves(moves, confidence=CONFIDENCE), moves)
    response = _response(moves)
    dropped = _dropped(calendar, names, bars, moves, args.base_minute)

    progress(f"writing the tables to {args.out}")
    tables = {"windows": moves, "summary": summary, "response": response, "dropped": dropped}
    record, final = _write_outputs(plan, {k: v for k, v in tables.items() if v is not None}, summary, response,
                                   (mapping, calendar, moves), progress)
    progress.done()

    print(_summary_table(summary, response, moves, names, calendar, args))
    print(f"{len(moves)} windowed bars; {record.releases_with_a_move} of {len(calendar)} releases have a move "
          f"({len(dropped)} release-security pairs without one are listed in dropped.{args.format}); "
          f"files written to {Path(args.out).resolve()}:")
    for path in final:
        print(f"  {path.name}")
    return 0


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    progress = Progress(6, args.quiet)
    try:
        return event_study(args, progress, argv)
    except UsageError as exc:
        progress.abort()
        return _report(args, f"orvane-data: error: {exc}", 2)
    except KeyboardInterrupt:
        progress.abort()
        return _report(args, "orvane-data: interrupted", 130)
    except Exception as exc:  # a service or data error: one line, no traceback
        progress.abort()
        text = str(exc).splitlines()[0] if str(exc) else ""
        return _report(args, f"orvane-data: error: {type(exc).__name__}: {text}", 1)


def _report(args: argparse.Namespace, line: str, status: int) -> int:
    """The error on one line, or with --debug its whole traceback first."""
    if args.debug:
        traceback.print_exc(file=sys.stderr)
    print(line, file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
