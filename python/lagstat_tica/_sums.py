"""The algebra of one read's sums: moving them to another shift, adding them in order, the sums
of independent pairs, and their check for values that are not finite."""
import numpy as np

from . import _sources

def _check_finite(path, values):
    # Caught per file: one overflowing field (1e999) would otherwise surface much later, as
    # an error of the eigensolver that names no file.
    if not all(np.isfinite(v).all() for v in values):
        raise ValueError("%s: values too large or not finite (inf/nan) in the data" % path)


# Sums that move with the shift, and how: name -> (kind, the sum beside it, the count).
_VECTOR_KEYS = ("sum", "head_sum", "tail_sum")


_MATRIX_KEYS = ("cov", "tcov", "head_cov", "tail_cov")


def rebase(sums, shift):
    """The sums of one scan re-centred from its shift s to `shift` s', exactly as algebra has it.

    With y = x - s and d = s - s', every frame moves by d: x - s' = y + d. So
        sum' = sum + T d,   cov' = cov + sum d^T + d sum^T + T d d^T,
    and for each lag, with its P pairs and E = T - P edge frames (the first or last
    min(lag, T_seg) of every segment), first halves' sum a = sum - tail_sum, second halves'
    b = sum - head_sum:
        tcov' = tcov + a d^T + d b^T + P d d^T,
        head_sum' = head_sum + E d,   head_cov' = head_cov + h d^T + d h^T + E d d^T (h: head_sum),
    and the tail likewise. Rounding: d is rounded once (|err| <= u |d|, u = 2^-53); every term
    above is one product rounded, added left to right, so an element of cov' carries at most
    about 4 u (|cov| + 2 |sum| |d| + T d^2) more than the sums of a scan made with s' would:
    exact when s' = s, small against the sums when |d| is of the data's spread.
    """
    shift = np.asarray(shift, dtype=float).reshape(-1)
    old = np.asarray(sums["shift"], dtype=float).reshape(-1)
    out = dict(sums)
    out["shift"] = shift.copy()
    if np.array_equal(old, shift):
        return out
    d = old - shift
    frames = float(sums["frames"])
    pairs = np.asarray(sums["pairs"], dtype=float)
    edges = frames - pairs
    total = np.asarray(sums["sum"], dtype=float)

    def moved(c, u, v, count):
        return c + np.outer(u, d) + np.outer(d, v) + count * np.outer(d, d)

    out["sum"] = total + frames * d
    out["cov"] = moved(sums["cov"], total, total, frames)
    out["tcov"] = np.array([moved(sums["tcov"][i], total - sums["tail_sum"][i], total - sums["head_sum"][i], p)
                            for i, p in enumerate(pairs)]).reshape(np.shape(sums["tcov"]))
    for side in ("head", "tail"):
        s_side = np.asarray(sums[side + "_sum"], dtype=float)
        out[side + "_sum"] = s_side + edges[:, None] * d
        out[side + "_cov"] = np.array([moved(sums[side + "_cov"][i], s_side[i], s_side[i], e)
                                       for i, e in enumerate(edges)]).reshape(np.shape(sums[side + "_cov"]))
    return out


def fold_sums(total, part):
    """total's sums and part's, added as one_read adds a file's: part moved to total's shift, and
    added after it (total None: part's as they are)."""
    if total is None:
        out = dict(part)
        for key in ("per_file", "segments", "rereadable", "files"):
            out[key] = []
    else:
        out = dict(total)
        moved = rebase(part, total["shift"])
        out["frames"] = int(total["frames"]) + int(part["frames"])
        out["pairs"] = [int(a) + int(b) for a, b in zip(total["pairs"], part["pairs"])]
        for key in _VECTOR_KEYS + _MATRIX_KEYS:
            out[key] = total[key] + moved[key]
    out["per_file"] = out["per_file"] + [int(part["frames"])]
    out["segments"] = out["segments"] + [part["segments"]]
    out["rereadable"] = out["rereadable"] + [False]
    out["files"] = out["files"] + ["trajectory %d" % len(out["files"])]
    return out


def pair_sums(x_t, x_tau, lag, name):
    """One read's sums (at `lag`) of independent pairs (x_t[k], x_tau[k]), deeptime's
    partial_fit((X_t, X_tau)): every pair a trajectory of its own, as if its two frames were
    `lag` apart; the shift is the first pair's first frame."""
    a = _sources.ArraySource(x_t, name).array.astype(float)
    b = _sources.ArraySource(x_tau, name).array.astype(float)
    if a.shape != b.shape:
        raise ValueError("%s: X_t and X_tau have the shapes %s and %s; pairs need one shape" % (name, a.shape, b.shape))
    s = a[0].copy()
    ya, yb = a - s, b - s
    n, m = a.shape[1], a.shape[0]
    out = {"shift": s, "lags": [lag], "dt": np.nan, "frames": 2 * m, "pairs": [m],
           "sum": ya.sum(axis=0) + yb.sum(axis=0), "cov": ya.T @ ya + yb.T @ yb, "tcov": (ya.T @ yb)[None],
           "head_sum": ya.sum(axis=0)[None], "tail_sum": yb.sum(axis=0)[None], "head_cov": (ya.T @ ya)[None],
           "tail_cov": (yb.T @ yb)[None], "segments": [(1, m, None, np.nan, np.nan)]}
    _check_finite(name, (out["cov"].reshape(n, n), out["tcov"]))
    return out


def _merge(parts, keys):
    """Adds the per-file arrays key by key, strictly in file order."""
    out = {}
    for part in parts:
        for key in keys:
            if key in out:
                out[key] = out[key] + part[key]
            else:
                out[key] = np.array(part[key], dtype=float)
    return out
