"""Projections written for the next step: text as lagstat.stream writes it, .npy files or HDF5.

Text keeps lagstat.stream's lines; the time column and the restarts' `# segment` lines are
merged in from a second look at the input's lines. .npy and HDF5 hold the doubles themselves,
which lagstat.stream does not hand out: the frames are read here, a block of lines at a time
(constant memory), and projected with the arithmetic of lagstat's projection, so that the text
is the "%f" of these numbers.
"""
import numpy as np

import lagstat

from . import _formats
from ._moments import OUTPUT_SUFFIX, name_file, remove_quietly

FORMATS = ("text", "npy", "h5")
SUFFIXES = {"text": OUTPUT_SUFFIX, "npy": ".tica.npy", "h5": ".tica.h5"}
TIME_SUFFIX = ".tica.time.npy"
SEGMENTS_SUFFIX = ".tica.segments.npy"
SEGMENT_LINE = "# segment\n"
# Lines parsed at a time: a few MB of text and of doubles, whatever the file's length.
BLOCK_LINES = 1 << 15
# Room in an .npy header for any frame count, so that it can be rewritten in place at the end.
_NPY_HEADER_BYTES = 128


def check_format(fmt):
    if fmt not in FORMATS:
        raise ValueError("format must be one of %s, got %r" % (", ".join(FORMATS), fmt))
    if fmt == "h5":
        import_h5py()
    return fmt


def import_h5py():
    try:
        import h5py
    except ImportError:
        raise ImportError("the h5 format needs h5py, which is not installed: pip install h5py") from None
    return h5py


def side_files(fmt, layout, keep_time):
    """The suffixes of the files beside the projection, for a file of this layout."""
    if fmt != "npy":
        return ()
    out = ()
    if keep_time and layout.time is not None:
        out += (TIME_SUFFIX,)
    if layout.segment_marker is not None:
        out += (SEGMENTS_SUFFIX,)
    return out


def project(x, mean, w):
    """(x - mean) @ w, summed as lagstat's projection sums: products added in ascending column
    order to an accumulator starting at 0, one rounding each (no reassociation, no FMA)."""
    y = np.zeros((x.shape[0], w.shape[1]))
    for k in range(w.shape[0]):
        y += (x[:, k] - mean[k])[:, None] * w[k]
    return y


class Frames:
    """The frames of a file as lagstat reads them, in blocks: the selected columns as doubles,
    the time field's text, and the first frame of every segment (a COLVAR restart).

    `parse=False` only counts the frames and finds the segments (no number is converted).
    With `line_numbers`, block_lines holds the 1-based line number of every frame of the last
    block (for messages that name a frame's line).
    """

    def __init__(self, path, layout, usecols, want_time=False, parse=True, line_numbers=False):
        self.path, self.layout, self.usecols = path, layout, list(usecols)
        self.line_numbers, self.block_lines, self._numbers = line_numbers, [], []
        self.want_time = want_time and layout.time is not None
        self.parse = parse
        self.segment_starts = [0]
        self.frames = 0

    def _split(self, text):
        if self.layout.delimiter:
            return [f.strip() for f in text.split(self.layout.delimiter)]
        return text.replace(",", " ").split()

    def blocks(self):
        """Yields (x, times): x of shape (m, columns) (None without parse), times a list of the
        time fields' text (None without want_time)."""
        comments = self.layout.comments or ""
        marker = self.layout.segment_marker
        skip_blank = self.layout.kind in _formats.SKIPS_BLANK
        closed = None  # the line of an xvg's '&', after which only comments may follow
        lines, times = [], []
        with _formats._open_text_bytes(self.path) as f:
            for number, raw in enumerate(f):
                if number < self.layout.skip_rows:
                    continue
                text = raw.decode("latin-1")
                stripped = text.strip()
                if not stripped:
                    if skip_blank:
                        continue
                    break  # lagstat's rule: the data end at the first blank line
                if self.layout.kind == "xvg" and stripped == "&" and closed is None:
                    closed = number + 1  # the set's end, as lagstat's read had it (closes_its_set)
                    continue
                if stripped[0] in comments:
                    if marker and text.startswith(marker) and self.frames + len(lines) > self.segment_starts[-1]:
                        self.segment_starts.append(self.frames + len(lines))
                    continue
                if closed is not None:
                    raise ValueError(_formats.multiple_sets_message(self.path))
                cut = [i for i in (text.find(c) for c in comments) if i >= 0]
                if cut:
                    text = text[: min(cut)]
                if self.want_time:
                    times.append(self._split(text)[self.layout.time])
                if self.line_numbers:
                    self._numbers.append(number + 1)
                lines.append(text)
                if len(lines) == BLOCK_LINES:
                    yield self._block(lines, times)
                    lines, times = [], []
        if lines:
            yield self._block(lines, times)

    def _block(self, lines, times):
        self.frames += len(lines)
        self.block_lines, self._numbers = self._numbers, []
        x = None
        if self.parse:
            if self.layout.delimiter is None:
                lines = [line.replace(",", " ") for line in lines]
            x = np.loadtxt(lines, delimiter=self.layout.delimiter, usecols=self.usecols, ndmin=2,
                           dtype=np.float64, comments=None)
        return x, (times if self.want_time else None)


def write(path, tmps, fmt, keep_time, mean, w, opts):
    """Writes path's projection into the temporaries tmps ({suffix: name}, plus "stream" for
    text), which the caller renames when all are whole."""
    layout, usecols, reader = opts["layout"], opts["usecols"], opts["reader"]
    if fmt == "text":
        _write_text(path, tmps, keep_time, mean, w, layout, usecols, reader)
        return
    frames = Frames(path, layout, usecols, want_time=keep_time)
    try:
        if fmt == "npy":
            _write_npy(frames, tmps, mean, w)
        else:
            _write_h5(frames, tmps[SUFFIXES["h5"]], mean, w)
    except ValueError:
        # A line lagstat refuses: its own error, with the file and line, rather than NumPy's.
        _check_with_lagstat(path, reader)
        raise
    if frames.frames == 0:
        _check_with_lagstat(path, reader)
        raise ValueError("%s: no frames" % path)


def _check_with_lagstat(path, reader):
    lagstat.run(path, {}, 1, 0, 0, 0, 1, **reader)


def _write_text(path, tmps, keep_time, mean, w, layout, usecols, reader):
    out = tmps[SUFFIXES["text"]]
    want_time = keep_time and layout.time is not None
    if not want_time and layout.segment_marker is None:
        _stream(path, out, mean, w, reader, layout)
        return
    scratch = tmps["stream"]
    _stream(path, scratch, mean, w, reader, layout)
    frames = Frames(path, layout, usecols, want_time=want_time, parse=False)
    written = 0
    with open(scratch, "r", encoding="ascii", newline="\n") as proj, \
            open(out, "w", encoding="latin-1", newline="\n") as dest:
        for _, times in frames.blocks():
            starts = set(frames.segment_starts[1:])
            for i in range(frames.frames - written):
                line = proj.readline()
                if not line:
                    break
                if written in starts:
                    dest.write(SEGMENT_LINE)
                dest.write(times[i] + " " + line if want_time else line)
                written += 1
        if proj.readline() or written != frames.frames:
            raise RuntimeError("%s read differently the second time (%d frames, then %d): is it still being "
                               "written?" % (path, written, frames.frames))
    remove_quietly(scratch)


def _stream(path, out, mean, w, reader, layout):
    try:
        lagstat.stream(path, out, mean, _square(w), w.shape[1], 0, **reader)
    except Exception as exc:
        name_file(exc, path)
        # Stopped at the '&' closing the file's one set: every frame's line is written.
        if not _formats.closes_its_set(exc, path, layout):
            raise


def _square(w):
    # lagstat.stream takes the n x n weights and uses their first max_proj columns.
    full = np.zeros((w.shape[0], w.shape[0]))
    full[:, : w.shape[1]] = w
    return full


class _NpyRows:
    """An .npy file of float64 rows written block by block; the header is rewritten at the end
    with the row count (its length fixed in advance)."""

    def __init__(self, path, width):
        self.f = open(path, "wb")
        self.width, self.rows = width, 0
        self.f.write(self._header())

    def _header(self):
        shape = (self.rows,) if self.width is None else (self.rows, self.width)
        text = "{'descr': '<f8', 'fortran_order': False, 'shape': %r, }" % (shape,)
        room = _NPY_HEADER_BYTES - 10 - 1
        return b"\x93NUMPY\x01\x00" + (room + 1).to_bytes(2, "little") + text.ljust(room).encode("latin-1") + b"\n"

    def append(self, block):
        self.f.write(np.ascontiguousarray(block, dtype="<f8").tobytes())
        self.rows += block.shape[0]

    def close(self):
        self.f.seek(0)
        self.f.write(self._header())
        self.f.close()


def _write_npy(frames, tmps, mean, w):
    files = [_NpyRows(tmps[SUFFIXES["npy"]], w.shape[1])]
    time = _NpyRows(tmps[TIME_SUFFIX], None) if TIME_SUFFIX in tmps else None
    try:
        for x, times in frames.blocks():
            files[0].append(project(x, mean, w))
            if time is not None:
                time.append(np.asarray(times, dtype=np.float64))
    finally:
        for f in files + ([time] if time is not None else []):
            f.close()
    if SEGMENTS_SUFFIX in tmps:
        with open(tmps[SEGMENTS_SUFFIX], "wb") as f:  # a name: np.save would add ".npy" to the temporary's
            np.save(f, np.asarray(frames.segment_starts, dtype=np.int64))


def _write_h5(frames, tmp, mean, w):
    h5py = import_h5py()
    dim = w.shape[1]
    with h5py.File(tmp, "w") as h5:
        proj = h5.create_dataset("projection", shape=(0, dim), maxshape=(None, dim), dtype="f8",
                                 chunks=(max(1, min(BLOCK_LINES, (1 << 20) // (8 * dim))), dim))
        time = None
        if frames.want_time:
            time = h5.create_dataset("time", shape=(0,), maxshape=(None,), dtype="f8", chunks=(BLOCK_LINES,))
        for x, times in frames.blocks():
            n0 = proj.shape[0]
            proj.resize(n0 + x.shape[0], axis=0)
            proj[n0:] = project(x, mean, w)
            if time is not None:
                time.resize(n0 + x.shape[0], axis=0)
                time[n0:] = np.asarray(times, dtype=np.float64)
        h5.create_dataset("segment_starts", data=np.asarray(frames.segment_starts, dtype=np.int64))


def write_source(source, tmp, fmt, mean, w, project_block):
    """Writes a binary source's projection into tmp, one block at a time: the doubles of
    TICA.transform (npy, h5) or their "%f" (text); one segment, no time field."""
    dim = w.shape[1]
    if fmt == "npy":
        rows = _NpyRows(tmp, dim)
        try:
            for block in source.blocks():
                rows.append(project_block(block))
        finally:
            rows.close()
    elif fmt == "h5":
        h5py = import_h5py()
        with h5py.File(tmp, "w") as h5:
            proj = h5.create_dataset("projection", shape=(0, dim), maxshape=(None, dim), dtype="f8",
                                     chunks=(max(1, min(BLOCK_LINES, (1 << 20) // (8 * dim))), dim))
            for block in source.blocks():
                n0 = proj.shape[0]
                proj.resize(n0 + block.shape[0], axis=0)
                proj[n0:] = project_block(block)
            h5.create_dataset("segment_starts", data=np.zeros(1, dtype=np.int64))
    else:
        with open(tmp, "w", encoding="ascii", newline="\n") as f:
            for block in source.blocks():
                np.savetxt(f, project_block(block), fmt="%f", delimiter=" ")
