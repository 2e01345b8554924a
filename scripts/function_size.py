#!/usr/bin/env python3
"""Lists the functions of the driver and the tools longer than a limit (default 60 lines).

A function is counted from the line its body's opening brace is on to the
line of its closing brace, both included, as clang-tidy's
readability-function-size counts LineThreshold. Braces in comments, string
and character literals are skipped. Exits 1 when a function is too long.

Usage: scripts/function_size.py [--limit N] [files or folders...]
       (default: the driver's folders, tools/, tests/, fuzz/ and korven/)
"""
import argparse
import pathlib
import re
import sys

DRIVER_FOLDERS = ["address", "config", "driver", "hostlog", "include", "link", "platform", "transact", "tools", "tests",
                  "fuzz", "korven", "bench"]
ROOT = pathlib.Path(__file__).resolve().parent.parent


def strip(text):
    """Blanks comments and literals, keeping line breaks."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(" ")
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    """Yields (name, first line, line count) of each function body."""
    text = strip(path.read_text(errors="replace"))
    depth_stack = []  # for each open brace: (is_function, line, name)
    line = 1
    last_stmt = ""
    for c in text:
        if c == "\n":
            line += 1
            last_stmt += " "
        elif c == "{":
            head = last_stmt.strip()
            m = re.search(r"([~\w:]+)\s*\([^;{}]*\)\s*(const)?\s*(noexcept)?\s*(->[^{;]*)?\s*(:[^;{}]*)?$", head)
            is_func = bool(m) and not re.match(r"(if|for|while|switch|catch)\b", m.group(1)) and not any(
                f[0] for f in depth_stack)
            if is_func and re.search(r"\b(namespace|struct|class|enum)\b", head):
                is_func = False
            depth_stack.append((is_func, line, m.group(1) if m else ""))
            last_stmt = ""
        elif c == "}":
            if depth_stack:
                is_func, start, name = depth_stack.pop()
                if is_func:
                    yield name, start, line - start + 1
            last_stmt = ""
        elif c == ";":
            last_stmt = ""
        else:
            last_stmt += c


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--limit", type=int, default=60)
    parser.add_argument("paths", nargs="*")
    args = parser.parse_args()
    paths = [pathlib.Path(p) for p in args.paths] or [ROOT / f for f in DRIVER_FOLDERS]
    files = []
    for p in paths:
        files += sorted(p.rglob("*.cpp")) + sorted(p.rglob("*.h")) if p.is_dir() else [p]
    too_long = 0
    for f in files:
        for name, start, count in functions(f):
            if count > args.limit:
                too_long += 1
                print(f"{f.relative_to(ROOT) if f.is_absolute() else f}:{start}: {name} has {count} lines "
                      f"(limit {args.limit})")
    return 1 if too_long else 0


if __name__ == "__main__":
    sys.exit(main())
