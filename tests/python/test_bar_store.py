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
