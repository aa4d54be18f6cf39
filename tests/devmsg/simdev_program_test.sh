#!/bin/sh
# ftpupg-simdev as a program: help, option errors, answering, clean stop, and uploads to a
# fleet whose link loses datagrams and whose devices pause. Runs inside a private network
# namespace (the caller wraps it with netns-run).
set -u
simdev=$1
probe=$2
tftpput=$3
work=$(mktemp -d)
fleet=""
trap '[ -n "$fleet" ] && kill "$fleet" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$work"/*.log 2>/dev/null; exit 1; }

"$simdev" --help | grep -q -- '--protocols' || fail "--help"
"$simdev" --bogus 2>/dev/null; [ $? -eq 2 ] || fail "unknown option must exit 2"
"$simdev" --mac 00:11 2>/dev/null; [ $? -eq 2 ] || fail "bad MAC must exit 2"
"$simdev" --tftp-lose-received 1.5 2>"$work/err.txt"; [ $? -eq 2 ] || fail "bad share must exit 2"
grep -q -- "--tftp-lose-received" "$work/err.txt" || fail "bad share: option not named: $(cat "$work/err.txt")"
"$simdev" --ack-delay-ms 50-5 2>"$work/err.txt"; [ $? -eq 2 ] || fail "reversed service time range must exit 2"
grep -q -- "--ack-delay-ms" "$work/err.txt" || fail "bad range: option not named: $(cat "$work/err.txt")"

"$simdev" --bind 127.0.0.2 --password pw --protocols 17,20 --name "Lab unit" 2>"$work/a.log" &
a=$!
"$simdev" --bind 127.0.0.3 --ip-text 127.0.0.2 --mac 00:1b:7a:00:00:03 --password other 2>"$work/b.log" &
b=$!
# Both have bound their sockets once they say so; a slow machine only waits longer.
ready=""
for _ in $(seq 400); do
  grep -q listening "$work/a.log" && grep -q listening "$work/b.log" && { ready=1; break; }
  sleep 0.05
done
[ -n "$ready" ] || fail "devices not listening"

export NDXL_BROADCAST=127.255.255.255
# a answers discovery twice (17, 20) and both password checks; b once each: 6 notifications.
"$probe" 127.0.0.2 pw 20000 6 >"$work/probe.out" 2>"$work/probe.log" || fail "probe"
grep -q "DeviceFound=1 PasswordAccepted=1 notifications=6" "$work/probe.out" ||
  fail "accepted attempt: $(cat "$work/probe.out")"
# Device b reports the same IP text: it was asked too, and refused (one box).
[ "$(grep -c 'message: Invalid Password !' "$work/probe.out")" -eq 1 ] || fail "one refusal expected"
grep -q 'name="Lab unit"' "$work/probe.log" || fail "name in the APDP line"

kill -TERM "$a" "$b"
wait "$a" || fail "device a exit status"
wait "$b" || fail "device b exit status"
grep -q "request prot=17 op=0 vendor=\"Dorvik\"" "$work/a.log" || fail "a logged the discovery"
grep -q "password request 65: accepted" "$work/a.log" || fail "a accepted 65"
grep -q "password request 68: accepted" "$work/a.log" || fail "a accepted 68"
grep -q "wrong password, refused" "$work/b.log" || fail "b refused"

# Two devices on a link that loses 5 % of what they receive and 10 % of their ACKs, each
# pausing 50 ms every 16 blocks and working 1 to 3 ms before every ACK: both images arrive
# whole, and each device drew its losses from a seed of its own.
mkdir "$work/slots"
"$simdev" --bind 127.0.0.5 --count 2 --tftp-slot-dir "$work/slots" --tftp-lose-received 0.05 \
  --tftp-lose-acks 0.1 --tftp-pause-ms 50 --tftp-pause-every 16 --ack-delay-ms 1-3 --tftp-seed 7 \
  2>"$work/fleet.log" &
fleet=$!
ready=""
for _ in $(seq 400); do
  grep -q "listening on 127.0.0.6:69" "$work/fleet.log" && { ready=1; break; }
  sleep 0.05
done
[ -n "$ready" ] || fail "fleet not listening"
head -c $((256 * 1024 + 7)) /dev/urandom >"$work/image"
for ip in 127.0.0.5 127.0.0.6; do
  "$tftpput" -q "$ip" "$work/image" / 2>"$work/put.err" || fail "upload to $ip: $(cat "$work/put.err")"
  cmp -s "$work/image" "$work/slots/$ip.bin" || fail "image on $ip differs"
done
kill -TERM "$fleet"
wait "$fleet" || fail "fleet exit status"
fleet=""
# 257 blocks: a pause after every 16th but the last.
for seed in 7 8; do
  grep -Eq "lost on purpose [1-9][0-9]* received and [0-9]+ ACKs \(seed $seed\), 16 pauses of 50 ms" "$work/fleet.log" ||
    fail "no device logged its losses with seed $seed"
done
# About 40 ACKs each: that neither lost one is a chance below 1e-4.
grep -Eq "received and [1-9][0-9]* ACKs" "$work/fleet.log" || fail "no ACK lost"
echo "simdev program: 2 passed, 0 failed"
