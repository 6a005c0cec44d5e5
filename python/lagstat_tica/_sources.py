"""Frames that are not text: NumPy arrays, .npy and .npz files, HDF5 datasets.

Each source is one trajectory, read in blocks of rows (never whole) into the native
accumulator, which centres and adds them as the text scan does: the same numbers give the same
bits from text, from an array and from a binary file, whatever the blocks or the threads.

A source is named by what it is (a path, ``file.npz:key``, ``file.h5:/group/dataset``, or
"array i" for the i-th array given) in messages, and knows its column count and, where the file
has them, its column names.
"""
import ast
import errno
import glob
import os
import re
import stat
import zipfile

import numpy as np

from . import _native
from ._paths import OWN_ENDINGS

# Rows a block holds at most, and bytes: small enough to keep the memory flat whatever the
# source's length, large enough that the accumulator's kernels run on full blocks.
BLOCK_ROWS = 1 << 16
BLOCK_BYTES = 16 << 20
NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGIC = b"PK\x03\x04"
HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"
_COMPRESSED = ((b"\x1f\x8b", "gzip"), (b"BZh", "bz2"), (b"\xfd7zXZ\x00", "lzma"))
# path:key for an .npz member, path:/dataset for HDF5 (the key after the last colon).
_MEMBER = re.compile(r"\A(?P<path>.+\.(?:npz|h5|hdf5|hdf|he5))(?::(?P<key>[^:]*))\Z", re.IGNORECASE)


class SourceError(ValueError):
    """A binary source that cannot be read as frames (its name in the message)."""


def _short(name, have, want):
    return OSError(errno.EIO, "The data are shorter than the .npy header says (%d of %d bytes)" % (have, want), name)


class Source:
    """One trajectory of frames in blocks: name, frames, columns, names (or None), blocks()."""

    names = None
    rereadable = True

    def blocks(self, usecols=None):
        raise NotImplementedError

    def scan(self, lags, shift=None, threads=None, usecols=None):
        """The dict of _native's source.scan over this source's frames."""
        width = self.columns if usecols is None else len(usecols)
        acc = _native.accumulator(width, list(lags), shift=shift, threads=threads)
        for block in self.blocks(usecols):
            acc.add(block)
        if acc.frames == 0:
            raise SourceError("%s: no frames" % self.name)
        out = acc.finish()
        out["rereadable"] = self.rereadable
        return out

    def _block_rows(self):
        return max(1, min(BLOCK_ROWS, BLOCK_BYTES // max(1, 8 * self.columns)))


def _as_frames(block, usecols):
    """A C-contiguous float64 (rows, columns) block of the columns chosen."""
    if usecols is not None:
        block = block[:, usecols]
    return np.ascontiguousarray(block, dtype=np.float64)


class ArraySource(Source):
    """An array in memory (anything np.asarray takes: __array__, the buffer protocol, lists)."""

    def __init__(self, data, name):
        x = np.asarray(data)
        if x.dtype.kind not in "biuf":
            raise SourceError("%s: frames must be numbers, got dtype %s" % (name, x.dtype))
        if x.ndim == 1:
            x = x[:, None]
        if x.ndim != 2 or x.shape[0] == 0 or x.shape[1] == 0:
            raise SourceError("%s: frames must be a (T, n) array with T, n >= 1, or a list of them; got shape %s"
                              % (name, np.shape(data)))
        self.array, self.name = x, name
        self.frames, self.columns = x.shape

    def blocks(self, usecols=None):
        rows = self._block_rows()
        for at in range(0, self.frames, rows):
            yield _as_frames(self.array[at:at + rows], usecols)


def _npy_header(f, name):
    """(shape, fortran_order, dtype) of the .npy whose magic f starts with, f left at the data."""
    head = _read_exactly(f, 10)
    if len(head) < 10 or head[:6] != NPY_MAGIC or head[6] not in (1, 2, 3):
        raise SourceError("%s: not a NumPy header (no magic and version)" % name)
    if head[6] == 1:
        length = int.from_bytes(head[8:10], "little")
    else:
        more = _read_exactly(f, 2)
        length = int.from_bytes(head[8:10] + more, "little")
    text = _read_exactly(f, length)
    try:
        header = ast.literal_eval(text.decode("utf-8" if head[6] == 3 else "latin1"))
        shape, fortran = tuple(int(d) for d in header["shape"]), bool(header["fortran_order"])
        dtype = np.lib.format.descr_to_dtype(header["descr"])
    except (ValueError, SyntaxError, TypeError, KeyError, UnicodeDecodeError, MemoryError, RecursionError) as exc:
        raise SourceError("%s: not a NumPy header (%s)" % (name, exc)) from None
    if len(text) != length or not isinstance(header, dict):
        raise SourceError("%s: not a NumPy header (cut short)" % name)
    if dtype.hasobject or dtype.fields is not None or dtype.kind not in "biuf":
        raise SourceError("%s: the .npy holds %s values; frames must be real numbers" % (name, dtype))
    if len(shape) > 2 or len(shape) == 0:
        raise SourceError("%s: a .npy of shape %s; frames are 1-D (one column) or 2-D (frames x columns)"
                          % (name, shape))
    if len(shape) == 1:
        shape, fortran = (shape[0], 1), False
    if shape[0] == 0 or shape[1] == 0:
        raise SourceError("%s: a .npy of shape %s holds no frames" % (name, shape))
    return shape, fortran, dtype


class NpyFile(Source):
    """A .npy in a regular file (or stored uncompressed in an .npz, at `offset`): read by ranges
    with pread, so a Fortran-ordered array needs no copy of its whole either."""

    def __init__(self, path, name=None, offset=0, size=None):
        self.path, self.name, self.offset = path, name or os.fspath(path), offset
        with open(path, "rb") as f:
            f.seek(offset)
            (self.frames, self.columns), self.fortran, self.dtype = _npy_header(f, self.name)
            self.data_at = f.tell()
        self.size = size

    def scan(self, lags, shift=None, threads=None, usecols=None):
        if self.offset != 0:  # an .npz member: by ranges of the zip file, here
            return super().scan(lags, shift, threads, usecols)
        # A file of its own: the native reader's, as lagstat.run reads it (the same bits).
        out = _native.open(self.path).scan(list(lags), shift=shift, usecols=usecols, threads=threads)
        out["rereadable"] = True
        return out

    def blocks(self, usecols=None):
        item = self.dtype.itemsize
        rows = self._block_rows()
        want = self.frames * self.columns * item
        with open(self.path, "rb") as f:
            fd = f.fileno()
            for at in range(0, self.frames, rows):
                m = min(rows, self.frames - at)
                if self.fortran:
                    cols = range(self.columns) if usecols is None else usecols
                    block = np.empty((m, len(cols)), dtype=self.dtype)
                    for j, c in enumerate(cols):
                        start = self.data_at + (c * self.frames + at) * item
                        raw = os.pread(fd, m * item, start)
                        if len(raw) != m * item:
                            raise _short(self.name, start - self.data_at + len(raw), want)
                        block[:, j] = np.frombuffer(raw, dtype=self.dtype)
                    yield np.ascontiguousarray(block, dtype=np.float64)
                else:
                    start = self.data_at + at * self.columns * item
                    raw = os.pread(fd, m * self.columns * item, start)
                    if len(raw) != m * self.columns * item:
                        raise _short(self.name, start - self.data_at + len(raw), want)
                    yield _as_frames(np.frombuffer(raw, dtype=self.dtype).reshape(m, self.columns), usecols)


class NpyStream(Source):
    """A .npy read front to back from a stream: a pipe, a compressed file, a deflated .npz member.
    A C-ordered array only: a Fortran-ordered one would need its columns side by side."""

    rereadable = False

    def __init__(self, opener, name, rereadable=False):
        self.opener, self.name, self.rereadable = opener, name, rereadable
        self._file = opener()
        (self.frames, self.columns), fortran, self.dtype = _npy_header(self._file, name)
        if fortran and self.columns > 1:
            self._file.close()
            raise SourceError("%s: a Fortran-ordered .npy cannot be read in order from a stream or a compressed "
                              "file; save it in C order (np.ascontiguousarray) or uncompressed" % name)

    def blocks(self, usecols=None):
        f, self._file = self._file, None
        if f is None:  # read again: from the start
            f = self.opener()
            _npy_header(f, self.name)
        item = self.dtype.itemsize
        rows = self._block_rows()
        want = self.frames * self.columns * item
        got = 0
        with f:
            for at in range(0, self.frames, rows):
                m = min(rows, self.frames - at)
                raw = _read_exactly(f, m * self.columns * item)
                got += len(raw)
                if len(raw) != m * self.columns * item:
                    raise _short(self.name, got, want)
                yield _as_frames(np.frombuffer(raw, dtype=self.dtype).reshape(m, self.columns), usecols)


class _Prefixed:
    """A file whose first bytes were read already, to look at them: they are read again first."""

    def __init__(self, head, f):
        self.head, self.f = head, f

    def read(self, count):
        if self.head:
            out, self.head = self.head[:count], self.head[count:]
            return out
        return self.f.read(count)

    def close(self):
        self.f.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def npy_stream(path):
    """The NpyStream of a pipe or FIFO whose data start with a .npy's magic, else None.

    Only for a caller that has no use for the stream otherwise: the look reads its first bytes.
    """
    f = open(path, "rb")
    head = _read_exactly(f, len(NPY_MAGIC))
    if head != NPY_MAGIC:
        f.close()
        return None
    return NpyStream(lambda: _Prefixed(head, f), os.fsdecode(os.fspath(path)))


def _read_exactly(f, count):
    parts, have = [], 0
    while have < count:
        chunk = f.read(count - have)
        if not chunk:
            break
        parts.append(chunk)
        have += len(chunk)
    return b"".join(parts)


class H5Dataset(Source):
    """An HDF5 dataset (h5py), read a slab of rows at a time (chunk-aligned where it is chunked)."""

    def __init__(self, dataset, name):
        self.dataset, self.name = dataset, name
        shape = dataset.shape
        if dataset.dtype.kind not in "biuf" or len(shape) not in (1, 2):
            raise SourceError("%s: an HDF5 dataset of %s values and shape %s; frames are real numbers, 1-D or 2-D"
                              % (name, dataset.dtype, shape))
        self.frames, self.columns = (shape[0], 1) if len(shape) == 1 else shape
        if self.frames == 0 or self.columns == 0:
            raise SourceError("%s: an HDF5 dataset of shape %s holds no frames" % (name, shape))
        for key in ("columns", "names"):
            if key in dataset.attrs:
                names = [v.decode() if isinstance(v, bytes) else str(v) for v in np.atleast_1d(dataset.attrs[key])]
                if len(names) == self.columns:
                    self.names = tuple(names)
                    break

    def _block_rows(self):
        rows = super()._block_rows()
        chunks = self.dataset.chunks
        if chunks:  # whole chunks per read: HDF5 decompresses a chunk once
            rows = max(chunks[0], rows - rows % chunks[0])
        return rows

    def blocks(self, usecols=None):
        rows = self._block_rows()
        for at in range(0, self.frames, rows):
            block = self.dataset[at:at + rows]
            if block.ndim == 1:
                block = block[:, None]
            yield _as_frames(block, usecols)


def _h5py():
    try:
        import h5py
    except ImportError:
        raise ImportError('reading HDF5 needs h5py, which is not installed: pip install "lagstat[hdf5]"') from None
    return h5py


def _magic(path):
    try:
        with open(path, "rb") as f:
            return f.read(8)
    except OSError:
        return b""


def _compressed_npy(path, kind):
    import bz2
    import gzip
    import lzma

    module = {"gzip": gzip, "bz2": bz2, "lzma": lzma}[kind]
    return NpyStream(lambda: module.open(path, "rb"), os.fspath(path), rereadable=True)


def _npz(path, key=None):
    """Each array of an .npz, in the file's order (or the one named key): stored members by
    ranges of the zip file, deflated ones as streams."""
    out = []
    with zipfile.ZipFile(path) as z:
        infos = [i for i in z.infolist() if not i.is_dir()]
        if key is not None:
            infos = [i for i in infos if i.filename in (key, key + ".npy")]
            if not infos:
                raise KeyError("%s has no array %r; it holds %s" % (path, key, ", ".join(
                    repr(i.filename[:-4] if i.filename.endswith(".npy") else i.filename) for i in z.infolist())))
        for info in infos:
            member = info.filename[:-4] if info.filename.endswith(".npy") else info.filename
            name = "%s:%s" % (os.fspath(path), member)
            if info.compress_type == zipfile.ZIP_STORED:
                with open(path, "rb") as f:
                    f.seek(info.header_offset)
                    local = f.read(30)
                    skip = 30 + int.from_bytes(local[26:28], "little") + int.from_bytes(local[28:30], "little")
                out.append(NpyFile(path, name, info.header_offset + skip, info.file_size))
            else:
                out.append(NpyStream(lambda info=info: zipfile.ZipFile(path).open(info), name, rereadable=True))
    if not out:
        raise SourceError("%s holds no arrays" % os.fspath(path))
    return out


def _h5(path, key):
    h5py = _h5py()
    f = h5py.File(path, "r")
    if not key:
        keys = []
        f.visititems(lambda k, v: keys.append(k) if isinstance(v, h5py.Dataset) else None)
        raise SourceError("%s: name the dataset, as %s:/group/dataset%s" % (
            os.fspath(path), os.fspath(path), "; it holds /" + ", /".join(keys) if keys else ""))
    if key not in f or not isinstance(f[key], h5py.Dataset):
        raise KeyError("%s has no dataset %r" % (os.fspath(path), key))
    return [H5Dataset(f[key], "%s:%s" % (os.fspath(path), key))]


def binary(entry, index=0):
    """The sources an entry of a data list stands for (a list), or None for a text input.

    Arrays and array-likes (__array__, the buffer protocol), h5py datasets; paths of .npy
    (by their magic bytes, compressed too), .npz (every array, or ``file.npz:key``) and HDF5
    (``file.h5:/group/dataset``) files. Anything else (text, patterns, pipes) is None.
    """
    if isinstance(entry, Source):
        return [entry]
    if not isinstance(entry, (str, bytes, os.PathLike)):
        if type(entry).__module__.startswith("h5py") and hasattr(entry, "shape") and hasattr(entry, "dtype"):
            return [H5Dataset(entry, "%s:%s" % (entry.file.filename, entry.name))]
        return [ArraySource(entry, "array %d" % index)]
    path = os.fspath(entry)
    text = os.fsdecode(path) if isinstance(path, bytes) else path
    match = _MEMBER.match(text)
    if match and not os.path.exists(text) and os.path.isfile(match.group("path")):
        base, key = match.group("path"), match.group("key")
        head = _magic(base)
        if head.startswith(HDF5_MAGIC):
            return _h5(base, key)
        if head.startswith(ZIP_MAGIC):
            return _npz(base, key)
        return None
    if not os.path.exists(text):
        return None
    try:
        regular = os.path.isfile(text) and not _is_fifo(text)
    except OSError:
        regular = False
    if not regular:
        if text.endswith(".npy"):  # a pipe or FIFO named as one: streamed
            return [NpyStream(lambda: open(text, "rb"), text)]
        return None
    head = _magic(text)
    if head.startswith(NPY_MAGIC):
        return [NpyFile(text)]
    if head.startswith(ZIP_MAGIC) and text.lower().endswith(".npz"):
        return _npz(text)
    if head.startswith(HDF5_MAGIC):
        return _h5(text, None)
    for magic, kind in _COMPRESSED:
        if head.startswith(magic) and _inner_is_npy(text, kind):
            return [_compressed_npy(text, kind)]
    return None


def is_binary_file(data):
    """Whether data names a file or dataset (a path, a Source, an h5py dataset) rather than frames."""
    return _is_path(data) or isinstance(data, Source) or (
        type(data).__module__.startswith("h5py") and hasattr(data, "shape") and not isinstance(data, np.ndarray))


def _is_fifo(path):
    import stat

    return stat.S_ISFIFO(os.stat(path).st_mode)


def _inner_is_npy(path, kind):
    import bz2
    import gzip
    import lzma

    module = {"gzip": gzip, "bz2": bz2, "lzma": lzma}[kind]
    try:
        with module.open(path, "rb") as f:
            return f.read(6) == NPY_MAGIC
    except (OSError, EOFError, lzma.LZMAError):
        return False


def _is_path(d):
    return isinstance(d, (str, bytes, os.PathLike))


def _is_array_like(d):
    return isinstance(d, (np.ndarray, Source)) or hasattr(d, "__array__") or (
        type(d).__module__.startswith("h5py") and hasattr(d, "shape"))


def entries(data):
    """data as a list of inputs: a path or an array (array-like, h5py dataset) is one; a list of
    arrays and paths is one per element; a list of lists of numbers (scikit-learn's X) is one
    array."""
    if _is_path(data) or not isinstance(data, (list, tuple)):
        return [data]
    if any(_is_path(d) or _is_array_like(d) for d in data):
        return list(data)
    return [data] if data else []


def resolve_columns(sources, columns):
    """usecols for the sources (None: all) and the names of the columns read.

    Columns by 0-based index for every source, by name where the sources have names (HDF5's
    columns/names attribute); the sources must agree on their column count."""
    widths = {s.columns for s in sources}
    if len(widths) != 1:
        raise ValueError("the inputs have different numbers of columns: %s"
                         % ", ".join("%s: %d" % (s.name, s.columns) for s in sources))
    width = widths.pop()
    names = sources[0].names or tuple("x%d" % i for i in range(width))
    if columns is None:
        return None, names
    if isinstance(columns, (str, int, np.integer)):
        columns = [columns]
    usecols = []
    for c in columns:
        if hasattr(c, "first") and hasattr(c, "base"):  # a range of the command line's --columns
            if c.last - c.base >= width:
                raise ValueError("--columns %s: %s has %d columns" % (c, sources[0].name, width))
            usecols.extend(range(c.first - c.base, c.last - c.base + 1))
        elif isinstance(c, str):
            if c not in names:
                raise ValueError("no column named %r in %s; its columns are %s%s" % (c, sources[0].name, ", ".join(
                    names[:20]), "" if sources[0].names else " (x0, x1, ... where it has no names)"))
            usecols.append(names.index(c))
        elif isinstance(c, (int, np.integer)) and not isinstance(c, bool):
            if not -width <= c < width:
                raise ValueError("column %d is out of range for %d columns" % (c, width))
            usecols.append(int(c) % width)
        else:
            raise TypeError("columns must be names or indices, got %r" % (c,))
    if len(set(usecols)) != len(usecols) or not usecols:
        raise ValueError("columns must name distinct columns, at least one: %r" % (columns,))
    return usecols, tuple(names[i] for i in usecols)


# --- files, patterns and pipes -------------------------------------------------------------

_GLOB_CHARS = re.compile(r"[*?\[]")


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


# /dev/stdin, and the names bash's <(...) and /proc give a descriptor: streams, whose data can
# be read once, even when the name no longer resolves (the descriptor closed after a read).
_STREAM_NAME = re.compile(r"\A/(?:dev/stdin|dev/fd/\d+|proc/self/fd/\d+)\Z")


def is_stream(path):
    """True for an input that can be read only once: a pipe, FIFO or other non-regular file."""
    if isinstance(path, Source):
        return not path.rereadable
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return bool(_STREAM_NAME.match(path))


def _is_list_of_arrays(data):
    return isinstance(data, (list, tuple)) and len(data) > 0 and all(isinstance(d, np.ndarray) for d in data)


def _finite(x):
    # A nan or inf makes the sum nan or inf; finite values make it so only by overflowing,
    # which the element check then clears. The sum is a fraction of the element check's cost.
    with np.errstate(over="ignore", invalid="ignore"):
        total = x.sum()
    return np.isfinite(total) or np.isfinite(x).all()


def trajectories(data, check=True):
    """Frames in memory as a list of (T, n) float arrays, or None for files (paths, patterns, pipes).

    An array, or a list of lists of numbers (scikit-learn's X), is one trajectory; a list of arrays
    is one per element, as deeptime takes them. A 1-D array is one column. check=False leaves
    the test for nan and inf to a caller that finds them in its sums.
    """
    if isinstance(data, (str, bytes, os.PathLike)):
        return None
    if _is_list_of_arrays(data):
        items = list(data)
    elif isinstance(data, np.ndarray) or (isinstance(data, (list, tuple)) and data and not any(
            isinstance(d, (str, bytes, os.PathLike)) for d in data)):
        items = [data]
    else:
        return None
    out = []
    for x in items:
        x = np.asarray(x, dtype=float)
        if x.ndim == 1:
            x = x[:, None]
        if x.ndim != 2 or x.shape[0] == 0 or x.shape[1] == 0:
            raise ValueError("frames must be a (T, n) array with T, n >= 1, or a list of them; got shape %s"
                             % (x.shape,))
        if check and not _finite(x):
            raise ValueError("the frames hold values that are not finite (inf/nan)")
        out.append(x)
    if len({x.shape[1] for x in out}) != 1:
        raise ValueError("the arrays have different numbers of columns: %s"
                         % ", ".join(str(x.shape[1]) for x in out))
    return out
