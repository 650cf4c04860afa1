# Type information for kestrava_core.cbor.
from typing import Any, Dict, List, SupportsIndex, Tuple, Union

__version__: str

# The kinds dumps writes: containers of these, bytes (byte string), str and
# bytearray (text string), integer-like objects with __index__ (integer).
# Other objects with a truth value are written as booleans.
_Value = Union[
    bool, float, int, List[Any], Tuple[Any, ...], Dict[Any, Any], bytes, bytearray, str, None, SupportsIndex
]

def dumps(value: _Value, indefinite: bool = True, max_depth: int = 0) -> bytes:
    """Dump a Python object to cbor"""
    ...
