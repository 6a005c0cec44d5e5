"""Pair covariances, TICA and VAMP-2 from one read's sums, for any of the lags read.

A single read of the files gives, relative to a shift s (one frame, or a mean), the sums
    frames N, sum = Σ(x−s), cov = Σ(x−s)(x−s)ᵀ,
and per lag τ the pair count P, tcov = Σ_pairs (x_t−s)(x_{t+τ}−s)ᵀ and the edge sums of the
first/last min(τ, T) frames of every segment (head_sum, tail_sum, head_cov, tail_cov). The first
halves of the pairs are all frames but the tails, the second halves all but the heads, so
everything deeptime's reversible estimator needs follows by subtraction; the centre then moves
from s to the pair mean by a rank-one correction.

Rounding. The correction subtracts P·d·dᵀ (d = mean − s) from sums of size P·(var + d²); it is
made in double-doubles, but the sums themselves are rounded to their size, so the centred
moments lose about ε·k² of their value, k = |d| / std per column (ε = 2.2e-16). Above
K_MAX = 1e4 that could reach ε·1e8 ≈ 2e-8 relative, the accuracy the fit promises, so the caller
reads again with the mean as shift (k ≈ 0), or warns when an input cannot be read again. With
a frame of the data as shift (the first one, as a read takes by default) k ≤ √(N − 1) for N
frames (Samuelson's inequality): the loss stays below ε·N, and the second read can only happen
beyond 1e8 frames, with the first frame at the far end of all the others.
"""
import numpy as np

from . import _compensated as dd
from ._optional import missing
from ._sums import rebase

try:
    import scipy.linalg
except ImportError as exc:
    raise missing("SciPy", "lagstat_tica.scan") from exc

K_MAX = 1e4
# Fewer lagged pairs per column than this leave the covariances too noisy to trust.
PAIRS_PER_COLUMN = 10
# An eigenvalue this close to +-1 is a process that never decorrelates within the data.
UNIT_EIGENVALUE_TOL = 1e-12
_PER_LAG = ("tcov", "head_sum", "tail_sum", "head_cov", "tail_cov")


def _canonical_signs(vectors):
    """Makes the entry of largest magnitude of every column positive."""
    for j in range(vectors.shape[1]):
        i = np.argmax(np.abs(vectors[:, j]))
        if vectors[i, j] < 0:
            vectors[:, j] = -vectors[:, j]
    return vectors


def whitening(c00, epsilon):
    """L with L^T C00 L = I on the directions of C00 whose eigenvalues reach epsilon.

    Negative eigenvalues are rounding noise of a positive semidefinite matrix: the cut is
    raised above the magnitude of the most negative one, so no direction at that noise
    level survives.
    """
    s, v = scipy.linalg.eigh(c00)
    order = np.argsort(np.abs(s))[::-1]
    s, v = s[order], v[:, order]
    cut = epsilon
    if s.min() < 0:
        cut = max(cut, -s.min() + 1e-16)
    # s > 0 as well: with epsilon 0, a zero eigenvalue would be divided by
    keep = (s >= cut) & (s > 0)
    if not keep.any():
        if s.max() == 0:
            raise ValueError("all input columns are constant: no direction has a variance above 0")
        raise ValueError("no direction has an instantaneous variance above epsilon = %g; the largest is %g"
                         % (cut, s.max()))
    s, v = s[keep], _canonical_signs(v[:, keep].copy())
    return v / np.sqrt(s)


def tica_decomposition(c00, c0t, epsilon):
    """Solves C0t r = lambda C00 r on the well-conditioned subspace of C00.

    Returns eigenvalues sorted by decreasing magnitude and the matching eigenvectors as
    columns (signs fixed: largest-magnitude entry positive).
    """
    l_mat = whitening(c00, epsilon)
    ct = l_mat.T @ c0t @ l_mat
    evals, evecs = scipy.linalg.eigh(0.5 * (ct + ct.T))
    order = np.argsort(np.abs(evals))[::-1]
    evals, evecs = evals[order], evecs[:, order]
    return evals, _canonical_signs(l_mat @ evecs)


def conditioning(sums):
    """k = |mean − shift| / std per column, from the all-frames sums.

    A column with mean = shift (a constant one read with the first frame as shift) has k = 0;
    one whose variance rounds to zero or below although the mean moved has k = inf.
    """
    frames = float(sums["frames"])
    n = np.asarray(sums["shift"]).size
    d = np.asarray(sums["sum"], dtype=float).reshape(n) / frames
    var = np.diag(np.asarray(sums["cov"], dtype=float).reshape(n, n)) / frames - d * d
    k = np.zeros(n)
    moved = d != 0
    with np.errstate(divide="ignore"):
        k[moved] = np.abs(d[moved]) / np.sqrt(np.maximum(var[moved], 0.0))
    return k


def needs_exact_shift(sums):
    """True when the one-read algebra could lose more than the fit's accuracy (see K_MAX)."""
    return bool(np.max(conditioning(sums), initial=0.0) > K_MAX)


def exact_mean(sums):
    """The all-frames mean: the shift a second read uses."""
    n = np.asarray(sums["shift"]).size
    return np.asarray(sums["shift"], dtype=float).reshape(n) + np.asarray(sums["sum"], dtype=float).reshape(n) / float(
        sums["frames"])


def implied_timescales(lag, evals):
    """-lag / ln|λ| per eigenvalue, as deeptime's timescales(): a negative eigenvalue has the
    timescale of its magnitude (the reports mark it); |λ| = 1 gives -inf, |λ| > 1 a negative value,
    λ = 0 zero."""
    with np.errstate(divide="ignore"):
        return -float(lag) / np.log(np.abs(np.asarray(evals, dtype=float)))


def overfitting(n_pairs, n_columns, evals):
    """Warnings for a fit the data cannot support: too few pairs, eigenvalues at +-1."""
    out = []
    if n_pairs < PAIRS_PER_COLUMN * n_columns:
        out.append("only %d lagged pairs for %d columns (fewer than %d per column): the fit is likely "
                   "overfitted; use more data, a shorter lag or fewer columns"
                   % (n_pairs, n_columns, PAIRS_PER_COLUMN))
    at_one = [k + 1 for k, ev in enumerate(evals) if abs(abs(ev) - 1.0) <= UNIT_EIGENVALUE_TOL]
    if at_one:
        out.append("eigenvalue%s %s at +-1 within %g: a direction that does not decorrelate in the "
                   "data (too few frames, or a column that only drifts); its timescale is undefined"
                   % ("s" if len(at_one) > 1 else "", ", ".join(map(str, at_one)), UNIT_EIGENVALUE_TOL))
    return out


def lag_index(sums, lag):
    lags = [int(t) for t in np.atleast_1d(sums["lags"])]
    if int(lag) not in lags:
        raise ValueError("lag %d was not read; the lags read are %s" % (lag, lags))
    return lags.index(int(lag))


def pair_moments(sums, i):
    """Reversible pair estimate at the i-th lag read: (mean, C00, C0t, Ctt, pairs).

    mean over both halves of the pairs; C00 half the sum of both halves' second moments about it;
    C0t symmetrised; Ctt the second halves' moment about the same mean (for non-reversible scores:
    the reversible model uses C00 in its place); all divided by the pair count, no Bessel
    correction.
    """
    n = np.asarray(sums["shift"]).size
    pairs = float(np.atleast_1d(sums["pairs"])[i])
    if pairs <= 0:
        lag = int(np.atleast_1d(sums["lags"])[i])
        if sums.get("per_file") and sums.get("files"):
            longest = max(range(len(sums["per_file"])), key=sums["per_file"].__getitem__)
            raise ValueError("no lagged pairs: lag %d, but the longest file (%s) has %d frames"
                             % (lag, sums["files"][longest], sums["per_file"][longest]))
        raise ValueError("no lagged pairs: every file (segment) has at most lag %d frames" % lag)
    total = np.asarray(sums["sum"], dtype=float).reshape(n)
    cov = np.asarray(sums["cov"], dtype=float).reshape(n, n)
    part = {k: np.asarray(sums[k], dtype=float).reshape((-1,) + (n,) * (1 if k.endswith("sum") else 2))[i]
            for k in _PER_LAG}
    d, c00, c0t, ctt = centred_moments(total, cov, [part[k] for k in _PARTS], pairs)
    shift = np.asarray(sums["shift"], dtype=float).reshape(n)
    return dd.add(dd.exact(shift), d)[0], c00, c0t, ctt, pairs


_PARTS = ("tcov", "head_sum", "tail_sum", "head_cov", "tail_cov")


def centred_moments(total, cov, parts, pairs, ctt=True):
    """The centre's move from the shift to the pair mean d (as a double-double), and C00, C0t
    and Ctt about it, of one lag's sums: total (n), cov (n, n), parts (tcov, head_sum,
    tail_sum, head_cov, tail_cov) and the pair count; or of a stack of them, every argument
    with the same leading axes (pairs one value per stack entry). Each entry of a stack gets the
    bits it gets alone. ctt=False: None for Ctt, which the reversible eigenproblem never reads
    (a third of the work)."""
    p = np.asarray(pairs, dtype=float)
    p_vec, p_mat = p[..., None], p[..., None, None]
    tcov, head_sum, tail_sum, head_cov, tail_cov = parts
    # In double-doubles, so that moving the centre adds no rounding of the sums' size (those
    # sums are accurate to a few ulps); the results are rounded once, at the end. The rank-one
    # terms gathered: with u = s_x - P d / 2 and v = s_y - P d / 2,
    # c_xx = cov - tail_cov - u dᵀ - d uᵀ, c_yy likewise with v, c_xy = tcov - u dᵀ - d vᵀ, so
    # c_xx + c_yy and c_xy + c_xyᵀ both take w dᵀ + d wᵀ, w = u + v = s_x + s_y - P d.
    s_x = dd.difference(total, tail_sum)
    s_y = dd.difference(total, head_sum)
    s_xy = dd.add(s_x, s_y)
    d = dd.divide(s_xy, 2.0 * p_vec)
    w = dd.outer(dd.add(s_xy, dd.neg(dd.scale(d, p_vec))), d)

    def less(x, m):  # x - m - mᵀ
        return dd.add(dd.add(x, dd.neg(m)), dd.neg(dd.transpose(m)))

    both = dd.add(dd.difference(2.0 * cov, tail_cov), dd.neg(dd.exact(head_cov)))
    c00 = dd.divide(less(both, w), 2.0 * p_mat)[0]
    c0t = dd.divide(less(dd.difference(tcov, -np.swapaxes(tcov, -1, -2)), w), 2.0 * p_mat)[0]
    if not ctt:
        return d, c00, c0t, None
    v = dd.outer(dd.add(s_y, dd.neg(dd.scale(d, 0.5 * p_vec))), d)
    return d, c00, c0t, dd.divide(less(dd.difference(cov, head_cov), v), p_mat)[0]

def forward_moments(sums, i):
    """Non-reversible pair estimate at the i-th lag read: (mean_0, mean_t, C00, C0t, Ctt, pairs).

    Each half of the pairs about its own mean (the first halves: all frames but the tails; the
    second: all but the heads), C0t as it is, all divided by the pair count without Bessel's
    correction: deeptime's covariances for VAMP. No second read is needed: the same sums as for
    the reversible estimate, only split differently.
    """
    n = np.asarray(sums["shift"]).size
    pairs = float(np.atleast_1d(sums["pairs"])[i])
    if pairs <= 0:
        pair_moments(sums, i)  # raises its message naming the files
    total = np.asarray(sums["sum"], dtype=float).reshape(n)
    cov = np.asarray(sums["cov"], dtype=float).reshape(n, n)
    part = {k: np.asarray(sums[k], dtype=float).reshape((-1,) + (n,) * (1 if k.endswith("sum") else 2))[i]
            for k in _PER_LAG}
    s_x = total - part["tail_sum"]
    s_y = total - part["head_sum"]
    m_x, m_y = s_x / pairs, s_y / pairs
    c00 = (cov - part["tail_cov"] - np.outer(s_x, m_x)) / pairs
    ctt = (cov - part["head_cov"] - np.outer(s_y, m_y)) / pairs
    c0t = (part["tcov"] - np.outer(s_x, m_y)) / pairs
    shift = np.asarray(sums["shift"], dtype=float).reshape(n)
    # Symmetric to the last bit: the eigensolvers see the same matrix deeptime builds.
    return shift + m_x, shift + m_y, 0.5 * (c00 + c00.T), c0t, 0.5 * (ctt + ctt.T), pairs


# --- adding sums ------------------------------------------------------------------------------


def merge(parts):
    """Adds sums read with different shifts, in the order given, relative to the first one's."""
    parts = list(parts)
    base = parts[0]
    out = {k: base[k] for k in base}
    for key in ("frames", "sum", "cov", "pairs") + _PER_LAG:
        out[key] = np.array(base[key], dtype=float)
    for part in parts[1:]:
        part = rebase(part, base["shift"])
        for key in ("frames", "sum", "cov", "pairs") + _PER_LAG:
            out[key] = out[key] + np.asarray(part[key], dtype=float).reshape(np.shape(out[key]))
    return out


# --- VAMP-2 as deeptime scores its TICA models ------------------------------------------------


def _inv_sqrt(w, epsilon):
    """W^(-1/2) on the eigenvalues of W not below epsilon (raised past the most negative one)."""
    s, v = scipy.linalg.eigh(w)
    cut = epsilon
    if s.min() < 0:
        cut = max(cut, -s.min() + 1e-16)
    keep = np.abs(s) >= cut
    v = v[:, keep]
    return (v / np.sqrt(s[keep])) @ v.T, int(keep.sum())


def vamp2(u, c00, c0t, ctt, epsilon=1e-6):
    """‖A B C‖_F² + 1 with A = (UᵀC00U)^(-1/2), B = UᵀC0tU, C = (UᵀCttU)^(-1/2).

    The + 1 counts the constant function, which the removed mean took out of the model. U are the
    kinetic-map scaled vectors deeptime's TICA scores with, so directions whose squared eigenvalue
    falls below epsilon drop out as they do there; where every one does (deeptime raises) the score
    is that of the constant function alone, 1.
    """
    return vamp_score(u, c00, c0t, ctt, 2, epsilon)


def score_order(r):
    """VAMP-r's r as deeptime takes it: a number >= 1, or "E", "VAMP1", "VAMP2", "VAMPE"."""
    if isinstance(r, str):
        text = r.lower().replace("vamp", "")
        if text == "e":
            return "e"
        try:
            r = float(text)
        except ValueError:
            raise ValueError("r must be a number >= 1 or 'E' (VAMP-E), got %r" % (r,)) from None
    if isinstance(r, bool) or not isinstance(r, (int, float, np.integer, np.floating)) or not 1 <= r < np.inf:
        raise ValueError("r must be a number >= 1 or 'E' (VAMP-E), got %r" % (r,))
    return float(r)


def vamp_score(u, c00, c0t, ctt, r, epsilon=1e-6, k=None, v=None):
    """VAMP-r (Schatten r-norm of A B C to the power r, + 1) or VAMP-E of the model with left
    vectors U and right vectors V (V = U by default, as TICA's) on the covariances given, as
    deeptime's vamp_score.

    k: the model's singular values, needed for VAMP-E only.
    """
    v = u if v is None else v
    if r == "e":
        kd = np.diag(k)
        return float(np.trace(2.0 * kd @ u.T @ c0t @ v - kd @ u.T @ c00 @ u @ kd @ v.T @ ctt @ v)) + 1.0
    a, rank_a = _inv_sqrt(u.T @ c00 @ u, epsilon)
    c, rank_c = _inv_sqrt(v.T @ ctt @ v, epsilon)
    if not rank_a or not rank_c:
        return 1.0
    abc = a @ (u.T @ c0t @ v) @ c
    if r == 2:
        return float(np.sum(abc * abc)) + 1.0
    return float(np.sum(scipy.linalg.svdvals(abc) ** r)) + 1.0


def array_sums(arrays, lags):
    """One read's sums (as _moments.one_read returns them) of frames held in memory.

    The shift is the exact mean of all frames, so the centring loses nothing (see K_MAX); every
    array is a trajectory of its own (no pair spans two).
    """
    n = arrays[0].shape[1]
    shift = sum(x.sum(axis=0) for x in arrays) / sum(len(x) for x in arrays)
    nl = len(lags)
    out = {"shift": shift, "lags": list(lags), "dt": np.nan, "frames": 0, "pairs": [0] * nl,
           "sum": np.zeros(n), "cov": np.zeros((n, n)), "tcov": np.zeros((nl, n, n)),
           "head_sum": np.zeros((nl, n)), "tail_sum": np.zeros((nl, n)), "head_cov": np.zeros((nl, n, n)),
           "tail_cov": np.zeros((nl, n, n)), "files": ["array %d" % i for i in range(len(arrays))],
           "per_file": [len(x) for x in arrays], "rereadable": [True] * len(arrays)}
    out["segments"] = [[(1, len(x), None, np.nan, np.nan)] for x in arrays]
    for x in arrays:
        y = x - shift
        t = len(y)
        out["frames"] += t
        out["sum"] += y.sum(axis=0)
        out["cov"] += y.T @ y
        for i, lag in enumerate(lags):
            head, tail = y[:min(lag, t)], y[max(0, t - lag):]
            if t > lag:
                out["pairs"][i] += t - lag
                out["tcov"][i] += y[:-lag].T @ y[lag:]
            out["head_sum"][i] += head.sum(axis=0)
            out["tail_sum"][i] += tail.sum(axis=0)
            out["head_cov"][i] += head.T @ head
            out["tail_cov"][i] += tail.T @ tail
    return out


def own_scores(sums, i, epsilon, score_epsilon=1e-6):
    """(eigenvalues, VAMP-2 on its own data) of the model at the i-th lag, without eigenvectors.

    On the data it was fitted to, the kinetic-map vectors U give UᵀC00U = diag(λ²) and
    UᵀC0tU = diag(λ³), so vamp2 reduces to 1 + Σλ² over the λ² not below score_epsilon: the
    directions deeptime's score keeps. The whitened eigenproblem then needs its eigenvalues only.
    """
    _, c00, c0t, _, _ = pair_moments(sums, i)
    l_mat = whitening(c00, epsilon)
    ct = l_mat.T @ c0t @ l_mat
    evals = scipy.linalg.eigh(0.5 * (ct + ct.T), eigvals_only=True)
    evals = evals[np.argsort(np.abs(evals))[::-1]]
    return evals, own_vamp2(evals, score_epsilon)


def own_vamp2(evals, score_epsilon=1e-6):
    """VAMP-2 of a kinetic-map model on the data it was fitted to, from its eigenvalues (own_scores)."""
    squares = evals * evals
    return float(np.sum(squares[squares >= score_epsilon])) + 1.0


def kinetic_map(sums, i, epsilon):
    """(eigenvalues, kinetic-map vectors, pair moments) of the model at the i-th lag."""
    moments = pair_moments(sums, i)
    evals, evecs = tica_decomposition(moments[1], moments[2], epsilon)
    return evals, evecs * evals[None, :], moments


def without(total, part):
    """The sums of total's data but part's (part read within total, moved to its shift)."""
    part = rebase(part, total["shift"])
    out = dict(total)
    for key in ("frames", "sum", "cov", "pairs") + _PER_LAG:
        out[key] = np.asarray(total[key], dtype=float) - np.asarray(part[key], dtype=float).reshape(
            np.shape(total[key]))
    return out


def fold_scores(total, test, epsilon, score_epsilon=1e-6):
    """VAMP-2 of one fold's data (test) under the model of all the other data, at every lag, and
    that model's VAMP-2 on its own training data: (test scores, training scores).

    As deeptime's vamp_score_cv with whole trajectories as the units: train on all but one fold,
    score the held-out fold's own reversible covariances. A lag at which the fold or the rest has
    no pairs gives nan.
    """
    train = without(total, test)
    scores = np.full(len(np.atleast_1d(total["lags"])), np.nan)
    trained = scores.copy()
    for i in range(scores.size):
        if float(np.atleast_1d(test["pairs"])[i]) <= 0 or float(np.atleast_1d(train["pairs"])[i]) <= 0:
            continue
        try:
            evals, u, _ = kinetic_map(train, i, epsilon)
        except ValueError:  # no direction above epsilon in the training folds
            continue
        _, c00, c0t, _, _ = pair_moments(test, i)
        scores[i] = vamp2(u, c00, c0t, c00, score_epsilon)
        trained[i] = own_vamp2(evals, score_epsilon)
    return scores, trained
