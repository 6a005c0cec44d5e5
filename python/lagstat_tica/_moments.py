"""Moment statistics over many files: every lag's sums from one native read per file
(``one_read``, which TICA.fit uses), and lagstat's dictionary from two ``lagstat.run`` passes
per file (``moments``).

Every file is processed on its own (in this process, in a process pool, or on a Dask
cluster) and the per-file dictionaries are merged here, always in file order, so the
result does not depend on where or in which order the files were processed.
"""
import os

import numpy as np

import lagstat

from . import _formats, _native, _sources
from ._parallel import _Runner, check_threads, thread_share
from ._parallel import available_cores, _progress_bar  # noqa: F401 (their old place)
from ._paths import OUTPUT_SUFFIX, OWN_ENDINGS, partial_name, remove_quietly, written_whole  # noqa: F401
from ._sources import check_distinct, expand_files, file_id, is_stream  # noqa: F401
from ._sums import _MATRIX_KEYS, _VECTOR_KEYS, _check_finite, _merge, rebase
from ._sums import fold_sums, pair_sums  # noqa: F401 (their old place)


_SUM_KEYS = ("var", "cov", "tcov", "samples", "tcov_samples")
# lagstat.run takes the lag as a C int.
LAG_MAX = 2**31 - 1


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


def _scan_file(path, lags, options_of, shift, threads, source=None):
    """One read of one file (in this process or a worker): the scan's sums and its facts."""
    try:
        src = source if source is not None else _native.open(path)
        options = {}
        if options_of is not None:
            # A .npy (told by its magic, which its scan reads again) has no lines to detect a
            # format in: a pipe's is known by nothing else.
            npy_options = getattr(options_of, "npy_options", None)
            if npy_options is not None and src.is_npy():
                options = dict(npy_options(path))
            else:
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
             progress=False, keep_per_file=False, usecols=None, groups=None):
    """Every lag's sums over all files from one read of each (see lagstat_tica._native).

    Regular files go to `n_jobs` worker processes or the Dask `client`; streams are read
    here, as a worker could not reach them. Every file is scanned with its own first frame
    as shift unless `shift` is given, and re-based to the common one (the given shift, else
    the first file's first frame) with :func:`rebase`; the sums are then added in file order,
    so the result is the same bits for any n_jobs, client or threads. Lagged pairs never
    span two files (nor a segment marker). Binary sources are read here, their columns
    `usecols` (None: all).

    The files' sums are added as they arrive, in file order (a few wait for an earlier one), so
    memory holds a bounded number of them whatever the number of files.

    Returns scan's keys merged (`frames`, `shift`, `sum`, `cov`, `lags`, `pairs`, `tcov`,
    `head_sum`, `tail_sum`, `head_cov`, `tail_cov`, `dt` of the first file), plus `files`,
    `per_file` (frames), `segments` and `rereadable` per file; with keep_per_file
    `per_file_sums` (each file's sums at the common shift); with `groups`, a function of the
    number of inputs giving G (0: none), `group_sums`: G sums at the common shift, input j added
    to group j mod G, in file order.
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
    early = {}
    regular = []
    for i, path in enumerate(paths):
        if isinstance(path, _sources.Source):
            continue  # read in turn, when its sums are added
        if is_stream(path):
            # read here, one at a time, before any worker runs: all the cores are its
            early[i] = _scan_file(path, lags, options_of, shift, thread_share(1, threads))
        else:
            regular.append(i)
    adder = _InOrder(paths, lags, shift, keep_per_file, groups(len(paths)) if groups is not None else 0)

    def take_until(stop):
        # The inputs before `stop` that no runner reads: streams read above, sources now.
        while adder.count < stop:
            i = adder.count
            result = early.pop(i, None)
            if result is None:
                result = _scan_source(paths[i], lags, shift, thread_share(1, threads), usecols)
            adder.add(result)

    def take(k, result):
        take_until(regular[k])
        adder.add(result)

    if regular:
        with _Runner(n_jobs, client, len(regular), threads) as runner:
            runner.map(_scan_file, [paths[i] for i in regular], args=(lags, options_of, shift, runner.threads),
                       desc="lagstat read", progress=progress, consume=take)
    take_until(len(paths))
    return adder.merged


class _InOrder:
    """Adds the files' sums, strictly in file order, into the total (and groups, and the list
    kept per file), each re-based to the common shift first."""

    def __init__(self, paths, lags, shift, keep_per_file, groups):
        self.paths, self.count = paths, 0
        self.common = None if shift is None else np.asarray(shift, dtype=float)
        self.merged = {"lags": list(lags), "frames": 0, "pairs": [0] * len(lags), "files": [], "per_file": [],
                       "segments": [], "rereadable": [], "blank_lines": 0, "blank_end": []}
        self.kept = [] if keep_per_file else None
        self.groups = [None] * int(groups) if groups else None
        if self.kept is not None:
            self.merged["per_file_sums"] = self.kept
        if self.groups is not None:
            self.merged["group_sums"] = self.groups

    def add(self, result):
        i, merged = self.count, self.merged
        width = np.asarray(result["sum"]).size
        if i == 0:
            self.width = width
            if self.common is None:
                self.common = np.asarray(result["shift"], dtype=float)
            merged["shift"] = self.common.copy()
            merged["dt"] = result["dt"]
        elif width != self.width:
            raise ValueError("files have different numbers of columns: %s: %d, %s: %d" % (
                input_name(self.paths[0]), self.width, input_name(self.paths[i]), width))
        merged["frames"] += int(result["frames"])
        merged["pairs"] = [a + int(b) for a, b in zip(merged["pairs"], result["pairs"])]
        merged["files"].append(input_name(self.paths[i]))
        merged["per_file"].append(int(result["frames"]))
        merged["segments"].append(result["segments"])
        merged["rereadable"].append(bool(result["rereadable"]))
        merged["blank_lines"] += int(result.get("blank_lines", 0))
        merged["blank_end"].append(int(result.get("blank_end", 0)))
        part = rebase(result, self.common)
        del result
        copies = self.kept is not None or self.groups is not None
        # Added into the first file's arrays where nothing else keeps them: every file's lagged
        # products are lags x columns^2 doubles, so a copy per file and key would double or
        # triple the peak of a wide scan.
        for key in _VECTOR_KEYS + _MATRIX_KEYS:
            if i == 0:
                merged[key] = np.array(part[key], dtype=float) if copies else np.asarray(part[key], dtype=float)
            else:
                merged[key] += part[key]
        if self.kept is not None:
            self.kept.append(part)
        if self.groups is not None:
            g = i % len(self.groups)
            if self.groups[g] is None:
                self.groups[g] = {"shift": merged["shift"], "lags": merged["lags"], "frames": int(part["frames"]),
                                  "pairs": [int(p) for p in part["pairs"]]}
                for key in _VECTOR_KEYS + _MATRIX_KEYS:
                    self.groups[g][key] = np.array(part[key], dtype=float)
            else:
                group = self.groups[g]
                group["frames"] += int(part["frames"])
                group["pairs"] = [a + int(b) for a, b in zip(group["pairs"], part["pairs"])]
                for key in _VECTOR_KEYS + _MATRIX_KEYS:
                    group[key] += part[key]
        self.count += 1


# --- scheduling -----------------------------------------------------------------------------


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
