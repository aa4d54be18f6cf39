#!/bin/bash
# Bash completions of tftpput, ftpupg-cli and ftpupg: what each offers after a given command line.
#   completion_test.sh COMPLETIONS_DIR
set -u
dir=$1
. "$dir/tftpput"
. "$dir/ftpupg-cli"
. "$dir/ftpupg"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" && touch kr730-2.4.1.bin kr730-notes.txt kr730-run.json && mkdir kr730-old kr730-site &&
    touch kr730-site/FTPUPG.ini kr730-site/note1.txt
failures=0

# expect "WORDS" "OFFERED": WORDS is the line, its last word the one being completed
# ('' for a new word); OFFERED the sorted replies, space-separated.
expect() {
    local -a words
    read -r -a words <<<"$1"
    [[ $1 == *" " ]] && words+=("")
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$((${#words[@]} - 1))
    COMPREPLY=()
    case ${words[0]} in
        tftpput) _tftpput ;;
        ftpupg-cli) _ftpupg_cli ;;
        ftpupg) _ftpupg ;;
    esac
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
    if [ "$got" != "$2" ]; then
        echo "FAIL: '$1' offers [$got], expected [$2]"
        failures=$((failures + 1))
    fi
}

# tftpput: options, the mode's values, nothing for numbers, then HOST, FILE, REMOTE.
expect "tftpput -" "--blksize --classic --help --json --mode --port --quiet --retries --timeout --trace --tsize --version --windowsize -b -h -m -p -q -r -t -w"
expect "tftpput --trace kr730-r" "kr730-run.json"
expect "tftpput --trace t.pcapng localhost kr730-2" "kr730-2.4.1.bin"
expect "tftpput -w 16 -r 3 localhost kr730-2" "kr730-2.4.1.bin"
expect "tftpput --v" "--version"
expect "tftpput -m " "netascii octet"
expect "tftpput --mode n" "netascii"
expect "tftpput --port 6969 -q localhost kr730-2" "kr730-2.4.1.bin"
expect "tftpput -m o" "octet"
expect "tftpput -p " ""
expect "tftpput -b 1024 -t " ""
expect "tftpput localhost kr730-" "kr730-2.4.1.bin kr730-notes.txt kr730-old kr730-run.json kr730-site"
expect "tftpput -p 69 -m octet localhost kr730-2" "kr730-2.4.1.bin"
expect "tftpput localhost kr730-2.4.1.bin " ""
expect "tftpput -b 512 localhost kr730-2.4.1.bin /" ""

# ftpupg-cli: commands first, then each command's own options.
expect "ftpupg-cli " "--help --version discover doctor report upgrade"
expect "ftpupg-cli doctor --" "--blksize --help --ip --jobs --json --wait"
expect "ftpupg-cli doctor --ip " ""
expect "ftpupg-cli upgrade --trace kr730-" "kr730-old kr730-site"
expect "ftpupg-cli up" "upgrade"
expect "ftpupg-cli discover --" "--help --json --trace --wait"
expect "ftpupg-cli discover --json " "--help --json --trace --wait"
expect "ftpupg-cli upgrade --re" "--resume --retries"
expect "ftpupg-cli upgrade --max-r" "--max-rate"
expect "ftpupg-cli upgrade --wi" "--windowsize"
expect "ftpupg-cli upgrade --d" "--dry-run"
expect "ftpupg-cli upgrade --image kr730-2" "kr730-2.4.1.bin"
expect "ftpupg-cli upgrade --ip 127.0.0.15 --json kr730-n" "kr730-notes.txt"
expect "ftpupg-cli upgrade --password " ""
expect "ftpupg-cli upgrade --jobs " ""
expect "ftpupg-cli upgrade --ca" "--canary"
expect "ftpupg-cli upgrade --canary " ""
expect "ftpupg-cli upgrade --skip-done kr730-n" "kr730-notes.txt"
expect "ftpupg-cli --version" "--version"
expect "ftpupg-cli report kr730-" "kr730-old kr730-run.json kr730-site"
expect "ftpupg-cli report kr730-run.json --" "--help --html"
expect "ftpupg-cli report kr730-run.json --html kr730-n" "kr730-notes.txt"

# ftpupg: its options, then a site folder or the FTPUPG.ini in one.
expect "ftpupg --" "--choose-folder --help --version"
expect "ftpupg kr730-" "kr730-old kr730-site"
expect "ftpupg kr730-site/" "kr730-site/FTPUPG.ini"

[ "$failures" = 0 ] && echo "all completions as expected"
[ "$failures" = 0 ]
