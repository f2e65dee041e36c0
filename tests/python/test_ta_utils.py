"""Series helpers of the indicators: input check, offsets, fills."""

import numpy as np
import pandas as pd
import pytest

from orvane_data.ta import utils


class TestVerifySeries:
    def test_returns_the_series_itself_or_none_when_short(self):
        s = pd.Series([1.0, 2.0, 3.0])
        assert utils.verify_series(s) is s
        assert utils.verify_series(s, 3) is s
        assert utils.verify_series(s, 4) is None
        assert utils.verify_series(pd.Series([], dtype=float)) is not None

    def test_subclasses_pass(self):
        class Prices(pd.Series):
            pass

        s = Prices([1.0, 2.0])
        assert utils.verify_series(s, 2) is s

    @pytest.mark.parametrize("obj", [[1.0, 2.0], np.arange(3.0), pd.DataFrame({"a": [1.0]}), None, "abc"])
    def test_anything_else_is_a_type_error(self, obj):
        with pytest.raises(TypeError, match="expected a pandas Series, got"):
            utils.verify_series(obj, 1)


class TestOffsets:
    @pytest.mark.parametrize("given, expected", [(None, 0), (0, 0), (3, 3), (-2, -2)])
    def test_get_offset(self, given, expected):
        assert utils.get_offset(given) == expected

    def test_apply_offset_shifts_rows(self):
        s = pd.Series([1.0, 2.0, 3.0], index=list("abc"))
        assert utils._apply_offset(s, 0) is s
        shifted = utils._apply_offset(s, 1)
        assert shifted.tolist()[1:] == [1.0, 2.0] and np.isnan(shifted.iloc[0])
        assert list(shifted.index) == list("abc")
        assert utils._apply_offset(s, -1).tolist()[:2] == [2.0, 3.0]


class TestHandleFills:
    def test_fill_value_then_method(self):
        s = pd.Series([np.nan, 1.0, np.nan, 3.0, np.nan])
        assert utils._handle_fills(s, fillna=0.0).tolist() == [0.0, 1.0, 0.0, 3.0, 0.0]
        assert utils._handle_fills(s, fill_method="ffill").tolist()[1:] == [1.0, 1.0, 3.0, 3.0]
        assert utils._handle_fills(s, fill_method="bfill").tolist()[:4] == [1.0, 1.0, 3.0, 3.0]

    def test_other_keywords_and_none_are_ignored(self):
        s = pd.Series([np.nan, 1.0])
        assert utils._handle_fills(s, adjust=True, length=3, fillna=None) is s
        assert s.isna().iloc[0]  # never filled in place

    def test_unknown_fill_method_is_refused(self):
        with pytest.raises(ValueError, match="fill_method must be 'ffill' or 'bfill'"):
            utils._handle_fills(pd.Series([1.0]), fill_method="pad")
