"""Frame weights in lagstat_tica's TICA: deeptime's weighted estimate as the oracle, the same bits
for any chunking, weights that are no weights refused by name, and the compensated sums against
sums of the same products added exactly."""
import math
import os
import pickle

import numpy as np
import pytest

import lagstat_tica
from lagstat_tica import TICA, VAMP
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


def _deeptime_moments(arrays, weights, lag):
    """deeptime's weighted mean and covariance of all frames, and the lagged covariance of the
    pairs about that mean with their earlier frames' weights."""
    cov = pytest.importorskip("deeptime.covariance")
    c = cov.Covariance(lagtime=None, compute_c00=True, remove_data_mean=True, bessels_correction=False)
    for x, w in zip(arrays, weights):
        c.partial_fit(x, weights=w)
    mean, c00 = c.fetch_model().mean_0, c.fetch_model().cov_00
    t = cov.Covariance(lagtime=lag, compute_c00=False, compute_c0t=True, bessels_correction=False)
    for x, w in zip(arrays, weights):
        if len(x) > lag:
            t.partial_fit((x[:-lag] - mean, x[lag:] - mean), weights=w[:-lag])
    return mean, c00, t.fetch_model().cov_0t


def _deeptime_vamp(arrays, weights, lag):
    dec = pytest.importorskip("deeptime.decomposition")
    v = dec.VAMP(lagtime=lag)
    for x, w in zip(arrays, weights):
        if len(x) > lag:
            v.partial_fit((x[:-lag], x[lag:]), weights=w[:-lag])
    m = v.fetch_model()
    return m.cov.mean_0, m.cov.mean_t, m.cov.cov_00, m.cov.cov_0t, m.cov.cov_tt, m.singular_values


def _close(pairs):
    for got, want in pairs:
        want = np.asarray(want)
        scale = np.nanmax(np.abs(want)) if want.size else 0.0
        assert np.allclose(got, want, rtol=1e-10, atol=1e-10 * scale, equal_nan=True)


def _weighted_estimates(what, data, kw, arrays, weights, lag):
    """(ours, deeptime's) estimates pairs of `what` fitted with frame weights."""
    if what == "moments":
        m = lagstat_tica.moments(data, lag, **kw)
        mean, c00, c0t = _deeptime_moments(arrays, weights, lag)
        return [(m["mean"], mean), (m["cov"] / m["samples"], c00), (m["tcov"] / m["tcov_samples"], c0t)]
    if what == "vamp":
        m = VAMP(lag).fit(data, **kw)
        want = _deeptime_vamp(arrays, weights, lag)
        return list(zip((m.mean_0_, m.mean_t_, m.cov_00_, m.cov_0t_, m.cov_tt_, m.singular_values_), want))
    s = lagstat_tica.scan(data, [1, lag], folds=0, **kw)
    return [(s.eigenvalues[i], _deeptime(arrays, weights, t)[3]) for i, t in enumerate((1, lag))]


@pytest.mark.parametrize("what", ["moments", "scan", "vamp"])
@pytest.mark.parametrize("lengths, ours, theirs", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_weighted_moments_scan_vamp_match_deeptime(what, lengths, ours, theirs):
    xs = _data(len(lengths), lengths)
    rng = np.random.default_rng(7)
    ws = [rng.uniform(0.0, 2.0, size=len(x)) for x in xs]
    _close(_weighted_estimates(what, xs if len(xs) > 1 else xs[0], ours(xs, ws), xs, theirs(xs, ws), LAG))


@pytest.mark.parametrize("fit", [
    lambda xs, ws: VAMP(LAG).fit(xs, weights=ws),
    lambda xs, ws: lagstat_tica.scan(xs, [1, LAG], weights=ws, folds=0).tica(LAG),
    lambda xs, ws: TICA(LAG).fit(xs, weights=ws),
], ids=["vamp", "scan's tica", "tica"])
def test_pairs_are_counted_whatever_the_weights(fit):
    # weights far below 1 (a bias well under its largest value): the pairs are still 2 x 300
    xs = _data(80, [300 + LAG, 300 + LAG])
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no "too few pairs" from the weights' sum
        model = fit(xs, [np.full(len(x), 1e-9) for x in xs])
    assert model.n_pairs_ == 600


# id, trajectories in memory, scan options: the same scan with weights of one as without
SCAN_OPTIONS = [
    ("folds", 4, {"folds": 3}),
    ("bootstrap of trajectories", 12, {"folds": 4, "bootstrap": 20, "seed": 3}),
    ("bootstrap, no folds", 10, {"folds": 0, "bootstrap": 15, "seed": 1}),
]


@pytest.mark.parametrize("count, options", [c[1:] for c in SCAN_OPTIONS], ids=[c[0] for c in SCAN_OPTIONS])
def test_scan_folds_and_bootstrap_take_the_weights(count, options):
    xs = _data(50, [400 + 37 * i for i in range(count)])
    plain = lagstat_tica.scan(xs, [1, 4], **options)
    ones = lagstat_tica.scan(xs, [1, 4], weights=[np.ones(len(x)) for x in xs], threads=1, **options)
    again = lagstat_tica.scan(xs, [1, 4], weights=[np.ones(len(x)) for x in xs], threads=3, **options)
    names = ["vamp2", "vamp2_cv_folds"] + (["eigenvalues_ci", "vamp2_ci"] if options.get("bootstrap") else [])
    _close([(getattr(ones, k), getattr(plain, k)) for k in names] + list(zip(ones.eigenvalues, plain.eigenvalues)))
    assert np.array_equal(ones.n_pairs, plain.n_pairs) and ones.n_files == plain.n_files == count
    for k in names:  # the thread count changes no bit
        assert np.array_equal(getattr(ones, k), getattr(again, k), equal_nan=True), k
    # the weights reach every fold and resample: the first trajectory weighed down changes them all
    down = [np.full(len(x), 0.01 if i == 0 else 1.0) for i, x in enumerate(xs)]
    other = lagstat_tica.scan(xs, [1, 4], weights=down, **options)
    for k in names:
        assert getattr(plain, k).size == 0 or not np.allclose(getattr(other, k), getattr(plain, k), rtol=1e-6,
                                                              atol=0, equal_nan=True), k


@pytest.mark.parametrize("cuts, more", [
    ([], []),                         # one call
    ([1, 2, 3], []),                  # chunks shorter than the lag
    ([1023, 1024, 1025, 2048], []),   # around the block boundaries
    ([500, 3000, 3001], []),
    ([4990, 4995], [15, 3, 1100, 2 * LAG]),  # more trajectories, some shorter than two lags
])
def test_partial_fit_any_chunking_same_bits(cuts, more):
    xs = _data(11, [5000] + more)
    ws = [np.random.default_rng(3).uniform(0.1, 1.0, size=len(x)) for x in xs]
    whole = TICA(LAG).fit(xs, weights=ws)
    model = TICA(LAG)
    x, w = xs[0], ws[0]
    for a, b in zip([0] + cuts, cuts + [len(x)]):
        model.partial_fit(x[a:b], weights=w[a:b])
    for x, w in zip(xs[1:], ws[1:]):
        model.partial_fit(x[:7], weights=w[:7], new_trajectory=True)
        model.partial_fit(x[7:], weights=w[7:])
    for name in ("mean_", "cov_", "cov_tau_", "eigenvalues_"):
        assert np.array_equal(getattr(model, name), getattr(whole, name)), name
    assert model.n_pairs_ == whole.n_pairs_ == sum(max(0, len(x) - LAG) for x in xs)
    # an open trajectory stays out of a pickle: the copy is the model fitted so far
    assert np.array_equal(pickle.loads(pickle.dumps(model)).cov_, whole.cov_)


def test_partial_fit_of_trajectories_and_pair_tuples_matches_deeptime():
    dec = pytest.importorskip("deeptime.decomposition")
    xs = _data(13, [1500, 800, 1200])
    ws = [np.random.default_rng(9).uniform(0.1, 2.0, size=len(x)) for x in xs]
    ours, theirs = TICA(LAG, scaling=None), dec.TICA(lagtime=LAG, scaling=None)
    for k, (x, w) in enumerate(zip(xs, ws)):
        # the second trajectory as deeptime's pair tuple (frames of no trajectory)
        if k == 1:
            ours.partial_fit((x[:-LAG], x[LAG:]), weights=w[:-LAG])
        else:
            ours.partial_fit(x, weights=w, new_trajectory=True)
        theirs.partial_fit(x if k != 1 else (x[:-LAG], x[LAG:]), weights=w[:-LAG])  # its pairs' weights
    want = theirs.fetch_model()
    _close([(ours.mean_, want.mean_0), (ours.eigenvalues_, want.singular_values)])


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
    ([1.0, 1.0, 1.0, 1.0, 1.0, -np.inf], {}, r"trajectory 0, line 6: weight -inf"),
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


@pytest.mark.parametrize("frames, finite", [
    ([[1e308, 1e308, 1.0]] * 4, True),    # the sum overflows, every value is finite
    ([[-1e308, 1e308, 1e308]] * 4, True),
    ([[1.0, np.inf, -np.inf]] * 4, False),  # the sum is nan
    ([[1.0, 2.0, 3.0]] * 3 + [[1.0, np.nan, 3.0]], False),
    ([[1e308] * 3] * 3 + [[1.0, 1.0, np.inf]], False),
])
def test_frames_in_memory_are_checked_for_nan_and_inf_however_their_sum_rounds(frames, finite):
    from lagstat_tica._sources import trajectories

    if finite:
        assert np.array_equal(trajectories(np.array(frames))[0], frames)
    else:
        with pytest.raises(ValueError, match="not finite"):
            trajectories(np.array(frames))


@pytest.mark.parametrize("lengths, at, value", [
    ([300], (0, 150, 1), np.nan),            # in a pair's frame
    ([300], (0, 299, 0), np.inf),            # in the tail
    ([300, LAG + 2], (1, LAG - 1, 0), -np.inf),  # a frame of no pair: a short trajectory's middle
    ([300, LAG], (1, 0, 1), np.nan),         # a trajectory of no pair
])
def test_weighted_fit_refuses_frames_that_are_not_finite(lengths, at, value):
    # the weighted fit finds them in its sums, and looks at the frames no pair holds apart
    xs = _data(14, lengths)
    xs[at[0]][at[1], at[2]] = value
    with pytest.raises(ValueError, match="not finite"):
        TICA(LAG).fit(xs, weights=[np.ones(len(x)) for x in xs])


def _deeptime_ck(name, kw, segs, wsegs, lag, lags, n_obs):
    """deeptime's ck_test of its model at `lag` against its models fitted at `lags` with the same
    weights (and the tested model)."""
    dec = pytest.importorskip("deeptime.decomposition")

    def fitted(t):
        e = getattr(dec, name)(lagtime=t, **kw)
        for x, w in zip(segs, wsegs):
            if len(x) > t:
                e.partial_fit((x[:-t], x[t:]), weights=w[:-t])
        return e.fetch_model()
    tested = fitted(lag)
    return tested.ck_test([fitted(t) for t in lags], n_observables=n_obs), tested


def _ck_agrees(model, ck, ref, tested):
    assert np.isnan(ck.predictions[0]).all() and np.isnan(ck.estimates[0]).all()
    # a singular function's sign is free: entry (i, j) carries those of phi_i and psi_j
    m = ck.estimates.shape[1]
    v = model._koopman_parts().v[:, :m]
    signs = np.where(np.sum(v * tested.singular_vectors_right[:, :m], axis=0) >= 0, 1.0, -1.0)
    flip = np.outer(signs, signs)[None]
    for got, want in ((ck.predictions[1:] * flip, ref.predictions[1:]), (ck.estimates[1:] * flip, ref.estimates[1:])):
        assert np.max(np.abs(got - want)) <= 1e-8 * np.max(np.abs(want))


# id, our estimator, deeptime's, parameters
CK_ESTIMATORS = [("tica", TICA, "TICA", {"dim": 2}), ("vamp", VAMP, "VAMP", {"dim": 3})]


@pytest.mark.parametrize("ours, theirs, kw", [c[1:] for c in CK_ESTIMATORS], ids=[c[0] for c in CK_ESTIMATORS])
@pytest.mark.parametrize("lengths, given, weights", [c[1:] for c in CASES[1:4]], ids=[c[0] for c in CASES[1:4]])
def test_ck_test_of_a_weighted_model_matches_deeptime(ours, theirs, kw, lengths, given, weights):
    xs = _data(30, lengths, n=5)
    ws = [np.random.default_rng(9).uniform(0.0, 2.0, size=len(x)) for x in xs]
    model = ours(4, **kw).fit(xs if len(xs) > 1 else xs[0], **given(xs, ws))
    ck = model.ck_test(lags=[4, 8, 20], n_observables=2)
    _ck_agrees(model, ck, *_deeptime_ck(theirs, kw, xs, weights(xs, ws), 4, [4, 8, 20], 2))


# id, a call on two short trajectories xs (weights ws), message
READ_ERRORS = [
    ("moments: bias without weights", lambda xs, ws: lagstat_tica.moments(xs, 1, bias_kT=2.0),
     r"bias_kT needs weights"),
    ("moments: frames all of weight zero", lambda xs, ws: lagstat_tica.moments(xs, 1, weights=[0 * w for w in ws]),
     r"the weights of all frames are zero"),
    ("scan: Koopman beside weights", lambda xs, ws: lagstat_tica.scan(xs, [1], weights=ws, koopman_weights=True),
     r"koopman_weights=True computes the weights"),
    ("scan: pairs all of weight zero", lambda xs, ws: lagstat_tica.scan(xs, [2], weights=[
        np.r_[0.0 * w[:-2], w[-2:]] for w in ws]), r"the weights of all lagged pairs are zero"),
    ("scan: a bootstrap by blocks", lambda xs, ws: lagstat_tica.scan(xs, [1], weights=ws, bootstrap=10, seed=1),
     r"bootstrap by blocks of frames resamples unweighted sums.*at least 10 trajectories"),
    ("vamp: a negative weight", lambda xs, ws: VAMP(1).fit(xs, weights=[np.r_[1.0, -0.5, w[2:]] for w in ws]),
     r"trajectory 0, line 2: weight -0\.5"),
    ("vamp: too few weights", lambda xs, ws: VAMP(1).fit(xs, weights=[w[:5] for w in ws]),
     r"trajectory 0: 5 weights for 40 frames"),
    ("vamp: no pairs", lambda xs, ws: VAMP(50).fit(xs, weights=ws), r"every trajectory has at most lag 50 frames"),
]


@pytest.mark.parametrize("call, message", [c[1:] for c in READ_ERRORS], ids=[c[0] for c in READ_ERRORS])
def test_weighted_reads_refused_with_the_reason(call, message):
    xs = _data(60, [40, 30])
    with pytest.raises(ValueError, match=message):
        call(xs, [np.ones(len(x)) for x in xs])


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


@pytest.mark.parametrize("pooled", [False, True], ids=["pairs", "pooled by frame"])
@pytest.mark.parametrize("seed, frames", [(1, 30000), (2, 50001), (3, 4097)])
def test_compensated_sums_within_ulps_of_exact(seed, frames, pooled):
    # a slow multi-well coordinate far from the origin beside noise of widely different scales:
    # a plain sum in frame order loses several ulps of the correlation here
    rng = np.random.default_rng(seed)
    well = np.sign(np.sin(np.arange(frames) / 977.0)) + 0.1 * rng.normal(size=frames)
    x = np.column_stack([1e3 + well, 1e-4 * rng.normal(size=frames), 1e5 * rng.normal(size=frames) + 7e5])
    w = rng.uniform(0.5, 1.5, size=frames)
    xs = x[:-LAG] - x[0]
    ys = x[LAG:] - x[0]
    wx = w[:-LAG, None] * xs
    if pooled:
        # a frame's weight is those of its two pairs: (x_t, x_{t+lag}) and (x_{t-lag}, x_t)
        acc = _weights.PooledSums(LAG)
        acc.add(x, w)
        total, sums, squares, got = acc.totals()
        v = np.concatenate([w[:-LAG], np.zeros(LAG)])
        v[LAG:] += w[:-LAG]
        vx, xx = v[:, None] * (x - x[0]), x - x[0]
    else:
        acc = _weights.WeightedPairSums()
        acc.add(x[:-LAG], x[LAG:], w[:-LAG])
        t = acc.totals()
        total, sums, got = float(t["w"]), t["sx"], t["sxy"]
        vx, xx = wx, xs
    unit = 4 * 2.0 ** -52
    diag = [_exact_sum(wx[:, i] * xs[:, i]) for i in range(3)]
    for i in range(3):
        for j in range(3):
            exact = _exact_sum(wx[:, i] * ys[:, j])
            assert abs(got[i, j] - exact) <= unit * math.sqrt(diag[i] * diag[j]), (i, j)
            if pooled:
                scale = math.sqrt(squares[i, i] * squares[j, j])
                assert abs(squares[i, j] - _exact_sum(vx[:, i] * xx[:, j])) <= unit * scale, (i, j)
        assert abs(sums[i] - _exact_sum(vx[:, i])) <= unit * math.sqrt(diag[i] * total)


def _exact_centred(x, y, w, mean):
    """Σ w (x - mean)(y - mean)ᵀ of doubles, exactly (fractions), rounded once."""
    from fractions import Fraction

    m = [Fraction(v) for v in mean]
    n = x.shape[1]
    return np.array([[float(sum(Fraction(a) * (Fraction(p) - m[i]) * (Fraction(q) - m[j])
                                for a, p, q in zip(w, x[:, i], y[:, j]))) for j in range(n)] for i in range(n)])


def _exact_mean(xs, ws):
    from fractions import Fraction

    total = sum(Fraction(a) for a in np.concatenate(ws))
    frames = np.concatenate(xs)
    return [sum(Fraction(a) * Fraction(b) for a, b in zip(np.concatenate(ws), frames[:, i])) / total
            for i in range(frames.shape[1])]


@pytest.mark.parametrize("what", ["tica C00", "moments cov", "moments tcov"])
def test_centring_of_weighted_sums_adds_no_rounding_of_their_size(what):
    # Eighths and small integer weights: every product and sum is exact, so only the move of the
    # centre from the shift (the first frame, far out) to the mean could round; in plain doubles
    # it loses ~1e-12 here, in double-doubles nothing before the result's one rounding.
    rng = np.random.default_rng(12)
    x = rng.integers(0, 64, size=(600, 2)) / 8.0
    x[0] += 2.0 ** 10
    w = rng.integers(1, 4, size=len(x)).astype(float)
    if what == "tica C00":
        got = TICA(LAG).fit(x, weights=w).cov_
        xs, ws = [x[:-LAG], x[LAG:]], [w[:-LAG], w[:-LAG]]
        m = _exact_mean(xs, ws)
        want = (_exact_centred(xs[0], xs[0], ws[0], m) + _exact_centred(xs[1], xs[1], ws[1], m)) / (2 * w[:-LAG].sum())
    else:
        stats = lagstat_tica.moments(x, LAG, weights=w)
        m = _exact_mean([x], [w])
        got = stats["cov"] if what == "moments cov" else stats["tcov"]
        want = _exact_centred(x, x, w, m) if what == "moments cov" else _exact_centred(x[:-LAG], x[LAG:], w[:-LAG], m)
    assert np.allclose(got, want, rtol=4e-16, atol=0)


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
    # VAMP and the scan reweigh as deeptime at their lags (a scan estimates the weights per lag)
    vamp = VAMP(lag).fit(xs, koopman_weights=True)
    want = _deeptime_vamp(xs, [kw.weights(x) for x in xs], lag)
    _close([(vamp.mean_0_, want[0]), (vamp.cov_0t_, want[3]), (vamp.singular_values_, want[5])])
    s = lagstat_tica.scan(xs, [lag, 2 * lag], koopman_weights=True, folds=0)
    kw2 = cov.KoopmanWeightingEstimator(lagtime=2 * lag).fit([x for x in xs if len(x) > 2 * lag]).fetch_model()
    _close([(s.eigenvalues[0], model.eigenvalues_),
            (s.eigenvalues[1], _deeptime(xs, [kw2.weights(x) for x in xs], 2 * lag)[3])])
    assert s.n_reads == vamp.n_reads_ == 2
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


def _files_and_segments(tmp_path, lengths, restarts, theirs):
    """COLVARs of weighted trajectories, and deeptime's view of them: a restart ends a
    trajectory, the weights as the bias gives them."""
    xs = _data(20 + len(lengths), lengths)
    rng = np.random.default_rng(8)
    vs = [rng.uniform(0.0, 30.0, size=len(x)) for x in xs]
    paths = [_colvar(tmp_path / ("c%d" % i), x, v, r) for i, (x, v, r) in enumerate(zip(xs, vs, restarts))]
    ws = theirs(vs)
    ws = list(np.split(ws[0], np.cumsum(lengths)[:-1])) if len(ws) == 1 else ws
    segs, wsegs = [], []
    for x, w, r in zip(xs, ws, restarts):
        cut = [r] if r is not None else []
        segs += np.split(x, cut)
        wsegs += np.split(w, cut)
    return paths, segs, wsegs


@pytest.mark.parametrize("lengths, restarts, kw, theirs", [c[1:] for c in FILE_CASES], ids=[c[0] for c in FILE_CASES])
def test_weights_column_of_files_matches_deeptime(tmp_path, lengths, restarts, kw, theirs):
    paths, segs, wsegs = _files_and_segments(tmp_path, lengths, restarts, theirs)
    model = TICA(LAG, scaling=None).fit(paths, **kw)
    mean, c00, c0t, svals = _deeptime(segs, wsegs, LAG)
    assert model.columns_ == ("d1", "d2", "d3", "d4")
    assert model.n_pairs_ == sum(len(s) - LAG for s in segs)
    for got, want in ((model.mean_, mean), (model.cov_, c00), (model.cov_tau_, c0t), (model.eigenvalues_, svals)):
        assert np.allclose(got, want, rtol=1e-10, atol=1e-10 * np.abs(want).max())


@pytest.mark.parametrize("what", ["moments", "scan", "vamp"])
@pytest.mark.parametrize("lengths, restarts, kw, theirs", [c[1:] for c in FILE_CASES], ids=[c[0] for c in FILE_CASES])
def test_weights_column_in_moments_scan_vamp_matches_deeptime(tmp_path, what, lengths, restarts, kw, theirs):
    paths, segs, wsegs = _files_and_segments(tmp_path, lengths, restarts, theirs)
    _close(_weighted_estimates(what, paths, kw, segs, wsegs, LAG))


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


def _fed_fifo(path, data):
    """A FIFO at path that a thread fills with data (bytes) once a reader opens it."""
    import threading

    os.mkfifo(path)

    def feed():
        with open(path, "wb") as f:
            f.write(data)

    thread = threading.Thread(target=feed, daemon=True)
    thread.start()
    return str(path), thread


@pytest.mark.parametrize("what", ["tica", "moments", "scan", "vamp"])
@pytest.mark.parametrize("compress", [None, "gzip"])
def test_weights_column_read_from_a_pipe(tmp_path, what, compress):
    import gzip

    x = _data(70, [1500])[0]
    path = _colvar(tmp_path / "c0", x, np.random.default_rng(9).uniform(0.0, 20.0, size=len(x)), restart_at=700)
    data = open(path, "rb").read()
    fifo, thread = _fed_fifo(tmp_path / "fifo", gzip.compress(data) if compress else data)
    kw = {"weights": "metad.bias", "bias_kT": 2.5}
    fits = {"tica": lambda p: TICA(LAG).fit(p, **kw).cov_tau_,
            "moments": lambda p: lagstat_tica.moments(p, LAG, **kw)["tcov"],
            "scan": lambda p: lagstat_tica.scan(p, [1, LAG], folds=0, **kw).eigenvalues[1],
            "vamp": lambda p: VAMP(LAG).fit(p, **kw).singular_values_}
    from_pipe = fits[what](fifo)
    thread.join()
    assert np.array_equal(from_pipe, fits[what](path))


def test_koopman_weights_refuse_a_pipe(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="reads every file twice.*is a pipe"):
        TICA(1).fit(fifo, koopman_weights=True)


@pytest.mark.parametrize("ours, theirs, kw", [c[1:] for c in CK_ESTIMATORS], ids=[c[0] for c in CK_ESTIMATORS])
@pytest.mark.parametrize("lengths, restarts, given, theirs_w", [c[1:] for c in FILE_CASES[1:]],
                         ids=[c[0] for c in FILE_CASES[1:]])
def test_ck_test_of_a_model_weighted_by_a_column_matches_deeptime(tmp_path, ours, theirs, kw, lengths, restarts,
                                                                   given, theirs_w):
    paths, segs, wsegs = _files_and_segments(tmp_path, lengths, restarts, theirs_w)
    model = ours(LAG, **kw).fit(paths, **given)
    ck = model.ck_test(lags=[LAG, 3 * LAG], n_observables=2)
    _ck_agrees(model, ck, *_deeptime_ck(theirs, kw, segs, wsegs, LAG, [LAG, 3 * LAG], 2))
    # the lags again from files handed over anew, and from a pickled model
    again = pickle.loads(pickle.dumps(model)).ck_test(lags=[LAG, 3 * LAG], n_observables=2, data=paths)
    assert np.array_equal(again.estimates[1:], ck.estimates[1:])
