#!/bin/bash
# The time from ftpupg-cli's start until the first datagram reaches the device port, for a
# signed image, without and with --trusted-key (then the image's one read also takes the
# hash the signature is checked against), side by side.
#   bench/trust-bench.sh [RUNS] [MIB] [BUILD]   (default 7 runs, 64 MiB, build/)
# Runs in a private loopback-only namespace; needs minisign.
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=${1:-7}
mib=${2:-64}
build=${3:-$root/build}
cli=$build/cli/ftpupg-cli
command -v minisign >/dev/null || { echo "minisign is not installed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export NDXL_BROADCAST=127.255.255.255 FTPUPG_ARP_COMMAND=true
unset FTPUPG_PASSWORD FTPUPG_TRUSTED_KEYS

head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/fw.bin"
(cd "$work" && minisign -G -W -p k.pub -s k.sec >/dev/null && minisign -S -s k.sec -m fw.bin -t "model=KR730" >/dev/null)

# first_contact LABEL ARGS...: milliseconds from the start of ftpupg-cli until the first request
# datagram arrives on the device port (nobody answers it).
first_contact() {
  local label=$1
  shift
  python3 - "$work/ready" "$work/first" <<'EOF' &
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.255.255.255", 17250))
open(sys.argv[1], "w").close()
s.recv(2048)
open(sys.argv[2], "w").write("%.6f\n" % time.time())
EOF
  local listener=$!
  until [ -e "$work/ready" ]; do sleep 0.01; done
  local start
  start=$(date +%s.%N)
  /usr/bin/time -f "%U %S" -o "$work/cpu" \
    "$cli" upgrade --ip 127.0.0.9 --password pw --wait 50 --image "$work/fw.bin" "$@" >/dev/null 2>&1
  wait "$listener"
  python3 -c 'import sys; print("%.1f" % ((float(open(sys.argv[1]).read()) - float(sys.argv[2])) * 1000))' \
    "$work/first" "$start"
  awk '{ printf "%.0f\n", ($1 + $2) * 1000 }' "$work/cpu" >>"$work/cpu-$label"
  rm -f "$work/ready" "$work/first"
}

cat "$work/fw.bin" >/dev/null # from the page cache in every run
: >"$work/without" && : >"$work/with" && : >"$work/cpu-without" && : >"$work/cpu-with"
for _ in $(seq 1 "$runs"); do
  first_contact without >>"$work/without"
  first_contact with --trusted-key "$work/k.pub" >>"$work/with"
done
without=$(median <"$work/without")
with=$(median <"$work/with")
echo "| image | runs | until the first datagram, without --trusted-key (ms) | with --trusted-key (ms) | ratio | CPU time of the run, without (ms) | with (ms) |"
echo "|---|---|---|---|---|---|---|"
printf '| %d MiB | %d | %s | %s | %.2f | %s | %s |\n' "$mib" "$runs" "$without" "$with" "$(echo "$with / $without" | bc -l)" \
  "$(median <"$work/cpu-without")" "$(median <"$work/cpu-with")"
echo "without: $(tr '\n' ' ' <"$work/without")"
echo "with:    $(tr '\n' ' ' <"$work/with")"
