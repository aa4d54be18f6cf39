#!/bin/bash
# Generated man pages against the programs they describe: each page renders without groff
# warnings, has its own NAME line that lexgrog reads, the sections an operator looks for,
# every option of the program's --help (and of its commands') without the option parser's
# notation, every exit code under EXIT STATUS, every NDXL_/FTPUPG_ variable the program and
# its libraries can read under ENVIRONMENT, and examples that use only options the
# program has.
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
    lexgrog "$page" >/dev/null 2>&1 || fail "lexgrog cannot read the NAME line of $name(1)"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES "SEE ALSO"; do
        grep -qx "$section" <<<"$text" || fail "$name(1) has no $section section"
    done
    noise=$(grep -nE ':(INT|UINT|FLOAT|NUMBER|TEXT|POSITIVE|NONNEGATIVE)\b|\bREQUIRED\b|Excludes:|Needs:|see libndxl' <<<"$text")
    [ -z "$noise" ] || fail "$name(1) shows the option parser's notation: $noise"
    section_of() { awk -v s="$1" '/^[A-Z]/ { on = ($0 == s); next } on' <<<"$text"; }

    help=$("$program" --help)
    for command in "${commands[@]}"; do help+=$'\n'$("$program" "$command" --help); done
    options=$(grep -oE -- '(^|[ ,])--?[A-Za-z][A-Za-z-]*' <<<"$help" | tr -d ' ,' | sort -u)
    [ -n "$options" ] || fail "no options found in $name --help"
    for option in $options; do
        grep -qe "$option\b" <<<"$text" || fail "$name(1) lacks $option"
    done

    # Every code of "Exit status: 0 ..., 1 ..." in --help, under EXIT STATUS.
    codes=$(tr '\n' ' ' <<<"$help" | grep -oE 'Exit status:[^.]*' | grep -oE '(: |, )[0-9]+ ' | tr -dc '0-9\n ' | sort -u)
    [ -n "$codes" ] || fail "$name --help has no exit status"
    for code in $codes; do
        section_of "EXIT STATUS" | grep -qE "^ +$code +\S" || fail "$name(1) lacks exit status $code"
    done
    # The variables the program and the project libraries it loads may read.
    binaries=("$program")
    ndxl=$(ldd "$program" 2>/dev/null | awk '$1 ~ /^libndxl/ { print $3 }')
    [ -z "$ndxl" ] || binaries+=("$ndxl")
    for variable in $(strings -a "${binaries[@]}" | grep -oE '\b(NDXL|FTPUPG)_[A-Z][A-Z0-9_]*\b' | sort -u); do
        section_of ENVIRONMENT | grep -qE "^ +$variable\$" || fail "$name(1) lacks $variable under ENVIRONMENT"
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
