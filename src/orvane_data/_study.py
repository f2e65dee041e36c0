"""The event study as one object: run it, read it, draw it, save it.

Bound into ``orvane_data.event_study`` as ``run_study`` and ``EventStudy``.
It only drives the compiled functions (the calendar and bar fetchers, the
window cut, the moves and their statistics) and presents their answer, so it
is written in Python; the command line is a thin layer over it.

A new option is one more field of :class:`StudyOptions` (and its keyword of
``run_study``); a new table is one more attribute of :class:`EventStudy` and
one more entry of ``EventStudy.TABLES``: ``tables()``, ``save()`` and the
workbook follow from that list.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import difflib
import html
import json
import os
import re
import shutil
import sys
import tempfile
import warnings
from pathlib import Path
from typing import Any, Callable, Mapping, Optional, Sequence

from orvane_data._study_options import (
    CONFIDENCE,
    DEFAULT_BASE_MINUTE,
    DEFAULT_CONTROL_DAYS,
    DEFAULT_EVENTS,
    DEFAULT_FUTURES,
    DEFAULT_SECURITIES,
    DEFAULT_UNIVERSE,
    FORMATS,
    FolderNote,
    OWN_DATA,
    StudyError,
    StudyOptions,
    WORKBOOK,
    _check_options,
    bar_spans,
    check_dask,
)
from orvane_data._study_inputs import (
    _need_service,
    _services,
    own_bars,
    own_calendar,
)
from orvane_data._study_files import (
    _fingerprint,
    _openpyxl,
    _storable,
    _write_table,
    _write_workbook,
    replace_outputs,
    slug,
)
# --- steps and notes -------------------------------------------------------------


class _NoSteps:
    def __call__(self, text: str) -> None:
        pass

    def done(self) -> None:
        pass

    def bar(self, total: int, unit: str):
        from tqdm.auto import tqdm

        return tqdm(total=total, disable=True)


class _StepBar(_NoSteps):
    """The study's steps as one progress bar: a notebook widget where one is
    available, text otherwise."""

    def __init__(self, total: int) -> None:
        from tqdm.auto import tqdm

        self._bar = tqdm(total=total, unit="step", leave=False)

    def __call__(self, text: str) -> None:
        if self._bar.n or self._bar.desc:
            self._bar.update(1)
        self._bar.set_description_str(text[:60])

    def done(self) -> None:
        self._bar.update(self._bar.total - self._bar.n)
        self._bar.close()

    def close(self) -> None:
        self._bar.close()


class _CallerSteps(_NoSteps):
    """A caller's function, called with each step's text."""

    def __init__(self, report: Callable[[str], Any]) -> None:
        self._report = report

    def __call__(self, text: str) -> None:
        self._report(text)


def _steps(progress: Any, total: int):
    if progress is True:
        return _StepBar(total)
    if not progress:
        return _NoSteps()
    if all(hasattr(progress, name) for name in ("done", "bar")):
        return progress  # a step reporter of its own (the command's)
    if not callable(progress):
        raise TypeError(f"progress: expected True, False or a function of the step's text, got {progress!r}")
    return _CallerSteps(progress)


class _Notes:
    """The study's notes: what the library warned while it ran, and what the
    study itself can see that matched nothing. Each is issued to the caller
    as a warning (so a notebook shows it, and filters raise or hide it) and
    kept as text."""

    def __init__(self) -> None:
        self.texts: list[str] = []
        self.data_texts: list[str] = []  # what matched nothing, as opposed to other notes

    def recording(self):
        return _Recorder(self)

    def add(self, text: str, category: type[Warning] | None = None, *, stacklevel: int = 3) -> None:
        if category is None:
            from orvane_data import DataWarning

            category = DataWarning
        if text in self.texts:
            return
        self.texts.append(text)
        if self._is_data(category):
            self.data_texts.append(text)
        warnings.warn(text, category, stacklevel=stacklevel)

    @staticmethod
    def _is_data(category: type[Warning]) -> bool:
        from orvane_data import DataWarning

        return issubclass(category, DataWarning)

    def mentions(self, name: str) -> bool:
        """Whether something already said that `name` matched nothing."""
        return any(re.search(rf"(?<![\w.-]){re.escape(name)}(?![\w.-])", t) for t in self.data_texts)


class _Recorder:
    """Records the warnings raised inside, keeps the DataWarnings' texts and
    issues every warning again to the caller, under the caller's filters."""

    def __init__(self, notes: _Notes) -> None:
        self.notes = notes

    def __enter__(self):
        from orvane_data import DataWarning

        self._before = set(self.notes.texts)
        self._catch = warnings.catch_warnings(record=True)
        self._caught = self._catch.__enter__()
        warnings.simplefilter("always", DataWarning)
        return self

    def __exit__(self, *exc) -> None:
        from orvane_data import DataWarning

        self._catch.__exit__(*exc)
        for caught in self._caught:
            if issubclass(caught.category, DataWarning):
                text = str(caught.message)
                if text in self._before:
                    continue
                self._before.add(text)
                if text not in self.notes.texts:
                    self.notes.texts.append(text)
                    self.notes.data_texts.append(text)
                # said of the caller's request: pointed at the caller's line
                # (this frame, _Run._study, _Run.study, run_study, the caller)
                warnings.warn(caught.message, caught.category, stacklevel=5)
                continue
            warnings.warn_explicit(caught.message, caught.category, caught.filename, caught.lineno,
                                   source=caught.source)


# --- the pipeline --------------------------------------------------------------


def _close_tickers(universe, start: str, end: str, event_tz: str, wanted: Sequence[str]) -> str:
    """The tickers the calendar knows closest to each misspelt one, when the
    service can list them (a calendar request without a ticker filter)."""
    from orvane_data.from_bqia import query_kit

    try:
        known = query_kit.get_eco_calendar_data(query_kit.bq, list(universe), start, end,
                                                event_timezone=event_tz)
        tickers = sorted(set(known["ticker"].dropna().astype(str)))
    except Exception:  # the hint is a courtesy: any failure of the listing only drops it
        tickers = []
    if not tickers:
        return " (the calendar service could not list the tickers it knows)"
    return "; closest tickers the calendar knows " + _closest(wanted, tickers)


def _closest(wanted: Sequence[str], known: Sequence[str]) -> str:
    return "; ".join(f"to {t}: {', '.join(difflib.get_close_matches(t, known, n=3, cutoff=0.0))}" for t in wanted)


def _fetch_calendar(options: StudyOptions, events: Sequence[str], start: str, end: str):
    from orvane_data.from_bqia import query_kit

    nothing = (f"no releases of {', '.join(events)} for universe {' '.join(options.universe)} "
               f"from {start} to {end}")
    try:
        calendar = query_kit.get_eco_calendar_data(query_kit.bq, list(options.universe), start, end,
                                                   tickers=list(events), event_timezone=options.event_tz)
    except (IndexError, ValueError):
        # what the calendar road raises when the service answers no year at all
        raise StudyError(nothing) from None
    if calendar.empty:
        raise StudyError(nothing + _close_tickers(options.universe, start, end, options.event_tz, events))
    calendar = _in_period(calendar, options, start, end)
    found = set(calendar["ticker"]) if "ticker" in calendar.columns else set()
    missing = [t for t in events if t not in found]
    if missing:
        raise StudyError(f"no releases found for event ticker(s) {', '.join(missing)}"
                         + _close_tickers(options.universe, start, end, options.event_tz, missing))
    return calendar


def _in_period(calendar, options: StudyOptions, start: Optional[str], end: Optional[str]):
    """The releases of the period asked: the service answers whole calendar years."""
    days = calendar["event_date"] if "event_date" in calendar.columns else \
        calendar["event_datetime"].map(lambda t: t.date())
    if options.years:
        keep = days.map(lambda d: d.year).isin(set(options.years))
    elif start is not None:
        keep = (days >= dt.date.fromisoformat(start)) & (days <= dt.date.fromisoformat(end))
    else:
        return calendar
    return calendar[keep.astype(bool)]


def _select_own_calendar(calendar, options: StudyOptions, start, end):
    calendar = _in_period(calendar, options, start, end)
    if options.events is not None:
        column = "ticker" if "ticker" in calendar.columns else "EVENT_NAME"
        found = set(calendar[column].astype(str))
        missing = [t for t in options.events if t not in found]
        if missing:
            raise StudyError(f"no releases found for event ticker(s) {', '.join(missing)} in the calendar given"
                             + (f"; closest it holds {_closest(missing, sorted(found))}" if found else ""))
        calendar = calendar[calendar[column].astype(str).isin(set(options.events))]
    if calendar.empty:
        raise StudyError("the calendar given holds no release in the period asked")
    return calendar


def _moves_on_dask(bars, calendar, options: StudyOptions):
    """The windows with their moves, computed per security partition on Dask workers."""
    from orvane_data import distributed
    from orvane_data.bar_store import write_bars

    with tempfile.TemporaryDirectory(prefix="orvane-bars-") as scratch:
        root = options.bars_dataset or scratch
        write_bars(bars, root)
        if options.dask != "local":
            return distributed.collect_moves(root, calendar, options.pre, options.post, scheduler=options.dask)
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            return distributed.collect_moves(root, calendar, options.pre, options.post, scheduler=client)


def _windows_of_dataset(root: str, calendars, options: StudyOptions):
    """The bars of a dataset on the minutes of the windows of ``calendars``
    (the releases, their ordinary days): only the row groups the windows
    meet are read, so memory follows the windows, not the dataset."""
    import pandas as pd

    from orvane_data.bar_store import load_bars

    around = pd.concat([c[["EVENT_NAME", "event_datetime"]] for c in calendars if c is not None],
                       ignore_index=True)
    return load_bars(root, around=around, pre=options.pre, post=options.post)


def pd_index(*columns):
    """Rows as a MultiIndex of the columns, to ask which rows another frame holds."""
    import pandas as pd

    return pd.MultiIndex.from_arrays([pd.Series(c).reset_index(drop=True) for c in columns])


def _data_warning():
    from orvane_data import DataWarning

    return DataWarning


def window_ema(moves, length: int):
    """An EMA of the closes of each window, in time order, as a new column ``ema_<length>``."""
    import pandas as pd

    from orvane_data.ta import overlap

    def one_window(closes):
        result = overlap.ema(closes, length=length, sma=False)
        # a window shorter than the EMA has no value
        return result if result is not None else pd.Series(float("nan"), index=closes.index)

    ordered = moves.sort_values("datetime", kind="stable")
    ema = ordered.groupby(["EVENT_NAME", "event_datetime", "key"], sort=False)["close"].transform(one_window)
    return moves.assign(**{f"ema_{length}": ema.reindex(moves.index)})


def with_surprise_view(summary, moves, confidence: float = CONFIDENCE):
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
    signed = summarize_moves(moves.assign(move_bps=moves["move_bps"] * sign), confidence=confidence)
    keys = ["EVENT_NAME", "key", "time_diff"]
    return summary.merge(signed[keys + ["mean_bps"]].rename(columns={"mean_bps": "mean_by_surprise_bps"}),
                         on=keys, how="left")


def response_to_surprise(moves, confidence: float = CONFIDENCE, asymmetric: bool = False):
    """The response per standard deviation of surprise, when the releases
    carry a surprise: every surprise released in a minute read together (with
    one event kind, the plain regression), good and bad news apart with
    ``asymmetric``."""
    if "surprise" not in moves.columns:
        return None
    import pandas as pd

    from orvane_data.event_study import surprise_response

    numbers = moves.assign(surprise=pd.to_numeric(moves["surprise"], errors="coerce"))
    return surprise_response(numbers, confidence=confidence, joint=True, asymmetric=asymmetric)


def dropped_releases(calendar, names, bars, moves, base_minute: int):
    """One row per release and security without a move, and why."""
    import pandas as pd

    from orvane_data.from_bqia.query_kit import round_event_datetime

    releases = calendar[["EVENT_NAME", "event_datetime"]].drop_duplicates()
    releases = releases.assign(event_datetime=releases["event_datetime"].map(round_event_datetime))
    pairs = releases.merge(pd.DataFrame({"key": list(names)}), how="cross")
    keys = ["EVENT_NAME", "event_datetime", "key"]
    measured = moves["move_bps"].notna().groupby([moves[k] for k in keys]).any().rename("measured").reset_index()
    if measured.empty:  # nothing to merge on: every pair is without a window
        pairs = pairs.assign(measured=pd.Series(pd.NA, index=pairs.index, dtype="object"))
    else:
        pairs = pairs.merge(measured, on=keys, how="left")  # a pair without a window has no value here
    pairs = pairs[~pairs["measured"].eq(True)]

    # the trading day of each security, in UTC, to tell a closed market from a window outside its hours
    if {"datetime", "key"} <= set(bars.columns) and len(bars):
        stamps = pd.to_datetime(bars["datetime"], utc=True)
        days = pd.DataFrame({"key": bars["key"], "day": stamps.dt.floor("D"), "at": stamps})
        hours = days.groupby(["key", "day"])["at"].agg(["min", "max"])
        with_bars = set(bars["key"])
    else:
        hours, with_bars = None, set()

    def reason(row) -> str:
        if pd.notna(row["measured"]):  # a window, but no bar at its baseline minute
            return f"no bar at the baseline minute {base_minute:+d}"
        if row["key"] not in with_bars:
            return "no bars at all in the period"
        day = pd.Timestamp(row["event_datetime"]).tz_convert("UTC").floor("D")
        if (row["key"], day) not in hours.index:
            return "no bar that day (market closed)"
        span = hours.loc[(row["key"], day)]
        return (f"no bar in the window: outside trading hours "
                f"(bars that day {span['min']:%H:%M}-{span['max']:%H:%M} UTC)")

    reasons = [reason(row) for _, row in pairs.iterrows()]
    return pairs.drop(columns="measured").assign(reason=pd.Series(reasons, index=pairs.index, dtype=object)) \
        .reset_index(drop=True)


def _reasons_by_security(dropped, releases: int) -> str:
    """Each security and its commonest reason, with how many releases it hits."""
    parts = []
    for key, rows in dropped.groupby("key", sort=False):
        counts = rows["reason"].value_counts()
        parts.append(f"{key}: " + ", ".join(f"{why} (at {n} of {releases} releases)"
                                            for why, n in counts.iloc[:3].items()))
    return "; ".join(parts)


# --- the study -----------------------------------------------------------------------


def run_study(*, events: Optional[Sequence[str]] = None, universe: Sequence[str] = DEFAULT_UNIVERSE,
              securities: Optional[Mapping[str, tuple]] = None, futures: Optional[Mapping[str, tuple]] = None,
              dates: Optional[Sequence[str]] = None, years: Optional[Sequence[int]] = None, pre: int = -5,
              post: int = 10, base_minute: int = DEFAULT_BASE_MINUTE, event_tz: str = "America/New_York",
              bar_tz: str = "UTC", ema: Optional[int] = None, confidence: float = CONFIDENCE,
              dask: Optional[str] = None, bars_dataset: Optional[str] = None,
              control_days: int = DEFAULT_CONTROL_DAYS, concurrent: str = "keep", progress: Any = True,
              calendar=None, bars=None) -> "EventStudy":
    """Runs an event study: releases, minute bars, windows, moves and their statistics.

    Fetches the economic-calendar releases of some indicators and the minute
    bars of some securities and rolled futures (or takes the analyst's own
    frames), cuts the bars into windows around each release and measures,
    for every event kind, security and minute, the move in basis points from
    the close of the baseline minute: its summary with the t test of the
    mean, and the response per standard deviation of surprise.

    Parameters
    ----------
    events : list of str, optional
        Economic-indicator tickers whose releases are studied. Default: NFP
        TCH Index and CPI YOY Index from the calendar service; every release
        of an own ``calendar``.
    universe : list of str, default ["US"]
        Universe of the calendar requests.
    securities : dict, optional
        Name -> (parse key, pricing source) of the securities studied.
        Default: sx5e (SX5E Index) and usdjpy (JPY Curncy); with own ``bars``,
        every ``key`` of the bars (a dict keeps only the names it holds).
    futures : dict, optional
        Name -> (root, yellow key, roll offset days) of rolled futures.
        Default: es (ES, Index, 5); ``{}`` studies none.
    dates : (str, str), optional
        First and last date, yyyy-mm-dd. Default: 2022-06-01 to 2024-05-31
        from the services; the whole span of an own calendar.
    years : list of int, optional
        Exactly the calendar years named, in place of ``dates``.
    pre, post : int, default -5 and 10
        First and last minute of each window, relative to the release.
    base_minute : int, default -1
        Minute whose close the moves are measured from; -1 is the last
        one-minute bar before the release.
    event_tz, bar_tz : str
        Zones of the release times and of the bars' stamps (IANA names).
    ema : int, optional
        Also give an EMA of each window's closes (column ``ema_<length>``).
    confidence : float, default 0.95
        Level of the intervals of the mean and of the response.
    dask : str, optional
        Cut the windows and compute the moves on Dask workers: a scheduler
        address or "local".
    bars_dataset : str, optional
        Where the bars are written as a dataset partitioned by security and
        read back window by window: by the Dask workers with ``dask``, by
        this process without.
    control_days : int, default 20
        Ordinary days per release: the release's clock minutes on the
        nearest weekdays before it without a release of any kind of the
        universe (of the calendar given), measured from the bars of the
        period; their one-minute returns and volumes are the baseline of
        ``activity``. 0: no baseline.
    concurrent : {"keep", "drop"}, default "keep"
        Releases whose window holds another release of the calendar:
        kept (and read together by the joint response) or left out of every
        table.
    progress : bool or callable, default True
        Show the steps as a progress bar (a notebook widget where one is
        available), or call this function with each step's text.
    calendar, bars : pandas.DataFrame, optional
        The analyst's own releases (``EVENT_NAME``, ``event_datetime``, and
        ``surprise`` or ``ACTUAL`` and ``SURVEY_MEDIAN`` for the response)
        and minute bars (``datetime``, ``key``, ``close``), in place of the
        services. Stamps without a zone are read in ``event_tz`` and
        ``bar_tz``. ``bars`` may also be the path of a bar dataset folder
        (as ``orvane_data.bar_store.write_bars`` writes it): only the row
        groups the windows meet are read.

    Returns
    -------
    EventStudy
        ``calendar``, ``windows``, ``moves``, ``summary``, ``response``,
        ``news``, ``concurrent``, ``activity``, ``dropped``, ``record``,
        ``warnings``, ``headline``, ``plot()``, ``save()``.

    Raises
    ------
    StudyError
        A ``ValueError``: the options contradict each other, or what was
        asked matched nothing (no release, no security, no bar in any
        window); the text says which.

    Warns
    -----
    orvane_data.DataWarning
        For each part of the request that matched nothing (a security
        without a bar in any window, a security without any move); the
        texts are kept in ``EventStudy.warnings``.

    Examples
    --------
    >>> from orvane_data import simulated
    >>> _ = simulated.activate()
    >>> from orvane_data.event_study import run_study
    >>> study = run_study(years=[2023], events=["NFP TCH Index"], futures={}, progress=False)
    >>> study.headline[["event", "security", "releases"]]
                            event security  releases
    0  Change in Nonfarm Payrolls     sx5e        12
    1  Change in Nonfarm Payrolls   usdjpy        12
    """
    options = StudyOptions(
        events=None if events is None else tuple(_strings(events, "events")),
        universe=tuple(_strings(universe, "universe")),
        securities=None if securities is None else dict(securities),
        futures=None if futures is None else dict(futures),
        dates=None if dates is None else tuple(dates),
        years=None if years is None else tuple(years),
        pre=int(pre), post=int(post), base_minute=int(base_minute), event_tz=event_tz, bar_tz=bar_tz,
        ema=None if ema is None else int(ema), confidence=float(confidence), dask=dask, bars_dataset=bars_dataset,
        control_days=int(control_days), concurrent=concurrent,
    )
    return _Run(options, progress, calendar, bars).study()


def _strings(values, what: str) -> list[str]:
    if isinstance(values, str):
        return [values]
    values = list(values)
    if not values or not all(isinstance(v, str) for v in values):
        raise StudyError(f"{what}: expected a list of strings, got {values!r}")
    return values


class _Run:
    """One run of the pipeline: each step a method, in the order they run."""

    def __init__(self, options: StudyOptions, progress, calendar, bars) -> None:
        self.options, self.given_calendar, self.given_bars = options, calendar, bars
        self.notes = _Notes()
        self.start, self.end, self.period = _check_options(options, calendar is not None)
        check_dask(options.dask)
        self.services = _services()
        if calendar is not None:
            self.services["bql"] = OWN_DATA
        if bars is not None:
            self.services["bloomberg.bquant.intraday"] = OWN_DATA
        self.steps = _steps(progress, 4 - bool(options.dask) + bool(options.control_days))

    def study(self) -> "EventStudy":
        try:
            return self._study()
        except BaseException:
            if isinstance(self.steps, _StepBar):  # a notebook keeps no half-full bar
                self.steps.close()
            raise

    def _study(self) -> "EventStudy":
        options = self.options
        with self.notes.recording():
            securities, futures, mapping = self._resolve_securities()
            calendar = self._calendar()
            concurrent = self._concurrent(calendar)
            calendar = self._without_concurrent(calendar, concurrent)
            controls = self._controls(calendar)
            bars, names = self._bars(securities, futures, [calendar, controls])
            windows, moves = self._moves(bars, calendar)
        dropped = dropped_releases(calendar, names, bars, moves, options.base_minute)
        if moves.empty:
            raise StudyError("no bar of the securities falls inside any event window; nothing to summarise: "
                             + _reasons_by_security(dropped, len(calendar)))
        self._say_what_matched_nothing(names, moves)
        if options.ema:
            moves = window_ema(moves, options.ema)
        from orvane_data.event_study import summarize_moves

        with self.notes.recording():
            summary = with_surprise_view(summarize_moves(moves, confidence=options.confidence), moves,
                                         options.confidence)
            response = response_to_surprise(moves, options.confidence)
            news = response_to_surprise(moves, options.confidence, asymmetric=True)
        activity = self._activity(bars, controls, moves)
        self.steps.done()
        record = self._record(securities, futures, mapping, calendar, moves)
        record["concurrent"] = {"windows_holding_another_release": int((concurrent["concurrent"] > 0).sum()),
                                "releases": int(len(concurrent)), "choice": options.concurrent,
                                "left_out": self.left_out}
        return EventStudy(options=options, names=names, calendar=calendar, bars=bars, windows=windows, moves=moves,
                          summary=summary, response=response, news=news, concurrent=concurrent,
                          activity=activity, dropped=dropped, record=record, warnings=list(self.notes.texts))

    left_out = 0  # releases left out for holding another release in their window

    def _concurrent(self, calendar):
        """Each release with the releases of the calendar inside its window (its own minute included)."""
        from orvane_data.event_study import concurrent_releases

        return concurrent_releases(calendar, min(self.options.pre, 0), max(self.options.post, 0))

    def _without_concurrent(self, calendar, concurrent):
        """The calendar, less the releases whose window holds another, when asked."""
        if self.options.concurrent == "keep":
            return calendar
        shared = concurrent.loc[concurrent["concurrent"] > 0, ["EVENT_NAME", "event_datetime"]]
        minutes = calendar["event_datetime"].dt.floor("min")
        holds = pd_index(calendar["EVENT_NAME"], minutes).isin(
            pd_index(shared["EVENT_NAME"], shared["event_datetime"].dt.floor("min")))
        self.left_out = int(len(shared))
        if holds.all():
            raise StudyError(f"every one of the {len(shared)} releases holds another release in its window: "
                             "nothing is left to study with concurrent='drop'")
        if self.left_out:
            self.notes.add(f"{self.left_out} of {len(concurrent)} releases left out: their window holds another "
                           "release", UserWarning, stacklevel=6)
        return calendar[~holds]

    def _controls(self, calendar):
        """The ordinary days of each release, as a calendar (None when not asked)."""
        if not self.options.control_days:
            return None
        from orvane_data.event_study import control_events

        every = control_events(self._every_release(calendar), self.options.control_days)
        studied = pd_index(calendar["EVENT_NAME"], calendar["event_datetime"])
        return every[pd_index(every["EVENT_NAME"], every["control_of"]).isin(studied)]

    def _activity(self, bars, controls, moves):
        """Returns and volumes against ordinary days at the same clock minutes, when asked."""
        if controls is None:
            return None
        import warnings as _warnings

        from orvane_data.event_study import abnormal_activity

        self.steps(f"measuring {self.options.control_days} ordinary days before each release")
        with _warnings.catch_warnings():
            # an ordinary day before the bars start is no news: its release just has fewer
            _warnings.simplefilter("ignore", _data_warning())
            _, control_moves = self._moves(bars, controls, quiet=True)
        return abnormal_activity(moves, control_moves)

    def _every_release(self, calendar):
        """The releases whose days are not ordinary: every kind the universe
        (or the calendar given) holds in the period, not only those studied."""
        if self.given_calendar is not None:
            return own_calendar(self.given_calendar, self.options.event_tz)
        from orvane_data.from_bqia import query_kit

        try:
            every = query_kit.get_eco_calendar_data(query_kit.bq, list(self.options.universe), self.start, self.end,
                                                    event_timezone=self.options.event_tz)
        except (IndexError, ValueError):
            return calendar
        return every if not every.empty else calendar

    def _resolve_securities(self):
        """The securities and futures asked, with their FIGIs; one quick lookup
        refuses a misspelt security before anything long is fetched."""
        options = self.options
        if self.given_bars is not None:
            return dict(options.securities or {}), dict(options.futures or {}), None
        securities = dict(DEFAULT_SECURITIES if options.securities is None else options.securities)
        futures = dict(DEFAULT_FUTURES if options.futures is None else options.futures)
        if not securities and not futures:
            raise StudyError("no security and no future to study")
        _need_service(self.services, "bloomberg.bquant.intraday", "intraday service")
        mapping = None
        if securities:
            from orvane_data.from_bqia import bar_kit

            mapping = bar_kit.get_id_mapping(securities)
            unknown = [name for name in securities if name not in set(mapping["custom"])]
            if unknown:
                raise StudyError("unknown security: " + ", ".join(f"{n}={securities[n][0]}" for n in unknown))
        priced = [f"{name} from {pcs}" for name, (_, pcs) in securities.items() if pcs]
        if priced:
            self.notes.add(f"pricing sources passed to the intraday service as given ({', '.join(priced)}); "
                           "the service does not confirm them", UserWarning, stacklevel=6)
        return securities, futures, mapping

    def _calendar(self):
        options = self.options
        if self.given_calendar is not None:
            self.steps("taking the releases of the calendar given")
            calendar = own_calendar(self.given_calendar, options.event_tz)
            calendar = _select_own_calendar(calendar, options, self.start, self.end)
            if self.start is None:
                days = calendar["event_date"]
                self.start, self.end = min(days).isoformat(), max(days).isoformat()
                self.period = f"{self.start} to {self.end}"
            return calendar
        _need_service(self.services, "bql", "calendar service")
        events = list(DEFAULT_EVENTS if options.events is None else options.events)
        self.steps(f"fetching the releases of {', '.join(events)}, {self.period_words}")
        return _fetch_calendar(options, events, self.start, self.end)

    @property
    def period_words(self) -> str:
        return f"years {self.period}" if self.options.years else self.period

    def _bars(self, securities, futures, calendars):
        """The bars: fetched, or given as a frame or as a dataset folder; a
        dataset (given, or written at ``bars_dataset``) is read for the
        windows of ``calendars`` only."""
        options = self.options
        if self.given_bars is not None:
            self.steps("taking the bars given")
            given = self.given_bars
            if isinstance(given, (str, os.PathLike)):
                given = _windows_of_dataset(os.fspath(given), calendars, options)
            bars = own_bars(given, options.bar_tz)
            names = list(dict.fromkeys(bars["key"]))
            wanted = list(securities) + list(futures)
            if wanted:
                missing = [n for n in wanted if n not in names]
                if missing:
                    raise StudyError(f"the bars given have no key {', '.join(missing)}; they hold {', '.join(names)}")
                bars, names = bars[bars["key"].isin(set(wanted))], wanted
            if bars.empty:
                raise StudyError("the bars given hold no bar")
            return bars, names
        import pandas as pd

        from orvane_data.from_bqia import bar_kit

        names = list(securities) + list(futures)
        self.steps(f"fetching bars of {', '.join(names)}")
        parts = [bar_kit.get_intraday_bars(securities, futures or None, first, last, tz=options.bar_tz)
                 for first, last in bar_spans(options, self.start, self.end)]
        bars = parts[0] if len(parts) == 1 else pd.concat(parts, ignore_index=True)
        if options.bars_dataset and not options.dask and not bars.empty:
            from orvane_data.bar_store import write_bars

            write_bars(bars, options.bars_dataset)
            bars = _windows_of_dataset(options.bars_dataset, calendars, options)
        return bars, names

    def _moves(self, bars, calendar, quiet: bool = False):
        from orvane_data.event_study import event_moves
        from orvane_data.from_bqia import bar_kit

        options = self.options
        steps = _NoSteps() if quiet else self.steps
        if options.dask:
            steps(f"cutting windows and computing the moves on Dask ({options.dask})")
            moves = _moves_on_dask(bars, calendar, options)
            windows = moves.drop(columns="move_bps")
            if options.base_minute != DEFAULT_BASE_MINUTE:
                moves = event_moves(windows, base_minute=options.base_minute)
            return windows, moves
        steps(f"cutting windows of minutes {options.pre} to {options.post} around {len(calendar)} releases")
        if not {"datetime", "key"} <= set(bars.columns):  # a service answer without a bar
            bars = bars.reindex(columns=list(bars.columns) + [c for c in ("datetime", "key") if c not in bars])
        windows = bar_kit.filter_bars_around_events(bars, calendar, options.pre, options.post)
        steps("computing the moves")
        return windows, event_moves(windows, base_minute=options.base_minute)

    def _say_what_matched_nothing(self, names, moves) -> None:
        """What the library calls cannot see one by one: a security with no
        bar in any window (event_moves sees only the windows that exist, and
        says itself which security is left without a move); said once,
        whoever says it first."""
        present = set(moves["key"])
        for name in names:  # in the library's own words (the Dask road cuts the windows out of its sight)
            if name not in present and not self.notes.mentions(name):
                self.notes.add(f"no bar of security '{name}' inside any event window", stacklevel=6)

    def _record(self, securities, futures, mapping, calendar, moves) -> dict:
        import orvane_data

        options = self.options
        figis = {} if mapping is None else dict(zip(mapping["custom"], mapping["figi"]))
        releases = moves.loc[moves["move_bps"].notna(), ["EVENT_NAME", "event_datetime"]].drop_duplicates()
        parameters = options.parameters()
        if options.events is None and self.given_calendar is None:
            parameters["events"] = list(DEFAULT_EVENTS)
        return {
            "command": None,
            "parameters": parameters,
            "period": {"start": self.start, "end": self.end,
                       "years": sorted(set(options.years)) if options.years else None,
                       "in_words": self.period,
                       "bars_fetched": None if self.given_bars is not None else
                       [list(s) for s in bar_spans(options, self.start, self.end)]},
            "securities": {name: {"parsekey": pk, "pricing_source": pcs, "figi": figis.get(name)}
                           for name, (pk, pcs) in securities.items()},
            "futures": {name: {"root": root, "yellow_key": yellow, "roll_offset_days": days}
                        for name, (root, yellow, days) in futures.items()},
            "baseline": {"minute": options.base_minute},
            "releases": int(len(calendar)),
            "releases_with_a_move": int(len(releases)),
            "services": dict(self.services),
            "package_version": orvane_data.__version__,
            "warnings": list(self.notes.texts),
            "files": [],
        }


class EventStudy:
    """An event study's answer: its tables, its headline, its figures and its files.

    Made by ``run_study``. Attributes:

    - ``calendar``: the releases studied;
    - ``windows``: the bars inside each release's window;
    - ``moves``: the windows with ``move_bps`` (and ``ema_<length>``);
    - ``summary``: by event kind, security and minute, the moves' mean with
      its t test and interval, quartiles, ``mean_abs_bps`` and
      ``mean_by_surprise_bps``;
    - ``response``: the move per standard deviation of surprise, every
      surprise released in a minute read together (None when the releases
      carry no surprise);
    - ``news``: the same response to good and bad news apart, with the test
      that the two slopes are equal;
    - ``concurrent``: each release and the other releases inside its window;
    - ``activity``: |one-minute return|, its variance and the volume against
      ordinary days at the same clock minutes (None without control days);
    - ``dropped``: each release and security without a move, and why;
    - ``record``: what ``run.json`` holds (a dict);
    - ``warnings``: what matched nothing, as text;
    - ``headline``: the table a reader looks at first.

    Parameters
    ----------
    options : StudyOptions
        What the study was asked, resolved.
    names : list of str
        The securities studied (kept in sorted order, as tables and figures
        show them).
    calendar, bars, windows, moves, summary, response, dropped : pandas.DataFrame
        The tables above (``response`` may be None).
    news, concurrent, activity : pandas.DataFrame, optional
        The tables of the evidence above.
    record : dict
        What ``run.json`` holds.
    warnings : list of str
        What matched nothing.

    Examples
    --------
    >>> import pandas as pd
    >>> from orvane_data.event_study import run_study
    >>> calendar = pd.DataFrame({"EVENT_NAME": "NFP", "ACTUAL": [275.0, 303.0, 175.0],
    ...                          "SURVEY_MEDIAN": [200.0, 214.0, 240.0],
    ...                          "event_datetime": ["2024-03-08 08:30-05:00", "2024-04-05 08:30-04:00",
    ...                                             "2024-05-03 08:30-04:00"]})
    >>> bars = pd.DataFrame({"key": "bund", "close": [131.20, 130.98, 130.10, 129.90, 129.40, 129.80],
    ...                      "datetime": ["2024-03-08 13:29Z", "2024-03-08 13:31Z", "2024-04-05 12:29Z",
    ...                                   "2024-04-05 12:31Z", "2024-05-03 12:29Z", "2024-05-03 12:31Z"]})
    >>> study = run_study(calendar=calendar, bars=bars, progress=False)
    >>> study.headline[["event", "security", "minute", "mean_bps", "releases"]]
      event security  minute   mean_bps  releases
    0   NFP     bund       1 -0.409727         3
    >>> print(study)  # doctest: +ELLIPSIS
    EventStudy: 1 event kind x 1 securities, 2024-03-08 to 2024-05-03 (query: own data, intraday: own data)
    ...
    """

    # (file or sheet name, attribute): the tables saved, in order
    TABLES = (("windows", "moves"), ("summary", "summary"), ("response", "response"), ("news", "news"),
              ("concurrent", "concurrent"), ("activity", "activity"), ("dropped", "dropped"))

    def __init__(self, *, options: StudyOptions, names, calendar, bars, windows, moves, summary, response, dropped,
                 record: dict, warnings: list[str], news=None, concurrent=None, activity=None) -> None:
        # in sorted order, as the tables and the figures show them
        self.options, self.names = options, sorted(names)
        self.calendar, self.bars, self.windows, self.moves = calendar, bars, windows, moves
        self.summary, self.response, self.dropped = summary, response, dropped
        self.news, self.concurrent, self.activity = news, concurrent, activity
        self.record, self.warnings = record, warnings

    # --- reading -----------------------------------------------------------------

    def tables(self) -> dict:
        """The tables saved, by file name (a table the study lacks is left out).

        Returns
        -------
        dict of str to pandas.DataFrame
            In the order of ``EventStudy.TABLES``.

        Examples
        --------
        >>> import pandas as pd
        >>> from orvane_data.event_study import run_study
        >>> calendar = pd.DataFrame({"EVENT_NAME": "NFP", "ACTUAL": [275.0, 303.0, 175.0],
        ...                          "SURVEY_MEDIAN": [200.0, 214.0, 240.0],
        ...                          "event_datetime": ["2024-03-08 08:30-05:00", "2024-04-05 08:30-04:00",
        ...                                             "2024-05-03 08:30-04:00"]})
        >>> bars = pd.DataFrame({"key": "bund", "close": [131.20, 130.98, 130.10, 129.90, 129.40, 129.80],
        ...                      "datetime": ["2024-03-08 13:29Z", "2024-03-08 13:31Z", "2024-04-05 12:29Z",
        ...                                   "2024-04-05 12:31Z", "2024-05-03 12:29Z", "2024-05-03 12:31Z"]})
        >>> study = run_study(calendar=calendar, bars=bars, progress=False)
        >>> list(study.tables())
        ['windows', 'summary', 'response', 'news', 'concurrent', 'activity', 'dropped']
        """
        return {name: getattr(self, attribute) for name, attribute in self.TABLES
                if getattr(self, attribute) is not None}

    @property
    def period(self) -> str:
        return self.record["period"]["in_words"]

    @property
    def minutes(self) -> list[int]:
        """The minutes the printed table shows: the first after the release and
        the window's end (a window that ends before the release shows its start)."""
        o = self.options
        return sorted({m for m in (1, o.post) if o.pre <= m <= o.post and m != o.base_minute}
                      or ({o.pre} - {o.base_minute}))

    @property
    def headline(self):
        """Per event kind and security at the first minute after the release:
        the mean move with its t and p, the response per σ of surprise with its
        t and p, and the number of releases with a move."""
        import pandas as pd

        keys = ["EVENT_NAME", "key"]
        minute = self.minutes[0]
        table = pd.DataFrame([(e, k) for e in sorted(set(self.calendar["EVENT_NAME"])) for k in self.names],
                             columns=keys)
        at = self.summary.loc[self.summary["time_diff"] == minute, keys + ["mean_bps", "t_stat", "p_value"]]
        table = table.merge(at.rename(columns={"t_stat": "t_mean", "p_value": "p_mean"}), on=keys, how="left")
        if self.response is not None:
            fit = self.response.loc[self.response["time_diff"] == minute,
                                    keys + ["beta_bps_per_sd", "t_stat", "p_value"]]
            table = table.merge(fit.rename(columns={"beta_bps_per_sd": "bps_per_sd", "t_stat": "t_per_sd",
                                                    "p_value": "p_per_sd"}), on=keys, how="left")
        measured = self.moves[self.moves["move_bps"].notna()]
        releases = measured.groupby(keys)["event_datetime"].nunique().rename("releases").reset_index()
        table = table.merge(releases, on=keys, how="left")
        table["releases"] = table["releases"].fillna(0).astype(int)
        table.insert(2, "minute", minute)
        return table.rename(columns={"EVENT_NAME": "event", "key": "security"})

    def table_text(self) -> str:
        """The command's printed table: the mean move at the first minute after
        the release with its t, at the window's end, the response per σ of
        surprise at that first minute with its t, and the releases with a move.

        Returns
        -------
        str
            The table under a line naming the baseline, and a legend.

        Examples
        --------
        >>> import pandas as pd
        >>> from orvane_data.event_study import run_study
        >>> calendar = pd.DataFrame({"EVENT_NAME": "NFP", "ACTUAL": [275.0, 303.0, 175.0],
        ...                          "SURVEY_MEDIAN": [200.0, 214.0, 240.0],
        ...                          "event_datetime": ["2024-03-08 08:30-05:00", "2024-04-05 08:30-04:00",
        ...                                             "2024-05-03 08:30-04:00"]})
        >>> bars = pd.DataFrame({"key": "bund", "close": [131.20, 130.98, 130.10, 129.90, 129.40, 129.80],
        ...                      "datetime": ["2024-03-08 13:29Z", "2024-03-08 13:31Z", "2024-04-05 12:29Z",
        ...                                   "2024-04-05 12:31Z", "2024-05-03 12:29Z", "2024-05-03 12:31Z"]})
        >>> study = run_study(calendar=calendar, bars=bars, progress=False)
        >>> print(study.table_text().splitlines()[0])
        Moves from the close of the last bar before the release (minute -1), in basis points:
        """
        import pandas as pd

        from orvane_data._plotting import baseline_words

        keys = ["EVENT_NAME", "key"]
        minutes = self.minutes
        summary, response = self.summary, self.response
        table = pd.DataFrame([(e, k) for e in sorted(set(self.calendar["EVENT_NAME"])) for k in self.names],
                             columns=keys)
        columns = {f"mean bp @{minutes[0]:+d}": ("mean_bps", summary), "t of mean": ("t_stat", summary)}
        columns.update({f"mean bp @{m:+d}": ("mean_bps", summary) for m in minutes[1:]})
        if response is not None:
            columns.update({f"bp per σ @{minutes[0]:+d}": ("beta_bps_per_sd", response),
                            "t of bp/σ": ("t_stat", response)})
        for title, (column, frame) in columns.items():
            minute = int(title.rsplit("@", 1)[1]) if "@" in title else minutes[0]
            at = frame.loc[frame["time_diff"] == minute, keys + [column]]
            table = table.merge(at.rename(columns={column: title}), on=keys, how="left")
        table = table.merge(self.headline[["event", "security", "releases"]]
                            .rename(columns={"event": "EVENT_NAME", "security": "key", "releases": "events"}),
                            on=keys, how="left")
        table = table.rename(columns={"EVENT_NAME": "event", "key": "security"})
        text = table.to_string(index=False, float_format=lambda v: f"{v:8.2f}", na_rep="     n/a")
        legend = ("t: the estimate over its standard error (|t| above 2: beyond noise at about 95%)"
                  + ("; bp per σ: the move per standard deviation of the release's surprise"
                     if response is not None else ""))
        return f"{baseline_words(self.options.base_minute).capitalize()}, in basis points:\n{text}\n{legend}"

    def concurrency_text(self) -> str:
        """How many windows hold another release, and what was done with them.

        Returns
        -------
        str
            One line, as the command prints it.

        Examples
        --------
        >>> import pandas as pd
        >>> from orvane_data.event_study import run_study
        >>> calendar = pd.DataFrame({"EVENT_NAME": ["NFP", "UR"], "surprise": [1.0, -0.1],
        ...                          "event_datetime": ["2024-03-08 08:30-05:00"] * 2})
        >>> bars = pd.DataFrame({"key": "bund", "close": [131.2, 130.9],
        ...                      "datetime": ["2024-03-08 13:29Z", "2024-03-08 13:31Z"]})
        >>> run_study(calendar=calendar, bars=bars, progress=False).concurrency_text()  # doctest: +ELLIPSIS
        '2 of 2 release windows hold another release (concurrent.csv names them; ...)'
        """
        if self.concurrent is None:
            return ""
        facts = self.record.get("concurrent", {})
        shared = facts.get("windows_holding_another_release", 0)
        text = f"{shared} of {facts.get('releases', len(self.concurrent))} release windows hold another release"
        if facts.get("left_out"):
            text += f"; {facts['left_out']} releases left out of every table (concurrent='drop')"
        elif shared:
            text += " (concurrent.csv names them; the response reads the surprises of one minute together)"
        return text

    def _services_words(self) -> str:
        services = self.record["services"]
        return f"query: {services.get('bql')}, intraday: {services.get('bloomberg.bquant.intraday')}"

    def __repr__(self) -> str:
        head = self.headline
        kinds = head["event"].nunique()
        lines = [f"EventStudy: {kinds} event kind{'s' * (kinds != 1)} x {len(self.names)} securities, "
                 f"{self.period} ({self._services_words()})",
                 f"{self.record['releases_with_a_move']} of {self.record['releases']} releases have a move; "
                 f"at minute {self.minutes[0]:+d} ({self._marks_words()}):"]
        shown = head.drop(columns=["minute", "t_mean", "p_mean", "t_per_sd", "p_per_sd"], errors="ignore")
        shown = shown.assign(**self._marked(head))
        lines.append(shown.to_string(index=False, na_rep="n/a"))
        lines += [f"warning: {w}" for w in self.warnings]
        return "\n".join(lines)

    def _marks_words(self) -> str:
        return f"* beyond noise at {self.options.confidence:.0%}"

    def _marked(self, head) -> dict:
        """Mean and response as text, a star where the test rejects no move."""
        alpha = 1 - self.options.confidence

        def mark(value, t, p):
            return ["n/a" if v != v else f"{v:.2f} (t {_number(tv, '.1f')}){'*' if pv < alpha else ''}"
                    for v, tv, pv in zip(value, t, p)]

        columns = {"mean_bps": mark(head["mean_bps"], head["t_mean"], head["p_mean"])}
        if "bps_per_sd" in head.columns:
            columns["bps_per_sd"] = mark(head["bps_per_sd"], head["t_per_sd"], head["p_per_sd"])
        return columns

    def _repr_html_(self) -> str:
        head = self.headline
        alpha = 1 - self.options.confidence
        cells = []
        for _, row in head.iterrows():
            cell = [html.escape(str(row["event"])), html.escape(str(row["security"]))]
            for value, t, p in (("mean_bps", "t_mean", "p_mean"), ("bps_per_sd", "t_per_sd", "p_per_sd")):
                if value not in head.columns:
                    continue
                if row[value] != row[value]:
                    cell += ["n/a", ""]
                    continue
                strong = row[p] < alpha
                number = f"{row[value]:.2f}{'*' if strong else ''}"
                cell += [f"<b>{number}</b>" if strong else number, _number(row[t], ".2f")]
            cell.append(str(row["releases"]))
            cells.append("<tr>" + "".join(f"<td>{c}</td>" for c in cell) + "</tr>")
        titles = ["event", "security", f"mean bp @{self.minutes[0]:+d}", "t"]
        if "bps_per_sd" in head.columns:
            titles += [f"bp per σ @{self.minutes[0]:+d}", "t"]
        titles.append("releases")
        header = "".join(f"<th>{html.escape(t)}</th>" for t in titles)
        notes = "".join(f"<li>{html.escape(w)}</li>" for w in self.warnings)
        return (
            '<div class="orvane-event-study">'
            f"<p><b>Event study</b>, {html.escape(self.period)}; services: {html.escape(self._services_words())}; "
            f"{self.record['releases_with_a_move']} of {self.record['releases']} releases have a move.</p>"
            f'<table class="headline"><thead><tr>{header}</tr></thead><tbody>{"".join(cells)}</tbody></table>'
            f"<p><small>{html.escape(self._marks_words())} (two-sided test at the first minute after the "
            f"release; t: the estimate over its standard error)</small></p>"
            + (f"<ul>{notes}</ul>" if notes else "") + "</div>"
        )

    # --- drawing -----------------------------------------------------------------

    def plot(self, event: Optional[str] = None, *, min_count: Optional[int] = None, quartiles: bool = False):
        """The command's figure of one event kind, or with ``event`` None a dict
        of the figures of every event kind by name.

        Parameters
        ----------
        event : str, optional
            The event kind (its ``EVENT_NAME``).
        min_count : int, optional
            Minutes where fewer releases have a move are left out of the lines
            (default: half of the event kind's releases).
        quartiles : bool, default False
            Also shade the quartiles of the moves.

        Returns
        -------
        matplotlib.figure.Figure or dict of str to Figure

        Examples
        --------
        >>> import pandas as pd
        >>> from orvane_data.event_study import run_study
        >>> calendar = pd.DataFrame({"EVENT_NAME": "NFP", "ACTUAL": [275.0, 303.0, 175.0],
        ...                          "SURVEY_MEDIAN": [200.0, 214.0, 240.0],
        ...                          "event_datetime": ["2024-03-08 08:30-05:00", "2024-04-05 08:30-04:00",
        ...                                             "2024-05-03 08:30-04:00"]})
        >>> bars = pd.DataFrame({"key": "bund", "close": [131.20, 130.98, 130.10, 129.90, 129.40, 129.80],
        ...                      "datetime": ["2024-03-08 13:29Z", "2024-03-08 13:31Z", "2024-04-05 12:29Z",
        ...                                   "2024-04-05 12:31Z", "2024-05-03 12:29Z", "2024-05-03 12:31Z"]})
        >>> study = run_study(calendar=calendar, bars=bars, progress=False)
        >>> import matplotlib.pyplot as plt
        >>> figures = study.plot()
        >>> list(figures), figures["NFP"].get_suptitle().splitlines()[0]
        (['NFP'], 'NFP — 2024-03-08 to 2024-05-03: 3 releases')
        >>> plt.close("all")
        """
        from orvane_data._plotting import plot_moves

        def one(kind):
            return plot_moves(self.summary, kind, period=self.period, base_minute=self.options.base_minute,
                              min_count=min_count, quartiles=quartiles, response=self.response,
                              activity=self.activity, confidence=self.options.confidence)

        if event is not None:
            return one(event)
        return {kind: one(kind) for kind in sorted(set(self.summary["EVENT_NAME"]))}

    # --- files -----------------------------------------------------------------------

    def save(self, folder, format: str = "csv", plots: bool = True, report: bool = True, *,
             min_count: Optional[int] = None, quartiles: bool = False, progress: Any = None) -> list[Path]:
        """Writes the tables, the figures, ``report.html`` and ``run.json`` into ``folder``.

        The files are written into a scratch folder and moved into place at
        the end, so an interrupted run leaves nothing that looks complete.
        A file an earlier save listed in its ``run.json`` is removed first
        only when its content still matches the size and SHA-256 recorded
        there; anything else in the folder (a file edited since, a file it
        never wrote, a link, a name outside the folder) is kept, and a
        warning says what was kept. A kept file in the way of a new one is
        renamed ``<name>.kept<suffix>``.

        Parameters
        ----------
        folder : str or path
        format : {"csv", "parquet", "xlsx"}, default "csv"
            One file per table, or one workbook (``event_study.xlsx``) with a
            sheet per table (needs ``pip install 'orvane_data[xlsx]'``).
        plots : bool, default True
            One PNG per event kind (needs matplotlib; without it a warning
            says so and the tables are still written).
        report : bool, default True
            ``report.html``, one page to share.
        min_count, quartiles
            As in ``plot``.
        progress : callable, optional
            Called with each step's text.

        Returns
        -------
        list of pathlib.Path
            The files written, run.json last.

        Examples
        --------
        >>> import pandas as pd
        >>> from orvane_data.event_study import run_study
        >>> calendar = pd.DataFrame({"EVENT_NAME": "NFP", "ACTUAL": [275.0, 303.0, 175.0],
        ...                          "SURVEY_MEDIAN": [200.0, 214.0, 240.0],
        ...                          "event_datetime": ["2024-03-08 08:30-05:00", "2024-04-05 08:30-04:00",
        ...                                             "2024-05-03 08:30-04:00"]})
        >>> bars = pd.DataFrame({"key": "bund", "close": [131.20, 130.98, 130.10, 129.90, 129.40, 129.80],
        ...                      "datetime": ["2024-03-08 13:29Z", "2024-03-08 13:31Z", "2024-04-05 12:29Z",
        ...                                   "2024-04-05 12:31Z", "2024-05-03 12:29Z", "2024-05-03 12:31Z"]})
        >>> study = run_study(calendar=calendar, bars=bars, progress=False)
        >>> import tempfile
        >>> folder = tempfile.mkdtemp()
        >>> [path.name for path in study.save(folder, plots=False, report=False)]  # doctest: +NORMALIZE_WHITESPACE
        ['windows.csv', 'summary.csv', 'response.csv', 'news.csv', 'concurrent.csv', 'activity.csv',
         'dropped.csv', 'run.json']
        """
        if format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, got {format!r}")
        if format == "xlsx":
            _openpyxl()
        steps = _steps(progress or False, 2)
        out = Path(folder)
        out.mkdir(parents=True, exist_ok=True)
        scratch = Path(tempfile.mkdtemp(prefix=".partial-", dir=out))
        if self.record.get("command") is None:  # made in a notebook: the call says what was run
            self.record["command"] = ["orvane_data.event_study.run_study", *self._call_words()]
        self.record["written_at"] = dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds")
        try:
            steps(f"writing the tables to {folder}")
            files = self._write_tables(scratch, format, steps)
            if report:
                try:
                    files.append(self._report(scratch))
                except ImportError as exc:  # jinja2 comes with the plot extra
                    warnings.warn(f"{exc}: no report page.", FolderNote, stacklevel=2)
            if plots:
                steps("plotting")
                try:
                    files += self._write_plots(scratch, min_count, quartiles)
                except ImportError:
                    warnings.warn("matplotlib is not installed: no plots. Install it with "
                                  "`pip install 'orvane_data[plot]'`.", FolderNote, stacklevel=2)
            record = dict(self.record, files=sorted(p.name for p in files) + ["run.json"],
                          files_written={p.name: _fingerprint(p) for p in sorted(files)})
            (scratch / "run.json").write_text(json.dumps(record, indent=2, default=str) + "\n")
            final, kept = replace_outputs(out, files + [scratch / "run.json"])
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        if kept:
            warnings.warn(kept, FolderNote, stacklevel=2)
        return final

    def _call_words(self) -> list[str]:
        defaults = StudyOptions()
        return [f"{f.name}={getattr(self.options, f.name)!r}" for f in dataclasses.fields(StudyOptions)
                if getattr(self.options, f.name) != getattr(defaults, f.name)]

    def _write_tables(self, folder: Path, fmt: str, steps) -> list[Path]:
        tables = {name: _storable(frame) for name, frame in self.tables().items()}
        if fmt == "xlsx":
            return [_write_workbook(tables, folder / WORKBOOK)]
        return [_write_table(frame, folder / name, fmt, steps) for name, frame in tables.items()]

    def _write_plots(self, folder: Path, min_count, quartiles) -> list[Path]:
        import matplotlib

        if "matplotlib.pyplot" not in sys.modules:
            matplotlib.use("Agg")  # files only: no window, whatever the session's default
        import matplotlib.pyplot as plt

        written = []
        for event in sorted(set(self.summary["EVENT_NAME"])):
            fig = self.plot(event, min_count=min_count, quartiles=quartiles)
            path = folder / f"plot_{slug(event)}.png"
            fig.savefig(path, dpi=110)
            plt.close(fig)
            written.append(path)
        return written

    def _report(self, folder: Path) -> Path:
        from orvane_data._report import report_html

        path = folder / "report.html"
        path.write_text(report_html(self), encoding="utf-8")
        return path


def _number(value, layout: str) -> str:
    return "n/a" if value != value else format(value, layout)
