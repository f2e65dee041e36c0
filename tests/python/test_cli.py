"""The event-study command and the example script, run as a newcomer runs them."""

import os
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parents[2]
SHORT = ["--dates", "2023-01-01", "2023-04-30"]


def run(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MPLBACKEND="Agg")
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=600)


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    out = tmp_path_factory.mktemp("study")
    result = run("-m", "orvane_data", "event-study", "--out", str(out), *SHORT, "--ema", "3")
    assert result.returncode == 0, result.stderr
    return out, result


class TestEventStudy:
    def test_first_line_names_the_services(self, study):
        _, result = study
        assert result.stdout.splitlines()[0].startswith("orvane_data event study on the simulated services")

    def test_outputs(self, study):
        out, result = study
        names = sorted(p.name for p in out.iterdir())
        assert "windows.csv" in names and "summary.csv" in names
        assert not [n for n in names if n.startswith(".partial")]
        assert str(out.resolve()) in result.stdout

    def test_summary_shape_and_zero_at_the_event_minute(self, study):
        out, _ = study
        summary = pd.read_csv(out / "summary.csv")
        sizes = summary.groupby(["EVENT_NAME", "key"]).size()
        assert set(summary["key"]) == {"sx5e", "usdjpy", "es"}
        assert summary["EVENT_NAME"].nunique() == 2
        assert (sizes == 16).all()
        assert sorted(summary["time_diff"].unique()) == list(range(-5, 11))
        at_zero = summary[summary["time_diff"] == 0]
        assert (at_zero["mean_bps"] == 0).all() and (at_zero["count"] > 0).all()

    def test_windows_carry_moves_and_ema(self, study):
        out, _ = study
        windows = pd.read_csv(out / "windows.csv")
        for column in ("EVENT_NAME", "event_datetime", "time_diff", "datetime", "key", "close", "move_bps", "ema_3"):
            assert column in windows.columns
        assert windows.loc[windows["time_diff"] == 0, "move_bps"].abs().max() == 0

    def test_one_valid_png_per_event_kind(self, study):
        out, _ = study
        plots = sorted(out.glob("plot_*.png"))
        assert len(plots) == 2
        import matplotlib.image

        for plot in plots:
            assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
            assert matplotlib.image.imread(plot).shape[0] > 100

    def test_parquet_and_no_plot(self, tmp_path):
        result = run("-m", "orvane_data", "event-study", "--out", str(tmp_path), "--dates", "2023-02-01", "2023-02-28",
                     "--format", "parquet", "--no-plot", "--no-futures", "--security", "dax=DAX Index", "--quiet")
        assert result.returncode == 0, result.stderr
        summary = pd.read_parquet(tmp_path / "summary.parquet")
        assert set(summary["key"]) == {"dax"}
        assert not list(tmp_path.glob("*.png"))


class TestBadInput:
    @pytest.mark.parametrize(
        "args, words",
        [
            (["--events", "NOPE Index"], "NOPE Index"),
            (["--security", "x=NOSUCH Equity"], "NOSUCH Equity"),
            (["--dates", "2023-05-01", "2023-01-01"], "before"),
            (["--pre", "3", "--post", "1"], "window"),
            (["--future", "es=ES:Index:soon"], "offset"),
        ],
    )
    def test_one_line_error_and_nothing_written(self, tmp_path, args, words):
        out = tmp_path / "out"
        result = run("-m", "orvane_data", "event-study", "--out", str(out), *SHORT, *args)
        assert result.returncode != 0
        lines = result.stderr.strip().splitlines()
        assert len(lines[-1:]) == 1 and "Traceback" not in result.stderr
        assert words in result.stderr
        assert not out.exists()

    def test_unwritable_folder(self, tmp_path):
        blocker = tmp_path / "file"
        blocker.write_text("not a folder")
        result = run("-m", "orvane_data", "event-study", "--out", str(blocker / "sub"), *SHORT)
        assert result.returncode != 0 and "Traceback" not in result.stderr
        assert "cannot write to the output folder" in result.stderr


def test_example_script_runs(tmp_path):
    result = run(str(ROOT / "examples" / "event_study.py"), str(tmp_path))
    assert result.returncode == 0, result.stderr
    summary = pd.read_csv(tmp_path / "summary.csv")
    assert (summary.groupby(["EVENT_NAME", "key"]).size() == 16).all()


def test_without_matplotlib_the_tables_are_still_written(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None\n"  # makes `import matplotlib` fail
            "from orvane_data.__main__ import main\n"
            f"sys.exit(main(['event-study', '--out', {str(tmp_path)!r}, '--dates', '2023-03-01', '2023-03-31', '--quiet']))")
    result = run("-c", code)
    assert result.returncode == 0, result.stderr
    assert "pip install 'orvane_data[plot]'" in result.stderr
    assert (tmp_path / "summary.csv").exists() and not list(tmp_path.glob("*.png"))


def test_dask_road_gives_the_same_summary(study, tmp_path):
    pytest.importorskip("distributed")
    out, _ = study
    result = run("-m", "orvane_data", "event-study", "--out", str(tmp_path), *SHORT, "--ema", "3",
                 "--dask", "local", "--no-plot", "--quiet")
    assert result.returncode == 0, result.stderr
    pd.testing.assert_frame_equal(pd.read_csv(tmp_path / "summary.csv"), pd.read_csv(out / "summary.csv"))
