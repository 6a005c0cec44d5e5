import errno
import operator
import os
import sys
import subprocess
import time

import lagstat
import numpy as np
import pytest
import reference
from conftest import Index, assert_exact, assert_line_error

LINE_MESSAGE = "Unexpected line format or read error."

LENGTH_MESSAGE = "Number of order parameters and length of mean/std/weights differ. Forgot time column?"


def run(path, d=None, mean=1, var=0, cov=0, tcov=0, lag=1):
    d = {} if d is None else d
    lagstat.run(path, d, mean, var, cov, tcov, lag)
    return d


def test_two_frames_all_flags_and_accumulating_twice(write):
    path = write("1 2\n3 4\n")
    d = run(path, mean=1, var=1, cov=1, tcov=1)
    expected = dict(mean=[4, 6], var=[10, 20], cov=[[10, 14], [14, 20]], tcov=[[3, 4], [6, 8]],
                    tcov_samples=1, samples=2)
    for key, value in expected.items():
        assert d[key].dtype == np.float64 and d[key].flags.c_contiguous
        assert_exact(d[key], np.array(value, dtype=float))
    assert d["mean"].ndim == 1 and d["samples"].ndim == 0 and d["tcov_samples"].ndim == 0

    arrays = {k: v for k, v in d.items()}
    run(path, d, mean=1, var=1, cov=1, tcov=1)
    for key, value in expected.items():
        assert d[key] is arrays[key]  # updated in place
        assert_exact(d[key], 2 * np.array(value, dtype=float))


def test_centred_pass_with_mean_as_list(write):
    d = {"mean": [2, 3]}
    run(write("1 2\n3 4\n"), d, mean=0, var=1, cov=1)
    assert_exact(d["var"], [2.0, 2.0])
    assert_exact(d["cov"], [[2.0, 2.0], [2.0, 2.0]])
    assert isinstance(d["mean"], np.ndarray) and d["mean"].dtype == np.float64
    assert_exact(d["mean"], [2.0, 3.0])


def test_centred_pass_without_mean_uses_zero_mean(write):
    d = run(write("1 2\n3 4\n"), mean=0, var=1)
    assert_exact(d["mean"], [0.0, 0.0])
    assert_exact(d["var"], [10.0, 20.0])
    assert_exact(d["samples"], 2.0)


@pytest.mark.parametrize("lag, pairs", [(1, 4), (2, 3), (4, 1), (5, 0), (50, 0)])
def test_lag_pairs_stay_inside_one_pass(write, lag, pairs):
    d = run(write("1\n2\n3\n4\n5\n"), mean=0, tcov=1, lag=lag)
    x = np.arange(1.0, 6.0)
    assert_exact(d["tcov_samples"], float(pairs))
    assert_exact(d["tcov"], float(np.dot(x[:5 - lag], x[lag:])) if pairs else 0.0)


def test_one_column_makes_every_entry_a_scalar(write):
    d = run(write("2\n3\n"), mean=1, var=1, cov=1, tcov=1)
    assert all(d[k].ndim == 0 for k in d)
    assert_exact(d["cov"], 13.0)
    assert_exact(d["tcov"], 6.0)


def test_lag_zero(write):
    path = write("1 2\n3 4\n")
    d = {}
    with pytest.raises(ValueError, match=r"^lag < 1 not allowed\.$"):
        lagstat.run(path, d, 1, 1, 1, 1, 0)
    assert sorted(d) == ["cov", "mean", "var"]
    d = run(path, mean=1, tcov=0, lag=0)  # lag is only read with tcov on
    assert_exact(d["samples"], 2.0)


def test_bad_third_line_keeps_earlier_frames(write):
    d = {}
    path = write("1 2\n3 4\n5\n7 8\n")
    with pytest.raises(ValueError) as info:
        lagstat.run(path, d, 1, 1, 1, 1, 1)
    assert_line_error(info.value, path, 3)
    assert_exact(d["mean"], [4.0, 6.0])
    assert_exact(d["var"], [10.0, 20.0])
    assert_exact(d["cov"], [[10.0, 14.0], [0.0, 20.0]])  # lower triangle not refreshed
    assert_exact(d["tcov_samples"], 1.0)
    assert_exact(d["samples"], 0.0)


def test_data_stop_at_blank_line(write):
    d = run(write("1 2\n3 4\n \nnot data at all\n"))
    assert_exact(d["samples"], 2.0)
    assert_exact(d["mean"], [4.0, 6.0])


def test_wrong_cov_shape_after_mean_is_converted(write):
    d = {"mean": [0, 0, 0, 0], "cov": np.zeros((3, 3))}
    with pytest.raises(ValueError, match="^" + LENGTH_MESSAGE.replace("?", r"\?").replace(".", r"\.") + "$"):
        lagstat.run(write("1 2 3 4\n"), d, 0, 0, 1, 0, 1)
    assert isinstance(d["mean"], np.ndarray)
    assert d["cov"].shape == (3, 3)


# ---- the array bridge, as the pass uses it -------------------------------------------------

@pytest.mark.parametrize(
    "entry, replaced",
    [
        ([1.0, 2.0, 3.0], True),  # a list becomes an array
        (np.arange(3), True),  # integers are converted
        (np.arange(6.0)[::2], True),  # strided
        (np.zeros(3, dtype=">f8"), True),  # other byte order
        (np.zeros(3), False),  # an accumulator array is used as it stands
    ],
)
def test_conforming_entries_are_used_or_converted(write, entry, replaced):
    before = np.array(entry, dtype=float, copy=True)
    d = {"mean": entry}
    run(write("1 2 3\n"), d, mean=1)
    assert (d["mean"] is not entry) == replaced
    assert_exact(d["mean"], before + [1.0, 2.0, 3.0])
    if replaced and isinstance(entry, np.ndarray):
        assert_exact(entry.astype(float), before)  # the caller's object is left untouched


@pytest.mark.parametrize(
    "key, entry, exc",
    [
        ("mean", [1.0, 2.0], ValueError),  # wrong length
        ("mean", np.zeros((3, 1)), ValueError),  # wrong rank
        ("mean", "abc", ValueError),
        ("var", np.zeros(4), ValueError),
        ("cov", np.zeros(9), ValueError),  # a matrix must be rank 2
        ("samples", [], ValueError),  # a scalar request needs one element
        ("samples", np.zeros(0), ValueError),
        ("samples", {}, TypeError),
        ("mean", np.zeros(3, dtype=object), TypeError),  # NumPy casts arrays only safely
    ],
)
def test_refused_entries_stay_in_the_dictionary(write, key, entry, exc):
    d = {key: entry}
    with pytest.raises(exc):
        lagstat.run(write("1 2 3\n"), d, 1, 1, 1, 0, 1)
    assert d[key] is entry


@pytest.mark.parametrize("entry", [5.0, np.float64(5.0), np.array(5.0), np.full((2, 2), 5.0), [5, 9]])
def test_scalar_entries_take_any_shape(write, entry):
    d = {"samples": entry}
    run(write("1\n2\n"), d)
    assert_exact(np.asarray(d["samples"]).ravel()[0], 7.0)


def test_one_by_n_matrix_request_is_rank_two(write):
    d = run(write("1 2 3 4\n"), mean=1, cov=1)
    assert d["cov"].shape == (4, 4) and d["mean"].shape == (4,)


def test_readonly_entry_is_replaced(write):
    a = np.zeros(2)
    a.flags.writeable = False
    d = {"mean": a}
    run(write("1 2\n"), d)
    assert d["mean"] is not a and a.tolist() == [0.0, 0.0]


def test_dict_subclass_is_accepted(write):
    class Stats(dict):
        pass

    d = Stats()
    lagstat.run(write("1 2\n"), d, 1, 0, 0, 0, 1)
    assert_exact(d["mean"], [1.0, 2.0])


# ---- input errors ---------------------------------------------------------------------------

EMPTY = (errno.ENODATA, "No data: the file is empty or its first line is blank")
MALFORMED = (errno.EILSEQ, "Unexpected format of the first line: no field count")


@pytest.mark.parametrize(
    "content, code, message",
    [(b"", *EMPTY), (b"\n1 2\n", *EMPTY), (b"  \t \n1 2\n", *EMPTY), (b"1 x\n", *MALFORMED)],
)
def test_first_line_without_field_count(write, content, code, message):
    path = write(content)
    with pytest.raises(OSError) as info:
        run(path)
    assert str(info.value) == f"[Errno {code}] {message}: {path!r}"
    assert info.value.errno == code and info.value.filename == path


@pytest.mark.parametrize("kind", ["missing", "directory"])
def test_unreadable_inputs_raise_oserror_with_filename(tmp_path, kind):
    path = tmp_path / "missing.txt" if kind == "missing" else tmp_path
    with pytest.raises(OSError) as info:
        run(path)  # os.PathLike accepted
    assert info.value.errno == (errno.ENOENT if kind == "missing" else errno.EISDIR)
    assert info.value.filename == path


def test_bytes_file_name(write):
    d = run(os.fsencode(write("1 2\n")))
    assert_exact(d["mean"], [1.0, 2.0])


def test_huge_lag_is_memory_error(write):
    d = {}
    with pytest.raises(MemoryError):
        lagstat.run(write(" ".join(["1"] * 500) + "\n"), d, 0, 0, 0, 1, 2**31 - 1)
    assert "samples" not in d and "tcov_samples" in d


@pytest.mark.parametrize("via", ["fifo", "stdin"])
def test_pipes_lose_no_line(tmp_path, via):
    text = b"1 2\n3 4\n5 6\n"
    if via == "fifo":
        path = str(tmp_path / "fifo")
        os.mkfifo(path)
        # The pass holds the interpreter lock while it waits for the writer: write from a process.
        writer = subprocess.Popen(["sh", "-c", 'printf "1 2\\n3 4\\n5 6\\n" > "$0"', path])
        d = run(path)
        assert writer.wait() == 0
    else:
        code = ("import lagstat; d = {}; lagstat.run('/dev/stdin', d, 1, 0, 0, 0, 1); "
                "print(d['mean'].tolist(), float(d['samples']))")
        out = subprocess.run([sys.executable, "-c", code], input=text, capture_output=True, check=True)
        assert out.stdout.split() == [b"[9.0,", b"12.0]", b"3.0"]
        return
    assert_exact(d["samples"], 3.0)
    assert_exact(d["mean"], [9.0, 12.0])


# ---- exactness against the literal reference ------------------------------------------------

def random_text(rng, rows, n):
    scale = 10.0 ** rng.integers(-3, 4, size=n)
    x = rng.standard_normal((rows, n)) * scale + rng.standard_normal(n) * 100 * scale
    fmt = rng.choice(["%.6f", "%.17g", "%.3e"])
    sep = rng.choice([" ", "\t", ", ", ","])
    return "".join(sep.join(fmt % v for v in row) + "\n" for row in x)


@pytest.mark.parametrize("seed", range(12))
def test_two_passes_match_reference_exactly(tmp_path, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.choice([1, 2, 3, 5, 8, 13, 21, 40]))
    lag = int(rng.integers(1, 8)) if seed % 3 else int(rng.integers(40, 400))
    files = []
    for k in range(3):
        p = tmp_path / f"part{k}.txt"
        p.write_text(random_text(rng, int(rng.integers(1, 300)), n))
        files.append(p)
    got, want = {}, {}
    for p in files:
        lagstat.run(str(p), got, 1, 0, 0, 0, lag)
        reference.run(p.read_bytes(), want, 1, 0, 0, 0, lag)
    mean = list(got["mean"] / got["samples"]) if seed % 2 else got["mean"] / got["samples"]
    got, want = {"mean": mean}, {"mean": mean}
    for p in files:
        lagstat.run(str(p), got, 0, 1, 1, 1, lag)
        reference.run(p.read_bytes(), want, 0, 1, 1, 1, lag)
    assert sorted(got) == sorted(want)
    for key in want:
        assert_exact(got[key], want[key])


def test_shared_accumulators_are_updated_frame_by_frame(write):
    # One array under two keys: each frame is centred by the sums the frames before it left.
    a = np.ones(2)
    d = {"mean": a, "var": a}
    lagstat.run(write("1 2\n3 4\n"), d, 0, 1, 0, 0, 1)
    assert d["var"] is a and d["mean"] is a
    assert_exact(a, [5.0, 6.0])  # frames (0, 1) then (3 - 1, 4 - 2)


# The child says when its imports are done, so that a slow start (a loaded machine, a sanitizer)
# does not take the second the pass is given to reach its wait.
READY = "import sys, lagstat; sys.stderr.write('ready\\n'); sys.stderr.flush(); "


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("case", ["no writer", "slow writer", "output without reader",
                                  "output reader stopped", "one read, slow writer",
                                  "one read, silent writer"])
def test_ctrl_c_stops_a_pass_waiting_on_a_pipe(tmp_path, case, threads):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    if case.startswith("output"):  # stream waits to open or to write its output
        data = tmp_path / "in.txt"
        data.write_bytes(b"1 2\n" * 100000)
        code = (f"import lagstat; lagstat.stream({str(data)!r}, {fifo!r}, [0, 0], [[1, 0], [0, 1]], 2, 0,"
                f" threads={threads})")
    elif case == "one read, silent writer":  # the open's look at the first bytes waits
        code = f"from lagstat_tica import _native; _native.open({fifo!r})"
    elif case.startswith("one read"):  # lagstat_tica's scan, after a look at the first line
        code = (f"from lagstat_tica import _native; s = _native.open({fifo!r}); s.head(1);"
                f" s.scan([1, 3], threads={threads})")
    else:
        code = f"import lagstat; lagstat.run({fifo!r}, {{}}, 1, 0, 0, 0, 1, threads={threads})"
    proc = subprocess.Popen([sys.executable, "-c", READY + code], stderr=subprocess.PIPE)
    assert proc.stderr.readline() == b"ready\n"
    feeder = None
    if case.endswith("slow writer"):  # the pass has the first line and waits for more
        feeder = subprocess.Popen(["sh", "-c", 'exec 3>"$0"; printf "1 2\\n" >&3; exec sleep 30', fifo])
    elif case == "one read, silent writer":
        feeder = subprocess.Popen(["sh", "-c", 'exec 3>"$0"; exec sleep 30', fifo])
    elif case == "output reader stopped":  # reads 64 KiB, then keeps the pipe open unread
        feeder = subprocess.Popen(["sh", "-c", 'exec 3<"$0"; head -c 65536 <&3 >/dev/null; exec sleep 30',
                                   fifo])
    time.sleep(1.0)
    proc.send_signal(2)  # SIGINT
    try:
        _, err = proc.communicate(timeout=10)
    finally:
        if feeder:
            feeder.kill()
    assert err.strip().splitlines()[-1] == b"KeyboardInterrupt"  # raised, not a SystemError after it


# ---- threads: the same bits, the same failure ------------------------------------------------

def pass_outcome(path, threads):
    """Both moment passes and the projection with `threads`: every sum's bits, the output text and
    the failure (type, notes) where one comes; the dictionary as the failure left it."""
    outcome = {}
    d = {}
    try:
        lagstat.run(path, d, 1, 0, 0, 0, 1, threads=threads)
        d = {"mean": d["mean"] / d["samples"]}
        lagstat.run(path, d, 0, 1, 1, 1, 3, threads=threads)
        out = path + ".%d.proj" % threads
        lagstat.stream(path, out, d["mean"], np.eye(d["mean"].size), 2, 0, threads=threads)
        outcome["projection"] = open(out, "rb").read()
    except ValueError as e:
        outcome["error"] = (type(e), str(e), getattr(e, "__notes__", None))
        out = path + ".%d.proj" % threads
        try:
            lagstat.stream(path, out, np.zeros(7), np.eye(7), 2, 0, threads=threads)
        except ValueError:
            pass
        outcome["projection"] = open(out, "rb").read() if os.path.exists(out) else None
    outcome.update({k: np.asarray(v).tobytes() for k, v in d.items()})
    return outcome


@pytest.mark.parametrize("lines, bad_line", [(3000, None), (3000, 1777), (3000, 2), (200_000, None),
                                             (200_000, 150_001)])
def test_thread_counts_give_the_same_bits_and_failures(tmp_path, lines, bad_line):
    # Lines of uneven length, so that pieces and chunks are cut everywhere; 200 000 lines make
    # several chunks of the threads' buffers.
    rng = np.random.default_rng(lines + (bad_line or 0))
    x = rng.normal(size=(lines, 7)) * np.exp(rng.uniform(-9, 9, size=(lines, 7)))
    text = "\n".join(" ".join("%.17g" % v for v in row) for row in x).encode() + b"\n"
    if bad_line is not None:  # a field too few on that line
        rows = text.split(b"\n")
        rows[bad_line - 1] = rows[bad_line - 1].rsplit(b" ", 1)[0]
        text = b"\n".join(rows)
    path = str(tmp_path / "t.txt")
    open(path, "wb").write(text)
    want = pass_outcome(path, 1)
    assert ("error" in want) == (bad_line is not None)
    for threads in (2, 3, 8):
        assert pass_outcome(path, threads) == want, threads


# ---- text options: the files MD programs write, read as their bare columns --------------------

def colvar(x):
    head = "#! FIELDS time d1 d2 d3\n#! SET min_d1 -pi\n"
    body = []
    for t, row in enumerate(x):
        if t % 97 == 5:
            body.append("# a comment between data lines\n")
        body.append(" %.6f %s%s\n" % (t * 0.5, " ".join("%.6f" % v for v in row), " # note" if t == 3 else ""))
    return (head + "".join(body)).encode()


def xvg(x):
    head = '# GROMACS\n@    title "dihedrals"\n@ s0 legend "phi"\n@ s1 legend "psi"\n@ s2 legend "chi"\n'
    return (head + "".join("%10.3f %s\n" % (t, " ".join("%.5f" % v for v in row))
                           for t, row in enumerate(x))).encode()


def csv(x):
    return ("," + ",".join("d%d" % i for i in range(3)) + "\n" +
            "".join("%d,%s\n" % (t, ",".join("%.6f" % v for v in row)) for t, row in enumerate(x))).encode()


FORMATS = {
    # name: (maker, keywords, numpy.loadtxt arguments giving the same numbers)
    "colvar": (colvar, dict(comments="#", usecols=[1, 2, 3]), dict(comments="#", usecols=(1, 2, 3))),
    "xvg": (xvg, dict(comments="#@", usecols=[-3, -2, -1]), dict(comments=("#", "@"), usecols=(1, 2, 3))),
    "csv": (csv, dict(skip_rows=1, delimiter=",", usecols=[1, 2, 3]),
            dict(skiprows=1, delimiter=",", usecols=(1, 2, 3))),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name", sorted(FORMATS))
def test_formats_read_as_their_bare_columns(tmp_path, name, threads):
    make, keywords, loadtxt = FORMATS[name]
    x = np.random.default_rng(3).normal(size=(2000, 3))
    data = make(x)
    path = tmp_path / name
    path.write_bytes(data)
    bare = tmp_path / "bare.txt"
    np.savetxt(bare, np.loadtxt(path, **loadtxt), fmt="%.17g")  # NumPy's reading of the numbers
    got, want = {}, {}
    lagstat.run(str(path), got, 1, 1, 1, 1, 2, threads=threads, **keywords)
    lagstat.run(str(bare), want, 1, 1, 1, 1, 2)
    for key in want:
        assert_exact(got[key], want[key])
    lagstat.stream(str(path), str(tmp_path / "p1"), np.zeros(3), np.eye(3), 3, 0, threads=threads, **keywords)
    lagstat.stream(str(bare), str(tmp_path / "p2"), np.zeros(3), np.eye(3), 3, 0)
    assert (tmp_path / "p1").read_bytes() == (tmp_path / "p2").read_bytes()


@pytest.mark.parametrize("text, keywords, exc, message, notes", [
    (b"a,b\n1,2\n3,,4\n", dict(skip_rows=1, delimiter=","), ValueError, LINE_MESSAGE,
     ["line 3", "An empty field: no value between two delimiters or at the end of the line."]),
    (b"1 2 3\n", dict(usecols=[0, 3]), ValueError,
     "usecols selects a column that the first data line does not have.", None),
    (b"1 2 3\n", dict(usecols=[0, -3]), ValueError, "usecols selects the same column twice.", None),
    (b"1 2\n", dict(comments="1"), ValueError, None, None),
    (b"1 2\n", dict(threads=0), ValueError, None, None),
    (b"1 2\n", dict(delimiter=";"), ValueError, None, None),
    (b"1 2\n", dict(usecols=[]), ValueError, None, None),
    (b"1 2\n", dict(skip_rows=-1), ValueError, None, None),
    (b"1 2\n", dict(typo=1), TypeError, None, None),
])
def test_refused_options_and_lines(write, text, keywords, exc, message, notes):
    d = {}
    with pytest.raises(exc) as info:
        lagstat.run(write(text), d, 1, 0, 0, 0, 1, **keywords)
    if message is not None:
        assert str(info.value) == message
    if notes is not None:
        assert info.value.__notes__[0].endswith(notes[0]) and info.value.__notes__[1:] == notes[1:]
    if message != LINE_MESSAGE:
        assert d == {}  # refused before any entry was fetched


@pytest.mark.parametrize("keywords", [dict(threads=np.int64(2)), dict(threads=Index(-1)),
                                      dict(skip_rows=np.uint8(1), threads=np.int32(1)),
                                      dict(skip_rows=Index(1))])
def test_counts_are_taken_as_any_index(write, keywords):
    """threads= and skip_rows= take a NumPy integer or any other operator.index value."""
    path = write(b"1 2\n3 5\n4 7\n")
    got, want = {}, {}
    lagstat.run(path, got, 1, 1, 1, 1, 1, **keywords)
    lagstat.run(path, want, 1, 1, 1, 1, 1, **{k: operator.index(v) for k, v in keywords.items()})
    for key in want:
        assert_exact(got[key], want[key])
    lagstat.stream(path, path + ".p", [0, 0], np.eye(2), 2, 0, **keywords)
    assert len(open(path + ".p").readlines()) == (2 if "skip_rows" in keywords else 3)


# ---- .npy input: the same bits as the text of the same numbers --------------------------------

def npy_and_text(tmp_path, array, version=(1, 0), compress=None):
    """The array saved as .npy (perhaps compressed) and as exact text: paths to both."""
    import bz2
    import io
    import lzma

    buf = io.BytesIO()
    np.lib.format.write_array(buf, array, version=version)
    data = {None: bytes, "gzip": lambda b: __import__("gzip").compress(b, mtime=0),
            "bzip2": bz2.compress, "xz": lzma.compress}[compress](buf.getvalue())
    npy = tmp_path / "x.npy"
    npy.write_bytes(data)
    fmt = "%d" if array.dtype.kind in "iu" else "%.17g"
    txt = tmp_path / "x.txt"
    np.savetxt(txt, array.reshape(len(array), -1).astype(object), fmt=fmt)
    return str(npy), str(txt)


def npy_array(kind, rows=3000, cols=5, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, cols)) * np.exp(rng.uniform(-9, 9, size=(rows, cols)))
    if kind == "int":
        x = rng.integers(-(2**62), 2**62, size=(rows, cols))  # beyond 2**53: rounded as text is
    return x


NPY_FORMS = [
    # id, array, format version, compression
    ("v1 C float64", lambda: npy_array("float"), (1, 0), None),
    ("v2 Fortran float64", lambda: np.asfortranarray(npy_array("float")), (2, 0), None),
    ("v3 float32 big-endian", lambda: npy_array("float").astype(">f4"), (3, 0), None),
    ("int64 Fortran", lambda: np.asfortranarray(npy_array("int")), (1, 0), None),
    ("int16 big-endian", lambda: (npy_array("float") * 1e-3).astype(">i2"), (1, 0), None),
    ("uint8 1-d", lambda: (npy_array("float")[:, 0] % 256).astype(np.uint8), (1, 0), None),
    ("many batches", lambda: npy_array("float", rows=120_000, cols=7), (1, 0), None),
    ("gzip", lambda: npy_array("float"), (1, 0), "gzip"),
    ("bzip2 float32", lambda: npy_array("float").astype("<f4"), (2, 0), "bzip2"),
    ("xz 1-d", lambda: npy_array("float")[:, 2].copy(), (1, 0), "xz"),
]


@pytest.mark.parametrize("make, version, compress", [c[1:] for c in NPY_FORMS],
                         ids=[c[0] for c in NPY_FORMS])
def test_npy_gives_the_bits_of_its_text(tmp_path, make, version, compress):
    from lagstat_tica import _native

    npy, txt = npy_and_text(tmp_path, make(), version, compress)
    want = pass_outcome(txt, 1)
    for threads in (1, 2):
        assert pass_outcome(npy, threads) == want, threads
    scan = _native.open(npy).scan([1, 4], threads=2)
    text_scan = _native.open(txt).scan([1, 4])
    for key in ("frames", "pairs", "shift", "sum", "cov", "tcov", "head_cov", "tail_sum"):
        assert_exact(scan[key], text_scan[key])
    with pytest.raises(ValueError, match="A NumPy .npy file has no lines to show"):
        _native.open(npy).head()  # the companion routes .npy paths by their magic instead


@pytest.mark.parametrize("order", ["C", "F"])
def test_npy_usecols_and_time_column_as_for_text(tmp_path, order):
    npy, txt = npy_and_text(tmp_path, np.asarray(npy_array("float", cols=6), order=order))
    options = dict(usecols=[4, -1, 1], threads=2)
    got, want = {}, {}
    lagstat.run(npy, got, 1, 1, 1, 1, 3, **options)
    lagstat.run(txt, want, 1, 1, 1, 1, 3, **options)
    for key in want:
        assert_exact(got[key], want[key])
    weights = np.random.default_rng(1).normal(size=(5, 5))
    for path in (npy, txt):
        lagstat.stream(path, path + ".proj", np.arange(5.0), weights, 3, 1, threads=2)
    assert open(npy + ".proj", "rb").read() == open(txt + ".proj", "rb").read()


@pytest.mark.parametrize("order", ["C", "F"])
def test_npy_through_a_fifo(tmp_path, order):
    """A pipe is streamed in C order; a Fortran-order array, which would have to be held whole,
    is refused saying why."""
    import threading

    npy, txt = npy_and_text(tmp_path, np.asarray(npy_array("float", rows=50_000), order=order))
    fifo = str(tmp_path / "in.fifo")
    os.mkfifo(fifo)

    def write():
        try:
            with open(fifo, "wb") as f:
                f.write(open(npy, "rb").read())
        except BrokenPipeError:
            pass  # the pass refused the array after its header

    writer = threading.Thread(target=write)
    writer.start()
    got = {}
    try:
        if order == "F":
            with pytest.raises(ValueError, match="Fortran-order .npy file is read column by column"):
                lagstat.run(fifo, got, 1, 1, 0, 0, 1, threads=2)
            return
        lagstat.run(fifo, got, 1, 1, 0, 0, 1, threads=2)
    finally:
        writer.join(timeout=60)
    want = run(txt, mean=1, var=1)
    for key in want:
        assert_exact(got[key], want[key])
