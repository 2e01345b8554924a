#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB), checks it with lintian (no
# errors), checks that apt can install it (a simulated `apt-get install
# ./sarnmd_*.deb`), unpacks it into a scratch root, and runs what it holds
# from there: sarnhost --version, and the consumer example built against the
# packaged header and pkg-config file, reading from the packaged plcsim.
#
# Usage: tests/install/check_package.sh [BUILD_DIR]
#   BUILD_DIR  a tree configured with -DCMAKE_INSTALL_PREFIX=/usr and built;
#              without it the project is configured and built in a scratch
#              directory.
# SARN_PACKAGE_APT_INSTALL=1 also installs it for real with apt and removes it
# again (root only; for a throw-away machine).
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sarnmd-package-XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "check_package: $*" >&2
  exit 1
}

bash "$src/scripts/deps.sh" lintian dpkg-dev fakeroot >/dev/null

build=${1:-}
if [ -z "$build" ]; then
  build=$scratch/build
  echo "== build for /usr"
  cmake -S "$src" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DSARN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j 2 >/dev/null
fi

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB >"$scratch/cpack.log" 2>&1) || fail "cpack failed: $(tail -n 5 "$scratch/cpack.log")"
deb=$(ls "$build"/sarnmd_*.deb | head -n 1)
[ -f "$deb" ] || fail "no package built"
echo "   $deb"
dpkg-deb -c "$deb" >"$scratch/contents"
for f in usr/bin/sarnhost usr/bin/plcsim usr/include/sarnmd.h usr/share/man/man1/sarnhost.1.gz \
  usr/share/man/man1/plcsim.1.gz usr/share/doc/sarnmd/copyright; do
  grep -q " \./$f\$" "$scratch/contents" || fail "not in the package: $f"
done

echo "== lintian"
# (lintian warns when run as root, as in a CI container; that is no finding)
lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 || {
  cat "$scratch/lintian.log" >&2
  fail "lintian reports errors"
}
grep -v "running with root privileges" "$scratch/lintian.log" | sed 's/^/   /' || true

echo "== apt can install it"
apt-get install -s "$deb" >"$scratch/apt.log" 2>&1 || fail "apt-get install -s failed: $(tail -n 5 "$scratch/apt.log")"
grep -q "^Inst sarnmd" "$scratch/apt.log" || fail "apt would not install sarnmd: $(tail -n 5 "$scratch/apt.log")"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
echo "== packaged sarnhost --version"
version=$("$root/usr/bin/sarnhost" --version) || fail "sarnhost --version failed"
echo "$version" | sed 's/^/   /'
echo "$version" | grep -q "^sarnhost [0-9]" || fail "no sarnhost version"
echo "$version" | grep -q "^driver $root/usr/lib/" || fail "sarnhost did not find the packaged driver"

echo "== consumer against the packaged files"
pc=$(find "$root" -name sarnmd.pc | head -n 1)
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir sarnmd)
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -o "$scratch/consumer" "$src/examples/consumer/consumer.c" $(pkg-config --cflags sarnmd) \
  -DSARNMD_DRIVER="\"$(pkg-config --variable=driver sarnmd)\"" $(pkg-config --libs sarnmd) \
  -Wl,-rpath,"$libdir" -ldl
"$root/usr/bin/plcsim" --pty --fill >"$scratch/plcsim.out" &
sim_pid=$!
pty=""
for _ in $(seq 50); do
  pty=$(head -n 1 "$scratch/plcsim.out" 2>/dev/null || true)
  [ -n "$pty" ] && break
  sleep 0.1
done
[ -n "$pty" ] || fail "plcsim printed no pseudo-terminal"
port=/tmp/$(basename "$scratch" | tail -c 7)  # the driver takes port names of 11 characters
ln -sfn "$pty" "$port"
out=$(cd "$scratch" && "$scratch/consumer" "$port" 0140011 2>"$scratch/consumer.err") || { rm -f "$port"; fail "the consumer failed"; }
rm -f "$port"
[ "$out" = "0140011 = 11" ] || fail "the consumer read '$out', expected '0140011 = 11'"
echo "   $out"

if [ "${SARN_PACKAGE_APT_INSTALL:-0}" = 1 ]; then
  echo "== apt install and remove"
  DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >/dev/null
  sarnhost --version | grep -q "^driver /usr/lib/" || fail "the installed sarnhost did not find the driver"
  DEBIAN_FRONTEND=noninteractive apt-get remove -y sarnmd >/dev/null
fi
echo "package check passed"
