import errno
import gzip
import subprocess
import sys

import lagstat
import numpy as np
import pytest
from conftest import assert_exact


def trajectory(rows, n=6, seed=0):
    x = np.random.default_rng(seed).standard_normal((rows, n)) * 50
    return "".join(" ".join("%.6f" % v for v in row) + "\n" for row in x).encode()


def both_passes(path, lag=3):
    d = {}
    lagstat.run(path, d, 1, 0, 0, 0, lag)
    d = {"mean": d["mean"] / d["samples"]}
    lagstat.run(path, d, 0, 1, 1, 1, lag)
    return d


def members(data, cuts):
    """gzip members of the pieces of data cut at the given offsets, concatenated."""
    bounds = [0, *cuts, len(data)]
    return b"".join(gzip.compress(data[a:b], compresslevel=6) for a, b in zip(bounds, bounds[1:]))


@pytest.mark.parametrize(
    "rows, cuts",
    [
        (1, []),
        (500, []),
        (20000, []),  # many decompression blocks
        (500, [1, 77, 5000]),  # members ending inside lines and fields
        (500, [0, 0, 30000]),  # empty members
    ],
)
def test_gzip_reads_as_the_plain_file(tmp_path, rows, cuts):
    text = trajectory(rows)
    plain = tmp_path / "plain.txt"
    plain.write_bytes(text)
    packed = tmp_path / "packed.dat"  # recognised by content, not by name
    packed.write_bytes(members(text, [c for c in cuts if c <= len(text)]))
    want, got = both_passes(str(plain)), both_passes(str(packed))
    assert sorted(got) == sorted(want)
    for key in want:
        assert_exact(got[key], want[key])
    out_plain, out_packed = tmp_path / "a.txt", tmp_path / "b.txt"
    w = np.eye(6)
    lagstat.stream(str(plain), str(out_plain), want["mean"], w, 3, 0)
    lagstat.stream(str(packed), str(out_packed), want["mean"], w, 3, 0)
    assert out_plain.read_bytes() == out_packed.read_bytes()


def test_gzip_through_a_pipe():
    code = "import lagstat; d = {}; lagstat.run('/dev/stdin', d, 1, 0, 0, 0, 1); print(float(d['samples']), d['mean'].tolist())"
    out = subprocess.run([sys.executable, "-c", code], input=gzip.compress(b"1 2\n3 4\n"),
                         capture_output=True, check=True)
    assert out.stdout.decode().split() == ["2.0", "[4.0,", "6.0]"]


def corrupt(packed):
    bad = bytearray(packed)
    bad[len(bad) // 2] ^= 0xFF
    return bytes(bad)


@pytest.mark.parametrize(
    "make, code",
    [
        (lambda p: p[: len(p) - 5], errno.EIO),  # truncated in the trailer
        (lambda p: p[: len(p) // 2], None),  # truncated in the body
        (lambda p: p[:-8] + bytes(8), errno.EILSEQ),  # wrong CRC and length
        (corrupt, None),
        (lambda p: b"\x1f\x8b" + b"not gzip at all\n" * 10, errno.EILSEQ),
        (lambda p: p + b"trailing garbage", errno.EILSEQ),
    ],
)
def test_broken_streams_raise_oserror_and_add_no_samples(tmp_path, make, code):
    packed = tmp_path / "bad.gz"
    packed.write_bytes(make(gzip.compress(trajectory(3000))))
    d = {"samples": np.zeros(())}
    with pytest.raises(OSError) as info:
        lagstat.run(str(packed), d, 1, 0, 0, 0, 1)
    assert info.value.filename == str(packed)
    assert info.value.errno in ((code,) if code else (errno.EIO, errno.EILSEQ))
    assert float(d["samples"]) == 0.0


def test_damage_after_the_end_of_data_is_still_found(tmp_path):
    """The data end at the blank line, but the stream's check sums come last: a damaged stream
    must not pass for a short file."""
    packed = gzip.compress(b"1 2\n3 4\n\n" + trajectory(2000, n=2))
    path = tmp_path / "bad.gz"
    path.write_bytes(packed[:-8] + bytes(8))
    d = {}
    with pytest.raises(OSError):
        lagstat.run(str(path), d, 1, 0, 0, 0, 1)
    assert float(d["samples"]) == 0.0
    with pytest.raises(OSError):
        lagstat.stream(str(path), str(tmp_path / "out.txt"), [0, 0], np.eye(2), 2, 0)
    path.write_bytes(packed)
    d = {}
    lagstat.run(str(path), d, 1, 0, 0, 0, 1)
    assert float(d["samples"]) == 2.0
