#!/usr/bin/env python3
"""The benchmark suite: one command that generates the trajectories, builds the literal baseline,
times every case side by side on the same files and writes bench/RESULTS.md.

    python3 bench/run_bench.py                      # full run, ~100 MB per file
    python3 bench/run_bench.py --size-mb 10 --repeat 1 --no-write   # quick look

Files (bench/data/, made once and reused): trajectories of 10, 100 and 500 columns of "%.6f" text,
one space between fields, about --size-mb each; the 10-column one gzipped with gzip -6; the
10-column one repeated ten times, for the memory check.

Cases, each in a subprocess of its own, which reports its own peak RSS (VmHWM):
  lagstat   run pass 1 (mean), run pass 2 (var, cov, tcov at lag 1), stream (10 projections)
  baseline  the same three jobs done by the literal reference reader and kernels (C++, stdio)
  loadtxt   numpy.loadtxt, then NumPy computes the same sums / projection (and writes it, "%f")
  pandas    pandas.read_csv(sep=r"\\s+", header=None), then NumPy (to_csv writes the projection)
  pyarrow   pyarrow.csv.read_csv(delimiter " "), then NumPy (np.savetxt writes the projection)
The peers' "load" rows time reading the file into memory alone. Every timing is the wall time of
the job inside its process (interpreter start, imports and the peers' one-time warm-up excluded),
best of --repeat runs (--peer-repeat for the peers), with the files in the page cache. lagstat's sums are checked bit for bit against the baseline's, and
its projection files byte for byte.

Accumulator updates (one multiply and add into one element) per frame of n columns: pass 1 n;
pass 2 n + n(n+1)/2 + n^2; stream n * 10.
"""
import argparse
import datetime
import hashlib
import json
import os
import platform
import shlex
import shutil
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
MAX_PROJ = 10
LAG = 1
COLUMNS = (10, 100, 500)
OPS = ("pass1", "pass2", "stream")
OP_TITLES = {
    "load": "load only",
    "pass1": "pass 1 (mean)",
    "pass2": "pass 2 (var, cov, tcov lag 1)",
    "stream": "stream (%d projections)" % MAX_PROJ,
}
IMPLS = ("lagstat", "baseline", "loadtxt", "pandas", "pyarrow")
IMPL_TITLES = {
    "lagstat": "lagstat",
    "baseline": "literal baseline (C++)",
    "loadtxt": "numpy.loadtxt + NumPy",
    "pandas": "pandas.read_csv + NumPy",
    "pyarrow": "pyarrow.csv + NumPy",
}
# Case groups --cases selects from: the implementations, plus the gzip and long-file rows.
CASE_GROUPS = IMPLS + ("gzip", "long")
PEERS = ("loadtxt", "pandas", "pyarrow")
THREADS_HEADING = "## Threads"


def updates_per_frame(op, n):
    if op == "pass1":
        return n
    if op == "pass2":
        return n + n * (n + 1) // 2 + n * n
    if op == "stream":
        return n * MAX_PROJ
    return 0


# ---------------------------------------------------------------------------------------------
# Data


def generate(path, n, size_bytes, seed):
    """Writes a trajectory of n columns, about size_bytes of '%.6f' text, and returns its frame
    count and the mean of the generated values (the centring vector of pass 2 and stream)."""
    import numpy as np

    rng = np.random.default_rng(seed)
    offset = rng.uniform(-5.0, 5.0, n)
    scale = rng.uniform(0.2, 8.0, n)
    omega = rng.uniform(1e-4, 5e-2, n)
    phase = rng.uniform(0.0, 2.0 * np.pi, n)
    line = " ".join(["%.6f"] * n) + "\n"
    block = max(1, 200000 // n)
    total = np.zeros(n)
    frames = 0
    written = 0
    tmp = path + ".part"
    with open(tmp, "w") as f:
        while written < size_bytes:
            t = np.arange(frames, frames + block, dtype=np.float64)[:, None]
            x = offset + scale * (np.sin(omega * t + phase) + 0.5 * rng.standard_normal((block, n)))
            text = (line * block) % tuple(x.ravel().tolist())
            f.write(text)
            written += len(text)
            total += x.sum(axis=0)
            frames += block
    os.replace(tmp, path)
    return frames, total / frames


def prepare_data(args, log):
    """Makes the files the selected cases need, unless present; returns their descriptions."""
    import numpy as np

    os.makedirs(args.data_dir, exist_ok=True)
    size_bytes = int(args.size_mb * 1e6)
    tag = ("%g" % args.size_mb).replace(".", "p")
    files = {}
    for n in args.columns:
        path = os.path.join(args.data_dir, "traj_%dc_%smb.txt" % (n, tag))
        meta_path = path + ".json"
        mean_path = path + ".mean.f64"
        weights_path = os.path.join(args.data_dir, "weights_%dc.f64" % n)
        if not (os.path.exists(path) and os.path.exists(meta_path) and os.path.exists(mean_path)):
            log("generating %s" % path)
            frames, mean = generate(path, n, size_bytes, seed=1000 + n)
            mean.astype(np.float64).tofile(mean_path)
            with open(meta_path, "w") as f:
                json.dump({"frames": frames, "columns": n}, f)
        if not os.path.exists(weights_path):
            rng = np.random.default_rng(2000 + n)
            (rng.standard_normal((n, n)) / np.sqrt(n)).tofile(weights_path)
        with open(meta_path) as f:
            meta = json.load(f)
        files[n] = {
            "path": path,
            "columns": n,
            "frames": meta["frames"],
            "bytes": os.path.getsize(path),
            "mean": mean_path,
            "weights": weights_path,
        }
    if 10 in files and "gzip" in args.cases:
        plain = files[10]
        gz = plain["path"] + ".gz"
        if not os.path.exists(gz):
            log("compressing %s (gzip -6)" % plain["path"])
            with open(gz + ".part", "wb") as out:
                subprocess.run(["gzip", "-6", "-c", plain["path"]], stdout=out, check=True)
            os.replace(gz + ".part", gz)
        files["gz"] = dict(plain, path=gz, bytes=plain["bytes"], compressed=os.path.getsize(gz))
    if 10 in files and "long" in args.cases:
        plain = files[10]
        longer = plain["path"].replace(".txt", "_x10.txt")
        if not os.path.exists(longer) or os.path.getsize(longer) != 10 * plain["bytes"]:
            log("writing %s (the 10-column file ten times over)" % longer)
            with open(longer + ".part", "wb") as out:
                for _ in range(10):
                    with open(plain["path"], "rb") as src:
                        shutil.copyfileobj(src, out, 1 << 22)
            os.replace(longer + ".part", longer)
        files["long"] = dict(plain, path=longer, bytes=10 * plain["bytes"],
                             frames=10 * plain["frames"])
    return files


# ---------------------------------------------------------------------------------------------
# Children: one job each, timed inside the process.


def load_peer(impl, path):
    import numpy as np

    if impl == "loadtxt":
        return np.loadtxt(path, dtype=np.float64, ndmin=2)
    if impl == "pandas":
        import pandas as pd

        return pd.read_csv(path, sep=r"\s+", header=None, dtype=np.float64).to_numpy()
    if impl == "pyarrow":
        import pyarrow.csv as pc

        table = pc.read_csv(
            path,
            read_options=pc.ReadOptions(autogenerate_column_names=True),
            parse_options=pc.ParseOptions(delimiter=" "),
        )
        return np.column_stack([column.to_numpy() for column in table.columns])
    raise ValueError(impl)


def peak_rss_kib():
    """VmHWM of this process: its own peak, where ru_maxrss would also count the parent's RSS
    at the time of the fork that made it."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def child(case):
    result = child_job(case)
    result["peak_rss_kib"] = peak_rss_kib()
    return result


def warm_up(impl, data_dir):
    """Reads a two-line file, so that a peer's one-time initialisation (thread pools, lazily
    loaded converters) is not timed, as imports are not."""
    path = os.path.join(data_dir, "warm_up_%d.txt" % os.getpid())
    with open(path, "w") as f:
        f.write("1.000000 2.000000\n3.000000 4.000000\n")
    try:
        load_peer(impl, path)
    finally:
        os.remove(path)


def child_job(case):
    import numpy as np

    impl, op, f = case["impl"], case["op"], case["file"]
    n = f["columns"]
    mean = np.fromfile(f["mean"], dtype=np.float64)
    weights = np.fromfile(f["weights"], dtype=np.float64).reshape(n, n)
    if impl == "lagstat":
        import lagstat

        d = {} if op == "pass1" else {"mean": mean.copy()}
        start = time.perf_counter()
        if op == "pass1":
            lagstat.run(f["path"], d, 1, 0, 0, 0, LAG)
        elif op == "pass2":
            lagstat.run(f["path"], d, 0, 1, 1, 1, LAG)
        else:
            lagstat.stream(f["path"], case["out"], mean, weights, MAX_PROJ, 0)
        seconds = time.perf_counter() - start
        frames = int(d["samples"]) if op != "stream" else None
        if case.get("dump"):
            if op == "pass1":
                parts = [d["mean"], d["samples"]]
            else:
                parts = [d["var"], d["cov"], d["tcov"], d["samples"], d["tcov_samples"]]
            np.concatenate([np.ravel(p) for p in parts]).astype(np.float64).tofile(case["dump"])
        return {"seconds": seconds, "frames": frames}

    warm_up(impl, os.path.dirname(f["path"]))
    start = time.perf_counter()
    x = load_peer(impl, f["path"])
    if op == "pass1":
        x.sum(axis=0)
    elif op == "pass2":
        xc = x - mean
        (xc * xc).sum(axis=0)
        xc.T @ xc
        xc[:-LAG].T @ xc[LAG:]
    elif op == "stream":
        y = (x - mean) @ weights[:, :MAX_PROJ]
        if impl == "pandas":
            import pandas as pd

            pd.DataFrame(y).to_csv(case["out"], sep=" ", header=False, index=False,
                                   float_format="%f")
        else:
            np.savetxt(case["out"], y, fmt="%f", delimiter=" ")
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "frames": int(x.shape[0])}


# ---------------------------------------------------------------------------------------------
# Parent


def run_process(cmd):
    """Runs cmd and returns its stdout."""
    import tempfile

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(cmd, stdout=out, stderr=err)
        proc.wait()
        out.seek(0)
        err.seek(0)
        if proc.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (
                " ".join(cmd), proc.returncode, err.read().decode(errors="replace").strip()))
        return out.read().decode()


def run_case(args, impl, op, f, out=None, dump=None):
    if impl == "baseline":
        if op == "pass1":
            cmd = [args.baseline, "pass1", f["path"]]
        elif op == "pass2":
            cmd = [args.baseline, "pass2", f["path"], f["mean"], "--lag", str(LAG)]
        else:
            cmd = [args.baseline, "stream", f["path"], out, f["mean"], f["weights"], str(MAX_PROJ)]
        if dump:
            cmd += ["--dump", dump]
    else:
        case = {"impl": impl, "op": op, "file": f, "out": out, "dump": dump}
        cmd = [sys.executable, os.path.abspath(__file__), "--child", json.dumps(case)]
    result = json.loads(run_process(cmd).strip().splitlines()[-1])
    result["rss"] = result["peak_rss_kib"] * 1024
    return result


def best_of(args, impl, op, f, out=None, dump=None):
    best = None
    for i in range(args.peer_repeat if impl in PEERS else args.repeat):
        r = run_case(args, impl, op, f, out=out, dump=dump if i == 0 else None)
        if best is None or r["seconds"] < best["seconds"]:
            best = dict(r, rss=max(r["rss"], best["rss"]) if best else r["rss"])
        elif r["rss"] > best["rss"]:
            best["rss"] = r["rss"]
    return best


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 22), b""):
            h.update(chunk)
    return h.hexdigest()


def same_doubles(a_path, b_path):
    """Bitwise comparison of two raw double dumps; the first mismatch in hexfloat, or None."""
    import numpy as np

    a = np.fromfile(a_path, dtype=np.float64)
    b = np.fromfile(b_path, dtype=np.float64)
    if a.shape != b.shape:
        return "lengths differ: %d and %d doubles" % (a.size, b.size)
    diff = np.flatnonzero(a.view(np.uint64) != b.view(np.uint64))
    if diff.size:
        i = diff[0]
        return "%d elements differ, first at %d: %s vs %s" % (
            diff.size, i, float(a[i]).hex(), float(b[i]).hex())
    return None


def probe_aligned(impl, data_dir):
    """Can the peer read whitespace-aligned columns (runs of spaces, leading blanks)?"""
    import numpy as np

    path = os.path.join(data_dir, "aligned_probe.txt")
    want = np.array([[1.5, -2.25, 3.0], [-4.0, 5.125, -6.5]])
    with open(path, "w") as f:
        for row in want:
            f.write("".join("%12.6f" % v for v in row) + "\n")
    try:
        got = load_peer(impl, path)
        if got.shape == want.shape and np.array_equal(got, want):
            return None
        return "reads them wrongly (shape %s instead of %s)" % (got.shape, want.shape)
    except Exception as e:  # the peer's own parse error is the finding
        return "fails: %s" % str(e).strip().splitlines()[0][:120]
    finally:
        os.remove(path)


def build_baseline(args, log):
    build_dir = args.build_dir
    cmd = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
           "-DCMAKE_CXX_FLAGS_RELEASE=" + args.baseline_flags,
           "-DLAGSTAT_BUILD_MODULE=OFF", "-DLAGSTAT_BUILD_TESTS=OFF", "-DLAGSTAT_BUILD_BENCH=ON"]
    if shutil.which("ninja") and not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        cmd += ["-G", "Ninja"]
    log("building the literal baseline in %s" % build_dir)
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "lagstat_baseline"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bench", "lagstat_baseline")


def command_output(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout
    except OSError:
        return ""


def machine_description(args):
    lines = []
    lscpu = command_output(["lscpu"])
    info = dict(line.split(":", 1) for line in lscpu.splitlines() if ":" in line)
    model = info.get("Model name", platform.processor()).strip()
    flags = info.get("Flags", "").split()
    isa = [x for x in ("avx2", "avx512f", "avx512dq", "avx512vl") if x in flags]
    lines.append("- CPU: %s, %d cores visible (%s)" % (model, os.cpu_count(), " ".join(isa)))
    with open("/proc/meminfo") as f:
        mem = next(line for line in f if line.startswith("MemTotal")).split()[1]
    lines.append("- Memory: %.1f GiB; OS: %s %s" % (int(mem) / 2**20, platform.system(),
                                                      platform.release()))
    cache = os.path.join(args.build_dir, "CMakeCache.txt")
    compiler, flags_release = "c++", ""
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    compiler = line.split("=", 1)[1].strip()
                if line.startswith("CMAKE_CXX_FLAGS_RELEASE:"):
                    flags_release = line.split("=", 1)[1].strip()
    version = command_output([compiler, "--version"]).splitlines()
    lines.append("- Compiler: %s; baseline built with `%s -ffp-contract=off`" % (
        version[0] if version else compiler, flags_release))
    import numpy

    versions = ["Python %s" % platform.python_version(), "NumPy %s" % numpy.__version__]
    for name in ("pandas", "pyarrow"):
        try:
            versions.append("%s %s" % (name, __import__(name).__version__))
        except ImportError:
            versions.append("%s missing" % name)
    try:
        from importlib.metadata import version as dist_version

        versions.append("lagstat %s" % dist_version("lagstat"))
    except Exception:
        versions.append("lagstat (not installed as a distribution)")
    lines.append("- " + ", ".join(versions))
    blas = ""
    try:
        config = numpy.show_config(mode="dicts")
        blas = config.get("Build Dependencies", {}).get("blas", {}).get("name", "")
    except Exception:
        pass
    lines.append("- lagstat runs on one thread; NumPy's matrix products (BLAS%s) and pyarrow's "
                 "reader may use every core" % (": " + blas if blas else ""))
    return lines


def fmt_rate(x):
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if x >= scale:
            return "%.2f %s" % (x / scale, unit)
    return "%.0f" % x


def describe(f, compressed=False):
    text = "%d columns, %.1f MB, %s frames" % (f["columns"], f["bytes"] / 1e6, "{:,}".format(
        f["frames"]))
    if compressed:
        text += ", gzip -6 to %.1f MB" % (f["compressed"] / 1e6)
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=100.0,
                        help="size of each generated trajectory in MB (default 100)")
    parser.add_argument("--columns", default=",".join(map(str, COLUMNS)),
                        help="column counts of the trajectories (default 10,100,500)")
    parser.add_argument("--cases", default=",".join(CASE_GROUPS),
                        help="case groups to run, of %s (default all)" % ",".join(CASE_GROUPS))
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs per lagstat and baseline case, the best time counts "
                        "(default 3)")
    parser.add_argument("--peer-repeat", type=int, default=2,
                        help="runs per NumPy/pandas/pyarrow case (default 2: they take seconds "
                        "where lagstat takes tenths, and vary less than that)")
    parser.add_argument("--baseline-flags", default="-O3 -DNDEBUG",
                        help="optimisation flags of the baseline (default: CMake's Release "
                        "flags, -O3 -DNDEBUG; the project adds -ffp-contract=off)")
    parser.add_argument("--data-dir", default=os.path.join(BENCH_DIR, "data"))
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--output", default=os.path.join(BENCH_DIR, "RESULTS.md"))
    parser.add_argument("--no-write", action="store_true", help="print the table only")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return 0

    args.columns = [int(c) for c in args.columns.split(",") if c]
    args.cases = [c.strip() for c in args.cases.split(",") if c.strip()]
    unknown = set(args.cases) - set(CASE_GROUPS)
    if unknown or args.repeat < 1 or args.peer_repeat < 1 or any(c < MAX_PROJ for c in args.columns):
        parser.error("unknown cases %s, or --repeat < 1, or fewer than %d columns" % (
            sorted(unknown), MAX_PROJ))
    wall_start = time.time()
    load_start = os.getloadavg()[0]

    def log(message):
        print("[%6.1fs] %s" % (time.time() - wall_start, message), file=sys.stderr, flush=True)

    if any(c in args.cases for c in ("lagstat", "gzip", "long")):
        try:
            subprocess.run([sys.executable, "-c", "import lagstat"], check=True,
                           capture_output=True, cwd="/")
        except subprocess.CalledProcessError:
            sys.exit("lagstat is not importable: pip install --no-build-isolation %s" % ROOT)
    args.baseline = build_baseline(args, log) if "baseline" in args.cases else None
    files = prepare_data(args, log)
    out_dir = args.data_dir

    results = {}  # (file key, impl, op) -> result
    checks = []

    failures = []

    def record(key, impl, op, f, out=None, dump=None):
        log("%-8s %-6s %s" % (impl, op, os.path.basename(f["path"])))
        try:
            r = best_of(args, impl, op, f, out=out, dump=dump)
        except RuntimeError as e:
            reason = str(e).strip().splitlines()[-1]
            log("  failed: " + reason)
            failures.append("%s, %s on %s: %s" % (IMPL_TITLES[impl], OP_TITLES[op],
                                                  os.path.basename(f["path"]), reason))
            return None
        frames = r.get("frames") or f["frames"]
        if frames != f["frames"]:
            raise RuntimeError("%s %s read %d frames of %s, not %d" % (
                impl, op, frames, f["path"], f["frames"]))
        results[(key, impl, op)] = r
        return r

    for n in args.columns:
        f = files[n]
        for op in OPS:
            dumps, outs = {}, {}
            for impl in ("baseline", "lagstat"):
                if impl not in args.cases:
                    continue
                out = os.path.join(out_dir, "out_%s_%dc.txt" % (impl, n)) if op == "stream" else None
                dump = os.path.join(out_dir, "dump_%s_%s_%dc.f64" % (impl, op, n)) \
                    if op != "stream" else None
                if not record(n, impl, op, f, out=out, dump=dump):
                    continue
                if out:
                    outs[impl] = sha256(out)
                    os.remove(out)
                else:
                    dumps[impl] = dump
            if len(dumps) == 2:
                problem = same_doubles(dumps["baseline"], dumps["lagstat"])
                checks.append(("%d columns, %s: sums of lagstat and the baseline" % (n, op),
                               problem or "bitwise identical"))
            if len(outs) == 2:
                checks.append(("%d columns, stream: output files of lagstat and the baseline" % n,
                               "byte for byte identical" if outs["baseline"] == outs["lagstat"]
                               else "DIFFER"))
            for path in dumps.values():
                os.remove(path)
            for impl in PEERS:
                if impl not in args.cases:
                    continue
                out = os.path.join(out_dir, "out_%s_%dc.txt" % (impl, n)) if op == "stream" else None
                if op == "pass1":
                    record(n, impl, "load", f)
                record(n, impl, op, f, out=out)
                if out and os.path.exists(out):
                    os.remove(out)

    if "gz" in files:
        for op in ("pass1", "pass2"):
            record("gz", "lagstat", op, files["gz"])
    if "long" in files:
        for op in OPS:
            out = os.path.join(out_dir, "out_long.txt") if op == "stream" else None
            record("long", "lagstat", op, files["long"], out=out)
            if out and os.path.exists(out):
                os.remove(out)

    aligned = {impl: probe_aligned(impl, out_dir) for impl in PEERS if impl in args.cases}

    # ----------------------------------------------------------------------------------------
    # Report
    md = []
    ratio = {}

    for n in args.columns:
        f = files[n]
        md.append("### %s" % describe(f))
        md.append("")
        md.append("| job | implementation | wall s | MB/s | updates/s | peak RSS MB | lagstat is |")
        md.append("|---|---|---:|---:|---:|---:|---:|")
        for op in OPS:
            ref = results.get((n, "lagstat", op))
            for impl in IMPLS:
                for kind in (("load", op) if impl in PEERS and op == "pass1" else (op,)):
                    r = results.get((n, impl, kind))
                    if not r:
                        continue
                    s = r["seconds"]
                    upd = updates_per_frame(kind, n) * f["frames"]
                    title = IMPL_TITLES[impl]
                    if kind == "load":
                        title = title.split(" + ")[0] + ", load only"
                    if ref and impl != "lagstat":
                        ratio[(n, op, impl if kind != "load" else impl + "-load")] = s / ref["seconds"]
                        versus = "%.1fx faster" % (s / ref["seconds"])
                    else:
                        versus = "" if impl == "lagstat" else "–"
                    md.append("| %s | %s | %.3f | %.0f | %s | %.1f | %s |" % (
                        OP_TITLES[op], title, s, f["bytes"] / 1e6 / s,
                        fmt_rate(upd / s) if upd else "–", r["rss"] / 2**20, versus))
        md.append("")

    if "gz" in files and any(("gz", "lagstat", op) in results for op in OPS):
        f = files["gz"]
        md.append("### Compressed input: %s" % describe(f, compressed=True))
        md.append("")
        md.append("| job | implementation | wall s | MB/s uncompressed | MB/s compressed | "
                  "updates/s | peak RSS MB | time against the plain file |")
        md.append("|---|---|---:|---:|---:|---:|---:|---:|")
        for op in ("pass1", "pass2"):
            r = results.get(("gz", "lagstat", op))
            if not r:
                continue
            s = r["seconds"]
            plain = results.get((10, "lagstat", op))
            md.append("| %s | lagstat, .gz | %.3f | %.0f | %.0f | %s | %.1f | %s |" % (
                OP_TITLES[op], s, f["bytes"] / 1e6 / s, f["compressed"] / 1e6 / s,
                fmt_rate(updates_per_frame(op, 10) * f["frames"] / s), r["rss"] / 2**20,
                "%.2fx" % (s / plain["seconds"]) if plain else "–"))
        md.append("")

    long_delta = {}
    if "long" in files:
        f = files["long"]
        md.append("### Memory against length: %s (the 10-column file ten times over)"
                  % describe(f))
        md.append("")
        md.append("| job | implementation | wall s | MB/s | peak RSS MB, 1x | peak RSS MB, 10x | "
                  "10x adds MB |")
        md.append("|---|---|---:|---:|---:|---:|---:|")
        for op in OPS:
            r = results.get(("long", "lagstat", op))
            short = results.get((10, "lagstat", op))
            if not r:
                continue
            delta = (r["rss"] - short["rss"]) / 2**20 if short else None
            long_delta[op] = delta
            md.append("| %s | lagstat | %.3f | %.0f | %s | %.1f | %s |" % (
                OP_TITLES[op], r["seconds"], f["bytes"] / 1e6 / r["seconds"],
                "%.1f" % (short["rss"] / 2**20) if short else "–", r["rss"] / 2**20,
                "%+.2f" % delta if delta is not None else "–"))
        md.append("")

    targets = []

    def target(name, value, goal, unit="x"):
        if value is None:
            targets.append("| %s | not measured | %s%s | – |" % (name, goal, unit))
        else:
            met = value < goal if unit == " MB" else value >= goal
            targets.append("| %s | %.2f%s | %s %s%s | %s |" % (
                name, value, unit, "<" if unit == " MB" else ">=", goal, unit,
                "met" if met else "MISSED"))

    target("pass 1, 10 columns, vs literal baseline", ratio.get((10, "pass1", "baseline")), 8)
    target("pass 1, 10 columns, vs numpy.loadtxt load only",
           ratio.get((10, "pass1", "loadtxt-load")), 5)
    target("pass 2, 500 columns, vs literal baseline", ratio.get((500, "pass2", "baseline")), 8)
    target("stream, 10 columns, 10 projections, vs literal baseline",
           ratio.get((10, "stream", "baseline")), 5)
    for op in OPS:
        target("%s: RSS added by a file ten times longer" % OP_TITLES[op], long_delta.get(op), 2,
               unit=" MB")
    r1 = results.get((10, "lagstat", "pass1"))
    r2 = results.get((500, "lagstat", "pass2"))
    figures = []
    if r1:
        figures.append("pass 1 over 10 columns: %.0f MB/s (order of 700 expected)" % (
            files[10]["bytes"] / 1e6 / r1["seconds"]))
    if r2:
        figures.append("pass 2 over 500 columns: %s updates/s (order of 12 G expected)" % fmt_rate(
            updates_per_frame("pass2", 500) * files[500]["frames"] / r2["seconds"]))

    command = "python3 bench/run_bench.py" + "".join(
        " " + shlex.quote(a) for a in sys.argv[1:])
    doc = ["# Benchmark results", ""]
    doc.append("Made by `%s` on %s (%.0f s in all)." % (
        command, datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), time.time() - wall_start))
    doc.append("")
    doc.append("## Machine")
    doc.append("")
    doc += machine_description(args)
    doc.append("- 1-minute load average %.2f at the start, %.2f at the end (the run itself "
               "adds about 1; more at the start means other work shared the two cores)" % (
                   load_start, os.getloadavg()[0]))
    doc.append("")
    doc.append("## How to read it")
    doc.append("")
    doc.append(
        "Every file is `%%.6f` text, one space between fields, in the page cache. Wall seconds: the "
        "job inside its own process, imports excluded, best of %d for lagstat and the baseline, "
        "best of %d for the peers. MB/s: input bytes (uncompressed) "
        "per second. Updates: one multiply and add into one accumulator element; per frame of n "
        "columns pass 1 makes n, pass 2 n + n(n+1)/2 + n^2 (var, upper triangle of cov, tcov), "
        "stream n x %d. The peers do the same arithmetic with NumPy after reading the whole "
        "file into memory (their sums are not rounded in lagstat's order); their stream rows "
        "write the projection with \"%%f\" too. Peak RSS: VmHWM of the case's own process "
        "(the Python rows include the interpreter, NumPy and the peer's library). \"lagstat is\": "
        "this row's time over lagstat's time for the same job on the same file." % (
            args.repeat, args.peer_repeat, MAX_PROJ))
    doc.append("")
    if aligned:
        doc.append(
            "Whitespace-aligned columns (runs of blanks and leading blanks, as `%12.6f` tables "
            "have them): " + "; ".join(
                "%s %s" % (IMPL_TITLES[p].split(" + ")[0], aligned[p] or "reads them")
                for p in PEERS if p in aligned)
            + ". The files here have single spaces, which every peer reads.")
        doc.append("")
    doc.append("## Results")
    doc.append("")
    doc += md
    if failures:
        doc.append("### Cases that failed")
        doc.append("")
        doc += ["- " + line for line in failures]
        doc.append("")
    if checks:
        doc.append("### Checks")
        doc.append("")
        for what, verdict in checks:
            doc.append("- %s: %s" % (what, verdict))
        doc.append("")
    doc.append("## Targets")
    doc.append("")
    doc.append("| target | measured | goal | verdict |")
    doc.append("|---|---:|---:|---|")
    doc += targets
    doc.append("")
    for line in figures:
        doc.append("- " + line)
    if any(t.endswith("| MISSED |") for t in targets):
        doc.append("- Where the time of a missed target goes, and what was tried: bench/PROFILE.md")
    doc.append("")
    text = "\n".join(doc)
    print(text)
    if not args.no_write:
        # The thread-scaling section comes from bench/bench_threads.py: keep it.
        kept = ""
        if os.path.exists(args.output):
            with open(args.output) as f:
                old = f.read()
            at = old.find(THREADS_HEADING)
            if at >= 0:
                kept = "\n" + old[at:]
        with open(args.output, "w") as f:
            f.write(text + kept)
        log("wrote %s" % args.output)
    bad = [c for c in checks if c[1] not in ("bitwise identical", "byte for byte identical")]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
