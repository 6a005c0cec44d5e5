"""Where the per-file work runs: in this process, in a pool of worker processes, or on a Dask
cluster; the threads each pass gets, the cores counted as lagstat counts them; the progress
bar; the signals held while the pool does its bookkeeping."""
import ctypes
import multiprocessing
import operator
import os
import signal
import sys
import threading
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait

import numpy as np

from . import _native

try:
    from tqdm.auto import tqdm as _tqdm

    class _Bar(_tqdm):
        # No monitor thread: worker processes may be forked while a bar is alive.
        monitor_interval = 0

except ImportError:  # tqdm is optional: no bar without it
    _Bar = None


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
    """Kills a pool's workers, which may be blocked reading (a slow disk, a FIFO).

    SIGKILL, not SIGTERM: a worker forked while the pool's bookkeeping holds the signals back
    inherits the handler that only records them, until its initializer has run, and would
    live on through a SIGTERM. Their outputs' temporaries are named and removed by the parent.
    """
    kill = getattr(pool, "kill_workers", None)  # Python 3.14+
    if kill is not None:
        kill()
        return
    for proc in list((getattr(pool, "_processes", None) or {}).values()):
        try:
            proc.kill()
        except (OSError, ValueError):
            pass  # already gone


# Where the cgroup files are looked for: the system's ("") but in tests, which give a fake tree.
_SYSTEM_ROOT = ""


def available_cores():
    """The cores this process may run on: its CPU affinity, bounded by its cgroup's CPU quota
    where one is set, as lagstat counts them for threads=-1 (the native count itself, so that
    `--jobs -1` starts the workers the container grants); at least 1."""
    return _native.available_cores(_SYSTEM_ROOT)


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

    def map(self, fn, paths, args=(), desc="", progress=True, consume=None, window=None):
        """fn(path, *args) for every path; the results as a list in file order, or with `consume`
        handed to consume(index, result) in file order as they arrive and not kept (the list
        holds None then).

        With `consume`, at most `window` files (default: two per worker, and at least 2) are in
        flight or waiting for an earlier one, so memory holds that many results whatever the
        number of files.
        """
        sizes = [_file_size(p) for p in paths]
        results = [None] * len(paths)
        bar = _progress_bar(sum(sizes), desc, len(paths), progress)
        done = 0
        keep = consume is None
        limit = len(paths) if keep else max(2, 2 * self.n_workers if window is None else int(window))
        ready_at = {}  # index -> result, finished but waiting for an earlier file
        taken = 0  # files handed on, in order
        dask_state = [0]  # files submitted to the cluster

        def finished(index, result):
            nonlocal done, taken
            done += 1
            if bar is not None:
                bar.update(sizes[index])
                bar.set_postfix_str("%d/%d files" % (done, len(paths)))
            if keep:
                results[index] = result
                return
            ready_at[index] = result
            while taken in ready_at:
                consume(taken, ready_at.pop(taken))
                taken += 1

        try:
            if self.client is not None:
                self._map_dask(fn, paths, args, lambda: limit - (dask_state[0] - taken), dask_state, finished)
            elif self.pool is not None:
                with _HeldSignals() as held:
                    futures = {}
                    try:
                        submitted = 0
                        pending = set()
                        while (submitted < len(paths) or pending) and not held.caught:
                            while submitted < len(paths) and submitted - taken < limit:
                                fut = self.pool.submit(fn, paths[submitted], *args)
                                futures[fut] = submitted
                                pending.add(fut)
                                submitted += 1
                            ready, pending = wait(pending, timeout=0.1, return_when=FIRST_COMPLETED)
                            for fut in sorted(ready, key=futures.get):
                                # dropped once taken: a finished future holds its result
                                finished(futures.pop(fut), fut.result())
                    finally:
                        for fut in futures:
                            fut.cancel()
            else:
                for i, p in enumerate(paths):
                    finished(i, fn(p, *args))
        finally:
            if bar is not None:
                bar.close()
        return results

    def _map_dask(self, fn, paths, args, room, state, finished):
        from distributed import as_completed as dask_completed

        index_of, futures = {}, {}

        def submit():
            while state[0] < len(paths) and room() > 0:
                fut = self.client.submit(fn, paths[state[0]], *args, pure=False)
                index_of[fut.key], futures[fut.key] = state[0], fut
                state[0] += 1
                yield fut

        running = dask_completed(list(submit()))
        try:
            for fut in running:
                i = index_of[fut.key]
                result = fut.result()
                del futures[fut.key]  # the cluster may drop it once fetched
                finished(i, result)
                for more in submit():
                    running.add(more)
        finally:
            self.client.cancel([f for f in futures.values() if not f.done()])
