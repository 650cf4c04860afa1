#!/usr/bin/env python3
"""Compare the dynamic symbols a shared object defines with the functions
and tables the public headers mark for export.

usage: check_exports.py LIBRARY HEADER_DIR
"""
import pathlib
import re
import subprocess
import sys

DECL = re.compile(
    r"KESTRAVA_(?:API|EXTERN_C __attribute__\(\(visibility\(\"default\"\)\)\))"
    r"[^;(]*?\b([A-Za-z_][A-Za-z0-9_]*)\s*(?:\(|\[)",
    re.S,
)


def declared(header_dir):
    names = set()
    for header in pathlib.Path(header_dir).rglob("*.h"):
        # Macro definitions mention the marker without declaring anything.
        text = "\n".join(l for l in header.read_text().splitlines() if not l.lstrip().startswith("#"))
        names.update(DECL.findall(text))
    return names


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TDRBVW":
            names.add(parts[2])
    return names


def main():
    library, header_dir = sys.argv[1], sys.argv[2]
    want = declared(header_dir)
    have = exported(library)
    # The toolchain (and AddressSanitizer's one-definition checks) add a few
    # bookkeeping symbols of their own.
    have = {n for n in have
            if not n.startswith(("_init", "_fini", "_edata", "_end", "__bss_start", "__odr_asan"))}
    missing = sorted(want - have)
    extra = sorted(have - want)
    if len(want) < 100:
        print(f"suspiciously few declarations found: {len(want)}")
        return 1
    if missing:
        print("declared but not exported:", " ".join(missing))
    if extra:
        print("exported but not declared:", " ".join(extra))
    print(f"{len(want)} declared, {len(have)} exported")
    return 1 if missing or extra else 0


if __name__ == "__main__":
    sys.exit(main())
