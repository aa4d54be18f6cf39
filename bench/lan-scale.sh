#!/bin/bash
# The fleet from 64 to 256 devices on a LAN in a box (scripts/lan-box), each device in a
# namespace of its own, restarting 0.2-0.8 s after its image for a second: three discoveries
# (`ftpupg-cli discover --json`: how many answered, how long), then `ftpupg-cli upgrade --all
# --jobs 32 --wait-back 60` of a 1 MiB image (wall time, the largest sum of PSS of all
# ftpupg-cli processes, the devices done and back, images intact, answers lost).
# usage: bench/lan-scale.sh BUILD_DIR [--doc FILE] [SIZES...]   (default sizes: 64 256; needs root)
set -u
# One box per size: the script builds them itself, below.
FTPUPG_BENCH_IN_NS=1 . "$(dirname "$0")/bench-lib.sh"
if [ -z "${LAN_BOX:-}" ]; then
  [ $# -ge 1 ] || { sed -n 7p "$0" >&2; exit 2; }
  build=$(realpath "$1"); shift
  doc="" sizes=()
  while [ $# -gt 0 ]; do
    case $1 in
      --doc) doc=$(realpath -m "$2"); shift 2 ;;
      *) sizes+=("$1"); shift ;;
    esac
  done
  [ ${#sizes[@]} -gt 0 ] || sizes=(64 256)
  rows=$(mktemp)
  for n in "${sizes[@]}"; do
    "$root/scripts/lan-box" run --devices "$n" -- bash "$0" "$build" "$rows" || echo "| $n | the run failed |" >>"$rows"
  done
  table="| devices | discovery: answered in each of 3 runs | discovery s (each run) | upgrade wall s | done and back | images intact | peak memory, all ftpupg-cli processes (sum of PSS) | not done and back (result) | answers lost to a full queue |
|---:|---|---|---:|---:|---:|---:|---|---:|
$(cat "$rows")"
  rm -f "$rows"
  echo "$table"
  [ -z "$doc" ] || echo "$table" >"$doc"
  exit 0
fi
bench_args 1 -- "$1"
rows=$2
bench_workdir lan-scale
bench_lan_fleet
n=${#ips[@]}
head -c $((1 << 20)) /dev/urandom >"$work/image.bin"
mkdir "$work/slots"
i=0
for ip in "${ips[@]}"; do
  bench_lan_device "$ip" --restart-delay-ms $((200 + (i * 7919) % 601)) --restart-ms 1000
  i=$((i + 1))
done
bench_lan_await "${ips[@]}" || exit 1
found="" took=""
for run in 1 2 3; do
  t0=$(date +%s%N)
  "$cli" discover --json >"$work/d$run.json" 2>"$work/d$run.err"
  t1=$(date +%s%N)
  found+="${found:+, }$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["devices"]))' "$work/d$run.json")"
  took+="${took:+, }$(awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.2f", ns / 1e9 }')"
done
t0=$(date +%s%N)
"$cli" upgrade --image "$work/image.bin" --all --jobs 32 --wait-back 60 --json "$work/r.json" >"$work/r.out" 2>&1 &
pid=$!
bench_sample_pss "$pid" 0.5 >"$work/pss" &
sampler=$!
wait "$pid"
t1=$(date +%s%N)
wait "$sampler"
others=$(python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))
print(", ".join(d["ip"] + " " + d["result"] for d in r["devices"]
                if not (d["result"] == "done" and (d["wait_back"] or {}).get("came_back", False))) or "none")' "$work/r.json")
lost=$(grep -o "^warning: [0-9]* device answers were lost" "$work/r.out" | grep -o "[0-9]*" || echo 0)
back=$(python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))
print(sum(d["result"] == "done" and (d["wait_back"] or {}).get("came_back", False) for d in r["devices"]))' "$work/r.json")
intact=0
for ip in "${ips[@]}"; do cmp -s "$work/image.bin" "$work/slots/$ip.bin" && intact=$((intact + 1)); done
echo "| $n | $found | $took | $(awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f", ns / 1e9 }') | $back of $n | $intact | $(awk -v k="$(cat "$work/pss")" 'BEGIN { printf "%.1f MiB", k / 1024 }') | $others | ${lost:-0} |" >>"$rows"
tail -3 "$work/r.out"
