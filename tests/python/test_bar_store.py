import datetime as dt

import pandas as pd
import pytest
import pytz

from orvane_data.bar_store import arrow_table


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("tz", [None, "UTC", "America/New_York", "Asia/Kolkata", dt.timezone(dt.timedelta(hours=-4)),
                                pytz.FixedOffset(330)])
def test_arrow_tables_give_back_the_frame(unit, tz):
    # across a summer-time change, with a missing stamp and other columns around the stamps
    stamps = pd.date_range("2024-03-10 05:00", periods=5, freq="h", tz=tz, unit=unit).insert(2, pd.NaT)
    frame = pd.DataFrame({"key": list("abcdef"), "datetime": stamps, "close": [1.5, 2, None, 4, 5, 6],
                          "also": stamps.tz_localize(None) if tz else stamps})
    table = arrow_table(frame)
    zone = table.schema.field("datetime").type.tz
    assert zone == (tz if isinstance(tz, str) or tz is None else {-240: "-04:00", 330: "+05:30"}[
        tz.utcoffset(None) // dt.timedelta(minutes=1)])
    back = table.to_pandas()
    # a fixed offset comes back as arrow's own offset object: the same instants and offset
    pd.testing.assert_frame_equal(back, frame, check_dtype=isinstance(tz, str) or tz is None)
    if tz is not None:
        assert back["datetime"].dt.tz.utcoffset(None) == stamps.tz.utcoffset(None)


# --- reads by window -------------------------------------------------------

import contextlib  # noqa: E402

import numpy as np  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

from orvane_data import bar_store  # noqa: E402
from orvane_data.from_bqia.bar_kit import filter_bars_around_events  # noqa: E402
from s3_server import s3_endpoint  # noqa: F401,E402  (fixture)

DAYS = pd.bdate_range("2024-01-08", periods=30)


def minute_bars(n_securities=3, seed=1, days=DAYS):
    """New York sessions of minute bars, a few minutes missing, 24-hour bars for the last security."""
    rng = np.random.default_rng(seed)
    frames = []
    for i in range(n_securities):
        hours = (0, 1440) if i == n_securities - 1 else (14 * 60 + 30, 390)
        minutes = pd.DatetimeIndex(np.concatenate([
            pd.date_range(day + pd.Timedelta(minutes=hours[0]), periods=hours[1], freq="min", tz="UTC")
            for day in days]))
        minutes = minutes[rng.random(len(minutes)) > 0.03]
        close = 100.0 * np.exp(np.cumsum(rng.normal(0, 5e-4, len(minutes))))
        frames.append(pd.DataFrame({"security": f"OVGT{i:07d}Q", "datetime": minutes, "key": f"KEY{i}",
                                    "close": close, "volume": rng.integers(1, 500, len(minutes)).astype("float64"),
                                    "short_name": f"Security {i}"}))
    return pd.concat(frames, ignore_index=True)


def releases(days=DAYS):
    ny = [pd.Timestamp(day).tz_localize("America/New_York") for day in days]
    times = [ny[2] + pd.Timedelta(hours=8.5), ny[9] + pd.Timedelta(hours=10, seconds=30),
             ny[9] + pd.Timedelta(hours=10, minutes=4),  # windows that overlap
             ny[20] + pd.Timedelta(hours=14), ny[29] + pd.Timedelta(hours=9, minutes=32)]
    return pd.DataFrame({"EVENT_NAME": ["NFP", "ISM", "PMI", "FOMC", "CPI"], "event_datetime": times,
                         "ACTUAL": [1.0, 2.0, 3.0, 4.0, 5.0]})


def read_calls_bytes():
    """This process's bytes read by read calls so far (files and sockets alike)."""
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("rchar")).split()[1])


@contextlib.contextmanager
def bytes_read(monkeypatch, local=True):
    """Counts the bytes read: from local files, by the process's read calls
    (arrow reads them itself); from S3, by the ranged GETs of s3fs."""
    import s3fs.core

    count = {"bytes": 0, "requests": 0}
    if local:
        before = read_calls_bytes()
        yield count
        count["bytes"] = read_calls_bytes() - before
        return
    s3_fetch = s3fs.core.S3File._fetch_range

    def fetch(self, start, end):
        data = s3_fetch(self, start, end)
        count["bytes"] += len(data)
        count["requests"] += 1
        return data

    async def get(self, path, *args, **kwargs):  # the ranged GETs of an asynchronous s3fs
        data = await s3_get(self, path, *args, **kwargs)
        count["bytes"] += len(data)
        count["requests"] += 1
        return data

    monkeypatch.setattr(s3fs.core.S3File, "_fetch_range", fetch)
    s3_get = getattr(s3fs.core.S3FileSystem, "_cat_file", None)
    if s3_get is not None:
        monkeypatch.setattr(s3fs.core.S3FileSystem, "_cat_file", get)
    yield count


def dataset_bytes(fs, root):
    return sum(fs.size(path) for path in fs.glob(root.rstrip("/") + "/security=*/*.parquet"))


@pytest.fixture(scope="module")
def bars():
    return minute_bars()


@pytest.fixture(params=["local", "s3"])
def where(request, tmp_path):
    """A dataset root and its storage options, on a local folder or on the local S3 server."""
    if request.param == "local":
        return str(tmp_path), None
    server = request.getfixturevalue("s3_endpoint")
    bucket = f"orvane-windows-{tmp_path.name.lower().replace('_', '-')}"[:60]
    server.client().create_bucket(Bucket=bucket)
    return f"s3://{bucket}/minute", {"key": "testing", "secret": "testing",
                                     "client_kwargs": {"endpoint_url": server.url}}


class TestWindowReads:
    @pytest.mark.parametrize("pre, post, columns", [(-5, 10, None), (0, 0, ["datetime", "key", "close"]),
                                                    (-30, 2, ["close", "security", "key", "datetime"])])
    def test_windows_equal_the_whole_read_cut_and_read_less(self, monkeypatch, where, bars, pre, post, columns):
        root, options = where
        bar_store.write_bars(bars, root, storage_options=options)
        calendar = releases()
        whole = bar_store.load_bars(root, columns=columns, storage_options=options)
        with bytes_read(monkeypatch, local=options is None) as count:
            near = bar_store.load_bars(root, columns=columns, storage_options=options, around=calendar,
                                       pre=pre, post=post)
        assert list(near.columns) == list(whole.columns)
        pd.testing.assert_frame_equal(filter_bars_around_events(near, calendar, pre, post),
                                      filter_bars_around_events(whole, calendar, pre, post))
        fs, path = bar_store._filesystem(root, options)
        assert 0 < count["bytes"] < 0.25 * dataset_bytes(fs, path)

    def test_footers_longer_than_the_first_fetch(self, s3_endpoint, bars):  # noqa: F811
        # a week of 24-hour bars in groups of 16: a footer of about 220 KB
        day = bars[bars["datetime"] < bars["datetime"].iloc[0].normalize() + pd.Timedelta(days=8)]
        s3_endpoint.client().create_bucket(Bucket="orvane-long-footers")
        options = {"key": "testing", "secret": "testing", "client_kwargs": {"endpoint_url": s3_endpoint.url}}
        root = "s3://orvane-long-footers/minute"
        [path] = bar_store.write_bars(day[day["security"] == day["security"].iloc[-1]], root,
                                      storage_options=options, row_group_size=16)
        fs, _ = bar_store._filesystem(root, options)
        with fs.open(path, "rb") as handle:
            assert pq.ParquetFile(handle).metadata.serialized_size > 2 * bar_store._FOOTER_READ
        calendar = releases()
        near = bar_store.load_bars(root, storage_options=options, around=calendar)
        pd.testing.assert_frame_equal(filter_bars_around_events(near, calendar),
                                      filter_bars_around_events(bar_store.load_bars(root, storage_options=options),
                                                                calendar))

    def test_old_layouts_read_alike(self, tmp_path, bars):
        # one large row group per security, rows out of time order, a missing stamp
        shuffled = bars.sample(frac=1.0, random_state=3)
        shuffled.loc[shuffled.index[5], "datetime"] = pd.NaT
        root = str(tmp_path)
        for security, rows in shuffled.groupby("security"):
            folder = tmp_path / f"security={security}"
            folder.mkdir()
            pq.write_table(bar_store.arrow_table(rows.drop(columns="security")), folder / bar_store.FILE_NAME,
                           row_group_size=262_144)
        calendar = releases()
        near = bar_store.load_bars(root, around=calendar)
        pd.testing.assert_frame_equal(filter_bars_around_events(near, calendar),
                                      filter_bars_around_events(bar_store.load_bars(root), calendar))

    @pytest.mark.parametrize("how", [{"coerce_timestamps": "ms", "allow_truncated_timestamps": True},
                                     {"use_deprecated_int96_timestamps": True}])
    def test_stamps_stored_in_other_units_read_alike(self, tmp_path, bars, how):
        for security, rows in bars.groupby("security"):
            folder = tmp_path / f"security={security}"
            folder.mkdir()
            pq.write_table(bar_store.arrow_table(rows.drop(columns="security")), folder / bar_store.FILE_NAME,
                           row_group_size=1024, **how)
        calendar = releases()
        if "use_deprecated_int96_timestamps" in how:  # read back naive, in UTC
            calendar["event_datetime"] = calendar["event_datetime"].dt.tz_convert("UTC").dt.tz_localize(None)
        whole = bar_store.load_bars(str(tmp_path))
        near = bar_store.load_bars(str(tmp_path), around=calendar)
        pd.testing.assert_frame_equal(filter_bars_around_events(near, calendar),
                                      filter_bars_around_events(whole, calendar))
        assert len(filter_bars_around_events(whole, calendar)) > 0

    def test_files_are_sorted_in_small_groups_with_time_statistics(self, tmp_path, bars):
        bar_store.write_bars(bars.sample(frac=1.0, random_state=4), str(tmp_path))
        for security, rows in bars.groupby("security"):
            parquet = pq.ParquetFile(tmp_path / f"security={security}" / bar_store.FILE_NAME)
            stamps = parquet.read(columns=["datetime"]).column("datetime").to_pandas()
            assert stamps.is_monotonic_increasing and len(stamps) == len(rows)
            meta = parquet.metadata
            assert max(meta.row_group(i).num_rows for i in range(meta.num_row_groups)) == bar_store.ROW_GROUP_SIZE
            group = meta.row_group(0)
            assert [group.column(i).is_stats_set for i in range(group.num_columns)] == [
                name == "datetime" for name in parquet.schema_arrow.names]
            assert group.sorting_columns[0].column_index == parquet.schema_arrow.get_field_index("datetime")

    def test_naive_releases_against_zoned_bars_read_everything(self, monkeypatch, tmp_path, bars):
        bar_store.write_bars(bars, str(tmp_path))
        naive = releases().assign(event_datetime=lambda c: c["event_datetime"].dt.tz_localize(None))
        with bytes_read(monkeypatch) as count:
            near = bar_store.load_bars(str(tmp_path), around=naive)
        assert len(near) == len(bars)
        assert count["bytes"] >= 0.9 * dataset_bytes(*bar_store._filesystem(str(tmp_path), None))
