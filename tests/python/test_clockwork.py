import collections
import os
import threading
import time
import zoneinfo

import numpy as np
import pandas as pd
import pytest
import pytz

from doubles import import_in_fresh_interpreter
from orvane_data import _clockwork as cw
from reference import local_clock, pandas_utc

NY = "America/New_York"
# pandas 3 resolves zone texts to zoneinfo zones, pandas 2 to pytz zones
ZONES_FROM_FILES = isinstance(pd.DatetimeTZDtype(tz=NY).tz, zoneinfo.ZoneInfo)


def pandas_error(call):
    """The exception the running pandas raises from `call`."""
    try:
        call()
    except Exception as error:
        return error
    raise AssertionError("pandas raised nothing")


# --- frequencies and the one-minute guard ------------------------------------


@pytest.mark.parametrize(
    "freq, intraday, level",
    [("1d", False, "DATE"), ("d", False, "DATE"), ("1D", False, "DATE"), (None, False, "DATE"),
     ("5m", True, "DATETIME"), ("1H", True, "DATETIME"), ("1W", True, "DATETIME"), ("", True, "DATETIME")],
)
def test_frequency_vocabulary(freq, intraday, level):
    assert cw.is_intraday_freq(freq) is intraday
    assert cw.index_time_level(freq) == level


def test_yahoo_intervals_and_the_sorted_key_list():
    assert list(cw.YF_INTERVAL_MAP) == ["1M", "2M", "5M", "15M", "30M", "60M", "90M", "1H"]
    assert [cw.yf_interval_for_freq(f) for f in ("1h", "1H", "60M", "2m")] == ["1h", "1h", "60m", "2m"]
    with pytest.raises(ValueError) as err:
        cw.yf_interval_for_freq("3m")
    assert str(err.value) == (
        "Unsupported intraday freq `3m` for Yahoo. "
        "Allowed: ['15M', '1H', '1M', '2M', '30M', '5M', '60M', '90M']"
    )
    with pytest.raises(ValueError, match="`1D`"):
        cw.yf_interval_for_freq("1D")


NOW = pd.Timestamp("2024-08-01 15:30")


@pytest.mark.parametrize(
    "start, end",
    [("2024-07-01", "2024-07-07 23:59"), ("2024-07-03 10:00", "2024-07-03 10:00"),
     ("2024-06-02 00:00", "2024-06-03"), ("2024-06-02 23:59", "2024-06-03")],
)
def test_yahoo_1m_ranges_that_pass(start, end):
    assert cw.validate_yahoo_1m_range(start, end, now=NOW) is None


@pytest.mark.parametrize(
    "start, end, message",
    [
        ("2024-06-01 10:00", "2024-06-01 09:00",
         "end (2024-06-01 09:00) must be on or after start (2024-06-01 10:00)"),
        ("2024-07-01", "2024-07-08",
         "Yahoo Finance 1m data is limited to 7 days per request; "
         "requested span is 8 days (2024-07-01 to 2024-07-08)."),
        # the order test comes first, the span test before the age test
        ("2024-05-01", "2024-04-01", "end (2024-04-01) must be on or after start (2024-05-01)"),
        ("2024-05-01", "2024-05-20", "Yahoo Finance 1m data is limited to 7 days per request; "
         "requested span is 20 days (2024-05-01 to 2024-05-20)."),
        ("2024-06-01 23:59", "2024-06-02 01:00",
         "Yahoo Finance 1m data is only available within the last 60 days; "
         "start 2024-06-01 23:59 is before 2024-06-02."),
    ],
)
def test_yahoo_1m_ranges_that_fail(start, end, message):
    with pytest.raises(ValueError) as err:
        cw.validate_yahoo_1m_range(start, end, now=NOW)
    assert str(err.value) == message


def test_yahoo_limits_are_read_at_call_time(monkeypatch):
    monkeypatch.setattr(cw, "YAHOO_1M_MAX_DAYS", 2)
    with pytest.raises(ValueError, match="limited to 2 days"):
        cw.validate_yahoo_1m_range("2024-07-01", "2024-07-03", now=NOW)
    with pytest.raises(TypeError):
        cw.validate_yahoo_1m_range("2024-07-01", "2024-07-01", NOW)  # now is keyword-only


# --- exchange zones ----------------------------------------------------------


@pytest.mark.parametrize(
    "ticker, zone",
    [
        ("SPX INDEX", None),
        ("CL1 COMDTY.NYMEX.", "America/Chicago"),
        ("700 HK EQUITY", "Asia/Hong_Kong"),
        ("aapl us equity", "America/New_York"),
        ("0700.hk", "Asia/Hong_Kong"),
        ("ZN US CBOT FUT", "America/Chicago"),  # Chicago before " US "
        ("X US .HK", "Asia/Hong_Kong"),  # Hong Kong before " US "
        ("CME", None),
        ("USD", None),
        ("\ud800 us x", "America/New_York"),  # text that does not encode
    ],
)
def test_ticker_markers(ticker, zone):
    assert cw.infer_exchange_tz(ticker) == zone


def test_index_zone_and_explicit_zones_take_precedence():
    aware = pd.DatetimeIndex(["2024-06-03 09:30"], tz="Asia/Tokyo")
    naive = pd.DatetimeIndex(["2024-06-03 09:30"])
    assert cw.resolve_ticker_exchange_tz("AAPL US EQUITY", aware) == "Asia/Tokyo"
    assert cw.resolve_ticker_exchange_tz("AAPL US EQUITY", naive) == "America/New_York"
    assert cw.resolve_ticker_exchange_tz("AAPL US EQUITY", object()) == "America/New_York"

    look = cw.lookup_ticker_exchange_tz
    # a table entry of None is an answer, not a gap
    assert look("AAPL US EQUITY", {"AAPL US EQUITY": None}) is None
    assert look("AAPL US EQUITY", {"OTHER": "Asia/Tokyo"}) == "America/New_York"
    assert look("AAPL US EQUITY", {"OTHER": "Asia/Tokyo"}, aware) == "Asia/Tokyo"
    assert look("AAPL US EQUITY", collections.OrderedDict(AAPL="x"), naive) == "America/New_York"
    assert look("AAPL US EQUITY", "") == "America/New_York"
    assert look("AAPL US EQUITY", pytz.timezone("Europe/Paris"), aware) == "Europe/Paris"
    with pytest.raises(TypeError, match="Expected str, got int"):
        look("T", {"T": 5})


def test_summaries_and_the_metadata_record():
    same = {"A": NY, "B": NY}
    assert cw.summarize_exchange_tz_meta(same) == NY
    mixed = {"A": NY, "B": "Asia/Hong_Kong"}
    summary = cw.summarize_exchange_tz_meta(mixed)
    assert summary == mixed and summary is not mixed
    assert cw.summarize_exchange_tz_meta({}) is None
    assert cw.summarize_exchange_tz_meta({"A": None, "B": None}) is None

    meta = cw.make_orvane_meta("1D", index_semantics="session date")
    assert meta == {"freq": "1D", "index_semantics": "session date", "output_tz": None}
    assert cw.make_orvane_meta("1D", index_semantics="x") is not cw.make_orvane_meta("1D", index_semantics="x")
    full = cw.make_orvane_meta("5m", index_semantics="bar start", output_tz="UTC",
                               exchange_tz=mixed, frame_schema="bars")
    assert list(full) == ["freq", "index_semantics", "output_tz", "exchange_tz", "frame_schema"]

    df = pd.DataFrame({"x": [1]})
    assert cw.attach_orvane_meta(df, freq="5m", index_semantics="bar start") is df
    assert df.attrs["orvane_meta"]["freq"] == "5m"
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'index_semantics'"):
        cw.attach_orvane_meta(df, freq="5m")
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        cw.attach_orvane_meta(df, freq="5m", index_semantics="x", colour="red")
    with pytest.raises(TypeError):
        cw.make_orvane_meta("1D", "positional")


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cw.infer_exchange_tz(5), "Argument 'ticker' has incorrect type (expected str, got int)"),
        (lambda: cw.yf_interval_for_freq(None), "Argument 'freq' has incorrect type (expected str, got NoneType)"),
        (lambda: cw.is_intraday_freq(b"1D"), "Argument 'freq' has incorrect type (expected str, got bytes)"),
        (lambda: cw.validate_yahoo_1m_range("2024-01-01", pd.Timestamp("2024-01-02")),
         "Argument 'end' has incorrect type (expected str, got Timestamp)"),
        (lambda: cw.resolve_ticker_exchange_tz(None, None),
         "Argument 'ticker' has incorrect type (expected str, got NoneType)"),
        (lambda: cw.make_orvane_meta("1D", index_semantics="x", output_tz=1),
         "Argument 'output_tz' has incorrect type (expected str, got int)"),
        (lambda: cw.make_orvane_meta("1D", index_semantics=None),
         "Argument 'index_semantics' has incorrect type (expected str, got NoneType)"),
        (lambda: cw.summarize_exchange_tz_meta([("A", NY)]),
         "Argument 'exchange_tz_by_ticker' has incorrect type (expected dict, got list)"),
        (lambda: cw.normalize_daily_index(pd.DataFrame(), date_level=None),
         "Argument 'date_level' has incorrect type (expected str, got NoneType)"),
        (lambda: cw.process_intraday_timestamps([], output_tz=True),
         "Argument 'output_tz' has incorrect type (expected str, got bool)"),
        (lambda: cw.convert_intraday_time_values(pd.Series([], dtype="M8[ns]"), exchange_tz=1),
         "Argument 'exchange_tz' has incorrect type (expected str, got int)"),
        (lambda: cw.apply_intraday_index_level(pd.DataFrame(), 0),
         "Argument 'level_name' has incorrect type (expected str, got int)"),
    ],
)
def test_argument_types(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_subclasses_of_builtin_types_are_refused():
    with pytest.raises(TypeError) as err:
        cw.infer_exchange_tz(Text("AAPL US EQUITY"))
    assert str(err.value).startswith("Argument 'ticker' has incorrect type (expected str, got Text). ")
    with pytest.raises(TypeError, match=r"expected dict, got OrderedDict\)\. "):
        cw.summarize_exchange_tz_meta(collections.OrderedDict(A=NY))


# --- daily index ---------------------------------------------------------------


def test_daily_dates_become_naive_midnights_in_the_same_levels():
    idx = pd.MultiIndex.from_arrays(
        [["A", "B"], ["2024-06-03", "2024-06-04 16:00"]], names=["TICKER", "DATE"])
    df = pd.DataFrame({"x": [1, 2]}, index=idx)
    out = cw.normalize_daily_index(df)
    assert list(out.index.names) == ["TICKER", "DATE"]
    assert list(out.index.get_level_values("DATE")) == [pd.Timestamp("2024-06-03"), pd.Timestamp("2024-06-04")]
    assert out["x"].tolist() == [1, 2]
    assert df.index.get_level_values("DATE")[1] == "2024-06-04 16:00"  # caller's frame untouched

    aware = pd.DataFrame({"x": [1]}, index=pd.DatetimeIndex(["2024-06-03 23:30"], tz=NY, name="DATE"))
    out = cw.normalize_daily_index(aware)
    assert out.index.tolist() == [pd.Timestamp("2024-06-03")] and out.index.tz is None


def test_unnamed_levels_come_back_unnamed():
    stamps = pd.to_datetime(["2024-06-03 10:00", "2024-06-04 09:00"])
    two = pd.DataFrame({"x": [1, 2]}, index=pd.MultiIndex.from_arrays([stamps, ["A", "B"]], names=["DATE", None]))
    out = cw.normalize_daily_index(two)
    assert list(out.index.names) == ["DATE", None]
    assert out.index.get_level_values(1).tolist() == ["A", "B"]
    # an unnamed date index, normalised through the column pandas calls "index"
    one = pd.DataFrame({"x": [1, 2]}, index=stamps)
    out = cw.normalize_daily_index(one, date_level="index")
    assert out.index.name is None and out.index.tolist() == list(stamps.normalize())


# --- intraday stamps -------------------------------------------------------------

DST_CASES = [
    # naive New York wall clock -> naive UTC, worked out by hand
    (["2024-06-03 09:30"], ["2024-06-03 13:30"]),
    (["2024-03-10 01:59", "2024-03-10 02:30", "2024-03-10 03:00"],
     ["2024-03-10 06:59", "2024-03-10 07:00", "2024-03-10 07:00"]),
    (["2024-11-03 00:30", "2024-11-03 01:00", "2024-11-03 01:30", "2024-11-03 01:00",
      "2024-11-03 01:30", "2024-11-03 02:00"],
     ["2024-11-03 04:30", "2024-11-03 05:00", "2024-11-03 05:30", "2024-11-03 06:00",
      "2024-11-03 06:30", "2024-11-03 07:00"]),
]


@pytest.mark.parametrize("unit", ["ns", "us", "s"])
@pytest.mark.parametrize("wall, utc", DST_CASES)
def test_new_york_gaps_and_overlaps(wall, utc, unit):
    ts = pd.DatetimeIndex(wall, name="DATETIME").as_unit(unit)
    out = cw.process_intraday_timestamps(ts, exchange_tz=NY, output_tz="UTC")
    pd.testing.assert_index_equal(out, pd.DatetimeIndex(utc, name="DATETIME").as_unit(unit))


def test_local_clock_settings_and_aware_stamps():
    naive = pd.DatetimeIndex(["2024-06-03 09:30", "2024-06-03 09:31"])
    for output_tz in (None, "utc", "Utc", "America/New_York"):
        assert cw.process_intraday_timestamps(naive, output_tz=output_tz).equals(naive)
    for zone in (None, ""):
        with pytest.raises(ValueError) as err:
            cw.process_intraday_timestamps(naive, exchange_tz=zone, output_tz="UTC")
        assert str(err.value) == "exchange_tz is required for output_tz='UTC' when timestamps are naive"

    hk = pd.DatetimeIndex(["2024-06-03 09:30"], tz="Asia/Hong_Kong")
    for zone in (None, NY):
        assert cw.process_intraday_timestamps(hk, exchange_tz=zone, output_tz="UTC").tolist() == [
            pd.Timestamp("2024-06-03 01:30")]
        assert cw.process_intraday_timestamps(hk, exchange_tz=zone).tolist() == [pd.Timestamp("2024-06-03 09:30")]
    texts = cw.process_intraday_timestamps(["2024-06-03 09:30", "2024-06-03 09:30:15"], exchange_tz=NY, output_tz="UTC")
    assert texts[1] == pd.Timestamp("2024-06-03 13:30:15")


@pytest.mark.parametrize("zone", [NY, "America/Chicago", "Asia/Hong_Kong", "Europe/London",
                                  "Australia/Sydney", "Europe/Dublin", "Etc/GMT-8", "UTC", "+05:30"])
@pytest.mark.parametrize("unit", ["ns", "us"])
def test_years_of_quarter_hours_match_pandas(native_roads, zone, unit):
    utc = pd.date_range("1999-06-01", "2031-06-01", freq="15min", unit=unit)
    wall = local_clock(utc, zone)
    # the skipped hours, written on the wall clock, moved forward by both
    grid = pd.date_range("2018-01-01", "2021-01-01", freq="10min", unit=unit)
    skipped = grid[grid.tz_localize(zone, ambiguous="NaT", nonexistent="NaT").isna()
                   & grid.tz_localize(zone, ambiguous=True, nonexistent="NaT").isna()]
    for ts in (wall, skipped.append(grid[:5])):
        out = cw.process_intraday_timestamps(ts, exchange_tz=zone, output_tz="UTC")
        pd.testing.assert_index_equal(out, pandas_utc(ts, zone))
        assert out.freq is None
    assert native_roads.roads() == {"clockwork.wall_to_utc": {"native": 2, "pandas": 0}}


@pytest.mark.parametrize(
    "stamps, zone",
    [
        (["2024-03-10 02:30", "2024-06-01 12:00"], "America/Anchorage"),  # pandas' own pick after the gap
        (["2050-03-13 02:30", "2050-06-01 12:00"], NY),  # past the zone file's table
        (["1850-01-01 12:00", "1850-01-02 12:00"], NY),  # before standard time
        (["2024-06-03 09:30", pd.NaT], NY),
        (["2024-06-03 09:30"], NY),
    ],
)
def test_stamps_outside_the_common_case_still_match_pandas(stamps, zone):
    ts = pd.DatetimeIndex(stamps, freq=None)
    pd.testing.assert_index_equal(cw.process_intraday_timestamps(ts, exchange_tz=zone, output_tz="UTC"),
                                  pandas_utc(ts, zone))


@pytest.mark.parametrize(
    "stamps, zone, reason",
    [
        # pytz's table (pandas 2) holds every stamp: its last offset stays
        pytest.param(["2050-03-13 02:30", "2050-06-01 12:00"], NY, "outside the zone table",
                     marks=pytest.mark.skipif(not ZONES_FROM_FILES, reason="pytz zones")),
        (["2024-06-03 09:30"], NY, "fewer than two stamps"),
        (["2024-06-03 09:30", "2024-06-03 09:31"], "dateutil/Europe/London", "neither a fixed offset"),
    ],
)
def test_pandas_road_is_taken_for_a_named_reason(native_roads, stamps, zone, reason):
    with pytest.raises(RuntimeError, match=f"road clockwork.wall_to_utc took its pandas formulation .*{reason}"):
        cw.process_intraday_timestamps(pd.DatetimeIndex(stamps), exchange_tz=zone, output_tz="UTC")


def test_a_zone_text_without_a_utf8_form_gets_pandas_error():
    # a lone surrogate names no zone file: pandas' own lookup error, not the binding's cast failure
    ts = pd.DatetimeIndex(["2024-06-03 09:30", "2024-06-03 09:31"])
    want = pandas_error(lambda: pandas_utc(ts, "\ud800"))
    assert isinstance(want, KeyError)
    with pytest.raises(type(want)) as got:
        cw.process_intraday_timestamps(ts, exchange_tz="\ud800", output_tz="UTC")
    assert str(got.value) == str(want)


@pytest.mark.skipif(not ZONES_FROM_FILES, reason="this pandas reads zones through pytz, not zone files")
def test_a_failing_zone_file_propagates(tmp_path):
    # an eligible zone whose file cannot be read is a fault to report, not a
    # reason to fall back; in a fresh interpreter, as a zone's table is kept
    # once read (its zone object is made before the files go away)
    probe = """
        import importlib.resources, json, zoneinfo
        import pandas as pd
        from orvane_data import _clockwork as cw
        zoneinfo.ZoneInfo("Antarctica/Troll")
        zoneinfo.TZPATH = ()
        def no_files(package):
            raise OSError("no zone files")
        importlib.resources.files = no_files
        try:
            cw.process_intraday_timestamps(pd.DatetimeIndex(["2024-06-03 09:30", "2024-06-03 09:31"]),
                                           exchange_tz="Antarctica/Troll", output_tz="UTC")
            print(json.dumps(None))
        except OSError as error:
            print(json.dumps(str(error)))
        """
    assert import_in_fresh_interpreter(tmp_path, probe, None) == "no zone files"


def test_zone_file_reader_keeps_its_shape():
    # the standard library has no public reader of zone files; the one the
    # tables are read with must still hand back its six records
    import zoneinfo._common

    path = next(p for p in (os.path.join(root, "America", "New_York") for root in zoneinfo.TZPATH) if os.path.isfile(p))
    with open(path, "rb") as f:
        types, transitions, offsets, dst, names, rule = zoneinfo._common.load_data(f)
    assert len(types) == len(transitions) > 200 and len(offsets) == len(dst) == len(names)
    assert {offsets[t] for t in types[-2:]} == {-5 * 3600, -4 * 3600}
    assert rule == b"EST5EDT,M3.2.0,M11.1.0"


@pytest.mark.parametrize(
    "stamps, message",
    [
        (["2024-06-03 09:30", "2024-11-03 01:30"], "as there are no repeated times"),
        (["2024-11-03 01:00", "2024-11-03 01:30"], "is an ambiguous time and cannot be inferred"),
        (["2024-11-03 01:00", "2024-11-03 01:30"] * 3, "There are 2 dst switches"),
    ],
)
def test_repeated_hours_that_cannot_be_read_raise_pandas_errors(stamps, message):
    # ValueError on pandas 3, pytz's AmbiguousTimeError (its own text) on pandas 2
    for ts, zone in ((stamps, NY), (stamps[:1], "Mars/Olympus")):
        want = pandas_error(lambda: pandas_utc(ts, zone))
        with pytest.raises(type(want)) as got:
            cw.process_intraday_timestamps(pd.DatetimeIndex(ts), exchange_tz=zone, output_tz="UTC")
        assert str(got.value) == str(want)
    if ZONES_FROM_FILES:
        assert message in str(pandas_error(lambda: pandas_utc(stamps, NY)))


def test_far_future_stamps_convert_as_pandas_converts_them(monkeypatch):
    # pytz's rules stop in 2037, after which pandas 2 keeps the last offset
    # (winter time); zone files carry their summer-time rule on
    ts = pd.DatetimeIndex(np.array(["2300-01-15 12:00", "2300-07-15 12:00", "2300-11-05 01:30"], dtype="M8[us]"))
    if not ZONES_FROM_FILES:
        monkeypatch.setenv("ORVANE_ROADS", "strict")
    got = cw.process_intraday_timestamps(ts, exchange_tz=NY, output_tz="UTC")
    pd.testing.assert_index_equal(got, pandas_utc(ts, NY))


def test_column_conversion():
    values = pd.Series(pd.to_datetime(["2024-06-03 09:30", "2024-11-03 01:30"]), index=["a", "b"], name="t")
    assert cw.convert_intraday_time_values(values, exchange_tz=NY, output_tz="utc") is values
    assert cw.convert_intraday_time_values(values) is values
    out = cw.convert_intraday_time_values(values.iloc[:1], exchange_tz=NY, output_tz="UTC")
    pd.testing.assert_series_equal(out, pd.Series(pd.to_datetime(["2024-06-03 13:30"]), index=["a"], name="t"))


# --- Arrow dates and stamps ----------------------------------------------------------

# Each Arrow dtype beside the datetime64 holding the same dates and instants.
ARROW_DATES = [("date32[pyarrow]", "datetime64[s]"), ("date64[pyarrow]", "datetime64[ms]"),
               ("timestamp[us][pyarrow]", "datetime64[us]"), ("timestamp[ns][pyarrow]", "datetime64[ns]"),
               (f"timestamp[ms, tz={NY}][pyarrow]", f"datetime64[ms, {NY}]"),
               ("timestamp[s, tz=UTC][pyarrow]", "datetime64[s, UTC]")]
ARROW_IDS = [arrow.split("[pyarrow]")[0] for arrow, _ in ARROW_DATES]


def outcome(call, *args, **kwargs):
    """What the call returns, or the exception it raises."""
    try:
        return call(*args, **kwargs)
    except Exception as error:
        return error


def arrow_and_datetime64(stamps, arrow, numpy):
    """The stamps (read as UTC for a zoned dtype) in the Arrow dtype, and the
    same values back in datetime64."""
    plain = pd.Series(stamps)
    if "tz=" in arrow:
        plain = plain.dt.tz_localize("UTC").dt.tz_convert(arrow.split("tz=")[1].split("]")[0])
    held = plain.astype(arrow)
    return held, held.astype(numpy)


# wall clocks through both of New York's changes of the year, a missing one,
# midnights of the days Arrow's date types hold
ARROW_STAMPS = pd.to_datetime(["2024-03-10 01:30", "2024-03-10 03:15", None, "2024-11-03 01:30",
                               "2024-11-03 01:10", "2024-11-04 00:00"])


@pytest.mark.parametrize("arrow, numpy", ARROW_DATES, ids=ARROW_IDS)
def test_arrow_dates_normalise_as_the_same_dates_held_as_datetime64(arrow, numpy):
    stamps = ARROW_STAMPS.normalize() if arrow.startswith("date") else ARROW_STAMPS
    held, same = arrow_and_datetime64(stamps, arrow, numpy)
    assert held.isna().sum() == 1 and held.dropna().astype(numpy).tolist() == same.dropna().tolist()
    keys = list("abcdef")

    def frame(dates):
        return pd.DataFrame({"x": range(6)}, index=pd.MultiIndex.from_arrays([keys, dates], names=["TICKER", "DATE"]))

    pd.testing.assert_frame_equal(cw.normalize_daily_index(frame(held)), cw.normalize_daily_index(frame(same)))
    alone = pd.DataFrame({"x": range(6)}, index=pd.Index(held, name="DATE"))
    pd.testing.assert_frame_equal(cw.normalize_daily_index(alone),
                                  cw.normalize_daily_index(alone.set_axis(pd.Index(same, name="DATE"))))

    for zones in ({}, {"exchange_tz": NY}, {"exchange_tz": NY, "output_tz": "UTC"}):
        pd.testing.assert_index_equal(cw.process_intraday_timestamps(pd.Index(held), **zones),
                                      cw.process_intraday_timestamps(pd.DatetimeIndex(same), **zones))
        if zones.get("output_tz") == "UTC":  # else the column itself comes back
            pd.testing.assert_series_equal(cw.convert_intraday_time_values(held.dropna(), **zones),
                                           cw.convert_intraday_time_values(same.dropna(), **zones))
        # one instrument in row order, a level shared by two, the index alone
        for index in (pd.MultiIndex.from_arrays([["ES"] * 6, held], names=["TICKER", "DATETIME"]),
                      pd.MultiIndex.from_arrays([["ES", "NQ"] * 3, held], names=["TICKER", "DATETIME"]),
                      pd.Index(held, name="DATETIME")):
            df = pd.DataFrame({"px": np.arange(6.0)}, index=index)
            expected = df.set_axis(index.set_levels(index.levels[1].astype(numpy), level=1)
                                   if isinstance(index, pd.MultiIndex) else pd.Index(same, name="DATETIME"))
            got, want = (outcome(cw.apply_intraday_index_level, frame, "DATETIME", **zones) for frame in (df, expected))
            if isinstance(want, Exception):  # an instrument's lone stamp of the repeated hour
                assert type(got) is type(want) and str(got) == str(want)
            else:
                pd.testing.assert_frame_equal(got, want)


# --- intraday index levels -------------------------------------------------------


def plain_formulation(df, level, **zones):
    ts = df.index.get_level_values(level)
    processed = cw.process_intraday_timestamps(ts, **zones)
    return df.set_index(df.index.set_levels(processed, level=level))


def row_by_row(df, level, zone):
    """Each instrument (rows sharing the other levels) localised by pandas in row order."""
    frame = df.index.to_frame(index=False)
    others = [c for c in frame.columns if c != level]
    stamps = frame.groupby(others, sort=False, dropna=False)[level].transform(lambda s: pandas_utc(s, zone))
    return pd.DatetimeIndex(stamps, name=level)


@pytest.mark.parametrize("start, zone", [("2024-06-03 09:30", NY), ("2050-06-01 00:30", NY),
                                         ("2024-06-03 08:00", "dateutil/Europe/London")])
def test_single_sorted_instrument_is_unchanged_from_the_plain_formulation(start, zone):
    stamps = pd.date_range(start, periods=500, freq="min")
    df = pd.DataFrame({"px": np.arange(500.0)},
                      index=pd.MultiIndex.from_product([["AAPL US EQUITY"], stamps], names=["TICKER", "DATETIME"]))
    for zones in ({"exchange_tz": zone, "output_tz": "UTC"}, {"output_tz": None}):
        out = cw.apply_intraday_index_level(df, "DATETIME", **zones)
        expected = plain_formulation(df, "DATETIME", **zones)
        pd.testing.assert_frame_equal(out, expected)
        for got, want in zip(out.index.levels, expected.index.levels):
            pd.testing.assert_index_equal(got, want)
    assert df.index.get_level_values("DATETIME")[0] == stamps[0]  # caller's frame untouched


@pytest.mark.parametrize("layout", ["interleaved", "stacked", "shuffled"])
def test_repeated_stamps_across_instruments(native_roads, layout):
    # a day of half-hours for three instruments, across the fall-back night;
    # each row carries the instant its wall-clock stamp stands for
    utc = pd.date_range("2024-11-02 12:00", "2024-11-03 12:00", freq="30min")
    tickers = ["ES.CME.Z24", "NQ.CME.Z24", "YM.CME.Z24"]
    t, when = np.repeat(tickers, len(utc)), np.tile(utc, len(tickers))
    if layout == "interleaved":
        order = np.lexsort((t, when))
    elif layout == "stacked":
        order = np.arange(len(t))
    else:
        # instruments mixed at random, each still in time order
        keys = np.random.default_rng(7).random(len(t))
        for k in range(len(tickers)):
            block = slice(k * len(utc), (k + 1) * len(utc))
            keys[block] = np.sort(keys[block])
        order = np.argsort(keys)
    t, when = t[order], pd.DatetimeIndex(when[order])
    idx = pd.MultiIndex.from_arrays([t, local_clock(when, "America/Chicago"), ["CME"] * len(t)],
                                    names=["TICKER", "DATETIME", None])
    df = pd.DataFrame({"utc": when}, index=idx)
    assert df.index.levels[1].is_unique and len(df.index.levels[1]) < len(utc)
    out = cw.apply_intraday_index_level(df, "DATETIME", exchange_tz="America/Chicago", output_tz="UTC")
    got = out.index.get_level_values("DATETIME")
    assert (got == out["utc"]).all()
    pd.testing.assert_index_equal(got, row_by_row(df, "DATETIME", "America/Chicago"))
    assert list(out.index.names) == ["TICKER", "DATETIME", None]
    assert out.index.get_level_values("TICKER").tolist() == t.tolist()
    assert native_roads.roads() == {"clockwork.instruments_to_utc": {"native": 1, "pandas": 0}}


def test_one_instrument_through_the_fall_back_hour():
    # the level holds each wall-clock stamp once; rows repeat the hour
    wall = local_clock(pd.date_range("2024-11-03 04:00", "2024-11-03 08:00", freq="15min"), NY)
    df = pd.DataFrame({"v": range(len(wall))}, index=pd.MultiIndex.from_product([["X"], wall], names=["T", "DATETIME"]))
    assert len(df.index.levels[1]) < len(df)
    out = cw.apply_intraday_index_level(df, "DATETIME", exchange_tz=NY, output_tz="UTC")
    expected = pd.date_range("2024-11-03 04:00", "2024-11-03 08:00", freq="15min", name="DATETIME")
    pd.testing.assert_index_equal(pd.DatetimeIndex(out.index.get_level_values("DATETIME"), freq=None),
                                  pd.DatetimeIndex(expected, freq=None))

    # with a skipped hour (two stamps landing on one instant) and a missing stamp as well
    spring = pd.to_datetime(["2024-03-10 01:30", "2024-03-10 02:30", "2024-03-10 03:00"])
    for rows in (spring.append(wall), spring.append(wall).append(pd.DatetimeIndex([pd.NaT]))):
        df = pd.DataFrame({"v": range(len(rows))},
                          index=pd.MultiIndex.from_arrays([["X"] * len(rows), rows], names=["T", "DATETIME"]))
        out = cw.apply_intraday_index_level(df, "DATETIME", exchange_tz=NY, output_tz="UTC")
        got = out.index.get_level_values("DATETIME")
        pd.testing.assert_index_equal(got, pandas_utc(rows, NY).rename("DATETIME"))
        assert got[1] == got[2] and out.index.levels[1].is_unique


def test_levels_that_merge_or_hold_aware_or_text_stamps(native_roads):
    # 02:30 does not exist on the spring-forward day: it lands on 03:00's instant
    idx = pd.MultiIndex.from_product([["A", "B"], pd.to_datetime(["2024-03-10 02:30", "2024-03-10 03:00"])],
                                     names=["T", "DATETIME"])
    df = pd.DataFrame({"v": range(4)}, index=idx)
    out = cw.apply_intraday_index_level(df, "DATETIME", exchange_tz=NY, output_tz="UTC")
    assert out.index.get_level_values("DATETIME").tolist() == [pd.Timestamp("2024-03-10 07:00")] * 4
    pd.testing.assert_index_equal(out.index.get_level_values("DATETIME"), row_by_row(df, "DATETIME", NY))
    assert native_roads.roads() == {"clockwork.level_to_utc": {"native": 1, "pandas": 0}}

    aware = pd.MultiIndex.from_product([["A", "B"], pd.date_range("2024-06-03 09:30", periods=3, freq="min", tz="Asia/Hong_Kong")],
                                       names=["T", "DATETIME"])
    hk = pd.DataFrame({"v": range(6)}, index=aware)
    assert cw.apply_intraday_index_level(hk, "DATETIME", output_tz="UTC").index[0] == ("A", pd.Timestamp("2024-06-03 01:30"))
    assert cw.apply_intraday_index_level(hk, "DATETIME", exchange_tz=NY).index[0] == ("A", pd.Timestamp("2024-06-03 09:30"))

    texts = pd.DataFrame({"v": [1, 2]}, index=pd.MultiIndex.from_arrays(
        [["A", "B"], ["2024-06-03 09:30", "2024-06-03 09:31"]], names=["T", "DATETIME"]))
    out = cw.apply_intraday_index_level(texts, "DATETIME", exchange_tz=NY, output_tz="UTC")
    assert out.index.get_level_values("DATETIME").tolist() == [pd.Timestamp("2024-06-03 13:30"), pd.Timestamp("2024-06-03 13:31")]


def test_an_instrument_whose_repeated_hour_cannot_be_read_raises_pandas_error():
    wall = local_clock(pd.date_range("2024-11-03 04:00", "2024-11-03 08:00", freq="30min"), NY)
    rows = wall.append(pd.to_datetime(["2024-11-03 00:30", "2024-11-03 01:30"]))
    tickers = ["A"] * len(wall) + ["B", "B"]
    df = pd.DataFrame({"v": range(len(rows))}, index=pd.MultiIndex.from_arrays([tickers, rows], names=["T", "DATETIME"]))
    want = type(pandas_error(lambda: pandas_utc(rows[-2:], NY)))
    with pytest.raises(want, match="Cannot infer dst time from 2024-11-03 01:30:00 as there are no repeated times"):
        cw.apply_intraday_index_level(df, "DATETIME", exchange_tz=NY, output_tz="UTC")


def test_single_level_index_and_missing_levels():
    flat = pd.DataFrame({"v": [1, 2]}, index=pd.DatetimeIndex(["2024-11-03 01:30", "2024-11-03 01:30"], name="DATETIME"))
    out = cw.apply_intraday_index_level(flat, "DATETIME", exchange_tz=NY, output_tz="UTC")
    assert out.index.tolist() == [pd.Timestamp("2024-11-03 05:30"), pd.Timestamp("2024-11-03 06:30")]
    assert out.index.name == "DATETIME" and flat.index[0] == pd.Timestamp("2024-11-03 01:30")
    with pytest.raises(KeyError):
        cw.apply_intraday_index_level(flat, "DATE", exchange_tz=NY, output_tz="UTC")
    multi = pd.DataFrame({"v": [1]}, index=pd.MultiIndex.from_arrays([["A"], pd.to_datetime(["2024-01-02"])], names=["T", "DATETIME"]))
    with pytest.raises(KeyError):
        cw.apply_intraday_index_level(multi, "DATE", exchange_tz=NY, output_tz="UTC")
    with pytest.raises(ValueError, match="exchange_tz is required"):
        cw.apply_intraday_index_level(multi, "DATETIME", output_tz="UTC")


# --- the native conversion leaves the interpreter to other threads ------------------


def longest_stall(run):
    """The longest a pure-Python thread went without a step while `run()` ran, and the run's duration."""
    steps = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            steps.append(time.perf_counter())

    spinner = threading.Thread(target=spin)
    spinner.start()
    time.sleep(0.01)
    started = time.perf_counter()
    run()
    ended = time.perf_counter()
    stop.set()
    spinner.join()
    during = [started] + [t for t in steps if started < t < ended] + [ended]
    return max(b - a for a, b in zip(during, during[1:])), ended - started


def test_wall_clock_conversion_lets_python_threads_run(native_roads):
    # a few million minute stamps: tens of milliseconds in the native kernel,
    # for which a kernel holding the interpreter lock stalls the other thread
    stamps = local_clock(pd.date_range("2001-01-01", periods=3_000_000, freq="min"), NY)
    run = lambda: cw.process_intraday_timestamps(stamps, exchange_tz=NY, output_tz="UTC")  # noqa: E731
    run()
    seen = []
    for _ in range(5):  # a busy machine may stall the thread now and then; a held lock stalls it every time
        stall, elapsed = longest_stall(run)
        seen.append((stall, elapsed))
        if stall < elapsed / 3:
            break
    assert min(stall / elapsed for stall, elapsed in seen) < 1 / 3, seen
    assert native_roads.roads()["clockwork.wall_to_utc"]["native"] >= 2
