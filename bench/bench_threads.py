#!/usr/bin/env python3
"""Thread scaling of lagstat's passes, and the peers that read the same files into memory and
compute the same sums with NumPy.

    python3 bench/bench_threads.py                    # prints the tables (Markdown)
    python3 bench/bench_threads.py --repeat 1 --threads 1 2   # quick look

Jobs: pass 1 (mean) over the 10-column file, pass 2 (var, cov, tcov at lag 1, centred) over the
500-column one, stream (10 projections) over the 10-column one (the peers project with NumPy and
write the text with their own writers: pandas' to_csv with "%f", polars' write_csv with six
decimals, pyarrow's write_csv), and pass 1 over the 10-column file gzipped (-6); the files are
made in bench/data by run_bench.py's generator when missing. Every run is a fresh process that
times its job after its imports and reports its own peak RSS (ru_maxrss); the best of --repeat
processes counts. lagstat's processes run
with OPENBLAS_NUM_THREADS=1, so that NumPy's BLAS server threads, started on import, take no CPU
from the pass. The peers (pandas' C reader, polars, pyarrow.csv, each followed by NumPy for the
sums) run with the environment as it is, less OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE.
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(BENCH_DIR, "data")

# The child: one job, timed after its imports; prints {"seconds", "rss_mb"}.
CHILD = r"""
import json, resource, sys, time
import numpy as np
impl, job, path, n, threads, out = sys.argv[1:7]
n, threads = int(n), int(threads)

def read(path):
    if impl == "pandas":
        import pandas as pd
        return lambda: pd.read_csv(path, sep=" ", header=None, engine="c", dtype=np.float64).to_numpy()
    if impl == "polars":
        import polars as pl
        return lambda: pl.read_csv(path, separator=" ", has_header=False).to_numpy()
    if impl == "pyarrow":
        import pyarrow.csv as pc
        ro = pc.ReadOptions(autogenerate_column_names=True)
        po = pc.ParseOptions(delimiter=" ")
        def go():
            t = pc.read_csv(path, read_options=ro, parse_options=po)
            return np.column_stack([c.to_numpy() for c in t.columns])
        return go
    return None

mean = np.zeros(n)
if impl == "lagstat":
    import lagstat
    if job == "pass1":
        def work():
            d = {}
            lagstat.run(path, d, 1, 0, 0, 0, 1, threads=threads)
            return d
    elif job == "pass2":
        def work():
            d = {"mean": mean.copy()}
            lagstat.run(path, d, 0, 1, 1, 1, 1, threads=threads)
            return d
    else:
        w = np.eye(n)
        def work():
            lagstat.stream(path, out, mean, w, 10, 0, threads=threads)
else:
    load = read(path)
    if job == "pass1":
        def work():
            x = load()
            return x.sum(axis=0), x.shape[0]
    elif job == "stream":
        # The projection on the first 10 of n identity columns, as lagstat's, written with the
        # peer's own writer, six decimals.
        w = np.eye(n)[:, :10]
        def work():
            y = (load() - mean) @ w
            if impl == "pandas":
                import pandas as pd
                pd.DataFrame(y).to_csv(out, sep=" ", header=False, index=False, float_format="%f")
            elif impl == "polars":
                import polars as pl
                pl.DataFrame(y).write_csv(out, separator=" ", include_header=False,
                                          float_precision=6)
            else:
                import pyarrow as pa
                import pyarrow.csv as pc
                pc.write_csv(pa.table({str(k): y[:, k] for k in range(y.shape[1])}), out,
                             pc.WriteOptions(include_header=False, delimiter=" "))
    else:
        def work():
            x = load() - mean
            return (x * x).sum(axis=0), x.T @ x, x[:-1].T @ x[1:]
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
c = cpu()
t = time.perf_counter()
work()
seconds = time.perf_counter() - t
c = cpu() - c
rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
print(json.dumps({"seconds": seconds, "cpu": c, "rss_mb": rss}))
"""

JOBS = [
    # name, title, file, columns
    ("pass1", "pass 1 (mean), 10 columns", "t10.txt", 10),
    ("pass2", "pass 2 (var, cov, tcov lag 1), 500 columns", "t500.txt", 500),
    ("stream", "stream (10 projections), 10 columns", "t10.txt", 10),
    ("pass1", "pass 1 (mean), 10 columns, gzip -6", "t10.txt.gz", 10),
]
PEERS = ("pandas", "polars", "pyarrow")


def file_path(name, data_dir):
    plain = os.path.join(data_dir, name.replace(".gz", ""))
    if not os.path.exists(plain):
        # The files of bench/run_bench.py's generator (its seeds), ~100 MB each.
        sys.path.insert(0, BENCH_DIR)
        import run_bench

        n = 10 if plain.endswith("t10.txt") else 500
        os.makedirs(data_dir, exist_ok=True)
        print("generating %s" % plain, file=sys.stderr)
        run_bench.generate(plain, n, 100e6, 1000 + n)
    if name.endswith(".gz"):
        path = os.path.join(BENCH_DIR, "data", name)
        if not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path + ".tmp", "wb") as f:
                subprocess.run(["gzip", "-6", "-c", os.path.join(data_dir, name[:-3])], stdout=f,
                               check=True)
            os.replace(path + ".tmp", path)
        return path
    return os.path.join(data_dir, name)


def busy_fraction(interval=0.3):
    """Share of the machine's CPU time spent busy over interval seconds (/proc/stat)."""
    def sample():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return sum(v), v[3] + v[4]  # total, idle + iowait
    t0, i0 = sample()
    time.sleep(interval)
    t1, i1 = sample()
    return 1.0 - (i1 - i0) / max(1, t1 - t0)


QUIET = {"busy": 0.15, "wait": 20.0, "noisy": 0, "runs": 0}


def wait_quiet():
    """Waits (at most QUIET["wait"] s) until other work leaves the cores nearly idle."""
    deadline = time.time() + QUIET["wait"]
    QUIET["runs"] += 1
    while busy_fraction() > QUIET["busy"]:
        if time.time() > deadline:
            QUIET["noisy"] += 1
            return


def run_child(impl, job, path, n, threads, python):
    wait_quiet()
    env = dict(os.environ)
    if impl == "lagstat":
        env["OPENBLAS_NUM_THREADS"] = "1"
        env.pop("LAGSTAT_NUM_THREADS", None)
    else:
        env.pop("OPENBLAS_CORETYPE", None)
        env.pop("OPENBLAS_L2_SIZE", None)
    out = "/tmp/lagstat_bench_threads_proj.txt"
    r = subprocess.run([python, "-c", CHILD, impl, job, path, str(n), str(threads), out],
                       env=env, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s %s %s: %s" % (impl, job, path, r.stderr.strip()[-500:]))
    return json.loads(r.stdout.strip().splitlines()[-1])


def best_of(repeat, *args):
    runs = [run_child(*args) for _ in range(repeat)]
    best = min(runs, key=lambda r: r["seconds"])
    return (best["seconds"], max(r["rss_mb"] for r in runs), [r["seconds"] for r in runs],
            min(r["cpu"] for r in runs))


def load_average():
    return os.getloadavg()[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--data-dir", default=DATA)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2, 3, 4])
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--python", default=sys.executable)
    ap.add_argument("--quiet-busy", type=float, default=0.15,
                    help="before each run, wait until the cores are busy less than this share")
    ap.add_argument("--quiet-wait", type=float, default=20.0, help="longest wait, seconds")
    args = ap.parse_args()
    QUIET["busy"], QUIET["wait"] = args.quiet_busy, args.quiet_wait

    start = time.time()
    load_start = load_average()
    rows = []
    for job, title, name, n in JOBS:
        path = file_path(name, args.data_dir)
        mb = os.path.getsize(os.path.join(args.data_dir, name.replace(".gz", ""))) / 1e6
        res = {}
        for t in args.threads:
            res[t] = best_of(args.repeat, "lagstat", job, path, n, t, args.python)
        peers = {}
        if not args.no_peers and not name.endswith(".gz"):
            for p in PEERS:
                try:
                    peers[p] = best_of(args.repeat, p, job, path, n, 0, args.python)
                except RuntimeError as e:
                    peers[p] = str(e)
        rows.append((job, title, name, mb, res, peers))
        print("done: %s" % title, file=sys.stderr)

    t1 = args.threads[0]
    print("Made by `python3 bench/bench_threads.py --repeat %d` on %s (%.0f s); machine: %s, "
          "%d cores; Python %s; 1-minute load %.2f at the start, %.2f at the end.\n"
          % (args.repeat, time.strftime("%Y-%m-%d %H:%M"), time.time() - start, cpu_model(),
             os.cpu_count(), platform.python_version(), load_start, load_average()))
    print("Each run waited for the cores to be less than %.0f%% busy with other work (at most "
          "%.0f s): %d of %d runs started without that.\n"
          % (100 * QUIET["busy"], QUIET["wait"], QUIET["noisy"], QUIET["runs"]))
    print("| job | " + " | ".join("%d thread%s s" % (t, "" if t == 1 else "s")
                                  for t in args.threads)
          + " | " + " | ".join("%d/1" % t for t in args.threads if t != 1)
          + " | MB/s at 2 | CPU s at 1, 2 | peak RSS MB | runs at 2 threads, s |")
    print("|---|" + "---:|" * (2 * len(args.threads) - 1 + 3) + "---|")
    plain_1 = {}
    for job, title, name, mb, res, peers in rows:
        base = res[t1][0]
        if not name.endswith(".gz"):
            plain_1[job + name] = base
        two = res.get(2, res[t1])
        cells = ["%.3f" % res[t][0] for t in args.threads]
        cells += ["%.2fx" % (base / res[t][0]) for t in args.threads if t != 1]
        cells += ["%.0f" % (mb / two[0]), "%.3f, %.3f" % (res[t1][3], two[3]),
                  "%.1f" % max(r[1] for r in res.values()),
                  " ".join("%.3f" % s for s in two[2])]
        print("| %s | %s |" % (title, " | ".join(cells)))
    print()
    gz = [r for r in rows if r[2].endswith(".gz")]
    for job, title, name, mb, res, peers in gz:
        plain = plain_1.get(job + name[:-3])
        if plain:
            print("- %s: 1 thread %.3f s against %.3f s plain, %.2fx; 2 threads %.3f s, %.2fx"
                  % (title, res[t1][0], plain, res[t1][0] / plain, res.get(2, res[t1])[0],
                     res.get(2, res[t1])[0] / plain))
    print()
    print("| job | implementation | wall s | peak RSS MB | lagstat (2 threads) is faster | "
          "uses of the memory |")
    print("|---|---|---:|---:|---:|---:|")
    for job, title, name, mb, res, peers in rows:
        if not peers:
            continue
        two = res.get(2, res[t1])
        print("| %s | lagstat, 2 threads | %.3f | %.1f | | |" % (title, two[0], two[1]))
        for p, r in peers.items():
            if isinstance(r, str):
                print("| %s | %s | failed: %s | | | |" % (title, p, r.replace("|", "/")[:120]))
                continue
            print("| %s | %s + NumPy | %.3f | %.1f | %.2fx | 1/%.1f |"
                  % (title, p, r[0], r[1], r[0] / two[0], r[1] / two[1]))


def cpu_model():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


if __name__ == "__main__":
    main()
