#!/usr/bin/env bash
# Installs the project to a scratch prefix, builds the outside host of
# examples/consumer against the installed files (once with find_package(sarnmd),
# once with pkg-config), starts the installed plcsim on a pseudo-terminal and
# checks the value both hosts read through the installed driver; then checks
# that the installed sarnhost finds the installed driver by itself.
#
# Usage: tests/install/check_install.sh [BUILD_DIR]
#   BUILD_DIR  a configured and built tree to install from; without it the
#              project is configured and built in the scratch directory.
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sarnmd-install-XXXXXX")
sim_pid=""
port=""
cleanup() {
  if [ -n "$port" ]; then rm -f "$port"; fi
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "check_install: $*" >&2
  exit 1
}

build=${1:-}
if [ -z "$build" ]; then
  build=$scratch/build
  cmake -S "$src" -B "$build" -DSARN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 2 >/dev/null
fi

prefix=$scratch/prefix
echo "== install to $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name sarnmd.pc | head -n 1)
[ -n "$pc" ] || fail "no sarnmd.pc installed"
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir sarnmd)
driver=$(pkg-config --variable=driver sarnmd)
for f in "$driver" "$libdir/libkorven.so.1" "$prefix/include/sarnmd.h" "$prefix/include/korven.h" \
  "$prefix/bin/sarnhost" "$prefix/bin/plcsim" "$libdir/cmake/sarnmd/sarnmdConfig.cmake" \
  "$prefix/share/man/man1/sarnhost.1.gz" "$prefix/share/man/man5/sarnmd.int.5.gz"; do
  [ -e "$f" ] || fail "not installed: $f"
done
# sarnmd.pc names the prefix it was installed to: plain flags, no "..".
[ "$(pkg-config --variable=prefix sarnmd)" = "$prefix" ] ||
  fail "sarnmd.pc's prefix is $(pkg-config --variable=prefix sarnmd), installed to $prefix"
[ "$(pkg-config --cflags sarnmd | xargs)" = "-I$prefix/include" ] || fail "pkg-config --cflags: $(pkg-config --cflags sarnmd)"
[ "$(pkg-config --libs sarnmd | xargs)" = "-L$libdir -lsarnmd -lkorven" ] || fail "pkg-config --libs: $(pkg-config --libs sarnmd)"

echo "== consumer with find_package(sarnmd)"
cmake -S "$src/examples/consumer" -B "$scratch/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer-cmake" >/dev/null

echo "== consumer with pkg-config"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -o "$scratch/consumer-pc" "$src/examples/consumer/consumer.c" \
  $(pkg-config --cflags sarnmd) -DSARNMD_DRIVER="\"$driver\"" \
  $(pkg-config --libs sarnmd) -Wl,-rpath,"$libdir" -ldl

echo "== installed plcsim on a pseudo-terminal"
"$prefix/bin/plcsim" --pty --fill >"$scratch/plcsim.out" &
sim_pid=$!
pty=""
for _ in $(seq 50); do
  pty=$(head -n 1 "$scratch/plcsim.out" 2>/dev/null || true)
  [ -n "$pty" ] && break
  sleep 0.1
done
[ -n "$pty" ] || fail "plcsim printed no pseudo-terminal"
# Port names hold 11 characters, a pty's path can be longer (/dev/pts/100):
# the consumers open it through a link of 11 characters.
port=$(mktemp /tmp/XXXXXX)
ln -sfn "$pty" "$port"
echo "   $pty as $port"

# The simulator's pattern: the holding register at gate address k holds k, so
# gate 0140011 (holding register 11, address 10 on the wire) reads 11.
cd "$scratch"  # no initialization file here: the driver's defaults
for consumer in consumer-cmake/consumer consumer-pc; do
  out=$("$scratch/$consumer" "$port" 0140011 2>"$scratch/consumer.err") ||
    fail "$consumer failed: $(cat "$scratch/consumer.err")"
  [ "$out" = "0140011 = 11" ] || fail "$consumer read '$out', expected '0140011 = 11'"
  echo "   $consumer: $out"
done

echo "== installed sarnhost finds the installed driver"
out=$("$prefix/bin/sarnhost" -v --port "$pty" read 0140011 2>"$scratch/sarnhost.err") ||
  fail "sarnhost failed: $(cat "$scratch/sarnhost.err")"
[ "$out" = "0140011: 11 (0x000B)" ] || fail "sarnhost read '$out'"
grep -q "sarnhost: driver $prefix/" "$scratch/sarnhost.err" ||
  fail "sarnhost did not use the installed driver: $(grep '^sarnhost: driver' "$scratch/sarnhost.err")"
echo "   $out"
echo "install check passed"
