# Types of the private extension module: one read of a file for every lag. lagstat_tica's
# _moments.one_read is its user; the docstrings here hold what the module's own docstrings leave
# to be said.
import os
from typing import Any, Dict, List, Optional, Sequence, SupportsIndex, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

class source:
    """One input opened for one read (open()); head() may look at its first lines first."""

    @property
    def path(self) -> _Path:
        """The object given to open()."""
    @property
    def rereadable(self) -> bool:
        """True for a regular file (compressed or not), False for a pipe, FIFO or device."""
    @property
    def ended(self) -> bool:
        """Whether head() has kept the whole input (its end, or a read error, came within it)."""
    def head(self, max_lines: int = 256, max_bytes: int = 1048576) -> List[str]:
        """The first lines, without their ends, decoded as UTF-8 with errors="replace"; a last
        line cut by max_bytes is left out. The bytes stay buffered, so scan reads them again (a
        pipe loses nothing), and every call starts from the beginning. On a pipe it waits for
        max_lines lines, the end or max_bytes. A .npy source has no lines: ValueError, naming
        the file (scan reads it)."""
    def scan(
        self,
        lags: Sequence[int],
        *,
        shift: Optional[Sequence[float]] = None,
        comments: Optional[str] = None,
        skip_rows: Optional[SupportsIndex] = None,
        usecols: Optional[Sequence[int]] = None,
        delimiter: Optional[str] = None,
        segment_marker: Optional[str] = None,
        time_field: Optional[int] = None,
        threads: Optional[SupportsIndex] = None,
        skip_blank: bool = False,
    ) -> Dict[str, Any]:
        """Every lag's sums from one pass; the source is used up (a second scan: ValueError).

        lags: ints >= 1 in any order, repeats allowed; the results follow the given order.
        shift: s below, else the first frame. segment_marker: a line starting with it ends a
        segment (no lagged pairs across it) and is otherwise skipped like a comment; lines
        before the first data line are not markers, and segments without frames are left out.
        time_field: a raw field index (before usecols; negative counts from the end) whose
        value at each segment's first and last frame goes into `segments` (NaN without it).
        threads: as lagstat.run's. Errors as lagstat.run's (OSError with errno and filename,
        ValueError with the line's note, MemoryError, KeyboardInterrupt); no partial sums.

        The dict, for n columns (after usecols) and L lags, of float64 arrays but where said:
        frames (int), shift (n), sum (n): sum of (x - s), cov (n, n): sum of (x - s)(x - s)^T,
        lags (list, as given), pairs (list of L ints: sum over segments of max(0, T - lag)),
        tcov (L, n, n): sum over the pairs of a segment of (x_t - s)(x_t+lag - s)^T (earlier
        frame = rows), head_sum and tail_sum (L, n): sums over the first and the last
        min(lag, T) frames of every segment, head_cov and tail_cov (L, n, n): their outer
        products, segments (list of (first data line, 1-based; frames; the marker line's text
        or None; first time; last time)), dt (float: frame 1's time less frame 0's in the first
        segment, NaN when unknown). The pairs' first halves sum to sum - tail_sum, their second
        halves to sum - head_sum; cov - tail_cov and cov - head_cov are their outer products.
        """

def open(path: _Path) -> source:
    """Opens a file of tabulated text or a NumPy .npy file (str, bytes or os.PathLike: a regular
    file, pipe, FIFO, /dev/stdin; gzip, bzip2, xz or zstd by its magic bytes, as lagstat.run) for
    one read, with lagstat.run's OSError (errno, filename) where it cannot. A .npy file is
    scanned as lagstat.run reads it: usecols select its columns, the text options are refused,
    a segment's first data line is 1."""

class accumulator:
    """Every lag's sums of frames handed over in blocks (arrays, binary files read in chunks):
    the same dictionary as source.scan, and the same bits as a scan of the same numbers as text,
    for any blocking and any threads. Pairs span the blocks of a trajectory, never two."""

    def __init__(
        self,
        columns: SupportsIndex,
        lags: Sequence[int],
        *,
        shift: Optional[Sequence[float]] = None,
        threads: Optional[SupportsIndex] = None,
    ) -> None:
        """columns >= 1; lags, shift (default: the first frame added) and threads as scan's."""
    @property
    def frames(self) -> int:
        """Frames added so far; -1 once finished (or after a failed add)."""
    def add(self, block: Any) -> None:
        """The next frames of the current trajectory: a native float64 buffer (ndarray, memoryview)
        of shape (frames, columns), any positive strides; 1-D for one column. The interpreter lock
        is released while it adds; a second thread adding at once gets RuntimeError."""
    def end_trajectory(self) -> None:
        """Ends the current trajectory: the next frames start another (no pair spans it)."""
    def snapshot(self) -> Dict[str, Any]:
        """The sums as finish() would give them now; adding goes on (the same bits later)."""
    def finish(self) -> Dict[str, Any]:
        """Ends the current trajectory and returns scan's dict (segments: one per trajectory,
        numbered by its first frame from 1, no marker or time; dt NaN); the accumulator is used up."""

class weighted_accumulator:
    """Weighted sums of lagged pairs (x_t, x_t+lag) handed over in blocks, pair t carrying the
    weight w_t: each product rounded as (w x_i) x_j, pairs added in pair order within blocks of
    1024 fixed by pair index, blocks folded into the totals with an error-free two-sum. The same
    bits for any blocking and any thread count."""

    def __init__(
        self,
        columns: SupportsIndex,
        *,
        shift: Optional[Sequence[float]] = None,
        threads: Optional[SupportsIndex] = None,
    ) -> None:
        """columns >= 1; shift (default: the first pair's earlier frame) and threads as scan's."""
    @property
    def pairs(self) -> int:
        """Pairs added so far; -1 after a failed add."""
    @property
    def shift(self) -> Any:
        """The shift as a float64 array; None before the first pair unless given."""
    def add(self, x: Any, y: Any, w: Any) -> None:
        """The next pairs: x (earlier frames) and y (later frames) native float64 buffers of shape
        (pairs, columns), any positive strides (1-D for one column), w float64 of shape (pairs,).
        nan or inf weights raise ValueError before any pair is added; negative ones are taken. The
        interpreter lock is released while it adds; a second thread adding at once gets
        RuntimeError."""
    def totals(self) -> Dict[str, Any]:
        """pairs (int), w (float: sum of w), sx, sy (n: sums of w (x - s), w (y - s)), sxx,
        syy, sxy (n, n: sums of w (x - s)(x - s)^T, w (y - s)(y - s)^T, w (x - s)(y - s)^T), the
        pending block included; adding goes on (the same bits later)."""

class pooled_accumulator:
    """A reversible estimate's weighted sums pooled by frame, fed one trajectory after another:
    a frame's weight in the sums is its own plus its earlier pair's (w_t + w_{t-lag}), products
    rounded as (v (x_i - s_i)) (x_j - s_j), each pair's lagged product with its later frame,
    frames in blocks of 1024 fixed by their index, each trajectory's tail (its last lag frames)
    in pieces of 256 at its end, blocks folded with an error-free two-sum. The same bits for any
    blocking and any thread count."""

    def __init__(
        self,
        columns: SupportsIndex,
        *,
        shift: Optional[Sequence[float]] = None,
        threads: Optional[SupportsIndex] = None,
    ) -> None:
        """columns >= 1; shift (default: the first frame added) and threads as scan's."""
    @property
    def pairs(self) -> int:
        """Pairs added so far; -1 after a failed add."""
    def add(self, x: Any, w: Any, e: Any, we: Any) -> None:
        """The next frames x (frames, columns) of a trajectory but its tail, their own weights w;
        the last len(e) of them have pairs, whose earlier frames are e and weights we. Buffers as
        weighted_accumulator.add's; nan or inf weights raise ValueError before any frame is
        added."""
    def end(self, x: Any, e: Any, w: Any) -> None:
        """A trajectory's tail: its frames x, their pairs' earlier frames e and weights w."""
    def totals(self, x: Any = None, e: Any = None, w: Any = None) -> Dict[str, Any]:
        """pairs (int), w (float: the pairs' weights' sum), s (n: sum of v (x - s)), c, tc (n, n:
        sums of v (x - s)(x - s)^T and of w (x_{t-lag} - s)(x_t - s)^T) were the tail given (as
        end's) to end the trajectory now; adding goes on (the same bits later)."""

def available_cores(root: str = "") -> int:
    """The cores threads=-1 takes: the CPU affinity, bounded by the cgroup's CPU quota; >= 1.
    root: where the cgroup files are looked for (the system's by default; a fake tree in tests)."""

def replicate_moments(
    groups: Sequence[Dict[str, Any]],
    lag: int,
    draws: Any,
    pairs: Any,
    c00: Any,
    c0t: Any,
    threads: int = 1,
) -> None:
    """C00 and (C0t + C0tᵀ) / 2 at the lag-th lag of every bootstrap replicate, written into
    c00 and c0t ((R, n, n) float64, C-contiguous). Replicate r's sums are those of the groups
    draws[r, 0], draws[r, 1], ... (int64, (R, G')) added in that order; they are moved to their
    pair mean in double-doubles with pairs[r] (> 0) pairs, as _estimator.centred_moments does,
    to the bit. groups: the scan's group dicts (sum, cov; per lag tcov, head_sum, tail_sum,
    head_cov, tail_cov), float64, C-contiguous. Runs without the interpreter lock on `threads`
    threads; the bits do not depend on their number."""

def cholesky_exists(a: Any, shifts: Any) -> List[bool]:
    """Whether a[r] - shifts[r] I has a Cholesky factor, for each matrix of a stack ((R, n, n)
    float64, C-contiguous; the lower triangles read), without the interpreter lock. The factor's
    dot products are summed in a fixed order, so every machine gives the same answers."""

def tridiagonal_eigenvalues(d: Any, e: Any, dsterf: Any) -> List[int]:
    """Ascending eigenvalues of each symmetric tridiagonal matrix of a stack, in place: row r of
    d ((R, n) float64, C-contiguous) holds its diagonal and becomes its eigenvalues, row r of e
    ((R, n - 1)) its off-diagonal (overwritten). dsterf: LAPACK's routine as the capsule
    scipy.linalg.cython_lapack.__pyx_capi__["dsterf"], run without the interpreter lock.
    Returns LAPACK's info of each row (0: converged)."""
