#!/bin/bash
# Fleet benchmark: ftpupg-cli writing one image to 32 simulated devices with --jobs 32, the
# same fleet with --jobs 1, and one device alone, side by side in one run. The devices delay
# every ACK (a stand-in for a network's round trip). The simulated devices run on CPU 1 and
# ftpupg-cli on CPU 0, inside a private loopback-only namespace.
# usage: bench/fleet-bench.sh BUILD_DIR [--runs N] [--devices N] [--mib N] [--ack-delay MS] [--doc FILE]
#   Prints a Markdown table; --doc also writes it to FILE.
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=3 devices=32 mib=4 ack_delay=1 doc=""
bench_args 6,7 runs devices mib ack-delay doc -- "$@"
bench_need "$cli" "$simdev"

bench_workdir fleet-bench
cd "$work"
mkdir slots
head -c $((mib * 1024 * 1024)) /dev/urandom >image.bin
bench_loopback_fleet
export FTPUPG_PASSWORD=bench

taskset -c 1 "$simdev" --count "$devices" --bind 127.0.0.10 --password bench --tftp-slot-dir slots \
  --ack-delay-ms "$ack_delay" 2>sim.log &
bench_pids+=($!)
bench_await sim.log "$devices" || exit 1

last=$(awk -v n="$devices" 'BEGIN { print 10 + n - 1 }')
seq 10 "$last" | sed 's/^/127.0.0./' >fleet.txt
echo 127.0.0.10 >one.txt

# run LIST JOBS: prints "seconds largest_peak_rss_kib peak_pss_sum_kib cpu_seconds", or FAIL.
run() {
  rm -f slots/*
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f "%M %U %S" -o time.txt taskset -c 0 "$cli" upgrade --image image.bin --ips "$1" \
    --jobs "$2" --json report.json >out.txt 2>&1 &
  local pid=$!
  bench_sample_pss "$pid" 0.2 >pss.txt &
  local sampler=$!
  wait "$pid"
  local code=$?
  t1=$(date +%s%N)
  wait "$sampler"
  [ $code -eq 0 ] || { echo FAIL; return; }
  for f in slots/*.bin; do cmp -s image.bin "$f" || { echo FAIL; return; }; done
  [ "$(ls slots | wc -l)" -eq "$(wc -l <"$1")" ] || { echo FAIL; return; }
  awk -v ns=$((t1 - t0)) -v sum="$(cat pss.txt)" '{ printf "%.3f %d %d %.2f\n", ns / 1e9, $1, sum, $2 + $3 }' time.txt
}


declare -A secs rss sums cpu
for r in $(seq 1 "$runs"); do
  # The serial fleet takes as long as all its devices one after the other: once is enough.
  cases="one fleet32"
  [ "$r" = 1 ] && cases="one fleet32 fleet1"
  for c in $cases; do
    case $c in
      one) res=$(run one.txt 1) ;;
      fleet32) res=$(run fleet.txt "$devices") ;;
      fleet1) res=$(run fleet.txt 1) ;;
    esac
    [ "$res" = FAIL ] && { echo "run $c failed:" >&2; cat out.txt >&2; exit 1; }
    read -r s m t u <<<"$res"
    secs[$c]+="$s "; rss[$c]+="$m "; sums[$c]+="$t "; cpu[$c]+="$u "
    echo "run $r $c: $res" >&2
  done
done

med() { tr ' ' '\n' <<<"${1% }" | median; }
max() { tr ' ' '\n' <<<"${1% }" | sort -n | tail -1; }
one=$(med "${secs[one]}")
f32=$(med "${secs[fleet32]}")
f1=$(med "${secs[fleet1]}")
table=$(
  echo "| case (median of $runs; --jobs 1 once) | wall s | ratio to one device | ftpupg-cli CPU s | peak RSS, largest process | peak memory, all ftpupg-cli processes (sum of PSS) |"
  echo "|---|---:|---:|---:|---:|---:|"
  for c in one fleet32 fleet1; do
    case $c in
      one) label="one device alone" ;;
      fleet32) label="$devices devices, --jobs $devices" ;;
      fleet1) label="$devices devices, --jobs 1" ;;
    esac
    s=$(med "${secs[$c]}")
    printf "| %s | %.2f | %.2f | %.2f | %.1f MiB | %.1f MiB |\n" "$label" "$s" "$(awk -v a="$s" -v b="$one" 'BEGIN { print a / b }')" \
      "$(med "${cpu[$c]}")" "$(awk -v k="$(max "${rss[$c]}")" 'BEGIN { print k / 1024 }')" \
      "$(awk -v k="$(max "${sums[$c]}")" 'BEGIN { print k / 1024 }')"
  done
  echo
  printf "Fleet speed-up, --jobs %d over --jobs 1: %.1fx. Image %d MiB, ACK delay %s ms, block size 1024.\n" \
    "$devices" "$(awk -v a="$f1" -v b="$f32" 'BEGIN { print a / b }')" "$mib" "$ack_delay"
)
echo "$table"
[ -z "$doc" ] || echo "$table" >"$doc"
