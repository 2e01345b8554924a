#!/usr/bin/env python3
"""Tests of the layer checks (cmake/SarnLayerChecks.cmake, scripts/layer_*.py):
each kind of upward dependency, put into an otherwise clean layered tree
(fixture/CMakeLists.txt), fails that tree's build with a message naming it.

Usage: layer_checks_test.py WORK_DIR [CMAKE [GENERATOR [CXX]]]
"""
import pathlib
import shutil
import subprocess
import sys
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "scripts"))
import layer_includes  # noqa: E402
import layer_symbols  # noqa: E402

WORK = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/sarn_layer_checks")
CMAKE = sys.argv[2] if len(sys.argv) > 2 else "cmake"
GENERATOR = sys.argv[3] if len(sys.argv) > 3 else "Unix Makefiles"
CXX = sys.argv[4] if len(sys.argv) > 4 else "c++"

# The clean tree: link uses the platform, transact uses link and address.
CLEAN = {
    "include/sarn_base.h": "#pragma once\nnamespace sarn {\ninline constexpr int kBase = 1;\n}\n",
    "platform/serial.h": '#pragma once\n#include "sarn_base.h"\nnamespace sarn {\nint PlatformOpen();\n}\n',
    "platform/serial.cpp": '#include "platform/serial.h"\nint sarn::PlatformOpen() { return kBase; }\n',
    "link/port.h": '#pragma once\n#include "sarn_base.h"\nnamespace sarn {\nint PortOpen();\n}\n',
    "link/port.cpp": '#include "link/port.h"\n#include "platform/serial.h"\n'
    "int sarn::PortOpen() { return PlatformOpen(); }\n",
    "address/gate.h": "#pragma once\nnamespace sarn {\nint GateParse();\n}\n",
    "address/gate.cpp": '#include "address/gate.h"\nint sarn::GateParse() { return 2; }\n',
    "transact/read.h": "#pragma once\nnamespace sarn {\nint ReadValue();\nextern int gReads;\n}\n",
    "transact/read.cpp": '#include "transact/read.h"\n#include "address/gate.h"\n#include "link/port.h"\n'
    'int sarn::gReads = 0;\nint sarn::ReadValue() { return ++gReads + PortOpen() + GateParse(); }\n'
    'extern "C" int SarnReadHook() { return 3; }\n',
}

# (what is wrong, files added or replaced, what the failed build must say)
UPWARD = [
    ("include of an upper header by a relative path",
     {"link/up.cpp": '#include "../transact/read.h"\nint Up() { return sarn::ReadValue(); }\n'},
     r'link/up\.cpp:1: #include "\.\./transact/read\.h"'),
    ("relative path through the layer's own folder name",
     {"address/up.cpp": '#include "address/../transact/read.h"\nint Up() { return sarn::ReadValue(); }\n'},
     r'address/up\.cpp:1: #include "address/\.\./transact/read\.h"'),
    ("lower header including an upper one, only ever included from above",
     {"link/up.h": '#pragma once\n#include "transact/read.h"\n',
      "transact/uses_up.cpp": '#include "link/up.h"\nint UsesUp() { return sarn::ReadValue(); }\n'},
     r"sarn_headers/link/up\.cpp.*\n?.*transact/read\.h: No such file"),
    ("platform header including a link header",
     {"platform/up.h": '#pragma once\n#include "link/port.h"\n'},
     r"sarn_headers/platform/up\.cpp.*\n?.*link/port\.h: No such file"),
    ("upward call through a hand-written declaration",
     {"link/up.cpp": "namespace sarn {\nint ReadValue();\n}\nint Up() { return sarn::ReadValue(); }\n"},
     r"layer sarn_link uses sarn::ReadValue\(\), defined by sarn_transact"),
    ("upward use of a variable through a hand-written declaration",
     {"platform/serial.cpp": "namespace sarn {\nextern int gReads;\nint PlatformOpen() { return gReads; }\n}\n"},
     r"layer sarn_platform uses sarn::gReads, defined by sarn_transact"),
    ("call of a Sarn-named C function of an upper layer",
     {"link/up.cpp": 'extern "C" int SarnReadHook();\nint Up() { return SarnReadHook(); }\n'},
     r"layer sarn_link uses SarnReadHook, defined by sarn_transact"),
    ("call into a layer beside",
     {"address/up.cpp": "namespace sarn {\nint PortOpen();\n}\nint Up() { return sarn::PortOpen(); }\n"},
     r"layer sarn_address uses sarn::PortOpen\(\), defined by sarn_link"),
    ("call past a layer into its private dependency",
     {"transact/down.cpp": "namespace sarn {\nint PlatformOpen();\n}\nint Down() { return sarn::PlatformOpen(); }\n"},
     r"layer sarn_transact uses sarn::PlatformOpen\(\), defined by sarn_platform"),
]


def write(files):
    for name, text in files.items():
        path = WORK / "tree" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def build():
    """The fixture's build: (exit status, its output)."""
    # Going on after a failure, so that every check that fails says so.
    keep_going = ["-k", "0"] if "Ninja" in GENERATOR else ["-k"]
    run = subprocess.run([CMAKE, "--build", str(WORK / "build"), "-j2", "--", *keep_going],
                         capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


class LayerChecks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        write(CLEAN)
        configure = subprocess.run(
            [CMAKE, "-S", str(HERE / "fixture"), "-B", str(WORK / "build"), "-G", GENERATOR,
             f"-DCMAKE_CXX_COMPILER={CXX}", f"-DSARN_ROOT={WORK / 'tree'}"],
            capture_output=True, text=True)
        if configure.returncode != 0:
            raise RuntimeError("the fixture does not configure:\n" + configure.stdout + configure.stderr)

    def test_a_clean_tree_builds(self):
        status, output = build()
        self.assertEqual(status, 0, output)

    def test_each_upward_dependency_fails_the_build(self):
        for what, files, message in UPWARD:
            with self.subTest(what):
                write(files)
                try:
                    status, output = build()
                finally:
                    for name in files:
                        (WORK / "tree" / name).unlink()
                    write({name: CLEAN[name] for name in files if name in CLEAN})
                self.assertNotEqual(status, 0, output)
                self.assertRegex(output, message)
        status, output = build()
        self.assertEqual(status, 0, "the clean tree again:\n" + output)


class Classification(unittest.TestCase):
    def test_which_symbols_are_the_drivers(self):
        cases = [
            ("_ZN4sarn8PortOpenEv", True),  # sarn::PortOpen()
            ("_ZNK4sarn4Cell5valueEv", True),  # const member
            ("_ZN4sarn6detail3fooEi", True),  # nested namespace
            ("_ZTVN4sarn4CellE", True),  # vtable
            ("_ZGVZN4sarn3fooEvE1x", True),  # guard of a local static
            ("_ZZN4sarn3fooEvE1x", True),  # local static
            ("SarnMain", True),
            ("sarn_helper", True),
            ("_Z8SarnHookv", True),  # C++ name at global scope
            ("err", False),  # the host's
            ("_ZNSt5arrayIN4sarn4CellELm4EE4sizeEv", False),  # std:: over a sarn type
            ("_ZN7sarnishX3fooEv", True),  # a sarn-prefixed namespace
            ("_ZN3foo4sarnEv", False),  # a function named sarn elsewhere
            ("memcpy", False),
        ]
        for name, expected in cases:
            with self.subTest(name):
                self.assertEqual(layer_symbols.is_driver_symbol(name), expected)

    def test_which_include_paths_escape_the_roots(self):
        cases = [
            ("link/frame.h", False),
            ("sarnmd.h", False),
            ("frame..h", False),
            ("../transact/read.h", True),
            ("link/../transact/read.h", True),
            ("..\\transact\\read.h", True),
            ("/work/transact/read.h", True),
            ("C:/sarn/transact/read.h", True),
        ]
        for path, expected in cases:
            with self.subTest(path):
                self.assertEqual(layer_includes.escapes_roots(path), expected)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
