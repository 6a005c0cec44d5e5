"""Frame weights in the moments, the lag scan and VAMP: one read of frames in memory or of text
files with a weights column gives the weighted pair sums at every lag (lagstat_tica._weights.
LagSums), in the form the unweighted read gives its sums, so that the scan's estimators, its
folds and its bootstrap take them as they are. Koopman reweighting reads twice: the unit-weight
sums give every lag's weight coefficients, a second read the reweighted sums.

As deeptime's weighted estimates: a lagged pair carries the weight of its earlier frame; the
moments' mean and covariance over all frames carry each frame's own weight.
"""
import numpy as np

from . import _compensated as dd
from . import _moments, _weighted_files
from ._sources import trajectories
from ._weights import LagSums, all_weights, koopman_coefficients


def check_options(weights, bias_kT, koopman):
    """Whether weights are asked for, or ValueError for a combination that means nothing."""
    if koopman:
        if weights is not None or bias_kT is not None:
            raise ValueError("koopman_weights=True computes the weights: give it without weights= or bias_kT=")
        return True
    if bias_kT is not None and weights is None:
        raise ValueError("bias_kT needs weights=: the bias of every frame")
    return weights is not None


def _files(data, weights):
    if weights is not None and not isinstance(weights, (str, int, np.integer)):
        raise ValueError("weights= with files names their weights column (a name such as 'metad.bias', or "
                         "an index); arrays of weights go with frames in memory")
    return _moments._inputs(data)


def read(data, lags, *, weights=None, bias_kT=None, koopman=False, columns=None, keep_time=False, threads=None,
         groups_of=None, epsilon=1e-6, whitening=None, all_frames=False):
    """(LagSums, reads, layout or None, selection or None, [(u, u0) per lag] or None) of the
    frames in memory or files in `data`, trajectory (file) j in group j mod groups_of(count).

    koopman needs `whitening` (lagstat_tica._estimator's): the coefficients are estimated per
    lag, as deeptime's KoopmanWeightingEstimator at that lag.
    """
    arrays = trajectories(data)
    if arrays is not None:
        if columns is not None:
            raise ValueError("columns= chooses among files' columns: select the arrays' columns before")
        return _read(arrays, None, lags, weights, bias_kT, koopman, threads, groups_of, epsilon, whitening, all_frames)
    paths = _files(data, weights)
    if koopman:
        _weighted_files.refuse_pipes_for_koopman(paths)
    with _weighted_files.opened(paths) as paths:
        planned = _weighted_files.plan(paths, columns, keep_time, weights), paths
        return _read(None, planned, lags, weights, bias_kT, koopman, threads, groups_of, epsilon, whitening,
                     all_frames)


def _read(arrays, planned, lags, weights, bias_kT, koopman, threads, groups_of, epsilon, whitening, all_frames):
    if arrays is None:
        (layouts, selection, field), paths = planned
    count = len(arrays) if arrays is not None else len(paths)
    groups = groups_of(count) if groups_of is not None else 1

    def pass_over(sums, weight_of, given=None):
        if arrays is None:
            _weighted_files.read(paths, layouts, selection.usecols, field, sums, weight_of)
            return
        for j, x in enumerate(arrays):
            sums.start(j)
            sums.add(x, given[j] if given is not None else weight_of(x, None, None, None))

    coefficients = None
    if koopman:
        first = LagSums(lags, threads=threads)
        pass_over(first, lambda x, v, path, lines: np.ones(len(x)))
        coefficients = [None if first.pair_sums(i) is None else koopman_coefficients(first.pair_sums(i), epsilon,
                                                                                        whitening)
                        for i in range(len(lags))]
        if all(c is None for c in coefficients):
            raise ValueError(_no_pairs(lags, arrays))
        # computed, not given: an estimate may dip below zero, as deeptime's may
        weight_of = lambda x, v, path, lines: np.stack(  # noqa: E731
            [np.ones(len(x)) if c is None else np.einsum("ti,i->t", x, c[0]) + c[1] for c in coefficients])
        given = None
    elif arrays is not None:
        weight_of, given = None, all_weights(weights, arrays, bias_kT)
    else:
        weight_of, given = _weighted_files.weights_of(bias_kT), None
    sums = LagSums(lags, groups, threads=threads, all_frames=all_frames)
    pass_over(sums, weight_of, given)
    if not sums.pairs.any():
        raise ValueError(_no_pairs(lags, arrays))
    if arrays is not None:
        return sums, 1 + bool(koopman), None, None, coefficients
    return sums, 1 + bool(koopman), layouts[0], selection, coefficients


def _no_pairs(lags, arrays):
    what = "trajectory" if arrays is not None else "file (segment)"
    return "no lagged pairs: every %s has at most lag %d frames" % (what, min(lags))


def scan_sums(sums):
    """The lag scan's sums of a weighted read: all groups' (in order), each group's in
    group_sums, and the per-trajectory frame counts."""
    out = sums.sums()
    if not any(p > 0 for p in out["pairs"]):
        raise ValueError("the weights of all lagged pairs are zero")
    out["group_sums"] = [sums.sums(g) for g in range(sums.groups)] if sums.groups > 1 else []
    out["per_file"] = list(sums.per_file)
    out["files"] = ["trajectory %d" % j for j in range(len(sums.per_file))]
    out["rereadable"] = []
    return out


def centred(sums, lag_index=0):
    """(mean, cov, tcov, W, P) of a weighted read with all_frames: the weighted mean of all
    frames, the sums of w (x - mean)(x - mean)ᵀ over all frames and of w_t (x_t - mean)
    (x_{t+lag} - mean)ᵀ over the pairs, the frames' and the pairs' total weights. The centre
    moves from the shift in double-doubles (lagstat_tica._compensated), as the unweighted
    estimates' does, so that no rounding of the sums' size is added."""
    total, s, ss = sums.frame_totals()
    if not total > 0:
        raise ValueError("the weights of all frames are zero")
    n = sums.shift.size
    d = dd.divide(dd.exact(s), total)
    # Σ w (x - m)(x - m)ᵀ = ss - u dᵀ - d uᵀ with u = s - W d / 2 (s = W d up to rounding)
    u = dd.add(dd.exact(s), dd.neg(dd.scale(d, 0.5 * total)))
    m = dd.outer(u, d)
    cov = _rounded(dd.add(dd.add(dd.exact(ss), dd.neg(m)), dd.neg(dd.transpose(m))))
    cov = 0.5 * (cov + cov.T)
    pairs, tcov = 0.0, np.zeros((n, n))
    if sums.pair_sums(lag_index) is not None:
        p = sums.pair_sums(lag_index).totals()
        pairs = float(p["w"])
        # Σ w (x - m)(y - m)ᵀ = sxy - a dᵀ - d syᵀ with a = sx - P d
        a = dd.add(dd.exact(p["sx"]), dd.neg(dd.scale(d, pairs)))
        tcov = _rounded(dd.add(dd.add(dd.exact(p["sxy"]), dd.neg(dd.outer(a, d))),
                               dd.neg(dd.outer(d, dd.exact(p["sy"])))))
    return _rounded(dd.add(dd.exact(sums.shift), d)), cov, tcov, total, pairs


def _rounded(x):
    """A double-double rounded to the double nearest to it, once."""
    return x[0] + x[1]


def moments(files, lag, *, n_jobs=1, client=None, progress=False, columns=None, keep_time=False, threads=None,
            weights=None, bias_kT=None):
    if not check_options(weights, bias_kT, False):
        return _moments.moments(files, lag, n_jobs=n_jobs, client=client, progress=progress, columns=columns,
                                keep_time=keep_time, threads=threads)
    lag = _moments._check_lag(lag)
    sums = read(files, [lag], weights=weights, bias_kT=bias_kT, columns=columns, keep_time=keep_time,
                threads=threads, all_frames=True)[0]
    mean, cov, tcov, total, pairs = centred(sums)
    stats = {"mean": mean, "var": np.diag(cov).copy(), "cov": cov, "tcov": tcov, "samples": np.asarray(total),
             "tcov_samples": np.asarray(pairs)}
    if mean.size == 1:
        stats = {k: np.asarray(v).reshape(()) for k, v in stats.items()}
    return stats


moments.__doc__ = _moments.moments.__doc__.rstrip() + """

    Frame weights (a biased simulation), as TICA.fit takes them: `weights` one array of T
    weights for one trajectory in memory, a list of them (one per trajectory), a callable on a
    trajectory's (T, n) frames, or for text files the name (or 0-based index among a line's
    fields) of their weights column, which is then no feature; with `bias_kT` the values are a
    bias V and the weights exp(V / kT). Weighted, the statistics are deeptime's: 'mean' the
    weighted mean of all frames, 'cov' the sum of w (x - mean)(x - mean)ᵀ over all frames,
    'tcov' the sum of w_t (x_t - mean)(x_{t+lag} - mean)ᵀ over the lagged pairs (a pair
    carries its earlier frame's weight), and 'samples', 'tcov_samples' the frames' and the
    pairs' total weights, so that cov / samples is the weighted covariance. One read of every
    file, in this process (n_jobs and client unused).
    """
