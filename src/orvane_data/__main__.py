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
import os
import sys
import tempfile
import time
import traceback
import warnings
from pathlib import Path

from orvane_data._study_options import (CONFIDENCE, DEFAULT_BASE_MINUTE, DEFAULT_CONTROL_DAYS, DEFAULT_END,
                                        DEFAULT_EVENTS, DEFAULT_FUTURES, DEFAULT_SECURITIES, DEFAULT_START,
                                        DEFAULT_UNIVERSE, MAX_CONTROL_DAYS, WORKBOOK, parse_date)

DEFAULT_OUT = "event_study_output"


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
        return parse_date(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


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


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= MAX_CONTROL_DAYS:
        raise argparse.ArgumentTypeError(f"expected a whole number from 0 to {MAX_CONTROL_DAYS}, got {text!r}")
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
    study.add_argument("--events", nargs="+", metavar="TICKER",
                       help=f"economic-indicator tickers whose releases are studied (default: "
                            f"{', '.join(DEFAULT_EVENTS)}; with --calendar, every release of the file)")
    study.add_argument("--universe", nargs="+", default=list(DEFAULT_UNIVERSE), metavar="ID",
                       help="universe of the calendar requests")
    securities = ", ".join(f"{name}={key}" for name, (key, _) in DEFAULT_SECURITIES.items())
    study.add_argument("--security", dest="securities", action="append", type=_security, metavar="NAME=PARSEKEY[:PCS]",
                       help=f"a security to study, repeatable (default: {securities}; with --bars, every key "
                            f"of the file)")
    futures = ", ".join(f"{name}={root}:{yellow}:{days}" for name, (root, yellow, days) in DEFAULT_FUTURES.items())
    study.add_argument("--future", dest="futures", action="append", type=_future, metavar="NAME=ROOT:YELLOW:DAYS",
                       help=f"a rolled future to study, repeatable (default: {futures})")
    study.add_argument("--no-futures", action="store_true", help="study no rolled future")
    when = study.add_mutually_exclusive_group()
    when.add_argument("--years", nargs="+", type=_year, metavar="YEAR",
                      help="calendar years to study, exactly those named")
    when.add_argument("--dates", nargs=2, type=_date, metavar=("START", "END"),
                      help=f"first and last date (default: {DEFAULT_START} {DEFAULT_END}; with --calendar, "
                           f"the file's whole span)")
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
                       help="where the bars are written as a dataset partitioned by security and read back window "
                            "by window: by the --dask workers (a folder or s3:// location they reach; default: a "
                            "temporary folder), or by this process without --dask")
    study.add_argument("--control-days", type=_count, default=DEFAULT_CONTROL_DAYS, metavar="N",
                       help="ordinary days per release, the baseline of activity.csv: the release's clock minutes "
                            "on the N nearest weekdays before it without any release of the universe, from the bars "
                            "of the period; 0 for none")
    study.add_argument("--concurrent", choices=["keep", "drop"], default="keep",
                       help="releases whose window holds another release: keep them (the response reads the "
                            "surprises of one minute together) or leave them out of every table")
    study.add_argument("--calendar", metavar="FILE",
                       help="your own releases, CSV or Parquet, in place of the calendar service: columns "
                            "EVENT_NAME, event_datetime, and surprise or ACTUAL and SURVEY_MEDIAN")
    study.add_argument("--bars", metavar="FILE",
                       help="your own minute bars, CSV or Parquet, in place of the intraday service: columns "
                            "datetime, key, close; or a bar dataset folder (as --bars-dataset writes it), of which "
                            "only the windows are read")
    study.add_argument("--out", default=DEFAULT_OUT, help="folder the outputs are written to")
    study.add_argument("--format", choices=["csv", "parquet", "xlsx"], default="csv",
                       help="format of the tables: a file per table, or one workbook with a sheet per table "
                            "(xlsx needs pip install 'orvane_data[xlsx]')")
    study.add_argument("--no-plot", action="store_true", help="write the tables only")
    study.add_argument("--no-report", action="store_true", help="write no report.html")
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
        from tqdm.auto import tqdm

        shown = not self.quiet and sys.stderr.isatty()
        if shown and self.line_open:
            print(file=sys.stderr, flush=True)
            self.line_open = False
        return tqdm(total=total, unit=unit, unit_scale=True, leave=False, disable=not shown, file=sys.stderr)


# --- checks made before anything is fetched ---------------------------------


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


# --- the study ----------------------------------------------------------------


def _options(args: argparse.Namespace) -> dict:
    """The command's options as run_study's keywords."""
    return dict(
        events=args.events, universe=args.universe,
        securities=dict(args.securities) if args.securities else None,
        futures={} if args.no_futures else (dict(args.futures) if args.futures else None),
        dates=args.dates, years=args.years, pre=args.pre, post=args.post, base_minute=args.base_minute,
        event_tz=args.event_tz, bar_tz=args.bar_tz, ema=args.ema, confidence=CONFIDENCE, dask=args.dask,
        bars_dataset=args.bars_dataset, control_days=args.control_days, concurrent=args.concurrent,
    )


def _own_data(args: argparse.Namespace) -> dict:
    from orvane_data._study_inputs import read_table

    given = {}
    if args.calendar:
        given["calendar"] = read_table(args.calendar, "--calendar")
    if args.bars:
        # a folder is a bar dataset: the study reads its windows only
        given["bars"] = args.bars if Path(args.bars).is_dir() else read_table(args.bars, "--bars")
    return given


def _first_line(args: argparse.Namespace, used: dict[str, str]) -> str:
    own = [f"{what} from {path}" for what, path in (("releases", args.calendar), ("bars", args.bars)) if path]
    if len(own) == 2:
        return f"orvane_data event study on your own data: {' and '.join(own)}"
    kinds = sorted(set(used.values()))
    line = (f"orvane_data event study on the {' and '.join(kinds)} services "
            f"(query: {used['bql']}, intraday: {used['bloomberg.bquant.intraday']})")
    return line + (f"; {own[0]}" if own else "")


def event_study(args: argparse.Namespace, progress: Progress, argv: list[str] | None = None) -> int:
    from orvane_data import simulated

    # before any service module is imported, the Dask one included
    used = simulated.activate()
    print(_first_line(args, used))

    from orvane_data import DataWarning
    from orvane_data._study import FolderNote, StudyError, run_study

    _check_writable(Path(args.out))
    if args.format == "xlsx":
        from orvane_data._study_files import _openpyxl

        try:
            _openpyxl()
        except ImportError as exc:
            raise UsageError(f"--format xlsx: {exc}") from None
    progress.total = 6 - bool(args.dask) - args.no_plot + bool(args.control_days)
    try:
        given = _own_data(args)
        # the study's notes come back as text; the command prints them as its own lines
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DataWarning)
            warnings.filterwarnings("ignore", message="pricing sources passed")
            study = run_study(**_options(args), progress=progress, **given)
    except StudyError as exc:
        raise UsageError(str(exc)) from None
    for text in study.warnings:
        progress.note(text)

    study.record["command"] = ["orvane-data", *(sys.argv[1:] if argv is None else argv)]
    study.record["parameters"].update(
        {k: v for k, v in vars(args).items() if k not in ("securities", "futures") and k not in study.record["parameters"]})
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always", FolderNote)
        final = study.save(args.out, format=args.format, plots=not args.no_plot, report=not args.no_report,
                           min_count=args.min_count, quartiles=args.quartiles, progress=progress)
    progress.done()
    for warning in said:
        if issubclass(warning.category, FolderNote):
            progress.note(str(warning.message))
        else:  # not the command's to say: as Python would have shown it
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)

    record = study.record
    where = WORKBOOK if args.format == "xlsx" else f"dropped.{args.format}"
    print(study.table_text())
    print(study.concurrency_text())
    print(f"{len(study.moves)} windowed bars; {record['releases_with_a_move']} of {record['releases']} releases "
          f"have a move ({len(study.dropped)} release-security pairs without one are listed in {where}); "
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
