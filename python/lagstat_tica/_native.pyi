# Types of the private extension module: one read of a file for every lag (NATIVE_API.md).
import os
from typing import Any, Dict, List, Optional, Sequence, SupportsIndex, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

class source:
    @property
    def path(self) -> _Path: ...
    @property
    def rereadable(self) -> bool: ...
    @property
    def ended(self) -> bool: ...
    def head(self, max_lines: int = 256, max_bytes: int = 1048576) -> List[str]: ...
    def scan(
        self,
        lags: Sequence[int],
        *,
        shift: Optional[Sequence[float]] = None,
        comments: Optional[str] = None,
        skip_rows: Optional[SupportsIndex] = None,
        usecols: Optional[Sequence[int]] = None,
        delimiter: Optional[str] = None,
        segment_marker: Optional[str] = None,
        time_field: Optional[int] = None,
        threads: Optional[SupportsIndex] = None,
    ) -> Dict[str, Any]: ...

def open(path: _Path) -> source: ...
