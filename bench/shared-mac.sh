#!/bin/bash
# Devices that share one hardware address: how often an image reaches a device it should not.
#   bench/shared-mac.sh [RUNS] [BUILD]   (default 20 runs, build/)
# Two simulated devices with one hardware address: 127.0.0.31 takes the password "pw",
# 127.0.0.32 takes "secret". Each run asks for 127.0.0.32 with "pw" (the wrong password for
# it), then for both addresses at once; it counts the results and the images each device
# received. Runs in a private loopback-only namespace.
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=${1:-20}
build=${2:-$root/build}
cli=$build/cli/ftpupg-cli
simdev=$build/sim/ftpupg-simdev
work=$(mktemp -d)
sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
export NDXL_BROADCAST=127.255.255.255 FTPUPG_ARP_COMMAND=true
unset FTPUPG_PASSWORD

sim() {
  local name=$1
  shift
  "$simdev" "$@" 2>"$work/sim-$name.log" &
  sims+=($!)
  for _ in $(seq 1 100); do
    grep -q "listening" "$work/sim-$name.log" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "simulated device $name did not start" >&2
  exit 1
}

sim a --bind 127.0.0.31 --mac 00:1b:7a:00:00:77 --password pw --tftp-slot "$work/a.bin"
sim b --bind 127.0.0.32 --mac 00:1b:7a:00:00:77 --password secret --tftp-slot "$work/b.bin"
head -c 65536 /dev/urandom >"$work/img.bin"

# run NAME TARGETS...: RUNS upgrades; prints the results counted and the images written.
run() {
  local name=$1 written_a=0 written_b=0 results
  shift
  : >"$work/results"
  for _ in $(seq 1 "$runs"); do
    rm -f "$work/a.bin" "$work/b.bin"
    "$cli" upgrade "$@" --password pw --image "$work/img.bin" --json "$work/r.json" >/dev/null 2>&1
    python3 -c 'import json,sys
for d in json.load(open(sys.argv[1]))["devices"]: print(d["ip"], d["result"])' "$work/r.json" >>"$work/results"
    [ -s "$work/a.bin" ] && written_a=$((written_a + 1))
    [ -s "$work/b.bin" ] && written_b=$((written_b + 1))
  done
  results=$(sort "$work/results" | uniq -c | awk '{ printf "%s%s %s x%s", (NR > 1 ? ", " : ""), $2, $3, $1 }')
  printf '| %s | %d | %s | %d | %d |\n' "$name" "$runs" "$results" "$written_a" "$written_b"
}

echo "| targets | runs | results | images to .31 | images to .32 |"
echo "|---|---|---|---|---|"
run "--ip 127.0.0.32" --ip 127.0.0.32
run "--ip 127.0.0.31 --ip 127.0.0.32" --ip 127.0.0.31 --ip 127.0.0.32
