# Type information for the extension module kestrava_core.
from . import cbor as cbor
from . import delta as delta
