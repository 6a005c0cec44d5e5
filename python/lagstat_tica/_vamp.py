"""VAMP, the non-reversible estimator, on the same one-read sums as TICA."""
import copy
import warnings

import numpy as np
import scipy.linalg

from . import _tica
from . import _weighted_reads as weighted_reads
from ._koopman import KoopmanParts
from ._estimator import forward_moments, implied_timescales, lag_index, score_order, vamp_score, whitening
from ._tica import TICA, NotFittedError, _refuse_deeptime_only

SCALINGS = (None, "kinetic_map", "km")
FIT_OPTIONS = ("n_jobs", "client", "progress", "columns", "keep_time", "threads")
DEFAULTS = {"lag": None, "dim": None, "var_cutoff": None, "scaling": None, "epsilon": 1e-6}


def output_dimension(rank_0, rank_t, dim, var_cutoff, singular_values):
    """How many singular functions a model keeps, by deeptime's rule: var_cutoff (below 1) first,
    then dim, else all the whitened ranks allow."""
    if var_cutoff is not None and var_cutoff < 1.0:
        cumvar = np.cumsum(singular_values ** 2)
        cumvar /= cumvar[-1]
        return int(np.searchsorted(cumvar, var_cutoff)) + 1
    if dim is None or var_cutoff is not None:
        return min(rank_0, rank_t)
    return int(min(rank_0, rank_t, dim))


class VAMP(TICA):
    """The variational approach for Markov processes (VAMP) over the inputs TICA takes, from one read.

    Where TICA assumes reversible dynamics (both halves of the lagged pairs pooled, C0t
    symmetrised), VAMP keeps the two halves apart: mean_0 and C00 of the pairs' first frames,
    mean_t and Ctt of their second ones, C0t as it is. These come from the very sums TICA reads
    (one read, any lag). The half-weighted Koopman matrix C00^(-1/2) C0t Ctt^(-1/2) is then
    decomposed by SVD, as deeptime's VAMP does.

    Parameters
    ----------
    lag : int
        Lag time in frames, >= 1.
    dim : int, optional
        Number of singular functions kept; default all the ranks of C00 and Ctt allow.
    var_cutoff : float in (0, 1], optional
        Keeps singular functions until this fraction of the sum of squared singular values;
        takes precedence over `dim`.
    scaling : None, "kinetic_map" (alias "km")
        With kinetic_map the singular vectors are scaled by their singular values.
    epsilon : float
        Directions of C00 and Ctt with eigenvalues below epsilon are dropped before the SVD.

    Attributes (after fit)
    ----------------------
    singular_values_ : (r,) decreasing, r = min(rank C00, rank Ctt)
    singular_vectors_left_, singular_vectors_right_ : (n, dim_) projection vectors of the
        instantaneous (x_t - mean_0) and time-lagged (x_t+lag - mean_t) frames, scaled
    mean_0_, mean_t_ : means of the first and second halves of the lagged pairs
    cov_00_, cov_0t_, cov_tt_ : the covariances
    timescales_ : -lag / ln(singular value), in frames
    dim_, lag_, n_pairs_, n_samples_, n_reads_, columns_, layout_, dt_ : as TICA's
    """

    def __init__(self, lag=None, *, dim=None, var_cutoff=None, scaling=None, epsilon=1e-6, lagtime=None,
                 **deeptime_only):
        super().__init__(lag, dim=dim, var_cutoff=var_cutoff, scaling=scaling, epsilon=epsilon, lagtime=lagtime,
                         **deeptime_only)

    def __repr__(self):
        shown = ["lag=%r" % (self.lag,)] + ["%s=%r" % (name, getattr(self, name)) for name in _tica.PARAMETERS[1:]
                                            if getattr(self, name) != DEFAULTS[name]]
        return "VAMP(%s)" % ", ".join(shown)

    def _checked(self):
        if self.lag is None:
            raise ValueError("VAMP needs a lag: VAMP(lag=...) (or lagtime=...)")
        if self.scaling not in SCALINGS:
            raise ValueError("VAMP's scaling must be one of %s, got %r" % (SCALINGS, self.scaling))
        saved, self.scaling = self.scaling, None
        try:
            lag, dim, var_cutoff, _, epsilon = super()._checked()
        finally:
            self.scaling = saved
        return lag, dim, var_cutoff, saved, epsilon

    # -- estimation ----------------------------------------------------------------------------

    def fit(self, data, y=None, *, weights=None, bias_kT=None, koopman_weights=False, **options):
        """Estimates the model from files or frames in memory, read once, as TICA.fit (its options
        n_jobs, client, progress, columns, keep_time, threads are taken too), frame weights
        included: weighted, mean_0_, C00 and C0t carry the earlier frame's weight of each pair,
        mean_t_ and Ctt the same pair weights, as deeptime's weighted VAMP."""
        if not weighted_reads.check_options(weights, bias_kT, koopman_weights):
            return super().fit(data, y, **options)
        _refuse_deeptime_only("fit()", {k: v for k, v in options.items() if k not in FIT_OPTIONS})
        lag, _, _, _, epsilon = self._checked()
        for name in ("koopman_coefficients_", "koopman_constant_"):
            self.__dict__.pop(name, None)
        self._ck_source = self._ck_weights = None
        sums, reads, layout, selection, kw = weighted_reads.read(
            data, [lag], weights=weights, bias_kT=bias_kT, koopman=koopman_weights, columns=options.get("columns"),
            keep_time=options.get("keep_time", False), threads=options.get("threads"), epsilon=epsilon,
            whitening=whitening)
        self._partial = self._weighted = None
        self.fit_from_sums(weighted_reads.scan_sums(sums), index=0)
        self.n_reads_ = reads
        self.moments_ = None  # the sums of one lag: ck_test reads the lags it tests with the same weights
        if kw is None:
            self._ck_source = (data, options.get("columns"), options.get("keep_time", False))
            self._ck_weights = {"weights": weights, "bias_kT": bias_kT}
        if selection is not None:
            self.columns_, self.layout_ = selection.names, layout
            self.dt_ = layout.dt if layout.dt is not None and layout.dt > 0 else None
        if kw is not None:
            self.koopman_coefficients_, self.koopman_constant_ = kw[0]
        return self

    def partial_fit(self, X, y=None, *, new_trajectory=False, threads=None, weights=None):
        """Adds frames, as TICA.partial_fit (chunks of a trajectory, or deeptime's (X_t, X_tau) pairs);
        without weights."""
        if weights is not None:
            raise ValueError("VAMP takes no frame weights: TICA does")
        return super().partial_fit(X, y, new_trajectory=new_trajectory, threads=threads)

    def fit_from_sums(self, sums, *, index=None):
        """Estimates the model from one read's sums at the lag sums["lags"][index] (default: this
        model's lag)."""
        lag, dim, var_cutoff, scaling, epsilon = self._checked()
        if index is None:
            index = lag_index(sums, lag)
        mean_0, mean_t, c00, c0t, ctt, pairs = forward_moments(sums, index)
        l_0 = whitening(c00, epsilon)
        l_t = whitening(ctt, epsilon)
        a, s, bt = scipy.linalg.svd(l_0.T @ c0t @ l_t, lapack_driver="gesvd")
        rank_0, rank_t = l_0.shape[1], l_t.shape[1]
        m = output_dimension(rank_0, rank_t, dim, var_cutoff, s)
        u = l_0 @ a[:, :m]
        v = l_t @ bt[:m].T
        if scaling in ("kinetic_map", "km"):
            u *= s[None, :m]
            v *= s[None, :m]
        self.moments_ = sums
        self._ck_weights = None  # ck_test takes these sums as they are, not an earlier fit's weights
        self.rereadable_ = list(sums.get("rereadable", ()))
        self.n_samples_ = int(sums["frames"])
        self.n_pairs_ = _tica.pair_count(sums, index, pairs)
        self.n_features_in_ = mean_0.shape[0]
        # mean_ and the projection: what TICA's transform and transform_files use
        self.mean_ = self.mean_0_ = mean_0
        self.mean_t_ = mean_t
        self.cov_00_, self.cov_0t_, self.cov_tt_ = c00, c0t, ctt
        self.singular_values_ = s
        self.singular_vectors_left_, self.singular_vectors_right_ = u, v
        self.rank_0_, self.rank_t_ = rank_0, rank_t
        self.timescales_ = implied_timescales(lag, s)
        self.dim_ = m
        self.lag_ = lag
        self._fitted_with = {"dim": dim, "var_cutoff": var_cutoff, "scaling": scaling, "epsilon": epsilon}
        self.columns_ = tuple("x%d" % i for i in range(mean_0.shape[0]))
        self.layout_ = self.dt_ = None
        if self.n_pairs_ < 10 * self.n_features_in_:
            warnings.warn("only %d lagged pairs for %d columns (fewer than 10 per column): the fit is likely "
                          "overfitted; use more data, a shorter lag or fewer columns"
                          % (self.n_pairs_, self.n_features_in_), RuntimeWarning, stacklevel=3)
        return self

    def _fitted(self, name):
        if not hasattr(self, "singular_values_"):
            raise NotFittedError("this VAMP is not fitted yet: call fit() first")
        return getattr(self, name)

    def __sklearn_is_fitted__(self):
        return hasattr(self, "singular_values_")

    def fetch_model(self):
        """The fitted model, kept apart from later fits of this estimator (a shallow copy)."""
        self._fitted("singular_values_")
        model = copy.copy(self)
        model._partial = model._weighted = None
        model._ck_source = getattr(self, "_ck_source", None)
        return model

    @property
    def cumulative_kinetic_variance_(self):
        c = np.cumsum(self._fitted("singular_values_") ** 2)
        return c / c[-1]

    # -- projection ----------------------------------------------------------------------------

    @property
    def projection_(self):
        """(n, dim_) matrix U of the instantaneous projection y = (x - mean_0_) U."""
        return self._fitted("singular_vectors_left_")[:, : self.dim_]

    def transform(self, data, *, lagged=False):
        """Projects frames on the left singular functions, (x - mean_0_) U, as deeptime's
        transform; with lagged=True on the right ones, (x - mean_t_) V, as deeptime's
        backward(data, propagate=False). Arrays and lists of them as TICA.transform; the
        instantaneous projection takes binary files too."""
        if not lagged:
            return super().transform(data)
        v = self._fitted("singular_vectors_right_")[:, : self.dim_]
        if isinstance(data, (list, tuple)) and _tica._trajectories(data, v.shape[0]):
            return [self.transform(x, lagged=True) for x in data]
        x = np.asarray(data, dtype=float)
        if v.shape[0] == 1 and x.ndim == 1:
            x = x[:, None]
        if x.shape[-1] != v.shape[0]:
            raise ValueError("data have %d columns, the model %d" % (x.shape[-1], v.shape[0]))
        return (x - self.mean_t_) @ v

    # -- scores and deeptime's model -------------------------------------------------------------

    def score(self, data=None, *, r=2, dim=None, epsilon=1e-6, n_jobs=1, client=None, threads=None, progress=False,
              **deeptime_only):
        """VAMP-r score (r >= 1, or "E"), as deeptime's model.score(r): on the fitted data, or on
        other data (files, read with the fitted columns, or arrays), as deeptime's
        score(r, test_model) with a model fitted to them. The constant function's + 1 included."""
        from ._reading import read_files

        _refuse_deeptime_only("score()", deeptime_only)
        order = score_order(r)
        s = self._fitted("singular_values_")
        if data is None:
            c00, c0t, ctt = self.cov_00_, self.cov_0t_, self.cov_tt_
        else:
            in_memory = _tica.trajectories(data) is not None
            columns = list(self.columns_) if self.layout_ is not None and not in_memory else None
            sums = read_files(data, [self.lag_], columns, n_jobs=n_jobs, client=client, threads=threads,
                              progress=progress)[0]
            _, _, c00, c0t, ctt, _ = forward_moments(sums, 0)
            if c00.shape[0] != self.n_features_in_:
                raise ValueError("data have %d columns, the model %d" % (c00.shape[0], self.n_features_in_))
        k = self.dim_ if dim is None else min(int(dim), s.shape[0], self.dim_)
        u = self.singular_vectors_left_[:, :k]
        v = self.singular_vectors_right_[:, :k]
        return vamp_score(u, c00, c0t, ctt, order, float(epsilon), s[:k], v=v)

    def to_deeptime(self):
        """The model as deeptime's CovarianceKoopmanModel (needs deeptime)."""
        self._fitted("singular_values_")
        try:
            from deeptime.covariance import CovarianceModel
            from deeptime.decomposition import CovarianceKoopmanModel
        except ImportError as exc:
            raise ImportError("VAMP.to_deeptime needs deeptime, which is not installed: pip install deeptime") \
                from exc
        cov = CovarianceModel(cov_00=self.cov_00_, cov_0t=self.cov_0t_, cov_tt=self.cov_tt_, mean_0=self.mean_0_,
                              mean_t=self.mean_t_, bessels_correction=False, symmetrized=False, lagtime=self.lag_,
                              data_mean_removed=True)
        return CovarianceKoopmanModel(self.singular_vectors_left_.copy(), self.singular_values_.copy(),
                                      self.singular_vectors_right_.copy(), cov, rank_0=self.rank_0_,
                                      rank_t=self.rank_t_, **self._fitted_with)

    def _koopman_parts(self):
        return KoopmanParts(self.lag_, self._fitted("singular_vectors_left_"), self.singular_vectors_right_,
                            self.singular_values_, self.cov_00_, self.cov_tt_, self.mean_0_, self.mean_t_, self.dim_)

    # TICA's names that a VAMP does not have
    eigenvalues_ = _tica._pointer("eigenvalues_", "VAMP has singular_values_")
    eigenvectors_ = _tica._pointer("eigenvectors_", "VAMP has singular_vectors_left_ and singular_vectors_right_")
    cov_ = _tica._pointer("cov_", "VAMP has cov_00_ and cov_tt_")
    cov_tau_ = _tica._pointer("cov_tau_", "VAMP calls it cov_0t_")
    mean_0 = _tica._pointer("mean_0", "lagstat's VAMP calls it mean_0_")
    mean_t = _tica._pointer("mean_t", "lagstat's VAMP calls it mean_t_")
    cov_00 = _tica._pointer("cov_00", "lagstat's VAMP calls it cov_00_")
    cov_0t = _tica._pointer("cov_0t", "lagstat's VAMP calls it cov_0t_")
    cov_tt = _tica._pointer("cov_tt", "lagstat's VAMP calls it cov_tt_")
    singular_vectors_left = _tica._pointer("singular_vectors_left", "lagstat's VAMP calls them "
                                                                    "singular_vectors_left_")
    singular_vectors_right = _tica._pointer("singular_vectors_right", "lagstat's VAMP calls them "
                                                                      "singular_vectors_right_")
    instantaneous_coefficients = _tica._pointer("instantaneous_coefficients", "lagstat's VAMP calls them "
                                                                              "singular_vectors_left_")
    timescales = _tica._pointer("timescales", "lagstat's VAMP has the array timescales_")
    output_dimension = _tica._pointer("output_dimension", "lagstat's VAMP calls it dim_")

    @property
    def singular_values(self):
        """deeptime's name."""
        return self._fitted("singular_values_")

