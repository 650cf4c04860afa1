#!/usr/bin/env python3
"""Check that the delta engine's rooms include only what README.md's
Layout table lets them: each room itself, what lies outside the engine,
and the rooms in its row's last column. Every room on disk must have a row.

usage: check_layers.py REPOSITORY
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"core/(delta(?:/[^"]*)?)/[^/"]+"', re.M)
ROOM = re.compile(r"`(delta(?:/[a-z_/]+)?)`")


def allowed_rooms(readme):
    """Room -> the rooms it may include, from the Layout table's rows."""
    layout = readme.split("## Layout", 1)[1].split("\n## ", 1)[0]
    rooms = {}
    for line in layout.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 3 or not ROOM.fullmatch(cells[0]):
            continue
        rooms[cells[0].strip("`")] = set(ROOM.findall(cells[2]))
    return rooms


def main():
    repo = pathlib.Path(sys.argv[1])
    core = repo / "src/main/core"
    rooms = allowed_rooms((repo / "README.md").read_text())
    if len(rooms) < 2:
        print("README.md's Layout section has no table of the delta rooms")
        return 1
    problems = []
    on_disk = {str(d.relative_to(core)) for d in (core / "delta").rglob("*") if d.is_dir()} | {"delta"}
    for room in sorted(on_disk - rooms.keys()):
        problems.append(f"{room}: a room without a row in README.md's Layout table")
    for room in sorted(rooms.keys() - on_disk):
        problems.append(f"{room}: a row in README.md's Layout table without a room")
    edges = set()
    for source in sorted((core / "delta").rglob("*")):
        if source.suffix not in (".h", ".cc"):
            continue
        room = str(source.parent.relative_to(core))
        for target in INCLUDE.findall(source.read_text()):
            edges.add((room, target))
            if target != room and target not in rooms.get(room, set()):
                problems.append(f"{source.relative_to(repo)} includes from {target}, which {room} may not")
    for line in problems:
        print(line)
    for room, target in sorted(edges):
        if room != target:
            print(f"{room} -> {target}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
