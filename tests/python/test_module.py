import subprocess
import sys

import lagstat
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
