#!/usr/bin/env bash
# Checks the project's manual pages as a reader and lintian meet them:
#   - groff -ww -man -z prints nothing (every warning on);
#   - man -l renders each at 80 columns with no warning (man --warnings, as
#     lintian runs it);
#   - the NAME line gives a whatis entry (lexgrog), named as the file is;
#   - each reference to a page of the project, "name(section)", names one
#     that exists, in that section;
#   - the references each page must make (sarnhost(1) to sarnmd.int(5)).
#
# Usage: tests/install/check_man_pages.sh [PAGE...]
#   without pages: every manual page of the source tree.
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
cd "$src"
pages=("$@")
if [ ${#pages[@]} -eq 0 ]; then
  mapfile -t pages < <(find . \( -path './build*' -o -path './.git' -o -path './out' \) -prune -o -type f \
    -name '*.[1-9]' -print | sed 's|^\./||' | sort)
fi
[ ${#pages[@]} -gt 0 ] || { echo "check_man_pages: no manual pages found" >&2; exit 1; }

# PAGE REFERENCE: a reference the page must make.
required_table="
tools/sarnhost/sarnhost.1 sarnmd.int(5)
tools/sarnhost/sarnhost.1 plcsim(1)
config/sarnmd.int.5       sarnhost(1)
"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# name(section) of every page, as the file names them.
declare -A known=()
for page in "${pages[@]}"; do
  base=$(basename "$page")
  known["${base%.*}(${base##*.})"]=1
done

for page in "${pages[@]}"; do
  base=$(basename "$page")
  name=${base%.*}
  out=$(groff -ww -man -z "$page" 2>&1) || fail "$page: groff failed"
  [ -z "$out" ] || fail "$page: groff warns: $out"
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || fail "$page: man -l failed"
  [ -z "$out" ] || fail "$page: man -l warns: $out"
  whatis=$(lexgrog "$page" 2>&1) || fail "$page: no whatis entry: $whatis"
  case $whatis in
    *": \"$name - "*) ;;
    *) fail "$page: the NAME line does not begin with '$name \\-': $whatis" ;;
  esac
  # .BR name (section) references to pages of the project's own commands.
  while read -r ref; do
    ref_name=${ref%%(*}
    case $ref_name in
      sarnhost | plcsim | sarnmd*) [ -n "${known[$ref]:-}" ] || fail "$page: refers to $ref, which is no page here" ;;
    esac
  done < <(sed -n 's/^\.BR \([A-Za-z0-9._-]*\) (\([1-9]\)).*/\1(\2)/p' "$page")
done

while read -r page ref; do
  [ -n "$page" ] || continue
  printf '%s\n' "${pages[@]}" | grep -qxF "$page" || continue
  sed -n 's/^\.BR \([A-Za-z0-9._-]*\) (\([1-9]\)).*/\1(\2)/p' "$page" | grep -qxF "$ref" ||
    fail "$page: does not refer to $ref"
done <<<"$required_table"

if [ "$failures" -ne 0 ]; then
  echo "check_man_pages: $failures failed of ${#pages[@]} pages"
  exit 1
fi
echo "check_man_pages: ${#pages[@]} pages render cleanly"
