# Types of the lagstat extension module, for type checkers (a stub-only package: the module is
# compiled and carries no annotations of its own).
import os
from typing import Any, Dict, Union

from numpy.typing import ArrayLike

# What the module turns into a file name: str, bytes or os.PathLike (encoded as os.fsencode does).
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: str

# Both take their arguments by position only; the docstrings at run time say what each means.
def run(
    fname: _Path,
    d: Dict[str, Any],
    mean: int,
    var: int,
    cov: int,
    tcov: int,
    lag: int,
    /,
) -> None: ...

def stream(
    fin: _Path,
    fout: _Path,
    mean: ArrayLike,
    weights: ArrayLike,
    max_proj: int,
    time_column: int,
    /,
) -> None: ...
