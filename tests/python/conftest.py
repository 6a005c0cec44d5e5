import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))


def bits(a):
    """Array of the values' bit patterns, so that comparisons tell -0.0 from 0.0."""
    return np.ascontiguousarray(np.asarray(a, dtype=np.float64)).view(np.uint64)


def assert_exact(actual, expected):
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.shape == expected.shape
    if not np.array_equal(bits(actual), bits(expected)):
        bad = np.flatnonzero(bits(actual).ravel() != bits(expected).ravel())[:5]
        pairs = [(float(actual.ravel()[i]).hex(), float(expected.ravel()[i]).hex()) for i in bad]
        pytest.fail(f"{len(bad)}+ elements differ (actual, expected): {pairs}")


class Index:
    """An integer only through __index__, as operator.index takes it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return "Index(%d)" % self.value


def assert_line_error(exc, path, line):
    """exc is the ValueError of a refused data line: the fixed message and a note naming the file
    and the 1-based line."""
    assert type(exc) is ValueError
    assert str(exc) == "Unexpected line format or read error."
    assert exc.__notes__ == [f"in {path!r}, line {line}"]  # set directly before 3.11


@pytest.fixture
def write(tmp_path):
    """write(text_or_bytes, name='in.txt') -> path of a file holding it."""

    def _write(content, name="in.txt"):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return _write
