"""The bootstrap by blocks of frames over files: after the scan's read, every file's frames are
read again chunk by chunk into _bootstrap.BlockSums, whose parts are fixed by the frames' places
in their blocks, so that the groups are the bits the same frames give as arrays in memory.
Memory holds a chunk and a part of a block, whatever the files' lengths."""
import numpy as np

from . import _bootstrap as boot
from . import _formats, _moments, _outputs, _sources


def _is_pipe(item):
    if isinstance(item, _sources.Source):
        return not item.rereadable
    return _moments.is_stream(item)


def check_rereadable(items):
    """Refuses a pipe: its frames would be needed twice, once for the sums and once for the
    blocks, and the total length that sets the blocks' is known only at its end."""
    for item in items:
        if _is_pipe(item):
            raise ValueError("the bootstrap by blocks of frames reads the files twice: %s is a pipe, which cannot "
                             "be read again; write it to a file, or give at least %d files, resampled whole"
                             % (_moments.input_name(item), boot.MIN_FILES))


def lengths(sums):
    """The frames of every trajectory of the read: each segment of each file (no pair spans two)."""
    return [int(segment[1]) for segments in sums["segments"] for segment in segments]


def _text_chunks(path, layout, usecols):
    """(chunk, starts a segment) of a text file's frames, split where a segment begins."""
    reader = _outputs.Frames(path, layout, usecols)
    for block, _ in reader.blocks():
        start = reader.frames - len(block)
        begins = sorted(s - start for s in reader.segment_starts if start <= s < start + len(block) and s > 0)
        edges = sorted(set([0] + begins + [len(block)]))
        for a, b in zip(edges[:-1], edges[1:]):
            yield block[a:b], a in begins


def block_groups(items, lags, shift, block, columns=None, keep_time=False, expected=()):
    """The groups of blocks (BlockSums) of the inputs `items` (_moments._inputs' list), their
    columns chosen as the read chose them; `expected`: the trajectories' lengths that read found
    (a file changed since is an error)."""
    texts = [p for p in items if not isinstance(p, _sources.Source)]
    binary = [p for p in items if isinstance(p, _sources.Source)]
    layouts = {}
    usecols = None
    if texts:
        plan = _formats.plan(texts, columns, keep_time)
        layouts = dict(zip(texts, plan.layouts))
        text_cols = list(plan.selection.usecols)
    if binary:
        usecols, _ = _sources.resolve_columns(binary, columns)
    count = sum(-(-t // block) for t in expected)
    sums = boot.BlockSums(np.asarray(shift).size, lags, shift, block, min(count, boot.MAX_GROUPS))
    seen = []
    for item in items:
        frames = 0
        if isinstance(item, _sources.Source):
            for chunk in item.blocks(usecols):
                sums.add(chunk)
                frames += len(chunk)
        else:
            for chunk, begins in _text_chunks(item, layouts[item], text_cols):
                if begins and frames:
                    sums.end_trajectory()
                    seen.append(frames)
                    frames = 0
                sums.add(chunk)
                frames += len(chunk)
        sums.end_trajectory()
        seen.append(frames)
    if seen != list(expected):
        raise ValueError("the files changed while they were read: their trajectories had %s frames, then %s"
                         % (list(expected), seen))
    return sums.groups
