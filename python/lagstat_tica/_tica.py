"""Time-lagged independent component analysis on lagstat's streaming moments."""
import copy
import errno
import os
import warnings

import numpy as np

from . import _formats, _native, _outputs, _sources
from ._koopman import KoopmanChecks, KoopmanParts
from ._moments import _check_lag, file_options, name_file
from ._parallel import _Runner
from ._paths import OUTPUT_SUFFIX, OWN_ENDINGS, partial_name, remove_quietly
from ._sources import _is_list_of_arrays, expand_files, file_id, is_stream, trajectories  # noqa: F401
from ._optional import missing
from ._weighted_reads import check_options

try:
    import scipy.linalg  # noqa: F401 (the estimator needs it: told here with TICA's name)
except ImportError as exc:
    raise missing("SciPy", "lagstat_tica.TICA") from exc

# After the check above: the estimator needs SciPy too, and this module's message names TICA.
from ._estimator import (UNIT_EIGENVALUE_TOL, implied_timescales, overfitting,  # noqa: E402,F401
                         tica_decomposition, whitening)

SCALINGS = (None, "kinetic_map", "km", "commute_map")


PARAMETERS = ("lag", "dim", "var_cutoff", "scaling", "epsilon")
DEFAULTS = {"lag": None, "dim": None, "var_cutoff": None, "scaling": "kinetic_map", "epsilon": 1e-6}
# deeptime's arguments that lagstat_tica has no place for, and what it has instead.
DEEPTIME_ONLY = {
    "observable_transform": "lagstat_tica takes the feature columns as they are: choose them with "
                            "fit(files, columns=[...]), or transform arrays before fit",
    "fit_options": "give fit's options as keywords: fit_transform(data, n_jobs=...)",
    "transform_options": "transform takes no options: fit_transform(data) projects with the fitted model",
    "test_model": "score(data) takes the data to score themselves (files or arrays); "
                  "for deeptime's models, to_deeptime().score(r, test_model)",
}


class NotFittedError(ValueError, AttributeError):
    """A method that needs a fitted model was called before fit (as scikit-learn's)."""


def _refuse_deeptime_only(where, given):
    """TypeError for keyword arguments lagstat does not take, naming its way where deeptime has one."""
    for name in given:
        if name in DEEPTIME_ONLY:
            raise TypeError("%s got deeptime's argument %r: %s" % (where, name, DEEPTIME_ONLY[name]))
        if name == "lagtime":
            raise TypeError("%s got lagtime=: the lag belongs to the model, TICA(lag=...) or set_params(lag=...)"
                            % where)
        raise TypeError("%s got an unexpected keyword argument %r" % (where, name))


def _one_lag(lag, lagtime):
    if lagtime is None:
        return lag
    if lag is not None:
        raise ValueError("lag and lagtime are one parameter (lagtime is deeptime's name): give one, got lag=%r "
                         "and lagtime=%r" % (lag, lagtime))
    return lagtime


def _pointer(name, hint):
    """A deeptime name lagstat's TICA does not have: its AttributeError says what to use."""
    def missing_name(self):
        raise AttributeError("%r object has no attribute %r: %s; to_deeptime() gives deeptime's own model"
                             % (type(self).__name__, name, hint))
    return property(missing_name)


def pair_count(sums, index, pairs):
    """The pairs read at the index-th lag: weighted sums carry their count apart, their "pairs"
    being the pairs' total weight."""
    counts = sums.get("pair_counts")
    return int(pairs) if counts is None else int(np.atleast_1d(counts)[index])


def _check_finite_sums(sums):
    if not all(np.isfinite(np.asarray(sums[k])).all() for k in ("sum", "cov", "tcov")):
        raise ValueError("the frames hold values that are not finite (inf/nan), or too large")


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


class TICA(KoopmanChecks):
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
    lag_ : the lag of the fit
    n_pairs_, n_samples_ : lagged pairs and frames used
    n_reads_ : how many times every file was read (1; 2 after the fallback to the exact mean)
    columns_ : names of the feature columns (x0, x1, ... for bare columns)
    layout_ : the first file's _formats.Layout (format, fields, time column, reader options)
    dt_ : the time column's spacing, or None
    """

    def __init__(self, lag=None, *, dim=None, var_cutoff=None, scaling="kinetic_map", epsilon=1e-6, lagtime=None,
                 **deeptime_only):
        _refuse_deeptime_only("TICA()", deeptime_only)
        # Stored as given and checked by fit, as scikit-learn's clone and set_params expect.
        self.lag = _one_lag(lag, lagtime)
        self.dim = dim
        self.var_cutoff = var_cutoff
        self.scaling = scaling
        self.epsilon = epsilon

    # -- parameters, as scikit-learn has them ---------------------------------------------------

    def get_params(self, deep=True):
        """The constructor's parameters (lagtime is lag's other name)."""
        return {name: getattr(self, name) for name in PARAMETERS}

    def set_params(self, **params):
        """Sets parameters by name (lagtime for lag too); checked by the next fit. Returns self."""
        if "lagtime" in params:
            params["lag"] = _one_lag(params.pop("lag", None), params.pop("lagtime"))
        _refuse_deeptime_only("set_params()", {k: v for k, v in params.items() if k in DEEPTIME_ONLY})
        unknown = sorted(set(params) - set(PARAMETERS))
        if unknown:
            raise ValueError("invalid parameter %r for TICA; its parameters are %s"
                             % (unknown[0], ", ".join(PARAMETERS + ("lagtime",))))
        for name, value in params.items():
            setattr(self, name, value)
        return self

    @property
    def lagtime(self):
        """deeptime's name for lag."""
        return self.lag

    @lagtime.setter
    def lagtime(self, value):
        self.lag = value

    def __repr__(self):
        shown = ["lag=%r" % (self.lag,)] + ["%s=%r" % (name, getattr(self, name)) for name in PARAMETERS[1:]
                                            if getattr(self, name) != DEFAULTS[name]]
        return "TICA(%s)" % ", ".join(shown)

    def _checked(self):
        """The parameters, validated: (lag, dim, var_cutoff, scaling, epsilon)."""
        if self.lag is None:
            raise ValueError("TICA needs a lag: TICA(lag=...) (or lagtime=...)")
        lag = _check_lag(self.lag)
        dim, var_cutoff, scaling, epsilon = self.dim, self.var_cutoff, self.scaling, self.epsilon
        if dim is not None and (isinstance(dim, bool) or not isinstance(dim, (int, np.integer)) or dim < 1):
            raise ValueError("dim must be a positive integer or None, got %r" % (dim,))
        if var_cutoff is not None and not (0.0 < float(var_cutoff) <= 1.0):
            raise ValueError("var_cutoff must be in (0, 1], got %r" % (var_cutoff,))
        if scaling not in SCALINGS:
            raise ValueError("scaling must be one of %s, got %r" % (SCALINGS, scaling))
        if not 0.0 <= float(epsilon) < np.inf:
            raise ValueError("epsilon must be finite and >= 0, got %r" % (epsilon,))
        return lag, dim, var_cutoff, scaling, float(epsilon)

    # -- estimation ----------------------------------------------------------------------------

    def fit(self, data, y=None, *, n_jobs=1, client=None, progress=False, columns=None, keep_time=False,
            threads=None, weights=None, bias_kT=None, koopman_weights=False, **deeptime_only):
        """Estimates the model from text files (paths, glob patterns, or pipes), read once each,
        or from frames in memory: a (T, n) array or a list of them, one per trajectory.

        The files may be PLUMED COLVAR, GROMACS xvg, CSV with a header row or bare columns,
        also compressed; all of one format and with the same columns. `columns` chooses the
        features by name or by 0-based index among the feature columns (default: all but the
        time column, which `keep_time` keeps). One read of every file gives all the sums (a
        second one only when the first frame lies so far from the mean, over 1e4 standard
        deviations, that the one-read algebra would lose accuracy: see lagstat_tica._estimator);
        n_reads_ says how many. n_jobs worker processes, or a dask.distributed Client, share the
        files, with `threads` lagstat threads each (by default the cores are shared out); the
        result is the same bits either way. `progress` draws a bar when standard error is a
        terminal. y is ignored (scikit-learn's pipelines pass it).

        `weights` weighs the frames of arrays in memory (a biased simulation): one array of T
        weights for one trajectory, a list of them (one per trajectory), or a callable taking a
        trajectory's (T, n) frames and returning its weights. A lagged pair carries the weight of
        its earlier frame, as deeptime's weighted TICA. With `bias_kT`, the weights given are a
        bias V, turned into exp(V / kT) shifted by the largest V. Negative, nan or inf weights
        raise ValueError naming the trajectory and line. For files, `weights` names their
        weights column ("metad.bias", or a 0-based index among a line's fields), which is never
        a feature; with `bias_kT` the shift is the first frame's V (one read); errors name the
        file and line. Files with weights are read in this process (n_jobs and client unused).

        `koopman_weights=True` reweighs frames in memory towards equilibrium (Koopman
        reweighting, Wu et al. 2017, as deeptime's KoopmanWeightingEstimator): a first pass over
        the pairs gives the coefficients (koopman_coefficients_, koopman_constant_) of the weight
        x . u + u0 of a frame x, a second the weighted sums (n_reads_ == 2); files are read twice,
        so a pipe is refused.
        """
        _refuse_deeptime_only("fit()", deeptime_only)
        self._checked()  # before anything is read
        for name in ("koopman_coefficients_", "koopman_constant_"):
            self.__dict__.pop(name, None)
        self._ck_source = None  # what ck_test reads again: set below once the fit has read it
        self._ck_weights = None  # and the weights it reads them with (a weighted fit)
        weighted = check_options(weights, bias_kT, koopman_weights)
        if koopman_weights:
            if trajectories(data) is None:
                return self._fit_weighted_files(data, None, None, True, columns, keep_time, threads)
            return self._fit_koopman(data, threads)
        if weighted:
            # once; the frames' check is left to the weighted sums (_fit_weighted)
            arrays = trajectories(data, check=koopman_weights)
            if weights is not None and arrays is None:
                return self._fit_weighted_files(data, weights, bias_kT, False, columns, keep_time, threads)
            self._fit_weighted(arrays, weights, bias_kT, threads)
            self._ck_source, self._ck_weights = (data, None, False), {"weights": weights, "bias_kT": bias_kT}
            return self
        from ._reading import read_files

        self._partial = self._weighted = None
        sums, reads, layout, selection = read_files(data, [_check_lag(self.lag)], columns, keep_time, n_jobs=n_jobs,
                                                    client=client, threads=threads, progress=progress)
        self._fit_sums(sums)
        self.n_reads_, self.layout_, self.columns_ = reads, layout, selection.names
        self._ck_source = (data, columns, keep_time)
        # The time column's spacing as the scan found it (the pandas index of a CSV is no time).
        dt = float(sums.get("dt", np.nan))
        self.dt_ = dt if layout is not None and layout.dt is not None and np.isfinite(dt) and dt > 0 else None
        return self

    def _fit_weighted(self, arrays, weights, bias_kT, threads):
        from ._weights import PooledSums, all_weights

        lag = _check_lag(self.lag)
        acc = PooledSums(lag, threads)
        for x, w in zip(arrays, all_weights(weights, arrays, bias_kT)):
            acc.start()
            acc.add(x, w)
        acc.start()
        # A nan or inf among the frames makes the sums so, as in the unweighted fit; only the
        # frames of no pair (a trajectory's middle when it is shorter than two lags) are
        # looked at apart.
        if not acc.finite() or not all(np.isfinite(x[max(0, len(x) - lag):lag]).all() for x in arrays):
            trajectories(arrays)  # names nan or inf
            raise ValueError("the frames hold values that are not finite (inf/nan), or too large")
        if acc.pairs == 0:
            raise ValueError("no lagged pairs: every trajectory has at most lag %d frames" % lag)
        self._partial = self._weighted = None
        self._fit_weighted_sums(acc, sum(len(x) for x in arrays))
        return self

    def _fit_weighted_files(self, data, weights, bias_kT, koopman, columns, keep_time, threads):
        from ._moments import _inputs
        from ._weighted_files import weighted_sums

        if isinstance(weights, (str, int)) or weights is None:
            paths = _inputs(data)
        else:
            raise ValueError("weights= with files names their weights column (a name such as 'metad.bias', or "
                             "an index); arrays of weights go with frames in memory")
        lag, _, _, _, epsilon = self._checked()
        acc, frames, layouts, selection, kw = weighted_sums(
            paths, lag, columns=columns, keep_time=keep_time, weights=weights, bias_kT=bias_kT, koopman=koopman,
            epsilon=epsilon, whitening=whitening, threads=threads)
        self._partial = self._weighted = None
        self._fit_weighted_sums(acc, frames)
        if not koopman:
            self._ck_source, self._ck_weights = (data, columns, keep_time), {"weights": weights, "bias_kT": bias_kT}
        self.columns_, self.layout_ = selection.names, layouts[0]
        self.dt_ = layouts[0].dt if layouts[0].dt is not None and layouts[0].dt > 0 else None
        self.rereadable_ = [not is_stream(p) for p in paths]
        if kw is not None:
            self.koopman_coefficients_, self.koopman_constant_ = kw
            self.n_reads_ = 2
        return self

    def _fit_koopman(self, data, threads):
        from ._weights import PooledSums, WeightedPairSums, koopman_coefficients

        arrays = trajectories(data)
        if arrays is None:
            raise ValueError("koopman_weights=True reads the frames twice: give them in memory (arrays)")
        lag = _check_lag(self.lag)
        epsilon = self._checked()[4]
        first = WeightedPairSums(threads)
        for x in arrays:
            if len(x) > lag:
                first.add(x[:len(x) - lag], x[lag:], np.ones(len(x) - lag))
        if first.pairs == 0:
            raise ValueError("no lagged pairs: every trajectory has at most lag %d frames" % lag)
        coef, const = koopman_coefficients(first, epsilon, whitening)
        acc = PooledSums(lag, threads)
        for x in arrays:
            if len(x) > lag:
                # computed, not given: an estimate may dip below zero, as deeptime's may; the
                # last lag frames weigh no pair
                acc.start()
                acc.add(x, np.concatenate([np.einsum("ti,i->t", x[:len(x) - lag], coef) + const, np.zeros(lag)]))
        acc.start()
        self._partial = self._weighted = None
        self._fit_weighted_sums(acc, sum(len(x) for x in arrays))
        self.koopman_coefficients_, self.koopman_constant_ = coef, const
        self.n_reads_ = 2
        return self

    def _fit_weighted_sums(self, acc, frames):
        lag, dim, var_cutoff, scaling, epsilon = self._checked()
        mean, c00, c0t, _ = acc.moments()
        evals, evecs = tica_decomposition(c00, c0t, epsilon)
        self.moments_ = None
        self.rereadable_ = []
        self.n_samples_ = int(frames)
        self.n_pairs_ = int(acc.pairs)
        self.n_features_in_ = mean.shape[0]
        self.mean_, self.cov_, self.cov_tau_ = mean, c00, c0t
        self.eigenvalues_ = evals
        self.eigenvectors_ = _scaled(evecs, evals, scaling, lag)
        self.timescales_ = implied_timescales(lag, evals)
        self.dim_ = self._output_dimension(evals)
        self.lag_ = lag
        self._fitted_with = {"dim": dim, "var_cutoff": var_cutoff, "scaling": scaling, "epsilon": epsilon}
        self.columns_ = tuple("x%d" % i for i in range(mean.shape[0]))
        self.layout_ = self.dt_ = None
        self.n_reads_ = 1
        for text in overfitting(self.n_pairs_, mean.shape[0], evals):
            warnings.warn(text, RuntimeWarning, stacklevel=3)

    def _partial_fit_weighted(self, X, weights, new_trajectory, lag, threads):
        from ._weights import PooledSums, check_weights

        state = getattr(self, "_weighted", None)
        if state is None or state["lag"] != lag:
            state = self._weighted = {"lag": lag, "acc": PooledSums(lag, threads), "open": False, "frames": 0,
                                      "count": 0, "line": 1}
        if isinstance(X, tuple) and len(X) == 2:
            x, y = (np.asarray(a, dtype=float).reshape(len(a), -1) for a in X)
            if x.shape != y.shape:
                raise ValueError("the pairs' halves have shapes %s and %s" % (x.shape, y.shape))
            w = check_weights("pairs %d" % state["count"], weights)
            if w.size != len(x):
                raise ValueError("pairs %d: %d weights for %d pairs" % (state["count"], w.size, len(x)))
            state["count"] += 1
            state["open"] = False
            state["acc"].add_pairs(x, y, w)
            state["frames"] += 2 * len(x)
        else:
            x = np.asarray(X, dtype=float)
            x = x[:, None] if x.ndim == 1 else x
            if new_trajectory or not state["open"]:
                state["acc"].start()
                state["open"] = True
                state["count"] += 1
                state["line"] = 1
            name = "trajectory %d" % (state["count"] - 1)
            w = check_weights(name, weights, state["line"])
            if w.size != len(x):
                raise ValueError("%s: %d weights for %d frames" % (name, w.size, len(x)))
            state["line"] += len(x)
            if not np.isfinite(x).all():
                raise ValueError("the frames hold values that are not finite (inf/nan)")
            shift = state["acc"].shift
            if state["acc"].seen and shift.size != x.shape[1]:
                raise ValueError("the chunk has %d columns, the trajectory %d" % (x.shape[1], shift.size))
            state["acc"].add(x, w)
            state["frames"] += len(x)
        if state["acc"].pairs:
            self._fit_weighted_sums(state["acc"], state["frames"])
        return self

    def partial_fit(self, X, y=None, *, new_trajectory=False, threads=None, weights=None):
        """Adds frames to the model, as deeptime's partial_fit: X is the next chunk of the current
        trajectory (a (T, n) array, 1-D for one column), whose pairs with the chunks before it count;
        the first call and new_trajectory=True start a trajectory. deeptime's tuple (X_t, X_tau)
        adds independent pairs instead. The fitted attributes are updated after every call: after
        any chunking they are those of fit on the same trajectories, bit for bit (but where fit
        would read again about the mean, see lagstat_tica._estimator, which chunks cannot be).

        `weights`: the chunk's frame weights (T values; for a pair tuple, the weights of its first
        halves), as fit's. A model fed weighted chunks takes weights with every chunk."""
        from ._sums import fold_sums, pair_sums

        lag = self._checked()[0]
        self._ck_source = self._ck_weights = None
        if weights is not None:
            if getattr(self, "_partial", None) is not None:
                raise ValueError("this model was fed chunks without weights: give weights= with every chunk or none")
            return self._partial_fit_weighted(X, weights, new_trajectory, lag, threads)
        if getattr(self, "_weighted", None) is not None:
            raise ValueError("this model was fed weighted chunks: give weights= with every chunk")
        state = getattr(self, "_partial", None)
        if state is None or state["lag"] != lag:
            state = self._partial = {"lag": lag, "done": None, "acc": None, "count": 0}
        if isinstance(X, tuple) and len(X) == 2:
            part = pair_sums(X[0], X[1], lag, "pairs %d" % state["count"])
            state["count"] += 1
            self._close_trajectory(state)
            state["done"] = fold_sums(state["done"], part)
            total = state["done"]
        else:
            source = _sources.ArraySource(X, "chunk of trajectory %d" % state["count"])
            if new_trajectory or state["acc"] is None:
                self._close_trajectory(state)
                state["acc"] = _native.accumulator(source.columns, [lag], threads=threads)
                state["count"] += 1
            elif source.columns != state["columns"]:
                raise ValueError("the chunk has %d columns, the trajectory %d" % (source.columns, state["columns"]))
            state["columns"] = source.columns
            for block in source.blocks():
                state["acc"].add(block)
            current = state["acc"].snapshot()
            _check_finite_sums(current)
            total = fold_sums(state["done"], current)
        if not any(int(p) > 0 for p in total["pairs"]):
            return self  # no pair yet: the chunks to come may bring some
        self._fit_sums(total)
        self.n_reads_, self.layout_, self.dt_ = 1, None, None
        return self

    @staticmethod
    def _close_trajectory(state):
        from ._sums import fold_sums

        if state["acc"] is not None:
            state["done"] = fold_sums(state["done"], state["acc"].finish())
            state["acc"] = None

    def _fit_sums(self, sums):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            self.fit_from_sums(sums)
        for w in caught:  # pointed at the caller of fit, not at this line
            warnings.warn(w.message, w.category, stacklevel=3)

    def fit_from_sums(self, sums, *, index=None):
        """Estimates the model from one read's sums (one_read) at the lag sums["lags"][index]
        (default: this model's lag)."""
        from ._estimator import lag_index, pair_moments

        lag, dim, var_cutoff, scaling, epsilon = self._checked()
        if index is None:
            index = lag_index(sums, lag)
        mean, c00, c0t, _, pairs = pair_moments(sums, index)
        evals, evecs = tica_decomposition(c00, c0t, epsilon)
        self.moments_ = sums
        self._ck_weights = None  # ck_test takes these sums as they are, not an earlier fit's weights
        self.rereadable_ = list(sums.get("rereadable", ()))
        self.n_samples_ = int(sums["frames"])
        self.n_pairs_ = pair_count(sums, index, pairs)
        self.n_features_in_ = mean.shape[0]
        self.mean_ = mean
        self.cov_ = c00
        self.cov_tau_ = c0t
        self.eigenvalues_ = evals
        self.eigenvectors_ = _scaled(evecs, evals, scaling, lag)
        self.timescales_ = implied_timescales(lag, evals)
        self.dim_ = self._output_dimension(evals)
        self.lag_ = lag
        self._fitted_with = {"dim": dim, "var_cutoff": var_cutoff, "scaling": scaling, "epsilon": epsilon}
        self.columns_ = tuple("x%d" % i for i in range(mean.shape[0]))
        self.layout_ = self.dt_ = None
        for text in overfitting(self.n_pairs_, mean.shape[0], evals):
            warnings.warn(text, RuntimeWarning, stacklevel=3)
        return self

    def fit_transform(self, data, y=None, **options):
        """fit(data, **options), then the projection of data: an array for an array, a list of
        arrays for a list. Files are projected into files: fit, then transform_files."""
        arrays = trajectories(data)
        if arrays is None:
            raise ValueError("fit_transform projects frames in memory; for files, fit(files) and then "
                             "transform_files(files, out_dir)")
        self.fit(arrays, **options)
        projected = [self.transform(x) for x in arrays]
        return projected[0] if isinstance(data, np.ndarray) or not _is_list_of_arrays(data) else projected

    def fit_fetch(self, data, **options):
        """deeptime's habit: fit(data, **options).fetch_model()."""
        return self.fit(data, **options).fetch_model()

    def fetch_model(self):
        """The fitted model, kept apart from later fits of this estimator (a shallow copy)."""
        self._fitted("eigenvalues_")
        model = copy.copy(self)
        model._partial = model._weighted = None  # later partial_fit calls go on in this estimator only
        model._ck_source = getattr(self, "_ck_source", None)
        return model

    def __getstate__(self):
        # A trajectory partial_fit has open lives in a native accumulator, which is not copied:
        # a pickled or deep-copied model is the fitted one, and its next partial_fit starts anew.
        state = dict(self.__dict__)
        state.pop("_partial", None)
        state.pop("_weighted", None)
        source = state.get("_ck_source")
        if source is not None and trajectories(source[0]) is not None:
            # Frames in memory stay out of a pickle: ck_test then takes them again as data=, with
            # the weights of the fit if they were given as a column or a callable.
            state["_ck_source"] = None
            weights = state.get("_ck_weights")
            if weights is not None and not (callable(weights["weights"]) or isinstance(weights["weights"], str)):
                state["_ck_weights"] = {"weights": None, "bias_kT": weights["bias_kT"]}
        return state

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
        if not hasattr(self, "eigenvalues_"):
            raise NotFittedError("this TICA is not fitted yet: call fit() first")
        return getattr(self, name)

    def __sklearn_is_fitted__(self):
        return hasattr(self, "eigenvalues_")

    # -- scores and deeptime's model -------------------------------------------------------------

    def score(self, data=None, *, r=2, dim=None, epsilon=1e-6, n_jobs=1, client=None, threads=None, progress=False,
              **deeptime_only):
        """VAMP-r score of the model (r >= 1, or "E" for VAMP-E), as deeptime's model.score(r):
        on the data it was fitted to, or on other data (files, read with the fitted columns, or
        arrays), scored as deeptime's score(r, test_model) scores a model fitted to them.

        The + 1 of the constant function is included; dim (default: the model's dim_) limits the
        components scored; epsilon cuts the whitening of the scored covariances.
        """
        from ._estimator import pair_moments, score_order, vamp_score
        from ._reading import read_files

        _refuse_deeptime_only("score()", deeptime_only)
        if isinstance(data, (bool, int, float, np.number)) or (isinstance(data, str) and data.lower() in (
                "e", "vamp1", "vamp2", "vampe")):
            raise TypeError("score's first argument is the data to score (None: the fitted data); the order "
                            "goes by keyword: score(r=%r)" % (data,))
        order = score_order(r)
        u_all = self._fitted("eigenvectors_")
        if data is None:
            c00, c0t = self.cov_, self.cov_tau_
        else:
            # Files are read with the fitted columns, by name; frames in memory have their own.
            in_memory = all(not isinstance(e, (str, bytes, os.PathLike)) for e in _sources.entries(data))
            columns = list(self.columns_) if self.layout_ is not None and not in_memory else None
            sums = read_files(data, [self.lag_], columns, n_jobs=n_jobs, client=client, threads=threads,
                              progress=progress)[0]
            _, c00, c0t, _, _ = pair_moments(sums, 0)
            if c00.shape[0] != self.n_features_in_:
                raise ValueError("data have %d columns, the model %d" % (c00.shape[0], self.n_features_in_))
        # The components deeptime scores: the leading dim by signed eigenvalue.
        k = self.dim_ if dim is None else min(int(dim), self.eigenvalues_.shape[0])
        order_ix = np.argsort(self.eigenvalues_)[::-1][:k] if np.any(np.diff(self.eigenvalues_) > 0) \
            else np.arange(self.eigenvalues_.shape[0])[:k]
        return vamp_score(u_all[:, order_ix], c00, c0t, c00, order, float(epsilon), self.eigenvalues_[order_ix])

    def to_deeptime(self):
        """The model as deeptime's CovarianceKoopmanModel (needs deeptime), for its downstream tools:
        timescales(), singular_values, transform, score, ... agree with deeptime's own TICA."""
        self._fitted("eigenvalues_")
        try:
            from deeptime.covariance import CovarianceModel
            from deeptime.decomposition import CovarianceKoopmanModel
        except ImportError as exc:
            raise ImportError("TICA.to_deeptime needs deeptime, which is not installed: pip install deeptime") \
                from exc
        cov = CovarianceModel(cov_00=self.cov_, cov_0t=self.cov_tau_, cov_tt=self.cov_, mean_0=self.mean_,
                              mean_t=self.mean_, bessels_correction=False, symmetrized=True, lagtime=self.lag_,
                              data_mean_removed=True)
        rank = self.eigenvalues_.shape[0]
        return CovarianceKoopmanModel(self.eigenvectors_.copy(), self.eigenvalues_.copy(), self.eigenvectors_.copy(),
                                      cov, rank_0=rank, rank_t=rank, **self._fitted_with)

    def _koopman_parts(self):
        # deeptime's TICA model: the same vectors left and right, C00 in Ctt's place, one mean
        u = self._fitted("eigenvectors_")
        return KoopmanParts(self.lag_, u, u, self.eigenvalues_, self.cov_, self.cov_, self.mean_, self.mean_,
                            self.dim_)

    # deeptime's names, pointing at lagstat's
    singular_values = _pointer("singular_values", "lagstat's TICA calls them eigenvalues_")
    timescales = _pointer("timescales", "lagstat's TICA has the array timescales_")
    output_dimension = _pointer("output_dimension", "lagstat's TICA calls it dim_")
    mean_0 = _pointer("mean_0", "lagstat's TICA calls it mean_")
    cov_00 = _pointer("cov_00", "lagstat's TICA calls it cov_")
    cov_0t = _pointer("cov_0t", "lagstat's TICA calls it cov_tau_")
    instantaneous_coefficients = _pointer("instantaneous_coefficients", "lagstat's TICA calls them eigenvectors_")
    model = _pointer("model", "lagstat's TICA is its own model: fetch_model() gives a copy")
    fit_from_timeseries = _pointer("fit_from_timeseries", "fit() takes arrays")
    fit_from_covariances = _pointer("fit_from_covariances", "lagstat's TICA fits from its one-read sums "
                                                            "(fit_from_sums)")

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
        if _sources.is_binary_file(data):
            sources = _sources.binary(data)
            if sources is None and is_stream(data):  # a .npy in a pipe, known only by its magic
                found = _sources.npy_stream(data)
                sources = None if found is None else [found]
            if sources is None:
                raise ValueError("%r is not an array, .npy, .npz member or HDF5 dataset: project text files with "
                                 "transform_files" % (os.fspath(data),))
            if len(sources) != 1:
                raise ValueError("%r holds %d arrays: name one (file.npz:key)" % (os.fspath(data), len(sources)))
            return self._project_source(sources[0])
        x = np.asarray(data, dtype=float)
        if x.shape[-1] != w.shape[0] and not (w.shape[0] == 1 and x.ndim == 1):
            raise ValueError("data have %d columns, the model %d" % (x.shape[-1], w.shape[0]))
        if w.shape[0] == 1 and x.ndim == 1:
            x = x[:, None]
        return (x - self.mean_) @ w

    def _project_source(self, source):
        """A binary source's projection, read a block at a time (only the output is whole)."""
        w = self.projection_
        if source.columns != w.shape[0]:
            raise ValueError("%s has %d columns, the model %d" % (source.name, source.columns, w.shape[0]))
        out = np.empty((source.frames, w.shape[1]))
        at = 0
        for block in source.blocks():
            out[at:at + block.shape[0]] = self._project_block(block)
            at += block.shape[0]
        if at != source.frames:
            raise OSError(errno.EIO, "read %d of the %d frames" % (at, source.frames), source.name)
        return out

    def transform_files(self, files, out_dir, *, n_jobs=1, client=None, progress=False, suffix=None,
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
        self._fitted("projection_")
        fmt = _outputs.check_format(format)
        suffix = _outputs.SUFFIXES[fmt] if suffix is None else suffix
        entries = _sources.entries(files)
        found = [_sources.binary(e, i) for i, e in enumerate(entries)]
        if any(f is not None for f in found):
            return self._transform_sources(entries, found, out_dir, suffix, fmt, n_jobs=n_jobs, client=client,
                                           progress=progress, threads=threads, keep_time=keep_time)
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


    def _transform_sources(self, entries, found, out_dir, suffix, fmt, **options):
        """transform_files over a list holding binary sources: the text files go through the
        text path; each binary source is projected here, a block at a time, into out_dir under
        its file's base name (plus the member's, for an .npz member or an HDF5 dataset)."""
        text = [e for e, f in zip(entries, found) if f is None]
        sources = [s for f in found if f is not None for s in f]
        for source in sources:
            if not source.rereadable:
                raise ValueError("%s is a pipe or stream, read once by fit: projecting needs the data again; "
                                 "write it to a file and project that" % source.name)
            if isinstance(source, _sources.ArraySource):
                raise ValueError("%s is an array: project it with TICA.transform" % source.name)
        check_writable_dir(out_dir, "output folder")
        outs = {}
        for source in sources:
            out = os.path.join(out_dir, _source_output_base(source) + suffix)
            if out in outs.values():
                raise ValueError("two sources share the name %r; their projections would overwrite each other"
                                 % os.path.basename(out))
            if os.path.exists(out) and file_id(out) == file_id(_source_file(source)):
                raise ValueError("output %r would overwrite input %r" % (out, _source_file(source)))
            outs[source.name] = out
        text_outs = iter(self.transform_files(text, out_dir, suffix=suffix, format=fmt, **options) if text else [])
        os.makedirs(out_dir, exist_ok=True)
        for source in sources:
            out = outs[source.name]
            tmp = partial_name(out)
            try:
                _outputs.write_source(source, tmp, fmt, self.mean_, self.projection_, self._project_block)
                os.replace(tmp, out)
            except BaseException:
                remove_quietly(tmp)
                raise
        result = []
        for e, f in zip(entries, found):
            if f is None:  # a pattern stands for as many outputs as it matched
                result.extend(next(text_outs) for _ in expand_files([e], skip_suffix=(suffix,) + OWN_ENDINGS))
            else:
                result.extend(outs[s.name] for s in f)
        return result

    def _project_block(self, block):
        return (block - self.mean_) @ self.projection_


def _source_file(source):
    """The file a binary source is read from."""
    if isinstance(source, _sources.H5Dataset):
        return source.dataset.file.filename
    return source.name.rsplit(":", 1)[0] if ":" in source.name and not os.path.exists(source.name) else source.name


def _source_output_base(source):
    """A source's projection is named after its file, and the member it is: f.npz:b -> f.npz.b,
    f.h5:/g/d -> f.h5.g.d."""
    path = _source_file(source)
    base = _formats.output_base(path)
    member = source.name[len(path) + 1:] if source.name.startswith(path + ":") else \
        (source.dataset.name if isinstance(source, _sources.H5Dataset) else "")
    member = ".".join(p for p in member.split("/") if p)
    return base + "." + member if member else base


def _trajectories(data, n):
    """Whether a list holds trajectories rather than frames: 2-D entries, or (for a one-column
    model) arrays of frames."""
    return any(np.ndim(x) >= 2 for x in data) or (n == 1 and len(data) > 0 and all(
        isinstance(x, np.ndarray) and x.ndim == 1 for x in data))


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
