#!/usr/bin/env python3
"""Fails when a layer's object files use a driver symbol that only a layer it
does not link defines: an upward (or sideways) call through a hand-written
declaration, which compiles and, all layers being linked into one library,
links.

A driver symbol is anything in namespace sarn (functions, variables, their
guard variables, vtables and type information, local statics of its
functions) and any name at global scope, C or C++, that starts with "sarn" in
either case (SarnMain). Other undefined symbols (the C and C++ libraries, the
host's err) are not the layers' business.

The manifest, written by cmake/SarnLayerChecks.cmake, has a line per layer:
  NAME <tab> OBJECT,OBJECT... <tab> LINKED,LINKED...
LINKED names the layers whose symbols NAME may use: itself, the targets it
links and what those pass on to their users (a target's private dependencies
stay its own). A LINKED name without a line of its own has no objects.

Usage: layer_symbols.py [--nm NM] MANIFEST
Exits with 1 and lists each use of a symbol from a layer not linked.
"""
import argparse
import re
import shutil
import subprocess
import sys

# Mangled: an optional special prefix (vtable, typeinfo, guard variable, ...),
# an optional local-entity marker, an optional nesting with its qualifiers,
# then the first name: "sarn" (the namespace) or a name starting with it.
DRIVER_SYMBOL = re.compile(r"^(?:_Z(?:T[VISHW]|GV|GR)?Z?(?:N[rVKRO]*)?\d+|)[Ss][Aa][Rr][Nn]")


def is_driver_symbol(name):
    return DRIVER_SYMBOL.match(name) is not None


def read_manifest(path):
    """{layer: (objects, linked layers)} from the manifest."""
    layers = {}
    with open(path, encoding="utf-8") as text:
        for line in text:
            if not line.strip():
                continue
            name, objects, linked = line.rstrip("\n").split("\t")
            layers[name] = ([o for o in objects.split(",") if o], {n for n in linked.split(",") if n} | {name})
    return layers


def symbols(nm, objects, which):
    """(object, symbol) pairs of the driver's symbols, defined or undefined."""
    if not objects:
        return []
    out = subprocess.run([nm, "-P", "-A", which, *objects], check=True, capture_output=True, text=True).stdout
    pairs = []
    for line in out.splitlines():
        head, _, rest = line.rpartition(": ")
        fields = rest.split()
        if head and fields and is_driver_symbol(fields[0]):
            pairs.append((head, fields[0]))
    return pairs


def demangled(names):
    """Readable forms of the given symbols, when c++filt is at hand."""
    filt = shutil.which("c++filt")
    if not filt or not names:
        return {n: n for n in names}
    out = subprocess.run([filt], input="\n".join(names), capture_output=True, text=True).stdout.splitlines()
    return dict(zip(names, out)) if len(out) == len(names) else {n: n for n in names}


def violations(layers, nm):
    """(layer, object, symbol, defining layers) for each use of a symbol that
    no layer the user links defines."""
    defined_by = {}
    for name, (objects, _) in layers.items():
        for _, symbol in symbols(nm, objects, "--defined-only"):
            defined_by.setdefault(symbol, set()).add(name)
    found = []
    for name, (objects, linked) in sorted(layers.items()):
        for obj, symbol in symbols(nm, objects, "--undefined-only"):
            owners = defined_by.get(symbol, set())
            if not owners & linked:
                found.append((name, obj, symbol, owners))
    return found


def main(argv):
    parser = argparse.ArgumentParser(description="Each layer uses only the driver symbols of the layers it links.")
    parser.add_argument("--nm", default="nm")
    parser.add_argument("manifest")
    args = parser.parse_args(argv[1:])
    layers = read_manifest(args.manifest)
    found = violations(layers, args.nm)
    readable = demangled(sorted({symbol for _, _, symbol, _ in found}))
    for name, obj, symbol, owners in found:
        where = "defined by " + ", ".join(sorted(owners)) if owners else "defined by no layer"
        linked = ", ".join(sorted(layers[name][1] - {name})) or "nothing"
        print(f"{obj}: layer {name} uses {readable[symbol]}, {where}; {name} links {linked}")
    if found:
        print(f"layer_symbols: {len(found)} use(s) of symbols from layers not linked", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
