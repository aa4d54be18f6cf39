#!/bin/bash
# tftpput's command line: exit codes, messages, the default remote name. Runs inside a
# private network namespace (loopback only).
set -u
tftpput=$1
work=$(mktemp -d)
server_pid=""
cleanup() {
    [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0

expect() { # expect NAME WANTED_EXIT ACTUAL_EXIT [STDERR_PATTERN STDERR_FILE]
    if [ "$3" != "$2" ]; then
        echo "FAIL $1: exit $3, wanted $2"; failures=$((failures + 1)); return
    fi
    if [ $# -ge 5 ] && ! grep -q -- "$4" "$5"; then
        echo "FAIL $1: stderr lacks '$4':"; cat "$5"; failures=$((failures + 1)); return
    fi
    echo "ok   $1"
}

out=$("$tftpput" --version); rc=$?
[ "$out" = $'tftpput 1.0.0.4\nMorvane' ] || { echo "FAIL version text: $out"; failures=$((failures + 1)); }
expect version 0 $rc
"$tftpput" --help >"$work/help" 2>&1; expect help 0 $? "usage: tftpput" "$work/help"
"$tftpput" 2>"$work/e"; expect no-arguments 2 $? "HOST and FILE" "$work/e"
"$tftpput" 127.0.0.1 2>"$work/e"; expect one-argument 2 $? "usage:" "$work/e"
"$tftpput" -p 0 127.0.0.1 f 2>"$work/e"; expect bad-port 2 $? "PORT" "$work/e"
"$tftpput" -b 70000 127.0.0.1 f 2>"$work/e"; expect bad-blksize 2 $? "BLKSIZE" "$work/e"
"$tftpput" -t x 127.0.0.1 f 2>"$work/e"; expect bad-timeout 2 $? "TIMEOUT" "$work/e"
"$tftpput" -m binary 127.0.0.1 f 2>"$work/e"; expect bad-mode 2 $? "MODE" "$work/e"
"$tftpput" -z 127.0.0.1 f 2>"$work/e"; expect unknown-option 2 $? "unknown option" "$work/e"
"$tftpput" -p 2>"$work/e"; expect missing-value 2 $? "needs a value" "$work/e"

head -c 5000 /dev/urandom >"$work/fw.bin"
"$tftpput" 127.0.0.1 "$work/missing.bin" 2>"$work/e"; expect missing-file 1 $? "^tftpput: Cannot open file $work/missing.bin$" "$work/e"
# Nobody listens: no answer, a TFTP time-out.
"$tftpput" -p 6999 -t 200 127.0.0.1 "$work/fw.bin" 2>"$work/e"; expect no-server 3 $? "^tftpput: Timeout$" "$work/e"
[ ! -s "$work/e" ] || [ "$(wc -l <"$work/e")" = 1 ] || { echo "FAIL no-server: extra output"; failures=$((failures + 1)); }

if [ -x /usr/sbin/in.tftpd ]; then
    mkdir -p "$work/srv"; chmod 777 "$work/srv"
    /usr/sbin/in.tftpd -4 -L -c -s -p -u "$(id -un)" "$work/srv" 2>"$work/server.log" &
    server_pid=$!
    sleep 0.3
    "$tftpput" 127.0.0.1 "$work/fw.bin" 2>"$work/e"; expect upload 0 $?
    cmp -s "$work/fw.bin" "$work/srv/fw.bin" || { echo "FAIL upload: content differs"; failures=$((failures + 1)); }
    [ ! -s "$work/e" ] || { echo "FAIL upload: stderr not empty"; failures=$((failures + 1)); }
    # netascii only names the transfer: text without carriage returns arrives unchanged.
    seq 1 2000 >"$work/notes.txt"
    "$tftpput" -b512 -p 69 -m netascii localhost "$work/notes.txt" other.txt 2>"$work/e"; expect upload-named 0 $?
    cmp -s "$work/notes.txt" "$work/srv/other.txt" || { echo "FAIL upload-named: content differs"; failures=$((failures + 1)); }
    "$tftpput" -t 500 127.0.0.1 "$work/fw.bin" / 2>"$work/e"; expect server-error 3 $? "^tftpput: " "$work/e"
else
    echo "skip uploads: no in.tftpd"
fi

[ $failures = 0 ] || { echo "$failures failure(s)"; exit 1; }
