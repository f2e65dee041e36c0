"""The time contract under arbitrary arguments, and its native wall-clock
conversion against pandas' on stamps drawn around the zones' clock changes."""

import warnings

import numpy as np
import pandas as pd
import pytest
import pytz
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import anything, anything_plain, checked_call, frames, fuzz_settings, odd_text, scalars, series

from orvane_data import _clockwork as cw

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")

texts_or_none = st.one_of(st.none(), odd_text, st.sampled_from(["1m", "1D", "d", "60M", "UTC", "utc", ""]))
maybe_text = st.one_of(texts_or_none, scalars)


@fuzz_settings(200)
@given(freq=maybe_text, start=maybe_text, end=maybe_text, now=st.one_of(st.none(), anything_plain),
       ticker=maybe_text)
def test_frequency_and_ticker_functions(freq, start, end, now, ticker):
    for fn in (cw.is_intraday_freq, cw.index_time_level, cw.yf_interval_for_freq, cw.infer_exchange_tz):
        result, error = checked_call(fn, freq, allowed=(TypeError, ValueError))
        if error is None and fn is cw.infer_exchange_tz:
            assert result in (None, "America/Chicago", "Asia/Hong_Kong", "America/New_York")
    # pd.Timestamp's parse errors are ValueErrors (OutOfBoundsDatetime one too);
    # a `now` without normalize raises AttributeError, a zone mismatch TypeError
    checked_call(cw.validate_yahoo_1m_range, start, end, now=now,
                 allowed=(TypeError, ValueError, AttributeError, OverflowError))
    # ("NaT" parses to pd.NaT, which has no normalize: the same AttributeError
    # as the plain formulation)
    checked_call(cw.validate_yahoo_1m_range, start, end, allowed=(TypeError, ValueError, OverflowError, AttributeError))
    checked_call(cw.resolve_ticker_exchange_tz, ticker, now, allowed=(TypeError,))


NOW = pd.Timestamp("2024-08-01 15:30")


@fuzz_settings(150)
@given(start=st.integers(-70, 2), span=st.integers(-1, 9), hour=st.integers(0, 23), naive=st.booleans())
def test_yahoo_ranges_against_their_plain_formulation(start, span, hour, naive):
    first = NOW.normalize() + pd.Timedelta(days=start, hours=hour)
    last = first + pd.Timedelta(days=span, minutes=-30)
    texts = (str(first), str(last)) if naive else (first.strftime("%Y-%m-%d"), last.strftime("%Y-%m-%d %H:%M"))
    s_ts, e_ts = pd.Timestamp(texts[0]), pd.Timestamp(texts[1])
    if e_ts < s_ts:
        expected = f"end ({texts[1]}) must be on or after start ({texts[0]})"
    elif (e_ts.normalize() - s_ts.normalize()).days + 1 > 7:
        expected = "limited to 7 days"
    elif s_ts.normalize() < NOW.normalize() - pd.Timedelta(days=60):
        expected = "only available within the last 60 days"
    else:
        expected = None
    result, error = checked_call(cw.validate_yahoo_1m_range, *texts, now=NOW, allowed=(ValueError,))
    if expected is None:
        assert error is None and result is None
    else:
        assert error is not None and expected in str(error)


@st.composite
def daily_frames(draw):
    n = draw(st.integers(0, 6))
    kind = draw(st.sampled_from(["texts", "mixed texts", "naive", "aware", "dates", "ints", "nat"]))
    base = pd.Timestamp("2024-06-03 23:30")
    if kind in ("texts", "mixed texts"):
        values = [str((base + pd.Timedelta(days=i)).date()) if kind == "texts" or i % 2 else str(base + pd.Timedelta(days=i))
                  for i in range(n)]
    elif kind in ("naive", "aware", "nat"):
        values = pd.date_range(base, periods=n, freq="D", tz="America/New_York" if kind == "aware" else None)
        if kind == "nat" and n:
            values = values.insert(0, pd.NaT)[:n]
    elif kind == "dates":
        values = [(base + pd.Timedelta(days=i)).date() for i in range(n)]
    else:
        values = list(range(n))
    frame = pd.DataFrame({"DATE": values, "ticker": [f"T{i % 2}" for i in range(n)], "v": range(n)})
    levels = draw(st.sampled_from([["DATE"], ["DATE", "ticker"], ["ticker", "DATE"]]))
    return frame.set_index(levels)


def ref_daily(df, date_level="DATE"):
    out = df.reset_index()
    out[date_level] = pd.to_datetime(out[date_level], format="ISO8601") if out[date_level].dtype == object or \
        pd.api.types.is_string_dtype(out[date_level]) else pd.to_datetime(out[date_level])
    if getattr(out[date_level].dt, "tz", None) is not None:
        out[date_level] = out[date_level].dt.tz_localize(None)
    out[date_level] = out[date_level].dt.normalize()
    return out.set_index(list(df.index.names))


@fuzz_settings(150)
@given(frame=daily_frames())
def test_daily_index_against_its_plain_formulation(frame):
    try:
        expected, expected_error = ref_daily(frame), None
    except Exception as error:  # noqa: BLE001
        expected, expected_error = None, error
    allowed = (type(expected_error),) if expected_error is not None else ()
    got, error = checked_call(cw.normalize_daily_index, frame, allowed=allowed)
    if expected_error is None:
        pd.testing.assert_frame_equal(got, expected)


@fuzz_settings(150)
@given(ticker=maybe_text, table=st.one_of(st.dictionaries(texts_or_none, maybe_text, max_size=4), maybe_text, anything_plain),
       stamps=st.one_of(st.none(), anything))
def test_zone_lookup_and_metadata(ticker, table, stamps):
    checked_call(cw.lookup_ticker_exchange_tz, ticker, table, stamps, allowed=(TypeError,))
    result, error = checked_call(cw.summarize_exchange_tz_meta, table, allowed=(TypeError,))
    if error is None and isinstance(table, dict) and len(set(map(repr, table.values()))) > 1:
        assert result == table and result is not table
    checked_call(cw.make_orvane_meta, ticker, index_semantics=ticker, output_tz=ticker, exchange_tz=table,
                 frame_schema=ticker, allowed=(TypeError,))
    frame = pd.DataFrame({"a": [1]})
    checked_call(cw.attach_orvane_meta, frame, freq=ticker, index_semantics="x", exchange_tz=table,
                 allowed=(TypeError,), mutates=(0,))
    checked_call(cw.attach_orvane_meta, frame, allowed=(TypeError,), mutates=(0,), **{"\ud800": 1})


ZONES = ["America/New_York", "Europe/London", "Europe/Dublin", "Australia/Lord_Howe", "Asia/Kolkata",
         "Pacific/Chatham", "America/Sao_Paulo", "Africa/Casablanca", "Antarctica/Troll", "Asia/Hong_Kong",
         "America/Chicago", "UTC", "Etc/GMT-8", "Europe/Moscow", "America/St_Johns", "Pacific/Apia"]
# around clock changes these zones had (and will have), and beyond the zone files' last entries
CENTRES = ["2024-03-10 02:30", "2024-11-03 01:30", "2024-03-31 01:30", "2024-10-27 01:30", "2024-04-07 02:00",
           "2011-12-30 00:00", "1918-03-31 02:00", "2039-03-13 02:30", "2100-03-14 02:30", "1970-01-01 00:00",
           "1883-11-18 12:00", "2018-10-28 03:00", "2024-09-08 00:00"]
UNITS = ["s", "ms", "us", "ns"]


@st.composite
def wall_stamps(draw):
    centre = pd.Timestamp(draw(st.sampled_from(CENTRES)))
    n = draw(st.integers(0, 12))
    steps = draw(st.lists(st.integers(-180, 180), min_size=n, max_size=n))
    order = draw(st.sampled_from(["sorted", "as drawn", "runs"]))
    if order == "sorted":
        steps = sorted(steps)
    elif order == "runs":
        steps = sorted(steps) + sorted(steps)
    seconds = draw(st.sampled_from([0, 0, 30, 59]))
    stamps = [centre + pd.Timedelta(minutes=m, seconds=seconds) for m in steps]
    if stamps and draw(st.integers(0, 5)) == 0:
        stamps[draw(st.integers(0, len(stamps) - 1))] = pd.NaT
    return pd.DatetimeIndex(stamps, name=draw(st.sampled_from([None, "DATETIME"]))).as_unit(draw(st.sampled_from(UNITS)))


# pandas 3 raises ValueError for a repeated hour it cannot read, pandas 2 pytz's own error
LOCALISATION_ERRORS = (ValueError, TypeError, pytz.exceptions.InvalidTimeError)


def _pandas(ts, zone):
    try:
        return ts.tz_localize(zone, ambiguous="infer", nonexistent="shift_forward").tz_convert("UTC").tz_localize(None), None
    except Exception as error:  # noqa: BLE001
        return None, error


@fuzz_settings(300)
@given(ts=wall_stamps(), zone=st.sampled_from(ZONES))
def test_wall_clock_to_utc_matches_pandas(ts, zone):
    expected, expected_error = _pandas(ts, zone)
    got, error = checked_call(cw.process_intraday_timestamps, ts, exchange_tz=zone, output_tz="UTC",
                              allowed=LOCALISATION_ERRORS)
    if expected_error is not None:
        assert error is not None and type(error) is type(expected_error), (error, expected_error)
        return
    assert error is None, error
    pd.testing.assert_index_equal(got, expected, exact=True)


def _reference_level(index, level, zone):
    """Each instrument (rows sharing the other levels) converted by pandas in row order."""
    stamps = pd.DatetimeIndex(index.get_level_values(level))
    others = [index.get_level_values(j) for j in range(index.nlevels) if j != level]
    keys = list(zip(*[list(o) for o in others])) if others else [()] * len(index)
    out = np.empty(len(index), dtype="datetime64[ns]")
    for key in dict.fromkeys(keys):
        rows = [i for i, k in enumerate(keys) if k == key]
        converted, error = _pandas(stamps[rows], zone)
        if error is not None:
            return None, error
        out[rows] = converted.as_unit("ns").to_numpy()
    return pd.DatetimeIndex(out), None


@fuzz_settings(150)
@given(data=st.data(), zone=st.sampled_from(ZONES), instruments=st.integers(1, 3))
def test_multilevel_conversion_matches_per_instrument_pandas(data, zone, instruments):
    parts, names = [], []
    for k in range(instruments):
        ts = data.draw(wall_stamps())
        parts.append(pd.DataFrame({"DATETIME": ts.as_unit("ns"), "ticker": f"T{k}'", "v": np.arange(len(ts))}))
    frame = pd.concat(parts, ignore_index=True)
    if data.draw(st.booleans()):
        frame = frame.sample(frac=1, random_state=data.draw(st.integers(0, 99)))
    first = data.draw(st.sampled_from(["DATETIME", "ticker"]))
    frame = frame.set_index([first, "ticker" if first == "DATETIME" else "DATETIME"])
    level = list(frame.index.names).index("DATETIME")
    expected, expected_error = _reference_level(frame.index, level, zone)
    got, error = checked_call(cw.apply_intraday_index_level, frame, "DATETIME", exchange_tz=zone, output_tz="UTC",
                              allowed=LOCALISATION_ERRORS)
    if expected_error is not None:
        assert error is not None, f"pandas raised {expected_error!r}, the level converted"
        return
    assert error is None, error
    values = pd.DatetimeIndex(got.index.get_level_values("DATETIME")).as_unit("ns")
    np.testing.assert_array_equal(values.to_numpy(), expected.to_numpy())
    assert list(got["v"]) == list(frame["v"])
    assert got.index.names == frame.index.names


@fuzz_settings(150)
@given(values=st.one_of(series(), anything), zone=st.one_of(st.sampled_from(ZONES), texts_or_none, scalars),
       output=st.one_of(st.just("UTC"), texts_or_none, scalars), frame=frames(max_rows=8),
       level=st.one_of(st.sampled_from(["DATE", "DATETIME", "a", "index"]), maybe_text))
def test_index_functions_take_anything(values, zone, output, frame, level):
    # pandas' own errors for what it cannot read: unparseable values, zones it
    # does not know (ValueError, KeyError), missing levels (KeyError), indexes
    # without levels (AttributeError), objects without an index
    allowed = (TypeError, ValueError, KeyError, AttributeError, IndexError, OverflowError, NotImplementedError)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        checked_call(cw.process_intraday_timestamps, values, exchange_tz=zone, output_tz=output, allowed=allowed)
        checked_call(cw.convert_intraday_time_values, values, exchange_tz=zone, output_tz=output, allowed=allowed)
        for df in (frame, values):
            checked_call(cw.normalize_daily_index, df, level, allowed=allowed)
            checked_call(cw.apply_intraday_index_level, df, level, exchange_tz=zone, output_tz=output,
                         allowed=allowed)
