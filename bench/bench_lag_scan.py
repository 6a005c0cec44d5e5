"""One read for every lag against lagstat.run's two passes, on one file.

    python bench/bench_lag_scan.py [--frames 300000] [--cols 20] [--repeat 3]

Writes a text file of random frames (kept in --data-dir between runs), then times, best of
--repeat: the native scan at lag 10 on 1 and 2 threads, at eight lags on 2 threads, and
lagstat.run's sum pass plus centred pass (cov and tcov at lag 10) on 1 thread. Each case runs in
this process; the peak resident size is the process's.
"""
import argparse
import os
import resource
import tempfile
import time

import numpy as np

import lagstat
from lagstat_tica import _native


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def two_passes(path):
    d = {}
    lagstat.run(path, d, 1, 0, 0, 0, 1)
    lagstat.run(path, {"mean": d["mean"] / d["samples"]}, 0, 1, 1, 1, 10)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=300000)
    ap.add_argument("--cols", type=int, default=20)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--data-dir", default=os.path.join(tempfile.gettempdir(), "lagstat_bench"))
    args = ap.parse_args()
    os.makedirs(args.data_dir, exist_ok=True)
    path = os.path.join(args.data_dir, "scan_%d_%d.txt" % (args.frames, args.cols))
    if not os.path.exists(path):
        np.savetxt(path, np.random.default_rng(0).normal(size=(args.frames, args.cols)), fmt="%.17g")
    print("%s: %.1f MB" % (path, os.path.getsize(path) / 1e6))
    lags8 = [1, 2, 5, 10, 20, 50, 100, 200]
    cases = [
        ("scan, lag 10, 1 thread", lambda: _native.open(path).scan([10], threads=1)),
        ("scan, lag 10, 2 threads", lambda: _native.open(path).scan([10], threads=2)),
        ("scan, 8 lags, 2 threads", lambda: _native.open(path).scan(lags8, threads=2)),
        ("lagstat.run, 2 passes, lag 10, 1 thread", lambda: two_passes(path)),
    ]
    for name, fn in cases:
        print("%-42s %.3f s" % (name, best(fn, args.repeat)))
    print("peak RSS %d MiB" % (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024))


if __name__ == "__main__":
    main()
