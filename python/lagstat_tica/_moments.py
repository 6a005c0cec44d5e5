"""Two-pass moment statistics over many files, one ``lagstat.run`` per file.

Every file is processed on its own (in this process, in a process pool, or on a Dask
cluster) and the per-file dictionaries are merged here, always in file order, so the
result does not depend on where or in which order the files were processed.
"""
import ctypes
import errno
import glob
import gzip
import multiprocessing
import os
import re
import signal
import sys
from concurrent.futures import ProcessPoolExecutor, as_completed

import numpy as np

import lagstat

from . import _formats

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


def expand_files(files, skip_suffix=OUTPUT_SUFFIX):
    """Turns paths and glob patterns into a list of paths, in the order given.

    A pattern expands to its matches in sorted order, leaving out names ending in
    `skip_suffix` (this package's own projections, which a second run over '*.txt' would
    otherwise take for input). A plain path must name an existing regular file; a pattern
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
            matches = [m for m in found if not (skip_suffix and m.endswith(skip_suffix))]
            if not matches:
                besides = " (besides projections *%s)" % skip_suffix if found else ""
                raise FileNotFoundError("no file matches %r%s" % (entry, besides))
            paths.extend(matches)
        elif os.path.isfile(entry):
            paths.append(entry)
        elif os.path.isdir(entry):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), entry)
        elif os.path.exists(entry):
            # A pipe or a device cannot be read again, and TICA reads every file more than once.
            raise ValueError("not a regular file: %r (a pipe or device is read only once, and a fit reads "
                             "every file twice: give the file itself, compressed or not)" % entry)
        else:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), entry)
    if not paths:
        raise ValueError("no input files")
    seen = {}
    for path in paths:
        key = file_id(path)
        if key in seen:
            first = seen[key]
            raise ValueError("%r is given twice" % path if first == path
                             else "%r and %r are the same file" % (first, path))
        seen[key] = path
    return paths


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
    try:
        lagstat.run(path, d, mean, var, cov, tcov, lag, **opts.get("reader", {}))
    except Exception as exc:
        name_file(exc, path)
        raise _formats.explain_line_error(exc, path, opts.get("layout"))


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


def _centred_pass(path, mean, lag, edges, opts_of=None):
    """Second pass over one file: centred second moments, plus edge sums when asked."""
    opts = (opts_of or {}).get(path) or {}
    layout = opts.get("layout")
    # Segments (COLVAR restarts) and the edges of a file read with options come from one native
    # scan, which also sums the lagged pairs within segments; lagstat.run then skips them.
    scan = layout is not None and bool(layout.segment_marker or (edges and _formats.needs_filter(opts["reader"])))
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
        if edges:
            out.update(part)
    _check_finite(path, (out["var"], out["cov"], out["tcov"]))
    if edges and not scan:
        out.update(edge_sums(path, int(out["samples"]), lag, mean))
    return out


# --- edge frames ----------------------------------------------------------------------------

_NUMBER_BYTES = frozenset(b"0123456789.+-eE")
_SPACE_BYTES = frozenset(b" \t\n\v\f\r")
_ATOF_PREFIX = re.compile(rb"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_PLAIN_FIELD = re.compile(rb"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\Z")
_FIELD_MAX = 256


def _atof(text):
    """C's atof on a field of number characters: the longest numeric prefix, else 0.0."""
    m = _ATOF_PREFIX.match(text)
    return float(m.group(0)) if m else 0.0


def parse_line(line):
    """Reads one data line (bytes, without its newline) exactly as lagstat's reader does.

    Fields are separated by whitespace and/or commas (a comma always ends a field, even an
    empty one, which reads as 0.0); each field is converted like C's atof. Raises ValueError
    for a character outside the format or a field longer than 256 characters.
    """
    if b"," not in line:
        fields = line.split()
        if all(len(f) <= _FIELD_MAX and _PLAIN_FIELD.match(f) for f in fields):
            return [float(f) for f in fields]
    values = []
    field = bytearray()
    in_field = bool(line) and line[0] not in _SPACE_BYTES
    i = 0
    while i < len(line):
        c = line[i]
        if in_field:
            if c in _NUMBER_BYTES:
                if len(field) == _FIELD_MAX:
                    raise ValueError("field longer than %d characters" % _FIELD_MAX)
                field.append(c)
            elif c in _SPACE_BYTES or c == 0x2C:
                values.append(_atof(bytes(field)))
                field.clear()
                in_field = False
            else:
                raise ValueError("Unexpected line format or read error.")
        elif c not in _SPACE_BYTES:
            in_field = True
            continue  # read c again inside the field
        i += 1
    if field:
        values.append(_atof(bytes(field)))
    return values


def _open_bytes(path):
    """Opens a file for reading bytes, inflating gzip data as lagstat does."""
    f = open(path, "rb")
    magic = f.read(2)
    f.seek(0)
    if magic == b"\x1f\x8b":
        return gzip.GzipFile(fileobj=f, mode="rb")
    return f


class _LineCursor:
    """Forward-only line access to a byte stream, in fixed-size chunks."""

    _CHUNK = 1 << 20

    def __init__(self, f):
        self._f = f
        self._buf = b""
        self._pos = 0

    def _fill(self):
        more = self._f.read(self._CHUNK)
        if not more:
            return False
        self._buf = self._buf[self._pos:] + more
        self._pos = 0
        return True

    def readline(self):
        """The next line without its '\\n'; None at the end of the stream."""
        while True:
            nl = self._buf.find(b"\n", self._pos)
            if nl >= 0:
                line = self._buf[self._pos:nl]
                self._pos = nl + 1
                return line
            if not self._fill():
                if self._pos >= len(self._buf):
                    return None
                line = self._buf[self._pos:]
                self._pos = len(self._buf)
                return line

    def skip(self, count):
        """Skips count lines; returns False if the stream ends first."""
        if count <= 0:
            return True
        in_buf = self._buf.count(b"\n", self._pos)
        if in_buf >= count:
            for _ in range(count):
                self._pos = self._buf.index(b"\n", self._pos) + 1
            return True
        count -= in_buf
        if in_buf:
            self._pos = self._buf.rfind(b"\n") + 1
        pending = self._pos < len(self._buf)  # an unfinished line
        self._buf, self._pos = b"", 0
        # The bulk of the file: count newlines with numpy, several times faster than bytes.count.
        chunk = bytearray(self._CHUNK)
        view = np.frombuffer(chunk, dtype=np.uint8)
        while True:
            got = self._f.readinto(chunk)
            if not got:
                # a last line without '\n' still counts as a line
                return count == 1 and pending
            newlines = view[:got] == 0x0A
            found = int(np.count_nonzero(newlines))
            if found >= count:
                end = int(np.flatnonzero(newlines)[count - 1]) + 1
                self._buf = bytes(chunk[end:got])
                return True
            count -= found
            pending = bool(newlines[got - 1] == 0) if found else True


def edge_sums(path, n_frames, lag, mean):
    """Centred sums over the first and the last min(lag, n_frames) frames of one file.

    Returns head_sum, head_outer, tail_sum, tail_outer: sums of z and of z z^T with
    z = x - mean, frame by frame in file order. Reads the head lines, skips the middle of
    the file in chunks and reads the tail lines; memory does not grow with the file.
    """
    mean = np.asarray(mean, dtype=float).reshape(-1)
    n = mean.shape[0]
    k = min(lag, n_frames)
    head_sum, tail_sum = np.zeros(n), np.zeros(n)
    head_outer, tail_outer = np.zeros((n, n)), np.zeros((n, n))
    tail_start = n_frames - k

    def frame(line, index):
        if line is None:
            raise RuntimeError("%s: file ended before frame %d (changed while being read?)" % (path, index))
        values = parse_line(line)
        if len(values) != n:
            raise ValueError("%s: frame %d has %d values, expected %d" % (path, index, len(values), n))
        return np.array(values, dtype=float) - mean

    with _open_bytes(path) as f:
        cursor = _LineCursor(f)
        index = 0
        while index < k:
            z = frame(cursor.readline(), index)
            head_sum += z
            head_outer += np.outer(z, z)
            if index >= tail_start:
                tail_sum += z
                tail_outer += np.outer(z, z)
            index += 1
        first_tail = max(tail_start, k)
        if first_tail > index and not cursor.skip(first_tail - index):
            raise RuntimeError("%s: file ended before frame %d (changed while being read?)" % (path, first_tail))
        index = first_tail
        while index < n_frames:
            z = frame(cursor.readline(), index)
            tail_sum += z
            tail_outer += np.outer(z, z)
            index += 1
    return {"head_sum": head_sum, "head_outer": head_outer, "tail_sum": tail_sum, "tail_outer": tail_outer}


# --- scheduling -----------------------------------------------------------------------------


def _file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _progress_bar(total, desc, n_files, enabled):
    if not enabled or _Bar is None:
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


def available_cores():
    """The cores this process may run on (its CPU affinity where the system has one)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


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
        if threads is not None and (isinstance(threads, bool) or not isinstance(threads, (int, np.integer))
                                    or (threads < 1 and threads != -1)):
            raise ValueError("threads must be >= 1, -1 or None, got %r" % (threads,))
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
                futures = {self.pool.submit(fn, p, *args): i for i, p in enumerate(paths)}
                try:
                    for fut in as_completed(futures):
                        i = futures[fut]
                        results[i] = fut.result()
                        finished(i)
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


def two_pass(files, lag, n_jobs=1, client=None, progress=True, edges=False, columns=None, keep_time=False,
             threads=None, plan=None):
    """Both passes; returns (statistics, raw frame sum, edge sums or None).

    The files' layouts come from their first lines (see _formats.plan), unless `plan` is given.
    """
    lag = _check_lag(lag)
    paths = expand_files(files)
    if plan is None:
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
        second = runner.map(_centred_pass, paths, args=(mean, lag, edges, opts_of), desc="lagstat moments",
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
    edge = _merge(second, ("head_sum", "head_outer", "tail_sum", "tail_outer")) if edges else None
    return stats, totals["sum"], edge


def moments(files, lag, n_jobs=1, client=None, progress=True, columns=None, keep_time=False, threads=None):
    """Mean-free moment statistics of a set of text files, through lagstat.run.

    Two passes over every file: the first sums the frames, whose mean over all files then
    centres the second, which accumulates the sums of squares, of outer products and of
    lagged outer products at `lag`. Lagged pairs never span two files.

    Parameters
    ----------
    files : list of str
        Paths or glob patterns (a pattern expands to its sorted matches, leaving out
        projections named *.tica.txt). A file named twice is refused.
    lag : int
        Lag in frames, 1 to 2**31 - 1; at least one file must be longer.
    n_jobs : int
        Worker processes on this machine (-1: one per CPU). Ignored when `client` is given.
    client : dask.distributed.Client, optional
        Runs the per-file work on this Dask cluster instead.
    progress : bool
        Shows a tqdm progress bar over bytes and files.
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
    stats, _, _ = two_pass(files, lag, n_jobs=n_jobs, client=client, progress=progress, columns=columns,
                           keep_time=keep_time, threads=threads)
    return stats
