# Checks of the installed package that run inside a private network namespace; sourced by
# scripts/package-check.sh. The programs under test are the installed ones (/usr/bin); the
# simulated devices come from the package build tree given as the first argument.

# The address the man pages' examples use for a device; the checks put a simulated device
# on a loopback address in its place.
readonly EXAMPLE_DEVICE=10.20.0.15
readonly SIM_DEVICE=127.0.0.2

pids=()
work=""
stop_all() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ -z "$work" ] || rm -rf "$work"
}
trap stop_all EXIT

# Waits until a server has written its port file (it does so once it listens).
wait_for_file() {
    local i
    for ((i = 0; i < 500; i++)); do
        [ -s "$1" ] && return 0
        kill -0 "${pids[-1]}" 2>/dev/null || { echo "server ended before it listened" >&2; return 1; }
        sleep 0.02
    done
    echo "no $1 after 10 s" >&2
    return 1
}

# The command lines in the EXAMPLES section of an installed man page, as printed.
man_examples() {
    local page
    page=$(man -w "$1")
    zcat -f "$page" | awk '/^\.SH/ { ex = ($2 == "EXAMPLES") ; next } ex' |
        grep -E "^(NDXL_BROADCAST=[^ ]+ )?$1( |$)" | sed 's/\\-/-/g; s/\\(dq/"/g; s/\\\\/\\/g'
}

# Runs every tftpput example against simulated TFTP servers (port 69 and the example's
# other port) and compares what arrived with what was sent.
check_man_examples() {
    local build=$1 line count=0
    work=$(mktemp -d)
    mkdir -p "$work/files" "$work/run"
    local port
    for port in 69 6969; do
        "$build/sim/ftpupg-simtftpd" -q -a "$SIM_DEVICE" -p "$port" -o "$work/slot-$port.bin" \
            -d "$work/files" --port-file "$work/ready-$port" &
        pids+=($!)
        wait_for_file "$work/ready-$port" || return 1
    done
    head -c 300000 /dev/urandom >"$work/run/kr730-2.4.1.bin"
    printf 'release notes\n' >"$work/run/notes.txt"

    while read -r line; do
        [ -n "$line" ] || continue
        rm -f "$work"/slot-*.bin "$work/files/notes.txt"
        echo "example: $line" >&2
        (cd "$work/run" && eval "${line//$EXAMPLE_DEVICE/$SIM_DEVICE}") || { echo "example failed: $line" >&2; return 1; }
        case $line in
            *" /") cmp "$work/run/kr730-2.4.1.bin" "$work/slot-69.bin" ;;
            *notes.txt) cmp "$work/run/notes.txt" "$work/files/notes.txt" ;;
            *) echo "no check for this example: $line" >&2; false ;;
        esac || { echo "example delivered the wrong bytes: $line" >&2; return 1; }
        count=$((count + 1))
    done < <(man_examples tftpput)
    [ "$count" -ge 3 ] || { echo "only $count tftpput examples found" >&2; return 1; }
}
