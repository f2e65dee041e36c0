"""Pictures of an event study's summary, drawn with matplotlib.

Bound into ``orvane_data.event_study`` as ``plot_moves``; it only drives
matplotlib, which is an optional extra imported when a picture is drawn.

Every panel carries its uncertainty: the mean move its interval, the
response per σ of surprise its interval, the activity against ordinary days
its test minute by minute. Statistics without one (the mean size of the
moves, the moves signed by the surprise) stay in the tables and are not
drawn: a bare line reads as a finding. The signed mean in particular gives
way to the response: it weighs every release alike whatever the size of its
surprise, so when positive and negative surprises are unbalanced it picks
up the average move of all releases and can point the other way than the
response does.
"""

from __future__ import annotations

import math

INTERVAL = ("ci_low_bps", "ci_high_bps")
MEAN_LABEL = "mean move\n(bp)"
RESPONSE_LABEL = "move per σ of surprise\n(bp per σ)"
ACTIVITY_LABEL = "|1-minute return| against\nordinary days (ratio)"
DEFAULT_MIN_SHARE = 0.5
MARKED_MINUTES = 40  # longer windows draw bare lines: markers would hide them
NEUTRAL = "grey"
ONE_LABEL = "1: as on ordinary days"
NEUTRAL_LABELS = ("fewer than", ONE_LABEL)  # marks drawn alike in every column: one swatch


def baseline_words(base_minute: int = -1) -> str:
    """The baseline of the moves as a quant reads it."""
    if base_minute == -1:
        return "moves from the close of the last bar before the release (minute -1)"
    return f"moves from the close of the bar at minute {base_minute:+d}"


def period_words(period) -> str:
    """The period as a title shows it: "2023" or "2022, 2023" for whole
    calendar years (the command words them "years 2023"), dates as given."""
    text = str(period).strip()
    for prefix in ("years ", "year "):
        if text.lower().startswith(prefix):
            return text[len(prefix):].strip()
    return text


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("plot_moves needs matplotlib: pip install 'orvane_data[plot]'") from exc
    return plt


def plot_moves(summary, event=None, *, period=None, base_minute=-1, min_count=None, quartiles=True, response=None,
               confidence=0.95, activity=None):
    """One figure of the moves around one event kind: a column of panels per security.

    Parameters
    ----------
    summary : pandas.DataFrame
        The frame of ``summarize_moves`` (columns ``EVENT_NAME``, ``key``,
        ``time_diff``, ``mean_bps``, ``q25_bps``, ``q75_bps``, ``count``, and
        ``ci_low_bps`` and ``ci_high_bps`` for the interval of the mean),
        for one or more event kinds. Its other columns (the mean size, the
        moves signed by the surprise) are not drawn: they have no interval.
    event : str, optional
        The event kind to draw; may be left out when the summary holds one.
    period : str, optional
        The period studied, shown in the title ("2022-06-01 to 2024-05-31";
        whole years as "2023", also when given as "years 2023").
    base_minute : int, default -1
        The baseline minute the moves were measured from, named under the
        title.
    min_count : int, optional
        Minutes where fewer events than this have a move are left out of the
        lines and drawn as hollow grey markers. Default: half of the event
        kind's releases (its largest ``count``), so that a lone event on a long
        window does not read as a plateau.
    quartiles : bool, default True
        Shade the quartiles of the signed moves (lighter than the interval of
        the mean).
    response : pandas.DataFrame, optional
        The frame of ``surprise_response`` with the same grouping: adds a row
        of panels of the move per standard deviation of surprise, with its
        interval.
    confidence : float, default 0.95
        The level the intervals were computed at, named in the legend; the
        activity row marks the minutes whose test is beyond ``1 - confidence``.
    activity : pandas.DataFrame, optional
        The frame of ``abnormal_activity`` (``EVENT_NAME``, ``key``,
        ``time_diff``, ``abs_ratio``, ``n``, ``p_value``): adds a row of
        panels of the mean size of the one-minute returns over that of
        ordinary days at the same clock minute, on a log scale with 1 (no
        difference) marked; minutes whose Mann-Whitney test is not beyond
        ``1 - confidence`` are hollow.

    Returns
    -------
    matplotlib.figure.Figure
        Panels share their axes row by row, securities in sorted order left
        to right; the title gives the event, the period and the number of
        releases; the legend shows each meaning in every security's colour.

    Raises
    ------
    ImportError
        When matplotlib is not installed.
    ValueError
        When ``event`` is not in the summary, or is left out and the summary
        holds several event kinds.

    Examples
    --------
    >>> import matplotlib.pyplot as plt
    >>> import pandas as pd
    >>> from orvane_data import event_study
    >>> moves = pd.DataFrame({"EVENT_NAME": "NFP", "key": "spx", "time_diff": [-1, 0, 1] * 2,
    ...                       "move_bps": [0.0, 100.0, -100.0, 0.0, -50.0, 100.0]})
    >>> fig = event_study.plot_moves(event_study.summarize_moves(moves), period="years 2024")
    >>> fig.get_suptitle().splitlines()[0], len(fig.axes)  # one row: the mean move with its interval
    ('NFP — 2024: 2 releases', 1)
    >>> plt.close(fig)
    """
    plt = _pyplot()

    events = list(dict.fromkeys(summary["EVENT_NAME"]))
    if event is None:
        if len(events) != 1:
            raise ValueError(f"plot_moves: name the event kind to draw, one of {events}")
        event = events[0]
    rows = summary[summary["EVENT_NAME"] == event]
    if rows.empty:
        raise ValueError(f"plot_moves: no event kind {event!r} in the summary; it holds {events}")
    n_events = int(rows["count"].max())
    if min_count is None:
        min_count = max(1, math.ceil(DEFAULT_MIN_SHARE * n_events))
    responses = None if response is None else response[response["EVENT_NAME"] == event]
    activities = None if activity is None else activity[activity["EVENT_NAME"] == event]
    # the summary's order: securities sorted by name, as in its tables
    keys = sorted(rows["key"].unique(), key=str)

    drawers = [_MeanRow(rows, quartiles)]
    if responses is not None:
        drawers.append(_ResponseRow(responses))
    if activities is not None:
        drawers.append(_ActivityRow(activities, 1 - confidence))
    fig, axes = plt.subplots(len(drawers), len(keys), sharex=True, sharey="row", squeeze=False,
                             figsize=(1.6 + 3.2 * len(keys), 1.5 + 2.6 * len(drawers)))
    level = f"{confidence:.0%} interval"
    marked = rows["time_diff"].nunique() <= MARKED_MINUTES
    legend = {}  # label -> one handle per security (or one for a neutral mark)
    for col, key in enumerate(keys):
        colour = f"C{col}"
        for ax, drawer in zip(axes[:, col], drawers):
            drawer.draw(ax, key, colour=colour, level=level, min_count=min_count, marked=marked)
            if col == 0:
                ax.set_ylabel(drawer.label)
            for handle, label in zip(*ax.get_legend_handles_labels()):
                handles = legend.setdefault(label, [])
                if not label.startswith(NEUTRAL_LABELS) or not handles:
                    handles.append(handle)
        axes[0][col].set_title(str(key))
        axes[-1][col].set_xlabel("minutes from the release")
    for ax in axes.flat:
        _frame_panel(ax)

    height = fig.get_figheight()
    when = f" — {period_words(period)}" if period else ""
    title = fig.suptitle(f"{event}{when}: {n_events} releases\n{baseline_words(base_minute)}", fontsize=10.5,
                         y=1 - 0.08 / height, va="top")
    _figure_legend(fig, legend, title)
    return fig


class _MeanRow:
    """The mean move with the interval of the mean (and the quartiles on request)."""

    label = MEAN_LABEL

    def __init__(self, rows, quartiles):
        self.rows, self.quartiles = rows, quartiles

    def draw(self, ax, key, *, colour, level, min_count, marked):
        line = self.rows[self.rows["key"] == key].sort_values("time_diff")
        if line.empty:
            return
        enough = line["count"] >= min_count
        ax.plot(line["time_diff"], line["mean_bps"].where(enough), color=colour, label="mean",
                marker="o" if marked else None, markersize=3)
        if set(INTERVAL) <= set(line.columns):
            ax.fill_between(line["time_diff"], line[INTERVAL[0]].where(enough), line[INTERVAL[1]].where(enough),
                            color=colour, alpha=0.3, linewidth=0, label=f"{level} of the mean")
        if self.quartiles:
            ax.fill_between(line["time_diff"], line["q25_bps"].where(enough), line["q75_bps"].where(enough),
                            color=colour, alpha=0.1, linewidth=0, label="quartiles")
        _thin_minutes(ax, line["time_diff"], line["mean_bps"], enough, min_count)
        ax.axhline(0, color=NEUTRAL, linewidth=0.8)


class _ResponseRow:
    """The response per standard deviation of surprise, with its interval."""

    label = RESPONSE_LABEL

    def __init__(self, responses):
        self.responses = responses

    def draw(self, ax, key, *, colour, level, min_count, marked):
        fit = self.responses[self.responses["key"] == key].sort_values("time_diff")
        if fit.empty:
            return
        enough = fit["n"] >= min_count
        ax.plot(fit["time_diff"], fit["beta_bps_per_sd"].where(enough), color=colour, linestyle="--",
                label="response per σ", marker="o" if marked else None, markersize=3)
        ax.fill_between(fit["time_diff"], fit["ci_low_bps_per_sd"].where(enough),
                        fit["ci_high_bps_per_sd"].where(enough), color=colour, alpha=0.3, linewidth=0,
                        label=f"{level} of the response")
        _thin_minutes(ax, fit["time_diff"], fit["beta_bps_per_sd"], enough, min_count)
        ax.axhline(0, color=NEUTRAL, linewidth=0.8)


class _ActivityRow:
    """The mean |one-minute return| over ordinary days' at the same clock
    minute, on a log scale (twice and half as far from 1), with 1 marked;
    minutes whose test does not reach the level hollow."""

    label = ACTIVITY_LABEL

    def __init__(self, activities, alpha):
        self.activities, self.alpha = activities, alpha

    def draw(self, ax, key, *, colour, level, min_count, marked):
        from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

        ax.set_yscale("log")
        ax.yaxis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.axhline(1, color=NEUTRAL, linewidth=1.0, linestyle=":", label=ONE_LABEL)
        rows = self.activities[self.activities["key"] == key].sort_values("time_diff")
        if rows.empty:
            return
        ratio = rows["abs_ratio"].astype(float)
        # a ratio of zero or without a control has no place on a log scale
        shown = ratio.where((ratio > 0) & (ratio < math.inf) & (rows["n"] >= min_count))
        ax.plot(rows["time_diff"], shown, color=colour, label="|return| over ordinary days' (ratio)",
                marker="o" if marked else None, markersize=3.5)
        quiet = shown.notna() & ~(rows["p_value"] < self.alpha)
        if quiet.any():
            ax.plot(rows["time_diff"][quiet], shown[quiet], linestyle="none", marker="o", markersize=4.5,
                    markerfacecolor="white", color=colour,
                    label=f"not beyond ordinary days (Mann-Whitney p ≥ {self.alpha:g})")


def _thin_minutes(ax, minutes, values, enough, min_count):
    if not enough.all():
        ax.plot(minutes[~enough], values[~enough], linestyle="none", marker="o", markersize=4,
                markerfacecolor="none", color=NEUTRAL, label=f"fewer than {min_count} releases")


def _frame_panel(ax):
    """Whole minutes and the release marked."""
    from matplotlib.ticker import MaxNLocator

    ax.xaxis.set_major_locator(MaxNLocator(integer=True))  # minutes are whole
    ax.axvline(0, color=NEUTRAL, linewidth=0.8)


def _legend_columns(fig, legend):
    """As many entries to a line as the figure's width takes, measured as drawn."""
    renderer = fig.canvas.get_renderer()
    probe = fig.legend(*_entries(legend), fontsize=8, ncols=1, frameon=False, **_LEGEND_STYLE(legend))
    widths = sorted((text.get_window_extent(renderer).width for text in probe.get_texts()), reverse=True)
    probe.remove()
    room = fig.bbox.width * 0.95
    swatch = 8 / 72 * fig.dpi * (_LEGEND_STYLE(legend)["handlelength"] + 2.5)
    columns = len(widths)
    while columns > 1 and sum(widths[:columns]) + swatch * columns > room:
        columns -= 1
    return columns


def _entries(legend):
    return [tuple(h) if len(h) > 1 else h[0] for h in legend.values()], list(legend.keys())


def _LEGEND_STYLE(legend):  # noqa: N802
    from matplotlib.legend_handler import HandlerTuple

    return {"handler_map": {tuple: HandlerTuple(ndivide=None, pad=0.2)},
            "handlelength": max(2.0, 1.4 * max(len(h) for h in legend.values()))}


def _figure_legend(fig, legend, title):
    """One legend for the figure under the title (a line, band or marker
    means the same in every panel), each entry in every security's colour;
    the panels laid out in the room left below it."""
    renderer = fig.canvas.get_renderer()
    top = title.get_window_extent(renderer).y0 / fig.bbox.height
    if legend:
        shown = fig.legend(*_entries(legend), loc="upper center", bbox_to_anchor=(0.5, top - 0.01), fontsize=8,
                           ncols=_legend_columns(fig, legend), frameon=False, **_LEGEND_STYLE(legend))
        top = shown.get_window_extent(renderer).y0 / fig.bbox.height
    fig.tight_layout(rect=(0, 0, 1, top - 0.005))
    # tight_layout leaves room of its own above the panels' titles: give it back
    titles = max(ax.get_tightbbox(renderer).y1 for ax in fig.axes) / fig.bbox.height
    fig.subplots_adjust(top=fig.subplotpars.top + (top - 0.01 - titles))
