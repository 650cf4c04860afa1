# Type information for kestrava_core.delta.
from typing import Optional, Union

__version__: str

class PythonInBuf:
    """Borrows a bytes object's storage for diff and patch (no copy)."""

    def __init__(self, data: bytes, /) -> None: ...

class PythonOutBuf:
    """Result of diff or patch; read it with bytes(out) or memoryview(out)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

def diff(old_value: Union[PythonInBuf, bytes], new_value: Union[PythonInBuf, bytes]) -> PythonOutBuf:
    """Diff between 'old_value' and 'new_value'"""
    ...

def diff_indexed(old_value: Union[PythonInBuf, bytes], new_value: Union[PythonInBuf, bytes]) -> PythonOutBuf:
    """Diff between 'old_value' and 'new_value' that finds moved and repeated blocks anywhere in 'old_value'"""
    ...

def patch(
    old_value: Union[PythonInBuf, bytes], diff: Union[PythonInBuf, bytes], *, max_size: Optional[int] = None
) -> PythonOutBuf:
    """Apply 'diff' to 'old_value'"""
    ...
