"""One-read TICA fit and lag scan against today's three-read fit and against polars + deeptime.

    python bench/bench_scan.py [FILE ...] [--repeat 3] [--cases fit_one,...] --today-python PY

"today" is the three-read fit of the previous release (two lagstat.run passes and a read of the
edge frames per lag), run by the interpreter PY that has it installed (a venv of `git archive
main`, say). Every case runs in a process of its own (best wall time of --repeat runs, peak RSS of that
process from wait4). The peers run with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, as a user
would run them. Prints a Markdown table per file for bench/RESULTS.md.
"""
import argparse
import os
import subprocess
import sys
import time

LAG = 10
LAGS = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000]
CASES = ("fit_one", "fit_today", "fit_peer", "scan_one", "scan_today", "scan_peer")
PEERS = ("fit_peer", "scan_peer")


def _polars_load(path):
    import polars as pl

    frame = pl.read_csv(path, separator=" ", has_header=False, infer_schema_length=0)
    return frame.select(pl.all().cast(pl.Float64)).to_numpy()


def run_case(case, path):
    """One timed run of a case in this process; returns a short digest of the result."""
    if case in ("fit_one", "fit_today"):
        from lagstat_tica import TICA

        return TICA(LAG).fit([path]).eigenvalues_[0]
    if case == "scan_one":
        import lagstat_tica

        return lagstat_tica.scan([path], LAGS, folds=0).eigenvalues[-1][0]
    if case == "scan_today":
        from lagstat_tica import TICA

        return [TICA(lag).fit([path]).eigenvalues_[0] for lag in LAGS][-1]
    from deeptime.decomposition import TICA as PeerTICA

    data = _polars_load(path)
    if case == "fit_peer":
        return PeerTICA(lagtime=LAG).fit_fetch(data).singular_values[0]
    return [PeerTICA(lagtime=lag).fit_fetch(data).singular_values[0] for lag in LAGS][-1]


def measure(case, path, repeat, today_python):
    """(best seconds, peak RSS in MiB, digest) of `repeat` runs, each in a fresh process."""
    env = dict(os.environ)
    if case in PEERS:
        env.pop("OPENBLAS_CORETYPE", None)
        env.pop("OPENBLAS_L2_SIZE", None)
    best, peak, digest = float("inf"), 0.0, None
    for _ in range(repeat):
        python = today_python if case.endswith("_today") else sys.executable
        proc = subprocess.Popen([python, __file__, "--child", case, path], env=env, stdout=subprocess.PIPE,
                                text=True)
        out = proc.stdout.read()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode:
            raise RuntimeError("%s on %s failed (%d)" % (case, path, proc.returncode))
        seconds, digest = out.split()
        best = min(best, float(seconds))
        peak = max(peak, usage.ru_maxrss / 1024.0)
    return best, peak, digest


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("files", nargs="*", default=["/work/data/t10.txt", "/work/data/t500.txt"])
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--cases", default=",".join(CASES))
    p.add_argument("--today-python", default=sys.executable, help="interpreter with the previous release")
    p.add_argument("--child", nargs=2, metavar=("CASE", "FILE"), help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        # imports outside the timing: a long-running job pays them once
        import lagstat_tica._tica  # noqa: F401

        if args.child[0] == "scan_one":
            import lagstat_tica._scan  # noqa: F401

        if args.child[0] in PEERS:
            import deeptime.decomposition  # noqa: F401
            import polars  # noqa: F401
        start = time.perf_counter()
        digest = run_case(*args.child)
        print("%.4f %.17g" % (time.perf_counter() - start, digest))
        return
    cases = args.cases.split(",")
    for path in args.files:
        rows = {c: measure(c, path, args.repeat, args.today_python) for c in cases}
        print("\n%s, %.1f MB; fit at lag %d, scan of lags %s\n" % (path, os.path.getsize(path) / 1e6, LAG, LAGS))
        print("| case | best of %d (s) | peak RSS (MiB) | leading eigenvalue |" % args.repeat)
        print("|---|---|---|---|")
        for c, (s, m, d) in rows.items():
            print("| %s | %.3f | %.0f | %s |" % (c, s, m, d))
        for a, b in (("fit_one", "fit_today"), ("fit_one", "fit_peer"), ("scan_one", "scan_today")):
            if a in rows and b in rows:
                print("%s vs %s: leading eigenvalues differ by %.2g relative" % (
                    a, b, abs(float(rows[a][2]) / float(rows[b][2]) - 1)))
        for one, others in (("fit_one", ("fit_today", "fit_peer")), ("scan_one", ("scan_today", "scan_peer"))):
            for other in others:
                if one in rows and other in rows:
                    print("%s vs %s: %.2fx faster, %.2fx the memory" % (
                        one, other, rows[other][0] / rows[one][0], rows[one][1] / rows[other][1]))


if __name__ == "__main__":
    main()
