#!/bin/bash
# Fleet at scale: 128 simulated devices that wait 1 ms before every ACK; each run lists them
# with `discover` and upgrades them all with `upgrade --all --jobs 32`, several runs in a row.
# ftpupg-cli runs on CPU 0, the simulated devices on CPU 1, inside a private loopback-only
# namespace. Every received image is compared with the original after each run.
# usage: bench/fleet-scale.sh BUILD_DIR [--runs N] [--devices N] [--jobs N] [--kib N] [--doc FILE]
#   Prints a Markdown table; --doc also writes it to FILE.
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=5 devices=128 jobs=32 kib=1024 doc=""
bench_args 6,7 runs devices jobs kib doc -- "$@"
bench_need "$cli" "$simdev"

bench_workdir fleet-scale
cd "$work"
mkdir slots
head -c $((kib * 1024)) /dev/urandom >image.bin
bench_loopback_fleet
export FTPUPG_PASSWORD=bench

taskset -c 1 "$simdev" --count "$devices" --bind 127.0.1.1 --password bench --tftp-slot-dir slots \
  --ack-delay-ms 1 2>sim.log &
bench_pids+=($!)
bench_await sim.log "$devices" "simdev.*listening" || exit 1

rows=""
worst=0
failures=0
for r in $(seq 1 "$runs"); do
  rm -f slots/*
  listed=$(taskset -c 0 "$cli" discover --json 2>discover.err | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["devices"]))')
  t0=$(date +%s%N)
  taskset -c 0 "$cli" upgrade --image image.bin --all --jobs "$jobs" --json report.json >out.txt 2>&1 &
  pid=$!
  bench_sample_pss "$pid" 0.1 >pss.txt &
  sampler=$!
  wait "$pid"
  code=$?
  t1=$(date +%s%N)
  wait "$sampler"
  done_count=$(python3 -c 'import json,sys; print(sum(d["result"] == "done" for d in json.load(open(sys.argv[1]))["devices"]))' report.json 2>/dev/null || echo 0)
  same=0
  for f in slots/*.bin; do cmp -s image.bin "$f" && same=$((same + 1)); done
  pss=$(cat pss.txt)
  [ "$pss" -gt "$worst" ] && worst=$pss
  [ "$code" -eq 0 ] && [ "$listed" -eq "$devices" ] && [ "$done_count" -eq "$devices" ] && [ "$same" -eq "$devices" ] ||
    failures=$((failures + 1))
  warned=$(grep -c "were lost" out.txt discover.err | awk -F: '{ s += $2 } END { print s + 0 }')
  row=$(printf "| %d | %d of %d | %d of %d | %d | %d | %.2f | %.1f MiB | %s |" "$r" "$listed" "$devices" "$done_count" \
    "$devices" "$same" "$code" "$(awk -v ns=$((t1 - t0)) 'BEGIN { print ns / 1e9 }')" \
    "$(awk -v k="$pss" 'BEGIN { print k / 1024 }')" "$(cut -d' ' -f1-3 /proc/loadavg)")
  echo "$row" >&2
  [ "$warned" -gt 0 ] && echo "run $r: $warned warning(s) about lost answers" >&2
  rows+="$row"$'\n'
done

table=$(
  echo "| run | discover lists | upgrade --all: done | images intact | exit | wall s | peak memory, all ftpupg-cli processes (sum of PSS) | load average (1, 5, 15 min) |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---|"
  printf "%s" "$rows"
  echo
  echo "Runs with every device listed, done and intact: $((runs - failures)) of $runs; largest peak memory $(awk -v k="$worst" 'BEGIN { printf "%.1f", k / 1024 }') MiB."
)
echo "$table"
if [ -n "$doc" ]; then echo "$table" >"$doc"; fi
[ "$failures" -eq 0 ]
