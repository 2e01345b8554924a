#!/usr/bin/env python3
"""Fails when a file of the driver's folders includes a file by a path that
leaves the include roots: a path with a ".." component ("../transact/x.h",
"link/../transact/x.h") or an absolute one.

A layer reaches another folder's header as "<folder>/<file>.h" through the
include roots its CMake target links (cmake/SarnLayers.cmake); a path relative
to the including file would reach any folder, upward too, and compile.

Usage: layer_includes.py ROOT FOLDER...
Prints each offending line as FILE:LINE and exits with 1 if there is one.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]*)[>"]')
SOURCE_SUFFIXES = {".h", ".hh", ".hpp", ".inc", ".c", ".cc", ".cpp", ".cxx"}


def escapes_roots(path):
    """True when an include path climbs out of a folder or starts at the top."""
    parts = re.split(r"[/\\]", path)
    return path.startswith(("/", "\\")) or re.match(r"^[A-Za-z]:", path) is not None or ".." in parts


def offending_lines(file):
    """(line number, line) of each include in file that escapes the roots."""
    with open(file, encoding="utf-8", errors="replace") as text:
        for number, line in enumerate(text, 1):
            match = INCLUDE.match(line)
            if match and escapes_roots(match.group(2)):
                yield number, line.strip()


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = pathlib.Path(argv[1])
    found = 0
    for folder in argv[2:]:
        if not (root / folder).is_dir():
            print(f"layer_includes: no folder {root / folder}", file=sys.stderr)
            return 2
        for file in sorted((root / folder).rglob("*")):
            if file.suffix not in SOURCE_SUFFIXES or not file.is_file():
                continue
            for number, line in offending_lines(file):
                print(f"{file.relative_to(root)}:{number}: {line}")
                found += 1
    if found:
        print(
            f"layer_includes: {found} include(s) by a relative or absolute path; name a header as"
            ' "<folder>/<file>.h" (or a file of include/ by its name), which compiles only for a layer'
            " that links that folder's target",
            file=sys.stderr,
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
