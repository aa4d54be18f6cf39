#!/bin/sh
# Help of a program with subcommands for help2man: the program's own --help, then each
# command's options under a heading of its own, so that one man page covers them all and
# --help stays the only source.
#   with-commands.sh PROGRAM COMMAND... --help
program=$1
shift
[ "$#" -ge 1 ] || exit 2
commands=""
while [ "$#" -gt 1 ]; do commands="$commands $1"; shift; done
[ "$1" = --help ] || { "$program" "$1"; exit; }
"$program" --help || exit
for command in $commands; do
    echo
    echo "Options of $(basename "$program") $command:"
    # The command's options without the help option, up to the shared epilogue.
    # An option whose name fills its column is followed by one space only; help2man needs
    # two, so its description goes on a line of its own.
    "$program" "$command" --help | awk '/^Options:$/ { on = 1; next } on && /^$/ { exit }
        on && /^  -h,--help/ { next }
        on && /^  -/ && substr($0, 3) !~ /  / && match($0, /\] [A-Z]/) {
            print substr($0, 1, RSTART); printf "%30s%s\n", "", substr($0, RSTART + 2); next }
        on' || exit
done
