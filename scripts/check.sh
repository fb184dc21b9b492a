#!/usr/bin/env bash
# Builds every configuration and runs every test suite: the unit tests on the
# PC (debug, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer),
# the unit tests of the board's 32-bit ARM build under qemu-arm and a short
# end-to-end set with its daemon, a short run of each fuzz target on its seed
# corpus, the optimised benchmark build with a short relay run, the Debian
# packages with lintian and their install check, and the Windows writer
# under Wine. Ends with one line per suite and a total.
set -uo pipefail

cd "$(dirname "$0")/.."
mkdir -p build
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
JOBS=${JOBS:-$(nproc)}
summary=()
total_passed=0
total_failed=0
status=0

# Sums the GoogleTest results written as XML into a folder.
count_results() {
  python3 - "$1" <<'PY'
import glob, sys, xml.etree.ElementTree as ET
passed = failed = 0
for path in glob.glob(sys.argv[1] + "/*.xml"):
    root = ET.parse(path).getroot()
    tests = int(root.get("tests", 0)); fails = int(root.get("failures", 0)) + int(root.get("errors", 0))
    skipped = int(root.get("skipped", 0)) + int(root.get("disabled", 0))
    passed += tests - fails - skipped; failed += fails
print(passed, failed)
PY
}

run_unit_suite() {
  local preset=$1
  local results="build/$preset/test-results"
  echo "=== $preset: build"
  if ! cmake --preset "$preset" >"build/$preset-configure.log" 2>&1; then
    cat "build/$preset-configure.log"; summary+=("$preset: build failed"); status=1; return
  fi
  rm -f "build/$preset-configure.log"
  if ! cmake --build --preset "$preset" -j "$JOBS"; then
    summary+=("$preset: build failed"); status=1; return
  fi
  echo "=== $preset: tests"
  rm -rf "$results"; mkdir -p "$results"
  local ctest_status=0
  GTEST_OUTPUT="xml:$PWD/$results/" ctest --test-dir "build/$preset" --output-on-failure -j "$JOBS" || ctest_status=$?
  read -r passed failed < <(count_results "$results")
  if [ "$ctest_status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed=1  # a test program died without writing its results
  fi
  summary+=("$preset: $passed passed, $failed failed")
  total_passed=$((total_passed + passed)); total_failed=$((total_failed + failed))
  [ "$failed" -eq 0 ] || status=1
}

# Adds a suite's line to the summary and its counts to the totals.
add_summary() {
  local name=$1 passed=$2 failed=$3
  summary+=("$name: $passed passed, $failed failed")
  total_passed=$((total_passed + passed)); total_failed=$((total_failed + failed))
  [ "$failed" -eq 0 ] || status=1
}

# The board's build as a daemon: the PC's end-to-end programs run the armhf
# kovalan under qemu-arm for a short set: start-up to READY with a simulated
# radio and a clean stop on each stop signal, a second daemon refused, and
# two units relaying a voice frame both ways with each other's link state
# asked over the USB console.
BOARD_E2E=(
  "e2e_daemon_test:Daemon.MeetsItsRadio*:Daemon.ASecondDaemon*"
  "e2e_peer_e2e_test:TwoUnits.*"
)
run_board_e2e() {
  echo "=== armhf-e2e: the board's daemon under qemu-arm"
  local results=build/armhf/e2e-results
  local wrapper=$PWD/build/armhf/kovalan-qemu
  if [ ! -x build/armhf/kovalan ] || [ ! -d build/dev/tests/e2e ]; then
    summary+=("armhf-e2e: not run (needs the dev and armhf builds)"); status=1; return
  fi
  printf '#!/bin/sh\nexec qemu-arm -L /usr/arm-linux-gnueabihf %s/build/armhf/kovalan "$@"\n' "$PWD" >"$wrapper"
  chmod +x "$wrapper"
  rm -rf "$results"; mkdir -p "$results"
  local run_status=0 entry
  for entry in "${BOARD_E2E[@]}"; do
    local program=${entry%%:*}
    KOVALAN_BINARY=$wrapper KOVALAN_E2E_SLOW=4 GTEST_OUTPUT="xml:$PWD/$results/$program.xml" \
      "build/dev/tests/e2e/$program" --gtest_filter="${entry#*:}" || run_status=1
  done
  read -r passed failed < <(count_results "$results")
  if [ "$run_status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed=1  # a program died without writing its results
  fi
  add_summary armhf-e2e "$passed" "$failed"
}

# The Debian packages (built, lintian clean) and their install check.
run_package_check() {
  echo "=== package: Debian packages, lintian"
  local result=0
  scripts/package.sh >build/package.log 2>&1 || result=$?
  if [ "$result" -eq 3 ]; then
    summary+=("package: $(grep -E '^skipped:' build/package.log | tail -n 1)"); return
  elif [ "$result" -ne 0 ]; then
    tail -n 40 build/package.log
    add_summary package 0 1; return
  fi
  grep -E 'bytes$' build/package.log
  echo "=== package: install check"
  scripts/install-check.sh | tee build/install-check.log
  local line; line=$(grep -E '^install-check: [0-9]+ passed' build/install-check.log | tail -n 1)
  local passed failed
  passed=$(sed -E 's/^install-check: ([0-9]+) passed.*/\1/' <<<"$line")
  failed=$(sed -E 's/^install-check: [0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$line")
  [[ "$passed" =~ ^[0-9]+$ ]] || passed=0
  [[ "$failed" =~ ^[0-9]+$ ]] || failed=1
  add_summary package "$((passed + 1))" "$failed"  # the build and lintian count as one
}

run_fuzz_smoke() {
  echo "=== fuzz: build"
  if ! cmake --preset fuzz >build/fuzz-configure.log 2>&1 || ! cmake --build --preset fuzz -j "$JOBS"; then
    cat build/fuzz-configure.log 2>/dev/null; summary+=("fuzz: build failed"); status=1; return
  fi
  rm -f build/fuzz-configure.log
  local passed=0 failed=0
  for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    local name; name=$(basename "$target")
    local corpus; corpus=$(mktemp -d)
    cp -r "fuzz/corpus/$name/." "$corpus/" 2>/dev/null || true
    echo "=== fuzz: $name for ${FUZZ_SECONDS}s"
    if "$target" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 "$corpus" >"build/fuzz/$name.log" 2>&1; then
      passed=$((passed + 1))
      grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "build/fuzz/$name.log" | tail -n 2
    else
      failed=$((failed + 1)); tail -n 40 "build/fuzz/$name.log"
    fi
    rm -rf "$corpus"
  done
  summary+=("fuzz: $passed passed, $failed failed")
  total_passed=$((total_passed + passed)); total_failed=$((total_failed + failed))
  [ "$failed" -eq 0 ] || status=1
}

# The optimised build (it meets warnings the debug builds do not) and a short
# relay benchmark run: the daemon relays a few frames each way and to 100
# targets, and the run fails unless every frame arrived in order. The
# comparison server gets the same short run where it is installed; where it
# is not, the benchmark says so and skips its rows.
run_bench_smoke() {
  echo "=== bench: build"
  if ! cmake --preset bench >build/bench-configure.log 2>&1 || ! cmake --build --preset bench -j "$JOBS"; then
    cat build/bench-configure.log 2>/dev/null; summary+=("bench: build failed"); status=1; return
  fi
  rm -f build/bench-configure.log
  echo "=== bench: relay_bench (short run)"
  if KOVALAN_RELAY_FRAMES=100 KOVALAN_RELAY_FANOUT_FRAMES=10 KOVALAN_RELAY_IDLE_S=1 \
      build/bench/bench/relay_bench >build/bench/relay-smoke.log 2>&1; then
    summary+=("bench: 1 passed, 0 failed"); total_passed=$((total_passed + 1))
  else
    tail -n 40 build/bench/relay-smoke.log
    summary+=("bench: 0 passed, 1 failed"); total_failed=$((total_failed + 1)); status=1
  fi
}

# The Windows firmware writer under Wine: counts its checks, or says why it
# was skipped (it installs its own packages when run as root).
run_writer_check() {
  echo "=== writer: Windows program under Wine"
  local log=build/writer-check.log
  scripts/writer-check.sh 2>&1 | tee "$log"
  local result=${PIPESTATUS[0]}
  local line; line=$(grep -E '^(writer-check: [0-9]+ passed|skipped:)' "$log" | tail -n 1)
  case "$line" in
    skipped:*) summary+=("writer: $line") ;;
    *)
      local passed failed
      passed=$(sed -E 's/^writer-check: ([0-9]+) passed.*/\1/' <<<"$line")
      failed=$(sed -E 's/^writer-check: [0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$line")
      [[ "$passed" =~ ^[0-9]+$ ]] || passed=0
      [[ "$failed" =~ ^[0-9]+$ ]] || failed=1
      if [ "$result" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
      summary+=("writer: $passed passed, $failed failed")
      total_passed=$((total_passed + passed)); total_failed=$((total_failed + failed))
      [ "$failed" -eq 0 ] || status=1
      ;;
  esac
}

run_unit_suite dev
run_unit_suite asan
run_unit_suite tsan
run_unit_suite armhf
run_board_e2e
run_fuzz_smoke
run_bench_smoke
run_package_check
run_writer_check

echo
echo "=== summary"
for line in "${summary[@]}"; do
  echo "$line"
done
echo "total: $total_passed passed, $total_failed failed"
exit $status
