import os
from typing import Any, Literal, Optional, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Kind = Literal["open", "already-open", "end-of-file", "bad-number", "bad-text", "cannot-read",
                "input-output", "out-of-memory"]

MAX_ROWS: int

class StopError(Exception):
    text: str
    kind: _Kind
    statement: int
    channel: int
    file: Optional[str]
    line: Optional[int]
    item: Optional[int]
    reason: Optional[str]

class DataFile:
    layout: Union[Literal[1, 2], Literal["plain"]]
    format_code: str
    title: str
    header: list[tuple[str, float, int]]
    table: npt.NDArray[np.float64]
    lines: npt.NDArray[np.int64]
    rows_past_limit: bool
    def __len__(self) -> int: ...
    def to_pandas(self) -> Any: ...

class Result:
    total: float
    line: str

def read(path: _Path) -> DataFile: ...
def compare(reference: _Path, compared: _Path) -> Result: ...
def run(folder: _Path = ...) -> Result: ...
def explain(reference: _Path, compared: _Path, top: int = ...) -> dict[str, Any]: ...
