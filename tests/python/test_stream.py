import errno
import os

import lagstat
import numpy as np
import pytest
from conftest import assert_line_error

LENGTH_MESSAGE = "Number of order parameters and length of mean/std/weights differ. Forgot time column?"
IDENTITY = [[1, 0], [0, 1]]


@pytest.mark.parametrize(
    "text, mean, weights, max_proj, time_column, expected",
    [
        ("0 1 2\n1 3 4\n", [2, 3], IDENTITY, 2, 1, "-1.000000 -1.000000\n1.000000 1.000000\n"),
        ("0 1 2\n1 3 4\n", [2, 3], IDENTITY, 1, 1, "-1.000000\n1.000000\n"),
        ("0 1 2\n1 3 4\n", [2, 3], IDENTITY, 1, 7, "-1.000000\n1.000000\n"),
        ("1 2\n3 4\n\n5 6\n", [0, 0], [[1, 2], [3, 4]], 2, 0, "7.000000 10.000000\n15.000000 22.000000\n"),
        ("1.5\n-2\n", 0.5, 3, 1, 0, "3.000000\n-7.500000\n"),  # one frame column: scalars
        ("1.5\n", [0.5, 9], [[2, 9]], 1, 0, "2.000000\n"),  # any shape, first element used
        ("0.5\n-0.5\n", 0.5, -1, 1, 0, "0.000000\n1.000000\n"),  # sums start at +0.0
    ],
)
def test_projection_lines(write, tmp_path, text, mean, weights, max_proj, time_column, expected):
    out = tmp_path / "out.txt"
    lagstat.stream(write(text), str(out), mean, weights, max_proj, time_column)
    assert out.read_text() == expected


@pytest.mark.parametrize(
    "text, mean, weights, max_proj, exc, message",
    [
        ("0 1 2\n", [2, 3], IDENTITY, 0, ValueError, "max < 1"),
        ("0 1 2\n", [2, 3], IDENTITY, 3, ValueError, "max > record length"),
        ("0 1 2\n", [2, 3, 4], IDENTITY, 2, ValueError, LENGTH_MESSAGE),
        ("0 1 2\n", [2, 3], [[1, 0, 0]] * 3, 2, ValueError, LENGTH_MESSAGE),
        ("0 1 2\n", [2, 3], [1, 0, 0, 1], 2, ValueError, None),  # rank 1 for a matrix: NumPy's error
        ("0 1 2\n", [], [[1]], 1, ValueError, None),
        ("0 1 2\n", [{}, {}], [[1, 0], [0, 1]], 1, TypeError, None),
        ("0 1 2\n", [2, 3], [[{}, {}]] * 2, 1, TypeError, None),
        ("0 1 2\n", [2, 3, 4], [[{}, {}]] * 2, 1, TypeError, None),  # both fail: the second one's stands
        ("0 1 2\n", [{}, {}], [[1, 0, 0]] * 3, 1, ValueError, LENGTH_MESSAGE),
        ("0\n", [], [], 1, ValueError, "max > record length"),  # only the time column
        ("", [], [], 1, OSError, None),
    ],
)
def test_refused_calls_create_no_output(write, tmp_path, text, mean, weights, max_proj, exc, message):
    out = tmp_path / "out.txt"
    with pytest.raises(exc) as info:
        lagstat.stream(write(text), str(out), mean, weights, max_proj, 1)
    if message is not None:
        assert str(info.value) == message
    assert not out.exists()


def test_max_proj_checked_before_input_is_opened(tmp_path):
    with pytest.raises(ValueError, match="^max < 1$"):
        lagstat.stream(str(tmp_path / "missing"), str(tmp_path / "out"), [0], [[1]], 0, 0)


def test_bad_fourth_line_keeps_three_lines(write, tmp_path):
    out = tmp_path / "out.txt"
    path = write("1 2\n3 4\n5 6\n7 8 9\n1 1\n")
    with pytest.raises(ValueError) as info:
        lagstat.stream(path, str(out), [0, 0], IDENTITY, 2, 0)
    assert_line_error(info.value, path, 4)
    assert out.read_text().splitlines() == ["1.000000 2.000000", "3.000000 4.000000", "5.000000 6.000000"]


def test_output_errors_raise_oserror(write, tmp_path):
    path = write("1 2\n" * 1000)
    with pytest.raises(OSError) as info:
        lagstat.stream(path, "/dev/full", [0, 0], IDENTITY, 2, 0)
    assert info.value.errno == errno.ENOSPC and info.value.filename == "/dev/full"
    missing = str(tmp_path / "no" / "out.txt")
    with pytest.raises(OSError) as info:
        lagstat.stream(path, missing, [0, 0], IDENTITY, 2, 0)
    assert info.value.errno == errno.ENOENT and info.value.filename == missing


def random_doubles(rng, count):
    raw = rng.integers(0, 2**64, size=count, dtype=np.uint64).view(np.float64)
    typical = rng.standard_normal(count) * 10.0 ** rng.integers(-8, 9, size=count)
    halves = rng.integers(-10**7, 10**7, size=count) / 2.0**rng.integers(1, 30, size=count)
    special = [0.0, -0.0, 1 / 128, 3 / 128, -5 / 128, 0.5e-6, 2.5e-6, 1.5e-6, 5e-7, -5e-7,
               1.7976931348623157e308, -1.7976931348623157e308, 5e-324, float("inf"), float("-inf")]
    values = np.concatenate([raw[np.isfinite(raw)], typical, halves, special])
    return values


def test_output_text_is_c_percent_f(tmp_path):
    """Every value goes out as C's "%f" prints it (checked through Python's %-formatting, which prints
    the same exact decimal expansion, rounded half to even)."""
    values = random_doubles(np.random.default_rng(7), 3000)
    # Feed the values through an identity projection: the input text holds every value exactly.
    inp = tmp_path / "in.txt"
    inp.write_text("".join(f"{float(v)!r}\n" for v in values).replace("inf", "1e999"))
    out = tmp_path / "out.txt"
    lagstat.stream(str(inp), str(out), 0.0, 1.0, 1, 0)
    want = ["%f" % (0.0 + float(v)) for v in values]
    assert out.read_text().splitlines() == want


@pytest.mark.parametrize("spelling", ["same", "link"])
def test_output_that_is_the_input_is_refused(write, tmp_path, spelling):
    text = "1 2\n3 4\n"
    path = write(text)
    out = path
    if spelling == "link":
        out = str(tmp_path / "link.txt")
        os.link(path, out)
    with pytest.raises(OSError) as info:
        lagstat.stream(path, out, [0, 0], IDENTITY, 2, 0)
    assert info.value.errno == errno.EINVAL and info.value.filename == out
    assert open(path).read() == text
