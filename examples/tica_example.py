"""TICA of a small simulation with lagstat_tica: metastable states hidden in noisy features.

A particle diffuses (overdamped Langevin dynamics) on a potential with four wells, two double
wells side by side, V(x, y) = a (x^2 - 1)^2 + b (y^2 - 1)^2 with a > b: crossing in x is the
slowest process, in y the next. Four independent runs are written as text, ten order parameters
each, in which x and y are mixed with eight fast noise processes and measurement noise, as
features of a real system hide its slow coordinates.

The fit is lagstat_tica.TICA, the estimator of the command `lagstat-tica` (and of deeptime's
TICA): covariances over the lagged pairs of every run, the mean over both halves of the pairs, a
symmetrised lagged covariance. Components are numbered from 1, as the command numbers them.
`--two-pass` also shows the low-level recipe with lagstat.run's two passes (mean over all
frames, then centred sums over all lagged pairs): another estimator, whose numbers differ
slightly from the fit's.

Run:  python examples/tica_example.py [--frames 75000] [--runs 4] [--lag 10] [--workdir DIR]
"""
import argparse
import os
import tempfile
import time

import lagstat
import numpy as np
import scipy.linalg

from lagstat_tica import TICA

A, B = 4.0, 2.5  # barrier heights in kT: x crosses rarely, y more often
STEP = 0.005  # integration time step
STEPS_PER_FRAME = 2


def langevin(frames, runs, rng):
    """Positions (runs, frames, 2) of overdamped Langevin dynamics on the four-well potential,
    all runs integrated side by side (Euler-Maruyama, kT = 1)."""
    pos = np.column_stack([rng.choice([-1.0, 1.0], runs), rng.choice([-1.0, 1.0], runs)])
    barrier = np.array([A, B])
    out = np.empty((runs, frames, 2))
    kick = np.sqrt(2 * STEP)
    for t in range(frames):
        noise = rng.standard_normal((STEPS_PER_FRAME, runs, 2)) * kick
        for s in range(STEPS_PER_FRAME):
            pos = pos - STEP * 4 * barrier * pos * (pos * pos - 1) + noise[s]
        out[:, t] = pos
    return out


def make_runs(workdir, frames, runs, columns=10, seed=1):
    """Writes runs files of `columns` noisy features of the simulation; returns their paths."""
    rng = np.random.default_rng(seed)
    pos = langevin(frames, runs, rng)
    mixing = rng.standard_normal((columns, columns))
    offsets = rng.uniform(-5, 5, columns)
    paths = []
    for r in range(runs):
        fast = np.empty((frames, columns - 2))  # fast processes: autocorrelation 0.5 per frame
        fast[0] = rng.standard_normal(columns - 2)
        kicks = rng.standard_normal((frames, columns - 2)) * np.sqrt(1 - 0.25)
        for t in range(1, frames):
            fast[t] = 0.5 * fast[t - 1] + kicks[t]
        feats = np.hstack([pos[r], fast]) @ mixing + offsets + 0.3 * rng.standard_normal((frames, columns))
        path = os.path.join(workdir, "run%d.txt" % r)
        np.savetxt(path, feats, fmt="%.6f")
        paths.append(path)
    return paths, pos


def two_pass_tica(paths, lag):
    """The low-level recipe: lagstat.run's two passes over every file, TICA from the sums."""
    d = {}
    for p in paths:  # pass 1: the frames' sum, for the mean
        lagstat.run(p, d, 1, 0, 0, 0, lag)
    mean = d["mean"] / d["samples"]
    d = {"mean": mean}
    for p in paths:  # pass 2: centred squares and lagged products (within each file)
        lagstat.run(p, d, 0, 1, 1, 1, lag)
    c0 = d["cov"] / d["samples"]
    ct = d["tcov"] / d["tcov_samples"]
    eigenvalues = scipy.linalg.eigh((ct + ct.T) / 2, c0, eigvals_only=True)[::-1]
    return eigenvalues, -lag / np.log(np.abs(eigenvalues))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=75_000, help="frames per run")
    parser.add_argument("--runs", type=int, default=4)
    parser.add_argument("--lag", type=int, default=10)
    parser.add_argument("--dim", type=int, default=2)
    parser.add_argument("--workdir", default=None)
    parser.add_argument("--two-pass", action="store_true", help="also lagstat.run's two-pass estimate")
    args = parser.parse_args()

    workdir = args.workdir or tempfile.mkdtemp(prefix="lagstat-example-")
    os.makedirs(workdir, exist_ok=True)
    start = time.perf_counter()
    paths, pos = make_runs(workdir, args.frames, args.runs)
    wells = np.mean(np.sign(pos[:, 1:]) != np.sign(pos[:, :-1]), axis=(0, 1))
    print("simulated %d runs of %d frames in %.1f s: %s (x, y well changes per frame: %.2g, %.2g)"
          % (args.runs, args.frames, time.perf_counter() - start, ", ".join(paths), wells[0], wells[1]))

    start = time.perf_counter()
    model = TICA(args.lag, dim=args.dim).fit(paths, n_jobs=2)
    proj = model.transform_files(paths, os.path.join(workdir, "proj"), format="npy")
    print("lagstat_tica.TICA fit and projection (.npy): %.2f s" % (time.perf_counter() - start))
    print("\nlag %d frames, %d lagged pairs; components numbered from 1, as lagstat-tica does" % (
        args.lag, model.n_pairs_))
    print("   k              eigenvalue      timescale (frames)")
    for k, (ev, ts) in enumerate(zip(model.eigenvalues_[:4], model.timescales_[:4]), start=1):
        print("%4d  %22.15g  %22.15g" % (k, ev, ts))
    y = np.load(proj[0], mmap_mode="r")
    # The slowest component tells the x wells apart, the second the y wells.
    for k in range(min(2, y.shape[1])):
        c = (abs(np.corrcoef(y[:, k], np.sign(pos[0, :, 0]))[0, 1]),
             abs(np.corrcoef(y[:, k], np.sign(pos[0, :, 1]))[0, 1]))
        print("IC %d against the well in x, in y (|correlation|): %.2f, %.2f" % (k + 1, c[0], c[1]))
    print("\n%s: %s frames x %d components, float64" % (proj[0], y.shape[0], y.shape[1]))
    if args.two_pass:
        evals, ts = two_pass_tica(paths, args.lag)
        print("\nlagstat.run's two passes (mean over all frames, not over the pairs: another estimator)")
        for k, (ev, t) in enumerate(zip(evals[:4], ts[:4]), start=1):
            print("%4d  %22.15g  %22.15g" % (k, ev, t))


if __name__ == "__main__":
    main()
