"""Binary sources (arrays, .npy, .npz, HDF5, pipes) against the text path, deeptime and their errors;
partial_fit against fit."""
import copy
import errno
import gzip
import os
import sys
import threading

import numpy as np
import pytest

from lagstat_tica import TICA, moments, scan
from lagstat_tica._scan import read_files

LAG = 3
KEYS = ("sum", "cov", "tcov", "head_sum", "tail_sum", "head_cov", "tail_cov")


def trajectories(n_cols=4, lengths=(1500, 700)):
    """Well-conditioned frames: a slow AR(1) in every column, mixed."""
    rng = np.random.default_rng(7)
    out = []
    for t in lengths:
        x = np.zeros((t, n_cols))
        noise = rng.normal(size=(t, n_cols))
        for i in range(1, t):
            x[i] = 0.9 * x[i - 1] + noise[i]
        out.append(x @ rng.normal(size=(n_cols, n_cols)) + 3.0)
    return out


def npy(path, x, **kw):
    with open(path, "wb") as f:
        np.lib.format.write_array(f, x, **kw)
    return str(path)


def written(path, data):
    path.write_bytes(data)
    return str(path)


def fifo(path, payload):
    os.mkfifo(path)

    def feed():
        try:
            with open(path, "wb") as f:
                f.write(payload)
        except BrokenPipeError:  # the reader refused the data before reading it all
            pass

    threading.Thread(target=feed, daemon=True).start()
    return str(path)


def h5(path, arrays, name="/g/d", **attrs):
    h5py = pytest.importorskip("h5py")
    with h5py.File(path, "w") as f:
        for i, x in enumerate(arrays):
            d = f.create_dataset(name if i == 0 else name + str(i), data=x, chunks=(min(128, len(x)), x.shape[1]))
            d.attrs.update(attrs)
    return str(path)


class Wrapped:
    def __init__(self, x):
        self.x = x

    def __array__(self, dtype=None, copy=None):
        return self.x


# name -> (the data as given, the trajectories it holds as float64) from (folder, trajectories)
SOURCES = {
    "array": lambda d, t: (t[0], t[:1]),
    "list of arrays": lambda d, t: (t, t),
    "1-D array": lambda d, t: (t[0][:, 1], [t[0][:, 1:2]]),
    "__array__ and buffer": lambda d, t: ([Wrapped(t[0]), memoryview(t[1])], t),
    "npy C": lambda d, t: (npy(d / "c.npy", t[0]), t[:1]),
    "npy Fortran": lambda d, t: (npy(d / "f.npy", np.asfortranarray(t[0])), t[:1]),
    "npy float32": lambda d, t: (npy(d / "s.npy", t[0].astype(np.float32)), [t[0].astype(np.float32).astype(float)]),
    "npy big-endian": lambda d, t: (npy(d / "b.npy", t[0].astype(">f8")), t[:1]),
    "npy int16": lambda d, t: (npy(d / "i.npy", (t[0] * 100).astype(np.int16)), [(t[0] * 100).astype(np.int16) * 1.0]),
    "npy v1": lambda d, t: (npy(d / "v1.npy", t[0], version=(1, 0)), t[:1]),
    "npy v2": lambda d, t: (npy(d / "v2.npy", t[0], version=(2, 0)), t[:1]),
    "npy v3": lambda d, t: (npy(d / "v3.npy", t[0], version=(3, 0)), t[:1]),
    "npy gzip": lambda d, t: (gzip.compress(open(npy(d / "g.npy", t[0]), "rb").read()), t[:1]),
    "npz": lambda d, t: (np.savez(d / "z.npz", a=t[0], b=t[1]) or str(d / "z.npz"), t),
    "npz compressed": lambda d, t: (np.savez_compressed(d / "zc.npz", a=t[0], b=t[1]) or str(d / "zc.npz"), t),
    "npz:key": lambda d, t: (np.savez(d / "k.npz", a=t[0], b=t[1]) or str(d / "k.npz") + ":b", t[1:]),
    "hdf5 path": lambda d, t: (h5(d / "x.h5", t) + ":/g/d", t[:1]),
    "h5py dataset": lambda d, t: (pytest.importorskip("h5py").File(h5(d / "y.h5", t))["/g/d1"], t[1:]),
    "pipe": lambda d, t: (fifo(d / "p.npy", open(npy(d / "q.npy", t[0]), "rb").read()), t[:1]),
    "unnamed pipe": lambda d, t: (fifo(d / "p.fifo", open(npy(d / "q.npy", t[0]), "rb").read()), t[:1]),
    "mixed list": lambda d, t: ([t[0], npy(d / "m.npy", t[1])], t),
}


def given(tmp_path, name):
    data, expected = SOURCES[name](tmp_path, trajectories())
    if isinstance(data, bytes):  # a compressed file's content
        path = tmp_path / "g.npy.gz"
        path.write_bytes(data)
        data = str(path)
    return data, expected


def as_text(tmp_path, arrays):
    paths = []
    for i, x in enumerate(arrays):
        paths.append(str(tmp_path / ("t%d.txt" % i)))
        np.savetxt(paths[-1], x, fmt="%.17g")
    return paths


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name", sorted(SOURCES))
def test_source_bits_equal_text(tmp_path, name, threads):
    data, expected = given(tmp_path, name)
    sums = read_files(data, [1, LAG, 500], threads=threads)[0]
    text = read_files(as_text(tmp_path, expected), [1, LAG, 500])[0]
    assert sums["frames"] == text["frames"] and sums["pairs"] == text["pairs"]
    for key in KEYS + ("shift",):
        assert np.array_equal(sums[key], text[key]), key


@pytest.mark.parametrize("name", ["array", "list of arrays", "npy Fortran", "npz compressed", "hdf5 path", "pipe",
                                  "unnamed pipe"])
def test_source_agrees_with_deeptime(tmp_path, name):
    deeptime = pytest.importorskip("deeptime.decomposition")
    data, expected = given(tmp_path, name)
    ours = TICA(lag=LAG).fit(data)
    theirs = deeptime.TICA(lagtime=LAG).fit(expected).fetch_model()
    for a, b in ((ours.mean_, theirs.mean_0), (ours.cov_, theirs.cov_00), (ours.cov_tau_, theirs.cov_0t),
                 (ours.eigenvalues_, theirs.singular_values)):
        assert np.max(np.abs(a - b)) <= 1e-10 * np.max(np.abs(b))


@pytest.mark.parametrize("name", ["npy C", "npy Fortran", "npy float32", "npy big-endian", "npy gzip", "npz:key",
                                  "hdf5 path", "h5py dataset", "pipe", "unnamed pipe"])
def test_transform_of_a_binary_source_equals_its_array(tmp_path, name):
    data, expected = given(tmp_path, name)
    model = TICA(lag=LAG, dim=2).fit(trajectories())
    assert np.array_equal(model.transform(data), model.transform(expected[0]))


@pytest.mark.parametrize("fmt", ["npy", "h5", "text"])
@pytest.mark.parametrize("name, outs", [("npy C", ["c.npy"]), ("npy gzip", ["g.npy"]), ("npz", ["z.npz.a", "z.npz.b"]),
                                        ("npz:key", ["k.npz.b"]), ("hdf5 path", ["x.h5.g.d"]),
                                        ("h5py dataset", ["y.h5.g.d1"]), ("mixed list", ["t0.txt", "m.npy"])])
def test_transform_files_of_binary_sources(tmp_path, name, outs, fmt):
    if fmt == "h5":
        h5py = pytest.importorskip("h5py")
    data, expected = given(tmp_path, name)
    if name == "mixed list":
        data = [as_text(tmp_path, expected[:1])[0], data[1]]
    model = TICA(lag=LAG, dim=2).fit(trajectories())
    suffix = {"npy": ".tica.npy", "h5": ".tica.h5", "text": ".tica.txt"}[fmt]
    paths = model.transform_files(data, tmp_path / "out", format=fmt)
    assert paths == [str(tmp_path / "out" / (o + suffix)) for o in outs]
    texts = model.transform_files(as_text(tmp_path, expected), tmp_path / "text", format=fmt)
    for path, text, x in zip(paths, texts, expected):
        if fmt != "text":
            with (h5py.File(path) if fmt == "h5" else open(path, "rb")) as f, \
                    (h5py.File(text) if fmt == "h5" else open(text, "rb")) as g:
                y, z = (h["projection"][...] if fmt == "h5" else np.load(h) for h in (f, g))
            # a binary source holds TICA.transform's doubles; the text path lagstat's projection's
            assert np.array_equal(y, model.transform(x)) or path.endswith(".txt" + suffix)
            assert np.allclose(y, z, rtol=0, atol=1e-12)
        else:
            assert open(path).read() == open(text).read()
    assert sorted(os.listdir(tmp_path / "out")) == sorted(os.path.basename(p) for p in paths)


@pytest.mark.parametrize("project, name, match", [
    (lambda m, d: m.transform(d), "npz", "z.npz' holds 2 arrays: name one"),
    (lambda m, d: m.transform(d), "mixed list", "two.npy has 2 columns, the model 4"),
    (lambda m, d: m.transform_files(d, "out"), "pipe", "p.npy is a pipe or stream, read once by fit"),
    (lambda m, d: m.transform_files(d, "out"), "list of arrays", "array 0 is an array: project it with TICA.transform"),
])
def test_projection_errors_of_binary_sources_are_named(tmp_path, monkeypatch, project, name, match):
    monkeypatch.chdir(tmp_path)
    data, _ = given(tmp_path, name)
    if name == "mixed list":
        data = npy(tmp_path / "two.npy", np.ones((9, 2)))
    with pytest.raises(ValueError, match=match):
        project(TICA(lag=LAG).fit(trajectories()), data)
    assert not os.path.exists("out")


@pytest.mark.parametrize("name", ["list of arrays", "npz", "mixed list"])
def test_scan_and_moments_of_sources_equal_text(tmp_path, name):
    data, expected = given(tmp_path, name)
    text = as_text(tmp_path, expected)
    ours, theirs = scan(data, [1, LAG], folds=2), scan(text, [1, LAG], folds=2)
    assert np.array_equal(ours.vamp2_cv_folds, theirs.vamp2_cv_folds)
    m, t = moments(data, LAG), moments(text, LAG)
    assert m.keys() == t.keys()
    for key in t:
        if key in ("var", "cov", "tcov"):
            # text through lagstat.run's frame-order sums, binary sources through the scan's
            # compensated ones: the same to the plain sums' rounding, not to the bit
            np.testing.assert_allclose(m[key], t[key], rtol=0, atol=1e-13 * np.abs(t[key]).max(), err_msg=key)
        else:
            assert np.array_equal(m[key], t[key]), key


def object_npy(d):
    np.save(d / "o.npy", np.array([[1, "a"]], dtype=object), allow_pickle=True)
    return str(d / "o.npy")


def truncated(d):
    raw = open(npy(d / "t.npy", np.ones((100, 3))), "rb").read()
    (d / "t.npy").write_bytes(raw[:-9])
    return str(d / "t.npy")


def no_h5py(d, monkeypatch):
    path = h5(d / "n.h5", [np.ones((9, 2))])
    monkeypatch.setitem(sys.modules, "h5py", None)
    return path + ":/g/d"


@pytest.mark.parametrize("make, error, match", [
    (lambda d, m: object_npy(d), ValueError, "o.npy: the .npy holds object values"),
    (lambda d, m: npy(d / "r3.npy", np.ones((4, 3, 2))), ValueError, "r3.npy: a .npy of shape \\(4, 3, 2\\)"),
    (lambda d, m: npy(d / "c.npy", np.ones((9, 2), complex)), ValueError, "c.npy: the .npy holds complex"),
    (lambda d, m: truncated(d), OSError, "shorter than the .npy header says: '.*t.npy'"),
    (lambda d, m: written(d / "t.npy.gz", gzip.compress(open(truncated(d), "rb").read())), OSError,
     "shorter than the .npy header says \\(2391 of 2400 bytes\\): '.*t.npy.gz'"),
    (lambda d, m: written(d / "h.npy", b"\x93NUMPY\x01\x00\x04\x00junk"), ValueError,
     "h.npy: not a NumPy header"),
    (lambda d, m: np.savez(d / "z.npz", a=np.ones((9, 2))) or str(d / "z.npz") + ":nope", KeyError,
     "has no array 'nope'"),
    (lambda d, m: h5(d / "a.h5", [np.ones((9, 2))]), ValueError, "a.h5: name the dataset, as .*a.h5:/group/dataset"),
    (lambda d, m: h5(d / "b.h5", [np.ones((9, 2))]) + ":/other", KeyError, "has no dataset '/other'"),
    (no_h5py, ImportError, 'pip install "lagstat\\[hdf5\\]"'),
    (lambda d, m: written(d / "f.npy.gz", gzip.compress(open(npy(d / "f.npy", np.ones((9, 2), order="F")), "rb")
                                                        .read())), ValueError,
     "f.npy.gz: a Fortran-ordered .npy cannot be read in order"),
    (lambda d, m: np.array([["a", "b"]] * 5), ValueError, "array 0: frames must be numbers"),
    (lambda d, m: [np.ones((9, 2)), np.ones((9, 3))], ValueError,
     "different numbers of columns: array 0: 2, array 1: 3"),
    (lambda d, m: np.array([[1.0, np.inf]] * 9), ValueError, "array 0: values too large or not finite"),
    (lambda d, m: fifo(d / "t.fifo", open(truncated(d), "rb").read()), OSError, "shorter than the .npy header says"),
    (lambda d, m: fifo(d / "o.fifo", open(object_npy(d), "rb").read()), ValueError, "an object dtype"),
])
def test_source_errors_are_named(tmp_path, monkeypatch, make, error, match):
    data = make(tmp_path, monkeypatch)
    with pytest.raises(error, match=match) as info:
        TICA(lag=2).fit(data)
    if error is OSError:
        assert info.value.errno == errno.EIO


@pytest.mark.parametrize("columns, names", [([2, 0], ("c", "a")), (["d", "b"], ("d", "b")), ([-1], ("d",))])
def test_hdf5_columns_by_index_and_name(tmp_path, columns, names):
    x = trajectories()[0]
    model = TICA(lag=LAG).fit(h5(tmp_path / "n.h5", [x], columns=["a", "b", "c", "d"]) + ":/g/d", columns=columns)
    picked = [("a", "b", "c", "d").index(c) for c in names]
    assert model.columns_ == names
    assert np.array_equal(model.cov_, TICA(lag=LAG).fit(np.ascontiguousarray(x[:, picked])).cov_)


@pytest.mark.parametrize("columns, match", [
    ([2, 0], None), (None, None),
    (["x1"], "is a .npy read from a pipe: its columns are chosen by index from 0, not by 'x1'"),
    ([-1], "is a .npy read from a pipe: its columns are chosen by index from 0, not by -1"),
])
def test_columns_of_a_npy_in_an_unnamed_pipe(tmp_path, columns, match):
    x = trajectories()[0]
    data = fifo(tmp_path / "p.fifo", open(npy(tmp_path / "q.npy", x), "rb").read())
    if match is not None:
        with pytest.raises(ValueError, match=match):
            TICA(lag=LAG).fit(data, columns=columns)
        return
    model = TICA(lag=LAG).fit(data, columns=columns)
    picked = columns if columns is not None else list(range(x.shape[1]))
    assert model.columns_ == tuple("x%d" % i for i in picked)
    assert np.array_equal(model.cov_tau_, TICA(lag=LAG).fit(np.ascontiguousarray(x[:, picked])).cov_tau_)


# --- partial_fit ---------------------------------------------------------------------------------


def chunked(x, how, rng):
    if how == "frames":
        cuts = np.arange(1, len(x))
    elif how == "lag":
        cuts = np.arange(LAG, len(x), LAG)
    else:
        cuts = np.sort(rng.choice(np.arange(1, len(x)), 25, replace=False))
    return np.split(x, cuts)


@pytest.mark.parametrize("how", ["frames", "lag", "random"])
def test_partial_fit_equals_fit(how):
    arrays = [x[:400] for x in trajectories()]
    rng = np.random.default_rng(3)
    model = TICA(lag=LAG)
    for x in arrays:
        for k, chunk in enumerate(chunked(x, how, rng)):
            model.partial_fit(chunk, new_trajectory=k == 0)
    whole = TICA(lag=LAG).fit(arrays)
    model = copy.deepcopy(model.fetch_model()) if how == "random" else model  # the fitted model travels
    for name in ("mean_", "cov_", "cov_tau_", "eigenvalues_", "eigenvectors_", "n_pairs_", "n_samples_"):
        assert np.array_equal(getattr(model, name), getattr(whole, name)), name


def test_partial_fit_pairs_agree_with_deeptime():
    deeptime = pytest.importorskip("deeptime.decomposition")
    x = trajectories()[0]
    ours, theirs = TICA(lag=LAG), deeptime.TICA(lagtime=LAG)
    for at in range(0, len(x) - 400 - LAG, 400):
        pair = (x[at:at + 400], x[at + LAG:at + 400 + LAG])
        ours.partial_fit(pair)
        theirs.partial_fit(pair)
    model = theirs.fetch_model()
    assert np.max(np.abs(ours.cov_ - model.cov_00)) <= 1e-10 * np.max(np.abs(model.cov_00))
    assert np.max(np.abs(ours.eigenvalues_ - model.singular_values)) <= 1e-10


# --- the package's layers ------------------------------------------------------------------------


def imports_of(path, modules):
    """The package's modules a module imports, at module level or inside functions."""
    import ast

    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and (node.level == 1 or (node.module or "").startswith("lagstat_tica")):
            parts = (node.module or "").split(".")
            head = parts[0] if node.level == 1 else (parts[1] if len(parts) > 1 else "")
            found.update([head] if head else [a.name for a in node.names])
        elif isinstance(node, ast.Import):
            found.update(a.name.split(".")[1] for a in node.names if a.name.startswith("lagstat_tica."))
    return found & modules - {path.stem}


def test_no_module_imports_one_that_imports_it_back():
    import pathlib

    import lagstat_tica

    folder = pathlib.Path(lagstat_tica.__file__).parent
    files = {p.stem: p for p in folder.glob("*.py")}
    graph = {name: imports_of(path, set(files)) for name, path in files.items()}
    cycles = []

    def visit(name, trail):
        for dep in sorted(graph[name]):
            if dep in trail:
                cycles.append(" -> ".join(trail[trail.index(dep):] + [dep]))
            elif dep not in done:
                visit(dep, trail + [dep])
        done.add(name)

    done = set()
    for name in sorted(graph):
        if name not in done:
            visit(name, [name])
    assert not cycles, cycles
