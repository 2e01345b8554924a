#!/usr/bin/env bash
# The Windows build: cross-builds sarnmd.dll, korven.dll and the Windows test
# programs with MinGW-w64 for x86-64 and for i686, checks the DLLs' export and
# import tables, and runs the tests under Wine: the unit tests over the fake
# platform, the load test of the DLL, reads and writes on a COM port that
# Wine maps onto the controller simulator's pseudo-terminal, and through
# ser2net in front of it (raw TCP and RFC 2217, over Winsock).
#
# Usage: bash .ci/windows.sh        (from anywhere; exits non-zero on failure)
# Environment: SARN_WIN_SKIP_INSTALL=1 skips the package installation;
#              SARN_WIN_SKIP_COM=1 skips the COM port and gateway runs.
#
# The x86-64 programs run under 64-bit Wine (wine64) on every machine. On a
# kernel that runs only 64-bit programs Wine cannot start a 32-bit program:
# the i686 DLLs are still built and their tables checked, and their runs are
# skipped with one line that says why.
#
# The last lines are one per run: "windows: <arch> <run>: N passed, M failed",
# or "windows: i686 skipped: <why>".
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NATIVE="$ROOT/build-win-native"

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
# The smallest set that runs headless: Wine without its recommendations (no
# fonts, sound or GUI extras); wine32 only where 32-bit programs run.
install_packages() {
  local need=()
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
  [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || need+=(wine64)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  command -v cmake >/dev/null || need+=(cmake)
  command -v make >/dev/null || need+=(make)
  command -v ser2net >/dev/null || [ -x /usr/sbin/ser2net ] || need+=(ser2net)
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

# The 64-bit Wine loader and its server: Debian keeps them in /usr/lib/wine.
first_program() {
  local name
  for name in "$@"; do
    if [ -x "$name" ]; then echo "$name" && return; fi
    if command -v "$name" >/dev/null; then command -v "$name" && return; fi
  done
}
WINE64=$(first_program wine64 /usr/lib/wine/wine64)
WINESERVER=$(first_program wineserver /usr/lib/wine/wineserver)

# ------------------------------------------------------------------ Wine
SCRATCH=$(mktemp -d /tmp/sarn-win.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko install prompts
SIM_PID=""
stop_sim() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; fi
  SIM_PID=""
  if [ -n "${GATEWAY_PID:-}" ]; then kill "$GATEWAY_PID" 2>/dev/null || true; fi
  GATEWAY_PID=""
}
cleanup() {
  local prefix
  stop_sim
  for prefix in "$SCRATCH"/prefix-*; do
    if [ -d "$prefix" ] && [ -n "$WINESERVER" ]; then WINEPREFIX="$prefix" "$WINESERVER" -k 2>/dev/null || true; fi
  done
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# ------------------------------------------------------------------ build
# build <arch> <preset> [target...]: configures and builds the tree, and
# fails on a compiler warning. No targets: all of them.
build() {
  local arch=$1 preset=$2 targets=()
  shift 2
  [ $# -eq 0 ] || targets=(--target "$@")
  log "configure and build $arch (preset $preset${targets[*]:+, ${targets[*]}})"
  cmake --preset "$preset" >"$SCRATCH/configure-$arch.log" || { cat "$SCRATCH/configure-$arch.log"; exit 1; }
  cmake --build --preset "$preset" "${targets[@]}" -- --no-print-directory >"$SCRATCH/build-$arch.log" 2>&1 ||
    { cat "$SCRATCH/build-$arch.log"; exit 1; }
  if grep -q 'warning:' "$SCRATCH/build-$arch.log"; then
    grep 'warning:' "$SCRATCH/build-$arch.log"
    log "FAILED: compiler warnings ($arch)"
    exit 1
  fi
}
cd "$ROOT"
build x86_64 windows-x86_64
# The i686 test programs only where they can run; the DLLs always.
if [ -z "$NO_WINE_REASON" ]; then build i686 windows-i686; else build i686 windows-i686 sarnmd korven; fi

# ------------------------------------------------------------------ tables
OBJDUMP=""
# Export names, one a line.
exports() { "$OBJDUMP" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p'; }
# Imported DLL names, one a line.
imports() { "$OBJDUMP" -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
# The object file format objdump names (pei-i386, pei-x86-64).
format() { "$OBJDUMP" -f "$1" | sed -n 's/.*file format //p'; }

check_table() {
  local what=$1 got=$2 want=$3
  if [ "$got" != "$want" ]; then
    log "FAILED: $what is '$(echo $got)', expected '$(echo $want)'"
    exit 1
  fi
}
# check_tables <arch> <build dir> <MinGW triple> <object format>
check_tables() {
  local arch=$1 dir=$2 format=$4
  OBJDUMP=$3-objdump
  check_table "$arch sarnmd.dll format" "$(format "$dir/sarnmd.dll")" "$format"
  check_table "$arch korven.dll format" "$(format "$dir/korven.dll")" "$format"
  check_table "$arch sarnmd.dll exports" "$(exports "$dir/sarnmd.dll")" "SarnMain"
  check_table "$arch korven.dll exports" "$(exports "$dir/korven.dll")" "err"
  check_table "$arch sarnmd.dll imports" "$(imports "$dir/sarnmd.dll" | LC_ALL=C sort)" "$(printf 'KERNEL32.dll\nWS2_32.dll\nkorven.dll\nmsvcrt.dll')"
  check_table "$arch korven.dll imports" "$(imports "$dir/korven.dll" | LC_ALL=C sort)" "$(printf 'KERNEL32.dll\nmsvcrt.dll')"
  check_table "$arch sarnmd.dll imports from korven.dll" \
    "$("$OBJDUMP" -p "$dir/sarnmd.dll" | sed -n '/DLL Name: korven.dll/,/^$/p' | awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}')" "err"
  log "$arch export tables: sarnmd.dll SarnMain, korven.dll err; runtime linked statically"
}
check_tables x86_64 "$ROOT/build-win64" x86_64-w64-mingw32 pei-x86-64
check_tables i686 "$ROOT/build-win" i686-w64-mingw32 pei-i386

# ------------------------------------------------------------------ simulator
# The simulator of the native build when there is one (CI has just built
# it), else one built for this run.
find_plcsim() {
  PLCSIM="$ROOT/build/bin/plcsim"
  [ ! -x "$PLCSIM" ] || return 0
  log "building the simulator ($NATIVE)"
  cmake -S "$ROOT" -B "$NATIVE" -DSARN_BUILD_TESTS=OFF >"$SCRATCH/native.log" 2>&1 &&
    cmake --build "$NATIVE" --target plcsim -j2 >>"$SCRATCH/native.log" 2>&1 ||
    { cat "$SCRATCH/native.log"; exit 1; }
  PLCSIM="$NATIVE/bin/plcsim"
}

# Starts the simulator on a fresh pseudo-terminal (tables filled) and maps it
# as COM5 in the prefix $WINEPREFIX.
start_sim() {
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
  log "COM5 -> $PTY (plcsim, pid $SIM_PID)"
}

# Starts ser2net in front of the simulator's pseudo-terminal: a raw TCP and
# an RFC 2217 port on loopback, as serial device servers serve a line.
start_gateway() {
  local ser2net raw=$((20000 + RANDOM % 20000))
  ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
  cat >"$SCRATCH/ser2net.yaml" <<YAML
connection: &raw
  accepter: tcp,127.0.0.1,$raw
  connector: serialdev,$PTY,9600n81,local
connection: &telnet
  accepter: telnet(rfc2217),tcp,127.0.0.1,$((raw + 1))
  connector: serialdev,$PTY,9600n81,local
YAML
  "$ser2net" -n -d -u -c "$SCRATCH/ser2net.yaml" >"$SCRATCH/ser2net.log" 2>&1 &
  GATEWAY_PID=$!
  for _ in $(seq 50); do
    grep -q ":$(printf '%04X' $((raw + 1))) 00000000:0000 0A" /proc/net/tcp 2>/dev/null && break
    sleep 0.1
  done
  GATEWAY_RAW="socket://127.0.0.1:$raw"
  GATEWAY_RFC2217="rfc2217://127.0.0.1:$((raw + 1))"
  log "gateways $GATEWAY_RAW and $GATEWAY_RFC2217 -> $PTY (ser2net, pid $GATEWAY_PID)"
}

# ------------------------------------------------------------------ runs
# One line per run, printed at the end.
RESULTS="$SCRATCH/results"
: >"$RESULTS"
FAILED=0

# The number GoogleTest's summary line "[  <word>  ] N test(s)" gives, or 0.
gtest_count() { sed -n "s/^\[  $1 *\] \([0-9]*\) tests\{0,1\}[.,].*/\1/p" "$2" | tail -n 1 | grep . || echo 0; }

# run <arch> <run> <wine> <program> [argument...]: runs a test program under
# Wine and notes its counts. A program that ends without its summary, or
# fails with none counted, counts as one failure; so does a run that passes
# nothing.
run() {
  local arch=$1 name=$2 wine=$3 out="$SCRATCH/$1-$2.log" rc=0 passed failed
  shift 3
  timeout 300 "$wine" "$@" >"$out" 2>&1 || rc=$?
  passed=$(gtest_count PASSED "$out")
  failed=$(gtest_count FAILED "$out")
  if { [ "$rc" -ne 0 ] || [ "$passed" -eq 0 ]; } && [ "$failed" -eq 0 ]; then failed=1; fi
  if [ "$failed" -ne 0 ]; then
    cat "$out"
    log "FAILED: $arch $name (exit status $rc)"
    FAILED=1
  fi
  echo "windows: $arch $name: $passed passed, $failed failed" >>"$RESULTS"
}

# run_arch <arch> <wine> <build dir>: the three runs in a prefix of their own.
run_arch() {
  local arch=$1 wine=$2 dir=$3
  export WINEPREFIX="$SCRATCH/prefix-$arch"
  log "tests under Wine ($arch, $wine)"
  "$wine" cmd /c exit >/dev/null 2>&1 || true  # creates the prefix
  run "$arch" unit_tests "$wine" "$dir/unit_tests.exe"
  run "$arch" load_test "$wine" "$dir/load_test.exe" \
    --gtest_filter=-LoadTest.ReadsAndWritesOnAComPort:LoadTest.ReadsAndWritesThroughAGateway
  if [ "${SARN_WIN_SKIP_COM:-0}" = 1 ]; then
    echo "windows: $arch com skipped: SARN_WIN_SKIP_COM=1" >>"$RESULTS"
    return
  fi
  start_sim
  SARN_WINE_COM=COM5 run "$arch" com "$wine" "$dir/load_test.exe" --gtest_filter=LoadTest.ReadsAndWritesOnAComPort
  stop_sim
  start_sim
  start_gateway
  SARN_WINE_GATEWAY_RAW=$GATEWAY_RAW SARN_WINE_GATEWAY_RFC2217=$GATEWAY_RFC2217 \
    run "$arch" gateway "$wine" "$dir/load_test.exe" --gtest_filter=LoadTest.ReadsAndWritesThroughAGateway
  stop_sim
}

[ "${SARN_WIN_SKIP_COM:-0}" = 1 ] || find_plcsim
if [ -z "$WINE64" ]; then
  log "FAILED: no 64-bit Wine (wine64)"
  exit 1
fi
run_arch x86_64 "$WINE64" "$ROOT/build-win64"
if [ -n "$NO_WINE_REASON" ]; then
  log "i686 runs skipped; the DLLs are built and their tables checked"
  echo "windows: i686 skipped: $NO_WINE_REASON" >>"$RESULTS"
else
  run_arch i686 "$(first_program wine)" "$ROOT/build-win"
fi
cat "$RESULTS"
exit "$FAILED"
