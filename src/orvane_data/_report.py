"""The report page of an event study: one HTML file to read and share.

Self-contained: styles inline, figures as inline SVG (text drawn as paths,
so no font is fetched), no script and no address of anything outside the
file, so it reads the same from a mail attachment, a shared drive or a
browser without network. It only presents what the study computed; jinja2
lays out the page and matplotlib draws the figures (the ``plot`` extra).
"""

from __future__ import annotations

import io
import json
import math
import re

import numpy as np
import pandas as pd

from orvane_data._plotting import period_words

# securities side by side in one figure: more would shrink the panels below
# reading on a page 1,280 pixels wide
PER_FIGURE = 4
# figures per event kind: the page stays light to open and to mail; the
# tables hold every security
MAX_FIGURES = 6
T_MARK = 2.0  # |t| above it: beyond noise at about 95%, as the command's table says
KEYS = ["EVENT_NAME", "key", "time_diff"]
# columns whose value is a probability: shown with three significant digits
P_COLUMNS = ("p_value", "sign_p_value", "p_equal")


def _jinja():
    try:
        import jinja2
    except ImportError as exc:
        raise ImportError("the report page needs jinja2 and matplotlib: pip install 'orvane_data[plot]'") from exc
    return jinja2


def report_html(study) -> str:
    """The report page of a study, as one self-contained HTML text.

    Parameters
    ----------
    study : object
        The study: ``record`` (what ``run.json`` holds), ``summary``,
        ``response`` (or None), ``dropped``, ``headline``, ``calendar``, and
        where the study has them ``concurrent`` and ``activity``.

    Returns
    -------
    str
        The page: what was run, the data's quality, the headline table, then
        for each event kind its figure and its tables (folded).

    Raises
    ------
    ImportError
        When jinja2 is not installed; without matplotlib the page is written
        with its tables and says how to get the figures.
    """
    jinja2 = _jinja()
    record = study.record
    summary = study.summary
    response = getattr(study, "response", None)
    activity = getattr(study, "activity", None)
    concurrent = getattr(study, "concurrent", None)
    headline = getattr(study, "headline", None)
    events = sorted(set(summary["EVENT_NAME"]), key=str)
    confidence = float((record.get("parameters") or {}).get("confidence") or 0.95)

    sections = []
    figures = _figures(study, events, confidence)
    for event in events:
        tables = [("summary", "by security and minute: the mean move, its spread, t and sign tests, interval",
                   _of_event(summary, event))]
        if response is not None:
            tables.append(("response", "the move per σ of surprise, by security and minute",
                           _of_event(response, event)))
        news = getattr(study, "news", None)
        if news is not None:
            tables.append(("news", "good and bad news apart: the move per σ of positive and of negative surprises, "
                                   "and the test that they are equal", _of_event(news, event)))
        if activity is not None:
            tables.append(("activity", "one-minute returns and volumes against ordinary days at the same clock minute",
                           _of_event(activity, event)))
        sections.append({"event": event, "figure": figures.get(event), "anchor": f"event-{len(sections) + 1}",
                         "tables": [(name, words, _table(frame, confidence)) for name, words, frame in tables
                                    if frame is not None]})

    env = jinja2.Environment(autoescape=True, trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined)
    table = env.from_string(TABLE)
    env.globals["table"] = lambda t: jinja2.utils.markupsafe.Markup(table.render(t=t)) if t else ""
    page = env.from_string(PAGE)
    return page.render(
        title=_title(record, events),
        run=_run_facts(record),
        command=" ".join(_quoted(part) for part in record.get("command") or []),
        parameters=_table(_parameters(record), confidence, numeric=False),
        quality=_quality(study, concurrent, confidence),
        headline=_table(_ordered(headline), confidence, marks=True) if headline is not None else None,
        t_mark=T_MARK,
        confidence=confidence,
        sections=sections,
        figures_missing=figures is _NO_FIGURES,
        with_activity=activity is not None,
    )


# --- what was run ---------------------------------------------------------------


def _title(record, events) -> str:
    period = (record.get("period") or {}).get("in_words")
    return f"Event study: {', '.join(map(str, events))}" + (f" — {period_words(period)}" if period else "")


def _run_facts(record) -> list[tuple[str, str]]:
    period = record.get("period") or {}
    parameters = record.get("parameters") or {}
    dates = f"{period.get('start', '?')} to {period.get('end', '?')}"
    words = period_words(period.get("in_words") or dates)
    facts = [("period", dates + (f" ({words})" if words != dates else ""))]
    if parameters.get("events"):
        facts.append(("events", ", ".join(map(str, parameters["events"]))))
    if "pre" in parameters and "post" in parameters:
        facts.append(("window", f"minutes {parameters['pre']:+d} to {parameters['post']:+d} around each release"))
    baseline = (record.get("baseline") or {}).get("minute", -1)
    facts.append(("baseline", f"moves in basis points from the close of the bar at minute {baseline:+d}"))
    securities = record.get("securities") or {}
    for name in sorted(securities, key=str):
        held = securities[name]
        words = held.get("parsekey", "")
        if held.get("pricing_source"):
            words += f" from {held['pricing_source']}"
        if held.get("figi"):
            words += f" (FIGI {held['figi']})"
        facts.append((f"security {name}", words))
    futures = record.get("futures") or {}
    for name in sorted(futures, key=str):
        held = futures[name]
        facts.append((f"future {name}", f"{held.get('root')} {held.get('yellow_key')}, rolled "
                                        f"{held.get('roll_offset_days')} days before expiry"))
    if "releases" in record:
        facts.append(("releases", f"{record['releases']}, of which {record.get('releases_with_a_move', '?')} "
                                  "have a move"))
    services = record.get("services") or {}
    if services:
        facts.append(("services", ", ".join(f"{name}: {kind}" for name, kind in services.items())))
    facts.append(("written", f"{record.get('written_at', '?')} by orvane_data {record.get('package_version', '?')}"))
    return facts


def _parameters(record) -> pd.DataFrame:
    rows = [(name, value if isinstance(value, str) else json.dumps(value, default=str))
            for name, value in (record.get("parameters") or {}).items()]
    return pd.DataFrame(rows, columns=["parameter", "value"])


def _quoted(part) -> str:
    text = str(part)
    return text if text and re.fullmatch(r"[\w@%+=:,./-]+", text) else "'" + text.replace("'", "'\\''") + "'"


# --- data quality -----------------------------------------------------------------


def _quality(study, concurrent, confidence) -> dict:
    record = study.record
    dropped = getattr(study, "dropped", None)
    dropped = pd.DataFrame() if dropped is None else dropped
    facts = {"releases": record["releases"] if "releases" in record else len(study.calendar),
             "with_a_move": record.get("releases_with_a_move"), "dropped": len(dropped), "concurrent": None}
    if len(dropped):
        by = [c for c in ("key", "reason") if c in dropped.columns]
        counts = dropped.groupby(by, sort=True).size().rename("pairs").reset_index() if by else None
        facts["dropped_counts"] = None if counts is None else _table(counts, confidence)
        facts["dropped_table"] = _table(_ordered(dropped), confidence)
    if concurrent is not None:
        holding = concurrent[concurrent["concurrent"] > 0]
        facts["concurrent"] = {"holding": len(holding), "of": len(concurrent),
                               "table": _table(_ordered(holding), confidence) if len(holding) else None}
    return facts


# --- tables -----------------------------------------------------------------------


def _of_event(frame, event):
    """The rows of one event kind, without the event's name: the section names it."""
    if frame is None or "EVENT_NAME" not in frame.columns:
        return None
    return _ordered(frame[frame["EVENT_NAME"] == event]).drop(columns="EVENT_NAME")


def _ordered(frame):
    """Rows by event kind, security (sorted by name, as the plots' columns) and minute."""
    by = [column for column in KEYS + ["event_datetime"] if column in frame.columns]
    if not by:
        return frame
    return frame.sort_values(by, key=lambda c: c.astype(str) if c.name == "key" else c, kind="stable")


def _table(frame, confidence, *, marks=False, numeric=True) -> dict:
    """Header and cells of a table, each cell its text and its classes."""
    columns = [str(c) for c in frame.columns]
    alpha = 1 - confidence
    rows = []
    for values in frame.itertuples(index=False, name=None):
        cells = []
        for column, value in zip(columns, values):
            text, number = _cell(column, value)
            classes = ["num"] if number and numeric else []
            if marks and number and _beyond_noise(column, value, alpha):
                classes.append("mark")
            cells.append((text, " ".join(classes)))
        rows.append(cells)
    # long names wrap at their underscores, not beyond the page's edge
    from markupsafe import Markup, escape

    header = [Markup("<wbr>").join(escape(part) for part in re.split(r"(?<=_)", column)) for column in columns]
    return {"header": header, "rows": rows, "n": len(rows)}


def _beyond_noise(column, value, alpha) -> bool:
    if column == "t_stat" or column.startswith(("t_", "t of")):
        return abs(value) > T_MARK
    if column in P_COLUMNS:
        return value < alpha
    return False


def _cell(column, value) -> tuple[str, bool]:
    """A value as the tables show it, and whether it is a number."""
    if value is None or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return "–", True
    if isinstance(value, (bool, np.bool_)):
        return ("yes" if value else "no"), False
    if isinstance(value, (int, np.integer)):
        return str(int(value)).replace("-", "−"), True
    if isinstance(value, (float, np.floating)):
        value = float(value)
        if math.isinf(value):
            return ("∞" if value > 0 else "−∞"), True
        if column in P_COLUMNS:
            return f"{value:.3g}", True
        return f"{value:,.2f}".replace("-", "−"), True
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d %H:%M %z").strip(), False
    return str(value), False


# --- figures ----------------------------------------------------------------------

_NO_FIGURES: dict = {}


def _figures(study, events, confidence) -> dict:
    """Each event kind's figures as inline SVG markup, a few securities to a
    figure, and how many securities were left without one."""
    try:
        import matplotlib
    except ImportError:
        return _NO_FIGURES
    import matplotlib.pyplot as plt

    from orvane_data._plotting import plot_moves

    record = study.record
    parameters = record.get("parameters") or {}
    frames = {"summary": study.summary, "response": getattr(study, "response", None),
              "activity": getattr(study, "activity", None)}
    figures, n = {}, 0
    for event in events:
        keys = sorted(study.summary.loc[study.summary["EVENT_NAME"] == event, "key"].unique(), key=str)
        groups = [keys[first:first + PER_FIGURE] for first in range(0, len(keys), PER_FIGURE)][:MAX_FIGURES]
        svgs = []
        for group in groups:
            n += 1
            part = {name: None if frame is None else frame[frame["key"].isin(group)] for name, frame in frames.items()}
            # figure-own ids: several figures share one page
            with matplotlib.rc_context({"svg.hashsalt": f"orvane-report-{n}", "svg.fonttype": "path"}):
                fig = plot_moves(part["summary"], event, period=(record.get("period") or {}).get("in_words"),
                                 base_minute=(record.get("baseline") or {}).get("minute", -1),
                                 min_count=parameters.get("min_count"), quartiles=bool(parameters.get("quartiles")),
                                 response=part["response"], confidence=confidence, activity=part["activity"])
                try:
                    buffer = io.StringIO()
                    fig.savefig(buffer, format="svg", metadata={"Date": None})
                finally:
                    plt.close(fig)
            svgs.append(_inline_svg(buffer.getvalue(), f"f{n}-", f"figure of {event}: {', '.join(map(str, group))}"))
        figures[event] = {"svgs": svgs, "drawn": sum(map(len, groups)), "securities": len(keys)}
    return figures


def _inline_svg(text: str, prefix: str, label: str) -> str:
    """An SVG document as markup inside the page: no prolog, doctype,
    metadata or namespace declarations (the HTML parser knows SVG), its ids
    its own, and scaled to the width of the page."""
    text = text[text.index("<svg"):]
    text = re.sub(r"<metadata>.*?</metadata>\s*", "", text, flags=re.S)
    head_end = text.index(">")
    head = text[:head_end]
    head = re.sub(r'\s(xmlns(:\w+)?|width|height|version)="[^"]*"', "", head)
    head += f' role="img" aria-label="{_attribute(label)}" class="figure"'
    text = head + text[head_end:]
    text = re.sub(r'\bid="', f'id="{prefix}', text)
    text = re.sub(r'url\(#', f'url(#{prefix}', text)
    text = re.sub(r'href="#', f'href="#{prefix}', text)
    return text


def _attribute(text: str) -> str:
    return (text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;"))


PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{{ title }}</title>
<style>
  :root { color-scheme: light; }
  body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: #1b1b1b; background: #fff;
         margin: 0 auto; padding: 16px 24px 48px; max-width: 1200px; }
  h1 { font-size: 22px; margin: 8px 0 4px; }
  h2 { font-size: 18px; margin: 32px 0 8px; padding-top: 8px; border-top: 1px solid #ddd; }
  h3 { font-size: 15px; margin: 16px 0 6px; }
  p { margin: 6px 0; max-width: 75ch; }
  nav a { margin-right: 14px; }
  code { font: 12.5px ui-monospace, "SFMono-Regular", Menlo, Consolas, monospace; }
  pre { background: #f6f6f6; padding: 8px 10px; white-space: pre-wrap; word-break: break-all; margin: 6px 0; }
  dl.facts { display: grid; grid-template-columns: max-content 1fr; gap: 2px 16px; margin: 8px 0; }
  dl.facts dt { color: #555; }
  dl.facts dd { margin: 0; }
  .scroll { max-width: 100%; overflow-x: auto; }
  table { border-collapse: collapse; font-size: 12.5px; margin: 6px 0 10px; }
  th, td { padding: 3px 8px; border-bottom: 1px solid #e4e4e4; text-align: left; vertical-align: top; }
  th { background: #f3f3f3; font-weight: 600; }
  td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
  td.mark { font-weight: 700; background: #fff3c4; }
  details { margin: 6px 0; }
  summary { cursor: pointer; color: #1f4e8c; }
  svg.figure { display: block; width: 100%; height: auto; max-width: 1150px; margin: 8px 0; }
  .note { color: #555; font-size: 13px; }
</style>
</head>
<body>
<h1>{{ title }}</h1>
<nav class="note">
<a href="#run">What was run</a><a href="#quality">Data quality</a><a href="#headline">Headline</a>
{% for section in sections %}
<a href="#{{ section.anchor }}">{{ section.event }}</a>
{% endfor %}
</nav>

<h2 id="run">What was run</h2>
<pre><code>{{ command }}</code></pre>
<dl class="facts">
{% for name, words in run %}
  <dt>{{ name }}</dt><dd>{{ words }}</dd>
{% endfor %}
</dl>
<details><summary>All parameters</summary>{{ table(parameters) }}</details>

<h2 id="quality">Data quality</h2>
<p>{{ quality.with_a_move }} of {{ quality.releases }} releases have a move.
{% if quality.dropped %}
{{ quality.dropped }} release-security pairs have none and are left out of every table and figure:
{% else %}
Every release has a move for every security.
{% endif %}
</p>
{% if quality.dropped %}
{{ table(quality.dropped_counts) }}
<details><summary>Every pair without a move, and why ({{ quality.dropped }})</summary>
{{ table(quality.dropped_table) }}</details>
{% endif %}
{% if quality.concurrent %}
<p>{{ quality.concurrent.holding }} of {{ quality.concurrent.of }} release windows hold another release: their
moves answer to both.</p>
{% if quality.concurrent.table %}
<details><summary>Releases whose window holds another ({{ quality.concurrent.holding }})</summary>
{{ table(quality.concurrent.table) }}</details>
{% endif %}
{% endif %}

<h2 id="headline">Headline</h2>
<p>By event kind and security, the first minute after the release: the mean move with its t, the move per
standard deviation of the release's surprise with its t, and how many releases have a move. Marked: beyond
noise (|t| above {{ '%g' % t_mark }}).</p>
{{ table(headline) }}
{% if figures_missing %}
<p class="note">No figures: matplotlib is not installed (pip install 'orvane_data[plot]').</p>
{% endif %}

{% for section in sections %}
<h2 id="{{ section.anchor }}">{{ section.event }}</h2>
{% if section.figure %}
{% for svg in section.figure.svgs %}
{{ svg | safe }}
{% endfor %}
{% if section.figure.drawn < section.figure.securities %}
<p class="note">Figures of the first {{ section.figure.drawn }} of {{ section.figure.securities }} securities in
the order of their names; the tables below hold all of them.</p>
{% endif %}
<p class="note">Bands: {{ '%.0f' % (confidence * 100) }}% intervals. {% if with_activity %}Hollow markers on the
bottom row: minutes whose one-minute returns are not beyond those of ordinary days. {% endif %}Minutes with few
releases are left out of the lines.</p>
{% endif %}
{% for name, words, tbl in section.tables %}
<details><summary>{{ name }}: {{ words }} ({{ tbl.n }} rows)</summary>{{ table(tbl) }}</details>
{% endfor %}
{% endfor %}
</body>
</html>
"""

TABLE = """<div class="scroll"><table>
<thead><tr>{% for name in t.header %}<th>{{ name }}</th>{% endfor %}</tr></thead>
<tbody>
{% for row in t.rows %}<tr>
{%- for text, classes in row -%}
<td{% if classes %} class="{{ classes }}"{% endif %}>{{ text }}</td>
{%- endfor -%}
</tr>
{% endfor %}
</tbody></table></div>"""
