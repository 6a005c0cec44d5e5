"""Compressed input (gzip, bzip2, xz, zstd), recognised by content and read as the plain file."""
import bz2
import errno
import gzip
import lzma
import os
import shutil
import signal
import subprocess
import sys
import time

import lagstat
import numpy as np
import pytest
from conftest import assert_exact


def zstd_compress(data):
    return subprocess.run(["zstd", "-q", "-c", "-3"], input=data, capture_output=True,
                          check=True).stdout


COMPRESS = {
    "gzip": lambda data: gzip.compress(data, compresslevel=6),
    "bzip2": lambda data: bz2.compress(data, 9),
    "xz": lzma.compress,
    "zstd": zstd_compress,
}
MAGIC = {"gzip": b"\x1f\x8b", "bzip2": b"BZh91AY&SY", "xz": b"\xfd7zXZ\x00", "zstd": b"\x28\xb5\x2f\xfd"}
FORMATS = ["gzip", "bzip2", "xz",
           pytest.param("zstd", marks=pytest.mark.skipif(shutil.which("zstd") is None,
                                                         reason="the zstd command is not installed"))]


def trajectory(rows, n=6, seed=0):
    x = np.random.default_rng(seed).standard_normal((rows, n)) * 50
    return "".join(" ".join("%.6f" % v for v in row) + "\n" for row in x).encode()


def both_passes(path, lag=3):
    d = {}
    lagstat.run(path, d, 1, 0, 0, 0, lag)
    d = {"mean": d["mean"] / d["samples"]}
    lagstat.run(path, d, 0, 1, 1, 1, lag)
    return d


def streams(fmt, data, cuts):
    """Streams of the pieces of data cut at the given offsets, concatenated."""
    bounds = [0, *cuts, len(data)]
    return b"".join(COMPRESS[fmt](data[a:b]) for a, b in zip(bounds, bounds[1:]))


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize(
    "rows, cuts",
    [
        (1, []),
        (500, []),
        (20000, []),  # many decompression blocks
        (500, [1, 77, 5000]),  # streams ending inside lines and fields
        (500, [0, 0, 30000]),  # empty streams
    ],
)
def test_compressed_reads_as_the_plain_file(tmp_path, fmt, rows, cuts):
    text = trajectory(rows)
    plain = tmp_path / "plain.txt"
    plain.write_bytes(text)
    packed = tmp_path / "packed.dat"  # recognised by content, not by name
    packed.write_bytes(streams(fmt, text, [c for c in cuts if c <= len(text)]))
    want, got = both_passes(str(plain)), both_passes(str(packed))
    assert sorted(got) == sorted(want)
    for key in want:
        assert_exact(got[key], want[key])
    out_plain, out_packed = tmp_path / "a.txt", tmp_path / "b.txt"
    w = np.eye(6)
    lagstat.stream(str(plain), str(out_plain), want["mean"], w, 3, 0)
    lagstat.stream(str(packed), str(out_packed), want["mean"], w, 3, 0)
    assert out_plain.read_bytes() == out_packed.read_bytes()


@pytest.mark.parametrize("fmt", FORMATS)
def test_compressed_through_a_pipe(fmt):
    code = ("import lagstat; d = {}; lagstat.run('/dev/stdin', d, 1, 0, 0, 0, 1); "
            "print(float(d['samples']), d['mean'].tolist())")
    out = subprocess.run([sys.executable, "-c", code], input=COMPRESS[fmt](b"1 2\n3 4\n"),
                         capture_output=True, check=True)
    assert out.stdout.decode().split() == ["2.0", "[4.0,", "6.0]"]


# The child says when its imports are done, so that a slow start (a loaded machine, a sanitizer)
# does not take the second the pass is given to reach its wait.
READY = "import sys, lagstat; sys.stderr.write('ready\\n'); sys.stderr.flush(); "


@pytest.mark.parametrize("fmt", FORMATS)
def test_ctrl_c_stops_a_pass_waiting_for_compressed_input(tmp_path, fmt):
    """The decoding thread waits on the FIFO; the pass must still see the signal and end."""
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    code = f"import lagstat; lagstat.run({fifo!r}, {{}}, 1, 0, 0, 0, 1)"
    proc = subprocess.Popen([sys.executable, "-c", READY + code], stderr=subprocess.PIPE)
    assert proc.stderr.readline() == b"ready\n"
    feed = "import sys, time; f = open(sys.argv[1], 'wb'); f.write(sys.stdin.buffer.read()); f.flush(); time.sleep(30)"
    feeder = subprocess.Popen([sys.executable, "-c", feed, fifo], stdin=subprocess.PIPE)
    feeder.stdin.write(COMPRESS[fmt](trajectory(20000))[:4096])  # a start, then silence
    feeder.stdin.close()
    time.sleep(1.0)
    proc.send_signal(signal.SIGINT)
    try:
        _, err = proc.communicate(timeout=10)
    finally:
        feeder.kill()
    assert b"KeyboardInterrupt" in err


def corrupt(packed):
    bad = bytearray(packed)
    bad[len(bad) // 2] ^= 0xFF
    return bytes(bad)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize(
    "make, code",
    [
        (lambda fmt, p: p[: len(p) - 5], errno.EIO),  # truncated in the check or end marker
        (lambda fmt, p: p[: len(p) // 2], errno.EIO),  # truncated in the body
        (lambda fmt, p: p[:-8] + bytes(8), errno.EILSEQ),  # wrong check
        (lambda fmt, p: corrupt(p), None),
        (lambda fmt, p: MAGIC[fmt] + b"not compressed at all\n" * 10, errno.EILSEQ),
        (lambda fmt, p: p + b"trailing garbage", errno.EILSEQ),
    ],
)
def test_broken_streams_raise_oserror_and_add_no_samples(tmp_path, fmt, make, code):
    packed = tmp_path / "bad.dat"
    packed.write_bytes(make(fmt, COMPRESS[fmt](trajectory(3000))))
    d = {"samples": np.zeros(())}
    with pytest.raises(OSError) as info:
        lagstat.run(str(packed), d, 1, 0, 0, 0, 1)
    assert info.value.filename == str(packed)
    assert info.value.errno in ((code,) if code else (errno.EIO, errno.EILSEQ))
    assert float(d["samples"]) == 0.0


@pytest.mark.parametrize("fmt", FORMATS)
def test_damage_after_the_end_of_data_is_still_found(tmp_path, fmt):
    """The data end at the blank line, but the stream's check sums come last: a damaged stream
    must not pass for a short file."""
    packed = COMPRESS[fmt](b"1 2\n3 4\n\n" + trajectory(2000, n=2))
    path = tmp_path / "bad.dat"
    path.write_bytes(packed[:-8] + bytes(8))
    d = {}
    with pytest.raises(OSError):
        lagstat.run(str(path), d, 1, 0, 0, 0, 1)
    assert float(d.get("samples", 0.0)) == 0.0  # zstd may fail before the first line is out
    with pytest.raises(OSError):
        lagstat.stream(str(path), str(tmp_path / "out.txt"), [0, 0], np.eye(2), 2, 0)
    path.write_bytes(packed)
    d = {}
    lagstat.run(str(path), d, 1, 0, 0, 0, 1)
    assert float(d["samples"]) == 2.0


def test_a_first_line_spoilt_by_damage_reports_the_damage(tmp_path):
    """bzip2 hands out a block before its check: damage shows first as a malformed first line."""
    packed = bytearray(COMPRESS["bzip2"](trajectory(3000)))
    packed[len(packed) // 2] ^= 0xFF
    path = tmp_path / "bad.dat"
    path.write_bytes(bytes(packed))
    for call in (lambda: lagstat.run(str(path), {}, 1, 0, 0, 0, 1),
                 lambda: lagstat.stream(str(path), str(tmp_path / "out.txt"), [0] * 6, np.eye(6), 2, 0)):
        with pytest.raises(OSError) as info:
            call()
        assert (info.value.errno, info.value.strerror) == (
            errno.EILSEQ, "bzip2 data are damaged (a block or check is wrong)")
