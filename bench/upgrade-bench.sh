#!/bin/bash
# Whole upgrades through the utility's window against the simulated device, next to tftpput
# alone against the same device: the two take turns, everything pinned to CPU 0, inside a
# private network namespace.
# usage: bench/upgrade-bench.sh [BUILD_DIR] [RUNS] [SIZE_MIB]   (default build/, 5, 16)
set -euo pipefail
. "$(dirname "$0")/bench-lib.sh" "$@"
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-5}
size=${3:-16}
work=$(mktemp -d)
trap 'kill ${device:-} 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
head -c $((size * 1024 * 1024)) /dev/urandom > "$work/image.bin"
taskset -c 0 "$build/sim/ftpupg-simdev" --bind 127.0.0.2 --password bench --tftp-slot "$work/received.bin" \
  2>/dev/null &
device=$!
for _ in $(seq 200); do ss -Hlun 'sport = :69' | grep -q . && break; sleep 0.05; done
export NDXL_BROADCAST=127.255.255.255 QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} FTPUPG_ARP_COMMAND=true
export XDG_RUNTIME_DIR=$work
echo "== $size MiB image, $runs runs each, ftpupg and tftpput -b 1024 taking turns, pinned to CPU 0"
: > "$work/app.txt"; : > "$work/put.txt"
for i in $(seq "$runs"); do
  taskset -c 0 "$build/bench/ftpupg-upgrade-bench" "$work/image.bin" 1 bench 2>/dev/null | grep '^run' \
    >> "$work/app.txt"
  cmp -s "$work/image.bin" "$work/received.bin" || { echo "image arrived damaged (window)"; exit 1; }
  rm -f "$work/received.bin"
  taskset -c 0 "$build/bench/ftpupg-rusage" "$build/tftpput/tftpput" -q -b 1024 127.0.0.2 "$work/image.bin" / \
    2>> "$work/put.txt"
  cmp -s "$work/image.bin" "$work/received.bin" || { echo "image arrived damaged (tftpput)"; exit 1; }
  rm -f "$work/received.bin"
done
cat "$work/app.txt"
total=$(sed 's/.*finished \([0-9.]*\) ms.*/\1/' "$work/app.txt" | median)
transfer=$(sed 's/.*transfer \([0-9.]*\) ms.*/\1/' "$work/app.txt" | median)
gap=$(sed 's/.*gap \([0-9.]*\) ms.*/\1/' "$work/app.txt" | median)
gapmax=$(sed 's/.*gap \([0-9.]*\) ms.*/\1/' "$work/app.txt" | sort -g | tail -1)
put=$(awk '{ print $1 / 1000 }' "$work/put.txt" | median)
echo "median: GO to finished $total ms; transfer $transfer ms; tftpput alone $put ms (whole process)"
echo "longest gap between handled window events: median $gap ms, max $gapmax ms"
awk -v t="$transfer" -v p="$put" -v g="$total" \
  'BEGIN { printf "ratio transfer / tftpput: %.3f;  GO-to-finished / tftpput: %.2f\n", t / p, g / p }'
