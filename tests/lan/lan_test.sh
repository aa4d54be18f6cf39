#!/bin/bash
# The programs on a LAN in a box (scripts/lan-box): Ethernet frames, ARP, broadcast and an MTU
# of 1500 between namespaces. Runs in the host's namespace of the box:
#   lan-box run --devices N -- lan_test.sh GROUP BUILD_DIR SOURCE_DIR
# GROUP: fleet | blksize | pin | doctor
set -u
group=$1 build=$2 src=$3
cli=$build/cli/ftpupg-cli simdev=$build/sim/ftpupg-simdev tftpput=$build/tftpput/tftpput
schema=$src/docs/ftpupg-cli-report.schema.json
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL [$group]: $*"; for f in "$work"/*.out; do [ -f "$f" ] && { echo "--- $f"; tail -30 "$f"; }; done; exit 1; }
passed=0
ok() { passed=$((passed + 1)); }
# No stand-ins: the real neighbour table command, discovery to the LAN's broadcast address.
unset FTPUPG_ARP_COMMAND NDXL_BROADCAST
export FTPUPG_PASSWORD=pw
read -r -a ips <<<"$LAN_DEVICES"

# device IP [OPTIONS...]: a simulated device in its own namespace, with the hardware address
# of its interface; its firmware slot is $work/slots/IP.bin.
device() {
  local ip=$1
  shift
  "$LAN_BOX" exec "$ip" "$simdev" --bind "$ip" --listen "$LAN_BROADCAST" --mac "$("$LAN_BOX" mac "$ip")" \
    --password pw --tftp-slot "$work/slots/$ip.bin" "$@" 2>"$work/dev-$ip.log" &
  pids+=($!)
}
# Waits until every device started so far listens.
listening() {
  local ip
  for ip in "$@"; do
    for _ in $(seq 1 200); do grep -q listening "$work/dev-$ip.log" 2>/dev/null && continue 2; sleep 0.05; done
    fail "the device at $ip did not start: $(cat "$work/dev-$ip.log")"
  done
}
validate() {
  python3 - "$schema" "$1" <<'EOF' || fail "report $1 does not follow the schema"
import json, sys
import jsonschema
jsonschema.validate(json.load(open(sys.argv[2])), json.load(open(sys.argv[1])))
EOF
}
mkdir "$work/slots"

case "$group" in
fleet)
  # Every device in its own namespace keeps answering a while after its image, then restarts
  # for a second: each is back only after its restart, and every image is intact.
  head -c $((256 * 1024 + 7)) /dev/urandom >"$work/img.bin"
  i=0
  for ip in "${ips[@]}"; do
    device "$ip" --restart-delay-ms $((200 + (i % 5) * 150)) --restart-ms 1000
    i=$((i + 1))
  done
  listening "${ips[@]}"
  "$cli" upgrade --image "$work/img.bin" --all --jobs 32 --wait-back 30 --json "$work/r.json" >"$work/r.out" 2>&1 ||
    fail "upgrade of ${#ips[@]} devices: exit $?"
  validate "$work/r.json"
  python3 - "$work/r.json" "${#ips[@]}" <<'EOF' || fail "report"
import json, sys
r = json.load(open(sys.argv[1]))
n = int(sys.argv[2])
assert r["summary"]["devices"] == n and r["summary"]["done"] == n, r["summary"]
for i, d in enumerate(sorted(r["devices"], key=lambda d: int(d["ip"].split(".")[3]))):
    delay = 0.2 + (i % 5) * 0.15
    w = d["wait_back"]
    assert w["came_back"], d
    # Never heard after it restarted (the wait starts at the last ACK, after the device took
    # the image), and back only after its second of silence.
    assert w["silent_after"] <= delay + 0.3, (delay, d)
    assert w["seconds"] >= w["silent_after"] + 0.9, d
EOF
  for ip in "${ips[@]}"; do cmp -s "$work/img.bin" "$work/slots/$ip.bin" || fail "$ip: the image differs"; done
  ok
  ;;

blksize)
  # Block sizes that fit a frame and one that is fragmented: the same image every time.
  head -c $((300 * 1024 + 3)) /dev/urandom >"$work/img.bin"
  ip=${ips[0]}
  device "$ip"
  listening "$ip"
  for size in 512 1024 1468 8192; do
    rm -f "$work/slots/$ip.bin"
    "$tftpput" -q -b "$size" "$ip" "$work/img.bin" / >"$work/t$size.out" 2>&1 || fail "tftpput -b $size: exit $?"
    cmp -s "$work/img.bin" "$work/slots/$ip.bin" || fail "tftpput -b $size: the image differs"
    rm -f "$work/slots/$ip.bin"
    "$cli" upgrade --image "$work/img.bin" --ip "$ip" --blksize "$size" >"$work/c$size.out" 2>&1 ||
      fail "ftpupg-cli --blksize $size: exit $?"
    cmp -s "$work/img.bin" "$work/slots/$ip.bin" || fail "ftpupg-cli --blksize $size: the image differs"
    ok
  done
  ;;

pin)
  # A second host claims the device's address and keeps telling the host so. With the
  # address pinned to the checked hardware address, every byte reaches the device.
  head -c $((512 * 1024)) /dev/urandom >"$work/img.bin"
  ip=${ips[0]}
  device "$ip"
  listening "$ip"
  host_mac=$(cat /sys/class/net/eth0/address)
  "$LAN_BOX" add twin "$ip" 02:aa:bb:cc:dd:ee
  "$LAN_BOX" exec twin python3 "$src/tests/lan/arp_twin.py" eth0 "$ip" "$LAN_HOST" "$host_mac" >"$work/twin.out" &
  twin=$!
  pids+=($twin)
  for _ in $(seq 1 100); do grep -q claiming "$work/twin.out" && break; sleep 0.05; done
  # The host learns the address (both answer); the twin's later claims then take the entry.
  for _ in $(seq 1 100); do
    echo >/dev/udp/"$ip"/9
    ip neigh show "$ip" | grep -q 02:aa:bb:cc:dd:ee && break
    sleep 0.05
  done
  ip neigh show "$ip" | grep -q 02:aa:bb:cc:dd:ee || fail "the twin's claim did not reach the host's neighbour table"
  "$cli" upgrade --image "$work/img.bin" --ip "$ip" --blksize 1468 >"$work/pin.out" 2>&1 ||
    fail "upgrade beside a twin: exit $?"
  grep -q "$ip: pinned to $("$LAN_BOX" mac "$ip") on eth0 for the transfer" "$work/pin.out" || fail "the pin is told"
  cmp -s "$work/img.bin" "$work/slots/$ip.bin" || fail "the checked device did not get the image intact"
  ! ip neigh show "$ip" | grep -q PERMANENT || fail "the pin outlived the transfer"
  kill -TERM "$twin"
  wait "$twin"
  grep -q "^frames 0 bytes 0$" "$work/twin.out" || fail "bytes reached the twin: $(tail -1 "$work/twin.out")"
  ok
  "$LAN_BOX" exec twin python3 "$src/tests/lan/arp_twin.py" eth0 "$ip" "$LAN_HOST" "$host_mac" >"$work/twin2.out" &
  twin=$!
  pids+=($twin)
  for _ in $(seq 1 100); do grep -q claiming "$work/twin2.out" && break; sleep 0.05; done
  # Without the right to change the neighbour table: one warning, before anything is sent.
  setpriv --bounding-set=-net_admin "$cli" upgrade --image "$work/img.bin" --ip "$ip" --ip "$ip" \
    >"$work/nocap.out" 2>&1
  [ "$(grep -c "not pinned" "$work/nocap.out")" = 1 ] || fail "no capability: one warning"
  ! grep -q ": pinned to" "$work/nocap.out" || fail "no capability: nothing pinned"
  kill -TERM "$twin"
  wait "$twin"
  echo "without the pin, the twin got: $(tail -1 "$work/twin2.out")"
  ok
  # A pin never outlives its transfer: not when the run is stopped, not when the device's
  # process dies. A slow link keeps the transfer going long enough.
  "$LAN_BOX" rate "$ip" 8mbit
  head -c $((4 << 20)) /dev/urandom >"$work/big.bin"
  for how in stop crash; do
    "$cli" upgrade --image "$work/big.bin" --ip "$ip" >"$work/$how.out" 2>&1 &
    cli_pid=$!
    for _ in $(seq 1 200); do grep -q ": pinned to" "$work/$how.out" && break; sleep 0.05; done
    ip neigh show "$ip" | grep -q PERMANENT || fail "$how: no pin during the transfer"
    if [ $how = stop ]; then
      kill -TERM "$cli_pid"
    else
      kill -KILL "$(ps -o pid= --ppid "$cli_pid" | head -1)"
    fi
    wait "$cli_pid"
    ! ip neigh show "$ip" | grep -q PERMANENT || fail "$how: the pin outlived the transfer"
    ok
  done
  grep -q "removed the neighbour entry the attempt left pinned on eth0" "$work/crash.out" ||
    fail "crash: the parent says it removed the pin"
  ok
  ;;
doctor)
  # Each fault a real site has, injected alone: doctor names it and no other; a clean LAN
  # gives no warning. The time of each run is printed for docs/doctor.md.
  command -v nft >/dev/null || { echo "nftables is missing: skipped"; exit 77; }
  ip=${ips[0]}
  device "$ip"
  listening "$ip"
  # diagnose NAME FAILING [OPTIONS...]: FAILING is the only check not ok ("" for none).
  diagnose() {
    local name=$1 failing=$2
    shift 2
    "$cli" doctor --ip "$ip" --json "$@" >"$work/doctor-$name.out" 2>&1
    local code=$?
    python3 - "$work/doctor-$name.out" "$failing" "$code" "$name" <<'EOF' || fail "doctor, $name"
import json, sys
r = json.load(open(sys.argv[1]))
failing, code, name = sys.argv[2], int(sys.argv[3]), sys.argv[4]
bad = [c["name"] for c in r["checks"] if c["status"] != "ok"]
assert bad == ([failing] if failing else []), bad
assert code == (1 if failing else 0), code
for c in r["checks"]:
    assert c["status"] in ("ok", "warning", "failed", "skipped"), c
    assert (c["status"] == "ok") == (c["advice"] == ""), c
print("doctor-timing %-10s %-12s %.2f s" % (name, failing or "-", r["seconds"]))
EOF
    ok
  }
  diagnose clean "" --blksize 1468
  # A host firewall without the TFTP helper: replies from the device's new port are new
  # connections, and dropped.
  nft -f - <<EOF
table inet doctor {
  chain input { type filter hook input priority 0; policy accept;
    ip saddr $ip udp sport != 17250 ct state new drop; }
}
EOF
  diagnose firewall new-port
  nft delete table inet doctor
  ip link set eth0 mtu 1000
  diagnose mtu mtu --blksize 1468
  ip link set eth0 mtu 1500
  # Broadcast dropped on the device's side (a router or VLAN between would do the same).
  "$LAN_BOX" exec "$ip" nft -f - <<EOF
table inet doctor {
  chain input { type filter hook input priority 0; policy accept; meta pkttype broadcast drop; }
}
EOF
  diagnose broadcast discovery
  "$LAN_BOX" exec "$ip" nft delete table inet doctor
  # A second device on the same address, complete with its TFTP port.
  "$LAN_BOX" add twin "$ip" 02:aa:bb:cc:dd:ee
  "$LAN_BOX" exec twin "$simdev" --bind "$ip" --listen "$LAN_BROADCAST" --mac 02:aa:bb:cc:dd:ee --password pw \
    --tftp-slot "$work/slots/twin.bin" 2>"$work/dev-twin.log" &
  pids+=($!)
  for _ in $(seq 1 200); do grep -q listening "$work/dev-twin.log" 2>/dev/null && break; sleep 0.05; done
  diagnose duplicate duplicates
  grep -q "02:aa:bb:cc:dd:ee" "$work/doctor-duplicate.out" || fail "the twin's hardware address is not named"
  # Nothing was written anywhere.
  [ ! -e "$work/slots/$ip.bin" ] && [ ! -e "$work/slots/twin.bin" ] || fail "doctor wrote to a device"
  ok
  ;;
*)
  echo "unknown group $group" >&2
  exit 2
  ;;
esac
echo "ok [$group]: $passed checks"
