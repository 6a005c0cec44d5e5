"""Frame weights in lagstat_tica's TICA: deeptime's weighted estimate as the oracle, the same bits
for any chunking, weights that are no weights refused by name, and the compensated sums against
sums of the same products added exactly."""
import math
import os

import numpy as np
import pytest

from lagstat_tica import TICA
from lagstat_tica import _weights

LAG = 3


def _data(seed, lengths, n=4):
    rng = np.random.default_rng(seed)
    mix = rng.normal(size=(n, n))
    out = []
    for t in lengths:
        x = np.cumsum(rng.normal(size=(t, n)), axis=0) * 0.05 + rng.normal(size=(t, n))
        out.append(x @ mix + 3.0)
    return out


def _deeptime(arrays, weights, lag):
    """deeptime's weighted moments and TICA: partial_fit per trajectory on its pairs, with their
    earlier frames' weights (deeptime's fit slices an array of weights only for some inputs)."""
    cov = pytest.importorskip("deeptime.covariance")
    dec = pytest.importorskip("deeptime.decomposition")
    c = cov.Covariance(lagtime=lag, compute_c00=True, compute_c0t=True, remove_data_mean=True, reversible=True,
                       bessels_correction=False)
    t = dec.TICA(lagtime=lag, scaling=None)
    for x, w in zip(arrays, weights):
        if len(x) > lag:
            c.partial_fit((x[:-lag], x[lag:]), weights=w[:-lag])
            t.partial_fit((x[:-lag], x[lag:]), weights=w[:-lag])
    c, t = c.fetch_model(), t.fetch_model()
    return c.mean_0, c.cov_00, c.cov_0t, t.singular_values


def _exp_bias(v, kt):
    v = np.asarray(v, dtype=float)
    return np.exp((v - v.max()) / kt)


def _squares(x):
    return 1.0 + x[:, 0] ** 2


# id, trajectory lengths, how ours are given (data, weights) -> fit kwargs, deeptime's weights
CASES = [
    ("one array", [3000],
     lambda xs, ws: {"weights": ws[0]}, lambda xs, ws: ws),
    ("list per trajectory", [2000, 1500, 2],
     lambda xs, ws: {"weights": ws}, lambda xs, ws: ws),
    ("callable on frames", [1200, 2500],
     lambda xs, ws: {"weights": _squares}, lambda xs, ws: [_squares(x) for x in xs]),
    ("bias with kT", [2600],
     lambda xs, ws: {"weights": 40.0 * ws[0], "bias_kT": 2.5}, lambda xs, ws: [_exp_bias(40.0 * ws[0], 2.5)]),
    # one shift over all trajectories: their largest biases differ by far more than kT
    ("bias with kT, list of trajectories", [1700, 1300],
     lambda xs, ws: {"weights": [40.0 * ws[0], 40.0 * ws[1] + 6.0], "bias_kT": 2.5},
     lambda xs, ws: list(np.split(_exp_bias(np.concatenate([40.0 * ws[0], 40.0 * ws[1] + 6.0]), 2.5), [1700]))),
    ("some weights zero", [2048, 1025],
     lambda xs, ws: {"weights": [w * (np.arange(len(w)) % 3 > 0) for w in ws]},
     lambda xs, ws: [w * (np.arange(len(w)) % 3 > 0) for w in ws]),
]


@pytest.mark.parametrize("lengths, ours, theirs", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_weighted_fit_matches_deeptime(lengths, ours, theirs):
    xs = _data(len(lengths), lengths)
    rng = np.random.default_rng(7)
    ws = [rng.uniform(0.0, 2.0, size=len(x)) for x in xs]
    model = TICA(LAG, scaling=None).fit(xs if len(xs) > 1 else xs[0], **ours(xs, ws))
    mean, c00, c0t, svals = _deeptime(xs, theirs(xs, ws), LAG)
    for got, want in ((model.mean_, mean), (model.cov_, c00), (model.cov_tau_, c0t), (model.eigenvalues_, svals)):
        assert np.allclose(got, want, rtol=1e-10, atol=1e-10 * np.abs(want).max())
    # the weights matter: an unweighted fit of the same data differs
    assert not np.allclose(TICA(LAG, scaling=None).fit(xs).cov_, model.cov_, rtol=1e-6, atol=0)


@pytest.mark.parametrize("cuts", [
    [],                         # one call
    [1, 2, 3],                  # chunks shorter than the lag
    [1023, 1024, 1025, 2048],   # around the block boundaries
    [500, 3000, 3001],
])
def test_partial_fit_any_chunking_same_bits(cuts):
    x = _data(11, [5000])[0]
    w = np.random.default_rng(3).uniform(0.1, 1.0, size=len(x))
    whole = TICA(LAG).fit(x, weights=w)
    model = TICA(LAG)
    for a, b in zip([0] + cuts, cuts + [len(x)]):
        model.partial_fit(x[a:b], weights=w[a:b])
    for name in ("mean_", "cov_", "cov_tau_", "eigenvalues_"):
        assert np.array_equal(getattr(model, name), getattr(whole, name)), name
    assert model.n_pairs_ == whole.n_pairs_ == len(x) - LAG


@pytest.mark.parametrize("threads, cuts", [
    (2, []),
    (8, [700, 2100]),
    (3, [1024, 1025]),
])
def test_weighted_fit_same_bits_for_any_threads(threads, cuts):
    # wide enough that the weighted accumulator splits its blocks among the threads
    x = _data(12, [3000], n=60)[0]
    w = np.random.default_rng(4).uniform(0.1, 1.0, size=len(x))
    one = TICA(LAG).fit(x, weights=w, threads=1)
    model = TICA(LAG)
    for a, b in zip([0] + cuts, cuts + [len(x)]):
        model.partial_fit(x[a:b], weights=w[a:b], threads=threads)
    for name in ("mean_", "cov_", "cov_tau_"):
        assert np.array_equal(getattr(model, name), getattr(one, name)), name


@pytest.mark.parametrize("weights, kw, message", [
    ([1.0, -0.5, 1.0, 1.0, 1.0, 1.0], {}, r"trajectory 0, line 2: weight -0\.5"),
    ([1.0, 1.0, 1.0, 1.0, np.nan, 1.0], {}, r"trajectory 0, line 5: weight nan"),
    ([1.0, 1.0, np.inf, 1.0, 1.0, 1.0], {}, r"trajectory 0, line 3: weight inf"),
    ([1.0, 1.0], {}, r"2 weights for 6 frames"),
    ([0.0] * 6, {}, r"weights of all lagged pairs are zero"),
    (None, {"bias_kT": 2.5}, r"bias_kT needs weights"),
    ([1.0] * 6, {"bias_kT": 0.0}, r"bias_kT must be a positive"),
    ([1.0, 2.0, np.nan, 1.0, 1.0, 1.0], {"bias_kT": 1.0}, r"trajectory 0: the bias holds nan or inf \(frame 3\)"),
    ([1.0] * 6, {"koopman_weights": True}, r"koopman_weights=True computes the weights"),
])
def test_weights_that_are_no_weights(weights, kw, message):
    x = np.arange(12.0).reshape(6, 2) ** 1.5
    with pytest.raises(ValueError, match=message):
        TICA(1).fit(x, weights=weights, **kw)


@pytest.mark.filterwarnings("ignore:only .* lagged pairs")
def test_partial_fit_names_the_line_across_chunks():
    x = np.random.default_rng(0).normal(size=(10, 2))
    model = TICA(1).partial_fit(x[:6], weights=np.ones(6))
    with pytest.raises(ValueError, match=r"trajectory 0, line 9: weight -1"):
        model.partial_fit(x[6:], weights=[1.0, 1.0, -1.0, 1.0])
    with pytest.raises(ValueError, match="give weights= with every chunk"):
        model.partial_fit(x[6:])
    with pytest.raises(ValueError, match="pairs 1: 3 weights for 4 pairs"):
        model.partial_fit((x[:4], x[1:5]), weights=np.ones(3))
    with pytest.raises(ValueError, match="fed chunks without weights"):
        TICA(1).partial_fit(x).partial_fit(x, weights=np.ones(10))


def _exact_sum(terms):
    return math.fsum(terms.tolist())


@pytest.mark.parametrize("seed, frames", [(1, 30000), (2, 50001), (3, 4097)])
def test_compensated_sums_within_ulps_of_exact(seed, frames):
    # a slow multi-well coordinate far from the origin beside noise of widely different scales:
    # a plain sum in frame order loses several ulps of the correlation here
    rng = np.random.default_rng(seed)
    well = np.sign(np.sin(np.arange(frames) / 977.0)) + 0.1 * rng.normal(size=frames)
    x = np.column_stack([1e3 + well, 1e-4 * rng.normal(size=frames), 1e5 * rng.normal(size=frames) + 7e5])
    w = rng.uniform(0.5, 1.5, size=frames)
    acc = _weights.WeightedPairSums()
    acc.add(x[:-LAG], x[LAG:], w[:-LAG])
    got = acc.totals()
    xs = x[:-LAG] - x[0]
    ys = x[LAG:] - x[0]
    wx = w[:-LAG, None] * xs
    unit = 4 * 2.0 ** -52
    diag = [_exact_sum(wx[:, i] * xs[:, i]) for i in range(3)]
    for i in range(3):
        for j in range(3):
            exact = _exact_sum(wx[:, i] * ys[:, j])
            assert abs(got["sxy"][i, j] - exact) <= unit * math.sqrt(diag[i] * diag[j]), (i, j)
        assert abs(got["sx"][i] - _exact_sum(wx[:, i])) <= unit * math.sqrt(diag[i] * float(got["w"]))


@pytest.mark.parametrize("lengths, lag", [([4000], 5), ([1500, 1200, 900, 3], 2)])
def test_koopman_weights_match_deeptime(lengths, lag):
    cov = pytest.importorskip("deeptime.covariance")
    dec = pytest.importorskip("deeptime.decomposition")
    # AR(1) processes started away from equilibrium: the first frames relax towards it
    rng = np.random.default_rng(5)
    phi, mix = np.array([0.97, 0.9, 0.5]), rng.normal(size=(3, 3))
    xs = []
    for t in lengths:
        z = np.empty((t, 3))
        z[0] = 4.0
        for i in range(1, t):
            z[i] = phi * z[i - 1] + np.sqrt(1 - phi ** 2) * rng.normal(size=3)
        xs.append(z @ mix)
    model = TICA(lag, scaling=None).fit(xs, koopman_weights=True)
    kw = cov.KoopmanWeightingEstimator(lagtime=lag).fit(xs).fetch_model()
    theirs = dec.TICA(lagtime=lag, scaling=None)
    for x in xs:
        if len(x) > lag:
            theirs.partial_fit((x[:-lag], x[lag:]), weights=kw.weights(x[:-lag]))
    theirs = theirs.fetch_model()
    frames = np.concatenate(xs)
    assert np.allclose(frames @ model.koopman_coefficients_ + model.koopman_constant_, kw.weights(frames),
                       rtol=1e-9, atol=1e-9)
    assert np.allclose(model.eigenvalues_, theirs.singular_values, rtol=1e-9, atol=1e-12)
    assert np.allclose(model.mean_, theirs.mean_0, rtol=1e-9, atol=1e-9)
    assert model.n_reads_ == 2
    # reweighting moves the model away from the plain one
    assert not np.allclose(TICA(lag, scaling=None).fit(xs).mean_, model.mean_, rtol=1e-6)


def _colvar(path, x, bias, restart_at=None, header="#! FIELDS time d1 d2 d3 d4 metad.bias\n"):
    """A PLUMED COLVAR of frames x and their bias, a restart (a FIELDS line again) before frame
    restart_at."""
    with open(path, "w") as f:
        f.write(header)
        for t in range(len(x)):
            if t == restart_at:
                f.write(header)
            f.write(" ".join("%.17g" % v for v in (t, *x[t], bias[t])) + "\n")
    return str(path)


# id, trajectory lengths, restart frames (None: none), fit kwargs, deeptime's weights from the bias
FILE_CASES = [
    ("bias by name, kT", [2500], [None], {"weights": "metad.bias", "bias_kT": 2.5},
     lambda vs: [_exp_bias(np.concatenate(vs), 2.5)]),
    ("weights by index, two files, a restart", [1800, 1300], [900, None], {"weights": 5},
     lambda vs: vs),
    ("bias, two files, one shift", [1200, 1600], [None, 400], {"weights": "metad.bias", "bias_kT": 4.0},
     lambda vs: [_exp_bias(np.concatenate(vs), 4.0)]),
]


@pytest.mark.parametrize("lengths, restarts, kw, theirs", [c[1:] for c in FILE_CASES], ids=[c[0] for c in FILE_CASES])
def test_weights_column_of_files_matches_deeptime(tmp_path, lengths, restarts, kw, theirs):
    xs = _data(20 + len(lengths), lengths)
    rng = np.random.default_rng(8)
    vs = [rng.uniform(0.0, 30.0, size=len(x)) for x in xs]
    paths = [_colvar(tmp_path / ("c%d" % i), x, v, r) for i, (x, v, r) in enumerate(zip(xs, vs, restarts))]
    model = TICA(LAG, scaling=None).fit(paths, **kw)
    # deeptime on the segments: a restart ends a trajectory, the weights as the bias gives them
    ws = theirs(vs)
    ws = list(np.split(ws[0], np.cumsum(lengths)[:-1])) if len(ws) == 1 else ws
    segs, wsegs = [], []
    for x, w, r in zip(xs, ws, restarts):
        cut = [r] if r is not None else []
        segs += np.split(x, cut)
        wsegs += np.split(w, cut)
    mean, c00, c0t, svals = _deeptime(segs, wsegs, LAG)
    assert model.columns_ == ("d1", "d2", "d3", "d4")
    assert model.n_pairs_ == sum(len(s) - LAG for s in segs)
    for got, want in ((model.mean_, mean), (model.cov_, c00), (model.cov_tau_, c0t), (model.eigenvalues_, svals)):
        assert np.allclose(got, want, rtol=1e-10, atol=1e-10 * np.abs(want).max())


def test_koopman_weights_of_files_are_those_of_the_arrays(tmp_path):
    xs = _data(30, [1500, 1100])
    paths = [_colvar(tmp_path / ("k%d" % i), x, np.zeros(len(x))) for i, x in enumerate(xs)]
    files = TICA(LAG, scaling=None).fit(paths, koopman_weights=True, columns=["d1", "d2", "d3", "d4"])
    arrays = TICA(LAG, scaling=None).fit(xs, koopman_weights=True)
    assert files.n_reads_ == 2
    for name in ("koopman_coefficients_", "koopman_constant_", "cov_", "cov_tau_", "eigenvalues_"):
        assert np.array_equal(getattr(files, name), getattr(arrays, name)), name


# id, the 3rd frame's bias (line 4 of the file), fit kwargs, message
FILE_ERRORS = [
    ("negative weight", -0.5, {"weights": "metad.bias"}, r"c0, line 4: weight -0\.5 is not a finite number >= 0"),
    ("nan weight", np.nan, {"weights": "metad.bias"}, r"c0, line 4: weight nan"),
    ("inf bias", np.inf, {"weights": "metad.bias", "bias_kT": 1.0}, r"c0, line 4: bias inf is not a finite"),
    ("bias overflows", 1e6, {"weights": "metad.bias", "bias_kT": 1.0}, r"c0, line 4: bias 1000000\.0 lies so far"),
    ("no such column", 1.0, {"weights": "opes.bias"}, r"no weights column 'opes\.bias'"),
    ("index out of range", 1.0, {"weights": 9}, r"weights column index 9 out of range"),
    ("weights among the features", 1.0, {"weights": "metad.bias", "columns": ["d1", "metad.bias"]},
     r"the weights column 'metad\.bias' is not a feature"),
    ("an array for files", 1.0, {"weights": np.ones(10)}, r"weights= with files names their weights column"),
]


@pytest.mark.parametrize("bad, kw, message", [c[1:] for c in FILE_ERRORS], ids=[c[0] for c in FILE_ERRORS])
def test_weights_column_refused_with_file_and_line(tmp_path, bad, kw, message):
    x = _data(40, [10])[0]
    v = np.ones(10)
    v[2] = bad
    path = _colvar(tmp_path / "c0", x, v)
    with pytest.raises(ValueError, match=message):
        TICA(1).fit(path, **kw)


def test_koopman_weights_refuse_a_pipe(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="reads every file twice.*is a pipe"):
        TICA(1).fit(fifo, koopman_weights=True)
