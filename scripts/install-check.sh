#!/usr/bin/env bash
# Checks the built Debian packages (build/packages, made by scripts/package.sh)
# as installed, without touching this machine's package database: each
# package is unpacked into build/install-check with dpkg-deb -x, then the
# installed programs are run from there and the files the packages promise
# are looked for where their contents list says: the daemon, its systemd
# unit (verified by systemd-analyze when this machine has it), its init
# script, its default settings, the tools (kovasim's demo running the
# installed daemon) and every manual page the source's man/ folder holds. The board's package must hold a 32-bit ARM daemon that
# runs under qemu-arm and prints its banner. Ends with "install-check: N
# passed, M failed".
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
PKG=$ROOT/build/packages
OUT=$ROOT/build/install-check
version=$(sed -n 's/^project(kovalan VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
banner="KOVA-LAN Ver $version"

passed=0
failed=0
check() {  # check NAME COMMAND...: one result line
  local name=$1; shift
  if "$@" >/dev/null 2>&1; then
    passed=$((passed + 1)); echo "ok: $name"
  else
    failed=$((failed + 1)); echo "FAIL: $name"
  fi
}
# Unpacks a package into its own folder below $OUT.
unpack() {
  mkdir -p "$OUT/$2"
  dpkg-deb -x "$PKG/$1" "$OUT/$2"
}
# True when the package's contents list names the path (./path).
lists() { dpkg-deb -c "$PKG/$1" | awk '{ print $6 }' | grep -qx "./$2"; }
prints() { local want=$1; shift; "$@" 2>&1 | grep -qF "$want"; }
# The ELF header of a 32-bit little-endian ARM executable: class 1, data 1, machine 40.
arm32() { [ "$(od -An -tu1 -j4 -N2 "$1" | tr -s ' ')" = " 1 1" ] && [ "$(od -An -tu2 -j18 -N2 "$1" | tr -d ' ')" = 40 ]; }
# systemd-analyze verify on a copy of the unit that names the unpacked daemon.
verify_unit() {
  local copy=$OUT/verify/kovalan.service
  mkdir -p "$OUT/verify"
  sed "s#=/usr/sbin/kovalan#=$OUT/amd64/usr/sbin/kovalan#" "$OUT/amd64/lib/systemd/system/kovalan.service" >"$copy"
  systemd-analyze verify --man=no "$copy"
}

daemon=kovalan_${version}_amd64.deb
tools=kova-tools_${version}_amd64.deb
board=kovalan_${version}_armhf.deb
for deb in "$daemon" "$tools" "$board"; do
  [ -f "$PKG/$deb" ] || { echo "install-check: $deb missing (run make package)"; echo "install-check: 0 passed, 1 failed"; exit 1; }
done
rm -rf "${OUT:?}"
unpack "$daemon" amd64
unpack "$tools" amd64
unpack "$board" armhf

check "package versions are the project's $version" \
  test "$(dpkg-deb -f "$PKG/$daemon" Version)$(dpkg-deb -f "$PKG/$tools" Version)" = "$version$version"
check "kovalan --version prints the banner" prints "$banner" "$OUT/amd64/usr/sbin/kovalan" --version
check "kovactl --help" "$OUT/amd64/usr/bin/kovactl" --help
for tool in kovafw kovadir kovasim; do
  check "$tool is installed" test -x "$OUT/amd64/usr/bin/$tool"
done
for path in usr/sbin/kovalan lib/systemd/system/kovalan.service etc/init.d/kovalan usr/share/kovalan/kovalan.ini; do
  check "kovalan holds /$path" lists "$daemon" "$path"
  check "kovalan installs /$path" test -e "$OUT/amd64/$path"
done
check "the init script is executable" test -x "$OUT/amd64/etc/init.d/kovalan"
check "the installed kovasim demo runs the installed daemon" "$OUT/amd64/usr/bin/kovasim" demo --frames 5
if command -v systemd-analyze >/dev/null 2>&1; then
  check "systemd-analyze verify kovalan.service" verify_unit
else
  echo "skipped: systemd-analyze verify (systemd is not installed here)"
fi
for page in man/*.[0-9]; do
  [ -e "$page" ] || continue
  name=$(basename "$page"); section=${name##*.}
  if [ "$section" = 8 ]; then pkg=$daemon; else pkg=$tools; fi
  check "manual page $name" lists "$pkg" "usr/share/man/man$section/$name.gz"
  check "manual page $name installed" test -f "$OUT/amd64/usr/share/man/man$section/$name.gz"
done

check "the board's daemon is a 32-bit ARM executable" arm32 "$OUT/armhf/usr/sbin/kovalan"
check "the board's daemon prints its banner under qemu-arm" \
  prints "$banner" qemu-arm -L /usr/arm-linux-gnueabihf "$OUT/armhf/usr/sbin/kovalan" --version
check "the board's package holds the service unit and init script" \
  lists "$board" lib/systemd/system/kovalan.service

echo "install-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
