"""Frame weights (biased simulations) and the weighted pair sums TICA is fitted from.

A lagged pair (x_t, x_{t+lag}) carries the weight w_t of its earlier frame, as deeptime's
weighted covariances define it. With W = 2 sum w and the pair mean m = (sum w x_t + sum w x_{t+lag}) / W,

    C00 = (sum w (x_t - m)(x_t - m)^T + sum w (x_{t+lag} - m)(x_{t+lag} - m)^T) / W,
    C0t = (sum w (x_t - m)(x_{t+lag} - m)^T + its transpose) / W.

Sums are kept about a shift s (the first frame seen), so one read suffices. Pairs are summed in
blocks of BLOCK_PAIRS fixed by their index among all pairs added, never by how the frames arrive
(one array, chunks of partial_fit), and every block is folded into the totals with an error-free
two-sum whose error terms are kept beside them: the result is the same bits for any chunking and
loses about one rounding per block instead of one per frame. Each weighted product is rounded as
(w * x_i) * x_j.
"""
import numpy as np

# Pairs per block: large enough that the per-block work of numpy dominates its call overhead,
# small enough that a block's plain sum adds few roundings.
BLOCK_PAIRS = 1024


def bias_weights(bias, kT):
    """Weights w = exp(V / kT) of a bias V, shifted by the largest V so none overflows.

    Parameters
    ----------
    bias : array_like
        The bias V per frame (PLUMED's ``metad.bias``, ``opes.bias``), in the units of kT.
    kT : float
        The thermal energy, > 0.

    Returns
    -------
    numpy.ndarray
        exp((V - max V) / kT): the largest weight is 1.

    Raises
    ------
    ValueError
        If kT is not a positive finite number or V holds nan or inf.

    Examples
    --------
    >>> bias_weights([0.0, 2.5], 2.5).tolist()
    [0.36787944117144233, 1.0]
    """
    kT = float(kT)
    if not (np.isfinite(kT) and kT > 0):
        raise ValueError("bias_kT must be a positive finite number, got %r" % (kT,))
    v = np.asarray(bias, dtype=float).reshape(-1)
    if v.size and not np.isfinite(v).all():
        raise ValueError("the bias holds nan or inf (frame %d)" % (int(np.argmin(np.isfinite(v))) + 1))
    top = v.max() if v.size else 0.0
    return np.exp((v - top) / kT)


def check_weights(name, w, first_line=1):
    """w as a float64 vector, or ValueError naming `name` and the line (1-based frame) of the
    first weight that is negative, nan or inf."""
    w = np.asarray(w, dtype=float).reshape(-1)
    bad = ~(np.isfinite(w) & (w >= 0))
    if bad.any():
        at = int(np.argmax(bad))
        raise ValueError("%s, line %d: weight %r is not a finite number >= 0" % (name, first_line + at, float(w[at])))
    return w


def trajectory_weights(weights, index, frames, name, count, bias_kT=None):
    """The weights of trajectory `index` (of `count`), given as one array (one trajectory), a
    list of arrays (one per trajectory) or a callable on the trajectory's frames."""
    if callable(weights):
        w = weights(frames)
    elif isinstance(weights, (list, tuple)) and len(weights) and all(np.ndim(e) >= 1 for e in weights):
        if len(weights) != count:
            raise ValueError("weights: %d arrays for %d trajectories" % (len(weights), count))
        w = weights[index]
    elif count == 1:
        w = weights
    else:
        raise ValueError("weights: give one array per trajectory (a list of %d) or a callable" % count)
    if bias_kT is not None:
        w = bias_weights(w, bias_kT)
    w = check_weights(name, w)
    if w.size != len(frames):
        raise ValueError("%s: %d weights for %d frames" % (name, w.size, len(frames)))
    return w


def _two_sum(hi, lo, add):
    """hi + add as (sum, error) exactly (Knuth's TwoSum), the error added into lo."""
    s = hi + add
    b = s - hi
    err = (hi - (s - b)) + (add - b)
    return s, lo + err


class WeightedPairSums:
    """Weighted sums of lagged pairs (x_t, y_t = x_{t+lag}) with weight w_t, about a shift."""

    _KEYS = ("w", "sx", "sy", "sxx", "syy", "sxy")

    def __init__(self):
        self.shift = None
        self.pairs = 0
        self._pending = []
        self._count = 0
        self._hi = {}
        self._lo = {}

    def add(self, x, y, w):
        """Adds the pairs (x[k], y[k]) with weights w[k], in order."""
        x = np.asarray(x, dtype=float)
        y = np.asarray(y, dtype=float)
        if len(x) == 0:
            return
        if self.shift is None:
            self.shift = x[0].copy()
        elif x.shape[1] != self.shift.size:
            raise ValueError("the frames have %d columns, the ones before %d" % (x.shape[1], self.shift.size))
        self._pending.append((x - self.shift, y - self.shift, np.asarray(w, dtype=float)))
        self._count += len(x)
        self.pairs += len(x)
        while self._count >= BLOCK_PAIRS:
            self._flush(BLOCK_PAIRS)

    def _take(self, n):
        parts, got = [], 0
        while got < n:
            x, y, w = self._pending[0]
            k = min(n - got, len(x))
            parts.append((x[:k], y[:k], w[:k]))
            if k == len(x):
                self._pending.pop(0)
            else:
                self._pending[0] = (x[k:], y[k:], w[k:])
            got += k
        self._count -= n
        if len(parts) == 1:
            return parts[0]
        return tuple(np.concatenate([p[i] for p in parts]) for i in range(3))

    def _flush(self, n):
        x, y, w = self._take(n)
        wx = w[:, None] * x
        wy = w[:, None] * y
        block = {"w": np.array(w.sum()), "sx": wx.sum(axis=0), "sy": wy.sum(axis=0),
                 # einsum without optimize runs its own loop, never a threaded BLAS
                 "sxx": np.einsum("ti,tj->ij", wx, x), "syy": np.einsum("ti,tj->ij", wy, y),
                 "sxy": np.einsum("ti,tj->ij", wx, y)}
        for key in self._KEYS:
            if key not in self._hi:
                self._hi[key], self._lo[key] = block[key], np.zeros_like(block[key])
            else:
                self._hi[key], self._lo[key] = _two_sum(self._hi[key], self._lo[key], block[key])

    def totals(self):
        """The compensated sums (hi + lo), the pending pairs included; self is left as it was."""
        out = {key: self._hi[key] + self._lo[key] for key in self._hi}
        if self._count:
            saved = (list(self._pending), self._count, dict(self._hi), dict(self._lo))
            self._flush(self._count)
            out = {key: self._hi[key] + self._lo[key] for key in self._hi}
            self._pending, self._count, self._hi, self._lo = saved
        return out

    def moments(self):
        """(mean, C00, C0t, total weight W) of deeptime's reversible weighted estimate."""
        if self.pairs == 0:
            raise ValueError("no lagged pairs")
        t = self.totals()
        total = 2.0 * float(t["w"])
        if not total > 0:
            raise ValueError("the weights of all lagged pairs are zero")
        d = (t["sx"] + t["sy"]) / total
        dd = np.outer(d, d)
        c00 = (t["sxx"] + t["syy"]) / total - dd
        c0t = (t["sxy"] + t["sxy"].T) / total - dd
        return self.shift + d, c00, c0t, total


def koopman_coefficients(acc, epsilon, whitening):
    """(u, u0) of Koopman reweighting (Wu et al., J. Chem. Phys. 146, 154104 (2017)) from the
    unit-weight pair sums `acc`: a frame x gets the weight x . u + u0, the ratio of the stationary
    distribution over the empirical one, projected on the features and a constant.

    As deeptime's KoopmanWeightingEstimator: C00 and C0t about their own halves' means, K the
    Koopman matrix of the whitened basis padded with a constant, u its left eigenvector of
    eigenvalue 1 (largest magnitude), scaled so that the constant's coefficient is 1.
    """
    import scipy.linalg

    t = acc.totals()
    pairs = float(acc.pairs)
    d0, dt = t["sx"] / pairs, t["sy"] / pairs
    c00 = t["sxx"] / pairs - np.outer(d0, d0)
    c0t = t["sxy"] / pairs - np.outer(d0, dt)
    r = whitening(c00, epsilon)
    m = r.shape[1]
    k = np.zeros((m + 1, m + 1))
    k[:m, :m] = r.T @ c0t @ r
    k[m, :m] = (dt - d0) @ r
    k[m, m] = 1.0
    evals, evecs = scipy.linalg.eig(k.T)
    u = np.real(evecs[:, np.argsort(np.abs(evals))[::-1][0]])
    u = u / u[m]
    coef = r @ u[:m]
    return coef, float(u[m] - (acc.shift + d0) @ coef)
