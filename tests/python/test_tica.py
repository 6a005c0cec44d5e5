"""lagstat_tica: multi-file moments, TICA and its command line, checked against deeptime and numpy."""
import bz2
import contextlib
import errno
import functools
import gzip
import lzma
import os
import signal
import subprocess
import sys
import shutil
import threading
import time
import warnings

import numpy as np
import pytest
from scipy.signal import lfilter

import lagstat
import lagstat_tica
from lagstat_tica import TICA, moments
from lagstat_tica import _moments, _native, _parallel
from lagstat_tica._tica import output_paths
from lagstat_tica.cli import main as cli_main
from conftest import Index, assert_exact, assert_line_error

N_COLS = 7
LENGTHS = (2600, 1700, 3400, 1200)


def slow_process(n_frames, n_cols, seed):
    """Three AR(1) processes (one slow, two faster) mixed into n_cols noisy, offset columns."""
    rng = np.random.default_rng(seed)
    phis = np.array([0.995, 0.97, 0.7])
    noise = rng.normal(size=(n_frames, 3))
    latent = np.column_stack([lfilter([np.sqrt(1 - p * p)], [1, -p], noise[:, i]) for i, p in enumerate(phis)])
    mixing = np.random.default_rng(1234).normal(size=(3, n_cols))
    return latent @ mixing + 0.3 * rng.normal(size=(n_frames, n_cols)) + 10.0 * np.arange(n_cols)


def write_frames(path, frames, fmt="%.17g", sep=" ", newline="\n", final_newline=True, trailer=""):
    lines = [sep.join(fmt % v for v in np.atleast_1d(row)) for row in frames]
    text = newline.join(lines) + (newline if final_newline else "") + trailer
    if str(path).endswith(".gz"):
        with gzip.open(path, "wt", newline="") as f:
            f.write(text)
    else:
        with open(path, "w", newline="") as f:
            f.write(text)
    return str(path)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """Four files of one process with different lengths, and the frames they hold."""
    d = tmp_path_factory.mktemp("tica")
    arrays, paths = [], []
    for i, n in enumerate(LENGTHS):
        x = slow_process(n, N_COLS, seed=i)
        paths.append(write_frames(d / ("part%d.txt" % i), x))
        arrays.append(x)
    return paths, arrays


def lagstat_reads_gzip(tmp_path):
    probe = write_frames(tmp_path / "probe.txt.gz", np.array([[1.0, 2.0], [3.0, 4.0]]))
    d = {}
    try:
        lagstat.run(probe, d, 1, 0, 0, 0, 1)
    except OSError:
        return False
    return float(d["samples"]) == 2


def peer(arrays, lag, **kw):
    deeptime = pytest.importorskip("deeptime.decomposition")
    return deeptime.TICA(lagtime=lag, **kw).fit(arrays).fetch_model()


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_rel(actual, expected, rtol):
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape
    err = np.max(np.abs(actual - expected) / np.abs(expected))
    assert err <= rtol, "max relative error %.3g > %.3g" % (err, rtol)


def assert_equal_up_to_sign(p, q, atol):
    assert p.shape == q.shape
    for j in range(q.shape[1]):
        sign = 1.0 if np.dot(p[:, j], q[:, j]) >= 0 else -1.0
        scale = max(1.0, np.max(np.abs(q[:, j])))
        err = np.max(np.abs(p[:, j] - sign * q[:, j]))
        assert err <= atol * scale, "component %d differs by %.3g" % (j, err)


# --- agreement with deeptime -------------------------------------------------------------------


@pytest.mark.parametrize(
    "lag, kw",
    [
        (1, {}),
        (10, {}),
        (25, {"scaling": None}),
        (10, {"scaling": "commute_map"}),
        (7, {"dim": 3}),
        (7, {"var_cutoff": 0.9}),
        (200, {"epsilon": 1e-3}),
    ],
)
def test_matches_deeptime(dataset, lag, kw):
    paths, arrays = dataset
    model = TICA(lag, **kw).fit(paths)
    ref = peer(arrays, lag, **kw)
    assert_rel(model.eigenvalues_, ref.singular_values, 1e-8)
    assert_rel(model.timescales_, ref.timescales(), 1e-8)
    np.testing.assert_allclose(model.mean_, ref.mean_0, rtol=1e-12)
    np.testing.assert_allclose(model.cov_, ref.cov_00, rtol=1e-10, atol=1e-12 * np.abs(ref.cov_00).max())
    np.testing.assert_allclose(model.cov_tau_, ref.cov_0t, rtol=1e-10, atol=1e-12 * np.abs(ref.cov_0t).max())
    assert model.dim_ == ref.output_dimension
    for x in arrays:
        assert_equal_up_to_sign(model.transform(x), ref.transform(x), 1e-6)
    # deeptime's model built from lagstat's, and lagstat's scores, as deeptime's own model has them
    theirs = model.to_deeptime()
    assert_rel(theirs.singular_values, ref.singular_values, 1e-10)
    assert_rel(theirs.timescales(), ref.timescales(), 1e-10)
    assert theirs.output_dimension == ref.output_dimension
    test = peer(arrays[1:3], lag)
    for r in (2, 1, "E"):
        assert_rel(model.score(r=r), ref.score(r), 1e-10)
        assert_rel(theirs.score(r), ref.score(r), 1e-10)
        assert_rel(model.score(arrays[1:3], r=r), ref.score(r, test), 1e-10)
    assert_rel(model.score(paths[1:3]), ref.score(2, test), 1e-10)
    for x in arrays:
        y = ref.transform(x)
        assert_equal_up_to_sign(theirs.transform(x), y, 1e-10)
    # arrays in memory fit as their files do; fit_transform projects them as transform does
    in_memory = TICA(lagtime=lag, **kw)
    projected = in_memory.fit_transform(arrays)
    assert_rel(in_memory.eigenvalues_, model.eigenvalues_, 1e-10)
    assert [p.shape for p in projected] == [(len(x), model.dim_) for x in arrays]
    np.testing.assert_array_equal(in_memory.fit_transform(arrays[0]), in_memory.transform(arrays[0]))


def test_files_shorter_than_lag_give_no_pairs_but_count_nowhere_else(tmp_path, dataset):
    """deeptime skips trajectories without a pair; so must the pair statistics."""
    _, arrays = dataset
    lag = 30
    short = [slow_process(n, N_COLS, seed=10 + n) for n in (lag, lag + 1, 5, 1)]
    mixed = [arrays[0], short[0], arrays[1], short[1], short[2], short[3]]
    paths = [write_frames(tmp_path / ("m%d.txt" % i), x) for i, x in enumerate(mixed)]
    model = TICA(lag).fit(paths)
    with pytest.warns(UserWarning):
        ref = peer(mixed, lag)
    assert model.n_pairs_ == sum(max(0, len(x) - lag) for x in mixed)
    assert model.n_samples_ == sum(len(x) for x in mixed)
    assert_rel(model.eigenvalues_, ref.singular_values, 1e-8)
    np.testing.assert_allclose(model.mean_, ref.mean_0, rtol=1e-12)
    np.testing.assert_allclose(model.cov_, ref.cov_00, rtol=1e-10, atol=1e-12 * np.abs(ref.cov_00).max())


def test_dependent_and_constant_columns_are_dropped(tmp_path):
    """A column that is the sum of two others and a constant one leave C00 singular: rank n - 2."""
    xs = []
    for i, n in enumerate((1500, 2200)):
        x = slow_process(n, 5, seed=20 + i)
        xs.append(np.column_stack([x, x[:, 0] + x[:, 1], np.full(n, 3.25)]))
    paths = [write_frames(tmp_path / ("s%d.txt" % i), x) for i, x in enumerate(xs)]
    xs = [np.loadtxt(p) for p in paths]  # the sums as written, rounded
    model = TICA(6).fit(paths)
    ref = peer(xs, 6)
    assert model.eigenvalues_.shape == (5,)
    assert_rel(model.eigenvalues_, ref.singular_values, 1e-8)
    for x in xs:
        assert_equal_up_to_sign(model.transform(x), ref.transform(x), 1e-6)


def test_single_column(tmp_path):
    x = slow_process(3000, 1, seed=5)[:, 0]
    paths = [write_frames(tmp_path / "a.txt", x[:1800]), write_frames(tmp_path / "b.txt", x[1800:])]
    model = TICA(4, scaling=None).fit(paths)
    ref = peer([x[:1800, None], x[1800:, None]], 4, scaling=None)
    assert_rel(model.eigenvalues_, ref.singular_values, 1e-8)
    assert_equal_up_to_sign(model.transform(x[:, None]), ref.transform(x[:, None]), 1e-6)
    assert model.transform(x).shape == (3000, 1)


@pytest.mark.parametrize(
    "fmt, sep, newline, final_newline, name",
    [
        ("%.6f", " ", "\n", True, "six.txt"),
        ("%.17g", ",", "\n", True, "comma.csv"),
        ("%.17g", ", ", "\r\n", True, "crlf.csv"),
        ("%.17g", "\t", "\n", False, "no_final_newline.txt"),
        ("%.17g", " ", "\n", True, "packed.txt.gz"),
    ],
)
def test_text_variants_read_like_lagstat(tmp_path, fmt, sep, newline, final_newline, name):
    """The extra read of the edge frames parses every layout the same as lagstat does."""
    if name.endswith(".gz") and not lagstat_reads_gzip(tmp_path):
        pytest.skip("this lagstat build reads no gzip input")
    lag = 9
    xs = [slow_process(n, 4, seed=n) for n in (400, 300)]
    xs = [np.array([[float(fmt % v) for v in row] for row in x]) for x in xs]  # values as written
    paths = []
    for i, x in enumerate(xs):
        # lines after an empty line are not data
        trailer = "" if not final_newline else newline + "1 2 3 4" + newline
        paths.append(write_frames(tmp_path / ("%d%s" % (i, name)), x, fmt, sep, newline, final_newline, trailer))
    model = TICA(lag).fit(paths)
    ref = peer(xs, lag)
    assert model.n_samples_ == 700
    assert_rel(model.eigenvalues_, ref.singular_values, 1e-8)
    np.testing.assert_allclose(model.mean_, ref.mean_0, rtol=1e-12)


# --- one read per file -----------------------------------------------------------------------

HEADER = "#! FIELDS time a b c"


def segmented_files(tmp_path, lengths, compress=None):
    """Files of PLUMED-like text: a header, a time column, the header again at each restart.
    Returns the paths and every file's segments of frames (the three data columns)."""
    opener = {None: open, "gz": gzip.open, "bz2": bz2.open, "xz": lzma.open}[compress]
    paths, frames = [], []
    for i, segs in enumerate(lengths):
        xs = [slow_process(n, 3, seed=10 * i + j) for j, n in enumerate(segs)]
        lines, t = [HEADER], 0.0
        for j, x in enumerate(xs):
            lines += [HEADER] * (j > 0) + ["%.17g %s" % (t + k, " ".join("%.17g" % v for v in row))
                                          for k, row in enumerate(x)]
            t += len(x)
        path = str(tmp_path / ("seg%d.txt%s" % (i, "." + compress if compress else "")))
        with opener(path, "wt") as f:
            f.write("\n".join(lines) + "\n")
        paths.append(path)
        frames.append(xs)
    return paths, frames


def colvar_options(marker, path, head):
    assert head[0] == HEADER
    return {"comments": "#", "usecols": [1, 2, 3], "time_field": 0, "segment_marker": marker}


def bare_columns(path, head):
    assert len(head) == 256 and len(head[0].split()) == N_COLS  # a pipe's head is read again
    return None


def literal_sums(segments, lags, s):
    """Sums of one read, frame by frame in numpy: pairs and edges within each segment."""
    n = s.shape[0]
    out = {"frames": 0, "pairs": [0] * len(lags), "sum": np.zeros(n), "cov": np.zeros((n, n))}
    for key in ("tcov", "head_cov", "tail_cov"):
        out[key] = np.zeros((len(lags), n, n))
    out["head_sum"], out["tail_sum"] = np.zeros((len(lags), n)), np.zeros((len(lags), n))
    for x in segments:
        y = x - s
        out["frames"] += len(y)
        out["sum"] = out["sum"] + y.sum(axis=0)
        out["cov"] = out["cov"] + y.T @ y
        for i, lag in enumerate(lags):
            h, t = y[:lag], y[max(0, len(y) - lag):]
            out["pairs"][i] += max(0, len(y) - lag)
            out["tcov"][i] += y[:-lag].T @ y[lag:] if len(y) > lag else 0.0
            out["head_sum"][i] += h.sum(axis=0)
            out["tail_sum"][i] += t.sum(axis=0)
            out["head_cov"][i] += h.T @ h
            out["tail_cov"][i] += t.T @ t
    return out


@pytest.mark.parametrize(
    "lags, marker, compress, n_jobs, threads",
    [
        ([1, 7, 30], None, None, 2, 2),
        ([3, 50], "#! FIELDS", None, 1, Index(2)),
        ([2, 1], "#! FIELDS", "gz", 2, 1),
        ([5], "#! FIELDS", "xz", 1, 3),
        ([4000, 1], None, "bz2", 1, 1),  # a lag beyond every file
    ],
)
def test_one_read_sums(tmp_path, lags, marker, compress, n_jobs, threads):
    """Counts exact; sums those of frame-by-frame loops and of lagstat.run's two passes within
    1e-11 of their scale (the files after the first are re-based to the first's first frame);
    the same bits for any n_jobs and threads."""
    paths, frames = segmented_files(tmp_path, [[300, 40, 1], [5], [700]], compress)
    options = functools.partial(colvar_options, marker)
    got = _moments.one_read(paths, lags, options_of=options, n_jobs=n_jobs, threads=threads, keep_per_file=True)
    again = _moments.one_read(paths, lags, options_of=options)
    segments = [seg for f in frames for seg in (f if marker else [np.concatenate(f)])]
    s = frames[0][0][0]
    want = literal_sums(segments, lags, s)
    assert (got["frames"], got["pairs"], got["per_file"]) == (want["frames"], want["pairs"], [341, 5, 700])
    for key in ("sum", "cov", "tcov", "head_sum", "tail_sum", "head_cov", "tail_cov"):
        scale = np.abs(want[key]).max()
        np.testing.assert_allclose(got[key], want[key], rtol=0, atol=1e-11 * scale, err_msg=key)
        assert np.array_equal(bits(got[key]), bits(again[key])), key
        per_file = got["per_file_sums"]
        assert np.array_equal(bits(functools.reduce(lambda a, b: a + b[key], per_file[1:], per_file[0][key])),
                              bits(got[key])), key
    assert_exact(got["shift"], s)
    if marker:  # (first line, frames, marker, first time, last time); the time counts frames
        starts = [[sum(len(x) for x in f[:j]) for j in range(len(f))] for f in frames]
        assert got["segments"] == [[(2 + t0 + j, len(x), HEADER if j else None, t0, t0 + len(x) - 1.0)
                                    for j, (x, t0) in enumerate(zip(f, st))] for f, st in zip(frames, starts)]
        assert got["dt"] == 1.0
    # lagstat.run about the exact mean: the one read's sums re-based there agree.
    mean = np.concatenate(segments).mean(axis=0)
    moved = _moments.rebase(got, mean)
    for i, lag in enumerate(lags):
        d = {"mean": mean.copy()}
        for path in paths:
            e = {"mean": mean.copy()}
            lagstat.run(path, e, 0, 0, 1, 1, lag, comments="#", usecols=[1, 2, 3])
            d = {k: d.get(k, 0.0) + e[k] for k in ("cov", "tcov", "tcov_samples")}
        np.testing.assert_allclose(moved["cov"], d["cov"], rtol=0, atol=1e-11 * np.abs(d["cov"]).max())
        if not marker:  # lagstat.run knows no segments
            assert got["pairs"][i] == d["tcov_samples"]
            np.testing.assert_allclose(moved["tcov"][i], d["tcov"], rtol=0, atol=1e-11 * np.abs(d["cov"]).max())


@pytest.mark.parametrize(
    "content, options",
    [
        (b"1 2\n1 x\n", {}),
        (b"1 2\n1 2 3\n", {"comments": "#"}),
        (b"# h\n1,2\n1,,2\n", {"comments": "#", "delimiter": ","}),
        (b"", {}),
        (b"\n1 2\n", {}),
        (b"1 2\n", {"usecols": [5]}),
        (gzip.compress(b"1 2\n" * 1000, mtime=0)[:-9], {}),
        (None, {}),  # no such file
    ],
)
def test_scan_fails_as_lagstat_run(tmp_path, content, options):
    """The same exception, message, notes, errno and file name as lagstat.run raises."""
    path = str(tmp_path / "f.txt")
    if content is not None:
        open(path, "wb").write(content)
    caught = []
    for call in (lambda: lagstat.run(path, {}, 1, 0, 0, 0, 1, **options),
                 lambda: _native.open(path).scan([1], **options)):
        with pytest.raises(Exception) as info:
            call()
        e = info.value
        caught.append((type(e), e.args, getattr(e, "__notes__", None), getattr(e, "errno", None),
                       getattr(e, "filename", None)))
    assert caught[0] == caught[1]


def test_pipes_are_read_here_and_cannot_be_projected(tmp_path, dataset):
    """A FIFO and a file read alike; the FIFO is marked as read once, and projecting it is refused."""
    paths, _ = dataset
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: open(fifo, "wb").write(open(paths[1], "rb").read()))
    writer.start()
    piped = _moments.one_read([paths[0], fifo], [4], n_jobs=2, options_of=bare_columns)
    writer.join()
    plain = _moments.one_read(paths[:2], [4])
    assert piped["rereadable"] == [True, False]
    for key in ("sum", "cov", "tcov", "head_cov", "tail_cov"):
        assert np.array_equal(bits(piped[key]), bits(plain[key])), key
    model = TICA(4).fit_from_sums(piped)
    for gone in (fifo, "/dev/fd/63"):
        with pytest.raises(ValueError, match="projecting needs the data again"):
            model.transform_files([gone], tmp_path / "out")


# A pipe named twice would be read twice: its second open waits for ever for a writer. Here
# nothing writes to the FIFO or to standard input, so any open hangs: the refusal comes first.
@pytest.mark.parametrize("code, message", [
    ("cli_main([fifo, fifo, '--lag', '2'])", "lagstat-tica: error: '{fifo}' is given twice"),
    ("cli_main(['scan', good, fifo, 'f.fifo', '--lags', '2'])", "'{fifo}' and 'f.fifo' are the same file"),
    ("TICA(2).fit([fifo, good, fifo])", "'{fifo}' is given twice"),
    ("lagstat_tica.scan(['/dev/stdin', good, '/proc/self/fd/0'], [2])",
     "'/dev/stdin' and '/proc/self/fd/0' are the same file"),
    ("cli_main(['/dev/stdin', '/dev/stdin', '--lag', '2'])", "'/dev/stdin' is given twice"),
])
def test_a_stream_named_twice_is_refused_before_it_is_opened(tmp_path, code, message):
    good = write_frames(tmp_path / "good.txt", slow_process(100, 3, seed=1))
    fifo = str(tmp_path / "f.fifo")
    os.mkfifo(fifo)
    script = ("import sys, lagstat_tica\nfrom lagstat_tica import TICA\nfrom lagstat_tica.cli import main as cli_main\n"
              "fifo, good = %r, %r\ntry:\n    sys.exit(%s)\nexcept ValueError as exc:\n    sys.exit(str(exc))\n"
              % (fifo, good, code))
    read_end, write_end = os.pipe()  # a silent writer stays connected
    try:
        proc = subprocess.run([sys.executable, "-c", script], stdin=read_end, capture_output=True,
                              text=True, cwd=tmp_path, timeout=60)
    finally:
        os.close(read_end)
        os.close(write_end)
    assert proc.returncode == 1 and message.format(fifo=fifo) in proc.stderr.strip().splitlines()[-1], proc.stderr


# --- moments ---------------------------------------------------------------------------------


def test_moments_are_centred_sums_within_files(dataset):
    paths, arrays = dataset
    lag = 12
    d = moments(paths, lag, progress=False)
    allx = np.concatenate(arrays)
    a = allx.mean(axis=0)
    z = [x - a for x in arrays]
    np.testing.assert_allclose(d["mean"], a, rtol=1e-13)
    assert float(d["samples"]) == sum(LENGTHS)
    assert float(d["tcov_samples"]) == sum(n - lag for n in LENGTHS)
    np.testing.assert_allclose(d["var"], sum((y * y).sum(axis=0) for y in z), rtol=1e-11)
    np.testing.assert_allclose(d["cov"], sum(y.T @ y for y in z), rtol=1e-10, atol=1e-9)
    np.testing.assert_allclose(d["tcov"], sum(y[:-lag].T @ y[lag:] for y in z), rtol=1e-10, atol=1e-9)
    assert np.array_equal(d["cov"], d["cov"].T)


def test_moments_single_column_entries_are_scalars(tmp_path):
    path = write_frames(tmp_path / "one.txt", np.arange(10.0))
    d = moments([path], 3, progress=False)
    assert all(np.ndim(d[k]) == 0 for k in ("mean", "var", "cov", "tcov", "samples", "tcov_samples"))
    z = np.arange(10.0) - 4.5
    assert float(d["tcov"]) == pytest.approx(np.dot(z[:-3], z[3:]))


@pytest.mark.skipif(os.environ.get("LAGSTAT_SANITIZED") == "1", reason="AddressSanitizer keeps freed memory")
def test_many_lags_cost_about_their_sums(tmp_path):
    """5000 lags of one column: 200 kB of sums; their read had taken about 50 KiB more per lag."""
    path = write_frames(tmp_path / "one.txt", np.random.default_rng(5).normal(size=(20000, 1)))
    code = ("import resource; from lagstat_tica import _native\n"
            "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "out = _native.open(%r).scan(range(1, 5001), threads=2)\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, out['pairs'][-1])" % str(path))
    grown, pairs = map(int, subprocess.run([sys.executable, "-c", code], capture_output=True, check=True,
                                           text=True, timeout=120).stdout.split())
    assert pairs == 15000 and grown < 64 * 1024  # KiB: the reader's buffers, not 250 MiB


@pytest.mark.parametrize("threads", [2.5, True, np.True_, "2", 0, -2])
def test_bad_threads_are_refused_before_a_pipe_is_read(threads):
    read_end, write_end = os.pipe()
    os.write(write_end, b"1 2\n3 4\n")
    os.close(write_end)
    try:
        with pytest.raises(ValueError, match="threads must be"):
            _moments.one_read(["/dev/fd/%d" % read_end], [1], threads=threads)
        assert os.read(read_end, 100) == b"1 2\n3 4\n"
    finally:
        os.close(read_end)


def test_glob_patterns_expand_sorted(dataset):
    paths, _ = dataset
    pattern = os.path.join(os.path.dirname(paths[0]), "part*.txt")
    for ending in (".tica.txt", ".tica.npy", ".tica.time.npy", ".tica.segments.npy", ".tica.h5"):
        write_frames(paths[0] + ending, np.ones((3, 2)))  # a projection is never taken for input
    assert lagstat_tica.expand_files([pattern]) == sorted(paths)
    assert lagstat_tica.expand_files([pattern + "*"]) == sorted(paths)
    with pytest.raises(FileNotFoundError):
        lagstat_tica.expand_files([pattern + ".nothing*"])
    with pytest.raises(FileNotFoundError):
        lagstat_tica.expand_files([paths[0] + ".missing"])


def test_inconsistent_inputs_are_refused(tmp_path, dataset):
    paths, _ = dataset
    narrow = write_frames(tmp_path / "narrow.txt", np.ones((50, 3)))
    with pytest.raises(ValueError, match="different numbers of columns"):
        moments([paths[0], narrow], 2, progress=False)
    bad = tmp_path / "bad.txt"
    bad.write_text("1 2 3\n4 5\n")
    with pytest.raises(ValueError, match="bad.txt"):
        moments([str(bad)], 1, progress=False)
    with pytest.raises(ValueError, match="no lagged pairs"):
        TICA(60).fit([narrow])
    with pytest.raises(ValueError, match="lag"):
        moments(paths, 0, progress=False)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda p, c: TICA(2**31).fit(p), ValueError, "lag must be between 1 and 2147483647"),
        (lambda p, c: TICA().fit(p), ValueError, "TICA needs a lag"),
        (lambda p, c: TICA(2, lagtime=2), ValueError, "lag and lagtime are one parameter"),
        (lambda p, c: TICA(2).set_params(lag=3, lagtime=3), ValueError, "lag and lagtime are one parameter"),
        (lambda p, c: TICA(2).set_params(lags=3), ValueError, "invalid parameter 'lags' for TICA"),
        (lambda p, c: TICA(2, dim=0).fit(p), ValueError, "dim must be a positive integer"),
        (lambda p, c: TICA(2, scaling="map").fit(np.ones((5, 2))), ValueError, "scaling must be one of"),
        (lambda p, c: TICA(2, 3), TypeError, "positional"),
        (lambda p, c: TICA(2).fit(p, 2, 3), TypeError, "positional"),
        (lambda p, c: TICA(2, observable_transform=abs), TypeError, "fit\\(files, columns="),
        (lambda p, c: TICA(2).fit(p, weights=np.ones(3)), ValueError, "weights= with files names their weights column"),
        (lambda p, c: TICA(2).fit(p, lagtime=2), TypeError, "TICA\\(lag=...\\)"),
        (lambda p, c: TICA(2).fit(p).score(2), TypeError, "score\\(r=2\\)"),
        (lambda p, c: TICA(2).fit(p).score(r=0.5), ValueError, "r must be a number >= 1"),
        (lambda p, c: TICA(2).fit(p).score(p, test_model=None), TypeError, "score\\(data\\)"),
        (lambda p, c: TICA(2).fit(p).singular_values, AttributeError, "eigenvalues_"),
        (lambda p, c: TICA(2).partial_fit(np.arange(63.0).reshape(9, 7) ** 2 % 5).partial_fit(np.ones((3, 2))),
         ValueError, "the chunk has 2 columns, the trajectory 7"),
        (lambda p, c: TICA(2).fit_transform(p), ValueError, "transform_files"),
        (lambda p, c: TICA(2).fit([np.ones((9, 2)), np.ones((9, 3))]), ValueError, "different numbers of columns"),
        (lambda p, c: TICA(2).fit(np.ones((2, 3, 4))), ValueError, "\\(T, n\\) array"),
        (lambda p, c: TICA(2).fit(p).score(np.ones((20, 2))), ValueError, "data have 2 columns, the model 7"),
        (lambda p, c: moments(p, 2, 2), TypeError, "positional"),
        (lambda p, c: moments(p, 2, n_jobs=0, progress=False), ValueError, "n_jobs"),
        (lambda p, c: TICA(2, epsilon=0).fit([c]), ValueError, "all input columns are constant"),
        (lambda p, c: TICA(2, epsilon=1e9).fit(p), ValueError, "above epsilon = 1e\\+09; the largest is 1"),
        (lambda p, c: os.link(c, c + ".2") or moments([c, c + ".2"], 2, progress=False), ValueError,
         "c.txt' and '.*c.txt.2' are the same file"),
    ],
)
def test_api_refusals(tmp_path, dataset, call, error, match):
    constant = write_frames(tmp_path / "c.txt", np.full((20, 2), 7.0))
    with pytest.raises(error, match=match):
        call(dataset[0], constant)


@pytest.mark.parametrize("call", [lambda m: m.transform(np.ones((3, 7))), lambda m: m.score(),
                                  lambda m: m.to_deeptime(),
                                  lambda m: m.fetch_model(), lambda m: m.projection_,
                                  lambda m: m.cumulative_kinetic_variance_, lambda m: m.transform_files([], "out")])
def test_unfitted_models_raise_one_error(call):
    with pytest.raises(lagstat_tica.NotFittedError, match="not fitted yet") as info:
        call(TICA(lagtime=3))
    assert isinstance(info.value, ValueError) and isinstance(info.value, AttributeError)


@pytest.mark.parametrize("params", [
    {"lag": 3}, {"lagtime": 3}, {"lag": np.int64(3), "dim": 2, "scaling": None},
    {"lag": 3, "var_cutoff": 0.9, "epsilon": 1e-3}, {"lag": 0, "dim": -1, "scaling": "map"},  # checked by fit
])
def test_parameters_as_scikit_learn_has_them(dataset, params):
    """Stored as given, so that clone and set_params work; repr names them; fetch_model outlives a refit."""
    model = TICA(**params)
    given = {"lag" if k == "lagtime" else k: v for k, v in params.items()}
    assert all(model.get_params()[k] is v for k, v in given.items())
    assert model.lagtime is model.lag and eval(repr(model), {"TICA": TICA, "np": np}).get_params() == model.get_params()
    twin = TICA(lag=99).set_params(**params)
    assert twin.get_params() == model.get_params()
    try:
        import sklearn.base
    except ImportError:
        pass
    else:
        assert sklearn.base.clone(model).get_params() == model.get_params()
    if params.get("lag") == 0:
        with pytest.raises(ValueError):
            model.fit(dataset[1])
        return
    fetched = model.fit(dataset[1]).fetch_model()
    before = fetched.eigenvalues_.copy()
    model.set_params(lag=40).fit(dataset[1])
    assert np.array_equal(fetched.eigenvalues_, before) and fetched.lag_ == 3 and model.lag_ == 40


@pytest.mark.parametrize("code, terminal, drawn", [
    ("moments(paths, 2)", True, False),  # off by default
    ("moments(paths, 2, progress=True)", False, False),  # no carriage returns in a batch log
    ("moments(paths, 2, progress=True)", True, True),
    ("TICA(2).fit(paths, progress=True)", True, True),
])
def test_progress_bars_only_when_asked_and_on_a_terminal(dataset, code, terminal, drawn):
    import pty
    pytest.importorskip("tqdm")
    script = ("import sys\nfrom lagstat_tica import TICA, moments, _parallel\nmade, bar = [], _parallel._progress_bar\n"
              "_parallel._progress_bar = lambda *a: made.append(bar(*a)) or made[-1]\npaths = %r\n%s\n"
              "print(sum(b is not None for b in made))\n" % (dataset[0], code))
    leader, follower = pty.openpty() if terminal else os.pipe()
    try:
        proc = subprocess.run([sys.executable, "-c", script], stderr=follower, capture_output=False,
                              stdout=subprocess.PIPE, text=True, timeout=120)
    finally:
        os.close(follower)
        os.close(leader)
    assert proc.returncode == 0
    assert (int(proc.stdout) > 0) == drawn


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("runner", [1, 2, "dask"])
def test_errors_keep_file_line_and_errno_across_workers(request, tmp_path, dataset, runner):
    """Exceptions come back from workers as the extension raised them: errno, filename, notes."""
    kw = {"client": request.getfixturevalue("dask_client")} if runner == "dask" else {"n_jobs": runner}
    bad, empty = tmp_path / "bad.txt", tmp_path / "empty.txt"
    bad.write_text("1 2 3 4 5 6 7\n1 2 3 x 5 6 7\n")
    empty.write_text("")
    with pytest.raises(ValueError) as info:
        moments([dataset[0][0], str(bad)], 1, progress=False, **kw)
    assert_line_error(info.value, str(bad), 2)
    with pytest.raises(OSError) as info:
        TICA(1).fit([dataset[0][0], str(empty)], **kw)
    assert (info.value.errno, info.value.filename) == (errno.ENODATA, str(empty))
    with pytest.raises(ValueError) as info:
        TICA(1).fit([dataset[0][0], str(bad)], **kw)
    assert_line_error(info.value, str(bad), 2)


def test_parallel_paths_equal_serial(dataset, dask_client):
    """Process pool and Dask give bit-identical statistics and models to the serial run."""
    paths, _ = dataset
    lag = 5
    serial = moments(paths, lag, n_jobs=1, progress=False)
    pooled = moments(paths, lag, n_jobs=2, progress=False)
    dasked = moments(paths, lag, client=dask_client, progress=False)
    dask_model = TICA(lag).fit(paths, client=dask_client)
    for other in (pooled, dasked):
        assert other.keys() == serial.keys()
        for key in serial:
            assert np.array_equal(bits(other[key]), bits(serial[key])), key
    serial_model = TICA(lag).fit(paths)
    pool_model = TICA(lag).fit(paths, n_jobs=2)
    for m in (pool_model, dask_model):
        for name in ("mean_", "cov_", "cov_tau_", "eigenvalues_", "eigenvectors_"):
            assert np.array_equal(bits(getattr(m, name)), bits(getattr(serial_model, name))), name


ULP_UNIT = 2.0 ** -52


def ill_conditioned(frames, columns, seed):
    """A slow three-well process (rare jumps between wells at -2, 0 and 2, an AR(1) wobble in
    each) and noise columns of scales 1e-6 to 1e6, each mixed with a little of the slow one and
    offset by three of its scales: C00's condition number is about 1e21."""
    rng = np.random.default_rng(seed)
    jumps = np.cumsum(rng.random(frames) < 2e-4)
    wells = np.array([-2.0, 0.0, 2.0])[rng.integers(1, 3, size=jumps[-1] + 1).cumsum() % 3]
    slow = wells[jumps] + lfilter([0.1], [1.0, -0.95], rng.standard_normal(frames))
    scales = np.logspace(-6, 6, columns - 1)
    noise = scales * (rng.standard_normal((frames, columns - 1)) + 0.3 * slow[:, None] + 3.0)
    return np.column_stack([slow + 7.0, noise])


@pytest.fixture(scope="module")
def accuracy_set(tmp_path_factory):
    """A million frames, the .npy files of its two pieces, and per way of cutting it the exact
    covariances of a few elements and deeptime's errors on them (computed once)."""
    import reference

    x = ill_conditioned(1_000_000, 10, seed=3)
    lag, n = 10, x.shape[1]
    elements = [(0, 0), (0, n - 1), (n - 1, n - 1), (1, n - 2), (4, 4), (2, 7)]
    d = tmp_path_factory.mktemp("accuracy")
    pieces = [x[:600_000], x[600_000:]]
    paths = [str(d / "a.npy"), str(d / "b.npy")]
    for path, piece in zip(paths, pieces):
        np.save(path, piece)
    cuts = {}
    for name, trajectories in (("whole", [x]), ("pieces", pieces)):
        exact = reference.exact_pair_covariances(trajectories, lag, elements)
        theirs = peer(trajectories, lag)
        cuts[name] = (trajectories, exact, pair_errors(theirs.cov_00, theirs.cov_0t, exact, elements))
    return {"lag": lag, "elements": elements, "paths": paths, "cuts": cuts}


def pair_errors(c00, c0t, exact, elements):
    """|C_ij - exact| / sqrt(C_ii C_jj) of C00 and C0t at each element, in units of 2^-52."""
    from fractions import Fraction

    out = []
    for (i, j), (e00, e0t) in zip(elements, exact):
        norm = np.sqrt(c00[i, i] * c00[j, j]) * ULP_UNIT
        out += [float(abs(Fraction(float(c[i, j])) - e)) / norm for c, e in ((c00, e00), (c0t, e0t))]
    return np.array(out)


@pytest.mark.parametrize(
    "cut, source, kw",
    [
        ("whole", "arrays", {"threads": 1}),
        ("whole", "arrays", {"threads": 2}),
        ("whole", "arrays", {"threads": 8}),
        ("pieces", "arrays", {"threads": 3}),
        ("pieces", "files", {"n_jobs": 1}),
        ("pieces", "files", {"n_jobs": 2, "threads": 1}),
        ("pieces", "files", "dask"),
    ],
)
# Accuracy of arithmetic, not memory safety: the sanitizers see the same paths in the smaller fits.
@pytest.mark.skipif(os.environ.get("LAGSTAT_SANITIZED") == "1", reason="a million frames: too slow under ASan")
# One worker builds the million frames and their exact sums for all of them.
@pytest.mark.xdist_group("accuracy")
def test_covariances_within_a_few_ulps_of_exact(request, accuracy_set, cut, source, kw):
    """Every element checked of C00 and C0t (re-basing to the pair mean and between files
    included) within 4 x 2^-52 of the exact products' covariances in correlation units, no
    further off than deeptime's, and the same bits as one thread reading the arrays."""
    lag, elements = accuracy_set["lag"], accuracy_set["elements"]
    trajectories, exact, theirs = accuracy_set["cuts"][cut]
    if kw == "dask":
        kw = {"client": request.getfixturevalue("dask_client")}
    model = TICA(lag).fit(trajectories if source == "arrays" else accuracy_set["paths"], **kw)
    ours = pair_errors(model.cov_, model.cov_tau_, exact, elements)
    assert ours.max() <= 4.0, ours
    assert ours.max() <= theirs.max(), (ours, theirs)
    serial = TICA(lag).fit(trajectories, threads=1)
    for name in ("mean_", "cov_", "cov_tau_"):
        assert np.array_equal(bits(getattr(model, name)), bits(getattr(serial, name))), name


# --- projections and command line -----------------------------------------------------------


def test_transform_files_matches_transform(tmp_path, dataset):
    paths, arrays = dataset
    model = TICA(10, dim=3).fit(paths)
    outs = model.transform_files(paths, tmp_path / "proj", n_jobs=2)
    assert [os.path.basename(o) for o in outs] == [os.path.basename(p) + ".tica.txt" for p in paths]
    for out, x in zip(outs, arrays):
        y = np.loadtxt(out)
        assert y.shape == (len(x), 3)
        np.testing.assert_allclose(y, model.transform(x), rtol=0, atol=5e-7 + 1e-9)
    for trajs in (arrays, [x[:100] for x in arrays], tuple(arrays[:1])):  # a list of any lengths: a list
        ys = model.transform(trajs)
        assert isinstance(ys, list) and [y.shape for y in ys] == [(len(x), 3) for x in trajs]
        assert all(np.array_equal(y, model.transform(x)) for y, x in zip(ys, trajs))
    empty = tmp_path / "empty.txt"
    empty.write_text("")
    with pytest.raises(OSError):  # fails before writing: the folders it made go again
        model.transform_files([str(empty)], tmp_path / "new" / "deeper")
    assert not (tmp_path / "new").exists()
    bad = write_frames(tmp_path / "bad.txt", arrays[1], trailer="1 2 x\n")
    with pytest.raises(ValueError):  # what was written of bad.txt goes, the finished output stays
        model.transform_files([paths[0], bad], tmp_path / "cut", n_jobs=1)
    left = [os.path.join(d, f) for d, _, fs in os.walk(tmp_path / "cut") for f in fs]
    assert left == output_paths([paths[0], bad], str(tmp_path / "cut"))[:1]
    assert np.loadtxt(left[0]).shape == (LENGTHS[0], 3)


def test_cli_prints_writes_and_plots(tmp_path, dataset, capsys):
    paths, _ = dataset
    out = tmp_path / "out"
    png = tmp_path / "tica.png"
    rc = cli_main(paths + ["--lag", "10", "--dim", "2", "--out", str(out), "--jobs", "2", "--plot", str(png),
                           "--quiet"])
    assert rc == 0
    text = capsys.readouterr().out
    model = TICA(10, dim=2).fit(paths)
    rows = [line.split() for line in text.splitlines() if line.split() and line.split()[0].isdigit()]
    assert len(rows) == N_COLS
    np.testing.assert_allclose([float(r[1]) for r in rows], model.eigenvalues_, rtol=1e-14)
    np.testing.assert_allclose([float(r[2]) for r in rows], model.timescales_, rtol=1e-14)
    assert sorted(os.listdir(out)) == sorted(os.path.basename(p) + ".tica.txt" for p in paths)
    assert np.loadtxt(out / (os.path.basename(paths[0]) + ".tica.txt")).shape == (LENGTHS[0], 2)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    for fmt, ending in (("npy", ".tica.npy"), ("h5", ".tica.h5")):  # the figure drawn from these as well
        png.unlink()
        assert cli_main(paths + ["--lag", "10", "--dim", "2", "--out", str(tmp_path / fmt), "--format", fmt,
                                 "--out-time", "--plot", str(png), "--quiet"]) == 0
        assert sorted(os.listdir(tmp_path / fmt)) == sorted(os.path.basename(p) + ending for p in paths)
        assert png.exists() and "2 components, %s) written" % fmt in capsys.readouterr().out


@pytest.mark.parametrize("lags, lag, n_obs, tested", [
    ([1, 2, 3, 5, 10, 50], 5, 2, [5, 10, 50]),
    ([2, 4, 7, 8], 2, 1, [2, 4, 8]),
])
def test_scan_ck_test_is_the_fitted_models(tmp_path, dataset, capsys, lags, lag, n_obs, tested):
    """The scan's test at one of its lags: that of TICA fitted at the lag with dim n_obs, tested at
    the scanned multiples (which it reads again), as printed and drawn by the command."""
    paths, _ = dataset
    result = lagstat_tica.scan(paths, lags, folds=0)
    got = result.ck_test(lag, n_obs)
    want = TICA(lag, dim=n_obs).fit(paths).ck_test(tested, n_obs)
    assert list(got.lagtimes) == [0] + tested and got.n_components == n_obs
    for a, b in ((got.predictions, want.predictions), (got.estimates, want.estimates)):
        np.testing.assert_allclose(a[1:], b[1:], rtol=1e-9, atol=1e-12)
    png = tmp_path / "ck.png"
    assert cli_main(["scan", *paths, "--lags", ",".join(map(str, lags)), "--ck", str(lag), "--ck-observables",
                     str(n_obs), "--ck-plot", str(png), "--folds", "0", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert got.table() in out and png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with pytest.raises(ValueError, match="not among the scanned lags"):
        result.ck_test(lag + 1000)


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["missing.txt", "--lag", "3"], 1, "[Errno 2] No such file or directory: 'missing.txt'"),
        (["{good}", "--lag", "0"], 2, "--lag"),
        (["{good}", "--lag", "x"], 2, "--lag"),
        (["{good}", "--lag", "2147483648"], 2, "--lag: must be at most 2147483647"),
        (["{good}", "--lag", "2147483647"], 1, "lag 2147483647, but the longest file ({good}) has 100 frames"),
        (["{good}"], 2, "--lag"),
        (["{good}", "--lag", "2", "--dim", "-1"], 2, "--dim"),
        (["{good}", "--lag", "2", "--jobs", "0"], 2, "--jobs"),
        (["{good}", "--lag", "2", "--epsilon", "-1"], 2, "argument --epsilon: must be finite and >= 0, got -1"),
        (["{good}", "--lag", "2", "--out", ""], 2, "argument --out: needs a name, got ''"),
        (["{good}", "--lag", "2", "--plot", ""], 2, "argument --plot: needs a name, got ''"),
        (["{good}", "--lag", "2", "--format", "npy"], 2, "--format and --out-time are options of --out"),
        (["{good}", "--lag", "2", "--out-time"], 2, "--format and --out-time are options of --out"),
        (["{good}", "--lag", "2", "--out", "new", "--format", "csv"], 2, "argument --format: invalid choice"),
        (["{good}", "{bad}", "--lag", "2", "--out", "new"], 1,
         "Unexpected line format or read error. (in '{bad}', line 2)"),
        (["{good}", "{huge}", "--lag", "2", "--out", "new"], 1, "huge.txt: values too large or not finite"),
        (["{good}", "--lag", "500"], 1, "no lagged pairs"),
        (["{good}", "--lag", "2", "--out", "{good}/new"], 1, "output folder: Not a directory: '{good}'"),
        (["{good}", "--lag", "2", "--plot", "new/t.png"], 1, "folder of --plot does not exist"),
        (["{good}", "--lag", "2", "--plot", "{good}"], 1, "would overwrite an input"),
        (["{good}", "{good}.tica.txt", "--lag", "2", "--out", "."], 1,
         "output './good.txt.tica.txt' would overwrite input '{good}.tica.txt'"),
        (["{good}", "g*.txt", "--lag", "2"], 1, "'good.txt' are the same file"),
        (["{good}", "good.txt.gz", "--lag", "2", "--out", "new"], 1, "share a base name"),
        (["{good}", "--lag", "2", "--kT", "2.5"], 2, "--kT turns the --weights column's bias into weights"),
        (["{good}", "--lag", "2", "--weights", "3", "--koopman-weights"], 2, "give it without --weights"),
        (["{good}", "--lag", "2", "--weights", "0"], 2, "column numbers count from 1"),
        (["{good}", "--lag", "2", "--weights", "x7"], 1, "no weights column 'x7'"),
        (["{good}", "--lag", "2", "--weights", "3", "--columns", "3"], 1, "the weights column 'x2' is not a feature"),
        (["{bad}", "--lag", "1", "--weights", "1"], 1, "bad.txt, line 2: could not convert string 'oops'"),
        (["/dev/stdin", "--lag", "2", "--koopman-weights"], 1, "/dev/stdin is a pipe, which cannot be read again"),
    ],
)
def test_cli_errors(tmp_path, args, status, message):
    good = write_frames(tmp_path / "good.txt", slow_process(100, 3, seed=1))
    write_frames(tmp_path / "good.txt.tica.txt", slow_process(100, 3, seed=2))
    bad = tmp_path / "bad.txt"
    bad.write_text("1 2 3\n1 2 oops\n")
    huge = tmp_path / "huge.txt"
    huge.write_text("1 2 3\n1 1e999 3\n")
    (tmp_path / "sub").mkdir()
    write_frames(tmp_path / "sub" / "good.txt", slow_process(100, 3, seed=3))
    write_frames(tmp_path / "good.txt.gz", slow_process(100, 3, seed=4))
    names = dict(good=good, bad=bad, huge=huge)
    argv = [a.format(**names) for a in args]
    proc = subprocess.run([sys.executable, "-m", "lagstat_tica", *argv, "--quiet"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=120)
    assert proc.returncode == status
    last = proc.stderr.strip().splitlines()[-1]
    assert last.startswith("lagstat-tica: error:") and message.format(**names) in last, proc.stderr
    assert "Traceback" not in proc.stderr
    assert not (tmp_path / "new").exists()


def _alive(pid):  # neither gone nor a zombie
    try:
        return open("/proc/%d/stat" % pid).read().rsplit(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def _descendants(pid):
    try:
        children = [int(c) for t in os.listdir("/proc/%d/task" % pid)
                    for c in open("/proc/%d/task/%s/children" % (pid, t)).read().split()]
    except OSError:  # a thread ended while being looked at
        return []
    return children + [d for c in children for d in _descendants(c)]


# The command with SIGINT handled as in a terminal, also when this runs as a shell's background
# job (SIGINT ignored).
AS_IN_A_TERMINAL = "import runpy, signal; signal.signal(signal.SIGINT, signal.default_int_handler); " \
                   "runpy.run_module('lagstat_tica', run_name='__main__')"


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs Linux's /proc")
@pytest.mark.parametrize("sig, status, line, slow_start", [
    (signal.SIGTERM, 143, "lagstat-tica: terminated", False),
    (signal.SIGINT, 130, "lagstat-tica: interrupted", False),
    (signal.SIGKILL, -signal.SIGKILL, None, False),
    # Stopped while the workers start: forked with the signal handlers the pool's bookkeeping
    # holds, they must die all the same.
    (signal.SIGINT, 130, "lagstat-tica: interrupted", True),
])
def test_cli_stopped_by_a_signal_takes_its_workers_along(tmp_path, dataset, sig, status, line, slow_start):
    # The workers read slowly: each file's open first sleeps (the command's own look at the
    # files' first lines does not).
    (tmp_path / "sitecustomize.py").write_text(
        "import os, time\nfrom lagstat_tica import _native\n_open, _main = _native.open, os.getpid()\n"
        "_native.open = lambda *a: (os.getpid() != _main and time.sleep(60), _open(*a))[1]\n"
        + ("from lagstat_tica import _parallel\n_init = _parallel._worker_init\n"
           "_parallel._worker_init = lambda *a: (time.sleep(3), _init(*a))\n" if slow_start else ""))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    proc = subprocess.Popen([sys.executable, "-c", AS_IN_A_TERMINAL, *dataset[0][:2], "--lag", "2", "--jobs", "2",
                             "--quiet"],
                            env=env, stderr=subprocess.PIPE, text=True)
    workers = []
    try:
        for _ in range(600):
            if len(workers) >= 2:
                break
            time.sleep(0.1)
            workers = _descendants(proc.pid)
        proc.send_signal(sig)
        assert proc.wait(timeout=30) == status
        for _ in range(100):
            if not any(map(_alive, workers)):
                break
            time.sleep(0.1)
        assert len(workers) >= 2 and not any(map(_alive, workers))
        assert proc.stderr.read().strip() == (line or "")  # EOF only once the workers are gone
    finally:
        proc.kill()
        for pid in filter(_alive, workers):
            os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("command, sig, status, line", [
    ([], signal.SIGTERM, 143, "lagstat-tica: terminated"),
    ([], signal.SIGINT, 130, "lagstat-tica: interrupted"),
    (["scan"], signal.SIGTERM, 143, "lagstat-tica: terminated"),
])
def test_cli_stops_for_a_signal_whose_exception_python_dropped(tmp_path, dataset, command, sig, status, line):
    # The handler's exception raised in a weakref callback (as h5py closes files) is only
    # reported by Python; the command must still stop with the signal's status, not exit 0.
    (tmp_path / "sitecustomize.py").write_text(
        "import signal, weakref\nfrom lagstat_tica import _scan, _tica\n"
        "def lose(f):\n"
        "    def run(*a, **k):\n"
        "        out = f(*a, **k)\n"
        "        class O: pass\n"
        "        o = O(); r = weakref.ref(o, lambda _: signal.raise_signal(%d)); del o\n"
        "        return out\n"
        "    return run\n"
        "_tica.TICA.fit = lose(_tica.TICA.fit); _scan.scan = lose(_scan.scan)\n" % sig)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    lags = ["--lags", "1,2"] if command else ["--lag", "2"]
    proc = subprocess.run([sys.executable, "-c", AS_IN_A_TERMINAL, *command, *dataset[0][:2], *lags, "--quiet"],
                          env=env, capture_output=True, text=True, timeout=120)
    assert "Exception ignored" in proc.stderr  # the exception was indeed lost
    assert (proc.returncode, proc.stderr.strip().splitlines()[-1]) == (status, line)


@pytest.mark.parametrize("sig, status, jobs, fmt", [(signal.SIGINT, 130, 1, "text"), (signal.SIGTERM, 143, 2, "text"),
                                                    (signal.SIGINT, 130, 2, "npy"), (signal.SIGTERM, 143, 1, "h5")])
def test_cli_stopped_while_projecting_leaves_only_whole_outputs(tmp_path, sig, status, jobs, fmt):
    frames = 150_000
    paths = [write_frames(tmp_path / ("in%d.txt" % i), slow_process(frames, 3, seed=i)) for i in range(3)]
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-c", AS_IN_A_TERMINAL, *paths, "--lag", "2", "--out", str(out),
                             "--jobs", str(jobs), "--format", fmt, "--quiet"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        # stopped as soon as an output has its first bytes, so within the writing of a file
        while not (out.is_dir() and any(e.stat().st_size for e in os.scandir(out))) and proc.poll() is None:
            assert time.monotonic() < deadline
            time.sleep(0.001)
        proc.send_signal(sig)
        assert proc.wait(timeout=60) == status, proc.stderr.read()
    finally:
        proc.kill()
    left = sorted(os.listdir(out)) if out.exists() else []
    ending = {"text": ".tica.txt", "npy": ".tica.npy", "h5": ".tica.h5"}[fmt]
    assert set(left) <= {os.path.basename(p) + ending for p in paths}  # no temporaries
    for name in left:
        if fmt == "text":
            assert sum(1 for _ in open(out / name)) == frames, name
        elif fmt == "npy":
            assert np.load(out / name).shape == (frames, 3)
        else:
            import h5py
            with h5py.File(out / name, "r") as h5:
                assert h5["projection"].shape == (frames, 3)


@pytest.mark.parametrize("sig, status, line", [(signal.SIGTERM, 143, "lagstat-tica: terminated"),
                                               (signal.SIGINT, 130, "lagstat-tica: interrupted")])
def test_cli_stopped_while_a_pipe_is_silent(tmp_path, sig, status, line):
    """A FIFO whose writer has it open and has written nothing: the look at its first bytes waits."""
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    start = "import runpy, signal; signal.signal(signal.SIGINT, signal.default_int_handler); " \
            "runpy.run_module('lagstat_tica', run_name='__main__')"
    proc = subprocess.Popen([sys.executable, "-c", start, fifo, "--lag", "1", "--quiet"],
                            stderr=subprocess.PIPE, text=True)
    writer = subprocess.Popen(["sh", "-c", 'exec 3>"$0"; exec sleep 60', fifo])
    try:
        time.sleep(1.5)
        proc.send_signal(sig)
        assert proc.wait(timeout=30) == status
        assert proc.stderr.read().strip() == line
    finally:
        proc.kill()
        writer.kill()
        writer.wait()


def test_cli_output_into_a_closed_pipe_ends_quietly(tmp_path, dataset):
    """As `lagstat-tica ... | head` when head has already gone."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    proc = subprocess.run([sys.executable, "-m", "lagstat_tica", dataset[0][0], "--lag", "2", "--quiet"],
                          stdout=write_end, stderr=subprocess.PIPE, text=True, timeout=120)
    os.close(write_end)
    assert (proc.returncode, proc.stderr) == (141, "")


# Without an optional dependency the moments still work; what needs it says what to install.
@pytest.mark.parametrize(
    "hidden, code, status, last_line",
    [
        ("scipy", "print(lagstat_tica.moments([good], lag=2)['samples'])", 0, "100.0"),
        ("scipy", "from lagstat_tica import TICA", 1,
         "ImportError: lagstat_tica.TICA needs SciPy, which is not installed: pip install 'lagstat[tica]'"),
        ("scipy", "sys.exit(main([good, '--lag', '2', '--quiet']))", 1,
         "lagstat-tica: error: lagstat_tica.TICA needs SciPy, which is not installed: pip install 'lagstat[tica]'"),
        ("matplotlib", "sys.exit(main([good, '--lag', '2', '--plot', 'f.png', '--quiet']))", 1,
         "lagstat-tica: error: --plot needs Matplotlib, which is not installed: pip install 'lagstat[tica]'"),
        ("h5py", "sys.exit(main([good, '--lag', '2', '--out', 'p', '--format', 'h5', '--quiet']))", 1,
         "lagstat-tica: error: the h5 format needs h5py, which is not installed: pip install h5py"),
        ("h5py", "lagstat_tica.TICA(2).fit([good]).transform_files([good], 'p', format='npy'); print('npy')", 0,
         "npy"),
    ],
)
def test_missing_optional_dependency(tmp_path, hidden, code, status, last_line):
    good = write_frames(tmp_path / "good.txt", slow_process(100, 3, seed=1))
    script = ("import sys; sys.modules[%r] = None\n"
              "import lagstat_tica\nfrom lagstat_tica.cli import main\ngood = %r\n%s" % (hidden, good, code))
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert proc.returncode == status, proc.stderr
    assert (proc.stderr if status else proc.stdout).strip().splitlines()[-1] == last_line
    if "main(" in code:  # the command line: one line, and nothing computed before it
        assert proc.stderr.count("\n") == 1 and proc.stdout == ""


# --- one read, many lags: the estimator on a read's sums, the scan and its command -------------


def sums_of(arrays, lags, shift):
    """A read's sums relative to shift, frame by frame: the oracle for one_read."""
    n, nl = arrays[0].shape[1], len(lags)
    out = dict(frames=0, shift=np.array(shift, float), sum=np.zeros(n), cov=np.zeros((n, n)), lags=list(lags),
               pairs=np.zeros(nl), tcov=np.zeros((nl, n, n)), head_sum=np.zeros((nl, n)), tail_sum=np.zeros((nl, n)),
               head_cov=np.zeros((nl, n, n)), tail_cov=np.zeros((nl, n, n)), dt=np.nan, per_file=[], segments=[])
    for x in arrays:
        z = x - shift
        out["frames"] += len(z)
        out["per_file"].append(len(z))
        out["segments"].append([(1, len(z), None, np.nan, np.nan)])
        for t in range(len(z)):
            out["sum"] += z[t]
            out["cov"] += np.outer(z[t], z[t])
            for i, lag in enumerate(lags):
                if t + lag < len(z):
                    out["pairs"][i] += 1
                    out["tcov"][i] += np.outer(z[t], z[t + lag])
                if t < lag:
                    out["head_sum"][i] += z[t]
                    out["head_cov"][i] += np.outer(z[t], z[t])
                if t >= len(z) - lag:
                    out["tail_sum"][i] += z[t]
                    out["tail_cov"][i] += np.outer(z[t], z[t])
    return out


def standin_read(arrays_of, far=0.0, rereadable=True, calls=None):
    """one_read over arrays_of(files); `far` standard deviations are added to the first read's
    shift, as a first frame that far out would leave it."""
    def one_read(files, lags, shift=None, keep_per_file=False, groups=None, **_):
        arrays = arrays_of(files)
        if shift is None:
            shift = arrays[0][0] + far * np.concatenate(arrays).std(axis=0)
        if calls is not None:
            calls.append(shift)
        out = sums_of(arrays, lags, shift)
        out["rereadable"] = [rereadable] * len(arrays)
        if keep_per_file:
            out["per_file_sums"] = [sums_of([x], lags, shift) for x in arrays]
        count = groups(len(arrays)) if groups is not None else 0
        if count:
            out["group_sums"] = [sums_of(arrays[g::count], lags, shift) for g in range(count)]
        return out
    return one_read


def deeptime_cv(arrays, lag, folds):
    tica = pytest.importorskip("deeptime.decomposition").TICA
    scores = []
    for f in range(folds):
        train = [x for j, x in enumerate(arrays) if j % folds != f]
        test = [x for j, x in enumerate(arrays) if j % folds == f]
        scores.append(tica(lagtime=lag).fit_fetch(train).score(r=2, test_model=tica(lagtime=lag).fit_fetch(test)))
    return scores


@pytest.mark.parametrize("frames, columns, files, folds, said", [
    (20, 8, 3, 0, ["lag 1: only 57 lagged pairs for 8 columns (fewer than 10 per column)"]),  # as the fit warns
    (40, 20, 6, 3, ["the held-out files score above the training data (lag 1, fold 1: "]),  # ill-conditioned folds
    (2000, 3, 4, 2, []),
])
def test_scan_warns_of_overfitting(tmp_path, frames, columns, files, folds, said):
    rng = np.random.default_rng(1)
    paths = [str(write_frames(tmp_path / ("f%d.txt" % i), rng.normal(size=(frames, columns)))) for i in range(files)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lagstat_tica.scan(paths, [1], folds=folds)
    texts = [str(w.message) for w in caught]
    assert len(texts) == len(said) and all(t.startswith(s) for t, s in zip(texts, said)), texts


@pytest.mark.parametrize("coefs, marked", [((-0.9, 0.5), True), ((0.9, 0.5), False), ((-0.6, -0.3), True)])
def test_negative_eigenvalues_one_rule(tmp_path, capsys, coefs, marked):
    """The fit and the scan give a negative eigenvalue the timescale of its magnitude, as deeptime's
    timescales() does, and both reports mark it."""
    rng = np.random.default_rng(2)
    x = np.column_stack([lfilter([1.0], [1.0, -c], rng.normal(size=3000)) for c in coefs])
    path = str(write_frames(tmp_path / "ar.txt", x))
    model, result = TICA(1).fit([path]), lagstat_tica.scan([path], [1, 2], folds=0)
    assert_rel(model.timescales_, peer([x], 1).timescales(), 1e-8)
    assert_rel(result.timescales[0], model.timescales_, 1e-12) and np.isfinite(result.timescales[0]).all()
    assert cli_main([path, "--lag", "1", "--quiet"]) == 0 and cli_main(["scan", path, "--lags", "1,2", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert ("(eigenvalue < 0)" in out, "* eigenvalue < 0" in out) == (marked, marked), out


@pytest.mark.parametrize("lags, folds", [((1, 7, 50), 4), ((3, 300), 2), ((1000, 2), 3)])
def test_scan_matches_deeptime(monkeypatch, dataset, lags, folds):
    """Eigenvalues, VAMP-2 and VAMP-2 cross-validated by files, at every lag of one read."""
    paths, arrays = dataset
    monkeypatch.setattr(_moments, "one_read", standin_read(lambda fs: arrays), raising=False)
    result = lagstat_tica.scan(paths, lags, folds=folds)
    assert list(result.lags) == sorted(lags) and result.n_reads == 1 and result.folds == folds
    for i, lag in enumerate(result.lags):
        ref = peer(arrays, lag)
        assert result.n_pairs[i] == sum(max(0, len(x) - lag) for x in arrays)
        assert_rel(result.eigenvalues[i], ref.singular_values, 1e-8)
        assert_rel(result.timescales[i], ref.timescales(), 1e-8)  # negative eigenvalues too
        assert_rel(result.vamp2[i], ref.score(r=2), 1e-8)
        assert_rel(result.vamp2_cv_folds[i], deeptime_cv(arrays, lag, folds), 1e-8)
        model = result.tica(lag, dim=2)
        assert model.dim_ == 2 and model.n_reads_ == 1
        assert_rel(model.eigenvalues_, ref.singular_values, 1e-8)
        for x in arrays:
            assert_equal_up_to_sign(model.transform(x)[:, :2], ref.transform(x)[:, :2], 1e-6)


def _offset(n, seed):
    return 1e6 + 1e-3 * slow_process(n, 4, seed)


def _drifting(n, seed):
    return slow_process(n, 4, seed) + np.linspace(0, 50, n)[:, None] * np.arange(1, 5)


def _outlier(n, seed):
    x = slow_process(n, 4, seed)
    x[0] += 1000 * x.std(axis=0)
    return x


@pytest.mark.parametrize(
    "make, far, rereadable, reads, warns",
    [
        # a frame of the data as shift keeps k <= sqrt(frames - 1): these need no second read
        (_offset, 0, True, 1, False),
        (_drifting, 0, True, 1, False),
        (_outlier, 0, True, 1, False),
        # a shift 1e5 standard deviations out (a first frame so far out among 1e10 frames)
        (_offset, 1e5, True, 2, False),
        (_outlier, 1e5, True, 2, False),
        (_offset, 1e5, False, 1, True),
    ],
)
def test_shift_far_from_the_mean_reads_again(tmp_path, monkeypatch, make, far, rereadable, reads, warns):
    arrays = [make(n, seed) for seed, n in enumerate((1500, 900))]
    paths = [write_frames(tmp_path / ("f%d.txt" % i), x) for i, x in enumerate(arrays)]
    shifts = []
    monkeypatch.setattr(_moments, "one_read", standin_read(lambda fs: arrays, far, rereadable, shifts), raising=False)
    lag = 5
    with pytest.warns(RuntimeWarning, match="cannot be read again") if warns else warnings.catch_warnings():
        if not warns:
            warnings.simplefilter("error")
        model = TICA(lag).fit(paths)
    assert model.n_reads_ == len(shifts) == reads
    ref = peer(arrays, lag)
    err = np.max(np.abs(model.eigenvalues_ - ref.singular_values) / np.abs(ref.singular_values))
    assert err > 1e-8 if warns else err <= 1e-8, err  # the first read alone would not do
    if reads == 2:
        allx = np.concatenate(arrays)  # the second shift: the mean, up to the first read's rounding
        assert np.all(np.abs(shifts[1] - allx.mean(axis=0)) <= 1e-6 * allx.std(axis=0))


@pytest.mark.parametrize("shift", ["first", "mean", "far"])
def test_rebased_sums_equal_a_read_with_that_shift(dataset, shift):
    from lagstat_tica import _estimator

    arrays = [x[:300] for x in dataset[1][:2]]
    lags = [1, 4, 299, 400]
    target = {"first": arrays[1][0], "mean": np.concatenate(arrays).mean(axis=0), "far": arrays[0][3] + 1e3}[shift]
    first = sums_of(arrays[:1], lags, arrays[0][0])
    got = _moments.rebase(_estimator.merge([first, sums_of(arrays[1:], lags, target)]), target)
    want = sums_of(arrays, lags, target)
    for key in ("frames", "pairs", "sum", "cov", "tcov", "head_sum", "tail_sum", "head_cov", "tail_cov"):
        # rounding: relative to the terms moved, which the sums about the mean cancel
        scale = max(np.max(np.abs(want[key])), np.max(np.abs(first[key])), 1.0)
        np.testing.assert_allclose(got[key], want[key], rtol=0, atol=1e-12 * scale, err_msg=key)


def test_cli_scan_prints_and_plots(tmp_path, dataset, capsys, monkeypatch):
    import matplotlib.figure
    paths, arrays = dataset
    png = tmp_path / "its.png"
    rc = cli_main(["scan", *paths, "--lags", "1,5,50", "--plot", str(png), "--dt", "0.5", "--folds", "2",
                   "--timescales", "2", "--quiet"])
    assert rc == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("4 files read once, %d frames; VAMP-2 cross-validated over 2 folds" % sum(LENGTHS))
    rows = [line.split() for line in lines[2:5]]
    assert [int(r[0]) for r in rows] == [1, 5, 50]
    for row in rows:
        lag = int(row[0])
        ref = peer(arrays, lag)
        assert float(row[1]) == lag * 0.5 and int(row[2]) == sum(len(x) - lag for x in arrays)
        np.testing.assert_allclose([float(v) for v in row[3:5]], ref.timescales()[:2], rtol=1e-5)
        np.testing.assert_allclose([float(v) for v in row[5:7]], 0.5 * ref.timescales()[:2], rtol=1e-5)
        np.testing.assert_allclose(float(row[7]), ref.score(r=2), rtol=1e-5)
        np.testing.assert_allclose(float(row[8]), np.mean(deeptime_cv(arrays, lag, 2)), rtol=1e-5)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    figure = png.read_bytes()

    def interrupted(fig, name, **kw):  # Ctrl-C while the figure is being written
        open(name, "wb").write(figure[:100])
        raise KeyboardInterrupt

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", interrupted)
    assert cli_main(["scan", *paths, "--lags", "1", "--plot", str(png), "--quiet"]) == 130
    assert os.listdir(tmp_path) == ["its.png"] and png.read_bytes() == figure  # the last whole figure


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["scan", "{good}", "--lags", "1,0"], 2, "--lags: must be >= 1, got 0 in '1,0'"),
        (["scan", "{good}"], 2, "--lags"),
        (["scan", "{good}", "--lags", "2", "--dt", "-1"], 2, "--dt"),
        (["scan", "{good}", "--lags", "200,100"], 1,
         "no lagged pairs: the shortest lag is 100, but the longest file ({good}) has 100 frames"),
        (["scan", "{good}", "--lags", "2", "--folds", "-1"], 2, "argument --folds: must be >= 0, got -1"),
        (["scan", "{good}", "--lags", "2", "--epsilon", "nan"], 2, "argument --epsilon: must be finite and >= 0"),
        (["scan", "{good}", "--lags", "2", "--plot", ""], 2, "argument --plot: needs a name"),
        (["scan", "{good}", "--lags", "2", "--plot", "new/t.png"], 1, "folder of --plot does not exist"),
        (["scan", "{good}", "--lags", "2,x"], 2, "--lags: not an integer: 'x' in '2,x'"),
        (["scan", "{good}", "--lags", "2", "--bootstrap", "50"], 1,
         "the bootstrap by blocks needs at least 20 blocks of at least 20 frames (10 x the longest lag) in the "
         "trajectories; their 100 frames make 5"),
        (["scan", "{good}", "--lags", "2", "--bootstrap", "50", "--ci", "1"], 2,
         "argument --ci: must be between 0 and 1, got 1"),
        (["scan", "{good}", "--lags", "2,3", "--ck", "2"], 1,
         "--ck 2 needs 2 among --lags and a multiple of it too (e.g. 4)"),
        (["scan", "{good}", "--lags", "4,8", "--ck", "2"], 1, "--ck 2 needs 2 among --lags"),
        (["scan", "{good}", "--lags", "2,4", "--ck-plot", "ck.png"], 1,
         "--ck-observables and --ck-plot are options of --ck LAG"),
    ],
)
def test_cli_scan_errors(tmp_path, capsys, args, status, message):
    good = write_frames(tmp_path / "good.txt", slow_process(100, 3, seed=1))
    argv = [a.format(good=good) for a in args] + ["--quiet"]
    try:
        rc = cli_main(argv)
    except SystemExit as exc:  # argparse's refusals
        rc = exc.code
    assert rc == status
    assert message.format(good=good) in capsys.readouterr().err.strip().splitlines()[-1]


def test_a_file_named_scan_is_read_as_dot_slash_scan(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    write_frames(tmp_path / "scan", slow_process(200, 3, seed=1))
    assert cli_main(["./scan", "--lag", "2", "--quiet"]) == 0
    assert "lag 2 frames: 1 files (bare columns), 200 frames" in capsys.readouterr().out


@pytest.mark.parametrize("as_pipe", [False, True])
def test_scan_of_a_restarted_colvar_keeps_its_segments_apart(tmp_path, as_pipe):
    x = slow_process(2400, 3, seed=8)
    lines = ["#! FIELDS time d1 d2 d3", "#! SET min_d1 0"]
    for t, row in enumerate(x):
        lines += ["#! FIELDS time d1 d2 d3"] * (t == 1000) + ["%g %s" % (0.5 * t, " ".join("%.17g" % v for v in row))]
    colvar = tmp_path / "COLVAR"
    colvar.write_text("\n".join(lines) + "\n")
    source = subprocess.Popen(["cat", str(colvar)], stdout=subprocess.PIPE) if as_pipe else None
    path = "/dev/fd/%d" % source.stdout.fileno() if as_pipe else str(colvar)
    try:
        result = lagstat_tica.scan([path], [1, 30], folds=0)
    finally:
        if source is not None:
            source.stdout.close()
            source.wait()
    if not as_pipe:  # the file is longer than the lag, its segments are not
        with pytest.raises(ValueError, match=r"the shortest lag is 1400, but the longest segment \(%s, from line "
                           r"1004\) has 1400 frames" % colvar):
            lagstat_tica.scan([path], [1400, 2000], folds=0)
    assert (result.columns, result.dt, result.n_frames) == (("d1", "d2", "d3"), 0.5, 2400)
    for i, lag in enumerate(result.lags):
        ref = peer([x[:1000], x[1000:]], lag)
        assert result.n_pairs[i] == 2400 - 2 * lag
        assert_rel(result.eigenvalues[i], ref.singular_values, 1e-8)
        assert_rel(result.vamp2[i], ref.score(r=2), 1e-8)


# --- file formats ---------------------------------------------------------------------------

FMT_NAMES = ("phi", "psi", "chi")
RESTART = 260  # COLVAR: frame where the run restarts, after going back two frames in time


def _colvar(x, t):
    rows = ["%.17g %.17g %.17g %.17g" % (ti, *xi) for ti, xi in zip(t, x)]
    rows[RESTART:RESTART] = ["#! FIELDS time phi psi chi"]
    rows.insert(40, "#! SET min_phi -pi")  # comments between data lines
    return "#! FIELDS time phi psi chi\n#! SET min_phi -pi\n" + "\n".join(rows) + "\n"


def _xvg(x, t):
    head = ('# gmx angle\n@    title "Dihedrals"\n@    xaxis  label "Time (ps)"\n@TYPE xy\n'
            '@ s0 legend "phi"\n@ s1 legend "psi"\n')
    rows = ["%.17g %.17g %.17g %.17g" % (ti, *xi) for ti, xi in zip(t, x)]
    rows.insert(100, "# a comment between data lines")
    return head + "\n".join(rows) + "\n"


def _csv(index, time, at=0, head=""):
    # As pandas.DataFrame.to_csv writes it: floats by repr, the index as an unnamed first column;
    # the time column `at` among the others; `head` '"' quotes the names (csv.QUOTE_NONNUMERIC)
    # and may begin with a byte-order mark (Excel's "CSV UTF-8").
    def write(x, t):
        names = list(FMT_NAMES)
        rows = [[repr(float(v)) for v in xi] for xi in x]
        if time:
            names.insert(at, time)
            for r, ti in zip(rows, t):
                r.insert(at, repr(float(ti)))
        if index:
            names, rows = [""] + names, [[str(i)] + r for i, r in enumerate(rows)]
        if '"' in head:
            names = ['"%s"' % n for n in names]
        return head.replace('"', "") + "".join(",".join(r) + "\n" for r in [names] + rows)
    return write


def _closed_xvg(x, t):
    return _xvg(x, t) + "&\n"  # as xmgrace ends every set


def _colvars(x, t):
    # As the Colvars module writes a .colvars.traj: the step right-aligned, the header again at a restart.
    head = "#%11s %21s %21s %21s" % ("step", *FMT_NAMES)
    rows = ["%12d %21.14e %21.14e %21.14e" % (round(ti * 500), *xi) for ti, xi in zip(t, x)]
    rows[RESTART:RESTART] = [head]
    return head + "\n" + "\n".join(rows) + "\n"


def _bare(x, t):
    return "# x0 x1 x2\n" + "\n".join("%.17g %.17g %.17g" % tuple(r) for r in x) + "\n"


# writer, kind, feature names, time field, loadtxt options for the same numbers, segments
FORMATS = {
    "colvar": (_colvar, "colvar", FMT_NAMES, 0, dict(comments="#", usecols=(1, 2, 3)), True),
    "xvg": (_xvg, "xvg", ("phi", "psi", "y3"), 0, dict(comments=("#", "@"), usecols=(1, 2, 3)), False),
    "csv_index": (_csv(True, None), "csv", FMT_NAMES, 0, dict(delimiter=",", skiprows=1, usecols=(1, 2, 3)),
                  False),
    "csv_time": (_csv(False, "time"), "csv", FMT_NAMES, 0, dict(delimiter=",", skiprows=1, usecols=(1, 2, 3)),
                 False),
    "csv_index_time": (_csv(True, "Time"), "csv", FMT_NAMES, 1, dict(delimiter=",", skiprows=1, usecols=(2, 3, 4)),
                       False),
    "csv_time_inside": (_csv(False, "TIME", at=1, head='\ufeff"'), "csv", FMT_NAMES, 1,
                        dict(delimiter=",", skiprows=1, usecols=(0, 2, 3)), False),
    "xvg_closed": (_closed_xvg, "xvg", ("phi", "psi", "y3"), 0, dict(comments=("#", "@", "&"), usecols=(1, 2, 3)),
                   False),
    "csv_plain": (_csv(False, None), "csv", FMT_NAMES, None, dict(delimiter=",", skiprows=1), False),
    "bare": (_bare, "columns", ("x0", "x1", "x2"), None, dict(), False),
    "colvars": (_colvars, "colvars", FMT_NAMES, 0, dict(comments="#", usecols=(1, 2, 3)), True),
}


def _compress(path, how):
    import bz2
    import lzma
    if how is None:
        return path
    data = open(path, "rb").read()
    out = path + "." + how
    if how == "zst":
        if not shutil.which("zstd"):
            pytest.skip("no zstd command")
        subprocess.run(["zstd", "-q", "-f", path, "-o", out], check=True)
    else:
        with {"gz": gzip, "bz2": bz2, "xz": lzma}[how].open(out, "wb") as f:
            f.write(data)
    return out


@pytest.mark.filterwarnings("ignore:.*time goes back")
@pytest.mark.parametrize("compression", [None, "gz", "bz2", "xz", "zst"])
@pytest.mark.parametrize("fmt", sorted(FORMATS))
def test_formats(tmp_path, capsys, monkeypatch, fmt, compression):
    """Each layout is recognised, fits like deeptime on np.loadtxt's numbers, sums like bare columns."""
    from lagstat_tica import _formats
    writer, kind, names, time, load, segmented = FORMATS[fmt]
    lag = 4
    x, t = slow_process(500, 3, seed=7), 0.02 * np.arange(500)
    if segmented:
        t[RESTART:] -= 0.04
    plain = tmp_path / ("run" + (".xvg" if "xvg" in fmt else ".csv" if "csv" in fmt else ".txt"))
    plain.write_text(writer(x, t))
    path = _compress(str(plain), compression)
    layout = _formats.detect(_formats.head_lines(path), path)
    assert (layout.kind, [layout.fields[i] for i in layout.features()], layout.time) == (kind, list(names), time)
    marker = _formats.ScanOptions()(path, _formats.head_lines(path)).get("segment_marker")
    assert (marker not in (None, "&")) == segmented  # an xvg's '&' ends its one set
    frames = np.loadtxt(plain, **load)
    parts = [frames[:RESTART], frames[RESTART:]] if segmented else [frames]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = TICA(lag).fit([path])
    assert [("time goes back" in str(w.message)) for w in caught] == ([True] if segmented else [])
    ref = peer(parts, lag)
    assert_rel(model.eigenvalues_, ref.singular_values, 1e-8)
    assert model.n_pairs_ == sum(len(p) - lag for p in parts) and model.columns_ == names
    bare = write_frames(tmp_path / "bare.txt", frames)
    ours, theirs = moments([path], lag, progress=False), moments([bare], lag, progress=False)
    for key in ("mean", "var", "cov", "samples") + (() if segmented else ("tcov", "tcov_samples")):
        assert np.array_equal(bits(ours[key]), bits(theirs[key])), key
    out = model.transform_files([path], tmp_path / "proj")  # stream reads the fitted columns by name
    assert os.path.basename(out[0]) == os.path.basename(str(plain)) + ".tica.txt"
    np.testing.assert_allclose(np.loadtxt(out[0]), model.transform(frames), rtol=0, atol=5e-7 + 1e-9)
    # The same numbers in every format: npy and h5 the doubles, text their %f, the time as written.
    base = str(tmp_path / "all" / os.path.basename(str(plain)))
    for fmt_out in ("text", "npy", "h5"):
        model.transform_files([path], tmp_path / "all", format=fmt_out, keep_time=True)
    y, text = np.load(base + ".tica.npy"), open(base + ".tica.txt").read().splitlines()
    assert y.dtype == np.float64 and np.max(np.abs(y - model.transform(frames))) < 1e-12
    starts = [0, RESTART] if segmented else [0]
    assert [i for i, line in enumerate(text) if line == "# segment"] == [s + k for k, s in enumerate(starts[1:])]
    rows = [line.split() for line in text if line != "# segment"]
    data = [line for line in writer(x, t).splitlines() if line[:1] not in "#@&"][-500:]
    times = [line.replace(",", " ").split()[time] for line in data] if time is not None else None
    assert rows == [([times[i]] if time is not None else []) + ["%f" % v for v in r] for i, r in enumerate(y)]
    assert os.path.exists(base + ".tica.time.npy") == (time is not None)
    if time is not None:
        assert np.array_equal(np.load(base + ".tica.time.npy"), np.array(times, dtype=float))
    assert (np.load(base + ".tica.segments.npy").tolist() if segmented else None) == (starts if segmented else None)
    assert os.path.exists(base + ".tica.segments.npy") == segmented
    import h5py
    with h5py.File(base + ".tica.h5", "r") as h5:
        assert sorted(h5) == sorted(["projection", "segment_starts"] + ["time"] * (time is not None))
        assert np.array_equal(h5["projection"][:], y) and h5["segment_starts"][:].tolist() == starts
    assert cli_main([path, "--lag", str(lag), "--columns", "%s,3" % names[0], "--quiet"]) == 0
    report = capsys.readouterr().out
    assert "columns (numbered from 1): 1 %s, 2 %s\n" % (names[0], names[2]) in report
    timed = ("colvar", "csv_time", "csv_index_time", "csv_time_inside")
    assert ("timescale (ps)" in report) == ("xvg" in fmt) and ("time units" in report) == (fmt in timed)
    assert ("timescale (step)" in report) == (fmt == "colvars")  # the step, Colvars' time-like column
    assert lagstat_tica.scan([path], [lag], folds=0).columns == names
    if compression is None:  # the scan's figure: its axes in the unit of the time column
        import matplotlib.figure
        labels, save = [], matplotlib.figure.Figure.savefig
        monkeypatch.setattr(matplotlib.figure.Figure, "savefig", lambda fig, *a, **k: (
            labels.extend(ax.get_xlabel() for ax in fig.axes), save(fig, *a, **k)))
        assert cli_main(["scan", path, "--lags", "1,4", "--plot", str(tmp_path / "s.png"), "--quiet"]) == 0
        unit = "ps" if "xvg" in fmt else "step" if fmt == "colvars" else "time units" if fmt in timed else "frames"
        assert labels == ["lag (%s)" % unit] * 2


@pytest.mark.parametrize(
    "files, args, message",
    [
        ({"a.csv": ",p,q\n0,1,2\n1,3,\n2,5,6\n"}, [], "Unexpected line format or read error. (in '{a.csv}', line 3; "
                                                   "An empty field"),
        ({"a.xvg": "@ s0 legend \"p\"\n0 1\n1 2\n2 3\n&\n0 5\n1 6\n"}, [], "{a.xvg} holds several data sets"),
        ({"COLVAR": "#! FIELDS time p q\n0 1 2\n1 2 3\n#! FIELDS time p\n2 3\n"}, [],
         "{COLVAR}, line 4: a restart's header names other fields (time p)"),
        ({"COLVAR": "#! FIELDS time p q\n0 1 2\n1 2 4\n2 3 1\n"}, ["--columns", "r"],
         "no column 'r'; its columns are p, q"),
        ({"COLVAR": "#! FIELDS time p q\n0 1 2\n1 2 4\n"}, ["--columns", "3"],
         "{COLVAR}: column 3 out of range: 2 feature columns, numbered from 1"),
        ({"a.txt": "1 2\n2 3\n"}, ["--columns", "1-99999999999"], "columns 1-99999999999 out of range"),
        ({"a.xvg": "@ s0 legend \"p\"\n0 1\n1 2\n&\n0 5\n1 6\n&\n"}, [], "{a.xvg} holds several data sets"),
        ({"a.txt": "\ufeff1 2\n2 3\n3 4\n"}, [], "Unexpected format of the first line: no field count: '{a.txt}'"),
        ({"a.csv": "time,p,q\n"}, [], "No data: the file has a header and no data: '{a.csv}'"),
        ({"a/COLVAR": "#! FIELDS time p q\n0 1 2\n1 2 4\n", "b/COLVAR": "#! FIELDS time p r\n0 1 2\n1 2 4\n"}, [],
         "{a/COLVAR} and {b/COLVAR} have different columns"),
        ({"a.txt": "1 2\n2 3\n", "b.csv": "p,q\n1,2\n2,3\n"}, [], "{a.txt} is bare columns, {b.csv} is CSV"),
    ],
)
def test_format_refusals(tmp_path, files, args, message):
    paths = {}
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(text)
        paths[name] = str(tmp_path / name)
    proc = subprocess.run([sys.executable, "-m", "lagstat_tica", *paths.values(), "--lag", "1", "--quiet", *args],
                          capture_output=True, text=True, timeout=120)
    for name, path in paths.items():
        message = message.replace("{%s}" % name, path)
    assert proc.returncode == 1
    assert message in proc.stderr.strip().splitlines()[-1], proc.stderr


@pytest.mark.parametrize("fmt", sorted(FORMATS))
def test_blank_line_inside(tmp_path, capsys, fmt):
    """Two runs joined by hand with a blank line between: every detected format reads all 98 frames
    in the fit, the scan and every projection, and counts the line; bare columns end at it, warned."""
    from lagstat_tica import _formats
    writer, kind, _, _, _, _ = FORMATS[fmt]
    x = slow_process(98, 3, seed=3)
    lines = writer(x, 0.02 * np.arange(98)).splitlines()
    data = [i for i, line in enumerate(lines) if line[:1] not in "#@&"][-98:]
    lines.insert(data[50], "")
    path = tmp_path / ("run" + (".xvg" if "xvg" in fmt else ".txt"))
    path.write_text("\n".join(lines) + "\n")
    skips = kind in _formats.SKIPS_BLANK
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = TICA(2).fit([str(path)])
    said = [str(w.message) for w in caught if "blank line" in str(w.message)]
    assert model.n_samples_ == (98 if skips else 50)
    blank = data[50] + 1
    assert said == ([] if skips else ["%s, line %d: the data end at the blank line %d (lagstat's rule for bare "
                                      "columns), and more follow from line %d; they are not read: remove the blank "
                                      "line to read them" % (path, blank, blank, blank + 1)])
    assert lagstat_tica.scan([str(path)], [2], folds=0).n_frames == model.n_samples_
    for fmt_out, load in (("text", np.loadtxt), ("npy", np.load)):
        out = model.transform_files([str(path)], tmp_path / "out", format=fmt_out)
        assert load(out[0]).shape == (model.n_samples_, model.dim_), fmt_out
    assert cli_main([str(path), "--lag", "2", "--quiet"]) == 0
    assert (", 1 blank line skipped" in capsys.readouterr().out) == skips


@pytest.mark.parametrize("head, line, frames, limit, error", [
    ("".join("@ s%d legend \"p%d\"\n" % (i, i) for i in range(300)), "%d 1 %d", 40, None, None),
    ("", " ".join(["%d.0000000000000"] * 70000), 5, None, None),  # a bare line over 1 MiB
    (",".join("name_of_column_%06d" % i for i in range(70000)) + "\n", ",".join(["%d"] * 70000), 5, None, None),
    ("", " ".join(["%d.0000000000000"] * 70000), 5, 1 << 20, "no data line ends within its first 1 MiB"),
    ("", "", 0, None, "No data: the file is empty"),  # beside a file, as a file alone
])
@pytest.mark.parametrize("as_pipe", [False, True])
@pytest.mark.filterwarnings("ignore:only 4 lagged pairs")
def test_heads_are_read_to_the_first_data_lines(tmp_path, monkeypatch, head, line, frames, limit, error, as_pipe):
    from lagstat_tica import _formats
    if limit:
        monkeypatch.setattr(_formats, "HEAD_LIMIT", limit)
    text = head + "".join(line % ((i,) * line.count("%d")) + "\n" for i in range(frames))
    path = tmp_path / ("f.xvg" if "@" in head else "f.txt")
    path.write_text(text)
    other = write_frames(tmp_path / "other.txt", np.arange(6.0).reshape(3, 2))
    source = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) if as_pipe else None
    inputs = ["/dev/fd/%d" % source.stdout.fileno() if as_pipe else str(path)] + [other] * (not frames)
    try:
        with pytest.raises(Exception) if error else contextlib.nullcontext() as info:
            model = TICA(1).fit(inputs, columns=[0, 1] if frames else None)
    finally:
        if source is not None:
            source.stdout.close()
            source.wait(timeout=60)  # the writer is not left waiting on a refused pipe
    if error:
        assert error in str(info.value)
    else:
        assert model.n_pairs_ == frames - 1 and len(model.columns_) == 2


def test_out_keeps_folders_and_warns_of_overfitting(tmp_path, dataset):
    """runs/a/X, runs/b/X -> OUT/a/X.tica.txt, OUT/b/X.tica.txt; few pairs and a per-file constant warn."""
    runs = tmp_path / "runs"
    x = slow_process(14, 2, seed=3)
    paths = [write_frames(runs / d / "part.txt", np.column_stack([x, np.full(14, c)]))
             for d, c in (("a", 1.0), ("b", 4.0)) if (runs / d).mkdir(parents=True) is None]
    proc = subprocess.run([sys.executable, "-m", "lagstat_tica", *paths, "--lag", "2", "--out", str(tmp_path / "o"),
                           "--plot", str(tmp_path / "t.png"),
                           "--quiet"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.path.relpath(os.path.join(d, f), tmp_path / "o") for d, _, fs in os.walk(tmp_path / "o")
                  for f in fs) == ["a/part.txt.tica.txt", "b/part.txt.tica.txt"]
    assert "warning: only 24 lagged pairs for 3 columns" in proc.stderr
    assert "warning: eigenvalue 1 at +-1" in proc.stderr and "   1                       1               undefined" \
        in proc.stdout
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "p").mkdir()
    os.symlink(tmp_path / "elsewhere", tmp_path / "p" / "a")
    with pytest.raises(ValueError, match="would leave the output folder"):
        TICA(2).fit(paths).transform_files(paths, tmp_path / "p")


@pytest.mark.parametrize("cores, workers, asked, dask, threads", [
    (8, 1, None, False, 8), (8, 3, None, False, 2), (8, 2, -1, False, 4), (8, 2, 2, False, 2), (8, 2, 16, False, 4),
    (2, 4, None, False, 1), (8, 1, None, True, 1), (8, 1, 3, True, 3),
])
def test_threads_share_the_cores(monkeypatch, cores, workers, asked, dask, threads):
    monkeypatch.setattr(_parallel, "available_cores", lambda: cores)
    assert _moments.thread_share(workers, asked, dask) == threads


# A container limited to 2 CPUs on a 64-CPU host must get 2 workers and threads, as the C++
# core counts them (its affinity bounded by the cgroup quota).
@pytest.mark.parametrize("files, cores", [
    ({"proc/self/cgroup": "0::/job\n", "sys/fs/cgroup/job/cpu.max": "200000 100000\n"}, 2),  # v2, own group
    ({"proc/self/cgroup": "0::/\n", "sys/fs/cgroup/cpu.max": "150000 100000\n"}, 2),  # v2, rounded up
    ({"proc/self/cgroup": "0::/job\n", "sys/fs/cgroup/job/cpu.max": "max 100000\n",
      "sys/fs/cgroup/cpu.max": "300000 100000\n"}, 3),  # v2, no quota in the group: the root's
    ({"proc/self/cgroup": "0::/job\n", "sys/fs/cgroup/job/cpu.max": "max 100000\n"}, 64),  # v2, none
    ({"proc/self/cgroup": "1:cpu:/\n", "sys/fs/cgroup/cpu/cpu.cfs_quota_us": "400000\n",
      "sys/fs/cgroup/cpu/cpu.cfs_period_us": "100000\n"}, 4),  # v1
    ({"sys/fs/cgroup/cpu/cpu.cfs_quota_us": "-1\n", "sys/fs/cgroup/cpu/cpu.cfs_period_us": "100000\n"}, 64),
    ({"proc/self/cgroup": "0::/\n", "sys/fs/cgroup/cpu.max": "9900000 100000\n"}, 64),  # above the affinity
    ({"sys/fs/cgroup/cpu.max": "garbage\n"}, 64),
    ({}, 64),  # no cgroup files
    ({"proc/self/cgroup": "0::/job\n", "sys/fs/cgroup/job/cpu.max": "50000 100000\n"}, 1),  # below any affinity
])
def test_cores_bounded_by_the_cgroup_quota(monkeypatch, tmp_path, files, cores):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    # The native count: the real affinity, bounded by the fake tree's quota.
    cores = min(cores, len(os.sched_getaffinity(0)))
    monkeypatch.setattr(_parallel, "_SYSTEM_ROOT", str(tmp_path))
    assert _moments.available_cores() == cores
    assert _moments._Runner(-1, n_files=100).n_workers == cores  # --jobs -1
    assert _moments.thread_share(1) == cores


@pytest.mark.parametrize("lines, kind, fields, time, unit, dt", [
    (['@ xaxis label "Residue"', '@ s1 legend "b"', "1 0.5 0.7", "2 0.4 0.1"], "xvg", ("Residue", "y1", "b"), 0,
     None, 1.0),
    (['@ xaxis label "Time (ns)"', "0 1", "0.5 2", "1 3"], "xvg", ("time", "y1"), 0, "ns", 0.5),
    (["#! FIELDS d1 d2", "0 1", "1 2"], "colvar", ("d1", "d2"), None, None, None),
    (["#! FIELDS time d1", "0 1", "2 2", "3 3"], "colvar", ("time", "d1"), 0, None, None),  # irregular: no dt
    (["phi psi", "1 2", "3 4"], "columns", ("phi", "psi"), None, None, None),
    (["time,a", "0.5,1", "1.0,2"], "csv", ("time", "a"), 0, None, 0.5),
    ([",a,Time", "0,1,0.5", "1,2,1.0"], "csv", ("index", "a", "Time"), 2, None, 0.5),  # the index left out
    (['\ufeff"phi" "psi"', "1 2"], "columns", ("phi", "psi"), None, None, None),
    (["# made by numpy.savetxt", "1 2 3"], "columns", ("x0", "x1", "x2"), None, None, None),
    (["1 nan 3", "1 2 3"], "columns", ("x0", "x1", "x2"), None, None, None),  # a bad line, no header
])
def test_detect(lines, kind, fields, time, unit, dt):
    from lagstat_tica import _formats
    layout = _formats.detect(lines)
    assert (layout.kind, layout.fields, layout.time, layout.unit, layout.dt) == (kind, fields, time, unit, dt)
    assert "index" not in [fields[i] for i in layout.features(keep_time=True)]  # beside a time, a row counter


@pytest.mark.parametrize("text, columns, keep_time, names", [
    ("psi,phi", None, False, ("psi", "phi")),
    ("2-3", None, False, ("psi", "chi")),
    ("1,3", None, True, ("time", "psi")),
    (None, None, True, ("time", "phi", "psi", "chi")),
    (None, [-1, "time"], False, ("chi", "time")),
    ("1-", None, False, ValueError), ("3-2", None, False, ValueError), ("phi,,psi", None, False, ValueError),
    ("4", None, False, ValueError), ("phi,1", None, False, ValueError), (None, [1.0], False, TypeError),
])
def test_column_choice(text, columns, keep_time, names):
    from lagstat_tica import _formats
    layout = _formats.detect(["#! FIELDS time phi psi chi", "0 1 2 3"])
    try:
        chosen = _formats.select(layout, _formats.parse_columns(text, layout.fields) if text else columns, keep_time)
    except (ValueError, TypeError) as exc:
        assert type(exc) is names
    else:
        assert chosen.names == names and chosen.usecols == tuple(layout.fields.index(n) for n in names)


def test_a_colvar_through_a_pipe_fits_as_its_file(tmp_path):
    """Its layout comes from the head its one read keeps; restarts and columns as for the file."""
    x, t = slow_process(400, 3, seed=9), 0.02 * np.arange(400)
    t[RESTART:] -= 0.04
    paths = [str(tmp_path / name) for name in ("COLVAR", "COLVAR.1", "fifo")]
    for path in paths[:2]:
        open(path, "w").write(_colvar(x, t))
    os.mkfifo(paths[2])
    writer = threading.Thread(target=lambda: open(paths[2], "w").write(_colvar(x, t)))
    writer.start()
    with pytest.warns(RuntimeWarning, match="time goes back"):
        piped = TICA(3).fit([paths[2], paths[1]], columns=["chi", "phi"])
    writer.join()
    with pytest.warns(RuntimeWarning, match="time goes back"):
        files = TICA(3).fit(paths[:2], columns=["chi", "phi"])
    assert piped.columns_ == files.columns_ == ("chi", "phi") and piped.layout_ == files.layout_
    assert np.array_equal(bits(piped.eigenvalues_), bits(files.eigenvalues_))
