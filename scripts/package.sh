#!/usr/bin/env bash
# Builds the Debian packages with Debian's own tools into build/packages:
# kovalan for amd64 and armhf (cross-built with the arm-linux-gnueabihf
# toolchain the armhf preset uses), kova-tools for amd64, then runs lintian
# over them (its report in build/packages/lintian.txt; any error or warning
# fails the run).
#
# dpkg-buildpackage works in a copy of the source below build/package-src,
# since it writes its results next to the source folder and cleans the
# source tree. The cross build needs no armhf architecture in the host's
# package database: its build dependencies are all host tools, and the
# armhf C and C++ libraries come with the cross toolchain (the
# libc6-dev-armhf-cross and libstdc++-12-dev-armhf-cross packages).
#
# Run as root it installs the Debian packages it needs; otherwise, when one
# is missing, it says "skipped: ..." and exits 3.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build/packages
STAGE=$ROOT/build/package-src

packages=(dpkg-dev debhelper lintian cmake ninja-build g++ g++-arm-linux-gnueabihf nettle-dev libedit-dev)
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the packages need the Debian packages ${missing[*]} (run as root to install them)"
    exit 3
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

version=$(sed -n 's/^project(kovalan VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
src=$STAGE/kovalan-$version
rm -rf "$STAGE" "$OUT"
mkdir -p "$src" "$OUT"
# The tracked files and the new ones not ignored: what a commit would hold.
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -P -t "$src"
# Ccache when there is one (the shared cache of this machine), else plain compilers.
[ -z "${CCACHE_DIR:-}" ] || export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache

build() {
  local arch=$1
  echo "=== package: $arch"
  (cd "$src" && dpkg-buildpackage -b -us -uc -a "$arch" -j"${JOBS:-$(nproc)}") >"$OUT/build-$arch.log" 2>&1 || {
    tail -n 60 "$OUT/build-$arch.log"
    echo "package: the $arch build failed (build/packages/build-$arch.log)" >&2
    exit 1
  }
}
build amd64
build armhf
mv "$STAGE"/*.deb "$STAGE"/*.changes "$STAGE"/*.buildinfo "$OUT"/
mv "$STAGE"/*.ddeb "$OUT"/ 2>/dev/null || true
rm -rf "$STAGE"

echo "=== package: lintian"
lintian --info --display-info "$OUT"/*.changes >"$OUT/lintian.txt" 2>&1 || true
cat "$OUT/lintian.txt"
for deb in "$OUT"/*.deb; do
  printf '%-40s %8s bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")"
done
if grep -qE '^[EW]: ' "$OUT/lintian.txt"; then
  echo "package: lintian reports errors or warnings" >&2
  exit 1
fi
