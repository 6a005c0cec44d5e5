"""Frame weights (biased simulations) and the weighted pair sums TICA is fitted from.

A lagged pair (x_t, x_{t+lag}) carries the weight w_t of its earlier frame, as deeptime's
weighted covariances define it. With W = 2 sum w and the pair mean m = (sum w x_t + sum w x_{t+lag}) / W,

    C00 = (sum w (x_t - m)(x_t - m)^T + sum w (x_{t+lag} - m)(x_{t+lag} - m)^T) / W,
    C0t = (sum w (x_t - m)(x_{t+lag} - m)^T + its transpose) / W.

Sums are kept about a shift s (the first frame seen), so one read suffices. The native weighted
accumulator sums them: each weighted product rounded as (w * x_i) * x_j, pairs added one at a
time in pair order within blocks of BLOCK_PAIRS fixed by their index among all pairs added (never
by how the frames arrive or by the thread count), every block folded into the totals with an
error-free two-sum whose error terms are kept beside them: the result is the same bits for any
chunking and thread count and loses about one rounding per block instead of one per frame.
TICA's reversible estimate, which needs the two halves only added, pools them by frame instead
(PooledSums): the unweighted fit's products, in blocks of frames.
"""
import numpy as np

from . import _compensated as dd
from . import _native
from ._parallel import check_threads, thread_share

# Pairs per block, as the native accumulator groups them (stats/weighted_moments.hpp).
BLOCK_PAIRS = 1024


def bias_weights(bias, kT, top=None):
    """Weights w = exp(V / kT) of a bias V, shifted by the largest V (or by `top`, the largest
    over all trajectories) so none overflows.

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
    if top is None:
        top = v.max() if v.size else 0.0
    return np.exp((v - top) / kT)


def check_weights(name, w, first_line=1):
    """w as a float64 vector, or ValueError naming `name` and the line (1-based frame) of the
    first weight that is negative, nan or inf."""
    w = np.asarray(w, dtype=float).reshape(-1)
    # the least and the largest (nan makes both nan): a fit's own cost at a few columns is a
    # few dozen operations per frame, which per-element tests and their masks would add to
    if not w.size or (w.min() >= 0 and w.max() < np.inf):
        return w
    bad = ~((w >= 0) & (w < np.inf))
    if bad.any():
        at = int(np.argmax(bad))
        raise ValueError("%s, line %d: weight %r is not a finite number >= 0" % (name, first_line + at, float(w[at])))
    return w


def trajectory_weights(weights, index, frames, name, count):
    """The weights (or bias) given for trajectory `index` (of `count`): one array (one
    trajectory), a list of arrays (one per trajectory) or a callable on the trajectory's frames."""
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
    w = np.asarray(w, dtype=float).reshape(-1)
    if w.size != len(frames):
        raise ValueError("%s: %d weights for %d frames" % (name, w.size, len(frames)))
    return w


def all_weights(weights, arrays, bias_kT=None):
    """Every trajectory's checked weights. A bias becomes exp((V - max V) / kT) with one shift,
    the largest V over all trajectories: a shift per trajectory would rescale each trajectory's
    weights by its own factor and so reweigh the trajectories against each other."""
    names = ["trajectory %d" % i for i in range(len(arrays))]
    raw = [trajectory_weights(weights, i, x, names[i], len(arrays)) for i, x in enumerate(arrays)]
    if bias_kT is not None:
        for name, v in zip(names, raw):
            if v.size and not np.isfinite(v).all():
                raise ValueError("%s: the bias holds nan or inf (frame %d)"
                                 % (name, int(np.argmin(np.isfinite(v))) + 1))
        top = max((float(v.max()) for v in raw if v.size), default=0.0)
        raw = [bias_weights(v, bias_kT, top) for v in raw]
    return [check_weights(name, w) for name, w in zip(names, raw)]


class WeightedPairSums:
    """Weighted sums of lagged pairs (x_t, y_t = x_{t+lag}) with weight w_t, about a shift,
    kept by the native weighted accumulator (made at the first pair, when the width is known)."""

    def __init__(self, threads=None, shift=None):
        # as the unweighted fit: None takes this process's cores; the count changes no bit
        self._threads = thread_share(1, check_threads(threads))
        self._native = None
        # None: the first frame added; sums that are to be added to others' share theirs
        self._shift = shift

    @property
    def shift(self):
        return None if self._native is None else self._native.shift

    @property
    def pairs(self):
        return 0 if self._native is None else self._native.pairs

    def add(self, x, y, w):
        """Adds the pairs (x[k], y[k]) with weights w[k], in order."""
        x = np.asarray(x, dtype=float)
        y = np.asarray(y, dtype=float)
        if len(x) == 0:
            return
        x = x.reshape(len(x), -1)
        y = y.reshape(len(y), -1)
        w = np.ascontiguousarray(w, dtype=float).reshape(-1)
        if self._native is None:
            self._native = _native.weighted_accumulator(x.shape[1], shift=self._shift, threads=self._threads)
        elif x.shape[1] != self._native.shift.size:
            raise ValueError("the frames have %d columns, the ones before %d" % (x.shape[1], self._native.shift.size))
        self._native.add(x, y, w)

    def totals(self):
        """The compensated sums (hi + lo), the pending pairs included; adding goes on."""
        return self._native.totals()


class PooledSums:
    """A reversible estimate's weighted sums pooled by frame: a frame's two pairs add their
    weights first (v_t = w_t + w_{t-lag}), so that it makes one product per element where the
    pairs' halves make two, and each pair's lagged product goes with its later frame (the
    native pooled accumulator; stats/weighted_moments.hpp has the order of operations). The
    trajectory's last `lag` frames are its tail, whose v is known only when it ends: they are
    held back and, for a look at the totals, summed into a copy of them, which gives the bits of
    the trajectory ending there. Trajectories come one after another (start(), then add() of
    their chunks), any chunking giving the same bits; deeptime's (X_t, X_tau) pair tuples,
    frames of no trajectory, go through add_pairs into pair sums kept beside.
    """

    def __init__(self, lag, threads=None):
        self.lag = int(lag)
        self._threads = thread_share(1, check_threads(threads))
        self._native = None
        self._pair_sums = None
        self.shift = None
        self._held = self._held_w = None  # the trajectory's last 2 lag frames (and weights)
        self._seen = 0  # the trajectory's frames so far
        self._totals = None  # totals() until the next frames

    @property
    def pairs(self):
        return sum(int(a.pairs) + (self._tail_pairs() if a is self._native else 0)
                   for a in (self._native, self._pair_sums) if a is not None)

    @property
    def seen(self):
        """The current trajectory's frames so far."""
        return self._seen

    def _tail_pairs(self):
        return max(0, self._seen - max(self._seen - self.lag, self.lag))

    def _width(self, x):
        if self.shift is None:
            self.shift = x[0].copy()
        elif x.shape[1] != self.shift.size:
            raise ValueError("the frames have %d columns, the ones before %d" % (x.shape[1], self.shift.size))

    def start(self, index=None, new_file=True):
        """A trajectory begins (as LagSums.start: a file or a restart): the one before ends."""
        if self._seen:
            x, e, w = self._tail()
            if len(x):
                self._native.end(x, e, w)
        self._held = self._held_w = None
        self._seen = 0
        self._totals = None

    def add(self, x, w):
        """The next frames x (T, n) of the current trajectory and their weights w (T,)."""
        x = np.asarray(x, dtype=float)
        if not len(x):
            return
        x = x.reshape(len(x), -1)
        w = np.asarray(w, dtype=float).reshape(-1)
        self._width(x)
        self._totals = None
        if self._native is None:
            self._native = _native.pooled_accumulator(x.shape[1], shift=self.shift, threads=self._threads)
        lag, seen = self.lag, self._seen
        if self._held is None:
            xs, ws, p0 = x, w, 0
        else:
            xs, ws = np.concatenate([self._held, x]), np.concatenate([self._held_w, w])
            p0 = seen - len(self._held)
        # frames [a, b) of the trajectory now have their later pair's frame: v is known
        a, b = max(0, seen - lag), max(0, seen + len(x) - lag)
        if b > a:
            # those from max(a, lag) on have pairs, whose earlier frames are [e0, e1) of xs
            e0 = max(a, lag) - lag - p0
            e1 = max(e0, b - lag - p0)
            self._native.add(xs[a - p0:b - p0], ws[a - p0:b - p0], xs[e0:e1], ws[e0:e1])
        self._seen = seen + len(x)
        keep = max(0, len(xs) - 2 * lag)
        self._held, self._held_w = xs[keep:].copy(), ws[keep:].copy()

    def _tail(self):
        """The current trajectory's tail as it would end now: its frames, their pairs' earlier
        frames and weights."""
        lag, p0 = self.lag, self._seen - len(self._held)
        a = max(self._seen - lag, lag)
        b = max(a, self._seen)
        return self._held[a - p0:b - p0], self._held[a - lag - p0:b - lag - p0], self._held_w[a - lag - p0:b - lag - p0]

    def add_pairs(self, x, y, w):
        """Pairs (x[k], y[k]) of no trajectory, weights w[k]; the current trajectory ends."""
        self.start()
        x = np.asarray(x, dtype=float).reshape(len(x), -1)
        if not len(x):
            return
        self._width(x)
        self._totals = None
        if self._pair_sums is None:
            self._pair_sums = WeightedPairSums(self._threads, self.shift)
        self._pair_sums.add(x, y, w)

    def finite(self):
        """Whether the sums so far hold no nan or inf."""
        t = self.totals()
        return t is None or all(np.isfinite(a).all() for a in t)

    def totals(self):
        """(W, s, c, tc): the pairs' total weight, sum v x, sum v x xᵀ and sum w x yᵀ about the
        shift, the current trajectory's tail as if it ended now, the pair tuples' sums added."""
        if self._totals is None:
            self._totals = self._sum_up()
        return self._totals

    def _sum_up(self):
        out = None
        if self._native is not None and (self._native.pairs or self._tail_pairs()):
            t = self._native.totals(*self._tail()) if self._seen else self._native.totals()
            out = [float(t["w"]), t["s"], t["c"], t["tc"]]
        if self._pair_sums is not None and self._pair_sums.pairs:
            t = self._pair_sums.totals()
            more = [float(t["w"]), t["sx"] + t["sy"], t["sxx"] + t["syy"], t["sxy"]]
            out = more if out is None else [a + b for a, b in zip(out, more)]
        return out

    def moments(self):
        """(mean, C00, C0t, total weight W) of deeptime's reversible weighted estimate, centred in
        double-doubles as the unweighted fit's (lagstat_tica._estimator.centred_moments)."""
        from . import _estimator as est  # SciPy's: only the fits, which need it anyway, come here

        if self.pairs == 0:
            raise ValueError("no lagged pairs")
        pairs, s, c, tc = self.totals()
        if not pairs > 0:
            raise ValueError("the weights of all lagged pairs are zero")
        n = self.shift.size
        zero = np.zeros(n)
        d, c00, c0t, _ = est.centred_moments(zero, np.zeros((n, n)), [tc, zero, -s, np.zeros((n, n)), -c], pairs,
                                             ctt=False)
        return dd.add(dd.exact(self.shift), d)[0], c00, c0t, 2.0 * pairs


def halves(t):
    """Weighted pair sums as the lag scan's per-lag parts (tcov, head_sum, tail_sum, head_cov,
    tail_cov) of sums whose all-frames sum and cov are 0: the estimators take only the pairs'
    halves (s_x = sum - tail_sum, s_xx = cov - tail_cov, ...), which then come out as summed,
    with no cancellation against an all-frames sum (a pair's weight is its earlier frame's, so
    the later halves are no all-frames sum less the heads)."""
    return [t["sxy"], -t["sy"], -t["sx"], -t["syy"], -t["sxx"]]


class LagSums:
    """Weighted pair sums at several lags from one pass over trajectories, kept in groups
    (trajectory j in group j mod G: a scan's folds and bootstrap units), all about one shift,
    the first frame seen, so that groups add as they stand. With all_frames, every frame's own
    weighted sums too (the moments' mean and covariance over all frames)."""

    def __init__(self, lags, groups=1, threads=None, all_frames=False):
        self.lags = [int(t) for t in lags]
        self.groups = max(1, int(groups))
        self._threads = threads
        self._acc = [[None] * len(self.lags) for _ in range(self.groups)]
        self._frames = [None] * self.groups if all_frames else None
        self._totals = {}
        self.shift = None
        self.frames = [0] * self.groups
        self.pairs = np.zeros((self.groups, len(self.lags)), dtype=np.int64)
        self.per_file = []
        self._group, self._tail = 0, None

    def start(self, index, new_file=True):
        """Trajectory (file) `index` begins, or with new_file False a segment of the current one
        (a restart): no pair reaches back across."""
        self._group = index % self.groups
        if new_file:
            self.per_file.append(0)
        self._tail = None

    def _new(self):
        return WeightedPairSums(self._threads, self.shift)

    def add(self, x, w):
        """The next frames x (T, n) of the current trajectory and their weights w: (T,), or
        (lags, T) for a weight per lag (Koopman reweighting's). Any cut into chunks adds the same
        pairs in the same order, so the same bits."""
        x = np.asarray(x, dtype=float)
        if not len(x):
            return
        w = np.asarray(w, dtype=float)
        if self.shift is None:
            self.shift = x[0].copy()
        g = self._group
        self.frames[g] += len(x)
        self.per_file[-1] += len(x)
        if self._frames is not None:
            if self._frames[g] is None:
                self._frames[g] = self._new()
            self._frames[g].add(x, x, w if w.ndim == 1 else w[0])
        if self._tail is None:
            xs, ws, old = x, w, 0
        else:
            xs, ws = np.concatenate([self._tail[0], x]), np.concatenate([self._tail[1], w], axis=-1)
            old = len(self._tail[0])
        for i, lag in enumerate(self.lags):
            lo, hi = max(0, old - lag), len(xs) - lag  # the pairs whose later frame is new
            if hi > lo:
                if self._acc[g][i] is None:
                    self._acc[g][i] = self._new()
                self._acc[g][i].add(xs[lo:hi], xs[lo + lag:hi + lag], (ws[i] if ws.ndim == 2 else ws)[lo:hi])
                self.pairs[g, i] += hi - lo
        keep = max(0, len(xs) - max(self.lags))
        self._tail = (xs[keep:], ws[..., keep:])

    def totals(self, g, i):
        """The compensated totals of group g at the i-th lag (None without pairs)."""
        if self._acc[g][i] is None:
            return None
        if (g, i) not in self._totals:
            self._totals[g, i] = self._acc[g][i].totals()
        return self._totals[g, i]

    def pair_sums(self, i):
        """The i-th lag's pair sums of one group (the only one)."""
        return self._acc[0][i]

    def frame_totals(self):
        """Every frame's weighted sums (all_frames), the groups added in order: (W, s, ss)."""
        parts = [f.totals() for f in self._frames if f is not None]
        return (sum(float(t["w"]) for t in parts), sum(t["sx"] for t in parts), sum(t["sxx"] for t in parts))

    def sums(self, group=None):
        """One group's sums in the lag scan's form (see halves; pairs: their total weight), or
        all groups' added in group order."""
        n, nl = self.shift.size, len(self.lags)
        out = {"shift": self.shift.copy(), "lags": list(self.lags), "dt": np.nan, "frames": 0, "pairs": [0.0] * nl,
               "sum": np.zeros(n), "cov": np.zeros((n, n)), "tcov": np.zeros((nl, n, n)),
               "head_sum": np.zeros((nl, n)), "tail_sum": np.zeros((nl, n)), "head_cov": np.zeros((nl, n, n)),
               "tail_cov": np.zeros((nl, n, n)), "pair_counts": [0] * nl}
        for g in range(self.groups) if group is None else [group]:
            out["frames"] += self.frames[g]
            for i in range(nl):
                t = self.totals(g, i)
                if t is None:
                    continue
                out["pairs"][i] += float(t["w"])
                out["pair_counts"][i] += int(self.pairs[g, i])
                for key, part in zip(("tcov", "head_sum", "tail_sum", "head_cov", "tail_cov"), halves(t)):
                    out[key][i] += part
        return out


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
