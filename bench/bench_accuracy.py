"""The companion's compensated sums: their accuracy against exact products, and their cost side
by side with a build that sums plainly in frame order.

    python bench/bench_accuracy.py [--baseline-python PATH] [--frames 1200000] [--cols 33]
                                   [--repeat 5]

Accuracy: an ill-conditioned set (tests/python/test_tica.py's ill_conditioned: three slow wells
and noise columns of scales 1e-6 to 1e6), TICA at lag 10 from the array; for 24 elements of C00
and C0t the error |C_ij - exact| / sqrt(C_ii C_jj) in units of 2^-52, exact from error-free
products summed exactly (tests/python/reference.py), for this build, the baseline build (when
given) and deeptime. Cost: the native scan (lag 10) of random arrays (10 columns x 4e6 frames, 500 columns x
2e4 frames) at 1 and 2 threads, best of --repeat, the two builds alternating run by run in fresh
processes, so that the machine's load falls on both alike.
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "tests", "python")

WORKER = r"""
import json, sys, time
import numpy as np
from lagstat_tica import _native
frames, cols, threads, repeat = map(int, sys.argv[1:5])
x = np.random.default_rng(0).normal(size=(frames, cols))
times = []
for _ in range(repeat):
    t0 = time.perf_counter()
    acc = _native.accumulator(cols, [10], threads=threads)
    acc.add(x)
    acc.finish()
    times.append(time.perf_counter() - t0)
print(json.dumps(min(times)))
"""

ACCURACY = r"""
import json, sys
sys.path.insert(0, sys.argv[1])
import numpy as np
from lagstat_tica import TICA
from test_tica import ill_conditioned
frames, cols = int(sys.argv[2]), int(sys.argv[3])
x = ill_conditioned(frames, cols, seed=3)
m = TICA(10).fit([x], threads=2)
print(json.dumps([m.cov_.tolist(), m.cov_tau_.tolist()]))
"""


def run(python, code, *args):
    out = subprocess.run([python, "-c", code] + [str(a) for a in args], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--baseline-python", help="the interpreter of a build that sums plainly")
    ap.add_argument("--frames", type=int, default=1_200_000)
    ap.add_argument("--cols", type=int, default=33)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    sys.path.insert(0, TESTS)
    import numpy as np
    import reference
    from test_tica import ill_conditioned, pair_errors, peer

    builds = [("this build", sys.executable)]
    if args.baseline_python:
        builds.append(("plain sums", args.baseline_python))

    x = ill_conditioned(args.frames, args.cols, seed=3)
    n = args.cols
    rng = np.random.default_rng(1)
    elements = [(i, i) for i in (0, 1, n // 2, n - 1)] + [
        tuple(sorted(rng.choice(n, 2, replace=False).tolist())) for _ in range(20)]
    exact = reference.exact_pair_covariances([x], 10, elements)
    print("accuracy: %d frames x %d columns, cond(C00) %.1e, %d elements of C00 and C0t, "
          "errors in 2^-52 of correlation" % (args.frames, n, np.linalg.cond(np.cov(x.T)), len(elements)))
    rows = []
    for name, python in builds:
        c00, c0t = run(python, ACCURACY, TESTS, args.frames, n)
        rows.append((name, pair_errors(np.array(c00), np.array(c0t), exact, elements)))
    theirs = peer([x], 10)
    rows.append(("deeptime", pair_errors(theirs.cov_00, theirs.cov_0t, exact, elements)))
    for name, e in rows:
        print("  %-12s max %7.2f  median %5.2f" % (name, e.max(), np.median(e)))

    print("cost: the native scan of an array at lag 10, best of %d, builds alternating" % args.repeat)
    for frames, cols in ((4_000_000, 10), (20_000, 500)):
        for threads in (1, 2):
            best = {name: float("inf") for name, _ in builds}
            for _ in range(args.repeat):
                for name, python in builds:
                    best[name] = min(best[name], run(python, WORKER, frames, cols, threads, 1))
            line = "  %4d columns x %7d frames, %d thread(s): " % (cols, frames, threads)
            line += "  ".join("%s %.3f s" % (name, t) for name, t in best.items())
            if len(builds) == 2:
                line += "  ratio %.3f" % (best["this build"] / best["plain sums"])
            print(line)


if __name__ == "__main__":
    main()
