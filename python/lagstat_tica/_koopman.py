"""What TICA and VAMP models share as Koopman models: the Chapman-Kolmogorov test over several
lags from one read, and the correlation of the input features with the components.

The predictions and estimates are deeptime's (CovarianceKoopmanModel.expectation with the
right singular functions phi as observables and the left ones psi as statistics): the model at
lag tau propagated k times against the model fitted at lag k tau, both as covariances
<phi_i(x_t+k tau), psi_j(x_t)> of the tested model's functions.
"""
import warnings

import numpy as np


class KoopmanParts:
    """The pieces of a fitted model the test needs: U, V (n, >= dim), singular values s, the
    covariances C00 and Ctt, the means mean_0 and mean_t, the lag and the output dimension."""

    def __init__(self, lag, u, v, s, c00, ctt, mean_0, mean_t, dim):
        self.lag, self.u, self.v, self.s = int(lag), u, v, s
        self.c00, self.ctt, self.mean_0, self.mean_t, self.dim = c00, ctt, mean_0, mean_t, int(dim)


def expectation(model, observables, statistics, lag_multiple):
    """Covariances of the observables at lag_multiple times the model's lag with the statistics
    now, both mean-free, predicted by the model: Q P R^T with P = (S p)^(k-1) S."""
    dim = model.dim
    s = np.diag(np.concatenate(([1.0], model.s[:dim])))
    u, v = model.u[:, :dim], model.v[:, :dim]
    if lag_multiple == 1:
        p_mat = s
    else:
        p = np.zeros((dim + 1, dim + 1))
        p[0, 0] = 1.0
        p[1:, 0] = u.T @ (model.mean_t - model.mean_0)
        p[1:, 1:] = u.T @ model.ctt @ v
        p_mat = np.linalg.matrix_power(s @ p, lag_multiple - 1) @ s
    q = np.zeros((observables.shape[1], dim + 1))
    q[:, 1:] = observables.T @ model.ctt @ v
    r = np.zeros((statistics.shape[1], dim + 1))
    r[:, 1:] = statistics.T @ model.c00 @ u
    return q @ p_mat @ r.T


class CKTest:
    """A Chapman-Kolmogorov test, laid out as deeptime's ChapmanKolmogorovTest.

    Attributes
    ----------
    lagtimes : (L + 1,) 0 and the lags tested, increasing, in frames
    predictions : (L + 1, m, m) the tested model's predictions at each lag (nan at lag 0)
    estimates : (L + 1, m, m) the models fitted at each lag (nan at lag 0)
    n_components : m, the observables tested
    lag : the tested model's lag
    """

    def __init__(self, lag, lagtimes, predictions, estimates):
        self.lag = int(lag)
        self.lagtimes = np.asarray(lagtimes, dtype=int)
        self.predictions = np.asarray(predictions, dtype=float)
        self.estimates = np.asarray(estimates, dtype=float)

    @property
    def n_components(self):
        return self.estimates.shape[1] if self.estimates.ndim == 3 else 0

    def max_deviation(self):
        """The largest |prediction - estimate| over the lags and observables (lag 0 left out)."""
        diff = np.abs(self.predictions[1:] - self.estimates[1:])
        return float(np.nanmax(diff)) if diff.size else 0.0

    def table(self):
        """The test as text: one row per lag and observable pair."""
        lines = ["Chapman-Kolmogorov test of the model at lag %d: <phi_i(t + lag), psi_j(t)>" % self.lag,
                 "%8s  %4s  %4s  %22s  %22s" % ("lag", "i", "j", "predicted", "estimated")]
        for t, lag in enumerate(self.lagtimes):
            if lag == 0:
                continue
            for i in range(self.n_components):
                for j in range(self.n_components):
                    lines.append("%8d  %4d  %4d  %22.15g  %22.15g" % (
                        lag, i + 1, j + 1, self.predictions[t, i, j], self.estimates[t, i, j]))
        return "\n".join(lines) + "\n"

    def plot(self, path=None):
        """A grid of panels, one per (observable, statistic): the prediction against the estimate
        over the lags, as deeptime's plot_ck_test draws them. Saved to path when given (png, pdf,
        svg by its ending); returns the matplotlib figure."""
        import os

        from ._optional import missing
        from ._paths import written_whole

        try:
            import matplotlib
        except ImportError as exc:
            raise missing("Matplotlib", "CKTest.plot") from exc
        if path is not None:
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        m = max(self.n_components, 1)
        fig, axes = plt.subplots(m, m, figsize=(2.6 * m + 1, 2.3 * m + 0.6), sharex=True, squeeze=False)
        shown = self.lagtimes > 0
        for i in range(m):
            for j in range(m):
                ax = axes[i][j]
                if self.n_components:
                    ax.plot(self.lagtimes[shown], self.predictions[shown, i, j], "--", color="C0",
                            label="predicted (lag %d)" % self.lag)
                    ax.plot(self.lagtimes[shown], self.estimates[shown, i, j], "o-", color="C1",
                            label="estimated")
                ax.axhline(0.0, color="grey", lw=0.5)
                ax.set_title("phi %d, psi %d" % (i + 1, j + 1), fontsize=9)
                if i == m - 1:
                    ax.set_xlabel("lag (frames)")
        axes[0][0].legend(fontsize=8)
        fig.suptitle("Chapman-Kolmogorov test")
        fig.tight_layout()
        if path is not None:
            try:
                # whole or not at all: drawn under a temporary name, then renamed
                with written_whole(path) as tmp:
                    fig.savefig(tmp, dpi=110, format=os.path.splitext(path)[1][1:] or "png")
            finally:
                plt.close(fig)
        return fig


def ck_lags(lags, lag):
    """The lags of a test: positive multiples of the model's lag, increasing, each once."""
    if lags is None:
        return [lag * k for k in range(1, 6)]
    values = sorted({int(t) for t in np.atleast_1d(lags)})
    if not values:
        raise ValueError("ck_test needs lags to test")
    bad = [t for t in values if t <= 0 or t % lag]
    if bad:
        raise ValueError("ck_test's lags must be positive multiples of the model's lag %d, got %s" % (lag, bad[0]))
    return values


def ck_test(tested, models, n_observables):
    """The test of KoopmanParts `tested` against KoopmanParts `models` (one per lag), with the
    tested model's first n_observables right and left singular functions."""
    phi = tested.v[:, :n_observables]
    psi = tested.u[:, :n_observables]
    nan = np.full((phi.shape[1], psi.shape[1]), np.nan)
    lagtimes = [0] + [m.lag for m in models]
    predictions = [nan] + [expectation(tested, phi, psi, m.lag // tested.lag) for m in models]
    estimates = [nan] + [expectation(m, phi, psi, 1) for m in models]
    return CKTest(tested.lag, lagtimes, predictions, estimates)


class KoopmanChecks:
    """ck_test and feature_component_correlation_ for a model with _koopman_parts() and
    _refit(sums, lag), which remembers in _ck_source what fit read (None: nothing to read again)."""

    def _koopman_parts(self):
        raise NotImplementedError

    def _refit(self, sums, lag):
        """A model with this one's parameters at `lag`, from sums that hold it."""
        params = self.get_params()
        params["lag"] = lag
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the tested model's warnings are the ones that count
            return type(self)(**params).fit_from_sums(sums)

    @property
    def feature_component_correlation_(self):
        """(n, dim_) correlation of every input feature (row) with every kept component (column)
        over the first halves of the lagged pairs, as deeptime's feature_component_correlation:
        C00 U / sigma, sigma the features' standard deviations."""
        parts = self._koopman_parts()
        sigma = np.sqrt(np.diag(parts.c00))
        return (parts.c00 @ parts.u[:, :parts.dim]) / sigma[:, None]

    def top_features(self, k=3):
        """Per kept component, the k features most correlated with it (by |correlation|):
        a list of [(name, correlation), ...]."""
        corr = self.feature_component_correlation_
        names = list(self.columns_)
        out = []
        for j in range(corr.shape[1]):
            order = np.argsort(-np.abs(corr[:, j]), kind="stable")[:k]
            out.append([(names[i], float(corr[i, j])) for i in order])
        return out

    def ck_test(self, lags=None, n_observables=None, *, data=None, n_jobs=1, client=None, threads=None,
                progress=False):
        """Chapman-Kolmogorov test of this model: its predictions at the given lags (multiples of
        its lag; default 1 to 5 times it) against models with its parameters fitted at those lags,
        as deeptime's model.ck_test(models, n_observables=...) (observables phi, statistics psi,
        lag 0 included as nan).

        The lags are read from the sums the fit kept where they hold them (a model from a scan);
        else every lag from one more read of the data of the fit (or of `data`, which must be the
        same data: arrays or files). n_observables: the leading singular functions tested
        (default: the model's dim parameter, else all; at most dim, with a warning).
        """
        parts = self._koopman_parts()
        if getattr(self, "moments_", None) is None and getattr(self, "_ck_weights", None) is None:
            raise ValueError("ck_test compares with fits at the other lags, weighted as this one: a model fitted "
                             "with koopman_weights=True (weights estimated anew at every lag) or by partial_fit "
                             "with frame weights has no test here")
        lags = ck_lags(lags, parts.lag)
        dim = self._fitted_with["dim"]
        if n_observables is not None:
            if isinstance(n_observables, bool) or int(n_observables) < 1:
                raise ValueError("n_observables must be a positive integer, got %r" % (n_observables,))
            n_observables = int(n_observables)
            if dim is not None and n_observables > dim:
                warnings.warn("n_observables %d is above the model's dim %d: %d observables tested"
                              % (n_observables, dim, dim), RuntimeWarning, stacklevel=2)
                n_observables = dim
        else:
            n_observables = dim
        sums = self._ck_sums(lags, data, n_jobs=n_jobs, client=client, threads=threads, progress=progress)
        models = [self._refit(sums, lag)._koopman_parts() for lag in lags]
        return ck_test(parts, models, n_observables)

    @staticmethod
    def _weighted_ck_sums(lags, data, weighted, columns, keep_time, threads):
        """Every lag's sums with the weights of the fit, as a weighted fit at that lag would sum
        them (deeptime's ck_test of models fitted with the same weights at each lag)."""
        from . import _weighted_reads

        if weighted["weights"] is None:
            raise ValueError("ck_test reads the frames again with the weights of the fit, and a pickled model keeps "
                             "neither: fit it again")
        read = _weighted_reads.read(data, lags, weights=weighted["weights"], bias_kT=weighted["bias_kT"],
                                    columns=columns, keep_time=keep_time, threads=threads)
        return _weighted_reads.scan_sums(read[0])

    def _ck_sums(self, lags, data, **options):
        from ._reading import read_files

        held = getattr(self, "moments_", None)
        weighted = getattr(self, "_ck_weights", None)
        if data is None and held is not None and weighted is None and \
                set(lags) <= {int(t) for t in np.atleast_1d(held["lags"])}:
            return held
        source = getattr(self, "_ck_source", None)
        if data is None:
            if source is None:
                raise ValueError("ck_test reads the data again at the lags tested, and this model keeps no inputs "
                                 "to read (fitted by partial_fit, from sums or with weights): give them as data=")
            if not all(getattr(self, "rereadable_", ())):
                raise ValueError("ck_test reads the data again at the lags tested, and an input of the fit was a "
                                 "pipe, read once: give the data as files with data=")
            data, columns, keep_time = source
        else:
            columns = list(self.columns_) if self.layout_ is not None else None
            keep_time = False
        if weighted is not None:
            sums = self._weighted_ck_sums(lags, data, weighted, columns, keep_time, options.get("threads"))
        else:
            sums = read_files(data, lags, columns, keep_time, **{k: v for k, v in options.items() if v is not None})[0]
        width = np.asarray(sums["shift"]).size
        if width != self.n_features_in_:
            raise ValueError("data have %d columns, the model %d" % (width, self.n_features_in_))
        return sums
