"""Many lags from one read: implied timescales and VAMP-2 scores, cross-validated by files."""
import warnings

import numpy as np

from . import _block_files as block_files
from . import _bootstrap as boot
from . import _moments
from . import _estimator as est
from . import _weighted_reads as weighted_reads
from ._moments import _check_lag
from ._reading import read_files, read_sums  # noqa: F401 (read_sums: its old place)

# A fold scoring more than its training data by this factor: more than sampling noise. On
# well-conditioned data (7 columns, files of 1200 to 3400 frames) folds came out at most 1.24
# times their training score, at a lag near the shortest file's length; a fold of 33 frames of
# 30 noisy columns came out 4 times it.
CV_ABOVE_TRAIN = 1.25


class LagScan:
    """TICA at every lag of one read.

    Attributes
    ----------
    lags : (L,) lags in frames, increasing
    n_pairs : (L,) lagged pairs at each lag
    n_frames, n_files : frames and files read
    eigenvalues : list of L arrays, decreasing in magnitude (the rank of C00 may differ by lag)
    timescales : list of L arrays, -lag / ln|eigenvalue| in frames, as TICA.timescales_ and
        deeptime's timescales(): a negative eigenvalue has the timescale of its magnitude
    vamp2 : (L,) VAMP-2 score of each model on its own data, as deeptime's TICA(lagtime).score(r=2):
        the kinetic-map model with all its components, 1 for the constant function included
    vamp2_cv : (L,) mean over the folds of vamp2_cv_folds, nan without two folds
    vamp2_cv_folds : (L, folds) VAMP-2 of each fold of files under the model of the other folds
    vamp2_train_folds : (L, folds) VAMP-2 of each of those models on its own training data
    folds : number of folds (0: no cross-validation)
    bootstrap, seed, ci : resamples of the groups of files (0: none), the seed they were drawn
        with (the one drawn for seed=None, to repeat them) and the interval's coverage
    n_groups : groups the read was folded into (file j in group j mod n_groups), or of blocks
    block : the blocks' length in frames where blocks of frames were resampled, else None
    eigenvalues_ci, timescales_ci : (L, k, 2) percentile intervals over the resamples of the k
        leading eigenvalues and timescales per lag (nan where fewer); None without a bootstrap
    vamp2_ci : (L, 2) the same of VAMP-2
    bootstrap_eigenvalues : (bootstrap, L, columns) every resample's eigenvalues (nan-padded)
    n_reads : 1, or 2 after the fallback to the exact mean as shift
    dt : time between frames from the files' time column, nan when unknown
    layout, columns : the files' layout (_formats.Layout) and the feature columns read
    """

    def __init__(self, sums, folds, epsilon, n_reads, groups=(), bootstrap=0, seed=None, ci=0.95, threads=None):
        self._sums = sums
        self.lags = np.asarray(sums["lags"], dtype=int).reshape(-1)
        # weighted sums count their pairs apart: their "pairs" is the pairs' total weight
        self.n_pairs = np.asarray(sums.get("pair_counts", sums["pairs"]), dtype=float).reshape(-1).astype(np.int64)
        self.n_frames = int(float(sums["frames"]))
        self.n_files = len(sums.get("per_file") or ())
        self.epsilon = epsilon
        self.n_reads = n_reads
        self.dt = float(np.nan if sums.get("dt") is None else sums["dt"])
        self.layout, self.columns = None, tuple("x%d" % i for i in range(np.asarray(sums["shift"]).size))
        self.eigenvalues, self.timescales = [], []
        self.vamp2 = np.full(self.lags.size, np.nan)
        for i, lag in enumerate(self.lags):
            evals = np.empty(0)
            if self.n_pairs[i] > 0:
                evals, self.vamp2[i] = est.own_scores(sums, i, epsilon)
            self.eigenvalues.append(evals)
            self.timescales.append(est.implied_timescales(lag, evals))
        self.folds = len(folds) if len(folds) >= 2 else 0
        self.vamp2_cv_folds = np.full((self.lags.size, self.folds), np.nan)
        self.vamp2_train_folds = self.vamp2_cv_folds.copy()
        for f in range(self.folds):  # one training set at a time: the rest of the data
            self.vamp2_cv_folds[:, f], self.vamp2_train_folds[:, f] = est.fold_scores(sums, folds[f], epsilon)
        self.vamp2_cv = np.full(self.lags.size, np.nan)
        for i, row in enumerate(self.vamp2_cv_folds):
            if np.isfinite(row).any():
                self.vamp2_cv[i] = np.nanmean(row)
        self.n_groups, self.bootstrap, self.seed, self.ci = len(groups), int(bootstrap), seed, float(ci)
        self.eigenvalues_ci = self.timescales_ci = self.vamp2_ci = self.bootstrap_eigenvalues = None
        if self.bootstrap:
            self._resample(groups, threads)

    def _resample(self, groups, threads=None):
        """Every resample of the groups refitted at every lag, and the intervals they give."""
        reps = boot.replicate_eigenvalues(groups, boot.draws(self.seed, self.bootstrap, len(groups)), self.epsilon,
                                          threads if threads is not None and threads > 0 else None)
        k = max([e.size for e in self.eigenvalues] + [1])
        self.bootstrap_eigenvalues = reps
        self.eigenvalues_ci = boot.interval(reps[:, :, :k], self.ci)
        self.timescales_ci = boot.interval(boot.timescales(self.lags, reps)[:, :, :k], self.ci)
        self.vamp2_ci = boot.interval(boot.vamp2(reps), self.ci)

    def timescale_table(self, k):
        """(L, k) array of the k leading timescales per lag, nan where a model has fewer."""
        out = np.full((self.lags.size, k), np.nan)
        for i, ts in enumerate(self.timescales):
            out[i, : min(k, ts.size)] = ts[:k]
        return out

    def caveats(self):
        """What the data cannot support, lag by lag: the fit's overfitting warnings, and folds that
        score above their own training data (the held-out covariances are too ill-conditioned for
        the cross-validated score to mean much)."""
        out = {}
        for i, lag in enumerate(self.lags):
            if self.n_pairs[i] > 0:
                for text in est.overfitting(int(self.n_pairs[i]), len(self.columns), self.eigenvalues[i]):
                    out.setdefault(text, []).append(int(lag))
        texts = ["lag%s %s: %s" % ("s" if len(lags) > 1 else "", ", ".join(map(str, lags)), text)
                 for text, lags in out.items()]
        above = [(int(lag), f + 1, test, train) for i, lag in enumerate(self.lags) for f, (test, train)
                 in enumerate(zip(self.vamp2_cv_folds[i], self.vamp2_train_folds[i])) if test > train * CV_ABOVE_TRAIN]
        if above:
            texts.append("the held-out files score above the training data (%s): their covariances are too "
                         "ill-conditioned (short files, or columns nearly constant within them) for the cross-"
                         "validated VAMP-2 to be trusted there; use fewer folds, more data or fewer columns"
                         % "; ".join("lag %d, fold %d: %.6g vs %.6g" % a for a in above[:5]) +
                         ("; and %d more" % (len(above) - 5) if len(above) > 5 else ""))
        return texts

    def tica(self, lag, *, dim=None, var_cutoff=None, scaling="kinetic_map"):
        """The fitted TICA model at one of the scanned lags, from the sums already read."""
        from ._tica import TICA

        model = TICA(lag, dim=dim, var_cutoff=var_cutoff, scaling=scaling, epsilon=self.epsilon)
        model.fit_from_sums(self._sums)
        model.n_reads_ = self.n_reads
        model.layout_, model.columns_ = self.layout, self.columns
        return model

    def ck_test(self, lag, n_observables=2, *, scaling="kinetic_map"):
        """The Chapman-Kolmogorov test of the TICA model at `lag`, one of the scanned lags,
        against the models fitted at the scanned multiples of it, from the sums already read: as
        TICA(lag, dim=n_observables).fit(files).ck_test(those lags), deeptime's conventions
        (observables phi, statistics psi, lag 0 as nan); a CKTest."""
        lag = int(lag)
        if lag not in self.lags:
            raise ValueError("ck_test's lag %d is not among the scanned lags (%s)"
                             % (lag, ", ".join(map(str, self.lags))))
        tested = [int(t) for t in self.lags if t % lag == 0 and self.n_pairs[list(self.lags).index(t)] > 0]
        if len(tested) < 2:
            raise ValueError("ck_test at lag %d needs a scanned multiple of it with lagged pairs: scan %d or %d too"
                             % (lag, 2 * lag, 5 * lag))
        if isinstance(n_observables, bool) or not isinstance(n_observables, (int, np.integer)) or n_observables < 1:
            raise ValueError("n_observables must be a positive integer, got %r" % (n_observables,))
        model = self.tica(lag, dim=int(n_observables), scaling=scaling)
        return model.ck_test(tested, int(n_observables))


def _check_lags(lags):
    if isinstance(lags, (int, np.integer)):
        lags = [lags]
    lags = sorted({_check_lag(t) for t in lags})
    if not lags:
        raise ValueError("no lags given")
    return lags


def _no_pairs(sums, shortest):
    """Why no lag has a pair: no file, nor a segment of one, is longer than the shortest lag."""
    frames, path, first_line, parts = max(
        ((int(seg[1]), path, int(seg[0]), len(segments)) for path, segments in zip(sums["files"], sums["segments"])
         for seg in segments), key=lambda t: t[0], default=(0, sums["files"][0], 1, 1))
    where = "file (%s)" % path if parts == 1 else "segment (%s, from line %d)" % (path, first_line)
    return "no lagged pairs: the shortest lag is %d, but the longest %s has %d frames" % (shortest, where, frames)


def scan(files, lags, *, columns=None, keep_time=False, n_jobs=1, client=None, threads=None, folds=5,
         epsilon=1e-6, progress=False, bootstrap=0, seed=None, ci=0.95, block=None, weights=None, bias_kT=None,
         koopman_weights=False):
    """TICA at several lags from one read of every file.

    Returns a LagScan with the eigenvalues, implied timescales and VAMP-2 scores per lag, and
    scores cross-validated by files: file j goes to fold j mod k (k = min(folds, files); fewer
    than two folds, or folds=0, skips the cross-validation).

    `bootstrap` = B resamples the files with replacement B times (at least 10 files), each
    resample refitted from the sums already held at every lag, for percentile intervals of
    coverage `ci` (eigenvalues_ci, timescales_ci, vamp2_ci). The draws come from `seed`
    (None: a fresh one, kept in the result's seed): the same seed, the same bits for any n_jobs,
    threads or cluster. Fewer than 10 trajectories (arrays or files), or any given `block`
    (frames), are resampled by blocks of consecutive frames within each trajectory (a file's
    segment) instead: by default at least 20 blocks, each at least 10 x the longest lag; a
    lagged pair belongs to the block of its first frame, block k (across the trajectories in
    order) to group k mod G, G <= 64. Files give the bits of the same frames as arrays, read a
    second time chunk by chunk for it (constant memory); pipes are refused there.

    Memory: every file's sums are added, in file order as they arrive, into G groups (file j in
    group j mod G): the k folds, or with a bootstrap every file up to 64 of them, else the largest
    multiple of k up to 64. (G + 2) × 3 × lags × columns² doubles, plus a few files in flight
    (lagged and edge products; 5 folds, 10 lags, 500 columns: 420 MB; a bootstrap over 64 groups
    of 100 columns: 160 MB), whatever the number of files.
    `weights`, `bias_kT` and `koopman_weights` weigh the frames as TICA.fit does (Koopman
    reweighting estimates the weights at every lag from a first read, and reads again: n_reads
    2); the folds and the bootstrap of files or trajectories resample the weighted sums. A
    bootstrap by blocks of frames with weights is refused.
    lags: iterable of positive ints (sorted, duplicates merged). Other options as TICA.fit.
    """
    boot.check_options(bootstrap, seed, ci)
    if bootstrap and seed is None:
        seed = int(np.random.SeedSequence().entropy % 2**63)
    lags = _check_lags(lags)
    if isinstance(folds, bool) or not isinstance(folds, (int, np.integer)) or folds < 0:
        raise ValueError("folds must be an integer >= 0, got %r" % (folds,))
    if not 0.0 <= float(epsilon) < np.inf:
        raise ValueError("epsilon must be finite and >= 0, got %r" % (epsilon,))

    arrays = boot.in_memory(files) if bootstrap else None
    blocks = arrays is not None and (block is not None or len(arrays) < boot.MIN_FILES)
    weighted = weighted_reads.check_options(weights, bias_kT, koopman_weights)
    items = None  # the inputs of a bootstrap over files, which blocks of frames read again
    if bootstrap and arrays is None and not weighted:
        # resolved once: a .npy from a pipe has its header read as it is opened
        files = items = _moments._inputs(files)
        blocks = block is not None or len(items) < boot.MIN_FILES
        if blocks:
            block_files.check_rereadable(items)
    if weighted and (blocks or (bootstrap and block is not None)):
        raise ValueError("the bootstrap by blocks of frames resamples unweighted sums of the blocks: with frame "
                         "weights, give at least %d trajectories, resampled whole (block= unset)" % boot.MIN_FILES)
    if arrays is not None and blocks:
        if columns is not None:
            raise ValueError("the bootstrap by blocks takes the arrays' columns as they are: select them before")
        block = boot.block_length([len(x) for x in arrays], lags, block)
    elif block is not None and not blocks:
        raise ValueError("block= resamples blocks of frames in a bootstrap; without one it has nothing to do")

    def groups_of(n_files):
        if blocks:
            return boot.group_count(n_files, folds, 0)
        if bootstrap and n_files < boot.MIN_FILES:
            raise ValueError("bootstrap resamples whole files and needs at least %d, got %d: split the "
                             "trajectories into more files (arrays in memory are resampled by blocks of frames)"
                             % (boot.MIN_FILES, n_files))
        return boot.group_count(n_files, folds, bootstrap)

    if weighted:
        read = weighted_reads.read(files, lags, weights=weights, bias_kT=bias_kT, koopman=koopman_weights,
                                   columns=columns, keep_time=keep_time, threads=threads, groups_of=groups_of,
                                   epsilon=float(epsilon), whitening=est.whitening)
        sums, reads, layout, selection = weighted_reads.scan_sums(read[0]), read[1], read[2], read[3]
    else:
        sums, reads, layout, selection = read_files(files, lags, columns, keep_time, groups=groups_of, n_jobs=n_jobs,
                                                    client=client, threads=threads, progress=progress)
    if not np.any(np.asarray(sums["pairs"], dtype=float) > 0):
        raise ValueError(_no_pairs(sums, lags[0]))
    groups = sums.pop("group_sums", None) or []
    k = min(int(folds), len(sums["per_file"]))
    # Every fold a union of groups: file j is in group j mod G and fold j mod k, and k divides G.
    fold_sums = [est.merge(groups[f::k]) for f in range(k)] if k >= 2 else []
    if arrays is not None and blocks:
        groups = boot.block_groups(arrays, lags, sums["shift"], block)
    elif blocks:
        # The default length needs the total, known from the read just made: the blocks' read
        # is a second one.
        lengths = block_files.lengths(sums)
        block = boot.block_length(lengths, lags, block)
        groups = block_files.block_groups(items, lags, sums["shift"], block, columns, keep_time, lengths)
    result = LagScan(sums, fold_sums, float(epsilon), reads, groups, bootstrap, seed, ci, threads)
    result.block = block if blocks else None
    del groups
    if selection is not None:
        result.layout, result.columns = layout, selection.names
    if layout is None or layout.dt is None or not result.dt > 0:  # a CSV's index column is no time
        result.dt = np.nan
    for text in result.caveats():
        warnings.warn(text, RuntimeWarning, stacklevel=2)
    return result
