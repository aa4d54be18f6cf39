#!/bin/bash
# Fleet runs that survive the host, on a LAN in a box (scripts/lan-box):
#   kill   RUNS runs of 16 simulated devices that restart after their image: `ftpupg-cli upgrade
#          --all --wait-back 8 --jobs 2 --json r.json --log r.log`, SIGKILL to its whole process
#          group at a random moment from 0.5 s to the end of an uncut run, then `--resume r.json`
#          to the end (a run killed in its discovery, before the devices are known, leaves no
#          report and has written nothing: it runs again from the start). Counted: devices written twice (a device's log shows two whole images),
#          devices the killed run's report gives as done without holding the image, files
#          left beside the report, and devices done at the end.
#   rate   8 devices take a 2 MiB image at once with `--max-rate 16M`, and without it: the sum of
#          the data sent to them in each second (nftables counters on the host, IP bytes), and
#          each device's rate against its share.
# usage: bench/fleet-resume.sh BUILD_DIR [--runs N] [--doc FILE]   (needs root)
set -u
bench_lan=16 . "$(dirname "$0")/bench-lib.sh" "$@"
runs=20 doc=""
bench_args 13 runs doc -- "$@"
bench_need "$cli" "$simdev"
bench_workdir fleet-resume
bench_lan_fleet

# start_devices N OPTIONS...: the first N devices, fresh slots and logs.
start_devices() {
  local n=$1 ip
  shift
  rm -rf "$work/slots" "$work"/dev-*.log
  mkdir "$work/slots"
  for ip in "${ips[@]:0:$n}"; do bench_lan_device "$ip" "$@"; done
  bench_lan_await "${ips[@]:0:$n}" || exit 1
}

# ---- kill ----
head -c $((1 << 20)) /dev/urandom >"$work/image.bin"
# Acknowledgements 5 ms late: a transfer takes about 0.7 s, long enough to be cut.
restart=(--restart-delay-ms 300 --restart-ms 1000 --ack-delay-ms 5)
run_dir=$work/run
upgrade=(upgrade --image "$work/image.bin" --all --wait-back 8 --jobs 2 --json r.json --log r.log)
# An uncut run gives the span the kill moments are drawn from.
start_devices 16 "${restart[@]}"
rm -rf "$run_dir" && mkdir "$run_dir"
t0=$(date +%s%N)
(cd "$run_dir" && "$cli" "${upgrade[@]}" >out 2>&1)
full_ms=$((($(date +%s%N) - t0) / 1000000))
bench_stop_devices
echo "an uncut run: $full_ms ms"

early=0 early_written=0 twice=0 false_done=0 stray=0 done_end=0 killed_done=0 interrupted_bytes=0 runs_ok=0
RANDOM=31
for run in $(seq 1 "$runs"); do
  start_devices 16 "${restart[@]}"
  rm -rf "$run_dir" && mkdir "$run_dir"
  at=$((500 + (RANDOM * 32768 + RANDOM) % (full_ms - 500)))
  (cd "$run_dir" && exec setsid "$cli" "${upgrade[@]}" >out 2>&1) &
  pid=$!
  sleep "$(awk -v ms="$at" 'BEGIN { printf "%.3f", ms / 1000 }')"
  kill -KILL -- "-$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  left=$(cd "$run_dir" && ls -A | grep -v -x -E 'r\.json(\.[0-9])?|r\.log|out|out2')
  judged=$(python3 - "$run_dir/r.json" "$work/slots" "$work/image.bin" <<'PY'
import json, os, sys
try:
    r = json.load(open(sys.argv[1]))
except Exception:
    print("0 0 0"); sys.exit()
image = open(sys.argv[3], "rb").read()
def holds(ip):
    p = os.path.join(sys.argv[2], ip + ".bin")
    return os.path.exists(p) and open(p, "rb").read() == image
done = [d for d in r["devices"] if d["result"] == "done"]
print(len(done), sum(not holds(d["ip"]) for d in done),
      sum(d["result"] == "interrupted" and d["bytes"] > 0 for d in r["devices"]))
PY
)
  read -r kd fd ib <<<"$judged"
  if [ -e "$run_dir/r.json" ]; then
    (cd "$run_dir" && "$cli" upgrade --resume r.json >out2 2>&1)
  else
    # Killed in the discovery of --all, before the devices were known: no report, and
    # nothing written to any device (counted), so the run starts again.
    early=$((early + 1))
    written=$(ls "$work/slots" | grep -c .)
    early_written=$((early_written + written))
    (cd "$run_dir" && "$cli" "${upgrade[@]}" >out2 2>&1)
  fi
  code=$?
  left2=$(cd "$run_dir" && ls -A | grep -v -x -E 'r\.json(\.[0-9])?|r\.log|out|out2')
  end=$(python3 -c 'import json,sys; s=json.load(open(sys.argv[1]))["summary"]; print(s["done"] + s["already_done"] - s["not_back"])' "$run_dir/r.json")
  w=0
  for ip in "${ips[@]:0:16}"; do
    [ "$(grep -c 'received "/"' "$work/dev-$ip.log")" -gt 1 ] && w=$((w + 1))
  done
  echo "run $run: killed at $at ms: $kd done ($fd without the image), $ib interrupted mid-write; resume exit $code, $end done at the end, $w written twice, left: ${left:-none} ${left2:-}"
  twice=$((twice + w)) false_done=$((false_done + fd)) killed_done=$((killed_done + kd))
  interrupted_bytes=$((interrupted_bytes + ib)) done_end=$((done_end + end))
  [ -n "$left$left2" ] && stray=$((stray + $(printf '%s\n%s\n' "$left" "$left2" | grep -c .)))
  [ "$code" = 0 ] && [ "$end" = 16 ] && runs_ok=$((runs_ok + 1))
  bench_stop_devices
done
table="| runs | uncut run | done in the killed runs' reports | of them without the image | interrupted mid-write (with bytes) | written twice | files left beside the report | runs all done after --resume (exit 0) | devices done at the end |
|---:|---:|---:|---:|---:|---:|---:|---:|---:|
| $runs | $(awk -v ms="$full_ms" 'BEGIN { printf "%.1f s", ms / 1000 }') | $killed_done | $false_done | $interrupted_bytes | $twice | $stray | $runs_ok of $runs | $done_end of $((runs * 16)) |

Killed in the discovery, before any report: $early run(s), $early_written device(s) written by them; those ran again from the start instead of --resume."
echo "$table"

# ---- rate ----
head -c $((2 << 20)) /dev/urandom >"$work/big.bin"
nft add table ip bench
nft add chain ip bench out '{ type filter hook output priority 0; }'
for ip in "${ips[@]:0:8}"; do nft add rule ip bench out ip daddr "$ip" meta length gt 200 counter; done
# Data bits as the cap counts them (each datagram with its IP and UDP headers), per device.
# A window sent in one segmented send passes the hook as one packet with one IP header:
# what the counters hold less 28 bytes a packet is the TFTP bytes, each 1028 of them a
# datagram of 1056 on the link.
counters() {
  nft list chain ip bench out | awk '/counter/ { for (i = 1; i <= NF; i++) { if ($i == "packets") p = $(i + 1); if ($i == "bytes") b = $(i + 1) }
    printf "%d ", (b - 28 * p) * 1056 / 1028 }
    END { print "" }'
}
rate_run() {
  local name=$1
  shift
  start_devices 8
  nft reset counters table ip bench >/dev/null
  local targets=() ip
  for ip in "${ips[@]:0:8}"; do targets+=(--ip "$ip"); done
  "$cli" upgrade --image "$work/big.bin" "${targets[@]}" --jobs 8 "$@" --json "$work/$name.json" \
    >"$work/$name.out" 2>&1 &
  local pid=$!
  : >"$work/$name.samples"
  while kill -0 "$pid" 2>/dev/null; do
    # The time between the two ends of the reading: nft takes a while on a busy machine.
    local before c after
    before=$(date +%s%N)
    c=$(counters)
    after=$(date +%s%N)
    echo "$(((before + after) / 2)) $c" >>"$work/$name.samples"
    sleep 1
  done
  wait "$pid"
  echo "$(date +%s%N) $(counters)" >>"$work/$name.samples"
  bench_stop_devices
}
rate_run capped --max-rate 16M
rate_run free
rates=$(python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
def series(name):
    rows = [list(map(int, l.split())) for l in open(f"{work}/{name}.samples") if l.strip()]
    out = []
    for a, b in zip(rows, rows[1:]):
        dt = (b[0] - a[0]) / 1e9
        per = [(y - x) * 8 / dt for x, y in zip(a[1:], b[1:])]
        out.append((sum(per), per))
    return out
def report(name):
    return json.load(open(f"{work}/{name}.json"))
cap = 16e6
s = series("capped")
# Whole seconds of the transfers: after the first, before the last (in which they end).
full = [t for t, per in s[1:-1] if min(per) > 0]
inside = [t for t in full if abs(t - cap) <= 0.05 * cap]
r = report("capped")
share = [d["rate_bytes_per_s"] * 8 * (1024 + 32) / 1024 / (cap / 8) for d in r["devices"]]
free = report("free")
wall = lambda rep: max(d["seconds"] for d in rep["devices"])
print("| run | wall s | seconds after the first, before the last | summed rate in them, Mbit/s (min-max) | within 5 % of the cap | each device against its fair share (min-max) |")
print("|---|---:|---:|---|---:|---|")
print(f"| --max-rate 16M | {wall(r):.1f} | {len(full)} | {min(full)/1e6:.2f}-{max(full)/1e6:.2f} | {len(inside)} of {len(full)} | {min(share):.3f}-{max(share):.3f} |")
fs = series("free")
peak = max(t for t, _ in fs) if fs else 0
print(f"| no cap | {wall(free):.1f} | - | peak second {peak/1e6:.0f} | - | - |")
print()
print("Per second, --max-rate 16M (Mbit/s, all 8 devices summed): " + ", ".join(f"{t/1e6:.2f}" for t, _ in s))
PY
)
echo "$rates"
table+=$'\n\n'$rates
[ -z "$doc" ] || echo "$table" >"$doc"
