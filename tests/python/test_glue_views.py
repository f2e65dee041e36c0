"""The glue's column views against pandas' own formulations: rows taken
(chunk by chunk from Arrow arrays of several chunks), label codes in either
order, and stamps of any storage."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

glue_probe = pytest.importorskip("glue_probe")


def in_chunks(values, sizes, arrow_type):
    """An Arrow-backed Series over a chunked array of those chunk sizes."""
    pieces, start = [], 0
    for size in sizes:
        pieces.append(pa.array(values[start:start + size], type=arrow_type))
        start += size
    return pd.Series(pd.arrays.ArrowExtensionArray(pa.chunked_array(pieces, type=arrow_type)))


TEXTS = ["a", None, "ccc", "dd", "e", "f", None, "hh", "i", "j"]
COLUMNS = {
    "float64": lambda: pd.Series(np.arange(10.0)),
    "object": lambda: pd.Series(TEXTS, dtype=object),
    "zoned stamps": lambda: pd.Series(pd.date_range("2024-06-07", periods=10, freq="min", tz="America/New_York")),
    "nullable ints": lambda: pd.Series([1, None, 3, 4, 5, 6, 7, None, 9, 10], dtype="Int64"),
    "categorical": lambda: pd.Series(TEXTS, dtype="category"),
    "arrow texts, one chunk": lambda: in_chunks(TEXTS, [10], pa.large_string()),
    "arrow texts, four chunks": lambda: in_chunks(TEXTS, [3, 0, 4, 3], pa.large_string()),
    "arrow ints, chunks": lambda: in_chunks(list(range(10)), [1, 5, 4], pa.int64()),
}


def pandas_take(series, indexer, allow_fill):
    if isinstance(series.dtype, pd.api.extensions.ExtensionDtype):
        return series.array.take(indexer, allow_fill=allow_fill)
    return pd.api.extensions.take(series.to_numpy(), indexer, allow_fill=allow_fill)


@pytest.mark.parametrize("column", COLUMNS)
@pytest.mark.parametrize("allow_fill", [False, True])
def test_take_gives_what_pandas_take_gives(column, allow_fill):
    series = COLUMNS[column]()
    rng = np.random.default_rng(5)
    for indexer in ([], [9, 0, 4, 4, 3, 7], rng.integers(-1 if allow_fill else 0, 10, 40)):
        indexer = np.asarray(indexer, dtype=np.int64)
        got, want = glue_probe.take(series, indexer, allow_fill), pandas_take(series, indexer, allow_fill)
        assert type(got) is type(want)
        if isinstance(want, np.ndarray):
            assert got.dtype == want.dtype and pd.Series(got).equals(pd.Series(want))
        else:
            pd.testing.assert_extension_array_equal(got, want)


@pytest.mark.parametrize("column", ["arrow texts, four chunks", "float64"])
@pytest.mark.parametrize("indexer", [[0, 10], [-2]])
def test_take_out_of_range_raises_as_pandas_does(column, indexer):
    series = COLUMNS[column]()
    with pytest.raises((IndexError, ValueError)) as want:
        pandas_take(series, np.array(indexer), allow_fill=True)
    with pytest.raises(want.type):
        glue_probe.take(series, np.array(indexer), True)


@pytest.mark.parametrize("values", [
    pd.Series(["b", None, "a", "c", "a", "b"]),
    pd.Series([3.5, np.nan, -1.0, 3.5, 2.0]),
    pd.Series(["b", "a", None, "b"], dtype="category").cat.set_categories(["b", "a"]),
    pd.Series(pd.to_datetime(["2024-01-03", None, "2024-01-01", "2024-01-03"])),
], ids=["texts", "floats", "categories", "stamps"])
@pytest.mark.parametrize("first_seen", [False, True])
def test_label_codes_are_pandas_factorize(values, first_seen):
    codes, uniques = glue_probe.codes(values, first_seen)
    want_codes, want_uniques = pd.factorize(values, sort=not first_seen)
    np.testing.assert_array_equal(codes, want_codes)
    assert list(uniques) == list(want_uniques)


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("zone", [None, "America/New_York"])
def test_arrow_stamps_read_as_their_datetime64_column(unit, zone):
    stamps = pd.Series(pd.to_datetime(["2024-03-10 06:59:59", None, "1969-12-31 23:59:59.5"], format="ISO8601").as_unit(unit))
    if zone:
        stamps = stamps.dt.tz_localize("UTC").dt.tz_convert(zone)
    arrow = stamps.astype(pd.ArrowDtype(pa.timestamp(unit, tz=zone)))
    ticks, got_unit, got_zone = glue_probe.stored_stamps(arrow)
    assert (got_unit, str(got_zone) if zone else got_zone) == (unit, zone)
    np.testing.assert_array_equal(ticks, stamps.array.asi8)
    # numpy and zone-aware columns are read as they are
    np.testing.assert_array_equal(glue_probe.stored_stamps(stamps)[0], stamps.array.asi8)


@pytest.mark.parametrize("series", [pd.Series([1, 2]), pd.Series(pa.array(["x"]), dtype=pd.ArrowDtype(pa.string()))])
def test_stored_stamps_of_other_columns_is_none(series):
    assert glue_probe.stored_stamps(series) is None
