#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz and runs each for a while on its
# seed corpus. Fails when a target finds a crash or a broken invariant; the
# input is then left in build-fuzz/artifacts/.
# Usage: fuzz/run.sh [seconds per target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}

# clang with libFuzzer's runtime, from Debian's packages, when missing.
scripts/deps.sh clang libclang-rt-14-dev

build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2

mkdir -p "$build/artifacts"
status=0
for target in fuzz_gate_address fuzz_int_file fuzz_reply fuzz_telnet; do
  # New inputs go to a working corpus in the build directory; the committed
  # seeds stay as they are.
  work="$build/corpus/$target"
  mkdir -p "$work"
  echo "== $target: ${seconds} s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "$work" "fuzz/corpus/$target" 2>"$build/$target.log"; then
    tail -n 60 "$build/$target.log"
    echo "== $target FAILED; input in $build/artifacts/"
    status=1
  else
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|Done [0-9]+ runs' "$build/$target.log" || true
  fi
done
exit $status
