"""TICA and multi-file moment statistics on top of the lagstat extension.

lagstat reads one text file per call in constant memory; this package runs it over many
files (in parallel processes or on a Dask cluster), merges the per-file sums in file
order, and builds time-lagged independent component analysis on the result.
"""
from typing import TYPE_CHECKING

from lagstat import __version__

from ._moments import expand_files
from ._weighted_reads import moments

if TYPE_CHECKING:
    from ._scan import LagScan, scan
    from ._tica import TICA, NotFittedError
    from ._vamp import VAMP

__all__ = ["TICA", "VAMP", "NotFittedError", "scan", "LagScan", "moments", "expand_files", "__version__"]


def __getattr__(name):
    # TICA and scan need SciPy and the moments do not: TICA is imported on first use, so that without
    # SciPy the moments still work and TICA's ImportError says what to install.
    if name in ("TICA", "NotFittedError"):
        from . import _tica

        globals().update(TICA=_tica.TICA, NotFittedError=_tica.NotFittedError)
        return globals()[name]
    if name == "VAMP":
        from . import _vamp

        globals().update(VAMP=_vamp.VAMP)
        return globals()[name]
    if name in ("scan", "LagScan"):
        from . import _scan

        globals().update(scan=_scan.scan, LagScan=_scan.LagScan)
        return globals()[name]
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
