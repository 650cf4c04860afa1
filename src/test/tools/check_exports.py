#!/usr/bin/env python3
"""Compare the dynamic symbols a shared object defines with the functions
and tables the public headers mark for export.

usage: check_exports.py LIBRARY HEADER_DIR

Also imported by the Python suite, which checks the extension module the
same way where no binutils are installed (the symbol table is read here).
"""
import pathlib
import re
import struct
import sys

DECL = re.compile(
    r"KESTRAVA_(?:API|EXTERN_C __attribute__\(\(visibility\(\"default\"\)\)\))"
    r"[^;(]*?\b([A-Za-z_][A-Za-z0-9_]*)\s*(?:\(|\[)",
    re.S,
)

# The toolchain (and AddressSanitizer's one-definition checks) add a few
# bookkeeping symbols of their own.
BOOKKEEPING = ("_init", "_fini", "_edata", "_end", "__bss_start", "__odr_asan")


def declared(header_dir):
    names = set()
    for header in pathlib.Path(header_dir).rglob("*.h"):
        # Macro definitions mention the marker without declaring anything.
        text = "\n".join(l for l in header.read_text().splitlines() if not l.lstrip().startswith("#"))
        names.update(DECL.findall(text))
    return names


def exported(library):
    """The names an ELF shared object defines for others: the defined
    global, weak and unique entries of its dynamic symbol table with default
    or protected visibility (what `nm -D --defined-only` lists)."""
    data = pathlib.Path(library).read_bytes()
    if data[:4] != b"\x7fELF" or data[4] not in (1, 2) or data[5] not in (1, 2):
        raise ValueError("%s: not a 32- or 64-bit ELF file" % library)
    wide = data[4] == 2
    order = "<" if data[5] == 1 else ">"
    if wide:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x3A)
        section = order + "IIQQQQIIQQ"
        symbol, symsize = order + "IBBHQQ", 24
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x2E)
        section = order + "IIIIIIIIII"
        symbol, symsize = order + "IIIBBH", 16
    sections = [struct.unpack_from(section, data, shoff + i * shentsize) for i in range(shnum)]
    names = set()
    for sh in sections:
        if sh[1] != 11:  # SHT_DYNSYM
            continue
        strtab = sections[sh[6]]
        str_off = strtab[4]
        offset, size = sh[4], sh[5]
        for pos in range(offset + symsize, offset + size, symsize):  # entry 0 is the null symbol
            if wide:
                name, info, other, shndx, _, _ = struct.unpack_from(symbol, data, pos)
            else:
                name, _, _, info, other, shndx = struct.unpack_from(symbol, data, pos)
            if shndx == 0 or info >> 4 not in (1, 2, 10) or other & 3 not in (0, 3):
                continue
            end = data.index(b"\0", str_off + name)
            names.add(data[str_off + name:end].decode())
    return {n for n in names if not n.startswith(BOOKKEEPING)}


def main():
    library, header_dir = sys.argv[1], sys.argv[2]
    want = declared(header_dir)
    have = exported(library)
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
