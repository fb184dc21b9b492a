#!/bin/bash
# Measures the power of the dev test suite: plants each fault of
# scripts/mutants.list, one at a time, into a scratch copy of a tree, rebuilds
# the dev preset and runs the suite. A fault the suite fails on (a failed,
# crashed or hung test) is "caught"; one it passes is "missed".
#
#   scripts/mutants.sh [--tree DIR] [--only REGEX] [--jobs N] [--list FILE]
#
#   --tree DIR    the tree to measure (default: this script's own tree); its
#                 git-tracked files, as they stand in the working tree, are
#                 copied once into a scratch folder under ${TMPDIR:-/tmp}.
#                 DIR itself is never written to.
#   --only REGEX  only the faults whose ID matches REGEX (grep -E)
#   --jobs N      parallel build jobs and ctest -j (default 2)
#   --list FILE   the fault list (default: mutants.list next to this script)
#
# List format, one fault per line, '#' starts a comment line:
#   ID|ORIGINAL|REPLACEMENT|DESCRIPTION
# ORIGINAL is an exact fragment of one line and must occur exactly once in all
# of src/; the file is found by that text, so a fault follows code that moves
# between files. REPLACEMENT may be empty. A literal bar is written \| .
#
# One scratch copy and one dev build serve every fault: the mutated file is
# restored after each, so each rebuild is incremental (and uses the shared
# compiler cache when CMAKE_CXX_COMPILER_LAUNCHER is set). The unmutated tree
# is built and tested first; the script exits non-zero only when that fails or
# on a usage error. It reports, it does not judge: missed faults exit 0.
#
# A suite failure is confirmed by running the failed tests once more on the
# same build; when they then pass (they failed for the busy machine), the
# whole suite runs again, so a flaky test can neither pass for a caught fault
# nor hide a later test that would catch it.
#
# Output, one line per fault, then a total:
#   ID caught (by TEST...) | missed | n/a (fragment not found or not unique)
#      | no-build (did not compile)  -- description
#   mutants: C caught, M missed, X not applicable of T
set -u

script_dir=$(cd "$(dirname "$0")" && pwd)
tree="$script_dir/.."
only=''
jobs=2
list="$script_dir/mutants.list"

usage() {
    sed -n '2,/^set -u/p' "$0" | sed -e '/^set -u/d' -e 's/^# \{0,1\}//' >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case "$1" in
    --tree) [ $# -ge 2 ] || usage; tree=$2; shift 2 ;;
    --only) [ $# -ge 2 ] || usage; only=$2; shift 2 ;;
    --jobs) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    --list) [ $# -ge 2 ] || usage; list=$2; shift 2 ;;
    -h | --help) usage ;;
    *) echo "mutants.sh: unknown argument: $1" >&2; usage ;;
    esac
done

case "$jobs" in '' | *[!0-9]* | 0) echo "mutants.sh: --jobs wants a positive number" >&2; exit 1 ;; esac
[ -r "$list" ] || { echo "mutants.sh: cannot read the list $list" >&2; exit 1; }
list=$(cd "$(dirname "$list")" && pwd)/$(basename "$list")
tree=$(git -C "$tree" rev-parse --show-toplevel 2>/dev/null) || {
    echo "mutants.sh: $tree is not a git tree" >&2
    exit 1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mutants.XXXXXX") || exit 1
cleanup() { rm -rf "$scratch"; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

work="$scratch/tree"
mkdir -p "$work"
# The tracked files as they stand in DIR (uncommitted edits included).
git -C "$tree" ls-files -z | tar -C "$tree" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$work" -xf - || {
    echo "mutants.sh: cannot copy $tree" >&2
    exit 1
}

# With the shared cache, paths below the copy are hashed relative to it, so
# the copy's build hits what other trees of the same sources compiled.
if [ -n "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
    export CCACHE_BASEDIR="$work"
fi

cd "$work" || exit 1
build_log="$scratch/build.log"
test_log="$scratch/test.log"

build() {
    cmake --build build/dev -j "$jobs" </dev/null >"$build_log" 2>&1
}

run_suite() {
    ctest --test-dir build/dev --stop-on-failure -j "$jobs" --timeout 180 </dev/null >"$test_log" 2>&1
}

# Names of the tests that failed, timed out or crashed in the last run.
failed_tests() {
    grep -E 'Test +#[0-9]+: ' "$test_log" | grep -vE ' Passed +[0-9.]+ sec$' |
        sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' | sort -u | tr '\n' ' ' | sed 's/ $//'
}

# Prints the one file under src/ holding the fragment $ORIG exactly once, or
# nothing when it occurs there zero or several times.
locate() {
    find src -type f -print0 | xargs -0 awk '
        BEGIN { o = ENVIRON["ORIG"]; n = 0 }
        {
            s = $0
            while ((i = index(s, o)) > 0) { n++; f = FILENAME; s = substr(s, i + length(o)) }
        }
        END { if (n == 1) print f }'
}

# Replaces the first occurrence of $ORIG by $REPL in file $1.
apply() {
    awk 'BEGIN { o = ENVIRON["ORIG"]; r = ENVIRON["REPL"]; done = 0 }
        {
            if (!done && (i = index($0, o)) > 0) {
                $0 = substr($0, 1, i - 1) r substr($0, i + length(o))
                done = 1
            }
            print
        }' "$1" >"$scratch/mutated" && cat "$scratch/mutated" >"$1"
}

# Runs the suite on the current build and sets result. A failure is confirmed
# by running the failed tests again; when they pass, they failed for the busy
# machine and stopped the suite early, so the whole suite runs again (three
# runs at most).
judge() {
    flaky=''
    for attempt in 1 2 3; do
        if run_suite; then
            result="missed${flaky:+ (failed once, passed when run again:$flaky)}"
            return
        fi
        names=$(failed_tests)
        if [ -z "$names" ] || ! ctest --test-dir build/dev --timeout 180 -R "^($(echo "$names" | tr ' ' '|'))\$" \
            </dev/null >"$scratch/confirm.log" 2>&1; then
            result="caught (by ${names:-the suite})"
            return
        fi
        flaky="$flaky $names"
    done
    result="missed (the suite never ran through; failed once, passed when run again:$flaky)"
}

start=$(date +%s)
echo "mutants: tree $tree, list $list"
if ! cmake --preset dev </dev/null >"$build_log" 2>&1 || ! build; then
    echo "mutants: the unmutated tree does not build:" >&2
    tail -n 30 "$build_log" >&2
    exit 2
fi
judge
case "$result" in
caught*)
    echo "mutants: the unmutated tree's suite fails: ${result#caught }" >&2
    tail -n 30 "$test_log" >&2
    exit 2
    ;;
esac
echo "mutants: unmutated tree builds and passes ($(($(date +%s) - start)) s)${flaky:+; failed once, passed when run again:$flaky}"

caught=0 missed=0 na=0 total=0
sep=$(printf '\001')
while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in '' | '#'*) continue ;; esac
    line=${line//\\|/$sep}
    IFS='|' read -r id orig repl desc <<<"$line"
    orig=${orig//$sep/|}
    repl=${repl//$sep/|}
    desc=${desc//$sep/|}
    if [ -n "$only" ] && ! printf '%s\n' "$id" | grep -qE -- "$only"; then
        continue
    fi
    total=$((total + 1))
    t0=$(date +%s)
    file=''
    [ -n "$orig" ] && file=$(ORIG="$orig" locate)
    if [ -z "$file" ]; then
        na=$((na + 1))
        echo "$id n/a (fragment not found or not unique) -- $desc"
        continue
    fi
    cp -p "$file" "$scratch/original"
    ORIG="$orig" REPL="$repl" apply "$file"
    if ! build; then
        na=$((na + 1))
        result="no-build (did not compile)"
    else
        judge
        case "$result" in caught*) caught=$((caught + 1)) ;; *) missed=$((missed + 1)) ;; esac
    fi
    # Content restored with a new time stamp: the next build recompiles it.
    cat "$scratch/original" >"$file"
    echo "$id $result -- $desc [$file, $(($(date +%s) - t0)) s]"
done <"$list"

echo "mutants: $caught caught, $missed missed, $na not applicable of $total"
echo "mutants: took $(($(date +%s) - start)) s"
exit 0
