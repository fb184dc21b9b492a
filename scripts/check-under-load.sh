#!/bin/sh
# Runs the test suites while both cores are kept busy, to show that no test
# depends on the machine being idle (a test that fails because the machine is
# busy is a defect). Each preset is configured and built once, without load;
# then two busy loops start and every preset's suite runs once per round.
#
#   scripts/check-under-load.sh [--presets "dev asan tsan"] [--rounds 3]
#                               [--jobs 2] [-R REGEX]
#
#   --presets LIST  presets to build and test, blank- or comma-separated
#                   (default: dev asan tsan)
#   --rounds N      rounds of every preset's suite (default 3)
#   --jobs N        build jobs and ctest -j (default 2)
#   -R REGEX        only the tests matching REGEX (passed to ctest)
#
# Prints one line per run (preset, round, passed/failed, the failed tests)
# and a verdict; exits non-zero when any build or run failed. The logs of each
# run are kept as build/PRESET/under-load-N.log. The busy loops are this
# script's own children and are ended by their PIDs on exit.
set -u

presets='dev asan tsan'
rounds=3
jobs=2
regex=''

usage() {
    sed -n '2,/^set -u/p' "$0" | sed -e '/^set -u/d' -e 's/^# \{0,1\}//' >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case "$1" in
    --presets) [ $# -ge 2 ] || usage; presets=$(printf '%s' "$2" | tr ',' ' '); shift 2 ;;
    --rounds) [ $# -ge 2 ] || usage; rounds=$2; shift 2 ;;
    --jobs) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    -R) [ $# -ge 2 ] || usage; regex=$2; shift 2 ;;
    -h | --help) usage ;;
    *) echo "check-under-load.sh: unknown argument: $1" >&2; usage ;;
    esac
done
for n in "$rounds" "$jobs"; do
    case "$n" in '' | *[!0-9]* | 0) echo "check-under-load.sh: --rounds and --jobs want positive numbers" >&2; exit 1 ;; esac
done
[ -n "$presets" ] || usage

cd "$(dirname "$0")/.." || exit 1
cd "$(git rev-parse --show-toplevel)" || exit 1

load_pids=''
stop_load() {
    for pid in $load_pids; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    load_pids=''
}
trap stop_load EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- build every preset once, without load
for preset in $presets; do
    log="build/$preset-under-load-build.log"
    mkdir -p build
    if ! { cmake --preset "$preset" && cmake --build "build/$preset" -j "$jobs"; } </dev/null >"$log" 2>&1; then
        echo "$preset: build failed (see $log)"
        tail -n 20 "$log"
        echo "under load: not run, $preset does not build"
        exit 1
    fi
    echo "$preset: built"
done

# ---- two busy loops, one per core
for i in 1 2; do
    sh -c 'while :; do :; done' &
    load_pids="$load_pids $!"
done
echo "load: busy loops$load_pids"

runs=0
failed=0
round=1
while [ "$round" -le "$rounds" ]; do
    for preset in $presets; do
        log="build/$preset/under-load-$round.log"
        t0=$(date +%s)
        if [ -n "$regex" ]; then
            ctest --test-dir "build/$preset" -j "$jobs" --timeout 600 --output-on-failure -R "$regex" </dev/null >"$log" 2>&1
        else
            ctest --test-dir "build/$preset" -j "$jobs" --timeout 600 --output-on-failure </dev/null >"$log" 2>&1
        fi
        status=$?
        runs=$((runs + 1))
        summary=$(grep -E 'tests passed' "$log" | tail -n 1)
        if [ "$status" -eq 0 ] && grep -q 'tests passed' "$log" && ! grep -q 'No tests were found' "$log"; then
            echo "$preset round $round: passed ($summary, $(($(date +%s) - t0)) s)"
        else
            failed=$((failed + 1))
            bad=$(grep -E 'Test +#[0-9]+: ' "$log" | grep -vE ' Passed +[0-9.]+ sec$' |
                sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' | sort -u | tr '\n' ' ')
            echo "$preset round $round: FAILED (${summary:-no tests run}; ${bad:-see log}; log $log)"
        fi
    done
    round=$((round + 1))
done
stop_load

if [ "$failed" -eq 0 ]; then
    echo "under load: all $runs runs passed"
    exit 0
fi
echo "under load: $failed of $runs runs FAILED"
exit 1
