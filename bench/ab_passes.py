#!/usr/bin/env python3
"""Two builds of the passes side by side: `lagstat_pass_threads` (bench/pass_threads.cpp) of a
git revision ("before", main by default) and of the work tree ("after"), on the same files in the
page cache, in interleaved rounds of fresh processes, each run started once the cores are idle.

    python3 bench/ab_passes.py                          # main against the work tree
    python3 bench/ab_passes.py --before f31bbae --rounds 3 --jobs pass1:1,pass1:2

Builds go to build/ab/<name> (Release, ccache when present, -DLAGSTAT_BUILD_BENCH=ON); the
files are bench/run_bench.py's generator's (bench/data, made once). Jobs are job:threads pairs
of pass1 and stream on the 10-column file and pass2 on the 500-column one. Prints a Markdown
table: each job's median over the rounds of its best-of-`--repeat` wall and CPU seconds (all
threads), the rates, the ratio of after to before, and each build's 2-thread scaling, with the
machine's load.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
sys.path.insert(0, BENCH_DIR)

FILES = {10: ("traj_10c_100mb.txt", 1010), 500: ("traj_500c_100mb.txt", 1500)}
JOB_COLUMNS = {"pass1": 10, "stream": 10, "pass2": 500}
DEFAULT_JOBS = "pass1:1,pass1:2,stream:1,stream:2,pass2:1,pass2:2"


def data_file(columns, data_dir):
    import run_bench

    name, seed = FILES[columns]
    path = os.path.join(data_dir, name)
    if not os.path.exists(path):
        os.makedirs(data_dir, exist_ok=True)
        print("generating %s" % path, file=sys.stderr)
        run_bench.generate(path, columns, 100e6, seed)
    return path


def build(name, source, build_root):
    """Configures and builds lagstat_pass_threads of source; returns the program's path."""
    out = os.path.join(build_root, name)
    cmd = ["cmake", "-S", source, "-B", out, "-DCMAKE_BUILD_TYPE=Release",
           "-DLAGSTAT_BUILD_MODULE=OFF", "-DLAGSTAT_BUILD_TESTS=OFF", "-DLAGSTAT_BUILD_BENCH=ON"]
    if shutil.which("ccache"):
        cmd.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    if shutil.which("ninja") and not os.path.exists(os.path.join(out, "CMakeCache.txt")):
        cmd += ["-G", "Ninja"]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", out, "--target", "lagstat_pass_threads", "-j", "2"],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(out, "bench", "lagstat_pass_threads")


def source_of(revision, build_root):
    """The tree of a git revision, exported once under build_root."""
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", revision], check=True,
                            capture_output=True, text=True).stdout.strip()
    src = os.path.join(build_root, "src-" + commit)
    if not os.path.exists(src):
        os.makedirs(src + ".part", exist_ok=True)
        archive = subprocess.run(["git", "-C", ROOT, "archive", commit], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src + ".part"], input=archive, check=True)
        os.replace(src + ".part", src)
    return commit, src


def busy_fraction(interval=0.5):
    def sample():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return sum(v), v[3] + v[4]
    t0, i0 = sample()
    time.sleep(interval)
    t1, i1 = sample()
    return 1.0 - (i1 - i0) / max(1, t1 - t0)


def wait_quiet(args, stats):
    deadline = time.time() + args.quiet_wait
    stats["runs"] += 1
    while busy_fraction() > args.quiet_busy:
        if time.time() > deadline:
            stats["noisy"] += 1
            return


def run(program, path, job, threads, repeat, out):
    env = dict(os.environ)
    env.pop("LAGSTAT_KERNEL_ISA", None)
    r = subprocess.run([program, path, job, "--threads", str(threads), "--repeat", str(repeat),
                        "--out", out], capture_output=True, text=True, env=env, check=True)
    m = re.search(r"wall ([0-9.]+) s, cpu ([0-9.]+) s", r.stdout)
    return float(m.group(1)), float(m.group(2))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--before", default="main", help="git revision (default main)")
    ap.add_argument("--after", default=None, help="git revision (default: the work tree)")
    ap.add_argument("--jobs", default=DEFAULT_JOBS)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=5, help="runs in each process, best counts")
    ap.add_argument("--data-dir", default=os.path.join(BENCH_DIR, "data"))
    ap.add_argument("--build-root", default=os.path.join(ROOT, "build", "ab"))
    ap.add_argument("--quiet-busy", type=float, default=0.10)
    ap.add_argument("--quiet-wait", type=float, default=30.0)
    args = ap.parse_args()

    before_name, before_src = source_of(args.before, args.build_root)
    if args.after is None:
        after_name, after_src = "work tree", ROOT
    else:
        after_name, after_src = source_of(args.after, args.build_root)
    programs = {"before": build("before-" + before_name, before_src, args.build_root),
                "after": build("after-" + after_name.replace(" ", "-"), after_src,
                               args.build_root)}
    jobs = [(j.split(":")[0], int(j.split(":")[1])) for j in args.jobs.split(",")]
    paths = {c: data_file(c, args.data_dir) for c in {JOB_COLUMNS[j] for j, _ in jobs}}
    out = "/tmp/lagstat_ab_passes_%d.txt" % os.getpid()
    stats = {"runs": 0, "noisy": 0}
    load_start = os.getloadavg()[0]
    results = {(j, t, b): [] for j, t in jobs for b in programs}
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    for r in range(args.rounds):
        for j, t in jobs:
            for b in (("before", "after") if r % 2 == 0 else ("after", "before")):
                wait_quiet(args, stats)
                results[(j, t, b)].append(
                    run(programs[b], paths[JOB_COLUMNS[j]], j, t, args.repeat, out))
        print("round %d of %d done" % (r + 1, args.rounds), file=sys.stderr)
    if os.path.exists(out):
        os.remove(out)

    def median(j, t, b, k):
        return statistics.median(x[k] for x in results[(j, t, b)])

    print("`python3 bench/ab_passes.py --before %s --rounds %d --repeat %d`, %s: before = %s, "
          "after = %s; 1-minute load %.2f at the start, %.2f at the end; %d of %d runs started "
          "with the cores more than %.0f%% busy.\n"
          % (args.before, args.rounds, args.repeat, started, before_name, after_name, load_start,
             os.getloadavg()[0], stats["noisy"], stats["runs"], 100 * args.quiet_busy))
    print("| job | threads | before: wall / CPU s | after: wall / CPU s | before GB/s | after GB/s"
          " | after / before |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for j, t in jobs:
        size = os.path.getsize(paths[JOB_COLUMNS[j]]) / 1e9
        bw, bc = median(j, t, "before", 0), median(j, t, "before", 1)
        aw, ac = median(j, t, "after", 0), median(j, t, "after", 1)
        print("| %s | %d | %.4f / %.4f | %.4f / %.4f | %.2f | %.2f | %.2fx |"
              % (j, t, bw, bc, aw, ac, size / bw, size / aw, bw / aw))
    print()
    for j in dict.fromkeys(j for j, _ in jobs):
        if (j, 1) in jobs and (j, 2) in jobs:
            print("- %s at 2 threads against 1: before %.2fx, after %.2fx" % (
                j, median(j, 1, "before", 0) / median(j, 2, "before", 0),
                median(j, 1, "after", 0) / median(j, 2, "after", 0)))


if __name__ == "__main__":
    main()
