"""Columns set from native code, as a Python line sets them, with no
chained-assignment guess on any pandas line."""

import sys

import numpy as np
import pandas as pd
import pytest

import glue_probe  # built with the C++ tests; `make test` puts it on the path

PANDAS_2 = int(pd.__version__.split(".")[0]) < 3


class Counting(pd.DataFrame):
    """Records the reference count pandas 2 reads to guess a chained assignment."""

    seen: list[int] = []

    def __setitem__(self, key, value):
        Counting.seen.append(sys.getrefcount(self))
        super().__setitem__(key, value)


def count_of(assign):
    Counting.seen.clear()
    assign()
    return Counting.seen[-1]


def python_line():
    frame = Counting({"a": (1.0, 2.0)})
    frame["b"] = 0.5


def chained_line():
    Counting({"a": (1.0, 2.0)})["b"] = 0.5


def test_native_caller_holds_the_frame_as_a_python_line_does():
    native = count_of(lambda: glue_probe.set_fresh_column(Counting, "b", 0.5))
    assert native >= count_of(python_line) > count_of(chained_line)


@pytest.mark.parametrize(
    "label, values",
    [
        ("b", 0.5),
        ("b", [3.0, 4.0]),
        ("a", np.array(["x", "y"], dtype=object)),
        ("b", pd.Series([7.0, 8.0], index=[1, 0])),  # aligned on the index, not by position
        ("b", pd.Series([7.0], index=[1])),
    ],
)
def test_column_is_set_as_a_python_line_sets_it(label, values):
    expected = pd.DataFrame({"a": (1.0, 2.0)})
    expected[label] = values
    pd.testing.assert_frame_equal(glue_probe.set_fresh_column(pd.DataFrame, label, values), expected)


@pytest.mark.skipif(not PANDAS_2, reason="copy-on-write is a choice only before pandas 3")
@pytest.mark.parametrize("copy_on_write", [False, True])
def test_no_chained_assignment_warning_under_either_mode(copy_on_write):
    # pytest turns the FutureWarning (and ChainedAssignmentError) into errors
    with pd.option_context("mode.copy_on_write", copy_on_write):
        base = pd.DataFrame({"a": (1.0, 2.0)})
        # a frame sharing base's blocks: the case pandas 2 warns about when
        # it reaches __setitem__ with a temporary's count
        glue_probe.set_fresh_column(lambda columns: base.copy(deep=False), "b", 0.5)
