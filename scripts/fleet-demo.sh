#!/bin/bash
# The fleet demo: sets up and builds what is missing, then plays a room of 20 simulated
# devices on 127.0.0.10 and up (16 good ones that restart after the write, 2 with another
# password, 1 whose flash fails half-way, 1 address where nothing answers) and upgrades them
# all with ftpupg-cli, inside a private network namespace (nothing leaves this machine).
# The report and log land in demo/fleet/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${FTPUPG_FLEET_DEMO_IN_NS:-}" ]; then
  if [ "$(id -u)" = 0 ]; then
    "$root/scripts/setup.sh"
  else
    "$root/scripts/setup.sh" || echo "fleet demo: setup needs root for missing packages; going on" >&2
  fi
  "$root/scripts/build.sh" release >/dev/null
  exec "$root/scripts/netns-run" env FTPUPG_FLEET_DEMO_IN_NS=1 bash "$0" "$@"
fi

build=$root/build
demo=$root/demo/fleet
mkdir -p "$demo/slots"
cd "$demo"
rm -f slots/* fleet.log report.json
[ -f kr730-fleet.bin ] || head -c $((2 * 1024 * 1024 + 333)) /dev/urandom >kr730-fleet.bin

sims=()
trap 'for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null' EXIT
sim() { "$build/sim/ftpupg-simdev" "$@" 2>>sim.log & sims+=($!); }
: >sim.log
# A real network's round trip is about a millisecond; each device restarts for 2 s after a write.
sim --count 16 --bind 127.0.0.10 --password kr730 --tftp-slot-dir slots --ack-delay-ms 1 --restart-ms 2000
sim --count 2 --bind 127.0.0.40 --mac 00:1b:7a:00:03:40 --password other --tftp-slot-dir slots
sim --bind 127.0.0.60 --mac 00:1b:7a:00:04:60 --password kr730 --tftp-slot-dir slots \
  --tftp-error-after 1000 --tftp-error-text "Flash write failed"
for _ in $(seq 1 100); do [ "$(grep -c listening sim.log)" -ge 19 ] && break; sleep 0.05; done

export NDXL_BROADCAST=127.255.255.255
echo "== ftpupg-cli discover"
"$build/cli/ftpupg-cli" discover || true
{ seq 10 25 | sed 's/^/127.0.0./'; echo 127.0.0.40; echo 127.0.0.41; echo 127.0.0.50; echo 127.0.0.60; } >fleet.txt
echo
echo "== ftpupg-cli upgrade of 20 devices, 8 at a time"
FTPUPG_PASSWORD=kr730 "$build/cli/ftpupg-cli" upgrade --image kr730-fleet.bin --ips fleet.txt --jobs 8 \
  --retries 1 --wait-back 10 --json report.json --log fleet.log && code=0 || code=$?
echo
echo "ftpupg-cli exited with $code (1: some devices failed, as this room was built to show)."
echo "Report: $demo/report.json  Log: $demo/fleet.log  Received images: $demo/slots/"
