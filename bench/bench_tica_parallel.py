"""Speed-up of lagstat_tica's per-file parallelism: four files, 1 process against 2.

    python bench/bench_tica_parallel.py [--frames 200000] [--cols 10] [--lag 10] [--repeat 3]

Writes four text files of a mixed slow process (kept in --data-dir between runs), then times
lagstat_tica.moments (two lagstat.run passes per file) and TICA.fit (the same plus the edge
read and the eigenproblem) with n_jobs = 1 and 2, best of --repeat runs, and checks that the
parallel results are bit-identical to the serial ones.
"""
import argparse
import os
import resource
import sys
import tempfile
import time

import numpy as np

from lagstat_tica import TICA, moments


def make_files(directory, n_files, frames, cols, seed=0):
    os.makedirs(directory, exist_ok=True)
    paths = []
    mixing = np.random.default_rng(seed).normal(size=(3, cols))
    for i in range(n_files):
        path = os.path.join(directory, "traj%d_%d_%d.txt" % (i, frames, cols))
        paths.append(path)
        if os.path.exists(path):
            continue
        rng = np.random.default_rng(seed + 1 + i)
        phis = np.array([0.999, 0.99, 0.9])
        latent = np.zeros((frames, 3))
        noise = rng.normal(size=(frames, 3)) * np.sqrt(1 - phis ** 2)
        for t in range(1, frames):
            latent[t] = phis * latent[t - 1] + noise[t]
        x = latent @ mixing + 0.2 * rng.normal(size=(frames, cols))
        tmp = path + ".part"
        np.savetxt(tmp, x, fmt="%.10f")
        os.replace(tmp, path)
    return paths


def cpu_seconds():
    """CPU time of this process and of its reaped children (the pool's workers)."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


def best_time(fn, repeat):
    """Best wall time of repeat runs, with the CPU time of that run."""
    best, cpu, result = float("inf"), 0.0, None
    for _ in range(repeat):
        c0, t0 = cpu_seconds(), time.perf_counter()
        result = fn()
        wall, used = time.perf_counter() - t0, cpu_seconds() - c0
        if wall < best:
            best, cpu = wall, used
    return best, cpu, result


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--frames", type=int, default=200_000, help="frames per file")
    p.add_argument("--cols", type=int, default=10, help="columns per frame")
    p.add_argument("--files", type=int, default=4)
    p.add_argument("--lag", type=int, default=10)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--data-dir", default=os.path.join(tempfile.gettempdir(), "lagstat_bench_tica"))
    args = p.parse_args()

    paths = make_files(args.data_dir, args.files, args.frames, args.cols)
    size = sum(os.path.getsize(q) for q in paths)
    print("%d files, %d frames x %d columns each, %.1f MiB in all, lag %d, %d CPUs"
          % (len(paths), args.frames, args.cols, size / 2 ** 20, args.lag, os.cpu_count() or 1))

    rows = []
    reference = {}
    for label, fn in [
        ("moments", lambda jobs: moments(paths, args.lag, n_jobs=jobs, progress=False)),
        ("TICA.fit", lambda jobs: TICA(args.lag).fit(paths, n_jobs=jobs)),
    ]:
        times, cpus = {}, {}
        for jobs in (1, 2):
            times[jobs], cpus[jobs], result = best_time(lambda: fn(jobs), args.repeat)
            values = result if isinstance(result, dict) else {"eigenvalues": result.eigenvalues_}
            if jobs == 1:
                reference[label] = values
            elif not all(np.array_equal(values[k], reference[label][k]) for k in values):
                sys.exit("%s: n_jobs=2 differs from n_jobs=1" % label)
        rows.append((label, times[1], times[2], cpus[1], cpus[2]))

    # Each step reads every file twice (two lagstat passes); the rate counts both.
    print("%-10s %10s %10s %9s %12s %12s %12s"
          % ("step", "1 proc s", "2 procs s", "speed-up", "CPU s (1)", "CPU s (2)", "MiB/s (2)"))
    for label, t1, t2, c1, c2 in rows:
        print("%-10s %10.3f %10.3f %8.2fx %12.3f %12.3f %12.1f"
              % (label, t1, t2, t1 / t2, c1, c2, 2 * size / 2 ** 20 / t2))
    print("parallel results bit-identical to serial: yes")


if __name__ == "__main__":
    main()
