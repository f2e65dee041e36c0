"""The study object: run_study on the simulated services and on an analyst's
own frames, its headline, its notes, and the files it saves."""

import hashlib
import json
import os
import re
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from orvane_data import DataWarning, simulated
from orvane_data._study_options import FolderNote
from orvane_data.event_study import EventStudy, StudyError, run_study

ROOT = Path(__file__).resolve().parents[2]
CSV_BLOCKS = re.findall(r"^```csv\n(.*?)^```", (ROOT / "README.md").read_text(), re.S | re.M)


@pytest.fixture(scope="module")
def services():
    yield simulated.activate()
    simulated.deactivate()


@pytest.fixture(scope="module")
def study(services):
    return run_study(dates=["2023-01-01", "2023-04-30"], ema=3, progress=False)


@pytest.fixture
def readme_data(tmp_path):
    """The README's own-data example, written as the analyst would."""
    (tmp_path / "calendar.csv").write_text(CSV_BLOCKS[0])
    (tmp_path / "bars.csv").write_text(CSV_BLOCKS[1])
    return tmp_path


def own_bars(*rows):
    """Bars of (key, minute from 2024-03-08 13:30 UTC, close)."""
    release = pd.Timestamp("2024-03-08 13:30", tz="UTC")
    return pd.DataFrame({"datetime": [release + pd.Timedelta(minutes=m) for _, m, _ in rows],
                         "key": [k for k, _, _ in rows], "close": [c for _, _, c in rows]})


CALENDAR = pd.DataFrame({"EVENT_NAME": ["NFP"], "event_datetime": ["2024-03-08 08:30-05:00"],
                         "ACTUAL": [275.0], "SURVEY_MEDIAN": [200.0]})


class TestOnTheServices:
    def test_headline_is_the_t_test_at_the_first_minute(self, study):
        head = study.headline
        assert list(head[["event", "security"]].itertuples(index=False, name=None)) == [
            (e, k) for e in sorted(set(study.calendar["EVENT_NAME"])) for k in ("es", "sx5e", "usdjpy")]
        assert (head["minute"] == 1).all()
        at = study.moves[(study.moves["time_diff"] == 1) & study.moves["move_bps"].notna()]
        for row in head.itertuples():
            moves = at.loc[(at["EVENT_NAME"] == row.event) & (at["key"] == row.security), "move_bps"]
            test = stats.ttest_1samp(moves, 0.0)
            assert row.mean_bps == pytest.approx(moves.mean(), rel=1e-12)
            assert row.t_mean == pytest.approx(test.statistic, rel=1e-9)
            assert row.p_mean == pytest.approx(test.pvalue, rel=1e-9)
            assert row.releases == len(moves)
            assert np.isfinite(row.bps_per_sd) and np.isfinite(row.t_per_sd)

    def test_surprise_view_and_window_ema(self, study):
        moves = study.moves
        signed = moves["move_bps"] * np.sign(moves["surprise"]).replace(0, np.nan)
        expected = signed.groupby([moves["EVENT_NAME"], moves["key"], moves["time_diff"]]).mean()
        got = study.summary.set_index(["EVENT_NAME", "key", "time_diff"])["mean_by_surprise_bps"]
        pd.testing.assert_series_equal(got.sort_index(), expected.sort_index(), check_names=False)
        # an EMA of each window's closes in time order
        ordered = moves.sort_values("datetime", kind="stable")
        ema = ordered.groupby(["EVENT_NAME", "event_datetime", "key"])["close"].transform(
            lambda c: c.ewm(span=3, adjust=False).mean())
        pd.testing.assert_series_equal(moves["ema_3"], ema.reindex(moves.index), check_names=False)

    def test_text_and_html_show_the_headline_marked(self, study):
        head, alpha = study.headline, 1 - study.options.confidence
        page = study._repr_html_()
        assert "2023-01-01 to 2023-04-30" in page and "simulated" in page
        rows = re.findall(r"<tr><td>(.*?)</tr>", page)
        assert len(rows) == len(head)
        for row, line in zip(head.itertuples(), rows):
            cells = re.findall(r"<td>(.*?)</td>", "<td>" + line)
            assert cells[1] == row.security and cells[-1] == str(row.releases)
            assert cells[2].endswith("*</b>") == (row.p_mean < alpha)
            assert cells[4].endswith("*</b>") == (row.p_per_sd < alpha)
        text = repr(study)
        assert "2023-01-01 to 2023-04-30" in text and len(text.splitlines()) == 3 + len(head)
        assert text.count("*") - 1 == int((head["p_mean"] < alpha).sum() + (head["p_per_sd"] < alpha).sum())

    def test_record_and_figures(self, study):
        assert study.record["securities"]["usdjpy"]["figi"] and study.record["releases"] == len(study.calendar)
        assert study.record["parameters"]["ema"] == 3 and study.record["period"]["in_words"] == study.period
        pytest.importorskip("matplotlib")
        import matplotlib.pyplot as plt

        figures = study.plot()
        assert sorted(figures) == sorted(set(study.calendar["EVENT_NAME"]))
        for figure in figures.values():
            assert study.period in figure.get_suptitle()
            plt.close(figure)

    @pytest.mark.parametrize("options, words", [
        (dict(events=["NFP TCH Indx"]), "closest tickers the calendar knows to NFP TCH Indx: NFP TCH Index"),
        (dict(dates=["2023-13-01", "2023-12-31"]), "2023-13-01 is not a date: month 13"),
        (dict(pre=3, post=1), "window starts after it ends"),
        (dict(securities={"x": ("NOSUCH Equity", "")}), "unknown security: x=NOSUCH Equity"),
        (dict(securities={"spx": ("SPX Index", "")}, futures={}),
         "nothing to summarise: spx: no bar in the window: outside trading hours"),
    ])
    def test_refusals_say_why(self, services, options, words):
        with pytest.raises(StudyError, match=re.escape(words)):
            run_study(**{"dates": ["2023-01-01", "2023-03-31"], **options}, progress=False)


class TestOwnData:
    def test_readme_example_by_hand(self, readme_data, services):
        study = run_study(calendar=pd.read_csv(readme_data / "calendar.csv"),
                          bars=pd.read_csv(readme_data / "bars.csv"), progress=False)
        bars = pd.read_csv(readme_data / "bars.csv")["close"].to_numpy().reshape(3, 3)
        moves = (bars[:, 2] / bars[:, 0] - 1) * 1e4  # +1 against -1
        head = study.headline.iloc[0]
        assert (head["security"], head["releases"]) == ("bund", 3)
        assert head["mean_bps"] == pytest.approx(moves.mean(), rel=1e-12)
        assert study.period == "2024-03-08 to 2024-05-03"
        # surprises from the actual and survey figures: 75, 89, -65
        surprise = study.calendar["surprise"].to_numpy()
        np.testing.assert_array_equal(surprise, [75.0, 89.0, -65.0])
        signed = study.summary.loc[study.summary["time_diff"] == 1, "mean_by_surprise_bps"].item()
        assert signed == pytest.approx((moves * np.sign(surprise)).mean(), rel=1e-12)
        assert set(study.record["services"].values()) == {"own data"}

    def test_command_reads_the_files(self, readme_data):
        from test_cli import STUDY, run

        out = readme_data / "out"
        result = run(*STUDY, "--calendar", "calendar.csv", "--bars", "bars.csv", "--out", str(out), "--no-plot",
                     "--quiet", cwd=readme_data)
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("orvane_data event study on your own data")
        study = run_study(calendar=pd.read_csv(readme_data / "calendar.csv"),
                          bars=pd.read_csv(readme_data / "bars.csv"), progress=False)
        summary = pd.read_csv(out / "summary.csv")
        pd.testing.assert_frame_equal(summary, study.summary.reset_index(drop=True), check_dtype=False)

    @pytest.mark.parametrize("which, drop, words", [
        ("calendar", "event_datetime", "the calendar has no column 'event_datetime'; expected EVENT_NAME, event_datetime"),
        ("bars", "close", "the bars has no column 'close'; expected datetime (the bar's minute), key"),
        ("bars", "key", "no column 'key'"),
    ])
    def test_a_missing_column_is_named(self, which, drop, words):
        frames = {"calendar": CALENDAR, "bars": own_bars(("a", -1, 1.0), ("a", 1, 2.0))}
        frames[which] = frames[which].drop(columns=drop)
        with pytest.raises(StudyError, match=re.escape(words)):
            run_study(**frames, progress=False)


class TestNotes:
    BARS = own_bars(("a", -1, 100.0), ("a", 1, 101.0),   # measured
                    ("b", 0, 50.0), ("b", 1, 51.0),      # windows, no baseline bar
                    ("c", 300, 10.0))                    # no bar in any window

    def test_what_matched_nothing_warns_and_is_kept(self):
        with pytest.warns(DataWarning) as said:
            study = run_study(calendar=CALENDAR, bars=self.BARS, progress=False)
        texts = [str(w.message) for w in said if w.category is DataWarning]
        assert texts == study.warnings == ["no bar of security 'c' inside any event window",
                                           "no move for security 'b': no bar at the baseline minute -1 in any window"]
        assert said[0].filename == __file__  # pointed at the caller's line
        assert list(study.headline["releases"]) == [1, 0, 0]

    def test_a_filter_raises_or_hides_them(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error", DataWarning)
            with pytest.raises(DataWarning, match="no bar of security 'c'"):
                run_study(calendar=CALENDAR, bars=self.BARS, progress=False)
        with warnings.catch_warnings():
            warnings.simplefilter("error", UserWarning)
            warnings.simplefilter("ignore", DataWarning)
            assert len(run_study(calendar=CALENDAR, bars=self.BARS, progress=False).warnings) == 2

    def test_the_librarys_own_warnings_are_kept_once_and_said_again(self, monkeypatch):
        from orvane_data import event_study

        measure = event_study.event_moves

        def warning_moves(windows, **options):
            warnings.warn("security c: no bar in any window", DataWarning)
            warnings.warn("a deprecation of someone else's", DeprecationWarning)
            return measure(windows, **options)

        monkeypatch.setattr(event_study, "event_moves", warning_moves)
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            # no ordinary days: their moves would call the double again
            study = run_study(calendar=CALENDAR, bars=self.BARS, progress=False, control_days=0)
        # the study does not say again what the library said of c
        assert study.warnings == ["no bar of security 'c' inside any event window", "security c: no bar in any window",
                                  "no move for security 'b': no bar at the baseline minute -1 in any window"]
        assert [(w.category, str(w.message)) for w in said] == [
            (DataWarning, "no bar of security 'c' inside any event window"),
            (DataWarning, "security c: no bar in any window"),
            (DeprecationWarning, "a deprecation of someone else's"),
            (DataWarning, "no move for security 'b': no bar at the baseline minute -1 in any window")]

    def test_no_bar_anywhere_names_each_security_and_why(self):
        bars = own_bars(("c", 300, 10.0), ("d", 400, 5.0))
        with pytest.raises(StudyError, match=r"nothing to summarise: c: no bar in the window: outside trading hours "
                                             r"\(bars that day 18:30-18:30 UTC\) \(at 1 of 1 releases\); d: "):
            run_study(calendar=CALENDAR, bars=bars, progress=False)


@pytest.mark.parametrize("text, words", [
    ("2023-13-01", "2023-13-01 is not a date: month 13"),
    ("2023-02-29", "day 29 (February 2023 has 28 days)"),
    ("0000-01-01", "year 0"),
    ("2023/01/01", "expected a date written yyyy-mm-dd"),
])
def test_dates_that_do_not_exist_say_why(text, words):
    from orvane_data._study_options import parse_date

    with pytest.raises(ValueError, match=re.escape(words)):
        parse_date(text)


@pytest.fixture(scope="module")
def small():
    bars = own_bars(("a", -1, 100.0), ("a", 0, 100.5), ("a", 1, 101.0), ("b", -1, 50.0), ("b", 1, 49.0))
    return run_study(calendar=CALENDAR, bars=bars, progress=False)


class TestSave:
    def test_workbook_has_a_sheet_per_table(self, small, tmp_path):
        openpyxl = pytest.importorskip("openpyxl")
        written = small.save(tmp_path, format="xlsx", plots=False, report=False)
        assert [p.name for p in written] == ["event_study.xlsx", "run.json"]
        book = openpyxl.load_workbook(tmp_path / "event_study.xlsx")
        assert book.sheetnames == [name for name, _ in EventStudy.TABLES if getattr(small, _) is not None]
        summary = pd.read_excel(tmp_path / "event_study.xlsx", sheet_name="summary")
        pd.testing.assert_frame_equal(summary, small.summary.reset_index(drop=True), check_dtype=False)
        windows = pd.read_excel(tmp_path / "event_study.xlsx", sheet_name="windows")
        assert pd.to_datetime(windows["datetime"], utc=True).equals(
            pd.to_datetime(small.moves["datetime"], utc=True).reset_index(drop=True))

    def test_workbook_without_openpyxl_names_the_extra(self, small, tmp_path, monkeypatch):
        monkeypatch.setitem(sys.modules, "openpyxl", None)
        with pytest.raises(ImportError, match=re.escape("pip install 'orvane_data[xlsx]'")):
            small.save(tmp_path, format="xlsx")
        assert list(tmp_path.iterdir()) == []

    def test_report_page(self, small, tmp_path):
        small.save(tmp_path, plots=False)
        assert (tmp_path / "report.html").stat().st_size > 0
        assert "report.html" in json.loads((tmp_path / "run.json").read_text())["files"]

    def test_the_report_is_the_report_modules_page_of_this_study(self, small, tmp_path, monkeypatch):
        import types

        seen = []
        page = types.ModuleType("orvane_data._report")
        page.report_html = lambda study: seen.append(study) or "<html>ünïcode page</html>"
        monkeypatch.setitem(sys.modules, "orvane_data._report", page)
        small.save(tmp_path / "with", plots=False)
        small.save(tmp_path / "without", plots=False, report=False)
        assert seen == [small]
        assert (tmp_path / "with" / "report.html").read_text(encoding="utf-8") == "<html>ünïcode page</html>"
        assert not (tmp_path / "without" / "report.html").exists()

    def test_without_jinja2_the_tables_are_saved_and_the_page_is_a_note(self, small, tmp_path, monkeypatch):
        monkeypatch.setitem(sys.modules, "jinja2", None)
        with pytest.warns(FolderNote, match=r"orvane_data\[plot\]'.*no report page"):
            written = small.save(tmp_path, plots=False)
        assert "summary.csv" in {p.name for p in written} and not (tmp_path / "report.html").exists()

    def test_steps_reach_a_plain_function(self, tmp_path):
        steps = []
        study = run_study(calendar=CALENDAR, bars=own_bars(("a", -1, 1.0), ("a", 1, 2.0)), progress=steps.append)
        study.save(tmp_path, plots=False, report=False, progress=steps.append)
        assert [s.split()[0] for s in steps] == ["taking", "taking", "cutting", "computing", "measuring", "writing"]

    def test_only_unchanged_files_of_an_earlier_save_are_removed(self, small, tmp_path):
        folder = tmp_path / "out"
        small.save(folder, format="parquet", plots=False, report=False)
        record = json.loads((folder / "run.json").read_text())
        for name in record["files"][:-1]:
            digest = hashlib.sha256((folder / name).read_bytes()).hexdigest()
            assert record["files_written"][name]["sha256"] == digest
        # an edited table, an analyst's note listed by hand, a link listed with its target's digest,
        # and names outside the folder
        (folder / "summary.parquet").write_bytes(b"edited")
        (folder / "notes.txt").write_text("mine")
        (tmp_path / "escape.txt").write_text("beside the folder")
        (folder / "link.parquet").symlink_to(folder / "dropped.parquet")
        record["files_written"]["link.parquet"] = record["files_written"]["dropped.parquet"]
        record["files"] += ["notes.txt", "../escape.txt", str(tmp_path / "escape.txt")]
        (folder / "run.json").write_text(json.dumps(record))
        with pytest.warns(FolderNote) as said:
            small.save(folder, format="csv", plots=False, report=False)
        line = str(said[-1].message)
        for kept in ("summary.parquet (changed since)", "notes.txt (not written by orvane_data)",
                     "link.parquet (a link)", "../escape.txt (outside the folder)",
                     f"{tmp_path / 'escape.txt'} (outside the folder)"):
            assert kept in line
        names = sorted(p.name for p in folder.iterdir())
        assert names == ["activity.csv", "concurrent.csv", "dropped.csv", "link.parquet", "news.csv", "notes.txt",
                         "response.csv", "run.json", "summary.csv", "summary.parquet", "windows.csv"]
        assert (folder / "summary.parquet").read_bytes() == b"edited" and (tmp_path / "escape.txt").exists()

    def test_a_kept_file_in_the_way_is_renamed(self, small, tmp_path):
        small.save(tmp_path, plots=False, report=False)
        (tmp_path / "summary.csv").write_text("my edits")
        with pytest.warns(FolderNote, match=r"summary.csv \(changed since; now summary.kept.csv\)"):
            small.save(tmp_path, plots=False, report=False)
        assert (tmp_path / "summary.kept.csv").read_text() == "my edits"
        assert pd.read_csv(tmp_path / "summary.csv").shape == small.summary.shape


def test_a_notebook_shows_the_headline(tmp_path, monkeypatch):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    code = ("from orvane_data import simulated\n"
            "simulated.activate()\n"
            "from orvane_data.event_study import run_study\n"
            "run_study(dates=['2023-01-01', '2023-02-28'], events=['NFP TCH Index'], futures={})")
    book = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(code)])
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(sys.path))  # the kernel imports the package from here
    nbclient.NotebookClient(book, timeout=600, kernel_name="python3",
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    outputs = book.cells[0].outputs
    shown = [o for o in outputs if o.output_type == "execute_result"]
    assert len(shown) == 1 and "text/html" in shown[0].data
    page = shown[0].data["text/html"]
    assert '<table class="headline">' in page and "Change in Nonfarm Payrolls" in page
    assert page.count("<tr><td>") == 2  # sx5e and usdjpy


class TestEvidence:
    SHORT = dict(dates=["2023-02-01", "2023-04-30"], futures={}, securities={"usdjpy": ("JPY Curncy", "")},
                 progress=False)

    def test_concurrent_releases_are_named_or_left_out(self, services):
        kept = run_study(**self.SHORT, control_days=0)
        shared = kept.concurrent[kept.concurrent["concurrent"] > 0]
        assert set(shared["EVENT_NAME"]) == {"Change in Nonfarm Payrolls", "Unemployment Rate"}
        assert kept.record["concurrent"]["windows_holding_another_release"] == len(shared) > 0
        # the joint response reads the two surprises of one minute together
        assert (kept.response["n_joint"] > kept.response["n"]).any()
        with pytest.warns(UserWarning, match=f"{len(shared)} of {len(kept.concurrent)} releases left out"):
            dropped = run_study(**self.SHORT, control_days=0, concurrent="drop")
        assert set(dropped.calendar["EVENT_NAME"]) == {"CPI YoY"} == set(dropped.summary["EVENT_NAME"])
        assert dropped.record["concurrent"]["left_out"] == len(shared)
        with pytest.raises(StudyError, match="concurrent must be 'keep' or 'drop'"):
            run_study(**self.SHORT, concurrent="skip")

    def test_activity_measures_release_minutes_against_ordinary_days(self, services):
        study = run_study(**self.SHORT, control_days=5)
        at = study.activity.set_index(["EVENT_NAME", "time_diff"])
        releases = study.calendar.groupby("EVENT_NAME").size()
        for event, count in releases.items():
            assert 0 < at.loc[(event, 0), "n_control"] <= 5 * count
            assert at.loc[(event, 0), "abs_ratio"] > at.loc[(event, -3), "abs_ratio"]
        assert "activity" in study.tables() and run_study(**self.SHORT, control_days=0).activity is None

    def test_a_dataset_on_one_machine_gives_the_study_of_the_bars_in_memory(self, services, tmp_path):
        direct = run_study(**self.SHORT, control_days=2)
        through = run_study(**self.SHORT, control_days=2, bars_dataset=str(tmp_path / "bars"))
        assert (tmp_path / "bars").is_dir()
        for name in ("summary", "response", "activity"):
            pd.testing.assert_frame_equal(getattr(through, name), getattr(direct, name))


def test_a_bar_dataset_given_is_read_for_its_windows(services, tmp_path):
    from orvane_data import bar_store
    from orvane_data.from_bqia import bar_kit

    options = dict(TestEvidence.SHORT, control_days=2)
    fetched = run_study(**options)
    bars = bar_kit.get_intraday_bars(options["securities"], None, "2023-02-01", "2023-04-30", tz="UTC")
    bar_store.write_bars(bars, str(tmp_path))
    calendar = fetched.calendar.drop(columns=["event_timezone"], errors="ignore")
    given = run_study(calendar=calendar, bars=str(tmp_path), progress=False, control_days=2)
    # the windows of the releases and of their ordinary days, nothing else
    assert len(given.bars) < len(bars) / 20
    pd.testing.assert_frame_equal(given.summary, fetched.summary, check_exact=False, rtol=1e-12)
