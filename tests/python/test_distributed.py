"""The event study on Dask workers against the same study in one process.

The cluster tests run a LocalCluster of two worker processes on 127.0.0.1.
Workers import the package the way this process did: the folder holding the
imported `orvane_data` is put first on their PYTHONPATH.
"""

import os
import pickle
import signal
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

pytest.importorskip("dask.dataframe")  # the optional extra "dask"
dask_distributed = pytest.importorskip("distributed")

import orvane_data  # noqa: E402
from orvane_data import distributed as od  # noqa: E402
from orvane_data import event_study  # noqa: E402
from orvane_data import bar_store  # noqa: E402
from orvane_data.ta import strategy  # noqa: E402
from orvane_data.from_bqia.bar_kit import filter_bars_around_events  # noqa: E402
from s3_server import s3_endpoint  # noqa: F401,E402  (fixture)

WINDOW_KEYS = ["EVENT_NAME", "event_datetime", "key", "datetime"]


# --- data -------------------------------------------------------------------

SESSION_DAYS = pd.bdate_range("2024-01-08", periods=6)


def make_bars(n_securities=4, seed=0, days=SESSION_DAYS):
    """Minute bars of a 09:30-16:00 New York session, random walks, with a few
    minutes missing (the event minute of one window among them)."""
    rng = np.random.default_rng(seed)
    frames = []
    for i in range(n_securities):
        minutes = pd.DatetimeIndex(np.concatenate([
            pd.date_range(day + pd.Timedelta(hours=14, minutes=30), periods=390, freq="min", tz="UTC")
            for day in days
        ]))
        keep = rng.random(len(minutes)) > 0.03
        if i == 0:  # no bar at 10:00 New York on the second day
            keep &= minutes != pd.Timestamp(days[1]).tz_localize("America/New_York") + pd.Timedelta(hours=10)
        minutes = minutes[keep]
        close = 100.0 * (1 + i) * np.exp(np.cumsum(rng.normal(0, 5e-4, len(minutes))))
        frames.append(pd.DataFrame({
            "security": f"OVGT{i:07d}Q", "datetime": minutes, "key": f"KEY{i % 3}" if i < 3 else f"KEY{i}",
            "open": close * (1 + rng.normal(0, 1e-4, len(minutes))), "high": close * 1.0005,
            "low": close * 0.9995, "close": close,
            "volume": rng.integers(1, 500, len(minutes)).astype("float64"),
            "short_name": f"Security {i}", "parsekey": f"SEC{i} Equity",
        }))
    return pd.concat(frames, ignore_index=True)


def make_calendar(days=SESSION_DAYS):
    ny = [pd.Timestamp(d).tz_localize("America/New_York") for d in days]
    h = pd.Timedelta(hours=1)
    times = [ny[0] + 10 * h, ny[1] + 10 * h, ny[2] + 8.5 * h,  # the last before the open: no bars
             ny[2] + 9.5 * h + pd.Timedelta(minutes=2),     # window starts before the open
             ny[3] + 14 * h, ny[4] + 10 * h + pd.Timedelta(seconds=30), ny[5] + 10 * h]
    frame = pd.DataFrame({
        "EVENT_NAME": ["ISM", "ISM", "NFP", "OPEN", "FOMC", "CPI", "NFP"],
        "event_datetime": times,
        "ACTUAL": [50.1, 49.0, 180.0, 1.0, 5.25, 3.1, 210.0],
    })
    frame.index = pd.Index([f"ID{i}" for i in range(len(frame))], name="ID")
    return frame


def single_process_moves(bars, calendar, pre=-5, post=10, price="close"):
    from orvane_data.from_bqia.bar_kit import filter_bars_around_events

    return event_study.event_moves(filter_bars_around_events(bars, calendar, pre, post), price=price)


def single_process_summary(bars, calendar, pre=-5, post=10, price="close"):
    return event_study.summarize_moves(single_process_moves(bars, calendar, pre, post, price),
                                       by=["EVENT_NAME", "key"])


@pytest.fixture(scope="module")
def bars():
    return make_bars()


@pytest.fixture(scope="module")
def calendar():
    return make_calendar()


@pytest.fixture(scope="module")
def dataset(tmp_path_factory, bars):
    root = tmp_path_factory.mktemp("bars")
    bar_store.write_bars(bars, str(root))
    return str(root)


@pytest.fixture(scope="module")
def client():
    package_parent = str(Path(orvane_data.__file__).resolve().parent.parent)
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (package_parent, saved) if p)
    try:
        with dask_distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None) as cluster, \
                dask_distributed.Client(cluster) as c:
            yield c
    finally:
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


# --- the bar store ----------------------------------------------------------

class TestBarStore:
    def test_round_trip_one_file_per_security(self, bars, dataset):
        files = sorted(Path(dataset).rglob("*.parquet"))
        assert [f.parent.name for f in files] == [f"security={s}" for s in sorted(bars["security"].unique())]
        back = bar_store.load_bars(dataset)
        expected = bars.sort_values("security", kind="stable").reset_index(drop=True)
        pd.testing.assert_frame_equal(back, expected, check_dtype=False)
        assert list(back.columns) == list(bars.columns)

    def test_writing_again_replaces_a_security(self, tmp_path, bars):
        root = str(tmp_path)
        bar_store.write_bars(bars, root)
        first = bars[bars["security"] == bars["security"].iloc[0]]
        bar_store.write_bars(first.iloc[:10], root)
        assert len(list((tmp_path / f"security={first['security'].iloc[0]}").iterdir())) == 1
        back = bar_store.load_bars(root, securities=[first["security"].iloc[0]])
        assert len(back) == 10

    def test_failed_write_keeps_the_previous_file(self, tmp_path, bars):
        root = str(tmp_path)
        one = bars[bars["security"] == bars["security"].iloc[0]]
        bar_store.write_bars(one, root)
        with pytest.raises(RuntimeError):
            with bar_store.SecurityWriter(root, one["security"].iloc[0]) as writer:
                writer.write(one.iloc[:5])
                raise RuntimeError("source failed")
        assert len(bar_store.load_bars(root)) == len(one)
        assert [p.name for p in tmp_path.rglob("*")] == [f"security={one['security'].iloc[0]}", bar_store.FILE_NAME]

    @pytest.mark.parametrize("security", ["a/b", "x=y", "", "../up"])
    def test_unsafe_folder_names_are_refused(self, tmp_path, bars, security):
        with pytest.raises(ValueError, match="cannot name a dataset folder"):
            bar_store.write_bars(bars.iloc[:3].assign(security=security), str(tmp_path))

    def test_writer_refuses_other_securities(self, tmp_path, bars):
        with pytest.raises(ValueError, match="given to the writer"):
            with bar_store.SecurityWriter(str(tmp_path), "OVGT0000000Q") as writer:
                writer.write(bars.iloc[[0, -1]])


# --- same numbers -----------------------------------------------------------

class TestSameNumbers:
    @pytest.mark.parametrize("pre, post", [(-5, 10), (0, 0), (-2, 3)])
    def test_summary_on_the_cluster_equals_one_process(self, client, dataset, bars, calendar, pre, post):
        got = od.event_summary(dataset, calendar, pre, post, scheduler=client)
        pd.testing.assert_frame_equal(got, single_process_summary(bars, calendar, pre, post))

    def test_collected_moves_equal_the_single_process_windows(self, client, dataset, calendar):
        got = od.collect_moves(dataset, calendar, scheduler=client)
        # same data as read back by pandas, so the dtypes of the files agree too
        expected = single_process_moves(bar_store.load_bars(dataset), calendar)
        pd.testing.assert_frame_equal(got, expected)
        assert got["move_bps"].isna().any()  # the window without its event-minute bar

    def test_securities_filter(self, client, dataset, bars, calendar):
        chosen = sorted(bars["security"].unique())[1:3]
        got = od.event_summary(dataset, calendar, securities=chosen, scheduler=client)
        pd.testing.assert_frame_equal(got, single_process_summary(bars[bars["security"].isin(chosen)], calendar))

    def test_windows_cut_by_partition_boundaries_are_rejoined(self, tmp_path, bars, calendar):
        # one security in three files, cut inside event windows, plus its own file for another
        one = bars[bars["security"] == "OVGT0000000Q"].reset_index(drop=True)
        folder = tmp_path / "security=OVGT0000000Q"
        folder.mkdir()
        cut_at = [one.index[one["datetime"] == t][0] for t in
                  (calendar["event_datetime"].iloc[0] + pd.Timedelta(minutes=3),
                   calendar["event_datetime"].iloc[4] - pd.Timedelta(minutes=2))]
        bounds = [0, *cut_at, len(one)]
        parts = [one.drop(columns="security").iloc[a:b] for a, b in zip(bounds, bounds[1:])]
        for n, part in enumerate(parts):
            pq.write_table(bar_store.arrow_table(part), folder / f"part-{n}.parquet")
        bar_store.write_bars(bars[bars["security"] == "OVGT0000001Q"], str(tmp_path))
        assert od.read_bars(str(tmp_path)).npartitions == 4
        subset = bars[bars["security"].isin(["OVGT0000000Q", "OVGT0000001Q"])]
        got = od.collect_moves(str(tmp_path), calendar, scheduler="sync")
        expected = single_process_moves(subset, calendar)
        for measured in ("move_bps", "ret_1m_bps"):
            np.testing.assert_array_equal(got[measured].to_numpy(), expected[measured].to_numpy())
        pd.testing.assert_frame_equal(got[WINDOW_KEYS], expected[WINDOW_KEYS], check_dtype=False)

    def test_a_worker_lost_mid_run_does_not_change_the_result(self, client, tmp_path, calendar):
        many = make_bars(n_securities=48, seed=3)
        bar_store.write_bars(many, str(tmp_path))
        expected = single_process_summary(many, calendar)
        pids = client.run(os.getpid)
        outcome = {}

        def run():
            try:
                outcome["summary"] = od.event_summary(str(tmp_path), calendar, scheduler=client)
            except BaseException as exc:  # reported below
                outcome["error"] = exc

        def finished_tasks(dask_scheduler):
            return sum(ts.state == "memory" and "partition_moves" in str(ts.key)
                       for ts in dask_scheduler.tasks.values())

        runner = threading.Thread(target=run)
        runner.start()
        deadline = time.monotonic() + 60
        while client.run_on_scheduler(finished_tasks) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        killed_mid_run = runner.is_alive()
        victim = max(pids.values())
        os.kill(victim, signal.SIGKILL)
        runner.join(120)
        assert killed_mid_run, "the computation ended before a worker could be killed"
        assert "error" not in outcome, outcome.get("error")
        pd.testing.assert_frame_equal(outcome["summary"], expected)
        client.wait_for_workers(2, timeout=60)
        assert victim not in client.run(os.getpid).values()


    def test_response_to_surprises_on_the_collected_moves(self, client, dataset, bars, calendar):
        surprised = calendar.assign(surprise=[0.4, -1.1, 2.0, 0.3, -0.2, 0.9, 1.5])
        moves = od.collect_moves(dataset, surprised, scheduler=client)
        got = event_study.surprise_response(moves, by=["key"])
        expected = event_study.surprise_response(single_process_moves(bars, surprised), by=["key"])
        pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-10)
        assert got["beta_bps_per_sd"].notna().any()

    def test_activity_against_control_days_on_the_collected_moves(self, client, tmp_path, calendar):
        # bars from the week before the releases, where their control days lie
        longer = make_bars(seed=4, days=pd.bdate_range("2024-01-01", periods=11))
        bar_store.write_bars(longer, str(tmp_path))
        controls = event_study.control_events(calendar, 3)
        got = event_study.abnormal_activity(od.collect_moves(str(tmp_path), calendar, scheduler=client),
                                            od.collect_moves(str(tmp_path), controls, scheduler=client))
        expected = event_study.abnormal_activity(single_process_moves(longer, calendar),
                                                 single_process_moves(longer, controls))
        pd.testing.assert_frame_equal(got, expected)
        assert got["n_control"].gt(0).any() and got["p_value"].notna().any()

    def test_summary_statistics_at_another_level(self, client, dataset, bars, calendar):
        got = od.event_summary(dataset, calendar, confidence=0.8, scheduler=client)
        expected = event_study.summarize_moves(single_process_moves(bars, calendar), confidence=0.8)
        pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-10)
        assert got["ci_low_bps"].notna().any()


class TestThroughTheServices:
    def test_simulated_dataset_gives_the_single_process_study(self, client, tmp_path, monkeypatch):
        """Calendar and bars from the simulated services, the one-process road
        through get_intraday_bars against the dataset road."""
        from orvane_data.from_bqia import bar_kit, query_kit
        from orvane_data.simulated import bql, intraday

        service = bql.Service()
        for module in (bar_kit, query_kit):  # whatever was imported first, these services answer
            monkeypatch.setattr(module, "bql", bql, raising=False)
            monkeypatch.setattr(module, "bq", service, raising=False)
        monkeypatch.setattr(bar_kit, "bqia", intraday, raising=False)

        start, end = "2023-03-01", "2023-04-30"
        calendar = query_kit.get_eco_calendar_data(
            query_kit.bq, ["US"], start, end, tickers=["NFP TCH Index", "CPI YOY Index", "FDTR Index"],
            event_timezone="America/New_York")
        parse_keys = ["SPX Index", "IBM US Equity", "JPY Curncy"]
        bars = bar_kit.get_intraday_bars({k: (k, "") for k in parse_keys}, None, start, end,
                                         security_id_type="parsekey")
        bar_store.write_simulated_bars(str(tmp_path), parse_keys, start, end, chunk_days=20)
        by_time = ["security", "datetime"]
        pd.testing.assert_frame_equal(bar_store.load_bars(str(tmp_path)).sort_values(by_time, ignore_index=True),
                                      bars.sort_values(by_time, ignore_index=True), check_dtype=False)
        got = od.event_summary(str(tmp_path), calendar, scheduler=client)
        pd.testing.assert_frame_equal(got, single_process_summary(bars, calendar))
        assert set(got["key"]) == set(parse_keys)  # equities too, through the afternoon rate decisions

    def test_dataset_on_s3(self, client, s3_endpoint, bars, calendar):  # noqa: F811
        s3_endpoint.client().create_bucket(Bucket="orvane-bars")
        # credentials and endpoint travel with the graph, so workers need no environment
        options = {"key": "testing", "secret": "testing", "client_kwargs": {"endpoint_url": s3_endpoint.url}}
        written = bar_store.write_bars(bars, "s3://orvane-bars/minute", storage_options=options)
        assert written[0] == f"orvane-bars/minute/security={sorted(bars['security'].unique())[0]}/part-0.parquet"
        pd.testing.assert_frame_equal(
            bar_store.load_bars("s3://orvane-bars/minute", storage_options=options),
            bars.sort_values("security", kind="stable", ignore_index=True), check_dtype=False)
        got = od.event_summary("s3://orvane-bars/minute", calendar, storage_options=options, scheduler=client)
        pd.testing.assert_frame_equal(got, single_process_summary(bars, calendar))


# --- reads by window ---------------------------------------------------------

class TestWindowReads:
    """Tasks given the releases read only the row groups the windows meet."""

    @pytest.fixture(scope="class")
    def long_bars(self):
        return make_bars(n_securities=3, seed=2, days=pd.bdate_range("2024-01-08", periods=30))

    @pytest.mark.parametrize("on_s3", [False, True])
    def test_read_bars_around_equals_the_whole_read_cut(self, monkeypatch, request, tmp_path, long_bars, on_s3):
        from test_bar_store import bytes_read, dataset_bytes

        calendar = make_calendar(pd.bdate_range("2024-01-08", periods=30)[[0, 4, 11, 12, 20, 26, 29]])
        root, options = str(tmp_path), None
        if on_s3:
            server = request.getfixturevalue("s3_endpoint")
            server.client().create_bucket(Bucket="orvane-bar-windows")
            root = "s3://orvane-bar-windows/minute"
            options = {"key": "testing", "secret": "testing", "client_kwargs": {"endpoint_url": server.url}}
        bar_store.write_bars(long_bars, root, storage_options=options)
        whole = od.read_bars(root, storage_options=options).compute(scheduler="sync")
        with bytes_read(monkeypatch, local=not on_s3) as count:
            lazy = od.read_bars(root, storage_options=options, around=calendar)
            near = lazy.compute(scheduler="sync")
        assert lazy.npartitions == 3
        pd.testing.assert_frame_equal(near.dtypes.to_frame(), whole.dtypes.to_frame())
        pd.testing.assert_frame_equal(filter_bars_around_events(near.reset_index(drop=True), calendar),
                                      filter_bars_around_events(whole.reset_index(drop=True), calendar))
        fs, path = bar_store._filesystem(root, options)
        # every column of 7 windows' row groups, and each footer read with the
        # 64 KB before it (a tenth of these small files)
        assert 0 < count["bytes"] < 0.5 * dataset_bytes(fs, path)
        # some securities, some columns, in the order asked
        some = dict(securities=sorted(long_bars["security"].unique())[1:], columns=["close", "datetime", "key"])
        pd.testing.assert_frame_equal(
            od.read_bars(root, storage_options=options, around=calendar, **some).compute(
                scheduler="sync").reset_index(drop=True),
            near[near["security"].isin(some["securities"])][some["columns"]].reset_index(drop=True))

    def test_summary_reads_only_the_windows(self, monkeypatch, tmp_path, long_bars):
        from test_bar_store import bytes_read, dataset_bytes

        days = pd.bdate_range("2024-01-08", periods=30)
        calendar = make_calendar(days[[1, 5, 9, 14, 18, 22, 27]])
        bar_store.write_bars(long_bars, str(tmp_path))
        with bytes_read(monkeypatch) as count:
            got = od.event_summary(str(tmp_path), calendar, -3, 6, scheduler="sync")
        pd.testing.assert_frame_equal(got, single_process_summary(long_bars, calendar, -3, 6))
        assert 0 < count["bytes"] < 0.25 * dataset_bytes(*bar_store._filesystem(str(tmp_path), None))


# --- indicators -------------------------------------------------------------

def bars_with_indicator(bars, fn, column, **kwargs):
    """The indicator per security over its whole series, in plain pandas order."""
    out = bars.copy()
    out[column] = np.nan
    for _, rows in bars.groupby("security"):
        rows = rows.sort_values("datetime")
        out.loc[rows.index, column] = fn(rows["close"], **kwargs).to_numpy()
    return out


class TestIndicators:
    def test_strategy_indicator_per_security(self, client, dataset, bars, calendar):
        overlap = pytest.importorskip("orvane_data.ta.overlap")
        plan = strategy.Strategy(name="ema", ta=[{"kind": "ema", "length": 8}, {"kind": "SMA", "length": 4}])
        got = od.collect_moves(dataset, calendar, indicator=plan, price="EMA_8", scheduler=client)
        reference = bars_with_indicator(bar_store.load_bars(dataset), overlap.ema, "EMA_8", length=8)
        reference = bars_with_indicator(reference, overlap.sma, "SMA_4", length=4)
        expected = single_process_moves(reference, calendar, price="EMA_8")
        pd.testing.assert_frame_equal(got, expected)
        # the indicator saw each security's history, not just its windows
        assert got["EMA_8"].notna().all()

    def test_summary_reads_what_the_indicators_need(self, client, dataset, bars, calendar):
        overlap = pytest.importorskip("orvane_data.ta.overlap")
        got = od.event_summary(dataset, calendar, indicator={"kind": "hlc3"}, price="HLC3", scheduler=client)
        reference = bars.assign(HLC3=overlap.hlc3(bars["high"], bars["low"], bars["close"]))
        pd.testing.assert_frame_equal(got, single_process_summary(reference, calendar, price="HLC3"))

    @pytest.mark.parametrize("indicator, error, message", [
        ({"kind": "rsi"}, ValueError, "not one of orvane_data.ta.overlap's"),
        ([{"length": 3}], TypeError, "must be a dict with a text \"kind\""),
        ("ema", TypeError, "must be a Strategy, a dict or a list of dicts"),
        (strategy.CommonStrategy, ValueError, "'rsi'"),
    ])
    def test_bad_indicators_fail_before_any_task(self, dataset, calendar, indicator, error, message):
        pytest.importorskip("orvane_data.ta.overlap")
        with pytest.raises(error, match=message):
            od.event_windows(od.read_bars(dataset), calendar, indicator=indicator)

    def test_indicator_refuses_a_security_split_over_files(self, tmp_path, bars, calendar):
        folder = tmp_path / "security=OVGT0000000Q"
        folder.mkdir()
        one = bars[bars["security"] == "OVGT0000000Q"].drop(columns="security")
        for n, part in enumerate([one.iloc[:100], one.iloc[100:]]):
            pq.write_table(bar_store.arrow_table(part), folder / f"part-{n}.parquet")
        with pytest.raises(ValueError, match="holds 2 files"):
            od.collect_moves(str(tmp_path), calendar, indicator={"kind": "ema"}, scheduler="sync")


# --- what travels to the workers ---------------------------------------------

def _round_trip(objects):
    return pickle.loads(pickle.dumps(objects))


class TestShipping:
    def test_native_functions_and_records_survive_a_worker(self, client):
        shipped = [od._partition_moves, od.event_summary, event_study.event_moves,
                   strategy.Strategy(name="x", ta=[{"kind": "ema", "length": 3}]), strategy.CommonStrategy]
        back = client.submit(_round_trip, shipped, pure=False).result()
        assert back[0] is od._partition_moves and back[1] is od.event_summary
        assert back[2] is event_study.event_moves
        assert back[3] == shipped[3] and type(back[3]) is strategy.Strategy
        assert back[4] == strategy.CommonStrategy
        # and a worker can call what it received
        assert client.submit(lambda f: f.__module__ + "." + f.__qualname__, od._partition_moves).result() \
            == "orvane_data.distributed._partition_moves"

    def test_calendar_is_one_key_every_task_depends_on(self, dataset, calendar):
        # a long calendar, so that one embedded per task would show in the tasks' size
        calendar = pd.concat([calendar.assign(EVENT_NAME=calendar["EVENT_NAME"] + f"_{n}")
                              for n in range(300)])
        lazy = od.event_windows(od.read_bars(dataset), calendar)
        graph = dict(lazy.__dask_graph__())
        holders = [key for key, task in graph.items()
                   if isinstance(getattr(task, "value", None), pd.DataFrame)
                   and task.value.equals(calendar)]
        assert len(holders) == 1
        tasks = [task for key, task in graph.items() if "partition_moves" in str(key)]
        assert len(tasks) == lazy.npartitions == 4
        assert all(holders[0] in task.dependencies for task in tasks)
        # the tasks themselves stay small: the calendar is not pickled into each
        assert all(len(pickle.dumps(task)) < len(pickle.dumps(calendar)) / 10 for task in tasks)


# --- arguments --------------------------------------------------------------

def test_without_dask_the_import_names_the_extra():
    import subprocess
    import sys

    code = ("import sys; sys.modules['dask'] = None\n"  # makes `import dask` fail
            "try:\n    import orvane_data.distributed\n"
            "except ImportError as exc:\n    print(exc)")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert "pip install 'orvane_data[dask]'" in result.stdout, result.stderr


class TestArguments:
    def test_signatures(self):
        import inspect

        sig = inspect.signature(od.event_summary)
        assert list(sig.parameters)[:4] == ["dataset", "calendar", "pre_event_window", "post_event_window"]
        assert sig.parameters["by"].default == ["EVENT_NAME", "key"]
        assert od.event_summary.__doc__.splitlines()[0] == \
            "The event study's summary of a whole bar dataset, computed on Dask."

    def test_default_by_is_not_changed_by_a_call(self, dataset, calendar):
        import inspect

        od.event_summary(dataset, calendar, scheduler="sync")
        od.event_summary(dataset, calendar, scheduler="sync")
        assert inspect.signature(od.event_summary).parameters["by"].default == ["EVENT_NAME", "key"]

    @pytest.mark.parametrize("call, message", [
        (lambda d, c: od.read_bars(Path(d)), "Argument 'path' has incorrect type"),
        (lambda d, c: od.read_bars(d, securities=("A",)), "Argument 'securities' has incorrect type"),
        (lambda d, c: od.event_windows(od.read_bars(d), c.reset_index().values), "calendar must be a pandas DataFrame"),
        (lambda d, c: od.collect_moves(c, c), "dataset must be a dataset path or a dask DataFrame"),
        (lambda d, c: od.event_summary(d, c, by=("key",)), "Argument 'by' has incorrect type"),
        (lambda d, c: od.event_summary(d, c, 1.5), None),
    ])
    def test_bad_arguments_raise_type_errors_before_computing(self, dataset, calendar, call, message):
        with pytest.raises(TypeError, match=message):
            call(dataset, calendar)
