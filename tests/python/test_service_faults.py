"""What the package does when its outside services fail.

The simulated services are wrapped by ``orvane_data.simulated.faults``; S3
is a local server, or an endpoint on 127.0.0.1 that accepts connections and
never answers.
"""

from __future__ import annotations

import socket
import threading
import types

import pandas as pd
import pytest

from orvane_data import DataWarning
from orvane_data.from_bqia import bar_kit, query_kit
from orvane_data.from_s3 import bucket_sets, s3_io
from orvane_data.simulated import bql as sim_bql
from orvane_data.simulated import faults
from orvane_data.simulated import intraday as sim_intraday
from doubles import import_in_fresh_interpreter
from s3_server import csv_gz_bytes, s3_endpoint  # noqa: F401  (fixture)

YEARS = ("2019-01-01", "2021-12-31")  # three calendar years: three requests in one batch


@pytest.fixture(autouse=True)
def simulated_libraries(monkeypatch):
    monkeypatch.setattr(query_kit, "bql", sim_bql, raising=False)
    monkeypatch.setattr(bar_kit, "bql", sim_bql, raising=False)


def calendar(bq, **kwargs):
    return query_kit.get_eco_calendar_data(bq, "US", *YEARS, **kwargs)


class TestCalendarBatch:
    def test_failed_years_are_skipped_and_the_others_kept(self):
        whole = calendar(sim_bql.Service(), event_timezone="America/New_York")
        bq = faults.FaultyService(sim_bql.Service(), failing_requests={1})
        result = calendar(bq, event_timezone="America/New_York")
        assert len(bq.reported) == 1 and [kind for kind, _ in bq.calls] == ["execute", "execute_many"]
        # the second year (2020) is gone; nothing of the years that came back is lost
        kept = whole[whole["RELEASE_DATE_TIME"].dt.year != 2020]
        assert 0 < len(result) == len(kept) < len(whole)
        pd.testing.assert_frame_equal(result, kept)

    def test_every_year_failing_is_pandas_error_for_nothing_to_stack(self):
        bq = faults.FaultyService(sim_bql.Service(), failing_requests={0, 1, 2})
        with pytest.raises(ValueError, match="No objects to concatenate"):
            calendar(bq)
        assert len(bq.reported) == 3

    @pytest.mark.parametrize("switch", ["raise_on_execute", "raise_on_batch"])
    def test_a_refused_request_propagates_unchanged(self, switch):
        error = TimeoutError("service did not answer")
        bq = faults.FaultyService(sim_bql.Service(), **{switch: error})
        with pytest.raises(TimeoutError) as raised:
            calendar(bq)
        assert raised.value is error

    def test_empty_answers(self):
        # the probe answering without dates has no first date
        with pytest.raises(IndexError):
            calendar(faults.FaultyService(sim_bql.Service(), empty=True))

    def test_answers_without_timezone_or_actual(self):
        no_zone = faults.FaultyService(sim_bql.Service(), drop_columns=["TIMEZONE"])
        assert "TIMEZONE" not in calendar(no_zone).columns
        with pytest.raises(Exception, match="'TIMEZONE' column not found. Please set 'view' parameter to 'extended'."):
            calendar(no_zone, event_timezone="UTC")
        with pytest.raises(KeyError, match="ACTUAL"):
            calendar(faults.FaultyService(sim_bql.Service(), drop_columns=["ACTUAL"]))
        with pytest.raises(KeyError, match="DATE"):
            calendar(faults.FaultyService(sim_bql.Service(), drop_columns=["DATE"]))


class TestFigiTables:
    def test_refused_and_empty_answers(self, monkeypatch):
        monkeypatch.setattr(query_kit, "bq", faults.FaultyService(sim_bql.Service(), raise_on_execute=ConnectionError),
                            raising=False)
        with pytest.raises(ConnectionError):
            query_kit.get_id_to_figi_mapping(["JPY Curncy"])
        monkeypatch.setattr(query_kit, "bq", faults.FaultyService(sim_bql.Service(), empty=True), raising=False)
        table = query_kit.get_id_to_figi_mapping(["JPY Curncy", "IBM US Equity"])
        assert list(table.columns) == ["parsekey", "figi"] and len(table) == 0
        monkeypatch.setattr(query_kit, "bq", faults.FaultyService(sim_bql.Service(), missing_items=True), raising=False)
        with pytest.raises(KeyError):
            query_kit.get_figi_to_id_mapping(["BBG000BLNNH6"])


@pytest.fixture
def intraday_services(monkeypatch):
    def install(**switches):
        query = faults.FaultyService(sim_bql.Service(), **switches.pop("query", {}))
        bars = faults.FaultyIntraday(sim_intraday, **switches)
        monkeypatch.setattr(bar_kit, "bq", query, raising=False)
        monkeypatch.setattr(query_kit, "bq", query, raising=False)
        monkeypatch.setattr(bar_kit, "bqia", bars, raising=False)
        return query, bars
    return install


BAR_ARGS = dict(dict_sec_pcs={"spx": ("spx index", ""), "jpy": ("JPY Curncy", "")}, start="2024-06-03", end="2024-06-04")


class TestIntradayBars:
    def test_bars_refused_after_the_configuration(self, intraday_services):
        _, bars = intraday_services(raise_on_get_bars=TimeoutError("no bars"))
        with pytest.raises(TimeoutError, match="no bars"):
            bar_kit.get_intraday_bars(**BAR_ARGS)
        assert [kind for kind, _ in bars.calls] == ["set_config", "get_bars"]

    def test_configuration_refused_before_any_bar_request(self, intraday_services):
        _, bars = intraday_services(raise_on_set_config=RuntimeError("config"))
        with pytest.raises(RuntimeError, match="config"):
            bar_kit.get_intraday_bars(**BAR_ARGS)
        assert [kind for kind, _ in bars.calls] == ["set_config"]

    def test_id_lookup_refused_before_the_intraday_service(self, intraday_services):
        _, bars = intraday_services(query={"raise_on_execute": ConnectionError("query service")})
        with pytest.raises(ConnectionError):
            bar_kit.get_intraday_bars(**BAR_ARGS)
        assert bars.calls == []

    def test_empty_bars_come_back_empty_with_the_description_columns(self, intraday_services):
        intraday_services(empty=True)
        with pytest.warns(DataWarning) as caught:
            result = bar_kit.get_intraday_bars(**BAR_ARGS)
        assert [str(w.message) for w in caught] == [f"no bars for security '{s}' from 2024-06-03 to 2024-06-04"
                                                    for s in ("spx", "jpy")]
        assert len(result) == 0 and {"short_name", "parsekey"} <= set(result.columns)

    def test_bars_without_a_key_column(self, intraday_services):
        intraday_services(drop_columns=["key"])
        result = bar_kit.get_intraday_bars(**BAR_ARGS)
        assert "key" not in result.columns and len(result) > 0
        calendar_frame = pd.DataFrame({"EVENT_NAME": ["x"], "event_datetime": [result["datetime"].iloc[0]]})
        with pytest.raises(KeyError):
            bar_kit.filter_bars_around_events(result, calendar_frame)

    def test_descriptions_missing_for_a_bar_security(self, intraday_services):
        # the FIGIs are found, then the name lookups come back empty: the
        # description of the first bar's security is a KeyError for it
        query, bars = intraday_services(query={"empty_after": 1})
        with pytest.raises(KeyError):
            bar_kit.get_intraday_bars(**BAR_ARGS)
        assert [kind for kind, _ in bars.calls] == ["set_config", "get_bars"]
        with pytest.warns(DataWarning) as caught:  # the lookups stay empty
            assert bar_kit.get_intraday_bars(**BAR_ARGS, add_description=False)["security"].notna().all()
        assert [str(w.message) for w in caught] == ["no FIGI for security 'spx' (parse key 'spx index')",
                                                    "no FIGI for security 'jpy' (parse key 'JPY Curncy')"]


# --- S3 -----------------------------------------------------------------------


class SilentEndpoint:
    """Accepts connections on 127.0.0.1 and never answers."""

    def __enter__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.url = f"http://127.0.0.1:{self.sock.getsockname()[1]}"
        self.held = []
        self._stop = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()
        return self

    def _accept(self):
        self.sock.settimeout(0.2)
        while not self._stop:
            try:
                conn, _ = self.sock.accept()
                self.held.append(conn)
            except OSError:
                continue

    def __exit__(self, *exc):
        self._stop = True
        self.thread.join()
        for conn in self.held:
            conn.close()
        self.sock.close()


def impatient_boto3(url):
    """boto3 whose clients and resources give up after a fraction of a second, once."""
    import boto3
    from botocore.config import Config

    config = Config(connect_timeout=0.3, read_timeout=0.3, retries={"total_max_attempts": 1})
    options = dict(endpoint_url=url, config=config, region_name="us-east-1", aws_access_key_id="testing",
                   aws_secret_access_key="testing")
    return types.SimpleNamespace(
        client=lambda name, **kw: boto3.client(name, **options, **kw),
        resource=lambda name, **kw: boto3.resource(name, **options, **kw),
    )


SPLC_KEY = "alt_data/supply_chain/dl/datasets/supplyChainHistoryV2/snapshots/{}/distributions/supplyChainHistoryV2.csv.gz"


@pytest.fixture
def supply_chain(s3_endpoint):
    client = s3_endpoint.client()
    bucket = bucket_sets.SPLC.bucket
    try:
        client.create_bucket(Bucket=bucket)
    except client.exceptions.BucketAlreadyOwnedByYou:
        pass
    frame = pd.DataFrame({"ID_BB_GLOBAL": ["F1", "F2"], "RELATED_FIGI": ["F2", "F3"], "RELATIONSHIP": ["SUPPLIER"] * 2,
                          "RELTNSHP_START_DT": ["2020-01-01", "2021-06-30"], "RELTNSHP_END_DT": ["", "2023-01-01"]})
    client.put_object(Bucket=bucket, Key=SPLC_KEY.format("20240105"), Body=csv_gz_bytes(frame))
    return s3_endpoint


@pytest.mark.filterwarnings("ignore::ResourceWarning")
class TestS3Outages:
    @pytest.mark.parametrize("call", [
        lambda: s3_io.list_s3_objects("supplyChainHistoryV2", "any-bucket", "alt_data"),
        lambda: s3_io.read_from_s3("a.csv.gz", "csv.gz", "any-bucket", "", True, 10),
    ])
    def test_an_endpoint_that_never_answers_times_out(self, call, monkeypatch):
        from botocore.exceptions import ConnectTimeoutError, ReadTimeoutError

        with SilentEndpoint() as silent:
            monkeypatch.setattr(s3_io, "boto3", impatient_boto3(silent.url))
            with pytest.raises((ReadTimeoutError, ConnectTimeoutError)):
                call()

    def test_a_loaded_dataset_keeps_working_when_s3_goes_silent(self, supply_chain, monkeypatch):
        from botocore.exceptions import ConnectTimeoutError, ReadTimeoutError

        loaded = bucket_sets.SPLC(dataset="supplier")
        before = loaded.get_data(["X"], None, None).copy()
        with SilentEndpoint() as silent:
            monkeypatch.setattr(s3_io, "boto3", impatient_boto3(silent.url))
            with pytest.raises((ReadTimeoutError, ConnectTimeoutError)):
                bucket_sets.SPLC(dataset="supplier")
            # nothing already loaded is lost or reloaded
            pd.testing.assert_frame_equal(loaded.get_data(["X"], None, None), before)
            assert len(loaded.get_data(["X"], "2020-06-01", None)) == 1

    def test_query_service_failing_in_get_data_leaves_the_snapshot(self, supply_chain):
        bq = faults.FaultyService(sim_bql.Service(), raise_on_execute=ConnectionError("query"))
        loaded = bucket_sets.SPLC(dataset="supplier", bq=bq)
        snapshot = loaded.data.copy()
        with pytest.raises(ConnectionError):
            loaded.get_data(["IBM US Equity"], None, None)
        pd.testing.assert_frame_equal(loaded.data, snapshot)

    def test_a_translation_without_items_is_the_sequences_index_error(self):
        bq = faults.FaultyService(sim_bql.Service(), missing_items=True)
        with pytest.raises(IndexError):
            bucket_sets.ticker_to_figi(["IBM US Equity"], bq)


# --- service libraries failing at import ----------------------------------------

FAULTS = """
class Stop(BaseException):  # no Exception: guards covering every Exception let it through
    pass
SESSION, STOP = RuntimeError("no session"), Stop("interrupted")
"""
FAILING_IMPORT = """
import json
import fault
try:
    import {module}
except BaseException as err:
    print(json.dumps([type(err).__name__, err is fault.{error}, err.__cause__ is None]))
"""


@pytest.mark.parametrize("module, library, error, at", [
    # what the guard of each module does not catch, raised by the service's constructor or its import
    ("orvane_data.from_s3.bucket_sets", "bql.py", "SESSION", "service"),
    ("orvane_data.from_s3.bucket_sets", "bql.py", "SESSION", "import"),
    ("orvane_data.from_bqia.query_kit", "bql.py", "STOP", "service"),
    ("orvane_data.from_bqia.bar_kit", "bloomberg/bquant/intraday.py", "STOP", "import"),
])
def test_a_failing_service_library_fails_the_import_with_its_own_error(tmp_path, module, library, error, at):
    raising = f"raise fault.{error}\n"
    source = "import fault\n" + (raising if at == "import" else
                                  "class Service:\n    def __init__(self):\n        " + raising)
    packages = {f"{folder}/__init__.py": "" for folder in ("bloomberg", "bloomberg/bquant")}
    got = import_in_fresh_interpreter(tmp_path, FAILING_IMPORT.format(module=module, error=error), None,
                                      libraries={"fault.py": FAULTS, **packages, library: source})
    # the very object raised, of its own type, with no wrapper around it
    assert got == [{"SESSION": "RuntimeError", "STOP": "Stop"}[error], True, True]
