"""Time-lagged independent component analysis on lagstat's streaming moments."""
import errno
import os
import warnings

import numpy as np

import lagstat

from . import _formats, _outputs
from ._moments import (OUTPUT_SUFFIX, OWN_ENDINGS, _Runner, _check_lag, expand_files, file_id, file_options,
                       is_stream, name_file, partial_name, remove_quietly)
from ._optional import missing

try:
    import scipy.linalg
except ImportError as exc:
    raise missing("SciPy", "lagstat_tica.TICA") from exc

SCALINGS = (None, "kinetic_map", "km", "commute_map")
# Fewer lagged pairs per column than this leave the covariances too noisy to trust.
PAIRS_PER_COLUMN = 10
# An eigenvalue this close to +-1 is a process that never decorrelates within the data.
UNIT_EIGENVALUE_TOL = 1e-12


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


def _scaled(evecs, evals, scaling, lag):
    if scaling in ("kinetic_map", "km"):
        return evecs * evals[None, :]
    if scaling == "commute_map":
        # The regularised commute-map weights of the reference implementations, whose
        # timescales carry an extra 1: t = 1 - lag / ln|lambda|.
        ts = 1.0 - lag / np.log(np.abs(evals))
        reg = 0.5 * ts * np.maximum(np.tanh(np.pi * ((ts - lag) / lag) + 1), 0)
        return evecs * np.sqrt(reg / 2)[None, :]
    return evecs.copy()


class TICA:
    """Time-lagged independent component analysis over text files, in constant memory.

    The covariances come from one streaming read of every file (the sums of
    :func:`lagstat_tica._moments.one_read`, with the first and last `lag` frames of each
    file): the reversible estimate over lagged pairs (mean of both halves of the pairs, symmetrised
    C0t, no Bessel correction), so results agree with deeptime's TICA on the same data.

    Parameters
    ----------
    lag : int
        Lag time in frames, >= 1.
    dim : int, optional
        Number of components kept by transform; default all available ones.
    var_cutoff : float in (0, 1], optional
        Keeps components until this fraction of the kinetic variance (sum of squared
        eigenvalues) is reached. Takes precedence over `dim`.
    scaling : None, "kinetic_map" (alias "km") or "commute_map"
        Scaling of the projection: eigenvalues (kinetic map) or regularised square roots of
        half the timescales (commute map).
    epsilon : float
        Directions in which the instantaneous covariance has an eigenvalue below epsilon
        are dropped before the eigenproblem is solved.

    Attributes (after fit)
    ----------------------
    mean_ : (n,) mean over both halves of the lagged pairs
    cov_, cov_tau_ : (n, n) instantaneous and lagged covariance
    eigenvalues_ : (r,) TICA eigenvalues, decreasing in magnitude (r: rank of C00)
    eigenvectors_ : (n, r) projection vectors, with the scaling applied
    timescales_ : (r,) implied timescales -lag / ln|eigenvalue|, in frames
    dim_ : number of components transform returns
    n_pairs_, n_samples_ : lagged pairs and frames used
    n_reads_ : how many times every file was read (1; 2 after the fallback to the exact mean)
    columns_ : names of the feature columns (x0, x1, ... for bare columns)
    layout_ : the first file's _formats.Layout (format, fields, time column, reader options)
    dt_ : the time column's spacing, or None
    """

    def __init__(self, lag, dim=None, var_cutoff=None, scaling="kinetic_map", epsilon=1e-6):
        self.lag = _check_lag(lag)
        if dim is not None and (isinstance(dim, bool) or not isinstance(dim, (int, np.integer)) or dim < 1):
            raise ValueError("dim must be a positive integer or None, got %r" % (dim,))
        if var_cutoff is not None and not (0.0 < float(var_cutoff) <= 1.0):
            raise ValueError("var_cutoff must be in (0, 1], got %r" % (var_cutoff,))
        if scaling not in SCALINGS:
            raise ValueError("scaling must be one of %s, got %r" % (SCALINGS, scaling))
        if not 0.0 <= float(epsilon) < np.inf:
            raise ValueError("epsilon must be finite and >= 0, got %r" % (epsilon,))
        self.dim = dim
        self.var_cutoff = var_cutoff
        self.scaling = scaling
        self.epsilon = float(epsilon)

    # -- estimation ----------------------------------------------------------------------------

    def fit(self, files, n_jobs=1, client=None, progress=False, columns=None, keep_time=False, threads=None):
        """Estimates the model from text files (paths, glob patterns, or pipes), read once each.

        The files may be PLUMED COLVAR, GROMACS xvg, CSV with a header row or bare columns,
        also compressed; all of one format and with the same columns. `columns` chooses the
        features by name or by 0-based index among the feature columns (default: all but the
        time column, which `keep_time` keeps). One read of every file gives all the sums (a
        second one only when the first frame lies so far from the mean, over 1e4 standard
        deviations, that the one-read algebra would lose accuracy: see lagstat_tica._estimator);
        n_reads_ says how many. n_jobs worker processes, or a dask.distributed Client, share the
        files, with `threads` lagstat threads each (by default the cores are shared out); the
        result is the same bits either way.
        """
        from ._scan import read_files

        sums, reads, layout, selection = read_files(files, [self.lag], columns, keep_time, n_jobs=n_jobs,
                                                    client=client, threads=threads, progress=progress)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            self.fit_from_sums(sums)
        for w in caught:  # pointed at the caller of fit, not at this line
            warnings.warn(w.message, w.category, stacklevel=2)
        self.n_reads_, self.layout_, self.columns_ = reads, layout, selection.names
        # The time column's spacing as the scan found it (the pandas index of a CSV is no time).
        dt = float(sums.get("dt", np.nan))
        self.dt_ = dt if self.layout_.dt is not None and np.isfinite(dt) and dt > 0 else None
        return self

    def fit_from_sums(self, sums, index=None):
        """Estimates the model from one read's sums (one_read) at the lag sums["lags"][index]
        (default: this model's lag)."""
        from ._estimator import lag_index, pair_moments

        if index is None:
            index = lag_index(sums, self.lag)
        mean, c00, c0t, _, pairs = pair_moments(sums, index)
        evals, evecs = tica_decomposition(c00, c0t, self.epsilon)
        self.moments_ = sums
        self.rereadable_ = list(sums.get("rereadable", ()))
        self.n_samples_ = int(sums["frames"])
        self.n_pairs_ = int(pairs)
        self.n_features_in_ = mean.shape[0]
        self.mean_ = mean
        self.cov_ = c00
        self.cov_tau_ = c0t
        self.eigenvalues_ = evals
        self.eigenvectors_ = _scaled(evecs, evals, self.scaling, self.lag)
        with np.errstate(divide="ignore"):
            self.timescales_ = -self.lag / np.log(np.abs(evals))
        self.dim_ = self._output_dimension(evals)
        self.columns_ = tuple("x%d" % i for i in range(mean.shape[0]))
        self.layout_ = self.dt_ = None
        for text in overfitting(self.n_pairs_, mean.shape[0], evals):
            warnings.warn(text, RuntimeWarning, stacklevel=3)
        return self

    def _output_dimension(self, evals):
        rank = evals.shape[0]
        if self.var_cutoff is not None and self.var_cutoff < 1.0:
            cumvar = np.cumsum(evals ** 2)
            cumvar /= cumvar[-1]
            return min(rank, int(np.searchsorted(cumvar, self.var_cutoff)) + 1)
        if self.dim is None or self.var_cutoff is not None:
            return rank
        return min(rank, int(self.dim))

    @property
    def cumulative_kinetic_variance_(self):
        c = np.cumsum(self._fitted("eigenvalues_") ** 2)
        return c / c[-1]

    def _fitted(self, name):
        if not hasattr(self, name):
            raise RuntimeError("TICA is not fitted yet: call fit() first")
        return getattr(self, name)

    # -- projection ----------------------------------------------------------------------------

    @property
    def projection_(self):
        """(n, dim_) matrix W of the projection y = (x - mean_) W."""
        return self._fitted("eigenvectors_")[:, : self.dim_]

    def transform(self, data):
        """Projects frames: an array of shape (T, n) (or (n,) for one frame) gives an array; a list
        or tuple of trajectories (2-D arrays, their lengths free) gives a list of arrays."""
        w = self.projection_
        if isinstance(data, (list, tuple)) and _trajectories(data, w.shape[0]):
            return [self.transform(x) for x in data]
        x = np.asarray(data, dtype=float)
        if x.shape[-1] != w.shape[0] and not (w.shape[0] == 1 and x.ndim == 1):
            raise ValueError("data have %d columns, the model %d" % (x.shape[-1], w.shape[0]))
        if w.shape[0] == 1 and x.ndim == 1:
            x = x[:, None]
        return (x - self.mean_) @ w

    def transform_files(self, files, out_dir, n_jobs=1, client=None, progress=False, suffix=None,
                        threads=None, format="text", keep_time=False):
        """Projects every file into out_dir, one output per input (npy: with its side files).

        The files are read with the columns of the fit, found by name. Output i is named
        after input i's base name (without a compression ending) plus `suffix` (by default
        .tica.txt, .tica.npy or .tica.h5 for the format), in the folder input i has relative to
        the inputs' common folder (see output_paths). Formats:

        - "text": lagstat.stream's lines, the dim_ projected values of one frame printed with
          "%f"; with keep_time the time field first, as the input wrote it; a line "# segment"
          before the first frame of every restart (a COLVAR's repeated header), so that
          numpy.loadtxt reads the file as it stands;
        - "npy": NAME.tica.npy, float64 of shape (frames, dim_); with keep_time NAME.tica.time.npy
          (where the input has a time field); NAME.tica.segments.npy, the first frame of every
          segment ([0] without restarts), for a format with restarts (PLUMED COLVAR);
        - "h5": NAME.tica.h5 with the datasets "projection", "segment_starts" and, with
          keep_time and a time field, "time" (needs h5py).

        The numbers are the same in every format: npy and h5 hold the doubles of which the text
        holds the "%f". keep_time here carries the time into the output; fit's keep_time makes it
        a feature. Returns the projection paths in input order. Outputs that would overwrite an
        input are refused before anything is written; folders are created when missing, and
        those created are removed again if they stay empty because the projection failed. Each
        output is written under a hidden temporary name beside it and renamed when all of an
        input's outputs are complete, so after a failure or an interrupt the outputs that exist
        are whole (the temporaries are removed).
        """
        fmt = _outputs.check_format(format)
        suffix = _outputs.SUFFIXES[fmt] if suffix is None else suffix
        streams = [f for f in ([files] if isinstance(files, (str, bytes, os.PathLike)) else files) if is_stream(f)]
        if streams:
            raise ValueError("%r is a pipe or stream, read once by fit: projecting needs the data again; "
                             "write it to a file and project that" % (os.fspath(streams[0]),))
        paths = expand_files(files, skip_suffix=(suffix,) + OWN_ENDINGS)
        outs = output_paths(paths, out_dir, suffix)
        # A model fitted from files reads their columns by name; one fitted from moments, all.
        plan = _formats.plan(paths, list(self._fitted("columns_")) if self.layout_ is not None else None)
        sides = {p: _outputs.side_files(fmt, layout, keep_time) for p, layout in zip(paths, plan.layouts)}
        for side in sorted(set().union(*sides.values())):
            output_paths(paths, out_dir, side)
        created = []
        # Named here, not in the workers: a worker stopped with the run cannot clean up after itself.
        out_of = {}
        for p, o in zip(paths, outs):
            base = o[: len(o) - len(suffix)]
            named = {suffix: o}
            named.update((side, base + side) for side in sides[p])
            out_of[p] = {"outs": [(named[k], partial_name(named[k])) for k in named],
                         "keys": list(named), "stream": partial_name(o)}
        try:
            for folder in sorted({os.path.dirname(o) for o in outs}):
                top = _make_dirs(folder)
                if top is not None:
                    created.append((folder, top))
            with _Runner(n_jobs, client, len(paths), threads) as runner:
                opts_of = file_options(paths, plan, runner.threads)
                runner.map(_stream_one, paths, args=(out_of, self.mean_, self.projection_, fmt, keep_time, opts_of),
                           desc="lagstat project", progress=progress)
        except BaseException:
            for entry in out_of.values():
                for _, tmp in entry["outs"]:
                    remove_quietly(tmp)
                remove_quietly(entry["stream"])
            for folder, top in reversed(created):
                _remove_empty_dirs(folder, top)
            raise
        return outs


def _trajectories(data, n):
    """Whether a list holds trajectories rather than frames: 2-D entries, or (for a one-column
    model) arrays of frames."""
    return any(np.ndim(x) >= 2 for x in data) or (n == 1 and len(data) > 0 and all(
        isinstance(x, np.ndarray) and x.ndim == 1 for x in data))


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


def output_paths(paths, out_dir, suffix=OUTPUT_SUFFIX):
    """The projection files transform_files writes for paths, checked before any work.

    Output i is out_dir / (input i's folder relative to the inputs' common folder) /
    (its base name without a compression ending + suffix): runs/a/COLVAR and runs/b/COLVAR
    give out_dir/a/COLVAR.tica.txt and out_dir/b/COLVAR.tica.txt; inputs of one folder give
    a flat out_dir. Refuses an out_dir that cannot hold them, two inputs with one output
    name, an output that would land outside out_dir (through a link inside it), and an
    output that is one of the inputs (found by device and inode, so links count too).
    """
    check_writable_dir(out_dir, "output folder")
    folders = [os.path.dirname(os.path.abspath(p)) for p in paths]
    common = os.path.commonpath(folders)
    outs = []
    for p, folder in zip(paths, folders):
        rel = os.path.relpath(folder, common)
        out = os.path.join(out_dir, _formats.output_base(p) + suffix) if rel == os.curdir else \
            os.path.join(out_dir, rel, _formats.output_base(p) + suffix)
        outs.append(out)
    if len(set(outs)) != len(outs):
        raise ValueError("two input files share a base name; their projections would overwrite each other")
    top = os.path.realpath(out_dir)
    for out in outs:
        if os.path.commonpath([top, os.path.realpath(out)]) != top:
            raise ValueError("output %r would leave the output folder %r (a link inside it?)" % (out, out_dir))
    inputs = {file_id(p): p for p in paths}
    for out in outs:
        if os.path.exists(out) and file_id(out) in inputs:
            raise ValueError("output %r would overwrite input %r" % (out, inputs[file_id(out)]))
    return outs


def check_writable_dir(path, what):
    """Raises OSError unless a folder exists at path, or can be made there, and takes files.

    Looks at the nearest existing folder on the way up; nothing is created.
    """
    probe = os.path.abspath(path)
    while not os.path.lexists(probe):
        probe = os.path.dirname(probe)
    if not os.path.isdir(probe):
        raise NotADirectoryError(errno.ENOTDIR, "%s: %s" % (what, os.strerror(errno.ENOTDIR)), probe)
    if not os.access(probe, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "%s: %s" % (what, os.strerror(errno.EACCES)), probe)


def _make_dirs(path):
    """Creates path with its missing parents; returns the outermost one created, or None."""
    top = None
    probe = os.path.abspath(path)
    while not os.path.lexists(probe):
        top = probe
        probe = os.path.dirname(probe)
    os.makedirs(path, exist_ok=True)
    return top


def _remove_empty_dirs(path, top):
    """Removes path and its parents up to top, as long as they are empty."""
    path = os.path.abspath(path)
    while True:
        try:
            os.rmdir(path)
        except OSError:
            return
        if path == top:
            return
        path = os.path.dirname(path)


def _stream_one(path, out_of, mean, weights, fmt, keep_time, opts_of):
    opts = opts_of[path]
    entry = out_of[path]
    tmps = dict(zip(entry["keys"], (tmp for _, tmp in entry["outs"])))
    tmps["stream"] = entry["stream"]
    # The text format names its one output by `suffix`; the writers look it up by the format's.
    tmps[_outputs.SUFFIXES[fmt]] = tmps[entry["keys"][0]]
    try:
        _outputs.write(path, tmps, fmt, keep_time, mean, weights, opts)
        for out, tmp in entry["outs"]:
            os.replace(tmp, out)
        remove_quietly(entry["stream"])
    except BaseException as exc:
        for _, tmp in entry["outs"]:
            remove_quietly(tmp)
        remove_quietly(entry["stream"])
        if not isinstance(exc, Exception):
            raise
        named = {tmp: out for out, tmp in entry["outs"]}
        named[entry["stream"]] = entry["outs"][0][0]
        if isinstance(exc, OSError) and (exc.filename in named or exc.filename2 in named):
            # The output's own name, as the user gave it, not the temporary one.
            raise type(exc)(exc.errno, exc.strerror, named.get(exc.filename, named.get(exc.filename2))) from None
        name_file(exc, path)
        raise _formats.explain_line_error(exc, path, opts["layout"])
