#!/usr/bin/env bash
# Builds the project and runs every test: a normal build and one under
# AddressSanitizer and UndefinedBehaviorSanitizer, both with warnings as
# errors.
#
# The output stays short: the compiler's and CTest's full output goes to a log
# in the build directory (build.log, ctest.log). On success only the summary is
# shown; when something fails, the compiler's messages or the failing tests'
# output.
# Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# pymodbus serves its serial line through python3-serial-asyncio, only a
# recommendation of its package (and deps.sh installs without those).
# man-db (with groff) renders the manual pages for their check.
scripts/deps.sh python3-pymodbus python3-serial-asyncio valgrind tmux man-db

jobs=$(nproc 2>/dev/null || echo 2)

# build_and_test DIR CMAKE-OPTIONS...: configures, builds and runs the tests
# of one build directory.
build_and_test() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DSARN_WERROR=ON "$@" >/dev/null
  if ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
    grep -E -A5 'error|warning' "$dir/build.log" || tail -n 40 "$dir/build.log"
    echo "FAILED: build in $dir (whole output in $dir/build.log)"
    return 1
  fi
  echo "built $dir"
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE soak >"$dir/ctest.log" 2>&1; then
    # Everything but the start lines and the lines of the tests that passed:
    # the failures with their output, then the summary.
    grep -v -E '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$dir/ctest.log"
    echo "FAILED: tests in $dir (whole output in $dir/ctest.log)"
    return 1
  fi
  # The summary from "N% tests passed" on, with the tests that were skipped.
  sed -n '/tests passed/,$p' "$dir/ctest.log"
}

echo "== build and test =="
build_and_test build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== sanitizer build and test =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build-san -DCMAKE_BUILD_TYPE=Debug -DSARN_SANITIZE=ON
