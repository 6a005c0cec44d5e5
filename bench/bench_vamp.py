"""VAMP and the Chapman-Kolmogorov test against deeptime: agreement and time, side by side.

    python bench/bench_vamp.py [--frames N] [--columns N] [--files N]

Writes N text files of a driven linear process (non-reversible) and fits lagstat_tica's VAMP from
the files (one read) and deeptime's VAMP from the same numbers in memory (after np.loadtxt, timed
too); then the Chapman-Kolmogorov test at 5 lags: lagstat_tica's one more read of all the lags
against deeptime's models fitted lag by lag. Prints the largest relative deviations and the times.
"""
import argparse
import os
import tempfile
import time

import numpy as np


def process(frames, n, seed):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, n))
    a = 0.95 * a / np.abs(np.linalg.eigvals(a)).max()
    x = np.empty((frames, n))
    x[0] = rng.normal(size=n)
    noise = rng.normal(size=(frames, n))
    for t in range(1, frames):
        x[t] = x[t - 1] @ a.T + noise[t]
    return x + 3.0


def rel(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return float(np.max(np.abs(a - b)) / np.max(np.abs(b)))


def aligned(p, q):
    return p * np.where(np.sum(p * q, axis=0) >= 0, 1.0, -1.0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=200_000)
    ap.add_argument("--columns", type=int, default=10)
    ap.add_argument("--files", type=int, default=4)
    ap.add_argument("--lag", type=int, default=5)
    args = ap.parse_args()
    from deeptime.decomposition import VAMP as DeeptimeVAMP

    from lagstat_tica import VAMP

    lag, dim = args.lag, 3
    lags = [lag * k for k in (1, 2, 3, 4, 6)]
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i in range(args.files):
            x = process(args.frames // args.files, args.columns, i)
            paths.append(os.path.join(tmp, "part%d.txt" % i))
            np.savetxt(paths[-1], x, fmt="%.17g")
        t0 = time.perf_counter()
        ours = VAMP(lag, dim=dim).fit(paths)
        t_ours = time.perf_counter() - t0
        t0 = time.perf_counter()
        arrays = [np.loadtxt(p) for p in paths]
        t_load = time.perf_counter() - t0
        t0 = time.perf_counter()
        ref = DeeptimeVAMP(lagtime=lag, dim=dim).fit(arrays).fetch_model()
        t_ref = time.perf_counter() - t0
        t0 = time.perf_counter()
        ck = ours.ck_test(lags=lags, n_observables=dim)
        t_ck = time.perf_counter() - t0
        t0 = time.perf_counter()
        ref_ck = ref.ck_test([DeeptimeVAMP(lagtime=t, dim=dim).fit(arrays).fetch_model() for t in lags],
                             n_observables=dim)
        t_ref_ck = time.perf_counter() - t0
    signs = np.where(np.sum(ours.singular_vectors_right_ * ref.singular_vectors_right, axis=0) >= 0, 1.0, -1.0)
    flip = np.outer(signs, signs)[None]
    print("%d files x %d frames x %d columns, lag %d, dim %d; load: %s" % (
        args.files, args.frames // args.files, args.columns, lag, dim, os.getloadavg()))
    print("largest relative deviation from deeptime:")
    print("  singular values   %.2e" % rel(ours.singular_values_, ref.singular_values))
    print("  left vectors      %.2e" % rel(aligned(ours.singular_vectors_left_, ref.singular_vectors_left),
                                           ref.singular_vectors_left))
    print("  right vectors     %.2e" % rel(aligned(ours.singular_vectors_right_, ref.singular_vectors_right),
                                           ref.singular_vectors_right))
    print("  VAMP-2            %.2e" % abs(ours.score(r=2) / ref.score(2) - 1))
    print("  feature corr.     %.2e" % rel(aligned(ours.feature_component_correlation_,
                                                   ref.feature_component_correlation),
                                           ref.feature_component_correlation))
    print("  CK predictions    %.2e" % rel(ck.predictions[1:] * flip, ref_ck.predictions[1:]))
    print("  CK estimates      %.2e" % rel(ck.estimates[1:] * flip, ref_ck.estimates[1:]))
    print("time (s)            lagstat_tica   deeptime (+ np.loadtxt %.2f)   ratio" % t_load)
    print("  VAMP fit          %12.2f   %12.2f   %5.1f" % (t_ours, t_ref + t_load, (t_ref + t_load) / t_ours))
    print("  CK test, %d lags   %12.2f   %12.2f   %5.1f" % (len(lags), t_ck, t_ref_ck, t_ref_ck / t_ck))


if __name__ == "__main__":
    main()
