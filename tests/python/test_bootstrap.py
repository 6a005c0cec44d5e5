"""The scan's groups of files and the bootstrap over them: resamples equal to refits of the
resampled files' own sums, the same bits for any seed's reruns and job counts, and intervals that
cover as they claim on a simulated triple well."""
import os

import numpy as np
import pytest

import lagstat_tica
from lagstat_tica import _bootstrap as boot
from lagstat_tica import _estimator as est
from lagstat_tica import _moments


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def ar_files(tmp_path, lengths, columns, seed):
    """Files of a slow and a fast AR(1) process mixed into noisy, offset columns."""
    rng = np.random.default_rng(seed)
    mixing = rng.normal(size=(2, columns))
    paths = []
    for i, t in enumerate(lengths):
        latent = np.zeros((t, 2))
        noise = rng.normal(size=(t, 2))
        for k in range(1, t):
            latent[k] = (0.97, 0.6) * latent[k - 1] + noise[k]
        x = latent @ mixing + 0.2 * rng.normal(size=(t, columns)) + 5.0 * np.arange(columns)
        paths.append(str(tmp_path / ("f%03d.txt" % i)))
        np.savetxt(paths[-1], x, fmt="%.17g")
    return paths


def triple_well(runs, trajectories, frames, seed, substeps=10, dt=2e-3, height=20.0):
    """Overdamped Langevin dynamics (kT = 1) in V(x) = height x^2 (x^2 - 1)^2, wells at -1, 0
    and 1; frames every `substeps` steps, as (runs, trajectories, frames, 3): x, x^2, x^3."""
    rng = np.random.default_rng(seed)
    x = rng.choice([-1.0, 0.0, 1.0], size=(runs, trajectories))
    out = np.empty((frames, runs, trajectories))
    noise = np.sqrt(2 * dt)
    for t in range(frames):
        for _ in range(substeps):
            force = -2 * height * x * (x * x - 1) * (3 * x * x - 1)
            x = x + dt * force + noise * rng.normal(size=x.shape)
        out[t] = x
    out = np.moveaxis(out, 0, 2)
    return np.stack([out, out ** 2, out ** 3], axis=-1)


@pytest.mark.parametrize("files, folds, bootstrap, seed, n_jobs, threads, groups, wide", [
    (12, 5, 30, 7, 1, 1, 12, False),     # a group per file
    (12, 5, 30, 7, 2, 2, 12, False),     # the same bits from two workers
    (12, 5, 30, 7, 2, 2, 12, True),      # ... and by the wide problems' way (replicate by replicate, Cholesky)
    (12, 0, 25, 3, 2, 1, 12, False),     # no folds
    (70, 5, 20, 11, 2, 1, 60, False),    # more files than groups: 60, a multiple of the folds
    (70, 0, 20, 11, 1, 2, 64, True),
])
def test_resamples_are_refits_of_the_resampled_sums(tmp_path, monkeypatch, files, folds, bootstrap, seed, n_jobs,
                                                    threads, groups, wide):
    """Every resample's eigenvalues are the bits of a refit of the sums of the groups it drew,
    added as any read adds them (each file's own sums, file j in group j mod G); and within
    1e-9 of the estimator's own fit of those sums. The folds' scores are those of the per-file
    folds. `wide`: these 3 columns taken the way of hundreds."""
    if wide:
        monkeypatch.setattr(boot, "CHOLESKY_COLUMNS", 1)
        monkeypatch.setattr(boot, "_STACK_BYTES", 1)  # a replicate per stack, stacks on `threads` threads
    rng = np.random.default_rng(files)
    paths = ar_files(tmp_path, rng.integers(60, 200, size=files), 3, seed=files)
    lags = [1, 4, 40]
    result = lagstat_tica.scan(paths, lags, folds=folds, bootstrap=bootstrap, seed=seed, n_jobs=n_jobs,
                               threads=threads)
    per_file = _moments.one_read(paths, lags, keep_per_file=True)["per_file_sums"]
    grouped = [est.merge(per_file[g::groups]) for g in range(groups)]
    assert result.n_groups == groups and result.bootstrap_eigenvalues.shape == (bootstrap, len(lags), 3)
    for b, drawn in enumerate(boot.draws(seed, bootstrap, groups)):
        sums = est.merge([grouped[j] for j in drawn])
        for i in range(len(lags)):
            _, c00, c0t, _, _ = est.pair_moments(sums, i)
            want = boot.eigenvalues(c00[None], c0t[None], 1e-6)[0]
            got = result.bootstrap_eigenvalues[b, i]
            assert np.array_equal(bits(got), bits(want)), (b, i)
            own, _ = est.own_scores(sums, i, 1e-6)
            np.testing.assert_allclose(got[:own.size], own, rtol=0, atol=1e-9 * np.abs(own).max())
    if folds:
        k = min(folds, files)
        plain = lagstat_tica.scan(paths, lags, folds=folds)
        want = [est.fold_scores(est.merge(per_file), est.merge(per_file[f::k]), 1e-6)[0] for f in range(k)]
        np.testing.assert_allclose(result.vamp2_cv_folds, np.transpose(want), rtol=1e-10)
        np.testing.assert_allclose(plain.vamp2_cv_folds, np.transpose(want), rtol=1e-10)


@pytest.mark.parametrize("columns, groups, replicates, threads", [
    (1, 3, 2, 1),
    (33, 5, 3, 2),     # a tile and a row piece and one more column
    (130, 12, 4, 3),   # several row pieces, a ragged last one; more threads than replicates
    (70, 64, 2, 2),    # the most groups a scan keeps
])
def test_native_resampled_moments_are_the_estimators(columns, groups, replicates, threads):
    """The native replicate moments: each replicate's C00 and (C0t + C0tᵀ) / 2 the bits of
    est.centred_moments of the drawn groups' sums added in the order drawn, for any thread
    count and row or tile boundary."""
    rng = np.random.default_rng(columns + groups)
    lags = 2
    shape = {"sum": (columns,), "cov": (columns, columns), "tcov": (lags, columns, columns),
             "head_sum": (lags, columns), "tail_sum": (lags, columns), "head_cov": (lags, columns, columns),
             "tail_cov": (lags, columns, columns)}
    # sums of widely different sizes, so that the centring's double-doubles matter
    made = [{k: rng.normal(size=v) * 10.0 ** rng.integers(-3, 6, size=v) for k, v in shape.items()}
            for _ in range(groups)]
    draws = rng.integers(0, groups, size=(replicates, groups))
    pairs = rng.integers(50, 5000, size=replicates).astype(float)
    c00, c0t = np.empty((replicates, columns, columns)), np.empty((replicates, columns, columns))
    for lag in range(lags):
        boot._native.replicate_moments(made, lag, draws, pairs, c00, c0t, threads)
        for r, row in enumerate(draws):
            drawn = {}
            for k in shape:
                drawn[k] = np.array(made[row[0]][k])
                for g in row[1:]:
                    drawn[k] = drawn[k] + made[g][k]
            parts = [drawn[k][lag] for k in ("tcov", "head_sum", "tail_sum", "head_cov", "tail_cov")]
            _, want00, want0t, _ = est.centred_moments(drawn["sum"], drawn["cov"], parts, pairs[r], ctt=False)
            assert np.array_equal(bits(c00[r]), bits(want00)), (lag, r)
            assert np.array_equal(bits(c0t[r]), bits(0.5 * (want0t + want0t.T))), (lag, r)


@pytest.mark.parametrize("n, capsule, error", [
    (1, "dsterf", None),
    (2, "dsterf", None),
    (70, "dsterf", None),
    (5, "dpotrf", "the capsule scipy.linalg.cython_lapack exports for dsterf"),
])
def test_tridiagonal_eigenvalues_are_lapacks(n, capsule, error):
    from scipy.linalg import cython_lapack

    rng = np.random.default_rng(n)
    d, e = rng.normal(size=(3, n)), rng.normal(size=(3, max(1, n - 1)))
    dense = [np.diag(d[r]) + np.diag(e[r, :n - 1], 1) + np.diag(e[r, :n - 1], -1) for r in range(3)]
    got = d.copy()
    call = lambda: boot._native.tridiagonal_eigenvalues(got, e.copy(), cython_lapack.__pyx_capi__[capsule])  # noqa: E731
    if error:
        with pytest.raises(TypeError, match=error):
            call()
        return
    assert call() == [0, 0, 0]
    np.testing.assert_allclose(got, np.linalg.eigvalsh(dense), rtol=0, atol=1e-13 * np.abs(d).max() * n)


@pytest.mark.parametrize("columns, deficient", [
    (70, 0),    # every direction kept: through the Cholesky factor
    (70, 2),    # two columns repeated: C00 singular, solved by its eigendecomposition as before
    (5, 1),
])
def test_cholesky_way_keeps_the_epsilon_rule(monkeypatch, columns, deficient):
    """Problems whose C00 keeps every direction get the eigenvalues of the whitened problem to
    rounding; those with directions below epsilon the bits they had; each alone as in a stack."""
    rng = np.random.default_rng(columns + deficient)
    problems = []
    for _ in range(3):
        x = rng.normal(size=(400, columns)) @ np.diag(np.linspace(0.5, 2.0, columns))
        x[:, columns - deficient:] = x[:, :deficient]
        y = 0.8 * x + 0.3 * rng.normal(size=x.shape)
        problems.append((x.T @ x / 400, (x.T @ y + y.T @ x) / 800))
    c00, c0t = (np.stack(m) for m in zip(*problems))
    monkeypatch.setattr(boot, "CHOLESKY_COLUMNS", 10 ** 6)
    want = boot.eigenvalues(c00, c0t, 1e-6)
    monkeypatch.setattr(boot, "CHOLESKY_COLUMNS", 1)
    got = boot.eigenvalues(c00, c0t, 1e-6)
    assert np.array_equal(bits(got), bits(np.concatenate([boot.eigenvalues(a[None], b[None], 1e-6)
                                                          for a, b in zip(c00, c0t)])))
    if deficient:
        assert np.array_equal(bits(got), bits(want)) and np.isnan(got[:, -deficient:]).all()
    else:
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * np.abs(want).max())


@pytest.mark.parametrize("bootstrap, ci", [(200, 0.95), (100, 0.5)])
def test_intervals_are_the_percentiles_of_the_resamples(tmp_path, bootstrap, ci):
    paths = ar_files(tmp_path, [150] * 10, 2, seed=5)
    result = lagstat_tica.scan(paths, [2, 8], bootstrap=bootstrap, seed=1, ci=ci)
    reps = result.bootstrap_eigenvalues
    lo, hi = (1 - ci) / 2, (1 + ci) / 2
    np.testing.assert_array_equal(result.eigenvalues_ci[..., 0], np.quantile(reps, lo, axis=0))
    np.testing.assert_array_equal(result.timescales_ci[..., 1],
                                  np.quantile(-np.array([2.0, 8.0])[None, :, None] / np.log(np.abs(reps)), hi, axis=0))
    lower, upper = result.vamp2_ci.T
    assert (lower <= upper).all() and ((lower < result.vamp2) | (result.vamp2 < upper)).all()
    # the leading timescale's point estimate lies within its interval on this well-sampled data
    t1 = np.array([ts[0] for ts in result.timescales])
    assert ((result.timescales_ci[:, 0, 0] <= t1) & (t1 <= result.timescales_ci[:, 0, 1])).all()


@pytest.mark.parametrize("options, error, message", [
    ({"bootstrap": 10, "lags": [30]}, ValueError, "needs at least 20 blocks of at least 300 frames .* their 450 "
     "frames make 9"),  # fewer than 10 files: resampled by blocks, here too few of them
    ({"bootstrap": -1}, ValueError, "bootstrap must be an integer >= 0"),
    ({"bootstrap": 5, "seed": 1.5}, ValueError, "seed must be an integer >= 0 or None"),
    ({"bootstrap": 5, "ci": 1.0}, ValueError, "ci must be a fraction between 0 and 1"),
    ({"bootstrap": 5, "block": 100}, ValueError, "their 450 frames make 9"),
    ({"block": 100}, ValueError, "block= resamples blocks of frames in a bootstrap"),
    ({"bootstrap": 5, "pipe": True}, ValueError, "reads the files twice: .*fifo is a pipe"),
    ({"bootstrap": 5, "block": 20, "weights": "x0"}, ValueError, "resamples unweighted sums of the blocks"),
    ({"bootstrap": 5, "arrays": True, "lags": [5]}, ValueError, "needs at least 20 blocks of at least 50 frames "
     r"\(10 x the longest lag\) in the trajectories; their 450 frames make 9"),
    ({"bootstrap": 5, "arrays": True, "block": 1}, ValueError, "block must be an integer number of frames above"),
])
def test_bootstrap_refusals(tmp_path, options, error, message):
    paths = ar_files(tmp_path, [50] * 9, 2, seed=2)
    data = [np.loadtxt(p) for p in paths] if options.pop("arrays", False) else paths
    if options.pop("pipe", False):  # refused before anything opens it: no writer needed
        os.mkfifo(tmp_path / "fifo")
        data = paths[:3] + [str(tmp_path / "fifo")]
    with pytest.raises(error, match=message):
        lagstat_tica.scan(data, options.pop("lags", [1]), **options)


@pytest.mark.parametrize("runs, lag, coverage", [(60, 25, 0.85)])
def test_interval_of_t1_covers_the_mean_estimate(runs, lag, coverage):
    """Independent runs of a triple well: the 95 % interval of each run's leading timescale
    covers the mean of all runs' estimates in at least `coverage` of them."""
    data = triple_well(runs, 20, 400, seed=4)
    estimates, intervals = [], []
    for run in data:
        result = lagstat_tica.scan(list(run), [lag], folds=0, bootstrap=200, seed=run.shape[0])
        estimates.append(result.timescales[0][0])
        intervals.append(result.timescales_ci[0, 0])
    mean = np.mean(estimates)
    lo, hi = np.transpose(intervals)
    covered = np.mean((lo <= mean) & (mean <= hi))
    assert covered >= coverage, (covered, mean, lo, hi)


@pytest.mark.parametrize("argv, k, ci, lengths, units", [
    (["--bootstrap", "40", "--seed", "3", "--timescales", "2"], 2, 0.95, [120] * 10, "10 groups of files"),
    (["--bootstrap", "30", "--seed", "8", "--ci", "0.5", "--timescales", "1"], 1, 0.5, [120] * 10,
     "10 groups of files"),
    (["--bootstrap", "40", "--seed", "3", "--timescales", "2"], 2, 0.95, [400] * 4,
     "28 groups of blocks of 60 frames"),  # too few files: by blocks of 10 x the longest lag
])
def test_cli_prints_the_intervals_and_draws_them(tmp_path, capsys, argv, k, ci, lengths, units):
    from lagstat_tica.cli import main as cli_main

    paths = ar_files(tmp_path, lengths, 3, seed=9)
    png = tmp_path / "its.png"
    assert cli_main(["scan", *paths, "--lags", "1,6", "--quiet", "--plot", str(png), *argv]) == 0
    lines = capsys.readouterr().out.splitlines()
    seed = int(argv[argv.index("--seed") + 1])
    assert lines[1] == "intervals: %s resamples of %s, seed %d (percentile intervals)" % (argv[1], units, seed)
    want = lagstat_tica.scan(paths, [1, 6], bootstrap=int(argv[1]), seed=seed, ci=ci)
    for i, line in enumerate(lines[3:5]):
        cells = [c.strip("[],") for c in line.split()]
        shown = np.array(cells[2 + k:2 + 3 * k], dtype=float).reshape(k, 2)
        np.testing.assert_allclose(shown, want.timescales_ci[i, :k], rtol=5e-4)
        np.testing.assert_allclose(np.array(cells[-2:], dtype=float), want.vamp2_ci[i], rtol=1e-6)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("lengths, lags, block, blocks", [
    ([1000], [1, 5], None, 20),      # one trajectory: 20 blocks of 10 x the longest lag
    ([700, 333], [2, 3], 40, 27),    # a given length; each trajectory's last block shorter
    ([3000] * 3, [4], None, 66),     # blocks of 141 frames (9000 / 64): 66 blocks in 64 groups
    ([90] * 12, [1], 30, 36),        # 12 arrays resampled by blocks because block= is given
])
def test_blocks_add_up_to_the_read(lengths, lags, block, blocks):
    """Groups of blocks of frames in memory: together the pair moments of the whole read
    (every pair counted once, in the block of its first frame), and their resamples refitted as
    those of files."""
    rng = np.random.default_rng(len(lengths))
    arrays = [np.cumsum(rng.normal(size=(t, 3)), axis=0) * 0.1 + rng.normal(size=(t, 3)) for t in lengths]
    result = lagstat_tica.scan(arrays, lags, folds=0, bootstrap=50, seed=2, block=block)
    length = result.block
    assert sum(-(-t // length) for t in lengths) == blocks and result.n_groups == min(blocks, 64)
    groups = boot.block_groups(arrays, lags, result._sums["shift"], length)
    merged = est.merge(groups)
    assert merged["frames"] == sum(lengths) and list(merged["pairs"]) == list(result.n_pairs)
    for i in range(len(lags)):
        for got, want in zip(est.pair_moments(merged, i), est.pair_moments(result._sums, i)):
            np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * np.abs(want).max())
    drawn = boot.draws(2, 50, result.n_groups)[7]
    sums = est.merge([groups[j] for j in drawn])
    _, c00, c0t, _, _ = est.pair_moments(sums, 0)
    want = boot.eigenvalues(c00[None], c0t[None], 1e-6)[0]
    assert np.array_equal(bits(result.bootstrap_eigenvalues[7, 0]), bits(want))


@pytest.mark.parametrize("kind, lengths, columns, lags, block, n_jobs, threads", [
    ("txt", [40000, 900], 2, [1, 30], 1500, 1, 1),  # parts of blocks across the text reader's chunks
    ("txt", [2500, 1800, 3100], 4, [1, 7], None, 2, 2),  # the default length, from the read's total
    ("npy", [70000], 1, [3], 3000, 2, 1),           # across a .npy's chunks; one column
    ("colvar", [5000, 7000], 3, [2, 9], 400, 1, 2),  # a restart: two trajectories in one file
    ("npy", [300] * 12, 2, [1], 50, 1, 1),          # 12 files, by blocks because block= is given
])
def test_files_by_blocks_are_the_bits_of_their_arrays(tmp_path, kind, lengths, columns, lags, block, n_jobs,
                                                      threads):
    """Files with too few of them to resample whole are resampled by blocks of frames, with
    the bits of the same frames as arrays (each segment its own trajectory), for any n_jobs and
    threads."""
    rng = np.random.default_rng(len(lengths) + columns)
    arrays = [np.cumsum(rng.normal(size=(t, columns)), axis=0) * 0.1 + rng.normal(size=(t, columns)) + 3.0
              for t in lengths]
    if kind == "colvar":
        paths = [str(tmp_path / "COLVAR")]
        header = "#! FIELDS time %s\n" % " ".join("x%d" % i for i in range(columns))
        with open(paths[0], "w") as f:
            for start, x in zip(np.cumsum([0] + lengths), arrays):
                f.write(header)  # PLUMED's restart
                f.writelines("%d %s\n" % (start + k, " ".join("%.17g" % v for v in row)) for k, row in enumerate(x))
    else:
        paths = [str(tmp_path / ("f%02d.%s" % (i, kind))) for i in range(len(arrays))]
        for p, x in zip(paths, arrays):
            np.save(p, x) if kind == "npy" else np.savetxt(p, x, fmt="%.17g")
    got = lagstat_tica.scan(paths, lags, folds=0, bootstrap=40, seed=5, block=block, n_jobs=n_jobs, threads=threads)
    want = lagstat_tica.scan(arrays, lags, folds=0, bootstrap=40, seed=5, block=block)
    assert got.block == want.block and got.n_groups == want.n_groups
    assert np.array_equal(bits(got.bootstrap_eigenvalues), bits(want.bootstrap_eigenvalues))
    assert np.isfinite(got.timescales_ci).any()


@pytest.mark.parametrize("lengths, block, chunks", [
    ([3000], 2100, [1]),                 # frame by frame
    ([5000, 37], 2100, [7, 1024, 3000]),  # chunks that cut parts and blocks anywhere
    ([3000, 2999], 700, [4096]),
])
def test_block_sums_whatever_the_chunks(lengths, block, chunks):
    """The groups of blocks are the same bits however the frames are handed over."""
    rng = np.random.default_rng(block)
    arrays = [rng.normal(size=(t, 3)) for t in lengths]
    want = boot.block_groups(arrays, [1, 40], arrays[0][0], block)
    sums = boot.BlockSums(3, [1, 40], arrays[0][0], block, len(want))
    for x in arrays:
        at, k = 0, 0
        while at < len(x):
            step = chunks[k % len(chunks)]
            sums.add(x[at:at + step])
            at, k = at + step, k + 1
        sums.end_trajectory()
    for g, w in zip(sums.groups, want):
        assert g["frames"] == w["frames"] and g["pairs"] == w["pairs"]
        for key in ("sum", "cov", "tcov", "head_sum", "tail_sum", "head_cov", "tail_cov"):
            assert np.array_equal(bits(g[key]), bits(w[key])), key
