#!/usr/bin/env bash
# The 32-bit Windows build: cross-builds sarnmd.dll, korven.dll and the
# Windows test programs with MinGW-w64, checks the DLLs' export and import
# tables, and runs the tests under Wine, including reads and writes on a COM
# port that Wine maps onto the controller simulator's pseudo-terminal.
#
# Usage: bash .ci/windows.sh        (from anywhere; exits non-zero on failure)
# Environment: SARN_WIN_SKIP_INSTALL=1 skips the package installation;
#              SARN_WIN_SKIP_COM=1 skips the COM port run.
#
# On a kernel that runs only 64-bit programs Wine cannot start a 32-bit
# program: the DLLs are still built and their tables checked, and the Wine run
# is skipped with one line that says why.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build-win"
NATIVE="$ROOT/build-win-native"
OBJDUMP=i686-w64-mingw32-objdump

log() { printf '== windows: %s\n' "$*"; }

# ------------------------------------------------------------------ 32-bit
# Runs the smallest 32-bit x86 Linux program there is (it only exits 0).
# Prints why 32-bit programs cannot run here, or nothing when they can. Only
# the kernel's own refusal counts: any other outcome leaves the decision to
# the Wine run, which then fails loudly if it must.
why_no_32bit() {
  local probe out
  probe=$(mktemp /tmp/sarn-i386.XXXXXX)
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' \
    '\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00' \
    '\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe" # mov eax,1; xor ebx,ebx; int 0x80
  chmod +x "$probe"
  out=$("$probe" 2>&1) || true
  rm -f "$probe"
  case "$out" in
    *"Exec format error"*) echo "this kernel runs only 64-bit programs (a 32-bit program gives \"Exec format error\")" ;;
  esac
}
NO_WINE_REASON=$(why_no_32bit)

# ------------------------------------------------------------------ packages
# The smallest set that runs headless: wine32 and the wine wrappers without
# their recommendations (no fonts, sound or GUI extras).
install_packages() {
  local need=()
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  command -v cmake >/dev/null || need+=(cmake)
  command -v make >/dev/null || need+=(make)
  if [ -z "$NO_WINE_REASON" ] && { ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1; }; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    need+=(wine32:i386 wine)
  fi
  if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
  fi
}
if [ "${SARN_WIN_SKIP_INSTALL:-0}" != 1 ]; then install_packages; fi

# ------------------------------------------------------------------ Wine
SCRATCH=$(mktemp -d /tmp/sarn-win.XXXXXX)
export WINEPREFIX="$SCRATCH/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko install prompts
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# ------------------------------------------------------------------ build
log "configure and build ($BUILD)"
cd "$ROOT"
cmake --preset windows-i686 >"$SCRATCH/configure.log" || { cat "$SCRATCH/configure.log"; exit 1; }
cmake --build --preset windows-i686 -- --no-print-directory >"$SCRATCH/build.log" 2>&1 ||
  { cat "$SCRATCH/build.log"; exit 1; }
if grep -q 'warning:' "$SCRATCH/build.log"; then
  grep 'warning:' "$SCRATCH/build.log"
  log "FAILED: compiler warnings"
  exit 1
fi

# ------------------------------------------------------------------ tables
# Export names, one a line.
exports() { "$OBJDUMP" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p'; }
# Imported DLL names, one a line.
imports() { "$OBJDUMP" -p "$1" | sed -n 's/^\s*DLL Name: //p'; }

check_table() {
  local what=$1 got=$2 want=$3
  if [ "$got" != "$want" ]; then
    log "FAILED: $what is '$(echo $got)', expected '$(echo $want)'"
    exit 1
  fi
}
check_table "sarnmd.dll exports" "$(exports "$BUILD/sarnmd.dll")" "SarnMain"
check_table "korven.dll exports" "$(exports "$BUILD/korven.dll")" "err"
check_table "sarnmd.dll imports" "$(imports "$BUILD/sarnmd.dll" | LC_ALL=C sort)" "$(printf 'KERNEL32.dll\nkorven.dll\nmsvcrt.dll')"
check_table "korven.dll imports" "$(imports "$BUILD/korven.dll" | LC_ALL=C sort)" "$(printf 'KERNEL32.dll\nmsvcrt.dll')"
check_table "sarnmd.dll imports from korven.dll" \
  "$("$OBJDUMP" -p "$BUILD/sarnmd.dll" | sed -n '/DLL Name: korven.dll/,/^$/p' | awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}')" "err"
log "export tables: sarnmd.dll SarnMain, korven.dll err; runtime linked statically"

if [ -n "$NO_WINE_REASON" ]; then
  log "Wine run skipped: $NO_WINE_REASON; the DLLs are built and their tables checked"
  exit 0
fi

# ------------------------------------------------------------------ COM port
# The simulator on a pseudo-terminal, mapped as COM5 in the Wine prefix.
wine cmd /c exit >/dev/null 2>&1 || true  # creates the prefix
if [ "${SARN_WIN_SKIP_COM:-0}" != 1 ] && [ -f "$ROOT/tools/plcsim/CMakeLists.txt" ]; then
  # The simulator of the native build when there is one (CI has just built
  # it), else one built for this run.
  PLCSIM="$ROOT/build/bin/plcsim"
  if [ ! -x "$PLCSIM" ]; then
    log "building the simulator ($NATIVE)"
    cmake -S "$ROOT" -B "$NATIVE" -DSARN_BUILD_TESTS=OFF >"$SCRATCH/native.log" 2>&1 &&
      cmake --build "$NATIVE" --target plcsim -j2 >>"$SCRATCH/native.log" 2>&1 ||
      { cat "$SCRATCH/native.log"; exit 1; }
    PLCSIM="$NATIVE/bin/plcsim"
  fi
  "$PLCSIM" --pty --fill >"$SCRATCH/plcsim.out" 2>"$SCRATCH/plcsim.err" &
  SIM_PID=$!
  for _ in $(seq 50); do
    [ -s "$SCRATCH/plcsim.out" ] && break
    sleep 0.1
  done
  PTY=$(head -n 1 "$SCRATCH/plcsim.out")
  if [ -z "$PTY" ] || [ ! -e "$PTY" ]; then
    cat "$SCRATCH/plcsim.err"
    log "FAILED: the simulator gave no pseudo-terminal"
    exit 1
  fi
  ln -sfn "$PTY" "$WINEPREFIX/dosdevices/com5"
  export SARN_WINE_COM=COM5
  log "COM5 -> $PTY (plcsim, pid $SIM_PID)"
fi

# ------------------------------------------------------------------ tests
# The whole output goes to a file; shown are each program's GoogleTest
# summary and CTest's, or everything when a test failed.
log "tests under Wine"
if ! ctest --preset windows-i686 --verbose >"$SCRATCH/ctest.log" 2>&1; then
  cat "$SCRATCH/ctest.log"
  log "FAILED: tests under Wine"
  exit 1
fi
grep -E '^[0-9]+: \[(==========|  PASSED  |  SKIPPED |  FAILED  )\]|tests passed|tests failed' "$SCRATCH/ctest.log"
