#!/bin/bash
# scripts/format-check.sh fails on an unformatted file and names it, passes once the file
# is formatted with the project's style, and says so when given nothing to check.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
check=$root/scripts/format-check.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

printf 'int  f( int a ){return a+1 ;}\n' > "$work/bad.cpp"
"$check" "$work/bad.cpp" >"$work/out" 2>&1
[ $? -eq 1 ] || fail "unformatted file must fail: $(cat "$work/out")"
grep -qF "$work/bad.cpp" "$work/out" || fail "the unformatted file is named: $(cat "$work/out")"

formatter=$(command -v clang-format-14 || command -v clang-format)
"$formatter" -i --style="file:$root/.clang-format" "$work/bad.cpp"
"$check" "$work/bad.cpp" >"$work/out" 2>&1 || fail "formatted file must pass: $(cat "$work/out")"
grep -q "1 files formatted" "$work/out" || fail "count: $(cat "$work/out")"
echo "format check: 1 passed, 0 failed"
