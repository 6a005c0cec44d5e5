#!/usr/bin/env python3
"""What the reader's options and each compressed format cost: pass 1 (the mean) of lagstat.run
over the same text, read plainly, with `comments`, with `usecols` (every column in reverse order,
and half of them), and from gzip, bzip2, xz and zstd copies.

    python3 bench/bench_formats.py /work/data/t10.txt /work/data/t500.txt [--repeat 3]

Compressed copies are made once beside the cache folder (--cache, default /tmp/lagstat-formats)
with the command-line tools (gzip -6, bzip2 -9, xz -6, zstd -3). Every case runs in a fresh
process, one thread, and is timed inside it (interpreter start and imports excluded), best of
--repeat, files in the page cache. MB/s counts the text's bytes, so compressed rows compare with
plain ones directly. Prints a Markdown table.
"""
import argparse
import os
import subprocess
import sys

COMPRESSORS = {
    "gzip -6": (["gzip", "-6", "-c"], ".gz"),
    "bzip2 -9": (["bzip2", "-9", "-c"], ".bz2"),
    "xz -6": (["xz", "-6", "-c", "-T1"], ".xz"),
    "zstd -3": (["zstd", "-3", "-c", "-q"], ".zst"),
}

CASE = r"""
import sys, time, lagstat
path, kwargs = sys.argv[1], eval(sys.argv[2])
d = {}
start = time.perf_counter()
lagstat.run(path, d, 1, 0, 0, 0, 1, threads=1, **kwargs)
print(time.perf_counter() - start)
"""


def columns_of(path):
    with open(path) as f:
        return len(f.readline().split())


def compressed_copy(path, cache, tool):
    command, suffix = COMPRESSORS[tool]
    out = os.path.join(cache, os.path.basename(path) + suffix)
    if not os.path.exists(out):
        with open(path, "rb") as src, open(out + ".part", "wb") as dst:
            subprocess.run(command, stdin=src, stdout=dst, check=True)
        os.replace(out + ".part", out)
    return out


def best_of(path, kwargs, repeat):
    times = []
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-c", CASE, path, repr(kwargs)], check=True,
                             capture_output=True, text=True, env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
        times.append(float(out.stdout))
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cache", default="/tmp/lagstat-formats")
    args = parser.parse_args()
    os.makedirs(args.cache, exist_ok=True)
    print("| file | input | s | MB/s | against plain |")
    print("|---|---|---:|---:|---:|")
    for path in args.files:
        n = columns_of(path)
        size_mb = os.path.getsize(path) / 1e6
        cases = [("plain", path, {}),
                 ("comments=\"#@\"", path, {"comments": "#@"}),
                 ("usecols: all, reversed", path, {"usecols": list(range(n - 1, -1, -1))}),
                 ("usecols: every second", path, {"usecols": list(range(0, n, 2))})]
        cases += [(tool, compressed_copy(path, args.cache, tool), {}) for tool in COMPRESSORS]
        plain = None
        for name, source, kwargs in cases:
            seconds = best_of(source, kwargs, args.repeat)
            plain = plain or seconds
            print("| %s (%d columns) | %s | %.3f | %.0f | %.2f× |"
                  % (os.path.basename(path), n, name, seconds, size_mb / seconds, seconds / plain),
                  flush=True)


if __name__ == "__main__":
    main()
