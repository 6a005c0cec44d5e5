"""TICA.fit and a 10-lag scan from .npy against deeptime on the same arrays, and fits over 4 GB
.npy and HDF5 files in flat memory.

    python3 bench/bench_arrays.py [--dir DIR] [--big] [--repeat N]

Every case runs in its own process (imports excluded from the time: lagstat_tica's TICA and scan
are imported before, as SciPy with them); peak RSS is that process's
VmHWM. deeptime gets the arrays as np.load gives them (the whole file in memory) and, for its
out-of-core route, partial_fit over chunks of a memory map. Its processes run without the
OPENBLAS_* overrides of this machine (a current NumPy is slowed by them), and so do lagstat's,
whose fit solves its eigenproblems with the same SciPy (with them a 500 x 500 eigh took 1.5 s).
"""
import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

LAGS = [1, 2, 3, 5, 7, 10, 15, 20, 30, 50]
LAG = 10

CASES = {
    "lagstat fit": """
from lagstat_tica import TICA
t = time.perf_counter(); m = TICA(lag=LAG).fit(PATH, threads=2); t = time.perf_counter() - t
out = m.eigenvalues_
""",
    "lagstat scan": """
from lagstat_tica import scan
t = time.perf_counter(); r = scan(PATH, LAGS, folds=0, threads=2); t = time.perf_counter() - t
out = r.eigenvalues[LAGS.index(LAG)]
""",
    "deeptime fit (np.load)": """
from deeptime.decomposition import TICA
t = time.perf_counter(); x = np.load(PATH); m = TICA(lagtime=LAG).fit(x).fetch_model(); t = time.perf_counter() - t
out = m.singular_values
""",
    "deeptime scan (np.load, a fit per lag)": """
from deeptime.decomposition import TICA
t = time.perf_counter(); x = np.load(PATH)
models = [TICA(lagtime=lag).fit(x).fetch_model() for lag in LAGS]; t = time.perf_counter() - t
out = models[LAGS.index(LAG)].singular_values
""",
    "deeptime partial_fit (memory map)": """
from deeptime.decomposition import TICA
t = time.perf_counter(); x = np.load(PATH, mmap_mode="r"); est = TICA(lagtime=LAG)
step = max(LAG + 1, (16 << 20) // (8 * x.shape[1]))
for at in range(0, len(x) - LAG, step):
    end = min(at + step, len(x) - LAG)
    est.partial_fit((np.asarray(x[at:end]), np.asarray(x[at + LAG:end + LAG])))
m = est.fetch_model(); t = time.perf_counter() - t
out = m.singular_values
""",
}

RUNNER = """
import json, resource, sys, time
import numpy as np
PATH, LAG, LAGS = {path!r}, {lag}, {lags}
{body}
peak = 0
for line in open("/proc/self/status"):
    if line.startswith("VmHWM:"):
        peak = int(line.split()[1]) / 1024
print(json.dumps({{"s": t, "peak": peak, "out": [float(v) for v in np.sort(np.abs(out))[::-1][:3]]}}))
"""


def run_case(name, path, peer):
    env = dict(os.environ)
    # lagstat's fit solves its eigenproblems with the same SciPy: both sides run without them.
    for key in [k for k in env if k.startswith("OPENBLAS_")]:
        del env[key]
    code = RUNNER.format(path=path, lag=LAG, lags=LAGS, body=CASES[name])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (name, proc.stderr[-2000:]))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def make_npy(path, frames, cols, seed=0):
    """A slow mixed AR(1) process, written in blocks (a 4 GB file is never in memory whole)."""
    if os.path.exists(path):
        return path
    rng = np.random.default_rng(seed)
    mix = rng.normal(size=(cols, cols)) / np.sqrt(cols)
    out = np.lib.format.open_memmap(path + ".part", mode="w+", dtype=np.float64, shape=(frames, cols))
    from scipy.signal import lfilter

    state = np.zeros((1, cols))
    block = 1 << 16
    for at in range(0, frames, block):
        m = min(block, frames - at)
        y, state = lfilter([1.0], [1.0, -0.95], rng.normal(size=(m, cols)), axis=0, zi=state)
        out[at:at + m] = y @ mix
    out.flush()
    del out
    os.replace(path + ".part", path)
    return path


def make_h5(path, npy_path):
    import h5py

    if os.path.exists(path):
        return path
    x = np.load(npy_path, mmap_mode="r")
    with h5py.File(path + ".part", "w") as f:
        d = f.create_dataset("/traj/x", shape=x.shape, dtype=x.dtype, chunks=(1 << 14, x.shape[1]))
        for at in range(0, len(x), 1 << 20):
            d[at:at + (1 << 20)] = x[at:at + (1 << 20)]
    os.replace(path + ".part", path)
    return path


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default="/tmp/lagstat-bench-arrays")
    ap.add_argument("--big", action="store_true", help="also the 4 GB .npy and HDF5 fits")
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--only-big", action="store_true", help="the 4 GB fits alone")
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    print("load average at the start: %.2f %.2f %.2f" % os.getloadavg())
    files = {} if args.only_big else {10: make_npy(os.path.join(args.dir, "c10.npy"), 1_250_000, 10),
             500: make_npy(os.path.join(args.dir, "c500.npy"), 25_000, 500, seed=1)}
    args.big = args.big or args.only_big
    for cols, path in files.items():
        print("\n### %d columns, %.1f MB .npy\n" % (cols, os.path.getsize(path) / 1e6))
        print("| job | implementation | wall s | peak RSS MB | lagstat is | largest |ev| deviation |")
        print("|---|---|---:|---:|---:|---:|")
        jobs = (("fit", "lagstat fit", ["deeptime fit (np.load)", "deeptime partial_fit (memory map)"]),
                ("10-lag scan", "lagstat scan", ["deeptime scan (np.load, a fit per lag)"]))
        for job, ours, peers in jobs:
            mine = min((run_case(ours, path, False) for _ in range(args.repeat)), key=lambda r: r["s"])
            print("| %s | lagstat | %.3f | %.0f |  |  |" % (job, mine["s"], mine["peak"]))
            for peer in peers:
                theirs = min((run_case(peer, path, True) for _ in range(args.repeat)), key=lambda r: r["s"])
                dev = float(np.max(np.abs(np.subtract(mine["out"], theirs["out"]))))
                print("| %s | %s | %.3f | %.0f | %.1fx faster, %.1fx less memory | %.1e |" % (
                    job, peer, theirs["s"], theirs["peak"], theirs["s"] / mine["s"],
                    theirs["peak"] / mine["peak"], dev))
    if args.big:
        big = make_npy(os.path.join(args.dir, "big.npy"), 50_000_000, 10, seed=2)
        h5 = make_h5(os.path.join(args.dir, "big.h5"), big)
        print("\n### 4 GB inputs, 10 columns\n")
        print("| input | wall s | peak RSS MB |")
        print("|---|---:|---:|")
        for label, path in ((".npy", big), ("HDF5 dataset", h5 + ":/traj/x")):
            r = run_case("lagstat fit", path, False)
            size = os.path.getsize(path.split(":")[0]) / 1e9
            print("| %s (%.2f GB) | %.1f | %.0f |" % (label, size, r["s"], r["peak"]))
    print("\nload average at the end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    t0 = time.perf_counter()
    main()
    print("(%.0f s in all)" % (time.perf_counter() - t0))
