"""Moment statistics over many files: every lag's sums from one native read per file
(``one_read``, which TICA.fit uses), and lagstat's dictionary from two ``lagstat.run`` passes
per file (``moments``).

Every file is processed on its own (in this process, in a process pool, or on a Dask
cluster) and the per-file dictionaries are merged here, always in file order, so the
result does not depend on where or in which order the files were processed.
"""
import contextlib
import ctypes
import errno
import glob
import math
import multiprocessing
import operator
import os
import re
import secrets
import signal
import stat
import sys
import threading
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait

import numpy as np

import lagstat

from . import _formats, _native, _sources

try:
    from tqdm.auto import tqdm as _tqdm

    class _Bar(_tqdm):
        # No monitor thread: worker processes may be forked while a bar is alive.
        monitor_interval = 0

except ImportError:  # tqdm is optional: no bar without it
    _Bar = None

_SUM_KEYS = ("var", "cov", "tcov", "samples", "tcov_samples")
_GLOB_CHARS = re.compile(r"[*?\[]")
# lagstat.run takes the lag as a C int.
LAG_MAX = 2**31 - 1
# Ending of the projections TICA.transform_files writes by default.
OUTPUT_SUFFIX = ".tica.txt"
# Every ending of the files transform_files writes (text, npy with its side files, HDF5): a
# pattern over a folder leaves them out.
OWN_ENDINGS = (OUTPUT_SUFFIX, ".tica.npy", ".tica.time.npy", ".tica.segments.npy", ".tica.h5")


def partial_name(path):
    """Where an output is written until it is complete: beside it, so that the rename is atomic,
    and hidden, so that a pattern over the folder ('*.txt') does not take it for an input."""
    folder, base = os.path.split(os.fspath(path))
    return os.path.join(folder, ".%s.%s.part" % (base[:200], secrets.token_hex(4)))


def remove_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


@contextlib.contextmanager
def written_whole(path):
    """Yields a temporary name to write path's content to, and renames it to path when the block
    ends; a block that fails or is interrupted leaves no file. An output that exists is whole."""
    tmp = partial_name(path)
    try:
        yield tmp
        os.replace(tmp, path)
    except BaseException:
        remove_quietly(tmp)
        raise


def expand_files(files, skip_suffix=OWN_ENDINGS):
    """Turns paths and glob patterns into a list of paths, in the order given.

    A pattern expands to its matches in sorted order, leaving out names ending in
    `skip_suffix` (an ending or a tuple of them; by default this package's own projections, which a
    second run over '*.txt' would otherwise take for input). A plain path must name an existing regular file; a pattern
    must match at least one. A single string counts as one entry. A file named twice
    (the same path, a path and a pattern matching it, two links to one file) is refused:
    it would be counted twice.
    """
    if isinstance(files, (str, os.PathLike)):
        files = [files]
    paths = []
    for entry in files:
        entry = os.fspath(entry)
        if _GLOB_CHARS.search(entry) and not os.path.exists(entry):
            found = sorted(m for m in glob.glob(entry) if os.path.isfile(m))
            endings = (skip_suffix,) if isinstance(skip_suffix, str) else tuple(skip_suffix or ())
            matches = [m for m in found if not m.endswith(endings)]
            if not matches:
                besides = " (besides projections %s)" % ", ".join("*" + e for e in endings) if found else ""
                raise FileNotFoundError("no file matches %r%s" % (entry, besides))
            paths.extend(matches)
        elif os.path.isfile(entry):
            paths.append(entry)
        elif os.path.isdir(entry):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), entry)
        elif os.path.exists(entry):
            # A pipe or a device cannot be read again, and TICA reads every file more than once.
            raise ValueError("not a regular file: %r (a pipe or device is read only once: TICA.fit takes "
                             "it, the moments and projections read every file again)" % entry)
        else:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), entry)
    if not paths:
        raise ValueError("no input files")
    check_distinct(paths)
    return paths


def check_distinct(paths):
    """Refuses an input named twice, by what it is: a regular file would be counted twice, and
    a pipe or FIFO could be read only once, so its second open would wait for ever. Nothing is
    opened: stat follows the names (/dev/stdin to the pipe behind it)."""
    seen = {}
    for path in paths:
        try:
            key = file_id(path)
        except OSError:  # a descriptor's name that no longer resolves: only the name is known
            key = os.path.abspath(path)
        if key in seen:
            first = seen[key]
            raise ValueError("%r is given twice" % path if first == path
                             else "%r and %r are the same file" % (first, path))
        seen[key] = path


def file_id(path):
    """(device, inode) of the file behind path, links followed."""
    st = os.stat(path)
    return st.st_dev, st.st_ino


def _check_lag(lag):
    if isinstance(lag, bool) or not isinstance(lag, (int, np.integer)):
        raise TypeError("lag must be an integer, got %r" % (lag,))
    if not 1 <= lag <= LAG_MAX:
        raise ValueError("lag must be between 1 and %d, got %d" % (LAG_MAX, lag))
    return int(lag)


def check_threads(threads):
    """threads as an int (any operator.index value, a NumPy integer too, but not a bool), or None."""
    if threads is None:
        return None
    count = 0
    if not isinstance(threads, (bool, np.bool_)):
        try:
            count = operator.index(threads)
        except TypeError:
            pass
    if count < 1 and count != -1:
        raise ValueError("threads must be >= 1, -1 or None, got %r" % (threads,))
    return count


# --- per-file work (runs in worker processes: module-level and picklable) -------------------


def name_file(exc, path):
    """Adds the note "in 'path'" to an exception that names no file.

    The extension's own exceptions already name it (OSError.filename, or a note with the
    line); the others, raised for a whole pass (MemoryError for the lag ring, say), would
    not tell which of many files in flight failed.
    """
    if getattr(exc, "filename", None) is None and not getattr(exc, "__notes__", None):
        note = "in %r" % (path,)
        if hasattr(exc, "add_note"):
            exc.add_note(note)
        else:  # before Python 3.11: the attribute add_note would fill
            exc.__notes__ = [note]
    return exc


def _call_run(path, d, mean, var, cov, tcov, lag, opts=None):
    opts = opts or {}
    reader = opts.get("reader", {})
    given = {key: np.array(value, dtype=float) for key, value in d.items()}
    try:
        lagstat.run(path, d, mean, var, cov, tcov, lag, **reader)
    except Exception as exc:
        name_file(exc, path)
        if not _formats.closes_its_set(exc, path, opts.get("layout")):
            raise _formats.explain_line_error(exc, path, opts.get("layout"))
        # The pass stopped at the '&' after the frames, leaving partial sums: read again from
        # what was given, the '&' taken for a comment.
        d.clear()
        d.update(given)
        lagstat.run(path, d, mean, var, cov, tcov, lag, **_formats.reread_options(reader))


def _check_finite(path, values):
    # Caught per file: one overflowing field (1e999) would otherwise surface much later, as
    # an error of the eigensolver that names no file.
    if not all(np.isfinite(v).all() for v in values):
        raise ValueError("%s: values too large or not finite (inf/nan) in the data" % path)


def _sum_pass(path, opts_of=None):
    """First pass over one file: the sum of its frames and their number."""
    d = {}
    _call_run(path, d, 1, 0, 0, 0, 1, (opts_of or {}).get(path))
    out = {"sum": np.asarray(d["mean"], dtype=float), "samples": np.asarray(d["samples"], dtype=float)}
    _check_finite(path, (out["sum"],))
    return out


def _centred_pass(path, mean, lag, opts_of=None):
    """Second pass over one file: centred second moments."""
    opts = (opts_of or {}).get(path) or {}
    layout = opts.get("layout")
    # A file with segments (COLVAR restarts) has its lagged sums from one native scan, which
    # pairs no frames across a restart; lagstat.run then skips them.
    scan = layout is not None and bool(layout.segment_marker)
    d = {"mean": np.array(mean, dtype=float)}
    _call_run(path, d, 0, 1, 1, 0 if scan else 1, lag, opts)
    out = {key: np.asarray(d[key], dtype=float) for key in _SUM_KEYS if key in d}
    if scan:
        try:
            part = _formats.segment_sums(path, layout, opts["reader"], int(out["samples"]), lag, mean)
        except Exception as exc:
            name_file(exc, path)
            raise _formats.explain_line_error(exc, path, layout)
        out["tcov"], out["tcov_samples"] = part.pop("tcov"), np.asarray(part.pop("pairs"))
        out["segments"] = part.pop("segments")
    _check_finite(path, (out["var"], out["cov"], out["tcov"]))
    return out


# --- one read per file ------------------------------------------------------------------------

# /dev/stdin, and the names bash's <(...) and /proc give a descriptor: streams, whose data can
# be read once, even when the name no longer resolves (the descriptor closed after a read).
_STREAM_NAME = re.compile(r"\A/(?:dev/stdin|dev/fd/\d+|proc/self/fd/\d+)\Z")


def is_stream(path):
    """True for an input that can be read only once: a pipe, FIFO or other non-regular file."""
    if isinstance(path, _sources.Source):
        return not path.rereadable
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return bool(_STREAM_NAME.match(path))


# Sums that move with the shift, and how: name -> (kind, the sum beside it, the count).
_VECTOR_KEYS = ("sum", "head_sum", "tail_sum")
_MATRIX_KEYS = ("cov", "tcov", "head_cov", "tail_cov")


def rebase(sums, shift):
    """The sums of one scan re-centred from its shift s to `shift` s', exactly as algebra has it.

    With y = x - s and d = s - s', every frame moves by d: x - s' = y + d. So
        sum' = sum + T d,   cov' = cov + sum d^T + d sum^T + T d d^T,
    and for each lag, with its P pairs and E = T - P edge frames (the first or last
    min(lag, T_seg) of every segment), first halves' sum a = sum - tail_sum, second halves'
    b = sum - head_sum:
        tcov' = tcov + a d^T + d b^T + P d d^T,
        head_sum' = head_sum + E d,   head_cov' = head_cov + h d^T + d h^T + E d d^T (h: head_sum),
    and the tail likewise. Rounding: d is rounded once (|err| <= u |d|, u = 2^-53); every term
    above is one product rounded, added left to right, so an element of cov' carries at most
    about 4 u (|cov| + 2 |sum| |d| + T d^2) more than the sums of a scan made with s' would:
    exact when s' = s, small against the sums when |d| is of the data's spread.
    """
    shift = np.asarray(shift, dtype=float).reshape(-1)
    old = np.asarray(sums["shift"], dtype=float).reshape(-1)
    out = dict(sums)
    out["shift"] = shift.copy()
    if np.array_equal(old, shift):
        return out
    d = old - shift
    frames = float(sums["frames"])
    pairs = np.asarray(sums["pairs"], dtype=float)
    edges = frames - pairs
    total = np.asarray(sums["sum"], dtype=float)

    def moved(c, u, v, count):
        return c + np.outer(u, d) + np.outer(d, v) + count * np.outer(d, d)

    out["sum"] = total + frames * d
    out["cov"] = moved(sums["cov"], total, total, frames)
    out["tcov"] = np.array([moved(sums["tcov"][i], total - sums["tail_sum"][i], total - sums["head_sum"][i], p)
                            for i, p in enumerate(pairs)]).reshape(np.shape(sums["tcov"]))
    for side in ("head", "tail"):
        s_side = np.asarray(sums[side + "_sum"], dtype=float)
        out[side + "_sum"] = s_side + edges[:, None] * d
        out[side + "_cov"] = np.array([moved(sums[side + "_cov"][i], s_side[i], s_side[i], e)
                                       for i, e in enumerate(edges)]).reshape(np.shape(sums[side + "_cov"]))
    return out


def fold_sums(total, part):
    """total's sums and part's, added as one_read adds a file's: part moved to total's shift, and
    added after it (total None: part's as they are)."""
    if total is None:
        out = dict(part)
        for key in ("per_file", "segments", "rereadable", "files"):
            out[key] = []
    else:
        out = dict(total)
        moved = rebase(part, total["shift"])
        out["frames"] = int(total["frames"]) + int(part["frames"])
        out["pairs"] = [int(a) + int(b) for a, b in zip(total["pairs"], part["pairs"])]
        for key in _VECTOR_KEYS + _MATRIX_KEYS:
            out[key] = total[key] + moved[key]
    out["per_file"] = out["per_file"] + [int(part["frames"])]
    out["segments"] = out["segments"] + [part["segments"]]
    out["rereadable"] = out["rereadable"] + [False]
    out["files"] = out["files"] + ["trajectory %d" % len(out["files"])]
    return out


def pair_sums(x_t, x_tau, lag, name):
    """One read's sums (at `lag`) of independent pairs (x_t[k], x_tau[k]), deeptime's
    partial_fit((X_t, X_tau)): every pair a trajectory of its own, as if its two frames were
    `lag` apart; the shift is the first pair's first frame."""
    a = _sources.ArraySource(x_t, name).array.astype(float)
    b = _sources.ArraySource(x_tau, name).array.astype(float)
    if a.shape != b.shape:
        raise ValueError("%s: X_t and X_tau have the shapes %s and %s; pairs need one shape" % (name, a.shape, b.shape))
    s = a[0].copy()
    ya, yb = a - s, b - s
    n, m = a.shape[1], a.shape[0]
    out = {"shift": s, "lags": [lag], "dt": np.nan, "frames": 2 * m, "pairs": [m],
           "sum": ya.sum(axis=0) + yb.sum(axis=0), "cov": ya.T @ ya + yb.T @ yb, "tcov": (ya.T @ yb)[None],
           "head_sum": ya.sum(axis=0)[None], "tail_sum": yb.sum(axis=0)[None], "head_cov": (ya.T @ ya)[None],
           "tail_cov": (yb.T @ yb)[None], "segments": [(1, m, None, np.nan, np.nan)]}
    _check_finite(name, (out["cov"].reshape(n, n), out["tcov"]))
    return out


def _scan_file(path, lags, options_of, shift, threads, source=None):
    """One read of one file (in this process or a worker): the scan's sums and its facts."""
    try:
        src = source if source is not None else _native.open(path)
        options = {}
        if options_of is not None:
            options = dict(options_of(path, _formats.read_head(src)) or {})
        if threads is not None:
            options["threads"] = threads
        out = src.scan(lags, shift=shift, **options)
    except Exception as exc:
        name_file(exc, path)
        # Closes an unread pipe now, not when the traceback goes: its writer would wait till then.
        src = source = None
        raise
    out["rereadable"] = src.rereadable
    _check_finite(path, (out["sum"], out["cov"], out["tcov"]))
    return out


def _inputs(files):
    """Inputs in order: patterns expanded, streams (pipes, /dev/stdin, <(...)) taken as named,
    binary sources (arrays, .npy, .npz, HDF5: lagstat_tica._sources) as Source objects."""
    entries = _sources.entries(files)
    if not entries:
        raise ValueError("no input files")
    items = []
    for index, entry in enumerate(entries):
        found = _sources.binary(entry, index)
        if found is not None:
            items.extend(found)
            continue
        entry = os.fspath(entry)
        for path in [entry] if is_stream(entry) else expand_files([entry]):
            found = _sources.binary(path, index) if path != entry else None
            items.extend(found if found is not None else [path])
    check_distinct([p for p in items if not isinstance(p, _sources.Source)])  # before a pipe's first read
    return items


def input_name(item):
    """A path as given, a binary source by its name."""
    return item.name if isinstance(item, _sources.Source) else item


def _scan_source(source, lags, shift, threads, usecols):
    try:
        out = source.scan(lags, shift=shift, threads=threads, usecols=usecols)
    except Exception as exc:
        raise name_file(exc, source.name)
    _check_finite(source.name, (out["sum"], out["cov"], out["tcov"]))
    return out


def one_read(files, lags, *, options_of=None, shift=None, n_jobs=1, client=None, threads=None,
             progress=False, keep_per_file=False, usecols=None):
    """Every lag's sums over all files from one read of each (see lagstat_tica._native).

    Regular files go to `n_jobs` worker processes or the Dask `client`; streams are read
    here, as a worker could not reach them. Every file is scanned with its own first frame
    as shift unless `shift` is given, and re-based to the common one (the given shift, else
    the first file's first frame) with :func:`rebase`; the sums are then added in file order,
    so the result is the same bits for any n_jobs, client or threads. Lagged pairs never
    span two files (nor a segment marker). Binary sources are read here, their columns
    `usecols` (None: all).

    Returns scan's keys merged (`frames`, `shift`, `sum`, `cov`, `lags`, `pairs`, `tcov`,
    `head_sum`, `tail_sum`, `head_cov`, `tail_cov`, `dt` of the first file), plus `files`,
    `per_file` (frames), `segments` and `rereadable` per file, and with keep_per_file
    `per_file_sums` (each file's sums at the common shift).
    """
    lags = [_check_lag(lag) for lag in ([lags] if isinstance(lags, (int, np.integer)) else lags)]
    if not lags:
        raise ValueError("no lags given")
    threads = check_threads(threads)  # checked here too: streams are read before any runner
    paths = _inputs(files)
    if not paths:
        raise ValueError("no input files")
    if shift is not None:
        shift = [float(v) for v in np.asarray(shift, dtype=float).reshape(-1)]
    results = [None] * len(paths)
    regular = []
    for i, path in enumerate(paths):
        if isinstance(path, _sources.Source):
            results[i] = _scan_source(path, lags, shift, thread_share(1, threads), usecols)
        elif is_stream(path):
            # read here, one at a time, before any worker runs: all the cores are its
            results[i] = _scan_file(path, lags, options_of, shift, thread_share(1, threads))
        else:
            regular.append(i)
    if regular:
        with _Runner(n_jobs, client, len(regular), threads) as runner:
            done = runner.map(_scan_file, [paths[i] for i in regular], args=(lags, options_of, shift, runner.threads),
                              desc="lagstat read", progress=progress)
        for i, r in zip(regular, done):
            results[i] = r
    widths = {np.asarray(r["sum"]).size for r in results}
    if len(widths) != 1:
        raise ValueError("files have different numbers of columns: %s" % ", ".join(
            "%s: %d" % (input_name(p), np.asarray(r["sum"]).size) for p, r in zip(paths, results)))
    common = results[0]["shift"] if shift is None else np.asarray(shift, dtype=float)
    merged = {"shift": np.asarray(common, dtype=float).copy(), "lags": list(lags), "dt": results[0]["dt"]}
    merged["frames"] = sum(int(r["frames"]) for r in results)
    merged["pairs"] = [sum(int(r["pairs"][i]) for r in results) for i in range(len(lags))]
    merged["files"] = [input_name(p) for p in paths]
    merged["per_file"] = [int(r["frames"]) for r in results]
    merged["segments"] = [r["segments"] for r in results]
    merged["rereadable"] = [bool(r["rereadable"]) for r in results]
    merged["blank_lines"] = sum(int(r.get("blank_lines", 0)) for r in results)
    merged["blank_end"] = [int(r.get("blank_end", 0)) for r in results]
    # Added in file order, into the first file's arrays where nothing else keeps them: every
    # file's lagged products are lags x columns^2 doubles, so a copy per file and key would
    # double or triple the peak of a wide scan.
    kept = [] if keep_per_file else None
    for i in range(len(results)):
        part = rebase(results[i], common)
        results[i] = None
        if keep_per_file:
            kept.append(part)
        for key in _VECTOR_KEYS + _MATRIX_KEYS:
            if i == 0:
                merged[key] = np.array(part[key], dtype=float) if keep_per_file else \
                    np.asarray(part[key], dtype=float)
            else:
                merged[key] += part[key]
        del part
    if keep_per_file:
        merged["per_file_sums"] = kept
    return merged


# --- scheduling -----------------------------------------------------------------------------


def _file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _on_terminal(stream):
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or closed
        return False


def _progress_bar(total, desc, n_files, enabled):
    # Only on a terminal: in a batch log the bar's carriage returns are noise.
    if not enabled or _Bar is None or not _on_terminal(sys.stderr):
        return None
    bar = _Bar(total=total, desc=desc, unit="B", unit_scale=True, unit_divisor=1024, leave=False)
    bar.set_postfix_str("0/%d files" % n_files)
    return bar


_PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>


def _die_with_parent(parent):
    """Asks Linux to kill this process when its parent's forking thread ends.

    Without it a parent killed outright (SIGKILL, or SIGTERM while it cannot clean up)
    leaves its workers asleep on their task queue for ever. Other systems: nothing done.
    """
    if not sys.platform.startswith("linux"):
        return
    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return
    if prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0) != 0:
        return
    if parent is not None and os.getppid() != parent:
        os._exit(1)  # the parent died before the request was in place


def _worker_init(parent):
    # A forked worker inherits the command line's SIGTERM handler, which would turn the
    # signal into an exception reported for the task while the worker lived on.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    _die_with_parent(parent)


def _stop_workers(pool):
    """Kills a pool's workers, which may be blocked reading (a slow disk, a FIFO)."""
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14+
    if terminate is not None:
        terminate()
        return
    for proc in list((getattr(pool, "_processes", None) or {}).values()):
        try:
            proc.terminate()
        except (OSError, ValueError):
            pass  # already gone


# Where the cgroup files are looked for: "/" but in tests, which give a fake tree.
_SYSTEM_ROOT = "/"


def _cgroup_cpu_limit(root):
    """The cgroup's CPU quota in processors (rounded up), 0 when none is set or none can be read.

    The rules of lagstat's own count (src/passes/thread_team.cpp), so that `--jobs -1` starts
    the workers the container grants, not one per processor of the host: cgroup v2's cpu.max
    ("<quota> <period>" or "max ...") in the process's own group, then at the hierarchy's root;
    else cgroup v1's cfs quota and period.
    """
    def read(path):
        try:
            with open(os.path.join(root, path)) as f:
                return f.read()
        except (OSError, UnicodeDecodeError):
            return ""

    def processors(quota, period):
        try:
            cpus = float(quota) / float(period)
        except (ValueError, ZeroDivisionError):
            return 0
        return math.ceil(cpus) if 0 < cpus < float("inf") else 0

    group = ""
    for line in read("proc/self/cgroup").splitlines():
        if line.startswith("0::"):
            group = line[3:]
    for folder in ("sys/fs/cgroup/" + group.lstrip("/"), "sys/fs/cgroup"):
        fields = read(os.path.join(folder, "cpu.max")).split()
        if len(fields) >= 2 and fields[0] != "max" and processors(*fields[:2]):
            return processors(*fields[:2])
    quota = read("sys/fs/cgroup/cpu/cpu.cfs_quota_us").split()
    period = read("sys/fs/cgroup/cpu/cpu.cfs_period_us").split()
    if quota and period:
        return processors(quota[0], period[0])
    return 0


def available_cores():
    """The cores this process may run on: its CPU affinity where the system has one, bounded by
    its cgroup's CPU quota where one is set (as lagstat counts them for threads=-1); at least 1."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = 0
    cores = cores or os.cpu_count() or 1
    quota = _cgroup_cpu_limit(_SYSTEM_ROOT)
    return min(cores, quota) if quota else cores


def thread_share(n_workers, threads=None, on_dask=False):
    """lagstat's threads per pass, so that workers x threads stays within the cores.

    None or -1 shares the cores among the local workers; a count is an upper bound then. A Dask
    task takes one thread unless asked (its cluster shares the machines), and what is asked.
    The count changes no bit of the results.
    """
    if on_dask:
        return 1 if threads is None else int(threads)
    share = max(1, available_cores() // max(1, n_workers))
    return share if threads in (None, -1) else min(int(threads), share)


class _HeldSignals:
    """Holds SIGINT and SIGTERM back while the process pool does its bookkeeping, and raises
    them on leaving.

    A Python signal handler raises between any two bytecodes: inside concurrent.futures that
    can leave a future's lock held or the pool's manager thread created but not started, after
    which shutting the pool down hangs or fails ("cannot join thread before it is started").
    Waits inside look at `caught` every 0.1 s, so Ctrl-C still stops a run at once.
    """

    _SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __enter__(self):
        self.caught = []
        self._saved = {}
        if threading.current_thread() is threading.main_thread():
            for sig in self._SIGNALS:
                handler = signal.getsignal(sig)
                if callable(handler):  # ignored or default ones stay as they are
                    self._saved[sig] = signal.signal(sig, self._record)
        return self

    def _record(self, signum, frame):
        self.caught.append(signum)

    def __exit__(self, exc_type, exc, tb):
        for sig, handler in self._saved.items():
            signal.signal(sig, handler)
        for sig in dict.fromkeys(self.caught):
            signal.raise_signal(sig)  # its own handler runs now, where raising is safe
        return False


class _Runner:
    """Runs one function per file serially, in a process pool, or on a Dask client.

    Results come back as a list in file order, whatever the order of completion. The pool
    has to be created from the main thread: a worker's death signal fires when the thread
    that forked it ends.
    """

    def __init__(self, n_jobs=1, client=None, n_files=1, threads=None):
        if client is None:
            if isinstance(n_jobs, bool) or not isinstance(n_jobs, (int, np.integer)):
                raise TypeError("n_jobs must be an integer, got %r" % (n_jobs,))
            if n_jobs == -1:
                n_jobs = available_cores()
            if n_jobs < 1:
                raise ValueError("n_jobs must be >= 1, or -1 for one per CPU, got %d" % n_jobs)
        threads = check_threads(threads)
        self.client = client
        self.n_workers = 1 if client is not None else min(int(n_jobs), n_files)
        self.threads = thread_share(self.n_workers, threads, client is not None)
        self.pool = None

    def __enter__(self):
        if self.client is None and self.n_workers > 1:
            ctx = multiprocessing.get_context()
            # The pid check only holds for forked workers: other start methods have a server
            # process in between.
            parent = os.getpid() if ctx.get_start_method() == "fork" else None
            self.pool = ProcessPoolExecutor(max_workers=self.n_workers, mp_context=ctx,
                                            initializer=_worker_init, initargs=(parent,))
        return self

    def __exit__(self, exc_type, exc, tb):
        pool, self.pool = self.pool, None
        if pool is not None:
            if exc_type is not None:
                # Waiting for the files in flight could take long, or for ever on a stalled
                # read; their results are not wanted any more.
                _stop_workers(pool)
            with _HeldSignals():
                pool.shutdown(wait=True, cancel_futures=True)
        return False

    def map(self, fn, paths, args=(), desc="", progress=True):
        sizes = [_file_size(p) for p in paths]
        results = [None] * len(paths)
        bar = _progress_bar(sum(sizes), desc, len(paths), progress)
        done = 0

        def finished(index):
            nonlocal done
            done += 1
            if bar is not None:
                bar.update(sizes[index])
                bar.set_postfix_str("%d/%d files" % (done, len(paths)))

        try:
            if self.client is not None:
                from distributed import as_completed as dask_completed

                futures = [self.client.submit(fn, p, *args, pure=False) for p in paths]
                index_of = {f.key: i for i, f in enumerate(futures)}
                try:
                    for fut in dask_completed(futures):
                        i = index_of[fut.key]
                        results[i] = fut.result()
                        finished(i)
                finally:
                    self.client.cancel([f for f in futures if not f.done()])
            elif self.pool is not None:
                with _HeldSignals() as held:
                    futures = {self.pool.submit(fn, p, *args): i for i, p in enumerate(paths)}
                    try:
                        pending = set(futures)
                        while pending and not held.caught:
                            ready, pending = wait(pending, timeout=0.1, return_when=FIRST_COMPLETED)
                            for fut in sorted(ready, key=futures.get):
                                results[futures[fut]] = fut.result()
                                finished(futures[fut])
                    finally:
                        for fut in futures:
                            fut.cancel()
            else:
                for i, p in enumerate(paths):
                    results[i] = fn(p, *args)
                    finished(i)
        finally:
            if bar is not None:
                bar.close()
        return results


def _merge(parts, keys):
    """Adds the per-file arrays key by key, strictly in file order."""
    out = {}
    for part in parts:
        for key in keys:
            if key in out:
                out[key] = out[key] + part[key]
            else:
                out[key] = np.array(part[key], dtype=float)
    return out


def file_options(paths, plan, threads):
    """Per file: its layout, the fields read and lagstat's reader options (threads included)."""
    opts_of = {}
    for path, layout in zip(paths, plan.layouts):
        reader = layout.reader_options(plan.selection.usecols)
        reader["threads"] = threads
        opts_of[path] = {"layout": layout, "usecols": plan.selection.usecols, "reader": reader}
    return opts_of


def two_pass(files, lag, *, n_jobs=1, client=None, progress=False, columns=None, keep_time=False, threads=None):
    """Both passes; returns (statistics, raw frame sum).

    The files' layouts come from their first lines (see _formats.plan).
    """
    lag = _check_lag(lag)
    items = _inputs(files)
    if any(isinstance(p, _sources.Source) for p in items):
        return _binary_two_pass(items, lag, columns, keep_time, threads)
    paths = expand_files(files)
    plan = _formats.plan(paths, columns, keep_time)
    with _Runner(n_jobs, client, len(paths), threads) as runner:
        opts_of = file_options(paths, plan, runner.threads)
        first = runner.map(_sum_pass, paths, args=(opts_of,), desc="lagstat mean", progress=progress)
        shapes = {p["sum"].shape for p in first}
        if len(shapes) != 1:
            raise ValueError("files have different numbers of columns: %s" % ", ".join(
                "%s: %d" % (p, f["sum"].size) for p, f in zip(paths, first)))
        counts = [int(f["samples"]) for f in first]
        longest = max(range(len(paths)), key=counts.__getitem__)
        if counts[longest] <= lag:
            # Found before the second pass, which would allocate a lag-long ring for nothing.
            raise ValueError("no lagged pairs: lag %d, but the longest file (%s) has %d frames"
                             % (lag, paths[longest], counts[longest]))
        totals = _merge(first, ("sum", "samples"))
        mean = totals["sum"] / totals["samples"]
        second = runner.map(_centred_pass, paths, args=(mean, lag, opts_of), desc="lagstat moments",
                            progress=progress)
    for path, before, part in zip(paths, counts, second):
        after = int(part["samples"])
        if after != before:
            # The passes would mix two versions of the file (one still being written, say).
            raise RuntimeError("%s changed between reads: %d frames, then %d; is it still being written?"
                               % (path, before, after))
    for path, layout, part in zip(paths, plan.layouts, second):
        if "segments" in part:
            _formats.check_segments(path, layout, part["segments"])
    stats = {"mean": mean}
    stats.update(_merge(second, _SUM_KEYS))
    return stats, totals["sum"]


def _binary_two_pass(items, lag, columns, keep_time, threads):
    """two_pass over binary sources (arrays, .npy, .npz, HDF5): the frames' sum from one pass, then
    the lag scan's sums about the mean from a second one; every input must be binary."""
    texts = [p for p in items if not isinstance(p, _sources.Source)]
    if texts:
        raise ValueError("moments takes text files or binary sources (arrays, .npy, .npz, HDF5), not both in one "
                         "call: %r is text" % (texts[0],))
    if keep_time:
        raise ValueError("keep_time keeps a text file's time column; %s has none" % items[0].name)
    usecols, _ = _sources.resolve_columns(items, columns)
    total, frames = None, 0
    for source in items:
        for block in source.blocks(usecols):
            part = block.sum(axis=0)
            total = part if total is None else total + part
            frames += block.shape[0]
        _check_finite(source.name, (total,))
    mean = total / frames
    threads = thread_share(1, check_threads(threads))
    parts = [_scan_source(source, [lag], [float(v) for v in mean], threads, usecols) for source in items]
    pairs = sum(int(p["pairs"][0]) for p in parts)
    if pairs == 0:
        longest = max(range(len(items)), key=lambda i: int(parts[i]["frames"]))
        raise ValueError("no lagged pairs: lag %d, but the longest file (%s) has %d frames"
                         % (lag, items[longest].name, int(parts[longest]["frames"])))
    cov = parts[0]["cov"]
    tcov = parts[0]["tcov"][0]
    for p in parts[1:]:
        cov = cov + p["cov"]
        tcov = tcov + p["tcov"][0]
    n = mean.size
    stats = {"mean": mean, "var": np.diag(cov).copy(), "cov": cov, "tcov": tcov,
             "samples": np.asarray(float(frames)), "tcov_samples": np.asarray(float(pairs))}
    if n == 1:
        stats = {k: np.asarray(v).reshape(()) for k, v in stats.items()}
    return stats, total


def moments(files, lag, *, n_jobs=1, client=None, progress=False, columns=None, keep_time=False, threads=None):
    """Mean-free moment statistics of a set of text files, through lagstat.run.

    Two passes over every file: the first sums the frames, whose mean over all files then
    centres the second, which accumulates the sums of squares, of outer products and of
    lagged outer products at `lag`. Lagged pairs never span two files.

    Parameters
    ----------
    files : list of str, or arrays
        Paths or glob patterns (a pattern expands to its sorted matches, leaving out
        projections named *.tica.txt). A file named twice is refused. Or binary sources, each
        a trajectory: arrays, .npy, .npz, HDF5 (see lagstat_tica._sources); their second pass is
        the lag scan's about the mean.
    lag : int
        Lag in frames, 1 to 2**31 - 1; at least one file must be longer.
    n_jobs : int
        Worker processes on this machine (-1: one per CPU). Ignored when `client` is given.
    client : dask.distributed.Client, optional
        Runs the per-file work on this Dask cluster instead.
    progress : bool
        Shows a tqdm progress bar over bytes and files, when standard error is a terminal.
    columns : list of str or int, optional
        The feature columns, by name (COLVAR fields, xvg legends, CSV header; x0, x1, ... for
        bare columns) or by 0-based index among the feature columns; default all of them.
    keep_time : bool
        Keeps the time column (COLVAR time, xvg x axis, CSV index) among the features.
    threads : int, optional
        lagstat threads per pass; by default the cores are shared among the workers
        (n_jobs x threads within the cores), on Dask one per task. Results are the same bits.

    Returns
    -------
    dict in lagstat's format: 'mean' (the mean used for centring), 'var', 'cov', 'tcov'
    (centred sums), 'samples' and 'tcov_samples' (counts). With one column every entry is
    a 0-d array. Per-file results are added in file order, so the result is bit-for-bit the
    same for any `n_jobs` or `client`.
    """
    stats, _ = two_pass(files, lag, n_jobs=n_jobs, client=client, progress=progress, columns=columns,
                        keep_time=keep_time, threads=threads)
    return stats
