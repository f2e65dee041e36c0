"""Command line of orvane_data: ``python -m orvane_data event-study`` (or ``orvane-data``).

An event study fetches the economic-calendar releases of some indicators,
the intraday bars of some securities and rolled futures, cuts the bars into
minute windows around each release and summarises, for every event kind and
security, the move from the event minute's close in basis points.
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

DEFAULT_EVENTS = ["NFP TCH Index", "CPI YOY Index"]
DEFAULT_SECURITIES = ["sx5e=SX5E Index", "usdjpy=JPY Curncy"]
DEFAULT_FUTURES = ["es=ES:Index:5"]
DEFAULT_UNIVERSE = ["US"]
DEFAULT_START, DEFAULT_END = "2022-06-01", "2024-05-31"
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
        return dt.date.fromisoformat(text).isoformat()
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a date written yyyy-mm-dd, got {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="orvane-data", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    study = commands.add_parser(
        "event-study",
        help="moves of securities around economic releases",
        description="Fetch releases and intraday bars, cut event windows and summarise the moves.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    study.add_argument("--events", nargs="+", default=DEFAULT_EVENTS, metavar="TICKER",
                       help="economic-indicator tickers whose releases are studied")
    study.add_argument("--universe", nargs="+", default=DEFAULT_UNIVERSE, metavar="ID",
                       help="universe of the calendar requests")
    study.add_argument("--security", dest="securities", action="append", type=_security, metavar="NAME=PARSEKEY[:PCS]",
                       help=f"a security to study, repeatable (default: {' '.join(DEFAULT_SECURITIES)})")
    study.add_argument("--future", dest="futures", action="append", type=_future, metavar="NAME=ROOT:YELLOW:DAYS",
                       help=f"a rolled future to study, repeatable (default: {' '.join(DEFAULT_FUTURES)})")
    study.add_argument("--no-futures", action="store_true", help="study no rolled future")
    when = study.add_mutually_exclusive_group()
    when.add_argument("--years", nargs="+", type=int, metavar="YEAR", help="calendar years to study")
    when.add_argument("--dates", nargs=2, type=_date, metavar=("START", "END"), default=[DEFAULT_START, DEFAULT_END],
                      help="first and last date")
    study.add_argument("--pre", type=int, default=-5, help="first minute of each window, relative to the release")
    study.add_argument("--post", type=int, default=10, help="last minute of each window, relative to the release")
    study.add_argument("--event-tz", default="America/New_York", help="zone the release times are given in")
    study.add_argument("--bar-tz", default="UTC", help="zone of the bars' time stamps")
    study.add_argument("--ema", type=int, metavar="LENGTH", help="also give an EMA of each window's closes")
    study.add_argument("--dask", metavar="SCHEDULER",
                       help="cut the windows and compute the moves on Dask workers: a scheduler address "
                            "(tcp://host:8786) or 'local' for a local cluster of two worker processes")
    study.add_argument("--bars-dataset", metavar="PATH",
                       help="with --dask: where the bars are written as a dataset partitioned by security for the "
                            "workers to read (a folder or s3:// location they reach; default: a temporary folder)")
    study.add_argument("--out", default=DEFAULT_OUT, help="folder the outputs are written to")
    study.add_argument("--format", choices=["csv", "parquet"], default="csv", help="format of the tables")
    study.add_argument("--no-plot", action="store_true", help="write the tables only")
    study.add_argument("--quiet", action="store_true", help="print only the first line and the result")
    return parser


class Progress:
    """Numbered step lines on standard error, with the time each took."""

    def __init__(self, total: int, quiet: bool) -> None:
        self.total, self.quiet, self.step, self.started = total, quiet, 0, None

    def __call__(self, text: str) -> None:
        self.done()
        self.step += 1
        self.started = time.perf_counter()
        if not self.quiet:
            print(f"[{self.step}/{self.total}] {text} ...", end="", file=sys.stderr, flush=True)

    def done(self) -> None:
        if self.started is not None and not self.quiet:
            print(f" {time.perf_counter() - self.started:.1f}s", file=sys.stderr, flush=True)
        self.started = None

    def abort(self) -> None:
        """Ends an open step line so that an error starts on a line of its own."""
        if self.started is not None and not self.quiet:
            print(" failed", file=sys.stderr, flush=True)
        self.started = None


def _dates(args: argparse.Namespace) -> tuple[str, str]:
    if args.years:
        return f"{min(args.years)}-01-01", f"{max(args.years)}-12-31"
    start, end = args.dates
    if end < start:
        raise UsageError(f"the end date {end} is before the start date {start}")
    return start, end


def _check_writable(folder: Path) -> None:
    """Fails early, creating nothing, when `folder` cannot be made or written."""
    existing = folder.absolute()
    while not existing.exists():
        existing = existing.parent
    if not existing.is_dir() or not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"cannot write to the output folder {folder}: "
                         f"{existing} is {'not a folder' if not existing.is_dir() else 'not writable'}")


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


def _moves_on_dask(bars, calendar, args: argparse.Namespace):
    """The windows with their moves, computed per security partition on Dask workers."""
    try:
        from orvane_data import distributed
    except ImportError as exc:
        raise UsageError(f"--dask needs Dask: pip install 'orvane_data[dask]' ({exc})") from None
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


def _plot(summary, folder: Path) -> list[Path]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    written = []
    for event, rows in summary.groupby("EVENT_NAME", sort=True):
        fig, ax = plt.subplots(figsize=(8, 4.5))
        for key, line in rows.groupby("key", sort=True):
            (drawn,) = ax.plot(line["time_diff"], line["mean_bps"], marker="o", markersize=3, label=str(key))
            ax.fill_between(line["time_diff"], line["q25_bps"], line["q75_bps"], color=drawn.get_color(), alpha=0.15)
        ax.axvline(0, color="grey", linewidth=0.8)
        ax.axhline(0, color="grey", linewidth=0.8)
        ax.set_title(f"{event}: mean move around the release")
        ax.set_xlabel("minutes from the release")
        ax.set_ylabel("move from the event-minute close (bp)\nline: mean, band: quartiles across events", fontsize=9)
        ax.legend(title="security")
        fig.tight_layout()
        path = folder / f"plot_{_slug(event)}.png"
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path)
    return written


def _slug(text: str) -> str:
    return "".join(ch if ch.isalnum() else "_" for ch in str(text)).strip("_").lower() or "event"


def _write_table(frame, path: Path, fmt: str) -> Path:
    path = path.with_suffix("." + fmt)
    if "event_timezone" in frame.columns:  # zone objects: stored by name
        frame = frame.assign(event_timezone=frame["event_timezone"].astype(str))
    if fmt == "parquet":
        frame.to_parquet(path, index=False)
    else:
        frame.to_csv(path, index=False)
    return path


def _summary_table(summary, post: int) -> str:
    import pandas as pd

    last = summary[summary["time_diff"] == summary["time_diff"].max()]
    first = summary[summary["time_diff"] == min(1, post)]
    table = pd.merge(
        first[["EVENT_NAME", "key", "mean_bps"]].rename(columns={"mean_bps": f"mean bp @+{min(1, post)}"}),
        last[["EVENT_NAME", "key", "mean_bps", "count"]].rename(columns={"mean_bps": f"mean bp @+{post}", "count": "events"}),
        on=["EVENT_NAME", "key"],
    ).rename(columns={"EVENT_NAME": "event", "key": "security"})
    return table.to_string(index=False, float_format=lambda v: f"{v:8.2f}")


def event_study(args: argparse.Namespace, progress: Progress) -> int:
    from orvane_data import simulated

    used = simulated.activate()
    kinds = sorted(set(used.values()))
    print(f"orvane_data event study on the {' and '.join(kinds)} services "
          f"(query: {used['bql']}, intraday: {used['bloomberg.bquant.intraday']})")

    start, end = _dates(args)
    if args.pre > args.post:
        raise UsageError(f"the window starts after it ends (pre {args.pre} > post {args.post})")
    securities = dict(args.securities or [_security(s) for s in DEFAULT_SECURITIES])
    futures = None if args.no_futures else dict(args.futures or [_future(f) for f in DEFAULT_FUTURES])
    out = Path(args.out)
    _check_writable(out)

    from orvane_data.event_study import event_moves, summarize_moves
    from orvane_data.from_bqia import bar_kit, query_kit

    progress.total = 6 - args.no_plot
    progress(f"fetching the releases of {', '.join(args.events)} from {start} to {end}")
    calendar = query_kit.get_eco_calendar_data(query_kit.bq, args.universe, start, end, tickers=list(args.events),
                                               event_timezone=args.event_tz)
    # the service answers whole calendar years: keep the releases asked for
    calendar = calendar[(calendar["event_date"] >= dt.date.fromisoformat(start))
                        & (calendar["event_date"] <= dt.date.fromisoformat(end))]
    found = set(calendar["ticker"]) if "ticker" in calendar.columns else set()
    missing = [t for t in args.events if t not in found]
    if missing:
        raise UsageError(f"no releases found for event ticker(s) {', '.join(missing)}")

    progress(f"fetching bars of {', '.join(list(securities) + list(futures or []))}")
    mapping = bar_kit.get_id_mapping(securities)
    unknown = [name for name in securities if name not in set(mapping["custom"])]
    if unknown:
        raise UsageError("unknown security: " + ", ".join(f"{n}={securities[n][0]}" for n in unknown))
    bars = bar_kit.get_intraday_bars(securities, futures, start, end, tz=args.bar_tz)

    if args.dask:
        progress(f"cutting windows and computing the moves on Dask ({args.dask})")
        windows = _moves_on_dask(bars, calendar, args)
    else:
        progress(f"cutting windows of minutes {args.pre} to {args.post} around {len(calendar)} releases")
        windows = bar_kit.filter_bars_around_events(bars, calendar, args.pre, args.post)

    if windows.empty:
        raise UsageError("no bar of the securities falls inside any event window; nothing to summarise")
    silent = [name for name in list(securities) + list(futures or []) if name not in set(windows["key"])]
    if silent:
        progress.done()
        print(f"note: no bars of {', '.join(silent)} inside any window (outside its trading hours?)", file=sys.stderr)

    progress("computing the moves")
    moves = windows if args.dask else event_moves(windows)
    if args.ema:
        moves = _window_ema(moves, args.ema)
    summary = summarize_moves(moves)

    # Everything is written into a scratch folder first and moved into place
    # at the end, so an interrupted run never leaves files that look complete.
    progress(f"writing the tables to {out}")
    out.mkdir(parents=True, exist_ok=True)
    scratch = Path(tempfile.mkdtemp(prefix=".partial-", dir=out))
    try:
        files = [_write_table(moves, scratch / "windows", args.format),
                 _write_table(summary, scratch / "summary", args.format)]
        if not args.no_plot:
            progress("plotting")
            try:
                files += _plot(summary, scratch)
            except ImportError:
                progress.done()
                print("matplotlib is not installed: no plots. Install it with "
                      "`pip install 'orvane_data[plot]'`.", file=sys.stderr)
        final = []
        for path in files:
            target = out / path.name
            os.replace(path, target)
            final.append(target)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    progress.done()

    print(_summary_table(summary, args.post))
    print(f"{len(windows)} windowed bars, {calendar.shape[0]} releases; files written to {out.resolve()}:")
    for path in final:
        print(f"  {path.name}")
    return 0


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    progress = Progress(6, args.quiet)
    try:
        return event_study(args, progress)
    except UsageError as exc:
        progress.abort()
        print(f"orvane-data: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        progress.abort()
        print("orvane-data: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # a service or data error: one line, no traceback
        progress.abort()
        text = str(exc).splitlines()[0] if str(exc) else ""
        print(f"orvane-data: error: {type(exc).__name__}: {text}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
