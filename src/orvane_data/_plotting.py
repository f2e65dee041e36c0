"""Pictures of an event study's summary, drawn with matplotlib.

Bound into ``orvane_data.event_study`` as ``plot_moves``; it only drives
matplotlib, which is an optional extra imported when a picture is drawn.
"""

from __future__ import annotations

import math

# Rows of panels: the summary column drawn, its y-axis label, and whether it
# takes the quartile band. A row is drawn when the summary has its column;
# the interval of the mean is drawn where the summary has it.
VIEWS = (
    ("mean_bps", "mean move (bp)", True),
    ("mean_abs_bps", "mean size of the move (bp)", False),
    ("mean_by_surprise_bps", "mean move signed by\nthe surprise (bp)", False),
)
INTERVAL = ("ci_low_bps", "ci_high_bps")
RESPONSE_LABEL = "move per σ of surprise\n(bp per σ)"
DEFAULT_MIN_SHARE = 0.5
MARKED_MINUTES = 40  # longer windows draw bare lines: markers would hide them


def baseline_words(base_minute: int = -1) -> str:
    """The baseline of the moves as a quant reads it."""
    if base_minute == -1:
        return "moves from the close of the last bar before the release (minute -1)"
    return f"moves from the close of the bar at minute {base_minute:+d}"


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("plot_moves needs matplotlib: pip install 'orvane_data[plot]'") from exc
    return plt


def plot_moves(summary, event=None, *, period=None, base_minute=-1, min_count=None, quartiles=True, response=None,
               confidence=0.95):
    """One figure of the moves around one event kind: a column of panels per security.

    Parameters
    ----------
    summary : pandas.DataFrame
        The frame of ``summarize_moves`` (columns ``EVENT_NAME``, ``key``,
        ``time_diff``, ``mean_bps``, ``q25_bps``, ``q75_bps``, ``count``), for
        one or more event kinds. ``mean_abs_bps`` adds a row of panels of the
        size of the moves, and ``mean_by_surprise_bps`` (moves times the sign
        of each release's surprise) one of the moves signed by surprise.
    event : str, optional
        The event kind to draw; may be left out when the summary holds one.
    period : str, optional
        The period studied, shown in the title ("2022-06-01 to 2024-05-31").
    base_minute : int, default -1
        The baseline minute the moves were measured from, named on the
        y-axis.
    min_count : int, optional
        Minutes where fewer events than this have a move are left out of the
        line and drawn as hollow grey markers. Default: half of the event
        kind's releases (its largest ``count``), so that a lone event on a long
        window does not read as a plateau.
    quartiles : bool, default True
        Shade the quartiles of the signed moves (lighter than the interval of
        the mean, which is shaded where the summary has ``ci_low_bps`` and
        ``ci_high_bps``).
    response : pandas.DataFrame, optional
        The frame of ``surprise_response`` with the same grouping: adds a row
        of panels of the move per standard deviation of surprise, with its
        interval.
    confidence : float, default 0.95
        The level the intervals were computed at, named in the legend.

    Returns
    -------
    matplotlib.figure.Figure
        Panels share their axes row by row; the title gives the event, the
        period and the number of releases.

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
    >>> fig = event_study.plot_moves(event_study.summarize_moves(moves), period="2024")
    >>> fig.get_suptitle(), len(fig.axes)  # a row of signed moves, a row of their sizes
    ('NFP — 2024: 2 releases', 2)
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
    views = [view for view in VIEWS if view[0] in rows.columns]
    responses = None if response is None else response[response["EVENT_NAME"] == event]
    keys = sorted(rows["key"].unique(), key=str)

    n_rows = len(views) + (responses is not None)
    fig, axes = plt.subplots(n_rows, len(keys), sharex=True, sharey="row", squeeze=False,
                             figsize=(1.5 + 3.2 * len(keys), 1.2 + 2.6 * n_rows))
    level = f"{confidence:.0%} interval"
    for col, key in enumerate(keys):
        line = rows[rows["key"] == key].sort_values("time_diff")
        _draw_moves(axes[:, col], line, views, min_count, quartiles, level, colour=f"C{col}", first=col == 0)
        if responses is not None:
            fit = responses[responses["key"] == key].sort_values("time_diff")
            _draw_response(axes[-1][col], fit, level, colour=f"C{col}", first=col == 0, marked=len(line))
        axes[0][col].set_title(str(key))
        axes[-1][col].set_xlabel("minutes from the release")
    # one legend for the figure: the meaning of a line, band or hollow marker is the same in every panel
    legend = {}
    for ax in fig.axes:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            legend.setdefault(label, handle)
    when = f" — {period}" if period else ""
    height = fig.get_figheight()
    fig.suptitle(f"{event}{when}: {n_events} releases", fontsize=11, y=1 - 0.1 / height)
    fig.legend(legend.values(), legend.keys(), loc="upper center", bbox_to_anchor=(0.5, 1 - 0.4 / height),
               fontsize=8, ncols=len(legend), frameon=False)
    fig.supylabel(f"{baseline_words(base_minute)}, in basis points", fontsize=9)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.6 / height))
    return fig


def _draw_moves(column_axes, line, views, min_count, quartiles, level, *, colour, first):
    """One security's column of panels: each view's mean line, the interval
    of the mean and the quartiles on the signed moves, thin minutes hollow."""
    enough = line["count"] >= min_count
    marker = "o" if len(line) <= MARKED_MINUTES else None
    for ax, (column, label, banded) in zip(column_axes, views):
        ax.plot(line["time_diff"], line[column].where(enough), color=colour, label="mean", marker=marker,
                markersize=3)
        if banded and set(INTERVAL) <= set(line.columns):
            ax.fill_between(line["time_diff"], line[INTERVAL[0]].where(enough), line[INTERVAL[1]].where(enough),
                            color=colour, alpha=0.3, linewidth=0, label=f"{level} of the mean")
        if banded and quartiles:
            ax.fill_between(line["time_diff"], line["q25_bps"].where(enough), line["q75_bps"].where(enough),
                            color=colour, alpha=0.1, linewidth=0, label="quartiles")
        if not enough.all():
            ax.plot(line["time_diff"][~enough], line[column][~enough], linestyle="none", marker="o",
                    markersize=4, markerfacecolor="none", color="grey", label=f"fewer than {min_count} releases")
        _frame_panel(ax, label if first else None)


def _draw_response(ax, fit, level, *, colour, first, marked):
    """One security's response per standard deviation of surprise, with its interval."""
    ax.plot(fit["time_diff"], fit["beta_bps_per_sd"], color=colour, linestyle="--", label="response per σ",
            marker="o" if marked <= MARKED_MINUTES else None, markersize=3)
    ax.fill_between(fit["time_diff"], fit["ci_low_bps_per_sd"], fit["ci_high_bps_per_sd"], color=colour,
                    alpha=0.3, linewidth=0, label=f"{level} of the response")
    _frame_panel(ax, RESPONSE_LABEL if first else None)


def _frame_panel(ax, label):
    """Whole minutes, the release and zero marked, the label in the first column."""
    from matplotlib.ticker import MaxNLocator

    ax.xaxis.set_major_locator(MaxNLocator(integer=True))  # minutes are whole
    ax.axvline(0, color="grey", linewidth=0.8)
    ax.axhline(0, color="grey", linewidth=0.8)
    if label:
        ax.set_ylabel(label)
