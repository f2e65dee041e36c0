import pandas as pd
import pytest

from orvane_data.bar_store import arrow_table


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("tz", [None, "UTC", "America/New_York", "Asia/Kolkata"])
def test_arrow_tables_give_back_the_frame(unit, tz):
    # across a summer-time change, with a missing stamp and other columns around the stamps
    stamps = pd.date_range("2024-03-10 05:00", periods=5, freq="h", tz=tz, unit=unit).insert(2, pd.NaT)
    frame = pd.DataFrame({"key": list("abcdef"), "datetime": stamps, "close": [1.5, 2, None, 4, 5, 6],
                          "also": stamps.tz_localize(None) if tz else stamps})
    table = arrow_table(frame)
    assert table.schema.field("datetime").type.tz == tz
    pd.testing.assert_frame_equal(table.to_pandas(), frame)
