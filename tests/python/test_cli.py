"""The event-study command and the example script, run as a newcomer runs them."""

import fcntl
import hashlib
import json
import os
import pty
import struct
import subprocess
import sys
import termios
from pathlib import Path

import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parents[2]
SHORT = ["--dates", "2023-01-01", "2023-04-30"]
STUDY = ["-m", "orvane_data", "event-study"]
# the report page comes with the package's report module
REPORT = ["report.html"]


def run(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MPLBACKEND="Agg")
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=600)


def run_on_a_terminal(*args):
    """Runs with standard error on a pseudo-terminal; returns (status, what it showed there)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MPLBACKEND="Agg")
    leader, follower = pty.openpty()
    # a terminal of 100 columns: on one of size 0 progress bars draw nothing
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    with subprocess.Popen([sys.executable, *args], stdout=subprocess.DEVNULL, stderr=follower, env=env) as proc:
        os.close(follower)
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        status = proc.wait(timeout=600)
    os.close(leader)
    return status, shown.decode(errors="replace")


def step_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("[")]


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    out = tmp_path_factory.mktemp("study")
    result = run(*STUDY, "--out", str(out), *SHORT, "--ema", "3")
    assert result.returncode == 0, result.stderr
    return out, result


class TestEventStudy:
    def test_first_line_names_the_services(self, study):
        _, result = study
        assert result.stdout.splitlines()[0].startswith("orvane_data event study on the simulated services")

    def test_outputs(self, study):
        out, result = study
        names = sorted(p.name for p in out.iterdir())
        assert names == sorted(["activity.csv", "concurrent.csv", "dropped.csv", "news.csv",
                                "plot_change_in_nonfarm_payrolls.png", "plot_cpi_yoy.png", "plot_unemployment_rate.png",
                                "response.csv", "run.json", "summary.csv", "windows.csv", *REPORT])
        assert str(out.resolve()) in result.stdout

    def test_summary_is_measured_from_the_bar_before_the_release(self, study):
        out, result = study
        summary = pd.read_csv(out / "summary.csv")
        sizes = summary.groupby(["EVENT_NAME", "key"]).size()
        assert set(summary["key"]) == {"sx5e", "usdjpy", "es"}
        assert summary["EVENT_NAME"].nunique() == 3
        assert (sizes == 16).all()
        assert sorted(summary["time_diff"].unique()) == list(range(-5, 11))
        at_base = summary[summary["time_diff"] == -1]
        assert (at_base["mean_bps"] == 0).all() and (at_base["count"] > 0).all()
        # the release's own jump shows at minute 0 instead of vanishing into the baseline
        assert (summary.loc[summary["time_diff"] == 0, "mean_abs_bps"] > 0).all()
        for column in ("mean_abs_bps", "mean_by_surprise_bps"):
            assert summary[column].notna().any()
        assert "Moves from the close of the last bar before the release (minute -1), in basis points" in result.stdout

    def test_windows_carry_moves_and_ema(self, study):
        out, _ = study
        windows = pd.read_csv(out / "windows.csv")
        for column in ("EVENT_NAME", "event_datetime", "time_diff", "datetime", "key", "close", "move_bps", "ema_3"):
            assert column in windows.columns
        assert windows.loc[windows["time_diff"] == -1, "move_bps"].abs().max() == 0

    def test_printed_events_count_releases_with_a_move(self, study):
        out, result = study
        windows = pd.read_csv(out / "windows.csv")
        measured = windows[windows["move_bps"].notna()].groupby(["EVENT_NAME", "key"])["event_datetime"].nunique()
        table = result.stdout[result.stdout.index("in basis points:"):].splitlines()[2:11]
        printed = {(line[:line.index(key) - 1].strip(), key): int(line.split()[-1])
                   for line in table for key in ("sx5e", "usdjpy", "es") if f" {key} " in line}
        assert printed == measured.to_dict()

    def test_run_record(self, study):
        out, _ = study
        record = json.loads((out / "run.json").read_text())
        assert record["command"][:2] == ["orvane-data", "event-study"] and "--ema" in record["command"]
        assert record["period"] == {"start": "2023-01-01", "end": "2023-04-30", "years": None,
                                    "in_words": "2023-01-01 to 2023-04-30",
                                    "bars_fetched": [["2023-01-01", "2023-04-30"]]}
        assert record["securities"]["usdjpy"]["parsekey"] == "JPY Curncy"
        assert record["securities"]["usdjpy"]["figi"]
        assert record["futures"] == {"es": {"root": "ES", "yellow_key": "Index", "roll_offset_days": 5}}
        assert set(record["services"].values()) == {"simulated"}
        assert record["parameters"]["base_minute"] == -1 and record["parameters"]["ema"] == 3
        assert record["package_version"] and sorted(record["files"]) == sorted(p.name for p in out.iterdir())

    def test_one_valid_png_per_event_kind_and_no_bar_off_a_terminal(self, study):
        out, result = study
        plots = sorted(out.glob("plot_*.png"))
        assert len(plots) == 3
        import matplotlib.image

        for plot in plots:
            assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
            assert matplotlib.image.imread(plot).shape[0] > 100
        assert "rows/s" not in result.stderr and "%|" not in result.stderr
        assert len(step_lines(result.stderr)) == 7

    def test_an_earlier_run_is_replaced_and_a_window_past_the_release_keeps_one_column(self, tmp_path):
        earlier = ["windows.csv", "summary.csv", "plot_old.png", "run.json"]
        sealed = {}
        for stale in earlier[:-1]:
            (tmp_path / stale).write_text("from an earlier run")
            sealed[stale] = {"size": 19, "sha256": hashlib.sha256(b"from an earlier run").hexdigest()}
        (tmp_path / "run.json").write_text(json.dumps({"files": earlier + ["../escape.txt", "/etc/hostname"],
                                                       "files_written": sealed}))
        (tmp_path.parent / "escape.txt").write_text("beside the folder")
        # the analyst's own files, named like the command's outputs but never listed by a run
        for own in ("notes.txt", "plot_my_analysis.png", "summary.xlsx", "windows.txt"):
            (tmp_path / own).write_text("the user's own")
        result = run(*STUDY, "--out", str(tmp_path), "--dates", "2023-02-01", "2023-02-28", "--format", "parquet",
                     "--no-plot", "--no-futures", "--security", "dax=DAX Index:ZZZ", "--security", "spx=SPX Index",
                     "--pre", "-5", "--post", "1", "--base-minute", "0")
        assert result.returncode == 0, result.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == [
            "activity.parquet", "concurrent.parquet", "dropped.parquet", "news.parquet", "notes.txt",
            "plot_my_analysis.png", "report.html", "response.parquet", "run.json", "summary.parquet", "summary.xlsx",
            "windows.parquet", "windows.txt"]
        assert (tmp_path.parent / "escape.txt").exists()
        summary = pd.read_parquet(tmp_path / "summary.parquet")
        assert set(summary["key"]) == {"dax"}
        assert (summary.loc[summary["time_diff"] == 0, "mean_bps"] == 0).all()
        assert summary.loc[summary["time_diff"] == -1, "mean_bps"].notna().all()
        assert "Moves from the close of the bar at minute +0, in basis points:" in result.stdout
        # the US cash index opens an hour after the 08:30 releases: every release is dropped, and says why
        dropped = pd.read_parquet(tmp_path / "dropped.parquet")
        releases = json.loads((tmp_path / "run.json").read_text())["releases"]
        assert list(dropped.columns) == ["EVENT_NAME", "event_datetime", "key", "reason"]
        assert (dropped["key"] == "spx").all() and len(dropped) == releases > 0
        assert dropped["reason"].str.startswith("no bar in the window: outside trading hours (bars that day 14:30-").all()
        header = next(line for line in result.stdout.splitlines() if line.lstrip().startswith("event"))
        assert header.split() == ["event", "security", "mean", "bp", "@+1", "t", "of", "mean", "bp", "per", "σ", "@+1",
                                  "t", "of", "bp/σ", "events"]
        assert "pricing sources passed to the intraday service as given (dax from ZZZ)" in result.stderr
        assert "note: no bar of security 'spx' inside any event window" in result.stderr
        assert "DataWarning" not in result.stderr and "UserWarning" not in result.stderr  # said once, as notes
        kept = [line for line in result.stderr.splitlines() if line.startswith("note: kept in")]
        assert len(kept) == 1 and "../escape.txt (outside the folder)" in kept[0]
        assert json.loads((tmp_path / "run.json").read_text())["securities"]["dax"]["pricing_source"] == "ZZZ"

    def test_named_years_only_and_a_wide_window_keeps_every_security(self, tmp_path):
        result = run(*STUDY, "--out", str(tmp_path), "--years", "2023", "2021", "--pre", "-600", "--post", "600",
                     "--no-plot", "--quiet", "--events", "NFP TCH Index", "--security", "sx5e=SX5E Index",
                     "--security", "usdjpy=JPY Curncy", "--security", "spx=SPX Index")
        assert result.returncode == 0, result.stderr
        windows = pd.read_csv(tmp_path / "windows.csv")
        years = set(pd.to_datetime(windows["event_datetime"], utc=True).dt.year)
        assert years == {2021, 2023}
        period = json.loads((tmp_path / "run.json").read_text())["period"]
        assert period["bars_fetched"] == [["2021-01-01", "2021-12-31"], ["2023-01-01", "2023-12-31"]]
        table = result.stdout[result.stdout.index("in basis points:"):].splitlines()[2:]
        printed = {key: int(line.split()[-1]) for line in table for key in ("sx5e", "usdjpy", "es", "spx")
                   if f" {key} " in line}
        measured = windows[windows["move_bps"].notna()].groupby("key")["event_datetime"].nunique()
        assert printed == dict(measured.to_dict(), spx=0)
        assert printed["sx5e"] > 20  # two years of monthly releases, not only those with a bar at +600
        # the US cash index opens at +60: its windows have bars, but none at the baseline minute
        dropped = pd.read_csv(tmp_path / "dropped.csv")
        assert set(dropped["key"]) == {"spx"} and len(dropped) == printed["sx5e"]
        assert (dropped["reason"] == "no bar at the baseline minute -1").all()
        assert "note: no move for security 'spx': no bar at the baseline minute -1 in any window" in result.stderr


@pytest.mark.parametrize(
    "args, words",
    [
        (["--events", "NOPE Index"], "NOPE Index"),
        (["--security", "x=NOSUCH Equity"], "NOSUCH Equity"),
        (["--dates", "2023-05-01", "2023-01-01"], "before"),
        (["--dates", "2023-13-01", "2023-12-31"], "2023-13-01 is not a date: month 13"),
        (["--events", "NFP TCH Indx"], "closest tickers the calendar knows to NFP TCH Indx: NFP TCH Index"),
        (["--events", "NFP TCH Index", "CPI YOY Indx"], "closest tickers the calendar knows to CPI YOY Indx: CPI YOY"),
        (["--pre", "3", "--post", "1"], "window starts after it ends"),
        (["--pre", "3", "--post", "10"], "does not contain the baseline minute -1"),
        (["--pre", "-5", "--post", "-5"], "does not contain the baseline minute -1"),
        (["--future", "es=ES:Index:soon"], "offset"),
        (["--years", "2050"], "no releases"),
        (["--years", "1990"], "no releases"),
        (["--years", "-2023"], "-2023 is not a calendar year"),
        (["--years", "0"], "0 is not a calendar year"),
        (["--universe", "XX"], "universe XX"),
        (["--event-tz", "Mars/Olympus"], "unknown time zone 'Mars/Olympus' for --event-tz"),
        (["--bar-tz", "Nowhere"], "unknown time zone 'Nowhere' for --bar-tz"),
        (["--ema", "0"], "--ema: expected a whole number of at least 1"),
        (["--ema", "-3"], "--ema: expected a whole number of at least 1"),
        (["--ema", "100"], "--ema 100 is longer than the 16-minute windows"),
        (["--base-minute", "11"], "does not contain the baseline minute 11"),
    ],
)
def test_bad_input_gives_one_line_and_status_2(tmp_path, args, words):
    out = tmp_path / "out"
    result = run(*STUDY, "--out", str(out), *([] if "--years" in args or "--dates" in args else SHORT), *args)
    assert result.returncode == 2, result.stderr
    assert "Traceback" not in result.stderr
    last = result.stderr.strip().splitlines()[-1]
    assert words in last and "error:" in last
    assert not out.exists()
    assert "fetching bars" not in result.stderr  # refused before the bars are fetched


def test_securities_without_a_bar_in_any_window_are_named_with_the_reason(tmp_path):
    result = run(*STUDY, "--out", str(tmp_path / "out"), *SHORT, "--security", "spx=SPX Index",
                 "--security", "nikkei=NKY Index", "--no-futures")
    assert result.returncode == 2, result.stderr
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("orvane-data: error: no bar of the securities falls inside any event window")
    assert "spx: no bar in the window: outside trading hours (bars that day 14:30-" in last
    assert "; nikkei: " in last and "releases)" in last
    assert not (tmp_path / "out").exists()


def test_a_workbook_in_place_of_the_tables(tmp_path):
    pytest.importorskip("openpyxl")
    result = run(*STUDY, "--out", str(tmp_path), "--dates", "2023-02-01", "2023-02-28", "--no-plot", "--no-futures",
                 "--security", "dax=DAX Index", "--format", "xlsx", "--quiet")
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["event_study.xlsx", "run.json", *REPORT])
    assert "listed in event_study.xlsx" in result.stdout
    assert pd.ExcelFile(tmp_path / "event_study.xlsx").sheet_names == [
        "windows", "summary", "response", "news", "concurrent", "activity", "dropped"]


def test_a_workbook_without_openpyxl_is_refused_before_fetching(tmp_path):
    code = ("import sys; sys.modules['openpyxl'] = None\n"  # makes `import openpyxl` fail
            "from orvane_data.__main__ import main\n"
            f"sys.exit(main(['event-study', '--out', {str(tmp_path / 'out')!r}, '--format', 'xlsx']))")
    result = run("-c", code)
    assert result.returncode == 2, result.stderr
    assert "pip install 'orvane_data[xlsx]'" in result.stderr.strip().splitlines()[-1]
    assert "[1/" not in result.stderr and not (tmp_path / "out").exists()


@pytest.mark.parametrize("folder, words", [("file/sub", "not a folder"), ("/proc/nope", "cannot write to the output")])
def test_unwritable_folder_is_refused_before_fetching(tmp_path, folder, words):
    (tmp_path / "file").write_text("not a folder")
    result = run(*STUDY, "--out", str(tmp_path / folder) if not folder.startswith("/") else folder, *SHORT)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert words in result.stderr and "[1/" not in result.stderr


def test_a_folder_without_a_record_of_an_earlier_run_loses_nothing(tmp_path):
    from orvane_data._study_files import removable_outputs

    for own in ("plot_my_analysis.png", "summary.csv", "dropped.parquet"):
        (tmp_path / own).write_text("the user's own")
    assert removable_outputs(tmp_path) == []
    for record in ("not json", "[1, 2]", '{"files": "summary.csv"}', '{"files": [3, ".", ".."]}'):
        (tmp_path / "run.json").write_text(record)
        assert removable_outputs(tmp_path) == []
    result = run(*STUDY, "--out", str(tmp_path), "--dates", "2023-02-01", "2023-02-28", "--no-plot", "--no-futures",
                 "--security", "dax=DAX Index", "--quiet")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "plot_my_analysis.png").read_text() == "the user's own"
    assert (tmp_path / "dropped.parquet").read_text() == "the user's own"


def test_debug_shows_the_traceback(tmp_path):
    result = run(*STUDY, "--out", str(tmp_path / "out"), *SHORT, "--events", "NOPE Index", "--debug")
    assert result.returncode == 2
    assert "Traceback (most recent call last)" in result.stderr and "UsageError" in result.stderr
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("orvane-data: error: ") and "NOPE Index" in last


def test_help_shows_each_default_once_in_plain_text():
    result = run(*STUDY, "--help")
    assert result.returncode == 0
    text = " ".join(result.stdout.split())
    assert "(default: None)" not in text and "``" not in text
    assert text.count("default: sx5e=SX5E Index, usdjpy=JPY Curncy") == 1 and "(default: False)" not in text
    assert "--base-minute" in text and "last one-minute bar before the release" in text
    assert "--debug" in text and "full traceback" in text


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_bar_on_a_terminal_unless_quiet(tmp_path, quiet):
    status, shown = run_on_a_terminal(*STUDY, "--out", str(tmp_path), "--dates", "2023-02-01", "2023-02-28",
                                      "--no-plot", "--no-futures", "--security", "dax=DAX Index",
                                      *(["--quiet"] if quiet else []))
    assert status == 0, shown
    assert ("rows/s" in shown) is not quiet
    assert ("[1/6]" in shown) is not quiet


def test_example_script_runs(tmp_path):
    result = run(str(ROOT / "examples" / "event_study.py"), str(tmp_path))
    assert result.returncode == 0, result.stderr
    summary = pd.read_csv(tmp_path / "summary.csv")
    assert (summary.groupby(["EVENT_NAME", "key"]).size() == 16).all()
    assert (summary.loc[summary["time_diff"] == -1, "mean_bps"] == 0).all()
    response = pd.read_csv(tmp_path / "response.csv")
    assert response.loc[response["time_diff"] == 1, "beta_bps_per_sd"].notna().all()


def test_without_matplotlib_the_tables_are_still_written(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None\n"  # makes `import matplotlib` fail
            "from orvane_data.__main__ import main\n"
            f"sys.exit(main(['event-study', '--out', {str(tmp_path)!r}, '--dates', '2023-03-01', '2023-03-31', '--quiet']))")
    result = run("-c", code)
    assert result.returncode == 0, result.stderr
    assert "pip install 'orvane_data[plot]'" in result.stderr
    assert (tmp_path / "summary.csv").exists() and not list(tmp_path.glob("*.png"))


def test_dask_missing_is_refused_before_fetching(tmp_path):
    code = ("import sys; sys.modules['distributed'] = None\n"  # makes `import distributed` fail
            "from orvane_data.__main__ import main\n"
            f"sys.exit(main(['event-study', '--out', {str(tmp_path / 'out')!r}, '--dask', 'local']))")
    result = run("-c", code)
    assert result.returncode == 2, result.stderr
    assert "--dask needs Dask" in result.stderr and "initialization failed" not in result.stderr
    assert "[1/" not in result.stderr and not (tmp_path / "out").exists()


def test_dask_road_gives_the_same_summary(study, tmp_path):
    pytest.importorskip("distributed")
    from orvane_data.event_study import event_moves, summarize_moves

    out, _ = study
    result = run(*STUDY, "--out", str(tmp_path), *SHORT, "--ema", "3", "--dask", "local", "--no-plot",
                 "--base-minute", "0")
    assert result.returncode == 0, result.stderr
    # the workers measure from the default baseline; the chosen one must still rule
    windows = pd.read_csv(out / "windows.csv").drop(columns="move_bps")
    expected = summarize_moves(event_moves(windows, base_minute=0))
    got = pd.read_csv(tmp_path / "summary.csv")
    pd.testing.assert_frame_equal(got[expected.columns], expected)
    steps = step_lines(result.stderr)
    assert len(steps) == 5 and all(line.startswith(f"[{i}/5]") for i, line in enumerate(steps, 1))
    assert "computing the moves on Dask" in steps[2]
