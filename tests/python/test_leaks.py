"""Every error path of run and stream, called thousands of times, leaves the reference counts of the
caller's objects (file names, dictionary, its arrays, stream's mean and weights) and the process's
memory flat: Python allocations (tracemalloc), C and C++ heap in use (glibc's mallinfo2), and RSS."""
import ctypes
import gc
import gzip
import os
import sys
import tracemalloc

import lagstat
import numpy as np
import pytest

# Under AddressSanitizer only the reference counts are checked: its allocator keeps freed memory in
# quarantine (RSS, heap) and, preloaded under Python's tracemalloc, shows a bounded growth of traced
# strings that the same calls without it do not show.
SANITIZED = os.environ.get("LAGSTAT_SANITIZED") == "1"
ROUNDS = 500 if SANITIZED else 3000
WARMUP = 50
TEXT = b"1.5 -2\n3.25 4e-3\n-5 6.125\n7 8\n"


def name(*parts):
    """A fresh, non-interned str, so that its reference count is the test's own."""
    return "".join(parts)


class heap_in_use:
    """Bytes the C library's malloc has handed out and not got back (glibc), or None."""

    class _info(ctypes.Structure):
        _fields_ = [(f, ctypes.c_size_t) for f in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                     "uordblks", "fordblks", "keepcost")]

    try:
        _fn = ctypes.CDLL(None).mallinfo2
        _fn.restype = _info
    except (AttributeError, OSError):
        _fn = None

    @classmethod
    def now(cls):
        if cls._fn is None:
            return None
        info = cls._fn()
        return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")

    def put(file, data):
        (root / file).write_bytes(data)
        return name(str(root), "/", file)

    gz = bytearray(gzip.compress(TEXT, mtime=0))
    gz[-8] ^= 0xFF
    f = {
        "good": put("good.txt", TEXT),
        "bad_line": put("bad_line.txt", TEXT[:-1] + b" 9\n"),
        "empty": put("empty.txt", b""),
        "malformed": put("malformed.txt", b"1 2 x\n"),
        "gz_crc": put("crc.gz", bytes(gz)),
        "gz_cut": put("cut.gz", gzip.compress(TEXT, mtime=0)[:-3]),
        "wide": put("wide.txt", b"1 " * 12000 + b"\n"),
        "missing": name(str(root), "/missing.txt"),
        "directory": name(str(root)),
        "out": name(str(root), "/out.txt"),
        "out_missing": name(str(root), "/no/such/dir/out.txt"),
        "path_good": root / "good.txt",  # os.PathLike
    }
    return f


EYE = [[1.0, 0.0], [0.0, 1.0]]

# name: (call(files, d, mean, weights), initial dictionary, mean, weights, exception or None)
CASES = {
    "run arguments": (lambda f, d, m, w: lagstat.run(f["good"], d, "1", 0, 0, 0, 1), {}, None, None,
                      TypeError),
    "run NUL in name": (lambda f, d, m, w: lagstat.run(name("in\0.txt"), d, 1, 0, 0, 0, 1), {}, None,
                        None, ValueError),
    "run missing": (lambda f, d, m, w: lagstat.run(f["missing"], d, 1, 0, 0, 0, 1), {}, None, None,
                    FileNotFoundError),
    "run directory": (lambda f, d, m, w: lagstat.run(f["directory"], d, 1, 0, 0, 0, 1), {}, None,
                      None, IsADirectoryError),
    "run empty": (lambda f, d, m, w: lagstat.run(f["empty"], d, 1, 0, 0, 0, 1), {}, None, None,
                  OSError),
    "run malformed": (lambda f, d, m, w: lagstat.run(f["malformed"], d, 1, 0, 0, 0, 1), {}, None,
                      None, OSError),
    "run lag": (lambda f, d, m, w: lagstat.run(f["good"], d, 1, 1, 1, 1, 0), {}, None, None,
                ValueError),
    "run length": (lambda f, d, m, w: lagstat.run(f["good"], d, 1, 1, 1, 0, 1),
                   {"cov": np.zeros((3, 3))}, None, None, ValueError),
    "run not numbers": (lambda f, d, m, w: lagstat.run(f["good"], d, 1, 1, 0, 0, 1),
                        {"var": ["a", "b"]}, None, None, ValueError),
    "run objects": (lambda f, d, m, w: lagstat.run(f["good"], d, 1, 0, 0, 1, 1),
                    {"tcov_samples": {}}, None, None, TypeError),
    "run ring": (lambda f, d, m, w: lagstat.run(f["wide"], d, 0, 0, 0, 1, 2**31 - 1), {}, None, None,
                 MemoryError),
    "run bad line": (lambda f, d, m, w: lagstat.run(f["bad_line"], d, 1, 1, 1, 1, 1), {}, None, None,
                     ValueError),
    "run gzip check": (lambda f, d, m, w: lagstat.run(f["gz_crc"], d, 1, 1, 1, 1, 2), {}, None, None,
                       OSError),
    "run gzip cut": (lambda f, d, m, w: lagstat.run(f["gz_cut"], d, 0, 1, 1, 1, 1), {}, None, None,
                     OSError),
    "run success": (lambda f, d, m, w: lagstat.run(f["path_good"], d, 1, 1, 1, 1, 1), {}, None,
                    None, None),
    "stream arguments": (lambda f, d, m, w: lagstat.stream(f["good"], f["out"], m, w, 2), {},
                         [0.0, 0.0], EYE, TypeError),
    "stream max < 1": (lambda f, d, m, w: lagstat.stream(f["good"], f["out"], m, w, 0, 0), {},
                       [0.0, 0.0], EYE, ValueError),
    "stream missing": (lambda f, d, m, w: lagstat.stream(f["missing"], f["out"], m, w, 2, 0), {},
                       [0.0, 0.0], EYE, FileNotFoundError),
    "stream empty": (lambda f, d, m, w: lagstat.stream(f["empty"], f["out"], m, w, 2, 0), {},
                     [0.0, 0.0], EYE, OSError),
    "stream max > length": (lambda f, d, m, w: lagstat.stream(f["good"], f["out"], m, w, 3, 0), {},
                            [0.0, 0.0], EYE, ValueError),
    "stream mean length": (lambda f, d, m, w: lagstat.stream(f["good"], f["out"], m, w, 2, 0), {},
                           np.zeros(3), np.eye(2), ValueError),
    "stream both refused": (lambda f, d, m, w: lagstat.stream(f["good"], f["out"], m, w, 2, 0), {},
                            [{}, {}], [["a", "b"], ["c", "d"]], ValueError),
    "stream output missing": (lambda f, d, m, w: lagstat.stream(f["good"], f["out_missing"], m, w,
                                                                2, 0), {}, [0.0, 0.0], EYE,
                              FileNotFoundError),
    "stream device full": (lambda f, d, m, w: lagstat.stream(f["good"], "/dev/full", m, w, 2, 0),
                           {}, np.zeros(2), np.eye(2), OSError),
    "stream bad line": (lambda f, d, m, w: lagstat.stream(f["bad_line"], f["out"], m, w, 2, 0), {},
                        np.zeros(2), np.eye(2), ValueError),
    "stream gzip check": (lambda f, d, m, w: lagstat.stream(f["gz_crc"], f["out"], m, w, 1, 0), {},
                          [0.5, 0.5], EYE, OSError),
    "stream success": (lambda f, d, m, w: lagstat.stream(f["path_good"], f["out"], m, w, 2, 0), {},
                       np.zeros(2), np.eye(2), None),
}


def watched(f, d, mean, weights):
    """The caller's objects a pass sees: dictionary, entries, arguments and file names."""
    objs = [d, *d.values(), mean, weights, *f.values()]
    return [o for o in objs if o is not None]


@pytest.mark.parametrize("case", sorted(CASES))
def test_repeated_calls_leave_references_and_memory_flat(files, case):
    call, start, mean, weights, exc = CASES[case]
    d = dict(start)

    def once():
        try:
            call(files, d, mean, weights)
        except Exception as e:  # noqa: BLE001 - the type is checked below
            assert exc is not None and isinstance(e, exc), repr(e)
        else:
            assert exc is None

    for _ in range(WARMUP):  # entries created or converted, caches filled
        once()
    objs = watched(files, d, mean, weights)
    gc.collect()
    counts = [sys.getrefcount(o) for o in objs]
    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            once()
        gc.collect()
        traced0, heap0, rss0 = tracemalloc.get_traced_memory()[0], heap_in_use.now(), rss()
        for _ in range(ROUNDS):
            once()
        gc.collect()
        traced1, heap1, rss1 = tracemalloc.get_traced_memory()[0], heap_in_use.now(), rss()
    finally:
        tracemalloc.stop()

    assert [sys.getrefcount(o) for o in objs] == counts
    if SANITIZED:
        return
    # One leaked object of the smallest kind per call would add 16 bytes x ROUNDS.
    assert traced1 - traced0 < 8 * ROUNDS, f"Python allocations grew by {traced1 - traced0} bytes"
    if heap0 is not None:
        assert heap1 - heap0 < 8 * ROUNDS, f"heap in use grew by {heap1 - heap0} bytes"
    assert rss1 - rss0 < 16 << 20, f"RSS grew by {rss1 - rss0} bytes"
