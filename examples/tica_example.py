"""TICA of a generated trajectory with lagstat: the recipe to copy.

1. pass 1 sums the frames: the mean;
2. pass 2 sums the centred squares, outer products and time-lagged outer products;
3. TICA from those sums: the generalised eigenproblem of the symmetrised time-lagged covariance
   against the instantaneous covariance;
4. `stream` writes every frame's projection on the leading components.

Run:  python examples/tica_example.py [--frames 300000] [--lag 10] [--workdir DIR]
"""
import argparse
import os
import tempfile
import time

import lagstat
import numpy as np
import scipy.linalg


def make_trajectory(path, frames, columns=10, seed=1):
    """Two slow autoregressive processes and fast noise, mixed into `columns` order parameters."""
    rng = np.random.default_rng(seed)
    rates = np.array([0.999, 0.99])  # autocorrelation per frame of the slow processes
    slow = np.zeros((frames, rates.size))
    noise = rng.standard_normal((frames, rates.size)) * np.sqrt(1 - rates**2)
    for t in range(1, frames):
        slow[t] = rates * slow[t - 1] + noise[t]
    fast = rng.standard_normal((frames, columns - rates.size))
    mixing = rng.standard_normal((columns, columns))
    data = np.hstack([slow, fast]) @ mixing + rng.uniform(-5, 5, columns)
    np.savetxt(path, data, fmt="%.6f")


def tica(fname, lag, dim):
    # Pass 1: sum of the frames, then the mean.
    d = {}
    lagstat.run(fname, d, 1, 0, 0, 0, lag)
    mean = d["mean"] / d["samples"]

    # Pass 2: centred second moments (the dictionary's mean is subtracted from every frame).
    d = {"mean": mean}
    lagstat.run(fname, d, 0, 1, 1, 1, lag)
    c0 = d["cov"] / d["samples"]
    ct = d["tcov"] / d["tcov_samples"]
    ct = (ct + ct.T) / 2  # symmetrised: a reversible estimate

    # Generalised eigenproblem ct v = lambda c0 v, leading components first.
    eigenvalues, eigenvectors = scipy.linalg.eigh(ct, c0)
    order = np.argsort(eigenvalues)[::-1]
    eigenvalues, eigenvectors = eigenvalues[order], eigenvectors[:, order]
    timescales = -lag / np.log(np.abs(eigenvalues))
    return mean, eigenvalues, eigenvectors, timescales, int(d["samples"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=300_000)
    parser.add_argument("--lag", type=int, default=10)
    parser.add_argument("--dim", type=int, default=2)
    parser.add_argument("--workdir", default=None)
    args = parser.parse_args()

    workdir = args.workdir or tempfile.mkdtemp(prefix="lagstat-example-")
    os.makedirs(workdir, exist_ok=True)
    traj = os.path.join(workdir, "trajectory.txt")
    proj = os.path.join(workdir, "projection.txt")

    print(f"generating {args.frames} frames of 10 order parameters in {traj}")
    make_trajectory(traj, args.frames)
    size = os.path.getsize(traj) / 1e6

    start = time.perf_counter()
    mean, eigenvalues, eigenvectors, timescales, frames = tica(traj, args.lag, args.dim)
    lagstat.stream(traj, proj, mean, eigenvectors, args.dim, 0)
    seconds = time.perf_counter() - start
    print(f"two moment passes and the projection of {frames} frames ({size:.1f} MB): {seconds:.2f} s")

    print(f"\nlag {args.lag} frames")
    print(" component  eigenvalue  implied timescale (frames)")
    for k, (ev, ts) in enumerate(zip(eigenvalues[:4], timescales[:4])):
        print(f" {k:9d}  {ev:10.6f}  {ts:12.1f}")
    print(f"\nfirst lines of {proj}:")
    with open(proj) as f:
        for _ in range(5):
            print(" ", f.readline().rstrip())


if __name__ == "__main__":
    main()
