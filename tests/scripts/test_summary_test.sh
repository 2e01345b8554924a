#!/usr/bin/env bash
# scripts/test_summary.sh against CTest's closing lines: each case is one or
# more CTest logs (separated by "---") and the closing line they must give.
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sarnmd-summary-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Runs count_tests over each log of a case and prints the closing line.
closing_line() {
  (
    cd "$scratch"
    # shellcheck source=../../scripts/test_summary.sh
    . "$src/scripts/test_summary.sh"
    awk -v dir="$scratch" 'BEGIN { n = 1 } /^---$/ { n++; next } { print > (dir "/log" n) }' "$1"
    for log in "$scratch"/log*; do
      count_tests "$log"
      rm -f "$log"
    done
    summary_line
  )
}

cases=0
failures=0
check() {
  local name=$1 want=$2 got
  cases=$((cases + 1))
  cat >"$scratch/case"
  got=$(closing_line "$scratch/case")
  if [ "$got" != "$want" ]; then
    echo "FAIL: $name: '$got', expected '$want'"
    failures=$((failures + 1))
  fi
}

check "all passed" "test.sh: 312 passed, 0 failed" <<'EOF'
100% tests passed, 0 tests failed out of 312

Label Time Summary:
unit    =  10.00 sec*proc (300 tests)
EOF

check "failures, singular and plural" "test.sh: 9 passed, 1 failed" <<'EOF'
90% tests passed, 1 test failed out of 10

The following tests FAILED:
	  4 - ReadTest.Retries (Failed)
EOF

check "skipped tests are not passed" "test.sh: 8 passed, 2 failed, 2 skipped" <<'EOF'
83% tests passed, 2 tests failed out of 12

The following tests did not run:
	  3 - Interop.Holding (Skipped)
	 11 - Tmux.Poll (Skipped)

The following tests FAILED:
	  5 - a (Failed)
	  6 - b (SEGFAULT)
EOF

check "two builds add up" "test.sh: 598 passed, 3 failed, 1 skipped" <<'EOF'
100% tests passed, 0 tests failed out of 300

The following tests did not run:
	 12 - Interop.Holding (Skipped)
---
99% tests passed, 3 tests failed out of 302
EOF

check "no summary: CTest itself failed" "test.sh: 0 passed, 1 failed" <<'EOF'
No tests were found!!!
EOF

check "a test's own output that looks like a summary" "test.sh: 5 passed, 0 failed" <<'EOF'
   output: 100% tests passed, 0 tests failed out of 999 (an example in a log)
The following tests did not run:
    output: 7 - name (Skipped) in a sentence
100% tests passed, 0 tests failed out of 5
EOF

if [ "$failures" -ne 0 ]; then
  echo "$failures of $cases cases failed"
  exit 1
fi
echo "$cases cases passed"
