"""Cost of frame weights and accuracy of the weighted sums, side by side in one run.

    python bench/bench_weights.py [--frames 1000000] [--cols 10 500] [--lag 10] [--repeat 3]
                                  [--threads T] [--before DIR [--rounds 3]]
    valgrind --tool=callgrind python bench/bench_weights.py --one weighted --frames F --cols N

With --one (setup, plain or weighted) it builds the data and runs that one fit once on one
thread (setup: none), for callgrind's instruction counts, which the machine's load does not
change: a fit's count is its run's less the setup run's.

Times TICA.fit on one in-memory trajectory unweighted (the native accumulator) and weighted
(the native pooled accumulator: a reversible fit's sums pooled by frame, blocks folded with
compensation), best of --repeat runs taken in turns, with both CPU and wall time. --before DIR
takes another build (a directory holding its lagstat_tica and lagstat, put first on
PYTHONPATH) and times both builds in fresh processes, one after the other for --rounds rounds,
so that before and after share the machine's load. The accuracy check compares the weighted
sums of an ill-conditioned multi-well + scaled-noise set, all weights one, in pair order
(VAMP's, the scan's) and pooled by frame (TICA's), with the exact sums of the same rounded
products (math.fsum), in correlation units, beside a plain frame-order sum of the same products.
"""
import argparse
import math
import os
import subprocess
import sys
import time

import numpy as np

from lagstat_tica import TICA
from lagstat_tica import _weights


def best(f, repeat):
    """(wall, CPU) seconds of the fastest of `repeat` calls."""
    t = []
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        f()
        t.append((time.perf_counter() - t0, time.process_time() - c0))
    return min(t)


def data(frames, cols):
    rng = np.random.default_rng(0)
    x = np.cumsum(rng.normal(size=(frames, cols)), axis=0) * 0.01 + rng.normal(size=(frames, cols))
    return x, rng.uniform(0.5, 1.5, size=frames)


def one(which, frames, cols, lag):
    x, w = data(frames, cols)
    if which == "plain":
        TICA(lag).fit(x, threads=1)
    elif which == "weighted":
        TICA(lag).fit(x, weights=w, threads=1)


def cost(frames, cols, lag, repeat, threads=None):
    x, w = data(frames, cols)
    # interleaved, so that a change in the machine's load between the two falls on both alike
    plain = weighted = (float("inf"), float("inf"))
    for _ in range(repeat):
        plain = min(plain, best(lambda: TICA(lag).fit(x, threads=threads), 1))
        weighted = min(weighted, best(lambda: TICA(lag).fit(x, weights=w, threads=threads), 1))
    print("| %d frames, %d columns | %.4f (%.4f) | %.4f (%.4f) | %.2fx |"
          % (frames, cols, plain[0], plain[1], weighted[0], weighted[1], weighted[0] / plain[0]))


def compare(a, before):
    """Both builds in fresh processes, in turns: rows of wall (CPU) seconds per build."""
    args = [sys.executable, os.path.abspath(__file__), "--frames", str(a.frames), "--lag", str(a.lag),
            "--repeat", str(a.repeat), "--no-accuracy"] + (["--threads", str(a.threads)] if a.threads else [])
    print("| round | build | data | unweighted fit: wall (CPU) s | weighted fit: wall (CPU) s | ratio |")
    print("|---|---|---|---:|---:|---:|")
    for r in range(a.rounds):
        for name, path in (("before", before), ("after", None)):
            env = dict(os.environ)
            if path is not None:
                env["PYTHONPATH"] = os.path.abspath(path) + os.pathsep + env.get("PYTHONPATH", "")
            for cols in a.cols:
                out = subprocess.run(args + ["--cols", str(cols)], env=env, check=True, capture_output=True,
                                     text=True).stdout
                for line in out.splitlines():
                    if line.startswith("| ") and "frames" in line:
                        print("| %d | %s %s" % (r + 1, name, line))
                sys.stdout.flush()


def accuracy(frames, lag):
    rng = np.random.default_rng(1)
    well = np.sign(np.sin(np.arange(frames) / 977.0)) + 0.1 * rng.normal(size=frames)
    x = np.column_stack([1e3 + well, 1e-4 * rng.normal(size=frames), 1e5 * rng.normal(size=frames) + 7e5,
                         well + 1e-3 * rng.normal(size=frames)])
    w = np.ones(frames)
    acc = _weights.WeightedPairSums()
    acc.add(x[:-lag], x[lag:], w[:-lag])
    pooled = _weights.PooledSums(lag)
    pooled.add(x, w)
    _, _, squares, lagged = pooled.totals()
    xs, ys = x[:-lag] - x[0], x[lag:] - x[0]
    # pooled by frame, all weights one: the first and last lag frames weigh 1, the others 2
    d = x - x[0]
    v = np.full(frames, 2.0)
    v[:lag] = v[-lag:] = 1.0
    vd = v[:, None] * d
    n = x.shape[1]
    diag = [math.fsum((xs[:, i] * xs[:, i]).tolist()) for i in range(n)]
    pdiag = [math.fsum((vd[:, i] * d[:, i]).tolist()) for i in range(n)]
    worst = {"pairs": 0.0, "pooled lagged": 0.0, "pooled instantaneous": 0.0, "plain": 0.0}
    for i in range(n):
        for j in range(n):
            prods = xs[:, i] * ys[:, j]
            exact = math.fsum(prods.tolist())
            plain = 0.0
            for p in prods.tolist():  # frame order, one rounding per frame
                plain += p
            scale = math.sqrt(diag[i] * diag[j])
            worst["pairs"] = max(worst["pairs"], abs(acc.totals()["sxy"][i, j] - exact) / scale)
            worst["pooled lagged"] = max(worst["pooled lagged"], abs(lagged[i, j] - exact) / scale)
            worst["plain"] = max(worst["plain"], abs(plain - exact) / scale)
            exact = math.fsum((vd[:, i] * d[:, j]).tolist())
            worst["pooled instantaneous"] = max(worst["pooled instantaneous"],
                                                abs(squares[i, j] - exact) / math.sqrt(pdiag[i] * pdiag[j]))
    print("accuracy, %d frames (2^-52 units, correlation): %s" % (
        frames, ", ".join("%s %.2f ulp" % (k if k != "plain" else "plain frame order", v / 2.0 ** -52)
                          for k, v in worst.items())))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--frames", type=int, default=1000000)
    p.add_argument("--cols", type=int, nargs="+", default=[10, 500])
    p.add_argument("--lag", type=int, default=10)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--threads", type=int, help="the fits' threads (default: the process's cores)")
    p.add_argument("--one", choices=["setup", "plain", "weighted"])
    p.add_argument("--before", metavar="DIR", help="another build to time in turns with this one")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--no-accuracy", action="store_true")
    a = p.parse_args()
    if a.one:
        one(a.one, a.frames, a.cols[0], a.lag)
        return
    if a.before:
        compare(a, a.before)
        return
    print("| data | unweighted fit: wall (CPU) s | weighted fit: wall (CPU) s | ratio |")
    print("|---|---:|---:|---:|")
    for cols in a.cols:
        frames = a.frames if cols <= 50 else max(1000, a.frames // 50)
        cost(frames, cols, a.lag, a.repeat, a.threads)
    if not a.no_accuracy:
        accuracy(a.frames, a.lag)


if __name__ == "__main__":
    main()
