#!/usr/bin/env bash
# Builds the project and runs every test: a normal build and one under
# AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh python3-pymodbus valgrind tmux

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" -LE soak

echo "== sanitizer build and test =="
cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug -DSARN_SANITIZE=ON >/dev/null
cmake --build build-san -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-san --output-on-failure -j "$jobs" -LE soak
