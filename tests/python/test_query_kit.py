"""query_kit: rounding, offset zones, year splitting, FIGI tables, the calendar batch."""

from __future__ import annotations

import datetime as dt
import inspect
import re
import warnings

import numpy as np
import pandas as pd
import pytest
import pytz

from doubles import import_in_fresh_interpreter
from orvane_data import DataWarning, _glue
from orvane_data.from_bqia import query_kit
from orvane_data.simulated import bql as sim_bql
from orvane_data.simulated import calendar as sim_calendar
from reference import element_by_element


# --- a recording stand-in for the service -----------------------------------


class Item:
    def __init__(self, name, kwargs, condition=None):
        self.name, self.kwargs, self.condition = name, kwargs, condition

    def __getitem__(self, field):
        return Field(field)

    def matches(self, condition):
        return Item(self.name, self.kwargs, condition)


class Field:
    def __init__(self, name):
        self.name = name

    def in_(self, values):
        return ("in", self.name, values)


class Data:
    def __getattr__(self, name):
        return lambda **kwargs: Item(name, kwargs)


class Func:
    @staticmethod
    def range(start, end):
        return ("range", start, end)


class Request:
    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


class Answer:
    def __init__(self, frame):
        self.frame = frame

    def df(self):
        return self.frame.copy()


class Response(list):
    def __init__(self, named):
        super().__init__(Answer(f) for f in named.values())
        self.named = named

    def get(self, name):
        return Answer(self.named[name])


class Service:
    """Answers from `probe` (DATE values), `table` (one frame per response
    name) and `years` (calendar frame per year); records every call."""

    def __init__(self, probe=(), table=None, years=None, failing=()):
        self.data, self.func = Data(), Func()
        self.probe, self.table, self.years, self.failing = list(probe), table or {}, years or {}, failing
        self.executed, self.batches = [], []

    def execute(self, request):
        self.executed.append(request)
        name = list(request.args[1])[0] if isinstance(request.args[1], dict) else "px"
        if name in self.table:
            return Response({name: self.table[name]})
        return Response({"px": pd.DataFrame({"DATE": self.probe}, index=pd.Index(["JPY Curncy"] * len(self.probe), name="ID"))})

    def execute_many(self, requests, on_request_error=None):
        self.batches.append((list(requests), on_request_error))
        for request in requests:
            year = int(request.args[1]["Calendar"].kwargs["dates"][1][:4])
            if year in self.failing:
                on_request_error(RuntimeError(f"no data for {year}"), request)
                continue
            yield Response({"Calendar": self.years[year]})


@pytest.fixture
def fake_bql(monkeypatch):
    import types

    module = types.SimpleNamespace(Request=Request)
    monkeypatch.setattr(query_kit, "bql", module, raising=False)
    return module


def calendar_frame(times, zone="GMT-05:00", actual=None, ids=None):
    n = len(times)
    return pd.DataFrame(
        {
            "EVENT_NAME": [f"event {i}" for i in range(n)],
            "RELEASE_DATE_TIME": pd.to_datetime(times).as_unit("ns") if n else pd.to_datetime([]).as_unit("ns"),
            "ACTUAL": actual if actual is not None else [1.0] * n,
            "TIMEZONE": [zone] * n,
            "surprise": [0.0] * n,
            "subtype": ["economic_releases"] * n,
        },
        index=pd.Index(ids or ["US"] * n, name="ID"),
    )


# --- the module's load -------------------------------------------------------


def test_module_dict_and_signatures():
    names = [n for n in vars(query_kit) if not n.startswith("__")]
    assert names[:7] == ["os", "warnings", "pd", "dt", "pytz", "re", "SHOW_WARNINGS"]
    assert query_kit.pd is pd and query_kit.dt is dt and query_kit.pytz is pytz
    expected = {
        "_split_date_range": "(bq, start, end)",
        "_invert_sign": "(sign)",
        "convert_tz": "(custom_timezone)",
        "round_event_datetime": "(datetime_obj, round_down=True)",
        "_on_request_error": "(*args)",
        "get_id_to_figi_mapping": "(universe, figi_col_name='figi', id_col_name='parsekey', tickers_to_add_pcs=None)",
        "get_figi_to_id_mapping": "(universe, figi_col_name='figi', id_col_name='short_name', id_data_item='name')",
        "get_eco_calendar_data": "(bq, universe, start, end, tickers=None, subtype='all', relevancy='medium', "
        "view='extended', event_timezone=None, verbose=False)",
    }
    for name, sig in expected.items():
        assert str(inspect.signature(getattr(query_kit, name))) == sig


GUARD_PROBE = """
    import json, warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        from orvane_data.from_bqia import query_kit as q
    print(json.dumps({
        "show": q.SHOW_WARNINGS,
        "warnings": [(str(w.message), w.category.__name__) for w in caught],
        "bql": hasattr(q, "bql"),
        "bq": hasattr(q, "bq"),
        "bq_type": type(getattr(q, "bq", None)).__name__,
    }))
    """


def run_guard(tmp_path, env_value, bql_source=None):
    if bql_source is None:
        return import_in_fresh_interpreter(tmp_path, GUARD_PROBE, env_value, blocked={"bql"})
    return import_in_fresh_interpreter(tmp_path, GUARD_PROBE, env_value, {"bql.py": bql_source})


@pytest.mark.parametrize("env_value, shown", [(None, False), ("true", False), ("1", True), (" 1", False)])
def test_missing_library_warns_only_when_switched_on(tmp_path, env_value, shown):
    result = run_guard(tmp_path, env_value)
    assert result["show"] is shown
    assert result["warnings"] == ([["[bqia] 'bql' is not installed.", "UserWarning"]] if shown else [])
    assert not result["bql"] and not result["bq"]


@pytest.mark.parametrize("env_value", [None, "1"])
def test_failing_service_keeps_the_library_bound(tmp_path, env_value):
    source = "class Service:\n    def __init__(self):\n        raise RuntimeError('no session')\n"
    result = run_guard(tmp_path, env_value, source)
    assert result["bql"] and not result["bq"]
    assert len(result["warnings"]) == (1 if env_value == "1" else 0)


def test_working_library_binds_its_service(tmp_path):
    result = run_guard(tmp_path, "1", "class Service:\n    pass\n")
    assert result["bql"] and result["bq"] and result["bq_type"] == "Service"
    assert result["warnings"] == []


def test_unbound_service_names_fail_at_call_time(monkeypatch, fake_bql):
    monkeypatch.delattr(query_kit, "bq", raising=False)
    with pytest.raises(NameError, match="name 'bq' is not defined"):
        query_kit.get_id_to_figi_mapping(["JPY Curncy"])
    monkeypatch.setattr(query_kit, "bq", Service(), raising=False)
    monkeypatch.delattr(query_kit, "bql")
    with pytest.raises(NameError, match="name 'bql' is not defined"):
        query_kit.get_figi_to_id_mapping(["X"])


# --- small helpers -----------------------------------------------------------


@pytest.mark.parametrize(
    "value, round_down, expected",
    [
        (dt.datetime(2024, 1, 5, 8, 30, 45), True, dt.datetime(2024, 1, 5, 8, 30)),
        (dt.datetime(2024, 1, 5, 8, 30, 45), False, dt.datetime(2024, 1, 5, 8, 31)),
        (dt.datetime(2024, 1, 5, 8, 30, 45), 0, dt.datetime(2024, 1, 5, 8, 31)),
        (dt.datetime(2024, 12, 31, 23, 59, 30), False, dt.datetime(2025, 1, 1)),
        (dt.datetime(2024, 1, 5, 8, 30, 45, 500000), True, dt.datetime(2024, 1, 5, 8, 30, 0, 500000)),
        (pd.Timestamp("2024-03-10 01:59:30.000000001", tz="America/New_York"), False,
         pd.Timestamp("2024-03-10 03:00:00.000000001", tz="America/New_York")),
    ],
)
def test_rounding_moves_only_by_the_seconds_field(value, round_down, expected):
    result = query_kit.round_event_datetime(value, round_down)
    assert result == expected and type(result) is type(value)
    assert getattr(result, "tzinfo", None) == getattr(expected, "tzinfo", None)


@pytest.mark.parametrize(
    "value",
    [dt.datetime(2024, 1, 5, 8, 30), dt.datetime(2024, 1, 5, 8, 30, 0, 500000), pd.Timestamp("2024-01-05 08:30", tz="UTC")],
)
@pytest.mark.parametrize("round_down", [True, False])
def test_rounding_returns_whole_seconds_unchanged(value, round_down):
    assert query_kit.round_event_datetime(value, round_down=round_down) is value


def test_rounding_needs_a_seconds_field():
    with pytest.raises(AttributeError):
        query_kit.round_event_datetime(dt.date(2024, 1, 5))


@pytest.mark.parametrize(
    "text, zone",
    [("GMT+08:00", "Etc/GMT-8"), ("GMT-05:00", "Etc/GMT+5"), ("GMT+00:00", "Etc/GMT-0"),
     ("GMT+05:30", "Etc/GMT-5"), ("GMT+05:45", "Etc/GMT-5"), ("GMT-03:00", "Etc/GMT+3")],
)
def test_offset_text_to_zone(text, zone):
    assert query_kit.convert_tz(text) is pytz.timezone(zone)


@pytest.mark.parametrize(
    "text, error",
    [("GMT", IndexError), ("GMT+x:00", ValueError), ("GMT+15:00", pytz.UnknownTimeZoneError)],
)
def test_offset_text_errors(text, error):
    with pytest.raises(error):
        query_kit.convert_tz(text)


@pytest.mark.parametrize("sign, expected", [("-", "+"), ("+", "-"), ("x", None), ("", None), (None, None), (1, None)])
def test_invert_sign(sign, expected):
    assert query_kit._invert_sign(sign) == expected


def test_request_error_callable_takes_positionals_only():
    assert query_kit._on_request_error() is None
    assert query_kit._on_request_error(ValueError("x"), object(), 3) is None
    with pytest.raises(TypeError, match="unexpected keyword argument 'error'"):
        query_kit._on_request_error(error=1)


# --- years of a date range ---------------------------------------------------


@pytest.mark.parametrize(
    "probe, years",
    [
        (["2020-01-31", "2019-12-02", "2020-01-02"], [2019, 2020]),
        (["2021-03-01", "2021-11-30"], [2021]),
        (["2020-06-15", "2022-03-01", "2021-05-05"], [2020, 2021, 2022]),
        (["2021-06-01"], [2021]),
    ],
)
def test_years_come_from_the_probe_dates(fake_bql, probe, years):
    bq = Service(probe=pd.to_datetime(probe))
    # the texts say 2015-2030: only the observed dates count
    assert query_kit._split_date_range(bq, "2015-01-01", "2030-12-31") == years
    (request,) = bq.executed
    assert request.args[0] == "JPY Curncy" and request.kwargs == {}
    item = request.args[1]
    assert item.name == "px_last" and item.kwargs == {"dates": ("range", "2015-01-01", "2030-12-31")}


def test_years_of_an_empty_probe(fake_bql):
    with pytest.raises(IndexError):
        query_kit._split_date_range(Service(probe=[]), "2020-01-01", "2020-01-31")


# --- identifier tables --------------------------------------------------------


def figi_table(ids, name="figi"):
    figis = [f"F{i:011d}" for i in range(len(ids))]
    return pd.DataFrame({name: figis}, index=pd.Index(ids, name="ID")), figis


IDS = ["JPY Curncy", "XYZ 5 01/01/30 Corp", "ABC 2 02/02/29 CORP", "IBM US Equity", "Curncy JPY US Equity", "EUR Curncy "]


@pytest.mark.parametrize(
    "chosen, suffixed",
    [
        (None, {0, 1, 2}),
        (["JPY Curncy", "IBM US Equity"], {0, 3}),
        ({"IBM US Equity"}, {3}),
        ([], set()),
    ],
)
def test_figi_suffix_rule(monkeypatch, fake_bql, chosen, suffixed):
    frame, figis = figi_table(IDS)
    bq = Service(table={"figi": frame})
    monkeypatch.setattr(query_kit, "bq", bq, raising=False)
    result = query_kit.get_id_to_figi_mapping(IDS, tickers_to_add_pcs=chosen)
    assert list(result.columns) == ["parsekey", "figi"]
    assert list(result.index) == list(range(len(IDS)))
    assert result["parsekey"].tolist() == IDS
    assert result["figi"].tolist() == [f + ".BGN" if i in suffixed else f for i, f in enumerate(figis)]
    (request,) = bq.executed
    assert request.args[0] is IDS and list(request.args[1]) == ["figi"]
    assert request.args[1]["figi"].name == "ID_BB_GLOBAL" and request.args[1]["figi"].kwargs == {}


def test_figi_table_custom_names_and_missing_figis(monkeypatch, fake_bql):
    frame = pd.DataFrame({"F": ["FIGI1", None]}, index=pd.Index(["JPY Curncy", "XXX Curncy"], name="ID"))
    monkeypatch.setattr(query_kit, "bq", Service(table={"F": frame}), raising=False)
    result = query_kit.get_id_to_figi_mapping("JPY Curncy", figi_col_name="F", id_col_name="key")
    assert list(result.columns) == ["key", "F"]
    assert result["F"].iloc[0] == "FIGI1.BGN"
    assert pd.isna(result["F"].iloc[1])  # never "nan.BGN"


def test_figi_rule_errors(monkeypatch, fake_bql):
    frame = pd.DataFrame({"figi": ["A"]}, index=pd.Index([7], name="ID"))
    monkeypatch.setattr(query_kit, "bq", Service(table={"figi": frame}), raising=False)
    with pytest.raises(AttributeError):
        query_kit.get_id_to_figi_mapping([7])
    with pytest.raises(TypeError):
        query_kit.get_id_to_figi_mapping([7], tickers_to_add_pcs=3)


def test_figi_to_id_table(monkeypatch, fake_bql):
    frame = pd.DataFrame({"parsekey": ["IBM US Equity"]}, index=pd.Index(["F1"], name="ID"))
    bq = Service(table={"parsekey": frame})
    monkeypatch.setattr(query_kit, "bq", bq, raising=False)
    result = query_kit.get_figi_to_id_mapping(["F1"], id_col_name="parsekey", id_data_item="parsekyable_des")
    assert result.to_dict("list") == {"figi": ["F1"], "parsekey": ["IBM US Equity"]}
    assert bq.executed[0].args[1]["parsekey"].name == "parsekyable_des"


# --- the calendar batch --------------------------------------------------------


def year_service(years, failing=(), probe=None):
    frames = {y: calendar_frame([f"{y}-03-08 08:30:30", f"{y}-07-05 08:30:00"], actual=[1.0, 2.0]) for y in years}
    probe = probe if probe is not None else [f"{years[0]}-02-01", f"{years[-1]}-02-01"]
    return Service(probe=pd.to_datetime(probe), years=frames, failing=failing)


@pytest.mark.parametrize("tickers", [None, ["NFP TCH Index"]])
def test_one_request_per_year_in_one_batch(fake_bql, tickers):
    bq = year_service([2020, 2021, 2022])
    universe = object()
    query_kit.get_eco_calendar_data(bq, universe, "2020-06-15", "2022-03-01", tickers=tickers,
                                    subtype="economic_releases", relevancy="high", view="extended")
    (batch,) = bq.batches
    requests, callback = batch
    assert callback is query_kit._on_request_error
    assert len(requests) == 3
    for year, request in zip([2020, 2021, 2022], requests):
        assert request.args[0] is universe
        assert request.kwargs == {"preferences": {"addcols": ["surprise", "subtype"]}}
        item = request.args[1]["Calendar"]
        assert list(request.args[1]) == ["Calendar"]
        assert item.kwargs == {"dates": ("range", f"{year}-01-01", f"{year}-12-31"), "subtype": "economic_releases",
                               "relevancy": "high", "view": "extended"}
        assert item.condition == (None if tickers is None else ("in", "ticker", tickers))


def test_failed_years_are_skipped_and_missing_actuals_dropped(fake_bql):
    bq = year_service([2019, 2020, 2021], failing={2020})
    bq.years[2021]["ACTUAL"] = [np.nan, 3.0]
    result = query_kit.get_eco_calendar_data(bq, "US", "2019-01-01", "2021-12-31")
    assert result["ACTUAL"].tolist() == [1.0, 2.0, 3.0]
    assert list(result.index) == ["US"] * 3
    assert "event_datetime" not in result
    with_zone = query_kit.get_eco_calendar_data(bq, "US", "2019-01-01", "2021-12-31", event_timezone="Etc/GMT+5")
    assert with_zone["ACTUAL"].tolist() == [1.0, 2.0, 3.0]
    assert list(with_zone.columns[-4:]) == ["event_datetime", "event_date", "event_time", "event_timezone"]


def test_no_response_at_all_is_pandas_concat_error(fake_bql):
    with pytest.raises(ValueError, match="No objects to concatenate"):
        query_kit.get_eco_calendar_data(year_service([2020], failing={2020}), "US", "2020-01-01", "2020-12-31")


def test_missing_timezone_column(fake_bql):
    bq = year_service([2020])
    bq.years[2020] = bq.years[2020].drop(columns="TIMEZONE")
    assert len(query_kit.get_eco_calendar_data(bq, "US", "2020-01-01", "2020-12-31", view="standard")) == 2
    with pytest.raises(Exception) as caught:
        query_kit.get_eco_calendar_data(bq, "US", "2020-01-01", "2020-12-31", view="standard", event_timezone="UTC")
    assert type(caught.value) is Exception
    assert str(caught.value) == "'TIMEZONE' column not found. Please set 'view' parameter to 'extended'."


def test_release_times_in_the_calendar_zone_and_previous_day(fake_bql):
    bq = year_service([2024])
    result = query_kit.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="Etc/GMT+5")
    first = result.iloc[0]
    assert first["event_datetime"] == pd.Timestamp("2024-03-08 08:30", tz="Etc/GMT+5")
    assert first["event_time"] == dt.time(8, 30) and first["event_date"] == dt.date(2024, 3, 8)
    assert first["event_timezone"] is pytz.timezone("Etc/GMT+5")

    # 09:30 in a zone east of New York is the previous evening there
    bq.years[2024] = calendar_frame(["2024-01-11 09:30:00"], zone="GMT+08:00")
    result = query_kit.get_eco_calendar_data(bq, "CN", "2024-01-01", "2024-12-31", event_timezone="America/New_York")
    assert result["event_date"].tolist() == [dt.date(2024, 1, 10)]
    assert result["event_time"].tolist() == [dt.time(20, 30)]


def test_unknown_target_zone(fake_bql):
    with pytest.raises(pytz.UnknownTimeZoneError):
        query_kit.get_eco_calendar_data(year_service([2024]), "US", "2024-01-01", "2024-12-31", event_timezone="Mars/Base")


def test_no_release_with_an_actual_still_gets_the_event_columns(fake_bql):
    bq = year_service([2024])
    bq.years[2024]["ACTUAL"] = np.nan
    result = query_kit.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="Asia/Tokyo")
    assert len(result) == 0
    assert list(result.columns[-4:]) == ["event_datetime", "event_date", "event_time", "event_timezone"]
    assert str(result["event_datetime"].dtype) == "datetime64[ns, Asia/Tokyo]"


def test_verbose_lines_come_before_the_batch(fake_bql, capsys):
    bq = year_service([2019, 2020])
    original = bq.execute_many

    def announce(requests, on_request_error=None):
        print("BATCH")
        return original(requests, on_request_error=on_request_error)

    bq.execute_many = announce
    query_kit.get_eco_calendar_data(bq, "US", "2019-01-01", "2020-12-31")
    assert capsys.readouterr().out == "BATCH\n"
    query_kit.get_eco_calendar_data(bq, "US", "2019-01-01", "2020-12-31", verbose=True)
    assert capsys.readouterr().out == (
        "Splitting the date range ...\ngetting data for year 2019\ngetting data for year 2020\nBATCH\n"
    )


# --- whole-column conversion against the element-by-element formulation -------


def generated_calendar(seed, rows=600, unit="ns", zone="GMT-05:00"):
    rng = np.random.default_rng(seed)
    # spread over 1960-2035, with a share placed just around the hour (offset changes)
    seconds = rng.integers(-10 * 365 * 86400, 65 * 365 * 86400, rows)
    seconds[: rows // 4] = seconds[: rows // 4] // 3600 * 3600 + rng.integers(-90, 90, rows // 4)
    fraction = np.where(rng.random(rows) < 0.3, rng.integers(0, 10**9, rows), 0)
    stamps = pd.to_datetime(seconds * 10**9 + fraction).as_unit(unit)
    return calendar_frame(list(stamps), zone=zone, ids=list(rng.choice(["US", "EU"], rows)))


@pytest.mark.parametrize(
    "target",
    ["America/New_York", "Europe/London", "Australia/Lord_Howe", "Asia/Kathmandu", "UTC", "Etc/GMT-8", "America/St_Johns"],
)
@pytest.mark.parametrize("unit", ["ns", "us"])
def test_whole_column_path_equals_element_by_element(native_roads, fake_bql, target, unit):
    frame = generated_calendar(hash((target, unit)) % 2**32, unit=unit, zone="GMT+03:00")
    frame["RELEASE_DATE_TIME"] = frame["RELEASE_DATE_TIME"].astype(f"datetime64[{unit}]")
    bq = year_service([2024])
    bq.years[2024] = frame
    result = query_kit.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone=target)
    assert native_roads.roads() == {"query_kit.calendar_columns": {"native": 1, "pandas": 0}}
    pd.testing.assert_frame_equal(result, element_by_element(frame, target))


@pytest.mark.parametrize(
    "make, reason",
    [
        pytest.param(lambda s: s.astype(str), "is not naive datetime64", id="texts"),
        pytest.param(lambda s: s.where(s.index != s.index[3]), "holds NaT", id="with-NaT"),
        pytest.param(lambda s: s.dt.tz_localize("Etc/GMT+5"), "is not naive datetime64", id="already-aware"),
        pytest.param(lambda s: pd.Series([v.tz_localize("Asia/Tokyo") if i % 2 else v.tz_localize("UTC")
                                          for i, v in enumerate(s)], index=s.index, dtype=object),
                     "is not naive datetime64", id="mixed-zones"),
        pytest.param(lambda s: s.astype("datetime64[ms]"), "is not naive datetime64", id="milliseconds"),
        pytest.param(lambda s: s.where(s.index != s.index[2], pd.Timestamp.min.ceil("s")),
                     "within a day of the datetime64 range", id="earliest-stamp"),
    ],
)
def test_other_release_values_follow_element_by_element(monkeypatch, fake_bql, make, reason):
    frame = generated_calendar(7, rows=40)
    frame = frame.reset_index()
    frame["RELEASE_DATE_TIME"] = make(frame["RELEASE_DATE_TIME"])
    frame = frame.set_index("ID")
    bq = year_service([2024])
    bq.years[2024] = frame
    try:
        expected = element_by_element(frame, "America/New_York")
    except Exception as error:  # pandas' own formulation fails on the earliest stamps
        expected = error
    monkeypatch.setenv("ORVANE_ROADS", "strict")
    with pytest.raises(RuntimeError, match=f"query_kit.calendar_columns took its pandas formulation .*{reason}"):
        query_kit.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="America/New_York")
    monkeypatch.delenv("ORVANE_ROADS")
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=re.escape(str(expected))):
            query_kit.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="America/New_York")
        return
    result = query_kit.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="America/New_York")
    pd.testing.assert_frame_equal(result, expected)


def test_a_calendar_zone_with_summer_time_follows_element_by_element(monkeypatch, fake_bql):
    frame = generated_calendar(11, rows=60)
    bq = year_service([2024])
    bq.years[2024] = frame
    monkeypatch.setattr(query_kit, "convert_tz", lambda text: pytz.timezone("Europe/Paris"))
    expected = element_by_element(frame, "Asia/Tokyo")
    _glue.reset_roads()
    result = query_kit.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="Asia/Tokyo")
    pd.testing.assert_frame_equal(result, expected)
    assert _glue.roads() == {"query_kit.calendar_columns": {"native": 0, "pandas": 1}}


def test_replaced_rounding_is_used(monkeypatch, fake_bql):
    original = query_kit.round_event_datetime
    up = lambda value: original(value, False)  # noqa: E731
    frame = generated_calendar(3, rows=30)
    bq = year_service([2024])
    bq.years[2024] = frame
    expected = element_by_element(frame, "Asia/Tokyo", round_event=up)
    monkeypatch.setattr(query_kit, "round_event_datetime", up)
    _glue.reset_roads()
    result = query_kit.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="Asia/Tokyo")
    pd.testing.assert_frame_equal(result, expected)
    assert _glue.roads() == {"query_kit.calendar_columns": {"native": 0, "pandas": 1}}


# --- the whole road through the simulated service ----------------------------


@pytest.fixture
def simulated(monkeypatch):
    service = sim_bql.Service()
    monkeypatch.setattr(query_kit, "bql", sim_bql, raising=False)
    monkeypatch.setattr(query_kit, "bq", service, raising=False)
    return service


@pytest.mark.filterwarnings("error::orvane_data.DataWarning")
def test_calendar_through_the_simulated_service(simulated):
    result = query_kit.get_eco_calendar_data(
        simulated, ["US"], "2023-06-15", "2024-03-01", tickers=["NFP TCH Index", "CPI YOY Index"],
        event_timezone="America/New_York",
    )
    assert set(result["ticker"]) == {"NFP TCH Index", "CPI YOY Index"}
    assert result["ACTUAL"].notna().all()
    assert {d.year for d in result["event_date"]} == {2023, 2024}
    # whole years: January 2023 is there although the range starts in June
    assert min(result["event_date"]) < dt.date(2023, 2, 1)
    assert max(result["event_date"]) <= sim_calendar.TODAY
    # 08:30 New York all year round, summer time included
    assert set(result["event_time"]) == {dt.time(8, 30)}
    truth = {(r.ticker, r.release_utc) for r in sim_calendar.releases(2023, 2024, regions=["US"]) if r.actual is not None}
    got = {(t, e.tz_convert("UTC").to_pydatetime()) for t, e in zip(result["ticker"], result["event_datetime"])}
    assert got == {(t, u) for t, u in truth if t in {"NFP TCH Index", "CPI YOY Index"}}


def test_identifier_tables_through_the_simulated_service(simulated):
    keys = ["JPY Curncy", "IBM US Equity", "700 HK Equity", "IBM 4.15 05/15/39 Corp"]
    forward = query_kit.get_id_to_figi_mapping(keys)
    assert forward["figi"].str.endswith(".BGN").tolist() == [True, False, False, True]
    bare = forward["figi"].str.replace(".BGN", "", regex=False).tolist()
    back = query_kit.get_figi_to_id_mapping(bare, id_col_name="parsekey", id_data_item="parsekyable_des")
    assert back["parsekey"].tolist() == keys and back["figi"].tolist() == bare
    names = query_kit.get_figi_to_id_mapping(bare)
    assert names["short_name"].iloc[1] == "International Business Machines Corp"



def test_pytz_transition_tables_keep_their_shape():
    # pytz publishes no reader of a zone's transitions; the zone each event
    # stamp reports is read from these private tables, which must still be
    # there, in step, and keyed by the transition info
    zone = pytz.timezone("America/New_York")
    times, info, variants = zone._utc_transition_times, zone._transition_info, zone._tzinfos
    assert len(times) == len(info) > 200 and times[0].year == 1
    assert all(key in variants for key in info)
    assert all(isinstance(variants[key], pytz.tzinfo.DstTzInfo) for key in info)
    assert {key[2] for key in info[-2:]} == {"EST", "EDT"}


class Unlisting(sim_bql.Service):
    """The simulated service, failing any calendar request that matches no tickers."""

    def execute_many(self, requests, on_request_error=None):
        if any(not request.items["Calendar"].conditions for request in requests):
            raise RuntimeError("listing refused")
        return super().execute_many(requests, on_request_error)


@pytest.mark.parametrize("lists", [True, False])
def test_tickers_without_releases_are_named_with_the_closest_known(simulated, lists):
    service = simulated if lists else Unlisting()
    asked = ["CPI YOY Index", "NFP TCH Indx", "NOTHING LIKE IT", "NFP TCH Indx"]
    with pytest.warns(DataWarning) as caught:
        got = query_kit.get_eco_calendar_data(service, ["US"], "2023-06-15", "2023-12-31", tickers=asked)
    close = "; closest: 'NFP TCH Index'" if lists else ""
    assert [str(w.message) for w in caught] == [
        f"no release of ticker 'NFP TCH Indx' from 2023-06-15 to 2023-12-31{close}",
        "no release of ticker 'NOTHING LIKE IT' from 2023-06-15 to 2023-12-31"]
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataWarning)
        alone = query_kit.get_eco_calendar_data(service, ["US"], "2023-06-15", "2023-12-31", tickers=["CPI YOY Index"])
    pd.testing.assert_frame_equal(got, alone)
