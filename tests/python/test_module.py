import os
import subprocess
import sys
from importlib.metadata import version

import lagstat
import lagstat_tica
import pytest

RUN_DOC = (
    "Calculate mean, variance, correlation and time-lagged correlation.\n"
    "run(fname, d, mean, var, cov, tcov, lag)\n"
    "\n"
    "fname: name of file that contains tabulated data\n"
    "d:     a dictionary that holds the statistical quantities.\n"
    "       Can be empty at first or can contain partial results from parts\n"
    "       of the trajectory computed in a previous run.\n"
    "mean: (bool) if true, calculate mean\n"
    "             if false, subtract dictionary entry 'mean' from every\n"
    "             frame before calculation of other statistical quantities\n"
    "             Simultaneous calculation of mean and other quantities of\n"
    "             uncentered data is *not* possible.\n"
    "var:  (bool) calculate varaince?\n"
    "cov:  (bool) calculate covariance matrix?\n"
    "tcov: (bool) calculate time-lagged covariance matrix?\n"
    "The statistical quantities can then be accessed using the dictionary\n"
    "keys 'mean', 'var', 'cov', 'tcov', 'samples' and\n"
    " 'tcov_samples'.\n"
    "Note that statistical estimates are not normalized. To calculate \n"
    "the actual mean, you need to compute d['mean']/d['samples'] and so on."
)

STREAM_DOC = (
    "Open file with tabulated data. Center and project each line.\n"
    "stream(fin, fout, mean, weights, max_proj, time_column)\n"
    "\n"
    "fin:  name of input file\n"
    "fout: name of output file (for projected data)\n"
    "mean: list of means; is subtracted from every line\n"
    "weights: n x n square matrix of weights W; the ith entry of each new\n"
    "         line is y_i = Sum_k W_ki x_k, where x_k are the entries of\n"
    "         the input line after centering.\n"
    "max_proj: only write y_0 through y_{max_proj-1} to the output file\n"
    "time_colum: (bool) input data contains time column?"
)


def test_module_surface():
    assert lagstat.run.__doc__ == RUN_DOC and len(RUN_DOC) == 1033
    assert lagstat.stream.__doc__ == STREAM_DOC and len(STREAM_DOC) == 537
    assert lagstat.__doc__ is None
    public = {k for k in vars(lagstat) if not k.startswith("__")}
    assert public == {"run", "stream"}


def test_import_fails_without_numpy():
    code = "import sys; sys.modules['numpy'] = None; import lagstat"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode != 0
    assert "ImportError: numpy.core.multiarray failed to import" in proc.stderr


@pytest.mark.parametrize(
    "func, args",
    [
        (lagstat.run, ("missing.txt", [], 1, 0, 0, 0, 1)),  # a list for the dictionary
        (lagstat.run, ("missing.txt", {}, 1, 0, 0, 0)),  # too few
        (lagstat.run, ("missing.txt", {}, 1, 0, 0, 0, 1, 1)),  # too many
        (lagstat.run, (3, {}, 1, 0, 0, 0, 1)),  # not a path
        (lagstat.run, ("missing.txt", {}, "1", 0, 0, 0, 1)),  # flag not an int
        (lagstat.stream, ("missing.txt", "out.txt", [0], [[1]], 1)),  # five arguments
        (lagstat.stream, ("missing.txt", None, [0], [[1]], 1, 0)),
        (lagstat.stream, ("missing.txt", "out.txt", [0], [[1]], 1.5, 0)),
    ],
)
def test_bad_arguments_raise_type_error_before_any_file_is_opened(func, args, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # "missing.txt" would give OSError if it were opened
    with pytest.raises(TypeError):
        func(*args)
    assert list(tmp_path.iterdir()) == []


def test_one_version_for_the_distribution_module_and_command():
    assert lagstat.__version__ == version("lagstat") == lagstat_tica.__version__
    proc = subprocess.run([sys.executable, "-m", "lagstat_tica", "--version"], capture_output=True, text=True)
    assert proc.returncode == 0 and proc.stdout == "lagstat-tica %s\n" % lagstat.__version__


# What a type checker says of a call (from the installed stubs) and what the module does with it
# agree: a call the stubs accept fails at run time only on the missing file.
TYPED_CALLS = {
    "run": ("lagstat.run('f', {}, 1, 0, 0, 0, 1)", True),
    "run_path_and_bools": ("lagstat.run(pathlib.Path('f'), {'mean': [0.0]}, False, True, True, True, 5)", True),
    "stream_bytes_arrays": ("lagstat.stream(b'f', 'g', np.zeros(1), [[1.0]], 1, 0)", True),
    "too_few": ("lagstat.run('f', {}, 1, 0, 0, 0)", False),
    "too_many": ("lagstat.run('f', {}, 1, 0, 0, 0, 1, 1)", False),
    "list_for_dict": ("lagstat.run('f', [], 1, 0, 0, 0, 1)", False),
    "int_for_path": ("lagstat.run(3, {}, 1, 0, 0, 0, 1)", False),
    "str_for_flag": ("lagstat.run('f', {}, '1', 0, 0, 0, 1)", False),
    "float_max_proj": ("lagstat.stream('f', 'g', [0.0], [[1.0]], 1.5, 0)", False),
    "none_for_output": ("lagstat.stream('f', None, [0.0], [[1.0]], 1, 0)", False),
    "keywords": ("lagstat.run(fname='f', d={}, mean=1, var=0, cov=0, tcov=0, lag=1)", False),
    "options": ("lagstat.stream('f', 'g', [0.0], [[1.0]], 1, 0, threads=-1, comments='#', skip_rows=1,"
                " usecols=[1], delimiter=',')", True),
    "str_for_threads": ("lagstat.run('f', {}, 1, 0, 0, 0, 1, threads='2')", False),
    "numpy_counts": ("lagstat.run('f', {}, 1, 0, 0, 0, 1, threads=np.int64(2), skip_rows=np.uint8(1))", True),
}


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """Names of the TYPED_CALLS mypy reports errors in, from one mypy run over them all."""
    pytest.importorskip("mypy")
    if os.environ.get("LAGSTAT_SANITIZED") == "1":
        pytest.skip("mypy under the address sanitizer is slow and tells nothing about lagstat")
    root = tmp_path_factory.mktemp("typed")
    for name, (call, _) in TYPED_CALLS.items():
        (root / ("call_%s.py" % name)).write_text("import pathlib\nimport numpy as np\nimport lagstat\n\n%s\n" % call)
    (root / "version.py").write_text(
        "import lagstat, lagstat_tica\nv: str = lagstat.__version__ + lagstat_tica.__version__\n")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           "--no-error-summary", "."], cwd=root, capture_output=True, text=True, timeout=600)
    # The stubs were found (else every call is an error), and the versions are typed.
    assert "import-not-found" not in proc.stdout and "version.py" not in proc.stdout, proc.stdout
    return {line.split(".py:")[0][len("call_"):] for line in proc.stdout.splitlines() if line.startswith("call_")}


@pytest.mark.parametrize("name", sorted(TYPED_CALLS))
def test_stubs_type_calls_as_the_module_takes_them(name, mypy_errors, tmp_path, monkeypatch):
    call, accepted = TYPED_CALLS[name]
    assert (name not in mypy_errors) == accepted
    monkeypatch.chdir(tmp_path)
    import pathlib  # noqa: F401 (for the call)
    import numpy as np  # noqa: F401
    with pytest.raises(FileNotFoundError if accepted else TypeError):
        eval(call)
