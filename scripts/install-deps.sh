#!/usr/bin/env bash
# Installs the Debian packages the build and the test suites need and this
# machine lacks. Run as root it installs them; otherwise it prints the
# apt-get line to run and fails.
#
#   scripts/install-deps.sh         everything `make check` uses
#   scripts/install-deps.sh demo    only what `make demo` uses
#   scripts/install-deps.sh bench   everything, and also the benchmarks' own
#                                   packages: the relay benchmark's comparison
#                                   server. These are optional: where they
#                                   cannot be had (not root, or not in the
#                                   archive) a note is printed and the
#                                   benchmark skips their rows.
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
    nettle-dev libedit-dev
  )
fi

bench_packages=(svxreflector)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# The optional benchmark packages: installed when root, else only noted.
if [ "${1:-}" = bench ]; then
  bench_missing=()
  for pkg in "${bench_packages[@]}"; do
    installed "$pkg" || bench_missing+=("$pkg")
  done
  if [ ${#bench_missing[@]} -ne 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
      echo "Installing for the benchmarks: ${bench_missing[*]}"
      export DEBIAN_FRONTEND=noninteractive
      if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${bench_missing[@]}"; }; then
        echo "note: ${bench_missing[*]} could not be installed; the benchmarks skip their rows" >&2
      fi
    else
      echo "note: ${bench_missing[*]} not installed (sudo apt-get install -y ${bench_missing[*]});" \
        "the benchmarks skip their rows" >&2
    fi
  fi
fi

missing=()
for pkg in "${packages[@]}"; do
  installed "$pkg" || missing+=("$pkg")
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
