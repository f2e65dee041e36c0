"""The report page: its content from the study's own tables, and the page as
headless Chromium renders it from disk."""

import copy
import html
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import types

import numpy as np
import pandas as pd
import pytest

import report_study

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None or importlib.util.find_spec("jinja2") is None,
    reason="the report page needs matplotlib and jinja2")

WIDTH = 1280
BROWSER = shutil.which("chromium")


@pytest.fixture(scope="module")
def study():
    import matplotlib

    matplotlib.use("Agg")
    return report_study.build()


@pytest.fixture(scope="module")
def page(study):
    from orvane_data._report import report_html

    return report_html(study)


@pytest.fixture(scope="module")
def page_file(page, tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "report.html"
    path.write_text(page, encoding="utf-8")
    return path


def cells(table_html):
    return [[html.unescape(re.sub(r"<[^>]+>", "", cell)) for cell in re.findall(r"<t[dh][^>]*>(.*?)</t[dh]>", row)]
            for row in re.findall(r"<tr>(.*?)</tr>", table_html, flags=re.S)]


def tables(page):
    return [cells(t) for t in re.findall(r"<table>.*?</table>", page, flags=re.S)]


class TestContent:
    def test_nothing_outside_the_file_and_no_script(self, page):
        assert not re.search(r"https?://", page, flags=re.I)
        assert "<script" not in page.lower() and "<link" not in page.lower() and "@import" not in page
        # every reference is to the page itself: an anchor or an id inside a figure
        for reference in re.findall(r'(?:href|src)="([^"]*)"|url\(([^)]*)\)', page):
            target = next(part for part in reference if part)
            assert target.startswith("#"), target
        # several figures on one page: each keeps ids of its own
        ids = re.findall(r'\bid="([^"]+)"', page)
        assert len(ids) == len(set(ids))
        assert set(re.findall(r'href="#([^"]+)"', page)) | set(re.findall(r"url\(#([^)]+)\)", page)) <= set(ids)

    def test_headline_as_the_study_gives_it_marked_beyond_noise(self, study, page):
        headline = study.headline.sort_values(["EVENT_NAME", "key"])
        shown = next(t for t in tables(page) if t[0][0] == "EVENT_NAME" and "t_stat" in t[0])
        assert [row[:2] for row in shown[1:]] == headline[["EVENT_NAME", "key"]].values.tolist()
        column = shown[0].index("mean_bps")
        for row, value in zip(shown[1:], headline["mean_bps"]):
            assert float(row[column].replace("−", "-").replace(",", "")) == pytest.approx(value, abs=0.005)
        marked = re.findall(r'<td class="num mark">([^<]*)</td>', page)
        t_values = headline[["t_stat", "t_stat_response"]].to_numpy().ravel()
        expected = sorted(f"{t:.2f}" for t in t_values if abs(t) > 2)
        assert expected and sorted(m.replace("−", "-") for m in marked) == expected
        # every table by security in the plots' order: sorted by name
        for table in tables(page):
            if "key" in table[0] and "time_diff" in table[0]:
                keys = [row[table[0].index("key")] for row in table[1:]]
                assert keys == sorted(keys)

    def test_run_quality_and_each_event_kind(self, study, page):
        text = html.unescape(re.sub(r"<[^>]+>", " ", page))
        assert "orvane-data event-study --years 2023 --out out" in text
        assert "35 of 35 releases have a move" in text  # every release moves es and usdjpy
        dropped = study.dropped
        assert f"{len(dropped)} release-security pairs have none" in text and len(dropped) == 35
        holding = int((study.concurrent["concurrent"] > 0).sum())
        assert f"{holding} of {len(study.concurrent)} release windows hold another release" in text and holding
        events = sorted(set(study.summary["EVENT_NAME"]))
        headings = re.findall(r'<h2 id="event-\d+">([^<]*)</h2>', page)
        assert headings == events
        assert page.count("<svg") == len(events)
        # each event kind: summary, response and activity, each row of the study's tables once
        folded = re.findall(r"<summary>(summary|response|activity): [^<]*\((\d+) rows\)</summary>", page)
        for name in ("summary", "response", "activity"):
            counts = [int(n) for kind, n in folded if kind == name]
            assert sum(counts) == len(getattr(study, name)) and len(counts) == len(events)

    def test_names_are_escaped(self, study):
        from orvane_data._report import report_html

        odd = copy.copy(study)
        cpi = study.summary[study.summary["EVENT_NAME"] == "CPI YoY"]  # one figure is enough here
        odd.summary = cpi.replace({"EVENT_NAME": {"CPI YoY": "CPI <b>&</b>"}})
        odd.record = dict(study.record, command=["orvane-data", "--events", "A&B <i>"])
        page = report_html(odd)
        assert "CPI &lt;b&gt;&amp;&lt;/b&gt;" in page and "<b>&</b>" not in page
        assert "&#39;A&amp;B &lt;i&gt;&#39;" in page

    def test_without_the_optional_tables(self, study):
        from orvane_data._report import report_html

        bare = types.SimpleNamespace(**{k: v for k, v in vars(study).items() if k not in ("concurrent", "activity")})
        bare.response = None
        page = report_html(bare)
        assert "hold another release" not in page and "<summary>activity" not in page
        assert "<summary>response" not in page and page.count("<svg") == 3

    @pytest.mark.parametrize("max_figures, drawn", [(6, 7), (1, 4)])
    def test_a_few_securities_to_a_figure(self, study, monkeypatch, max_figures, drawn):
        from orvane_data import _report

        monkeypatch.setattr(_report, "MAX_FIGURES", max_figures)
        names = [f"s{i}" for i in range(7)]

        def renamed(frame):  # one event kind, its securities under seven names
            frame = frame[frame["EVENT_NAME"] == "CPI YoY"]
            return pd.concat([frame[frame["key"] == ["es", "sx5e", "usdjpy"][i % 3]].assign(key=name)
                              for i, name in enumerate(names)])

        many = types.SimpleNamespace(**{**vars(study), "summary": renamed(study.summary),
                                        "response": renamed(study.response), "activity": renamed(study.activity)})
        page = _report.report_html(many)
        labels = re.findall(r'<svg[^>]*aria-label="([^"]*)"', page)
        assert labels == ["figure of CPI YoY: s0, s1, s2, s3", "figure of CPI YoY: s4, s5, s6"][:max_figures]
        assert (f"Figures of the first {drawn} of 7 securities" in page) == (drawn < 7)

    def test_without_matplotlib_the_tables_and_a_word_on_the_figures(self, study):
        code = ("import sys, pickle; sys.modules['matplotlib'] = None\n"
                "from orvane_data._report import report_html\n"
                "print(report_html(pickle.loads(sys.stdin.buffer.read())))")
        import pickle

        plain = types.SimpleNamespace(**vars(study))
        result = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(plain), capture_output=True,
                                check=True)
        page = result.stdout.decode()
        assert "<svg" not in page and "matplotlib is not installed (pip install 'orvane_data[plot]')" in page
        assert "<summary>summary" in page


# --- in the browser ---------------------------------------------------------------

# Test-only: opens every folded table and writes what the browser laid out
# into the page, for --dump-dom to hand back. The report itself has no script.
MEASURE = """<script>
document.querySelectorAll("details").forEach(d => { d.open = true; });
const root = document.documentElement;
const box = e => { const r = e.getBoundingClientRect(); return {left: r.left, right: r.right, width: r.width,
                                                                height: r.height}; };
const out = {
  scrollWidth: root.scrollWidth, clientWidth: root.clientWidth, height: root.scrollHeight,
  svgs: [...document.querySelectorAll("svg")].map(s => ({
    paths: [...s.querySelectorAll("path")].filter(p => (p.getAttribute("d") || "").length > 0).length,
    box: box(s)})),
  tables: [...document.querySelectorAll("table")].map(t => ({
    rows: t.rows.length, box: box(t), fits: t.parentElement.scrollWidth <= t.parentElement.clientWidth})),
};
const pre = document.createElement("pre");
pre.id = "measured";
pre.textContent = JSON.stringify(out);
document.body.appendChild(pre);
</script>"""


def chromium(*args, tmp_path):
    command = [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--mute-audio",
               f"--user-data-dir={tmp_path / 'profile'}", *args]
    # the browser is not ours: a sanitizer run's preloaded runtime stays with the package
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return subprocess.run(command, capture_output=True, text=True, timeout=180, check=True, env=env).stdout


@pytest.fixture(scope="module")
def measured(page, page_file, tmp_path_factory):
    if BROWSER is None:
        pytest.skip("headless Chromium is not installed (make deps installs it)")
    tmp_path = tmp_path_factory.mktemp("browser")
    probe = page_file.with_name("measured.html")
    probe.write_text(page.replace("</body>", MEASURE + "</body>"), encoding="utf-8")
    dom = chromium(f"--window-size={WIDTH},2000", "--dump-dom", probe.as_uri(), tmp_path=tmp_path)
    found = re.search(r'<pre id="measured">(.*?)</pre>', dom, flags=re.S)
    assert found, dom[-2000:]
    return json.loads(html.unescape(found[1]))


class TestInTheBrowser:
    def test_every_table_and_figure_drawn(self, study, page, measured):
        assert len(measured["tables"]) == len(tables(page))
        assert [t["rows"] for t in measured["tables"]] == [len(t) for t in tables(page)]
        assert all(t["box"]["width"] > 0 and t["box"]["height"] > 0 for t in measured["tables"])
        events = set(study.summary["EVENT_NAME"])
        assert len(measured["svgs"]) == len(events)
        for svg in measured["svgs"]:
            # three securities by three rows: lines, bands, markers, axes, text drawn as paths
            assert svg["paths"] > 100
            assert svg["box"]["width"] > 600 and svg["box"]["height"] > 400

    def test_reads_at_1280_pixels_without_scrolling_sideways(self, measured):
        assert measured["scrollWidth"] <= measured["clientWidth"] <= WIDTH
        for thing in measured["svgs"] + measured["tables"]:
            assert thing["box"]["left"] >= 0 and thing["box"]["right"] <= measured["clientWidth"]
        assert all(t["fits"] for t in measured["tables"])  # no table scrolls inside its box either

    def test_screenshot_shows_the_figures(self, page_file, measured, tmp_path):
        import matplotlib.image
        from matplotlib.colors import to_rgb

        shot = tmp_path / "report.png"
        height = min(int(measured["height"]), 16000)
        chromium(f"--window-size={WIDTH},{height}", f"--screenshot={shot}", page_file.as_uri(), tmp_path=tmp_path)
        pixels = matplotlib.image.imread(shot)[..., :3]
        assert pixels.shape[1] == WIDTH
        assert (pixels.reshape(-1, 3) < 0.9).any(axis=1).mean() > 0.02  # not blank
        # each security's colour, as the figures draw it, somewhere on the page
        for colour in ("C0", "C1", "C2"):
            distance = np.abs(pixels - np.array(to_rgb(colour))).max(axis=2)
            assert (distance < 0.02).sum() > 500, colour
