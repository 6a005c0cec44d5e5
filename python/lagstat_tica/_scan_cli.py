"""lagstat-tica scan FILES... --lags 1,2,5,10 [--plot its.png] [--dt DT] [--ck LAG]: TICA at many lags, one read."""
import argparse
import sys
import warnings

import numpy as np

from . import _cli_common as cli

USAGE_NOTE = "(a file named 'scan' is given as './scan' to the plain command)"


def _lags(text):
    values = []
    for part in text.split(","):
        try:
            values.append(cli._lag(part.strip()))
        except argparse.ArgumentTypeError as exc:
            raise argparse.ArgumentTypeError("%s in %r" % (exc, text)) from None
    return values


def _folds(text):
    value = cli._integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be >= 0, got %d" % value)
    return value


def _fraction(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError("must be between 0 and 1, got %s" % text)
    return value


def build_parser():
    p = argparse.ArgumentParser(
        prog=cli.PROG + " scan",
        description="TICA at several lags from one read of the files: implied timescales, VAMP-2 scores and "
        "VAMP-2 cross-validated by files, per lag. " + USAGE_NOTE,
    )
    p.add_argument("files", nargs="+", metavar="FILES", help="input files or glob patterns")
    p.add_argument("--lags", type=_lags, required=True, metavar="N,N,...", help="lags in frames, comma separated")
    p.add_argument("--plot", type=cli._output, metavar="FILE.png",
                   help="save the implied timescales against the lag (log-log)")
    p.add_argument("--columns", metavar="C", help="feature columns by name or number, as for the plain command")
    p.add_argument("--keep-time", action="store_true", help="keep the time column among the features")
    p.add_argument("--dt", type=cli._dt, metavar="DT",
                   help="time between frames: lags and timescales also in time units (default: the files' time "
                   "column where they have one)")
    p.add_argument("--timescales", type=cli._positive_int, default=3, metavar="K",
                   help="leading timescales shown and plotted (default: 3)")
    p.add_argument("--folds", type=_folds, default=5, metavar="K",
                   help="folds of files for the cross-validated VAMP-2 (default: 5; 0: none)")
    p.add_argument("--bootstrap", type=_folds, default=0, metavar="B",
                   help="resample the files B times (fewer than 10: blocks of their frames) for intervals of "
                   "the timescales and VAMP-2 (default: 0, none)")
    p.add_argument("--seed", type=_folds, metavar="S", help="seed of the resamples (default: a fresh one, printed)")
    p.add_argument("--ci", type=_fraction, default=0.95, metavar="C",
                   help="coverage of the bootstrap intervals (default: 0.95)")
    p.add_argument("--ck", type=cli._positive_int, metavar="LAG",
                   help="Chapman-Kolmogorov test of the model at this scanned lag against the scanned multiples "
                   "of it, from the same read")
    p.add_argument("--ck-observables", type=cli._positive_int, default=None, metavar="K",
                   help="singular functions the Chapman-Kolmogorov test compares (default: 2)")
    p.add_argument("--ck-plot", type=cli._output, metavar="FILE.png", help="save the Chapman-Kolmogorov test's figure")
    p.add_argument("--epsilon", type=cli._epsilon, default=1e-6,
                   help="drop directions whose instantaneous variance is below this (default: 1e-6)")
    p.add_argument("--jobs", type=cli._jobs, default=1, metavar="N", help="worker processes (-1: one per CPU)")
    p.add_argument("--threads", type=cli._threads, metavar="N",
                   help="threads per worker (default and -1: the cores shared among the workers)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    return p


def table(result, k, dt, unit=None):
    """The scan as text: one row per lag."""
    timed = np.isfinite(dt)
    unit = unit or "time"
    head = ["%8s" % "lag"] + (["%12s" % ("lag (%s)" % unit)] if timed else []) + ["%12s" % "pairs"]
    head += ["%14s" % ("t%d (frames)" % (j + 1)) for j in range(k)]
    head += ["%14s" % ("t%d (%s)" % (j + 1, unit)) for j in range(k)] if timed else []
    boot = result.bootstrap_eigenvalues is not None
    if boot:
        head += ["%23s" % ("t%d %g%% (frames)" % (j + 1, 100 * result.ci)) for j in range(k)]
    head += ["%10s" % "VAMP-2", "%10s" % "CV VAMP-2"]
    head += ["%21s" % ("VAMP-2 %g%%" % (100 * result.ci))] if boot else []
    lines = ["%d files read %s, %d frames%s; %s" % (
        result.n_files, "once" if result.n_reads == 1 else "twice (again about the mean)", result.n_frames,
        cli.blank_note(result._sums),
        "VAMP-2 cross-validated over %d folds of files" % result.folds if result.folds
        else "no cross-validation (fewer than two files or folds)")]
    if boot:
        block = getattr(result, "block", None)
        units = "groups of blocks of %d frames" % block if block else "groups of files"
        lines.append("intervals: %d resamples of %d %s, seed %d (percentile intervals)"
                     % (result.bootstrap, result.n_groups, units, result.seed))
    lines.append("  ".join(head))
    ts = result.timescale_table(k)
    used = set()

    def cell(i, j, scale):
        # The fit's rule: |eigenvalue|'s timescale, marked where it is not an ordinary one.
        evals = result.eigenvalues[i]
        if j >= evals.size:
            return "%14s" % "nan"
        note = cli.timescale_note(float(evals[j]), float(ts[i, j]))
        if note == "undefined":
            return "%14s" % "undefined"
        mark = MARKS.get(note, "")
        used.add(note)
        return "%13.6g%s" % (ts[i, j] * scale, mark) if mark else "%14.6g" % (ts[i, j] * scale)

    for i, lag in enumerate(result.lags):
        row = ["%8d" % lag] + (["%12.6g" % (lag * dt)] if timed else []) + ["%12d" % result.n_pairs[i]]
        row += [cell(i, j, 1.0) for j in range(k)]
        row += [cell(i, j, dt) for j in range(k)] if timed else []
        if boot:
            row += ["%23s" % ("[%.4g, %.4g]" % tuple(result.timescales_ci[i, j]) if j < result.timescales_ci.shape[1]
                              else "nan") for j in range(k)]
        row += ["%10.6f" % result.vamp2[i], "%10.6f" % result.vamp2_cv[i]]
        if boot:
            row += ["%21s" % ("[%.6f, %.6f]" % tuple(result.vamp2_ci[i]))]
        lines.append("  ".join(row))
    lines += ["%s %s" % (mark, LEGEND[note]) for note, mark in MARKS.items() if note in used]
    return "\n".join(lines) + "\n"


MARKS = {"eigenvalue < 0": "*", "negative: |eigenvalue| > 1": "!"}
LEGEND = {"eigenvalue < 0": "eigenvalue < 0: the timescale of |eigenvalue|, as the fit and deeptime's timescales() "
                            "give it",
          "negative: |eigenvalue| > 1": "|eigenvalue| > 1 (rounding): a negative timescale"}


def save_plot(result, k, dt, path, unit=None):
    """Implied timescales against the lag, log-log, one line per process; the region where a
    timescale is no longer than the lag (a process the lag cannot resolve) is shaded."""
    matplotlib = cli._import_matplotlib()
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    step = dt if np.isfinite(dt) else 1.0
    label = (unit or "time units") if np.isfinite(dt) else "frames"
    lags = result.lags * step
    ts = result.timescale_table(k) * step
    ts[~(np.isfinite(ts) & (ts > 0))] = np.nan  # undefined on a log axis
    negative = np.array([[j < e.size and e[j] < 0 for j in range(k)] for e in result.eigenvalues], dtype=bool)
    fig, (ax, ax_v) = plt.subplots(1, 2, figsize=(11, 4.5))
    for j in range(k):
        line, = ax.loglog(lags, ts[:, j], "o-", label="process %d" % (j + 1))
        if result.timescales_ci is not None and j < result.timescales_ci.shape[1]:
            band = result.timescales_ci[:, j] * step
            band = np.where(np.isfinite(band) & (band > 0), band, np.nan)
            ax.fill_between(lags, band[:, 0], band[:, 1], color=line.get_color(), alpha=0.2, lw=0,
                            label="%g%% interval" % (100 * result.ci) if j == 0 else None)
    if (negative & np.isfinite(ts)).any():
        ax.loglog(lags[np.nonzero(negative)[0]], ts[negative], "x", color="black", ls="none",
                  label="eigenvalue < 0 (timescale of |eigenvalue|)")
    finite = ts[np.isfinite(ts) & (ts > 0)]
    low = min(lags.min(), finite.min() if finite.size else lags.min()) / 2
    high = max(lags.max(), finite.max() if finite.size else lags.max()) * 2
    ax.fill_between(lags, low, lags, color="grey", alpha=0.3, lw=0, label="timescale < lag")
    ax.plot(lags, lags, color="black", lw=1)
    ax.set_ylim(low, high)
    ax.set_xlabel("lag (%s)" % label)
    ax.set_ylabel("implied timescale (%s)" % label)
    ax.set_title("TICA implied timescales")
    ax.legend(fontsize="small")
    line, = ax_v.semilogx(lags, result.vamp2, "o-", label="VAMP-2")
    if result.vamp2_ci is not None:
        ax_v.fill_between(lags, result.vamp2_ci[:, 0], result.vamp2_ci[:, 1], color=line.get_color(), alpha=0.2,
                          lw=0, label="VAMP-2, %g%% bootstrap interval" % (100 * result.ci))
    if result.folds:
        # The folds' spread as error bars: their lowest and highest score around the mean.
        folds = result.vamp2_cv_folds
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a lag no fold scores
            spread = np.abs(np.stack([np.nanmin(folds, axis=1), np.nanmax(folds, axis=1)]) - result.vamp2_cv)
        ax_v.errorbar(lags, result.vamp2_cv, yerr=spread, fmt="s--", capsize=3,
                      label="VAMP-2, %d-fold CV by files (fold range)" % result.folds)
    ax_v.set_xlabel("lag (%s)" % label)
    ax_v.set_ylabel("VAMP-2 score")
    ax_v.set_title("VAMP-2 (1 = the constant function)")
    ax_v.legend(fontsize="small")
    fig.tight_layout()
    try:
        cli.save_figure(fig, path)
    finally:
        plt.close(fig)


def main(argv):
    args = build_parser().parse_args(argv)
    err = sys.stderr
    with cli.command_signals():
        return _run(args, err)


def _run(args, err):
    try:
        from . import _formats
        from ._moments import _inputs, is_stream
        from ._scan import scan

        paths = _inputs(args.files)  # pipes too: nothing is read twice unless it can be
        columns = None
        if args.columns is not None:
            regular = [p for p in paths if not is_stream(p)]
            if not regular:
                raise ValueError("--columns needs one regular file to read the names from")
            names = cli._column_names(regular[:1], args.keep_time)
            columns = _formats.parse_columns(args.columns, names)
        if (args.ck_observables is not None or args.ck_plot) and args.ck is None:
            raise ValueError("--ck-observables and --ck-plot are options of --ck LAG")
        if args.ck is not None and (args.ck not in args.lags or not any(t > args.ck and t % args.ck == 0
                                                                       for t in args.lags)):
            raise ValueError("--ck %d needs %d among --lags and a multiple of it too (e.g. %d)"
                             % (args.ck, args.ck, 2 * args.ck))
        for name in ("plot", "ck_plot"):
            if getattr(args, name):
                setattr(args, name, cli.figure_path(getattr(args, name)))
                cli._check_plot(getattr(args, name), paths)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = scan(paths, args.lags, columns=columns, keep_time=args.keep_time, n_jobs=args.jobs,
                          threads=args.threads, folds=args.folds, epsilon=args.epsilon, progress=not args.quiet,
                          bootstrap=args.bootstrap, seed=args.seed, ci=args.ci)
        dt = args.dt if args.dt is not None else result.dt
        unit = result.layout.unit if result.layout is not None else None
        cli._say(table(result, args.timescales, dt, unit))
        for w in caught:
            err.write("%s: warning: %s\n" % (cli.PROG, w.message))
        if args.plot:
            save_plot(result, args.timescales, dt, args.plot, unit)
            cli._say("figure saved to %s\n" % args.plot)
        if args.ck is not None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the scan's own warnings were told above
                ck = result.ck_test(args.ck, args.ck_observables or 2)
            cli._say(ck.table())
            if args.ck_plot:
                ck.plot(args.ck_plot)
                cli._say("Chapman-Kolmogorov figure saved to %s\n" % args.ck_plot)
        cli.check_signals()
    except cli._StdoutClosed:
        cli._drop_stdout()
        return cli.EXIT_SIGPIPE
    except cli._Terminated:
        err.write("%s: terminated\n" % cli.PROG)
        return cli.EXIT_SIGTERM
    except KeyboardInterrupt:
        err.write("%s: interrupted\n" % cli.PROG)
        return cli.EXIT_SIGINT
    except (OSError, ValueError, RuntimeError, TypeError, MemoryError, ImportError) as exc:
        err.write("%s: error: %s\n" % (cli.PROG, cli._describe(exc)))
        return 1
    return 0
