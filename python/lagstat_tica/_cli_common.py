"""What the command line's subcommands share: the program's name and exit statuses, argument
types, the signal and closed-output handling, messages, and the figure's file."""
import argparse
import errno
import math
import contextlib
import os
import signal
import sys
import threading

from ._optional import missing

PROG = "lagstat-tica"


# Exit statuses of a run cut short, as a shell reports a process killed by the signal.
EXIT_SIGINT = 128 + 2


EXIT_SIGPIPE = 128 + 13


EXIT_SIGTERM = 128 + 15


class _Terminated(BaseException):
    """Raised by the SIGTERM handler, so that the run unwinds (workers stopped, an output
    folder it created and left empty removed) as after Ctrl-C."""


class _StdoutClosed(Exception):
    """The reader of standard output has gone (`lagstat-tica ... | head`)."""


# The signals that reached the command's handlers during this run. An exception a handler
# raises where Python only reports it ("Exception ignored in": a weakref callback, __del__, a
# garbage collection; h5py closes files so) is lost, and the run would go on to exit 0;
# check_signals raises it again from the record.
_received = []


def _on_sigterm(signum, frame):
    _received.append(signal.SIGTERM)
    raise _Terminated()


def _on_sigint(signum, frame):
    _received.append(signal.SIGINT)
    raise KeyboardInterrupt


@contextlib.contextmanager
def command_signals():
    """The command's handlers for the run: SIGTERM unwinds it as Ctrl-C does, and SIGINT, where
    it is Python's own KeyboardInterrupt, is recorded too. The previous handlers come back after."""
    del _received[:]
    saved = {}
    if threading.current_thread() is threading.main_thread():  # handlers can only be set there
        saved[signal.SIGTERM] = signal.signal(signal.SIGTERM, _on_sigterm)
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            saved[signal.SIGINT] = signal.signal(signal.SIGINT, _on_sigint)
    try:
        yield
    finally:
        for sig, handler in saved.items():
            signal.signal(sig, handler if handler is not None else signal.SIG_DFL)


def check_signals():
    """Raises the stop of a signal whose handler's exception was lost."""
    if _received:
        raise _Terminated() if signal.SIGTERM in _received else KeyboardInterrupt()


def _say(text):
    """Writes to standard output at once, so that a closed pipe shows up here."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise _StdoutClosed() from None


def _drop_stdout():
    # Python flushes standard output again at exit and would complain about the pipe there.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _describe(exc):
    """One line for an exception: its message, then its notes ("in 'FILE', line N")."""
    text = str(exc).strip()
    if not text:
        text = "out of memory" if isinstance(exc, MemoryError) else type(exc).__name__
    text = text.splitlines()[0]
    notes = [n for n in getattr(exc, "__notes__", None) or () if isinstance(n, str)]
    if notes:
        text += " (%s)" % "; ".join(n.replace("\n", " ") for n in notes)
    return text


def _integer(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text) from None


def _positive_int(text):
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be >= 1, got %d" % value)
    return value


def _lag(text):
    from ._moments import LAG_MAX

    value = _positive_int(text)
    if value > LAG_MAX:
        raise argparse.ArgumentTypeError("must be at most %d, got %d" % (LAG_MAX, value))
    return value


def _jobs(text):
    value = _integer(text)
    if value < 1 and value != -1:
        raise argparse.ArgumentTypeError("must be >= 1, or -1 for one per CPU, got %d" % value)
    return value


def _threads(text):
    value = _jobs(text)
    return None if value == -1 else value


def _dt(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0.0 < value < math.inf:
        raise argparse.ArgumentTypeError("must be a positive time step, got %s" % text)
    return value


def _epsilon(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0.0 <= value < math.inf:
        raise argparse.ArgumentTypeError("must be finite and >= 0, got %s" % text)
    return value


def _output(text):
    # An empty name would read as "no output" and the run would drop it without a word.
    if not text:
        raise argparse.ArgumentTypeError("needs a name, got ''")
    return text


def _fraction(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError("must be in (0, 1], got %g" % value)
    return value


def timescale_note(ev, ts):
    """Why a timescale is not an ordinary one, or ''."""
    from ._estimator import UNIT_EIGENVALUE_TOL

    if not math.isfinite(ts) or ts == 0 or abs(abs(ev) - 1.0) <= UNIT_EIGENVALUE_TOL:
        return "undefined"
    if ts < 0:
        return "negative: |eigenvalue| > 1"
    if ev < 0:
        return "eigenvalue < 0"
    return ""


def _column_names(inputs, keep_time=False):
    """The names --columns chooses among: the first regular input's (a text file's fields, a
    binary source's names, or x0, x1, ...)."""
    from . import _formats, _sources

    if not inputs:
        return ()
    if isinstance(inputs[0], _sources.Source):
        return _sources.resolve_columns(inputs[:1], None)[1]
    return _formats.plan(inputs[:1], None, keep_time).layout.fields


def _check_plot(path, inputs):
    """Refuses a --plot file that cannot be written, or that is an input, before the fit."""
    from ._moments import file_id
    from ._tica import check_writable_dir

    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "folder of --plot does not exist", folder)
    check_writable_dir(folder, "folder of --plot")
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, "--plot: %s" % os.strerror(errno.EISDIR), path)
    files = [p for p in inputs if isinstance(p, (str, bytes, os.PathLike))]
    if os.path.exists(path) and file_id(path) in {file_id(p) for p in files}:
        raise ValueError("--plot %r would overwrite an input" % path)


def _import_matplotlib():
    try:
        import matplotlib
    except ImportError as exc:
        raise missing("Matplotlib", "--plot") from exc
    return matplotlib


def figure_path(path):
    """The file a figure saved as `path` lands in: Matplotlib adds its default ending to a name
    without one (f -> f.png). Imports it, so that its absence is told before the work."""
    matplotlib = _import_matplotlib()
    if os.path.splitext(path)[1][1:]:
        return path
    return path.rstrip(".") + "." + matplotlib.rcParams["savefig.format"]


def save_figure(fig, path):
    """Saves fig whole or not at all: drawn under a temporary name beside path, then renamed."""
    from ._moments import written_whole

    with written_whole(path) as tmp:
        fig.savefig(tmp, dpi=110, format=os.path.splitext(path)[1][1:])


def blank_note(sums):
    """The blank lines a read skipped (formats that skip them), for the report's first line."""
    n = int((sums or {}).get("blank_lines", 0))
    return ", %d blank line%s skipped" % (n, "" if n == 1 else "s") if n else ""
