"""Command line: lagstat-tica FILES... --lag N [--columns C] [--dim K] [--out DIR] [--jobs N] [--plot FILE.png],
and lagstat-tica scan FILES... --lags N,N,... (in _scan_cli)."""
import argparse
import itertools
import sys
import tempfile
import warnings

import numpy as np

from lagstat import __version__

from ._cli_common import (  # noqa: F401 (names kept here for their old users)
    blank_note,
    EXIT_SIGINT, EXIT_SIGPIPE, EXIT_SIGTERM, PROG, _StdoutClosed, _Terminated, _check_plot, _column_names,
    _describe, _drop_stdout, _dt, _epsilon, _fraction, _import_matplotlib, _jobs, _lag, _on_sigterm, _output,
    _positive_int, _say, _threads, figure_path, save_figure, timescale_note, check_signals, command_signals)
































EXAMPLES = """\
formats (recognised from each file's first lines; all files of a run in one format, same columns):
  lagstat-tica runs/*/COLVAR --lag 10 --dim 2 --out proj
      PLUMED COLVAR: columns named by '#! FIELDS', time left out, '#!' lines skipped; a
      restart's repeated header starts a new segment (no lagged pair across it)
  lagstat-tica 'md/*.xvg' --lag 50 --columns 1-4
      GROMACS xvg: '#'/'@' lines skipped, columns named by '@ s0 legend' (else y1, y2, ...),
      the x axis (time) left out; files with several data sets ('&' lines) are refused
  lagstat-tica features.csv --lag 5 --columns phi1,psi1
      CSV with a header row (pandas' to_csv): an unnamed first column is the index, left out;
      an empty field is an error
  lagstat-tica run*.colvars.traj --lag 10
      Colvars trajectory: columns named by its '#  step ...' header, step left out; a
      restart's repeated header starts a new segment
  lagstat-tica traj.txt --lag 10 --dt 0.002
      bare columns of numbers (whitespace or commas), named x0, x1, ...; the data end at a
      blank line (warned when more follow), which the formats above skip and count
  lagstat-tica COLVAR.gz feats.csv.bz2 md.xvg.xz traj.txt.zst --lag 10
      compressed copies (gzip, bzip2, xz, zstd), recognised by their first bytes
  lagstat-tica <(zcat COLVAR.gz) runs/b/COLVAR --lag 10
      a pipe or FIFO, read once, beside files (no --out or --plot: they read the data again)
"""

SCAN_NOTE = """
lag scan (see 'lagstat-tica scan --help'):
  lagstat-tica scan FILES --lags 1,2,5,10,20,50,100 [--plot its.png] [--dt DT]
      implied timescales and VAMP-2 scores at every lag, from one read; a file named 'scan'
      is therefore given as './scan'
"""


def build_parser():
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Time-lagged independent component analysis (TICA), or VAMP with --estimator vamp, "
        "of files of frames (one frame per line: PLUMED COLVAR, Colvars, GROMACS xvg, CSV or bare columns), "
        "in constant memory.",
        epilog=EXAMPLES + SCAN_NOTE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("files", nargs="+", metavar="FILES", help="input files or glob patterns")
    p.add_argument("--lag", type=_lag, required=True, metavar="N", help="lag time in frames")
    p.add_argument("--columns", metavar="C",
                   help="feature columns by name or number, comma separated, with ranges: phi1,psi1 or 1-64 "
                   "(numbers count from 1 among the feature columns, as the report lists them; a name wins "
                   "over a number; default: all but the time column)")
    p.add_argument("--keep-time", action="store_true",
                   help="keep the time column (COLVAR time, xvg x axis, CSV index) among the features")
    p.add_argument("--dt", type=_dt, metavar="T",
                   help="time between frames, for timescales in time units (default: the time column's spacing)")
    p.add_argument("--dim", type=_positive_int, metavar="K", help="number of components to keep (default: all)")
    p.add_argument("--var-cutoff", type=_fraction, metavar="F",
                   help="keep components up to this fraction of kinetic variance (overrides --dim)")
    p.add_argument("--estimator", choices=("tica", "vamp"), default="tica",
                   help="tica (reversible, the default) or vamp (non-reversible: singular values, each half of "
                   "the pairs about its own mean)")
    p.add_argument("--scaling", choices=("kinetic_map", "commute_map", "none"),
                   help="scaling of the projection (default: kinetic_map for tica, none for vamp; vamp has no "
                   "commute_map)")
    p.add_argument("--epsilon", type=_epsilon, default=1e-6,
                   help="drop directions whose instantaneous variance is below this (default: 1e-6)")
    p.add_argument("--out", type=_output, metavar="DIR",
                   help="write each file's projection to DIR/<name>.tica.txt (.tica.npy, .tica.h5), in the "
                   "folder the file has below the inputs' common folder (runs/a/COLVAR -> DIR/a/COLVAR.tica.txt)")
    p.add_argument("--format", choices=("text", "npy", "h5"), default="text",
                   help="of the --out files: text ('%%f' lines, '# segment' before a restart), npy (float64 "
                   "frames x components; <name>.tica.segments.npy: each segment's first frame) or h5 "
                   "(datasets projection, segment_starts; needs h5py); default: text")
    p.add_argument("--out-time", action="store_true",
                   help="write the time column beside the --out projections (text: first column; npy: "
                   "<name>.tica.time.npy; h5: dataset time); --keep-time instead makes it a feature of the fit")
    p.add_argument("--weights", type=_weights_column, metavar="COL",
                   help="the column holding each frame's weight (a name such as metad.bias, or its number "
                        "among a line's fields, counted from 1); never a feature. A lagged pair carries the "
                        "weight of its earlier frame")
    p.add_argument("--kT", type=_dt, metavar="X",
                   help="with --weights: the column is a bias V (PLUMED's metad.bias), weights exp(V / X)")
    p.add_argument("--koopman-weights", action="store_true",
                   help="reweigh the frames towards equilibrium (Koopman reweighting): reads every file twice, "
                        "so no pipe")
    p.add_argument("--jobs", type=_jobs, default=1, metavar="N", help="worker processes (-1: one per CPU)")
    p.add_argument("--threads", type=_threads, metavar="N",
                   help="threads per worker (default and -1: the cores shared among the workers; "
                   "never more than that)")
    p.add_argument("--plot", type=_output, metavar="FILE.png",
                   help="save a figure: implied timescales and a histogram of the first two components")
    p.add_argument("--top-features", type=_count, default=3, metavar="K",
                   help="list the K features most correlated with each kept component (default: 3; 0: none)")
    p.add_argument("--ck-lags", type=_lag_list, metavar="N,N,...",
                   help="Chapman-Kolmogorov test at these lags (multiples of --lag), read in one more pass: "
                   "the model's predictions against models fitted at those lags")
    p.add_argument("--ck-plot", type=_output, metavar="FILE.png",
                   help="save the Chapman-Kolmogorov test's figure (lags: --ck-lags, default 1 to 5 times --lag)")
    p.add_argument("--ck-observables", type=_positive_int, metavar="K",
                   help="singular functions the Chapman-Kolmogorov test compares (default: --dim, else all)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.add_argument("--version", action="version", version="%(prog)s " + __version__)
    return p


def _weights_column(text):
    """A --weights value: a column name, or a field number from 1 (0-based for the fit)."""
    text = text.strip()
    if not text:
        raise argparse.ArgumentTypeError("a column name or number")
    if text.isdigit():
        if int(text) < 1:
            raise argparse.ArgumentTypeError("column numbers count from 1, got %s" % text)
        return int(text) - 1
    return text


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be >= 0, got %d" % value)
    return value


def _lag_list(text):
    values = []
    for part in text.split(","):
        try:
            values.append(_lag(part.strip()))
        except argparse.ArgumentTypeError as exc:
            raise argparse.ArgumentTypeError("%s in %r" % (exc, text)) from None
    return values


def _values(model):
    """A TICA's eigenvalues or a VAMP's singular values, and their name."""
    if hasattr(model, "singular_vectors_left_"):
        return model.singular_values_, "singular value"
    return model.eigenvalues_, "eigenvalue"


def feature_report(model, k):
    """The k features most correlated with every kept component, by name."""
    if k <= 0:
        return ""
    lines = ["features most correlated with each component (correlation over the first halves of the pairs):"]
    for j, top in enumerate(model.top_features(k), start=1):
        lines.append("  component %d: " % j + ", ".join("%s %+.3f" % (name, c) for name, c in top))
    return "\n".join(lines) + "\n"


def _report(model, n_files, dt=None, unit=None):
    from ._formats import describe

    values, value_name = _values(model)
    layout = getattr(model, "layout_", None)
    kind = " (%s)" % describe(layout) if layout is not None else ""
    step = " (%s)" % _time(model.lag * dt, unit) if dt else ""
    lines = ["lag %d frames%s: %d files%s, %d frames, %d lagged pairs, %d columns, rank %d, %d components kept"
             % (model.lag, step, n_files, kind, model.n_samples_, model.n_pairs_, model.n_features_in_,
                values.shape[0], model.dim_) + blank_note(getattr(model, "moments_", None)),
             "columns (numbered from 1): " + ", ".join("%d %s" % (i, name)
                                                      for i, name in enumerate(model.columns_, start=1))]
    head = "%4s  %22s  %22s" % ("k", value_name, "timescale (frames)")
    if dt:
        head += "  %22s" % ("timescale (%s)" % (unit or "time units"))
    lines.append(head)
    for k, (ev, ts) in enumerate(zip(values, model.timescales_), start=1):
        note = timescale_note(ev, ts)
        row = "%4d  %22.15g  %22s" % (k, ev, "undefined" if note == "undefined" else "%.15g" % ts)
        if dt:
            row += "  %22s" % ("undefined" if note == "undefined" else "%.15g" % (ts * dt))
        if note and note != "undefined":
            row += "  (%s)" % note
        lines.append(row)
    return "\n".join(lines) + "\n"


def _time(value, unit):
    return "%g %s" % (value, unit) if unit else "%g time units" % value






def _read_columns(paths, ncols, chunk=100_000, skip=0):
    """Yields blocks of the first ncols components of projection files, chunk frames at a time:
    text (whitespace-separated, after `skip` leading columns), .npy or .h5 (dataset projection)."""
    for path in paths:
        if path.endswith(".npy"):
            data = np.load(path, mmap_mode="r")
            for i in range(0, data.shape[0], chunk):
                yield np.array(data[i: i + chunk, :ncols])
            continue
        if path.endswith(".h5"):
            from ._outputs import import_h5py

            with import_h5py().File(path, "r") as h5:
                data = h5["projection"]
                for i in range(0, data.shape[0], chunk):
                    yield data[i: i + chunk, :ncols]
            continue
        with open(path) as f:
            while True:
                lines = list(itertools.islice(f, chunk))
                if not lines:
                    break
                yield np.loadtxt(lines, usecols=range(skip, skip + ncols), ndmin=2)


def _histogram(paths, ncols, bins=100, skip=0):
    """Histogram of the projected frames, two passes over the files (range, then counts)."""
    lo = np.full(ncols, np.inf)
    hi = np.full(ncols, -np.inf)
    for block in _read_columns(paths, ncols, skip=skip):
        if block.size:
            lo = np.minimum(lo, block.min(axis=0))
            hi = np.maximum(hi, block.max(axis=0))
    hi = np.where(hi > lo, hi, lo + 1.0)
    edges = [np.linspace(lo[i], hi[i], bins + 1) for i in range(ncols)]
    counts = np.zeros((bins,) * ncols)
    for block in _read_columns(paths, ncols, skip=skip):
        if ncols == 2:
            counts += np.histogram2d(block[:, 0], block[:, 1], bins=edges)[0]
        else:
            counts += np.histogram(block[:, 0], bins=edges[0])[0]
    return counts, edges








def save_plot(model, projection_files, path, skip=0):
    matplotlib = _import_matplotlib()

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    ncols = min(2, model.dim_)
    counts, edges = _histogram(projection_files, ncols, skip=skip)
    fig, (ax_ts, ax_h) = plt.subplots(1, 2, figsize=(11, 4.5))
    shown = min(len(model.timescales_), 20)
    k = np.arange(1, shown + 1)
    ts = model.timescales_[:shown]
    drawable = np.isfinite(ts) & (ts > 0)
    ax_ts.semilogy(k[drawable], ts[drawable], "o-", label="implied timescale")
    left_out = ["%d (%s)" % (i, timescale_note(ev, t)) for i, ev, t, ok in
                zip(k, _values(model)[0], ts, drawable) if not ok]
    if left_out:
        # A log axis cannot show them; say so rather than leave a silent gap.
        ax_ts.text(0.02, 0.02, "not drawn: " + ", ".join(left_out), transform=ax_ts.transAxes, fontsize=8)
    ax_ts.axhline(model.lag, color="grey", ls="--", label="lag = %d" % model.lag)
    ax_ts.set_xlabel("component")
    ax_ts.set_ylabel("implied timescale (frames)")
    ax_ts.set_xticks(k)
    ax_ts.set_title("%s implied timescales" % ("VAMP" if hasattr(model, "singular_vectors_left_") else "TICA"))
    ax_ts.legend()
    if ncols == 2:
        masked = np.ma.masked_equal(counts.T, 0)
        mesh = ax_h.pcolormesh(edges[0], edges[1], masked, norm=LogNorm(), cmap="viridis")
        fig.colorbar(mesh, ax=ax_h, label="frames")
        ax_h.set_xlabel("IC 1")
        ax_h.set_ylabel("IC 2")
        ax_h.set_title("Histogram of the first two components")
    else:
        ax_h.stairs(counts, edges[0], fill=True)
        ax_h.set_xlabel("IC 1")
        ax_h.set_ylabel("frames")
        ax_h.set_title("Histogram of the first component")
    fig.tight_layout()
    try:
        save_figure(fig, path)
    finally:
        plt.close(fig)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["scan"]:
        from ._scan_cli import main as scan_main

        return scan_main(argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    if (args.format != "text" or args.out_time) and not args.out:
        parser.error("--format and --out-time are options of --out")
    if args.kT is not None and args.weights is None:
        parser.error("--kT turns the --weights column's bias into weights: give --weights COL")
    if args.koopman_weights and args.weights is not None:
        parser.error("--koopman-weights computes the weights: give it without --weights")
    if args.estimator == "vamp" and args.scaling == "commute_map":
        parser.error("--scaling commute_map is TICA's: vamp takes kinetic_map or none")
    if args.ck_observables is not None and not (args.ck_lags or args.ck_plot):
        parser.error("--ck-observables is an option of --ck-lags and --ck-plot")
    err = sys.stderr
    with command_signals():
        return _run(parser, args, err)


def _run(parser, args, err):
    try:
        from . import _formats, _sources
        from ._moments import _inputs, input_name, is_stream
        from ._tica import TICA, output_paths

        paths = _inputs(args.files)
        streams = [p for p in paths if is_stream(p)]
        if streams and (args.out or args.plot or args.ck_lags or args.ck_plot):
            raise ValueError("%s is a pipe, read once by the fit: --out, --plot and the Chapman-Kolmogorov test "
                             "need the data again; "
                             "write it to a file first" % input_name(streams[0]))
        columns = None
        if args.columns is not None:
            # Names from the first regular file (a pipe's first lines are for its one read).
            regular = [p for p in paths if not is_stream(p)]
            names = _column_names(regular[:1])
            columns = _formats.parse_columns(args.columns, names)
        if args.plot:
            args.plot = figure_path(args.plot)
        if args.ck_plot:
            args.ck_plot = figure_path(args.ck_plot)
        scaling = args.scaling or ("kinetic_map" if args.estimator == "tica" else "none")
        scaling = None if scaling == "none" else scaling
        estimator = TICA
        if args.estimator == "vamp":
            from ._vamp import VAMP as estimator
        model = estimator(args.lag, dim=args.dim, var_cutoff=args.var_cutoff, scaling=scaling, epsilon=args.epsilon)
        ck_lags = None
        if args.ck_lags or args.ck_plot:
            from ._koopman import ck_lags as checked_lags

            ck_lags = checked_lags(args.ck_lags, args.lag)  # refused before the fit, not after it
        # Everything that can be checked without reading is checked before the fit, which may
        # take hours: the places to write to, and that no output overwrites an input.
        if args.out:
            from ._outputs import SUFFIXES, check_format

            check_format(args.format)  # h5py's absence is told before the fit
            # A binary source's output is named after its member too: transform_files checks those.
            text = [p for p in paths if not isinstance(p, _sources.Source)]
            if text:
                output_paths(text, args.out, SUFFIXES[args.format])
        for figure in (args.plot, args.ck_plot):
            if figure:
                _check_plot(figure, paths)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            weighted = {}
            if args.weights is not None or args.koopman_weights:
                weighted = {"weights": args.weights, "bias_kT": args.kT, "koopman_weights": args.koopman_weights}
            model.fit(paths, n_jobs=args.jobs, progress=not args.quiet, columns=columns,
                      keep_time=args.keep_time, threads=args.threads, **weighted)
        check_signals()  # before hours of projection
        dt = args.dt or model.dt_
        _say(_report(model, len(paths), dt, model.layout_.unit if model.layout_ is not None else None))
        _say(feature_report(model, args.top_features))
        for w in caught:
            err.write("%s: warning: %s\n" % (PROG, w.message))
        outputs = None
        if args.out:
            outputs = model.transform_files(paths, args.out, n_jobs=args.jobs, progress=not args.quiet,
                                            threads=args.threads, format=args.format, keep_time=args.out_time)
            _say("projections (%d components%s) written to %s\n" % (
                model.dim_, ", %s" % args.format if args.format != "text" else "", args.out))
        if args.plot:
            if outputs is None:
                with tempfile.TemporaryDirectory(prefix="lagstat-tica-") as tmp:
                    outputs = model.transform_files(paths, tmp, n_jobs=args.jobs, progress=not args.quiet,
                                                    threads=args.threads)
                    save_plot(model, outputs, args.plot)
            else:
                # Text written with the time first: the components start at the second column.
                time_first = args.format == "text" and args.out_time and model.layout_.time is not None
                save_plot(model, outputs, args.plot, skip=1 if time_first else 0)
            _say("figure saved to %s\n" % args.plot)
        if ck_lags is not None:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                ck = model.ck_test(ck_lags, args.ck_observables, n_jobs=args.jobs, threads=args.threads,
                                   progress=not args.quiet)
            for w in caught:
                err.write("%s: warning: %s\n" % (PROG, w.message))
            if args.ck_lags:
                _say(ck.table())
            if args.ck_plot:
                ck.plot(args.ck_plot)
                _say("Chapman-Kolmogorov figure saved to %s\n" % args.ck_plot)
        check_signals()
    except _StdoutClosed:
        # As a Unix tool killed by SIGPIPE, without a message: the reader wanted no more.
        _drop_stdout()
        return EXIT_SIGPIPE
    except _Terminated:
        err.write("%s: terminated\n" % PROG)
        return EXIT_SIGTERM
    except KeyboardInterrupt:
        err.write("%s: interrupted\n" % PROG)
        return EXIT_SIGINT
    except (OSError, ValueError, RuntimeError, TypeError, MemoryError, ImportError) as exc:
        err.write("%s: error: %s\n" % (PROG, _describe(exc)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
