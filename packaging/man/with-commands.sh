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
    "$program" "$command" --help | awk '/^Options:$/ { on = 1; next } on && /^$/ { exit }
        on && !/^  -h,--help/' || exit
done
