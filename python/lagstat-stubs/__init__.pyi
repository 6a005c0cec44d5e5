# Types of the lagstat extension module, for type checkers (a stub-only package: the module is
# compiled and carries no annotations of its own).
import os
from typing import Any, Dict, Optional, Sequence, SupportsIndex, Union

from numpy.typing import ArrayLike

# What the module turns into a file name: str, bytes or os.PathLike (encoded as os.fsencode does).
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: str

# Both take the design's arguments by position only (the docstrings at run time say what each
# means), then keyword-only options: the pass's threads and how its input's text is read.
def run(
    fname: _Path,
    d: Dict[str, Any],
    mean: int,
    var: int,
    cov: int,
    tcov: int,
    lag: int,
    /,
    *,
    threads: Optional[SupportsIndex] = None,
    comments: Optional[str] = None,
    skip_rows: SupportsIndex = 0,
    usecols: Optional[Sequence[int]] = None,
    delimiter: Optional[str] = None,
    skip_blank: bool = False,
) -> None: ...

def stream(
    fin: _Path,
    fout: _Path,
    mean: ArrayLike,
    weights: ArrayLike,
    max_proj: int,
    time_column: int,
    /,
    *,
    threads: Optional[SupportsIndex] = None,
    comments: Optional[str] = None,
    skip_rows: SupportsIndex = 0,
    usecols: Optional[Sequence[int]] = None,
    delimiter: Optional[str] = None,
    skip_blank: bool = False,
) -> None: ...
