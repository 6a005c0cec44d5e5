"""The lag scan over many small files: peak RSS and time per file for 200 and 10 000 files.

    python bench/bench_many_files.py [--dir /tmp/many] [--files 200,10000] [--columns 100]
        [--frames 150] [--folds 5] [--bootstrap 0] [--python PY ...]

Writes the files once (text, "%.6g", frames of an AR(1) process mixed into the columns; the
first N of one set serve every count), then runs `lagstat_tica.scan` of the lags 1, 2, 3, 5, 8,
13, 20, 30, 50, 100 in a fresh process per case (each interpreter given with --python: the same
cases for another checkout's environment, side by side), peak RSS from wait4. Prints a Markdown
table for bench/RESULTS.md.
"""
import argparse
import os
import subprocess
import sys
import time

import numpy as np

LAGS = [1, 2, 3, 5, 8, 13, 20, 30, 50, 100]


def write_files(folder, count, columns, frames):
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(0)
    mixing = rng.normal(size=(3, columns))
    paths = [os.path.join(folder, "f%05d.txt" % i) for i in range(count)]
    for path in paths:
        if os.path.exists(path):
            continue
        latent = np.zeros((frames, 3))
        noise = rng.normal(size=(frames, 3))
        for t in range(1, frames):
            latent[t] = (0.99, 0.9, 0.5) * latent[t - 1] + noise[t]
        x = latent @ mixing + 0.1 * rng.normal(size=(frames, columns))
        np.savetxt(path + ".part", x, fmt="%.6g")
        os.replace(path + ".part", path)
    return paths


def child(folder, count, folds, bootstrap):
    import lagstat_tica

    paths = [os.path.join(folder, "f%05d.txt" % i) for i in range(count)]
    start = time.perf_counter()
    options = {"bootstrap": bootstrap, "seed": 1} if bootstrap else {}
    result = lagstat_tica.scan(paths, LAGS, folds=folds, **options)
    print(time.perf_counter() - start, result.eigenvalues[-1][0])


def measure(python, folder, count, folds, bootstrap):
    proc = subprocess.Popen([python, __file__, "--child", folder, str(count), str(folds), str(bootstrap)],
                            stdout=subprocess.PIPE, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status):
        return float("nan"), float("nan"), "failed"
    seconds, digest = out.split()
    return float(seconds), usage.ru_maxrss / 1024.0, digest


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--dir", default="/tmp/many_files")
    p.add_argument("--files", default="200,10000")
    p.add_argument("--columns", type=int, default=100)
    p.add_argument("--frames", type=int, default=150)
    p.add_argument("--folds", type=int, default=5)
    p.add_argument("--bootstrap", type=int, default=0)
    p.add_argument("--python", action="append", help="interpreters to compare (default: this one)")
    p.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        folder, count, folds, bootstrap = args.child
        child(folder, int(count), int(folds), int(bootstrap))
        return
    counts = [int(c) for c in args.files.split(",")]
    write_files(args.dir, max(counts), args.columns, args.frames)
    print("uptime:", os.popen("uptime").read().strip())
    print("| interpreter | files | folds | bootstrap | time | per file | peak RSS |")
    print("|---|---|---|---|---|---|---|")
    for python in args.python or [sys.executable]:
        for count in counts:
            seconds, rss, digest = measure(python, args.dir, count, args.folds, args.bootstrap)
            print("| %s | %d | %d | %d | %.2f s | %.2f ms | %.0f MiB |" % (
                python, count, args.folds, args.bootstrap, seconds, 1e3 * seconds / count, rss), flush=True)


if __name__ == "__main__":
    main()
