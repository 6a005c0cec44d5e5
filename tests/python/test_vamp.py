"""VAMP, the Chapman-Kolmogorov test and the feature-component correlation, with deeptime as the
oracle: the same data as arrays and as text files, and the command line's report and figures."""
import pickle
import warnings

import numpy as np
import pytest

from lagstat_tica import TICA, VAMP
from lagstat_tica.cli import main as cli_main

dec = pytest.importorskip("deeptime.decomposition")

NAMES = ("phi", "psi", "chi", "omega", "rho")


def _driven(lengths, n=4, seed=0, drift=0.0, collinear=False):
    """A linear process with a rotation in it (non-reversible), an offset mean and an optional
    drift, so that the halves of the pairs have different means and covariances; collinear adds
    a column that is the sum of the first two (C00 and Ctt of rank n)."""
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, n))
    a = 0.93 * a / np.abs(np.linalg.eigvals(a)).max()
    out = []
    for t in lengths:
        x = np.zeros((t, n))
        x[0] = rng.normal(size=n)
        noise = rng.normal(size=(t, n))
        for k in range(1, t):
            x[k] = x[k - 1] @ a.T + noise[k]
        x = x + 5.0 + drift * np.arange(t)[:, None] / t
        out.append(np.hstack([x, x[:, :1] + x[:, 1:2]]) if collinear else x)
    return out


def _files(tmp_path, arrays):
    paths = []
    for i, x in enumerate(arrays):
        path = tmp_path / ("part%d.csv" % i)
        with open(path, "w") as f:
            f.write(",".join(NAMES[: x.shape[1]]) + "\n")
            np.savetxt(f, x, delimiter=",", fmt="%.17g")
        paths.append(str(path))
    return paths


def _rel(actual, expected):
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape
    return float(np.max(np.abs(actual - expected)) / max(np.max(np.abs(expected)), 1e-300))


def _sign_aligned(p, q):
    """p with each column's sign chosen to match q's."""
    signs = np.where(np.sum(p * q, axis=0) >= 0, 1.0, -1.0)
    return p * signs


# id, trajectory lengths, drift, lag, VAMP parameters, fit from files
VAMP_CASES = [
    ("one trajectory", [4000], 0.0, 5, {}, False),
    ("three trajectories", [2500, 1800, 3], 0.0, 7, {}, False),
    ("kinetic map", [3000, 2000], 0.0, 3, {"scaling": "kinetic_map"}, False),
    ("dim", [3000, 2000], 0.0, 4, {"dim": 2}, False),
    ("var_cutoff", [3000, 2000], 0.0, 4, {"var_cutoff": 0.7}, False),
    ("drifting means", [3000, 2500], 4.0, 10, {"scaling": "km"}, False),
    ("text files", [2000, 1500], 2.0, 6, {"dim": 3}, True),
    ("rank below the columns", [3000], 1.0, 5, {"epsilon": 1e-8, "collinear": True}, False),
]


@pytest.mark.parametrize("lengths, drift, lag, kw, files", [c[1:] for c in VAMP_CASES],
                         ids=[c[0] for c in VAMP_CASES])
def test_vamp_matches_deeptime(tmp_path, lengths, drift, lag, kw, files):
    kw = dict(kw)
    collinear = kw.pop("collinear", False)
    arrays = _driven(lengths, drift=drift, seed=len(lengths) + lag, collinear=collinear)
    model = VAMP(lag, **kw).fit(_files(tmp_path, arrays) if files else arrays)
    ref = dec.VAMP(lagtime=lag, **kw).fit(arrays).fetch_model()
    assert _rel(model.singular_values_, ref.singular_values) <= 1e-10
    assert model.dim_ == ref.output_dimension
    for ours, theirs in ((model.mean_0_, ref.mean_0), (model.mean_t_, ref.mean_t), (model.cov_00_, ref.cov_00),
                         (model.cov_0t_, ref.cov_0t), (model.cov_tt_, ref.cov_tt)):
        assert _rel(ours, theirs) <= 1e-10
    left, right = ref.singular_vectors_left, ref.singular_vectors_right
    assert _rel(_sign_aligned(model.singular_vectors_left_, left), left) <= 1e-8
    assert _rel(_sign_aligned(model.singular_vectors_right_, right), right) <= 1e-8
    assert _rel(_sign_aligned(model.feature_component_correlation_, ref.feature_component_correlation),
                ref.feature_component_correlation) <= 1e-8
    for x in arrays:
        assert _rel(_sign_aligned(model.transform(x), ref.transform(x)), ref.transform(x)) <= 1e-8
        lagged = ref.backward(x, propagate=False)
        assert _rel(_sign_aligned(model.transform(x, lagged=True), lagged), lagged) <= 1e-8
    for r in (1, 2, "E", 3.5):
        assert abs(model.score(r=r) - ref.score(r)) <= 1e-10 * abs(ref.score(r))
    other = _driven([1500], drift=drift, seed=99, collinear=collinear)
    test_model = dec.VAMP(lagtime=lag, **kw).fit(other).fetch_model()
    assert abs(model.score(other, r=2) - ref.score(2, test_model)) <= 1e-9 * ref.score(2, test_model)


# how the frames reach partial_fit: a list of (chunk, new_trajectory)
CHUNKINGS = [
    ("whole", lambda xs: [(x, True) for x in xs]),
    ("uneven chunks", lambda xs: [(c, i == 0) for x in xs for i, c in enumerate(np.array_split(x, [1, 7, 500]))]),
]


@pytest.mark.parametrize("chunks", [c[1] for c in CHUNKINGS], ids=[c[0] for c in CHUNKINGS])
def test_vamp_partial_fit_is_fit(chunks):
    arrays = _driven([900, 700], seed=5)
    whole = VAMP(4, dim=2).fit(arrays)
    model = VAMP(4, dim=2)
    for x, new in chunks(arrays):
        model.partial_fit(x, new_trajectory=new)
    for name in ("singular_values_", "singular_vectors_left_", "cov_0t_", "mean_t_"):
        np.testing.assert_array_equal(getattr(model, name), getattr(whole, name))


# id, estimator pair, parameters, lags of the test, n_observables
CK_CASES = [
    ("vamp", VAMP, dec.VAMP, {"dim": 3}, [5, 10, 15, 25], 2),
    ("vamp all observables", VAMP, dec.VAMP, {"dim": 2}, [5, 10], None),
    ("vamp kinetic map", VAMP, dec.VAMP, {"dim": 3, "scaling": "km"}, [5, 20], 3),
    ("tica", TICA, dec.TICA, {"dim": 3}, [5, 10, 15, 25], 2),
    ("tica unscaled", TICA, dec.TICA, {"dim": 2, "scaling": None}, [5, 30], 2),
    ("tica var_cutoff", TICA, dec.TICA, {"dim": 3, "var_cutoff": 0.8}, [10, 5], 1),
]


@pytest.mark.parametrize("ours, theirs, kw, lags, n_obs", [c[1:] for c in CK_CASES], ids=[c[0] for c in CK_CASES])
def test_ck_test_matches_deeptime(ours, theirs, kw, lags, n_obs):
    arrays = _driven([3000, 2200], drift=1.0, seed=11)
    model = ours(5, **kw).fit(arrays)
    ck = model.ck_test(lags=lags, n_observables=n_obs)
    tested = theirs(lagtime=5, **kw).fit(arrays).fetch_model()
    ref = tested.ck_test([theirs(lagtime=t, **kw).fit(arrays).fetch_model() for t in lags], n_observables=n_obs)
    np.testing.assert_array_equal(ck.lagtimes, ref.lagtimes)
    assert ck.predictions.shape == ref.predictions.shape and ck.estimates.shape == ref.estimates.shape
    assert np.isnan(ck.predictions[0]).all() and np.isnan(ck.estimates[0]).all()
    # Each singular function's sign is free; the entry (i, j) carries the signs of phi_i and psi_j,
    # which flip together with their singular vector pair.
    m = ck.estimates.shape[1]
    ours_v = model._koopman_parts().v[:, :m]
    signs = np.where(np.sum(ours_v * tested.singular_vectors_right[:, :m], axis=0) >= 0, 1.0, -1.0)
    flip = np.outer(signs, signs)[None]
    assert _rel(ck.predictions[1:] * flip, ref.predictions[1:]) <= 1e-8
    assert _rel(ck.estimates[1:] * flip, ref.estimates[1:]) <= 1e-8


def test_ck_test_reads_files_once_for_all_lags(tmp_path, monkeypatch):
    from lagstat_tica import _moments

    arrays = _driven([2000, 1500], seed=3)
    model = VAMP(4, dim=2).fit(_files(tmp_path, arrays))
    calls = []
    real = _moments.one_read
    monkeypatch.setattr(_moments, "one_read", lambda files, lags, **kw: calls.append(list(lags)) or real(
        files, lags, **kw))
    ck = model.ck_test(lags=[4, 8, 12])
    assert calls == [[4, 8, 12]]
    from_arrays = VAMP(4, dim=2).fit(arrays).ck_test(lags=[4, 8, 12])
    np.testing.assert_allclose(ck.estimates[1:], from_arrays.estimates[1:], rtol=1e-9, atol=1e-12)


# id, call on a fitted VAMP(4, dim=2), the error and a piece of its message
CK_REFUSALS = [
    ("not a multiple", lambda m: m.ck_test(lags=[4, 6]), ValueError, "multiples of the model's lag 4"),
    ("zero lag", lambda m: m.ck_test(lags=[0, 4]), ValueError, "multiples"),
    ("no observables", lambda m: m.ck_test(lags=[4], n_observables=0), ValueError, "positive integer"),
    ("partial fit keeps no inputs", lambda m: VAMP(4).partial_fit(np.random.default_rng(0).normal(size=(300, 4)))
     .ck_test(lags=[8]), ValueError, "give them as data="),
    ("fitted from a pipe", lambda m: _from_pipe().ck_test(lags=[8]), ValueError, "was a pipe, read once"),
    ("koopman-weighted tica", lambda m: TICA(4).fit(np.random.default_rng(0).normal(size=(300, 2)),
                                                    koopman_weights=True).ck_test(lags=[8]), ValueError,
     "koopman_weights=True .*has no test"),
    ("koopman-weighted vamp", lambda m: VAMP(4).fit(np.random.default_rng(0).normal(size=(300, 2)),
                                                    koopman_weights=True).ck_test(lags=[8]), ValueError,
     "koopman_weights=True .*has no test"),
    ("weighted partial fit", lambda m: TICA(4).partial_fit(np.random.default_rng(0).normal(size=(300, 2)),
                                                           weights=np.ones(300)).ck_test(lags=[8]), ValueError,
     "partial_fit with frame weights has no test"),
    ("weighted, pickled", lambda m: pickle.loads(pickle.dumps(VAMP(4).fit(np.ones((300, 2)).cumsum(0) ** 0.5,
                                                                         weights=np.ones(300))))
     .ck_test(lags=[8], data=np.ones((300, 2))), ValueError, "a pickled model keeps neither"),
    ("deeptime's name", lambda m: m.cov_tt, AttributeError, "'VAMP' object has no attribute 'cov_tt': .* cov_tt_"),
    ("tica's name", lambda m: m.eigenvalues_, AttributeError, "VAMP has singular_values_"),
    ("commute map", lambda m: VAMP(4, scaling="commute_map").fit(np.ones((50, 2))), ValueError, "scaling"),
]


def _from_pipe():
    """A VAMP fitted from a pipe that held the CSV text of a trajectory."""
    import os
    import threading

    read_end, write_end = os.pipe()
    text = "a,b\n" + "".join("%.17g,%.17g\n" % tuple(row) for row in _driven([400], n=2, seed=9)[0])

    def feed():
        with os.fdopen(write_end, "w") as f:
            f.write(text)

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        return VAMP(4).fit("/dev/fd/%d" % read_end)
    finally:
        feeder.join()
        os.close(read_end)


@pytest.mark.parametrize("call, error, text", [c[1:] for c in CK_REFUSALS], ids=[c[0] for c in CK_REFUSALS])
def test_refusals(call, error, text):
    model = VAMP(4, dim=2).fit(_driven([600], seed=1))
    with pytest.raises(error, match=text):
        call(model)


def test_ck_observables_above_dim_warn_as_deeptime():
    model = TICA(5, dim=2).fit(_driven([1500], seed=2))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ck = model.ck_test(lags=[5, 10], n_observables=4)
    assert ck.n_components == 2 and any("n_observables 4" in str(w.message) for w in caught)


@pytest.mark.parametrize("kw", [{}, {"scaling": None, "dim": 2}, {"scaling": "commute_map"}])
def test_tica_feature_correlation_matches_deeptime(kw):
    arrays = _driven([2500, 1000], seed=8)
    model = TICA(6, **kw).fit(arrays)
    ref = dec.TICA(lagtime=6, **kw).fit(arrays).fetch_model().feature_component_correlation
    assert _rel(_sign_aligned(model.feature_component_correlation_, ref), ref) <= 1e-8


# id, extra arguments, lines the report must hold (formatted with the data's own numbers)
CLI_CASES = [
    ("vamp report", ["--estimator", "vamp", "--dim", "2"], ["singular value", "features most correlated"]),
    ("ck table", ["--estimator", "vamp", "--ck-lags", "3,6", "--top-features", "0"],
     ["Chapman-Kolmogorov test of the model at lag 3"]),
    ("tica ck figure", ["--ck-plot", "ck.png", "--dim", "2"], ["Chapman-Kolmogorov figure saved"]),
    ("vamp projections", ["--estimator", "vamp", "--dim", "2", "--scaling", "kinetic_map", "--out", "proj"],
     ["projections (2 components) written"]),
]


@pytest.mark.parametrize("extra, wanted", [c[1:] for c in CLI_CASES], ids=[c[0] for c in CLI_CASES])
def test_cli(tmp_path, capsys, monkeypatch, extra, wanted):
    arrays = _driven([1500], seed=4)
    paths = _files(tmp_path, arrays)
    monkeypatch.chdir(tmp_path)
    assert cli_main(paths + ["--lag", "3", "--quiet"] + extra) == 0
    out = capsys.readouterr().out
    for text in wanted:
        assert text in out
    estimator = VAMP if "vamp" in extra else TICA
    scaling = {"scaling": "kinetic_map"} if "kinetic_map" in extra else {}
    model = estimator(3, dim=2 if "--dim" in extra else None, **scaling).fit(paths)
    if "--top-features" not in extra:
        for name, corr in model.top_features(3)[0]:
            assert "%s %+.3f" % (name, corr) in out
    if "--ck-lags" in extra:
        ck = model.ck_test(lags=[3, 6])
        assert "%22.15g" % ck.estimates[2, 0, 0] in out
    if "--out" in extra:  # "%f" text of the instantaneous projection
        written = np.loadtxt(tmp_path / "proj" / "part0.csv.tica.txt")
        np.testing.assert_allclose(written, model.transform(arrays[0]), rtol=0, atol=1e-6)
    if "--ck-plot" in extra:
        assert (tmp_path / "ck.png").stat().st_size > 0


@pytest.mark.parametrize("extra, message", [
    (["--estimator", "vamp", "--scaling", "commute_map"], "commute_map is TICA's"),
    (["--ck-lags", "3,5"], "multiples of the model's lag 3"),
    (["--ck-observables", "2"], "option of --ck-lags"),
])
def test_cli_refusals(tmp_path, capsys, extra, message):
    paths = _files(tmp_path, _driven([300], seed=4))
    try:
        rc = cli_main(paths + ["--lag", "3", "--quiet"] + extra)
    except SystemExit as exc:
        rc = exc.code
    assert rc != 0 and message in capsys.readouterr().err


def test_ck_test_of_a_scanned_model_reads_nothing(monkeypatch):
    from lagstat_tica import _moments, scan

    arrays = _driven([2000, 1600], seed=6)
    model = scan(arrays, [4, 8, 16], folds=0).tica(4, dim=2)
    monkeypatch.setattr(_moments, "one_read", lambda *a, **k: pytest.fail("read again"))
    ck = model.ck_test(lags=[4, 8, 16])
    monkeypatch.undo()
    fitted = TICA(4, dim=2).fit(arrays).ck_test(lags=[4, 8, 16])
    # TICA's vectors carry fixed signs, so the two tests agree entry by entry
    np.testing.assert_allclose(ck.estimates[1:], fitted.estimates[1:], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(ck.predictions[1:], fitted.predictions[1:], rtol=1e-9, atol=1e-12)
    # an estimator fitted with weights before takes the sums given as they are, not its weights
    from lagstat_tica import _weighted_reads

    again = TICA(4, dim=2).fit(arrays, weights=[np.random.default_rng(2).uniform(0.1, 2, len(x)) for x in arrays])
    again.fit_from_sums(model.moments_)
    monkeypatch.setattr(_weighted_reads, "read", lambda *a, **k: pytest.fail("read again"))
    np.testing.assert_array_equal(again.ck_test(lags=[4, 8, 16]).estimates[1:], ck.estimates[1:])
