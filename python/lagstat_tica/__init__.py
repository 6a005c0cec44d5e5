"""TICA and multi-file moment statistics on top of the lagstat extension.

lagstat reads one text file per call in constant memory; this package runs it over many
files (in parallel processes or on a Dask cluster), merges the per-file sums in file
order, and builds time-lagged independent component analysis on the result.
"""
from ._moments import expand_files, moments
from ._tica import TICA

__all__ = ["TICA", "moments", "expand_files"]
