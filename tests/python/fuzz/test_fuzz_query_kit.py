"""The query kit under arbitrary arguments and service answers.

The small functions are compared with their plain formulation; the calendar's
whole-column release-time conversion is compared with the element-by-element
path the module takes when its rounding function is replaced.
"""

import datetime as dt
import re
import types
import warnings

import numpy as np
import pandas as pd
import pytest
import pytz
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import anything, anything_plain, checked_call, frame_scalars, fuzz_settings, odd_text, outcome, scalars, utf8_text

from orvane_data.from_bqia import query_kit as qk

pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning")


def ref_invert_sign(sign):
    return "+" if sign == "-" else "-" if sign == "+" else None


def ref_convert_tz(text):
    sign = ref_invert_sign(re.findall(r"\-|\+", text)[0])
    hours = int(re.split(r"\-|\+|\:", text)[1])
    return pytz.timezone("Etc/GMT" + sign + str(hours))


def ref_round(value, round_down=True):
    if value.second > 0:
        if round_down:
            return value + dt.timedelta(seconds=-value.second)
        return value + dt.timedelta(seconds=-value.second, minutes=1)
    return value


offset_texts = st.one_of(
    st.builds(lambda s, h, m: f"GMT{s}{h}:{m}", st.sampled_from("+-"), st.sampled_from(["00", "08", "5", "14", "99", "x", ""]),
              st.sampled_from(["00", "30", "45", ""])),
    odd_text, scalars)

datetimes = st.one_of(
    st.datetimes(min_value=dt.datetime(1, 1, 1, 0, 1), max_value=dt.datetime(9999, 12, 31, 23, 58)),
    st.datetimes(min_value=dt.datetime(1678, 1, 1), max_value=dt.datetime(2261, 12, 31),
                 timezones=st.sampled_from([None, pytz.UTC, pytz.timezone("Asia/Hong_Kong"), dt.timezone(dt.timedelta(hours=-5))]))
    .map(pd.Timestamp),
    st.sampled_from([pd.Timestamp.min, pd.Timestamp.max, pd.NaT, dt.time(8, 30, 45), pd.Timestamp("2024-01-05 23:59:30.5")]),
    scalars)


# `down` may be NotImplemented, whose truth both formulations take as Python
# does, with Python's warning
@pytest.mark.filterwarnings("ignore:NotImplemented should not be used:DeprecationWarning")
@fuzz_settings(300)
@given(sign=st.one_of(st.sampled_from(["+", "-"]), anything_plain), text=offset_texts, value=datetimes,
       down=st.one_of(st.booleans(), scalars))
def test_small_functions_match_their_plain_formulation(sign, text, value, down):
    for native, ref, args in ((qk._invert_sign, ref_invert_sign, (sign,)),
                              (qk.convert_tz, ref_convert_tz, (text,)),
                              (qk.round_event_datetime, ref_round, (value, down))):
        expected = outcome(ref, *args)
        allowed = (expected[0],) if expected[0] != "ok" else ()
        got, error = checked_call(native, *args, allowed=allowed)
        if expected[0] == "ok":
            assert error is None
            assert got == expected[1] or (got is expected[1])
            if isinstance(got, (dt.datetime, dt.time)):
                assert type(got) is type(expected[1]) and getattr(got, "tzinfo", None) == getattr(expected[1], "tzinfo", None)
    checked_call(qk._on_request_error, sign, text, value)
    with pytest.raises(TypeError):
        qk._on_request_error(sign, x=1)


# --- a service whose answers the test chooses ---------------------------------


class _Response(list):
    def get(self, name):
        return self[0]


class _Single:
    def __init__(self, frame):
        self.frame = frame

    def df(self):
        return self.frame.copy() if isinstance(self.frame, pd.DataFrame) else self.frame


class _Item:
    def __init__(self, **kw):
        self.kw = kw

    def __getitem__(self, field):
        return types.SimpleNamespace(in_=lambda values: (field, values))

    def matches(self, condition):
        return self


class ChosenCalendarService:
    """Answers the probe with `probe` and every calendar request with `frames`."""

    def __init__(self, probe, frames=(), fail=()):
        self.probe, self.frames, self.fail = probe, list(frames), set(fail)
        self.data = types.SimpleNamespace(px_last=lambda **kw: _Item(**kw), calendar=lambda **kw: _Item(**kw),
                                          ID_BB_GLOBAL=lambda: _Item(), name=lambda: _Item())
        self.func = types.SimpleNamespace(range=lambda a, b: (a, b))
        self.failed = []

    def execute(self, request):
        return _Response([_Single(self.probe)])

    def execute_many(self, requests, on_request_error=None):
        out = []
        for i, request in enumerate(requests):
            if i in self.fail:
                self.failed.append(i)
                on_request_error(RuntimeError("refused"), request)
                continue
            if i < len(self.frames):
                out.append(_Response([_Single(self.frames[i])]))
        return out


@pytest.fixture(autouse=True)
def _plain_requests(monkeypatch):
    monkeypatch.setattr(qk, "bql", types.SimpleNamespace(Request=lambda *a, **k: (a, k)), raising=False)


def _probe(dates):
    return pd.DataFrame({"DATE": dates}, index=pd.Index(["JPY Curncy"] * len(dates), name="ID"))


probe_dates = st.one_of(
    st.lists(st.dates(min_value=dt.date(1990, 1, 1), max_value=dt.date(2040, 1, 1)), max_size=6).map(pd.to_datetime),
    st.lists(st.dates(), max_size=4),
    st.lists(frame_scalars, max_size=3),
)


@fuzz_settings(100)
@given(dates=probe_dates, start=scalars, end=scalars)
def test_split_date_range_on_any_probe_answer(dates, start, end):
    service = ChosenCalendarService(_probe(list(dates)))
    # an empty probe is the IndexError of the first date; dates without a year
    # the AttributeError; unsortable dates pandas' TypeError, or whatever
    # their own comparison raises (a Fraction against a numpy int8 overflows)
    result, error = checked_call(qk._split_date_range, service, start, end,
                                 allowed=(IndexError, AttributeError, TypeError, ValueError, OverflowError))
    if error is not None:
        return
    if len(result) == 1 and pd.isna(result[0]):
        # a missing date sorts last and has pandas' NaN year, then the one year given
        assert any(pd.isna(d) for d in dates)
    else:
        assert result == sorted(result) and all(isinstance(y, int) for y in result)


@st.composite
def release_frames(draw):
    n = draw(st.integers(0, 8))
    unit = draw(st.sampled_from(["ns", "us"]))
    base = draw(st.sampled_from(["2024-03-10 06:59:30", "2024-11-03 05:30:45", "1969-12-31 23:59:59.5",
                                 "1677-09-21 00:13:10", "2262-04-11 23:46:00", "2024-06-30 23:59:59"]))
    steps = draw(st.lists(st.integers(-10_000, 10_000), min_size=n, max_size=n))
    # microsecond arithmetic: a nanosecond sum (pandas 2's default) overflows near the range's ends
    stamps = [pd.Timestamp(base).as_unit("us")
              + pd.Timedelta(seconds=s, microseconds=draw(st.sampled_from([0, 0, 250_000]))).as_unit("us")
              for s in steps]
    stamps = [s for s in stamps if pd.Timestamp.min < s < pd.Timestamp.max]
    release = pd.Series(pd.DatetimeIndex(stamps).as_unit(unit))
    zone = draw(st.sampled_from(["GMT+08:00", "GMT-05:00", "GMT+00:00", "GMT+05:45", "GMT-11:00"]))
    frame = pd.DataFrame({"EVENT_NAME": [f"E{i % 3}" for i in range(len(release))], "RELEASE_DATE_TIME": release,
                          "ACTUAL": draw(st.sampled_from([1.0, np.nan])), "TIMEZONE": zone},
                         index=pd.Index([f"T{i}" for i in range(len(release))], name="ID"))
    if draw(st.booleans()):
        frame["ACTUAL"] = 1.0
    return frame


TARGETS = ["America/New_York", "Asia/Hong_Kong", "UTC", "Europe/London", "Australia/Lord_Howe", "Etc/GMT+12"]


@fuzz_settings(150)
@given(frames=st.lists(release_frames(), min_size=1, max_size=3), target=st.sampled_from(TARGETS))
def test_whole_column_release_times_equal_the_defined_path(frames, target, monkeypatch):
    years = list(range(2020, 2020 + len(frames)))
    service = ChosenCalendarService(_probe(pd.to_datetime([f"{years[0]}-01-02", f"{years[-1]}-12-30"])), frames)
    fast, fast_error = checked_call(qk.get_eco_calendar_data, service, "US", "a", "b", event_timezone=target,
                                    allowed=(Exception,), refs=False)
    original = qk.round_event_datetime
    with monkeypatch.context() as patch:
        # an equal rounding function that is not the module's own: the
        # element-by-element path
        patch.setattr(qk, "round_event_datetime", lambda v, round_down=True: original(v, round_down))
        slow, slow_error = checked_call(qk.get_eco_calendar_data, service, "US", "a", "b", event_timezone=target,
                                        allowed=(Exception,), refs=False)
    if slow_error is not None:
        assert fast_error is not None and type(fast_error) is type(slow_error), (fast_error, slow_error)
        return
    assert fast_error is None, fast_error
    pd.testing.assert_frame_equal(fast, slow, check_exact=True)
    # the zone objects agree as objects, not only as texts
    assert [repr(z) for z in fast["event_timezone"]] == [repr(z) for z in slow["event_timezone"]]


def test_release_at_the_earliest_stamp_raises_pandas_error(monkeypatch):
    frame = pd.DataFrame({"EVENT_NAME": ["a", "b"], "RELEASE_DATE_TIME": [pd.Timestamp.min, pd.Timestamp("2024-01-01 08:30:30")],
                          "ACTUAL": 1.0, "TIMEZONE": "GMT+00:00"}, index=pd.Index(["x", "y"], name="ID"))
    service = ChosenCalendarService(_probe(pd.to_datetime(["2024-01-02"])), [frame])
    with pytest.raises(pd.errors.OutOfBoundsDatetime):
        qk.get_eco_calendar_data(service, "US", "a", "b", event_timezone="UTC")


calendar_columns = st.fixed_dictionaries({}, optional={
    "EVENT_NAME": st.just(["a", "b"]), "ACTUAL": st.sampled_from([[1.0, None], [None, None], ["x", 2]]),
    "RELEASE_DATE_TIME": st.sampled_from([["2024-01-01 08:30:30", "bad"], [None, None], [1, 2],
                                          list(pd.to_datetime(["2024-01-01 08:30", "2024-01-02 00:00"]).tz_localize("UTC"))]),
    "TIMEZONE": st.sampled_from([["GMT+08:00"] * 2, ["nonsense"] * 2, [None, None], ["GMT+08:00", "GMT-05:00"]]),
})


@fuzz_settings(150)
@given(columns=calendar_columns, target=st.one_of(st.sampled_from(TARGETS + ["Nowhere/City"]), st.none(), scalars),
       tickers=st.one_of(st.none(), st.lists(odd_text, max_size=3), scalars), verbose=scalars)
def test_calendar_on_any_answer(columns, target, tickers, verbose, capsys):
    frame = pd.DataFrame(columns, index=pd.Index(["x", "y"], name="ID"))
    service = ChosenCalendarService(_probe(pd.to_datetime(["2024-01-02"])), [frame])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # missing columns are pandas' KeyError; the module's own Exception for
        # a calendar without TIMEZONE; pytz's UnknownTimeZoneError (a KeyError);
        # convert_tz's and pandas' parsing errors
        checked_call(qk.get_eco_calendar_data, service, "US", "a", "b", tickers=tickers, event_timezone=target,
                     verbose=verbose, allowed=(Exception,), refs=False)
    capsys.readouterr()


@fuzz_settings(100)
@given(ids=st.lists(st.one_of(utf8_text, st.sampled_from(["JPY Curncy", "X Corp", "IBM US Equity"]), frame_scalars), max_size=5),
       figi=st.one_of(utf8_text, frame_scalars), chosen=st.one_of(st.none(), anything_plain),
       # (column names pandas can hold: texts with a UTF-8 form)
       names=st.one_of(st.sampled_from(["figi", "parsekey", "ID"]), utf8_text, frame_scalars))
def test_figi_tables_on_any_answer(ids, figi, chosen, names, monkeypatch):
    frame = pd.DataFrame({names if isinstance(names, str) else "figi": [figi] * len(ids)},
                         index=pd.Index(ids, name="ID", dtype=object))
    monkeypatch.setattr(qk, "bq", ChosenCalendarService(frame), raising=False)
    # a non-text ID under the word rule is the AttributeError of split; a
    # chosen container without membership the TypeError; missing columns KeyError
    allowed = (AttributeError, TypeError, KeyError, ValueError)
    checked_call(qk.get_id_to_figi_mapping, ids, names, "parsekey", chosen, allowed=allowed)
    checked_call(qk.get_figi_to_id_mapping, ids, "figi", names, "name", allowed=allowed)
