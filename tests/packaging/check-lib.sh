# Checks of the installed package that run inside a private network namespace; sourced by
# scripts/package-check.sh. The programs under test are the installed ones (/usr/bin); the
# simulated devices come from the package build tree given as the first argument.

# The address the man pages' examples use for a device; the checks put a simulated device
# on a loopback address in its place.
export NDXL_BROADCAST=127.255.255.255

# An example as printed, with the example network's addresses put on loopback.
on_loopback() {
    local line=${1//10.20.0.255/$NDXL_BROADCAST}
    line=${line//10.20.0./127.0.0.}
    # An example naming any other network is never run: it fails instead, by name. (A version
    # such as ftpupg_1.0.0.4-1 is no address: addresses stand alone or after = @ :.)
    if grep -oE '(^|[ =@:])[0-9]+(\.[0-9]+){3}([ :/]|$)' <<<"$line" | grep -qvE '^[ =@:]?127\.'; then
        printf '%s\n' 'echo "not run: the example names an address outside 127.0.0.0/8" >&2; false'
        return
    fi
    printf '%s\n' "$line"
}

pids=()
work=""
stop_servers() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
}
stop_all() {
    stop_servers
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
        sed 's/\\-/-/g; s/\\(dq/"/g; s/\\\\/\\/g' | grep -E "^([A-Z_]+=[^ ]+ )*$1( |$)"
}

# Starts one simulated device per ADDRESS:PASSWORD, each storing its firmware in
# $work/slots/ADDRESS.bin, and waits until all of them answer discovery.
start_devices() {
    local build=$1 entry
    shift
    mkdir -p "$work/slots"
    for entry in "$@"; do
        local ip=${entry%%:*}
        "$build/sim/ftpupg-simdev" --bind "$ip" --password "${entry#*:}" --tftp-slot "$work/slots/$ip.bin" \
            --mac "$(printf '00:1b:7a:00:00:%02x' "${ip##*.}")" 2>/dev/null &
        pids+=($!)
    done
    local i answered
    for ((i = 0; i < 50; i++)); do
        answered=$("$build/cli/ftpupg-cli" discover --wait 200 --json | grep -c '"ip"' || true)
        [ "$answered" -ge $# ] && return 0
    done
    echo "only $answered of $# simulated devices answer" >&2
    return 1
}

# Runs every tftpput example against simulated TFTP servers (port 69 and the example's
# other port) and compares what arrived with what was sent.
check_man_examples() {
    local build=$1 line count=0
    work=$(mktemp -d)
    mkdir -p "$work/files" "$work/run"
    local port
    for port in 69 6969; do
        "$build/sim/ftpupg-simtftpd" -q -a 127.0.0.15 -p "$port" -o "$work/slot-$port.bin" \
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
        (cd "$work/run" && eval "$(on_loopback "$line")") || { echo "example failed: $line" >&2; return 1; }
        case $line in
            *" /") cmp "$work/run/kr730-2.4.1.bin" "$work/slot-69.bin" ;;
            *notes.txt) cmp "$work/run/notes.txt" "$work/files/notes.txt" ;;
            *) echo "no check for this example: $line" >&2; false ;;
        esac || { echo "example delivered the wrong bytes: $line" >&2; return 1; }
        count=$((count + 1))
    done < <(man_examples tftpput)
    [ "$count" -ge 3 ] || { echo "only $count tftpput examples found" >&2; return 1; }
    stop_servers
    [ ! -x /usr/bin/ftpupg-cli ] || check_cli_examples "$build" || return 1
    check_window_examples
}

# Runs every ftpupg example on a virtual X server, on a copy of the installed example site
# folder in the examples' place (~/sites/kr730): the window must open with the focus (no
# error box), working in that folder, and "Cancel" must end it with 0.
check_window_examples() {
    local line count=0 pid code
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
    # shellcheck source=../xvfb-lib.sh
    . "$root/tests/xvfb-lib.sh"
    local home=$work/home site
    site=$home/sites/kr730
    mkdir -p "$home/sites" "$work/xdg-runtime"
    chmod 700 "$work/xdg-runtime"
    cp -r /usr/share/doc/ftpupg/examples/site "$site"
    sed -i 's/^IP=10\.20\.0\./IP=127.0.0./' "$site/FTPUPG.ini"
    start_xvfb >&2 || return 1
    pids+=("$xvfb")
    while read -r line; do
        echo "example: $line" >&2
        (export HOME=$home XDG_RUNTIME_DIR=$work/xdg-runtime QT_QPA_PLATFORM=xcb
         cd "$work/run" && eval "$(on_loopback "$line")") 2>"$work/window.log" &
        pid=$!
        find_window "$work/window.log" >&2 || return 1
        [ "$(readlink "/proc/$(xdotool getwindowpid "$id")/cwd")" = "$site" ] ||
            { echo "the window of '$line' does not work in $site" >&2; return 1; }
        eval "$(xdotool getwindowgeometry --shell "$id")"
        xdotool mousemove $((X + 157)) $((Y + 268)) click 1
        for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -0 "$pid" 2>/dev/null && { echo "'$line' did not end on Cancel" >&2; kill "$pid"; return 1; }
        code=0
        wait "$pid" || code=$?
        [ "$code" = 0 ] || { cat "$work/window.log" >&2; echo "'$line' ended with $code" >&2; return 1; }
        count=$((count + 1))
    done < <(man_examples ftpupg)
    [ "$count" -ge 2 ] || { echo "only $count ftpupg examples found" >&2; return 1; }
}

# Runs every ftpupg-cli example against simulated devices in the example's addresses.
check_cli_examples() {
    local build=$1 line count=0 ip
    start_devices "$build" 127.0.0.15:secret 127.0.0.16:secret || return 1
    printf 'secret\n' >"$work/run/pw.txt"
    printf '# north site\n127.0.0.15\n\n127.0.0.16\n' >"$work/run/devices.txt"
    while read -r line; do
        rm -f "$work"/slots/*.bin "$work/run/report.json"
        echo "example: $line" >&2
        (cd "$work/run" && eval "$(on_loopback "$line")") >"$work/out" ||
            { cat "$work/out" >&2; echo "example failed: $line" >&2; return 1; }
        case $line in
            *discover*)
                for ip in 127.0.0.15 127.0.0.16; do
                    grep -q "$ip" "$work/out" || { echo "$ip not listed by: $line" >&2; return 1; }
                done ;;
            *--dry-run*)
                ! ls "$work"/slots/*.bin 2>/dev/null || { echo "a dry run wrote an image" >&2; return 1; } ;;
            *upgrade*)
                # The devices the example names with --ip, or both of the list.
                local named
                named=$(on_loopback "$line" | grep -oE -- '--ip [0-9.]+' | cut -d' ' -f2 | tr '\n' ' ')
                for ip in ${named:-127.0.0.15 127.0.0.16}; do
                    cmp "$work/run/kr730-2.4.1.bin" "$work/slots/$ip.bin" ||
                        { echo "$ip did not get the image from: $line" >&2; return 1; }
                done ;;
        esac
        case $line in
            *"--json report.json"*)
                python3 -c 'import json, sys; r = json.load(open(sys.argv[1]))
assert sorted(d["ip"] for d in r["devices"] if d["result"] == "done") == ["127.0.0.15", "127.0.0.16"], r' \
                    "$work/run/report.json" || return 1 ;;
        esac
        count=$((count + 1))
    done < <(man_examples ftpupg-cli)
    [ "$count" -ge 4 ] || { echo "only $count ftpupg-cli examples found" >&2; return 1; }
}

# Plays docs/ansible with the package: the role installs it, a second play leaves every
# device alone, a site whose devices refuse the password fails naming each of them.
check_ansible() {
    local build=$1 deb=$2
    bash "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tests/ansible/role_test.sh" \
        /usr/bin/ftpupg-cli "$build/sim/ftpupg-simdev" --deb "$deb"
}
