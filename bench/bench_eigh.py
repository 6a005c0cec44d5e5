"""The eigen-solving step of a 10-lag scan at 500 columns: ten 500x500 symmetric eigenproblems,
solved one after another with the BLAS's own thread count, one after another on one BLAS thread,
and two at a time on one BLAS thread each; whether each way gives the same bits as the serial
one-thread solve.

    python bench/bench_eigh.py [--columns 500] [--lags 10] [--repeat 3]
"""
import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import scipy.linalg
from threadpoolctl import threadpool_limits


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--columns", type=int, default=500)
    ap.add_argument("--lags", type=int, default=10)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    mats = []
    for _ in range(args.lags):
        a = rng.normal(size=(args.columns + 100, args.columns))
        mats.append(a.T @ a)

    def solve(m):
        return scipy.linalg.eigh(m)

    def serial():
        return [solve(m) for m in mats]

    def pooled():
        with ThreadPoolExecutor(2) as ex:
            return list(ex.map(solve, mats))

    with threadpool_limits(1):
        reference = serial()
    print("load: %s" % (os.getloadavg(),))
    for name, limit, run in (("serial, BLAS threads as set", None, serial), ("serial, 1 BLAS thread", 1, serial),
                             ("2 at a time, 1 BLAS thread each", 1, pooled)):
        best, out = float("inf"), None
        for _ in range(args.repeat):
            with threadpool_limits(limit):
                t = time.perf_counter()
                out = run()
                best = min(best, time.perf_counter() - t)
        same = all(np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1]) for a, b in zip(out, reference))
        print("%-34s %7.3f s  bits as serial 1-thread: %s" % (name, best, same))


if __name__ == "__main__":
    main()
