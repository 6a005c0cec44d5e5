"""The text layouts molecular dynamics leaves behind, recognised from a file's first lines.

A PLUMED COLVAR, a GROMACS xvg, a CSV written by pandas and bare columns of numbers all hold
one frame per line; they differ in their headers, their comment lines and which field is the
time. `detect` turns the first lines of a file into a `Layout`: the names of its fields, the
reader options lagstat needs to read the frames (comments, skip_rows, usecols, delimiter), the
line that starts a new segment (a COLVAR restart) and the field holding the time. `select`
then picks the feature columns by name or index.
"""
import ast
import bz2
import contextlib
import csv
import errno
import gzip
import lzma
import math
import os
import re
import shutil
import subprocess
import warnings
from typing import NamedTuple, Optional, Tuple

# A format is recognised from a file's header and its first data lines (the time spacing is
# taken from those). They are looked for in the first HEAD_LINES lines / HEAD_BYTES bytes, and
# on, in ever larger windows, until they are in, the data end or HEAD_LIMIT bytes are read:
# enough for any header or a line of millions of fields, while a file that is no text at all
# costs no more than that.
HEAD_LINES = 256
HEAD_BYTES = 1 << 20
HEAD_LIMIT = 64 << 20
_DATA_LINES = 3

COLVAR_MARKER = "#! FIELDS"

_MAGIC = ((b"\x1f\x8b", gzip.open), (b"BZh", bz2.open), (b"\xfd7zXZ\x00", lzma.open))
_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
# A Colvars trajectory's header names the step and the variables, and comes again at every restart.
_COLVARS_HEADER = re.compile(r"#\s*step(?:\s|$)")
_LEGEND = re.compile(r'@\s*s(\d+)\s+legend\s+"(.*)"')
_XLABEL = re.compile(r'@\s*xaxis\s+label\s+"(.*)"')
_UNIT = re.compile(r"\(([^()]+)\)\s*$")
_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\Z")
_XVG_SETS = ("&",)
_BOM = "\ufeff"
_NOT_NAMES = ("nan", "inf", "infinity")
# Formats whose writers (or users joining two runs by hand) leave blank lines between frames:
# skipped there, as numpy.loadtxt skips them. Bare columns keep lagstat's rule, which ends the
# data at the first blank line.
SKIPS_BLANK = ("colvar", "colvars", "xvg", "csv")


class Layout(NamedTuple):
    """How the frames of one file are laid out; field indices count as they stand in a line."""

    kind: str  # "colvar", "colvars", "xvg", "csv" or "columns"
    fields: Tuple[str, ...]  # the name of every field of a data line
    time: Optional[int] = None  # the time field (COLVAR time, xvg x axis, CSV time or index), if any
    comments: Optional[str] = None
    skip_rows: int = 0
    delimiter: Optional[str] = None
    segment_marker: Optional[str] = None
    unit: Optional[str] = None  # the time unit a header names (xvg "Time (ps)")
    dt: Optional[float] = None  # the time field's spacing over the first data lines
    index: Optional[int] = None  # a row counter beside the time (pandas' index), never a feature

    def features(self, keep_time=False):
        """Field indices of the feature columns, in line order (the time left out unless kept)."""
        return [i for i in range(len(self.fields)) if (keep_time or i != self.time) and i != self.index]

    def reader_options(self, usecols=None):
        """Keyword options for lagstat.run/stream reading the given fields."""
        opts = {}
        if self.comments:
            opts["comments"] = self.comments
        if self.skip_rows:
            opts["skip_rows"] = self.skip_rows
        if self.delimiter:
            opts["delimiter"] = self.delimiter
        if usecols is not None and list(usecols) != list(range(len(self.fields))):
            opts["usecols"] = list(usecols)
        if self.kind in SKIPS_BLANK:
            opts["skip_blank"] = True
        return opts


class Selection(NamedTuple):
    """The feature columns of a run: names and their field indices."""

    names: Tuple[str, ...]
    usecols: Tuple[int, ...]


class Head(list):
    """A file's first lines; `bounded` when HEAD_LIMIT ended the look before its first data lines."""

    bounded = False


def head_lines(path):
    """The first lines of a file, decompressed (as lagstat reads it), without their line ends."""
    from . import _native

    return read_head(_native.open(path))


def read_head(source):
    """The lines of a _native source up to its first data lines (see HEAD_LIMIT), as a Head.

    The source keeps them, so that its scan reads them again (a pipe loses nothing).
    """
    lines, size = HEAD_LINES, min(HEAD_BYTES, HEAD_LIMIT)
    while True:
        head = Head(source.head(max_lines=lines, max_bytes=size))
        if _enough(head) or (source.ended and len(head) < lines):
            return head
        if size >= HEAD_LIMIT and lines >= HEAD_LIMIT:
            head.bounded = True
            return head
        lines, size = min(lines * 4, HEAD_LIMIT), min(size * 4, HEAD_LIMIT)


def _enough(lines):
    # A header ends at the first line of data; the first _DATA_LINES after a header row give
    # the time step. A blank line ends the data, so nothing after it matters.
    data = 0
    for line in lines:
        stripped = line.strip()
        if not stripped:
            return True
        if stripped[0] not in "#@":
            data += 1
            if data > _DATA_LINES:
                return True
    return False


def bound_message(path):
    return ("%s: no data line ends within its first %g MiB, which is as far as its format is looked for"
            % (path, HEAD_LIMIT / (1 << 20)))


def _split(line, delimiter=None):
    if delimiter:
        return [f.strip() for f in line.split(delimiter)]
    return line.replace(",", " ").split()


def _is_number(text):
    return bool(_NUMBER.match(text))


def _time_step(data, time, delimiter=None):
    """The spacing of the time field over the first data lines, if they show a regular one."""
    if time is None:
        return None
    try:
        t = [float(_split(line, delimiter)[time]) for line in data[:_DATA_LINES]]
    except (IndexError, ValueError):
        return None
    steps = [b - a for a, b in zip(t, t[1:])]
    if not steps or steps[0] <= 0 or not all(math.isclose(s, steps[0], rel_tol=1e-6) for s in steps):
        return None
    return steps[0]


def detect(lines, path="<file>"):
    """The Layout of a file whose first lines are `lines` (strings without line ends)."""
    if lines and lines[0].startswith(_BOM):
        # Excel's "CSV UTF-8" starts with one. A header row is skipped whatever it holds, so its
        # names are read without it. Before bare numbers it stays for the reader to refuse, as
        # lagstat.run does (EILSEQ): taken for a header, the first frame would go unnoticed.
        stripped = [lines[0][len(_BOM):]] + list(lines[1:])
        if isinstance(lines, Head):
            bounded, stripped = lines.bounded, Head(stripped)
            stripped.bounded = bounded
        lines = stripped
    if any(line.startswith(COLVAR_MARKER) for line in lines):
        return _colvar(lines, path)
    colvars = next((line for line in lines if _COLVARS_HEADER.match(line)), None)
    if colvars is not None:
        return _colvars(lines, colvars, path)
    if any(line.lstrip().startswith("@") for line in lines) or output_base(path).endswith(".xvg"):
        return _xvg(lines, path)
    data = [line for line in lines if line.strip() and line.lstrip()[0] != "#"]
    first = _split(data[0]) if data else []
    # A row of names, unless a field is a number lagstat refuses (nan, inf): then it is a bad
    # data line, which lagstat reports as such rather than this skipping it as a header.
    if first and not all(_is_number(f) for f in first) and not any(f.lower().lstrip("+-") in _NOT_NAMES
                                                                    for f in first):
        return _header_row(lines, data, path)
    # Bare columns read as they always have; `#` lines (numpy.savetxt's header) are comments
    # when the head shows some. A file without data is left for lagstat to refuse.
    width = len(_split(data[0])) if data else 0
    commented = any(line.lstrip().startswith("#") for line in lines)
    return Layout("columns", tuple("x%d" % i for i in range(width)), comments="#" if commented else None)


def _colvar(lines, path):
    header = next(line for line in lines if line.startswith(COLVAR_MARKER))
    names = tuple(header[len(COLVAR_MARKER):].split())
    if not names:
        raise ValueError("%s: a %r line without field names" % (path, COLVAR_MARKER))
    data = [line for line in lines if line.strip() and line.lstrip()[0] != "#"]
    time = names.index("time") if "time" in names else None
    return Layout("colvar", names, time=time, comments="#", segment_marker=COLVAR_MARKER,
                  dt=_time_step(data, time))


def _colvars(lines, header, path):
    # The marker is the header's start up to "step", as the module writes it every time.
    names = tuple(header.lstrip("#").split())
    marker = header[: header.index("step") + len("step")]
    data = [line for line in lines if line.strip() and line.lstrip()[0] != "#"]
    return Layout("colvars", _unique(names, path), time=0, comments="#", segment_marker=marker, unit="step",
                  dt=_time_step(data, 0))


def _xvg(lines, path):
    legends, xlabel = {}, None
    for line in lines:
        stripped = line.strip()
        m = _LEGEND.match(stripped)
        if m:
            legends[int(m.group(1))] = m.group(2).strip()
        m = _XLABEL.match(stripped)
        if m:
            xlabel = m.group(1).strip()
    data = [line for line in lines if line.strip() and line.lstrip()[0] not in "#@"]
    if not data:
        if getattr(lines, "bounded", False):
            raise ValueError(bound_message(path))
        raise ValueError("%s: no data line in its first %d lines" % (path, len(lines)))
    if data[0].strip() in _XVG_SETS:
        raise ValueError(multiple_sets_message(path))
    width = len(_split(data[0]))
    unit = None
    xname = "time"
    if xlabel:
        m = _UNIT.search(xlabel)
        unit = m.group(1).strip() if m else None
        word = _UNIT.sub("", xlabel).strip()
        if word and word.lower() != "time":
            xname = word  # an x axis other than time (a residue number, say) keeps its name
    names = [xname] + [legends.get(i - 1, "y%d" % i) for i in range(1, width)]
    first_set = data[:next((i for i, line in enumerate(data) if line.strip() in _XVG_SETS), len(data))]
    return Layout("xvg", _unique(names, path), time=0, comments="#@", unit=unit, dt=_time_step(first_set, 0))


def _header_row(lines, data, path):
    """A first data line of names: a CSV header (pandas' to_csv) or a row of names over columns."""
    row = lines.index(data[0])
    delimiter = "," if "," in data[0] else None
    names = _header_names(data[0], delimiter)
    if len(data) > 1 and len(_split(data[1], delimiter)) != len(names):
        raise ValueError("%s: the header has %d names, the first data line %d fields"
                         % (path, len(names), len(_split(data[1], delimiter))))
    if len(data) == 1 and not getattr(lines, "bounded", True):
        # A whole head (read_head's) without a data line. lagstat, having skipped the header,
        # would call the file empty.
        raise OSError(errno.ENODATA, "No data: the file has a header and no data", path)
    time = index = None
    unnamed = bool(names) and names[0] == ""
    if unnamed:
        names[0] = "index"  # pandas writes its index unnamed
        index = 0
    lowered = [n.lower() for n in names]
    if "time" in lowered:
        time = lowered.index("time")  # wherever it stands, beside an index or not
    elif index is not None:
        time, index = index, None  # the index is all the time there is
    elif lowered and lowered[0] == "t":
        time = 0
    if any(not n for n in names):
        raise ValueError("%s: the header row has an empty name" % path)
    named_time = time is not None and not (unnamed and time == 0)
    return Layout("csv" if delimiter else "columns", _unique(names, path), time=time, index=index,
                  skip_rows=row + 1, delimiter=delimiter, comments=None if delimiter else "#",
                  dt=_time_step(data[1:], time, delimiter) if named_time else None)


def _header_names(line, delimiter):
    # Names may be quoted, as R's write.csv and csv.QUOTE_NONNUMERIC write them (a quote inside
    # doubled); the quotes are not part of the name.
    if delimiter:
        return [n.strip() for n in next(csv.reader([line], skipinitialspace=True))]
    return [n[1:-1] if len(n) > 1 and n[0] == n[-1] == '"' else n for n in _split(line)]


def _unique(names, path):
    seen = set()
    for n in names:
        if n in seen:
            raise ValueError("%s: the column name %r appears twice" % (path, n))
        seen.add(n)
    return tuple(names)


def multiple_sets_message(path):
    return ("%s holds several data sets (a '&' line ends one); an xvg file is read as one set of "
            "columns: split it at its '&' lines, one file per set" % path)


def explain_line_error(exc, path, layout):
    """Turns a refused line into a clearer error where the layout tells why it was refused.

    An xvg `&` line starts a further data set, and a COLVAR line of another width may follow a
    restart header naming other fields; both would otherwise be reported as a bad line.
    Returns the exception to raise.
    """
    if layout is None or layout.kind not in ("xvg", "colvar", "colvars") or not isinstance(exc, ValueError):
        return exc
    if not os.path.isfile(path):
        return exc  # a pipe cannot be read again to look at the line
    line_no = _line_number(exc)
    if line_no is None:
        return exc
    line, marker = _line_at(path, line_no, _marker_of(layout))
    new = None
    if layout.kind == "xvg" and (line.strip() in _XVG_SETS or marker is not None):
        new = ValueError(multiple_sets_message(path))  # a '&' line, or a set of other columns after one
    elif marker is not None:
        try:
            _check_marker(path, layout, marker[1], marker[0])
        except ValueError as refused:
            new = refused
    if new is None:
        return exc
    new.__cause__ = exc
    return new


def closes_its_set(exc, path, layout):
    """Whether lagstat refused an xvg's '&' line that only closes its one set, as xmgrace saves
    every set: no data follow it. The frames before it are then the file's, and a read taking
    '&' lines for comments (see reread_options) gives them."""
    if layout is None or layout.kind != "xvg" or not isinstance(exc, ValueError) or not os.path.isfile(path):
        return False
    line_no = _line_number(exc)
    if line_no is None:
        return False
    lines = _lines_from(path, line_no)
    try:
        if next(lines, "").strip() not in _XVG_SETS:
            return False
        for text in lines:
            stripped = text.strip()
            if not stripped:
                continue  # skipped in an xvg (SKIPS_BLANK)
            if stripped[0] not in "#@&":
                return False
        return True
    finally:
        lines.close()


def reread_options(reader):
    """lagstat's options for reading an xvg again whose '&' line only closes its set."""
    return dict(reader, comments=(reader.get("comments") or "") + "&")


def _lines_from(path, line_no):
    """The lines of a file from line line_no (1-based) on, decoded; none once the file went."""
    try:
        with _open_text_bytes(path) as f:
            rest, skip = b"", line_no - 1
            while skip:  # counted by the chunk, not the line: a refused last line may be far in
                chunk = f.read(1 << 20)
                if not chunk:
                    return
                n = chunk.count(b"\n")
                if n < skip:
                    skip -= n
                    continue
                at = -1
                for _ in range(skip):
                    at = chunk.index(b"\n", at + 1)
                rest, skip = chunk[at + 1:], 0
            while True:
                lines = rest.split(b"\n")
                for line in lines[:-1]:
                    yield line.decode("utf-8", "replace")
                chunk = f.read(1 << 20)
                if not chunk:
                    if lines[-1]:
                        yield lines[-1].decode("utf-8", "replace")
                    return
                rest = lines[-1] + chunk
    except OSError:
        return  # the file went meanwhile: the original error stands


def _marker_of(layout):
    # A '&' line ends an xvg's set; the one read takes it for a segment's end, which tells
    # whether another set follows.
    return "&" if layout.kind == "xvg" else layout.segment_marker


def _line_number(exc):
    for note in getattr(exc, "__notes__", None) or ():
        m = re.search(r", line (\d+)$", str(note))
        if m:
            return int(m.group(1))
    return None


def explain_noted_error(exc, layouts):
    """explain_line_error for an error whose note names the file ("in 'FILE', line N")."""
    for note in getattr(exc, "__notes__", None) or ():
        m = re.match(r"in (.+), line \d+$", str(note))
        if m:
            try:
                path = ast.literal_eval(m.group(1))
            except (ValueError, SyntaxError):
                continue
            if path in layouts:
                return explain_line_error(exc, path, layouts[path])
    return exc


def _line_at(path, line_no, marker=None):
    """Line line_no of a file, and the last (number, text) of a marker line before it."""
    last = None
    try:
        with _open_text_bytes(path) as f:
            for i, raw in enumerate(f, start=1):
                text = raw.decode("utf-8", "replace")
                if i == line_no:
                    return text, last
                if marker and text.startswith(marker):
                    last = (i, text)
    except OSError:
        pass  # the file went meanwhile: the original error stands
    return "", last


# --- columns ------------------------------------------------------------------------------------


class ColumnNumbers(NamedTuple):
    """Feature columns first to last by number, as given on a command line (counted from base)."""

    first: int
    last: int
    base: int = 1

    def __str__(self):
        return str(self.first) if self.first == self.last else "%d-%d" % (self.first, self.last)


def select(layout, columns=None, keep_time=False, path="<file>"):
    """The feature columns: all (the time left out unless kept), or those named or numbered.

    `columns` is a sequence of names, 0-based indices into the feature columns (as
    `Layout.features(keep_time)` lists them) and ColumnNumbers (parse_columns' ranges, checked
    against the columns before they are expanded).
    """
    feats = layout.features(keep_time)
    if columns is None:
        chosen = feats
    else:
        if isinstance(columns, (str, int, ColumnNumbers)):
            columns = [columns]
        chosen, seen = [], set()
        for c in columns:
            if isinstance(c, ColumnNumbers):
                if c.last - c.base >= len(feats):
                    raise ValueError("%s: column%s %s out of range: %d feature columns, numbered from %d"
                                     % (path, "s" if c.last > c.first else "", c, len(feats), c.base))
                fields = feats[c.first - c.base:c.last - c.base + 1]
            elif isinstance(c, str):
                if c not in layout.fields:
                    raise ValueError("%s: no column %r; its columns are %s" % (path, c, ", ".join(
                        layout.fields[i] for i in feats)))
                fields = [layout.fields.index(c)]
            elif isinstance(c, bool) or not hasattr(c, "__index__"):
                raise TypeError("columns are names or integer indices, got %r" % (c,))
            else:
                i = c.__index__()
                if not -len(feats) <= i < len(feats):
                    raise ValueError("%s: column index %d out of range: %d feature columns" % (path, i, len(feats)))
                fields = [feats[i]]
            for field in fields:
                if field in seen:
                    raise ValueError("%s: column %r chosen twice" % (path, layout.fields[field]))
                seen.add(field)
                chosen.append(field)
        if not chosen:
            raise ValueError("no columns chosen")
    return Selection(tuple(layout.fields[i] for i in chosen), tuple(chosen))


def parse_columns(text, names=(), base=1):
    """A --columns value: comma-separated names, indices and ranges (`1-64`), indices from `base`.

    Returns a list of names and ColumnNumbers for `select`, which checks the numbers against the
    file's columns before it expands a range. A token that is one of `names` is that name (a CSV
    header `0,1,2` names its columns with numbers); else one that looks like a number or a range
    is one, and anything else is a name.
    """
    out = []
    for token in (t.strip() for t in text.split(",")):
        if not token:
            raise ValueError("an empty entry in --columns %r" % text)
        m = re.match(r"^(\d+)(?:-(\d+))?$", token)
        if not m or token in names:
            out.append(token)
            continue
        lo = int(m.group(1))
        hi = int(m.group(2)) if m.group(2) else lo
        if lo < base or hi < lo:
            raise ValueError("bad column range %r in --columns (columns count from %d)" % (token, base))
        out.append(ColumnNumbers(lo, hi, base))
    return out


def agree(paths, layouts, selections):
    """Refuses files of one run whose columns differ (names and order), naming both files."""
    first_path, first = paths[0], layouts[0]
    for path, layout, sel in zip(paths[1:], layouts[1:], selections[1:]):
        if layout.kind != first.kind:
            raise ValueError("%s is %s, %s is %s: one run reads one format" % (
                first_path, _KIND_NAMES[first.kind], path, _KIND_NAMES[layout.kind]))
        if len(layout.fields) != len(first.fields):
            raise ValueError("files have different numbers of columns: %s: %d, %s: %d" % (
                first_path, len(first.fields), path, len(layout.fields)))
        if layout.fields != first.fields or sel.names != selections[0].names:
            raise ValueError("%s and %s have different columns: %s / %s" % (
                first_path, path, " ".join(first.fields), " ".join(layout.fields)))


_KIND_NAMES = {"colvar": "PLUMED COLVAR", "colvars": "Colvars trajectory",
               "xvg": "GROMACS xvg", "csv": "CSV", "columns": "bare columns"}


def describe(layout):
    return _KIND_NAMES[layout.kind]


# --- restarts -----------------------------------------------------------------------------------


def check_segments(path, layout, segments):
    """Checks a COLVAR's restarts: the same fields, else ValueError; time going back warns.

    segments: per segment (first data line, frames, the marker line that started it or None,
    first time, last time), as the scan reports them.
    """
    if layout.kind == "xvg":
        if any(marker is not None for _, _, marker, _, _ in segments):
            raise ValueError(multiple_sets_message(path))  # frames after a '&' line
        return
    if layout.segment_marker is None:
        return
    for first_line, _, marker, _, _ in segments:
        if marker is not None:
            _check_marker(path, layout, marker, first_line)
    for before, after in zip(segments, segments[1:]):
        last, first = before[4], after[3]
        if first <= last:  # NaN (no time field) compares false
            warnings.warn("%s, line %d: time goes back at a restart (%g after %g): the frames since the last "
                          "checkpoint appear twice" % (path, after[0], first, last), RuntimeWarning, stacklevel=2)


def _check_marker(path, layout, text, line_no):
    if layout.kind == "colvars":
        names = tuple(text.strip().lstrip("#").split())  # "step" and the variables
    else:
        names = tuple(text.strip()[len(layout.segment_marker):].split())
    if names != layout.fields:
        raise ValueError("%s, line %d: a restart's header names other fields (%s) than the file's first (%s); "
                         "one run reads one set of columns: split the file at the restart"
                         % (path, line_no, " ".join(names), " ".join(layout.fields)))


def check_blank_end(path, layout, line_no, rereadable=True):
    """Warns when bare columns' data ended at the blank line line_no (0: they did not) and more
    data follow it: lagstat's rule reads none of them, which the user should hear of."""
    if not line_no or layout.kind in SKIPS_BLANK or not rereadable:
        return
    lines = _lines_from(path, line_no + 1)
    try:
        comments = layout.comments or ""
        for at, text in enumerate(lines, start=line_no + 1):
            stripped = text.strip()
            if stripped and stripped[0] not in comments:
                warnings.warn("%s, line %d: the data end at the blank line %d (lagstat's rule for bare columns), "
                              "and more follow from line %d; they are not read: remove the blank line to read them"
                              % (path, line_no, line_no, at), RuntimeWarning, stacklevel=3)
                return
    finally:
        lines.close()


def output_base(path):
    """The name a projection of path is called after: its base name without a compression ending."""
    base = os.path.basename(os.fspath(path))
    for ending in (".gz", ".bz2", ".xz", ".zst"):
        if base.endswith(ending) and len(base) > len(ending):
            return base[: -len(ending)]
    return base


# --- a run's files ------------------------------------------------------------------------------


def scan_options(layout, selection):
    """Keyword options of the native scan for a file of this layout, reading these columns."""
    return dict(layout.reader_options(selection.usecols), **_scan_extras(layout))


def _scan_extras(layout):
    extras = {}
    if _marker_of(layout):
        extras["segment_marker"] = _marker_of(layout)
    if layout.time is not None:
        extras["time_field"] = layout.time
    return extras


class ScanOptions:
    """options_of for a one-read fit: a file's scan options from its own first lines.

    Every file must agree with `reference` (path, layout, selection), or with the first file
    it is called for. Picklable for worker processes and Dask tasks; `seen` keeps the layouts
    and selections of the files it was called for in this process (the streams, read here).
    """

    def __init__(self, columns=None, keep_time=False, reference=None):
        self.columns = columns
        self.keep_time = keep_time
        self.reference = reference
        self.seen = {}

    def __call__(self, path, head):
        layout = detect(head, path)
        if not layout.fields:
            # No data in the whole head: the scan refuses the input in lagstat's words (a pipe
            # cannot be read again here to have lagstat.run say it, as plan does for a file).
            if getattr(head, "bounded", False):
                raise ValueError(bound_message(path))
            return layout.reader_options()
        selection = select(layout, self.columns, self.keep_time, path)
        if self.reference is None:
            self.reference = (path, layout, selection)
        ref_path, ref_layout, ref_selection = self.reference
        agree([ref_path, path], [ref_layout, layout], [ref_selection, selection])
        self.seen[path] = (layout, selection)
        return scan_options(layout, selection)

    def npy_options(self, path):
        """The scan options of a .npy read from a pipe: its width is known only to its one read,
        so its columns are chosen by index from 0 (a name or a negative index needs the width)."""
        if self.keep_time:
            raise ValueError("%s: keep_time keeps a text file's time column; a .npy has none: choose its columns "
                             "by index" % path)
        if self.columns is None:
            return {}
        columns = [self.columns] if isinstance(self.columns, (str, int)) else self.columns
        usecols = []
        for c in columns:
            if hasattr(c, "first") and hasattr(c, "base"):  # a range of the command line's --columns
                usecols.extend(range(c.first - c.base, c.last - c.base + 1))
            elif isinstance(c, int) and not isinstance(c, bool) and c >= 0:
                usecols.append(c)
            elif hasattr(c, "__index__") and not isinstance(c, (bool, str)) and int(c) >= 0:
                usecols.append(int(c))
            else:
                raise ValueError("%s is a .npy read from a pipe: its columns are chosen by index from 0, not by %r"
                                 % (path, c))
        return {"usecols": usecols}


class Plan(NamedTuple):
    """The layouts of a run's files and the feature columns read from each."""

    layouts: Tuple[Layout, ...]
    selection: Selection

    @property
    def layout(self):
        return self.layouts[0]


def plan(paths, columns=None, keep_time=False):
    """Detects every file's layout and chooses the columns; the files must agree on them."""
    layouts = []
    for path in paths:
        head = head_lines(path)
        layout = detect(head, path)
        if not layout.fields:
            if head.bounded:
                raise ValueError(bound_message(path))
            # No data in the file: lagstat says why (an empty file, a blank first line, ...)
            # in its own words, which also name the file.
            import lagstat

            lagstat.run(path, {}, 1, 0, 0, 0, 1, **layout.reader_options())
            raise ValueError("%s: no data line" % path)
        layouts.append(layout)
    selections = [select(layout, columns, keep_time, p) for p, layout in zip(paths, layouts)]
    agree(paths, layouts, selections)
    return Plan(tuple(layouts), selections[0])


_FILTER_KEYS = ("comments", "skip_rows", "usecols", "delimiter", "skip_blank")


def needs_filter(reader):
    """Whether a file's lines need reader options, which the plain edge reader lacks."""
    return any(k in reader for k in _FILTER_KEYS)


def _open_text_bytes(path):
    """The decompressed bytes of a file, as a context manager yielding an iterable of lines (a
    pipe opened once already, one with `lines`: those)."""
    if hasattr(path, "lines"):
        return contextlib.nullcontext(path.lines)
    with open(path, "rb") as raw:
        magic = raw.read(6)
    if magic.startswith(_ZSTD_MAGIC):
        return _ZstdLines(path)
    opener = next((fn for m, fn in _MAGIC if magic.startswith(m)), open)
    return opener(path, "rb")


class _ZstdLines:
    # The standard library has no zstd decoder before 3.14; the command line tool has one.
    def __init__(self, path):
        tool = shutil.which("zstd")
        if tool is None:
            raise OSError("%s: zstd-compressed, and no zstd command to read it" % path)
        self._proc = subprocess.Popen([tool, "-dcq", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def __enter__(self):
        return self._proc.stdout

    def __exit__(self, *exc):
        self._proc.kill()
        self._proc.wait()
        self._proc.stdout.close()
        return False


def segment_sums(path, layout, reader, n_frames, lag, mean):
    """One native scan of a file: per-segment edge sums and the lagged sums within segments.

    Returns head_sum, head_outer, tail_sum, tail_outer (sums of z and z z^T, z = x - mean,
    over the first and the last min(lag, length) frames of every segment), tcov and pairs
    (the lagged products and pairs within segments; lagstat.run would pair frames across a
    restart) and segments, as the scan reports them, for check_segments.
    """
    from . import _native

    opts = dict(reader, **_scan_extras(layout))
    r = _native.open(path).scan([lag], shift=[float(v) for v in mean], **opts)
    if r["frames"] != n_frames:
        raise RuntimeError("%s changed between reads: %d frames, then %d; is it still being written?"
                           % (path, n_frames, r["frames"]))
    return {"head_sum": r["head_sum"][0], "head_outer": r["head_cov"][0], "tail_sum": r["tail_sum"][0],
            "tail_outer": r["tail_cov"][0], "tcov": r["tcov"][0], "pairs": float(r["pairs"][0]),
            "segments": [tuple(seg) for seg in r["segments"]]}
