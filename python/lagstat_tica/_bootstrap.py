"""Error bars from the sums a scan already holds: the groups of files it folds the read into,
resampled with replacement and refitted at every lag, without reading anything again.

A replicate's sums are its drawn groups' sums added in the order drawn (est.merge of them: the
sums of the resampled data, bit for bit); its pair moments follow by the same operations as
est.pair_moments, in the native module without the interpreter lock (_native.replicate_moments,
a stack of replicates at once), and its eigenproblems are solved as a stack too. The draws come
from one seeded generator in this process, so the same seed gives the same bits whatever read the
files (n_jobs, threads, a Dask cluster).
"""
import collections
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from scipy.linalg import cython_lapack, lapack

from . import _compensated as compensated
from . import _native

# The scan keeps at most this many groups of files: memory stays (groups + 1) x the sums of one
# read, whatever the number of files.
MAX_GROUPS = 64
# Fewer files than this are too few units to resample: the interval would mostly reflect which
# of a handful of trajectories came twice.
MIN_FILES = 10
# Replicates whose lag's matrices are refitted at once: about this many bytes of their C00 and
# C0t (the native step reads the groups' sums once per stack, so larger stacks read less), and
# the stacks prepared ahead of the one being reduced.
_STACK_BYTES = 64 << 20
_AHEAD = 2
# Problems with at least this many columns whose C00 is safely above epsilon in every direction
# are solved as the generalised problem C0t r = λ C00 r through a Cholesky factor (see
# eigenvalues); smaller ones are cheaper as one stacked eigendecomposition.
CHOLESKY_COLUMNS = 64


def group_count(n_files, folds, bootstrap):
    """How many groups the read is folded into: the CV folds alone without a bootstrap; with
    one, every file while there are at most MAX_GROUPS, else the largest multiple of the folds
    within it (so that every fold is a union of groups: file j is in group j mod G and fold
    j mod k)."""
    k = min(int(folds), n_files) if folds >= 2 else 0
    k = k if k >= 2 else 0
    if not bootstrap:
        return k
    if n_files <= MAX_GROUPS:
        return n_files
    return max(k, MAX_GROUPS // k * k) if k else MAX_GROUPS


def draws(seed, replicates, groups):
    """(replicates, groups) indices of the groups each replicate draws, with replacement."""
    return np.random.default_rng(seed).integers(0, groups, size=(replicates, groups))


def check_options(bootstrap, seed, ci):
    if isinstance(bootstrap, bool) or not isinstance(bootstrap, (int, np.integer)) or bootstrap < 0:
        raise ValueError("bootstrap must be an integer >= 0 (the number of resamples), got %r" % (bootstrap,))
    if bootstrap and (isinstance(seed, bool) or not isinstance(seed, (int, np.integer, type(None))) or
                      (seed is not None and seed < 0)):
        raise ValueError("seed must be an integer >= 0 or None, got %r" % (seed,))
    if isinstance(ci, bool) or not isinstance(ci, (float, int, np.floating, np.integer)) or not 0.0 < ci < 1.0:
        raise ValueError("ci must be a fraction between 0 and 1, got %r" % (ci,))


def _sort(lam):
    return np.take_along_axis(lam, np.argsort(-np.abs(lam), axis=-1, kind="stable"), axis=-1)


def _all_kept(c00, epsilon):
    """Whether every direction of each C00 of a stack is kept (all its eigenvalues reach
    epsilon, with a margin for the rounding of the test), where the whitened problem has the
    same eigenvalues whatever whitening is used, so that C00's Cholesky factor may whiten it."""
    n = c00.shape[-1]
    # A Cholesky factor of C00 - t I exists only if every eigenvalue exceeds t, up to its backward
    # error, a few n ulps of C00's size in practice; the eigendecomposition that draws the
    # epsilon cut otherwise places C00's eigenvalues no more precisely. t lifted by that margin
    # keeps a problem near the cut on the eigendecomposition's side. The test runs in the native
    # module, beside the other stacks' reductions.
    t = epsilon + 8.0 * n * np.finfo(float).eps * np.abs(np.trace(c00, axis1=-2, axis2=-1))
    return np.array(_native.cholesky_exists(np.ascontiguousarray(c00), np.ascontiguousarray(t)), dtype=bool)


def _tridiagonal(c00, c0t_sym, diagonal, off):
    """The generalised problem C0t r = λ C00 r (c0t_sym: (C0t + C0tᵀ) / 2), whitened by C00's
    Cholesky factor and reduced to a symmetric tridiagonal matrix of the same eigenvalues
    (diagonal and off filled in); False where LAPACK fails. The reduction costs about a third of
    C00's eigendecomposition and its products with the whitening."""
    n = c00.shape[0]
    # The transposes are LAPACK's column order without a copy: C00's lower triangle is the upper
    # one of its transpose, and the symmetric c0t_sym is its own.
    factor, info = lapack.dpotrf(c00.T, lower=0, clean=0)
    if info != 0:
        return False
    # U⁻ᵀ C0t U⁻¹ in LAPACK's symmetric reduction (upper triangles only), a quarter faster than
    # SciPy's generalised driver, which solves the same problem; then its reduction to
    # tridiagonal form, the first half of what eigvalsh does, in LAPACK's blocked way.
    reduced, info = lapack.dsygst(c0t_sym.T, factor, itype=1, lower=0, overwrite_a=1)
    if info != 0:
        return False
    _, d, e, _, info = lapack.dsytrd(reduced, lower=0, lwork=_tridiagonal_work(n), overwrite_a=1)
    if info != 0:
        return False
    diagonal[:] = d
    off[:n - 1] = e
    return True


_WORK = {}


def _tridiagonal_work(n):
    """dsytrd's best workspace for n x n (its blocked reduction needs more than the minimum)."""
    if n not in _WORK:
        _WORK[n] = max(1, int(lapack.dsytrd_lwork(n, lower=0)[0]))
    return _WORK[n]


def _tridiagonal_eigenvalues(diagonal, off):
    """Ascending eigenvalues of a stack of symmetric tridiagonal matrices (rows: diagonals, and
    off-diagonals padded to n), by LAPACK's dsterf (the second half of eigvalsh) run in the
    native module, so that it leaves the interpreter to the other stacks' reductions."""
    d = np.ascontiguousarray(diagonal)
    e = np.ascontiguousarray(off[:, :max(1, d.shape[1] - 1)])
    info = _native.tridiagonal_eigenvalues(d, e, cython_lapack.__pyx_capi__["dsterf"])
    if any(info):
        raise np.linalg.LinAlgError("Eigenvalues did not converge")
    return d


def eigenvalues(c00, c0t, epsilon, symmetric=False):
    """TICA's eigenvalues (est.own_scores' rule: C00's directions from epsilon and above its most
    negative eigenvalue) for a stack of problems; (B, n) sorted by decreasing magnitude, nan
    past a problem's rank (nan throughout where no direction is left).

    Each problem's eigenvalues are the bits it gets alone: from CHOLESKY_COLUMNS columns on, a
    problem whose C00 keeps every direction is reduced by _tridiagonal, the others as below.
    symmetric: c0t is (C0t + C0tᵀ) / 2 already (the eigenproblem reads no more of it).

    In three steps (see _Problems), which the bootstrap runs on two threads as a pipeline."""
    problems = _Problems(c00, c0t, epsilon, symmetric)
    problems.reduce()
    return problems.finish()


class _Problems:
    """A stack's eigenproblems in three steps: the Cholesky test (native, without the
    interpreter lock: __init__), the LAPACK reductions and the whitened rest, which hold it
    (reduce), then the tridiagonal eigenvalues (native again: finish)."""

    def __init__(self, c00, c0t, epsilon, symmetric=False):
        self.c00, self.epsilon = c00, epsilon
        b, n = c00.shape[0], c00.shape[1]
        self.out = np.full((b, n), np.nan)
        self.sym = c0t if symmetric else 0.5 * (c0t + np.swapaxes(c0t, 1, 2))
        self.kept = _all_kept(c00, epsilon) if n >= CHOLESKY_COLUMNS else np.zeros(b, dtype=bool)

    def reduce(self):
        c00, sym, kept, out, epsilon = self.c00, self.sym, self.kept, self.out, self.epsilon
        b, n = c00.shape[0], c00.shape[1]
        self.diagonal, self.off = np.empty((b, n)), np.zeros((b, n))
        for j in np.nonzero(kept)[0]:
            kept[j] = _tridiagonal(c00[j], sym[j], self.diagonal[j], self.off[j])
        rest = np.nonzero(~kept)[0]
        self.c00 = self.sym = None  # the rest needs no more of them
        if not rest.size:
            return
        s, v = np.linalg.eigh(c00[rest])
        cut = np.maximum(epsilon, np.where(s.min(axis=1) < 0, -s.min(axis=1) + 1e-16, epsilon))
        keep = (s >= cut[:, None]) & (s > 0)
        ranks = keep.sum(axis=1)
        for r in np.unique(ranks):
            if r == 0:
                continue
            rows = np.nonzero(ranks == r)[0]
            # eigh orders ascending: a rank-r problem keeps its last r directions
            s_r, v_r = s[rows, n - r:], v[rows, :, n - r:]
            whiten = v_r / np.sqrt(s_r)[:, None, :]
            ct = np.swapaxes(whiten, 1, 2) @ sym[rest[rows]] @ whiten
            lam = np.linalg.eigvalsh(0.5 * (ct + np.swapaxes(ct, 1, 2)))
            out[rest[rows], :r] = _sort(lam)

    def finish(self):
        """(B, n) eigenvalues, as eigenvalues() returns them."""
        if self.kept.any():
            self.out[self.kept] = _sort(_tridiagonal_eigenvalues(self.diagonal[self.kept], self.off[self.kept]))
        return self.out


# The arrays of a group that a replicate draws
_GROUP_KEYS = ("sum", "cov", "tcov", "head_sum", "tail_sum", "head_cov", "tail_cov")


def replicate_eigenvalues(groups, idx, epsilon, workers=None):
    """(B, L, n) eigenvalues of every replicate (rows of idx: the groups drawn) at every lag;
    nan where a replicate has no pairs at a lag, or fewer directions. workers: the cores this
    process may use (default: as many as it has); from two on, the refits run as a pipeline on
    two threads."""
    if workers is None:
        workers = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    n = np.asarray(groups[0]["sum"]).size
    lags = len(np.atleast_1d(groups[0]["lags"]))
    b_all = idx.shape[0]
    out = np.full((b_all, lags, n), np.nan)
    pairs_of = np.array([np.atleast_1d(g["pairs"]) for g in groups], dtype=float)  # (G, L)
    step = max(1, min(b_all, int(_STACK_BYTES // (2 * 8 * n * n))))
    arrays = [{k: np.ascontiguousarray(g[k], dtype=float) for k in _GROUP_KEYS} for g in groups]
    idx = np.ascontiguousarray(idx, dtype=np.int64)
    pairs_all = pairs_of[idx].sum(axis=1)  # (B, L)

    # C00 and C0t of the stacks in flight (the one reduced and those prepared ahead), in buffers
    # used in turn: when stack k + _AHEAD is prepared, stack k - 1 is reduced and its buffer
    # free. Fresh arrays of this size for every stack would cost page faults and, when freed, a
    # flush of the other core's TLB.
    jobs = [(i, at) for i in range(lags) for at in range(0, b_all, step)]
    pipeline = len(jobs) > 1 and workers > 1
    buffers = [(np.empty((step, n, n)), np.empty((step, n, n))) for _ in range(_AHEAD + 1 if pipeline else 1)]

    def prepare(k, job):  # without the interpreter lock but for a few NumPy calls
        i, at = job
        pairs = pairs_all[at:at + step, i]
        ok = np.nonzero(pairs > 0)[0]
        if not ok.size:
            return None
        c00, c0t = (b[:ok.size] for b in buffers[k % len(buffers)])
        _native.replicate_moments(arrays, i, np.ascontiguousarray(idx[at + ok]), np.ascontiguousarray(pairs[ok]),
                                  c00, c0t)
        return at + ok, _Problems(c00, c0t, epsilon, symmetric=True)

    def finish(job, prepared):
        rows, problems = prepared
        out[rows, job[0]] = problems.finish()

    if not pipeline:
        for k, job in enumerate(jobs):
            prepared = prepare(k, job)
            if prepared is not None:
                prepared[1].reduce()
                finish(job, prepared)
        return out
    # A pipeline on two threads: this one makes the LAPACK reductions, which hold the
    # interpreter, while the other forms the next stacks' moments and tests and finishes the
    # last ones' eigenvalues, without it. A few stacks are prepared ahead (bounded memory); each
    # replicate's bits are its own whichever thread works on it.
    with ThreadPoolExecutor(1) as native:
        ahead = collections.deque(native.submit(prepare, k, job) for k, job in enumerate(jobs[:_AHEAD]))
        finishing = []
        for k, job in enumerate(jobs):
            prepared = ahead.popleft().result()
            if k + _AHEAD < len(jobs):
                ahead.append(native.submit(prepare, k + _AHEAD, jobs[k + _AHEAD]))
            if prepared is not None:
                prepared[1].reduce()
                finishing.append(native.submit(finish, job, prepared))
        for f in finishing:
            f.result()
    return out


def timescales(lags, evals):
    """-lag / ln|λ| of a (B, L, n) stack, as est.implied_timescales."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return -np.asarray(lags, dtype=float)[None, :, None] / np.log(np.abs(evals))


def vamp2(evals, score_epsilon=1e-6):
    """est.own_vamp2 of every replicate and lag: (B, L)."""
    squares = evals * evals
    with np.errstate(invalid="ignore"):
        out = np.where(squares >= score_epsilon, squares, 0.0).sum(axis=2) + 1.0
    out[np.isnan(evals).all(axis=2)] = np.nan  # no pairs, or no direction left
    return out


def interval(values, ci):
    """The percentile interval of the replicates (axis 0): (..., 2), nan where none is finite."""
    lo, hi = (1.0 - ci) / 2.0, (1.0 + ci) / 2.0
    if np.isfinite(values).all():  # nanquantile goes column by column: the common case at once
        return np.stack([np.quantile(values, lo, axis=0), np.quantile(values, hi, axis=0)], axis=-1)
    values = np.where(np.isfinite(values), values, np.nan)
    out = np.full(values.shape[1:] + (2,), np.nan)
    finite = np.isfinite(values).any(axis=0)
    if finite.any():
        picked = values[:, finite]
        out[finite] = np.stack([np.nanquantile(picked, lo, axis=0), np.nanquantile(picked, hi, axis=0)], axis=-1)
    return out


# Blocks of frames as the resampled units, where there are too few files: at least this many
# blocks, each at least BLOCK_LAGS times the longest lag (a pair belongs to its first frame's
# block, so short blocks would cut off most of the slow correlations at their ends).
MIN_BLOCKS = 20
BLOCK_LAGS = 10


def in_memory(data):
    """The trajectories of frames in memory (an array, or a list of them), as 2-D float arrays;
    None for anything else (files, patterns, pipes)."""
    if isinstance(data, np.ndarray):
        items = [data]
    elif isinstance(data, (list, tuple)) and data and all(isinstance(x, np.ndarray) for x in data):
        items = list(data)
    else:
        return None
    return [np.asarray(x, dtype=float).reshape(len(x), -1) for x in items]


def block_length(lengths, lags, block=None):
    """The block length in frames: `block`, or by default the frames shared out into MAX_GROUPS
    blocks, but at least BLOCK_LAGS x the longest lag; refused below MIN_BLOCKS blocks."""
    longest = max(lags)
    if block is None:
        block = max(BLOCK_LAGS * longest, -(-sum(lengths) // MAX_GROUPS))
    elif isinstance(block, bool) or not isinstance(block, (int, np.integer)) or block <= longest:
        raise ValueError("block must be an integer number of frames above the longest lag (%d), got %r"
                         % (longest, block))
    count = sum(-(-t // block) for t in lengths)
    if count < MIN_BLOCKS:
        raise ValueError("the bootstrap by blocks needs at least %d blocks of at least %d frames (%d x the longest "
                         "lag) in the trajectories; their %d frames make %d: give more or longer trajectories, or "
                         "a shorter block=" % (MIN_BLOCKS, int(block), BLOCK_LAGS, sum(lengths), count)
                         if block >= BLOCK_LAGS * longest else
                         "the bootstrap by blocks needs at least %d blocks; blocks of %d frames make %d"
                         % (MIN_BLOCKS, int(block), count))
    return int(block)


# Frames summed at once within a block (by the frame's place in its block, whatever chunks the
# frames arrive in): a file read in chunks gives the bits of the same frames as an array. The
# parts are folded into the block's sums with an error-free two-sum, so a long block loses no
# more than one of them.
SUB_BLOCK = 1024


class BlockSums:
    """The sums (as a read gives them, about `shift`) of `g_count` groups of blocks of `block`
    consecutive frames within each trajectory, block k (numbered across the trajectories in
    order) in group k mod g_count. A lagged pair belongs to the block of its first frame: its
    second frame may lie in the next block. For each lag, the first halves X and second halves Y
    of the block's pairs enter as tail = all - X and head = all - Y, so that the estimator's
    subtractions give X and Y.

    Frames come in chunks of any length (add), trajectory by trajectory (end_trajectory); it
    holds at most SUB_BLOCK + the longest lag of them, whatever the length of a block.
    """

    def __init__(self, n, lags, shift, block, g_count):
        self.n, self.lags, self.block = int(n), list(lags), int(block)
        self.longest = max(self.lags)
        self.shift = np.asarray(shift, dtype=float).reshape(-1)
        nl = len(self.lags)
        self.groups = [{"shift": self.shift.copy(), "lags": list(lags), "frames": 0, "pairs": [0] * nl,
                        "sum": np.zeros(n), "cov": np.zeros((n, n)), "tcov": np.zeros((nl, n, n)),
                        "head_sum": np.zeros((nl, n)), "tail_sum": np.zeros((nl, n)),
                        "head_cov": np.zeros((nl, n, n)), "tail_cov": np.zeros((nl, n, n))}
                       for _ in range(int(g_count))]
        self.count = 0  # blocks ended so far
        self._buffer = np.empty((0, n))
        self._at = 0  # the buffer's first frame within its trajectory
        self._open()

    def _open(self):
        n, nl = self.n, len(self.lags)
        # (hi, lo) of the block's vectors (all frames, then X and Y of each lag) and matrices
        # (all frames' products, then XX, YY and XY of each lag)
        self._vec = compensated.exact(np.zeros((1 + 2 * nl, n)))
        self._mat = compensated.exact(np.zeros((1 + 3 * nl, n, n)))
        self._frames, self._pairs = 0, [0] * nl

    def add(self, chunk):
        """The next frames (rows) of the current trajectory."""
        y = np.ascontiguousarray(np.asarray(chunk, dtype=float).reshape(len(chunk), self.n)) - self.shift
        self._buffer = np.concatenate([self._buffer, y]) if len(self._buffer) else y
        # a part is summed once the frames its pairs reach are all here
        while True:
            step = min(SUB_BLOCK, self.block - self._at % self.block)
            if len(self._buffer) < step + self.longest:
                break
            self._part(self._buffer[:step + self.longest], step)

    def end_trajectory(self):
        """Ends the current trajectory: its last block is ended, and the next frames start another."""
        while len(self._buffer):
            self._part(self._buffer, min(SUB_BLOCK, self.block - self._at % self.block, len(self._buffer)))
        if self._frames:
            self._end_block()
        self._buffer, self._at = np.empty((0, self.n)), 0

    def _part(self, y, step):
        """Adds the first `step` frames of y, and the pairs from them into y, to the block."""
        t = len(y)
        part = y[:step]
        total, cov = part.sum(axis=0), part.T @ part
        vec, mat = [total], [cov]
        xs, ys, xxs, yys, xys = [], [], [], [], []
        for i, lag in enumerate(self.lags):
            pairs = max(0, min(step, t - lag))
            first, second = y[:pairs], y[lag:lag + pairs]
            self._pairs[i] += pairs
            full = pairs == step  # the part's own frames: their sums are the ones above
            xs.append(total if full else first.sum(axis=0))
            ys.append(second.sum(axis=0))
            xxs.append(cov if full else first.T @ first)
            yys.append(second.T @ second)
            xys.append(first.T @ second)
        hi, lo = compensated.two_sum(self._vec[0], np.stack(vec + xs + ys))
        self._vec = hi, self._vec[1] + lo
        hi, lo = compensated.two_sum(self._mat[0], np.stack(mat + xxs + yys + xys))
        self._mat = hi, self._mat[1] + lo
        self._frames += step
        self._at += step
        self._buffer = self._buffer[step:]
        if self._at % self.block == 0:
            self._end_block()

    def _end_block(self):
        nl = len(self.lags)
        vec, mat = self._vec[0] + self._vec[1], self._mat[0] + self._mat[1]
        total, cov = vec[0], mat[0]
        group = self.groups[self.count % len(self.groups)]
        self.count += 1
        group["frames"] += self._frames
        group["pairs"] = [a + b for a, b in zip(group["pairs"], self._pairs)]
        group["sum"] += total
        group["cov"] += cov
        group["tcov"] += mat[1 + 2 * nl:]
        group["tail_sum"] += total - vec[1:1 + nl]
        group["head_sum"] += total - vec[1 + nl:]
        group["tail_cov"] += cov - mat[1:1 + nl]
        group["head_cov"] += cov - mat[1 + nl:1 + 2 * nl]
        self._open()


def block_groups(arrays, lags, shift, block):
    """BlockSums' groups of trajectories in memory: min(blocks, MAX_GROUPS) of them."""
    count = sum(-(-len(x) // block) for x in arrays)
    sums = BlockSums(arrays[0].shape[1], lags, shift, block, min(count, MAX_GROUPS))
    for x in arrays:
        sums.add(x)
        sums.end_trajectory()
    return sums.groups
