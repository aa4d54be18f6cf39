#!/bin/bash
# Devices that share one hardware address: how often an image reaches a device it should not.
#   bench/shared-mac.sh [RUNS] [BUILD]   (default 20 runs, build/)
# Two simulated devices with one hardware address: 127.0.0.31 takes the password "pw",
# 127.0.0.32 takes "secret". Each run asks for 127.0.0.32 with "pw" (the wrong password for
# it), then for both addresses at once; it counts the results and the images each device
# received; then, with five more devices on that hardware address (seven in all, each with
# a password of its own), for every device that answers. Runs in a private loopback-only
# namespace.
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=${1:-20}
build=${2:-$root/build}
cli=$build/cli/ftpupg-cli
simdev=$build/sim/ftpupg-simdev
bench_need "$cli" "$simdev"
bench_workdir shared-mac
bench_loopback_fleet
unset FTPUPG_PASSWORD

sim() {
  local name=$1
  shift
  "$simdev" "$@" 2>"$work/sim-$name.log" &
  bench_pids+=($!)
  bench_await "$work/sim-$name.log" 1 || exit 1
}

mkdir "$work/slots"
sim a --bind 127.0.0.31 --mac 00:1b:7a:00:00:77 --password pw --tftp-slot "$work/slots/127.0.0.31.bin"
sim b --bind 127.0.0.32 --mac 00:1b:7a:00:00:77 --password secret --tftp-slot "$work/slots/127.0.0.32.bin"
head -c 65536 /dev/urandom >"$work/img.bin"

# run NAME TARGETS...: RUNS upgrades; prints the results counted and the images written.
run() {
  local name=$1 results
  shift
  : >"$work/results"
  : >"$work/written"
  for _ in $(seq 1 "$runs"); do
    rm -f "$work"/slots/*
    "$cli" upgrade "$@" --password pw --image "$work/img.bin" --json "$work/r.json" >/dev/null 2>&1
    python3 -c 'import json,sys
for d in json.load(open(sys.argv[1]))["devices"]: print(d["ip"], d["result"])' "$work/r.json" >>"$work/results"
    ls "$work/slots" | sed 's/[.]bin$//' >>"$work/written"
  done
  results=$(sort "$work/results" | uniq -c | awk '{ printf "%s%s %s x%s", (NR > 1 ? ", " : ""), $2, $3, $1 }')
  written=$(sort "$work/written" | uniq -c | awk '{ printf "%s%s x%s", (NR > 1 ? ", " : ""), $2, $1 }')
  printf '| %s | %d | %s | %s |\n' "$name" "$runs" "$results" "${written:-none}"
}

echo "| devices, targets | runs | results | images written |"
echo "|---|---|---|---|"
run "2, --ip 127.0.0.32" --ip 127.0.0.32
run "2, --ip 127.0.0.31 --ip 127.0.0.32" --ip 127.0.0.31 --ip 127.0.0.32
for i in 3 4 5 6 7; do
  sim "d$i" --bind "127.0.0.3$i" --mac 00:1b:7a:00:00:77 --password "pw$i" --tftp-slot "$work/slots/127.0.0.3$i.bin"
done
run "7, --all" --all
