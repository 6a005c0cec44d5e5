"""A lag scan with bootstrap error bars: twenty short runs of a particle in a triple well.

Overdamped Langevin dynamics (kT = 1) in V(x) = h x^2 (x^2 - 1)^2, wells at -1, 0 and 1, the
features x, x^2 and x^3 (TICA needs x^2 to tell the middle well from the outer ones). Twenty
runs are written as text files, then `lagstat-tica scan` reads them once, fits TICA at every
lag, and resamples the files 200 times for 95 % intervals of the timescales and of VAMP-2: the
bands in the figure. The intervals widen with the lag as the pairs per run thin out.

Run:  python examples/triple_well.py [--workdir DIR] [--plot docs/_static/triple_well_scan.png]
"""
import argparse
import os
import tempfile

import numpy as np

from lagstat_tica import cli

HEIGHT = 20.0  # V = 20 x^2 (x^2 - 1)^2: barriers of 2.96 kT at x^2 = 1/3 between the three wells
STEP = 2e-3
STEPS_PER_FRAME = 10


def simulate(runs, frames, seed):
    """(runs, frames, 3) arrays of x, x^2, x^3, every run started in a randomly chosen well."""
    rng = np.random.default_rng(seed)
    x = rng.choice([-1.0, 0.0, 1.0], size=runs)
    out = np.empty((frames, runs))
    noise = np.sqrt(2 * STEP)
    for t in range(frames):
        for _ in range(STEPS_PER_FRAME):
            force = -2 * HEIGHT * x * (x * x - 1) * (3 * x * x - 1)
            x = x + STEP * force + noise * rng.normal(size=runs)
        out[t] = x
    out = out.T
    return np.stack([out, out ** 2, out ** 3], axis=-1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--frames", type=int, default=2000, help="frames per run")
    parser.add_argument("--workdir", default=None)
    parser.add_argument("--plot", default=os.path.join("docs", "_static", "triple_well_scan.png"))
    args = parser.parse_args()

    workdir = args.workdir or tempfile.mkdtemp(prefix="lagstat-triple-well-")
    os.makedirs(workdir, exist_ok=True)
    paths = []
    for i, run in enumerate(simulate(args.runs, args.frames, seed=1)):
        paths.append(os.path.join(workdir, "run%02d.txt" % i))
        np.savetxt(paths[-1], run, fmt="%.9g")
    return cli.main(["scan", *paths, "--lags", "1,2,5,10,20,50,100,200", "--timescales", "2",
                     "--bootstrap", "200", "--seed", "1", "--quiet", "--plot", args.plot])


if __name__ == "__main__":
    raise SystemExit(main())
