"""Reading the inputs of a fit or a scan: text files in their own formats and binary sources,
every lag's sums from one read (a second one about the mean where the first frame lies too far
out), the layout and the columns of the run."""
import warnings

import numpy as np

from . import _estimator as est
from . import _formats, _moments, _sources


def read_files(files, lags, columns=None, keep_time=False, keep_per_file=False, **options):
    """read_sums over files in their own formats and binary sources: (sums, reads, layout,
    selection) of the run (layout None, selection the column names, where the first input is
    binary).

    Regular files are checked here, before the read; a stream's head is seen only by its scan,
    which runs in this process and checks it against the same reference.
    """
    paths = _moments._inputs(files)
    binary = [p for p in paths if isinstance(p, _sources.Source)]
    texts = [p for p in paths if not isinstance(p, _sources.Source)]
    usecols, names = None, None
    if binary:
        if keep_time:
            raise ValueError("keep_time keeps a text file's time column; %s has none: choose its columns by index"
                             % binary[0].name)
        usecols, names = _sources.resolve_columns(binary, columns)
    regular = [p for p in texts if not _moments.is_stream(p)]
    layouts, reference = {}, None
    if regular:
        plan = _formats.plan(regular, columns, keep_time)
        layouts = {p: (layout, plan.selection) for p, layout in zip(regular, plan.layouts)}
        reference = (regular[0], plan.layout, plan.selection)
    options_of = _formats.ScanOptions(columns, keep_time, reference)
    try:
        sums, reads = read_sums(paths, lags, keep_per_file=keep_per_file, options_of=options_of, usecols=usecols,
                                **options)
    except ValueError as exc:
        raise _formats.explain_noted_error(exc, {p: lay for p, (lay, _) in layouts.items()})
    layouts.update(options_of.seen)
    blank_ends = sums.get("blank_end", [0] * len(paths))
    for path, segments, line_no, again in zip(paths, sums["segments"], blank_ends, sums["rereadable"]):
        if not isinstance(path, _sources.Source) and path in layouts:  # not: a .npy from a pipe
            _formats.check_segments(path, layouts[path][0], segments)
            _formats.check_blank_end(path, layouts[path][0], line_no, again)
    if isinstance(paths[0], _sources.Source):
        return sums, reads, None, _Names(names)
    if paths[0] not in layouts:  # a .npy from a pipe: its columns by index, named as an array's
        chosen = options_of.npy_options(paths[0]).get("usecols")
        width = np.asarray(sums["sum"]).size
        return sums, reads, None, _Names(["x%d" % i for i in (chosen if chosen is not None else range(width))])
    layout, selection = layouts[paths[0]]
    return sums, reads, layout, selection


class _Names:
    """The selection of a binary source's columns: their names only."""

    def __init__(self, names):
        self.names = tuple(names)


def read_sums(files, lags, *, keep_per_file=False, **options):
    """One read of every file at all lags; a second one with the exact mean as shift when the
    first frame lies too far out (est.K_MAX). Returns (sums, number of reads).

    Inputs that cannot be read again (pipes) keep the first read's sums, with a warning.
    """
    options = {k: v for k, v in options.items() if v is not None}
    if keep_per_file:
        options["keep_per_file"] = True
    sums = _moments.one_read(files, list(lags), **options)
    if not est.needs_exact_shift(sums):
        return sums, 1
    k = float(np.max(est.conditioning(sums)))
    rereadable = sums.get("rereadable")
    if rereadable is not None and not all(rereadable):
        warnings.warn("the first frame lies %.3g standard deviations from the mean and an input cannot be read "
                      "again (a pipe): the covariances may lose up to %.1g of their value; give the data as "
                      "files to have them read again about the mean" % (k, 2.2e-16 * k * k), RuntimeWarning,
                      stacklevel=3)
        return sums, 1
    options["shift"] = est.exact_mean(sums)
    return _moments.one_read(files, list(lags), **options), 2
