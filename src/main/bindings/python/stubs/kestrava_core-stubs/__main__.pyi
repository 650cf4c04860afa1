# Type information for kestrava_core.__main__, the command line.
from typing import List, Optional

def main(argv: Optional[List[str]] = None) -> int:
    """Runs `kestrava` with the given arguments (default: sys.argv[1:]) and returns its exit status."""
    ...
