#!/bin/bash
# Generated man pages against the programs they describe: each page renders without groff
# warnings, has its own NAME line, shows every option of the program's --help (and of its
# commands'), and its examples use only options the program has.
#   man_pages_test.sh MAN_DIR PROGRAM[:COMMAND,...]...
set -u
dir=$1
shift
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for entry in "$@"; do
    program=${entry%%:*}
    name=$(basename "$program")
    page="$dir/$name.1"
    commands=()
    [[ $entry == *:* ]] && IFS=, read -r -a commands <<<"${entry#*:}"
    [ -f "$page" ] || { fail "$page missing"; continue; }

    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l -Tutf8 "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$name(1) renders with warnings: $warnings"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" 2>/dev/null | sed 's/‐/-/g')
    grep -q "manual page for" <<<"$text" && fail "$name(1) has no NAME line of its own"

    help=$("$program" --help)
    for command in "${commands[@]}"; do help+=$'\n'$("$program" "$command" --help); done
    options=$(grep -oE -- '(^|[ ,])--?[A-Za-z][A-Za-z-]*' <<<"$help" | tr -d ' ,' | sort -u)
    [ -n "$options" ] || fail "no options found in $name --help"
    for option in $options; do
        grep -qe "$option\b" <<<"$text" || fail "$name(1) lacks $option"
    done

    examples=$(awk '/^EXAMPLES/ { on = 1; next } /^[A-Z]/ { on = 0 } on' <<<"$text" |
               grep -E "^ +([A-Z_]+=[^ ]+ )*$name( |$)")
    [ -n "$examples" ] || fail "$name(1) has no examples"
    while read -r line; do
        for used in $(grep -oE -- ' --?[A-Za-z][A-Za-z-]*' <<<" $line" | tr -d ' '); do
            grep -qx -- "$used" <<<"$options" || fail "$name(1) example uses unknown $used: $line"
        done
    done <<<"$examples"
done

[ "$failures" = 0 ] && echo "man pages match the programs"
[ "$failures" = 0 ]
