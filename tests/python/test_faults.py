"""Faults and hostile input: the exception each one gets, and that nothing of the caller's data is
lost or changed beyond what the failure rules allow (no rollback: entries fetched before the failure
stand, frames before a failing line keep their contributions, `samples` is not increased, the lower
triangle of `cov` is not refreshed; stream's output keeps the lines written before the failure and
an existing output file is not touched by a call refused before the output is opened)."""
import errno
import gzip
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import lagstat
import numpy as np
import pytest
import reference
from conftest import assert_exact, assert_line_error, bits

LENGTH_MESSAGE = "Number of order parameters and length of mean/std/weights differ. Forgot time column?"
LINE_MESSAGE = "Unexpected line format or read error."
EMPTY = (errno.ENODATA, "No data: the file is empty or its first line is blank")
MALFORMED = (errno.EILSEQ, "Unexpected format of the first line: no field count")
FIRST_LINE_HELD = ("The first data line is longer than 256 MiB, the most held while its fields are "
                   "counted")

SHORTER = "The file became shorter while it was read"
SAME_FILE = "Input and output are the same file"
# NumPy's own texts, for an entry of the wrong rank: lagstat passes its ValueError on.
NUMPY_TOO_DEEP = "object too deep for desired array"
NUMPY_TOO_SHALLOW = "object of too small depth for desired array"


def behind(which):
    return "Output is the file behind " + which


TEXT = b"1.5 -2\n3.25 4e-3\n-5 6.125\n7 8\n"
FRAMES = [b"1.5 -2\n", b"3.25 4e-3\n", b"-5 6.125\n", b"7 8\n"]


def caller_stats():
    """A statistics dictionary holding the caller's own accumulator arrays, with partial sums."""
    return {
        "mean": np.array([10.5, -20.25]),
        "var": np.array([1.0, 2.5]),
        "cov": np.array([[3.0, 4.0], [-99.0, 5.0]]),  # stale lower triangle
        "tcov": np.array([[0.5, -1.5], [2.5, 3.5]]),
        "tcov_samples": np.array(7.0),
        "samples": np.array(9.0),
    }


def frozen(d):
    return {k: (v, bits(v).copy() if isinstance(v, np.ndarray) else None) for k, v in d.items()}


def expected_after(frames, start, mean, var, cov, tcov, lag):
    """The dictionary after `frames` went through the pass and the pass then failed: the sums of the
    reference pass, `samples` as it was and the lower triangle of `cov` as it was."""
    want = {k: v.copy() for k, v in start.items()}
    reference.run(b"".join(frames), want, mean, var, cov, tcov, lag)
    want["samples"] = start["samples"].copy()
    if cov:
        lower = np.tril_indices(2, -1)
        want["cov"][lower] = start["cov"][lower]
    return want


def gzipped(data):
    return gzip.compress(data, mtime=0)


def corrupt_crc(gz):
    gz = bytearray(gz)
    gz[-8] ^= 0xFF  # the trailer's CRC-32
    return bytes(gz)


def baseline_run(path):
    d = {}
    lagstat.run(path, d, 1, 1, 1, 1, 1)
    return d


def assert_run_still_works(tmp_path):
    """A call after the failure, on the same inputs, gives what a fresh process gives."""
    good = tmp_path / "good.txt"
    good.write_bytes(TEXT)
    want = {}
    reference.run(TEXT, want, 1, 1, 1, 1, 1)
    got = baseline_run(str(good))
    for key in want:
        assert_exact(got[key], want[key])


# ---- run: every row of the failure table ------------------------------------------------------

RUN_FAILURES = [
    # id, content, args (mean, var, cov, tcov, lag), tweak of the dictionary, exception, errno,
    # message, frames that reached the sums
    ("arguments", TEXT, ("1", 1, 1, 1, 1), None, TypeError, None, None, 0),
    ("missing", None, (1, 1, 1, 1, 1), None, FileNotFoundError, errno.ENOENT, None, 0),
    ("directory", "dir", (1, 1, 1, 1, 1), None, IsADirectoryError, errno.EISDIR, None, 0),
    ("empty", b"", (1, 1, 1, 1, 1), None, OSError, *EMPTY, 0),
    ("blank first line", b" \t\r\n1 2\n", (1, 1, 1, 1, 1), None, OSError, *EMPTY, 0),
    ("malformed first line", b"1 2 #\n", (1, 1, 1, 1, 1), None, OSError, *MALFORMED, 0),
    ("lag < 1", TEXT, (1, 1, 1, 1, 0), None, ValueError, None, "lag < 1 not allowed.", 0),
    ("cov of another shape", TEXT, (1, 1, 1, 1, 1), ("cov", np.zeros((3, 3))), ValueError, None,
     LENGTH_MESSAGE, 0),
    ("samples empty", TEXT, (1, 1, 1, 1, 1), ("samples", np.zeros(0)), ValueError, None,
     LENGTH_MESSAGE, 0),
    ("cov of rank 3", TEXT, (1, 1, 1, 1, 1), ("cov", np.zeros((2, 2, 2))), ValueError, None,
     NUMPY_TOO_DEEP, 0),
    ("tcov of rank 1", TEXT, (1, 1, 1, 1, 1), ("tcov", np.zeros(2)), ValueError, None,
     NUMPY_TOO_SHALLOW, 0),
    ("tcov not numbers", TEXT, (1, 1, 1, 1, 1), ("tcov", "ab"), ValueError, None, None, 0),
    ("var of objects", TEXT, (1, 1, 1, 1, 1), ("var", [{}, {}]), TypeError, None, None, 0),
    ("field too many", TEXT[:-1] + b" 9\n", (1, 1, 1, 1, 1), None, ValueError, None, LINE_MESSAGE, 3),
    ("field too few", FRAMES[0] + FRAMES[1] + b"5\n", (0, 1, 1, 1, 1), None, ValueError, None,
     LINE_MESSAGE, 2),
    ("letter", FRAMES[0] + b"3 x\n", (1, 1, 1, 1, 2), None, ValueError, None, LINE_MESSAGE, 1),
    ("gzip check", corrupt_crc(gzipped(TEXT)), (1, 1, 1, 1, 1), None, OSError, errno.EILSEQ,
     "incorrect data check", 4),
    ("gzip cut", gzipped(TEXT)[:-3], (0, 1, 1, 1, 2), None, OSError, errno.EIO,
     "unexpected end of file", 4),
]


@pytest.mark.parametrize(
    "content, args, tweak, exc, code, message, frames",
    [case[1:] for case in RUN_FAILURES],
    ids=[case[0] for case in RUN_FAILURES],
)
def test_run_failure_keeps_what_the_rules_keep(tmp_path, content, args, tweak, exc, code, message,
                                              frames):
    path = tmp_path / "in.txt"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    d = caller_stats()
    if tweak:
        d[tweak[0]] = tweak[1]
    before = frozen(d)
    start = {k: v.copy() for k, v in caller_stats().items()}

    with pytest.raises(exc) as info:
        lagstat.run(str(path), d, *args)
    if code is not None:
        assert info.value.errno == code and info.value.filename == str(path)
    if message is not None:
        shown = info.value.strerror if code is not None else str(info.value)
        assert shown == message

    # The caller's objects stay where they were; with no frame processed their values are intact.
    assert sorted(d) == sorted(before)
    for key, (obj, old_bits) in before.items():
        assert d[key] is obj
        if frames == 0 and isinstance(obj, np.ndarray):
            assert np.array_equal(bits(obj), old_bits), key
    if frames:
        want = expected_after(FRAMES[:frames], start, *args)
        for key in want:
            assert_exact(d[key], want[key])
    assert_run_still_works(tmp_path)


# ---- .npy input: every row of the failure table, for run and stream -----------------------------

def npy_bytes(array=None, header=None, version=(1, 0), cut=0):
    """A .npy file of the array, or of a header dictionary given as text, its last `cut` bytes off."""
    import io

    if header is None:
        buf = io.BytesIO()
        np.lib.format.write_array(buf, np.asarray(array), version=version, allow_pickle=True)
        data = buf.getvalue()
    else:
        text = header.encode() + b"\n"
        data = b"\x93NUMPY" + bytes(version) + len(text).to_bytes(2, "little") + text + bytes(64)
    return data[: len(data) - cut]


NPY_TWO = np.array([[1.5, -2.0], [3.25, 4e-3], [-5.0, 6.125], [7.0, 8.0]])
UNREADABLE = "Unreadable .npy file: "
NPY_FAILURES = [
    # id, content, keywords, exception, errno, message, note naming the file
    ("npy comments", npy_bytes(NPY_TWO), dict(comments="#"), ValueError, None,
     "comments is an option of text input, which a .npy file is not", True),
    ("npy skip_rows", npy_bytes(NPY_TWO), dict(skip_rows=1), ValueError, None,
     "skip_rows is an option of text input, which a .npy file is not", True),
    ("npy delimiter", npy_bytes(NPY_TWO), dict(delimiter=","), ValueError, None,
     "delimiter is an option of text input, which a .npy file is not", True),
    ("npy skip_blank", npy_bytes(NPY_TWO), dict(skip_blank=True), ValueError, None,
     "skip_blank is an option of text input, which a .npy file is not", True),
    ("npy not a header", npy_bytes(header="not a dict"), {}, ValueError, None,
     UNREADABLE + "its header is not a NumPy header dictionary", True),
    ("npy other keys", npy_bytes(header="{'descr': '<f8', 'shape': (2,), 'x': 'y'}"), {}, ValueError,
     None, UNREADABLE + "its header has keys other than 'descr', 'fortran_order' and 'shape'", True),
    ("npy version 4", b"\x93NUMPY\x04\x00" + npy_bytes(NPY_TWO)[8:], {}, ValueError, None,
     UNREADABLE + "format version 4.0, not 1.0, 2.0 or 3.0", True),
    ("npy ends in its header", npy_bytes(NPY_TWO)[:40], {}, ValueError, None,
     UNREADABLE + "it ends inside its header", True),
    ("npy object", npy_bytes(np.array([1, "a"], dtype=object)), {}, ValueError, None,
     UNREADABLE + "an object dtype ('|O'), which holds Python objects, not numbers", True),
    ("npy structured", npy_bytes(np.zeros(3, dtype=[("a", "<f8"), ("b", "<i4")])), {}, ValueError,
     None, UNREADABLE + "a structured dtype (named fields), not one number per element", True),
    ("npy complex", npy_bytes(NPY_TWO.astype(complex)), {}, ValueError, None,
     UNREADABLE + "a complex dtype ('<c16')", True),
    ("npy float16", npy_bytes(NPY_TWO.astype(np.float16)), {}, ValueError, None,
     UNREADABLE + "dtype '<f2' is none of float64, float32 or an integer type", True),
    ("npy rank 3", npy_bytes(np.zeros((2, 2, 2))), {}, ValueError, None,
     UNREADABLE + "a 3-d array, shape (2, 2, 2): frames are the rows of a 1-d or 2-d array", True),
    ("npy rank 0", npy_bytes(np.float64(3)), {}, ValueError, None,
     UNREADABLE + "a 0-d array, shape (): frames are the rows of a 1-d or 2-d array", True),
    ("npy usecols", npy_bytes(NPY_TWO), dict(usecols=[2]), ValueError, None,
     "usecols selects a column that the first data line does not have.", False),
    ("npy no frames", npy_bytes(np.zeros((0, 2))), {}, OSError, errno.ENODATA,
     "No data: the .npy file's array holds no frames", False),
    ("npy data short", npy_bytes(NPY_TWO, cut=9), {}, OSError, errno.EIO,
     "The data are shorter than the .npy header says", False),
    ("npy gzip data short", gzipped(npy_bytes(NPY_TWO, cut=9)), {}, OSError, errno.EIO,
     "The data are shorter than the .npy header says", False),
]


@pytest.mark.parametrize("function", ["run", "stream"])
@pytest.mark.parametrize("content, keywords, exc, code, message, note",
                         [case[1:] for case in NPY_FAILURES], ids=[case[0] for case in NPY_FAILURES])
def test_npy_failure_names_the_file_and_adds_nothing(tmp_path, function, content, keywords, exc,
                                                     code, message, note):
    path = str(tmp_path / "in.npy")
    open(path, "wb").write(content)
    out = tmp_path / "out"
    out.write_bytes(OUT_BEFORE)
    d = caller_stats()
    with pytest.raises(exc) as info:
        if function == "run":
            lagstat.run(path, d, 1, 1, 1, 1, 1, **keywords)
        else:
            lagstat.stream(path, str(out), [0, 0], IDENTITY, 2, 0, **keywords)
    shown = info.value.strerror if code is not None else str(info.value)
    assert shown == message
    if code is not None:
        assert (info.value.errno, info.value.filename) == (code, path)
    assert getattr(info.value, "__notes__", None) == ([f"in {path!r}"] if note else None)
    assert_exact(d["samples"], caller_stats()["samples"])
    if function == "stream" and code != errno.EIO:
        assert out.read_bytes() == OUT_BEFORE  # refused before the output is opened


# ---- stream: every row of the failure table ---------------------------------------------------

IDENTITY = np.eye(2)
OUT_BEFORE = b"lines of an earlier run\n"


def projected(frames, mean=(0.0, 0.0), max_proj=2):
    """stream's output for frames under the identity weights."""
    out = []
    for line in frames:
        x = np.array([float(v) for v in line.split()]) - np.asarray(mean)
        out.append(" ".join("%f" % v for v in x[:max_proj]) + "\n")
    return "".join(out).encode()


STREAM_FAILURES = [
    # id, content, mean, weights, max_proj, output, exception, errno, message, frames written
    # (None: the output was never opened, an earlier file stays as it was)
    ("arguments", TEXT, [0, 0], IDENTITY, "2", "out", TypeError, None, None, None),
    ("max < 1", TEXT, [0, 0], IDENTITY, 0, "out", ValueError, None, "max < 1", None),
    ("missing", None, [0, 0], IDENTITY, 2, "out", FileNotFoundError, errno.ENOENT, None, None),
    ("directory", "dir", [0, 0], IDENTITY, 2, "out", IsADirectoryError, errno.EISDIR, None, None),
    ("empty", b"", [0, 0], IDENTITY, 2, "out", OSError, *EMPTY, None),
    ("malformed first line", b"\xef\xbb\xbf1 2\n", [0, 0], IDENTITY, 2, "out", OSError, *MALFORMED,
     None),
    ("max > record length", TEXT, [0, 0], IDENTITY, 3, "out", ValueError, None,
     "max > record length", None),
    ("mean of another length", TEXT, [0, 0, 0], IDENTITY, 2, "out", ValueError, None,
     LENGTH_MESSAGE, None),
    ("weights of another shape", TEXT, [0, 0], np.eye(3), 2, "out", ValueError, None,
     LENGTH_MESSAGE, None),
    ("weights not numbers", TEXT, [0, 0], [["a", "b"], ["c", "d"]], 2, "out", ValueError, None,
     None, None),
    ("output directory missing", TEXT, [0, 0], IDENTITY, 2, "no/such/dir/out", FileNotFoundError,
     errno.ENOENT, None, None),
    ("output is a directory", TEXT, [0, 0], IDENTITY, 2, ".", IsADirectoryError, errno.EISDIR,
     None, None),
    ("output is the input", TEXT, [0, 0], IDENTITY, 2, "in.txt", OSError, errno.EINVAL, SAME_FILE,
     None),
    ("weights of rank 3", TEXT, [0, 0], np.zeros((2, 2, 2)), 2, "out", ValueError, None,
     NUMPY_TOO_DEEP, None),
    ("field too many", TEXT[:-1] + b" 9\n", [0, 0], IDENTITY, 2, "out", ValueError, None,
     LINE_MESSAGE, 3),
    ("field too few", FRAMES[0] + b"3\n" + FRAMES[2], [0, 0], IDENTITY, 1, "out", ValueError, None,
     LINE_MESSAGE, 1),
    ("gzip check", corrupt_crc(gzipped(TEXT)), [0, 0], IDENTITY, 2, "out", OSError, errno.EILSEQ,
     "incorrect data check", 4),
]


@pytest.mark.parametrize(
    "content, mean, weights, max_proj, output, exc, code, message, frames",
    [case[1:] for case in STREAM_FAILURES],
    ids=[case[0] for case in STREAM_FAILURES],
)
def test_stream_failure_keeps_what_the_rules_keep(tmp_path, content, mean, weights, max_proj,
                                                 output, exc, code, message, frames):
    path = tmp_path / "in.txt"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    out = tmp_path / output
    if output == "out":
        out.write_bytes(OUT_BEFORE)
    mean_before = np.array(mean, dtype=object, copy=True)
    weights_before = np.array(weights, dtype=object, copy=True)

    with pytest.raises(exc) as info:
        lagstat.stream(str(path), str(out), mean, weights, max_proj, 0)
    if code is not None:
        assert info.value.errno == code
        assert info.value.filename in (str(path), str(out))
    if message is not None:
        shown = info.value.strerror if code is not None else str(info.value)
        assert shown == message

    assert np.array_equal(np.array(mean, dtype=object), mean_before)
    assert np.array_equal(np.array(weights, dtype=object), weights_before)
    if output == "out":
        if frames is None:
            assert out.read_bytes() == OUT_BEFORE
        else:
            assert out.read_bytes() == projected(FRAMES[:frames], max_proj=max_proj)
    good_out = tmp_path / "good_out.txt"
    good = tmp_path / "good.txt"
    good.write_bytes(TEXT)
    lagstat.stream(str(good), str(good_out), [0, 0], IDENTITY, 2, 0)
    assert good_out.read_bytes() == projected(FRAMES)


@pytest.mark.parametrize("lines", [1, 20000])  # within the output buffer, and far beyond it
def test_full_device_is_reported_not_success(write, lines):
    with pytest.raises(OSError) as info:
        lagstat.stream(write(b"1.5 2.5\n" * lines), "/dev/full", [0, 0], IDENTITY, 2, 0)
    assert info.value.errno == errno.ENOSPC and info.value.filename == "/dev/full"


@pytest.mark.parametrize("which", ["mean", "weights"])
def test_output_behind_a_mapped_array_is_refused_and_kept(tmp_path, which):
    """Opening the output truncates it: never when it is the file a memory-mapped mean or weights
    array lives in (that would end in SIGBUS and an empty file)."""
    mapped = str(tmp_path / "mapped.bin")
    shape = (2,) if which == "mean" else (2, 2)
    array = np.memmap(mapped, dtype=float, mode="w+", shape=shape)
    array[...] = 0.5 if which == "mean" else IDENTITY
    array.flush()
    before = open(mapped, "rb").read()
    args = {"mean": [0, 0], "weights": IDENTITY, which: array}
    with pytest.raises(OSError) as info:
        lagstat.stream(write_text(tmp_path, TEXT), mapped, args["mean"], args["weights"], 2, 0)
    assert (info.value.errno, info.value.filename) == (errno.EINVAL, mapped)
    assert info.value.strerror == behind(which)
    assert open(mapped, "rb").read() == before


def write_text(tmp_path, content, name="in.txt"):
    path = tmp_path / name
    path.write_bytes(content)
    return str(path)


def test_write_failure_leaves_no_torn_line(tmp_path):
    """A regular output that cannot grow (a full disk; here a file size limit) keeps only whole
    lines: what a later reader finds is a prefix of the projection."""
    code = """
import errno, resource, signal, sys, lagstat
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write then fails with EFBIG
resource.setrlimit(resource.RLIMIT_FSIZE, (100003, 100003))
try:
    lagstat.stream(sys.argv[1], sys.argv[2], [0, 0], [[1, 0], [0, 1]], 2, 0)
except OSError as e:
    sys.exit(0 if e.errno == errno.EFBIG and e.filename == sys.argv[2] else 3)
sys.exit(4)
"""
    out = str(tmp_path / "out.txt")
    subprocess.run([sys.executable, "-c", code, write_text(tmp_path, TEXT * 10000), out],
                   check=True, timeout=120)
    got = open(out, "rb").read()
    assert 0 < len(got) <= 100003 and got.endswith(b"\n")
    assert got == projected(FRAMES * 10000)[: len(got)]


# ---- the failure table users read ------------------------------------------------------------
# docs/guide/errors.md is the contract: every message a row of its table quotes must be one these
# tests compare with what the module raises, and every message these tables compare must be in a
# row, so that the page and the module cannot drift apart. Notes ("in 'file', line N") are
# templates, checked by conftest.assert_line_error; "..." elides the part a row says again.

def errors_page():
    here = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(here, "errors.md"),  # a copy of the tests (scripts/test_wheel.sh)
                 os.path.join(here, "..", "..", "docs", "guide", "errors.md")):
        if os.path.exists(path):
            return open(path, encoding="utf-8").read()
    raise FileNotFoundError("docs/guide/errors.md: the failure table the fault tests check")


def documented_rows():
    """(first cell, quoted messages) of each row of the table (a decoder's texts are quoted in the
    first cell, the row's other messages in the run and stream cells)."""
    rows = []
    for line in errors_page().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 3 or set(cells[0]) <= set("-") or cells[0] == "bad input or fault":
            continue
        quoted = re.findall(r'"([^"]+)"', re.sub(r"`[^`]*`", "", " ".join(cells)))  # not in code
        rows.append((cells[0], [q for q in quoted if not q.startswith(("in '", "... "))]))
    return rows


def compared_messages():
    """The messages the tests here compare with the exception's text, exactly."""
    messages = {case[6] for case in RUN_FAILURES} | {case[5] for case in NPY_FAILURES}
    messages |= {case[8] for case in STREAM_FAILURES}
    messages |= {EMPTY[1], MALFORMED[1], FIRST_LINE_HELD, LINE_MESSAGE, SHORTER, NUMPY_TOO_DEEP,
                 NUMPY_TOO_SHALLOW, SAME_FILE} | {behind(which) for which in ("mean", "weights")}
    return messages - {None}


def documents(quoted, message):
    """Whether the table's quoted text stands for the message: the same text, or the fixed start
    of a message whose end is the reason (\"Unreadable .npy file: \" and why)."""
    if quoted.endswith(": "):
        return message.startswith(quoted)
    return message == quoted or message.endswith(": " + quoted)


@pytest.mark.parametrize("row, quoted", documented_rows(), ids=[r[0][:40] for r in documented_rows()])
def test_every_message_the_table_quotes_is_compared(row, quoted):
    messages = compared_messages()
    for text in quoted:
        # One option's message stands for every text option a .npy refuses.
        spelled = [text] + [text.replace("comments ", o + " ", 1) for o in ("skip_rows", "delimiter", "skip_blank")
                            if text.startswith("comments ")]
        for variant in spelled:
            assert any(documents(variant, m) for m in messages), (row, variant)


@pytest.mark.parametrize("message", sorted(compared_messages()))
def test_every_compared_message_is_in_the_table(message):
    rows = documented_rows()
    quoted = [q for _, texts in rows for q in texts]
    generic = [q.replace("comments ", "", 1) for q in quoted if q.startswith("comments ")]
    assert any(documents(q, message) for q in quoted) or any(message.endswith(g) for g in generic), message


# ---- Python code and other threads during a pass ----------------------------------------------

CHANGING_ENTRY = """
import sys, threading, time, lagstat, numpy as np
d = {}
class Evil:
    buf = np.zeros(2)
    @property
    def __array_interface__(self):
        if sys.argv[2] == "deletes":
            del d["var"]  # the dictionary's reference was the last one
        else:
            time.sleep(0.0002)  # lets the other thread replace the entry
        return Evil.buf.__array_interface__
if sys.argv[2] == "deletes":
    d["var"] = Evil()
    lagstat.run(sys.argv[1], d, 1, 1, 0, 0, 1)
    assert list(d["var"]) == [10.0, 20.0], d
else:
    stop = False
    def replace():
        while not stop:
            d["var"] = [0.0, 0.0]
    t = threading.Thread(target=replace)
    t.start()
    for _ in range(300):
        d["var"] = Evil()
        lagstat.run(sys.argv[1], d, 1, 1, 0, 0, 1)
    stop = True
    t.join()
"""


@pytest.mark.parametrize("how", ["deletes", "thread replaces"])
def test_entry_dropped_while_converted(tmp_path, how):
    proc = subprocess.run([sys.executable, "-c", CHANGING_ENTRY, write_text(tmp_path, b"1 2\n3 4\n"),
                           how], capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()[-2000:]


THREADS_AND_FIFOS = r"""
import os, sys, threading, time, lagstat
fifo = sys.argv[1]
if sys.argv[2] == "writer thread":
    # The writer is a thread of this process: it must run while the pass waits for data.
    def write():
        with open(fifo, "wb") as f:
            f.write(b"1 2\n3 4\n")
    threading.Thread(target=write).start()
    d = {}
    lagstat.run(fifo, d, 1, 0, 0, 0, 1)
    assert list(d["mean"]) == [4.0, 6.0]
else:
    # A pass in a worker thread waits on a FIFO without a writer: the main thread goes on.
    d = {}
    t = threading.Thread(target=lagstat.run, args=(fifo, d, 1, 0, 0, 0, 1))
    t.start()
    started = time.monotonic()
    ticks = 0
    while time.monotonic() - started < 1.0:
        time.sleep(0.01)
        ticks += 1
    assert ticks > 50, ticks
    with open(fifo, "wb") as f:
        f.write(b"5\n")
    t.join()
    assert float(d["mean"]) == 5.0
"""


@pytest.mark.parametrize("case", ["writer thread", "waiting worker"])
def test_passes_release_the_interpreter_while_they_wait(tmp_path, case):
    fifo = str(tmp_path / "in.fifo")
    os.mkfifo(fifo)
    proc = subprocess.run([sys.executable, "-c", THREADS_AND_FIFOS, fifo, case],
                          capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()[-2000:]


def test_passes_of_two_threads_never_interleave(tmp_path):
    """Passes run one at a time: two threads adding into one dictionary give the sums of the same
    passes one after the other, bit for bit (interleaved frames would round differently)."""
    import threading

    rng = np.random.default_rng(7)
    text = "".join("%.17g %.17g\n" % tuple(r) for r in rng.normal(size=(20000, 2)) * 1e3)
    path = write_text(tmp_path, text.encode())
    want = {}
    for _ in range(8):
        lagstat.run(path, want, 1, 0, 0, 0, 1)
    d = {}
    threads = [threading.Thread(target=lambda: [lagstat.run(path, d, 1, 0, 0, 0, 1) for _ in range(4)])
               for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert_exact(d["mean"], want["mean"])
    assert_exact(d["samples"], want["samples"])


# ---- pipes, devices and files that change under the pass --------------------------------------

def test_stream_through_fifos_both_ways(tmp_path):
    fin, fout = str(tmp_path / "in.fifo"), str(tmp_path / "out.fifo")
    os.mkfifo(fin)
    os.mkfifo(fout)
    # The pass holds the interpreter lock while it opens and reads: both ends are other processes.
    writer = subprocess.Popen([sys.executable, "-c",
                               f"open({fin!r}, 'wb').write({TEXT!r})"])
    reader = subprocess.Popen(["cat", fout], stdout=subprocess.PIPE)
    lagstat.stream(fin, fout, [1, 1], IDENTITY, 2, 0)
    got, _ = reader.communicate(timeout=60)
    assert writer.wait(timeout=60) == 0 and reader.returncode == 0
    assert got == projected(FRAMES, mean=(1, 1))


def test_stream_from_stdin_to_stdout():
    code = "import lagstat; lagstat.stream('/dev/stdin', '/dev/stdout', [0, 0], [[1, 0], [0, 1]], 2, 0)"
    proc = subprocess.run([sys.executable, "-c", code], input=TEXT, capture_output=True,
                          check=True, timeout=60)
    assert proc.stdout == projected(FRAMES)


def test_fifo_writer_gone_without_data(tmp_path):
    fifo = str(tmp_path / "in.fifo")
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", ': > "$0"', fifo])
    with pytest.raises(OSError) as info:
        lagstat.run(fifo, {}, 1, 0, 0, 0, 1)
    assert writer.wait(timeout=60) == 0
    assert (info.value.errno, info.value.strerror) == EMPTY


CHILD_PASS = """
import json, sys, lagstat
d = {}
lagstat.run(sys.argv[1], d, 1, 1, 0, 0, 1, threads=int(sys.argv[2]))
print(json.dumps([float(d["samples"]), float(d["mean"]), float(d["var"])]))
"""


def stop_while_reading(proc, path):
    """Waits until the child has opened path and read part of it, stops the child and returns the
    file offset it had reached."""
    deadline = time.monotonic() + 120
    fd_dir = f"/proc/{proc.pid}/fd"
    while time.monotonic() < deadline:
        try:
            for fd in os.listdir(fd_dir):
                if os.readlink(f"{fd_dir}/{fd}") != path:
                    continue
                with open(f"/proc/{proc.pid}/fdinfo/{fd}") as info:
                    pos = int(info.readline().split()[1])
                if pos > 0:
                    os.kill(proc.pid, signal.SIGSTOP)
                    while open(f"/proc/{proc.pid}/stat").read().split(") ")[1][0] != "T":
                        time.sleep(0.001)
                    with open(f"/proc/{proc.pid}/fdinfo/{fd}") as info:
                        return int(info.readline().split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a descriptor came or went while we looked
        time.sleep(0.0002)
    raise AssertionError("the pass never started reading")


@pytest.mark.parametrize("threads", [1, 2])  # at 2, narrow frames are read by ranges
@pytest.mark.parametrize("change, npy", [("delete", False), ("truncate behind", False),
                                         ("truncate ahead", False), ("append", False),
                                         ("delete", True), ("truncate behind", True),
                                         ("truncate ahead", True), ("append", True)])
def test_input_changed_during_a_pass(tmp_path, change, npy, threads):
    """A file that changes under a pass gives whole lines or an error, never a cut last frame: a
    file found shorter than what was read is an OSError; a last line without its newline counts
    only if the file is as it was when opened (else it is a line still being written). A .npy
    file's frames are those its header promises: bytes appended are not data, and any that go
    missing are an error."""
    lines = 40_000_000  # 80 MB: the pass is still reading when it is stopped
    path = str(tmp_path / "ones.txt")
    with open(path, "wb") as f:
        if npy:
            lines = 10_000_000  # the same 80 MB as float64
            np.lib.format.write_array_header_1_0(
                f, {"descr": "<f8", "fortran_order": False, "shape": (lines,)})
            block = np.ones(1 << 20).tobytes()
            for _ in range(lines >> 20):
                f.write(block)
            f.write(np.ones(lines % (1 << 20)).tobytes())
        else:
            block = b"1\n" * (1 << 20)
            for _ in range(lines >> 20):
                f.write(block)
            f.write(b"1\n" * (lines % (1 << 20)))
    proc = subprocess.Popen([sys.executable, "-c", CHILD_PASS, path, str(threads)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        pos = stop_while_reading(proc, path)  # what the pass has read: more may be in flight
        # Beyond any read in flight (a batch of ranges at 2 threads reads 16 MiB and a line
        # more); odd: a line cut in two.
        ahead = pos + (32 << 20) + 1001
        if ahead >= os.path.getsize(path):
            pytest.skip("the pass read the whole file before it could be stopped")
        want = None
        if change == "delete":
            os.unlink(path)  # the open file lives on: every line is read
            want = lines
        elif change == "truncate behind":
            os.truncate(path, pos // 2)  # what was read may now be short: an error
        elif change == "truncate ahead":
            os.truncate(path, ahead)  # the last line is cut: no frame (a .npy: an error)
            want = None if npy else ahead // 2
        else:
            with open(path, "ab") as f:  # complete lines come too; a cut one does not
                f.write(b"1\n" * 1000 + b"1")
            want = lines if npy else lines + 1000
    finally:
        os.kill(proc.pid, signal.SIGCONT)
    out, err = proc.communicate(timeout=300)
    if want is None:
        assert proc.returncode == 1
        assert b"OSError: [Errno 5] " + SHORTER.encode() in err
    else:
        assert proc.returncode == 0, err.decode()[-1000:]
        assert json.loads(out) == [want, want, want]


# ---- hostile bytes ----------------------------------------------------------------------------

MILLION = 10**6
GARBAGE = bytes(range(256)) * 4


@pytest.mark.parametrize(
    "content, code",
    [
        (GARBAGE, errno.EILSEQ),
        (b"\xef\xbb\xbf1 2\n3 4\n", errno.EILSEQ),  # a UTF-8 byte-order mark is not whitespace
        (b"1\x002\n3 4\n", errno.EILSEQ),
        (b"\x00\n1 2\n", errno.EILSEQ),
        (b"1" * MILLION + b"\n", errno.EILSEQ),  # a field of a million characters
        (b"1" * 256 + b"7\n", errno.EILSEQ),
        (b"\n" + GARBAGE, errno.ENODATA),  # nothing after the blank line is read
    ],
    ids=["garbage", "bom", "nul inside", "nul alone", "million-character field", "257 characters",
         "garbage after blank"],
)
def test_hostile_first_line(write, content, code):
    d = {"samples": np.array(3.0)}
    with pytest.raises(OSError) as info:
        lagstat.run(write(content), d, 1, 1, 1, 1, 1)
    assert info.value.errno == code
    assert list(d) == ["samples"] and float(d["samples"]) == 3.0


@pytest.mark.parametrize(
    "second_line",
    [GARBAGE, b"\xef\xbb\xbf3 4", b"3\x004", b"\x00", b"3 " + b"1" * MILLION, b"," * MILLION,
     b"1 " * MILLION],
    ids=["garbage", "bom", "nul", "nul alone", "million-character field", "million commas",
         "million fields"],
)
def test_hostile_data_line(write, second_line):
    path = write(b"1 2\n" + second_line + b"\n5 6\n")
    d = {}
    with pytest.raises(ValueError) as info:
        lagstat.run(path, d, 1, 0, 0, 0, 1)
    assert_line_error(info.value, path, 2)
    assert_exact(d["mean"], [1.0, 2.0])
    assert_exact(d["samples"], 0.0)


@pytest.mark.parametrize(
    "line, value",
    [(b"1 " * MILLION, 1.0), (b"," * MILLION, 0.0), (b"-2.5," * MILLION, -2.5)],
    ids=["million fields", "million commas", "million comma-ended fields"],
)
def test_million_field_lines_are_read(tmp_path, line, value):
    path = tmp_path / "wide.txt"
    path.write_bytes(line + b"\n" + line + b"\n\n\x00 after the data")
    d = {}
    lagstat.run(str(path), d, 1, 1, 0, 0, 1)
    assert d["mean"].shape == (MILLION,)
    assert_exact(d["mean"], np.full(MILLION, 2 * value))
    assert_exact(d["var"], np.full(MILLION, 2 * value * value))
    assert_exact(d["samples"], 2.0)


# A line of 200 million fields, 400 MB, as concatenated gzip members of one repeated MiB: it is
# read in a child whose address space allows only BOUNDED_BYTES more than it holds after start-up.
WIDE = gzipped(b"1 " * (1 << 19)) * 400
BOUNDED_BYTES = 640 << 20
BOUNDED_CHILD = """
import json, resource, sys
import numpy as np, lagstat
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[3]), resource.RLIM_INFINITY))
try:
    if sys.argv[2] == "run":
        lagstat.run(sys.argv[1], {}, 1, 0, 0, 0, 1)
    elif sys.argv[2] == "run with comments":
        lagstat.run(sys.argv[1], {}, 1, 0, 0, 0, 1, comments="#")
    else:
        lagstat.stream(sys.argv[1], sys.argv[1] + ".out", [0, 0], np.eye(2), 2, 0)
    print(json.dumps(None))
except Exception as e:
    print(json.dumps([type(e).__name__, str(e), getattr(e, "__notes__", [])]))
"""


@pytest.mark.skipif(os.environ.get("LAGSTAT_SANITIZED") == "1",
                    reason="the address sanitizer's shadow memory does not fit an address-space limit")
@pytest.mark.parametrize(
    "content, call, exc, message, line",
    [
        (WIDE + gzipped(b"\n1\n"), "run", "MemoryError", FIRST_LINE_HELD, 1),
        (gzipped(b"# a comment\n") + WIDE + gzipped(b"\n"), "run with comments", "MemoryError",
         FIRST_LINE_HELD, 2),
        (gzipped(b"1 2\n") + WIDE + gzipped(b"\n5 6\n"), "run", "ValueError", LINE_MESSAGE, 2),
        (gzipped(b"1 2\n3 4\n") + WIDE + gzipped(b"\n"), "stream", "ValueError", LINE_MESSAGE, 3),
    ],
    ids=["first line", "first line after a comment", "data line", "data line of stream"],
)
def test_long_lines_are_refused_in_bounded_memory(write, content, call, exc, message, line):
    """A data line is refused as soon as it has more fields than the first, not once it is held
    whole; the first line, whose field count is not known yet, is held up to a stated limit."""
    path = write(content, "wide.txt.gz")
    proc = subprocess.run([sys.executable, "-c", BOUNDED_CHILD, path, call, str(BOUNDED_BYTES)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [exc, message, [f"in {path!r}, line {line}"]]


# ---- a comma-decimal process locale -----------------------------------------------------------

@pytest.fixture(scope="module")
def comma_locale(tmp_path_factory):
    localedef = shutil.which("localedef")
    if localedef is None:
        pytest.skip("localedef is not installed")
    root = tmp_path_factory.mktemp("locales")
    proc = subprocess.run([localedef, "-i", "de_DE", "-f", "UTF-8", str(root / "de_DE.UTF-8")],
                          capture_output=True, text=True)
    if not (root / "de_DE.UTF-8").exists():
        pytest.skip(f"localedef could not build de_DE.UTF-8: {proc.stderr.strip()}")
    return str(root)


LOCALE_CHILD = """
import ctypes, json, locale, sys, lagstat
locale.setlocale(locale.LC_ALL, "")
assert locale.localeconv()["decimal_point"] == ",", locale.localeconv()
libc, text = ctypes.CDLL(None), ctypes.create_string_buffer(32)
libc.snprintf(text, 32, b"%f", ctypes.c_double(0.5))
assert text.value == b"0,500000", text.value  # the C library itself writes a decimal comma
d = {}
lagstat.run(sys.argv[1], d, 1, 1, 1, 1, 1)
lagstat.stream(sys.argv[1], sys.argv[2], [0.25, -0.5, 1e-3], [[1, 2, 3], [4, 5, 6], [7, 8, 9.5]], 3, 0)
print(json.dumps({k: [float(x).hex() for x in v.ravel()] for k, v in d.items()}))
"""


def test_comma_decimal_locale_reads_and_writes_as_c(tmp_path, comma_locale):
    text = b"1.5,2.25 -3e-1\n0.1 1,5\n12345.678901 -0.000001 ,\n2.5e3 1e-7 7\n"
    inp, out = tmp_path / "in.txt", tmp_path / "out.txt"
    inp.write_bytes(text)
    env = dict(os.environ, LOCPATH=comma_locale, LC_ALL="de_DE.UTF-8")
    proc = subprocess.run([sys.executable, "-c", LOCALE_CHILD, str(inp), str(out)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    got = {k: [float.fromhex(x) for x in v] for k, v in json.loads(proc.stdout).items()}

    want = {}
    reference.run(text, want, 1, 1, 1, 1, 1)
    for key in want:
        assert_exact(np.array(got[key]), np.asarray(want[key], dtype=float).ravel())
    c_out = tmp_path / "c_out.txt"
    lagstat.stream(str(inp), str(c_out), [0.25, -0.5, 1e-3], [[1, 2, 3], [4, 5, 6], [7, 8, 9.5]], 3, 0)
    assert out.read_bytes() == c_out.read_bytes()
    assert b"," not in out.read_bytes()


# ---- the caller's arrays in every layout ------------------------------------------------------

def misaligned(a):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    m = raw[1:].view(a.dtype).reshape(a.shape)
    m[...] = a
    assert not m.flags.aligned
    return m


def readonly(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


LAYOUTS = {
    "read-only": readonly,
    "fortran": np.asfortranarray,
    "big-endian": lambda a: a.astype(a.dtype.newbyteorder(">")),
    "misaligned": misaligned,
    "strided": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    "integer": lambda a: np.round(a).astype(np.int64),
}

W3 = np.array([[1.0, -2.0, 0.5], [3.0, 4.0, -1.0], [-7.0, 0.25, 2.0]])
M3 = np.array([1.0, -2.0, 3.0])
TEXT3 = b"1 2 3\n4.5 -6 7\n0 0.125 -9\n"


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("which", ["mean", "weights", "both"])
def test_stream_takes_any_layout_and_leaves_it(tmp_path, layout, which):
    make = LAYOUTS[layout]
    mean = make(M3) if which in ("mean", "both") else M3
    weights = make(W3) if which in ("weights", "both") else W3
    saved = [(a, a.copy(), a.flags.writeable) for a in (mean, weights)]
    inp = tmp_path / "in.txt"
    inp.write_bytes(TEXT3)
    lagstat.stream(str(inp), str(tmp_path / "got.txt"), mean, weights, 3, 0)
    plain = [np.array(a, dtype=np.float64, order="C") for a in (mean, weights)]
    lagstat.stream(str(inp), str(tmp_path / "want.txt"), *plain, 3, 0)
    assert (tmp_path / "got.txt").read_bytes() == (tmp_path / "want.txt").read_bytes()
    for a, copy, writeable in saved:
        assert np.array_equal(a, copy) and a.dtype == copy.dtype and a.flags.writeable == writeable


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_run_entries_in_any_layout_are_carried_over(tmp_path, layout):
    inp = tmp_path / "in.txt"
    inp.write_bytes(TEXT3)
    d = {k: LAYOUTS[layout](v) for k, v in
         {"mean": M3, "cov": W3, "tcov": W3.T.copy(), "var": np.abs(M3)}.items()}
    callers = {k: (v, v.copy()) for k, v in d.items()}
    want = {k: np.array(v, dtype=np.float64) for k, v in d.items()}
    reference.run(TEXT3, want, 1, 1, 1, 1, 1)
    lagstat.run(str(inp), d, 1, 1, 1, 1, 1)
    for key, (obj, copy) in callers.items():
        assert_exact(d[key], want[key])
        # An accumulator array already is used in place; anything else is converted, and the
        # caller's own array is left as it was.
        in_place = obj.dtype == np.float64 and obj.dtype.isnative and obj.flags.carray
        assert (d[key] is obj) == in_place
        if not in_place:
            assert np.array_equal(obj, copy) and obj.dtype == copy.dtype


@pytest.mark.parametrize(
    "mean, weights, exc, message",
    [
        (np.array(0.5), np.array(2.0), None, None),  # zero-dimensional for one column
        (np.array([0.5]), np.array([[2.0]]), None, None),
        (np.zeros(0), np.array(2.0), ValueError, LENGTH_MESSAGE),  # nothing to read: refused
        (np.array(0.5), np.zeros((0, 3)), ValueError, LENGTH_MESSAGE),
        (np.array(0.5, dtype=object), np.array(2.0), TypeError, None),
        (np.array(0.5), np.array([2.0], dtype=object), TypeError, None),
    ],
    ids=["0-d", "1x1", "empty mean", "empty weights", "object mean", "object weights"],
)
def test_one_column_scalars(tmp_path, mean, weights, exc, message):
    inp, out = tmp_path / "in.txt", tmp_path / "out.txt"
    inp.write_bytes(b"1.5\n-2\n")
    if exc is None:
        lagstat.stream(str(inp), str(out), mean, weights, 1, 0)
        assert out.read_bytes() == b"2.000000\n-5.000000\n"
        return
    with pytest.raises(exc) as info:
        lagstat.stream(str(inp), str(out), mean, weights, 1, 0)
    if message:
        assert str(info.value) == message
    assert not out.exists()


def test_ring_too_large_is_memory_error_and_keeps_caller_data(write):
    # 12000 columns and the largest lag: the ring cannot even be addressed, whatever the machine's
    # memory and overcommit policy.
    mean = np.full(12000, 0.5)
    samples = np.array(9.0)
    d = {"mean": mean, "samples": samples}
    with pytest.raises(MemoryError):
        lagstat.run(write("1 " * 12000 + "\n"), d, 0, 0, 0, 1, 2**31 - 1)
    assert d["mean"] is mean and np.all(mean == 0.5)
    assert d["samples"] is samples and float(samples) == 9.0  # fetched after the ring: untouched
    assert sorted(d) == ["mean", "samples", "tcov", "tcov_samples"]
    assert float(d["tcov_samples"]) == 0.0


def test_zero_dimensional_entries_are_updated_in_place(write):
    samples, pairs = np.array(5.0), np.array(1.0)
    d = {"samples": samples, "tcov_samples": pairs, "mean": np.array(0.0)}
    lagstat.run(write("2\n3\n4\n"), d, 1, 0, 0, 1, 1)
    assert d["samples"] is samples and float(samples) == 8.0
    assert d["tcov_samples"] is pairs and float(pairs) == 3.0
    assert float(d["mean"]) == 9.0


def test_dict_subclass_with_hooks_gets_plain_stores(write):
    """The statistics are stored and fetched as in any dict; overridden item methods are not called
    from the pass, and a subclass keeps its type and its other entries."""

    class Stats(dict):
        calls = 0

        def __setitem__(self, key, value):
            Stats.calls += 1
            super().__setitem__(key, value)

    d = Stats(note="kept")
    lagstat.run(write("1 2\n"), d, 1, 0, 0, 0, 1)
    with pytest.raises(ValueError):
        lagstat.run(write("1 2 3\n", "three.txt"), d, 1, 0, 0, 0, 1)
    assert type(d) is Stats and d["note"] == "kept" and Stats.calls == 0
    assert_exact(d["mean"], [1.0, 2.0])
    assert_exact(d["samples"], 1.0)


# ---- a file of more than 2^31 lines and 4 GiB, made on the fly --------------------------------

GENERATOR = """
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_WRONLY)
try:
    fcntl.fcntl(fd, 1031, 1 << 20)  # F_SETPIPE_SZ: fewer wake-ups
except OSError:
    pass
lines = int(sys.argv[2])
chunk = b"1\\n" * (1 << 20)
for _ in range(lines >> 20):
    os.write(fd, chunk)
os.write(fd, b"1\\n" * (lines & ((1 << 20) - 1)))
"""


@pytest.mark.skipif(os.environ.get("LAGSTAT_SLOW_TESTS") != "1",
                    reason="slow: set LAGSTAT_SLOW_TESTS=1 (scripts/slow_tests.sh)")
def test_huge_input_through_a_fifo(tmp_path):
    lines = 2**31 + 12345  # 4 GiB + 24690 bytes
    fifo = str(tmp_path / "huge.fifo")
    os.mkfifo(fifo)
    writer = subprocess.Popen([sys.executable, "-c", GENERATOR, fifo, str(lines)])
    d = {}
    lagstat.run(fifo, d, 1, 1, 0, 1, 3)
    assert writer.wait(timeout=600) == 0
    assert float(d["samples"]) == lines  # exact: far below 2^53
    assert float(d["mean"]) == lines and float(d["var"]) == lines
    assert float(d["tcov_samples"]) == lines - 3 and float(d["tcov"]) == lines - 3
