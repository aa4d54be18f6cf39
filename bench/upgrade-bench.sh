#!/bin/bash
# A 16 MiB upgrade through the whole utility against the simulated device, next to tftpput
# alone against the same device, inside a private network namespace.
# usage: bench/upgrade-bench.sh [BUILD_DIR] [RUNS] [SIZE_MIB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-5}
size=${3:-16}
if [ -z "${FTPUPG_IN_NETNS:-}" ]; then
  export FTPUPG_IN_NETNS=1
  exec "$root/scripts/netns-run" "$0" "$build" "$runs" "$size"
fi
work=$(mktemp -d)
trap 'kill ${device:-} 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
head -c $((size * 1024 * 1024)) /dev/urandom > "$work/image.bin"
"$build/sim/ftpupg-simdev" --bind 127.0.0.2 --password bench --tftp-slot "$work/received.bin" 2>/dev/null &
device=$!
sleep 0.3
export NDXL_BROADCAST=127.255.255.255 QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} FTPUPG_ARP_COMMAND=true
export XDG_RUNTIME_DIR=$work
echo "== ftpupg, $size MiB image, $runs runs (GO includes the half-second discovery wait)"
"$build/bench/ftpupg-upgrade-bench" "$work/image.bin" "$runs" bench 2>/dev/null | tee "$work/app.txt"
cmp -s "$work/image.bin" "$work/received.bin" || { echo "image arrived damaged"; exit 1; }
echo "== tftpput alone, same device, blksize 1024"
times=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  "$build/tftp/tftpput" -b 1024 127.0.0.2 "$work/image.bin" / 2>/dev/null
  end=$(date +%s%N)
  times+=($(( (end - start) / 1000 )))
done
cmp -s "$work/image.bin" "$work/received.bin" || { echo "image arrived damaged"; exit 1; }
median_us=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
awk -v t="$median_us" '/^median/ {
  for (i = 1; i <= NF; i++) { if ($i == "finished") total = $(i+1); if ($i == "transfer") transfer = $(i+1) }
  printf "tftpput median %.1f ms\n", t / 1000
  printf "ratio transfer / tftpput: %.2f;  GO-to-finished / tftpput: %.2f\n", transfer / (t / 1000), total / (t / 1000)
}' "$work/app.txt"
