#!/usr/bin/env bash
# Builds the Debian packages (cpack -G DEB), checks what each holds, runs
# lintian on every one of them (any E: or W: line fails), installs them with
# apt, and checks what the installed system then has: a working sarnhost (and
# plcsim), the manual pages, the header, the pkg-config file with plain flags
# and a C program built with them, the CMake package, the libraries in the
# dynamic linker's cache. Removes the packages again at the end.
#
#   libsarnmd1     the driver and sarnmd.int(5)
#   libkorven1     the host log library
#   libsarnmd-dev  headers, .so links, sarnmd.pc, the CMake package
#   sarnmd-tools   sarnhost, plcsim and their manual pages
#
# Usage: tests/install/check_package.sh [BUILD_DIR]
#   BUILD_DIR  a tree configured with -DCMAKE_INSTALL_PREFIX=/usr and built;
#              without it the project is configured (with Debian's build
#              flags) and built in a scratch directory.
# Installing needs root (or sudo): run it on a machine where the project's
# packages may come and go.
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sarnmd-package-XXXXXX")
packages=(libsarnmd1 libkorven1 libsarnmd-dev sarnmd-tools)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
sim_pid=""
installed=0

remove_packages() {
  # The packages of this project, and the one package of its first release.
  local present=()
  for p in "${packages[@]}" sarnmd; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed\|config-files" && present+=("$p")
  done
  if [ ${#present[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq "${present[@]}" >"$scratch/purge.log" 2>&1
  fi
}
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ "$installed" = 1 ]; then remove_packages || echo "check_package: could not remove the packages" >&2; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "check_package: $*" >&2
  exit 1
}

bash "$src/scripts/deps.sh" lintian dpkg-dev fakeroot file man-db pkgconf >/dev/null
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$multiarch

build=${1:-}
if [ -z "$build" ]; then
  build=$scratch/build
  echo "== build for /usr, with Debian's build flags"
  # As a Debian package build has them: optimisation and every hardening
  # but "format", whose -Werror=format-security refuses the driver's log
  # calls that pass a message table's text as the format (the texts of calls
  # without arguments hold no conversion). CMake takes no CPPFLAGS: they go
  # with the compiler flags.
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all,-format dpkg-buildflags --export=sh)"
  export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
  cmake -S "$src" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DSARN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=None \
    >"$scratch/configure.log" 2>&1 || fail "configure failed: $(tail -n 5 "$scratch/configure.log")"
  cmake --build "$build" -j 2 >"$scratch/build.log" 2>&1 || fail "build failed: $(tail -n 20 "$scratch/build.log")"
fi

echo "== cpack -G DEB"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$scratch/cpack.log" 2>&1) || fail "cpack failed: $(tail -n 5 "$scratch/cpack.log")"
built=$(cd "$build" && ls -- *.deb | sed 's/_.*//' | sort | tr '\n' ' ')
expected=$(printf '%s\n' "${packages[@]}" | sort | tr '\n' ' ')
[ "$built" = "$expected" ] || fail "packages built: $built; expected: $expected"
debs=()
for p in "${packages[@]}"; do
  deb=$(ls "$build/${p}"_*.deb)
  debs+=("$deb")
  echo "   $(basename "$deb")"
done

echo "== what each package holds"
# PACKAGE PATH: a file the package must hold; PACKAGE !PATH: one it must not
# (each file is in exactly one package). @ is the multiarch library folder.
contents_table="
libsarnmd1    usr/lib/@/libsarnmd.so.1
libsarnmd1    usr/share/man/man5/sarnmd.int.5.gz
libsarnmd1    !usr/lib/@/libsarnmd.so
libsarnmd1    !usr/lib/@/libkorven.so.1
libkorven1    usr/lib/@/libkorven.so.1
libkorven1    !usr/lib/@/libkorven.so
libsarnmd-dev usr/include/sarnmd.h
libsarnmd-dev usr/include/korven.h
libsarnmd-dev usr/lib/@/libsarnmd.so
libsarnmd-dev usr/lib/@/libkorven.so
libsarnmd-dev usr/lib/@/pkgconfig/sarnmd.pc
libsarnmd-dev usr/lib/@/cmake/sarnmd/sarnmdConfig.cmake
libsarnmd-dev usr/share/doc/libsarnmd-dev/README.md.gz
libsarnmd-dev !usr/lib/@/libsarnmd.so.1
sarnmd-tools  usr/bin/sarnhost
sarnmd-tools  usr/bin/plcsim
sarnmd-tools  usr/share/man/man1/sarnhost.1.gz
sarnmd-tools  usr/share/man/man1/plcsim.1.gz
sarnmd-tools  usr/share/doc/sarnmd-tools/README.md.gz
sarnmd-tools  !usr/include/sarnmd.h
"
for p in "${packages[@]}"; do
  dpkg-deb -c "$build/${p}"_*.deb | awk '{print $6}' | sed 's|^\./||' >"$scratch/$p.files"
  dpkg-deb --ctrl-tarfile "$build/${p}"_*.deb | tar -t | sed 's|^\./||' >"$scratch/$p.control"
  # Every package: its own copyright and changelog.
  contents_table+="$p usr/share/doc/$p/copyright"$'\n'"$p usr/share/doc/$p/changelog.gz"$'\n'
done
while read -r p path; do
  [ -n "$p" ] || continue
  path=${path//@/$multiarch}
  if [ "${path#!}" != "$path" ]; then
    ! grep -qx "${path#!}" "$scratch/$p.files" || fail "$p holds ${path#!}, which belongs in another package"
  else
    grep -qx "$path" "$scratch/$p.files" || fail "$p lacks $path"
  fi
done <<<"$contents_table"
# The libraries bring the linker's cache up to date by a trigger, with no
# maintainer scripts; the others touch it not at all.
for p in "${packages[@]}"; do
  case $p in
    lib*[0-9]) want="control md5sums shlibs triggers" ;;
    *) want="control md5sums" ;;
  esac
  have=$(grep -v '^$' "$scratch/$p.control" | sort | tr '\n' ' ' | sed 's/ $//')
  [ "$have" = "$want" ] || fail "$p's control files: $have; expected: $want"
done
echo "   each file in its package; copyright and changelog in each"

echo "== lintian"
# Every package, every tag shown; any error or warning fails. (lintian says
# it runs as root in a CI container: no tag, no finding.)
lintian_rc=0
lintian --fail-on error,warning "${debs[@]}" >"$scratch/lintian.log" 2>&1 || lintian_rc=$?
if grep -E '^(E|W): ' "$scratch/lintian.log" >&2; then
  fail "lintian reports errors or warnings (above)"
fi
[ "$lintian_rc" = 0 ] || fail "lintian failed: $(cat "$scratch/lintian.log")"
echo "   no errors, no warnings in ${#debs[@]} packages"

echo "== apt install"
remove_packages
installed=1
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${debs[@]}" >"$scratch/apt.log" 2>&1 ||
  fail "apt-get install failed: $(tail -n 5 "$scratch/apt.log")"
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" | grep -q "install ok installed" || fail "$p is not installed"
done
# (/lib/$multiarch on a merged /usr: the same folder)
for lib in libsarnmd.so.1 libkorven.so.1; do
  ldconfig -p | grep -q "$lib .*=> \(/usr\)\?/lib/$multiarch/$lib\$" || fail "$lib is not in the linker's cache"
done

echo "== the installed sarnhost and plcsim"
[ "$(command -v sarnhost)" = /usr/bin/sarnhost ] || fail "sarnhost is not /usr/bin/sarnhost: $(command -v sarnhost)"
version=$(sarnhost --version) || fail "sarnhost --version failed"
echo "$version" | sed 's/^/   /'
echo "$version" | grep -q "^sarnhost [0-9]" || fail "no sarnhost version"
echo "$version" | grep -q "^driver $libdir/libsarnmd.so" || fail "sarnhost did not find the installed driver"
plcsim --pty --fill >"$scratch/plcsim.out" &
sim_pid=$!
pty=""
for _ in $(seq 50); do
  pty=$(head -n 1 "$scratch/plcsim.out" 2>/dev/null || true)
  [ -n "$pty" ] && break
  sleep 0.1
done
[ -n "$pty" ] || fail "plcsim printed no pseudo-terminal"
port=${pty#/dev/}  # pts/N: a name under /dev/, short enough for the driver
out=$(cd "$scratch" && sarnhost --port "$port" read 0140011 2>"$scratch/sarnhost.err") ||
  fail "sarnhost read failed: $(cat "$scratch/sarnhost.err")"
[ "$out" = "0140011: 11 (0x000B)" ] || fail "sarnhost read '$out', expected '0140011: 11 (0x000B)'"
echo "   sarnhost --port $port read 0140011: $out"

echo "== the installed manual pages"
if grep -qs '^path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  echo "   skipped: dpkg on this machine leaves manual pages out (path-exclude in /etc/dpkg/dpkg.cfg.d)"
else
  for page in "1 sarnhost" "1 plcsim" "5 sarnmd.int"; do
    set -- $page
    file=$(man -w "$1" "$2" 2>/dev/null) || fail "man $1 $2: no such page installed"
    [ "$file" = "/usr/share/man/man$1/$2.$1.gz" ] || fail "man $1 $2 is $file"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings "$1" "$2" 2>&1 >/dev/null) || fail "man $1 $2 failed: $warnings"
    [ -z "$warnings" ] || fail "man $1 $2 warns: $warnings"
    echo "   man $1 $2: $file"
  done
fi

echo "== a C program built with pkg-config's flags"
[ -f /usr/include/sarnmd.h ] || fail "/usr/include/sarnmd.h is not installed"
[ "$(pkg-config --modversion sarnmd)" = "$(dpkg-query -W -f='${Version}' libsarnmd-dev)" ] ||
  fail "pkg-config says version $(pkg-config --modversion sarnmd)"
cflags=$(pkg-config --cflags sarnmd)
libs=$(pkg-config --libs sarnmd)
# Plain: the header and the libraries are where the compiler looks anyway.
[ -z "${cflags// /}" ] || fail "pkg-config --cflags sarnmd is '$cflags', expected nothing"
[ "$(echo $libs)" = "-lsarnmd -lkorven" ] || fail "pkg-config --libs sarnmd is '$libs', expected '-lsarnmd -lkorven'"
[ "$(pkg-config --variable=driver sarnmd)" = "$libdir/libsarnmd.so.1" ] ||
  fail "pkg-config --variable=driver sarnmd is $(pkg-config --variable=driver sarnmd)"
echo "   cflags '$cflags', libs '$libs'"
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror -o "$scratch/consumer" "$src/examples/consumer/consumer.c" $cflags $libs -ldl ||
  fail "the consumer does not build with pkg-config's flags"
out=$(cd "$scratch" && "$scratch/consumer" "$port" 0140011 2>"$scratch/consumer.err") ||
  fail "the consumer failed: $(cat "$scratch/consumer.err")"
[ "$out" = "0140011 = 11" ] || fail "the consumer read '$out', expected '0140011 = 11'"
echo "   consumer $port 0140011: $out"

echo "== a host built with find_package(sarnmd)"
cmake -S "$src/examples/consumer" -B "$scratch/consumer-cmake" >"$scratch/consumer-cmake.log" 2>&1 &&
  cmake --build "$scratch/consumer-cmake" >>"$scratch/consumer-cmake.log" 2>&1 ||
  fail "the consumer does not build with find_package(sarnmd): $(tail -n 5 "$scratch/consumer-cmake.log")"
out=$(cd "$scratch" && "$scratch/consumer-cmake/consumer" "$port" 0140011 2>"$scratch/consumer.err") ||
  fail "the CMake consumer failed: $(cat "$scratch/consumer.err")"
[ "$out" = "0140011 = 11" ] || fail "the CMake consumer read '$out', expected '0140011 = 11'"
echo "   $out"

echo "== apt remove"
installed=0
remove_packages
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "installed" || fail "$p is still installed"
done
[ ! -e /usr/bin/sarnhost ] || fail "/usr/bin/sarnhost is left behind"
echo "package check passed"
