import uuid
from typing import Any, Dict, List, Literal, Optional, Sequence, Tuple, Union

import dask.distributed
import numpy.typing

from . import Source, _Indices, _Path

_OneSource = Union[Source, Tuple[_Path, Union[str, uuid.UUID]]]
_Output = Literal["array", "png", "y4m", "nut"]
# One source: an array, PNG paths, or a file's path; several: a list of those.
_Result = Union[numpy.typing.NDArray[Any], List[str], str, List[Any]]

OUTPUTS: Tuple[str, ...]

def render(
    client: dask.distributed.Client,
    sources: Union[_OneSource, Sequence[_OneSource]],
    frames: Optional[_Indices] = ...,
    *,
    output: _Output = ...,
    path: Optional[_Path] = ...,
    chunk: Optional[int] = ...,
    retries: int = ...,
    path_map: Optional[Dict[_Path, _Path]] = ...,
    progress: bool = ...,
    **options: object,
) -> _Result: ...
def submit(
    client: dask.distributed.Client,
    sources: Union[_OneSource, Sequence[_OneSource]],
    frames: Optional[_Indices] = ...,
    *,
    output: _Output = ...,
    path: Optional[_Path] = ...,
    chunk: Optional[int] = ...,
    retries: int = ...,
    path_map: Optional[Dict[_Path, _Path]] = ...,
    **options: object,
) -> RenderJob: ...

class RenderJob:
    @property
    def futures(self) -> List[dask.distributed.Future]: ...
    def result(self, timeout: Optional[float] = ...) -> _Result: ...
    def cancel(self) -> None: ...
