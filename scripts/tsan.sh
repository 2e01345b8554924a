#!/usr/bin/env bash
# Builds the ThreadSanitizer configuration (preset "tsan", in build-tsan) and
# runs the tests of several lines driven at once (label concurrency): four
# contexts on four threads against four simulators, every operation mixed;
# and a copied block on two threads with its port closed and reopened on a
# third.
# The preset runs them with TSAN_OPTIONS=io_sync=0: by default ThreadSanitizer
# takes every write() to a file and a later read() of any file as ordering
# the two threads, which would hide races between lines that merely both use
# their (separate) serial ports.
# Usage: scripts/tsan.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

cmake --preset tsan >/dev/null
# Only what the concurrency label runs: the rest of the suites have their
# plain and ASan/UBSan builds.
cmake --build --preset tsan --target concurrency_tests restart_race_tests port_cycle_tests
ctest --preset tsan
