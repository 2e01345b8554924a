# Sourced by scripts/test.sh: the totals of the CTest runs and the closing
# line that says whether everything passed.
#
#   count_tests CTEST-LOG  adds one run's passed, failed and skipped tests
#   summary_line           prints "test.sh: N passed, N failed" (and
#                          ", N skipped" when tests were skipped)
#
# A build that fails, or a CTest run without its summary, counts as one
# failure: its tests did not pass. Callers add those to $failed themselves.
passed=0
failed=0
skipped=0

# CTest ends with "N% tests passed, F tests failed out of T" and counts the
# skipped tests among the passed; it lists them as "  12 - name (Skipped)".
count_tests() {
  local summary total f s
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+$' "$1" | tail -n 1)
  if [ -z "$summary" ]; then
    failed=$((failed + 1))
    return
  fi
  f=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
  total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+)$/\1/')
  s=$(grep -c -E '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$1" || true)
  passed=$((passed + total - f - s))
  failed=$((failed + f))
  skipped=$((skipped + s))
}

summary_line() {
  local line="$passed passed, $failed failed"
  [ "$skipped" -eq 0 ] || line+=", $skipped skipped"
  echo "test.sh: $line"
}
