"""Cost of frame weights and accuracy of the weighted sums, side by side in one run.

    python bench/bench_weights.py [--frames 1000000] [--cols 10 500] [--lag 10] [--repeat 3]
    valgrind --tool=callgrind python bench/bench_weights.py --one weighted --frames F --cols N

With --one (setup, plain or weighted) it builds the data and runs that one fit once on one
thread (setup: none), for callgrind's instruction counts, which the machine's load does not
change: a fit's count is its run's less the setup run's.

Times TICA.fit on one in-memory trajectory unweighted (the native accumulator) and weighted
(the native weighted accumulator: blocks of weighted pairs folded with compensation), best of
--repeat runs taken in turns, and for the accuracy
check compares the weighted pair sums of an ill-conditioned multi-well + scaled-noise set, all
weights one, with the exact sums of the same rounded products (math.fsum), in correlation units,
beside a plain frame-order sum of the same products.
"""
import argparse
import math
import time

import numpy as np

from lagstat_tica import TICA
from lagstat_tica import _weights


def best(f, repeat):
    t = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        t.append(time.perf_counter() - t0)
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


def cost(frames, cols, lag, repeat):
    x, w = data(frames, cols)
    # interleaved, so that a change in the machine's load between the two falls on both alike
    plain = weighted = float("inf")
    for _ in range(repeat):
        plain = min(plain, best(lambda: TICA(lag).fit(x), 1))
        weighted = min(weighted, best(lambda: TICA(lag).fit(x, weights=w), 1))
    print("| %d frames, %d columns | %.3f | %.3f | %.2fx |" % (frames, cols, plain, weighted, weighted / plain))


def accuracy(frames, lag):
    rng = np.random.default_rng(1)
    well = np.sign(np.sin(np.arange(frames) / 977.0)) + 0.1 * rng.normal(size=frames)
    x = np.column_stack([1e3 + well, 1e-4 * rng.normal(size=frames), 1e5 * rng.normal(size=frames) + 7e5,
                         well + 1e-3 * rng.normal(size=frames)])
    w = np.ones(frames)
    acc = _weights.WeightedPairSums()
    acc.add(x[:-lag], x[lag:], w[:-lag])
    got = acc.totals()["sxy"]
    xs, ys = x[:-lag] - x[0], x[lag:] - x[0]
    n = x.shape[1]
    diag = [math.fsum((xs[:, i] * xs[:, i]).tolist()) for i in range(n)]
    worst = worst_plain = 0.0
    for i in range(n):
        for j in range(n):
            prods = xs[:, i] * ys[:, j]
            exact = math.fsum(prods.tolist())
            plain = 0.0
            for p in prods.tolist():  # frame order, one rounding per frame
                plain += p
            scale = math.sqrt(diag[i] * diag[j])
            worst = max(worst, abs(got[i, j] - exact) / scale)
            worst_plain = max(worst_plain, abs(plain - exact) / scale)
    print("accuracy, %d frames: compensated %.2f ulp, plain frame order %.2f ulp (2^-52 units, correlation)"
          % (frames, worst / 2.0 ** -52, worst_plain / 2.0 ** -52))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--frames", type=int, default=1000000)
    p.add_argument("--cols", type=int, nargs="+", default=[10, 500])
    p.add_argument("--lag", type=int, default=10)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--one", choices=["setup", "plain", "weighted"])
    a = p.parse_args()
    if a.one:
        one(a.one, a.frames, a.cols[0], a.lag)
        return
    print("| data | unweighted fit (s) | weighted fit (s) | ratio |")
    print("|---|---:|---:|---:|")
    for cols in a.cols:
        frames = a.frames if cols <= 50 else max(1000, a.frames // 50)
        cost(frames, cols, a.lag, a.repeat)
    accuracy(a.frames, a.lag)


if __name__ == "__main__":
    main()
