#!/bin/bash
# ftpupg-cli against simulated fleets. Runs inside a private network namespace (the caller
# wraps it with netns-run).
#   cli_program_test.sh GROUP CLI SIMDEV SCHEMA
# GROUP: discover | fleet | retry | interrupt | input | resume | rollout | report | signature | trace | doctor
set -u
group=$1 cli=$2 simdev=$3 schema=$4
work=$(mktemp -d)
sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL [$group]: $*"; for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "--- $f"; tail -40 "$f"; }; done; exit 1; }
passed=0
ok() { passed=$((passed + 1)); }

export NDXL_BROADCAST=127.255.255.255
# The neighbour entry is cleared through this stand-in; it records what it was asked.
cat >"$work/arp" <<EOF
#!/bin/sh
echo "\$*" >>"$work/arp.calls"
EOF
chmod +x "$work/arp"
export FTPUPG_ARP_COMMAND="$work/arp"
unset FTPUPG_PASSWORD

# sim NAME OPTIONS...: starts one simulated device process and waits until it listens.
sim() {
  local name=$1
  shift
  "$simdev" "$@" 2>"$work/sim-$name.log" &
  sims+=($!)
  for _ in $(seq 1 100); do
    grep -q "listening" "$work/sim-$name.log" 2>/dev/null && return 0
    kill -0 "${sims[-1]}" 2>/dev/null || fail "simulated device $name did not start: $(cat "$work/sim-$name.log")"
    sleep 0.05
  done
  fail "simulated device $name is not listening"
}

# The devices' logs should show no request at all.
nothing_sent() {
  ! grep -h "request prot" "$work"/sim-*.log >/dev/null 2>&1 || fail "$1: a request reached a device"
}

validate() {
  python3 - "$schema" "$1" <<'EOF' || fail "report $1 does not follow the schema"
import json, sys
import jsonschema
jsonschema.validate(json.load(open(sys.argv[2])), json.load(open(sys.argv[1])))
EOF
}

# field REPORT IP KEY: one device's value in a JSON report.
field() {
  python3 -c 'import json,sys; d={x["ip"]: x for x in json.load(open(sys.argv[1]))["devices"]}; v=d[sys.argv[2]]
for k in sys.argv[3].split("."): v = v[k] if v is not None else None
print(v)' "$1" "$2" "$3"
}

image() { head -c "$2" /dev/urandom >"$work/$1"; }

case "$group" in
discover)
  # 12 devices: 9 in one process, one answering with protocol 20 only, one answering with
  # both forms, and one whose answer comes twice (two responders with one identity).
  sim nine --count 9 --bind 127.0.0.10 --mac 00:1b:7a:00:01:10 --name "Rack A"
  sim v4 --bind 127.0.0.30 --mac 00:1b:7a:00:02:30 --protocols 20 --name "Gate v4"
  sim both --bind 127.0.0.31 --mac 00:1b:7a:00:02:31 --protocols 17,20 --name "Both forms"
  sim twice1 --bind 127.0.0.32 --mac 00:1b:7a:00:02:32 --name "Twice"
  sim twice2 --bind 127.0.0.33 --ip-text 127.0.0.32 --mac 00:1b:7a:00:02:32 --name "Twice"
  "$cli" discover --json >"$work/d.out" 2>"$work/d.err" || fail "discover exit $?"
  python3 - "$work/d.out" <<'EOF' || fail "discover --json list"
import json, sys
devices = json.load(open(sys.argv[1]))["devices"]
want = [("127.0.0.%d" % (10 + i), "00:1b:7a:00:01:%02x" % (0x10 + i), "Rack A", [17]) for i in range(9)]
want += [("127.0.0.30", "00:1b:7a:00:02:30", "Gate v4", [20]),
         ("127.0.0.31", "00:1b:7a:00:02:31", "Both forms", [17, 20]),
         ("127.0.0.32", "00:1b:7a:00:02:32", "Twice", [17])]
got = [(d["ip"], d["mac"], d["name"], d["protocols"]) for d in devices]
assert got == want, "\n".join(map(str, got))
EOF
  ok
  "$cli" discover --wait 1500 >"$work/t.out" 2>"$work/t.err" || fail "discover (table) exit $?"
  [ "$(wc -l <"$work/t.out")" -eq 13 ] || fail "a header and 12 rows expected"
  grep -q '^127.0.0.31 .*00:1b:7a:00:02:31 .*17,20 .*Both forms$' "$work/t.out" || fail "merged row"
  [ "$(head -2 "$work/t.out" | tail -1 | cut -d' ' -f1)" = 127.0.0.10 ] || fail "sorted by address"
  ok
  # --all takes exactly that list, in that order.
  image img.bin 2048
  "$cli" upgrade --all --dry-run --password 1234 --image "$work/img.bin" --json - >"$work/all.json" \
    2>"$work/all.err" || fail "upgrade --all --dry-run exit $?"
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); ips=[d["ip"] for d in r["devices"]]
assert r["options"]["selection"] == "all" and r["summary"]["would_upgrade"] == 12, r["summary"]
assert ips == ["127.0.0.%d" % i for i in list(range(10, 19)) + [30, 31, 32]], ips' "$work/all.json" ||
    fail "--all report"
  validate "$work/all.json"
  ok
  for pid in "${sims[@]}"; do kill -TERM "$pid"; wait "$pid"; done
  sims=()
  "$cli" discover --wait 200 >"$work/n.out" 2>"$work/n.err"
  [ $? -eq 1 ] || fail "no device must exit 1"
  grep -q "no device answered" "$work/n.err" || fail "no-device message"
  ok
  # Two devices claiming one address, and an answer whose address is no address.
  sim claim1 --bind 127.0.0.50 --mac 00:1b:7a:00:05:50
  sim claim2 --bind 127.0.0.51 --ip-text 127.0.0.50 --mac 00:1b:7a:00:05:51
  sim odd --bind 127.0.0.52 --mac 00:1b:7a:00:05:52 --ip-text $'127.0.0.53\x1b[2J'
  "$cli" discover --json >"$work/c.out" 2>"$work/c.err" || fail "discover with a conflict: exit $?"
  grep -q "address conflict: several devices answer for 127.0.0.50: 00:1b:7a:00:05:5[01], 00:1b:7a:00:05:5[01]" \
    "$work/c.err" || fail "the conflict is named"
  grep -q "answered with '127.0.0.53?\[2J' as its address, which is no IPv4 address; skipped" "$work/c.err" ||
    fail "the answer that is no address is named"
  ! grep -q $'\x1b' "$work/c.err" "$work/c.out" || fail "a device's escape sequence was echoed"
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))["devices"]; assert [x["ip"] for x in d] == ["127.0.0.50"], d' \
    "$work/c.out" || fail "only real addresses are listed"
  "$cli" upgrade --all --password 1234 --image "$work/img.bin" --json "$work/c.json" >"$work/cu.out" 2>&1
  [ $? -eq 1 ] || fail "a conflict fails the run"
  validate "$work/c.json"
  [ "$(field "$work/c.json" 127.0.0.50 result)" = address-conflict ] || fail "address-conflict result"
  ! grep -q "password request .*: accepted" "$work"/sim-claim*.log || fail "a device of a conflict was asked"
  ok
  for pid in "${sims[@]}"; do kill -TERM "$pid"; wait "$pid"; done
  sims=()
  # Two devices with one hardware address and other passwords: a password request would
  # reach both and the first answer decide. Neither is asked nor written, whichever is named.
  mkdir -p "$work/dup"
  sim dup1 --bind 127.0.0.31 --mac 00:1b:7a:00:00:77 --password pw --tftp-slot "$work/dup/31.bin"
  sim dup2 --bind 127.0.0.32 --mac 00:1b:7a:00:00:77 --password secret --tftp-slot "$work/dup/32.bin"
  "$cli" discover --json >"$work/dd.out" 2>"$work/dd.err" || fail "discover with a shared hardware address: exit $?"
  grep -q "warning: duplicate hardware address: 00:1b:7a:00:00:77 answers for 127.0.0.31 and also for 127.0.0.32" \
    "$work/dd.err" || fail "discover warns about the shared hardware address"
  python3 -c 'import json,sys; d={x["ip"]: x["same_mac"] for x in json.load(open(sys.argv[1]))["devices"]}
assert d == {"127.0.0.31": ["127.0.0.32"], "127.0.0.32": ["127.0.0.31"]}, d' "$work/dd.out" ||
    fail "discover --json lists both with the other"
  "$cli" upgrade --ip 127.0.0.32 --password pw --image "$work/img.bin" --json "$work/dup1.json" >"$work/du.out" 2>&1
  [ $? -eq 1 ] || fail "a shared hardware address fails the run"
  "$cli" upgrade --ip 127.0.0.31 --ip 127.0.0.32 --password pw --image "$work/img.bin" --json "$work/dup2.json" \
    >"$work/du2.out" 2>&1
  [ $? -eq 1 ] || fail "a shared hardware address fails the run (both named)"
  for r in dup1 dup2; do validate "$work/$r.json"; done
  [ "$(field "$work/dup1.json" 127.0.0.32 result)" = duplicate-mac ] || fail "duplicate-mac result"
  field "$work/dup1.json" 127.0.0.32 message | grep -q "answers for 127.0.0.32 and also for 127.0.0.31" ||
    fail "duplicate-mac names the other address"
  [ "$(field "$work/dup2.json" 127.0.0.31 result)/$(field "$work/dup2.json" 127.0.0.32 result)" = \
    duplicate-mac/duplicate-mac ] || fail "both addresses are duplicate-mac"
  ! grep -q "password request" "$work"/sim-dup*.log || fail "a device sharing a hardware address was asked"
  [ ! -e "$work/dup/31.bin" ] && [ ! -e "$work/dup/32.bin" ] || fail "an image reached a device sharing its address"
  for pid in "${sims[@]}"; do kill -TERM "$pid"; wait "$pid"; done
  sims=()
  # One that discovery never hears still takes the password request for its hardware
  # address: its acceptance (first, here) must not count for the device that refused.
  sim hidden --bind 127.0.0.33 --mac 00:1b:7a:00:00:78 --password pw --no-discovery-answer
  sim seen --bind 127.0.0.34 --mac 00:1b:7a:00:00:78 --password secret --tftp-slot "$work/dup/34.bin" \
    --password-delay 300
  "$cli" upgrade --ip 127.0.0.34 --password pw --image "$work/img.bin" --log "$work/hidden.log" \
    --json "$work/dup3.json" >"$work/du3.out" 2>&1
  [ $? -eq 1 ] || fail "the refusing device fails the run"
  [ "$(field "$work/dup3.json" 127.0.0.34 result)" = password-refused ] || fail "another address's acceptance counted"
  grep -q "password request 65: accepted" "$work/sim-hidden.log" || fail "the hidden device did not answer"
  grep -q "127.0.0.34: ignored a password answer from 127.0.0.33 (00:1b:7a:00:00:78)" "$work/hidden.log" ||
    fail "the ignored answer is logged"
  [ ! -e "$work/dup/34.bin" ] || fail "an image reached a device that refused the password"
  ok
  for pid in "${sims[@]}"; do kill -TERM "$pid"; wait "$pid"; done
  sims=()
  # 128 devices answer every discovery at once: none is lost.
  sim many --count 128 --bind 127.0.1.1 --mac 00:1b:7a:00:10:00
  for run in 1 2; do
    "$cli" discover --json >"$work/m.out" 2>"$work/m.err" || fail "discover of 128: exit $?"
    n=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["devices"]))' "$work/m.out")
    [ "$n" = 128 ] || fail "discover listed $n of 128 devices"
  done
  "$cli" upgrade --all --dry-run --jobs 32 --password 1234 --image "$work/img.bin" --json "$work/m.json" \
    >"$work/mu.out" 2>&1 || fail "128 devices, dry run: exit $?"
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); assert r["summary"]["would_upgrade"] == 128, r["summary"]' \
    "$work/m.json" || fail "128 devices, dry run: every one"
  ok
  ;;

fleet)
  # 20 devices: 16 take the image, 2 refuse the password, 1 never answers, 1 sends a TFTP
  # error half-way through.
  image img.bin 307200
  mkdir "$work/slots"
  sim good --count 16 --bind 127.0.0.10 --mac 00:1b:7a:00:01:10 --password Fleet-Secret-7 \
    --tftp-slot-dir "$work/slots"
  sim refuse --count 2 --bind 127.0.0.40 --mac 00:1b:7a:00:03:40 --password other --tftp-slot-dir "$work/slots"
  sim broken --bind 127.0.0.60 --mac 00:1b:7a:00:04:60 --password Fleet-Secret-7 --tftp-slot-dir "$work/slots" \
    --tftp-error-after 150 --tftp-error-text "Flash write failed"
  # 127.0.0.50 is listed, but the device is at .51: its entry names the addresses that answered.
  sim stray --bind 127.0.0.51 --mac 00:1b:7a:00:04:51 --password Fleet-Secret-7
  { for i in $(seq 10 25); do echo "127.0.0.$i"; done
    echo "# the rest"; echo 127.0.0.40; echo 127.0.0.41; echo 127.0.0.50; echo 127.0.0.60; } >"$work/fleet.txt"
  echo Fleet-Secret-7 >"$work/pw.txt"
  "$cli" upgrade --image "$work/img.bin" --password-file "$work/pw.txt" --ips "$work/fleet.txt" --jobs 8 --wait 2000 \
    --json "$work/report.json" --log "$work/fleet.log" >"$work/f.out" 2>"$work/f.err"
  code=$?
  [ $code -eq 1 ] || fail "exit $code, 1 expected"
  ok
  for i in $(seq 10 25); do
    cmp -s "$work/img.bin" "$work/slots/127.0.0.$i.bin" || fail "127.0.0.$i did not get the image byte for byte"
  done
  [ "$(ls "$work/slots" | grep -c '\.bin$')" -eq 16 ] || fail "only the 16 good devices store an image"
  ok
  validate "$work/report.json"
  python3 - "$work/report.json" <<'EOF' || fail "report contents"
import json, sys
r = json.load(open(sys.argv[1]))
by = {d["ip"]: d for d in r["devices"]}
assert [d["ip"] for d in r["devices"]][:2] == ["127.0.0.10", "127.0.0.11"]
assert r["summary"] == {"devices": 20, "done": 16, "already_done": 0, "would_upgrade": 0, "skipped": 0,
                        "not_back": 0, "not_restarted": 0, "address_changed": 0, "unconfirmed": 0,
                        "back_unconfirmed": 0, "failed": 4}, r["summary"]
for i in range(10, 26):
    d = by["127.0.0.%d" % i]
    assert d["result"] == "done" and d["bytes"] == 307200 and d["attempts"] == 1, d
    assert d["device"]["mac"] == "00:1b:7a:00:01:%02x" % (0x10 + i - 10), d
for ip in ("127.0.0.40", "127.0.0.41"):
    assert by[ip]["result"] == "password-refused" and by[ip]["message"] == "Invalid Password !", by[ip]
assert by["127.0.0.50"]["result"] == "no-device", by["127.0.0.50"]
assert by["127.0.0.50"]["message"] == "There is no KR730 connected!; other addresses that answered: 127.0.0.51", by["127.0.0.50"]
e = by["127.0.0.60"]
assert e["result"] == "tftp-error" and e["message"] == "Flash write failed", e
assert 0 < e["bytes"] < 307200, e
assert r["image"]["size"] == 307200 and len(r["image"]["sha256"]) == 64 and r["image"]["blocks"] == 301
assert r["options"]["jobs"] == 8 and not r["interrupted"]
EOF
  ok
  # The summary says the same; the image's hash is printed before anything is sent.
  grep -q "^16 done, 1 no-device, 2 password-refused, 1 tftp-error$" "$work/f.out" || fail "count line"
  grep -q "^127.0.0.60 *tftp-error *1 .*Flash write failed$" "$work/f.out" || fail "summary row of the failed device"
  grep -q "SHA-256 $(sha256sum "$work/img.bin" | cut -d' ' -f1)" "$work/f.out" || fail "image hash"
  grep -q "^....-..-..T..:..:..\....Z 127.0.0.60: tftp-error: Flash write failed" "$work/fleet.log" || fail "log line"
  grep -qx -- "-d 127.0.0.41" "$work/arp.calls" || fail "neighbour entry cleared"
  ok
  # Nothing of the password anywhere: output, log, report, requests logged by devices.
  ! grep -q "Fleet-Secret" "$work/f.out" "$work/f.err" "$work/report.json" "$work/fleet.log" ||
    fail "the password appears in the output"
  ok
  # On a terminal: live lines redrawn in place, then the same summary.
  if command -v script >/dev/null; then
    TERM=xterm FTPUPG_PASSWORD=Fleet-Secret-7 script -qec "$cli upgrade --image $work/img.bin --ip 127.0.0.10 --ip 127.0.0.11" \
      /dev/null >"$work/tty.out" 2>&1 || fail "upgrade on a terminal"
    grep -q $'\x1b\\[J' "$work/tty.out" || fail "no live lines on a terminal"
    grep -q "^2 done" "$work/tty.out" || fail "terminal summary"
    grep -q "overall: .* remaining" "$work/tty.out" || fail "no overall line on a terminal"
    ok
  fi
  ;;

retry)
  image img.bin 102400
  mkdir "$work/slots"
  # The first five write requests go unanswered: the client's five tries time out, the
  # device-level retry succeeds.
  sim flaky --bind 127.0.0.10 --password pw --tftp-slot-dir "$work/slots" --tftp-ignore-first 5
  # Stores the image but never acknowledges the last block.
  sim nofinal --bind 127.0.0.11 --mac 00:1b:7a:00:00:11 --password pw --tftp-slot-dir "$work/slots" \
    --tftp-no-final-ack
  # Restarts after the write: silent for a while, then answering discovery again.
  sim restart --bind 127.0.0.12 --mac 00:1b:7a:00:00:12 --password pw --tftp-slot-dir "$work/slots" \
    --restart-ms 1500
  sim gone --bind 127.0.0.13 --mac 00:1b:7a:00:00:13 --password pw --tftp-slot-dir "$work/slots" \
    --restart-ms 600000
  export FTPUPG_PASSWORD=pw
  "$cli" upgrade --image "$work/img.bin" --ip 127.0.0.10 --timeout 200 --retries 1 --json "$work/r1.json" \
    >"$work/r1.out" 2>&1 || fail "retried device: exit $?"
  [ "$(field "$work/r1.json" 127.0.0.10 attempts)" = 2 ] || fail "two attempts expected"
  cmp -s "$work/img.bin" "$work/slots/127.0.0.10.bin" || fail "retried image"
  ok
  # Without --retries the same fault fails the device.
  sim flaky2 --bind 127.0.0.14 --mac 00:1b:7a:00:00:14 --password pw --tftp-slot-dir "$work/slots" \
    --tftp-ignore-first 6
  "$cli" upgrade --image "$work/img.bin" --ip 127.0.0.14 --timeout 200 --json "$work/r0.json" >"$work/r0.out" 2>&1
  [ $? -eq 1 ] || fail "without --retries a time-out fails"
  [ "$(field "$work/r0.json" 127.0.0.14 result)" = timeout ] || fail "timeout result"
  [ "$(field "$work/r0.json" 127.0.0.14 retransmissions)" = 4 ] || fail "five tries are four retransmissions"
  ok
  # One lost write request is the TFTP client's to send again: one attempt, one retransmission,
  # and the window the device granted.
  "$cli" upgrade --image "$work/img.bin" --ip 127.0.0.14 --timeout 200 --windowsize 4 --json "$work/r2.json" \
    >"$work/r2.out" 2>&1 || fail "a lost request sent again: exit $?"
  [ "$(field "$work/r2.json" 127.0.0.14 attempts)" = 1 ] || fail "a lost request sent again: one attempt"
  # At least the request; a slow device may also draw a probe of the last block.
  [ "$(field "$work/r2.json" 127.0.0.14 retransmissions)" -ge 1 ] || fail "a lost request sent again: retransmissions"
  [ "$(field "$work/r2.json" 127.0.0.14 windowsize)" = 4 ] || fail "the granted window"
  cmp -s "$work/img.bin" "$work/slots/127.0.0.14.bin" || fail "a lost request sent again: image"
  ok
  # A last block never acknowledged is no success, and never written again: the device may
  # have restarted with it and be writing flash.
  "$cli" upgrade --image "$work/img.bin" --ip 127.0.0.11 --timeout 1000 --retries 1 --json "$work/nf.json" \
    >"$work/nf.out" 2>&1
  [ $? -eq 1 ] || fail "unacknowledged last block must fail"
  [ "$(field "$work/nf.json" 127.0.0.11 result)" = unconfirmed ] || fail "unacknowledged last block: unconfirmed"
  [ "$(field "$work/nf.json" 127.0.0.11 attempts)" = 1 ] || fail "unacknowledged last block is not written again"
  ok
  # A device's error text is 8-bit: it reaches the report as UTF-8, control characters masked.
  sim latin --bind 127.0.0.15 --mac 00:1b:7a:00:00:15 --password pw --tftp-slot-dir "$work/slots" \
    --tftp-error-after 1 --tftp-error-text $'Fehler \xe4\x1b[2J'
  "$cli" upgrade --image "$work/img.bin" --ip 127.0.0.15 --json "$work/la.json" >"$work/la.out" 2>&1
  [ "$(field "$work/la.json" 127.0.0.15 result)" = tftp-error ] || fail "8-bit error text: tftp-error"
  [ "$(field "$work/la.json" 127.0.0.15 message)" = $'Fehler \xc3\xa4?[2J' ] || fail "8-bit error text"
  ! grep -q $'\x1b' "$work/la.out" || fail "a device's text reached the terminal unmasked"
  ok
  # A refused password is never tried again.
  "$cli" upgrade --image "$work/img.bin" --ip 127.0.0.10 --password wrong --retries 3 --json "$work/pr.json" \
    >"$work/pr.out" 2>&1
  [ "$(field "$work/pr.json" 127.0.0.10 attempts)" = 1 ] || fail "refused password retried"
  ok
  "$cli" upgrade --image "$work/img.bin" --ip 127.0.0.12 --ip 127.0.0.13 --wait-back 4 --json "$work/wb.json" \
    >"$work/wb.out" 2>&1
  [ $? -eq 1 ] || fail "a device that did not come back makes the exit status 1"
  [ "$(field "$work/wb.json" 127.0.0.13 result)" = done ] || fail "the image did go in"
  [ "$(field "$work/wb.json" 127.0.0.12 wait_back.came_back)" = True ] || fail "device came back"
  python3 -c 'import sys; s=float(sys.argv[1]); assert 1.0 <= s < 4.0, s' \
    "$(field "$work/wb.json" 127.0.0.12 wait_back.seconds)" || fail "time to come back"
  [ "$(field "$work/wb.json" 127.0.0.13 wait_back.came_back)" = False ] || fail "device that stays away"
  grep -q "did not come back" "$work/wb.out" || fail "summary says it did not come back"
  # It counts as failed: in the count line and in the report's summary.
  grep -q "^1 done, 1 not-back$" "$work/wb.out" || fail "count line of a device that did not come back"
  python3 -c 'import json,sys; s=json.load(open(sys.argv[1]))["summary"]
assert (s["done"], s["not_back"], s["failed"]) == (1, 1, 1), s' "$work/wb.json" || fail "summary of a device that did not come back"
  grep -q "127.0.0.1[23]: image written; waiting up to 4 s for it to come back" "$work/wb.out" ||
    fail "the wait for the restart is shown"
  validate "$work/wb.json"
  ok
  # "Back" means restarted. A device that never restarts fails; one that restarts straight
  # after its last block, before the ACK, falls silent and comes back: back-unconfirmed.
  # Neither is written a second time.
  sim stays --bind 127.0.0.16 --mac 00:1b:7a:00:00:16 --password pw --tftp-slot-dir "$work/slots"
  sim quick --bind 127.0.0.17 --mac 00:1b:7a:00:00:17 --password pw --tftp-slot-dir "$work/slots" \
    --tftp-no-final-ack --restart-delay-ms 2500 --restart-ms 1000
  "$cli" upgrade --image "$work/img.bin" --ip 127.0.0.16 --ip 127.0.0.17 --timeout 200 --retries 2 --wait-back 6 \
    --json "$work/rs.json" >"$work/rs.out" 2>&1
  [ $? -eq 1 ] || fail "not restarted and unconfirmed: exit 1"
  validate "$work/rs.json"
  python3 - "$work/rs.json" <<'EOF' || fail "not-restarted and back-unconfirmed"
import json, sys
r = json.load(open(sys.argv[1]))
by = {d["ip"]: d for d in r["devices"]}
stays, quick = by["127.0.0.16"], by["127.0.0.17"]
assert stays["result"] == "not-restarted" and stays["wait_back"]["silent_after"] is None, stays
assert quick["result"] == "back-unconfirmed" and quick["attempts"] == 1, quick
assert quick["wait_back"]["came_back"] and quick["wait_back"]["seconds"] > quick["wait_back"]["silent_after"], quick
s = r["summary"]
assert (s["not_restarted"], s["back_unconfirmed"], s["done"], s["failed"]) == (1, 1, 0, 2), s
EOF
  grep -q "^1 not-restarted, 1 back-unconfirmed$" "$work/rs.out" || fail "count line of the restart results"
  ok
  ;;

interrupt)
  # Ctrl-C reaches the whole foreground process group. setsid gives the program a group of
  # its own, as a shell gives a job; the signal then goes to that whole group, at several
  # moments of a run against slow devices.
  image img.bin 1048576
  mkdir "$work/slots"
  sim first --bind 127.0.0.10 --mac 00:1b:7a:00:00:10 --password pw --tftp-slot-dir "$work/slots" --ack-delay-ms 3
  sim rest --count 6 --bind 127.0.0.11 --mac 00:1b:7a:00:00:11 --password pw --tftp-slot-dir "$work/slots" \
    --ack-delay-ms 3
  # ctrl_c NAME WAIT_FOR ARGS...: starts an upgrade, waits until its output matches WAIT_FOR,
  # sends SIGINT to its process group and checks the exit: 130, soon, with a report. With
  # again=PATTERN, a second SIGINT follows once the output matches PATTERN.
  ctrl_c() {
    local name=$1 pattern=$2
    shift 2
    setsid "$cli" upgrade --image "$work/img.bin" --password pw --json "$work/$name.json" "$@" >"$work/$name.out" 2>&1 &
    local pid=$!
    until_seen() {
      for _ in $(seq 1 1200); do
        grep -Eq "$1" "$work/$name.out" && return
        sleep 0.05
      done
      fail "$name: never saw '$1'"
    }
    until_seen "$pattern"
    kill -INT -- "-$pid"
    if [ -n "${again:-}" ]; then
      until_seen "$again"
      kill -INT -- "-$pid"
    fi
    local before=$(date +%s%N)
    wait $pid
    local code=$? after=$(date +%s%N)
    [ $code -eq 130 ] || fail "$name: exit $code, 130 expected"
    # Well within a second on a quiet machine; the bound only catches waiting out a time-out.
    [ $(((after - before) / 1000000)) -lt 5000 ] || fail "$name: took $(((after - before) / 1000000)) ms to stop"
    validate "$work/$name.json"
    python3 - "$work/$name.json" "$work/slots" "$work/img.bin" <<'EOF2' || fail "$name: interrupted report"
import json, os, sys
r = json.load(open(sys.argv[1]))
image = open(sys.argv[3], "rb").read()
assert r["interrupted"]
for d in r["devices"]:
    slot = os.path.join(sys.argv[2], d["ip"] + ".bin")
    if d["result"] == "done":
        assert open(slot, "rb").read() == image, d
    elif d["result"] == "partial-write":
        assert 0 < d["bytes"] < len(image) and str(d["bytes"]) in d["message"], d
    else:
        # Never "local-error: killed by signal 2": the children leave the terminal's signal to us.
        assert d["result"] == "interrupted", d
EOF2
    ok
  }
  # During discovery: a long --wait is not waited out, and no device is asked anything.
  ctrl_c discovery "SHA-256" --all --wait 20000
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))["devices"]
assert all(x["attempts"] == 0 for x in d), d' "$work/discovery.json" || fail "discovery: no device may be started"
  nothing_sent_but_discovery() {
    ! grep -h "password request .*: \(accepted\|refused\)" "$work"/sim-*.log >/dev/null 2>&1 || fail "$1: a password request reached a device"
  }
  nothing_sent_but_discovery "stopped during discovery"
  # During the first transfer, one device at a time: the transfer finishes, and the others
  # never hear from us.
  ctrl_c transfer "^127.0.0.10: +[0-9]+%" --jobs 1 --wait 3000 --ip 127.0.0.10 --ip 127.0.0.11 --ip 127.0.0.12 \
    --ip 127.0.0.13
  [ "$(field "$work/transfer.json" 127.0.0.10 result)" = done ] || fail "transfer: the running device should finish"
  grep -q "^stopping: no further device starts; 1 running transfer finishes (Ctrl-C again aborts it" \
    "$work/transfer.out" || fail "transfer: no line says the running transfer finishes"
  for ip in 127.0.0.11 127.0.0.12 127.0.0.13; do
    [ "$(field "$work/transfer.json" $ip attempts)" = 0 ] || fail "transfer: $ip was started after the signal"
    ! grep -q "simdev $ip: .*password request .*accepted" "$work/sim-rest.log" || fail "transfer: $ip was asked"
    [ ! -e "$work/slots/$ip.bin" ] || fail "transfer: $ip was written"
  done
  ok
  # Several transfers at once, between devices: finished ones stand, the rest are interrupted.
  rm -f "$work"/slots/*
  ctrl_c many "^127.0.0.1[0-6]: done" --jobs 3 --wait 3000 --ip 127.0.0.10 --ip 127.0.0.11 --ip 127.0.0.12 \
    --ip 127.0.0.13 --ip 127.0.0.14 --ip 127.0.0.15 --ip 127.0.0.16
  python3 -c 'import json,sys; r=[d["result"] for d in json.load(open(sys.argv[1]))["devices"]]
assert "done" in r and "interrupted" in r, r' "$work/many.json" || fail "many: a mix of done and interrupted"
  ok
  # A second Ctrl-C aborts the device held mid-write (slow acknowledgements), and says so;
  # the one being checked is not written at all.
  sim slow --bind 127.0.0.20 --mac 00:1b:7a:00:00:20 --password pw --tftp-slot-dir "$work/slots" --ack-delay-ms 40
  sim held --bind 127.0.0.21 --mac 00:1b:7a:00:00:21 --password pw --tftp-slot-dir "$work/slots" \
    --password-delay 20000
  again="Ctrl-C again aborts it" ctrl_c abort "^127.0.0.20: +[0-9]+%" --jobs 2 --wait 30000 --ip 127.0.0.20 \
    --ip 127.0.0.21 --ip 127.0.0.12
  [ "$(field "$work/abort.json" 127.0.0.20 result)" = partial-write ] || fail "abort: the device held mid-write"
  [ "$(field "$work/abort.json" 127.0.0.21 result)" = interrupted ] || fail "abort: the device being checked"
  [ ! -e "$work/slots/127.0.0.21.bin" ] || fail "abort: the device being checked was written"
  [ "$(field "$work/abort.json" 127.0.0.12 attempts)" = 0 ] || fail "abort: a device started after the stop"
  grep -q "^warning: 1 device was aborted mid-write and may not start until the image is written again: 127.0.0.20 [0-9]* of 1048576 bytes" \
    "$work/abort.out" || fail "abort: no warning in the summary"
  grep -q "1 device not writing ends now" "$work/abort.out" || fail "abort: the device being checked is not named"
  [ "$(grep -c "^127.0.0.21: interrupted" "$work/abort.out")" = 1 ] || fail "abort: one outcome per device"
  ok
  ;;

input)
  sim watch --bind 127.0.0.10 --password pw
  image img.bin 4096
  : >"$work/empty.bin"
  # expect CODE TEXT ARGS...: exit code and a message naming the problem.
  expect() {
    local code=$1 text=$2
    shift 2
    "$cli" "$@" >"$work/e.out" 2>"$work/e.err"
    local got=$?
    [ $got -eq "$code" ] || fail "$*: exit $got, $code expected"
    grep -q -- "$text" "$work/e.err" || fail "$*: message should mention '$text': $(cat "$work/e.err")"
    ok
  }
  expect 3 "No such file" upgrade --image "$work/none.bin" --password pw --ip 127.0.0.10
  expect 3 "the file is empty" upgrade --image "$work/empty.bin" --password pw --ip 127.0.0.10
  expect 3 "not a regular file" upgrade --image "$work" --password pw --ip 127.0.0.10
  expect 2 "bogus" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --bogus
  # A bad setting of the device library is named once, before anything is listed or sent.
  NDXL_PORT=seventy expect 2 "NDXL_PORT" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10
  [ ! -s "$work/e.out" ] || fail "NDXL_PORT: something was listed: $(cat "$work/e.out")"
  NDXL_BROADCAST=127.0.0 expect 2 "NDXL_BROADCAST" discover
  NDXL_LOCAL_PORT=70000 expect 2 "NDXL_LOCAL_PORT" upgrade --image "$work/img.bin" --password pw --all
  nothing_sent "a bad NDXL setting"
  expect 2 "did you mean --retries instead of --retires" upgrade --image "$work/img.bin" --password pw \
    --ip 127.0.0.10 --retires 2
  expect 2 "did you mean --ips instead of --ipss" upgrade --image "$work/img.bin" --password pw --ipss "$work/l.txt"
  expect 2 "jobs" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --jobs 0
  expect 2 "ips: cannot read" upgrade --image "$work/img.bin" --password pw --ips "$work/none.txt"
  expect 2 "is a directory" upgrade --image "$work/img.bin" --password pw --ips "$work"
  printf '127.0.0.10\n127.0.0.1O\n' >"$work/bad.txt"
  expect 2 "bad.txt:2: not an IPv4 address: '127.0.0.1O'" upgrade --image "$work/img.bin" --password pw \
    --ips "$work/bad.txt"
  expect 2 "--ip: not an IPv4 address: '127.0.0.010'" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.010
  expect 2 "no password" upgrade --image "$work/img.bin" --ip 127.0.0.10
  expect 2 "the password is empty" upgrade --image "$work/img.bin" --password "" --ip 127.0.0.10
  : >"$work/empty.pw"
  expect 2 "the password is empty" upgrade --image "$work/img.bin" --password-file "$work/empty.pw" --ip 127.0.0.10
  # Inputs without end are refused, not read.
  expect 2 "first line is longer than 4096 bytes" upgrade --image "$work/img.bin" --password-file /dev/zero \
    --ip 127.0.0.10
  expect 2 "longer than 4194304 bytes" upgrade --image "$work/img.bin" --password pw --ips /dev/zero
  # A FIFO nobody writes to reads as empty at once (signals are data by then: a wait in open()
  # would outlast Ctrl-C).
  mkfifo "$work/fifo"
  expect 2 "not a report of ftpupg-cli upgrade" upgrade --resume "$work/fifo" --password pw
  expect 2 "no minisign public key" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 \
    --trusted-key "$work/fifo"
  expect 2 "no device address in it" upgrade --image "$work/img.bin" --password pw --ips "$work/fifo"
  # Outputs are checked before any device is touched, and the image is never one of them.
  cp "$work/img.bin" "$work/img.orig"
  expect 2 "names the firmware image" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 \
    --json "$work/img.bin"
  expect 2 "names the firmware image" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 \
    --log "$work/./img.bin"
  ln "$work/img.bin" "$work/img.link"
  expect 2 "names the firmware image" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 \
    --json "$work/img.link"
  cmp -s "$work/img.bin" "$work/img.orig" || fail "the image was changed"
  expect 2 "is a directory" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --json "$work"
  expect 2 "cannot create a file in $work/none" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 \
    --json "$work/none/r.json"
  expect 2 "cannot write to /dev/full" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 \
    --json /dev/full
  expect 2 "log /dev/full" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --log /dev/full
  expect 2 "the same file" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --json "$work/r.json" \
    --log "$work/r.json"
  # What the operator typed or a file held is echoed masked.
  printf '127.0.0.10\n127.0.0.1\033]0;owned\007\n' >"$work/esc.txt"
  expect 2 "esc.txt:2: .*127.0.0.1?]0;owned?" upgrade --image "$work/img.bin" --password pw --ips "$work/esc.txt"
  expect 2 "not an IPv4 address: '1?\[2J'" upgrade --image "$work/img.bin" --password pw --ip $'1\x1b[2J'
  ! grep -q $'\x1b' "$work/e.err" || fail "an escape sequence was echoed"
  [ ! -e "$work/r.json" ] && ! ls -A "$work" | grep -q '^\.r\.json' || fail "a refused run left a report behind"
  # A wrong path to the earlier report must not re-flash the fleet.
  expect 2 "skip-done: $work/none.json: No such file" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 \
    --skip-done "$work/none.json"
  echo '{"devices": []}' >"$work/other.json"
  expect 2 "other.json: not a report of ftpupg-cli upgrade" upgrade --image "$work/img.bin" --password pw \
    --ip 127.0.0.10 --skip-done "$work/other.json"
  expect 2 "exactly one of" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --all
  # Addresses that name every host or none are no device's: a write there would reach them all.
  expect 2 "--ip: not an IPv4 address: '255.255.255.255'" upgrade --image "$work/img.bin" --password pw \
    --ip 255.255.255.255
  expect 2 "--ip: not an IPv4 address: '0.0.0.0'" upgrade --image "$work/img.bin" --password pw --ip 0.0.0.0
  expect 2 "exactly one of" upgrade --image "$work/img.bin" --password pw
  expect 2 "exactly one of" upgrade --resume "$work/none.json" --password pw --ip 127.0.0.10
  # Every bad line of an address list at once, with its number, password files among them;
  # a field that may be a password typed by mistake is never quoted.
  mkdir "$work/site"
  : >"$work/site/empty.pw"
  printf 'pw\n' >"$work/site/ok.pw"
  printf '127.0.0.10 press @ok.pw\n127.0.0.1O\n127.0.0.11 press @none.pw\n127.0.0.12 press Typed-Secret\n# fine\n127.0.0.13 @empty.pw\n127.0.0.10 other\n127.0.0.14 @/dev/zero\n' \
    >"$work/site/list.txt"
  "$cli" upgrade --image "$work/img.bin" --password pw --ips "$work/site/list.txt" >"$work/e.out" 2>"$work/e.err"
  [ $? -eq 2 ] || fail "bad address list lines must exit 2"
  for want in "list.txt:2: not an IPv4 address: '127.0.0.1O'" "list.txt:3: password file $work/site/none.pw: No such file" \
    "list.txt:4: a third field" "list.txt:6: password file $work/site/empty.pw is empty" \
    "list.txt:7: 127.0.0.10 is listed on line 1 too" "list.txt:8: password file /dev/zero: the first line is longer" \
    "6 bad line(s); nothing was sent"; do
    grep -qF -- "$want" "$work/e.err" || fail "address list errors should say '$want': $(cat "$work/e.err")"
  done
  ! grep -q "Typed-Secret" "$work/e.err" "$work/e.out" || fail "a mistyped password was quoted"
  ok
  nothing_sent "bad input"
  # Without NDXL_BROADCAST only loopback is up here, which cannot broadcast: the library's
  # reason is what the operator reads, not "There is no KR730 connected!".
  env -u NDXL_BROADCAST "$cli" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --json "$work/nb.json" \
    >"$work/nb.out" 2>&1
  [ $? -eq 1 ] || fail "nothing sent: exit 1 expected"
  [ "$(field "$work/nb.json" 127.0.0.10 result)" = local-error ] || fail "nothing sent: local-error"
  field "$work/nb.json" 127.0.0.10 message | grep -q "no broadcast-capable interface is up" ||
    fail "nothing sent: the library's reason"
  ok
  # Repeated addresses: one warning line, however many.
  printf '127.0.0.10\n127.0.0.10\n127.0.0.10\n127.0.0.11\n127.0.0.11\n' >"$work/dup.txt"
  "$cli" upgrade --image "$work/img.bin" --password pw --ips "$work/dup.txt" --dry-run --wait 300 >"$work/dup.out" 2>&1
  [ "$(grep -c "listed more than once" "$work/dup.out")" = 1 ] || fail "one line for repeated addresses"
  grep -q "warning: 3 addresses are listed more than once (127.0.0.10, 127.0.0.10, 127.0.0.11)" "$work/dup.out" ||
    fail "repeated addresses named"
  ok
  "$cli" --help | grep -q "upgrade" || fail "--help"
  "$cli" upgrade --help | grep -q -- "--wait-back" || fail "upgrade --help"
  [ "$("$cli" --version | wc -l)" = 1 ] && "$cli" --version | grep -q "^ftpupg-cli [0-9]" || fail "--version: one line"
  # Without a command: the commands, not only a complaint.
  "$cli" >"$work/none.out" 2>&1
  [ $? -eq 2 ] && grep -q "discover" "$work/none.out" && grep -q "upgrade" "$work/none.out" &&
    grep -q "report" "$work/none.out" || fail "no arguments: $(cat "$work/none.out")"
  ok
  # --dry-run: the password is checked, nothing is written.
  "$cli" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --dry-run --json - >"$work/dry.json" \
    2>"$work/dry.err" || fail "dry run exit $?"
  grep -q "password request 65: accepted" "$work/sim-watch.log" || fail "dry run checks the password"
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))["devices"][0]; assert d["result"]=="would-upgrade" and d["bytes"]==0, d' \
    "$work/dry.json" || fail "dry run report"
  validate "$work/dry.json"
  ok
  # The password goes out in Windows-1252, as the window sends it; the 12-byte warning counts
  # those bytes.
  sim cp1252 --bind 127.0.0.11 --mac 00:1b:7a:00:00:11 --password $'M\xfcller-\xc4\xd6\xdc\xdf\xe9'
  "$cli" upgrade --image "$work/img.bin" --password 'Müller-ÄÖÜßé' --ip 127.0.0.11 --dry-run --json - \
    >"$work/w.json" 2>"$work/w.err" || fail "a Windows-1252 password: exit $?"
  ! grep -q "longer than 12\|bytes long" "$work/w.err" || fail "12 characters in Windows-1252 are 12 bytes"
  "$cli" upgrade --image "$work/img.bin" --password 'Müller-ÄÖÜßé!' --ip 127.0.0.11 --dry-run >"$work/w2.out" 2>&1
  grep -q "the password is 13 bytes long in Windows-1252" "$work/w2.out" || fail "13 bytes: a warning"
  "$cli" upgrade --image "$work/img.bin" --password 'Ωmega' --ip 127.0.0.11 --dry-run >"$work/w3.out" 2>&1
  grep -q "Windows-1252 cannot hold" "$work/w3.out" || fail "a character Windows-1252 lacks: a warning"
  ok
  # --json in a folder that exists: written whole, through a file renamed into place.
  "$cli" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --dry-run --json "$work/r.json" \
    --log "$work/r.log" >"$work/r.out" 2>&1 || fail "report in place: exit $?"
  validate "$work/r.json"
  [ "$(ls -A "$work" | grep -c '^\.r\.json')" -eq 0 ] || fail "the temporary report was left behind"
  grep -q "ftpupg-cli .*: upgrade with" "$work/r.log" || fail "log"
  [ "$(tail -1 "$work/r.out")" = "written: the report $work/r.json and the log $work/r.log" ] ||
    fail "the end should name the report and the log: $(tail -1 "$work/r.out")"
  ok
  ;;
resume)
  # The host dies (SIGKILL to the whole process group) at a moment after the report first
  # appears, twice over, then the run is resumed to its end: each report left is whole and
  # follows the schema, no device it gives as done lacks the image, nothing is left beside it.
  image img.bin 262144
  mkdir "$work/slots"
  sim fleet --count 8 --bind 127.0.0.10 --mac 00:1b:7a:00:00:10 --password pw --tftp-slot-dir "$work/slots" \
    --ack-delay-ms 1 --restart-delay-ms 200 --restart-ms 800
  # Killed during the discovery of --all, before the devices are known: no report yet, and
  # nothing left where it goes.
  mkdir "$work/early"
  setsid "$cli" upgrade --image "$work/img.bin" --password pw --all --wait 20000 --json "$work/early/r.json" \
    >"$work/early.out" 2>&1 &
  pid=$!
  for _ in $(seq 1 200); do grep -q SHA-256 "$work/early.out" && break; sleep 0.05; done
  kill -KILL -- "-$pid"
  wait $pid 2>/dev/null
  [ -z "$(ls -A "$work/early")" ] || fail "killed during discovery: left $(ls -A "$work/early")"
  ok
  printf 'left by a run that died' >"$work/.r.json.part"
  killed() {
    local name=$1 after=$2
    shift 2
    rm -f "$work/r.json.seen"
    setsid "$cli" upgrade "$@" >"$work/$name.out" 2>&1 &
    local pid=$! before
    before=$(stat -c %Y.%i "$work/r.json" 2>/dev/null)
    for _ in $(seq 1 400); do
      [ "$(stat -c %Y.%i "$work/r.json" 2>/dev/null)" != "$before" ] && break
      sleep 0.05
    done
    sleep "$after"
    kill -KILL -- "-$pid"
    wait $pid 2>/dev/null
    validate "$work/r.json"
    local left
    left=$(cd "$work" && ls -A | grep -v -x -E 'r\.json(\.[0-9])?|r\.log|img\.bin|img2\.bin|slots|early|arp|arp\.calls|.*\.out|sim-.*\.log')
    [ -z "$left" ] || fail "$name: files left beside the report: $left"
    python3 - "$work/r.json" "$work/slots" "$work/img.bin" <<'EOF2' || fail "$name: the report left by the kill"
import json, os, sys
r = json.load(open(sys.argv[1]))
image = open(sys.argv[3], "rb").read()
assert r["complete"] is False, r["complete"]
for d in r["devices"]:
    if d["result"] in ("done", "already-done"):
        assert open(os.path.join(sys.argv[2], d["ip"] + ".bin"), "rb").read() == image, d
    else:
        assert d["result"] == "interrupted", d
        assert d["bytes"] == 0 or str(d["bytes"]) in d["message"], d
EOF2
    ok
  }
  killed first 1.2 --image "$work/img.bin" --password pw --all --wait 500 --jobs 3 --wait-back 8 \
    --json "$work/r.json" --log "$work/r.log"
  killed second 0.7 --resume "$work/r.json" --password pw
  "$cli" report "$work/r.json" --html "$work/r.html" >/dev/null 2>&1 &&
    grep -q "The run had not ended when this report was written" "$work/r.html" ||
    fail "the page of a report left by a kill says the run had not ended"
  rm -f "$work/r.html"
  # The image changed: refused before anything is sent.
  cp "$work/img.bin" "$work/img2.bin"
  asked=$(grep -c "password request" "$work/sim-fleet.log")
  printf x | dd of="$work/img.bin" bs=1 seek=100 conv=notrunc 2>/dev/null
  "$cli" upgrade --resume "$work/r.json" --password pw >"$work/changed.out" 2>&1
  [ $? -eq 3 ] || fail "a changed image: exit 3 expected"
  grep -q "the image changed since the run of $work/r.json: .* has SHA-256 [0-9a-f]*, the run wrote [0-9a-f]*; nothing was sent" \
    "$work/changed.out" || fail "a changed image: no clear message"
  [ "$(grep -c "password request" "$work/sim-fleet.log")" = "$asked" ] || fail "a changed image: a device was asked"
  mv "$work/img2.bin" "$work/img.bin"
  ok
  "$cli" upgrade --resume "$work/r.json" --password pw >"$work/last.out" 2>&1 || fail "the last resume: exit $?"
  validate "$work/r.json"
  python3 - "$work/r.json" "$work/slots" "$work/img.bin" <<'EOF2' || fail "the resumed run"
import json, os, sys
r = json.load(open(sys.argv[1]))
image = open(sys.argv[3], "rb").read()
s = r["summary"]
assert r["complete"] and s["devices"] == 8 and s["done"] + s["already_done"] == 8, s
# The options of the first run came along.
o = r["options"]
assert (o["jobs"], o["wait_back_s"], o["wait_ms"], o["selection"]) == (3, 8, 500, "all"), o
assert o["resumed"].endswith("/r.json") and o["log"].endswith("/r.log"), o
for d in r["devices"]:
    assert open(os.path.join(sys.argv[2], d["ip"] + ".bin"), "rb").read() == image, d
EOF2
  [ ! -e "$work/.r.json.part" ] && [ -e "$work/r.json.2" ] || fail "the kept reports or a leftover part"
  ok
  # --max-rate: two transfers share 4 Mbit/s (headers counted), neither goes faster than its share.
  rm -f "$work"/slots/*
  "$cli" upgrade --image "$work/img.bin" --password pw --ip 127.0.0.10 --ip 127.0.0.11 --max-rate 4M \
    --json "$work/rate.json" >"$work/rate.out" 2>&1 || fail "--max-rate: exit $?"
  grep -q "^at most 4 Mbit/s for all transfers together" "$work/rate.out" || fail "--max-rate is not told"
  python3 - "$work/rate.json" <<'EOF2' || fail "--max-rate: a device went faster than its share"
import json, sys
r = json.load(open(sys.argv[1]))
assert r["options"]["max_rate_bits_per_s"] == 4000000, r["options"]
# The bucket's depth lets a burst go at once, which a transfer of a second shows as a few per
# cent over the share; an uncapped one would be tens of times over.
for d in r["devices"]:
    assert d["result"] == "done" and d["rate_bytes_per_s"] * 8 <= 2000000 * 1.25, d
EOF2
  ok
  ;;
rollout)
  # 8 devices that refuse an image starting with "BAD", as devices refuse firmware not made for them.
  mkdir "$work/slots"
  sim eight --count 8 --bind 127.0.0.10 --password pw --tftp-slot-dir "$work/slots" --tftp-refuse-image BAD
  { printf GOOD; head -c 60000 /dev/urandom; } >"$work/good.bin"
  { printf BAD; head -c 60000 /dev/urandom; } >"$work/bad.bin"
  for i in $(seq 10 17); do echo "127.0.0.$i"; done >"$work/eight.txt"
  export FTPUPG_PASSWORD=pw
  # checked IP: password requests one device took as its own (broadcast ones for others it ignores).
  checked() { grep "^simdev $1: request prot=6[58]" "$work/sim-eight.log" | grep -vc "not this device"; }
  # A canary of 2 with a bad image: both refuse it, and no other device is touched.
  "$cli" upgrade --image "$work/bad.bin" --ips "$work/eight.txt" --canary 2 --json "$work/bad.json" \
    >"$work/bad.out" 2>&1
  code=$?
  [ $code -eq 4 ] || fail "a failed canary: exit $code, 4 expected"
  validate "$work/bad.json"
  python3 - "$work/bad.json" <<'EOF2' || fail "canary report"
import json, sys
r = json.load(open(sys.argv[1]))
by = {d["ip"]: d for d in r["devices"]}
for ip in ("127.0.0.10", "127.0.0.11"):
    assert by[ip]["result"] == "tftp-error" and by[ip]["message"] == "Image rejected", by[ip]
for i in range(12, 18):
    d = by["127.0.0.%d" % i]
    assert d["result"] == "skipped" and d["attempts"] == 0, d
    assert d["message"].startswith("Not started: a canary failed (127.0.0.1"), d
assert r["summary"]["skipped"] == 6 and r["summary"]["failed"] == 2, r["summary"]
assert r["options"]["canary"] == 2
EOF2
  for i in $(seq 12 17); do
    [ "$(checked 127.0.0.$i)" -eq 0 ] || fail "127.0.0.$i was asked for its password after the canary failed"
    ! grep -qx -- "-d 127.0.0.$i" "$work/arp.calls" || fail "127.0.0.$i: neighbour entry cleared"
  done
  [ "$(grep -c '^\[simtftpd\] WRQ' "$work/sim-eight.log")" -eq 2 ] || fail "a write reached a device besides the canaries"
  [ -z "$(ls "$work/slots")" ] || fail "a refused image was stored"
  grep -q "^6 skipped\|, 6 skipped$" "$work/bad.out" || fail "summary count of skipped devices"
  ok
  # A good image: the canaries finish before any other device starts, then the rest goes.
  "$cli" upgrade --image "$work/good.bin" --ips "$work/eight.txt" --canary 2 --json "$work/good.json" \
    >"$work/good.out" 2>&1 || fail "canary with a good image: exit $?"
  last_canary=$(grep -n "^127.0.0.1[01]: done" "$work/good.out" | tail -1 | cut -d: -f1)
  first_other=$(grep -n "^127.0.0.1[2-7]: started" "$work/good.out" | head -1 | cut -d: -f1)
  [ -n "$last_canary" ] && [ -n "$first_other" ] && [ "$last_canary" -lt "$first_other" ] ||
    fail "a device started before the canaries were done"
  [ "$(ls "$work/slots" | wc -l)" -eq 8 ] || fail "every device has the image"
  ok
  # The same again with --skip-done: nothing is sent, every device is already-done, and the
  # earlier report is kept.
  before=$(grep -c "request prot" "$work/sim-eight.log")
  cp "$work/good.json" "$work/good.copy"
  "$cli" upgrade --image "$work/good.bin" --ips "$work/eight.txt" --canary 2 --skip-done "$work/good.json" \
    --json "$work/good.json" >"$work/again.out" 2>&1 || fail "a second run with --skip-done: exit $?"
  [ "$(grep -c "request prot" "$work/sim-eight.log")" -eq "$before" ] || fail "--skip-done sent a request"
  cmp -s "$work/good.copy" "$work/good.json.1" || fail "the earlier report was not kept as good.json.1"
  grep -q "kept as $work/good.json.1" "$work/again.out" || fail "no word of the kept report"
  validate "$work/good.json"
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))
assert [d["result"] for d in r["devices"]] == ["already-done"] * 8, r["devices"]
assert r["summary"]["already_done"] == 8 and r["options"]["skip_done"]' "$work/good.json" ||
    fail "already-done report"
  grep -q "^8 already-done$" "$work/again.out" || fail "already-done count line"
  ok
  # A third run keeps both earlier reports; a run with another image (dry) skips nothing and
  # says would-upgrade, never done.
  { printf GOOD; head -c 1000 /dev/urandom; } >"$work/next.bin"
  "$cli" upgrade --image "$work/next.bin" --ips "$work/eight.txt" --skip-done "$work/good.json" --dry-run \
    --json "$work/good.json" >"$work/dry.out" 2>&1 || fail "dry run with another image: exit $?"
  cmp -s "$work/good.copy" "$work/good.json.2" || fail "the oldest report was not kept as good.json.2"
  grep -q "about another image" "$work/dry.out" || fail "no word that the report was about another image"
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))
assert [d["result"] for d in r["devices"]] == ["would-upgrade"] * 8, r["devices"]
assert r["summary"]["would_upgrade"] == 8 and r["summary"]["done"] == 0' "$work/good.json" || fail "dry run report"
  ! grep -q ": done" "$work/dry.out" || fail "a dry run said done"
  validate "$work/good.json"
  ok
  # Labels and passwords of their own from an address list; no fleet password is needed when
  # every device has one. No password appears in output, report or log.
  sim alpha --bind 127.0.0.30 --mac 00:1b:7a:00:03:30 --password Alpha-Secret-1 --tftp-slot-dir "$work/slots"
  sim beta --bind 127.0.0.31 --mac 00:1b:7a:00:03:31 --password Beta-Secret-2 --tftp-slot-dir "$work/slots"
  mkdir -p "$work/site/pw"
  printf 'Alpha-Secret-1\n' >"$work/site/pw/alpha.pw"
  printf 'Beta-Secret-2\r\nsecond line\n' >"$work/beta.pw"
  printf 'pw\n' >"$work/site/pw/fleet.pw"
  printf '# site A\n127.0.0.30  line-3-press  @pw/alpha.pw\n127.0.0.31\t@%s\tline-3-welder   # new\n127.0.0.10 @pw/fleet.pw\n' \
    "$work/beta.pw" >"$work/site/site.txt"
  env -u FTPUPG_PASSWORD "$cli" upgrade --image "$work/next.bin" --ips "$work/site/site.txt" --json "$work/site.json" \
    --log "$work/site.log" >"$work/site.out" 2>&1 || fail "per-device passwords: exit $?"
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))
assert [(d["ip"], d["label"], d["result"]) for d in r["devices"]] == [("127.0.0.30", "line-3-press", "done"),
    ("127.0.0.31", "line-3-welder", "done"), ("127.0.0.10", None, "done")], r["devices"]' "$work/site.json" ||
    fail "labelled report"
  validate "$work/site.json"
  grep -q "^DEVICE  *LABEL  *RESULT" "$work/site.out" || fail "summary without a LABEL column"
  grep -q "^127.0.0.30  *line-3-press  *done" "$work/site.out" || fail "summary row with its label"
  grep -q "^127.0.0.31 (line-3-welder): done" "$work/site.out" || fail "event lines name the label"
  grep -q "Z 127.0.0.31 (line-3-welder): done" "$work/site.log" || fail "log lines name the label"
  ! grep -q "Secret" "$work/site.out" "$work/site.json" "$work/site.log" || fail "a password appears in the output"
  cmp -s "$work/next.bin" "$work/slots/127.0.0.31.bin" || fail "127.0.0.31 did not get the image"
  ok
  # With --wait-back a canary must also come back: one that stays away stops the rollout.
  sim away --bind 127.0.0.40 --mac 00:1b:7a:00:04:40 --password pw --tftp-slot-dir "$work/slots" --restart-ms 600000
  "$cli" upgrade --image "$work/next.bin" --ip 127.0.0.40 --ip 127.0.0.17 --canary 1 --wait-back 2 \
    --json "$work/away.json" >"$work/away.out" 2>&1
  code=$?
  [ $code -eq 4 ] || fail "a canary that did not come back: exit $code, 4 expected"
  [ "$(field "$work/away.json" 127.0.0.17 message)" = \
    "Not started: a canary failed (127.0.0.40: done, did not come back)" ] || fail "skipped after a canary stayed away"
  ok
  # --max-failures 2: two devices that never answer stop the run; the rest is skipped.
  printf '127.0.0.50\n127.0.0.51\n127.0.0.52\n127.0.0.10\n127.0.0.11\n' >"$work/mf.txt"
  "$cli" upgrade --image "$work/next.bin" --ips "$work/mf.txt" --jobs 1 --wait 500 --max-failures 2 \
    --json "$work/mf.json" >"$work/mf.out" 2>&1
  code=$?
  [ $code -eq 4 ] || fail "--max-failures: exit $code, 4 expected"
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))
got = [(d["result"], d["message"]) for d in r["devices"]]
assert [g[0] for g in got] == ["no-device"] * 2 + ["skipped"] * 3, got
assert got[2][1] == "Not started: 2 devices failed (--max-failures 2)", got' "$work/mf.json" || fail "max-failures report"
  validate "$work/mf.json"
  ok
  ;;
report)
  # The report's page as a browser shows it: every device, no script, nothing fetched, and
  # what a device sent shown as text.
  command -v chromium >/dev/null || { echo "SKIP: no chromium (scripts/setup.sh installs it)"; exit 77; }
  image img.bin 300000
  mkdir "$work/slots"
  sim press --count 2 --bind 127.0.0.10 --mac 00:1b:7a:00:00:10 --password pw --tftp-slot-dir "$work/slots" \
    --restart-ms 300 --name '<img src=x onerror=missing()>'
  sim wrong --bind 127.0.0.20 --mac 00:1b:7a:00:00:20 --password other
  printf '127.0.0.10 line-1\n127.0.0.11 <i>it</i>\n127.0.0.20 gate\n127.0.0.40 ghost\n' >"$work/list"
  "$cli" upgrade --image "$work/img.bin" --password pw --ips "$work/list" --wait 500 --wait-back 5 \
    --json "$work/r.json" >"$work/r.out" 2>&1
  [ $? -eq 1 ] || fail "the run: exit 1 expected (a refused password, a missing device)"
  validate "$work/r.json"
  python3 - "$work/r.json" <<'EOF2' || fail "stage times"
import json, sys
r = json.load(open(sys.argv[1]))
d = {x["ip"]: x for x in r["devices"]}
names = lambda ip: [s["stage"] for s in d[ip]["stages"]]
assert names("127.0.0.10") == ["check", "transfer", "wait-back"], d["127.0.0.10"]
assert names("127.0.0.20") == ["check"] and names("127.0.0.40") == ["check"], r
for x in r["devices"]:
    at = r["discovery_ms"]
    for s in x["stages"]:
        assert at <= s["start_ms"] <= s["end_ms"], x
        at = s["end_ms"]
EOF2
  # page NAME REPORT: renders REPORT's page, its DOM, its screenshot and the browser's console.
  page() {
    "$cli" report "$2" --html "$work/$1.html" || fail "$1: report --html exit $?"
    grep -Eiq '<script|<[^>]+ (src|href)=|url\(|@import' "$work/$1.html" && fail "$1: the page fetches or runs something"
    local b=(chromium --headless --no-sandbox --disable-gpu --user-data-dir="$work/chromium" --enable-logging=stderr --v=0)
    "${b[@]}" --dump-dom "file://$work/$1.html" >"$work/$1.dom" 2>"$work/$1.console" || fail "$1: chromium --dump-dom"
    "${b[@]}" --window-size=1100,900 --screenshot="$work/$1.png" "file://$work/$1.html" >/dev/null 2>>"$work/$1.console" ||
      fail "$1: chromium --screenshot"
    # Only the page's own lines count: the browser logs its internal pages (chrome://) too.
    ! grep -E "(CONSOLE|Uncaught).*source: file:" "$work/$1.console" || fail "$1: the page wrote to the console"
    python3 - "$work/$1.dom" "$work/$1.png" <<'EOF2' || fail "$1: the page as shown"
import sys
from html.parser import HTMLParser
class Page(HTMLParser):
    def __init__(self):
        super().__init__(); self.tags = []; self.text = []; self.row = None; self.rows = []
    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        if tag == "tr": self.row = []
    def handle_endtag(self, tag):
        if tag == "tr": self.rows.append(self.row); self.row = None
    def handle_data(self, data):
        self.text.append(data)
        if self.row is not None and data.strip(): self.row.append(data.strip())
p = Page(); p.feed(open(sys.argv[1]).read())
assert not {"img", "i", "script"} & set(p.tags), p.tags
assert "svg" in p.tags and "rect" in p.tags
ips = [r[0] for r in p.rows[1:]]
assert ips == ["127.0.0.10", "127.0.0.11", "127.0.0.20", "127.0.0.40"], p.rows
text = "".join(p.text)
assert "<img src=x onerror=missing()>" in text and "<i>it</i>" in text, text
png = open(sys.argv[2], "rb").read()
assert png[:8] == b"\x89PNG\r\n\x1a\n" and len(png) > 10000, len(png)
EOF2
  }
  page new "$work/r.json"
  grep -q "the fleet's shared discovery" "$work/new.dom" || fail "new: no timeline"
  # A report from before stages were timed: the same page, with durations only.
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); r.pop("discovery_ms")
for d in r["devices"]: d.pop("stages")
json.dump(r, open(sys.argv[2], "w"))' "$work/r.json" "$work/old.json"
  page old "$work/old.json"
  grep -q "holds no stage times" "$work/old.dom" || fail "old: durations only should be said"
  ok
  echo '{"tool": "other"}' >"$work/other.json"
  "$cli" report "$work/other.json" --html "$work/other.html" 2>"$work/other.err"
  [ $? -eq 1 ] && grep -q "other.json: not a report of ftpupg-cli upgrade" "$work/other.err" && [ ! -e "$work/other.html" ] ||
    fail "a file that is no report"
  ok
  # The page never takes the report's place, by its name or through a link.
  cp "$work/r.json" "$work/keep.json"
  ln -s keep.json "$work/link.html"
  for out in "$work/keep.json" "$work/link.html"; do
    "$cli" report "$work/keep.json" --html "$out" 2>"$work/self.err"
    [ $? -eq 2 ] && grep -q "names the report itself" "$work/self.err" && cmp -s "$work/r.json" "$work/keep.json" ||
      fail "--html naming the report ($out)"
  done
  ok
  ;;
signature)
  # Signed images: every refusal comes before any device hears anything, with exit 3 and a
  # message naming it; a signed image's models keep it from any other model.
  command -v minisign >/dev/null || { echo "minisign is not installed"; exit 77; }
  mkdir -p "$work/slots" "$work/keys"
  sim kr730 --bind 127.0.0.10 --mac 00:1b:7a:00:06:10 --password pw --name KR730 --tftp-slot-dir "$work/slots"
  sim kr731 --bind 127.0.0.11 --mac 00:1b:7a:00:06:11 --password pw --name KR731 --tftp-slot-dir "$work/slots"
  sim kr740 --bind 127.0.0.12 --mac 00:1b:7a:00:06:12 --password pw --name KR740 --tftp-slot-dir "$work/slots"
  (cd "$work/keys" && minisign -G -W -p k.pub -s k.sec && minisign -G -W -p o.pub -s o.sec) >/dev/null ||
    fail "minisign -G"
  image fw.bin 300000
  cp "$work/fw.bin" "$work/unsigned.bin"
  minisign -S -s "$work/keys/k.sec" -m "$work/fw.bin" -t "model=KR730 model=KR731" >/dev/null || fail "minisign -S"
  minisign -S -l -s "$work/keys/k.sec" -m "$work/fw.bin" -x "$work/legacy.minisig" >/dev/null
  minisign -S -s "$work/keys/o.sec" -m "$work/fw.bin" -x "$work/other.minisig" >/dev/null
  python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[1000] ^= 1; open(sys.argv[2], "wb").write(b)' \
    "$work/fw.bin" "$work/flipped.bin"
  cp "$work/fw.bin.minisig" "$work/flipped.bin.minisig"
  awk 'NR == 2 { c = substr($0, 41, 1); $0 = substr($0, 1, 40) (c == "A" ? "B" : "A") substr($0, 42) } { print }' \
    "$work/fw.bin.minisig" >"$work/sigflip.minisig"
  sed 's/model=KR730/model=KR740/' "$work/fw.bin.minisig" >"$work/model.minisig"
  head -c 150 "$work/fw.bin.minisig" >"$work/cut.minisig"
  key=(--trusted-key "$work/keys/k.pub")
  # NAME IMAGE SIGNATURE VERDICT MESSAGE (a pattern; '.' stands for a blank)
  while read -r name img sig verdict says; do
    sigopt=()
    [ "$sig" = - ] || sigopt=(--signature "$work/$sig")
    "$cli" upgrade --ip 127.0.0.10 --password pw --image "$work/$img" "${key[@]}" "${sigopt[@]}" \
      --json "$work/x.json" >"$work/$name.out" 2>"$work/$name.err"
    code=$?
    [ "$code" -eq 3 ] || fail "$name: exit $code, not 3"
    grep -q "refused ($verdict): .*$says.*; nothing was sent" "$work/$name.err" || fail "$name: the message"
    [ ! -e "$work/x.json" ] || fail "$name: a report of a run that never started"
  done <<'ROWS'
unsigned unsigned.bin - unsigned no.signature:.*unsigned.bin.minisig
tampered-image flipped.bin - tampered-image the.image.is.not.the.one.signed
tampered-signature fw.bin sigflip.minisig tampered-signature the.signature.file.was.changed
other-key fw.bin other.minisig other-key no.trusted.key
legacy fw.bin legacy.minisig legacy legacy.format
truncated fw.bin cut.minisig malformed cut.short
other-model fw.bin model.minisig tampered-signature the.signature.file.was.changed
ROWS
  nothing_sent "a refused image"
  [ -z "$(ls "$work/slots")" ] || fail "a refused image was written"
  ok
  # A verified image goes to the models its trusted comment names, and to no other.
  "$cli" upgrade --ip 127.0.0.10 --ip 127.0.0.11 --ip 127.0.0.12 --password pw --image "$work/fw.bin" "${key[@]}" \
    --trusted-key "$work/keys/o.pub" --json "$work/s.json" >"$work/s.out" 2>&1
  [ $? -eq 1 ] || fail "a device of another model fails the run"
  validate "$work/s.json"
  grep -q "^signature: verified, key [0-9A-F]\{1,16\}, trusted comment: model=KR730 model=KR731" "$work/s.out" ||
    fail "the verified signature is named"
  python3 - "$work/s.json" "$work/keys/k.pub" <<'PY' || fail "the report names the key, the comment, the check"
import json, sys
r = json.load(open(sys.argv[1]))
key_id = open(sys.argv[2]).readline().split()[-1]
sig = r["image"]["signature"]
assert sig == {"result": "verified", "key_id": key_id, "trusted_comment": "model=KR730 model=KR731",
               "models": ["KR730", "KR731"]}, sig
d = {x["ip"]: x for x in r["devices"]}
assert d["127.0.0.10"]["result"] == "done" and d["127.0.0.11"]["result"] == "done", d
assert d["127.0.0.12"]["result"] == "wrong-model", d["127.0.0.12"]
assert "signed for KR730, KR731; this device answers as KR740" in d["127.0.0.12"]["message"]
PY
  cmp -s "$work/fw.bin" "$work/slots/127.0.0.10.bin" && cmp -s "$work/fw.bin" "$work/slots/127.0.0.11.bin" ||
    fail "the verified image was written whole"
  [ ! -e "$work/slots/127.0.0.12.bin" ] || fail "an image reached another model"
  ! grep -q "password request 6" "$work/sim-kr740.log" || fail "a device of another model was asked"
  "$cli" report "$work/s.json" --html "$work/s.html" || fail "report --html"
  grep -q "$(head -1 "$work/keys/k.pub" | awk '{print $NF}')" "$work/s.html" &&
    grep -q "model=KR730 model=KR731" "$work/s.html" || fail "the page names the key and the trusted comment"
  ok
  # The keys from the environment; without any, the report says the image was not verified.
  rm -f "$work"/slots/*
  FTPUPG_TRUSTED_KEYS="$work/keys/o.pub:$work/keys/k.pub" "$cli" upgrade --ip 127.0.0.10 --password pw \
    --image "$work/fw.bin" >"$work/e.out" 2>&1 || fail "FTPUPG_TRUSTED_KEYS: exit $?"
  grep -q "^signature: verified" "$work/e.out" || fail "FTPUPG_TRUSTED_KEYS is used"
  FTPUPG_TRUSTED_KEYS="$work/keys/o.pub" "$cli" upgrade --ip 127.0.0.10 --password pw \
    --image "$work/fw.bin" >"$work/e2.out" 2>&1
  [ $? -eq 3 ] || fail "FTPUPG_TRUSTED_KEYS with another key: refused"
  "$cli" upgrade --ip 127.0.0.12 --password pw --image "$work/unsigned.bin" --json "$work/n.json" >"$work/n.out" 2>&1 ||
    fail "without --trusted-key nothing changes: exit $?"
  grep -q "^signature: not verified" "$work/n.out" || fail "the not-verified line"
  [ "$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["image"]["signature"]["result"])' \
    "$work/n.json")" = "not verified" ] || fail "the report says not verified"
  validate "$work/n.json"
  "$cli" upgrade --ip 127.0.0.10 --password pw --image "$work/fw.bin" --trusted-key "$work/keys/k.sec" \
    >"$work/b.out" 2>&1
  [ $? -eq 2 ] || fail "a secret key given as trusted key is a usage error"
  ok
  # --resume of a run that verified the signature takes its keys along, and refuses a
  # signature changed since (here its trusted comment), before anything is sent.
  # (127.0.0.12 is still of another model: exit 1.)
  "$cli" upgrade --resume "$work/s.json" --password pw >"$work/rs.out" 2>&1
  [ $? -eq 1 ] || fail "--resume, signed: exit 1 expected"
  grep -q "^signature: verified" "$work/rs.out" || fail "--resume takes the trusted key along"
  [ "$(field "$work/s.json" 127.0.0.10 result)" = already-done ] || fail "--resume, signed: a done device again"
  minisign -S -s "$work/keys/k.sec" -m "$work/fw.bin" -t "model=KR730" >/dev/null || fail "minisign -S again"
  asked=$(cat "$work"/sim-*.log | grep -c "password request")
  "$cli" upgrade --resume "$work/s.json" --password pw >"$work/rc.out" 2>&1
  [ $? -eq 3 ] || fail "--resume with a changed signature: exit 3 expected"
  grep -q "image's signature changed (key .*, trusted comment 'model=KR730 model=KR731', now key .*, 'model=KR730') since the run of" \
    "$work/rc.out" || fail "--resume with a changed signature: the message"
  [ "$(cat "$work"/sim-*.log | grep -c "password request")" = "$asked" ] || fail "--resume, signature changed: a device was asked"
  ok
  ;;
trace)
  # --trace: the traces open in tshark, every frame decodes as IPv4/UDP, our device messages
  # with their fields named by the dissector, the password masked; a malformed message is
  # flagged, never a Lua error.
  command -v tshark >/dev/null || { echo "tshark is missing: skipped"; exit 77; }
  lua=$(cd "$(dirname "$0")/../.." && pwd)/packaging/wireshark/ftpupg-ndxl.lua
  image img.bin 100000
  mkdir "$work/slots"
  sim two --count 2 --bind 127.0.0.10 --mac 00:1b:7a:00:01:10 --password Trace-Secret --protocols 17,20 \
    --name "Line 3" --tftp-slot-dir "$work/slots"
  sim short --bind 127.0.0.20 --mac 00:1b:7a:00:01:20 --reply-length 20 --ip-text "10.1.2.300" --junk
  touch "$work/file"
  "$cli" discover --trace "$work/file/tr" >"$work/d.out" 2>"$work/d.err"
  [ $? = 1 ] && grep -q "cannot make the folder" "$work/d.err" || fail "discover --trace into a file"
  "$cli" upgrade --image "$work/img.bin" --password x --ip 127.0.0.10 --trace "$work/file" >"$work/u.out" 2>"$work/u.err"
  [ $? = 2 ] && grep -q "cannot make the folder" "$work/u.err" && ! grep -q "request prot" "$work"/sim-*.log ||
    fail "upgrade --trace into a file: nothing is sent"
  "$cli" discover --trace "$work/tr" >"$work/d.out" 2>"$work/d.err" || fail "discover --trace exit $?"
  echo Trace-Secret >"$work/pw.txt"
  "$cli" upgrade --image "$work/img.bin" --password-file "$work/pw.txt" --ip 127.0.0.10 --ip 127.0.0.11 \
    --trace "$work/tr" --json "$work/r.json" >"$work/u.out" 2>"$work/u.err" || fail "upgrade --trace exit $?"
  [ "$(ls "$work/tr" | sort | tr '\n' ' ')" = "127.0.0.10.pcapng 127.0.0.11.pcapng discovery.pcapng " ] ||
    fail "trace files: $(ls "$work/tr")"
  ok
  ts() { tshark -n -r "$1" -X lua_script:"$lua" "${@:2}" 2>>"$work/tshark.err"; }
  for t in "$work"/tr/*.pcapng; do
    n=$(ts "$t" | wc -l)
    [ "$n" -gt 3 ] || fail "$t: $n frames"
    [ "$(ts "$t" -Y "ip && udp" | wc -l)" -eq "$n" ] || fail "$t: a frame is not IPv4/UDP"
    ts "$t" -V | grep -q "Lua Error" && fail "$t: a Lua error"
    ts "$t" -x | grep -q "Trace-Se" && fail "$t: the password is in the trace"
  done
  ok
  dev="$work/tr/127.0.0.10.pcapng" disc="$work/tr/discovery.pcapng"
  # Discovery (the run's shared one), both answer forms, the password exchange and the whole
  # TFTP write (the device's own).
  for t in "$disc" "$dev"; do
    ts "$t" -Y ndxl -T fields -e ndxl.kind -e ndxl.protocol -e ndxl.operation -e ndxl.result -e ndxl.password
  done >"$work/fields.out"
  grep -qP "^1\t17\t0\t" "$work/fields.out" || fail "no discovery request named: $(cat "$work/fields.out")"
  grep -qP "^2\t20\t1\t" "$work/fields.out" || fail "no protocol-20 answer named"
  grep -qP "^1\t68\t16\t\t2a2a2a2a2a2a2a2a2a2a2a2a" "$work/fields.out" || fail "no masked password request"
  grep -qP "^2\t68\t17\t0" "$work/fields.out" || fail "no accepted password answer"
  ts "$disc" -Y 'ndxl.ip == "127.0.0.10" && ndxl.name == "Line 3" && ndxl.mac == 00:1b:7a:00:01:10' | grep -q . ||
    fail "the answer's IP text, name and hardware address are not named"
  [ "$(ts "$dev" -Y "_ws.malformed || _ws.expert.severity >= error" | wc -l)" -eq 0 ] ||
    fail "malformed frames in $dev: $(ts "$dev" -Y "_ws.malformed || _ws.expert.severity >= error")"
  blocks=$(ts "$dev" -Y "tftp.opcode == 3" | wc -l)
  [ "$blocks" -ge 98 ] || fail "$dev: $blocks TFTP data blocks, 98 wanted (100000 bytes at 1024)"
  ok
  # The junk datagram and the short answer with a bad IP text are flagged.
  ts "$disc" -Y "ndxl.bad_header" | grep -q . || fail "the junk datagram is not flagged"
  ts "$disc" -Y "ndxl.bad_ip" | grep -q "10.1.2.300" || fail "the bad IP text is not flagged"
  python3 - "$work/bad.pcap" <<'EOF'
import struct, sys
def packet(payload):
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 28 + len(payload), 0, 0, 64, 17, 0, bytes([127, 0, 0, 1]),
                     bytes([127, 0, 0, 2]))
    return ip + struct.pack("!HHHH", 40000, 17250, 8 + len(payload), 0) + payload
frames = [b"NDXL\x01\x01\x00\x00" + b"\x00" * 10, b"NDXL\x01\x07\x00\x00", b"NDXL\x01\x02\x00\x00" + b"\xff" * 900,
          b"ND", b"NDXL\x01\x02\x00\x00" + b"1.2.3.4" + b"\x00" * 15 + b"\x14\x01"]
with open(sys.argv[1], "wb") as out:
    out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
    for f in frames:
        p = packet(f)
        out.write(struct.pack("<IIII", 0, 0, len(p), len(p)) + p)
EOF
  ts "$work/bad.pcap" -V >"$work/bad.out"
  grep -q "Lua Error" "$work/bad.out" && fail "a Lua error on a malformed message"
  [ "$(ts "$work/bad.pcap" -Y "ndxl.bad_length || ndxl.bad_kind || ndxl.bad_header" | wc -l)" -eq 4 ] ||
    fail "four malformed messages: $(ts "$work/bad.pcap")"
  ok
  ;;
doctor)
  # On loopback: a healthy device passes every check; an address nobody has fails discovery
  # and the TFTP port (port unreachable), and only those. The faults of a real LAN are
  # tests/lan's.
  sim one --bind 127.0.0.10 --mac 00:1b:7a:00:01:10 --tftp-slot "$work/slot.bin"
  "$cli" doctor --ip 127.0.0.10 >"$work/ok.out" 2>&1 || fail "doctor of a healthy device: exit $?"
  [ "$(grep -c '^ok ' "$work/ok.out")" = 7 ] && grep -q "^all checks passed" "$work/ok.out" ||
    fail "doctor of a healthy device: not every check ok"
  [ ! -e "$work/slot.bin" ] || fail "doctor wrote to the device"
  ok
  "$cli" doctor --ip 127.0.0.99 --json >"$work/none.out" 2>&1
  [ $? = 1 ] || fail "doctor of an address nobody has: exit 1 expected"
  python3 - "$work/none.out" <<'EOF' || fail "doctor of an address nobody has"
import json, sys
r = json.load(open(sys.argv[1]))
bad = {c["name"]: c["status"] for c in r["checks"] if c["status"] != "ok"}
assert bad == {"discovery": "failed", "tftp": "failed", "new-port": "skipped"}, bad
assert not r["passed"]
EOF
  ok
  "$cli" doctor --ip 127.0.0.010 >"$work/bad.out" 2>&1
  [ $? = 2 ] || fail "doctor --ip 127.0.0.010: usage error expected"
  "$cli" doctor >"$work/bad.out" 2>&1
  [ $? = 2 ] && grep -q -- "--ip is required" "$work/bad.out" || fail "doctor without --ip"
  ok
  ;;
*)
  echo "unknown group $group" >&2
  exit 2
  ;;
esac
echo "ftpupg-cli $group: $passed passed, 0 failed"
