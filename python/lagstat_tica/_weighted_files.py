"""Weighted pair sums of text files whose frames carry their weight in a column of their own
(PLUMED's ``metad.bias``, ``opes.bias``): the column is read beside the features, never as one,
and its values become the weights of the pairs whose earlier frame they sit on.

A bias V becomes exp((V - V0) / kT), V0 the first frame's bias in the first file: one read
cannot know the largest V before it ends, and a constant factor cancels in every normalised
moment. A bias more than ~709 kT above V0 would overflow, and is an error naming its line.
Koopman reweighting reads every file twice (unit weights first, then the estimated ones).
"""
import contextlib
import itertools
import re

import numpy as np

from . import _formats, _moments, _outputs
from ._weights import LagSums, PooledSums, koopman_coefficients


def weights_field(layout, weights, path):
    """The field index of the weights column: a name of the file's fields or a 0-based index
    among all its fields."""
    if isinstance(weights, str):
        if weights not in layout.fields:
            raise ValueError("%s: no weights column %r; its columns are %s" % (path, weights, ", ".join(layout.fields)))
        return layout.fields.index(weights)
    if isinstance(weights, bool) or not hasattr(weights, "__index__"):
        raise TypeError("weights= for files is a column name or index, got %r" % (weights,))
    i = weights.__index__()
    if not -len(layout.fields) <= i < len(layout.fields):
        raise ValueError("%s: weights column index %d out of range: %d columns" % (path, i, len(layout.fields)))
    return i % len(layout.fields)


class Pipe(str):
    """A pipe's name, holding its one opening: `lines`, its (decompressed) lines, the ones its
    head lent the layout's detection first again, and `head`, those as text."""

    def close(self):
        self.file.close()


def open_pipe(path):
    """A Pipe of a pipe (a FIFO, /dev/stdin), its first lines read for the layout: a pipe gives
    its bytes once, so the weights' read takes them from the same opening."""
    raw = open(path, "rb")
    try:
        magic = raw.peek(6)[:6]
        if magic.startswith(_formats._ZSTD_MAGIC):
            raise ValueError("%s: a zstd-compressed pipe with weights is not read here: decompress it into the "
                             "pipe (zstd -dc), or write it to a file" % path)
        opener = next((fn for m, fn in _formats._MAGIC if magic.startswith(m)), None)
        f = opener(raw) if opener is not None else raw
        held, size = [], 0
        while len(held) < _formats.HEAD_LIMIT and size < _formats.HEAD_LIMIT:
            line = f.readline()
            if not line:
                break
            held.append(line)
            size += len(line)
            if len(held) % 64 == 0 and _formats._enough(_text(held)):
                break
    except BaseException:
        raw.close()
        raise
    pipe = Pipe(path)
    pipe.file, pipe.lines, pipe.head = raw, itertools.chain(held, f), _formats.Head(_text(held))
    return pipe


def _text(lines):
    return [b.decode("utf-8", "replace").rstrip("\n").rstrip("\r") for b in lines]


def _plan_with_pipes(paths, columns, keep_time):
    """_formats.plan, the pipes' layouts from the heads their Pipe holds."""
    if not any(isinstance(p, Pipe) for p in paths):
        return _formats.plan(paths, columns, keep_time)
    layouts = []
    for p in paths:
        if not isinstance(p, Pipe):
            layouts.append(_formats.plan([p], columns, keep_time).layouts[0])
            continue
        layout = _formats.detect(p.head, p)
        if not layout.fields:
            raise ValueError("%s: no data line" % p)
        layouts.append(layout)
    selections = [_formats.select(layout, columns, keep_time, p) for p, layout in zip(paths, layouts)]
    _formats.agree(paths, layouts, selections)
    return _formats.Plan(tuple(layouts), selections[0])


@contextlib.contextmanager
def opened(paths):
    """paths, every pipe among them opened (a Pipe) for the one read it gives, closed after."""
    out = []
    try:
        for p in paths:
            out.append(open_pipe(p) if _moments.is_stream(p) else p)
        yield out
    finally:
        for p in out:
            if isinstance(p, Pipe):
                p.close()


def plan(paths, columns, keep_time, weights):
    """(layouts, selection, field of the weights column or None): the features leave the weights
    column out; naming it among `columns` is an error. Pipes must come as Pipe (open_pipe)."""
    pl = _plan_with_pipes(paths, columns, keep_time)
    if weights is None:
        return pl.layouts, pl.selection, None
    fields = [weights_field(layout, weights, p) for p, layout in zip(paths, pl.layouts)]
    if len(set(fields)) != 1:
        raise ValueError("the weights column %r stands at different places in the files" % (weights,))
    field = fields[0]
    name = pl.layouts[0].fields[field]
    if field in pl.selection.usecols:
        if columns is not None:
            raise ValueError("%s: the weights column %r is not a feature: leave it out of columns" % (paths[0], name))
        keep = [(n, i) for n, i in zip(pl.selection.names, pl.selection.usecols) if i != field]
        if not keep:
            raise ValueError("%s: no feature columns besides the weights column %r" % (paths[0], name))
        sel = _formats.Selection(tuple(n for n, _ in keep), tuple(i for _, i in keep))
    else:
        sel = pl.selection
    return pl.layouts, sel, field


class _Bias:
    """exp((V - V0) / kT), V0 the first value seen."""

    def __init__(self, kT):
        kT = float(kT)
        if not (np.isfinite(kT) and kT > 0):
            raise ValueError("bias_kT must be a positive finite number, got %r" % (kT,))
        self.kT, self.v0 = kT, None

    def __call__(self, v):
        if self.v0 is None and v.size and np.isfinite(v[0]):
            self.v0 = float(v[0])
        with np.errstate(over="ignore", invalid="ignore"):
            return np.exp((v - (self.v0 or 0.0)) / self.kT)


def _check(path, lines, w, raw, bias):
    bad = ~(np.isfinite(w) & (w >= 0))
    if bad.any():
        at = int(np.argmax(bad))
        if bias and np.isfinite(raw[at]):
            raise ValueError("%s, line %d: bias %r lies so far above the first frame's that exp(V / kT) overflows"
                             % (path, lines[at], float(raw[at])))
        what = "bias" if bias else "weight"
        raise ValueError("%s, line %d: %s %r is not a finite number%s" % (
            path, lines[at], what, float(raw[at]), "" if bias else " >= 0"))


def _named(reader):
    """reader.blocks(), a line that is no numbers refused with its file and line."""
    blocks = reader.blocks()
    while True:
        try:
            block = next(blocks)
        except StopIteration:
            return
        except ValueError as exc:
            row = re.search(r"at row (\d+)", str(exc))
            lines = reader.block_lines
            line = lines[int(row.group(1))] if row and int(row.group(1)) < len(lines) else None
            where = "%s, line %d" % (reader.path, line) if line is not None else str(reader.path)
            raise ValueError("%s: %s" % (where, re.sub(r"\s*at row \d+, column \d+\.?", "", str(exc)))) from None
        yield block


def read(paths, layouts, usecols, field, sums, weight_of):
    """Adds every file's frames to `sums` (a LagSums or PooledSums: file k its trajectory k, each
    segment, a restart, started anew); weight_of(x, v, path, lines) gives the weights of frames x whose
    weights column holds v. Returns the frames read."""
    frames = 0
    cols = list(usecols) + ([field] if field is not None else [])
    width = len(usecols)
    for k, (path, layout) in enumerate(zip(paths, layouts)):
        reader = _outputs.Frames(path, layout, cols, line_numbers=True)
        sums.start(k)
        for block, _ in _named(reader):
            lines = reader.block_lines
            start = reader.frames - len(block)
            x, v = block[:, :width], (block[:, width] if field is not None else None)
            if not np.isfinite(x).all():
                at = int(np.argmax(~np.isfinite(x).all(axis=1)))
                raise ValueError("%s, line %d: a value that is not finite (inf/nan)" % (path, lines[at]))
            w = weight_of(x, v, path, lines)
            # A segment (a restart) that begins in this block: no pair spans its start.
            begins = sorted(s - start for s in reader.segment_starts if start <= s < start + len(x) and s > 0)
            edges = sorted(set([0] + begins + [len(x)]))
            for a, b in zip(edges[:-1], edges[1:]):
                if a in begins:
                    sums.start(k, new_file=False)
                sums.add(x[a:b], w[..., a:b])
        if reader.frames == 0:
            raise ValueError("%s: no frames" % path)
        frames += reader.frames
    return frames


def weights_of(bias_kT):
    """weight_of for read: the weights column's values as they are, or exp((V - V0) / kT) of a
    bias V, checked."""
    bias = _Bias(bias_kT) if bias_kT is not None else None

    def weight_of(x, v, path, lines):
        w = bias(v) if bias is not None else v
        _check(path, lines, w, v, bias is not None)
        return w

    return weight_of


def refuse_pipes_for_koopman(paths):
    for p in paths:
        if _moments.is_stream(p):
            raise ValueError("koopman_weights=True reads every file twice (the weights' estimate, then the "
                             "reweighted sums): %s is a pipe, which cannot be read again; write it to a file "
                             "first" % _moments.input_name(p))


def weighted_sums(paths, lag, *, columns=None, keep_time=False, weights=None, bias_kT=None, koopman=False,
                  epsilon=1e-6, whitening=None, threads=None):
    """(acc, frames, layouts, selection, koopman (u, u0) or None) of the files' weighted pairs."""
    paths = list(paths)
    if koopman:
        refuse_pipes_for_koopman(paths)
    with opened(paths) as paths:
        layouts, sel, field = plan(paths, columns, keep_time, weights)
        kw = None
        if koopman:
            first = LagSums([lag], threads=threads)
            read(paths, layouts, sel.usecols, None, first, lambda x, v, path, lines: np.ones(len(x)))
            if first.pair_sums(0) is None:
                raise ValueError("no lagged pairs: every file has at most lag %d frames" % lag)
            coef, const = kw = koopman_coefficients(first.pair_sums(0), epsilon, whitening)
            weight_of = lambda x, v, path, lines: np.einsum("ti,i->t", x, coef) + const  # noqa: E731
        else:
            weight_of = weights_of(bias_kT)
        sums = PooledSums(lag, threads=threads)
        frames = read(paths, layouts, sel.usecols, field, sums, weight_of)
        sums.start()
    if sums.pairs == 0:
        raise ValueError("no lagged pairs: every file has at most lag %d frames" % lag)
    return sums, frames, layouts, sel, kw
