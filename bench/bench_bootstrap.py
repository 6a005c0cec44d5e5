"""The scan's bootstrap: its cost against the plain scan, where that time goes, and the coverage
of its intervals on a triple-well simulation.

    python bench/bench_bootstrap.py cost [--dir /tmp/boot_bench] [--repeat 3] [--replicates 200]
        [--sets 10,500] [--no-profile]
    python bench/bench_bootstrap.py coverage [--runs 200] [--replicates 200]

cost: 20 files of 53 000 frames x 10 columns and 20 of 1 060 frames x 500 columns (the frames
and columns of the 10- and 500-column bench files, cut into files: the bootstrap resamples
files), written once as text; the scan of the lags 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000 with
and without bootstrap=200 (5 folds both), best of --repeat, side by side in one process; then the
CPU time of each step of the refits on one thread, per file set (the 10-column problems take the
stacked eigendecomposition, so only the moments show there).
coverage: independent runs of an overdamped Langevin triple well (20 trajectories of 400 frames
each, features x, x^2, x^3): how often the 95 % interval of t1 covers the mean of the runs'
estimates, at several lags.
"""
import argparse
import os
import time

import numpy as np

LAGS = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000]
SETS = {"10 columns": (20, 53000, 10), "500 columns": (20, 1060, 500)}


def write_set(folder, files, frames, columns):
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(columns)
    mixing = rng.normal(size=(3, columns))
    paths = [os.path.join(folder, "c%d_%02d.txt" % (columns, i)) for i in range(files)]
    for path in paths:
        if os.path.exists(path):
            continue
        latent = np.zeros((frames, 3))
        noise = rng.normal(size=(frames, 3))
        for t in range(1, frames):
            latent[t] = (0.999, 0.99, 0.9) * latent[t - 1] + noise[t]
        np.savetxt(path + ".part", latent @ mixing + 0.3 * rng.normal(size=(frames, columns)), fmt="%.8g")
        os.replace(path + ".part", path)
    return paths


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def steps(paths, replicates):
    """CPU seconds of each step of the resamples' refits, on one thread (the interpreter lock
    held, or not, as marked), from the groups of one scan of `paths`."""
    import lagstat_tica
    from lagstat_tica import _bootstrap as boot

    caught = {}
    solve = boot.replicate_eigenvalues

    def catch(groups, idx, epsilon, workers=None):
        caught["args"] = groups, idx, epsilon
        return solve(groups, idx[:1], epsilon, 1).repeat(len(idx), axis=0)

    boot.replicate_eigenvalues = catch
    try:
        lagstat_tica.scan(paths, LAGS, bootstrap=replicates, seed=1)
    finally:
        boot.replicate_eigenvalues = solve
    spent = {}
    native = boot._native

    def timed(name, fn):
        def run(*a, **k):
            start = time.process_time()
            try:
                return fn(*a, **k)
            finally:
                spent[name] = spent.get(name, 0.0) + time.process_time() - start
        return run

    class steps_of_native:
        replicate_moments = staticmethod(timed("moments (native)", native.replicate_moments))
        cholesky_exists = staticmethod(timed("Cholesky test (native)", native.cholesky_exists))
        tridiagonal_eigenvalues = staticmethod(timed("dsterf (native)", native.tridiagonal_eigenvalues))

    saved = boot._native, boot._tridiagonal
    boot._native, boot._tridiagonal = steps_of_native, timed("dpotrf, dsygst, dsytrd (lock held)", boot._tridiagonal)
    try:
        start = time.process_time()
        solve(*caught["args"], workers=1)
        total = time.process_time() - start
    finally:
        boot._native, boot._tridiagonal = saved
    problems = caught["args"][1].shape[0] * len(LAGS)
    lines = ["| %s | %.2f s | %.2f ms |" % (k, v, 1e3 * v / problems) for k, v in spent.items()]
    return ["| step | CPU | per problem |", "|---|---|---|"] + lines + [
        "| all, one thread | %.2f s | %.2f ms |" % (total, 1e3 * total / problems)]


def cost(args):
    import lagstat_tica

    print("uptime:", os.popen("uptime").read().strip())
    print("| data | plain scan | bootstrap=%d | ratio |" % args.replicates)
    print("|---|---|---|---|")
    profiles = []
    for name, (files, frames, columns) in SETS.items():
        if args.sets and str(columns) not in args.sets.split(","):
            continue
        paths = write_set(args.dir, files, frames, columns)
        plain = best(lambda: lagstat_tica.scan(paths, LAGS), args.repeat)
        boot = best(lambda: lagstat_tica.scan(paths, LAGS, bootstrap=args.replicates, seed=1), args.repeat)
        print("| %d files x %d frames x %d columns | %.3f s | %.3f s | %.2fx |" % (
            files, frames, columns, plain, boot, boot / plain), flush=True)
        if args.no_profile:
            continue
        profiles.append((name, "\n".join(steps(paths, args.replicates))))
    print("uptime:", os.popen("uptime").read().strip())
    for name, text in profiles:
        print("\n%s, the refits' steps:\n%s" % (name, text))


def triple_well(runs, trajectories, frames, seed, substeps=10, dt=2e-3, height=20.0):
    rng = np.random.default_rng(seed)
    x = rng.choice([-1.0, 0.0, 1.0], size=(runs, trajectories))
    out = np.empty((frames, runs, trajectories))
    for t in range(frames):
        for _ in range(substeps):
            x = x - dt * 2 * height * x * (x * x - 1) * (3 * x * x - 1) + np.sqrt(2 * dt) * rng.normal(size=x.shape)
        out[t] = x
    out = np.moveaxis(out, 0, 2)
    return np.stack([out, out ** 2, out ** 3], axis=-1)


def coverage(args):
    import lagstat_tica

    lags = [5, 10, 25, 50]
    data = triple_well(args.runs, 20, 400, seed=args.seed)
    estimates, lower, upper = [], [], []
    for k, run in enumerate(data):
        result = lagstat_tica.scan(list(run), lags, folds=0, bootstrap=args.replicates, seed=k)
        estimates.append([ts[0] for ts in result.timescales])
        lower.append(result.timescales_ci[:, 0, 0])
        upper.append(result.timescales_ci[:, 0, 1])
    estimates, lower, upper = map(np.array, (estimates, lower, upper))
    mean = estimates.mean(axis=0)
    print("%d runs of 20 trajectories x 400 frames, %d resamples each" % (args.runs, args.replicates))
    print("| lag | mean t1 (frames) | spread of t1 (sd) | mean interval width | coverage of the mean |")
    print("|---|---|---|---|---|")
    for i, lag in enumerate(lags):
        covered = np.mean((lower[:, i] <= mean[i]) & (mean[i] <= upper[:, i]))
        print("| %d | %.1f | %.1f | %.1f | %.1f %% |" % (lag, mean[i], estimates[:, i].std(),
                                                         np.mean(upper[:, i] - lower[:, i]), 100 * covered))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("what", choices=("cost", "coverage"))
    p.add_argument("--dir", default="/tmp/boot_bench")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--sets", help="columns of the file sets to time: 10, 500 or 10,500 (default: both)")
    p.add_argument("--no-profile", action="store_true", help="the times only")
    p.add_argument("--replicates", type=int, default=200)
    p.add_argument("--runs", type=int, default=200)
    p.add_argument("--seed", type=int, default=4)
    args = p.parse_args()
    cost(args) if args.what == "cost" else coverage(args)


if __name__ == "__main__":
    main()
