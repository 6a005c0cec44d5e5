"""The positional surface the Python 2.7 module shares with the Python 3 one (runs on both)."""
import ast, errno, functools, io, operator, os, random, re, signal, sys, threading, zlib  # noqa: E401

import lagstat
import numpy as np
import pytest

PY2 = sys.version_info[0] == 2
LENGTH = "Number of order parameters and length of mean/std/weights differ. Forgot time column?"
BAD_LINE = "Unexpected line format or read error."


def stated(name):  # a docstring as the Python 3 suite states it (that suite cannot be imported here)
    with io.open(os.path.join(os.path.dirname(__file__), "..", "python", "test_module.py")) as f:
        return ast.literal_eval(re.search(r"^%s = (\(.*?\n\))" % name, f.read(), re.M | re.S).group(1))


def test_surface():
    assert (lagstat.run.__doc__, lagstat.stream.__doc__) == (stated("RUN_DOC"), stated("STREAM_DOC"))
    assert lagstat.__doc__ is None and set(k for k in vars(lagstat) if k[:2] != "__") == set(["run", "stream"])


def in_order(terms):  # left to right, every add rounded (sum() compensates from Python 3.12)
    return functools.reduce(operator.add, terms, 0.0)


def hexes(a):
    return [float(v).hex() for v in np.ravel(a)]  # bits: -0.0 is not 0.0


@pytest.mark.parametrize("seed, threads", [(1, ""), (2, ""), (3, "2")])
def test_readme_example_matches_float_sums_exactly(tmpdir, monkeypatch, seed, threads):
    monkeypatch.setenv("LAGSTAT_NUM_THREADS", threads)
    rng, n = random.Random(seed), range(3)
    forms = [rng.choice(["%r", "%.3f", "%.6e", "%d"]) for _ in range(900)]
    text = "\n".join(" ".join(f % (rng.randint(-9, 9) if f == "%d" else rng.uniform(-50, 50)) for f in forms[i:i + 3])
                     for i in range(0, 900, 3)) + "\n"
    traj, proj = str(tmpdir.join("traj.txt")), str(tmpdir.join("proj.txt"))
    tmpdir.join("traj.txt").write(text)
    xs = [[float(v) for v in line.split()] for line in text.splitlines()]
    d = {}
    lagstat.run(traj, d, 1, 0, 0, 0, 1)
    assert hexes(d["mean"]) == hexes([in_order(x[i] for x in xs) for i in n]) and d["samples"] == 300
    d = {"mean": d["mean"] / d["samples"]}
    lagstat.run(traj, d, 0, 1, 1, 1, 10)
    xs = [[v - m for v, m in zip(x, d["mean"])] for x in xs]
    assert hexes(d["var"]) == hexes([in_order(x[i] * x[i] for x in xs) for i in n])
    assert hexes(d["cov"]) == hexes([[in_order(x[i] * x[j] for x in xs) for j in n] for i in n])
    assert hexes(d["tcov"]) == hexes([[in_order(a[i] * b[j] for a, b in zip(xs, xs[10:])) for j in n] for i in n])
    assert (d["samples"], d["tcov_samples"]) == (300, 290)
    w = np.array([[rng.uniform(-1, 1) for _ in n] for _ in n])
    lagstat.stream(traj, proj, d["mean"], w, 2, 0)
    assert open(proj).read() == "".join("%f %f\n" % tuple(in_order(w[k, i] * x[k] for k in n) for i in (0, 1))
                                        for x in xs)


def gz_cut(data):
    z = zlib.compressobj(6, zlib.DEFLATED, 31)
    return (z.compress(data) + z.flush())[:-20]


def run(p, name, *args):
    return lagstat.run(p[name], *(args or ({}, 1, 0, 0, 0, 1)))


def stream(p, fin, fout, mean=(0, 0), weights=((1, 0), (0, 1)), max_proj=2):
    return lagstat.stream(p.get(fin, fin), p[fout], mean, weights, max_proj, 0)


# (call given the paths, exception, errno, text, the file in `filename`): a case per failure the README lists
CASES = [
    (lambda p: run(p, "in", [], 1, 0, 0, 0, 1), TypeError, None, None, None),
    (lambda p: stream(p, "in", "out", max_proj=1.5), TypeError, None, None, None),
    (lambda p: lagstat.run(p["in"], {}, 1, 0, 0, 0, 1, **{"threads" if PY2 else "nothing": 1}), TypeError, None,
     None, None),  # Python 2: no keyword options
    (lambda p: run(p, "nul"), ValueError, None, None, None),
    (lambda p: stream(p, "missing", "out", max_proj=0), ValueError, None, "max < 1", None),
    (lambda p: run(p, "missing"), IOError, errno.ENOENT, None, "missing"),
    (lambda p: stream(p, "dir", "out"), IOError, errno.EISDIR, None, "dir"),
    (lambda p: run(p, "empty"), IOError, errno.ENODATA, "No data: the file is empty or its first line is blank",
     "empty"),
    (lambda p: run(p, "nan"), IOError, errno.EILSEQ, "Unexpected format of the first line: no field count", "nan"),
    (lambda p: stream(p, "in", "out", max_proj=3), ValueError, None, "max > record length", None),
    (lambda p: run(p, "in", {"mean": [[0, 0]]}, 0, 1, 0, 0, 1), ValueError, None, None, None),
    (lambda p: stream(p, "in", "out", mean=[0, 0, 0]), ValueError, None, LENGTH, None),
    (lambda p: stream(p, "in", "out", mean=[{}, {}]), TypeError, None, None, None),
    (lambda p: run(p, "in", {}, 0, 0, 0, 1, 0), ValueError, None, "lag < 1 not allowed.", None),
    (lambda p: run(p, "wide", {}, 0, 0, 0, 1, 2**31 - 1), MemoryError, None, None, None),
    (lambda p: run(p, "short"), ValueError, None, BAD_LINE, None),
    (lambda p: run(p, "cut.gz"), IOError, errno.EIO, "unexpected end of file", "cut.gz"),
    (lambda p: stream(p, "in", "in"), IOError, errno.EINVAL, "Input and output are the same file", "in"),
    (lambda p: stream(p, "in", "map", mean=np.memmap(p["map"], float)), IOError, errno.EINVAL,
     "Output is the file behind mean", "map"),
    (lambda p: stream(p, "in", "nodir"), IOError, errno.ENOENT, None, "nodir"),
    (lambda p: stream(p, "in", "full"), IOError, errno.ENOSPC, None, "full"),
    (lambda p: [os.mkfifo(p["fifo"]), threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start(),
                run(p, "fifo")], KeyboardInterrupt, None, None, None),  # no writer: opening the FIFO waits
]


@pytest.mark.parametrize("call, exc, code, text, name", CASES)
def test_failures(tmpdir, call, exc, code, text, name):
    files = {"in": b"1 2\n3 4\n", "empty": b"", "nan": b"1 nan\n", "short": b"1 2\n3\n", "map": b"\0" * 16,
             "wide": b" ".join([b"1"] * 500) + b"\n", "cut.gz": gz_cut(b"1 2\n" * 10000)}
    p = dict((k, str(tmpdir.join(k))) for k in list(files) + ["missing", "out", "fifo"])
    p.update(dir=str(tmpdir), nodir=p["missing"] + "/out", full="/dev/full", nul=p["in"] + "\0")
    for k, data in files.items():
        tmpdir.join(k).write_binary(data)
    with pytest.raises(exc) as info:
        call(p)
    e = info.value
    assert type(e) is exc or (exc is IOError and not PY2)  # Python 3: OSError's errno subclasses
    assert (getattr(e, "errno", None), getattr(e, "filename", None)) == (code, p.get(name))
    assert text is None or text == (e.strerror if code else str(e))
    assert text != BAD_LINE or e.__notes__ == ["in %r, line 2" % p["short"]]
    assert not os.path.exists(p["out"])

