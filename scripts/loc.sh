#!/bin/sh
# Non-blank line counts of test code against product code, over the files git
# tracks in this script's own tree (every tracked text file; binary files
# count nothing). Test side: tests/. Product side: src/, tools/, writer/.
# fuzz/ and bench/ count on neither side and are shown for reference.
#
#   scripts/loc.sh        (from any directory)
#
# The ratio test/product is the figure the project holds to: tests about a
# quarter to a third of the product.
set -eu

cd "$(dirname "$0")/.."
cd "$(git rev-parse --show-toplevel)"

# Non-blank lines of the tracked files below $1 (0 when none).
count() {
    git ls-files -z -- "$1" | xargs -0 grep -Ihcv '^[[:space:]]*$' /dev/null 2>/dev/null |
        awk '{ s += $1 } END { print s + 0 }'
}

line() {
    printf '%-22s %7d\n' "$1" "$2"
}

tests=$(count tests)
src=$(count src)
tools=$(count tools)
writer=$(count writer)
product=$((src + tools + writer))

line "test side (tests/)" "$tests"
sub_total=0
for d in tests/unit tests/sim tests/e2e tests/tools tests/writer; do
    n=$(count "$d")
    sub_total=$((sub_total + n))
    line "  $d" "$n"
done
if [ "$((tests - sub_total))" -ne 0 ]; then
    line "  tests (other)" "$((tests - sub_total))"
fi
line "product side" "$product"
line "  src" "$src"
line "  tools" "$tools"
line "  writer" "$writer"
line "not counted: fuzz" "$(count fuzz)"
line "not counted: bench" "$(count bench)"
awk -v t="$tests" -v p="$product" 'BEGIN {
    if (p == 0) { print "ratio test/product: n/a (no product lines)"; exit }
    printf "ratio test/product: %.2f\n", t / p
}'
