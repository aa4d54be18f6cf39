#!/bin/bash
# tftpput's command line: exit codes, messages, the default remote name, progress lines and
# the JSON report. Runs inside a private network namespace (loopback only).
# usage: tftpput_cli_test.sh TFTPPUT SIMTFTPD
set -u
tftpput=$1 simtftpd=$2
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

expect() { # expect NAME WANTED_EXIT ACTUAL_EXIT [STDERR_PATTERN STDERR_FILE]
    if [ "$3" != "$2" ]; then
        fail "$1: exit $3, wanted $2"; return
    fi
    if [ $# -ge 5 ] && ! grep -q -- "$4" "$5"; then
        fail "$1: stderr lacks '$4':"; cat "$5"; return
    fi
    echo "ok   $1"
}

# Readiness: the port is bound, not a fixed sleep.
wait_udp_port() {
    for _ in $(seq 200); do
        ss -Hlun "sport = :$1" | grep -q . && return 0
        sleep 0.05
    done
    echo "nothing listens on port $1"; exit 1
}

json_field() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$1" "$2"; }

out=$("$tftpput" --version); rc=$?
[ "$out" = "tftpput 1.0.0.4 (Morvane)" ] || fail "version text: $out"
expect version 0 $rc
"$tftpput" --help >"$work/help" 2>&1; expect help 0 $? "Usage: tftpput" "$work/help"
grep -q -- "--blksize" "$work/help" || fail "help lacks --blksize"
grep -q "Exit status" "$work/help" || fail "help lacks the exit codes"
"$tftpput" 2>"$work/e"; expect no-arguments 2 $? "HOST and FILE" "$work/e"
"$tftpput" 127.0.0.1 2>"$work/e"; expect one-argument 2 $? "usage:" "$work/e"
"$tftpput" -p 0 127.0.0.1 f 2>"$work/e"; expect bad-port 2 $? "^tftpput: --port: PORT must be 1 to 65535, not '0'$" "$work/e"
"$tftpput" --port=70000 127.0.0.1 f 2>"$work/e"; expect bad-port-long 2 $? "PORT" "$work/e"
"$tftpput" -b 70000 127.0.0.1 f 2>"$work/e"; expect bad-blksize 2 $? "BLKSIZE" "$work/e"
"$tftpput" -b '$10000' 127.0.0.1 f 2>"$work/e"; expect bad-blksize-hex 2 $? "^tftpput: --blksize: BLKSIZE must be 8 to 65464, not '\$10000'$" "$work/e"
"$tftpput" -t x 127.0.0.1 f 2>"$work/e"; expect bad-timeout 2 $? "TIMEOUT_MS" "$work/e"
"$tftpput" -m binary 127.0.0.1 f 2>"$work/e"; expect bad-mode 2 $? "MODE must be octet or netascii" "$work/e"
"$tftpput" -z 127.0.0.1 f 2>"$work/e"; expect unknown-option 2 $? "not expected: -z" "$work/e"
"$tftpput" 127.0.0.1 a b c 2>"$work/e"; expect extra-operand 2 $? "not expected: c" "$work/e"
"$tftpput" -p 2>"$work/e"; expect missing-value 2 $? "port" "$work/e"
"$tftpput" 127.0.0.1 f "" 2>"$work/e"; expect empty-remote 2 $? "REMOTE name is empty" "$work/e"
"$tftpput" -w 0 127.0.0.1 f 2>"$work/e"; expect bad-window 2 $? "^tftpput: --windowsize: must be 1 to 65535, not '0'$" "$work/e"
"$tftpput" --windowsize 65536 127.0.0.1 f 2>"$work/e"; expect bad-window-long 2 $? "windowsize" "$work/e"
"$tftpput" -r 0 127.0.0.1 f 2>"$work/e"; expect bad-retries 2 $? "^tftpput: --retries: must be 1 to 100, not '0'$" "$work/e"
grep -q -- "--windowsize" "$work/help" && grep -q -- "--classic" "$work/help" || fail "help lacks the new options"

head -c 5000 /dev/urandom >"$work/fw.bin"
"$tftpput" 127.0.0.1 "$work/missing.bin" 2>"$work/e"; expect missing-file 1 $? "^tftpput: Cannot open file $work/missing.bin$" "$work/e"
# Nobody listens: no answer, a TFTP time-out.
"$tftpput" -p 6999 -t 200 --json 127.0.0.1 "$work/fw.bin" 2>"$work/e" >"$work/j"; expect no-server 3 $? "^tftpput: Timeout$" "$work/e"
[ "$(wc -l <"$work/e")" = 1 ] || fail "no-server: extra output: $(cat "$work/e")"
[ "$(json_field "$work/j" result)" = timeout ] || fail "no-server: JSON result: $(cat "$work/j")"
[ "$(json_field "$work/j" retransmissions)" = 4 ] || fail "no-server: 5 tries are 4 retransmissions: $(cat "$work/j")"
[ "$(json_field "$work/j" acknowledged)" = False ] || fail "no-server: JSON acknowledged: $(cat "$work/j")"
[ "$(json_field "$work/j" timeouts)" = 5 ] || fail "no-server: 5 whole waits are 5 time-outs: $(cat "$work/j")"
# A pipe or a device is refused before anything is sent, and opening it does not wait for a writer.
mkfifo "$work/pipe"
timeout 20 "$tftpput" -p 6999 127.0.0.1 "$work/pipe" 2>"$work/e"; expect fifo 1 $? "is not a regular file" "$work/e"
timeout 20 "$tftpput" -p 6999 --classic 127.0.0.1 /dev/zero 2>"$work/e"; expect device 1 $? "is not a regular file" "$work/e"

# Local failures stay local failures (exit 1 with their reason), never a device's time-out: a
# file cut short while it goes out, and a JSON result that cannot be written.
mkdir "$work/local"
"$simtftpd" -a 127.0.0.1 -p 0 --port-file "$work/local.port" -d "$work/local" 2>"$work/local.log" &
local_pid=$!; pids+=($local_pid)
for _ in $(seq 200); do [ -s "$work/local.port" ] && break; sleep 0.05; done
head -c $((64 * 1024 * 1024)) /dev/zero >"$work/cut.bin"
"$tftpput" -q -w 1 -p "$(cat "$work/local.port")" 127.0.0.1 "$work/cut.bin" cut 2>"$work/e" &
cut_pid=$!
for _ in $(seq 400); do grep -q WRQ "$work/local.log" && break; sleep 0.02; done
truncate -s 1000 "$work/cut.bin"
wait "$cut_pid"; expect file-cut-short 1 $? "^tftpput: The file became shorter while it was being sent$" "$work/e"
"$tftpput" -q --json -p "$(cat "$work/local.port")" 127.0.0.1 "$work/fw.bin" full >/dev/full 2>"$work/e"
expect json-unwritable 1 $? "cannot write the JSON result" "$work/e"
# --trace: every datagram, both ways, in a pcapng file tshark reads as IPv4/UDP (TFTP); a
# second upload appends a section.
"$tftpput" -q --classic --trace "$work/t.pcapng" 127.0.0.1 "$work/fw.bin" 2>"$work/e"; expect trace-classic 2 $? "not apply" "$work/e"
"$tftpput" -q --trace "$work/no/t.pcapng" 127.0.0.1 "$work/fw.bin" 2>"$work/e"; expect trace-unwritable 1 $? "cannot write the trace" "$work/e"
if command -v tshark >/dev/null; then
    for _ in 1 2; do
        "$tftpput" -q -w 2 --trace "$work/t.pcapng" -p "$(cat "$work/local.port")" 127.0.0.1 "$work/fw.bin" traced 2>"$work/e"
        expect trace 0 $?
    done
    tshark -n -r "$work/t.pcapng" -T fields -e ip.src -e udp.srcport -e ip.dst -e tftp.opcode -e tftp.block \
        2>/dev/null >"$work/t.fields"
    # Per upload: WRQ, OACK, 5 blocks and their ACKs (windows of 2: 3 ACKs).
    [ "$(grep -c $'\t2\t' "$work/t.fields")" = 2 ] && [ "$(grep -c $'\t3\t' "$work/t.fields")" = 10 ] &&
        [ "$(grep -c $'\t4\t' "$work/t.fields")" = 6 ] && [ "$(wc -l <"$work/t.fields")" = 20 ] ||
        fail "trace: frames: $(cat "$work/t.fields")"
    [ "$(grep -vc "^127.0.0.1" "$work/t.fields")" = 0 ] || fail "trace: addresses: $(cat "$work/t.fields")"
    [ "$(tshark -n -r "$work/t.pcapng" -Y "_ws.malformed || _ws.expert.severity >= error" 2>/dev/null | wc -l)" = 0 ] ||
        fail "trace: malformed frames"
    # Sent: the request and the blocks; received: the OACK and the ACKs.
    [ "$(tshark -n -r "$work/t.pcapng" -Y "frame.p2p_dir == 0 && tftp.opcode in {2, 3}" 2>/dev/null | wc -l)" = 12 ] &&
        [ "$(tshark -n -r "$work/t.pcapng" -Y "frame.p2p_dir == 1 && tftp.opcode in {4, 6}" 2>/dev/null | wc -l)" = 8 ] ||
        fail "trace: directions"
else
    echo "skip trace: no tshark"
fi
kill "$local_pid"; wait "$local_pid" 2>/dev/null

# The server's error code comes with its text, and an empty text is named as such. A server's
# ERROR 0 "Timeout" is the server's refusal, not a time-out of ours.
mkdir "$work/sim"
for row in "3:Flash full" "3:" $'3:Flash\n\033[2Jfull' $'2:Busy\x9b2J' "0:Timeout"; do
    code=${row%%:*} text=${row#*:}
    rm -f "$work/sim.port"
    "$simtftpd" -a 127.0.0.1 -p 0 --port-file "$work/sim.port" -d "$work/sim" -o "$work/sim/slot.bin" \
        --error-after 1 --error-code "$code" --error-text "$text" 2>/dev/null &
    sim_pid=$!; pids+=($sim_pid)
    for _ in $(seq 200); do [ -s "$work/sim.port" ] && break; sleep 0.05; done
    "$tftpput" -q --json -p "$(cat "$work/sim.port")" 127.0.0.1 "$work/fw.bin" / 2>"$work/e" >"$work/j"
    rc=$?
    case "$text" in
    "Flash full") expect "server-error-text" 3 $rc "^tftpput: TFTP error 3: Flash full$" "$work/e" ;;
    Timeout) expect "server-error-timeout-text" 3 $rc "^tftpput: TFTP error 0: Timeout$" "$work/e" ;;
    "") expect "server-error-empty" 3 $rc "^tftpput: TFTP error 3: (the server gave no text)$" "$work/e" ;;
    Busy*) expect "server-error-8-bit-escape" 3 $rc '^tftpput: TFTP error 2: Busy\\x9b2J$' "$work/e" ;;
    *)
        # Control characters from the server are shown, not obeyed: one line, no escape.
        expect "server-error-escaped" 3 $rc '^tftpput: TFTP error 3: Flash\\x0a\\x1b\[2Jfull$' "$work/e"
        [ "$(wc -l <"$work/e")" = 1 ] || fail "server-error-escaped: more than one line" ;;
    esac
    [ "$(json_field "$work/j" server_code)" = "$code" ] || fail "server error: JSON code: $(cat "$work/j")"
    [ "$(json_field "$work/j" result)" = tftp-error ] || fail "server error $row: JSON result: $(cat "$work/j")"
    kill "$sim_pid"; wait "$sim_pid" 2>/dev/null
done

if [ -x /usr/sbin/in.tftpd ]; then
    mkdir -p "$work/srv"; chmod 777 "$work/srv"
    /usr/sbin/in.tftpd -4 -L -c -s -p -u "$(id -un)" "$work/srv" 2>"$work/server.log" &
    pids+=($!)
    wait_udp_port 69
    # Without a terminal: plain progress lines, the last one at 100 %.
    "$tftpput" 127.0.0.1 "$work/fw.bin" 2>"$work/e"; expect upload 0 $? "^tftpput: 100%  5000 of 5000 bytes$" "$work/e"
    cmp -s "$work/fw.bin" "$work/srv/fw.bin" || fail "upload: content differs"
    # A loaded machine may draw a probe: the counts are not fixed. in.tftpd grants 1024 of
    # the 1024 asked; the block size reported is the granted one.
    grep -Eq "^tftpput: done, 5000 bytes in .*, window 1, blksize 1024, [0-9]+ retransmissions?, [0-9]+ time-outs?, round trip [0-9.]+ ms, last block acknowledged$" "$work/e" ||
        fail "upload: result line: $(cat "$work/e")"
    # The window's own client, for comparison: the same file, the same result.
    rm -f "$work/srv/fw.bin"
    "$tftpput" --classic -q --json 127.0.0.1 "$work/fw.bin" >"$work/j" 2>"$work/e"; expect upload-classic 0 $?
    cmp -s "$work/fw.bin" "$work/srv/fw.bin" || fail "upload-classic: content differs"
    [ "$(json_field "$work/j" policy)" = classic ] && [ "$(json_field "$work/j" acknowledged)" = True ] ||
        fail "upload-classic: JSON: $(cat "$work/j")"
    [ "$(grep -c '%' "$work/e")" -le 11 ] || fail "upload: too many progress lines"
    # netascii only names the transfer: text without carriage returns arrives unchanged.
    seq 1 2000 >"$work/notes.txt"
    "$tftpput" -q -b512 -p 69 -m netascii --json localhost "$work/notes.txt" other.txt 2>"$work/e" >"$work/j"
    expect upload-named 0 $?
    [ ! -s "$work/e" ] || fail "upload-named: -q but stderr: $(cat "$work/e")"
    cmp -s "$work/notes.txt" "$work/srv/other.txt" || fail "upload-named: content differs"
    [ "$(json_field "$work/j" result)" = done ] || fail "upload-named: JSON result: $(cat "$work/j")"
    [ "$(json_field "$work/j" sent)" = "$(stat -c %s "$work/notes.txt")" ] || fail "upload-named: JSON sent"
    [ "$(json_field "$work/j" blksize)" = 512 ] && [ "$(json_field "$work/j" blksize_asked)" = 512 ] ||
        fail "upload-named: JSON block sizes: $(cat "$work/j")"
    "$tftpput" -q -t 500 127.0.0.1 "$work/fw.bin" / 2>"$work/e"; expect server-error 3 $? "^tftpput: TFTP error 0: Is a directory$" "$work/e"
else
    echo "skip uploads: no in.tftpd"
fi

[ $failures = 0 ] || { echo "$failures failure(s)"; exit 1; }
