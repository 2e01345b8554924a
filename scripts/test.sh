#!/usr/bin/env bash
# Builds the project and runs every test: a normal build and one under
# AddressSanitizer and UndefinedBehaviorSanitizer, both with warnings as
# errors.
#
# The output stays short: the compiler's and CTest's full output goes to a log
# in the build directory (build.log, ctest.log). On success only the summary is
# shown; when something fails, the compiler's messages or the failing tests'
# output. The last line counts the tests of both builds, "test.sh: N passed,
# N failed" (", N skipped" after it when tests were skipped); the exit status
# is 0 only when nothing failed.
# Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# pymodbus serves its serial line through python3-serial-asyncio, only a
# recommendation of its package (and deps.sh installs without those).
# man-db (with groff) renders the manual pages for their check.
scripts/deps.sh python3-pymodbus python3-serial-asyncio valgrind tmux man-db

jobs=$(nproc 2>/dev/null || echo 2)

# The totals of every build, and the closing line that says in one line
# whether everything passed (scripts/test_summary.sh).
. scripts/test_summary.sh
finish() {
  local rc=$?
  if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then
    echo "FAILED: stopped with status $rc before the tests ended"
    failed=1
  fi
  summary_line
  [ "$failed" -eq 0 ] || exit 1
}
trap finish EXIT

# build_and_test DIR CMAKE-OPTIONS...: configures, builds and runs the tests
# of one build directory; returns 1 when something failed.
build_and_test() {
  local dir=$1
  shift
  mkdir -p "$dir"
  if ! cmake -S . -B "$dir" -DSARN_WERROR=ON "$@" >"$dir/configure.log" 2>&1; then
    tail -n 20 "$dir/configure.log"
    echo "FAILED: configure in $dir (whole output in $dir/configure.log; counted as one failure)"
    failed=$((failed + 1))
    return 1
  fi
  if ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
    grep -E -A5 'error|warning' "$dir/build.log" || tail -n 40 "$dir/build.log"
    echo "FAILED: build in $dir (whole output in $dir/build.log; counted as one failure)"
    failed=$((failed + 1))
    return 1
  fi
  echo "built $dir"
  local rc=0 failed_before=$failed
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" -LE soak >"$dir/ctest.log" 2>&1 || rc=$?
  count_tests "$dir/ctest.log"
  if [ "$rc" -ne 0 ]; then
    # Everything but the start lines and the lines of the tests that passed:
    # the failures with their output, then the summary.
    grep -v -E '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$dir/ctest.log"
    echo "FAILED: tests in $dir (whole output in $dir/ctest.log)"
    # A run that failed with no failed test counted still fails.
    [ "$failed" -gt "$failed_before" ] || failed=$((failed + 1))
    return 1
  fi
  # The summary from "N% tests passed" on, with the tests that were skipped.
  sed -n '/tests passed/,$p' "$dir/ctest.log"
}

# Both builds run, whatever the first one gave, so that the closing line
# counts every test.
status=0
echo "== build and test =="
build_and_test build -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1

echo "== sanitizer build and test =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build-san -DCMAKE_BUILD_TYPE=Debug -DSARN_SANITIZE=ON || status=1
exit "$status"
