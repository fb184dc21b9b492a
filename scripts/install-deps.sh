#!/usr/bin/env bash
# Installs the Debian packages the build and the test suites need and this
# machine lacks. Run as root it installs them; otherwise it prints the
# apt-get line to run and fails.
#
#   scripts/install-deps.sh        everything `make check` uses
#   scripts/install-deps.sh demo   only what `make demo` uses
set -euo pipefail

if [ "${1:-}" = demo ]; then
  packages=(cmake ninja-build g++)
else
  packages=(
    cmake ninja-build g++ make python3
    googletest libgtest-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev
    g++-arm-linux-gnueabihf qemu-user
    ifupdown iproute2 curl mandoc
  )
fi

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages. Install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
